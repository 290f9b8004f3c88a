// CTC prefix scoring for joint CTC/attention decoding.
//
// For a label prefix g, the prefix score is log P(g ...): the log-probability, under the CTC
// head's frame posteriors x_t(k), of every label sequence that starts with g. It follows from
// two forward variables per frame t:
//     r_n[t]  log P(first t+1 frames carry exactly g, frame t emits g's last label)
//     r_b[t]  log P(first t+1 frames carry exactly g, frame t is blank)
// Extending g by a label c (h = g + c) needs one pass over the frames:
//     phi[t-1]  = r_b[t-1](g)                  if c equals g's last label (a blank must separate them)
//               = logadd(r_n, r_b)[t-1](g)      otherwise
//     r_n[t](h) = logadd(r_n[t-1](h), phi[t-1]) + x_t(c)
//     r_b[t](h) = logadd(r_b[t-1](h), r_n[t-1](h)) + x_t(blank)
//     P(h ...)  = x_0(c) [g empty] + sum over t >= 1 of phi[t-1] * x_t(c)      (in log space)
// with r_n[0](h) = x_0(c) for an empty g and -inf otherwise, r_b[0](h) = -inf, and for the empty
// prefix r_n = -inf, r_b[t] = x_0(blank) + ... + x_t(blank).
//
// The end id: the recogniser's CTC head is trained on golden targets, which end with the end id,
// so the end id is an ordinary CTC label. A hypothesis that ends scores the probability that the
// utterance carries exactly g, with or without a final end label:
//     logadd(P(g exactly), P(g + end exactly)),  P(s exactly) = logadd(r_n, r_b)[T-1](s)
// which is finite whenever P(g ...) is, so a hypothesis can always end.
//
// The recursion runs in C++ over raw buffers with the GIL released, for every row and candidate
// of a step at once; the state lives in CPU tensors so that beams are reordered with index_select.
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;
constexpr float kNegInf = -std::numeric_limits<float>::infinity();

inline float log_add(float a, float b) {
    if (a < b) std::swap(a, b);
    if (b == kNegInf) return a;
    return a + std::log1p(std::exp(b - a));
}

// Raw views of one scoring call. Rows n = 0 .. rows-1, candidates j = 0 .. width-1; the
// forward variables of a row or candidate are `frames` pairs (r_n, r_b).
struct Problem {
    const float *x;            // (utterances, frames, vocab) log-probabilities
    const int64_t *lengths;    // (utterances,) valid frames
    long frames, vocab, blank, end;
    long rows, width;
    const int64_t *utterance;  // (rows,) utterance of each row
    const int64_t *prefix_length, *last;  // (rows,) labels in g, g's last label (-1: g empty)
    const float *r;            // (rows, frames, 2) forward variables of g
    const int64_t *candidates; // (rows, width)
    float *candidate_r;        // (rows, width, frames, 2) out: forward variables of g + c
    float *scores;             // (rows, width) out: prefix scores of g + c
};

// Forward variables of h = g + c into out, and h's prefix score. `first` is the first frame
// where h's last label can appear after its earlier ones (every frame before it stays -inf);
// g_total[t] = logadd(r_n, r_b)[t](g).
float extend(const Problem &p, const float *x, long length, long first, const float *rg, const float *g_total,
             bool empty, long last, long c, float *out) {
    std::fill(out, out + 2 * p.frames, kNegInf);
    if (length == 0) return kNegInf;
    float prefix = kNegInf;
    if (empty) prefix = out[0] = x[c];
    for (long t = std::max<long>(first, 1); t < length; ++t) {
        const float *xt = x + t * p.vocab;
        float phi = c == last ? rg[2 * (t - 1) + 1] : g_total[t - 1];
        out[2 * t] = log_add(out[2 * (t - 1)], phi) + xt[c];
        out[2 * t + 1] = log_add(out[2 * (t - 1) + 1], out[2 * (t - 1)]) + xt[p.blank];
        prefix = log_add(prefix, phi + xt[c]);
    }
    return prefix;
}

// log P(s exactly) from s's forward variables, over an utterance of `length` frames.
float exact(const float *r, long length, bool empty) {
    if (length == 0) return empty ? 0.0f : kNegInf;
    return log_add(r[2 * (length - 1)], r[2 * (length - 1) + 1]);
}

void score_row(const Problem &p, long n, std::vector<float> &g_total) {
    long u = p.utterance[n];
    long length = std::min<long>(p.lengths[u], p.frames);
    const float *x = p.x + u * p.frames * p.vocab;
    const float *rg = p.r + n * p.frames * 2;
    bool empty = p.last[n] < 0;
    for (long t = 0; t < length; ++t) g_total[(size_t)t] = log_add(rg[2 * t], rg[2 * t + 1]);
    for (long j = 0; j < p.width; ++j) {
        long c = p.candidates[n * p.width + j];
        float *out = p.candidate_r + (n * p.width + j) * p.frames * 2;
        float &score = p.scores[n * p.width + j];
        if (c < 0 || c >= p.vocab || c == p.blank) {  // not a label
            std::fill(out, out + 2 * p.frames, kNegInf);
            score = kNegInf;
            continue;
        }
        float prefix = extend(p, x, length, p.prefix_length[n], rg, g_total.data(), empty, p.last[n], c, out);
        score = c == p.end ? log_add(exact(rg, length, empty), exact(out, length, false)) : prefix;
    }
}

void score_all(const Problem &p) {
    std::vector<float> g_total((size_t)p.frames);
    for (long n = 0; n < p.rows; ++n) score_row(p, n, g_total);
}

// ---------------------------------------------------------------------------
// Tensors
// ---------------------------------------------------------------------------

nb::object torch() { return globals["torch"]; }

// `t` as a contiguous CPU tensor of the given dtype ("float32", "long").
nb::object on_cpu(nb::handle t, const char *dtype) {
    return t.attr("detach")().attr("to")("cpu", torch().attr(dtype)).attr("contiguous")();
}

template <typename T>
T *data_of(nb::handle tensor) {
    return reinterpret_cast<T *>(nb::cast<uintptr_t>(tensor.attr("data_ptr")()));
}

long size_of(nb::handle t, long dim) { return as_long(t.attr("size")(dim)); }

[[noreturn]] void bad_state() {
    ql::raise_value_error("state does not belong to this CTCPrefixScorer (use what init_state, score, extend and "
                          "reorder returned)");
}

// The state's per-row tensors, checked against the scorer before raw buffers are read.
struct RowState {
    nb::object utterance, prefix_length, last, r, prefix;
};

RowState checked_state(nb::handle self, nb::handle state) {
    if (!PyDict_Check(state.ptr())) bad_state();
    nb::dict d = nb::borrow<nb::dict>(state);
    for (const char *key : {"utterance", "prefix_length", "last", "r", "prefix"})
        if (!d.contains(key)) bad_state();
    RowState s{on_cpu(d["utterance"], "long"), on_cpu(d["prefix_length"], "long"), on_cpu(d["last"], "long"),
               on_cpu(d["r"], "float32"), on_cpu(d["prefix"], "float32")};
    long frames = size_of(self.attr("log_probs"), 1), utterances = size_of(self.attr("log_probs"), 0);
    long rows = as_long(s.utterance.attr("numel")());
    if (as_long(s.r.attr("dim")()) != 3 || size_of(s.r, 0) != rows || size_of(s.r, 1) != frames ||
        size_of(s.r, 2) != 2 || as_long(s.prefix_length.attr("numel")()) != rows ||
        as_long(s.last.attr("numel")()) != rows || as_long(s.prefix.attr("numel")()) != rows)
        bad_state();
    if (rows > 0 && (as_long(s.utterance.attr("min")()) < 0 || as_long(s.utterance.attr("max")()) >= utterances))
        bad_state();
    return s;
}

nb::dict make_state(const RowState &s) {
    nb::dict d;
    d["utterance"] = s.utterance;
    d["prefix_length"] = s.prefix_length;
    d["last"] = s.last;
    d["r"] = s.r;
    d["prefix"] = s.prefix;
    return d;
}

// ---------------------------------------------------------------------------
// CTCPrefixScorer
// ---------------------------------------------------------------------------

const char *const kInitSig = "__init__(self, log_probs, lengths, blank: int, end: int)";

nb::object init(const ql::Args &a) {
    nb::handle self = a.self(), log_probs = a["log_probs"], lengths = a["lengths"];
    if (!ql::is_instance(log_probs, torch().attr("Tensor")) || as_long(log_probs.attr("dim")()) != 3)
        ql::raise_value_error("log_probs must be a (frames, batch, vocab) tensor of CTC log-probabilities");
    long frames = size_of(log_probs, 0), batch = size_of(log_probs, 1), vocab = size_of(log_probs, 2);
    nb::object lens = on_cpu(lengths, "long").attr("reshape")(-1);
    if (as_long(lens.attr("numel")()) != batch)
        ql::raise_value_error("lengths must hold one frame count per utterance (" + std::to_string(batch) + ")");
    for (const char *name : {"blank", "end"}) {
        long id = (long)a.to_int(name);
        if (id < 0 || id >= vocab)
            ql::raise_value_error(std::string(name) + " must be a token id below the vocabulary size " +
                                  std::to_string(vocab) + ", got " + std::to_string(id));
    }
    if (a.to_int("blank") == a.to_int("end")) ql::raise_value_error("blank and end must be different ids");
    self.attr("log_probs") = on_cpu(log_probs.attr("transpose")(0, 1), "float32");  // (batch, frames, vocab)
    self.attr("lengths") = lens.attr("clamp")(0, frames);
    self.attr("blank") = a["blank"];
    self.attr("end") = a["end"];
    return nb::none();
}

const char *const kInitStateSig = "init_state(self, prompts)";

nb::object init_state(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object x = self.attr("log_probs");
    long rows = size_of(a["prompts"], 0), batch = size_of(x, 0);
    if (batch == 0 || rows % batch != 0)
        ql::raise_value_error("prompts have " + std::to_string(rows) + " rows, which is not a multiple of the " +
                              std::to_string(batch) + " utterances");
    nb::object t = torch();
    nb::object utterance = t.attr("arange")(batch).attr("repeat_interleave")(rows / batch);
    // the empty prefix: no label yet, every frame blank
    nb::object blank_run = x.attr("select")(2, as_long(self.attr("blank"))).attr("cumsum")(1);
    nb::object r = t.attr("stack")(nb::make_tuple(t.attr("full_like")(blank_run, -std::numeric_limits<double>::infinity()),
                                                  blank_run),
                                   nb::arg("dim") = 2)
                       .attr("index_select")(0, utterance)
                       .attr("contiguous")();
    RowState s{utterance, t.attr("zeros")(rows, nb::arg("dtype") = t.attr("long")),
               t.attr("full")(nb::make_tuple(rows), -1, nb::arg("dtype") = t.attr("long")), r, t.attr("zeros")(rows)};
    return make_state(s);
}

const char *const kScoreSig = "score(self, state, candidates)";

nb::object score(const ql::Args &a) {
    nb::handle self = a.self();
    RowState s = checked_state(self, a["state"]);
    nb::object candidates = on_cpu(a["candidates"], "long");
    long rows = size_of(s.r, 0);
    if (as_long(candidates.attr("dim")()) != 2 || size_of(candidates, 0) != rows)
        ql::raise_value_error("candidates must be a (" + std::to_string(rows) + ", k) tensor of token ids");
    nb::object x = self.attr("log_probs"), lengths = self.attr("lengths");
    long frames = size_of(x, 1), width = size_of(candidates, 1);
    nb::object t = torch();
    nb::object candidate_r = t.attr("empty")(nb::make_tuple(rows, width, frames, 2));
    nb::object scores = t.attr("empty")(nb::make_tuple(rows, width));
    Problem p{data_of<const float>(x), data_of<const int64_t>(lengths), frames, size_of(x, 2),
              as_long(self.attr("blank")), as_long(self.attr("end")), rows, width,
              data_of<const int64_t>(s.utterance), data_of<const int64_t>(s.prefix_length),
              data_of<const int64_t>(s.last), data_of<const float>(s.r), data_of<const int64_t>(candidates),
              data_of<float>(candidate_r), data_of<float>(scores)};
    {
        nb::gil_scoped_release release;
        score_all(p);
    }
    nb::dict state = make_state(s);
    state["candidates"] = candidates;
    state["candidate_r"] = candidate_r;
    state["candidate_scores"] = scores;
    return nb::make_tuple(scores, state);
}

const char *const kExtendSig = "extend(self, state, tokens)";

nb::object extend_state(const ql::Args &a) {
    nb::handle self = a.self(), state = a["state"];
    RowState s = checked_state(self, state);
    nb::dict d = nb::borrow<nb::dict>(state);
    if (!d.contains("candidates")) ql::raise_value_error("extend needs the state returned by score");
    nb::object candidates = d["candidates"];
    nb::object tokens = on_cpu(a["tokens"], "long").attr("reshape")(-1);
    long rows = size_of(s.r, 0);
    if (as_long(tokens.attr("numel")()) != rows)
        ql::raise_value_error("tokens must hold one token per row (" + std::to_string(rows) + ")");
    nb::object match = candidates.attr("eq")(tokens.attr("unsqueeze")(1));
    if (!ql::truthy(match.attr("any")(1).attr("all")()))
        ql::raise_value_error("every token must be one of the candidates scored for its row");
    nb::object t = torch();
    nb::object choice = match.attr("int")().attr("argmax")(1);
    nb::object row = t.attr("arange")(rows);
    s.r = d["candidate_r"][nb::make_tuple(row, choice)].attr("contiguous")();
    s.prefix = d["candidate_scores"].attr("gather")(1, choice.attr("unsqueeze")(1)).attr("squeeze")(1);
    s.prefix_length = s.prefix_length + nb::int_(1);
    s.last = tokens;
    return make_state(s);
}

const char *const kReorderSig = "reorder(self, state, index)";

nb::object reorder(const ql::Args &a) {
    nb::handle state = a["state"];
    checked_state(a.self(), state);
    nb::object index = on_cpu(a["index"], "long");
    nb::dict kept;
    for (auto [key, value] : nb::borrow<nb::dict>(state)) kept[key] = nb::handle(value).attr("index_select")(0, index);
    return kept;
}

const char *const kClassDoc = R"doc(Prefix scores of a CTC head, for joint CTC/attention decoding.

log_probs (frames, batch, vocab) and lengths (batch,) are the CTC inputs of the recogniser's
encode; blank is the CTC blank id (the tokenizer's pad id), end the end id. A state holds one
label prefix per row; the prompt tokens are not labels, so every row starts empty. N rows of
B utterances are split as in the models' score: rows b * k .. b * k + k - 1 read utterance b.

    state = scorer.init_state(prompts)
    scores, state = scorer.score(state, candidates)   # (N, k) log P(prefix + c ...)
    state = scorer.extend(state, tokens)              # tokens (N,), each scored just before
    state = scorer.reorder(state, index)

The end id scores log P(the utterance is exactly the prefix, with or without a final end label).
Other ids outside the vocabulary and the blank score -inf.)doc";

}  // namespace

QL_MODULE(ctc_prefix, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    m.doc() = "CTC prefix scores for joint CTC/attention decoding.";
    ql::make_class(m, "CTCPrefixScorer", {ql::import_attr("builtins", "object")}, kClassDoc,
                   {ql::method(kInitSig, init), ql::method(kInitStateSig, init_state,
                                                           "The empty prefix for every row of prompts (N, t)."),
                    ql::method(kScoreSig, score,
                               "Prefix scores (N, k) of each row's prefix extended by each of its candidates\n"
                               "(N, k); the returned state remembers them for extend."),
                    ql::method(kExtendSig, extend_state,
                               "Extends each row's prefix by its token, one of the candidates just scored."),
                    ql::method(kReorderSig, reorder, "The rows index (a long tensor) of the state, in that order.")});
}
