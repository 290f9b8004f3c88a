// The abstract base trainer: device choice, gradient scaler, experiment directory, wandb run,
// checkpoint files, metric logging, attention heat maps and generated-text files.
//
// Every library the trainer drives (wandb, torch, pyplot, seaborn, torchinfo's summary, the model
// classes, ...) is bound as a module global at import time and looked up there on each use, as a
// Python module would, so callers and tests can replace any of them on the module.
#include "amp.hpp"
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::get;
using ql::is_instance;
using ql::truediv;
using ql::truthy;

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

nb::object trainer_init(const ql::Args &a) {
    nb::handle self = a.self(), model = a["model"], tokenizer = a["tokenizer"], config = a["config"],
               run_name = a["run_name"],
               config_file = a["config_file"];
    nb::object torch = globals["torch"];
    nb::object device = nb::borrow(a["device"]);
    if (device.is_none()) device = nb::str(truthy(torch.attr("cuda").attr("is_available")()) ? "cuda" : "cpu");
    ql::print("Using device: " + ql::str(device));

    self.attr("device") = device;
    self.attr("model") = model.attr("to")(device);
    self.attr("tokenizer") = tokenizer;
    self.attr("config") = config;
    self.attr("optimizer") = nb::none();
    self.attr("scheduler") = nb::none();
    // The scaler takes a device type: "cuda:0" and "cuda" both mean "cuda" here.
    self.attr("scaler") = torch.attr("amp").attr("GradScaler")(nb::arg("device") = ql::device_type(device));
    self.attr("use_wandb") = get(config["training"], "use_wandb", nb::bool_(false));

    nb::object paths = self.attr("_init_experiment")(run_name, config_file);
    std::vector<nb::object> items = ql::unpack(paths, 6);
    const char *names[] = {"expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path",
                           "last_model_path"};
    for (size_t i = 0; i < 6; ++i) self.attr(names[i]) = items[i];

    self.attr("current_epoch") = 0;
    self.attr("best_metric") = nb::float_(Py_HUGE_VAL);
    self.attr("training_history") = nb::list();
    return nb::none();
}

// Writes str(torchinfo.summary(...)) of the model with dummy inputs fitting its class
// (torchinfo also prints the summary, so the user sees the architecture at start-up).
void write_model_summary(nb::handle self, nb::handle file) {
    nb::object torch = globals["torch"];
    nb::object summary = globals["summary"];
    nb::object model = self.attr("model");
    nb::object config = self.attr("config");
    nb::object result;
    if (is_instance(model, globals["DecoderOnlyTransformer"])) {
        nb::object data = config["data"];
        nb::object batch = get(data, "batch_size", nb::int_(8));
        nb::object max_len = model.attr("max_len");
        nb::list input_size;
        input_size.append(nb::make_tuple(batch, max_len));
        input_size.append(nb::make_tuple(batch));
        nb::list dtypes;
        dtypes.append(torch.attr("long"));
        dtypes.append(torch.attr("long"));
        result = summary(model, nb::arg("input_size") = input_size, nb::arg("dtypes") = dtypes);
    } else if (is_instance(model, globals["EncoderDecoderTransformer"])) {
        // One dummy utterance length of 1000 frames fixes every other size.
        const long frames = 1000;
        nb::object data = config["data"];
        nb::object batch = get(data, "batch_size", nb::int_(8));
        nb::object num_feats = data["num_feats"];
        nb::object device = self.attr("device");
        nb::object feats = torch.attr("randn")(batch, frames, num_feats).attr("to")(device);
        nb::object targets = torch.attr("randint")(0, model.attr("num_classes"), nb::make_tuple(batch, frames / 10))
                                 .attr("to")(device);
        nb::object source_lengths =
            torch.attr("randint")(frames / 2, frames, nb::make_tuple(batch)).attr("to")(device);
        nb::object target_lengths =
            torch.attr("randint")(frames / 20, frames / 10, nb::make_tuple(batch)).attr("to")(device);
        nb::list input_data;
        input_data.append(feats);
        input_data.append(targets);
        input_data.append(source_lengths);
        input_data.append(target_lengths);
        nb::list dtypes;
        dtypes.append(torch.attr("float32"));
        for (int i = 0; i < 3; ++i) dtypes.append(torch.attr("long"));
        result = summary(model, nb::arg("input_data") = input_data, nb::arg("dtypes") = dtypes);
    } else {
        ql::raise(PyExc_NotImplementedError, "Model architecture summary not implemented");
    }
    file.attr("write")(nb::str(result));
}

nb::object init_experiment(const ql::Args &a) {
    nb::handle self = a.self(), run_name = a["run_name"], config_file = a["config_file"];
    nb::object os = globals["os"];
    nb::object Path = globals["Path"];

    nb::object expt_root = truediv(truediv(Path(os.attr("getcwd")()), nb::str("expts")), run_name);
    expt_root.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    globals["shutil"].attr("copy2")(config_file, truediv(expt_root, nb::str("config.yaml")));

    {
        nb::object file = open_text(truediv(expt_root, nb::str("model_arch.txt")), "w");
        ql::ContextGuard closer(file);  // closes the file, also on an error
        write_model_summary(self, file);
        closer.close();
    }

    nb::object checkpoint_dir = truediv(expt_root, nb::str("checkpoints"));
    nb::object attn_dir = truediv(expt_root, nb::str("attn"));
    nb::object text_dir = truediv(expt_root, nb::str("text"));
    for (nb::handle dir : {checkpoint_dir, attn_dir, text_dir}) dir.attr("mkdir")(nb::arg("exist_ok") = true);
    nb::object best_model_path = truediv(checkpoint_dir, nb::str("checkpoint-best-metric-model.pth"));
    nb::object last_model_path = truediv(checkpoint_dir, nb::str("checkpoint-last-epoch-model.pth"));

    if (use_wandb(self)) {
        nb::object training = self.attr("config")["training"];
        nb::object run_id = get(training, "wandb_run_id", nb::none());
        nb::object wandb = globals["wandb"];
        nb::object project = get(training, "wandb_project", nb::str("default-project"));
        bool resume = truthy(run_id) && ql::str(run_id.attr("lower")()) != "none";
        if (resume) {
            self.attr("wandb_run") = wandb.attr("init")(nb::arg("project") = project, nb::arg("id") = run_id,
                                                        nb::arg("resume") = "must",
                                                        nb::arg("config") = self.attr("config"));
        } else {
            self.attr("wandb_run") = wandb.attr("init")(nb::arg("project") = project,
                                                        nb::arg("config") = self.attr("config"),
                                                        nb::arg("name") = run_name);
        }
    }
    return nb::make_tuple(expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path);
}

// ---------------------------------------------------------------------------
// Checkpoints
// ---------------------------------------------------------------------------

// Flushes a directory entry change (the rename) to disk; best effort.
void sync_directory(const std::string &dir) {
#ifndef _WIN32
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    (void)dir;
#endif
}

nb::object save_checkpoint(const ql::Args &a) {
    nb::handle self = a.self(), filename = a["filename"];
    nb::object checkpoint_path = truediv(self.attr("checkpoint_dir"), filename);

    nb::dict checkpoint;
    checkpoint["epoch"] = self.attr("current_epoch");
    checkpoint["model_state_dict"] = self.attr("model").attr("state_dict")();
    checkpoint["optimizer_state_dict"] = self.attr("optimizer").attr("state_dict")();
    nb::object scheduler = self.attr("scheduler");
    checkpoint["scheduler_state_dict"] = truthy(scheduler) ? scheduler.attr("state_dict")() : nb::none();
    checkpoint["scaler_state_dict"] = self.attr("scaler").attr("state_dict")();
    checkpoint["best_metric"] = self.attr("best_metric");
    checkpoint["training_history"] = self.attr("training_history");
    checkpoint["config"] = self.attr("config");

    // Write beside the final file and rename over it, so that a save that fails or is killed
    // midway never leaves a truncated checkpoint under the final name.
    nb::object os = globals["os"];
    nb::object parent = checkpoint_path.attr("parent");
    std::string tmp_name = "." + ql::str(checkpoint_path.attr("name")) + "." +
                           ql::str(os.attr("getpid")()) + ".tmp";
    nb::object tmp_path = truediv(parent, nb::str(tmp_name.c_str()));
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
    sync_directory(ql::str(parent));

    if (use_wandb(self)) globals["wandb"].attr("save")(nb::str(checkpoint_path));
    return nb::none();
}

// checkpoint.get(key, fallback) for the loaded object; anything but a dict has no keys.
nb::object checkpoint_get(nb::handle checkpoint, const char *key, nb::handle fallback) {
    if (!PyDict_Check(checkpoint.ptr())) return nb::borrow(fallback);
    return checkpoint.attr("get")(key, fallback);
}

// Runs one restore step; an Exception is printed as a warning and recorded as a failure.
template <typename F>
void guarded(nb::dict &status, const char *name, const char *what, F &&step) {
    try {
        step();
        status[name] = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        ql::print(std::string("Warning: Failed to load ") + what + " state: " + ql::str(e.value()));
        status[name] = false;
    }
}

nb::object load_checkpoint(const ql::Args &a) {
    nb::handle self = a.self(), filename = a["filename"];
    nb::object checkpoint_path = truediv(self.attr("checkpoint_dir"), filename);
    if (!truthy(checkpoint_path.attr("exists")()))
        ql::raise(PyExc_FileNotFoundError, "No checkpoint found at " + ql::str(checkpoint_path));

    nb::object checkpoint;
    try {
        checkpoint = globals["torch"].attr("load")(checkpoint_path, nb::arg("map_location") = self.attr("device"),
                                                  nb::arg("weights_only") = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string message = "Failed to load checkpoint file: " + ql::str(e.value());
        PyObject *error = ql::check(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
        PyException_SetContext(error, Py_NewRef(e.value().ptr()));
        PyErr_Restore(Py_NewRef(PyExc_RuntimeError), error, nullptr);
        throw nb::python_error();
    }

    nb::dict status;
    guarded(status, "model", "model", [&] {
        self.attr("model").attr("load_state_dict")(checkpoint["model_state_dict"]);
    });
    guarded(status, "optimizer", "optimizer", [&] {
        self.attr("optimizer").attr("load_state_dict")(checkpoint["optimizer_state_dict"]);
    });
    if (truthy(checkpoint_get(checkpoint, "scheduler_state_dict", nb::none())) &&
        truthy(self.attr("scheduler"))) {
        guarded(status, "scheduler", "scheduler", [&] {
            self.attr("scheduler").attr("load_state_dict")(checkpoint["scheduler_state_dict"]);
        });
    }
    guarded(status, "scaler", "scaler", [&] {
        self.attr("scaler").attr("load_state_dict")(checkpoint["scaler_state_dict"]);
    });
    guarded(status, "training_state", "training", [&] {
        self.attr("current_epoch") = checkpoint["epoch"];
        self.attr("best_metric") = checkpoint["best_metric"];
        self.attr("training_history") = checkpoint["training_history"];
    });

    std::string succeeded, failed;
    for (auto [name, ok] : status) {
        std::string &list = truthy(ok) ? succeeded : failed;
        if (!list.empty()) list += ", ";
        list += ql::str(name);
    }
    if (succeeded.empty()) ql::raise_runtime_error("Failed to load any checkpoint components");
    ql::print("Checkpoint loaded from epoch " + ql::str(checkpoint_get(checkpoint, "epoch", nb::str("unknown"))));
    ql::print("Successfully loaded: " + succeeded);
    if (!failed.empty()) ql::print("Failed to load: " + failed);
    return nb::none();
}

nb::object cleanup(const ql::Args &a) {
    nb::handle self = a.self();
    if (use_wandb(self)) {
        nb::object run = nb::steal(PyObject_GetAttrString(self.ptr(), "wandb_run"));
        if (!run.is_valid()) PyErr_Clear();
        if (run.is_valid() && truthy(run)) globals["wandb"].attr("finish")();
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// Metrics, attention plots, generated text
// ---------------------------------------------------------------------------

nb::object log_metrics(const ql::Args &a) {
    nb::handle self = a.self(), metrics = a["metrics"], step = a["step"];
    static nb::handle sorted_fn = ql::keep(ql::import_attr("builtins", "sorted"));

    auto learning_rate = [&] { return self.attr("optimizer").attr("param_groups")[0]["lr"]; };
    nb::dict entry;
    entry["epoch"] = step;
    ql::check(PyDict_Update(entry.ptr(), metrics.ptr()) == 0);
    entry["lr"] = learning_rate();
    self.attr("training_history").attr("append")(entry);

    if (use_wandb(self)) {
        nb::dict payload;
        for (auto [split, split_metrics] : nb::borrow<nb::dict>(metrics)) {
            std::string prefix = ql::str(split) + "/";
            nb::object items = split_metrics.attr("items")();
            for (nb::handle pair : items) {
                auto kv = ql::unpack(pair, 2);
                payload[nb::str((prefix + ql::str(kv[0])).c_str())] = kv[1];
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
            auto kv = ql::unpack(split_metrics[j], 2);
            ql::tree_line({last_split, j + 1 == num_metrics}, ql::str(kv[0]) + ": " + ql::format(kv[1], ".4f"));
        }
    }
    ql::tree_line({true}, "TRAINING:");
    ql::tree_line({true, true}, "learning_rate: " + ql::format(learning_rate(), ".6f"));
    return nb::none();
}

nb::object save_attention_plot(const ql::Args &a) {
    nb::handle self = a.self(), epoch = a["epoch"], attn_type = a["attn_type"];
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

nb::object save_generated_text(const ql::Args &a) {
    nb::handle self = a.self(), text = a["text"], suffix = a["suffix"];
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

nb::object do_nothing(const ql::Args &) { return nb::none(); }

const char *kClassDoc =
    "\n"
    "    Base trainer shared by every trainer of the library.\n"
    "\n"
    "    Responsibilities:\n"
    "    1. Experiment tracking and logging (with wandb support)\n"
    "    2. Checkpoint management\n"
    "    3. Metric logging and visualisation\n"
    "    4. Directory structure management\n"
    "    5. Device handling\n"
    "\n"
    "    Directory structure:\n"
    "    expts/\n"
    "    \u2514\u2500\u2500 {run_name}/\n"
    "        \u251c\u2500\u2500 config.yaml\n"
    "        \u251c\u2500\u2500 model_arch.txt\n"
    "        \u251c\u2500\u2500 checkpoints/\n"
    "        \u2502   \u251c\u2500\u2500 checkpoint-best-metric-model.pth\n"
    "        \u2502   \u2514\u2500\u2500 checkpoint-last-epoch-model.pth\n"
    "        \u251c\u2500\u2500 attn/\n"
    "        \u2502   \u2514\u2500\u2500 {attention visualisations}\n"
    "        \u2514\u2500\u2500 text/\n"
    "            \u2514\u2500\u2500 {generated text outputs}\n"
    "\n"
    "    Subclasses define _train_epoch, _validate_epoch, train and evaluate.\n"
    "    ";

}  // namespace

QL_MODULE(tressik, m) {
    m.doc() = "Abstract base trainer: experiment directory, checkpoints, metric logging and wandb runs.";
    globals.bind(m);

    m.attr("wandb") = ql::import("wandb");
    m.attr("json") = ql::import("json");
    m.attr("Path") = ql::import_attr("pathlib", "Path");
    m.attr("torch") = ql::import("torch");
    m.attr("plt") = ql::import("matplotlib.pyplot");
    m.attr("sns") = ql::import("seaborn");
    m.attr("nn") = ql::import("torch.nn");
    m.attr("VantTokenizer") = ql::import_attr("quillane.data.tokenizer", "VantTokenizer");
    m.attr("ostravel") = ql::import_attr("quillane.utils", "ostravel");
    nb::object model_package = ql::import("quillane.model");
    m.attr("DecoderOnlyTransformer") = model_package.attr("DecoderOnlyTransformer");
    m.attr("EncoderDecoderTransformer") = model_package.attr("EncoderDecoderTransformer");
    m.attr("os") = ql::import("os");
    m.attr("shutil") = ql::import("shutil");
    nb::object abc = ql::import("abc");
    m.attr("ABC") = abc.attr("ABC");
    m.attr("abstractmethod") = abc.attr("abstractmethod");
    globals.from("typing", {"Dict", "Any", "Optional", "Tuple"});
    m.attr("summary") = ql::import_attr("torchinfo", "summary");

    ql::make_class(
        m, "BaseTrainer", {abc.attr("ABC")}, kClassDoc,
        {ql::method("__init__(self, model, tokenizer, config: dict, run_name: str, config_file: str, device=None)",
                    trainer_init,
                    "Chooses the device, moves the model there, creates the gradient scaler and sets up\n"
                    "the experiment directory (and the wandb run when training.use_wandb is on)."),
         ql::abstract_method("_train_epoch(self, dataloader)", do_nothing,
                             "Train for one epoch.\n\n"
                             "Returns:\n"
                             "    Tuple[Dict[str, float], Dict[str, torch.Tensor]]: the epoch's metrics and\n"
                             "    attention weights."),
         ql::abstract_method("_validate_epoch(self, dataloader)", do_nothing,
                             "Validate for one epoch.\n\nReturns:\n    Dict[str, float]: validation metrics."),
         ql::abstract_method("train(self, train_dataloader, val_dataloader)", do_nothing,
                             "Full training loop."),
         ql::abstract_method("evaluate(self, dataloader)", do_nothing,
                             "Evaluate the model on a dataset.\n\nReturns:\n    Dict[str, float]: metrics."),
         ql::method("_init_experiment(self, run_name: str, config_file: str)", init_experiment,
                    "Create expts/<run_name>/ with config.yaml, model_arch.txt, checkpoints/, attn/ and\n"
                    "text/, start or resume the wandb run when enabled, and return\n"
                    "(expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path)."),
         ql::method("save_checkpoint(self, filename: str)", save_checkpoint,
                    "Save model, optimizer, scheduler, scaler and training state to\n"
                    "checkpoint_dir / filename. The file is replaced atomically."),
         ql::method("load_checkpoint(self, filename: str)", load_checkpoint,
                    "Restore each component saved by save_checkpoint independently; components that\n"
                    "cannot be restored are reported and skipped."),
         ql::method("cleanup(self)", cleanup, "Finish the wandb run, if any."),
         ql::method("_log_metrics(self, metrics: Dict[str, Dict[str, float]], step: int)", log_metrics,
                    "Append the metrics to training_history, log them to wandb and print them as a tree.\n\n"
                    "Args:\n"
                    "    metrics: split name (train, val, test) -> metric name -> value.\n"
                    "    step: the epoch number."),
         ql::method("_save_attention_plot(self, attn_weights, epoch: int, attn_type: str = 'self')",
                    save_attention_plot,
                    "Save a 2-D attention matrix as a heat map attn_dir/<attn_type>_attention_epoch<epoch>.png."),
         ql::method("_save_generated_text(self, text, suffix: str)", save_generated_text,
                    "Write text (a list of records or a dict) as JSON to text_dir/text_<suffix>.json.")});
}
