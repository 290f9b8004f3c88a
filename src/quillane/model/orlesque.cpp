// Pre-norm Transformer encoder layer: self-attention block followed by a feed-forward block.
#include "core.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;

const char *const kInitSig = "__init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)";

nb::object encoder_layer_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"],
               dropout = a["dropout"];
    globals["nn"].attr("Module").attr("__init__")(self);
    self.attr("self_attn") = globals["SelfAttentionLayer"](d_model, num_heads, dropout);
    self.attr("ffn") = globals["FeedForwardLayer"](d_model, d_ff, dropout);
    return nb::none();
}

const char *const kForwardSig =
    "forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None)"
    " -> Tuple[torch.Tensor, torch.Tensor]";

nb::object encoder_layer_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"], key_padding_mask = a["key_padding_mask"];
    nb::object result =
        ql::call_method(self, QL_ID("self_attn"), {x, key_padding_mask}, QL_KWNAMES("key_padding_mask"));
    auto [attended, mha_attn_weights] = ql::unpack<2>(result);
    nb::object out = ql::call_method(self, QL_ID("ffn"), {attended});
    return ql::tuple({out, mha_attn_weights});
}

const char *const kInitDoc = R"doc(Create the self-attention and feed-forward blocks.

Args:
    d_model: model width.
    num_heads: number of attention heads.
    d_ff: hidden width of the feed-forward network.
    dropout: dropout probability of both blocks.)doc";

const char *const kForwardDoc = R"doc(Args:
    x: (N, T, d_model) input sequence.
    key_padding_mask: optional (N, T) bool mask, True at padded steps.

Returns:
    (output (N, T, d_model), attention weights (N, T, T) averaged over heads).)doc";

}  // namespace

QL_MODULE(orlesque, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    nb::object Module = globals.set("nn", ql::import("torch.nn")).attr("Module");
    globals.from("typing", {"Tuple", "Optional"});
    globals.from("quillane.model.pellidor", {"SelfAttentionLayer", "FeedForwardLayer"});
    m.doc() = "Pre-norm Transformer encoder layer.";

    ql::make_class(
        m, "SelfAttentionEncoderLayer", {Module},
        "\n    Pre-LN Encoder Layer with self-attention mechanism.\n"
        "    Used in the encoder part of transformer architectures.\n"
        "    Unlike the decoder, does not use causal masking (bidirectional attention).\n    ",
        {ql::method(kInitSig, encoder_layer_init, kInitDoc), ql::method(kForwardSig, encoder_layer_forward, kForwardDoc)});
}
