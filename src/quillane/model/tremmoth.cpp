// Pre-norm Transformer decoder layers: decoder-only (self-attention, feed-forward) and
// encoder-decoder (self-attention, cross-attention, feed-forward).
//
// Both decode incrementally as well: `step` runs only the newest positions, with the
// self-attention cache of the earlier ones (see the attention blocks).
#include "core.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;

const char *const kInitSig = "__init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)";

nb::object self_attention_decoder_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"],
               dropout = a["dropout"];
    globals["nn"].attr("Module").attr("__init__")(self);
    self.attr("self_attn") = globals["SelfAttentionLayer"](d_model, num_heads, dropout);
    self.attr("ffn") = globals["FeedForwardLayer"](d_model, d_ff, dropout);
    return nb::none();
}

const char *const kSelfAttentionDecoderForwardSig =
    "forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
    " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]";

nb::object self_attention_decoder_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"], key_padding_mask = a["key_padding_mask"], attn_mask = a["attn_mask"];
    nb::object result = ql::call_method(self, QL_ID("self_attn"), {x, key_padding_mask, attn_mask},
                                        QL_KWNAMES("key_padding_mask", "attn_mask"));
    auto [attended, mha_attn_weights] = ql::unpack<2>(result);
    nb::object out = ql::call_method(self, QL_ID("ffn"), {attended});
    return ql::tuple({out, mha_attn_weights});
}

const char *const kSelfAttentionDecoderStepSig =
    "step(self, x: torch.Tensor, cache: Tuple[torch.Tensor, torch.Tensor], length: int,"
    " history: Optional[torch.Tensor] = None) -> torch.Tensor";

nb::object self_attention_decoder_step(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object attended =
        self.attr(QL_ID("self_attn")).attr(QL_ID("step"))(a["x"], a["cache"], a["length"], a["history"]);
    return ql::call_method(self, QL_ID("ffn"), {attended});
}

nb::object cross_attention_decoder_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"],
               dropout = a["dropout"];
    globals["nn"].attr("Module").attr("__init__")(self);
    self.attr("self_attn") = globals["SelfAttentionLayer"](d_model, num_heads, dropout);
    self.attr("cross_attn") = globals["CrossAttentionLayer"](d_model, num_heads, dropout);
    self.attr("ffn") = globals["FeedForwardLayer"](d_model, d_ff, dropout);
    return nb::none();
}

const char *const kCrossAttentionDecoderForwardSig =
    "forward(self, x: torch.Tensor, enc_output: torch.Tensor,"
    " dec_key_padding_mask: Optional[torch.Tensor] = None,"
    " enc_key_padding_mask: Optional[torch.Tensor] = None,"
    " attn_mask: Optional[torch.Tensor] = None)"
    " -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]";

nb::object cross_attention_decoder_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"], enc_output = a["enc_output"],
               dec_key_padding_mask = a["dec_key_padding_mask"],
               enc_key_padding_mask = a["enc_key_padding_mask"], attn_mask = a["attn_mask"];
    nb::object result = ql::call_method(self, QL_ID("self_attn"), {x, dec_key_padding_mask, attn_mask},
                                        QL_KWNAMES("key_padding_mask", "attn_mask"));
    auto [self_attended, self_attn_weights] = ql::unpack<2>(result);
    // the encoder output is only ever restricted by its own padding, never causally
    result = ql::call_method(self, QL_ID("cross_attn"), {self_attended, enc_output, enc_key_padding_mask, Py_None},
                             QL_KWNAMES("key_padding_mask", "attn_mask"));
    auto [cross_attended, cross_attn_weights] = ql::unpack<2>(result);
    nb::object out = ql::call_method(self, QL_ID("ffn"), {cross_attended});
    return ql::tuple({out, self_attn_weights, cross_attn_weights});
}

const char *const kCrossAttentionDecoderStepSig =
    "step(self, x: torch.Tensor, cache: Tuple[torch.Tensor, torch.Tensor], length: int,"
    " memory: Tuple[torch.Tensor, torch.Tensor], memory_padding_mask: Optional[torch.Tensor] = None,"
    " history: Optional[torch.Tensor] = None, memory_rows: Optional[torch.Tensor] = None) -> torch.Tensor";

nb::object cross_attention_decoder_step(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object self_attended =
        self.attr(QL_ID("self_attn")).attr(QL_ID("step"))(a["x"], a["cache"], a["length"], a["history"]);
    nb::object cross_attended = self.attr(QL_ID("cross_attn")).attr(QL_ID("step"))(
        self_attended, a["memory"], a["memory_padding_mask"], a["memory_rows"]);
    return ql::call_method(self, QL_ID("ffn"), {cross_attended});
}

const char *const kInitDoc = R"doc(Create the attention and feed-forward blocks.

Args:
    d_model: model width.
    num_heads: number of attention heads.
    d_ff: hidden width of the feed-forward network.
    dropout: dropout probability of every block.)doc";

const char *const kSelfAttentionDecoderForwardDoc = R"doc(Args:
    x: (N, T, d_model) decoder input.
    key_padding_mask: optional (N, T) bool padding mask of x (True = padded).
    attn_mask: optional (T, T) bool causal mask (True = future position).

Returns:
    (output (N, T, d_model), self-attention weights (N, T, T) averaged over heads).)doc";

const char *const kSelfAttentionDecoderStepDoc = R"doc(The layer at the k newest positions x (N, k, d_model).

cache, length and history: the self-attention key and value buffers, the positions each row
had before and where they are (see SelfAttentionLayer.step); the new positions are added to
the buffers. Returns output (N, k, d_model), as forward with a causal mask gives it.)doc";

const char *const kCrossAttentionDecoderForwardDoc = R"doc(Args:
    x: (N, T, d_model) decoder input.
    enc_output: (N, S, d_model) encoder output, used as given (not normalised).
    dec_key_padding_mask: optional (N, T) padding mask of x (self-attention only).
    enc_key_padding_mask: optional (N, S) padding mask of enc_output (cross-attention only).
    attn_mask: optional (T, T) causal mask for the self-attention.

Returns:
    (output (N, T, d_model), self-attention weights (N, T, T),
     cross-attention weights (N, T, S)), both averaged over heads.)doc";

const char *const kCrossAttentionDecoderStepDoc = R"doc(The layer at the k newest positions x (N, k, d_model).

cache, length and history: the self-attention key and value buffers, the positions each row
had before and where they are (see SelfAttentionLayer.step); the new positions are added to
the buffers. memory is cross_attn.project_memory(enc_output) with its padding mask, and
memory_rows the memory row each row reads (see CrossAttentionLayer.step). Returns output
(N, k, d_model), as forward with a causal mask gives it.)doc";

}  // namespace

QL_MODULE(tremmoth, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    nb::object Module = globals.set("nn", ql::import("torch.nn")).attr("Module");
    globals.from("typing", {"Tuple", "Optional"});
    globals.from("quillane.model.pellidor", {"SelfAttentionLayer", "CrossAttentionLayer", "FeedForwardLayer"});
    m.doc() = "Pre-norm Transformer decoder layers.";

    ql::make_class(
        m, "SelfAttentionDecoderLayer", {Module},
        "\n    Pre-LN Decoder Layer with masked self-attention and feed-forward sub-layers.\n"
        "    Used in the decoder-only Transformer architecture.\n    ",
        {ql::method(kInitSig, self_attention_decoder_init, kInitDoc),
         ql::method(kSelfAttentionDecoderForwardSig, self_attention_decoder_forward, kSelfAttentionDecoderForwardDoc),
         ql::method(kSelfAttentionDecoderStepSig, self_attention_decoder_step, kSelfAttentionDecoderStepDoc)});
    ql::make_class(
        m, "CrossAttentionDecoderLayer", {Module},
        "\n    Pre-LN Decoder Layer with masked self-attention, cross-attention, and feed-forward sub-layers.\n"
        "    Used in the encoder-decoder Transformer architecture.\n    ",
        {ql::method(kInitSig, cross_attention_decoder_init, kInitDoc),
         ql::method(kCrossAttentionDecoderForwardSig, cross_attention_decoder_forward,
                    kCrossAttentionDecoderForwardDoc),
         ql::method(kCrossAttentionDecoderStepSig, cross_attention_decoder_step, kCrossAttentionDecoderStepDoc)});
}
