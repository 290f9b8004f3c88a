// The training loop every trainer runs. A trainer supplies the losses of one batch and its
// validation; the loop does the rest, the same way for all of them: gradient accumulation, the
// optimizer step through the gradient scaler (with the trailing step of an incomplete group),
// token-weighted running averages, the progress bar, the plateau scheduler, best-checkpoint
// tracking and the order in which each epoch's records and checkpoints are written.
//
// The loop is compiled into each trainer module and handed that module's globals, so the tqdm
// and torch that a caller replaces on `halvorn` or `selkarn` are the ones the loop uses.
//
// Under torchrun each process runs the same loop on its share of the data (distribution.hpp):
// the model trains in DistributedDataParallel, micro-batches that do not step skip the
// gradient all-reduce, the token-weighted sums are added up over the processes, and process 0
// decides on the validation metrics that pick the best checkpoint; the trainer's logging and
// files happen on process 0 only.
#pragma once

#include "amp.hpp"
#include "context.hpp"
#include "core.hpp"
#include "distribution.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace training_loop {
namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// training.gradient_accumulation_steps as a batch count: a positive int (a bool is not one).
// A count beyond 64 bits is more batches than any epoch has, and is held as the largest one.
inline long long accumulation_steps(nb::handle setting) {
    if (!PyLong_Check(setting.ptr()) || PyBool_Check(setting.ptr()) || setting <= nb::int_(0))
        ql::raise_value_error("training.gradient_accumulation_steps must be a positive integer, got " +
                              ql::repr(setting));
    int overflow = 0;
    long long steps = PyLong_AsLongLongAndOverflow(setting.ptr(), &overflow);
    return overflow ? LLONG_MAX : steps;
}

inline long long configured_accumulation_steps(nb::handle self) {
    return accumulation_steps(self.attr("config")["training"]["gradient_accumulation_steps"]);
}

// More batches per step than the epoch has is allowed (a curriculum stage may train on a small
// subset), but it changes what a step means, so it is said once.
inline void warn_if_longer_than_epoch(long long steps, size_t batches) {
    if ((unsigned long long)steps <= batches) return;
    std::string message = "training.gradient_accumulation_steps is " + std::to_string(steps) +
                          ", more than the " + std::to_string(batches) +
                          " batches of an epoch: each epoch makes one optimizer step, on gradients divided by " +
                          std::to_string(steps);
    ql::check(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) == 0);
}

// ---------------------------------------------------------------------------
// Optimizer step
// ---------------------------------------------------------------------------

// A ReduceLROnPlateau scheduler steps once per epoch with a validation metric, not per step.
inline bool is_plateau_scheduler(const ql::ModuleGlobals &globals, nb::handle scheduler) {
    return ql::is_instance(scheduler, globals["torch"].attr("optim").attr("lr_scheduler").attr("ReduceLROnPlateau"));
}

inline void optimizer_step(const ql::ModuleGlobals &globals, nb::handle self) {
    nb::object scaler = self.attr("scaler"), optimizer = self.attr("optimizer"), scheduler = self.attr("scheduler");
    scaler.attr("step")(optimizer);
    if (!is_plateau_scheduler(globals, scheduler)) scheduler.attr("step")();
    scaler.attr("update")();
    optimizer.attr("zero_grad")();
}

// Back-propagates one micro-batch's share of the group's loss through the gradient scaler.
inline void backward(nb::handle self, nb::handle loss, long long steps) {
    nb::object share = loss / ql::py_int(steps);
    self.attr("scaler").attr("scale")(share).attr("backward")();
}

// ---------------------------------------------------------------------------
// One epoch
// ---------------------------------------------------------------------------

// Sums of batch-mean losses weighted by the batches' target-token counts.
struct RunningSums {
    std::vector<double> weighted;
    double tokens = 0;

    explicit RunningSums(size_t values) : weighted(values, 0.0) {}

    void add(const std::vector<double> &batch_means, long long batch_tokens) {
        for (size_t k = 0; k < weighted.size(); ++k) weighted[k] += batch_means[k] * (double)batch_tokens;
        tokens += (double)batch_tokens;
    }

    // The per-token averages so far.
    std::vector<double> averages() const {
        if (tokens == 0)
            ql::raise(PyExc_ZeroDivisionError, "no target tokens in the loader: the losses cannot be averaged");
        std::vector<double> out;
        for (double sum : weighted) out.push_back(sum / tokens);
        return out;
    }

    // The sums of all processes together (each process's own in a single process).
    RunningSums over_processes(const ql::ModuleGlobals &globals, nb::handle self) const {
        std::vector<double> local = weighted;
        local.push_back(tokens);
        std::vector<double> total = distribution::summed(globals, self, local);
        RunningSums out(weighted.size());
        out.tokens = total.back();
        total.pop_back();
        out.weighted = total;
        return out;
    }
};

// What a trainer computes for one batch (under the loop's autocast or inference mode).
struct BatchLosses {
    nb::object loss;                 // the batch-mean loss that training back-propagates
    std::vector<nb::object> logged;  // batch-mean values averaged per token over the epoch
    nb::object tokens;               // the batch's number of target tokens
    nb::object attention;            // the model's attention maps for the batch
};

// The batch, already on the trainer's device, through `model`: the trainer's model, or the
// wrapper that trains it under torchrun.
using BatchLossesFn = std::function<BatchLosses(nb::handle self, nb::handle model, nb::handle batch)>;

struct EpochPlan {
    const char *description;           // the progress bar's text
    std::vector<const char *> shown;   // postfix name of each logged average
    const char *perplexity;            // postfix name of exp(first average)
    bool training;
};

struct EpochResult {
    std::vector<double> averages;  // per token, in the order of BatchLosses::logged
    nb::object attention;          // the maps of the last batch
};

// exp(x) as a 32-bit tensor, the precision perplexities are reported in.
inline nb::object perplexity(const ql::ModuleGlobals &globals, nb::handle x) {
    nb::object torch = globals["torch"];
    return torch.attr("exp")(torch.attr("tensor")(x));
}

inline nb::list to_device(nb::handle batch, nb::handle device) {
    nb::list moved;
    for (nb::handle item : batch) moved.append(item.is_none() ? nb::none() : item.attr("to")(device));
    return moved;
}

inline void start_epoch(nb::handle self, const EpochPlan &plan) {
    self.attr("model").attr(plan.training ? "train" : "eval")();
    if (plan.training) self.attr("optimizer").attr("zero_grad")();
}

inline nb::dict postfix(const ql::ModuleGlobals &globals, const EpochPlan &plan, const std::vector<double> &averages,
                        long long index, long long steps) {
    nb::dict shown;
    for (size_t k = 0; k < plan.shown.size(); ++k) shown[plan.shown[k]] = ql::format(ql::py_float(averages[k]), ".4f");
    shown[plan.perplexity] = ql::format(perplexity(globals, ql::py_float(averages[0])), ".4f");
    if (plan.training) shown["acc_step"] = std::to_string(index % steps + 1) + "/" + std::to_string(steps);
    return shown;
}

// The loader an epoch goes through: under torchrun, this process's share of the caller's.
inline nb::object epoch_loader(const ql::ModuleGlobals &globals, nb::handle self, nb::handle dataloader,
                               const EpochPlan &plan) {
    if (plan.training) return distribution::training_loader(globals, self, dataloader);
    return distribution::evaluation_share(globals, self, dataloader, nb::none()).loader;
}

// One pass over the loader. Training autocasts to the trainer's precision and steps the
// optimizer every `steps` batches and once more for an incomplete last group; otherwise the
// pass runs in inference mode at full precision. The averages are over the processes' batches
// together.
inline EpochResult run_epoch(const ql::ModuleGlobals &globals, nb::handle self, nb::handle dataloader,
                             const EpochPlan &plan, const BatchLossesFn &batch_losses) {
    nb::object torch = globals["torch"];
    nb::object device = self.attr("device");
    nb::object loader = epoch_loader(globals, self, dataloader, plan);
    size_t num_batches = nb::len(loader);
    nb::object dtype = plan.training ? self.attr("_autocast_dtype")() : nb::none();
    auto precision_mode = [&]() -> nb::object {
        if (!plan.training) return torch.attr("inference_mode")();
        return dtype.is_none() ? nb::none() : ql::autocast(device, dtype);
    };
    start_epoch(self, plan);
    nb::object bar = distribution::progress_bar(globals["tqdm"], self, num_batches, plan.description);

    RunningSums sums(plan.shown.size());
    EpochResult result{{}, nb::none()};
    nb::object wrapped;  // the model in DistributedDataParallel, when training under torchrun
    long long steps = 0, index = 0;
    for (nb::handle raw : loader) {
        if (plan.training && steps == 0) {
            steps = configured_accumulation_steps(self);
            warn_if_longer_than_epoch(steps, num_batches);
        }
        bool stepping = plan.training && ((index + 1) % steps == 0 || (size_t)index + 1 == num_batches);
        nb::object batch = to_device(raw, device);
        if (plan.training && !wrapped.is_valid() && distribution::several(self)) {
            ql::ContextGuard precision(precision_mode());
            wrapped = distribution::training_model(
                globals, self, [&](nb::handle model) { return batch_losses(self, model, batch).loss; });
            precision.close();
        }
        nb::object model = wrapped.is_valid() ? wrapped : nb::object(self.attr("model"));

        BatchLosses out;
        // Micro-batches that do not step accumulate gradients without the all-reduce.
        ql::ContextGuard accumulation(plan.training && !stepping ? distribution::no_sync(self, model) : nb::none());
        {
            ql::ContextGuard precision(precision_mode());
            out = batch_losses(self, model, batch);
            precision.close();
        }
        batch = nb::object();
        result.attention = out.attention;
        std::vector<double> means;
        for (nb::handle value : out.logged) means.push_back(ql::as_double(value.attr("item")()));
        sums.add(means, ql::as_long(out.tokens));

        if (plan.training) backward(self, out.loss, steps);
        accumulation.close();
        if (plan.training && (index + 1) % steps == 0) optimizer_step(globals, self);
        bar.attr("set_postfix")(**postfix(globals, plan, sums.averages(), index, steps));
        bar.attr("update")(1);

        // Drop this batch's tensors before the next one is loaded.
        out = BatchLosses{};
        torch.attr("cuda").attr("empty_cache")();
        ++index;
    }
    if (plan.training && steps != 0 && index % steps != 0) optimizer_step(globals, self);

    result.averages = sums.over_processes(globals, self).averages();
    bar.attr("close")();
    return result;
}

// ---------------------------------------------------------------------------
// Epochs
// ---------------------------------------------------------------------------

// What a trainer's validation yields: its metrics, and what it records of the epoch besides
// (recognised or generated text, attention maps).
struct Validation {
    nb::object metrics, output;
};

struct TrainingPlan {
    const char *selection_metric;  // the validation metric that picks the best checkpoint; lower is better
    std::function<Validation(nb::handle self, nb::handle val_loader)> validate;
    // Writes the epoch's plots and text files.
    std::function<void(nb::handle self, long long epoch, nb::handle train_attention, nb::handle validation_output)>
        record;
};

inline void require_optimizer_and_scheduler(nb::handle self) {
    if (self.attr("scheduler").is_none()) ql::raise_value_error("Scheduler is not initialized, initialize it first!");
    if (self.attr("optimizer").is_none()) ql::raise_value_error("Optimizer is not initialized, initialize it first!");
}

// Logs the epoch (with the precision it trained in), writes its records, and saves the
// last-epoch checkpoint and, when the metric improved, the best one. The best metric is updated
// first, so that resuming from either checkpoint knows the best model so far.
inline void record_epoch(const TrainingPlan &plan, nb::handle self, long long epoch, nb::handle train_metrics,
                         nb::handle train_attention, const Validation &validation) {
    nb::dict metrics;
    metrics["train"] = train_metrics;
    metrics["val"] = validation.metrics;
    self.attr("_log_metrics")(metrics, ql::py_int(epoch));
    ql::item(self.attr("training_history"), ql::py_int(-1))["precision"] = self.attr("precision");
    plan.record(self, epoch, train_attention, validation.output);

    nb::object metric = validation.metrics[plan.selection_metric];
    bool improved = metric < self.attr("best_metric");
    if (improved) self.attr("best_metric") = metric;
    self.attr("save_checkpoint")("checkpoint-last-epoch-model.pth");
    if (improved) self.attr("save_checkpoint")("checkpoint-best-metric-model.pth");
}

// `epochs` epochs from current_epoch on: train, validate, step a plateau scheduler with the
// selection metric, record. current_epoch advances after an epoch's checkpoints are written
// (the "epoch" they store is the epoch's own number); epochs_completed, stored beside it, tells
// load_checkpoint where to continue. Under torchrun every process takes process 0's validation
// metrics, so that all of them step the plateau scheduler and track the best model alike.
inline void run_epochs(const ql::ModuleGlobals &globals, nb::handle self, nb::handle train_loader,
                       nb::handle val_loader, long long epochs, const TrainingPlan &plan) {
    long long first = ql::as_long(self.attr("current_epoch"));
    for (long long epoch = first; epoch < first + epochs; ++epoch) {
        auto [train_metrics, train_attention] = ql::unpack<2>(self.attr("_train_epoch")(train_loader));
        Validation validation = plan.validate(self, val_loader);
        validation.metrics = distribution::decided_on_main(globals, self, [&] { return validation.metrics; });

        nb::object scheduler = self.attr("scheduler");
        if (is_plateau_scheduler(globals, scheduler))
            scheduler.attr("step")(validation.metrics[plan.selection_metric]);

        self.attr("epochs_completed") = ql::py_int(epoch + 1);
        record_epoch(plan, self, epoch, train_metrics, train_attention, validation);
        self.attr("current_epoch") = ql::py_int(epoch + 1);
    }
}

}  // namespace training_loop
