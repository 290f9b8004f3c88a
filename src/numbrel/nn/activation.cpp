// Activation layers on NumPy arrays with explicit forward and backward passes.
#include "core.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // numpy is looked up at call time, as a Python module would

const char *const kInitSig = "__init__(self, dim: int = -1)";
nb::object softmax_init(const ql::Args &a) {
    a.self().attr("dim") = a["dim"];
    return nb::none();
}

const char *const kForwardSig = "forward(self, Z)";
nb::object softmax_forward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
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

const char *const kBackwardSig = "backward(self, dLdA)";
nb::object softmax_backward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
    nb::object A = self.attr(QL_ID("A"));
    nb::object dim = self.attr(QL_ID("dim"));
    nb::object dLdA = np.attr("asarray")(a["dLdA"]);
    // Jacobian-vector product of softmax: A * (dLdA - <dLdA, A>) along `dim`.
    nb::object inner = np.attr("sum")(dLdA * A, nb::arg("axis") = dim, nb::arg("keepdims") = true);
    return A * (dLdA - inner);
}

const char *const kSoftmaxDoc = R"doc(Softmax along one axis.

forward(Z) keeps its output A; backward(dLdA) returns the gradient with respect to
the Z of the most recent forward.)doc";

}  // namespace

QL_MODULE(activation, m) {
    globals.bind(m);
    globals.set("np", ql::import("numpy"));
    m.doc() = "Activation layers on NumPy arrays with hand-written backward passes.";

    ql::make_class(
        m, "Softmax", {ql::import_attr("builtins", "object")}, kSoftmaxDoc,
        {ql::method(kInitSig, softmax_init),
         ql::method(kForwardSig, softmax_forward,
                    "Returns exp(Z) / sum(exp(Z)) along `dim` (computed stably), and keeps it as A."),
         ql::method(kBackwardSig, softmax_backward,
                    "Returns dL/dZ = A * (dLdA - sum(dLdA * A, dim)) for the A of the last forward.")});
}
