// Learning-rate scheduler factory: plateau, cosine and cosine-with-restarts schedules built
// from the scheduler section of a configuration, an optional linear warm-up in front of the
// cosine schedules, and a preview plot that simulates a schedule and then restores it.
//
// Durations are configured in epochs. Non-plateau schedulers are stepped once per optimizer
// step, and with gradient accumulation over G batches the trainers step the optimizer once
// per G batches plus once for a trailing partial group, so one epoch is
// ceil(len(train_loader) / G) scheduler steps. steps_per_epoch() is the only place that
// counts them.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"
#include "settings.hpp"

#include <algorithm>
#include <vector>

namespace {
namespace nb = nanobind;
namespace settings = ql::settings;
using ql::get;
using ql::truthy;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

// Optimizer steps in one epoch of `train_loader` with gradient accumulation over
// `accumulation` batches.
long long steps_per_epoch(nb::handle train_loader, long long accumulation) {
    if (accumulation < 1)
        ql::raise_value_error("gradient_accumulation_steps must be a positive integer, got " +
                              std::to_string(accumulation));
    long long batches = static_cast<long long>(nb::len(train_loader));
    return (batches + accumulation - 1) / accumulation;
}

// A schedule measured in epochs needs at least one step per epoch.
void require_steps(long long epoch_steps) {
    if (epoch_steps < 1)
        ql::raise_value_error("train_loader has no batches, so a schedule measured in epochs would have no steps");
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

bool between_0_and_1_open(double x) { return x > 0.0 && x < 1.0; }
bool between_0_and_1_closed(double x) { return x >= 0.0 && x <= 1.0; }
bool above_0_up_to_1(double x) { return x > 0.0 && x <= 1.0; }

// The warm-up switch: absent means off; present it must be a mapping with a true/false switch.
bool warmup_enabled(nb::handle scheduler_config) {
    if (!ql::contains(scheduler_config, nb::str("warmup"))) return false;
    nb::object warmup = scheduler_config["warmup"];
    settings::section(warmup, "scheduler.warmup");
    return settings::flag(get(warmup, "enabled", nb::bool_(false)), "scheduler.warmup.enabled");
}

void check_warmup(nb::handle warmup_config) {
    settings::whole_number(get(warmup_config, "epochs", nb::int_(5)), "scheduler.warmup.epochs", 1);
    settings::number(get(warmup_config, "start_factor", nb::float_(0.1)), "scheduler.warmup.start_factor",
                     "a number above 0 and at most 1", above_0_up_to_1);
    settings::number(get(warmup_config, "end_factor", nb::float_(1.0)), "scheduler.warmup.end_factor",
                     "a number from 0 to 1", between_0_and_1_closed);
}

void check_plateau(nb::handle cfg) {
    const std::string name = "scheduler.reduce_lr";
    settings::section(cfg, name);
    settings::choice(get(cfg, "mode", nb::str("min")), name + ".mode", {"min", "max"});
    settings::number(get(cfg, "factor", nb::float_(0.1)), name + ".factor", "a number between 0 and 1",
                     between_0_and_1_open);
    settings::whole_number(get(cfg, "patience", nb::int_(10)), name + ".patience", 0);
    settings::non_negative(get(cfg, "threshold", nb::float_(0.0001)), name + ".threshold");
    settings::choice(get(cfg, "threshold_mode", nb::str("rel")), name + ".threshold_mode", {"rel", "abs"});
    settings::whole_number(get(cfg, "cooldown", nb::int_(0)), name + ".cooldown", 0);
    nb::object min_lr = get(cfg, "min_lr", nb::float_(1e-05));
    if (PyList_Check(min_lr.ptr()) || PyTuple_Check(min_lr.ptr())) {  // one floor per parameter group
        size_t i = 0;
        for (nb::handle floor : min_lr) settings::non_negative(floor, name + ".min_lr[" + std::to_string(i++) + "]");
    } else {
        settings::non_negative(min_lr, name + ".min_lr");
    }
    settings::non_negative(get(cfg, "eps", nb::float_(1e-08)), name + ".eps");
}

// The cosine schedules: `length_key` (T_max or T_0) in epochs, eta_min, last_epoch and for
// the restarting schedule its cycle multiplier.
void check_cosine(nb::handle cfg, bool restarts) {
    const std::string name = restarts ? "scheduler.cosine_warm" : "scheduler.cosine";
    const char *length_key = restarts ? "T_0" : "T_max";
    settings::section(cfg, name);
    settings::whole_number(get(cfg, length_key, nb::int_(restarts ? 10 : 60)), name + "." + length_key, 1);
    if (restarts) settings::whole_number(get(cfg, "T_mult", nb::int_(2)), name + ".T_mult", 1);
    settings::non_negative(get(cfg, "eta_min", nb::float_(0.0001)), name + ".eta_min");
    settings::whole_number(get(cfg, "last_epoch", nb::int_(-1)), name + ".last_epoch", -1);
}

// ---------------------------------------------------------------------------
// Schedulers
// ---------------------------------------------------------------------------

// Warm-up duration as configured (epochs) and in scheduler steps.
std::pair<nb::object, nb::object> warmup_length(nb::handle warmup_config, long long epoch_steps) {
    nb::object epochs = get(warmup_config, "epochs", nb::int_(5));
    nb::object steps = epochs * nb::int_(epoch_steps);
    return {std::move(epochs), std::move(steps)};
}

// LinearLR warm-up over `warmup_epochs` epochs chained in front of `base_scheduler`.
nb::object build_warmup(nb::handle optimizer, nb::handle base_scheduler, nb::handle warmup_config,
                        long long epoch_steps) {
    // the same check create_warmup_scheduler's signature makes
    if (!PyDict_CheckExact(warmup_config.ptr()))
        ql::raise_incorrect_type("warmup_config", "dict", warmup_config);
    check_warmup(warmup_config);
    require_steps(epoch_steps);
    nb::object warmup_steps = warmup_length(warmup_config, epoch_steps).second;
    nb::object start_factor = get(warmup_config, "start_factor", nb::float_(0.1));
    nb::object end_factor = get(warmup_config, "end_factor", nb::float_(1.0));
    nb::object schedulers_module = globals["lr_scheduler"];
    nb::object warmup = schedulers_module.attr("LinearLR")(optimizer, nb::arg("start_factor") = start_factor,
                                                           nb::arg("end_factor") = end_factor,
                                                           nb::arg("total_iters") = warmup_steps);
    nb::list schedulers, milestones;
    schedulers.append(warmup);
    schedulers.append(base_scheduler);
    milestones.append(warmup_steps);
    return schedulers_module.attr("SequentialLR")(optimizer, nb::arg("schedulers") = schedulers,
                                                  nb::arg("milestones") = milestones);
}

const char *const kEpochsToStepsSig =
    "_epochs_to_steps(epochs: int, train_loader, gradient_accumulation_steps: int = 1)";
nb::object epochs_to_steps(const ql::Args &a) {
    long long per_epoch = steps_per_epoch(a["train_loader"], a.to_int("gradient_accumulation_steps"));
    return a["epochs"] * nb::int_(per_epoch);
}

nb::object reduce_on_plateau(nb::handle optimizer, nb::handle scheduler_config) {
    if (warmup_enabled(scheduler_config))
        ql::raise_value_error(
            "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable warmup or use a "
            "different scheduler (cosine, cosine_warm).");
    nb::object cfg = scheduler_config["reduce_lr"];
    check_plateau(cfg);
    nb::object patience = get(cfg, "patience", nb::int_(10));
    nb::object cooldown = get(cfg, "cooldown", nb::int_(0));
    nb::object mode = get(cfg, "mode", nb::str("min"));
    nb::object factor = get(cfg, "factor", nb::float_(0.1));
    nb::object threshold = get(cfg, "threshold", nb::float_(0.0001));
    nb::object threshold_mode = get(cfg, "threshold_mode", nb::str("rel"));
    nb::object min_lr = get(cfg, "min_lr", nb::float_(1e-05));
    nb::object eps = get(cfg, "eps", nb::float_(1e-08));
    ql::tree_line({false}, "ReduceLROnPlateau Settings:");
    ql::tree_line({false, false}, "Mode: " + ql::str(mode));
    ql::tree_line({false, false}, "Factor: " + ql::str(factor));
    ql::tree_line({false, false}, "Patience: " + ql::str(patience) + " epochs");
    ql::tree_line({false, false}, "Threshold: " + ql::str(threshold));
    ql::tree_line({false, false}, "Threshold Mode: " + ql::str(threshold_mode));
    ql::tree_line({false, false}, "Cooldown: " + ql::str(cooldown) + " epochs");
    ql::tree_line({false, true}, "Min LR: " + ql::str(min_lr));
    return globals["lr_scheduler"].attr("ReduceLROnPlateau")(
        optimizer, nb::arg("mode") = mode, nb::arg("factor") = factor, nb::arg("patience") = patience,
        nb::arg("threshold") = threshold, nb::arg("threshold_mode") = threshold_mode,
        nb::arg("cooldown") = cooldown, nb::arg("min_lr") = min_lr, nb::arg("eps") = eps);
}

nb::object cosine(nb::handle optimizer, nb::handle cfg, nb::handle train_loader, nb::handle accumulation) {
    nb::object t_max = get(cfg, "T_max", nb::int_(60));
    nb::object t_max_steps = globals["_epochs_to_steps"](t_max, train_loader, accumulation);
    nb::object eta_min = get(cfg, "eta_min", nb::float_(0.0001));
    ql::tree_line({false}, "Cosine Annealing Settings:");
    ql::tree_line({false, false}, "T_max: " + ql::str(t_max) + " epochs (" + ql::str(t_max_steps) + " steps)");
    ql::tree_line({false, true}, "Min LR: " + ql::str(eta_min));
    return globals["lr_scheduler"].attr("CosineAnnealingLR")(optimizer, nb::arg("T_max") = t_max_steps,
                                                             nb::arg("eta_min") = eta_min,
                                                             nb::arg("last_epoch") = get(cfg, "last_epoch", nb::int_(-1)));
}

nb::object cosine_warm(nb::handle optimizer, nb::handle cfg, nb::handle train_loader, nb::handle accumulation) {
    nb::object t_0 = get(cfg, "T_0", nb::int_(10));
    nb::object t_0_steps = globals["_epochs_to_steps"](t_0, train_loader, accumulation);
    nb::object t_mult = get(cfg, "T_mult", nb::int_(2));
    nb::object eta_min = get(cfg, "eta_min", nb::float_(0.0001));
    ql::tree_line({false}, "Cosine Annealing Warm Restarts Settings:");
    ql::tree_line({false, false}, "T_0: " + ql::str(t_0) + " epochs (" + ql::str(t_0_steps) + " steps)");
    ql::tree_line({false, false}, "T_mult: " + ql::str(t_mult));
    ql::tree_line({false, true}, "Min LR: " + ql::str(eta_min));
    return globals["lr_scheduler"].attr("CosineAnnealingWarmRestarts")(
        optimizer, nb::arg("T_0") = t_0_steps, nb::arg("T_mult") = t_mult, nb::arg("eta_min") = eta_min,
        nb::arg("last_epoch") = get(cfg, "last_epoch", nb::int_(-1)));
}

const char *const kCreateSchedulerSig =
    "create_scheduler(optimizer, scheduler_config: Dict[str, Any], train_loader, "
    "gradient_accumulation_steps: int = 1)";
nb::object create_scheduler(const ql::Args &a) {
    nb::handle optimizer = a["optimizer"], scheduler_config = a["scheduler_config"],
               train_loader = a["train_loader"], accumulation = a["gradient_accumulation_steps"];
    nb::object configured_name = scheduler_config["name"];
    settings::text(configured_name, "scheduler.name");
    nb::object name = configured_name.attr("lower")();
    long long epoch_steps = steps_per_epoch(train_loader, a.to_int("gradient_accumulation_steps"));

    ql::print("");
    ql::print("\U0001F4C8 Configuring Learning Rate Scheduler:");
    ql::tree_line({false}, "Type: " + ql::str(name.attr("upper")()));

    if (name.equal(nb::str("reduce_lr"))) return reduce_on_plateau(optimizer, scheduler_config);
    bool restarts = name.equal(nb::str("cosine_warm"));
    if (!restarts && !name.equal(nb::str("cosine")))
        ql::raise_value_error("Unsupported scheduler: " + ql::str(name) +
                              ". Supported: ['reduce_lr', 'cosine', 'cosine_warm']");

    // Every setting of the chosen schedule and its warm-up is checked before its summary.
    nb::object cfg = scheduler_config[restarts ? "cosine_warm" : "cosine"];
    check_cosine(cfg, restarts);
    bool warmup = warmup_enabled(scheduler_config);
    if (warmup) check_warmup(scheduler_config["warmup"]);
    require_steps(epoch_steps);
    nb::object base_scheduler = restarts ? cosine_warm(optimizer, cfg, train_loader, accumulation)
                                         : cosine(optimizer, cfg, train_loader, accumulation);

    if (!warmup) {
        ql::tree_line({true}, "Warmup: Disabled");
        return base_scheduler;
    }
    nb::object warmup_config = scheduler_config["warmup"];
    auto [warmup_epochs, warmup_steps] = warmup_length(warmup_config, epoch_steps);
    ql::tree_line({false}, "Warmup Settings:");
    ql::tree_line({false, false}, "Duration: " + ql::str(warmup_epochs) + " epochs (" + ql::str(warmup_steps) + " steps)");
    ql::tree_line({false, false}, "Start Factor: " + ql::str(get(warmup_config, "start_factor", nb::float_(0.1))));
    ql::tree_line({false, true}, "End Factor: " + ql::str(get(warmup_config, "end_factor", nb::float_(1.0))));
    return build_warmup(optimizer, base_scheduler, warmup_config, epoch_steps);
}

const char *const kCreateWarmupSig =
    "create_warmup_scheduler(optimizer, base_scheduler, warmup_config: Dict[str, Any], train_loader)";
nb::object create_warmup_scheduler(const ql::Args &a) {
    return build_warmup(a["optimizer"], a["base_scheduler"], a["warmup_config"], steps_per_epoch(a["train_loader"], 1));
}

// ---------------------------------------------------------------------------
// Schedule preview
// ---------------------------------------------------------------------------

// Everything a simulated run changes, captured before it and put back afterwards.
class SavedState {
public:
    SavedState(nb::handle scheduler, bool plateau) : scheduler_(scheduler), plateau_(plateau) {
        optimizer_ = scheduler.attr("optimizer");
        nb::object deepcopy = globals["copy"].attr("deepcopy");
        if (plateau_) {
            nb::dict attributes;
            for (auto [key, value] : nb::borrow<nb::dict>(scheduler.attr("__dict__")))
                if (!nb::str("optimizer").equal(key)) attributes[key] = value;
            scheduler_state_ = deepcopy(attributes);
        } else {
            scheduler_state_ = deepcopy(scheduler.attr("state_dict")());
        }
        optimizer_state_ = deepcopy(optimizer_.attr("state_dict")());
        had_opt_called_ = nb::hasattr(optimizer_, "_opt_called");
        if (had_opt_called_) opt_called_ = optimizer_.attr("_opt_called");
    }

    // Takes the gradients off the optimizer's parameters, so that the simulated optimizer steps
    // skip them and leave parameters and moment estimates alone.
    void detach_gradients() {
        for (nb::handle group : optimizer_.attr("param_groups")) {
            if (!PyDict_Check(group.ptr())) continue;
            PyObject *params = PyDict_GetItemString(group.ptr(), "params");
            if (!params) continue;
            for (nb::handle p : nb::handle(params)) {
                nb::object grad = nb::getattr(p, "grad", nb::none());
                if (grad.is_none()) continue;
                p.attr("grad") = nb::none();
                params_.push_back(nb::borrow(p));
                grads_.push_back(std::move(grad));
            }
        }
    }

    void restore() {
        for (size_t i = 0; i < params_.size(); ++i) params_[i].attr("grad") = grads_[i];
        params_.clear();
        grads_.clear();
        optimizer_.attr("load_state_dict")(optimizer_state_);
        if (had_opt_called_) optimizer_.attr("_opt_called") = opt_called_;
        else if (nb::hasattr(optimizer_, "_opt_called")) nb::delattr(optimizer_, "_opt_called");
        if (plateau_) scheduler_.attr("__dict__").attr("update")(scheduler_state_);
        else scheduler_.attr("load_state_dict")(scheduler_state_);
    }

private:
    nb::handle scheduler_;
    bool plateau_;
    nb::object optimizer_, scheduler_state_, optimizer_state_, opt_called_;
    bool had_opt_called_ = false;
    std::vector<nb::object> params_, grads_;
};

double lr_of(nb::handle group) { return ql::as_double(group["lr"]); }

const char *const kPlotSig =
    "plot_lr_schedule(scheduler, num_epochs: int, train_loader, gradient_accumulation_steps: int = 1, "
    "max_groups: int = 5)";
nb::object plot_lr_schedule(const ql::Args &a) {
    nb::handle scheduler = a["scheduler"], train_loader = a["train_loader"];
    long long num_epochs = a.to_int("num_epochs"), accumulation = a.to_int("gradient_accumulation_steps"),
        max_groups = a.to_int("max_groups");
    bool plateau = ql::is_instance(scheduler, globals["lr_scheduler"].attr("ReduceLROnPlateau"));

    SavedState saved(scheduler, plateau);
    nb::object optimizer = scheduler.attr("optimizer");
    long long num_groups = static_cast<long long>(nb::len(nb::object(optimizer.attr("param_groups"))));
    long long groups_to_plot = std::min(num_groups, max_groups);
    if (num_groups > max_groups)
        ql::print("Warning: Only showing " + std::to_string(max_groups) + " out of " + std::to_string(num_groups) +
                  " parameter groups for clarity");
    std::vector<std::vector<double>> lrs(static_cast<size_t>(std::max(groups_to_plot, 0LL)));

    nb::object x;
    try {
        if (plateau) {
            size_t batches = nb::len(train_loader);
            nb::object period = scheduler.attr("patience") + nb::int_(1);
            for (long long e = 0; e < num_epochs; ++e) {
                nb::object groups = optimizer.attr("param_groups");
                for (size_t g = 0; g < lrs.size(); ++g) lrs[g].insert(lrs[g].end(), batches, lr_of(groups[g]));
                nb::object rem = nb::int_(e) % period;
                scheduler.attr("step")(nb::float_(truthy(rem) ? 0.0 : 1.0));
            }
            x = globals["np"].attr("linspace")(0, num_epochs, num_epochs * batches);
        } else {
            long long total_steps = num_epochs * steps_per_epoch(train_loader, accumulation);
            saved.detach_gradients();
            nb::object opt_step = optimizer.attr("step"), sched_step = scheduler.attr("step");
            for (long long s = 0; s < total_steps; ++s) {
                nb::object groups = optimizer.attr("param_groups");
                for (size_t g = 0; g < lrs.size(); ++g) lrs[g].push_back(lr_of(groups[g]));
                opt_step();
                sched_step();
            }
            x = globals["np"].attr("linspace")(0, num_epochs, total_steps);
        }
    } catch (...) {
        saved.restore();
        throw;
    }
    saved.restore();

    static const char *colors[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"};
    static const char *styles[] = {"-", "--", "-.", ":", "-"};
    nb::object plt = globals["plt"], np = globals["np"];
    plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(12, 4));
    for (size_t idx = 0; idx < lrs.size(); ++idx) {
        nb::list values;
        for (double v : lrs[idx]) values.append(nb::float_(v));
        plt.attr("plot")(x, np.attr("asarray")(values), nb::arg("label") = "Group " + std::to_string(idx),
                         nb::arg("color") = colors[idx % 5], nb::arg("linestyle") = styles[idx % 5],
                         nb::arg("linewidth") = 2);
    }
    plt.attr("xlabel")("Epoch", nb::arg("fontsize") = 12);
    plt.attr("ylabel")("Learning Rate", nb::arg("fontsize") = 12);
    plt.attr("title")("Learning Rate Schedule", nb::arg("fontsize") = 14, nb::arg("pad") = 20);
    plt.attr("grid")(true, nb::arg("alpha") = 0.3);
    plt.attr("legend")(nb::arg("bbox_to_anchor") = nb::make_tuple(1.05, 1), nb::arg("loc") = "upper left");
    plt.attr("yscale")("log");
    nb::object steps_axis = plt.attr("gca")().attr("twiny")();
    steps_axis.attr("set_xlim")(0, nb::len(x));
    steps_axis.attr("set_xlabel")("Steps", nb::arg("fontsize") = 12);
    plt.attr("tight_layout")();
    plt.attr("show")();
    return nb::none();
}

const char *const kEpochsToStepsDoc = R"doc(Number of scheduler steps in `epochs` epochs of `train_loader`.

One epoch is ceil(len(train_loader) / gradient_accumulation_steps) optimizer steps: one per
full accumulation cycle plus one for a trailing partial cycle.

Raises:
    ValueError: if gradient_accumulation_steps is smaller than 1.)doc";

const char *const kCreateSchedulerDoc = R"doc(Create a learning-rate scheduler from the scheduler section of a configuration.

Args:
    optimizer: the optimizer to schedule.
    scheduler_config: dict with `name` (reduce_lr, cosine, cosine_warm), the sub-dict of
        that scheduler and an optional `warmup` dict. Durations are in epochs; the cosine
        lengths and the warm-up are converted to optimizer steps.
    train_loader: the training loader (only its length is used).
    gradient_accumulation_steps: batches per optimizer step.

Returns:
    ReduceLROnPlateau (stepped once per epoch with a metric), CosineAnnealingLR or
    CosineAnnealingWarmRestarts (stepped once per optimizer step), the cosine ones wrapped
    in a SequentialLR behind a linear warm-up when `warmup.enabled` is true.

Raises:
    ValueError: for an unknown name, or for reduce_lr with warm-up enabled.
    TypeError, ValueError: for a setting of the chosen schedule or its warm-up that has
        the wrong kind or is out of range (T_max: 0, a factor above 1, ...), naming the
        setting, before the schedule's summary is printed.
    KeyError: when the chosen scheduler's sub-dict is missing.)doc";

const char *const kCreateWarmupDoc = R"doc(Chain a linear warm-up of `warmup_config['epochs']` epochs (default 5) in front of
`base_scheduler`: the rate climbs from start_factor (default 0.1) to end_factor (default 1.0)
times the base rate, then `base_scheduler` runs from its own start.

Returns:
    A SequentialLR.)doc";

const char *const kPlotDoc = R"doc(Plot the learning rates `scheduler` would produce over `num_epochs` epochs.

The schedule is simulated and the scheduler and its optimizer are then restored to the state
they had (learning rates, step and plateau counters, optimizer state). Parameters and their
gradients are left untouched: the simulated optimizer steps run without gradients. A plateau
scheduler is fed a synthetic metric that stalls at its own patience. At most `max_groups`
parameter groups are drawn. The figure is shown with pyplot and left open.)doc";

}  // namespace

QL_MODULE(marlowen, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.from("typing", {"Dict", "Any", "Optional"});
    globals.set("lr_scheduler", ql::import("torch.optim.lr_scheduler"));
    globals.set("plt", ql::import("matplotlib.pyplot"));
    globals.set("np", ql::import("numpy"));
    globals.set("copy", ql::import("copy"));
    m.doc() = "Learning-rate scheduler factory, linear warm-up and schedule preview.";

    ql::def(m, kEpochsToStepsSig, epochs_to_steps, kEpochsToStepsDoc);
    ql::def(m, kCreateSchedulerSig, create_scheduler, kCreateSchedulerDoc);
    ql::def(m, kCreateWarmupSig, create_warmup_scheduler, kCreateWarmupDoc);
    ql::def(m, kPlotSig, plot_lr_schedule, kPlotDoc);
}
