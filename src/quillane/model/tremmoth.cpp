// Pre-norm Transformer decoder layers: decoder-only (self-attention, feed-forward) and
// encoder-decoder (self-attention, cross-attention, feed-forward).
#include "core.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

nb::handle Module, SelfAttentionLayer, CrossAttentionLayer, FeedForwardLayer;

nb::object self_attention_decoder_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"],
               dropout = a["dropout"];
    Module.attr("__init__")(self);
    self.attr("self_attn") = SelfAttentionLayer(d_model, num_heads, dropout);
    self.attr("ffn") = FeedForwardLayer(d_model, d_ff, dropout);
    return nb::none();
}

nb::object self_attention_decoder_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"], key_padding_mask = a["key_padding_mask"], attn_mask = a["attn_mask"];
    nb::object result = ql::call_method(self, QL_ID("self_attn"), {x, key_padding_mask, attn_mask},
                                        QL_KWNAMES("key_padding_mask", "attn_mask"));
    auto [attended, mha_attn_weights] = ql::unpack<2>(result);
    nb::object out = ql::call_method(self, QL_ID("ffn"), {attended});
    return ql::tuple({out, mha_attn_weights});
}

nb::object cross_attention_decoder_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"],
               dropout = a["dropout"];
    Module.attr("__init__")(self);
    self.attr("self_attn") = SelfAttentionLayer(d_model, num_heads, dropout);
    self.attr("cross_attn") = CrossAttentionLayer(d_model, num_heads, dropout);
    self.attr("ffn") = FeedForwardLayer(d_model, d_ff, dropout);
    return nb::none();
}

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

const char *kInitDoc =
    "Create the attention and feed-forward blocks.\n\n"
    "Args:\n"
    "    d_model: model width.\n"
    "    num_heads: number of attention heads.\n"
    "    d_ff: hidden width of the feed-forward network.\n"
    "    dropout: dropout probability of every block.";

}  // namespace

QL_MODULE(tremmoth, m) {
    ql::ModuleGlobals globals;
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    Module = ql::keep(globals.set("nn", ql::import("torch.nn")).attr("Module"));
    globals.from("typing", {"Tuple", "Optional"});
    globals.from("quillane.model.pellidor", {"SelfAttentionLayer", "CrossAttentionLayer", "FeedForwardLayer"});
    SelfAttentionLayer = ql::keep(globals["SelfAttentionLayer"]);
    CrossAttentionLayer = ql::keep(globals["CrossAttentionLayer"]);
    FeedForwardLayer = ql::keep(globals["FeedForwardLayer"]);
    m.doc() = "Pre-norm Transformer decoder layers.";

    ql::make_class(
        m, "SelfAttentionDecoderLayer", {Module},
        "\n    Pre-LN Decoder Layer with masked self-attention and feed-forward sub-layers.\n"
        "    Used in the decoder-only Transformer architecture.\n    ",
        {ql::method("__init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)",
                    self_attention_decoder_init, kInitDoc),
         ql::method("forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
                    " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]",
                    self_attention_decoder_forward,
                    "Args:\n"
                    "    x: (N, T, d_model) decoder input.\n"
                    "    key_padding_mask: optional (N, T) bool padding mask of x (True = padded).\n"
                    "    attn_mask: optional (T, T) bool causal mask (True = future position).\n\n"
                    "Returns:\n"
                    "    (output (N, T, d_model), self-attention weights (N, T, T) averaged over heads).")});
    ql::make_class(
        m, "CrossAttentionDecoderLayer", {Module},
        "\n    Pre-LN Decoder Layer with masked self-attention, cross-attention, and feed-forward sub-layers.\n"
        "    Used in the encoder-decoder Transformer architecture.\n    ",
        {ql::method("__init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)",
                    cross_attention_decoder_init, kInitDoc),
         ql::method("forward(self, x: torch.Tensor, enc_output: torch.Tensor,"
                    " dec_key_padding_mask: Optional[torch.Tensor] = None,"
                    " enc_key_padding_mask: Optional[torch.Tensor] = None,"
                    " attn_mask: Optional[torch.Tensor] = None)"
                    " -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]",
                    cross_attention_decoder_forward,
                    "Args:\n"
                    "    x: (N, T, d_model) decoder input.\n"
                    "    enc_output: (N, S, d_model) encoder output, used as given (not normalised).\n"
                    "    dec_key_padding_mask: optional (N, T) padding mask of x (self-attention only).\n"
                    "    enc_key_padding_mask: optional (N, S) padding mask of enc_output (cross-attention only).\n"
                    "    attn_mask: optional (T, T) causal mask for the self-attention.\n\n"
                    "Returns:\n"
                    "    (output (N, T, d_model), self-attention weights (N, T, T),\n"
                    "     cross-attention weights (N, T, S)), both averaged over heads.")});
}
