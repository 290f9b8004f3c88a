// Incremental decoding of the Transformer models: TransformerScorer, handed out by
// EncoderDecoderTransformer.scorer and DecoderOnlyTransformer.scorer, computes only the newest
// position of every hypothesis per step and follows the generator's scorer protocol (see
// quillane.decoding.sequence_generator).
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"
#include "decoder_parts.hpp"

#include <algorithm>
#include <string>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;

void check_tokens(nb::handle tokens, const char *name) { transformer::check_tokens(tokens, name, globals["torch"]); }

// ---------------------------------------------------------------------------
// Incremental scorer
// ---------------------------------------------------------------------------
//
// Every position's self-attention keys and values are written once, per decoder layer, into
// buffers (capacity, columns, heads, head_dim): at step t row i writes column i at position t.
// Each row's history names the column holding each of its positions, so when beam search
// reorders the rows only the histories (a few integers per position) move, never the keys and
// values; hypotheses share the positions they have in common. Rows of the encoder-decoder model
// read the cross-attention memory of their utterance, projected once. Dropped rows simply leave.
//
// State (a dict, opaque to the generator; used once, as the buffers are updated in place):
//   length        positions consumed so far
//   history       (capacity, rows) long, or None before the first step; the layers get its
//                 transpose, a (rows, capacity) view, so a position's columns lie side by side
//   keys, values  per decoder layer the self-attention buffers, or None before the first step
//   encoder-decoder only:
//   memory        per layer the cross-attention (keys, values) of each utterance
//   memory_mask   the encoder padding mask (utterances, frames) or None
//   utterance     (rows,) long: the utterance of each row

bool has_encoder(nb::handle scorer) { return !scorer.attr(QL_ID("encoder_output")).is_none(); }

// A shallow copy of a state dict (its buffers are shared).
nb::dict copy_state(nb::handle state) {
    if (!PyDict_Check(state.ptr()))
        ql::raise_type_error("state must be the dict init_state returned, got " + ql::type_name(state));
    return nb::steal<nb::dict>(ql::check(PyDict_Copy(state.ptr())));
}

// The decoder layers that run, and the final norm.
std::pair<nb::list, nb::object> decoder_stack(nb::handle model, bool encoder_decoder) {
    nb::object layers = model.attr(QL_ID("dec_layers"));
    size_t count = encoder_decoder ? transformer::active_count(layers, model.attr(QL_ID("num_tremmoth"))) : nb::len(layers);
    nb::list active;
    for (size_t i = 0; i < count; ++i) active.append(layers[nb::int_(i)]);
    return {active, model.attr(encoder_decoder ? "decoder_norm" : "norm")};
}

long size_of(nb::handle t, long dim) { return as_long(t.attr("size")(dim)); }

// `old` (2-D, or 4-D buffers) copied into a zero tensor of `shape`, along its leading extent.
nb::object enlarged(nb::handle old, nb::handle shape, nb::handle like, nb::handle dtype) {
    nb::object grown = globals["torch"].attr("zeros")(shape, nb::arg("dtype") = dtype, nb::arg("device") = like.attr("device"));
    if (old.is_none()) return grown;
    nb::object target = grown;
    for (long d = 0; d < as_long(old.attr("dim")()); ++d) target = target.attr("narrow")(d, 0, size_of(old, d));
    target.attr("copy_")(old);
    return grown;
}

// Room in the buffers for `total` positions of `rows` rows: capacity doubles when it runs out
// (so each position is copied a constant number of times), columns grow to the row count.
void make_room(nb::dict &state, const nb::list &layers, long rows, long total, nb::handle like) {
    nb::object keys = state["keys"], history = state["history"];
    long capacity = keys.is_none() ? 0 : size_of(keys[nb::int_(0)], 0);
    long columns = keys.is_none() ? 0 : size_of(keys[nb::int_(0)], 1);
    long new_capacity = total > capacity ? std::max(32L, 2 * total) : capacity, new_columns = std::max(columns, rows);
    if (new_capacity != capacity || new_columns != columns) {
        nb::list grown_keys, grown_values;
        for (size_t i = 0; i < nb::len(layers); ++i) {
            nb::object mha = layers[i].attr(QL_ID("self_attn")).attr(QL_ID("mha"));
            nb::object shape = nb::make_tuple(new_capacity, new_columns, mha.attr("num_heads"), mha.attr("head_dim"));
            grown_keys.append(enlarged(keys.is_none() ? nb::none() : nb::object(keys[nb::int_(i)]), shape, like, like.attr("dtype")));
            grown_values.append(enlarged(keys.is_none() ? nb::none() : nb::object(state["values"][nb::int_(i)]), shape, like,
                                         like.attr("dtype")));
        }
        state["keys"] = grown_keys;
        state["values"] = grown_values;
    }
    if (history.is_none() || size_of(history, 0) < new_capacity)
        state["history"] = enlarged(history, nb::make_tuple(new_capacity, rows), like, globals["torch"].attr("long"));
}

const char *const kScorerInitSig = "__init__(self, model, encoder_output=None, pad_mask_src=None)";

nb::object scorer_init(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("model") = a["model"];
    self.attr("encoder_output") = a["encoder_output"];
    self.attr("pad_mask_src") = a["pad_mask_src"];
    return nb::none();
}

const char *const kScorerCallSig = "__call__(self, x)";

nb::object scorer_call(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object model = self.attr(QL_ID("model"));
    if (!has_encoder(self)) return model.attr(QL_ID("score"))(a["x"]);
    return model.attr(QL_ID("score"))(a["x"], self.attr(QL_ID("encoder_output")), self.attr(QL_ID("pad_mask_src")));
}

const char *const kInitStateSig = "init_state(self, prompts)";

nb::object scorer_init_state(const ql::Args &a) {
    nb::handle self = a.self(), prompts = a["prompts"];
    check_tokens(prompts, "prompts");
    nb::dict state;
    state["length"] = 0;
    state["history"] = state["keys"] = state["values"] = nb::none();
    if (!has_encoder(self)) return state;
    nb::object enc = self.attr(QL_ID("encoder_output"));
    long batch = size_of(enc, 0);
    long k = transformer::rows_per_utterance(size_of(prompts, 0), batch);
    nb::list memory, layers = decoder_stack(self.attr(QL_ID("model")), true).first;
    for (nb::handle layer : layers) memory.append(layer.attr(QL_ID("cross_attn")).attr("project_memory")(enc));
    state["memory"] = memory;
    state["memory_mask"] = self.attr(QL_ID("pad_mask_src"));
    state["utterance"] = globals["torch"].attr("arange")(batch, nb::arg("device") = enc.attr("device")).attr("repeat_interleave")(k);
    return state;
}

const char *const kStepSig = "step(self, state, tokens)";

nb::object scorer_step(const ql::Args &a) {
    nb::handle self = a.self(), tokens = a["tokens"];
    nb::object model = self.attr(QL_ID("model"));
    check_tokens(tokens, "tokens");
    nb::dict state = copy_state(a["state"]);
    bool encoder_decoder = has_encoder(self);
    long rows = size_of(tokens, 0), count = size_of(tokens, 1), first = as_long(state["length"]);
    nb::object history = state["history"];
    long expected = encoder_decoder ? as_long(state["utterance"].attr("numel")())
                                    : history.is_none() ? rows : size_of(history, 1);
    if (rows != expected)
        ql::raise_value_error("tokens have " + std::to_string(rows) + " rows, the state " + std::to_string(expected));
    auto [layers, norm] = decoder_stack(model, encoder_decoder);
    nb::object codes = transformer::position_codes(model.attr(QL_ID("positional_encoding")), first, count);
    nb::object x = model.attr(QL_ID("dropout"))(transformer::scaled_embedding(model, tokens) + codes);
    make_room(state, layers, rows, first + count, x);
    nb::object torch = globals["torch"];
    state["history"].attr("narrow")(0, first, count).attr("copy_")(
        torch.attr("arange")(rows, nb::arg("device") = x.attr("device")));
    history = state["history"].attr("t")();
    nb::object length = nb::int_(first);
    for (size_t i = 0; i < nb::len(layers); ++i) {
        nb::object cache = nb::make_tuple(state["keys"][nb::int_(i)], state["values"][nb::int_(i)]);
        if (encoder_decoder)
            x = layers[i].attr(QL_ID("step"))(x, cache, length, state["memory"][nb::int_(i)], state["memory_mask"],
                                              history, state["utterance"]);
        else
            x = layers[i].attr(QL_ID("step"))(x, cache, length, history);
    }
    state["length"] = first + count;
    return nb::make_tuple(model.attr(QL_ID("final_linear"))(norm(x.attr("select")(1, -1))), state);
}

const char *const kReorderSig = "reorder(self, state, index)";

nb::object scorer_reorder(const ql::Args &a) {
    nb::handle index = a["index"];
    nb::dict state = copy_state(a["state"]);
    nb::object history = state["history"];
    if (!history.is_none()) state["history"] = history.attr("index_select")(1, index);
    if (state.contains("utterance")) state["utterance"] = state["utterance"].attr("index_select")(0, index);
    return state;
}

const char *const kScorerDoc = R"doc(Incremental next-token scores of a Transformer model.

Made by EncoderDecoderTransformer.scorer(encoder_output, pad_mask_src) or
DecoderOnlyTransformer.scorer(). Calling it on whole prefixes x (N, t) gives model.score; the
scorer protocol (init_state, step, reorder) gives the same logits (up to float rounding)
computing only the newest position per step. Each state is used once: step and reorder
update its buffers in place and return the state to use next. With an encoder output of B utterances, the N
rows are split as in score: rows b * k .. b * k + k - 1 belong to utterance b.)doc";

}  // namespace

QL_MODULE(incremental, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    m.doc() = "Incremental next-token scoring of the Transformer models.";

    ql::make_class(
        m, "TransformerScorer", {ql::import_attr("builtins", "object")}, kScorerDoc,
        {ql::method(kScorerInitSig, scorer_init,
                    "encoder_output, pad_mask_src: what encode returned (None for a language model)."),
         ql::method(kScorerCallSig, scorer_call, "Next-token logits (N, V) of whole prefixes x (N, t): model.score."),
         ql::method(kInitStateSig, scorer_init_state,
                    "A fresh state for decoding the rows of prompts (N, t); nothing is consumed yet."),
         ql::method(kStepSig, scorer_step,
                    "Consumes tokens (N, k) after what the state holds; returns (next-token logits (N, V),\n"
                    "next state). The state given is used up (its buffers are reused)."),
         ql::method(kReorderSig, scorer_reorder,
                    "The state of rows index (a long tensor) of the given state, in that order; the\n"
                    "state given is used up.")});
}
