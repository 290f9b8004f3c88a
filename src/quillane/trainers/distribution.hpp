// A trainer in each process of a job that torchrun started: the process's device and place in
// the job, the model in DistributedDataParallel, loaders over the process's share of the data,
// sums and results combined over the processes, decisions taken by the first process, and
// output (text, progress bars) from the first process only.
//
// In a single process every function here hands back what it was given (the plain model, the
// caller's loader, the local sums), so a run without torchrun is the one it always was.
#pragma once

#include "core.hpp"
#include "distributed.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <unordered_set>
#include <vector>

namespace distribution {
namespace nb = nanobind;

// ---------------------------------------------------------------------------
// The process's place in the job
// ---------------------------------------------------------------------------

// BaseTrainer.__init__ stores world_size, rank and local_rank on the trainer.
inline long long world_size(nb::handle self) { return ql::as_long(nb::getattr(self, "world_size", nb::int_(1))); }
inline long long rank(nb::handle self) { return ql::as_long(nb::getattr(self, "rank", nb::int_(0))); }
inline bool several(nb::handle self) { return world_size(self) > 1; }
inline bool is_main(nb::handle self) { return rank(self) == 0; }

inline void say(nb::handle self, const std::string &line) {
    if (is_main(self)) ql::print(line);
}
inline void tree_line(nb::handle self, std::initializer_list<bool> levels, const std::string &text) {
    if (is_main(self)) ql::tree_line(levels, text);
}

// The trainers' progress bar on the first process; a disabled one elsewhere.
inline nb::object progress_bar(nb::handle tqdm, nb::handle self, size_t total, const std::string &desc) {
    if (is_main(self)) return ql::progress_bar(tqdm, total, desc);
    return tqdm(nb::arg("total") = total, nb::arg("desc") = desc, nb::arg("disable") = true);
}

// The device a process of the job trains on: a CUDA device named without an index becomes
// the process's own GPU, cuda:LOCAL_RANK.
inline nb::object local_device(nb::handle torch, nb::handle device, long long local_rank) {
    nb::object parsed = torch.attr("device")(device);
    if (ql::str(parsed.attr("type")) != "cuda" || !parsed.attr("index").is_none()) return nb::borrow(device);
    return nb::str(("cuda:" + std::to_string(local_rank)).c_str());
}

// training.distributed_timeout: how many seconds a collective waits for the other processes
// before it raises (30 minutes when absent); a positive number.
inline nb::object timeout_setting(nb::handle training) {
    nb::object value = ql::get(training, "distributed_timeout", nb::float_(1800.0));
    bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
    if (!number || !(ql::as_double(value) > 0) || ql::as_double(value) == Py_HUGE_VAL)
        ql::raise_value_error("training.distributed_timeout must be a positive number of seconds, got " +
                              ql::repr(value));
    return value;
}

// Makes a CUDA device the process's current one, which NCCL's collectives of Python objects
// communicate from.
inline void use_device(nb::handle torch, nb::handle device) {
    nb::object parsed = torch.attr("device")(device);
    if (ql::str(parsed.attr("type")) == "cuda") torch.attr("cuda").attr("set_device")(parsed);
}

// Initialises the default process group for the job, on the backend that serves the device
// (NCCL for CUDA, gloo otherwise), with a timeout after which a collective that a failed
// process never joins raises instead of waiting for ever.
inline void start_process_group(nb::handle torch, nb::handle device, nb::handle timeout_seconds) {
    bool cuda = ql::str(torch.attr("device")(device).attr("type")) == "cuda";
    nb::object timeout = ql::import_attr("datetime", "timedelta")(nb::arg("seconds") = timeout_seconds);
    torch.attr("distributed").attr("init_process_group")(nb::arg("backend") = cuda ? "nccl" : "gloo",
                                                         nb::arg("timeout") = timeout);
}

// Joins the job when torchrun started this process, and records the process's place on the
// trainer (world_size, rank, local_rank); returns the device the process trains on. The default
// process group is initialised here unless the caller did, and `end_group` is then registered
// to end it when the interpreter exits.
inline nb::object join(nb::handle torch, nb::handle self, nb::handle training, nb::object device,
                       nb::handle end_group) {
    ql::distributed::Layout layout = ql::distributed::layout(torch);
    self.attr("world_size") = layout.world_size;
    self.attr("rank") = layout.rank;
    self.attr("local_rank") = layout.local_rank;
    if (!layout.several()) return device;
    device = local_device(torch, device, layout.local_rank);
    use_device(torch, device);
    if (!ql::distributed::group_initialised(torch)) {
        start_process_group(torch, device, timeout_setting(training));
        ql::import("atexit").attr("register")(end_group);
    }
    return device;
}

inline void end_process_group(nb::handle torch) {
    if (ql::distributed::group_initialised(torch)) torch.attr("distributed").attr("destroy_process_group")();
}

// ---------------------------------------------------------------------------
// Decisions and results over the processes
// ---------------------------------------------------------------------------

// The per-process values summed over the processes.
inline std::vector<double> summed(const ql::ModuleGlobals &globals, nb::handle self,
                                  const std::vector<double> &values) {
    if (!several(self)) return values;
    return ql::distributed::sum(globals["torch"], self.attr("device"), values);
}

// The error that process 0 raised, raised on another process: the same built-in exception
// type and message, or a RuntimeError naming the type.
[[noreturn]] inline void raise_main_error(nb::handle type_name, nb::handle message) {
    nb::object builtins = ql::import("builtins");
    nb::object type = nb::getattr(builtins, type_name, nb::none());
    bool builtin_error = !type.is_none() && PyType_Check(type.ptr()) &&
                         PyType_IsSubtype((PyTypeObject *)type.ptr(), (PyTypeObject *)PyExc_Exception);
    if (builtin_error) {
        PyErr_SetObject(type.ptr(), message.ptr());
        throw nb::python_error();
    }
    ql::raise_runtime_error(ql::str(type_name) + ": " + ql::str(message));
}

// `decide()` runs on process 0 and every process returns its result, or raises its error, so
// that all of them take the same branch afterwards.
inline nb::object decided_on_main(const ql::ModuleGlobals &globals, nb::handle self,
                                  const std::function<nb::object()> &decide) {
    if (!several(self)) return decide();
    nb::object torch = globals["torch"];
    if (is_main(self)) {
        nb::object result;
        try {
            result = decide();
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            nb::object type_name = nb::borrow(e.type()).attr("__name__");
            ql::distributed::broadcast_object(torch, nb::make_tuple(nb::none(), type_name, nb::str(e.value())));
            throw;
        }
        ql::distributed::broadcast_object(torch, nb::make_tuple(result, nb::none(), nb::none()));
        return result;
    }
    nb::object decision = ql::distributed::broadcast_object(torch, nb::none());
    if (!decision[1].is_none()) raise_main_error(decision[1], decision[2]);
    return decision[0];
}

// Every process's list of records as one list. Evaluation shards hold items rank, rank + N,
// rank + 2N, ..., so their records are dealt back into the items' order; other loaders'
// records follow one another process by process.
inline nb::list gathered(const ql::ModuleGlobals &globals, nb::handle self, nb::handle records, bool interleave) {
    nb::list parts = ql::distributed::gather_objects(globals["torch"], records, world_size(self));
    nb::list out;
    if (!interleave) {
        for (nb::handle part : parts)
            for (nb::handle record : part) out.append(record);
        return out;
    }
    size_t longest = 0;
    for (nb::handle part : parts) longest = std::max(longest, nb::len(part));
    for (size_t k = 0; k < longest; ++k)
        for (nb::handle part : parts)
            if (k < nb::len(part)) out.append(part[k]);
    return out;
}

// ---------------------------------------------------------------------------
// Loaders
// ---------------------------------------------------------------------------

enum class Sharding {
    kSplit,       // a DataLoader over a sequential or shuffled sampler: rebuilt over a share
    kRankAware,   // its sampler or batch sampler already deals each process its share
    kReplicated,  // anything else: every process goes through all of it
};

inline Sharding sharding(const ql::ModuleGlobals &globals, nb::handle loader) {
    nb::object data = globals["torch"].attr("utils").attr("data");
    if (!ql::is_instance(loader, data.attr("DataLoader"))) return Sharding::kReplicated;
    nb::object sampler = loader.attr("sampler");
    bool deals_shares = ql::is_instance(sampler, data.attr("DistributedSampler")) ||
                        nb::hasattr(loader.attr("batch_sampler"), "num_replicas");
    if (deals_shares) return Sharding::kRankAware;
    bool plain = ql::is_instance(sampler, data.attr("SequentialSampler")) ||
                 ql::is_instance(sampler, data.attr("RandomSampler"));
    return plain && !loader.attr("batch_size").is_none() ? Sharding::kSplit : Sharding::kReplicated;
}

inline void warn_replicated(nb::handle self) {
    if (!is_main(self)) return;
    const char *message =
        "the loader cannot be split between the processes (it is not a DataLoader over a sequential or shuffled "
        "sampler, and its batch sampler has no num_replicas and rank): every process goes through all of it";
    ql::check(PyErr_WarnEx(PyExc_UserWarning, message, 1) == 0);
}

// A loader like `loader` (same dataset, batch size, collate function, workers, pin_memory, ...)
// drawing from `sampler`.
inline nb::object loader_over(const ql::ModuleGlobals &globals, nb::handle loader, nb::handle sampler) {
    nb::dict settings;
    settings["batch_size"] = loader.attr("batch_size");
    settings["sampler"] = sampler;
    for (const char *name : {"num_workers", "collate_fn", "pin_memory", "drop_last", "timeout", "worker_init_fn",
                             "multiprocessing_context", "generator", "prefetch_factor", "persistent_workers",
                             "pin_memory_device", "in_order"})
        if (nb::hasattr(loader, name)) settings[name] = loader.attr(name);
    return globals["torch"].attr("utils").attr("data").attr("DataLoader")(loader.attr("dataset"), **settings);
}

// The shuffling seed every process uses: process 0's (its loader generator's seed, else
// torch's), so that the processes deal out one and the same permutation each epoch.
inline nb::object shuffle_seed(const ql::ModuleGlobals &globals, nb::handle loader) {
    nb::object torch = globals["torch"], generator = loader.attr("generator");
    nb::object seed = generator.is_none() ? torch.attr("initial_seed")() : generator.attr("initial_seed")();
    return ql::distributed::broadcast_object(torch, seed % nb::int_(1LL << 62));
}

// The caller's training loader split with a DistributedSampler: every process gets as many
// batches (the sampler repeats a few items to even the shares out), the user's shuffling on
// or off.
inline nb::object split_for_training(const ql::ModuleGlobals &globals, nb::handle self, nb::handle loader) {
    nb::object data = globals["torch"].attr("utils").attr("data");
    bool shuffle = ql::is_instance(loader.attr("sampler"), data.attr("RandomSampler"));
    nb::object seed = shuffle ? shuffle_seed(globals, loader) : nb::int_(0);
    nb::object sampler = data.attr("DistributedSampler")(
        loader.attr("dataset"), nb::arg("num_replicas") = world_size(self), nb::arg("rank") = rank(self),
        nb::arg("shuffle") = shuffle, nb::arg("seed") = seed);
    return loader_over(globals, loader, sampler);
}

// The loader this process trains on for the caller's `loader`: the loader itself in a single
// process or when it already deals shares; else a split of it, made once per loader.
inline nb::object rank_loader(const ql::ModuleGlobals &globals, nb::handle self, nb::handle loader) {
    if (!several(self)) return nb::borrow(loader);
    Sharding kind = sharding(globals, loader);
    if (kind == Sharding::kReplicated) warn_replicated(self);
    if (kind != Sharding::kSplit) return nb::borrow(loader);
    nb::object cached = nb::getattr(self, "_rank_loader", nb::none());
    if (!cached.is_none() && cached[0].is(loader)) return cached[1];
    nb::object split = split_for_training(globals, self, loader);
    self.attr("_rank_loader") = nb::make_tuple(loader, split);
    return split;
}

inline const char *const kRankLoaderDoc = R"doc(The loader this process trains on for `dataloader`.

In a single process, `dataloader` itself. Under torchrun, a loader over this process's share of
its dataset, split with a DistributedSampler (same batch size, collate function, workers,
pin_memory and shuffling), the very one train goes through; a loader whose sampler or batch
sampler already deals out shares (num_replicas and rank) is its own. A scheduler measured in
epochs is built from it, so that an epoch has the optimizer steps it really has.)doc";

// The rank loader, its sampler (or batch sampler) told the epoch it shuffles for.
inline nb::object training_loader(const ql::ModuleGlobals &globals, nb::handle self, nb::handle loader) {
    nb::object chosen = rank_loader(globals, self, loader);
    nb::object epoch = nb::getattr(self, "current_epoch", nb::int_(0));
    for (const char *part : {"sampler", "batch_sampler"}) {
        nb::object sampler = nb::getattr(chosen, part, nb::none());
        if (nb::hasattr(sampler, "set_epoch")) sampler.attr("set_epoch")(epoch);
    }
    return chosen;
}

// An evaluation loader and how its results combine over the processes.
struct EvaluationShare {
    nb::object loader;
    nb::object batch_limit;  // how many of its batches to evaluate; None: all
    bool combine;            // results are gathered over the processes
    bool interleave;         // the process holds items rank, rank + N, ... of the caller's loader
};

// This process's share of what evaluating the first `batch_limit` batches of a loader (all of
// them when None; at least one, as a single process goes through one before it checks the
// limit) covers: items rank, rank + N, rank + 2N, ... of them, the order a DistributedSampler
// deals items in but without the items it repeats to even the shares out, so that every item
// is evaluated once and the combined results are those of a single process.
inline EvaluationShare evaluation_share(const ql::ModuleGlobals &globals, nb::handle self, nb::handle loader,
                                        nb::handle batch_limit) {
    if (!several(self)) return {nb::borrow(loader), nb::borrow(batch_limit), false, false};
    Sharding kind = sharding(globals, loader);
    if (kind == Sharding::kReplicated) warn_replicated(self);
    if (kind != Sharding::kSplit)
        return {nb::borrow(loader), nb::borrow(batch_limit), kind == Sharding::kRankAware, false};
    long long items = (long long)nb::len(nb::object(loader.attr("dataset")));
    if (!batch_limit.is_none())
        items = std::min(items, std::max(1LL, ql::as_long(batch_limit)) * ql::as_long(loader.attr("batch_size")));
    nb::list indices;
    for (long long i = rank(self); i < items; i += world_size(self)) indices.append(ql::py_int(i));
    return {loader_over(globals, loader, indices), nb::none(), true, true};
}

// ---------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------

// The tensors whose gradients the loss's autograd graph accumulates: the parameters it reaches.
inline std::unordered_set<PyObject *> reached_parameters(nb::handle loss) {
    std::unordered_set<PyObject *> reached, seen;
    std::vector<nb::object> pending, visited;  // visited nodes stay alive, so their ids stay theirs
    pending.push_back(nb::getattr(loss, "grad_fn", nb::none()));
    while (!pending.empty()) {
        nb::object node = std::move(pending.back());
        pending.pop_back();
        if (node.is_none() || !seen.insert(node.ptr()).second) continue;
        visited.push_back(node);
        if (nb::hasattr(node, "variable")) reached.insert(node.attr("variable").ptr());
        for (nb::handle next : node.attr("next_functions")) pending.push_back(nb::object(next[0]));
    }
    return reached;
}

inline nb::list trainable_parameters(nb::handle model) {
    nb::list out;
    for (nb::handle p : model.attr("parameters")())
        if (ql::truthy(p.attr("requires_grad"))) out.append(p);
    return out;
}

inline bool same_objects(nb::handle a, nb::handle b) {
    if (nb::len(a) != nb::len(b)) return false;
    for (size_t i = 0; i < nb::len(a); ++i)
        if (!a[i].is(b[i])) return false;
    return true;
}

// The model training runs: the trainer's model in a single process; under torchrun that model
// in DistributedDataParallel, which averages the gradients over the processes. The wrapper
// knows the parameters that trained when it was made, so a new one is made whenever they
// change (a curriculum stage that swaps layers or freezes some); making one also copies
// process 0's weights to the others. `loss_of(model)` computes a batch's loss once before
// that, to tell whether some trainable parameters take no part in it (a loss term of weight
// 0): only then does the wrapper search the graph for them on every step.
inline nb::object training_model(const ql::ModuleGlobals &globals, nb::handle self,
                                 const std::function<nb::object(nb::handle)> &loss_of) {
    nb::object model = self.attr("model");
    if (!several(self)) return model;
    nb::list trainable = trainable_parameters(model);
    nb::object cached = nb::getattr(self, "_ddp", nb::none());
    if (!cached.is_none() && cached[1].is(model) && same_objects(cached[2], trainable)) return cached[0];

    // The old wrapper's gradient hooks leave with it, before the new one adds its own.
    self.attr("_ddp") = nb::none();
    cached = nb::object();
    ql::import("gc").attr("collect")();

    std::unordered_set<PyObject *> reached = reached_parameters(loss_of(model));
    bool unused = false;
    for (nb::handle p : trainable) unused = unused || reached.count(p.ptr()) == 0;
    nb::object torch = globals["torch"];
    nb::object device = torch.attr("device")(self.attr("device"));
    nb::object device_ids = nb::none();
    if (ql::str(device.attr("type")) == "cuda") device_ids = nb::make_tuple(device.attr("index"));
    nb::object wrapper = torch.attr("nn").attr("parallel").attr("DistributedDataParallel")(
        model, nb::arg("device_ids") = device_ids, nb::arg("find_unused_parameters") = unused);
    self.attr("_ddp") = nb::make_tuple(wrapper, model, trainable);
    return wrapper;
}

// The context of a micro-batch whose gradients are only accumulated: the wrapper skips the
// all-reduce until the micro-batch that steps. None (no context) in a single process.
inline nb::object no_sync(nb::handle self, nb::handle model) {
    if (!several(self) || !nb::hasattr(model, "no_sync")) return nb::none();
    return model.attr("no_sync")();
}

}  // namespace distribution
