// Training precision: the training.precision setting, the precision "auto" picks for a device,
// and the check that a model's layers run under a reduced precision there.
//
// On a CPU, reduced precision pays only where the CPU has units for it: elsewhere torch emulates
// it several times slower than float32, and some kernels (recurrent ones among them) are missing
// outright on some CPUs. So "auto" takes bfloat16 or float16 on a CPU only where torch reports
// native units for it and the model's layers pass a forward and backward pass under it; float32
// otherwise. On an accelerator it takes float16, with the gradient scaler.
#pragma once

#include "amp.hpp"
#include "context.hpp"
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <map>
#include <string>
#include <vector>

namespace precision {
namespace nb = nanobind;

inline const std::string kChoices = "'auto', 'float32', 'bfloat16', 'float16'";

inline bool is_training_precision(const std::string &name) {
    return name == "float32" || name == "bfloat16" || name == "float16";
}

// The training.precision setting: "auto" when the key is absent.
inline std::string setting(nb::handle training) {
    nb::object value = ql::get(training, "precision", nb::str("auto"));
    if (nb::isinstance<nb::str>(value)) {
        std::string name = nb::cast<std::string>(value);
        if (name == "auto" || is_training_precision(name)) return name;
    }
    ql::raise_value_error("training.precision must be one of " + kChoices + ", got " + ql::repr(value));
}

inline std::string cpu_capability(nb::handle torch) {
    nb::object cpu = torch.attr("backends").attr("cpu");
    return nb::hasattr(cpu, "get_cpu_capability") ? ql::str(cpu.attr("get_cpu_capability")()) : "unknown";
}

// Whether torch reports CPU units that compute `name` natively: AVX-512 BF16 or AMX for
// bfloat16, AMX-FP16 for float16, with torch's own kernels built for AVX-512 in use (a process
// restricted to AVX2 kernels, e.g. by ATEN_CPU_CAPABILITY, emulates them). A check this torch
// lacks counts as "no".
inline bool cpu_has_units_for(nb::handle torch, const std::string &name) {
    if (cpu_capability(torch).rfind("AVX512", 0) != 0) return false;
    nb::object cpu = torch.attr("cpu");
    auto reports = [&](const char *check) { return nb::hasattr(cpu, check) && ql::truthy(cpu.attr(check)()); };
    if (name == "bfloat16") return reports("_is_avx512_bf16_supported") || reports("_is_amx_tile_supported");
    return name == "float16" && reports("_is_amx_fp16_supported");
}

struct Choice {
    std::string name;
    std::string reason;  // why a CPU trains in float32; empty otherwise
};

// `probe(model, device, name)` returns None when the model's layers run under `name` there,
// else the reason they do not.
inline Choice choose_automatically(nb::handle torch, nb::handle probe, nb::handle model, nb::handle device) {
    if (ql::device_type(device) != "cpu") return {"float16", ""};
    std::string reason;
    for (const char *candidate : {"bfloat16", "float16"}) {
        if (!cpu_has_units_for(torch, candidate)) continue;
        nb::object failure = probe(model, device, candidate);
        if (failure.is_none()) return {candidate, ""};
        if (reason.empty()) reason = ql::str(failure);
    }
    if (reason.empty()) reason = "this CPU (" + cpu_capability(torch) + ") has no bfloat16 or float16 units";
    return {"float32", reason};
}

// ---------------------------------------------------------------------------
// The probe
// ---------------------------------------------------------------------------

constexpr long long kSteps = 5;  // sequence length of the probe inputs

// The kinds of layer whose reduced-precision kernels a CPU may lack: recurrent, convolution and
// attention layers; one of each distinct configuration the model holds.
inline std::vector<nb::object> layers_to_probe(nb::handle nn, nb::handle model, std::string &key) {
    nb::object kinds = nb::make_tuple(nn.attr("RNNBase"), nn.attr("modules").attr("conv").attr("_ConvNd"),
                                      nn.attr("MultiheadAttention"));
    std::vector<nb::object> layers;
    std::map<std::string, bool> seen;
    for (nb::handle layer : model.attr("modules")()) {
        if (!ql::is_instance(layer, kinds)) continue;
        std::string description = ql::repr(layer);
        if (nb::hasattr(layer, "num_heads"))
            description += " heads=" + ql::str(layer.attr("num_heads")) + " batch_first=" + ql::str(layer.attr("batch_first"));
        if (seen[description]) continue;
        seen[description] = true;
        key += description + "\n";
        layers.push_back(nb::borrow(layer));
    }
    return layers;
}

// A deterministic input of the given shape (the probe leaves the random generators alone).
inline nb::object probe_input(nb::handle torch, nb::handle shape, nb::handle device) {
    nb::object numel = torch.attr("Size")(shape).attr("numel")();
    return torch.attr("linspace")(-1.0, 1.0, numel, nb::arg("device") = device)
        .attr("reshape")(shape)
        .attr("requires_grad_")();
}

inline nb::object sequence_input(nb::handle torch, nb::handle layer, long long batch, nb::handle width,
                                 nb::handle device) {
    bool batch_first = ql::truthy(layer.attr("batch_first"));
    nb::object shape = batch_first ? nb::make_tuple(batch, kSteps, width) : nb::make_tuple(kSteps, batch, width);
    return probe_input(torch, shape, device);
}

// Lengths of a batch of sequences, all different: the longest is kSteps.
inline nb::object sequence_lengths(nb::handle torch, long long batch) {
    nb::list lengths;
    for (long long i = 0; i < batch; ++i) lengths.append(std::max(1LL, kSteps - 2 * i));
    return torch.attr("tensor")(lengths);
}

inline nb::object recurrent_output(nb::handle torch, nb::handle layer, long long batch, bool packed, nb::handle device) {
    nb::object x = sequence_input(torch, layer, batch, layer.attr("input_size"), device);
    if (!packed) return ql::unpack<2>(layer(x))[0];
    nb::object rnn = torch.attr("nn").attr("utils").attr("rnn");
    nb::object batch_first = layer.attr("batch_first");
    nb::object sequences = rnn.attr("pack_padded_sequence")(x, sequence_lengths(torch, batch),
                                                            nb::arg("batch_first") = batch_first,
                                                            nb::arg("enforce_sorted") = false);
    nb::object output = ql::unpack<2>(layer(sequences))[0];
    return ql::unpack<2>(rnn.attr("pad_packed_sequence")(output, nb::arg("batch_first") = batch_first))[0];
}

// A convolution input large enough for the kernel, whatever the padding.
inline nb::object convolution_output(nb::handle torch, nb::handle layer, long long batch, nb::handle device) {
    nb::list shape;
    shape.append(batch);
    shape.append(layer.attr("in_channels"));
    nb::object kernel = layer.attr("kernel_size"), dilation = layer.attr("dilation"), stride = layer.attr("stride");
    for (size_t d = 0; d < nb::len(kernel); ++d)
        shape.append(dilation[d] * (kernel[d] - nb::int_(1)) + nb::int_(1) + nb::int_(2) * stride[d]);
    return layer(probe_input(torch, nb::tuple(shape), device));
}

inline nb::object attention_output(nb::handle torch, nb::handle layer, long long batch, nb::handle device) {
    nb::object query = sequence_input(torch, layer, batch, layer.attr("embed_dim"), device);
    nb::object key = sequence_input(torch, layer, batch, layer.attr("kdim"), device);
    nb::object value = sequence_input(torch, layer, batch, layer.attr("vdim"), device);
    nb::object positions = torch.attr("arange")(kSteps).attr("unsqueeze")(0);
    nb::object padding = positions.attr("ge")(sequence_lengths(torch, batch).attr("unsqueeze")(1)).attr("to")(device);
    return ql::unpack<2>(layer(query, key, value, nb::arg("key_padding_mask") = padding,
                               nb::arg("need_weights") = true))[0];
}

// Forward passes under autocast to `dtype` and their backward passes, for batches of one and of
// three sequences; recurrent layers also on packed sequences. Runs on a copy in training mode
// without dropout, so neither the model nor the random generators change.
inline void run_layer(nb::handle torch, nb::handle nn, nb::handle layer, nb::handle device, nb::handle dtype) {
    nb::object copy = ql::import_attr("copy", "deepcopy")(layer).attr("to")(device);
    copy.attr("train")();
    if (nb::hasattr(copy, "dropout")) copy.attr("dropout") = 0.0;
    bool recurrent = ql::is_instance(copy, nn.attr("RNNBase"));
    bool attention = ql::is_instance(copy, nn.attr("MultiheadAttention"));
    for (long long batch : {1LL, 3LL}) {
        for (bool packed : {false, true}) {
            if (packed && !recurrent) continue;
            nb::object output;
            {
                ql::ContextGuard reduced(ql::autocast(device, dtype));
                output = recurrent   ? recurrent_output(torch, copy, batch, packed, device)
                         : attention ? attention_output(torch, copy, batch, device)
                                     : convolution_output(torch, copy, batch, device);
                reduced.close();
            }
            output.attr("float")().attr("sum")().attr("backward")();
        }
    }
}

inline std::string first_line(const std::string &text) { return text.substr(0, text.find('\n')); }

// None when every probed layer of the model runs under `name` on the device, else the reason;
// the answer is kept for the process, per device type, precision and layer configurations.
inline nb::object probe(nb::handle torch, nb::handle model, nb::handle device, const std::string &name) {
    if (name == "float32") return nb::none();  // no autocast at all
    static std::map<std::string, std::string> failures;  // "" for a pass
    nb::object nn = torch.attr("nn");
    std::string key = ql::device_type(device) + " " + name + "\n";
    std::vector<nb::object> layers = layers_to_probe(nn, model, key);
    auto known = failures.find(key);
    if (known == failures.end()) {
        std::string failure;
        nb::object dtype = torch.attr(name.c_str());
        ql::ContextGuard gradients(torch.attr("enable_grad")());
        for (nb::handle layer : layers) {
            try {
                run_layer(torch, nn, layer, device, dtype);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                failure = ql::type_name(layer) + " under " + name + " autocast: " + first_line(ql::str(e.value()));
                break;
            }
        }
        gradients.close();
        known = failures.emplace(key, failure).first;
    }
    if (known->second.empty()) return nb::none();
    return nb::str(known->second.c_str());
}

}  // namespace precision
