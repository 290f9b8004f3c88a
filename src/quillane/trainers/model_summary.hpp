// The model-architecture summary of an experiment (model_arch.txt): torchinfo's summary of the
// model run on dummy inputs that fit its class and sizes.
#pragma once

#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <algorithm>

namespace model_summary {
namespace nb = nanobind;

// Frames of the dummy utterance: 1000, or the most whose reduced length still fits the model's
// max_len where 1000 frames would not.
inline long long summary_frames(const ql::ModuleGlobals &globals, nb::handle model) {
    const long long kFrames = 1000;
    nb::object max_len = nb::getattr(model, "max_len", nb::none());
    nb::object front_end = nb::getattr(model, "source_embedding", nb::none());
    if (!PyLong_Check(max_len.ptr()) || !nb::hasattr(front_end, "calculate_downsampled_length")) return kFrames;
    nb::object torch = globals["torch"];
    auto fits = [&](long long frames) {
        nb::list lengths;
        lengths.append(frames);
        nb::object reduced = front_end.attr("calculate_downsampled_length")(torch.attr("tensor")(lengths));
        return reduced.attr("max")().attr("item")() <= max_len;
    };
    if (fits(kFrames)) return kFrames;
    long long low = 1, high = kFrames - 1;  // the largest count that fits lies in [low, high]
    while (low < high) {
        long long middle = (low + high + 1) / 2;
        if (fits(middle)) low = middle;
        else high = middle - 1;
    }
    return low;
}

// The summary's four speech inputs: one dummy length fixes every size (1000 frames give 100
// target tokens, source lengths in [500, 1000) and target lengths in [50, 100)).
inline nb::list speech_summary_inputs(const ql::ModuleGlobals &globals, nb::handle self, nb::handle model) {
    nb::object torch = globals["torch"];
    nb::object data = self.attr("config")["data"];
    nb::object batch = ql::get(data, "batch_size", nb::int_(8));
    nb::object num_feats = data["num_feats"];
    long long frames = summary_frames(globals, model);
    long long tokens = std::max(1LL, frames / 10);
    nb::object max_len = nb::getattr(model, "max_len", nb::none());
    if (PyLong_Check(max_len.ptr())) tokens = std::min(tokens, ql::as_long(max_len));
    long long shortest_source = std::max(1LL, frames / 2), shortest_target = std::max(1LL, tokens / 2);

    nb::object device = self.attr("device");
    auto on_device = [&](nb::object tensor) { return tensor.attr("to")(device); };
    nb::list inputs;
    inputs.append(on_device(torch.attr("randn")(batch, frames, num_feats)));
    inputs.append(on_device(torch.attr("randint")(0, model.attr("num_classes"), nb::make_tuple(batch, tokens))));
    inputs.append(on_device(torch.attr("randint")(shortest_source, std::max(shortest_source + 1, frames),
                                                  nb::make_tuple(batch))));
    inputs.append(on_device(torch.attr("randint")(shortest_target, std::max(shortest_target + 1, tokens),
                                                  nb::make_tuple(batch))));
    return inputs;
}

// torchinfo reports a failing forward pass as "Failed to run torchinfo..." raised from the
// model's own error; that error is the one that says what is wrong.
inline nb::object error_behind_summary(nb::python_error &e) {
    if (!e.matches(PyExc_RuntimeError) || ql::str(e.value()).rfind("Failed to run torchinfo", 0) != 0) return {};
    nb::object cause = nb::steal(PyException_GetCause(e.value().ptr()));
    return cause.is_valid() && !cause.is_none() ? cause : nb::object();
}

// Writes str(torchinfo.summary(...)) of the model with dummy inputs fitting its class
// (torchinfo also prints the summary, so the user sees the architecture at start-up).
inline void write_model_summary(const ql::ModuleGlobals &globals, nb::handle self, nb::handle file) {
    nb::object torch = globals["torch"];
    nb::object model = self.attr("model");
    nb::object long_type = torch.attr("long");
    nb::object result;
    try {
        if (ql::is_instance(model, globals["DecoderOnlyTransformer"])) {
            nb::object batch = ql::get(self.attr("config")["data"], "batch_size", nb::int_(8));
            nb::list input_size, dtypes;
            input_size.append(nb::make_tuple(batch, model.attr("max_len")));
            input_size.append(nb::make_tuple(batch));
            dtypes.append(long_type);
            dtypes.append(long_type);
            result = globals["summary"](model, nb::arg("input_size") = input_size, nb::arg("dtypes") = dtypes);
        } else if (ql::is_instance(model, globals["EncoderDecoderTransformer"])) {
            nb::list dtypes;
            dtypes.append(torch.attr("float32"));
            for (int i = 0; i < 3; ++i) dtypes.append(long_type);
            result = globals["summary"](model, nb::arg("input_data") = speech_summary_inputs(globals, self, model),
                                        nb::arg("dtypes") = dtypes);
        } else {
            ql::raise(PyExc_NotImplementedError, "Model architecture summary not implemented");
        }
    } catch (nb::python_error &e) {
        nb::object cause = error_behind_summary(e);
        if (!cause.is_valid()) throw;
        PyObject *error = cause.release().ptr();
        PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(error)), error, PyException_GetTraceback(error));
        throw nb::python_error();
    }
    file.attr("write")(nb::str(result));
}

}  // namespace model_summary
