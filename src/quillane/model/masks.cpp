// Boolean attention masks. True marks a position that may not be attended to.
#include "core.hpp"

namespace {
namespace nb = nanobind;

nb::handle torch;

nb::object pad_mask(const ql::Args &a) {
    nb::handle padded_input = a["padded_input"], input_lengths = a["input_lengths"];
    nb::object shape = padded_input.attr("shape");
    auto dims = ql::unpack(shape[nb::slice(0, 2, 1)], 2);  // (N, T)
    nb::object positions =
        torch.attr("arange")(dims[1], nb::arg("device") = padded_input.attr("device")).attr("unsqueeze")(0);
    nb::object lengths = input_lengths.attr("unsqueeze")(1);
    return ql::steal_checked(PyObject_RichCompare(positions.ptr(), lengths.ptr(), Py_GE));
}

nb::object causal_mask(const ql::Args &a) {
    nb::handle padded_input = a["padded_input"];
    nb::object T = padded_input.attr("shape")[1];
    nb::object ones = torch.attr("ones")(nb::make_tuple(T, T), nb::arg("dtype") = torch.attr("bool"),
                                         nb::arg("device") = padded_input.attr("device"));
    return torch.attr("triu")(ones, nb::arg("diagonal") = 1);
}

}  // namespace

QL_MODULE(masks, m) {
    torch = ql::keep(ql::import("torch"));
    m.attr("torch") = torch;
    m.doc() = "Padding and causal masks for attention (True = masked out).";
    ql::def(m, "PadMask(padded_input, input_lengths)", pad_mask,
            "Create a padding mask for a batch of variable-length sequences.\n\n"
            "Args:\n"
            "    padded_input: tensor whose first two dimensions are (N, T).\n"
            "    input_lengths: (N,) tensor of valid lengths.\n\n"
            "Returns:\n"
            "    (N, T) bool tensor on padded_input's device, True where t >= input_lengths[n].");
    ql::def(m, "CausalMask(padded_input)", causal_mask,
            "Create a causal mask that hides future positions.\n\n"
            "Args:\n"
            "    padded_input: tensor whose second dimension is T.\n\n"
            "Returns:\n"
            "    (T, T) bool tensor on padded_input's device, True above the main diagonal.");
}
