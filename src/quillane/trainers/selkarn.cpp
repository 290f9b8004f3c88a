// Language-model trainer: token-level cross-entropy training with mixed precision and gradient
// accumulation, validation, prompt-continuation generation and evaluation.
#include "core.hpp"
#include "experiment_record.hpp"
#include "globals.hpp"
#include "pyops.hpp"
#include "training_loop.hpp"

namespace {
namespace nb = nanobind;

constexpr long long kPromptSeed = 52917;

ql::ModuleGlobals globals;
nb::handle score_fn_impl;

// ---------------------------------------------------------------------------
// Training and validation
// ---------------------------------------------------------------------------

const char *const kInitSig = "__init__(self, model, tokenizer, config, run_name, config_file, device=None)";
nb::object init(const ql::Args &a) {
    nb::handle self = a.self(), tokenizer = a["tokenizer"];
    globals["BaseTrainer"].attr("__init__")(self, a["model"], tokenizer, a["config"], a["run_name"],
                                            a["config_file"], a["device"]);
    self.attr("criterion") = globals["nn"].attr("CrossEntropyLoss")(
        nb::arg("ignore_index") = tokenizer.attr("pad_id"),
        nb::arg("label_smoothing") = ql::get(self.attr("config")["training"], "label_smoothing", nb::float_(0.0)));
    return nb::none();
}

// Cross-entropy of the next-token predictions, averaged per target token over the epoch.
training_loop::BatchLosses batch_losses(nb::handle self, nb::handle model, nb::handle batch) {
    auto [targets_shifted, targets_golden, lengths] = ql::unpack<3>(batch);
    auto [raw_preds, attention] = ql::unpack<2>(model(targets_shifted, nb::arg("target_lengths") = lengths));
    nb::object logits = raw_preds.attr("view")(-1, raw_preds.attr("size")(-1));
    nb::object loss = self.attr("criterion")(logits, targets_golden.attr("view")(-1));
    return {loss, {loss}, lengths.attr("sum")().attr("item")(), attention};
}

const training_loop::EpochPlan kTrainingEpoch{"[Training LM]", {"ce_loss_token"}, "perplexity_token", true};
const training_loop::EpochPlan kValidationEpoch{"[Validating LM]", {"ce_loss_token"}, "perplexity_token", false};

// The epoch's metrics and the attention maps of its last batch.
nb::object run_epoch(nb::handle self, nb::handle dataloader, const training_loop::EpochPlan &plan) {
    auto epoch = training_loop::run_epoch(globals, self, dataloader, plan, batch_losses);
    nb::object ce_token = ql::py_float(epoch.averages[0]);
    nb::object ce_char = ce_token / dataloader.attr("dataset").attr("get_avg_chars_per_token")();
    nb::dict metrics;
    metrics["ce_loss_token"] = ce_token;
    metrics["ce_loss_char"] = ce_char;
    metrics["perplexity_token"] = training_loop::perplexity(globals, ce_token).attr("item")();
    metrics["perplexity_char"] = training_loop::perplexity(globals, ce_char).attr("item")();
    return nb::make_tuple(metrics, epoch.attention);
}

const char *const kTrainEpochSig = "_train_epoch(self, dataloader)";
nb::object train_epoch(const ql::Args &a) { return run_epoch(a.self(), a["dataloader"], kTrainingEpoch); }

const char *const kValidateEpochSig = "_validate_epoch(self, dataloader)";
nb::object validate_epoch(const ql::Args &a) { return run_epoch(a.self(), a["dataloader"], kValidationEpoch); }

// The first attention map (insertion order) of sample 0.
nb::object first_attention_map(nb::handle attention) {
    nb::list keys(attention.attr("keys")());
    if (nb::len(keys) == 0) ql::raise(PyExc_IndexError, "list index out of range");
    return attention[keys[0]][ql::py_int(0)];
}

// The validation character loss selects the best checkpoint; the epoch also records generated
// continuations of validation prompts and the attention maps of both passes.
const training_loop::TrainingPlan kTraining{
    "ce_loss_char",
    [](nb::handle self, nb::handle val_loader) {
        auto [metrics, attention] = ql::unpack<2>(self.attr("_validate_epoch")(val_loader));
        nb::object generated = self.attr("generate")(val_loader);
        return training_loop::Validation{metrics, nb::make_tuple(attention, generated)};
    },
    [](nb::handle self, long long epoch, nb::handle train_attention, nb::handle validation) {
        if (!distribution::is_main(self)) return;  // a process without validation batches has no maps
        auto [val_attention, generated] = ql::unpack<2>(validation);
        self.attr("_save_attention_plot")(first_attention_map(train_attention), epoch, "train_self");
        self.attr("_save_attention_plot")(first_attention_map(val_attention), epoch, "val_self");
        self.attr("_save_generated_text")(generated, "val_epoch_" + std::to_string(epoch));
    }};

const char *const kTrainSig = "train(self, train_dataloader, val_dataloader, epochs: int)";
nb::object train(const ql::Args &a) {
    nb::handle self = a.self();
    training_loop::require_optimizer_and_scheduler(self);
    experiment_record::ConsoleLog console(self);
    training_loop::run_epochs(globals, self, a["train_dataloader"], a["val_dataloader"], a.to_int("epochs"),
                              kTraining);
    console.close();
    return nb::none();
}

// ---------------------------------------------------------------------------
// Generation and evaluation
// ---------------------------------------------------------------------------

// score_fn of the generator for a model without an incremental scorer: whole prefixes through
// model.score, the trainer's model looked up at every call.
const char *const kScoreSig = "_score_with_trainer_model(trainer, x)";
nb::object score_with_trainer_model(const ql::Args &a) { return a["trainer"].attr("model").attr("score")(a["x"]); }

// What the generator scores with: the model's incremental scorer when it has one (each step
// runs only the newest position of every row, on the keys and values of the earlier ones), else
// the model's score function on whole prefixes. Both give the same next-token logits.
nb::object score_function(nb::handle self, nb::handle model) {
    if (nb::hasattr(model, "scorer")) return model.attr("scorer")();
    return globals["partial"](score_fn_impl, self);
}

nb::dict generation_config(nb::handle max_len, long long num_samples, long long prompt_length, long long beam_width,
                           double repeat_penalty, long long top_k, double top_p) {
    nb::dict cfg;
    cfg["num_samples"] = num_samples;
    cfg["prompt_length"] = prompt_length;
    cfg["seed"] = kPromptSeed;
    cfg["max_length"] = max_len;
    cfg["temperature"] = 1.0;
    cfg["beam_width"] = beam_width;
    cfg["repeat_penalty"] = repeat_penalty;
    cfg["top_k"] = top_k;
    cfg["top_p"] = top_p;
    return cfg;
}

// (sequences, scores) by sampling, beam search (beam 0 kept) or greedy search, as configured.
nb::object search(nb::handle self, nb::handle generator, nb::handle prompts, nb::handle cfg) {
    auto get = [&](const char *key, nb::object fallback) { return ql::get(cfg, key, fallback); };
    nb::object temperature = get("temperature", nb::float_(1.0));
    nb::object repeat_penalty = get("repeat_penalty", nb::float_(1.0));
    nb::object top_k = get("top_k", nb::int_(0));
    nb::object beam_width = get("beam_width", nb::int_(1));
    if (top_k > nb::int_(0) || get("top_p", nb::int_(0)) > nb::int_(0)) {
        distribution::say(self, "Generating with sampling...");
        return generator.attr("generate_sample")(prompts, nb::arg("temperature") = temperature,
                                                 nb::arg("top_k") = top_k,
                                                 nb::arg("top_p") = get("top_p", nb::float_(1.0)));
    }
    if (beam_width > nb::int_(1)) {
        distribution::say(self, "Generating with beam search...");
        auto [seqs, scores] = ql::unpack<2>(generator.attr("generate_beam")(
            prompts, nb::arg("beam_width") = beam_width, nb::arg("temperature") = temperature,
            nb::arg("repeat_penalty") = repeat_penalty));
        nb::object first_beam = nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0);
        return nb::make_tuple(seqs[first_beam], scores[first_beam]);
    }
    distribution::say(self, "Generating with greedy search...");
    return generator.attr("generate_greedy")(prompts, nb::arg("temperature") = temperature,
                                             nb::arg("repeat_penalty") = repeat_penalty);
}

// One record per prompt: the prompt, the original continuation and the generated one, decoded.
nb::list continue_prompts(nb::handle self, nb::handle generator, nb::handle prompts, nb::handle originals,
                          nb::handle cfg) {
    nb::object tokenizer = self.attr("tokenizer");
    nb::object result;
    {
        ql::ContextGuard inference(globals["torch"].attr("inference_mode")());
        result = search(self, generator, prompts, cfg);
        inference.close();
    }
    auto [seqs, scores] = ql::unpack<2>(result);

    nb::object processed = generator.attr("post_process_sequence")(seqs, tokenizer);
    nb::object decode = tokenizer.attr("decode");
    nb::list records;
    nb::object rows = ql::import_attr("builtins", "zip")(prompts, processed, scores, originals);
    for (nb::handle row : rows) {
        auto [prompt, seq, score, original] = ql::unpack<4>(row);
        nb::object after_prompt = nb::slice(nb::int_(nb::len(prompt)), nb::none(), nb::none());
        nb::dict record;
        record["prompt"] = decode(prompt.attr("tolist")());
        record["original"] = decode(original[after_prompt].attr("tolist")());
        record["generated"] = decode(seq[after_prompt].attr("tolist")());
        record["score"] = score.attr("item")();
        records.append(record);
    }
    return records;
}

const char *const kGenerateSig = "generate(self, dataloader, generation_config: Optional[dict] = None)";
nb::object generate(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"];
    nb::object model = self.attr("model"), tokenizer = self.attr("tokenizer"), device = self.attr("device");
    nb::object cfg = a.is_none("generation_config")
                         ? nb::object(generation_config(model.attr("max_len"), 10, 20, 1, 1.0, 0, 0.0))
                         : nb::borrow(a["generation_config"]);

    nb::object generator = globals["SequenceGenerator"](
        nb::arg("score_fn") = score_function(self, model), nb::arg("tokenizer") = tokenizer,
        nb::arg("max_length") = model.attr("max_len"), nb::arg("device") = device);
    auto [prompts, originals] = ql::unpack<2>(dataloader.attr("dataset").attr("sample_prompts")(
        nb::arg("num_samples") = ql::get(cfg, "num_samples", nb::int_(10)),
        nb::arg("prompt_length") = ql::get(cfg, "prompt_length", nb::int_(10)),
        nb::arg("seed") = ql::get(cfg, "seed", nb::int_(kPromptSeed))));
    model.attr("eval")();
    if (!distribution::several(self))
        return continue_prompts(self, generator, prompts.attr("to")(device), originals, cfg);

    // Every process draws the same prompts and continues prompts rank, rank + N, ...; the
    // records are dealt back into the prompts' order.
    nb::object share = nb::slice(nb::int_(distribution::rank(self)), nb::none(),
                                 nb::int_(distribution::world_size(self)));
    nb::object own_prompts = prompts[share].attr("to")(device);
    nb::list records;
    if (nb::len(own_prompts) > 0) records = continue_prompts(self, generator, own_prompts, originals[share], cfg);
    return distribution::gathered(globals, self, records, true);
}

const char *const kEvaluationConfigsSig = "_get_evaluation_generation_configs(self)";
nb::object evaluation_generation_configs(const ql::Args &a) {
    nb::object max_len = a.self().attr("model").attr("max_len");
    nb::dict configs;
    configs["greedy"] = generation_config(max_len, 50, 10, 1, 1.0, 0, 0.0);
    configs["beam"] = generation_config(max_len, 50, 10, 10, 1.2, 0, 0.0);
    configs["sample"] = generation_config(max_len, 50, 10, 1, 1.0, 10, 0.95);
    return configs;
}

const char *const kEvaluateSig = "evaluate(self, test_dataloader)";
nb::object evaluate(const ql::Args &a) {
    nb::handle self = a.self(), test_loader = a["test_dataloader"];
    experiment_record::ConsoleLog console(self);
    auto [test_metrics, test_attention] = ql::unpack<2>(self.attr("_validate_epoch")(test_loader));
    nb::object epoch = self.attr("current_epoch");
    nb::dict metrics;
    metrics["test"] = test_metrics;
    self.attr("_log_metrics")(metrics, epoch);
    if (distribution::is_main(self))  // a process without test batches has no maps
        self.attr("_save_attention_plot")(first_attention_map(test_attention), epoch, "test_self");

    nb::dict generation_results;
    for (nb::handle item : self.attr("_get_evaluation_generation_configs")().attr("items")()) {
        auto [name, cfg] = ql::unpack<2>(item);
        try {
            nb::object results = self.attr("generate")(test_loader, nb::arg("generation_config") = cfg);
            generation_results[name] = results;
            self.attr("_save_generated_text")(results, "test_epoch_" + ql::str(epoch) + "_" + ql::str(name));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            distribution::say(self, "Could not generate results for " + ql::str(name) + ": " + ql::str(e.value()));
        }
    }
    console.close();
    return nb::make_tuple(test_metrics, generation_results);
}

}  // namespace

QL_MODULE(selkarn, m) {
    globals.bind(m);
    globals.from("quillane.trainers.tressik", {"BaseTrainer"});
    globals.set("torch", ql::import("torch"));
    globals.set("nn", ql::import("torch.nn"));
    globals.from("tqdm", {"tqdm"});
    globals.from("typing", {"Any", "Dict", "Tuple", "Optional", "List"});
    globals.from("quillane.utils", {"create_scheduler"});
    globals.from("quillane.decoding.sequence_generator", {"SequenceGenerator"});
    globals.from("functools", {"partial"});
    score_fn_impl = ql::keep(ql::function("quillane.trainers.selkarn", "_score_with_trainer_model", kScoreSig,
                                          score_with_trainer_model));
    m.doc() = "Language-model trainer.";

    ql::make_class(
        m, "LMTrainer", {globals["BaseTrainer"]},
        "\n    Language Model Trainer class that handles the training, validation, and generation loops.\n    ",
        {ql::method(kInitSig, init),
         ql::method(kTrainEpochSig, train_epoch, "One training pass; returns (metrics, attention maps of the last batch)."),
         ql::method(kValidateEpochSig, validate_epoch,
                    "One evaluation pass without gradients; returns (metrics, attention maps)."),
         ql::method(kTrainSig, train, "Train for `epochs` epochs, continuing the epoch numbering of the trainer."),
         ql::method(kGenerateSig, generate,
                    "Continue prompts drawn from the loader's dataset; returns one record per prompt."),
         ql::method(kEvaluationConfigsSig, evaluation_generation_configs,
                    "The greedy, beam and sampling configurations of the final evaluation (new dicts)."),
         ql::method(kEvaluateSig, evaluate,
                    "Validation pass on the test loader, then generation under each evaluation "
                    "configuration; returns (test_metrics, generation_results).")});
}
