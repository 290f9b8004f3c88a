// Multi-head attention on NumPy arrays: four linear projections around one scaled
// dot-product attention that serves every head at once, with forward and backward passes.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // numpy and the layer classes, looked up at call time

// A zero, negative or incomparable head count would otherwise fail later with an unrelated error.
bool usable_head_count(nb::handle num_heads) {
    if (num_heads.is_none()) return false;
    try {
        return !(num_heads <= nb::int_(0));
    } catch (nb::python_error &) {
        return false;
    }
}

const char *const kInitSig = "__init__(self, embed_dim, num_heads)";
nb::object mha_init(const ql::Args &a) {
    nb::handle self = a.self(), embed_dim = a["embed_dim"], num_heads = a["num_heads"];
    if (!usable_head_count(num_heads)) ql::raise_value_error("num_heads must be a positive integer");
    if (!(embed_dim % num_heads).equal(nb::int_(0))) ql::raise_value_error("embed_dim must be divisible by num_heads");

    self.attr("embed_dim") = embed_dim;
    self.attr("num_heads") = num_heads;
    self.attr("attention") = globals["ScaledDotProductAttention"]();
    nb::object Linear = globals["Linear"];
    for (const char *name : {"q_proj", "k_proj", "v_proj", "out_proj"})
        self.attr(name) = Linear(embed_dim, embed_dim);
    return nb::none();
}

const char *const kInitWeightsSig = "init_weights(self, Wq, bq, Wk, bk, Wv, bv, Wo, bo)";
nb::object mha_init_weights(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("q_proj").attr("init_weights")(a["Wq"], a["bq"]);
    self.attr("k_proj").attr("init_weights")(a["Wk"], a["bk"]);
    self.attr("v_proj").attr("init_weights")(a["Wv"], a["bv"]);
    self.attr("out_proj").attr("init_weights")(a["Wo"], a["bo"]);
    return nb::none();
}

// (N, T, E) -> (N, H, T, E / H); T is the array's own length, so keys and values of a
// length S other than the query's split correctly.
const char *const kSplitHeadsSig = "_split_heads(self, x)";
nb::object split_heads(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object np = globals["np"];
    nb::object length = np.attr("shape")(x)[1];
    nb::object heads = np.attr("reshape")(
        x, nb::make_tuple(self.attr(QL_ID("N")), length, self.attr(QL_ID("num_heads")), -1));
    return np.attr("transpose")(heads, nb::make_tuple(0, 2, 1, 3));
}

// (N, H, T, E / H) -> (N, T, E), the inverse of split_heads.
const char *const kConcatHeadsSig = "_concat_heads(self, x)";
nb::object concat_heads(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object np = globals["np"];
    nb::object length = np.attr("shape")(x)[2];
    nb::object joined = np.attr("transpose")(x, nb::make_tuple(0, 2, 1, 3));
    return np.attr("reshape")(joined, nb::make_tuple(self.attr(QL_ID("N")), length, -1));
}

// Either mask may be None (nothing masked by it); the result is always a fresh
// (N, H, L, S) bool array.
const char *const kMergeMasksSig = "_merge_masks(self, key_padding_mask, attn_mask)";
nb::object merge_masks(const ql::Args &a) {
    nb::handle self = a.self(), key_padding_mask = a["key_padding_mask"], attn_mask = a["attn_mask"];
    nb::object np = globals["np"];
    nb::object shape = nb::make_tuple(self.attr(QL_ID("N")), self.attr(QL_ID("num_heads")),
                                      self.attr(QL_ID("L")), self.attr(QL_ID("S")));
    nb::object key_mask, attention_mask;
    if (!key_padding_mask.is_none()) {
        nb::object expanded = np.attr("expand_dims")(np.attr("expand_dims")(key_padding_mask, 1), 2);
        key_mask = np.attr("broadcast_to")(expanded, shape);  // (N, 1, 1, S) -> (N, H, L, S)
    }
    if (!attn_mask.is_none()) {
        nb::object expanded = np.attr("expand_dims")(np.attr("expand_dims")(attn_mask, 0), 0);
        attention_mask = np.attr("broadcast_to")(expanded, shape);  // (1, 1, L, S) -> (N, H, L, S)
    }
    if (key_mask.is_valid() && attention_mask.is_valid())
        return np.attr("logical_or")(key_mask, attention_mask);
    nb::object bool_ = np.attr("bool_");
    if (key_mask.is_valid()) return np.attr("array")(key_mask, nb::arg("dtype") = bool_);
    if (attention_mask.is_valid()) return np.attr("array")(attention_mask, nb::arg("dtype") = bool_);
    return np.attr("zeros")(shape, nb::arg("dtype") = bool_);
}

void require_3d(nb::handle x, const char *name, const char *layout) {
    nb::object np = globals["np"];
    if (ql::as_long(np.attr("ndim")(x)) != 3)
        ql::raise_value_error(std::string(name) + " must be a 3-D array " + layout + ", got shape " +
                              ql::repr(np.attr("shape")(x)));
}

const char *const kForwardSig = "forward(self, query, key, value, key_padding_mask=None, attn_mask=None)";
nb::object mha_forward(const ql::Args &a) {
    nb::handle self = a.self(), query = a["query"], key = a["key"], value = a["value"];
    nb::object np = globals["np"];
    require_3d(query, "query", "(N, L, E)");
    require_3d(key, "key", "(N, S, E)");
    require_3d(value, "value", "(N, S, E)");
    nb::object query_shape = np.attr("shape")(query);
    self.attr("N") = query_shape[0];
    self.attr("L") = query_shape[1];
    self.attr("S") = np.attr("shape")(key)[1];
    self.attr("E") = query_shape[2];

    nb::object q = self.attr(QL_ID("q_proj")).attr(QL_ID("forward"))(query);
    nb::object k = self.attr(QL_ID("k_proj")).attr(QL_ID("forward"))(key);
    nb::object v = self.attr(QL_ID("v_proj")).attr(QL_ID("forward"))(value);
    nb::object split = self.attr(QL_ID("_split_heads"));
    q = split(q);
    k = split(k);
    v = split(v);
    nb::object mask = self.attr(QL_ID("_merge_masks"))(a["key_padding_mask"], a["attn_mask"]);
    nb::object attn_outputs = self.attr(QL_ID("attention")).attr(QL_ID("forward"))(q, k, v, mask);
    nb::object attn_output = self.attr(QL_ID("_concat_heads"))(attn_outputs);
    return self.attr(QL_ID("out_proj")).attr(QL_ID("forward"))(attn_output);
}

const char *const kBackwardSig = "backward(self, d_output)";
nb::object mha_backward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object d_attn_output = self.attr(QL_ID("out_proj")).attr(QL_ID("backward"))(a["d_output"]);
    nb::object d_attn_outputs = self.attr(QL_ID("_split_heads"))(d_attn_output);
    auto [d_q_heads, d_k_heads, d_v_heads] =
        ql::unpack<3>(self.attr(QL_ID("attention")).attr(QL_ID("backward"))(d_attn_outputs));
    nb::object concat = self.attr(QL_ID("_concat_heads"));
    nb::object d_q = self.attr(QL_ID("q_proj")).attr(QL_ID("backward"))(concat(d_q_heads));
    nb::object d_k = self.attr(QL_ID("k_proj")).attr(QL_ID("backward"))(concat(d_k_heads));
    nb::object d_v = self.attr(QL_ID("v_proj")).attr(QL_ID("backward"))(concat(d_v_heads));
    return nb::make_tuple(d_q, d_k, d_v);
}

const char *const kInitWeightsDoc = R"doc(Hands each (W, b) pair to its projection's init_weights, in the order query, key,
value, output; W is (embed_dim, embed_dim) and b (embed_dim,).)doc";

const char *const kForwardDoc = R"doc(Args:
    query: (N, L, E) queries.
    key: (N, S, E) keys; S may differ from L.
    value: (N, S, E) values.
    key_padding_mask: optional (N, S) bool array, True at keys no query may attend to.
    attn_mask: optional (L, S) bool array, True where query l may not attend to key s.
        An omitted mask masks nothing.

Returns:
    (N, L, E) output; what backward needs is kept by this layer and its sub-layers.)doc";

const char *const kBackwardDoc = R"doc(Args:
    d_output: (N, L, E) gradient with respect to the output of the last forward.

Returns:
    (d_q, d_k, d_v) with the shapes of query, key and value. The gradients of the
    projection weights stay in q_proj, k_proj, v_proj and out_proj.)doc";

const char *const kMergeMasksDoc = R"doc(Combines the (N, S) padding mask and the (L, S) attention mask into one
(N, H, L, S) bool array: a position is masked when either mask masks it.)doc";

}  // namespace

QL_MODULE(caddrick, m) {
    globals.bind(m);
    m.doc() = "Multi-head attention on NumPy arrays with forward and backward passes.";
    globals.from("numbrel.nn.linear", {"Linear"});
    globals.from("numbrel.nn.fenwrath", {"ScaledDotProductAttention"});
    globals.set("np", ql::import("numpy"));

    ql::make_class(
        m, "MultiHeadAttention", {ql::import_attr("builtins", "object")}, "Multi Head Attention",
        {ql::method(kInitSig, mha_init),
         ql::method(kInitWeightsSig, mha_init_weights, kInitWeightsDoc),
         ql::method(kForwardSig, mha_forward, kForwardDoc),
         ql::method(kBackwardSig, mha_backward, kBackwardDoc),
         ql::method(kMergeMasksSig, merge_masks, kMergeMasksDoc),
         ql::method(kSplitHeadsSig, split_heads, "(N, T, E) -> (N, H, T, E / H)."),
         ql::method(kConcatHeadsSig, concat_heads, "(N, H, T, E / H) -> (N, T, E).")});
}
