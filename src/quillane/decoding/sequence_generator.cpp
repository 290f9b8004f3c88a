// Autoregressive decoding around a next-token score function: greedy search, beam search
// (all utterances and beams scored in one call per step) and top-k / nucleus sampling.
//
// Conventions shared by the three strategies:
//  * score_fn maps (N, t) long prefixes to (N, V) next-token logits;
//  * logits are divided by the temperature (after the repeat penalty) and turned into
//    log-probabilities; a sequence's score is the sum of the log-probabilities of the
//    tokens generated after the prompt;
//  * max_length bounds the whole sequence, prompt included;
//  * a row that produced the end id is finished: it grows only by pad ids, its score no
//    longer changes, and decoding stops once every row is finished.
#include "context.hpp"
#include "core.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <limits>

namespace {
namespace nb = nanobind;

nb::handle torch, F, builtins;

struct Options {
    double temperature = 1.0;
    double repeat_penalty = 1.0;
};

long as_long(nb::handle h) { return nb::cast<long>(h); }

void check_options(const Options &o) {
    if (!(o.temperature > 0.0)) ql::raise_value_error("temperature must be positive, got " + std::to_string(o.temperature));
    if (!(o.repeat_penalty > 0.0))
        ql::raise_value_error("repeat_penalty must be positive, got " + std::to_string(o.repeat_penalty));
}

// The prompts as a (B, t) long tensor on the generator's device.
nb::object prepare_prompts(nb::handle self, nb::handle prompts) {
    if (!PyObject_IsInstance(prompts.ptr(), torch.attr("Tensor").ptr()))
        ql::raise_type_error("prompts must be a tensor, got " + ql::type_name(prompts));
    if (as_long(prompts.attr("dim")()) != 2)
        ql::raise_value_error("prompts must have shape (batch, length), got " + ql::str(prompts.attr("shape")));
    if (as_long(prompts.attr("size")(1)) < 1) ql::raise_value_error("prompts must hold at least one token per row");
    nb::object device = self.attr(QL_ID("device"));
    nb::object p = prompts.attr("to")(nb::arg("dtype") = torch.attr("long"));
    if (!device.is_none()) p = p.attr("to")(device);
    return p;
}

// Next-token logits of every row, checked for shape and taken in 32-bit floats.
nb::object next_logits(nb::handle self, nb::handle seqs) {
    nb::object logits = self.attr(QL_ID("score_fn"))(seqs);
    long n = as_long(seqs.attr("size")(0));
    if (!PyObject_IsInstance(logits.ptr(), torch.attr("Tensor").ptr()) || as_long(logits.attr("dim")()) != 2 ||
        as_long(logits.attr("size")(0)) != n)
        ql::raise_value_error("score_fn must return next-token logits of shape (" + std::to_string(n) +
                              ", vocab_size), got " +
                              (PyObject_IsInstance(logits.ptr(), torch.attr("Tensor").ptr())
                                   ? ql::str(logits.attr("shape"))
                                   : ql::type_name(logits)));
    return logits.attr("float")();
}

// Divides positive and multiplies negative logits of the tokens already present in seqs.
nb::object apply_repeat_penalty(nb::handle logits, nb::handle seqs, double penalty) {
    if (penalty == 1.0) return nb::borrow(logits);
    nb::object seen = torch.attr("zeros_like")(logits, nb::arg("dtype") = torch.attr("bool"));
    seen.attr("scatter_")(1, seqs, true);
    nb::object zero = nb::float_(0.0);
    nb::object positive = ql::steal_checked(PyObject_RichCompare(logits.ptr(), zero.ptr(), Py_GT));
    nb::object penalised = torch.attr("where")(positive, logits.attr("__truediv__")(penalty),
                                               logits.attr("__mul__")(penalty));
    return torch.attr("where")(seen, penalised, logits);
}

nb::object tempered(nb::handle logits, double temperature) {
    return temperature == 1.0 ? nb::borrow(logits) : logits.attr("__truediv__")(temperature);
}

// Appends one column to seqs.
nb::object append(nb::handle seqs, nb::handle tokens) {
    return torch.attr("cat")(nb::make_tuple(seqs, tokens.attr("unsqueeze")(1)), nb::arg("dim") = 1);
}

bool all_true(nb::handle mask) { return PyObject_IsTrue(mask.attr("all")().ptr()) == 1; }

nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    if (a.to_int("max_length") < 1)
        ql::raise_value_error("max_length must be at least 1, got " + ql::str(a["max_length"]));
    self.attr("score_fn") = a["score_fn"];
    self.attr("tokenizer") = a["tokenizer"];
    self.attr("max_length") = a["max_length"];
    self.attr("device") = a.is_none("device") ? nb::none() : torch.attr("device")(a["device"]);
    return nb::none();
}

// Shared by greedy search and sampling: one new token per row and step.
// pick(log_probs_for_choice, logits) returns the chosen token of every row.
template <typename Pick>
nb::object run_stepwise(nb::handle self, nb::handle prompts, const Options &o, Pick pick) {
    ql::ContextGuard no_grad(torch.attr("no_grad")());
    nb::object seqs = prepare_prompts(self, prompts);
    long max_length = as_long(self.attr(QL_ID("max_length")));
    nb::handle tok = self.attr(QL_ID("tokenizer"));
    long pad = as_long(tok.attr("pad_id")), eos = as_long(tok.attr("eos_id"));
    long batch = as_long(seqs.attr("size")(0));
    nb::object scores = torch.attr("zeros")(batch, nb::arg("device") = seqs.attr("device"));
    if (batch == 0) return nb::make_tuple(seqs, scores);
    nb::object finished = torch.attr("zeros")(batch, nb::arg("dtype") = torch.attr("bool"),
                                              nb::arg("device") = seqs.attr("device"));
    while (as_long(seqs.attr("size")(1)) < max_length) {
        nb::object logits = next_logits(self, seqs);
        logits = tempered(apply_repeat_penalty(logits, seqs, o.repeat_penalty), o.temperature);
        nb::object log_probs = F.attr("log_softmax")(logits, nb::arg("dim") = -1);
        nb::object tokens = pick(log_probs, logits);
        nb::object token_scores = log_probs.attr("gather")(1, tokens.attr("unsqueeze")(1)).attr("squeeze")(1);
        tokens = torch.attr("where")(finished, pad, tokens);
        scores = scores.attr("__add__")(torch.attr("where")(finished, 0.0, token_scores));
        seqs = append(seqs, tokens);
        finished = finished.attr("__or__")(tokens.attr("__eq__")(eos));
        if (all_true(finished)) break;
    }
    return nb::make_tuple(seqs, scores);
}

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
    double inf = std::numeric_limits<double>::infinity();
    long vocab = as_long(logits.attr("size")(-1));
    if (top_k > 0 && top_k < vocab) {
        nb::object kth =
            torch.attr("topk")(logits, top_k, nb::arg("dim") = -1).attr("values").attr("narrow")(-1, top_k - 1, 1);
        nb::object below = ql::steal_checked(PyObject_RichCompare(logits.ptr(), kth.ptr(), Py_LT));
        logits = logits.attr("masked_fill")(below, -inf);
    }
    if (top_p > 0.0 && top_p < 1.0) {
        nb::object sorted = torch.attr("sort")(logits, nb::arg("dim") = -1, nb::arg("descending") = true);
        nb::object values = sorted.attr("values"), indices = sorted.attr("indices");
        nb::object probs = F.attr("softmax")(values, nb::arg("dim") = -1);
        // probability mass strictly before each token; the token that crosses top_p stays
        nb::object before = torch.attr("cumsum")(probs, nb::arg("dim") = -1).attr("__sub__")(probs);
        nb::object drop = before.attr("__ge__")(top_p);
        values = values.attr("masked_fill")(drop, -inf);
        logits = torch.attr("full_like")(logits, -inf).attr("scatter")(1, indices, values);
    }
    return logits;
}

nb::object generate_sample(const ql::Args &a) {
    Options o{a.to_double("temperature"), a.to_double("repeat_penalty")};
    check_options(o);
    long top_k = (long)a.to_int("top_k");
    double top_p = a.to_double("top_p");
    if (top_k < 0) ql::raise_value_error("top_k must be 0 (off) or positive, got " + std::to_string(top_k));
    if (!(top_p >= 0.0 && top_p <= 1.0))
        ql::raise_value_error("top_p must lie in [0, 1] (0 and 1 turn it off), got " + std::to_string(top_p));
    return run_stepwise(a.self(), a["prompts"], o, [top_k, top_p](nb::handle, nb::handle logits) {
        nb::object probs = F.attr("softmax")(filter_logits(nb::borrow(logits), top_k, top_p), nb::arg("dim") = -1);
        return torch.attr("multinomial")(probs, 1).attr("squeeze")(1);
    });
}

nb::object generate_beam(const ql::Args &a) {
    nb::handle self = a.self();
    long width = (long)a.to_int("beam_width");
    Options o{a.to_double("temperature"), a.to_double("repeat_penalty")};
    check_options(o);
    if (width < 1) ql::raise_value_error("beam_width must be at least 1, got " + std::to_string(width));
    ql::ContextGuard no_grad(torch.attr("no_grad")());
    nb::object seqs = prepare_prompts(self, a["prompts"]);
    nb::object device = seqs.attr("device");
    long max_length = as_long(self.attr(QL_ID("max_length")));
    nb::handle tok = self.attr(QL_ID("tokenizer"));
    long pad = as_long(tok.attr("pad_id")), eos = as_long(tok.attr("eos_id"));
    long batch = as_long(seqs.attr("size")(0));
    double inf = std::numeric_limits<double>::infinity();

    // Row b * width + w holds beam w of utterance b. Only beam 0 starts alive, so the first
    // step does not fill the beams with copies of one hypothesis.
    seqs = seqs.attr("repeat_interleave")(width, nb::arg("dim") = 0);
    nb::object beam_scores = torch.attr("zeros")(batch, width, nb::arg("device") = device);
    beam_scores.attr("narrow")(1, 1, width - 1).attr("fill_")(-inf);
    nb::object finished = torch.attr("zeros")(batch * width, nb::arg("dtype") = torch.attr("bool"),
                                              nb::arg("device") = device);
    nb::object row_base = torch.attr("arange")(batch, nb::arg("device") = device).attr("mul")(width).attr("unsqueeze")(1);

    while (batch > 0 && as_long(seqs.attr("size")(1)) < max_length) {
        nb::object logits = next_logits(self, seqs);
        logits = tempered(apply_repeat_penalty(logits, seqs, o.repeat_penalty), o.temperature);
        nb::object log_probs = F.attr("log_softmax")(logits, nb::arg("dim") = -1);
        long vocab = as_long(log_probs.attr("size")(1));
        // a finished beam continues only with pad, at no cost
        nb::object pad_only = torch.attr("full")(nb::make_tuple(vocab), -inf, nb::arg("device") = device);
        pad_only[nb::int_(pad)] = nb::float_(0.0);
        log_probs = torch.attr("where")(finished.attr("unsqueeze")(1), pad_only, log_probs);
        nb::object candidates =
            beam_scores.attr("reshape")(-1, 1).attr("__add__")(log_probs).attr("reshape")(batch, width * vocab);
        nb::object top = torch.attr("topk")(candidates, width, nb::arg("dim") = 1);
        nb::object top_index = top.attr("indices");
        nb::object source = row_base.attr("__add__")(top_index.attr("div")(vocab, nb::arg("rounding_mode") = "floor"))
                                .attr("reshape")(-1);
        nb::object tokens = top_index.attr("remainder")(vocab).attr("reshape")(-1);
        seqs = append(seqs.attr("index_select")(0, source), tokens);
        finished = finished.attr("index_select")(0, source).attr("__or__")(tokens.attr("__eq__")(eos));
        beam_scores = top.attr("values");
        if (all_true(finished)) break;
    }
    long length = as_long(seqs.attr("size")(1));
    return nb::make_tuple(seqs.attr("reshape")(batch, width, length), beam_scores);
}

nb::object post_process_sequence(const ql::Args &a) {
    nb::handle seqs = a["seqs"];
    long eos = as_long(a["tokenizer"].attr("eos_id"));
    if (!PyObject_IsInstance(seqs.ptr(), torch.attr("Tensor").ptr()) || as_long(seqs.attr("dim")()) != 2)
        ql::raise_value_error("post_process_sequence expects a (batch, length) tensor");
    nb::object host = seqs.attr("detach")().attr("to")("cpu", torch.attr("long")).attr("contiguous")();
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

}  // namespace

QL_MODULE(sequence_generator, m) {
    torch = ql::keep(ql::import("torch"));
    F = ql::keep(ql::import("torch.nn.functional"));
    builtins = ql::keep(ql::import("builtins"));
    m.doc() = "Greedy, beam and sampling search over a next-token score function.";

    ql::make_class(
        m, "SequenceGenerator", {builtins.attr("object")},
        "Extends token prefixes with a score function.\n\n"
        "score_fn maps (N, t) long prefixes to (N, V) next-token logits and may be replaced at any\n"
        "time. Sequences grow to at most max_length tokens, prompt included; a row stops at the\n"
        "tokenizer's end id and is padded with its pad id. Scores are summed log-probabilities\n"
        "(after temperature and repeat penalty) of the generated tokens. No gradients are recorded.",
        {ql::method("__init__(self, score_fn, tokenizer, max_length: int, device=None)", init,
                    "device: where prompts are moved before decoding (None keeps theirs)."),
         ql::method("generate_greedy(self, prompts, temperature: float = 1.0, repeat_penalty: float = 1.0)",
                    generate_greedy,
                    "Returns (seqs (B, L) long, scores (B,)) choosing the most likely token at each step."),
         ql::method("generate_beam(self, prompts, beam_width: int, temperature: float = 1.0, "
                    "repeat_penalty: float = 1.0)",
                    generate_beam,
                    "Returns (seqs (B, W, L), scores (B, W)), beams sorted best first. All B x W\n"
                    "hypotheses are scored in one score_fn call per step; row b * W + w of the prefixes\n"
                    "handed to score_fn is beam w of prompt b."),
         ql::method("generate_sample(self, prompts, temperature: float = 1.0, top_k: int = 0, "
                    "top_p: float = 1.0, repeat_penalty: float = 1.0)",
                    generate_sample,
                    "Returns (seqs (B, L), scores (B,)) drawing each token with torch's global generator\n"
                    "from the tokens left by top_k (0 = all) and nucleus top_p (0 or 1 = all). Scores\n"
                    "use the unfiltered, tempered distribution."),
         ql::static_method("post_process_sequence(seqs, tokenizer)", post_process_sequence,
                           "Returns one 1-D long tensor per row of seqs (B, L), cut after the first end id\n"
                           "(which is kept); rows without one are returned whole.")});
}
