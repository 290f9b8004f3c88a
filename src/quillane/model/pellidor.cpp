// Pre-norm residual sub-layers: self-attention, cross-attention and feed-forward blocks.
//
// Besides forward, the attention blocks decode incrementally: `step` takes only the newest
// positions of a sequence and keeps the keys and values of every position in the caller's
// buffers, and a cross-attention block projects an encoder output into keys and values once
// (`project_memory`) for every later step. A step gives what forward gives at those positions
// under a causal mask over the whole prefix, up to float rounding, at a cost that grows with the
// prefix instead of its square. On CPU the attention runs in the raw-buffer kernels of
// attention_kernels.hpp, which read each row's positions through its history without copying;
// elsewhere (and with attention dropout) the rows' keys and values are gathered for torch.
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"
#include "attention_kernels.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

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

    long head_dim() const { return width / heads; }

    // x @ W[first:first+width]^T + b[first:first+width], as (N, T, heads, head_dim)
    nb::object project(nb::handle x, long first) const {
        nb::object F = globals["F"];
        nb::object y = F.attr("linear")(x, weight.attr("narrow")(0, first, width), bias.attr("narrow")(0, first, width));
        return y.attr("unflatten")(-1, nb::make_tuple(heads, head_dim()));
    }

    double dropout() const {
        return ql::truthy(mha.attr(QL_ID("training"))) ? ql::as_double(mha.attr(QL_ID("dropout"))) : 0.0;
    }

    // Attention of queries (N, heads, Tq, head_dim) over keys and values (N, heads, Tk, head_dim).
    nb::object attend(nb::handle q, nb::handle k, nb::handle v, nb::handle mask) const {
        nb::object context = globals["F"].attr("scaled_dot_product_attention")(
            q, k, v, nb::arg("attn_mask") = mask, nb::arg("dropout_p") = dropout());
        return context.attr("transpose")(1, 2);
    }

    // The output projection of a context (N, T, heads, head_dim).
    nb::object output(nb::handle context) const {
        nb::object out_proj = mha.attr(QL_ID("out_proj"));
        return globals["F"].attr("linear")(context.attr("flatten")(2), out_proj.attr(QL_ID("weight")),
                                           out_proj.attr(QL_ID("bias")));
    }

    // Whether the raw-buffer kernels compute this step: CPU float32 tensors, no attention
    // dropout, and the module switch on (tests turn it off to check the torch path).
    bool native(std::initializer_list<nb::handle> tensors) const {
        if (dropout() > 0.0 || !ql::truthy(globals["native_attention"])) return false;
        nb::object float32 = globals["torch"].attr("float32");
        for (nb::handle t : tensors)
            if (!ql::truthy(t.attr("is_contiguous")()) || !t.attr("device").attr("type").equal(nb::str("cpu")) ||
                !t.attr("dtype").equal(float32))
                return false;
        return true;
    }
};

template <typename T>
T *data_of(nb::handle tensor) {
    return tensor.is_none() ? nullptr : reinterpret_cast<T *>(nb::cast<uintptr_t>(tensor.attr("data_ptr")()));
}

long dim_size(nb::handle t, long dim) { return ql::as_long(t.attr("size")(dim)); }

// An index tensor's entries lie in [0, bound); raw buffers are read through them.
void check_index(nb::handle index, long bound, const char *what) {
    if (ql::as_long(index.attr("numel")()) == 0) return;
    if (ql::as_long(index.attr("min")()) < 0 || ql::as_long(index.attr("max")()) >= bound)
        ql::raise_value_error(std::string(what) + " must lie in [0, " + std::to_string(bound) + ")");
}

// x plus the block's dropout of the attention output: the residual connection of forward.
nb::object residual(nb::handle self, nb::handle x, nb::handle attended) {
    return x + ql::call_method(self, QL_ID("dropout"), {attended});
}

const char *const kSelfAttentionStepSig =
    "step(self, x: torch.Tensor, cache: Tuple[torch.Tensor, torch.Tensor], length: int,"
    " history: Optional[torch.Tensor] = None) -> torch.Tensor";

nb::object self_attention_step(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    long length = (long)a.to_int("length");
    auto [keys, values] = ql::unpack<2>(a["cache"]);
    nb::object history = nb::borrow(a["history"]);
    Projections proj(self);
    nb::object torch = globals["torch"];
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object q = proj.project(x_norm, 0).attr("contiguous")();  // (N, k, heads, head_dim)
    long rows = dim_size(q, 0), fresh = dim_size(q, 1), total = length + fresh;
    if (ql::as_long(keys.attr("dim")()) != 4 || dim_size(keys, 0) < total || dim_size(keys, 1) < rows ||
        dim_size(keys, 2) != proj.heads || dim_size(keys, 3) != proj.head_dim() || length < 0 ||
        !keys.attr("shape").equal(values.attr("shape")))
        ql::raise_value_error("cache must be two (capacity, columns, heads, head_dim) buffers with room for " +
                              std::to_string(total) + " positions of " + std::to_string(rows) +
                              " rows, got " + ql::str(keys.attr("shape")));
    if (!history.is_none()) {
        if (ql::as_long(history.attr("dim")()) != 2 || dim_size(history, 0) != rows || dim_size(history, 1) < total)
            ql::raise_value_error("history must be a (rows, positions) tensor covering " + std::to_string(total) +
                                  " positions");
        history = history.attr("to")(nb::arg("dtype") = torch.attr("long"));
        check_index(history.attr("narrow")(1, 0, total), dim_size(keys, 1), "history entries");
    }
    // the new positions of row i go to column i
    for (auto [buffer, fresh_values] : {std::pair<nb::handle, nb::object>{keys, proj.project(x_norm, proj.width)},
                                        std::pair<nb::handle, nb::object>{values, proj.project(x_norm, 2 * proj.width)}})
        buffer.attr("narrow")(0, length, fresh).attr("narrow")(1, 0, rows).attr("copy_")(fresh_values.attr("transpose")(0, 1));

    nb::object context;
    if (proj.native({q, keys, values})) {
        context = torch.attr("empty_like")(q);
        attention_kernels::Queries Q{data_of<const float>(q), data_of<float>(context), rows, fresh, proj.heads,
                                     proj.head_dim()};
        const float *k = data_of<const float>(keys), *v = data_of<const float>(values);
        const int64_t *h = data_of<const int64_t>(history);  // read through its strides, in place
        long columns = dim_size(keys, 1);
        long row_stride = history.is_none() ? 0 : ql::as_long(history.attr("stride")(0));
        long position_stride = history.is_none() ? 0 : ql::as_long(history.attr("stride")(1));
        nb::gil_scoped_release release;
        attention_kernels::attend_history(Q, k, v, columns, h, row_stride, position_stride, length);
    } else {
        // every row's keys and values gathered through its history: (N, heads, total, head_dim)
        nb::object positions = torch.attr("arange")(total, nb::arg("device") = keys.attr("device"));
        auto gather = [&](nb::handle buffer) {
            nb::object held = history.is_none()
                                  ? buffer.attr("narrow")(0, 0, total).attr("narrow")(1, 0, rows).attr("transpose")(0, 1)
                                  : buffer[nb::make_tuple(positions.attr("unsqueeze")(0), history.attr("narrow")(1, 0, total))];
            return held.attr("transpose")(1, 2);
        };
        nb::object mask = nb::none();
        if (fresh > 1)  // new position i sees every earlier one and the new ones up to itself
            mask = torch.attr("ones")(fresh, total, nb::arg("dtype") = torch.attr("bool"),
                                      nb::arg("device") = q.attr("device"))
                       .attr("tril")(length);
        context = proj.attend(q.attr("transpose")(1, 2), gather(keys), gather(values), mask);
    }
    return residual(self, x, proj.output(context));
}

const char *const kProjectMemorySig =
    "project_memory(self, y: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]";

nb::object cross_attention_project_memory(const ql::Args &a) {
    Projections proj(a.self());
    nb::handle y = a["y"];
    auto heads_first = [](nb::object t) { return t.attr("transpose")(1, 2).attr("contiguous")(); };
    return nb::make_tuple(heads_first(proj.project(y, proj.width)), heads_first(proj.project(y, 2 * proj.width)));
}

const char *const kCrossAttentionStepSig =
    "step(self, x: torch.Tensor, memory: Tuple[torch.Tensor, torch.Tensor],"
    " key_padding_mask: Optional[torch.Tensor] = None, rows: Optional[torch.Tensor] = None) -> torch.Tensor";

nb::object cross_attention_step(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object padding = nb::borrow(a["key_padding_mask"]), rows = nb::borrow(a["rows"]);
    Projections proj(self);
    auto [keys, values] = ql::unpack<2>(a["memory"]);
    nb::object x_norm = ql::call_method(self, QL_ID("norm"), {x});
    nb::object q = proj.project(x_norm, 0).attr("contiguous")();  // (N, k, heads, head_dim)
    long count = dim_size(q, 0), utterances = dim_size(keys, 0), frames = dim_size(keys, 2);
    if (rows.is_none() && count != utterances)
        ql::raise_value_error("memory has " + std::to_string(utterances) + " rows for " + std::to_string(count) +
                              " decoder rows; give rows to map them");
    if (!rows.is_none()) {
        if (ql::as_long(rows.attr("numel")()) != count)
            ql::raise_value_error("rows must hold one memory row per decoder row (" + std::to_string(count) + ")");
        rows = rows.attr("to")(nb::arg("dtype") = globals["torch"].attr("long"));
        check_index(rows, utterances, "rows");
    }
    if (!padding.is_none() && (dim_size(padding, 0) != utterances || dim_size(padding, 1) != frames))
        ql::raise_value_error("key_padding_mask must be (" + std::to_string(utterances) + ", " +
                              std::to_string(frames) + "), got " + ql::str(padding.attr("shape")));

    nb::object context;
    if (proj.native({q, keys, values})) {
        nb::object pad = padding.is_none() ? nb::none()
                                            : padding.attr("to")(nb::arg("dtype") = globals["torch"].attr("bool"))
                                                  .attr("contiguous")();
        if (!rows.is_none()) rows = rows.attr("contiguous")();
        context = globals["torch"].attr("empty_like")(q);
        attention_kernels::Queries Q{data_of<const float>(q), data_of<float>(context), count, dim_size(q, 1),
                                     proj.heads, proj.head_dim()};
        const float *k = data_of<const float>(keys), *v = data_of<const float>(values);
        const int64_t *u = data_of<const int64_t>(rows);
        const bool *p = data_of<const bool>(pad);
        nb::gil_scoped_release release;
        attention_kernels::attend_memory(Q, k, v, frames, u, p);
    } else {
        auto of_rows = [&](nb::object t) { return rows.is_none() ? t : t.attr("index_select")(0, rows); };
        // (N, S) True at padding -> (N, 1, 1, S) True where a key may be attended to
        nb::object mask = padding.is_none() ? nb::none()
                                            : (~of_rows(padding)).attr("unsqueeze")(1).attr("unsqueeze")(1);
        context = proj.attend(q.attr("transpose")(1, 2), of_rows(keys), of_rows(values), mask);
    }
    return residual(self, x, proj.output(context));
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
    x: (N, k, d_model) the k newest positions of each row.
    cache: (keys, values) buffers, each (capacity, columns, heads, head_dim): position p of
        column c. The new positions of row i are written into column i, at positions
        length .. length + k - 1.
    length: positions each row had before.
    history: optional (N, >= length + k) long tensor, the column holding each position of each
        row, so that rows (beam hypotheses) share the positions they have in common; None:
        row i is column i throughout.

Returns:
    output (N, k, d_model): forward over each row's whole sequence with a causal mask, at the
    new positions.)doc";

const char *const kCrossAttentionStepDoc = R"doc(Cross-attention of new decoder positions over projected memory.

Args:
    x: (N, k, d_model) decoder positions.
    memory: (keys, values) from project_memory, each (B, heads, S, head_dim).
    key_padding_mask: optional (B, S) bool padding mask of the memory.
    rows: optional (N,) long tensor, the memory row (utterance) each row reads; None: N == B
        and row i reads memory row i.

Returns:
    output (N, k, d_model), as forward gives it for the same encoder output.)doc";

}  // namespace

QL_MODULE(pellidor, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("nn", ql::import("torch.nn"));
    globals.set("F", ql::import("torch.nn.functional"));
    globals.from("typing", {"Tuple", "Optional"});
    // steps of incremental decoding run the raw-buffer attention kernels where they can
    globals.set("native_attention", nb::bool_(true));
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
                               "Keys and values (each (B, heads, S, head_dim)) of an encoder output y (B, S,\n"
                               "d_model), for step."),
                    ql::method(kCrossAttentionStepSig, cross_attention_step, kCrossAttentionStepDoc)});
}
