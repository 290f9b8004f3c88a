// Activation layers on NumPy arrays with explicit forward and backward passes.
#include "core.hpp"

namespace {
namespace nb = nanobind;

nb::handle np;

nb::object softmax_init(const ql::Args &a) {
    a.self().attr("dim") = a["dim"];
    return nb::none();
}

nb::object softmax_forward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object dim = self.attr(QL_ID("dim"));
    nb::object Z = np.attr("asarray")(a["Z"]);
    // Subtracting the row maximum keeps exp() finite without changing the result.
    nb::object peak = np.attr("max")(Z, nb::arg("axis") = dim, nb::arg("keepdims") = true);
    nb::object exps = np.attr("exp")(Z - peak);
    nb::object total = np.attr("sum")(exps, nb::arg("axis") = dim, nb::arg("keepdims") = true);
    nb::object A = exps / total;
    self.attr("A") = A;
    return A;
}

nb::object softmax_backward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object A = self.attr(QL_ID("A"));
    nb::object dim = self.attr(QL_ID("dim"));
    nb::object dLdA = np.attr("asarray")(a["dLdA"]);
    // Jacobian-vector product of softmax: A * (dLdA - <dLdA, A>) along `dim`.
    nb::object inner = np.attr("sum")(dLdA * A, nb::arg("axis") = dim, nb::arg("keepdims") = true);
    return A * (dLdA - inner);
}

}  // namespace

QL_MODULE(activation, m) {
    np = ql::keep(ql::import("numpy"));
    m.doc() = "Activation layers on NumPy arrays with hand-written backward passes.";
    m.attr("np") = np;

    ql::make_class(
        m, "Softmax", {ql::import_attr("builtins", "object")},
        "Softmax along one axis.\n\n"
        "forward(Z) keeps its output A; backward(dLdA) returns the gradient with respect to\n"
        "the Z of the most recent forward.",
        {ql::method("__init__(self, dim: int = -1)", softmax_init),
         ql::method("forward(self, Z)", softmax_forward,
                    "Returns exp(Z) / sum(exp(Z)) along `dim` (computed stably), and keeps it as A."),
         ql::method("backward(self, dLdA)", softmax_backward,
                    "Returns dL/dZ = A * (dLdA - sum(dLdA * A, dim)) for the A of the last forward.")});
}
