// Boolean attention masks. True marks a position that may not be attended to.
#include "core.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // torch is looked up at call time, as a Python module would

const char *const kPadMaskSig = "PadMask(padded_input, input_lengths)";
nb::object pad_mask(const ql::Args &a) {
    nb::handle padded_input = a["padded_input"], input_lengths = a["input_lengths"];
    nb::object torch = globals["torch"];
    auto [batch, length] = ql::unpack<2>(padded_input.attr("shape")[nb::slice(0, 2, 1)]);  // (N, T)
    nb::object positions =
        torch.attr("arange")(length, nb::arg("device") = padded_input.attr("device")).attr("unsqueeze")(0);
    return torch.attr("ge")(positions, input_lengths.attr("unsqueeze")(1));
}

const char *const kCausalMaskSig = "CausalMask(padded_input)";
nb::object causal_mask(const ql::Args &a) {
    nb::handle padded_input = a["padded_input"];
    nb::object torch = globals["torch"];
    nb::object T = padded_input.attr("shape")[1];
    nb::object ones = torch.attr("ones")(nb::make_tuple(T, T), nb::arg("dtype") = torch.attr("bool"),
                                         nb::arg("device") = padded_input.attr("device"));
    return torch.attr("triu")(ones, nb::arg("diagonal") = 1);
}

const char *const kPadMaskDoc = R"doc(Create a padding mask for a batch of variable-length sequences.

Args:
    padded_input: tensor whose first two dimensions are (N, T).
    input_lengths: (N,) tensor of valid lengths.

Returns:
    (N, T) bool tensor on padded_input's device, True where t >= input_lengths[n].)doc";

const char *const kCausalMaskDoc = R"doc(Create a causal mask that hides future positions.

Args:
    padded_input: tensor whose second dimension is T.

Returns:
    (T, T) bool tensor on padded_input's device, True above the main diagonal.)doc";

}  // namespace

QL_MODULE(masks, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    m.doc() = "Padding and causal masks for attention (True = masked out).";
    ql::def(m, kPadMaskSig, pad_mask, kPadMaskDoc);
    ql::def(m, kCausalMaskSig, causal_mask, kCausalMaskDoc);
}
