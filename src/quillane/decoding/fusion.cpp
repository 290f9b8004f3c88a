// Scores for speech recognition: the recogniser's decoder, optionally fused with a language
// model (shallow fusion) and joined with the recogniser's CTC head (joint CTC/attention decoding),
// as one incremental scorer for the SequenceGenerator.
//
//  * attention and LM: logits = decoder logits + lm_weight * LM logits, exactly the score function
//    the recogniser has always been decoded with; lm_weight is read from the recognition
//    configuration at every step;
//  * with ctc_weight > 0 the step's scores are final log-probabilities instead:
//        (1 - ctc_weight) * log_softmax(logits) + ctc_weight * (log P_ctc(g + c ...) - log P_ctc(g ...))
//    for the pre_beam tokens the logits rank highest, plus the end id; every other token gets -inf.
//    Summed over a hypothesis, the CTC part is its CTC prefix score (for a finished one, the
//    probability of the whole label sequence), which keeps hypotheses in step with the audio:
//    words the decoder inserts or drops, and ends that come too early or too late, cost CTC
//    probability.
//
// Each part is itself an incremental scorer: the models' own (model.scorer), or a PrefixScorer
// that re-runs a plain score function on whole prefixes for models without one.
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#include <cmath>
#include <limits>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;
const double kInf = std::numeric_limits<double>::infinity();

nb::object torch() { return globals["torch"]; }

// ---------------------------------------------------------------------------
// PrefixScorer
// ---------------------------------------------------------------------------

bool has_memory(nb::handle scorer) { return !scorer.attr("encoder_output").is_none(); }

const char *const kPrefixInitSig = "__init__(self, score_fn, encoder_output=None, pad_mask_src=None)";

nb::object prefix_init(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("score_fn") = a["score_fn"];
    self.attr("encoder_output") = a["encoder_output"];
    self.attr("pad_mask_src") = a["pad_mask_src"];
    return nb::none();
}

const char *const kPrefixCallSig = "__call__(self, x)";

nb::object prefix_call(const ql::Args &a) {
    nb::handle self = a.self();
    if (!has_memory(self)) return self.attr("score_fn")(a["x"]);
    return self.attr("score_fn")(a["x"], self.attr("encoder_output"), self.attr("pad_mask_src"));
}

const char *const kPrefixInitStateSig = "init_state(self, prompts)";

nb::object prefix_init_state(const ql::Args &a) {
    nb::handle self = a.self(), prompts = a["prompts"];
    nb::dict state;
    state["prefixes"] = prompts.attr("narrow")(1, 0, 0);
    state["rows"] = nb::none();
    if (has_memory(self)) {
        long rows = as_long(prompts.attr("size")(0)), batch = as_long(self.attr("encoder_output").attr("size")(0));
        if (batch == 0 || rows % batch != 0)
            ql::raise_value_error("prompts have " + std::to_string(rows) + " rows, which is not a multiple of the " +
                                  std::to_string(batch) + " encoded utterances");
        state["rows"] = torch().attr("arange")(batch, nb::arg("device") = prompts.attr("device"))
                            .attr("repeat_interleave")(rows / batch);
    }
    return state;
}

const char *const kPrefixStepSig = "step(self, state, tokens)";

nb::object prefix_step(const ql::Args &a) {
    nb::handle self = a.self(), state = a["state"];
    nb::object prefixes = torch().attr("cat")(nb::make_tuple(state["prefixes"], a["tokens"]), nb::arg("dim") = 1);
    nb::object rows = state["rows"];
    nb::object logits;
    if (rows.is_none()) {
        logits = self.attr("score_fn")(prefixes);
    } else {
        // one row per hypothesis, so the score function sees as many utterances as rows
        nb::object mask = self.attr("pad_mask_src");
        if (!mask.is_none()) mask = mask.attr("index_select")(0, rows);
        logits = self.attr("score_fn")(prefixes, self.attr("encoder_output").attr("index_select")(0, rows), mask);
    }
    nb::dict next;
    next["prefixes"] = prefixes;
    next["rows"] = rows;
    return nb::make_tuple(logits, next);
}

const char *const kReorderSig = "reorder(self, state, index)";

nb::object prefix_reorder(const ql::Args &a) {
    nb::handle state = a["state"], index = a["index"];
    nb::object rows = state["rows"];
    nb::dict next;
    next["prefixes"] = state["prefixes"].attr("index_select")(0, index);
    next["rows"] = rows.is_none() ? nb::none() : rows.attr("index_select")(0, index);
    return next;
}

// ---------------------------------------------------------------------------
// FusedScorer
// ---------------------------------------------------------------------------

// The incremental scorer of a model: its own, or whole prefixes through its score method.
nb::object scorer_of(nb::handle model, nb::handle encoder_output, nb::handle pad_mask_src) {
    bool encoder = !encoder_output.is_none();
    if (nb::hasattr(model, "scorer"))
        return encoder ? model.attr("scorer")(encoder_output, pad_mask_src) : model.attr("scorer")();
    return globals["PrefixScorer"](model.attr("score"), encoder_output, pad_mask_src);
}

double ctc_weight_of(nb::handle config) {
    nb::object weight = ql::get(config, "ctc_weight", nb::float_(0.0));
    if (weight.is_none()) return 0.0;
    double w = ql::as_double(weight);
    if (!(w >= 0.0 && w < 1.0)) ql::raise_value_error("ctc_weight must lie in [0, 1), got " + ql::str(weight));
    return w;
}

const char *const kFusedInitSig =
    "__init__(self, model, encoder_output, pad_mask_src, recognition_config: dict, ctc_inputs=None, "
    "blank: int = 0, end: int = 2)";

nb::object fused_init(const ql::Args &a) {
    nb::handle self = a.self(), config = a["recognition_config"];
    double ctc_weight = ctc_weight_of(config);
    self.attr("model") = a["model"];
    self.attr("encoder_output") = a["encoder_output"];
    self.attr("pad_mask_src") = a["pad_mask_src"];
    self.attr("recognition_config") = config;
    self.attr("attention") = scorer_of(a["model"], a["encoder_output"], a["pad_mask_src"]);
    self.attr("ctc_weight") = ctc_weight;
    self.attr("normalized") = ctc_weight > 0.0;
    self.attr("ctc") = nb::none();
    self.attr("pre_beam") = 0;
    if (ctc_weight > 0.0) {
        nb::handle ctc = a["ctc_inputs"];
        if (ctc.is_none()) ql::raise_value_error("ctc_weight > 0 needs the CTC inputs of the encoder (ctc_inputs)");
        self.attr("ctc") = globals["CTCPrefixScorer"](ctc["log_probs"], ctc["lengths"], a["blank"], a["end"]);
        long width = std::max<long>(1, (long)as_long(config["beam_width"]));
        self.attr("pre_beam") = (long)std::ceil(1.5 * (double)width);
    }
    return nb::none();
}

// The fusion language model of the configuration, or None.
nb::object language_model(nb::handle self) { return ql::get(self.attr("recognition_config"), "lm_model", nb::none()); }

nb::object lm_weight(nb::handle self) { return self.attr("recognition_config")["lm_weight"]; }

// Joint scores from the step's fused logits and the CTC state of each row's current prefix.
std::pair<nb::object, nb::object> joint_scores(nb::handle self, nb::handle logits, nb::handle ctc_state) {
    nb::object t = torch();
    nb::object log_probs = globals["F"].attr("log_softmax")(logits.attr("float")(), nb::arg("dim") = -1);
    long vocab = as_long(log_probs.attr("size")(1));
    long keep = std::min<long>(vocab, as_long(self.attr("pre_beam")));
    nb::handle ctc = self.attr("ctc");
    nb::object best = t.attr("topk")(log_probs, keep, nb::arg("dim") = 1).attr("indices");
    nb::object end = t.attr("full_like")(best.attr("narrow")(1, 0, 1), ctc.attr("end"));
    nb::object candidates = t.attr("cat")(nb::make_tuple(best, end), nb::arg("dim") = 1);
    auto [prefix_scores, scored] = ql::unpack<2>(ctc.attr("score")(ctc_state, candidates));
    nb::object device = log_probs.attr("device");
    // an impossible prefix (-inf) has only impossible extensions
    nb::object gain = (prefix_scores - ctc_state["prefix"].attr("unsqueeze")(1))
                          .attr("nan_to_num")(nb::arg("nan") = -kInf)
                          .attr("to")(device);
    double w = ql::as_double(self.attr("ctc_weight"));
    nb::object joint = log_probs.attr("gather")(1, candidates) * nb::float_(1.0 - w) + gain * nb::float_(w);
    nb::object scores = t.attr("full_like")(log_probs, -kInf).attr("scatter")(1, candidates, joint);
    return {scores, scored};
}

const char *const kFusedCallSig = "__call__(self, x)";

nb::object fused_call(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object logits = self.attr("model").attr("score")(x, self.attr("encoder_output"), self.attr("pad_mask_src"));
    nb::object lm = language_model(self);
    if (!lm.is_none()) logits = logits + lm_weight(self) * lm.attr("score")(x);
    nb::handle ctc = self.attr("ctc");
    if (ctc.is_none()) return logits;
    // the CTC prefix of every row from scratch: the labels after the prompt token
    nb::object state = ctc.attr("init_state")(x);
    long length = as_long(x.attr("size")(1));
    for (long j = 1; j < length; ++j) {
        nb::object label = x.attr("narrow")(1, j, 1);
        state = ql::unpack<2>(ctc.attr("score")(state, label))[1];
        state = ctc.attr("extend")(state, label.attr("squeeze")(1));
    }
    return joint_scores(self, logits, state).first;
}

const char *const kFusedInitStateSig = "init_state(self, prompts)";

nb::object fused_init_state(const ql::Args &a) {
    nb::handle self = a.self(), prompts = a["prompts"];
    nb::dict state;
    state["attention"] = self.attr("attention").attr("init_state")(prompts);
    nb::object lm = language_model(self);
    state["lm_scorer"] = lm.is_none() ? nb::none() : scorer_of(lm, nb::none(), nb::none());
    state["lm"] = lm.is_none() ? nb::none() : state["lm_scorer"].attr("init_state")(prompts);
    nb::handle ctc = self.attr("ctc");
    state["ctc"] = ctc.is_none() ? nb::none() : ctc.attr("init_state")(prompts);
    state["steps"] = 0;
    return state;
}

const char *const kFusedStepSig = "step(self, state, tokens)";

nb::object fused_step(const ql::Args &a) {
    nb::handle self = a.self(), tokens = a["tokens"];
    nb::dict state = nb::borrow<nb::dict>(nb::borrow(a["state"]).attr("copy")());
    auto [logits, attention] = ql::unpack<2>(self.attr("attention").attr("step")(state["attention"], tokens));
    state["attention"] = attention;
    nb::object lm_scorer = state["lm_scorer"];
    if (!lm_scorer.is_none()) {
        auto [lm_logits, lm_state] = ql::unpack<2>(lm_scorer.attr("step")(state["lm"], tokens));
        state["lm"] = lm_state;
        logits = logits + lm_weight(self) * lm_logits;
    }
    long steps = as_long(state["steps"]);
    state["steps"] = steps + 1;
    nb::handle ctc = self.attr("ctc");
    if (ctc.is_none()) return nb::make_tuple(logits, state);
    nb::object ctc_state = state["ctc"];
    if (steps > 0) ctc_state = ctc.attr("extend")(ctc_state, tokens.attr("select")(1, -1));  // the prompt is no label
    auto [scores, scored] = joint_scores(self, logits, ctc_state);
    state["ctc"] = scored;
    return nb::make_tuple(scores, state);
}

nb::object fused_reorder(const ql::Args &a) {
    nb::handle self = a.self(), index = a["index"];
    nb::dict state = nb::borrow<nb::dict>(nb::borrow(a["state"]).attr("copy")());
    state["attention"] = self.attr("attention").attr("reorder")(state["attention"], index);
    nb::object lm_scorer = state["lm_scorer"];
    if (!lm_scorer.is_none()) state["lm"] = lm_scorer.attr("reorder")(state["lm"], index);
    nb::handle ctc = self.attr("ctc");
    if (!ctc.is_none()) state["ctc"] = ctc.attr("reorder")(state["ctc"], index);
    return state;
}

const char *const kPrefixDoc = R"doc(An incremental scorer around a plain score function.

Keeps every row's prefix and calls score_fn(prefixes) after each step, or, with an encoder
output of B utterances, score_fn(prefixes, encoder_output rows, pad_mask_src rows) with the
encoder rows of each hypothesis (rows b * k .. b * k + k - 1 of the prompts read utterance b).)doc";

const char *const kFusedDoc = R"doc(Recognition scores of one encoded batch, as an incremental scorer.

The recogniser's decoder logits, plus recognition_config["lm_weight"] times the logits of
recognition_config.get("lm_model") when it names a language model (shallow fusion). With
recognition_config.get("ctc_weight", 0) > 0 the scores become joint CTC/attention
log-probabilities (normalized is then true):

    (1 - ctc_weight) * log_softmax(logits) + ctc_weight * CTC prefix gain

for the ceil(1.5 * beam_width) tokens the logits rank highest and the end id; other tokens
get -inf. ctc_inputs are the CTC inputs of encode; blank is the CTC blank (the tokenizer's
pad id) and end the end id. Calling it on whole prefixes x (N, t), x[:, 0] the prompt, gives
what a step gives after x.)doc";

}  // namespace

QL_MODULE(fusion, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("F", ql::import("torch.nn.functional"));
    globals.from("quillane.decoding.ctc_prefix", {"CTCPrefixScorer"});
    m.doc() = "Recognition scores: decoder, language-model fusion and joint CTC prefix scores.";
    nb::object object = ql::import_attr("builtins", "object");

    ql::make_class(m, "PrefixScorer", {object}, kPrefixDoc,
                   {ql::method(kPrefixInitSig, prefix_init), ql::method(kPrefixCallSig, prefix_call),
                    ql::method(kPrefixInitStateSig, prefix_init_state), ql::method(kPrefixStepSig, prefix_step),
                    ql::method(kReorderSig, prefix_reorder)});
    ql::make_class(m, "FusedScorer", {object}, kFusedDoc,
                   {ql::method(kFusedInitSig, fused_init), ql::method(kFusedCallSig, fused_call),
                    ql::method(kFusedInitStateSig, fused_init_state), ql::method(kFusedStepSig, fused_step),
                    ql::method(kReorderSig, fused_reorder)});
}
