// Fully connected layer on NumPy arrays with an explicit backward pass.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <cmath>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // numpy is looked up at call time, as a Python module would

// operator.index: accepts Python and NumPy integers, rejects floats with Python's message.
long long to_index(nb::handle h) { return ql::as_long(ql::index(h)); }

std::string shape_text(nb::handle shape) { return ql::repr(shape); }

const char *const kInitSig = "__init__(self, in_features, out_features)";
nb::object linear_init(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
    long long in = to_index(a["in_features"]), out = to_index(a["out_features"]);
    if (in < 0 || out < 0) ql::raise_value_error("in_features and out_features must be non-negative");
    self.attr("in_features") = in;
    self.attr("out_features") = out;
    double bound = in > 0 ? 1.0 / std::sqrt(static_cast<double>(in)) : 0.0;
    self.attr("W") = np.attr("random").attr("uniform")(-bound, bound, nb::make_tuple(out, in));
    self.attr("b") = np.attr("zeros")(out);
    return nb::none();
}

const char *const kInitWeightsSig = "init_weights(self, W, b)";
nb::object linear_init_weights(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
    nb::object W = np.attr("asarray")(a["W"]);
    nb::object b = np.attr("asarray")(a["b"]);
    nb::object in = self.attr("in_features"), out = self.attr("out_features");
    nb::object want_W = nb::make_tuple(out, in), want_b = nb::make_tuple(out);
    if (!W.attr("shape").equal(want_W))
        ql::raise_value_error("W must have shape (out_features, in_features) = " + shape_text(want_W) +
                              ", got " + shape_text(W.attr("shape")));
    if (!b.attr("shape").equal(want_b))
        ql::raise_value_error("b must have shape (out_features,) = " + shape_text(want_b) + ", got " +
                              shape_text(b.attr("shape")));
    self.attr("W") = W;
    self.attr("b") = b;
    return nb::none();
}

const char *const kForwardSig = "forward(self, A)";
nb::object linear_forward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
    nb::object A = np.attr("asarray")(a["A"]);
    self.attr("A") = A;
    nb::object W = self.attr(QL_ID("W"));
    return np.attr("matmul")(A, W.attr("T")) + self.attr(QL_ID("b"));
}

const char *const kBackwardSig = "backward(self, dLdZ)";
nb::object linear_backward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object np = globals["np"];
    nb::object dLdZ = np.attr("asarray")(a["dLdZ"]);
    nb::object A = self.attr(QL_ID("A"));
    nb::object W = self.attr(QL_ID("W"));
    nb::object dLdA = np.attr("matmul")(dLdZ, W);
    // Parameter gradients are summed over every leading axis of the batch.
    nb::object rows_dZ = dLdZ.attr("reshape")(-1, W.attr("shape")[0]);
    nb::object rows_A = A.attr("reshape")(-1, W.attr("shape")[1]);
    self.attr("dLdA") = dLdA;
    self.attr("dLdW") = np.attr("matmul")(rows_dZ.attr("T"), rows_A);
    self.attr("dLdb") = rows_dZ.attr("sum")(nb::arg("axis") = 0);
    return dLdA;
}

const char *const kLinearDoc = R"doc(Affine map Z = A @ W.T + b over the last axis of an input of any leading shape.

W has shape (out_features, in_features) and b shape (out_features,). New layers draw W
uniformly from [-1/sqrt(in_features), 1/sqrt(in_features)] with NumPy's global random
state (np.random.seed makes them reproducible) and start with b at zero.
backward(dLdZ) returns dLdA and keeps dLdW and dLdb, summed over all leading axes.)doc";

}  // namespace

QL_MODULE(linear, m) {
    globals.bind(m);
    globals.set("np", ql::import("numpy"));
    m.doc() = "Fully connected layer on NumPy arrays with a hand-written backward pass.";

    ql::make_class(
        m, "Linear", {ql::import_attr("builtins", "object")}, kLinearDoc,
        {ql::method(kInitSig, linear_init),
         ql::method(kInitWeightsSig, linear_init_weights, "Installs W (out_features, in_features) and b (out_features,)."),
         ql::method(kForwardSig, linear_forward,
                    "Returns A @ W.T + b for A of shape (..., in_features); keeps A for backward."),
         ql::method(kBackwardSig, linear_backward,
                    "Returns dLdA = dLdZ @ W and stores dLdW and dLdb for the A of the last forward.")});
}
