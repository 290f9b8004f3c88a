// A recipe in each process of a torchrun job (`torchrun --nproc_per_node=N --no-python quillane
// train CONFIG`): every process runs the whole recipe, and the trainers it builds share the
// work out (trainers/distribution.hpp). The recipe starts the job's process group itself,
// before it builds anything, so that process 0 alone makes the synthetic corpus while the
// others wait, and the length-bucketed sampler deals its batches by the job's ranks from the
// start; the trainers then find the group made.
//
// What the recipe prints, and what the library prints while the recipe builds datasets,
// tokenizers, optimizers and schedulers or prepares the corpus, comes from process 0 alone: the
// other processes run the recipe with sys.stdout and sys.stderr sent to os.devnull. An error
// of theirs still reaches the console, once the recipe has given the streams back.
//
// In a single process a Job holds nothing and changes nothing.
#pragma once

#include "context.hpp"
#include "recipe_config.hpp"
#include "trainers/distribution.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace recipe {

class Job {
public:
    explicit Job(nb::handle config) {
        nb::object torch = globals["torch"];
        layout_ = ql::distributed::layout(torch);
        // the distribution helpers read a process's place from these attributes, as on a trainer
        place_ = ql::import_attr("types", "SimpleNamespace")(nb::arg("world_size") = layout_.world_size,
                                                              nb::arg("rank") = layout_.rank,
                                                              nb::arg("local_rank") = layout_.local_rank);
        if (layout_.several() && !ql::distributed::group_initialised(torch)) {
            nb::object device = config["device"];
            if (device.is_none()) device = nb::str(ql::truthy(torch.attr("cuda").attr("is_available")()) ? "cuda" : "cpu");
            device = distribution::local_device(torch, device, layout_.local_rank);
            distribution::use_device(torch, device);
            distribution::start_process_group(torch, device, config["training"]["distributed_timeout"]);
            owns_group_ = true;
        }
        if (!layout_.main()) silence();
    }

    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // `work()` runs on process 0 while the others wait; every process returns its result, or
    // raises its error.
    nb::object on_main(const std::function<nb::object()> &work) const {
        return distribution::decided_on_main(globals, place_, work);
    }

    // The end of a recipe that ran through: the processes meet, the group the recipe started
    // ends, and the streams come back. On an error path the destructor only gives the streams
    // back: the process is on its way out, and a process group is not ended while others may
    // still be waiting in it.
    void finish() {
        nb::object torch = globals["torch"];
        if (owns_group_) {
            ql::distributed::barrier(torch);
            distribution::end_process_group(torch);
            owns_group_ = false;
        }
        release_streams();
    }

    ~Job() {
        while (!redirections_.empty()) redirections_.pop_back();  // each leaves its context quietly
        if (!devnull_.is_valid()) return;
        try {
            devnull_.attr("close")();
        } catch (nb::python_error &) {  // os.devnull that will not close changes nothing now
        }
    }

private:
    void silence() {
        devnull_ = ql::import("builtins").attr("open")(globals["os"].attr("devnull"), "w");
        nb::object contextlib = ql::import("contextlib");
        redirections_.push_back(std::make_unique<ql::ContextGuard>(contextlib.attr("redirect_stdout")(devnull_)));
        redirections_.push_back(std::make_unique<ql::ContextGuard>(contextlib.attr("redirect_stderr")(devnull_)));
    }

    void release_streams() {
        while (!redirections_.empty()) {
            redirections_.back()->close();
            redirections_.pop_back();
        }
        if (devnull_.is_valid()) {
            devnull_.attr("close")();
            devnull_ = nb::object();
        }
    }

    ql::distributed::Layout layout_;
    nb::object place_, devnull_;
    std::vector<std::unique_ptr<ql::ContextGuard>> redirections_;
    bool owns_group_ = false;
};

}  // namespace recipe
