// Incremental decoding of the Transformer models: TransformerScorer, handed out by
// EncoderDecoderTransformer.scorer and DecoderOnlyTransformer.scorer, computes only the newest
// position of every hypothesis per step and follows the generator's scorer protocol (see
// quillane.decoding.sequence_generator).
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"
#include "decoder_parts.hpp"

#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;

void check_tokens(nb::handle tokens, const char *name) { transformer::check_tokens(tokens, name, globals["torch"]); }

// ---------------------------------------------------------------------------
// Incremental scorer
// ---------------------------------------------------------------------------
//
// The scorer keeps every hypothesis in a slot of its buffers: per decoder layer a key and a
// value buffer (slots, heads, capacity, head_dim) of the self-attention, and for the
// encoder-decoder model the cross-attention keys and values of each slot's utterance. Rows (the
// generator's order) map to slots. When beam search reorders the rows, a row stays in its
// parent's slot; only a second child of one parent moves into a free slot, and only then are
// buffer rows copied, so a step costs what its new position costs, not what the prefix holds.
// Slots of dropped rows are computed along (their results are not read) until at least half the
// slots are dead; then the live ones are packed into fresh buffers.
//
// State (a dict, opaque to the generator; used once, as the buffers are updated in place):
//   length      positions consumed so far
//   slot        (rows,) long: the slot of each row; identity: whether row i is slot i for all
//   keys, values  per decoder layer the self-attention buffers (None before the first step)
//   encoder-decoder only:
//   memory      per layer the cross-attention (keys, values) of each utterance, projected once
//   memory_mask the encoder padding mask (utterances, frames) or None
//   utterance   (slots,) long: the utterance of each slot
//   slot_memory, slot_mask  the cross-attention keys, values and mask of each slot

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

// Rows of every tensor (or tensor pair) of a list, selected by index.
nb::list select_rows(nb::handle items, nb::handle index) {
    nb::list out;
    for (nb::handle item : items) {
        if (ql::is_instance(item, globals["torch"].attr("Tensor"))) {
            out.append(item.attr("index_select")(0, index));
        } else {
            auto [first, second] = ql::unpack<2>(item);
            out.append(nb::make_tuple(first.attr("index_select")(0, index), second.attr("index_select")(0, index)));
        }
    }
    return out;
}

// The cross-attention memory of each slot, from the utterance of each slot.
void gather_slot_memory(nb::dict &state) {
    nb::object utterance = state["utterance"], mask = state["memory_mask"];
    state["slot_memory"] = select_rows(state["memory"], utterance);
    state["slot_mask"] = mask.is_none() ? nb::none() : mask.attr("index_select")(0, utterance);
}

// Self-attention buffers of every layer for `slots` slots and `capacity` positions, holding the
// first `length` positions of `previous` (when given).
void allocate_buffers(nb::dict &state, nb::handle layers, long slots, long capacity, long length,
                      nb::handle like) {
    nb::object torch = globals["torch"];
    nb::object previous_keys = state["keys"], previous_values = state["values"];
    nb::list keys, values;
    for (size_t i = 0; i < nb::len(layers); ++i) {
        nb::object mha = layers[i].attr(QL_ID("self_attn")).attr(QL_ID("mha"));
        nb::object shape = nb::make_tuple(slots, mha.attr("num_heads"), capacity, mha.attr("head_dim"));
        nb::object k = torch.attr("zeros")(shape, nb::arg("dtype") = like.attr("dtype"), nb::arg("device") = like.attr("device"));
        nb::object v = torch.attr("zeros_like")(k);
        if (!previous_keys.is_none() && length > 0) {
            k.attr("narrow")(2, 0, length).attr("copy_")(previous_keys[nb::int_(i)].attr("narrow")(2, 0, length));
            v.attr("narrow")(2, 0, length).attr("copy_")(previous_values[nb::int_(i)].attr("narrow")(2, 0, length));
        }
        keys.append(k);
        values.append(v);
    }
    state["keys"] = keys;
    state["values"] = values;
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
    nb::object torch = globals["torch"];
    long rows = as_long(prompts.attr("size")(0));
    nb::dict state;
    state["length"] = 0;
    state["slot"] = torch.attr("arange")(rows, nb::arg("device") = prompts.attr("device"));
    state["identity"] = true;
    state["keys"] = state["values"] = nb::none();
    if (!has_encoder(self)) return state;
    nb::object enc = self.attr(QL_ID("encoder_output"));
    long batch = as_long(enc.attr("size")(0));
    long k = transformer::rows_per_utterance(rows, batch);
    nb::list memory, layers = decoder_stack(self.attr(QL_ID("model")), true).first;
    for (nb::handle layer : layers)
        memory.append(layer.attr(QL_ID("cross_attn")).attr("project_memory")(enc));
    state["memory"] = memory;
    state["memory_mask"] = self.attr(QL_ID("pad_mask_src"));
    state["utterance"] = torch.attr("arange")(batch, nb::arg("device") = enc.attr("device")).attr("repeat_interleave")(k);
    gather_slot_memory(state);
    return state;
}

const char *const kStepSig = "step(self, state, tokens)";

nb::object scorer_step(const ql::Args &a) {
    nb::handle self = a.self(), tokens = a["tokens"];
    nb::object model = self.attr(QL_ID("model"));
    check_tokens(tokens, "tokens");
    nb::dict state = copy_state(a["state"]);
    nb::object slot = state["slot"];
    bool identity = ql::truthy(state["identity"]);
    long rows = as_long(tokens.attr("size")(0)), count = as_long(tokens.attr("size")(1));
    if (rows != as_long(slot.attr("numel")()))
        ql::raise_value_error("tokens have " + std::to_string(rows) + " rows, the state " +
                              std::to_string(as_long(slot.attr("numel")())));
    bool encoder_decoder = has_encoder(self);
    auto [layers, norm] = decoder_stack(model, encoder_decoder);
    long first = as_long(state["length"]);
    nb::object keys = state["keys"];
    long slots = keys.is_none() ? rows : as_long(keys[nb::int_(0)].attr("size")(0));
    // every slot steps; rows' tokens go to their slots, dead slots get token 0
    nb::object slot_tokens = identity ? nb::borrow(tokens)
                                      : globals["torch"].attr("zeros")(nb::make_tuple(slots, count),
                                                                       nb::arg("dtype") = tokens.attr("dtype"),
                                                                       nb::arg("device") = tokens.attr("device"))
                                            .attr("index_copy")(0, slot, tokens);
    nb::object codes = transformer::position_codes(model.attr(QL_ID("positional_encoding")), first, count);
    nb::object x = model.attr(QL_ID("dropout"))(transformer::scaled_embedding(model, slot_tokens) + codes);
    long capacity = keys.is_none() ? 0 : as_long(keys[nb::int_(0)].attr("size")(2));
    if (first + count > capacity)  // doubling keeps the copies to a constant per position
        allocate_buffers(state, layers, slots, std::max(32L, 2 * (first + count)), first, x);
    nb::object length = nb::int_(first);
    for (size_t i = 0; i < nb::len(layers); ++i) {
        nb::object cache = nb::make_tuple(state["keys"][nb::int_(i)], state["values"][nb::int_(i)]);
        if (encoder_decoder)
            x = layers[i].attr(QL_ID("step"))(x, cache, length, state["slot_memory"][nb::int_(i)], state["slot_mask"]);
        else
            x = layers[i].attr(QL_ID("step"))(x, cache, length);
    }
    nb::object logits = model.attr(QL_ID("final_linear"))(norm(x.attr("select")(1, -1)));
    state["length"] = first + count;
    return nb::make_tuple(identity ? logits : logits.attr("index_select")(0, slot), state);
}

// Slots for the reordered rows: a row keeps its parent's slot unless an earlier row took it;
// the others move into free slots, copied from their parents (moves: destination, source).
struct SlotPlan {
    std::vector<long> slot;
    std::vector<long> destination, source;
    bool identity = true;
};

SlotPlan plan_slots(const std::vector<long> &parents, long slots) {
    SlotPlan plan;
    plan.slot.assign(parents.size(), -1);
    std::vector<char> taken((size_t)slots, 0);
    for (size_t i = 0; i < parents.size(); ++i) {
        long p = parents[i];
        if (!taken[(size_t)p]) {
            taken[(size_t)p] = 1;
            plan.slot[i] = p;
        }
    }
    long next_free = 0;
    for (size_t i = 0; i < parents.size(); ++i) {
        if (plan.slot[i] >= 0) continue;
        while (taken[(size_t)next_free]) ++next_free;
        taken[(size_t)next_free] = 1;
        plan.slot[i] = next_free;
        plan.destination.push_back(next_free);
        plan.source.push_back(parents[i]);
    }
    plan.identity = (long)parents.size() == slots;
    for (size_t i = 0; i < parents.size() && plan.identity; ++i) plan.identity = plan.slot[i] == (long)i;
    return plan;
}

nb::object long_tensor(const std::vector<long> &values, nb::handle device) {
    nb::list items;
    for (long v : values) items.append(v);
    nb::object torch = globals["torch"];
    return torch.attr("tensor")(items, nb::arg("dtype") = torch.attr("long"), nb::arg("device") = device);
}

// Packs the slots `parents` (one per row, repeats allowed) into fresh buffers, row i in slot i.
void repack(nb::dict &state, nb::handle parents, bool encoder_decoder) {
    nb::object keys = state["keys"];
    if (!keys.is_none()) {
        state["keys"] = select_rows(keys, parents);
        state["values"] = select_rows(state["values"], parents);
    }
    if (encoder_decoder) {
        state["utterance"] = state["utterance"].attr("index_select")(0, parents);
        gather_slot_memory(state);
    }
    state["slot"] = globals["torch"].attr("arange")(as_long(parents.attr("numel")()),
                                                    nb::arg("device") = parents.attr("device"));
    state["identity"] = true;
}

// Copies slots `source` into slots `destination` (every buffer, the first `length` positions).
void copy_slots(nb::dict &state, nb::handle destination, nb::handle source, long length, bool encoder_decoder) {
    nb::object keys = state["keys"];
    if (!keys.is_none() && length > 0) {
        for (const char *name : {"keys", "values"})
            for (nb::handle buffer : state[name]) {
                nb::object held = buffer.attr("narrow")(2, 0, length);
                held.attr("index_copy_")(0, destination, held.attr("index_select")(0, source));
            }
    }
    if (!encoder_decoder) return;
    nb::object utterance = state["utterance"];
    utterance.attr("index_copy_")(0, destination, utterance.attr("index_select")(0, source));
    for (nb::handle pair : state["slot_memory"])
        for (nb::handle memory : pair) memory.attr("index_copy_")(0, destination, memory.attr("index_select")(0, source));
    nb::object mask = state["slot_mask"];
    if (!mask.is_none()) mask.attr("index_copy_")(0, destination, mask.attr("index_select")(0, source));
}

const char *const kReorderSig = "reorder(self, state, index)";

nb::object scorer_reorder(const ql::Args &a) {
    nb::handle self = a.self();
    nb::dict state = copy_state(a["state"]);
    bool encoder_decoder = has_encoder(self);
    nb::object slot = state["slot"];
    nb::object parents = slot.attr("index_select")(0, a["index"]);
    nb::object keys = state["keys"];
    long slots = keys.is_none() ? 0 : as_long(keys[nb::int_(0)].attr("size")(0));
    long rows = as_long(parents.attr("numel")());
    // no buffers yet, more rows than slots, or half of the slots dead: pack the rows afresh
    if (keys.is_none() || rows > slots || 2 * rows <= slots) {
        repack(state, parents, encoder_decoder);
        return state;
    }
    SlotPlan plan = plan_slots(nb::cast<std::vector<long>>(parents.attr("tolist")()), slots);
    nb::object device = slot.attr("device");
    if (!plan.destination.empty())
        copy_slots(state, long_tensor(plan.destination, device), long_tensor(plan.source, device),
                   as_long(state["length"]), encoder_decoder);
    state["slot"] = long_tensor(plan.slot, device);
    state["identity"] = plan.identity;
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
