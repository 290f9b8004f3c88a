// The parts a recipe is made of, built from its checked configuration: the tokenizer, the
// corpus texts and datasets with their loaders, the models, the trainers with their optimizer
// and scheduler, and the file holding the effective configuration that a trainer copies into
// its experiment.
#pragma once

#include "context.hpp"
#include "recipe_config.hpp"

#include <string>
#include <vector>

namespace recipe {

inline nb::object path_of(nb::handle root, nb::handle partition) { return globals["Path"](root) / partition; }

inline nb::list sorted_list(nb::handle iterable) {
    nb::list items = nb::steal<nb::list>(ql::check(PySequence_List(iterable.ptr())));
    ql::check(PyList_Sort(items.ptr()) == 0);
    return items;
}

// ---------------------------------------------------------------------------
// The corpus
// ---------------------------------------------------------------------------

// Every partition the recipe reads exists, checked before anything is built or written.
inline void check_partitions(nb::handle data, const std::vector<const char *> &roles, const char *inside) {
    nb::object root = data["root"];
    if (!ql::truthy(globals["Path"](root).attr("is_dir")()))
        raise_config_error("data.root: no corpus folder " + ql::str(root));
    for (const char *role : roles) {
        nb::object name = data["partitions"][role];
        if (name.is_none()) continue;
        nb::object folder = path_of(root, name);
        if (ql::truthy((folder / nb::str(inside)).attr("exists")())) continue;
        nb::list found;
        for (nb::handle entry : sorted_list(globals["Path"](root).attr("iterdir")()))
            if (ql::truthy(entry.attr("is_dir")())) found.append(entry.attr("name"));
        std::string listed = nb::len(found) ? ql::str(nb::str(", ").attr("join")(found)) : "none";
        raise_config_error(std::string("data.partitions.") + role + " is " + ql::repr(name) + ", but " +
                           ql::str(folder / nb::str(inside)) + " does not exist (partitions in " + ql::str(root) +
                           ": " + listed + ")");
    }
}

// The transcripts of one partition: its transcripts.txt ("<utterance> <text>" lines, as corpus
// preparation writes it), else its text/*.npy character arrays in file-name order. None when
// the partition has neither.
inline nb::object partition_texts(nb::handle root, nb::handle partition) {
    nb::object folder = path_of(root, partition);
    nb::object listing = folder / nb::str("transcripts.txt");
    nb::list texts;
    if (ql::truthy(listing.attr("is_file")())) {
        for (nb::handle pair : globals["read_transcripts"](nb::str(listing))) texts.append(pair[1]);
        return texts;
    }
    nb::object text_dir = folder / nb::str("text");
    if (!ql::truthy(text_dir.attr("is_dir")())) return nb::none();
    nb::object np = globals["np"];
    for (nb::handle file : sorted_list(text_dir.attr("glob")("*.npy"))) {
        nb::object chars;
        try {
            chars = np.attr("load")(file, nb::arg("allow_pickle") = false);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
            ql::raise_value_error("transcript file " + ql::str(file) + " is not a character array: " + ql::str(e.value()));
        }
        texts.append(nb::str("").attr("join")(chars.attr("tolist")()));
    }
    return texts;
}

// A file of texts, one per line (blank lines skipped).
inline nb::list text_file_lines(nb::handle file) {
    nb::list texts;
    for (nb::handle line : globals["Path"](file).attr("read_text")(nb::arg("encoding") = "utf-8").attr("splitlines")())
        if (ql::truthy(line.attr("strip")())) texts.append(line);
    return texts;
}

// The setting `section`.<role>_text: a file of texts for the partition playing `role`, or None.
inline nb::object text_file_setting(nb::handle section, const char *role) {
    return ql::get(section, (std::string(role) + "_text").c_str(), nb::none());
}

// The texts a language model trains on for `role` (train, dev or test): the file that
// `section`.<role>_text names, else the transcripts of the corpus partition data.partitions.<role>.
inline nb::object texts_for(nb::handle section, nb::handle data, const char *role) {
    nb::object file = text_file_setting(section, role);
    if (!file.is_none()) return text_file_lines(file);
    nb::object partition = data["partitions"][role];
    if (partition.is_none() || !ql::contains(data, nb::str("root"))) return nb::none();
    return partition_texts(data["root"], partition);
}

// The text files a recipe names exist.
inline void check_text_files(nb::handle section, const std::string &path) {
    for (const char *role : {"train", "dev", "test"}) {
        nb::object file = text_file_setting(section, role);
        if (!file.is_none() && !ql::truthy(globals["Path"](file).attr("is_file")()))
            raise_config_error(join(path, std::string(role) + "_text") + ": no such file " + ql::repr(file));
    }
}

// ---------------------------------------------------------------------------
// Tokenizer, datasets, loaders
// ---------------------------------------------------------------------------

// Characters, or a subword vocabulary trained on `training_texts`.
inline nb::object make_tokenizer(nb::handle config, nb::handle training_texts) {
    nb::object settings = config["tokenizer"], cls = globals["VantTokenizer"];
    if (nb::cast<std::string>(settings["kind"]) == "char") return cls();
    if (training_texts.is_none())
        raise_config_error("tokenizer.kind is 'subword', but the training partition has no transcripts to train it on");
    return cls.attr("train")(training_texts, settings["vocab_size"], nb::arg("model_type") = settings["model_type"],
                             nb::arg("character_coverage") = settings["character_coverage"]);
}

// A recogniser's tokenizer: subword vocabularies learn from the training transcripts.
inline nb::object speech_tokenizer(nb::handle config) {
    nb::object data = config["data"];
    bool subword = config["tokenizer"]["kind"].equal(nb::str("subword"));
    return make_tokenizer(config, subword ? partition_texts(data["root"], data["partitions"]["train"]) : nb::none());
}

inline nb::object loader(nb::handle dataset, bool shuffle, nb::handle batch_size, nb::handle generator,
                         nb::handle workers) {
    return globals["torch"].attr("utils").attr("data").attr("DataLoader")(
        dataset, nb::arg("batch_size") = batch_size, nb::arg("shuffle") = shuffle, nb::arg("generator") = generator,
        nb::arg("collate_fn") = dataset.attr("collate_fn"), nb::arg("num_workers") = workers);
}

inline bool bucketing_on(nb::handle data) {
    return ql::contains(data, nb::str("bucketing")) && ql::truthy(data["bucketing"]["enabled"]);
}

// Training batches of utterances of similar length: at most data.batch_size utterances each,
// and within bucketing.max_frames padded frames when that is set; reshuffled per seed and epoch.
inline nb::object bucketed_loader(nb::handle config, nb::handle dataset) {
    nb::object data = config["data"], settings = data["bucketing"];
    nb::object sampler = globals["BucketBatchSampler"].attr("from_dataset")(
        dataset, nb::arg("max_frames") = ql::get(settings, "max_frames", nb::none()),
        nb::arg("batch_size") = data["batch_size"], nb::arg("bucket_width") = settings["bucket_width"],
        nb::arg("shuffle") = true, nb::arg("seed") = config["seed"], nb::arg("drop_last") = settings["drop_last"]);
    return globals["torch"].attr("utils").attr("data").attr("DataLoader")(
        dataset, nb::arg("batch_sampler") = sampler, nb::arg("collate_fn") = dataset.attr("collate_fn"),
        nb::arg("num_workers") = data["NUM_WORKERS"]);
}

struct SpeechData {
    nb::object train, dev, test;  // datasets; None for a partition not built (test: none named)
    nb::object train_loader, dev_loader, test_loader;
};

// The partitions: the training one computes the feature statistics the others reuse. An
// evaluation needs no development partition.
inline SpeechData speech_data(nb::handle config, nb::handle tokenizer, bool with_dev = true) {
    nb::object data = config["data"], partitions = data["partitions"], cls = globals["ASRDataset"];
    SpeechData d;
    d.train = cls(partitions["train"], data, tokenizer, true);
    nb::object stats = nb::none();
    if (data["norm"].equal(nb::str("global_mvn"))) stats = nb::make_tuple(d.train.attr("global_mean"), d.train.attr("global_std"));
    d.dev = with_dev ? cls(partitions["dev"], data, tokenizer, false, stats) : nb::none();
    d.test = partitions["test"].is_none() ? nb::none() : cls(partitions["test"], data, tokenizer, false, stats);

    nb::object torch = globals["torch"];
    nb::object generator = torch.attr("Generator")().attr("manual_seed")(config["seed"]);
    nb::object batch = data["batch_size"], workers = data["NUM_WORKERS"];
    d.train_loader = bucketing_on(data) ? bucketed_loader(config, d.train) : loader(d.train, true, batch, generator, workers);
    d.dev_loader = d.dev.is_none() ? nb::none() : loader(d.dev, false, ql::get(data, "val_batch_size", batch), generator, workers);
    d.test_loader = d.test.is_none() ? nb::none()
                                     : loader(d.test, false, ql::get(data, "eval_batch_size", batch), generator, workers);
    return d;
}

inline nb::object text_loader(nb::handle partition, nb::handle texts, nb::handle tokenizer, nb::handle batch_size,
                              bool shuffle) {
    nb::object dataset = globals["TextDataset"](partition, texts, tokenizer);
    return globals["torch"].attr("utils").attr("data").attr("DataLoader")(
        dataset, nb::arg("batch_size") = batch_size, nb::arg("shuffle") = shuffle,
        nb::arg("collate_fn") = dataset.attr("collate_fn"));
}

// ---------------------------------------------------------------------------
// Models and trainers
// ---------------------------------------------------------------------------

inline nb::object speech_model(nb::handle config, nb::handle tokenizer) {
    return globals["EncoderDecoderTransformer"](config["data"]["num_feats"], tokenizer.attr("vocab_size"),
                                                **nb::borrow<nb::dict>(config["model"]));
}

inline nb::object language_model(nb::handle model_settings, nb::handle tokenizer) {
    return globals["DecoderOnlyTransformer"](tokenizer.attr("vocab_size"), **nb::borrow<nb::dict>(model_settings));
}

// The optimizer and scheduler a trainer's `settings` (a recipe, or its lm section) describe. The
// schedule counts the steps of the loader this process trains on (under torchrun, its share of
// train_loader), or it would stretch over as many epochs as there are processes.
inline void attach_optimizer(nb::handle trainer, nb::handle settings, nb::handle train_loader) {
    nb::object optimizer = globals["ostravel"](trainer.attr("model"), settings["optimizer"]);
    trainer.attr("optimizer") = optimizer;
    trainer.attr("scheduler") = globals["create_scheduler"](optimizer, settings["scheduler"],
                                                            trainer.attr("rank_loader")(train_loader),
                                                            settings["training"]["gradient_accumulation_steps"]);
}

// A trainer copies the configuration file it is given into its experiment folder; this one
// holds the effective configuration, defaults and overrides included, and is removed once the
// trainers have their copies.
class EffectiveConfigFile {
public:
    explicit EffectiveConfigFile(nb::handle config) {
        nb::object file = globals["tempfile"].attr("NamedTemporaryFile")(
            "w", nb::arg("suffix") = ".yaml", nb::arg("prefix") = "recipe-", nb::arg("delete") = false,
            nb::arg("encoding") = "utf-8");
        path_ = file.attr("name");
        ql::ContextGuard closer(file);
        globals["yaml"].attr("safe_dump")(config, file, nb::arg("sort_keys") = false, nb::arg("allow_unicode") = true);
        closer.close();
    }
    ~EffectiveConfigFile() {
        try {
            globals["os"].attr("remove")(path_);
        } catch (nb::python_error &) {  // already gone
        }
    }
    nb::object path() const { return path_; }

private:
    nb::object path_;
};

// trainer_class(model, tokenizer, settings, run_name, config_file, device=...).
inline nb::object make_trainer(const char *class_name, nb::handle model, nb::handle tokenizer, nb::handle settings,
                               nb::handle run_name, const EffectiveConfigFile &file, nb::handle device) {
    return globals[class_name](model, tokenizer, settings, run_name, file.path(), nb::arg("device") = device);
}

// The lines of `text`, each cut to a readable length (a mismatch lists every parameter name).
inline std::string shortened(const std::string &text) {
    constexpr size_t kWidth = 240;
    std::string out, line;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        line = text.substr(start, end - start);
        if (line.size() > kWidth) line = line.substr(0, kWidth) + " ...";
        out += (out.empty() ? "" : "\n") + line;
        start = end + 1;
    }
    return out;
}

// Loads a checkpoint's model weights into `model`; a file that is no checkpoint, or holds
// another model, is refused naming it.
inline nb::object load_weights(nb::handle model, nb::handle checkpoint_path) {
    nb::object checkpoint;
    try {
        checkpoint = globals["torch"].attr("load")(checkpoint_path, nb::arg("map_location") = "cpu",
                                                   nb::arg("weights_only") = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError)) throw;
        raise_config_error(ql::str(checkpoint_path) + " is not a checkpoint: " + shortened(ql::str(e.value())));
    }
    if (!PyDict_Check(checkpoint.ptr()) || !ql::contains(checkpoint, nb::str("model_state_dict")))
        raise_config_error(ql::str(checkpoint_path) + " is not a checkpoint of this library (no model_state_dict)");
    try {
        model.attr("load_state_dict")(checkpoint["model_state_dict"]);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        raise_config_error(ql::str(checkpoint_path) + " does not fit the model the configuration describes: " +
                           shortened(ql::str(e.value())));
    }
    return checkpoint;
}

}  // namespace recipe
