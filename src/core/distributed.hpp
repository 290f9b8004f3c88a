// torch.distributed from C++: where this process stands in a job that torchrun started, and the
// few collective operations that code running the same way in every process needs (sums of
// numbers, one process's object on all of them, every process's object on all of them).
//
// Each function takes the torch module its caller uses (a module global, which tests may patch)
// and is called by every process of the job, in the same order, as collectives must be.
#pragma once

#include "core.hpp"
#include "pyops.hpp"

#include <cstdlib>
#include <string>
#include <vector>

namespace ql::distributed {

struct Layout {
    long long world_size = 1, rank = 0, local_rank = 0;
    bool several() const { return world_size > 1; }
    bool main() const { return rank == 0; }
};

// A non-negative integer environment variable, or `fallback` when it is unset.
inline long long environment_count(const char *name, long long fallback) {
    const char *text = std::getenv(name);
    if (!text || !*text) return fallback;
    char *end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value < 0)
        raise_value_error(std::string("environment variable ") + name + " must be a non-negative integer, got '" +
                          text + "'");
    return value;
}

inline bool group_initialised(nb::handle torch) {
    nb::object dist = torch.attr("distributed");
    return truthy(dist.attr("is_available")()) && truthy(dist.attr("is_initialized")());
}

// The layout of the default process group when one is initialised, else the one torchrun
// announces in WORLD_SIZE, RANK and LOCAL_RANK (a single process unless WORLD_SIZE is above 1).
inline Layout layout(nb::handle torch) {
    Layout out;
    if (group_initialised(torch)) {
        nb::object dist = torch.attr("distributed");
        out.world_size = as_long(dist.attr("get_world_size")());
        out.rank = as_long(dist.attr("get_rank")());
        out.local_rank = environment_count("LOCAL_RANK", out.rank);
        return out;
    }
    long long world_size = environment_count("WORLD_SIZE", 1);
    if (world_size <= 1) return out;
    out.world_size = world_size;
    out.rank = environment_count("RANK", 0);
    out.local_rank = environment_count("LOCAL_RANK", 0);
    if (out.rank >= out.world_size)
        raise_value_error("environment variables RANK=" + std::to_string(out.rank) + " and WORLD_SIZE=" +
                          std::to_string(out.world_size) + " do not describe a process of the job");
    return out;
}

// The element-wise sums of `values` over all processes, added in float64 on `device` (the
// device the backend communicates from: the CPU for gloo, the process's GPU for NCCL).
inline std::vector<double> sum(nb::handle torch, nb::handle device, const std::vector<double> &values) {
    nb::list items;
    for (double v : values) items.append(py_float(v));
    nb::object tensor = torch.attr("tensor")(items, nb::arg("dtype") = torch.attr("float64"),
                                             nb::arg("device") = device);
    torch.attr("distributed").attr("all_reduce")(tensor);
    std::vector<double> out;
    for (nb::handle v : tensor.attr("tolist")()) out.push_back(as_double(v));
    return out;
}

// Process 0's `value` on every process (pickled there, unpickled here).
inline nb::object broadcast_object(nb::handle torch, nb::handle value) {
    nb::list box;
    box.append(value);
    torch.attr("distributed").attr("broadcast_object_list")(box, nb::arg("src") = 0);
    return box[0];
}

// [value of process 0, value of process 1, ...] on every process.
inline nb::list gather_objects(nb::handle torch, nb::handle value, long long world_size) {
    nb::list out;
    for (long long r = 0; r < world_size; ++r) out.append(nb::none());
    torch.attr("distributed").attr("all_gather_object")(out, value);
    return out;
}

inline void barrier(nb::handle torch) { torch.attr("distributed").attr("barrier")(); }

}  // namespace ql::distributed
