// What `quillane evaluate` does: the model a recipe describes, with the weights of one of its
// checkpoints, recognises (or, for a language model, scores and continues) the recipe's test
// partition, as the end of `quillane train` does, and writes the results beside the training's.
#pragma once

#include "recipe_run.hpp"

#include <string>
#include <utility>

namespace recipe {

inline const std::pair<const char *, const char *> kCheckpointNames[] = {
    {"best", "checkpoint-best-metric-model.pth"}, {"last", "checkpoint-last-epoch-model.pth"}};

// The checkpoint `name` stands for: a file, or best, last or a file name in the checkpoints
// folder of the recipe's experiment.
inline nb::object resolve_checkpoint(nb::handle config, nb::handle name) {
    nb::object given = globals["Path"](name);
    if (ql::truthy(given.attr("is_file")())) return given;
    std::string file = ql::str(name);
    for (auto [alias, actual] : kCheckpointNames)
        if (file == alias) file = actual;
    nb::object folder = experiment_folder(config["run_name"]) / nb::str("checkpoints");
    nb::object candidate = folder / nb::str(file.c_str());
    if (ql::truthy(candidate.attr("is_file")())) return candidate;
    ql::raise(PyExc_FileNotFoundError, "No checkpoint " + ql::repr(name) + ": no such file, and none of that name in " +
                                           ql::str(folder) + " (best, last, or a file name there)");
}

// A trainer writes its experiment's config.yaml anew; an evaluation keeps the one its training
// wrote. Under torchrun process 0 alone writes it, and puts it back.
class KeptFile {
public:
    explicit KeptFile(nb::object path) : path_(std::move(path)) {
        if (ql::truthy(path_.attr("is_file")())) content_ = path_.attr("read_bytes")();
    }
    void restore(nb::handle trainer) {
        if (content_.is_valid() && distribution::is_main(trainer)) path_.attr("write_bytes")(content_);
    }

private:
    nb::object path_, content_;
};

// The last checkpoint of the language model the recipe's decoding fuses (the model the
// training's own evaluation fused), or None when no decoding configuration fuses one.
inline nb::object fusion_lm_checkpoint(nb::handle config) {
    nb::object fused = nb::none();
    for (auto [name, decoding] : nb::borrow<nb::dict>(config["decoding"]))
        if (fused.is_none() && ql::truthy(decoding["lm_weight"])) fused = nb::borrow(name);
    if (fused.is_none()) return nb::none();
    nb::object run_name = config["lm"]["run_name"];
    nb::object checkpoint = experiment_folder(run_name) / nb::str("checkpoints") / nb::str(kCheckpointNames[1].second);
    if (!ql::truthy(checkpoint.attr("is_file")()))
        ql::raise(PyExc_FileNotFoundError, "decoding " + ql::str(fused) + " fuses the language model of lm.run_name " +
                                               ql::repr(run_name) + ", but " + ql::str(checkpoint) +
                                               " does not exist; train the recipe first (quillane train)");
    return checkpoint;
}

// A trainer in the recipe's experiment folder, leaving the training's configuration copy as it was.
inline nb::object evaluation_trainer(const char *class_name, nb::handle model, nb::handle tokenizer, nb::handle config) {
    KeptFile kept(experiment_folder(config["run_name"]) / nb::str("config.yaml"));
    EffectiveConfigFile file(config);
    nb::object trainer = make_trainer(class_name, model, tokenizer, config, config["run_name"], file, config["device"]);
    kept.restore(trainer);
    return trainer;
}

inline nb::dict evaluate_speech_recipe(nb::handle config, nb::handle checkpoint, nb::dict summary) {
    nb::object data = config["data"];
    if (data["partitions"]["test"].is_none())
        raise_config_error("data.partitions.test is null: there is no test partition to evaluate on");
    check_partitions(data, {"train", "test"}, "fbank");
    nb::object lm_checkpoint = fusion_lm_checkpoint(config);
    nb::object tokenizer = speech_tokenizer(config);
    nb::object model = speech_model(config, tokenizer);
    load_weights(model, checkpoint);
    nb::object lm_model = nb::none();
    if (!lm_checkpoint.is_none()) {
        lm_model = language_model(config["lm"]["model"], tokenizer);
        load_weights(lm_model, lm_checkpoint);
    }
    SpeechData d = speech_data(config, tokenizer, false);

    nb::object trainer = evaluation_trainer("ASRTrainer", model, tokenizer, config);
    nb::list rows = decode_test(config, trainer, d, tokenizer, lm_model);
    trainer.attr("cleanup")();
    summary["rows"] = rows;
    summary["test_utterances"] = nb::int_(nb::len(d.test));
    nb::object results_file = write_results(trainer, summary);
    print_held_out(rows, summary["test_utterances"]);
    ql::print("");
    ql::print("checkpoint " + ql::str(checkpoint));
    print_experiment("ASR experiment: ", trainer, results_file, "recognised text");
    return summary;
}

inline nb::dict evaluate_language_model_recipe(nb::handle config, nb::handle checkpoint, nb::dict summary) {
    check_language_model_data(config);
    nb::object data = config["data"];
    nb::object test_texts = texts_for(data, data, "test");
    if (test_texts.is_none())
        raise_config_error("the recipe names no test texts (data.test_text, or data.root with data.partitions.test)");
    bool subword = config["tokenizer"]["kind"].equal(nb::str("subword"));
    nb::object tokenizer = make_tokenizer(config, subword ? texts_for(data, data, "train") : nb::none());
    nb::object model = language_model(config["model"], tokenizer);
    nb::object saved = load_weights(model, checkpoint);
    nb::object test_loader = text_loader(nb::str("test"), test_texts, tokenizer, data["batch_size"], false);

    nb::object trainer = evaluation_trainer("LMTrainer", model, tokenizer, config);
    trainer.attr("optimizer") = globals["ostravel"](trainer.attr("model"), config["optimizer"]);  // logging reads its rate
    if (ql::contains(saved, nb::str("epoch"))) trainer.attr("current_epoch") = saved["epoch"];
    auto [metrics, generations] = ql::unpack<2>(trainer.attr("evaluate")(test_loader));
    trainer.attr("cleanup")();
    summary["test"] = metrics;
    summary["test_texts"] = nb::int_(nb::len(test_texts));
    nb::object results_file = write_results(trainer, summary);
    print_language_model_results(metrics, summary["test_texts"]);
    ql::print("");
    ql::print("checkpoint " + ql::str(checkpoint));
    print_experiment("LM experiment: ", trainer, results_file, "generated text");
    return summary;
}

inline nb::dict evaluate(nb::handle config, nb::handle checkpoint_name) {
    Job job(config);
    set_up_process(config);
    nb::object checkpoint = resolve_checkpoint(config, checkpoint_name);
    nb::dict summary;
    summary["checkpoint"] = nb::str(checkpoint);
    nb::dict result = is_language_model_recipe(config) ? evaluate_language_model_recipe(config, checkpoint, summary)
                                                       : evaluate_speech_recipe(config, checkpoint, summary);
    job.finish();
    return result;
}

}  // namespace recipe
