// Spectrogram masking (TimeMasking, FrequencyMasking) and the in-place masking of collated
// batches.
//
// One call masks, per utterance (iid_masks=True) or once for the whole batch, a band of
// consecutive bins along one axis: a width drawn uniformly in [0, mask_param) and a start
// drawn uniformly in [0, size - width), both truncated to integers; the band is filled
// with mask_value. Random numbers come from torch's global generator, drawn as two
// tensors (all widths, then all starts) in the input's dtype.
#pragma once

#include "quenmark_tensors.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace quenmark {

// nn.Module.__init__, the masking transforms' base initialiser.
inline nb::handle module_init;

inline nb::object masking_init(nb::handle self, nb::handle mask_param, int axis, nb::handle iid_masks, nb::handle p) {
    module_init(self);
    self.attr("mask_param") = mask_param;
    self.attr("axis") = nb::int_(axis);
    self.attr("iid_masks") = iid_masks;
    self.attr("p") = p;
    return nb::none();
}

inline const char *const kTimeMaskingInitSig =
    "__init__(self, time_mask_param, iid_masks: bool = False, p: float = 1.0)";
inline nb::object time_masking_init(const ql::Args &a) {
    return masking_init(a.self(), a["time_mask_param"], 2, a["iid_masks"], a["p"]);
}

inline const char *const kFreqMaskingInitSig = "__init__(self, freq_mask_param, iid_masks: bool = False)";
inline nb::object freq_masking_init(const ql::Args &a) {
    return masking_init(a.self(), a["freq_mask_param"], 1, a["iid_masks"], nb::float_(1.0));
}

// The mask parameter in effect for an axis of `size` bins: mask_param, or with p < 1 at
// most int(size * p). Checks p.
inline nb::object effective_mask_param(nb::handle module, Py_ssize_t size) {
    nb::object p = module.attr(QL_ID("p")), mask_param = module.attr(QL_ID("mask_param"));
    if (!(p >= nb::float_(0.0)) || !(p <= nb::float_(1.0)))
        ql::raise_value_error("The value of p must be between 0.0 and 1.0 (" + ql::str(p) + " given).");
    if (p.equal(nb::float_(1.0))) return mask_param;
    nb::object limit = nb::int_(nb::handle(nb::int_(size) * p));
    return mask_param <= limit ? mask_param : limit;
}

inline const char *const kMaskingForwardSig = "forward(self, specgram, mask_value: float = 0.0)";
inline const char *const kMaskingForwardDoc =
    R"doc(Args:
    specgram: (..., freq, time) tensor; iid masks need at least three dimensions.
    mask_value: value written into the masked band.

Returns:
    A masked copy of specgram (specgram itself when no band can be drawn).)doc";

inline nb::object masking_forward(const ql::Args &a) {
    nb::handle self = a.self(), spec = a["specgram"], mask_value = a["mask_value"];
    const Py_ssize_t dim = nb::cast<Py_ssize_t>(spec.attr("dim")());
    const bool iid = ql::truthy(self.attr(QL_ID("iid_masks")));
    const Py_ssize_t axis = nb::cast<Py_ssize_t>(self.attr(QL_ID("axis"))) + dim - 3;
    if (iid && dim < 3)
        ql::raise_value_error("Spectrogram must have at least three dimensions (" + std::to_string(dim) +
                              " given).");
    if (axis != dim - 2 && axis != dim - 1)
        ql::raise_value_error("Only Frequency and Time masking are supported (axis " + std::to_string(dim - 2) +
                              " and " + std::to_string(dim - 1) + " supported; " + std::to_string(axis) +
                              " given).");
    nb::object shape = spec.attr("shape");
    const Py_ssize_t size = nb::cast<Py_ssize_t>(shape[axis]);
    nb::object param = effective_mask_param(self, size);
    if (param < nb::int_(1)) return nb::borrow(spec);

    nb::object t = torch();
    nb::object device = spec.attr("device"), dtype = spec.attr("dtype");
    nb::object draw_shape = iid ? nb::object(shape[nb::slice(Py_ssize_t(0), Py_ssize_t(dim - 2), Py_ssize_t(1))])
                                : shape_tuple({1});
    nb::object width = t.attr("rand")(draw_shape, nb::arg("device") = device, nb::arg("dtype") = dtype) * param;
    nb::object room = nb::int_(size) - width;
    nb::object start = (t.attr("rand")(draw_shape, nb::arg("device") = device, nb::arg("dtype") = dtype) * room)
                           .attr("long")();
    nb::object end = start + width.attr("long")();
    if (iid) {
        // (..., 1, 1) so the bounds broadcast over both spectrogram axes
        start = start.attr("unsqueeze")(-1).attr("unsqueeze")(-1);
        end = end.attr("unsqueeze")(-1).attr("unsqueeze")(-1);
    }
    nb::object positions = t.attr("arange")(0, size, nb::arg("device") = device, nb::arg("dtype") = dtype);
    nb::object band = positions.attr("ge")(start) & positions.attr("lt")(end);
    nb::object moved = spec.attr("transpose")(axis, -1).attr("masked_fill")(band, mask_value);
    return moved.attr("transpose")(axis, -1);
}

// Masks the (B, T, F) float32 buffer in place as `module` (one of the library's own
// masking transforms, iid) would mask its (B, F, T) permutation. Draws exactly the random
// numbers the tensor path draws.
inline void mask_buffer(nb::handle module, bool time_axis, float *buf, int64_t B, int64_t T, int64_t F) {
    const int64_t size = time_axis ? T : F;
    nb::object param = effective_mask_param(module, Py_ssize_t(size));
    if (param < nb::int_(1)) return;
    const float p = float(ql::as_double(param));
    nb::object th = torch(), shape = shape_tuple({Py_ssize_t(B)}), float32 = th.attr("float32");
    nb::object u1 = th.attr("rand")(shape, nb::arg("dtype") = float32, nb::arg("device") = "cpu");
    nb::object u2 = th.attr("rand")(shape, nb::arg("dtype") = float32, nb::arg("device") = "cpu");
    const float *r1 = static_cast<const float *>(data_ptr(u1));
    const float *r2 = static_cast<const float *>(data_ptr(u2));
    nb::gil_scoped_release release;
    for (int64_t b = 0; b < B; ++b) {
        const float width = r1[b] * p;
        const float start_f = r2[b] * (float(size) - width);
        const int64_t start = int64_t(start_f), end = start + int64_t(width);
        const int64_t lo = std::max<int64_t>(start, 0), hi = std::min<int64_t>(end, size);
        if (lo >= hi) continue;
        float *u = buf + b * T * F;
        if (time_axis) {
            std::memset(u + lo * F, 0, size_t((hi - lo) * F) * sizeof(float));
        } else {
            for (int64_t t = 0; t < T; ++t) std::fill(u + t * F + lo, u + t * F + hi, 0.0f);
        }
    }
}

}  // namespace quenmark
