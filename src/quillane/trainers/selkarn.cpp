// Language-model trainer: token-level cross-entropy training with mixed precision and gradient
// accumulation, validation, prompt-continuation generation and evaluation.
#include "amp.hpp"
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

namespace {
namespace nb = nanobind;

constexpr long long kPromptSeed = 52917;

ql::ModuleGlobals globals;
nb::handle torch, BaseTrainer, functools;

nb::object training_config(nb::handle self) { return self.attr("config")["training"]; }

nb::object accumulation_steps(nb::handle self) {
    return training_config(self)["gradient_accumulation_steps"];
}

nb::object exp_as_float(nb::handle x) { return torch.attr("exp")(torch.attr("tensor")(x)).attr("item")(); }

// The epoch's four metrics from the token-weighted loss sum.
nb::dict epoch_metrics(nb::handle dataloader, nb::handle running_ce_loss, nb::handle total_tokens) {
    nb::object ce_token = ql::truediv(running_ce_loss, total_tokens);
    nb::object chars_per_token = dataloader.attr("dataset").attr("get_avg_chars_per_token")();
    nb::object ce_char = ql::truediv(ce_token, chars_per_token);
    nb::dict metrics;
    metrics["ce_loss_token"] = ce_token;
    metrics["ce_loss_char"] = ce_char;
    metrics["perplexity_token"] = exp_as_float(ce_token);
    metrics["perplexity_char"] = exp_as_float(ce_char);
    return metrics;
}

// One pass over the loader. Training runs under autocast with scaled, accumulated gradients;
// validation runs in inference mode at full precision.
nb::object run_epoch(nb::handle self, nb::handle dataloader, bool training) {
    nb::object model = self.attr("model");
    nb::object device = self.attr("device");
    nb::object criterion = self.attr("criterion");
    model.attr(training ? "train" : "eval")();

    nb::object bar = ql::progress_bar(globals["tqdm"], nb::len(dataloader), training ? "[Training LM]" : "[Validating LM]");
    nb::object running_ce_loss = nb::float_(0.0);
    nb::object total_tokens = nb::int_(0);
    if (training) self.attr("optimizer").attr("zero_grad")();

    nb::object attn_weights = nb::none();
    long long num_batches = 0;
    nb::object iterator = nb::iter(dataloader);
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object batch = nb::steal(raw);
        long long i = num_batches++;
        nb::list moved;
        for (nb::handle t : batch) moved.append(t.attr("to")(device));
        auto tensors = ql::unpack(moved, 3);
        nb::object &targets_shifted = tensors[0], &targets_golden = tensors[1], &lengths = tensors[2];

        nb::object raw_loss;
        {
            ql::ContextGuard precision(training ? ql::autocast(device) : torch.attr("inference_mode")());
            auto out = ql::unpack(model(targets_shifted, nb::arg("target_lengths") = lengths), 2);
            nb::object raw_preds = out[0];
            attn_weights = out[1];
            nb::object logits = raw_preds.attr("view")(-1, raw_preds.attr("size")(-1));
            raw_loss = criterion(logits, targets_golden.attr("view")(-1));
            precision.close();
        }

        nb::object batch_tokens = lengths.attr("sum")().attr("item")();
        total_tokens = ql::add(total_tokens, batch_tokens);
        nb::object weighted = ql::mul(raw_loss.attr("item")(), batch_tokens);
        running_ce_loss = ql::add(running_ce_loss, weighted);

        nb::object G;
        if (training) {
            G = accumulation_steps(self);
            nb::object loss = ql::truediv(raw_loss, G);
            self.attr("scaler").attr("scale")(loss).attr("backward")();
            if ((i + 1) % nb::cast<long long>(G) == 0) ql::optimizer_step(self);
        }

        nb::object avg_ce_loss = ql::truediv(running_ce_loss, total_tokens);
        nb::object perplexity_token = torch.attr("exp")(torch.attr("tensor")(avg_ce_loss));
        nb::dict postfix;
        postfix["ce_loss_token"] = ql::format(avg_ce_loss, ".4f");
        postfix["perplexity_token"] = ql::format(perplexity_token, ".4f");
        if (training) {
            long long g = nb::cast<long long>(G);
            postfix["acc_step"] = std::to_string(i % g + 1) + "/" + std::to_string(g);
        }
        bar.attr("set_postfix")(**postfix);
        bar.attr("update")();

        batch.reset();
        tensors.clear();
        moved.reset();
        raw_loss.reset();
        torch.attr("cuda").attr("empty_cache")();
    }
    if (PyErr_Occurred()) throw nb::python_error();

    if (training && num_batches % nb::cast<long long>(accumulation_steps(self)) != 0) ql::optimizer_step(self);

    nb::dict metrics = epoch_metrics(dataloader, running_ce_loss, total_tokens);
    bar.attr("close")();
    return nb::make_tuple(metrics, attn_weights);
}

nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    BaseTrainer.attr("__init__")(self, a["model"], a["tokenizer"], a["config"], a["run_name"], a["config_file"],
        a["device"]);
    nb::object training = training_config(self);
    self.attr("criterion") = globals["nn"].attr("CrossEntropyLoss")(
        nb::arg("ignore_index") = a["tokenizer"].attr("pad_id"),
        nb::arg("label_smoothing") = training.attr("get")("label_smoothing", 0.0));
    return nb::none();
}

nb::object train_epoch(const ql::Args &a) { return run_epoch(a.self(), a["dataloader"], true); }

nb::object validate_epoch(const ql::Args &a) { return run_epoch(a.self(), a["dataloader"], false); }

// The first attention map (insertion order) of sample 0.
nb::object first_attention_map(nb::handle attn) {
    nb::list keys = nb::list(attn.attr("keys")());
    if (nb::len(keys) == 0) ql::raise(PyExc_IndexError, "list index out of range");
    return attn[keys[0]][nb::int_(0)];
}

nb::object train(const ql::Args &a) {
    nb::handle self = a.self(), train_loader = a["train_dataloader"], val_loader = a["val_dataloader"];
    long long epochs = a.to_int("epochs");
    if (self.attr("scheduler").is_none()) ql::raise_value_error("Scheduler is not initialized, initialize it first!");
    if (self.attr("optimizer").is_none()) ql::raise_value_error("Optimizer is not initialized, initialize it first!");

    // Best tracking continues from the trainer's best metric, so a resumed run only replaces
    // the best checkpoint with a better model.
    nb::object best_val_loss = self.attr("best_metric");
    long long first = nb::cast<long long>(self.attr("current_epoch"));
    for (long long epoch = first; epoch < first + epochs; ++epoch) {
        auto train_out = ql::unpack(self.attr("_train_epoch")(train_loader), 2);
        auto val_out = ql::unpack(self.attr("_validate_epoch")(val_loader), 2);
        nb::object &train_metrics = train_out[0], &train_attn = train_out[1];
        nb::object &val_metrics = val_out[0], &val_attn = val_out[1];
        nb::object gen_results = self.attr("generate")(val_loader);

        nb::object scheduler = self.attr("scheduler");
        if (ql::is_plateau_scheduler(scheduler)) scheduler.attr("step")(val_metrics["ce_loss_char"]);

        nb::dict metrics;
        metrics["train"] = train_metrics;
        metrics["val"] = val_metrics;
        nb::int_ step(epoch);
        self.attr("_log_metrics")(metrics, step);
        self.attr("_save_attention_plot")(first_attention_map(train_attn), step, "train_self");
        self.attr("_save_attention_plot")(first_attention_map(val_attn), step, "val_self");
        self.attr("_save_generated_text")(gen_results, "val_epoch_" + std::to_string(epoch));

        // The best metric is updated before the last-epoch checkpoint is written, so resuming
        // from that checkpoint also knows the best model so far.
        nb::object val_loss = val_metrics["ce_loss_char"];
        int better = PyObject_RichCompareBool(val_loss.ptr(), best_val_loss.ptr(), Py_LT);
        ql::check(better >= 0);
        if (better) {
            best_val_loss = val_loss;
            self.attr("best_metric") = val_loss;
        }
        self.attr("save_checkpoint")("checkpoint-last-epoch-model.pth");
        if (better) self.attr("save_checkpoint")("checkpoint-best-metric-model.pth");
        self.attr("current_epoch") = nb::int_(epoch + 1);
    }
    return nb::none();
}

// score_fn of the generator: looks the trainer's model up at every call.
nb::object score_with_trainer_model(const ql::Args &a) { return a["trainer"].attr("model").attr("score")(a["x"]); }

nb::handle score_fn_impl;

nb::dict default_generation_config(nb::handle model) {
    nb::dict cfg;
    cfg["num_samples"] = 10;
    cfg["prompt_length"] = 20;
    cfg["seed"] = kPromptSeed;
    cfg["max_length"] = model.attr("max_len");
    cfg["temperature"] = 1.0;
    cfg["beam_width"] = 1;
    cfg["repeat_penalty"] = 1.0;
    cfg["top_k"] = 0;
    cfg["top_p"] = 0.0;
    return cfg;
}

nb::object generate(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"];
    nb::object model = self.attr("model");
    nb::object tokenizer = self.attr("tokenizer");
    nb::object device = self.attr("device");
    nb::object cfg = a.is_none("generation_config") ? nb::object(default_generation_config(model))
                                                    : nb::borrow(a["generation_config"]);
    auto get = [&](const char *key, nb::object fallback) { return cfg.attr("get")(key, fallback); };

    nb::object generator = globals["SequenceGenerator"](
        nb::arg("score_fn") = functools.attr("partial")(score_fn_impl, self), nb::arg("tokenizer") = tokenizer,
        nb::arg("max_length") = model.attr("max_len"), nb::arg("device") = device);
    auto drawn = ql::unpack(dataloader.attr("dataset").attr("sample_prompts")(
                                nb::arg("num_samples") = get("num_samples", nb::int_(10)),
                                nb::arg("prompt_length") = get("prompt_length", nb::int_(10)),
                                nb::arg("seed") = get("seed", nb::int_(kPromptSeed))),
                            2);
    nb::object prompts = drawn[0].attr("to")(device), originals = drawn[1];
    model.attr("eval")();

    nb::object seqs, scores;
    {
        ql::ContextGuard inference(torch.attr("inference_mode")());
        nb::object temperature = get("temperature", nb::float_(1.0));
        nb::object repeat_penalty = get("repeat_penalty", nb::float_(1.0));
        nb::object top_k = get("top_k", nb::int_(0));
        nb::object zero = nb::int_(0);
        nb::object result;
        if (ql::compare(top_k, zero, Py_GT) || ql::compare(get("top_p", nb::int_(0)), zero, Py_GT)) {
            ql::print("Generating with sampling...");
            result = generator.attr("generate_sample")(prompts, nb::arg("temperature") = temperature,
                                                       nb::arg("top_k") = top_k,
                                                       nb::arg("top_p") = get("top_p", nb::float_(1.0)));
        } else if (nb::object beam_width = get("beam_width", nb::int_(1)); ql::compare(beam_width, nb::int_(1), Py_GT)) {
            ql::print("Generating with beam search...");
            auto beams = ql::unpack(generator.attr("generate_beam")(prompts, nb::arg("beam_width") = beam_width,
                                                                    nb::arg("temperature") = temperature,
                                                                    nb::arg("repeat_penalty") = repeat_penalty),
                                    2);
            nb::object first_beam = nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0);
            result = nb::make_tuple(beams[0][first_beam], beams[1][first_beam]);
        } else {
            ql::print("Generating with greedy search...");
            result = generator.attr("generate_greedy")(prompts, nb::arg("temperature") = temperature,
                                                       nb::arg("repeat_penalty") = repeat_penalty);
        }
        auto out = ql::unpack(result, 2);
        seqs = out[0];
        scores = out[1];
        inference.close();
    }

    nb::object processed = generator.attr("post_process_sequence")(seqs, tokenizer);
    nb::list records;
    nb::object rows = nb::steal(ql::check(PyObject_CallFunctionObjArgs(
        (PyObject *)&PyZip_Type, prompts.ptr(), processed.ptr(), scores.ptr(), originals.ptr(), nullptr)));
    for (nb::handle row : rows) {
        nb::object prompt = row[0], seq = row[1], score = row[2], original = row[3];
        nb::object after_prompt = nb::slice(nb::int_(nb::len(prompt)), nb::none(), nb::none());
        nb::dict record;
        record["prompt"] = tokenizer.attr("decode")(prompt.attr("tolist")());
        record["original"] = tokenizer.attr("decode")(original[after_prompt].attr("tolist")());
        record["generated"] = tokenizer.attr("decode")(seq[after_prompt].attr("tolist")());
        record["score"] = score.attr("item")();
        records.append(record);
    }
    return records;
}

nb::object evaluation_generation_configs(const ql::Args &a) {
    nb::object max_len = a.self().attr("model").attr("max_len");
    auto config = [&](long long beam_width, double repeat_penalty, long long top_k, double top_p) {
        nb::dict cfg;
        cfg["num_samples"] = 50;
        cfg["prompt_length"] = 10;
        cfg["seed"] = kPromptSeed;
        cfg["max_length"] = max_len;
        cfg["temperature"] = 1.0;
        cfg["beam_width"] = beam_width;
        cfg["repeat_penalty"] = repeat_penalty;
        cfg["top_k"] = top_k;
        cfg["top_p"] = top_p;
        return cfg;
    };
    nb::dict configs;
    configs["greedy"] = config(1, 1.0, 0, 0.0);
    configs["beam"] = config(10, 1.2, 0, 0.0);
    configs["sample"] = config(1, 1.0, 10, 0.95);
    return configs;
}

nb::object evaluate(const ql::Args &a) {
    nb::handle self = a.self(), test_loader = a["test_dataloader"];
    auto out = ql::unpack(self.attr("_validate_epoch")(test_loader), 2);
    nb::object &test_metrics = out[0], &test_attn = out[1];
    nb::object epoch = self.attr("current_epoch");
    nb::dict metrics;
    metrics["test"] = test_metrics;
    self.attr("_log_metrics")(metrics, epoch);
    self.attr("_save_attention_plot")(first_attention_map(test_attn), epoch, "test_self");

    nb::dict generation_results;
    nb::object configs = self.attr("_get_evaluation_generation_configs")();
    for (nb::handle item : configs.attr("items")()) {
        nb::object name = item[0], cfg = item[1];
        try {
            nb::object results = self.attr("generate")(test_loader, nb::arg("generation_config") = cfg);
            generation_results[name] = results;
            self.attr("_save_generated_text")(results, "test_epoch_" + ql::str(epoch) + "_" + ql::str(name));
        } catch (nb::python_error &e) {
            if (!ql::is_exception(e)) throw;
            ql::print("Could not generate results for " + ql::str(name) + ": " + ql::str(e.value()));
        }
    }
    return nb::make_tuple(test_metrics, generation_results);
}

}  // namespace

QL_MODULE(selkarn, m) {
    globals.bind(m);
    BaseTrainer = ql::keep(globals.set("BaseTrainer", ql::import_attr("quillane.trainers.tressik", "BaseTrainer")));
    torch = ql::keep(globals.set("torch", ql::import("torch")));
    globals.set("nn", ql::import("torch.nn"));
    globals.set("tqdm", ql::import_attr("tqdm", "tqdm"));
    globals.from("typing", {"Any", "Dict", "Tuple", "Optional", "List"});
    globals.set("create_scheduler", ql::import_attr("quillane.utils", "create_scheduler"));
    globals.set("SequenceGenerator", ql::import_attr("quillane.decoding.sequence_generator", "SequenceGenerator"));
    functools = ql::keep(ql::import("functools"));
    score_fn_impl = ql::keep(ql::function("quillane.trainers.selkarn", "_score_with_trainer_model",
                                          "_score_with_trainer_model(trainer, x)", score_with_trainer_model));
    m.doc() = "Language-model trainer.";

    ql::make_class(
        m, "LMTrainer", {BaseTrainer},
        "\n    Language Model Trainer class that handles the training, validation, and generation loops.\n    ",
        {ql::method("__init__(self, model, tokenizer, config, run_name, config_file, device=None)", init),
         ql::method("_train_epoch(self, dataloader)", train_epoch,
                    "One training pass; returns (metrics, attention maps of the last batch)."),
         ql::method("_validate_epoch(self, dataloader)", validate_epoch,
                    "One evaluation pass without gradients; returns (metrics, attention maps)."),
         ql::method("train(self, train_dataloader, val_dataloader, epochs: int)", train,
                    "Train for `epochs` epochs, continuing the epoch numbering of the trainer."),
         ql::method("generate(self, dataloader, generation_config: Optional[dict] = None)", generate,
                    "Continue prompts drawn from the loader's dataset; returns one record per prompt."),
         ql::method("_get_evaluation_generation_configs(self)", evaluation_generation_configs,
                    "The greedy, beam and sampling configurations of the final evaluation (new dicts)."),
         ql::method("evaluate(self, test_dataloader)", evaluate,
                    "Validation pass on the test loader, then generation under each evaluation "
                    "configuration; returns (test_metrics, generation_results).")});
}
