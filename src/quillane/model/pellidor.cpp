// Pre-norm residual sub-layers: self-attention, cross-attention and feed-forward blocks.
//
// Besides forward, the attention blocks decode incrementally: `step` takes only the newest
// positions of a sequence and carries the keys and values of the earlier ones in a cache, and a
// cross-attention block projects an encoder output into keys and values once (`project_memory`)
// for every later step. A step gives what forward gives at those positions under a causal mask
// over the whole prefix, up to float rounding, at a cost that grows with the prefix instead of
// its square.
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;

void init_attention(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object nn = globals["nn"];
    nn.attr("Module").attr("__init__")(self);
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
    return ql::tuple({x + dropped, weights});
}

const char *const kAttentionInitSig = "__init__(self, d_model: int, num_heads: int, dropout: float = 0.0)";

nb::object attention_init(const ql::Args &a) {
    init_attention(a);
    return nb::none();
}

const char *const kSelfAttentionForwardSig =
    "forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
    " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]";

nb::object self_attention_forward(const ql::Args &a) {
    return attention_block(a.self(), a["x"], nb::handle(), true, a["key_padding_mask"], a["attn_mask"]);
}

const char *const kCrossAttentionForwardSig =
    "forward(self, x: torch.Tensor, y: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,"
    " attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]";

nb::object cross_attention_forward(const ql::Args &a) {
    return attention_block(a.self(), a["x"], a["y"], false, a["key_padding_mask"], a["attn_mask"]);
}

const char *const kFeedForwardInitSig = "__init__(self, d_model: int, d_ff: int, dropout: float = 0.0)";

nb::object feed_forward_init(const ql::Args &a) {
    nb::handle self = a.self(), d_model = a["d_model"], d_ff = a["d_ff"], dropout = a["dropout"];
    nb::object nn = globals["nn"];
    nn.attr("Module").attr("__init__")(self);
    self.attr("ffn") = nn.attr("Sequential")(nn.attr("Linear")(d_model, d_ff), nn.attr("GELU")(),
                                             nn.attr("Dropout")(dropout), nn.attr("Linear")(d_ff, d_model));
    self.attr("norm") = nn.attr("LayerNorm")(d_model);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    return nb::none();
}

const char *const kFeedForwardForwardSig = "forward(self, x: torch.Tensor) -> torch.Tensor";

nb::object feed_forward_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object x_ffn = ql::call_method(self, QL_ID("ffn"), {x_norm});
    nb::object dropped = ql::call_method(self, QL_ID("dropout"), {x_ffn});
    return x + dropped;
}

// ---------------------------------------------------------------------------
// Incremental decoding
// ---------------------------------------------------------------------------

// The attention module's projections, read from its parameters (the packed input projection
// holds the query, key and value weights one below the other).
struct Projections {
    nb::object mha, weight, bias;
    long width, heads;

    explicit Projections(nb::handle self)
        : mha(self.attr(QL_ID("mha"))), weight(mha.attr(QL_ID("in_proj_weight"))),
          bias(mha.attr(QL_ID("in_proj_bias"))), width(ql::as_long(mha.attr(QL_ID("embed_dim")))),
          heads(ql::as_long(mha.attr(QL_ID("num_heads")))) {}

    // x @ W[first:first+rows]^T + b[first:first+rows]
    nb::object project(nb::handle x, long first, long rows) const {
        nb::object F = globals["F"];
        return F.attr("linear")(x, weight.attr("narrow")(0, first, rows), bias.attr("narrow")(0, first, rows));
    }

    // (N, T, width) -> (N, heads, T, head_dim)
    nb::object split_heads(nb::handle x) const {
        return x.attr("unflatten")(-1, nb::make_tuple(heads, -1)).attr("transpose")(1, 2);
    }

    // Attention of queries (N, heads, Tq, head_dim) over keys and values, then the output projection.
    nb::object attend(nb::handle q, nb::handle k, nb::handle v, nb::handle mask) const {
        nb::object F = globals["F"];
        double p = ql::truthy(mha.attr(QL_ID("training"))) ? ql::as_double(mha.attr(QL_ID("dropout"))) : 0.0;
        nb::object context = F.attr("scaled_dot_product_attention")(q, k, v, nb::arg("attn_mask") = mask,
                                                                    nb::arg("dropout_p") = p);
        nb::object merged = context.attr("transpose")(1, 2).attr("flatten")(2);
        nb::object out_proj = mha.attr(QL_ID("out_proj"));
        return F.attr("linear")(merged, out_proj.attr(QL_ID("weight")), out_proj.attr(QL_ID("bias")));
    }
};

// x plus the block's dropout of the attention output: the residual connection of forward.
nb::object residual(nb::handle self, nb::handle x, nb::handle attended) {
    return x + ql::call_method(self, QL_ID("dropout"), {attended});
}

const char *const kSelfAttentionStepSig =
    "step(self, x: torch.Tensor, cache: Tuple[torch.Tensor, torch.Tensor], length: int) -> torch.Tensor";

nb::object self_attention_step(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    long length = (long)a.to_int("length");
    auto [keys, values] = ql::unpack<2>(a["cache"]);
    Projections proj(self);
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object q = proj.split_heads(proj.project(x_norm, 0, proj.width));
    long fresh = ql::as_long(q.attr("size")(2)), total = length + fresh;
    if (length < 0 || total > ql::as_long(keys.attr("size")(2)))
        ql::raise_value_error("the cache holds " + std::to_string(ql::as_long(keys.attr("size")(2))) +
                              " positions, too few for " + std::to_string(length) + " + " + std::to_string(fresh));
    keys.attr("narrow")(2, length, fresh).attr("copy_")(proj.split_heads(proj.project(x_norm, proj.width, proj.width)));
    values.attr("narrow")(2, length, fresh)
        .attr("copy_")(proj.split_heads(proj.project(x_norm, 2 * proj.width, proj.width)));
    nb::object mask = nb::none();
    if (fresh > 1) {  // new position i sees every cached one and the new ones up to itself
        nb::object torch = globals["torch"];
        mask = torch.attr("ones")(fresh, total, nb::arg("dtype") = torch.attr("bool"),
                                  nb::arg("device") = q.attr("device"))
                   .attr("tril")(length);
    }
    nb::object attended = proj.attend(q, keys.attr("narrow")(2, 0, total), values.attr("narrow")(2, 0, total), mask);
    return residual(self, x, attended);
}

const char *const kProjectMemorySig =
    "project_memory(self, y: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]";

nb::object cross_attention_project_memory(const ql::Args &a) {
    Projections proj(a.self());
    nb::handle y = a["y"];
    return nb::make_tuple(proj.split_heads(proj.project(y, proj.width, proj.width)),
                          proj.split_heads(proj.project(y, 2 * proj.width, proj.width)));
}

const char *const kCrossAttentionStepSig =
    "step(self, x: torch.Tensor, memory: Tuple[torch.Tensor, torch.Tensor],"
    " key_padding_mask: Optional[torch.Tensor] = None) -> torch.Tensor";

nb::object cross_attention_step(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"], padding = a["key_padding_mask"];
    Projections proj(self);
    auto [k, v] = ql::unpack<2>(a["memory"]);
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object q = proj.split_heads(proj.project(x_norm, 0, proj.width));
    // (N, S) True at padding -> (N, 1, 1, S) True where a key may be attended to
    nb::object mask = padding.is_none() ? nb::none() : (~nb::borrow(padding)).attr("unsqueeze")(1).attr("unsqueeze")(1);
    return residual(self, x, proj.attend(q, k, v, mask));
}

const char *const kSelfAttentionForwardDoc = R"doc(Args:
    x: (N, T, d_model) input.
    key_padding_mask: optional (N, T) bool mask, True at padded steps.
    attn_mask: optional (T, T) bool mask, True at future positions.

Returns:
    (output (N, T, d_model), attention weights (N, T, T) averaged over heads).)doc";

const char *const kCrossAttentionForwardDoc = R"doc(Args:
    x: (N, T, d_model) decoder stream (queries).
    y: (N, S, d_model) encoder output (keys and values), not normalised here.
    key_padding_mask: optional (N, S) bool padding mask of y.
    attn_mask: optional (T, S) bool mask.

Returns:
    (output (N, T, d_model), attention weights (N, T, S) averaged over heads).)doc";

const char *const kSelfAttentionStepDoc = R"doc(Causal self-attention at the newest positions of a sequence.

Args:
    x: (N, k, d_model) the k newest positions.
    cache: (keys, values) buffers, each (N, heads, capacity, head_dim), whose first `length`
        positions hold the earlier positions; the keys and values of the new ones are
        written after them (capacity must reach length + k).
    length: positions already in the cache.

Returns:
    output (N, k, d_model): forward over the whole sequence with a causal mask, at the new
    positions.)doc";

const char *const kCrossAttentionStepDoc = R"doc(Cross-attention of new decoder positions over projected memory.

Args:
    x: (N, k, d_model) decoder positions.
    memory: (keys, values) from project_memory, one row per row of x.
    key_padding_mask: optional (N, S) bool padding mask of the memory.

Returns:
    output (N, k, d_model), as forward gives it for the same encoder output.)doc";

}  // namespace

QL_MODULE(pellidor, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("nn", ql::import("torch.nn"));
    globals.set("F", ql::import("torch.nn.functional"));
    globals.from("typing", {"Tuple", "Optional"});
    nb::object Module = globals["nn"].attr("Module");
    m.doc() = "Pre-norm residual attention and feed-forward sub-layers.";

    ql::make_class(m, "SelfAttentionLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.\n    ",
                   {ql::method(kAttentionInitSig, attention_init),
                    ql::method(kSelfAttentionForwardSig, self_attention_forward, kSelfAttentionForwardDoc),
                    ql::method(kSelfAttentionStepSig, self_attention_step, kSelfAttentionStepDoc)});
    ql::make_class(m, "FeedForwardLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.\n    ",
                   {ql::method(kFeedForwardInitSig, feed_forward_init),
                    ql::method(kFeedForwardForwardSig, feed_forward_forward,
                               "Returns x + Dropout(FFN(LayerNorm(x))), shape (N, T, d_model).")});
    ql::make_class(m, "CrossAttentionLayer", {Module},
                   "\n    Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).\n"
                   "    Typically used in encoder-decoder models.\n    ",
                   {ql::method(kAttentionInitSig, attention_init),
                    ql::method(kCrossAttentionForwardSig, cross_attention_forward, kCrossAttentionForwardDoc),
                    ql::method(kProjectMemorySig, cross_attention_project_memory,
                               "Keys and values (each (N, heads, S, head_dim)) of an encoder output y (N, S,\n"
                               "d_model), for step."),
                    ql::method(kCrossAttentionStepSig, cross_attention_step, kCrossAttentionStepDoc)});
}
