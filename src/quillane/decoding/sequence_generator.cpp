// Autoregressive decoding around a next-token scorer: greedy search, beam search (all
// utterances and beams scored in one call per step) and top-k / nucleus sampling.
//
// Conventions shared by the three strategies:
//  * logits are divided by the temperature (after the repeat penalty) and turned into
//    log-probabilities; a sequence's score is the sum of the log-probabilities of the
//    tokens generated after the prompt;
//  * max_length bounds the whole sequence, prompt included;
//  * a row that produced the end id is finished: it grows only by pad ids, its score no
//    longer changes, and decoding stops once every row is finished.
//
// Scorers. score_fn is one of two kinds:
//  * a plain callable mapping (N, t) long prefixes to (N, V) next-token logits. It sees every
//    row's whole prefix at every step, finished rows included, so a row keeps its place
//    (row b * W + w is beam w of prompt b);
//  * an incremental scorer, an object with the three methods
//        init_state(prompts) -> state              nothing scored yet
//        step(state, tokens) -> (scores, state)     tokens (N, k) follow what state holds
//        reorder(state, index) -> state             the rows `index` (long tensor) of state
//    The first step gets the whole prompts (beam search: one row per prompt); every later step
//    gets the newest token of each row still decoding, after reorder has kept exactly those
//    rows (in beam search: the hypotheses that survived, from the rows they grew out of). Rows
//    of finished or impossible (-inf) hypotheses are dropped and never scored again. The state
//    is the scorer's own business, and each one is used once: the generator hands every
//    state it gets back to exactly one later call, so a scorer may update its buffers in place.
// A scorer whose attribute `normalized` is true returns log-probabilities rather than logits;
// they are used as they come (after temperature and repeat penalty), without a softmax.
// Scores that are NaN or +inf, or logits that are -inf for every token, raise ValueError.
#include "context.hpp"
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <limits>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;
const double kInf = std::numeric_limits<double>::infinity();

struct Options {
    double temperature = 1.0;
    double repeat_penalty = 1.0;
};

void check_options(const Options &o) {
    if (!(o.temperature > 0.0)) ql::raise_value_error("temperature must be positive, got " + std::to_string(o.temperature));
    if (!(o.repeat_penalty > 0.0))
        ql::raise_value_error("repeat_penalty must be positive, got " + std::to_string(o.repeat_penalty));
}

bool is_tensor(nb::handle h) { return ql::is_instance(h, globals["torch"].attr("Tensor")); }

// The prompts as a (B, t) long tensor on the generator's device.
nb::object prepare_prompts(nb::handle self, nb::handle prompts) {
    if (!is_tensor(prompts)) ql::raise_type_error("prompts must be a tensor, got " + ql::type_name(prompts));
    if (as_long(prompts.attr("dim")()) != 2)
        ql::raise_value_error("prompts must have shape (batch, length), got " + ql::str(prompts.attr("shape")));
    long length = as_long(prompts.attr("size")(1)), max_length = as_long(self.attr(QL_ID("max_length")));
    if (length < 1) ql::raise_value_error("prompts must hold at least one token per row");
    if (length > max_length)
        ql::raise_value_error("max_length (" + std::to_string(max_length) + ") is shorter than the prompts (" +
                              std::to_string(length) + " tokens)");
    nb::object device = self.attr(QL_ID("device"));
    nb::object p = prompts.attr("to")(nb::arg("dtype") = globals["torch"].attr("long"));
    if (!device.is_none()) p = p.attr("to")(device);
    return p;
}

// Scores of `rows` rows, checked for shape and taken in 32-bit floats.
nb::object checked_scores(nb::handle scores, long rows) {
    if (!is_tensor(scores) || as_long(scores.attr("dim")()) != 2 || as_long(scores.attr("size")(0)) != rows)
        ql::raise_value_error("score_fn must return next-token logits of shape (" + std::to_string(rows) +
                              ", vocab_size), got " +
                              (is_tensor(scores) ? ql::str(scores.attr("shape")) : ql::type_name(scores)));
    return scores.attr("float")();
}

// Runs the score function of one decoding call, plain or incremental (see the top of the file).
class Scoring {
public:
    explicit Scoring(nb::handle score_fn) : fn_(nb::borrow(score_fn)) {
        incremental_ = nb::hasattr(fn_, "init_state") && nb::hasattr(fn_, "step") && nb::hasattr(fn_, "reorder");
        normalized_ = nb::hasattr(fn_, "normalized") && ql::truthy(fn_.attr("normalized"));
    }

    bool normalized() const { return normalized_; }

    // Scores of every row of seqs before the first new token. In beam search (group = W) the
    // rows come in groups of W copies of one prompt; an incremental scorer scores the first of each.
    nb::object start(nb::handle seqs, long group) {
        long rows = as_long(seqs.attr("size")(0));
        if (!incremental_) return checked_scores(fn_(seqs), rows);
        nb::object torch = globals["torch"];
        held_ = torch.attr("arange")(0, rows, group, nb::arg("device") = seqs.attr("device"));
        nb::object prompts = seqs.attr("index_select")(0, held_);
        state_ = fn_.attr("init_state")(prompts);
        nb::object scores = first_of_step(fn_.attr("step")(state_, prompts), as_long(held_.attr("numel")()));
        vocab_ = as_long(scores.attr("size")(1));
        return spread(scores, rows);
    }

    // Scores after the rows were rearranged and grew by one token each: new row i grew out of
    // old row source[i] (source None: rows kept their places) by tokens[i]. Rows where live is
    // false are finished or impossible; an incremental scorer leaves them out (their scores are 0).
    nb::object advance(nb::handle seqs, nb::handle tokens, nb::handle source, nb::handle live) {
        long rows = as_long(seqs.attr("size")(0));
        if (!incremental_) return checked_scores(fn_(seqs), rows);
        nb::object torch = globals["torch"];
        nb::object kept = live.attr("nonzero")().attr("squeeze")(1);
        long count = as_long(kept.attr("numel")());
        if (count == 0) return spread(nb::none(), rows);
        if (!source.is_none() || count != as_long(held_.attr("numel")())) {
            nb::object origin = source.is_none() ? kept : source.attr("index_select")(0, kept);
            // where each batch row sits in the state
            nb::object place = torch.attr("full")(nb::make_tuple(rows), -1, nb::arg("dtype") = torch.attr("long"),
                                                  nb::arg("device") = kept.attr("device"));
            place.attr("index_copy_")(0, held_, torch.attr("arange")(as_long(held_.attr("numel")()),
                                                                     nb::arg("device") = kept.attr("device")));
            state_ = fn_.attr("reorder")(state_, place.attr("index_select")(0, origin));
        }
        held_ = kept;
        nb::object fresh = tokens.attr("index_select")(0, kept).attr("unsqueeze")(1);
        return spread(first_of_step(fn_.attr("step")(state_, fresh), count), rows);
    }

private:
    // The scores of a step's (scores, state) result; keeps the state.
    nb::object first_of_step(nb::handle result, long rows) {
        auto [scores, state] = ql::unpack<2>(result);
        state_ = state;
        return checked_scores(scores, rows);
    }

    // (rows, V) scores with the held rows' scores in place and zeros elsewhere.
    nb::object spread(nb::handle scores, long rows) {
        nb::object torch = globals["torch"];
        nb::object device = held_.attr("device");
        nb::object full = torch.attr("zeros")(rows, vocab_ ? vocab_ : as_long(scores.attr("size")(1)),
                                              nb::arg("device") = device);
        if (!scores.is_none()) full.attr("index_copy_")(0, held_, scores);
        return full;
    }

    nb::object fn_, state_, held_;
    bool incremental_ = false, normalized_ = false;
    long vocab_ = 0;
};

// Divides positive and multiplies negative logits of the tokens already present in seqs.
nb::object apply_repeat_penalty(nb::handle logits, nb::handle seqs, double penalty) {
    if (penalty == 1.0) return nb::borrow(logits);
    nb::object torch = globals["torch"];
    nb::object seen = torch.attr("zeros_like")(logits, nb::arg("dtype") = torch.attr("bool"));
    seen.attr("scatter_")(1, seqs, true);
    nb::object factor = nb::float_(penalty);
    nb::object penalised = torch.attr("where")(logits.attr("gt")(0.0), logits / factor, logits * factor);
    return torch.attr("where")(seen, penalised, logits);
}

// The scores of one step after repeat penalty and temperature, and the log-probabilities of
// the next token made from them, checked.
struct NextToken {
    nb::object scores, log_probs;
};

NextToken next_token(nb::handle raw, nb::handle seqs, const Options &o, bool normalized) {
    nb::object s = apply_repeat_penalty(raw, seqs, o.repeat_penalty);
    if (o.temperature != 1.0) s = s / nb::float_(o.temperature);
    nb::object log_probs = normalized ? s : globals["F"].attr("log_softmax")(s, nb::arg("dim") = -1);
    // NaN or +inf anywhere; after a softmax also a row whose logits were all -inf
    if (!ql::truthy(log_probs.attr("lt")(kInf).attr("all")()))
        ql::raise_value_error("score_fn returned unusable scores: NaN, +inf, or -inf for every token of a row");
    return {s, log_probs};
}

// Appends one column to seqs.
nb::object append(nb::handle seqs, nb::handle tokens) {
    return globals["torch"].attr("cat")(nb::make_tuple(seqs, tokens.attr("unsqueeze")(1)), nb::arg("dim") = 1);
}

const char *const kInitSig = "__init__(self, score_fn, tokenizer, max_length: int, device=None)";

nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    if (a.to_int("max_length") < 1)
        ql::raise_value_error("max_length must be at least 1, got " + ql::str(a["max_length"]));
    self.attr("score_fn") = a["score_fn"];
    self.attr("tokenizer") = a["tokenizer"];
    self.attr("max_length") = a["max_length"];
    self.attr("device") = a.is_none("device") ? nb::none() : globals["torch"].attr("device")(a["device"]);
    return nb::none();
}

// Shared by greedy search and sampling: one new token per row and step.
// pick(log_probs, tempered scores) returns the chosen token of every row.
template <typename Pick>
nb::object run_stepwise(nb::handle self, nb::handle prompts, const Options &o, Pick pick) {
    nb::object torch = globals["torch"];
    ql::ContextGuard no_grad(torch.attr("no_grad")());
    nb::object seqs = prepare_prompts(self, prompts);
    long max_length = as_long(self.attr(QL_ID("max_length")));
    nb::handle tok = self.attr(QL_ID("tokenizer"));
    long pad = as_long(tok.attr("pad_id")), eos = as_long(tok.attr("eos_id"));
    long batch = as_long(seqs.attr("size")(0));
    nb::object device = seqs.attr("device");
    nb::object scores = torch.attr("zeros")(batch, nb::arg("device") = device);
    if (batch == 0 || as_long(seqs.attr("size")(1)) >= max_length) return nb::make_tuple(seqs, scores);
    nb::object finished = torch.attr("zeros")(batch, nb::arg("dtype") = torch.attr("bool"), nb::arg("device") = device);
    Scoring scoring(self.attr(QL_ID("score_fn")));
    nb::object step_scores = scoring.start(seqs, 1);
    while (true) {
        auto [tempered, log_probs] = next_token(step_scores, seqs, o, scoring.normalized());
        nb::object tokens = pick(log_probs, tempered);
        nb::object token_scores = log_probs.attr("gather")(1, tokens.attr("unsqueeze")(1)).attr("squeeze")(1);
        tokens = torch.attr("where")(finished, pad, tokens);
        scores = scores + torch.attr("where")(finished, 0.0, token_scores);
        seqs = append(seqs, tokens);
        finished = finished | tokens.attr("eq")(eos);
        if (ql::truthy(finished.attr("all")()) || as_long(seqs.attr("size")(1)) >= max_length) break;
        step_scores = scoring.advance(seqs, tokens, nb::none(), ~finished);
    }
    return nb::make_tuple(seqs, scores);
}

const char *const kGreedySig = "generate_greedy(self, prompts, temperature: float = 1.0, repeat_penalty: float = 1.0)";

nb::object generate_greedy(const ql::Args &a) {
    Options o{a.to_double("temperature"), a.to_double("repeat_penalty")};
    check_options(o);
    return run_stepwise(a.self(), a["prompts"], o, [](nb::handle log_probs, nb::handle) {
        return log_probs.attr("argmax")(nb::arg("dim") = -1);
    });
}

// Keeps the top_k largest logits and the smallest set of most likely tokens whose
// probability reaches top_p; the others get -inf.
nb::object filter_logits(nb::object logits, long top_k, double top_p) {
    nb::object torch = globals["torch"], F = globals["F"];
    long vocab = as_long(logits.attr("size")(-1));
    if (top_k > 0 && top_k < vocab) {
        nb::object kth =
            torch.attr("topk")(logits, top_k, nb::arg("dim") = -1).attr("values").attr("narrow")(-1, top_k - 1, 1);
        logits = logits.attr("masked_fill")(logits.attr("lt")(kth), -kInf);
    }
    if (top_p > 0.0 && top_p < 1.0) {
        nb::object sorted = torch.attr("sort")(logits, nb::arg("dim") = -1, nb::arg("descending") = true);
        nb::object values = sorted.attr("values"), indices = sorted.attr("indices");
        nb::object probs = F.attr("softmax")(values, nb::arg("dim") = -1);
        // probability mass strictly before each token; the token that crosses top_p stays
        nb::object before = torch.attr("cumsum")(probs, nb::arg("dim") = -1) - probs;
        values = values.attr("masked_fill")(before.attr("ge")(top_p), -kInf);
        logits = torch.attr("full_like")(logits, -kInf).attr("scatter")(1, indices, values);
    }
    return logits;
}

const char *const kSampleSig =
    "generate_sample(self, prompts, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0, "
    "repeat_penalty: float = 1.0)";

nb::object generate_sample(const ql::Args &a) {
    Options o{a.to_double("temperature"), a.to_double("repeat_penalty")};
    check_options(o);
    long top_k = (long)a.to_int("top_k");
    double top_p = a.to_double("top_p");
    if (top_k < 0) ql::raise_value_error("top_k must be 0 (off) or positive, got " + std::to_string(top_k));
    if (!(top_p >= 0.0 && top_p <= 1.0))
        ql::raise_value_error("top_p must lie in [0, 1] (0 and 1 turn it off), got " + std::to_string(top_p));
    return run_stepwise(a.self(), a["prompts"], o, [top_k, top_p](nb::handle, nb::handle scores) {
        nb::object probs = globals["F"].attr("softmax")(filter_logits(nb::borrow(scores), top_k, top_p),
                                                        nb::arg("dim") = -1);
        return globals["torch"].attr("multinomial")(probs, 1).attr("squeeze")(1);
    });
}

const char *const kBeamSig =
    "generate_beam(self, prompts, beam_width: int, temperature: float = 1.0, repeat_penalty: float = 1.0)";

nb::object generate_beam(const ql::Args &a) {
    nb::handle self = a.self();
    long width = (long)a.to_int("beam_width");
    Options o{a.to_double("temperature"), a.to_double("repeat_penalty")};
    check_options(o);
    if (width < 1) ql::raise_value_error("beam_width must be at least 1, got " + std::to_string(width));
    nb::object torch = globals["torch"];
    ql::ContextGuard no_grad(torch.attr("no_grad")());
    nb::object seqs = prepare_prompts(self, a["prompts"]);
    nb::object device = seqs.attr("device");
    long max_length = as_long(self.attr(QL_ID("max_length")));
    nb::handle tok = self.attr(QL_ID("tokenizer"));
    long pad = as_long(tok.attr("pad_id")), eos = as_long(tok.attr("eos_id"));
    long batch = as_long(seqs.attr("size")(0));

    // Row b * width + w holds beam w of utterance b. Only beam 0 starts alive, so the first
    // step does not fill the beams with copies of one hypothesis.
    seqs = seqs.attr("repeat_interleave")(width, nb::arg("dim") = 0);
    nb::object beam_scores = torch.attr("zeros")(batch, width, nb::arg("device") = device);
    beam_scores.attr("narrow")(1, 1, width - 1).attr("fill_")(-kInf);
    long length = as_long(seqs.attr("size")(1));
    if (batch == 0 || length >= max_length) return nb::make_tuple(seqs.attr("reshape")(batch, width, length), beam_scores);
    nb::object finished =
        torch.attr("zeros")(batch * width, nb::arg("dtype") = torch.attr("bool"), nb::arg("device") = device);
    nb::object row_base = torch.attr("arange")(batch, nb::arg("device") = device).attr("mul")(width).attr("unsqueeze")(1);
    Scoring scoring(self.attr(QL_ID("score_fn")));
    nb::object step_scores = scoring.start(seqs, width);
    while (true) {
        nb::object log_probs = next_token(step_scores, seqs, o, scoring.normalized()).log_probs;
        long vocab = as_long(log_probs.attr("size")(1));
        // a finished beam continues only with pad, at no cost
        nb::object pad_only = torch.attr("full")(nb::make_tuple(vocab), -kInf, nb::arg("device") = device);
        pad_only[nb::int_(pad)] = nb::float_(0.0);
        log_probs = torch.attr("where")(finished.attr("unsqueeze")(1), pad_only, log_probs);
        nb::object candidates = (beam_scores.attr("reshape")(-1, 1) + log_probs).attr("reshape")(batch, width * vocab);
        nb::object top = torch.attr("topk")(candidates, width, nb::arg("dim") = 1);
        nb::object top_index = top.attr("indices");
        nb::object source =
            (row_base + top_index.attr("div")(vocab, nb::arg("rounding_mode") = "floor")).attr("reshape")(-1);
        nb::object tokens = top_index.attr("remainder")(vocab).attr("reshape")(-1);
        seqs = append(seqs.attr("index_select")(0, source), tokens);
        finished = finished.attr("index_select")(0, source) | tokens.attr("eq")(eos);
        beam_scores = top.attr("values");
        if (ql::truthy(finished.attr("all")()) || as_long(seqs.attr("size")(1)) >= max_length) break;
        nb::object live = ~finished & torch.attr("isfinite")(beam_scores.attr("reshape")(-1));
        step_scores = scoring.advance(seqs, tokens, source, live);
    }
    length = as_long(seqs.attr("size")(1));
    return nb::make_tuple(seqs.attr("reshape")(batch, width, length), beam_scores);
}

const char *const kPostProcessSig = "post_process_sequence(seqs, tokenizer)";

nb::object post_process_sequence(const ql::Args &a) {
    nb::handle seqs = a["seqs"];
    long eos = as_long(a["tokenizer"].attr("eos_id"));
    if (!is_tensor(seqs) || as_long(seqs.attr("dim")()) != 2)
        ql::raise_value_error("post_process_sequence expects a (batch, length) tensor");
    nb::object host = seqs.attr("detach")().attr("to")("cpu", globals["torch"].attr("long")).attr("contiguous")();
    auto view = nb::cast<nb::ndarray<const int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(host);
    size_t rows = view.shape(0), cols = view.shape(1);
    std::vector<long> cut(rows, (long)cols);
    {
        nb::gil_scoped_release release;
        const int64_t *data = view.data();
        for (size_t r = 0; r < rows; ++r) {
            const int64_t *row = data + r * cols;
            for (size_t c = 0; c < cols; ++c) {
                if (row[c] == eos) {
                    cut[r] = (long)c + 1;  // the end id stays, whatever follows is dropped
                    break;
                }
            }
        }
    }
    nb::object long_seqs = seqs.attr("long")();
    nb::list out;
    for (size_t r = 0; r < rows; ++r)
        out.append(long_seqs.attr("select")(0, r).attr("narrow")(0, 0, cut[r]));
    return out;
}

const char *const kGeneratorDoc = R"doc(Extends token prefixes with a score function.

score_fn maps (N, t) long prefixes to (N, V) next-token logits and may be replaced at any
time; an incremental scorer (init_state, step, reorder; see the module) is driven position by
position instead, and finished rows cost it nothing. Sequences grow to at most max_length
tokens, prompt included; a row stops at the tokenizer's end id and is padded with its pad id.
Scores are summed log-probabilities (after temperature and repeat penalty) of the generated
tokens. No gradients are recorded.)doc";

const char *const kModuleDoc = R"doc(Greedy, beam and sampling search over a next-token score function.

score_fn is a plain callable, (N, t) long prefixes -> (N, V) next-token logits, re-run on the
whole prefixes at every step, or an incremental scorer with three methods:

    init_state(prompts) -> state             nothing scored yet
    step(state, tokens) -> (scores, state)    tokens (N, k) follow what state holds
    reorder(state, index) -> state            the rows index (a long tensor) of state, in order

The first step gets the whole prompts (beam search: one row per prompt), every later step the
newest token of each row still decoding, after reorder has kept exactly those rows (beam
search: the surviving hypotheses, from the rows they grew out of). Each state is handed to
exactly one later call, so a scorer may update it in place. A scorer whose attribute
normalized is true returns log-probabilities, used without a softmax.)doc";

}  // namespace

QL_MODULE(sequence_generator, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("F", ql::import("torch.nn.functional"));
    m.doc() = kModuleDoc;

    ql::make_class(
        m, "SequenceGenerator", {ql::import_attr("builtins", "object")}, kGeneratorDoc,
        {ql::method(kInitSig, init, "device: where prompts are moved before decoding (None keeps theirs)."),
         ql::method(kGreedySig, generate_greedy,
                    "Returns (seqs (B, L) long, scores (B,)) choosing the most likely token at each step."),
         ql::method(kBeamSig, generate_beam,
                    "Returns (seqs (B, W, L), scores (B, W)), beams sorted best first. All B x W\n"
                    "hypotheses are scored in one score_fn call per step; row b * W + w of the prefixes\n"
                    "handed to score_fn is beam w of prompt b."),
         ql::method(kSampleSig, generate_sample,
                    "Returns (seqs (B, L), scores (B,)) drawing each token with torch's global generator\n"
                    "from the tokens left by top_k (0 = all) and nucleus top_p (0 or 1 = all). Scores\n"
                    "use the unfiltered, tempered distribution."),
         ql::static_method(kPostProcessSig, post_process_sequence,
                           "Returns one 1-D long tensor per row of seqs (B, L), cut after the first end id\n"
                           "(which is kept); rows without one are returned whole.")});
}
