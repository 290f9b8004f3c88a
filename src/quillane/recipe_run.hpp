// What `quillane train` and `quillane evaluate` do with a checked configuration: make the
// synthetic corpus when the recipe has one, train the trainer the recipe names (and the
// language model a recogniser's recipe fuses), recognise or score the test partition, and
// report the results and where everything was written.
#pragma once

#include "recipe_build.hpp"
#include "recipe_job.hpp"
#include "trainers/experiment_record.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace recipe {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline std::string whole_seconds(double seconds) { return ql::format(ql::py_float(seconds), ".0f") + " s"; }

inline bool is_language_model_recipe(nb::handle config) { return config["trainer"].equal(nb::str("lm")); }

// The seed, and the thread count when the recipe sets one.
inline void set_up_process(nb::handle config) {
    nb::object torch = globals["torch"];
    torch.attr("manual_seed")(config["seed"]);
    if (ql::contains(config, nb::str("num_threads"))) torch.attr("set_num_threads")(config["num_threads"]);
}

inline nb::object experiment_folder(nb::handle run_name) {
    return globals["Path"](globals["os"].attr("getcwd")()) / nb::str("expts") / run_name;
}

// ---------------------------------------------------------------------------
// The synthetic corpus
// ---------------------------------------------------------------------------

// Whether the recipe's synthetic corpus still has partitions to make.
inline bool corpus_missing(nb::handle config) {
    if (!ql::contains(config, nb::str("corpus"))) return false;
    nb::object root = config["data"]["root"];
    for (const auto &partition : kSynthPartitions) {
        nb::object listing = path_of(root, nb::str(partition[1])) / nb::str("transcripts.txt");
        if (!ql::truthy(listing.attr("is_file")())) return true;
    }
    return false;
}

// Makes (or completes) the synthetic corpus; returns the seconds it took.
inline double make_corpus(nb::handle config) {
    nb::object corpus = config["corpus"], root = config["data"]["root"];
    ql::print("== Synthetic corpus: " + ql::str(corpus["num_utterances"]) + " utterances in " +
              ql::str(globals["Path"](root).attr("resolve")()));
    Clock::time_point start = Clock::now();
    globals["prepare_synth"](ql::str(root), nb::arg("num_utterances") = corpus["num_utterances"],
                             nb::arg("seed") = corpus["seed"]);
    return seconds_since(start);
}

// ---------------------------------------------------------------------------
// Recognition of the test partition
// ---------------------------------------------------------------------------

// The test partition's references when its dataset carries none (the partition named
// "test-clean" is read without transcripts): its transcripts file. None otherwise.
inline nb::object listed_references(nb::handle config, const SpeechData &d) {
    if (nb::hasattr(d.test, "text_files")) return nb::none();
    return partition_texts(config["data"]["root"], config["data"]["partitions"]["test"]);
}

// The longest hypothesis recognition may produce: the longest transcript of the training and
// test partitions in tokens, with room to spare.
inline nb::object recognition_length(const SpeechData &d, nb::handle references, nb::handle tokenizer) {
    long long longest = std::max(ql::as_long(d.train.attr("text_max_len")), ql::as_long(d.test.attr("text_max_len"))) - 1;
    if (!references.is_none())
        for (nb::handle text : references) longest = std::max<long long>(longest, nb::len(tokenizer.attr("encode")(text)));
    return ql::py_int(longest + 8);
}

// What recognize needs of one decoding configuration of the recipe.
inline nb::dict recognition_config(nb::handle decoding, nb::handle lm_model) {
    nb::dict rc;
    rc["num_batches"] = nb::none();
    for (const char *key : {"beam_width", "temperature", "repeat_penalty", "lm_weight", "ctc_weight"}) rc[key] = decoding[key];
    rc["lm_model"] = ql::truthy(decoding["lm_weight"]) ? nb::borrow(lm_model) : nb::none();
    return rc;
}

// The references of recognised records, in order: the listed ones when the test partition
// lists them, else the targets the records carry; None when some record has none.
inline nb::object references_of(nb::handle results, nb::handle listed) {
    size_t count = nb::len(results);
    if (!listed.is_none()) return ql::steal_checked(PySequence_GetSlice(listed.ptr(), 0, Py_ssize_t(count)));
    nb::list targets;
    for (nb::handle r : results) {
        if (!ql::contains(r, nb::str("target"))) return nb::none();
        targets.append(r["target"]);
    }
    return count ? nb::object(targets) : nb::none();
}

// The records saved for a decoding: reference, recognised text and score of each utterance.
inline nb::list scored_records(nb::handle results, nb::handle references) {
    nb::list records;
    size_t i = 0;
    for (nb::handle r : results) {
        if (i >= nb::len(references)) break;
        nb::dict record;
        record["target"] = references[ql::py_int((long long)i++)];
        record["generated"] = r["generated"];
        record["score"] = r["score"];
        records.append(record);
    }
    return records;
}

// Recognises the test partition under every decoding configuration of the recipe, scores it
// when references exist and saves each configuration's records; one row per configuration.
inline nb::list decode_test(nb::handle config, nb::handle trainer, const SpeechData &d, nb::handle tokenizer,
                            nb::handle lm_model) {
    nb::object listed = listed_references(config, d);
    nb::object max_length = recognition_length(d, listed, tokenizer);
    nb::list rows;
    for (auto [name, decoding] : nb::borrow<nb::dict>(config["decoding"])) {
        Clock::time_point start = Clock::now();
        nb::object results =
            trainer.attr("recognize")(d.test_loader, recognition_config(decoding, lm_model), name, max_length);
        double seconds = seconds_since(start);

        nb::dict row;
        row["decoding"] = name;
        row["wer"] = nb::none();
        row["cer"] = nb::none();
        nb::object references = references_of(results, listed);
        nb::object records = results;
        if (!references.is_none()) {
            nb::list hypotheses;
            for (nb::handle r : results) hypotheses.append(r["generated"]);
            nb::object metrics = globals["error_rates"](references, hypotheses);
            row["wer"] = metrics["wer"];
            row["cer"] = metrics["cer"];
            records = scored_records(results, references);
        }
        std::string suffix = "test_" + nb::cast<std::string>(name) + "_results";
        trainer.attr("_save_generated_text")(records, suffix);
        // beside it, the same records with each utterance's name, where the loader's order tells them
        nb::list named = experiment_record::named_records(d.test_loader, records);
        if (nb::len(named) > 0) trainer.attr("_save_generated_text")(named, suffix + "_by_utterance");
        row["seconds"] = ql::py_float(seconds);
        rows.append(row);
    }
    return rows;
}

inline std::string cell(nb::handle value, const char *format_string) {
    return value.is_none() ? ql::format(nb::str("n/a"), ">9") : ql::format(value, format_string);
}

inline std::string results_table(nb::handle rows) {
    std::string head = ql::format(nb::str("decoding"), "<24") + ql::format(nb::str("WER %"), ">9") +
                       ql::format(nb::str("CER %"), ">9") + ql::format(nb::str("time s"), ">9");
    std::string out = head + "\n" + std::string(head.size(), '-');
    for (nb::handle r : rows)
        out += "\n" + ql::format(r["decoding"], "<24") + cell(r["wer"], ">9.2f") + cell(r["cer"], ">9.2f") +
               cell(r["seconds"], ">9.1f");
    return out;
}

// results.json in the trainer's experiment folder, written by the process that holds the folder.
inline nb::object write_results(nb::handle trainer, nb::handle summary) {
    nb::object file = trainer.attr("expt_root") / nb::str("results.json");
    if (!distribution::is_main(trainer)) return file;
    nb::object text = globals["json"].attr("dumps")(summary, nb::arg("indent") = 2);
    file.attr("write_text")(text + nb::str("\n"), nb::arg("encoding") = "utf-8");
    return file;
}

inline void print_held_out(nb::handle rows, nb::handle test_utterances) {
    ql::print("");
    ql::print("== Held-out results (" + ql::str(test_utterances) + " test utterances)");
    ql::print(results_table(rows));
}

inline void print_experiment(const char *label, nb::handle trainer, nb::handle results_file, const char *text_kind) {
    ql::print(std::string(label) + ql::str(trainer.attr("expt_root")));
    ql::print("    checkpoints " + ql::str(trainer.attr("checkpoint_dir")) + ", attention plots " +
              ql::str(trainer.attr("attn_dir")) + ",");
    ql::print(std::string("    ") + text_kind + " (JSON) " + ql::str(trainer.attr("text_dir")) + ", results " +
              ql::str(results_file));
}

// ---------------------------------------------------------------------------
// Training
// ---------------------------------------------------------------------------

// Each epoch the language-model trainer continues prompts of 20 tokens drawn from the
// development texts, so some text there must be longer; said before any training starts.
constexpr long long kValidationPromptTokens = 20;

inline void check_prompt_texts(nb::handle dev_loader, const std::string &source) {
    long long longest = ql::as_long(dev_loader.attr("dataset").attr("text_max_len")) - 1;
    if (longest < kValidationPromptTokens)
        raise_config_error(source + ": the longest development text has " + std::to_string(std::max(longest, 0LL)) +
                           " tokens, but the language model's validation continues prompts of " +
                           std::to_string(kValidationPromptTokens) + " tokens; use longer texts");
}

struct TextLoaders {
    nb::object train, dev;
};

// The texts of the language model a recogniser's recipe fuses: its training and development
// transcripts, or the files lm.data names.
inline TextLoaders fusion_lm_texts(nb::handle config, nb::handle tokenizer) {
    nb::object lm_data = config["lm"]["data"], data = config["data"], batch = lm_data["batch_size"];
    TextLoaders loaders{text_loader(nb::str("train"), texts_for(lm_data, data, "train"), tokenizer, batch, true),
                        text_loader(nb::str("dev"), texts_for(lm_data, data, "dev"), tokenizer, batch, false)};
    check_prompt_texts(loaders.dev, text_file_setting(lm_data, "dev").is_none() ? "data.partitions.dev" : "lm.data.dev_text");
    return loaders;
}

inline nb::object train_fusion_lm(nb::handle config, nb::handle tokenizer, const TextLoaders &texts,
                                  const EffectiveConfigFile &file) {
    nb::object lm = config["lm"];
    nb::object trainer = make_trainer("LMTrainer", language_model(lm["model"], tokenizer), tokenizer, lm,
                                      lm["run_name"], file, config["device"]);
    attach_optimizer(trainer, lm, texts.train);
    trainer.attr("train")(texts.train, texts.dev, lm["training"]["epochs"]);
    trainer.attr("cleanup")();
    return trainer;
}

// "corpus 20 s, ASR training 394 s, LM training 10 s, total 440 s": what the summary timed.
inline std::string durations(nb::handle summary) {
    const std::pair<const char *, const char *> parts[] = {{"corpus_seconds", "corpus"},
                                                           {"asr_training_seconds", "ASR training"},
                                                           {"lm_training_seconds", "LM training"},
                                                           {"total_seconds", "total"}};
    std::string text;
    for (auto [key, label] : parts)
        if (ql::contains(summary, nb::str(key)))
            text += (text.empty() ? "" : ", ") + std::string(label) + " " + whole_seconds(ql::as_double(summary[key]));
    return text;
}

// Process 0 holds the checkpoints, so it tells whether there is a best one; loading it is a step
// every process takes together.
inline void load_best(nb::handle trainer, nb::handle config) {
    nb::object saved = distribution::decided_on_main(globals, trainer, [&] {
        bool trained = ql::as_long(config["training"]["epochs"]) > 0;
        return nb::bool_(trained && ql::truthy(trainer.attr("best_model_path").attr("is_file")()));
    });
    if (ql::truthy(saved)) trainer.attr("load_checkpoint")("checkpoint-best-metric-model.pth");
}

// The command that recognises one held-out utterance with the trained recogniser (and the fused
// language model), relative to the working folder.
inline void print_transcribe_hint(nb::handle trainer, nb::handle test_set, nb::handle lm_trainer) {
    nb::object files = test_set.is_none() ? nb::object(nb::none()) : nb::getattr(test_set, "fbank_files", nb::none());
    if (files.is_none() || nb::len(files) == 0) return;
    nb::object relpath = globals["os"].attr("path").attr("relpath");
    std::string command = "quillane transcribe " + ql::str(relpath(trainer.attr("expt_root"))) + " " +
                          ql::str(relpath(files[0]));
    if (!lm_trainer.is_none()) command += " --beam 10 --lm " + ql::str(relpath(lm_trainer.attr("expt_root")));
    ql::print("Try: " + command);
}

inline nb::dict train_speech_recipe(nb::handle config, nb::dict summary, Clock::time_point start) {
    const bool progressive = config["trainer"].equal(nb::str("progressive"));
    nb::object data = config["data"];
    const bool fusion = ql::contains(config, nb::str("lm"));
    check_partitions(data, {"train", "dev", "test"}, "fbank");
    if (fusion) check_text_files(config["lm"]["data"], "lm.data");
    nb::object tokenizer = speech_tokenizer(config);
    SpeechData d = speech_data(config, tokenizer);
    TextLoaders lm_texts = fusion ? fusion_lm_texts(config, tokenizer) : TextLoaders{};

    EffectiveConfigFile file(config);
    nb::object trainer = make_trainer(progressive ? "ProgressiveTrainer" : "ASRTrainer", speech_model(config, tokenizer),
                                      tokenizer, config, config["run_name"], file, config["device"]);
    attach_optimizer(trainer, config, d.train_loader);
    Clock::time_point t0 = Clock::now();
    if (progressive) trainer.attr("progressive_train")(d.train_loader, d.dev_loader, config["stages"]);
    trainer.attr("train")(d.train_loader, d.dev_loader, config["training"]["epochs"]);
    summary["asr_training_seconds"] = ql::py_float(seconds_since(t0));
    load_best(trainer, config);

    nb::object lm_trainer = nb::none(), lm_model = nb::none();
    if (fusion) {
        t0 = Clock::now();
        lm_trainer = train_fusion_lm(config, tokenizer, lm_texts, file);
        lm_model = lm_trainer.attr("model");
        summary["lm_training_seconds"] = ql::py_float(seconds_since(t0));
    }
    nb::list rows = d.test.is_none() ? nb::list() : decode_test(config, trainer, d, tokenizer, lm_model);
    trainer.attr("cleanup")();

    summary["rows"] = rows;
    summary["total_seconds"] = ql::py_float(seconds_since(start));
    summary["test_utterances"] = d.test.is_none() ? nb::int_(0) : nb::int_(nb::len(d.test));
    nb::object results_file = write_results(trainer, summary);

    if (d.test.is_none()) ql::print("\nNo test partition (data.partitions.test is null): nothing recognised.");
    else print_held_out(rows, summary["test_utterances"]);
    ql::print("");
    ql::print(durations(summary));
    print_experiment("ASR experiment: ", trainer, results_file, "recognised text");
    if (!lm_trainer.is_none()) ql::print("LM experiment:  " + ql::str(lm_trainer.attr("expt_root")));
    print_transcribe_hint(trainer, d.test, lm_trainer);
    return summary;
}

inline void check_language_model_data(nb::handle config) {
    nb::object data = config["data"];
    check_text_files(data, "data");
    std::vector<const char *> roles;  // the partitions whose texts come from the corpus
    for (const char *role : {"train", "dev", "test"})
        if (text_file_setting(data, role).is_none()) roles.push_back(role);
    if (ql::contains(data, nb::str("root")) && !roles.empty()) check_partitions(data, roles, "");
}

inline void print_language_model_results(nb::handle metrics, nb::handle test_texts) {
    ql::print("");
    ql::print("== Held-out results (" + ql::str(test_texts) + " test texts)");
    for (auto [name, value] : nb::borrow<nb::dict>(metrics))
        ql::print(ql::format(name, "<24") + ql::format(value, ">12.4f"));
}

inline nb::dict train_language_model_recipe(nb::handle config, nb::dict summary, Clock::time_point start) {
    check_language_model_data(config);
    nb::object data = config["data"], batch = data["batch_size"];
    nb::object train_texts = texts_for(data, data, "train"), dev_texts = texts_for(data, data, "dev");
    nb::object test_texts = texts_for(data, data, "test");
    for (auto [texts, role] : {std::pair{train_texts, "train"}, {dev_texts, "dev"}})
        if (texts.is_none())
            raise_config_error(std::string("data.partitions.") + role + ": the partition has no transcripts (transcripts.txt or text/)");
    nb::object tokenizer = make_tokenizer(config, train_texts);
    nb::object train_loader = text_loader(nb::str("train"), train_texts, tokenizer, batch, true);
    nb::object dev_loader = text_loader(nb::str("dev"), dev_texts, tokenizer, batch, false);
    check_prompt_texts(dev_loader, text_file_setting(data, "dev").is_none() ? "data.partitions.dev" : "data.dev_text");

    EffectiveConfigFile file(config);
    nb::object trainer = make_trainer("LMTrainer", language_model(config["model"], tokenizer), tokenizer, config,
                                      config["run_name"], file, config["device"]);
    attach_optimizer(trainer, config, train_loader);
    Clock::time_point t0 = Clock::now();
    trainer.attr("train")(train_loader, dev_loader, config["training"]["epochs"]);
    summary["lm_training_seconds"] = ql::py_float(seconds_since(t0));
    load_best(trainer, config);
    if (!test_texts.is_none()) {
        nb::object test_loader = text_loader(nb::str("test"), test_texts, tokenizer, batch, false);
        auto [metrics, generations] = ql::unpack<2>(trainer.attr("evaluate")(test_loader));
        summary["test"] = metrics;
        summary["test_texts"] = nb::int_(nb::len(test_texts));
        print_language_model_results(metrics, summary["test_texts"]);
    }
    trainer.attr("cleanup")();
    summary["total_seconds"] = ql::py_float(seconds_since(start));
    nb::object results_file = write_results(trainer, summary);
    ql::print("");
    ql::print(durations(summary));
    print_experiment("LM experiment: ", trainer, results_file, "generated text");
    return summary;
}

inline nb::dict train(nb::handle config) {
    Clock::time_point start = Clock::now();
    Job job(config);
    set_up_process(config);
    nb::dict summary;
    // under torchrun process 0 makes the corpus while the others wait for it
    if (ql::contains(config, nb::str("corpus")))
        summary["corpus_seconds"] = job.on_main([&] { return ql::py_float(make_corpus(config)); });
    nb::dict result = is_language_model_recipe(config) ? train_language_model_recipe(config, summary, start)
                                                       : train_speech_recipe(config, summary, start);
    job.finish();
    return result;
}

}  // namespace recipe
