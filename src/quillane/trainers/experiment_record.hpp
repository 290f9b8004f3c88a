// The experiment folder as a record of the run, beside the files every trainer writes: what
// inference needs to rebuild the model (its class and constructor arguments, the tokenizer, the
// feature settings and statistics), the metrics of every epoch, the console output, and the
// utterance names of recognised text.
#pragma once

#include "context.hpp"
#include "files.hpp"
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace experiment_record {
namespace nb = nanobind;

// A temporary beside `path`, of this process alone (processes of one run may write the same file).
inline nb::object temporary_for(nb::handle path) {
    std::string name = "." + ql::str(path.attr("name")) + "." + ql::str(ql::import("os").attr("getpid")()) + ".tmp";
    return path.attr("with_name")(nb::str(name.c_str()));
}

// Replaces `path` (a pathlib.Path) with `text` (UTF-8) in one step: a reader never sees half a file.
inline void write_text(nb::handle path, nb::handle text) {
    ql::write_durably(ql::str(path), nb::cast<std::string>(text));
}

// `value` as indented JSON; what JSON cannot hold is written as its text.
inline nb::object json_text(nb::handle value) {
    static nb::handle str_type = ql::keep(ql::import_attr("builtins", "str"));
    return ql::import("json").attr("dumps")(value, nb::arg("indent") = 2, nb::arg("default") = str_type) +
           nb::str("\n");
}

inline void write_json(nb::handle path, nb::handle value) { write_text(path, json_text(value)); }

// Tees the console (sys.stdout) into the experiment's console.log for as long as it lives, through
// the trainer's _console_log(); close() ends it on the normal path.
class ConsoleLog {
public:
    explicit ConsoleLog(nb::handle trainer) : guard_(trainer.attr("_console_log")()) {}
    void close() { guard_.close(); }

private:
    ql::ContextGuard guard_;
};

// The name of each utterance a loader yields, in order: the stems of its dataset's feature files,
// when the loader reads the dataset front to back; an empty list when it does not (a shuffled or
// bucketed order cannot be told from the batches).
inline nb::list utterance_names(nb::handle loader) {
    nb::object data = ql::import("torch.utils.data");
    nb::object dataset = nb::getattr(loader, "dataset", nb::none());
    nb::object files = nb::getattr(dataset, "fbank_files", nb::none());
    nb::object sampler = nb::getattr(loader, "sampler", nb::none());
    nb::object batch_sampler = nb::getattr(loader, "batch_sampler", nb::none());
    bool in_order = ql::is_instance(sampler, data.attr("SequentialSampler")) &&
                    (batch_sampler.is_none() || batch_sampler.type().is(data.attr("BatchSampler")));
    nb::list names;
    if (!in_order || files.is_none()) return names;
    nb::object path_type = ql::import_attr("pathlib", "Path");
    for (nb::handle file : files) names.append(path_type(file).attr("stem"));
    return names;
}

// Records with each utterance's name first, or an empty list when the names are not known.
inline nb::list named_records(nb::handle loader, nb::handle records) {
    nb::list names = utterance_names(loader), named;
    if (nb::len(names) < nb::len(records)) return named;
    size_t i = 0;
    for (nb::handle record : records) {
        nb::dict entry;
        entry["utterance"] = names[i++];
        ql::check(PyDict_Update(entry.ptr(), record.ptr()) == 0);
        named.append(entry);
    }
    return named;
}

// ---------------------------------------------------------------------------
// Set-up records: what rebuilds the model, and the environment
// ---------------------------------------------------------------------------
//
// `globals` is the trainer module's (torch, os, json, VantTokenizer, Figure).

// model.json: the model's class and its constructor arguments (None for a model that does not
// keep them), from which inference rebuilds the architecture.
inline void write_model_record(nb::handle model, nb::handle expt_root) {
    nb::handle cls = (PyObject *)Py_TYPE(model.ptr());
    nb::dict record;
    record["module"] = cls.attr("__module__");
    record["class"] = cls.attr("__qualname__");
    record["init_args"] = nb::getattr(model, "init_args", nb::none());
    write_json(expt_root / nb::str("model.json"), record);
}

// The installed library's version, or "unknown" for a source tree that is not installed.
inline nb::object library_version() {
    try {
        return ql::import("importlib.metadata").attr("version")("quillane");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::str("unknown");
    }
}

// environment.json: what the run ran on and how it was started.
inline void write_environment_record(const ql::ModuleGlobals &globals, nb::handle trainer, nb::handle expt_root) {
    nb::object torch = globals["torch"], platform = ql::import("platform");
    nb::dict record;
    record["quillane"] = library_version();
    record["torch"] = torch.attr("__version__");
    record["python"] = platform.attr("python_version")();
    record["platform"] = platform.attr("platform")();
    record["threads"] = torch.attr("get_num_threads")();
    record["device"] = ql::str(trainer.attr("device"));
    record["precision"] = trainer.attr("precision");
    record["cuda"] = torch.attr("version").attr("cuda");
    record["command"] = nb::list(ql::import("sys").attr("argv"));
    record["working_directory"] = globals["os"].attr("getcwd")();
    record["started"] =
        ql::import("datetime").attr("datetime").attr("now")().attr("isoformat")(nb::arg("timespec") = "seconds");
    write_json(expt_root / nb::str("environment.json"), record);
}

// The records written when the experiment is set up: model.json, tokenizer.json (the library's
// tokenizer saves itself, vocabulary or subword model) and environment.json.
inline void write_set_up_records(const ql::ModuleGlobals &globals, nb::handle trainer, nb::handle expt_root) {
    write_model_record(trainer.attr("model"), expt_root);
    nb::object tokenizer = trainer.attr("tokenizer");
    if (ql::is_instance(tokenizer, globals["VantTokenizer"]))
        tokenizer.attr("save")(nb::str(expt_root / nb::str("tokenizer.json")));
    write_environment_record(globals, trainer, expt_root);
}

// ---------------------------------------------------------------------------
// Metrics of every epoch
// ---------------------------------------------------------------------------

// metrics.jsonl: one JSON line per entry of training_history, rewritten whole, so that it always
// matches the history (a resumed run continues it, a fresh run in the same folder starts anew).
inline void write_history(const ql::ModuleGlobals &globals, nb::handle trainer) {
    static nb::handle str_type = ql::keep(ql::import_attr("builtins", "str"));
    nb::object dumps = globals["json"].attr("dumps");
    std::string lines;
    for (nb::handle entry : trainer.attr("training_history"))
        lines += ql::str(dumps(entry, nb::arg("default") = str_type)) + "\n";
    write_text(trainer.attr("expt_root") / nb::str("metrics.jsonl"), nb::str(lines.c_str(), lines.size()));
}

// label "split metric" -> ([epochs], [values]) of the history's numeric metrics whose names pass `keep`.
template <typename Keep>
nb::dict history_series(nb::handle history, Keep keep) {
    nb::dict series;
    for (nb::handle entry : history) {
        if (!PyDict_Check(entry.ptr())) continue;
        nb::object epoch = ql::get(entry, "epoch", nb::none());
        for (auto [split, metrics] : nb::borrow<nb::dict>(entry)) {
            if (!PyDict_Check(metrics.ptr())) continue;
            for (auto [name, value] : nb::borrow<nb::dict>(metrics)) {
                bool number = (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) && !PyBool_Check(value.ptr());
                if (!number || !keep(ql::str(name))) continue;
                nb::str label((ql::str(split) + " " + ql::str(name)).c_str());
                if (!series.contains(label)) series[label] = nb::make_tuple(nb::list(), nb::list());
                series[label][0].attr("append")(epoch);
                series[label][1].attr("append")(value);
            }
        }
    }
    return series;
}

inline void plot_panel(nb::handle axes, nb::handle series, const char *ylabel) {
    for (auto [label, points] : nb::borrow<nb::dict>(series))
        axes.attr("plot")(points[0], points[1], nb::arg("marker") = "o", nb::arg("label") = label);
    axes.attr("set_xlabel")("epoch");
    axes.attr("xaxis").attr("set_major_locator")(ql::import_attr("matplotlib.ticker", "MaxNLocator")(nb::arg("integer") = true));
    axes.attr("set_ylabel")(ylabel);
    if (nb::len(series) > 0) axes.attr("legend")(nb::arg("fontsize") = "small");
    axes.attr("grid")(true, nb::arg("alpha") = 0.3);
}

// curves.png: the losses, and the error rates (or, where there are none, the perplexities), per
// epoch. Drawn on a figure of its own, outside pyplot's current-figure state.
inline void plot_curves(const ql::ModuleGlobals &globals, nb::handle trainer) {
    nb::object history = trainer.attr("training_history");
    auto is_loss = [](const std::string &n) { return n.size() >= 4 && n.compare(n.size() - 4, 4, "loss") == 0; };
    nb::dict losses = history_series(history, is_loss);
    nb::dict rates = history_series(history, [](const std::string &n) { return n == "wer" || n == "cer"; });
    const char *rate_label = "error rate (%)";
    if (nb::len(rates) == 0) {
        rates = history_series(history, [](const std::string &n) { return n.rfind("perplexity", 0) == 0; });
        rate_label = "perplexity";
    }
    nb::object figure = globals["Figure"](nb::arg("figsize") = nb::make_tuple(11, 4));
    plot_panel(figure.attr("add_subplot")(1, 2, 1), losses, "loss");
    plot_panel(figure.attr("add_subplot")(1, 2, 2), rates, rate_label);
    figure.attr("tight_layout")();
    nb::object path = trainer.attr("expt_root") / nb::str("curves.png");
    nb::object tmp = temporary_for(path);
    figure.attr("savefig")(tmp, nb::arg("format") = "png", nb::arg("dpi") = 100);
    globals["os"].attr("replace")(tmp, path);
}

// ---------------------------------------------------------------------------
// Feature record of a speech recogniser
// ---------------------------------------------------------------------------

// The (mean, std) the loaders' datasets normalise with (looking through subsets to the dataset
// beneath), or None.
inline nb::object feature_statistics(std::initializer_list<nb::handle> loaders) {
    for (nb::handle loader : loaders) {
        nb::object dataset = nb::getattr(loader, "dataset", nb::none());
        while (!dataset.is_none()) {
            nb::object mean = nb::getattr(dataset, "global_mean", nb::none());
            nb::object std = nb::getattr(dataset, "global_std", nb::none());
            if (!mean.is_none() && !std.is_none()) return nb::make_tuple(mean, std);
            dataset = nb::getattr(dataset, "dataset", nb::none());
        }
    }
    return nb::none();
}

// features.json: how the recogniser's input features are made and normalised (data.num_feats,
// data.norm and, for global normalisation, the training partition's mean and std per feature,
// stored exactly), and the longest transcript in tokens, which bounds recognition's output.
inline void write_feature_record(nb::handle torch, nb::handle trainer, nb::handle train_loader, nb::handle val_loader) {
    nb::object data = trainer.attr("config")["data"];
    nb::dict record;
    record["num_feats"] = ql::get(data, "num_feats", nb::none());
    record["norm"] = ql::get(data, "norm", nb::none());
    record["global_mean"] = nb::none();
    record["global_std"] = nb::none();
    record["dtype"] = nb::none();
    nb::object stats = feature_statistics({train_loader, val_loader});
    if (record["norm"].equal(nb::str("global_mvn")) && !stats.is_none()) {
        nb::object mean = torch.attr("as_tensor")(stats[0]), std = torch.attr("as_tensor")(stats[1]);
        record["global_mean"] = mean.attr("tolist")();
        record["global_std"] = std.attr("tolist")();
        record["dtype"] = nb::str(ql::str(mean.attr("dtype")).c_str()).attr("removeprefix")("torch.");
    }
    record["text_max_len"] = nb::getattr(trainer, "text_max_len", nb::none());
    write_json(trainer.attr("expt_root") / nb::str("features.json"), record);
}

// ---------------------------------------------------------------------------
// The console log
// ---------------------------------------------------------------------------

// The methods of the trainer module's _ConsoleLog: a context manager that, while entered, is
// sys.stdout, writing to the console it replaced and appending to the log file.
namespace console_tee {

inline nb::object stream_of(nb::handle self) {
    return ql::steal_checked(PyObject_GenericGetAttr(self.ptr(), nb::str("stream").ptr()));
}

inline const char *const kInitSig = "__init__(self, path)";
inline nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("path") = a["path"];
    self.attr("stream") = nb::none();
    self.attr("file") = nb::none();
    return nb::none();
}

inline const char *const kEnterSig = "__enter__(self)";
inline nb::object enter(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object sys = ql::import("sys");
    nb::object current = sys.attr("stdout");
    // Already teed into the same file (a trainer operation inside another): nothing more to do.
    if (ql::is_instance(current, self.type()) && current.attr("path").equal(self.attr("path")))
        return nb::borrow(self);
    static nb::handle open = ql::keep(ql::import_attr("builtins", "open"));
    self.attr("file") = open(self.attr("path"), "a", nb::arg("encoding") = "utf-8");
    self.attr("stream") = current;
    sys.attr("stdout") = self;
    return nb::borrow(self);
}

inline const char *const kExitSig = "__exit__(self, *exc)";
inline nb::object exit(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object stream = stream_of(self), file = self.attr("file");
    if (stream.is_none()) return nb::bool_(false);
    nb::object sys = ql::import("sys");
    if (sys.attr("stdout").is(self)) sys.attr("stdout") = stream;
    self.attr("stream") = nb::none();
    self.attr("file") = nb::none();
    file.attr("close")();
    return nb::bool_(false);
}

inline const char *const kWriteSig = "write(self, text)";
inline nb::object write(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object written = stream_of(self).attr("write")(a["text"]);
    nb::object file = self.attr("file");
    if (!file.is_none()) file.attr("write")(a["text"]);
    return written;
}

inline const char *const kFlushSig = "flush(self)";
inline nb::object flush(const ql::Args &a) {
    nb::handle self = a.self();
    stream_of(self).attr("flush")();
    nb::object file = self.attr("file");
    if (!file.is_none()) file.attr("flush")();
    return nb::none();
}

// Everything else (encoding, isatty, fileno, ...) is the console's.
inline const char *const kGetattrSig = "__getattr__(self, name)";
inline nb::object getattr(const ql::Args &a) {
    nb::object stream = stream_of(a.self());
    if (stream.is_none()) ql::raise(PyExc_AttributeError, ql::str(a["name"]));
    return stream.attr(a["name"]);
}

}  // namespace console_tee

}  // namespace experiment_record
