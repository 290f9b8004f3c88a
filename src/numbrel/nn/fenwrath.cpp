// Scaled dot-product attention on NumPy arrays with a hand-derived backward pass.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <cmath>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // numpy and Softmax, looked up at call time

// Transposes the last two axes, keeping every leading axis in place.
nb::object swap_last_two(nb::handle x) { return globals["np"].attr("swapaxes")(x, -1, -2); }

// sqrt of the size of the last axis of K. A Python float scales arrays without
// promoting float32 or float16 inputs to float64.
nb::float_ key_scale(nb::handle K) {
    nb::object d_k = globals["np"].attr("shape")(K)[-1];
    return nb::float_(std::sqrt(ql::as_double(d_k)));
}

const char *const kInitSig = "__init__(self)";
nb::object sdpa_init(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("eps") = 1e10;
    self.attr("softmax") = globals["Softmax"](nb::arg("dim") = -1);
    return nb::none();
}

const char *const kForwardSig = "forward(self, Q, K, V, mask=None)";
nb::object sdpa_forward(const ql::Args &a) {
    nb::handle self = a.self(), Q = a["Q"], K = a["K"], V = a["V"], mask = a["mask"];
    nb::object np = globals["np"];
    self.attr("V") = V;
    self.attr("K") = K;
    self.attr("Q") = Q;
    nb::object scaled_dot_product = np.attr("matmul")(Q, swap_last_two(K));  // (..., L, S)
    // In place, as integer scores cannot hold the quotient and must fail here.
    scaled_dot_product /= key_scale(K);
    if (!mask.is_none()) {
        nb::object masked_score = -self.attr(QL_ID("eps"));
        scaled_dot_product = np.attr("where")(mask, masked_score, scaled_dot_product);
    }
    nb::object attention_scores = self.attr(QL_ID("softmax")).attr(QL_ID("forward"))(scaled_dot_product);
    self.attr("attention_scores") = attention_scores;
    return np.attr("matmul")(attention_scores, V);
}

const char *const kBackwardSig = "backward(self, d_output)";
nb::object sdpa_backward(const ql::Args &a) {
    nb::handle self = a.self(), d_output = a["d_output"];
    nb::object np = globals["np"];
    nb::object A = self.attr(QL_ID("attention_scores"));
    nb::object V = self.attr(QL_ID("V")), K = self.attr(QL_ID("K")), Q = self.attr(QL_ID("Q"));
    nb::object d_V = np.attr("matmul")(swap_last_two(A), d_output);
    nb::object d_attention_scores = np.attr("matmul")(d_output, swap_last_two(V));
    nb::object d_scaled_dot_product =
        self.attr(QL_ID("softmax")).attr(QL_ID("backward"))(d_attention_scores) / key_scale(K);
    nb::object d_Q = np.attr("matmul")(d_scaled_dot_product, K);
    nb::object d_K = np.attr("matmul")(swap_last_two(d_scaled_dot_product), Q);
    return nb::make_tuple(d_Q, d_K, d_V);
}

const char *const kForwardDoc = R"doc(Args:
    Q: (..., L, E) queries.
    K: (..., S, E) keys.
    V: (..., S, Ev) values.
    mask: optional bool array broadcastable to (..., L, S), True where a query may not
        attend to a key; those scores become -eps before the softmax.

Returns:
    (..., L, Ev) array softmax(Q @ K^T / sqrt(E)) @ V. Q, K, V and the attention
    weights (attention_scores) are kept for backward.)doc";

const char *const kBackwardDoc = R"doc(Args:
    d_output: (..., L, Ev) gradient with respect to the output of the last forward.

Returns:
    (d_Q, d_K, d_V) with the shapes of Q, K and V.

The mask acts only through the cached attention weights: a masked weight is zero, so
no gradient reaches it. A query row whose keys are all masked attends uniformly in the
forward pass, and its gradients are those of that uniform softmax.)doc";

}  // namespace

QL_MODULE(fenwrath, m) {
    globals.bind(m);
    m.doc() = "Scaled dot-product attention on NumPy arrays with forward and backward passes.";
    globals.set("np", ql::import("numpy"));
    globals.from("numbrel.nn.activation", {"Softmax"});

    ql::make_class(m, "ScaledDotProductAttention", {ql::import_attr("builtins", "object")},
                   "Scaled Dot Product Attention",
                   {ql::method(kInitSig, sdpa_init),
                    ql::method(kForwardSig, sdpa_forward, kForwardDoc),
                    ql::method(kBackwardSig, sdpa_backward, kBackwardDoc)});
}
