// Inference with a trained speech recogniser: a Recognizer rebuilds the model, its tokenizer and
// its feature settings from an experiment folder (the records the trainers write beside the
// checkpoints) and turns audio files, feature files or waveforms into text.
//
// Audio is decoded and turned into filter banks by the same functions as `quillane prepare`
// (quillane.data.prepare), features are normalised as the speech dataset normalises them, and
// batches decode through the trainer's own recognition of a batch (trainers/recognition.hpp),
// so a model recognises the same audio the same way here and in ASRTrainer.recognize.
#include "context.hpp"
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include "trainers/recognition.hpp"

#include <string>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::get;
using ql::truthy;

ql::ModuleGlobals globals;

// Filter banks span up to 8 kHz for audio at 16 kHz and above (quillane prepare caps the mel range
// there); audio sampled more slowly lacks part of that band.
constexpr double kLowestSampleRate = 16000.0;

nb::object path_of(nb::handle p) { return globals["Path"](p); }

bool is_path(nb::handle source) {
    return PyUnicode_Check(source.ptr()) || ql::is_instance(source, globals["os"].attr("PathLike"));
}

nb::object choose_device(nb::handle device) {
    if (!device.is_none()) return nb::borrow(device);
    return nb::str(truthy(globals["torch"].attr("cuda").attr("is_available")()) ? "cuda" : "cpu");
}

// ---------------------------------------------------------------------------
// Experiment files
// ---------------------------------------------------------------------------

nb::object experiment_folder(nb::handle path) {
    nb::object folder = path_of(path);
    if (!truthy(folder.attr("is_dir")()))
        ql::raise(PyExc_FileNotFoundError, "No experiment folder at " + ql::str(folder));
    return folder;
}

// folder/name, which the trainers write; a missing one is named with what it should hold.
nb::object experiment_file(nb::handle folder, const char *name, const char *holds) {
    nb::object file = folder / nb::str(name);
    if (!truthy(file.attr("is_file")()))
        ql::raise(PyExc_FileNotFoundError, ql::str(file) + " is missing: it holds " + holds +
                                               ", which the trainers write into the experiment folder");
    return file;
}

// The JSON object in `file`; anything else is a ValueError naming the file.
nb::dict read_json_object(nb::handle file) {
    nb::object value;
    try {
        value = globals["json"].attr("loads")(file.attr("read_text")(nb::arg("encoding") = "utf-8"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // JSON and Unicode errors
        ql::raise_value_error(ql::str(file) + " is not valid JSON: " + ql::str(e.value()));
    }
    if (!PyDict_Check(value.ptr())) ql::raise_value_error(ql::str(file) + " does not hold a JSON object");
    return nb::borrow<nb::dict>(value);
}

// The checkpoint `name` stands for: best, last, a file name in the experiment's checkpoints
// folder, or a path.
nb::object checkpoint_file(nb::handle folder, nb::handle name) {
    std::string file = ql::str(name);
    if (file == "best") file = "checkpoint-best-metric-model.pth";
    if (file == "last") file = "checkpoint-last-epoch-model.pth";
    nb::object in_folder = folder / nb::str("checkpoints") / nb::str(file.c_str());
    if (truthy(in_folder.attr("is_file")())) return in_folder;
    nb::object given = path_of(name);
    if (truthy(given.attr("is_file")())) return given;
    ql::raise(PyExc_FileNotFoundError, "No checkpoint " + ql::repr(name) + ": " + ql::str(in_folder) +
                                           " does not exist (best, last, a file name in the checkpoints folder, "
                                           "or a path)");
}

// The model's weights from a trainer's checkpoint. Weights of another architecture are refused:
// inference must not go on with the model's random initial weights.
void load_weights(nb::handle model, nb::handle checkpoint, nb::handle model_file, nb::handle device) {
    nb::object saved;
    try {
        saved = globals["torch"].attr("load")(checkpoint, nb::arg("map_location") = device, nb::arg("weights_only") = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        ql::raise_value_error("Cannot read checkpoint " + ql::str(checkpoint) + ": " + ql::str(e.value()));
    }
    if (!PyDict_Check(saved.ptr()) || !ql::contains(saved, nb::str("model_state_dict")))
        ql::raise_value_error(ql::str(checkpoint) + " is not a trainer's checkpoint (it has no model_state_dict)");
    try {
        model.attr("load_state_dict")(saved["model_state_dict"]);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        ql::raise_value_error("The weights in " + ql::str(checkpoint) + " do not fit the model that " +
                              ql::str(model_file) + " describes: " + ql::str(e.value()));
    }
}

// The class a model record names (module and qualified name).
nb::object model_class(nb::handle record, nb::handle file) {
    nb::object module = get(record, "module", nb::none()), name = get(record, "class", nb::none());
    if (!PyUnicode_Check(module.ptr()) || !PyUnicode_Check(name.ptr()))
        ql::raise_value_error(ql::str(file) + " names no model class (keys 'module' and 'class')");
    nb::object cls = ql::import(ql::str(module).c_str());
    for (nb::handle part : name.attr("split")(".")) cls = cls.attr(part);
    return cls;
}

const char *const kLoadTokenizerSig = "load_tokenizer(experiment)";
nb::object load_tokenizer(const ql::Args &a) {
    nb::object folder = experiment_folder(a["experiment"]);
    nb::object file = experiment_file(folder, "tokenizer.json", "the tokenizer (its vocabulary or subword model)");
    return globals["VantTokenizer"].attr("load")(nb::str(file));
}

const char *const kLoadModelSig = "load_model(experiment, checkpoint: str = 'best', device: Optional[str] = None)";
nb::object load_model(const ql::Args &a) {
    nb::object folder = experiment_folder(a["experiment"]);
    nb::object model_file = experiment_file(folder, "model.json", "the model's class and constructor arguments");
    nb::dict record = read_json_object(model_file);
    nb::object init_args = get(record, "init_args", nb::none());
    if (!PyDict_Check(init_args.ptr()))
        ql::raise_value_error(ql::str(model_file) + " records no constructor arguments (the model class keeps no "
                              "init_args): build the model yourself and load its weights");
    nb::object cls = model_class(record, model_file);
    nb::object checkpoint = checkpoint_file(folder, a["checkpoint"]);
    nb::object tokenizer = globals["load_tokenizer"](folder);
    nb::object num_classes = get(init_args, "num_classes", nb::none());
    if (!num_classes.is_none() && !num_classes.equal(tokenizer.attr("vocab_size")))
        ql::raise_value_error(ql::str(folder / nb::str("tokenizer.json")) + " has " +
                              ql::str(tokenizer.attr("vocab_size")) + " tokens, but the model of " +
                              ql::str(model_file) + " has " + ql::str(num_classes) + " classes");
    nb::object device = choose_device(a["device"]);
    nb::object model = cls(**nb::borrow<nb::dict>(init_args));
    load_weights(model, checkpoint, model_file, device);
    return model.attr("to")(device).attr("eval")();
}

// ---------------------------------------------------------------------------
// Features
// ---------------------------------------------------------------------------

// (num_feats, frames) filter banks of a waveform, made as quillane prepare makes them.
nb::object audio_features(nb::handle self, nb::handle samples, double rate, const std::string &label) {
    if (!(rate >= kLowestSampleRate))
        ql::raise_value_error(label + " is sampled at " + ql::format(ql::py_float(rate), "g") +
                              " Hz; the recogniser takes audio at 16 kHz or more (its filter banks span up to "
                              "8 kHz): resample it to 16 kHz first");
    nb::object feats = globals["compute_fbank"](samples, rate, self.attr("num_feats"));
    if (ql::as_long(feats.attr("shape")[1]) == 0)
        ql::raise_value_error(label + " is too short for a single filter-bank frame (25 ms)");
    return feats;
}

// A feature file as quillane prepare writes it: (rows, frames) with at least num_feats rows, of
// which the first num_feats are used, as the speech dataset does.
nb::object feature_file(nb::handle self, nb::handle path) {
    nb::object np = globals["np"];
    nb::object feats;
    try {
        feats = np.attr("load")(path, nb::arg("allow_pickle") = false);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        ql::raise_value_error("Cannot read feature file " + ql::str(path) + ": " + ql::str(e.value()));
    }
    long long rows = ql::as_long(self.attr("num_feats"));
    bool usable = ql::as_long(feats.attr("ndim")) == 2 && ql::as_long(feats.attr("shape")[0]) >= rows &&
                  ql::as_long(feats.attr("shape")[1]) > 0 && truthy(np.attr("issubdtype")(feats.attr("dtype"), np.attr("floating")));
    if (!usable)
        ql::raise_value_error(ql::str(path) + " is not a feature file of at least " + std::to_string(rows) +
                              " rows of float frames (shape " + ql::str(feats.attr("shape")) + ")");
    nb::object first = feats[nb::slice(nb::none(), nb::int_(rows), nb::none())];
    return np.attr("ascontiguousarray")(first, nb::arg("dtype") = "float32");
}

// (samples, rate) of a waveform given as an array or tensor: 1-D mono or 2-D (frames, channels).
nb::object waveform_samples(nb::handle samples) {
    nb::object values = nb::borrow(samples);
    if (ql::is_instance(values, globals["torch"].attr("Tensor"))) values = values.attr("detach")().attr("cpu")().attr("numpy")();
    return globals["np"].attr("asarray")(values, nb::arg("dtype") = "float32");
}

struct Input {
    nb::object utterance, source, feats;  // name, what it was, (num_feats, frames) array
};

// One input of transcribe: a path (audio, or .npy features), a (samples, rate) pair, or samples
// at `sample_rate`.
Input read_input(nb::handle self, nb::handle source, nb::handle sample_rate, size_t position) {
    if (is_path(source)) {
        nb::object path = path_of(source);
        if (!truthy(path.attr("is_file")())) ql::raise(PyExc_FileNotFoundError, "No such file: " + ql::str(path));
        nb::object label = nb::str(path);
        if (ql::str(path.attr("suffix").attr("lower")()) == ".npy")
            return {path.attr("stem"), label, feature_file(self, path)};
        auto [samples, rate] = ql::unpack<2>(globals["read_audio"](label));
        return {path.attr("stem"), label, audio_features(self, samples, ql::as_double(rate), ql::str(path))};
    }
    std::string name = "waveform " + std::to_string(position);
    nb::object samples = nb::borrow(source), rate = nb::borrow(sample_rate);
    if (PyTuple_Check(source.ptr())) {
        if (nb::len(source) != 2) ql::raise_type_error("a waveform given as a tuple must be (samples, sample_rate)");
        samples = source[0];
        rate = source[1];
    }
    if (rate.is_none())
        ql::raise_value_error(name + " comes without its sample rate: pass (samples, sample_rate) or sample_rate=");
    if (!ql::is_instance(samples, globals["torch"].attr("Tensor")) && !ql::is_instance(samples, globals["np"].attr("ndarray")))
        ql::raise_type_error("inputs must be file paths, (samples, sample_rate) pairs or sample arrays, got " +
                             ql::type_name(source));
    nb::object label = nb::str(name.c_str());
    return {label, label, audio_features(self, waveform_samples(samples), ql::as_double(rate), name)};
}

// (frames, num_feats) float32 tensor of (num_feats, frames) features, normalised as the speech
// dataset normalises them.
nb::object normalised(nb::handle self, nb::handle feats) {
    nb::object torch = globals["torch"];
    nb::object x = torch.attr("from_numpy")(feats);
    std::string norm = nb::cast<std::string>(self.attr("norm"));
    if (norm == "global_mvn") {
        nb::object mean = self.attr("global_mean"), std = self.attr("global_std");
        x = (x - mean.attr("unsqueeze")(1)) / (std.attr("unsqueeze")(1) + nb::float_(1e-8));
    } else if (norm == "cepstral") {
        nb::object mu = x.attr("mean")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        nb::object sigma = x.attr("std")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        x = (x - mu) / (sigma + nb::float_(1e-8));
    }
    return x.attr("transpose")(0, 1);
}

// ---------------------------------------------------------------------------
// Recognizer
// ---------------------------------------------------------------------------

const char *const kNorms[] = {"global_mvn", "cepstral", "none"};

// The statistics as 1-D tensors of num_feats values, or None when the setting does not use them.
nb::object statistics(nb::handle value, const char *name, long long num_feats, bool used) {
    if (!used) return nb::none();
    if (value.is_none()) ql::raise_value_error(std::string(name) + " is required when norm is 'global_mvn'");
    nb::object tensor = globals["torch"].attr("as_tensor")(value).attr("detach")().attr("cpu")();
    if (ql::as_long(tensor.attr("dim")()) != 1 || ql::as_long(tensor.attr("numel")()) != num_feats)
        ql::raise_value_error(std::string(name) + " must hold num_feats=" + std::to_string(num_feats) +
                              " values, got shape " + ql::str(tensor.attr("shape")));
    return tensor;
}

const char *const kInitSig =
    "__init__(self, model, tokenizer, *, num_feats: int = 80, norm: str = 'global_mvn', global_mean=None, "
    "global_std=None, max_length: Optional[int] = None, device: Optional[str] = None)";
nb::object recognizer_init(const ql::Args &a) {
    nb::handle self = a.self();
    long long num_feats = a.to_int("num_feats");
    if (num_feats < 1) ql::raise_value_error("num_feats must be positive, got " + std::to_string(num_feats));
    std::string norm = a.to_str("norm");
    bool known = false;
    for (const char *name : kNorms) known = known || norm == name;
    if (!known) ql::raise_value_error("norm must be 'global_mvn', 'cepstral' or 'none', not " + ql::repr(a["norm"]));
    nb::object max_length = a.is_none("max_length") ? nb::getattr(a["model"], "max_len", nb::none()) : nb::borrow(a["max_length"]);
    if (!PyLong_Check(max_length.ptr()) || ql::as_long(max_length) < 1)
        ql::raise_value_error("max_length must be a positive int (the model has no max_len to default to), got " +
                              ql::repr(max_length));
    bool global = norm == "global_mvn";
    self.attr("global_mean") = statistics(a["global_mean"], "global_mean", num_feats, global);
    self.attr("global_std") = statistics(a["global_std"], "global_std", num_feats, global);
    nb::object device = choose_device(a["device"]);
    self.attr("device") = device;
    self.attr("model") = a["model"].attr("to")(device).attr("eval")();
    self.attr("tokenizer") = a["tokenizer"];
    self.attr("num_feats") = num_feats;
    self.attr("norm") = a["norm"];
    self.attr("max_length") = max_length;
    self.attr("experiment") = nb::none();
    self.attr("checkpoint") = nb::none();
    self.attr("_language_models") = nb::dict();
    return nb::none();
}

// The statistics of a feature record, in the dtype they were computed in.
nb::object recorded_statistics(nb::handle record, const char *key) {
    nb::object values = get(record, key, nb::none());
    if (values.is_none()) return values;
    nb::object dtype = get(record, "dtype", nb::none());
    nb::object torch = globals["torch"];
    return torch.attr("tensor")(values, nb::arg("dtype") = torch.attr(dtype.is_none() ? nb::object(nb::str("float32")) : dtype));
}

const char *const kFromExperimentSig =
    "from_experiment(cls, path, checkpoint: str = 'best', device: Optional[str] = None) -> 'Recognizer'";
nb::object from_experiment(const ql::Args &a) {
    nb::object folder = experiment_folder(a["path"]);
    nb::object model = globals["load_model"](folder, a["checkpoint"], a["device"]);
    if (!ql::is_instance(model, globals["EncoderDecoderTransformer"]))
        ql::raise_value_error(ql::str(folder / nb::str("model.json")) + " describes a " + ql::type_name(model) +
                              ", not a speech recogniser (EncoderDecoderTransformer)");
    nb::object features_file = experiment_file(folder, "features.json",
                                               "the feature settings and statistics (written when training starts)");
    nb::dict features = read_json_object(features_file);
    nb::object num_feats = get(features, "num_feats", nb::none()), norm = get(features, "norm", nb::none());
    nb::object input_dim = model.attr("init_args")["input_dim"];
    if (!num_feats.equal(input_dim))
        ql::raise_value_error(ql::str(features_file) + " gives num_feats " + ql::repr(num_feats) +
                              ", but the model takes " + ql::str(input_dim) + " features");
    nb::object mean = recorded_statistics(features, "global_mean"), std = recorded_statistics(features, "global_std");
    if (norm.equal(nb::str("global_mvn")) && (mean.is_none() || std.is_none()))
        ql::raise_value_error(ql::str(features_file) + " has no global statistics, which norm 'global_mvn' needs");
    nb::object recognizer;
    try {
        recognizer = a.self()(model, globals["load_tokenizer"](folder), nb::arg("num_feats") = num_feats,
                              nb::arg("norm") = norm, nb::arg("global_mean") = mean, nb::arg("global_std") = std,
                              nb::arg("max_length") = get(features, "text_max_len", nb::none()),
                              nb::arg("device") = a["device"]);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        ql::raise_value_error(ql::str(features_file) + ": " + ql::str(e.value()));
    }
    recognizer.attr("experiment") = folder;
    recognizer.attr("checkpoint") = checkpoint_file(folder, a["checkpoint"]);
    return recognizer;
}

const char *const kFeaturesSig = "features(self, source, sample_rate: Optional[float] = None)";
nb::object recognizer_features(const ql::Args &a) {
    nb::handle self = a.self();
    return normalised(self, read_input(self, a["source"], a["sample_rate"], 0).feats);
}

// The fusion language model: a model, or an experiment folder whose tokenizer must be the
// recogniser's (loaded once per folder).
nb::object language_model(nb::handle self, nb::handle lm) {
    if (lm.is_none() || !is_path(lm)) return nb::borrow(lm);
    nb::object folder = experiment_folder(lm);
    nb::object key = nb::str(folder.attr("resolve")());
    nb::object cache = self.attr("_language_models");
    if (ql::contains(cache, key)) return cache[key];
    nb::object theirs = globals["load_tokenizer"](folder), ours = self.attr("tokenizer");
    auto proto = [](nb::handle tokenizer) {
        nb::object sp = nb::getattr(tokenizer, "_sp", nb::none());
        return sp.is_none() ? nb::object(nb::none()) : sp.attr("serialized_model_proto")();
    };
    if (!theirs.attr("vocab_size").equal(ours.attr("vocab_size")) || !proto(theirs).equal(proto(ours)))
        ql::raise_value_error("The language model's tokenizer " + ql::str(folder / nb::str("tokenizer.json")) +
                              " differs from the recogniser's: fusion needs the same vocabulary");
    nb::object model = globals["load_model"](folder, nb::arg("device") = self.attr("device"));
    cache[key] = model;
    return model;
}

// The inputs as a list: one path or waveform pair stands for a list of one.
nb::list input_list(nb::handle inputs) {
    if (is_path(inputs) || PyTuple_Check(inputs.ptr()) || ql::is_instance(inputs, globals["np"].attr("ndarray")) ||
        ql::is_instance(inputs, globals["torch"].attr("Tensor"))) {
        nb::list one;
        one.append(inputs);
        return one;
    }
    return nb::list(inputs);
}

const char *const kTranscribeSig =
    "transcribe(self, inputs, *, beam_width: int = 1, lm=None, lm_weight: float = 0.0, ctc_weight: float = 0.0, "
    "batch_size: int = 8, sample_rate: Optional[float] = None) -> List[Dict[str, Any]]";
nb::object transcribe(const ql::Args &a) {
    nb::handle self = a.self();
    long long batch_size = a.to_int("batch_size");
    if (batch_size < 1) ql::raise_value_error("batch_size must be positive, got " + std::to_string(batch_size));
    nb::dict config;
    config["num_batches"] = nb::none();
    config["beam_width"] = a["beam_width"];
    config["temperature"] = 1.0;
    config["repeat_penalty"] = 1.0;
    config["lm_weight"] = a["lm_weight"];
    config["ctc_weight"] = a["ctc_weight"];
    recognition::check_beam_width(config);

    // every input is read before anything is decoded, so a bad one fails fast
    std::vector<Input> inputs;
    for (nb::handle source : input_list(a["inputs"]))
        inputs.push_back(read_input(self, source, a["sample_rate"], inputs.size()));
    nb::object lm = language_model(self, a["lm"]);
    config["lm_model"] = lm;
    nb::object device = self.attr("device"), torch = globals["torch"];
    if (!lm.is_none()) lm.attr("to")(device).attr("eval")();

    nb::object model = self.attr("model"), tokenizer = self.attr("tokenizer");
    model.attr("eval")();
    nb::object generator = globals["SequenceGenerator"](nb::arg("score_fn") = nb::none(), nb::arg("tokenizer") = tokenizer,
                                                        nb::arg("max_length") = self.attr("max_length"),
                                                        nb::arg("device") = device);
    recognition::Decoder decoder{torch, globals["FusedScorer"], model, tokenizer, generator, device};
    nb::list results;
    ql::ContextGuard inference(torch.attr("inference_mode")());
    for (size_t start = 0; start < inputs.size(); start += (size_t)batch_size) {
        size_t end = std::min(inputs.size(), start + (size_t)batch_size);
        nb::list feats, lengths;
        for (size_t i = start; i < end; ++i) {
            nb::object x = normalised(self, inputs[i].feats);
            lengths.append(x.attr("size")(0));
            feats.append(x);
        }
        nb::object batch = globals["pad_sequence"](feats, nb::arg("batch_first") = true, nb::arg("padding_value") = 0.0);
        nb::object feat_lengths = torch.attr("tensor")(lengths, nb::arg("dtype") = torch.attr("long"));
        auto [seqs, scores] = recognition::decode_batch(decoder, batch.attr("to")(device), feat_lengths.attr("to")(device), config);
        size_t i = start;
        for (nb::handle ids : generator.attr("post_process_sequence")(seqs, tokenizer)) {
            nb::dict result;
            result["utterance"] = inputs[i].utterance;
            result["source"] = inputs[i].source;
            result["text"] = recognition::text_of(tokenizer, ids);
            result["score"] = scores[ql::py_int((long long)(i - start))].attr("item")();
            results.append(result);
            ++i;
        }
    }
    inference.close();
    return results;
}

const char *const kClassDoc = R"doc(Speech recognition with a trained model.

    recognizer = Recognizer.from_experiment("expts/my-run")
    for r in recognizer.transcribe(["hello.wav", "data/synth/test-clean/fbank/synth-001990.npy"]):
        print(r["utterance"], r["text"])

Inputs are audio files (any format soundfile reads), feature files (.npy, as quillane prepare
writes them) or waveforms, as (samples, sample_rate) pairs or sample arrays with sample_rate=.
Audio becomes filter banks exactly as quillane prepare makes them: several channels are averaged
into one, audio above 16 kHz keeps the band up to 8 kHz, and audio sampled below 16 kHz is
refused (resample it first). Features are normalised with the statistics of the training
partition, as the speech dataset does.)doc";

const char *const kFromExperimentDoc = R"doc(The recogniser an experiment folder holds: the model rebuilt from model.json with the
weights of the checkpoint (best, last, a file name in checkpoints/ or a path), the tokenizer of
tokenizer.json and the feature settings of features.json. A missing or inconsistent file raises
an error naming it; weights that do not fit the model raise ValueError.)doc";

const char *const kTranscribeDoc = R"doc(Recognise each input, in batches of batch_size.

Args:
    inputs: a list of file paths, (samples, sample_rate) pairs or sample arrays (frames,) or
        (frames, channels); one path or pair alone is a list of one.
    beam_width: 1 for greedy search, more for beam search.
    lm: a language model for shallow fusion: a DecoderOnlyTransformer, or the folder of a
        language-model experiment with the same tokenizer.
    lm_weight: weight of the language model's scores.
    ctc_weight: weight of the CTC prefix scores in joint CTC/attention decoding (0: off).
    sample_rate: the rate of sample arrays given without one.

Returns:
    one dict per input, in order: utterance (the file's stem), source, text, score.)doc";

}  // namespace

QL_MODULE(inference, m) {
    globals.bind(m);
    globals.set("os", ql::import("os"));
    globals.set("json", ql::import("json"));
    globals.from("pathlib", {"Path"});
    globals.from("typing", {"Any", "Dict", "List", "Optional"});
    globals.set("np", ql::import("numpy"));
    globals.set("torch", ql::import("torch"));
    globals.from("torch.nn.utils.rnn", {"pad_sequence"});
    globals.from("quillane.data.prepare", {"compute_fbank", "read_audio"});
    globals.from("quillane.data.tokenizer", {"VantTokenizer"});
    globals.from("quillane.model", {"EncoderDecoderTransformer"});
    globals.from("quillane.decoding.sequence_generator", {"SequenceGenerator"});
    globals.from("quillane.decoding.fusion", {"FusedScorer"});
    m.doc() = "Speech recognition with a trained model, rebuilt from its experiment folder.";

    ql::def(m, kLoadTokenizerSig, load_tokenizer, "The tokenizer an experiment folder records (tokenizer.json).");
    ql::def(m, kLoadModelSig, load_model,
            "The model an experiment folder records (model.json: class and constructor arguments) with the\n"
            "weights of a checkpoint (best, last, a file name in checkpoints/ or a path), in evaluation mode\n"
            "on the device (default: cuda when available, else cpu).");
    ql::make_class(m, "Recognizer", {ql::import_attr("builtins", "object")}, kClassDoc,
                   {ql::method(kInitSig, recognizer_init,
                               "A recogniser of `model` (an EncoderDecoderTransformer) with its tokenizer and feature\n"
                               "settings; max_length bounds the output in tokens (default: the model's max_len)."),
                    ql::class_method(kFromExperimentSig, from_experiment, kFromExperimentDoc),
                    ql::method(kFeaturesSig, recognizer_features,
                               "The normalised (frames, num_feats) features the model reads for one input."),
                    ql::method(kTranscribeSig, transcribe, kTranscribeDoc)});
}
