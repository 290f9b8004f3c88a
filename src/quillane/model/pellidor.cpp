// Pre-norm residual sub-layers: self-attention, cross-attention and feed-forward blocks.
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

nb::handle nn, Module;

void init_attention(const ql::Args &a) {
    nb::handle self = a.self();
    Module.attr("__init__")(self);
    self.attr("mha") = nn.attr("MultiheadAttention")(nb::arg("embed_dim") = a["d_model"],
                                                     nb::arg("num_heads") = a["num_heads"],
                                                     nb::arg("dropout") = a["dropout"], nb::arg("batch_first") = true);
    self.attr("norm") = nn.attr("LayerNorm")(a["d_model"]);
    self.attr("dropout") = nn.attr("Dropout")(a["dropout"]);
}

nb::object attention_block(nb::handle self, nb::handle x, nb::handle key_value, bool self_attention,
                           nb::handle key_padding_mask, nb::handle attn_mask) {
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::handle kv = self_attention ? nb::handle(x_norm) : key_value;
    nb::object result = ql::call_method(
        self, QL_ID("mha"), {x_norm, kv, kv, key_padding_mask, attn_mask, Py_True, Py_True},
        QL_KWNAMES("query", "key", "value", "key_padding_mask", "attn_mask", "need_weights",
                   "average_attn_weights"));
    auto [x_mha, weights] = ql::unpack<2>(result);
    nb::object dropped = ql::call_method(self, QL_ID("dropout"), {x_mha});
    nb::object out = ql::add(x, dropped);
    return ql::tuple({out, weights});
}

nb::object self_attention_init(const ql::Args &a) {
    init_attention(a);
    return nb::none();
}

nb::object self_attention_forward(const ql::Args &a) {
    return attention_block(a.self(), a["x"], nb::handle(), true, a["key_padding_mask"], a["attn_mask"]);
}

nb::object cross_attention_forward(const ql::Args &a) {
    return attention_block(a.self(), a["x"], a["y"], false, a["key_padding_mask"], a["attn_mask"]);
}

nb::object feed_forward_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], d_ff = a["d_ff"], dropout = a["dropout"];
    Module.attr("__init__")(self);
    self.attr("ffn") = nn.attr("Sequential")(nn.attr("Linear")(d_model, d_ff), nn.attr("GELU")(),
                                             nn.attr("Dropout")(dropout), nn.attr("Linear")(d_ff, d_model));
    self.attr("norm") = nn.attr("LayerNorm")(d_model);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    return nb::none();
}

nb::object feed_forward_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object x_ffn = ql::call_method(self, QL_ID("ffn"), {x_norm});
    nb::object dropped = ql::call_method(self, QL_ID("dropout"), {x_ffn});
    return ql::add(x, dropped);
}

const char *kSelfAttentionForwardDoc =
    "Args:\n"
    "    x: (N, T, d_model) input.\n"
    "    key_padding_mask: optional (N, T) bool mask, True at padded steps.\n"
    "    attn_mask: optional (T, T) bool mask, True at future positions.\n\n"
    "Returns:\n"
    "    (output (N, T, d_model), attention weights (N, T, T) averaged over heads).";

const char *kCrossAttentionForwardDoc =
    "Args:\n"
    "    x: (N, T, d_model) decoder stream (queries).\n"
    "    y: (N, S, d_model) encoder output (keys and values), not normalised here.\n"
    "    key_padding_mask: optional (N, S) bool padding mask of y.\n"
    "    attn_mask: optional (T, S) bool mask.\n\n"
    "Returns:\n"
    "    (output (N, T, d_model), attention weights (N, T, S) averaged over heads).";

}  // namespace

QL_MODULE(pellidor, m) {
    ql::ModuleGlobals globals;
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    nn = ql::keep(globals.set("nn", ql::import("torch.nn")));
    Module = nn.attr("Module");
    globals.from("typing", {"Tuple", "Optional"});
    m.doc() = "Pre-norm residual attention and feed-forward sub-layers.";

    ql::make_class(m, "SelfAttentionLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.\n    ",
                   {ql::method("__init__(self, d_model: int, num_heads: int, dropout: float = 0.0)",
                               self_attention_init),
                    ql::method("forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
                               " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]",
                               self_attention_forward, kSelfAttentionForwardDoc)});
    ql::make_class(m, "FeedForwardLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.\n    ",
                   {ql::method("__init__(self, d_model: int, d_ff: int, dropout: float = 0.0)",
                               feed_forward_init),
                    ql::method("forward(self, x: torch.Tensor) -> torch.Tensor", feed_forward_forward,
                               "Returns x + Dropout(FFN(LayerNorm(x))), shape (N, T, d_model).")});
    ql::make_class(m, "CrossAttentionLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).\n"
                   "    Typically used in encoder-decoder models.\n    ",
                   {ql::method("__init__(self, d_model: int, num_heads: int, dropout: float = 0.0)",
                               self_attention_init),
                    ql::method("forward(self, x: torch.Tensor, y: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
                               " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]",
                               cross_attention_forward, kCrossAttentionForwardDoc)});
}
