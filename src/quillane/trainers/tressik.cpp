// The abstract base trainer: settings checks, device and training precision, gradient scaler,
// experiment directory, wandb run, checkpoint files, metric logging, attention heat maps and
// generated-text files.
//
// Every library the trainer drives (wandb, torch, pyplot, seaborn, torchinfo's summary, the model
// classes, ...) is bound as a module global at import time and looked up there on each use, as a
// Python module would, so callers and tests can replace any of them on the module.
#include "amp.hpp"
#include "checkpoint_files.hpp"
#include "core.hpp"
#include "experiment_record.hpp"
#include "globals.hpp"
#include "model_summary.hpp"
#include "precision.hpp"
#include "pyops.hpp"
#include "training_loop.hpp"

#include <string>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::get;
using ql::is_instance;
using ql::truthy;

using checkpoint_files::checkpoint_get;

ql::ModuleGlobals globals;

bool use_wandb(nb::handle self) { return truthy(self.attr("use_wandb")); }

// `open(path, mode, encoding="utf-8")` from builtins.
nb::object open_text(nb::handle path, const char *mode) {
    static nb::handle open = ql::keep(ql::import_attr("builtins", "open"));
    return open(path, mode, nb::arg("encoding") = "utf-8");
}

// Clean-up while another error propagates: an error of the clean-up itself is dropped in
// favour of the first one.
template <typename F>
void call_quietly(F &&f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------
// Construction and experiment set-up
// ---------------------------------------------------------------------------

// run_name names one directory inside expts/.
void check_run_name(nb::handle run_name) {
    std::string name = nb::cast<std::string>(run_name);
    const std::string separators("/\\\0", 3);
    bool one_directory = !name.empty() && name != "." && name != ".." &&
                         name.find_first_of(separators) == std::string::npos &&
                         !truthy(globals["os"].attr("path").attr("isabs")(run_name));
    if (!one_directory)
        ql::raise_value_error("run_name must name one directory inside expts/ (not empty, '.' or '..', no path "
                              "separator), got " + ql::repr(run_name));
}

// Checks the settings a run reads later, before anything is written; returns training.precision.
std::string check_settings(nb::handle config, nb::handle run_name) {
    nb::object training = config["training"];
    check_run_name(run_name);
    if (ql::contains(training, nb::str("gradient_accumulation_steps")))
        training_loop::accumulation_steps(training["gradient_accumulation_steps"]);
    distribution::timeout_setting(training);
    return precision::setting(training);
}

const char *const kEndProcessGroupSig = "_end_process_group()";
nb::object end_process_group(const ql::Args &) {
    distribution::end_process_group(globals["torch"]);
    return nb::none();
}

const char *const kInitSig =
    "__init__(self, model, tokenizer, config: dict, run_name: str, config_file: str, device=None)";
nb::object trainer_init(const ql::Args &a) {
    nb::handle self = a.self(), config = a["config"], run_name = a["run_name"];
    std::string requested = check_settings(config, run_name);
    nb::object torch = globals["torch"];
    nb::object device = nb::borrow(a["device"]);
    if (device.is_none()) device = nb::str(truthy(torch.attr("cuda").attr("is_available")()) ? "cuda" : "cpu");
    device = distribution::join(torch, self, config["training"], device, globals["_end_process_group"]);
    distribution::say(self, "Using device: " + ql::str(device));

    self.attr("device") = device;
    self.attr("model") = a["model"].attr("to")(device);
    precision::Choice chosen{requested, ""};
    if (requested == "auto")
        chosen = precision::choose_automatically(torch, globals["_probe_precision"], self.attr("model"), device);
    distribution::say(self,
                      "Training precision: " + chosen.name + (chosen.reason.empty() ? "" : " (" + chosen.reason + ")"));

    self.attr("tokenizer") = a["tokenizer"];
    self.attr("config") = config;
    self.attr("optimizer") = nb::none();
    self.attr("scheduler") = nb::none();
    self.attr("precision") = chosen.name;
    // The scaler takes a device type ("cuda:0" and "cuda" both mean "cuda"); only float16
    // losses need scaling.
    self.attr("scaler") = torch.attr("amp").attr("GradScaler")(nb::arg("device") = ql::device_type(device),
                                                               nb::arg("enabled") = chosen.name == "float16");
    self.attr("use_wandb") = get(config["training"], "use_wandb", nb::bool_(false));

    std::vector<nb::object> paths = ql::unpack(self.attr("_init_experiment")(run_name, a["config_file"]), 6);
    const char *names[] = {"expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path",
                           "last_model_path"};
    for (size_t i = 0; i < 6; ++i) self.attr(names[i]) = paths[i];
    // The other processes go on once process 0 has made the experiment folder.
    if (distribution::several(self)) ql::distributed::barrier(torch);

    self.attr("current_epoch") = 0;
    self.attr("epochs_completed") = 0;
    self.attr("best_metric") = nb::float_(Py_HUGE_VAL);
    self.attr("training_history") = nb::list();
    return nb::none();
}

const char *const kProbeSig = "_probe_precision(model, device, precision: str)";
nb::object probe_precision(const ql::Args &a) {
    return precision::probe(globals["torch"], a["model"], a["device"], a.to_str("precision"));
}

const char *const kAutocastDtypeSig = "_autocast_dtype(self)";
nb::object autocast_dtype(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object name = self.attr("precision");
    if (!nb::isinstance<nb::str>(name) || !precision::is_training_precision(nb::cast<std::string>(name)))
        ql::raise_value_error("precision must be 'float32', 'bfloat16' or 'float16', got " + ql::repr(name));
    if (nb::cast<std::string>(name) == "float32") return nb::none();
    nb::object device = self.attr("device");
    nb::object failure = globals["_probe_precision"](self.attr("model"), device, name);
    if (!failure.is_none())
        ql::raise_value_error("training.precision " + ql::repr(name) + " cannot run on device " + ql::repr(device) +
                              ": " + ql::str(failure) + "; use 'auto' or 'float32' instead");
    return globals["torch"].attr(name);
}

// (expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path) of a run.
nb::tuple experiment_paths(nb::handle run_name) {
    nb::object expt_root = globals["Path"](globals["os"].attr("getcwd")()) / nb::str("expts") / run_name;
    nb::object checkpoint_dir = expt_root / nb::str("checkpoints");
    return nb::make_tuple(expt_root, checkpoint_dir, expt_root / nb::str("attn"), expt_root / nb::str("text"),
                          checkpoint_dir / nb::str("checkpoint-best-metric-model.pth"),
                          checkpoint_dir / nb::str("checkpoint-last-epoch-model.pth"));
}

const char *const kInitExperimentSig = "_init_experiment(self, run_name: str, config_file: str)";
nb::object init_experiment(const ql::Args &a) {
    nb::handle self = a.self(), run_name = a["run_name"], config_file = a["config_file"];
    nb::tuple paths = experiment_paths(run_name);
    // Under torchrun only process 0 makes the folder and starts the wandb run; the others know the paths.
    if (!distribution::is_main(self)) return paths;
    nb::object expt_root = paths[0];
    expt_root.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    globals["shutil"].attr("copy2")(config_file, expt_root / nb::str("config.yaml"));

    {
        nb::object file = open_text(expt_root / nb::str("model_arch.txt"), "w");
        ql::ContextGuard closer(file);  // closes the file, also on an error
        model_summary::write_model_summary(globals, self, file);
        closer.close();
    }
    for (size_t i = 1; i < 4; ++i) paths[i].attr("mkdir")(nb::arg("exist_ok") = true);  // checkpoints, attn, text

    experiment_record::write_set_up_records(globals, self, expt_root);

    if (use_wandb(self)) {
        nb::object config = self.attr("config");
        nb::object training = config["training"];
        nb::object run_id = get(training, "wandb_run_id", nb::none());
        nb::object init = globals["wandb"].attr("init");
        nb::object project = get(training, "wandb_project", nb::str("default-project"));
        bool resume = truthy(run_id) && ql::str(run_id.attr("lower")()) != "none";
        self.attr("wandb_run") =
            resume ? init(nb::arg("project") = project, nb::arg("id") = run_id, nb::arg("resume") = "must",
                          nb::arg("config") = config)
                   : init(nb::arg("project") = project, nb::arg("config") = config, nb::arg("name") = run_name);
    }
    return paths;
}

// ---------------------------------------------------------------------------
// Checkpoints
// ---------------------------------------------------------------------------

const char *const kSaveCheckpointSig = "save_checkpoint(self, filename: str)";
nb::object save_checkpoint(const ql::Args &a) {
    nb::handle self = a.self();
    if (!distribution::is_main(self)) return nb::none();  // under torchrun process 0 writes the checkpoints
    nb::object checkpoint_path = self.attr("checkpoint_dir") / a["filename"];

    nb::dict checkpoint;
    nb::object current_epoch = self.attr("current_epoch");
    checkpoint["epoch"] = current_epoch;
    checkpoint["model_state_dict"] = self.attr("model").attr("state_dict")();
    checkpoint["optimizer_state_dict"] = self.attr("optimizer").attr("state_dict")();
    nb::object scheduler = self.attr("scheduler");
    checkpoint["scheduler_state_dict"] = truthy(scheduler) ? scheduler.attr("state_dict")() : nb::none();
    checkpoint["scaler_state_dict"] = self.attr("scaler").attr("state_dict")();
    checkpoint["best_metric"] = self.attr("best_metric");
    checkpoint["training_history"] = self.attr("training_history");
    checkpoint["config"] = self.attr("config");
    // Inside the training loop the epoch just finished counts; a caller's own loop only
    // advances current_epoch.
    nb::object completed = nb::getattr(self, "epochs_completed", current_epoch);
    checkpoint["epochs_completed"] = current_epoch > completed ? current_epoch : completed;

    // Write beside the final file and rename over it, so that a save that fails or is killed
    // midway never leaves a truncated checkpoint under the final name.
    nb::object os = globals["os"];
    nb::object parent = checkpoint_path.attr("parent");
    checkpoint_files::remove_stale_temporaries(ql::str(parent));
    std::string tmp_name =
        "." + ql::str(checkpoint_path.attr("name")) + "." + ql::str(os.attr("getpid")()) + ".tmp";
    nb::object tmp_path = parent / nb::str(tmp_name.c_str());
    try {
        static nb::handle open = ql::keep(ql::import_attr("builtins", "open"));
        nb::object file = open(tmp_path, "wb");
        ql::ContextGuard closer(file);  // closes the file, also on an error
        globals["torch"].attr("save")(checkpoint, file);
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        closer.close();
        os.attr("replace")(tmp_path, checkpoint_path);
    } catch (nb::python_error &) {
        call_quietly([&] { tmp_path.attr("unlink")(nb::arg("missing_ok") = true); });
        throw;
    }
    ql::sync_directory(ql::str(parent));
    experiment_record::write_history(globals, self);

    if (use_wandb(self)) globals["wandb"].attr("save")(nb::str(checkpoint_path));
    return nb::none();
}

// The checkpoint's content on the trainer's device; on the CPU under torchrun, where it
// travels on to the other processes before each puts it on its own device.
nb::object read_checkpoint(nb::handle self, nb::handle checkpoint_path) {
    nb::object location = distribution::several(self) ? nb::str("cpu") : nb::object(self.attr("device"));
    try {
        return globals["torch"].attr("load")(checkpoint_path, nb::arg("map_location") = location,
                                             nb::arg("weights_only") = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string message = "Failed to load checkpoint file: " + ql::str(e.value());
        PyObject *error = ql::check(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
        PyException_SetContext(error, Py_NewRef(e.value().ptr()));
        PyErr_Restore(Py_NewRef(PyExc_RuntimeError), error, nullptr);
        throw nb::python_error();
    }
}

const char *const kLoadCheckpointSig = "load_checkpoint(self, filename: str)";
nb::object load_checkpoint(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object checkpoint_path = self.attr("checkpoint_dir") / a["filename"];
    // Under torchrun process 0 reads the file for all: the others need no access to it.
    nb::object checkpoint = distribution::decided_on_main(globals, self, [&]() -> nb::object {
        if (!truthy(checkpoint_path.attr("exists")()))
            ql::raise(PyExc_FileNotFoundError, "No checkpoint found at " + ql::str(checkpoint_path));
        return read_checkpoint(self, checkpoint_path);
    });

    checkpoint_files::Restorer restorer(distribution::is_main(self));
    restorer.step("model", "model", [&] { self.attr("model").attr("load_state_dict")(checkpoint["model_state_dict"]); });
    restorer.with_model("optimizer", "optimizer", [&] {
        self.attr("optimizer").attr("load_state_dict")(checkpoint["optimizer_state_dict"]);
    });
    nb::object scheduler = self.attr("scheduler");
    if (truthy(checkpoint_get(checkpoint, "scheduler_state_dict", nb::none())) && truthy(scheduler))
        restorer.with_model("scheduler", "scheduler", [&] {
            scheduler.attr("load_state_dict")(checkpoint["scheduler_state_dict"]);
        });
    restorer.step("scaler", "scaler", [&] { self.attr("scaler").attr("load_state_dict")(checkpoint["scaler_state_dict"]); });
    restorer.with_model("training_state", "training", [&] {
        // Checkpoints written before epochs_completed was stored hold the next epoch in "epoch".
        nb::object completed = checkpoint_get(checkpoint, "epochs_completed", nb::none());
        self.attr("current_epoch") = completed.is_none() ? nb::object(checkpoint["epoch"]) : completed;
        self.attr("epochs_completed") = self.attr("current_epoch");
        self.attr("best_metric") = checkpoint["best_metric"];
        self.attr("training_history") = checkpoint["training_history"];
    });
    restorer.report(checkpoint);
    return nb::none();
}

const char *const kConsoleLogSig = "_console_log(self)";
nb::object console_log(const ql::Args &a) {
    nb::handle self = a.self();
    // under torchrun only process 0 has the experiment folder (and prints)
    if (!distribution::is_main(self)) return ql::import_attr("contextlib", "nullcontext")();
    return globals["_ConsoleLog"](self.attr("expt_root") / nb::str("console.log"));
}

const char *const kCleanupSig = "cleanup(self)";
nb::object cleanup(const ql::Args &a) {
    nb::handle self = a.self();
    if (use_wandb(self)) {
        nb::object run = nb::getattr(self, "wandb_run", nb::none());
        if (truthy(run)) globals["wandb"].attr("finish")();
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// Metrics, attention plots, generated text
// ---------------------------------------------------------------------------

const char *const kLogMetricsSig = "_log_metrics(self, metrics: Dict[str, Dict[str, float]], step: int)";
nb::object log_metrics(const ql::Args &a) {
    nb::handle self = a.self(), metrics = a["metrics"], step = a["step"];
    static nb::handle sorted_fn = ql::keep(ql::import_attr("builtins", "sorted"));

    auto learning_rate = [&] { return self.attr("optimizer").attr("param_groups")[0]["lr"]; };
    nb::dict entry;
    entry["epoch"] = step;
    ql::check(PyDict_Update(entry.ptr(), metrics.ptr()) == 0);
    entry["lr"] = learning_rate();
    self.attr("training_history").attr("append")(entry);
    if (!distribution::is_main(self)) return nb::none();  // every process keeps the history; process 0 reports

    if (use_wandb(self)) {
        nb::dict payload;
        for (auto [split, split_metrics] : nb::borrow<nb::dict>(metrics)) {
            std::string prefix = ql::str(split) + "/";
            for (nb::handle pair : split_metrics.attr("items")()) {
                auto [name, value] = ql::unpack<2>(pair);
                payload[nb::str((prefix + ql::str(name)).c_str())] = value;
            }
        }
        payload["learning_rate"] = learning_rate();
        globals["wandb"].attr("log")(payload, nb::arg("step") = step);
    }

    ql::print("\n\U0001F4CA Metrics (Epoch " + ql::str(step) + "):");
    nb::list splits = nb::borrow<nb::list>(sorted_fn(metrics.attr("keys")()));
    size_t num_splits = nb::len(splits);
    for (size_t i = 0; i < num_splits; ++i) {
        nb::object split = splits[i];
        bool last_split = i + 1 == num_splits;
        ql::tree_line({last_split}, ql::str(split.attr("upper")()) + ":");
        nb::list split_metrics = nb::borrow<nb::list>(sorted_fn(metrics[split].attr("items")()));
        size_t num_metrics = nb::len(split_metrics);
        for (size_t j = 0; j < num_metrics; ++j) {
            auto [name, value] = ql::unpack<2>(split_metrics[j]);
            ql::tree_line({last_split, j + 1 == num_metrics}, ql::str(name) + ": " + ql::format(value, ".4f"));
        }
    }
    ql::tree_line({true}, "TRAINING:");
    ql::tree_line({true, true}, "learning_rate: " + ql::format(learning_rate(), ".6f"));
    experiment_record::write_history(globals, self);
    experiment_record::plot_curves(globals, self);
    return nb::none();
}

const char *const kSaveAttentionPlotSig =
    "_save_attention_plot(self, attn_weights, epoch: int, attn_type: str = 'self')";
nb::object save_attention_plot(const ql::Args &a) {
    nb::handle self = a.self(), epoch = a["epoch"], attn_type = a["attn_type"];
    if (!distribution::is_main(self)) return nb::none();  // under torchrun process 0 writes the records
    nb::object weights = nb::borrow(a["attn_weights"]);
    nb::object torch = globals["torch"];
    if (is_instance(weights, torch.attr("Tensor"))) {
        weights = weights.attr("cpu")().attr("detach")();
        // NumPy has no bfloat16: maps from bfloat16 autocast are widened before plotting.
        if (weights.attr("dtype").equal(torch.attr("bfloat16"))) weights = weights.attr("float")();
        weights = weights.attr("numpy")();
    }

    nb::object plt = globals["plt"];
    nb::object figure = plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(10, 8));
    std::string plot_path;
    try {
        globals["sns"].attr("heatmap")(weights, nb::arg("cmap") = "viridis", nb::arg("cbar") = true);
        plt.attr("title")("Attention Weights - Epoch " + ql::str(epoch));
        plt.attr("xlabel")("Source Sequence");
        plt.attr("ylabel")("Target Sequence");
        std::string file_name = ql::str(attn_type) + "_attention_epoch" + ql::str(epoch) + ".png";
        plot_path = nb::cast<std::string>(globals["os"].attr("path").attr("join")(self.attr("attn_dir"), file_name));
        plt.attr("savefig")(plot_path);
    } catch (nb::python_error &) {
        // The figure is closed even when drawing or saving fails, so none is left open.
        call_quietly([&] { plt.attr("close")(figure); });
        throw;
    }
    plt.attr("close")(figure);

    if (use_wandb(self)) {
        nb::object wandb = globals["wandb"];
        nb::dict payload;
        payload[nb::str((ql::str(attn_type) + "_attention").c_str())] = wandb.attr("Image")(plot_path);
        wandb.attr("log")(payload, nb::arg("step") = epoch);
    }
    return nb::none();
}

const char *const kSaveGeneratedTextSig = "_save_generated_text(self, text, suffix: str)";
nb::object save_generated_text(const ql::Args &a) {
    nb::handle self = a.self(), text = a["text"], suffix = a["suffix"];
    if (!distribution::is_main(self)) return nb::none();  // under torchrun process 0 writes the records
    std::string file_name = "text_" + ql::str(suffix) + ".json";
    nb::object text_path = globals["os"].attr("path").attr("join")(self.attr("text_dir"), file_name);
    // Serialise first: content that cannot be written as JSON leaves an existing file untouched.
    nb::object content = globals["json"].attr("dumps")(text, nb::arg("indent") = 4);
    {
        nb::object file = open_text(text_path, "w");
        ql::ContextGuard closer(file);  // closes the file, also on an error
        file.attr("write")(content);
        closer.close();
    }
    if (use_wandb(self)) globals["wandb"].attr("save")(text_path);
    return nb::none();
}

const char *const kRankLoaderSig = "rank_loader(self, dataloader)";
nb::object rank_loader(const ql::Args &a) { return distribution::rank_loader(globals, a.self(), a["dataloader"]); }

nb::object do_nothing(const ql::Args &) { return nb::none(); }

const char *const kClassDoc = R"doc(
    Base trainer shared by every trainer of the library.

    Responsibilities:
    1. Experiment tracking and logging (with wandb support)
    2. Checkpoint management
    3. Metric logging and visualisation
    4. Directory structure management
    5. Device handling

    Directory structure:
    expts/
    └── {run_name}/
        ├── config.yaml
        ├── model_arch.txt
        ├── checkpoints/
        │   ├── checkpoint-best-metric-model.pth
        │   └── checkpoint-last-epoch-model.pth
        ├── attn/
        │   └── {attention visualisations}
        └── text/
            └── {generated text outputs}

    Under torchrun every process builds the same trainer and calls the same methods, training
    on its share of the data; process 0 alone writes the experiment folder, prints and talks
    to wandb.

    Subclasses define _train_epoch, _validate_epoch, train and evaluate.
    )doc";

const char *const kInitDoc = R"doc(Checks the settings, chooses the device, moves the model there, chooses the training
precision (training.precision: "auto", "float32", "bfloat16" or "float16"), creates the
gradient scaler and sets up the experiment directory (and the wandb run when
training.use_wandb is on).)doc";

}  // namespace

QL_MODULE(tressik, m) {
    m.doc() = "Abstract base trainer: experiment directory, checkpoints, metric logging and wandb runs.";
    globals.bind(m);

    globals.set("wandb", ql::import("wandb"));
    globals.set("json", ql::import("json"));
    globals.from("pathlib", {"Path"});
    globals.set("torch", ql::import("torch"));
    globals.set("plt", ql::import("matplotlib.pyplot"));
    globals.set("sns", ql::import("seaborn"));
    globals.set("nn", ql::import("torch.nn"));
    globals.from("quillane.data.tokenizer", {"VantTokenizer"});
    globals.from("quillane.utils", {"ostravel"});
    globals.from("quillane.model", {"DecoderOnlyTransformer", "EncoderDecoderTransformer"});
    globals.set("os", ql::import("os"));
    globals.set("shutil", ql::import("shutil"));
    globals.from("abc", {"ABC", "abstractmethod"});
    globals.from("typing", {"Dict", "Any", "Optional", "Tuple"});
    globals.from("torchinfo", {"summary"});
    globals.from("matplotlib.figure", {"Figure"});
    namespace tee = experiment_record::console_tee;
    ql::make_class(m, "_ConsoleLog", {ql::import_attr("builtins", "object")},
                   "Context manager: while entered, what is written to sys.stdout is appended to path too.",
                   {ql::method(tee::kInitSig, tee::init), ql::method(tee::kEnterSig, tee::enter),
                    ql::method(tee::kExitSig, tee::exit), ql::method(tee::kWriteSig, tee::write),
                    ql::method(tee::kFlushSig, tee::flush), ql::method(tee::kGetattrSig, tee::getattr)});
    ql::def(m, kEndProcessGroupSig, end_process_group,
            "Destroys the default process group if it is still initialised (registered with atexit by a\n"
            "trainer that initialised it).");
    ql::def(m, kProbeSig, probe_precision,
            "None when the model's recurrent, convolution and attention layers run forward and backward\n"
            "under autocast to precision on the device, else the reason they do not.");

    ql::make_class(
        m, "BaseTrainer", {globals["ABC"]}, kClassDoc,
        {ql::method(kInitSig, trainer_init, kInitDoc),
         ql::abstract_method("_train_epoch(self, dataloader)", do_nothing,
                             "Train for one epoch.\n\n"
                             "Returns:\n"
                             "    Tuple[Dict[str, float], Dict[str, torch.Tensor]]: the epoch's metrics and\n"
                             "    attention weights."),
         ql::abstract_method("_validate_epoch(self, dataloader)", do_nothing,
                             "Validate for one epoch.\n\nReturns:\n    Dict[str, float]: validation metrics."),
         ql::abstract_method("train(self, train_dataloader, val_dataloader)", do_nothing, "Full training loop."),
         ql::abstract_method("evaluate(self, dataloader)", do_nothing,
                             "Evaluate the model on a dataset.\n\nReturns:\n    Dict[str, float]: metrics."),
         ql::method(kAutocastDtypeSig, autocast_dtype,
                    "The dtype training autocasts to (None: full precision). A precision the device\n"
                    "cannot run raises ValueError, naming what to use instead."),
         ql::method(kInitExperimentSig, init_experiment,
                    "Create expts/<run_name>/ with config.yaml, model_arch.txt, checkpoints/, attn/ and\n"
                    "text/, start or resume the wandb run when enabled, and return\n"
                    "(expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path)."),
         ql::method(kSaveCheckpointSig, save_checkpoint,
                    "Save model, optimizer, scheduler, scaler and training state to\n"
                    "checkpoint_dir / filename. The file is replaced atomically."),
         ql::method(kLoadCheckpointSig, load_checkpoint,
                    "Restore each component saved by save_checkpoint independently; components that\n"
                    "cannot be restored are reported and skipped. Training continues after the last\n"
                    "finished epoch."),
         ql::method(kCleanupSig, cleanup, "Finish the wandb run, if any."),
         ql::method(kConsoleLogSig, console_log,
                    "A context manager that appends what is printed (sys.stdout) to expt_root/console.log\n"
                    "while it is entered; the trainers enter it for train and evaluate."),
         ql::method(kRankLoaderSig, rank_loader, distribution::kRankLoaderDoc),
         ql::method(kLogMetricsSig, log_metrics,
                    "Append the metrics to training_history, log them to wandb and print them as a tree.\n\n"
                    "Args:\n"
                    "    metrics: split name (train, val, test) -> metric name -> value.\n"
                    "    step: the epoch number."),
         ql::method(kSaveAttentionPlotSig, save_attention_plot,
                    "Save a 2-D attention matrix as a heat map attn_dir/<attn_type>_attention_epoch<epoch>.png."),
         ql::method(kSaveGeneratedTextSig, save_generated_text,
                    "Write text (a list of records or a dict) as JSON to text_dir/text_<suffix>.json.")});
}
