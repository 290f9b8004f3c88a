// Speech-recognition trainers: joint cross-entropy / CTC training of the encoder-decoder
// recogniser, recognition by greedy or beam search (optionally fused with a language model),
// error-rate metrics, evaluation under several decoding set-ups, and a curriculum trainer that
// grows the model stage by stage.
//
// Every name the module imports is also a module attribute, and the functions look the
// collaborators (tqdm, SequenceGenerator, torchmetrics, pandas, Subset) up there at call
// time, just as module-level names of a Python module would be.
#include "amp.hpp"
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#include <limits>
#include <utility>

namespace {
namespace nb = nanobind;
using ql::as_double;
using ql::as_long;
using ql::compare;
using ql::contains;
using ql::is_instance;
using ql::next_item;
using ql::py_float;
using ql::py_int;
using ql::truthy;

ql::ModuleGlobals globals;
nb::handle torch, nn, ASRTrainer;

// ---------------------------------------------------------------------------
// Small Python helpers
// ---------------------------------------------------------------------------

nb::object slice_all() { return ql::steal_checked(PySlice_New(nullptr, nullptr, nullptr)); }

void empty_device_cache() { torch.attr("cuda").attr("empty_cache")(); }

// ---------------------------------------------------------------------------
// ASRTrainer: construction and losses
// ---------------------------------------------------------------------------

nb::object asr_init(const ql::Args &a) {
    nb::handle self = a.self(), tokenizer = a["tokenizer"], config = a["config"];
    globals["BaseTrainer"].attr("__init__")(self, a["model"], tokenizer, config, a["run_name"],
        a["config_file"], a["device"]);
    nb::object loss_cfg = config[nb::str("loss")];
    nb::object pad_id = tokenizer.attr("pad_id");
    self.attr("ce_criterion") =
        nn.attr("CrossEntropyLoss")(nb::arg("ignore_index") = pad_id,
                                    nb::arg("label_smoothing") = loss_cfg.attr("get")("label_smoothing", 0.0));
    self.attr("ctc_criterion") = nb::none();
    nb::object ctc_weight = loss_cfg.attr("get")("ctc_weight", 0.0);
    self.attr("ctc_weight") = ctc_weight;
    if (compare(ctc_weight, py_int(0), Py_GT))
        self.attr("ctc_criterion") =
            nn.attr("CTCLoss")(nb::arg("blank") = pad_id, nb::arg("zero_infinity") = true);
    return nb::none();
}

// Number of batches per optimizer step; a positive integer.
long long accumulation_steps(nb::handle self) {
    nb::object g = self.attr("config")[nb::str("training")][nb::str("gradient_accumulation_steps")];
    if (!PyLong_Check(g.ptr()) || PyBool_Check(g.ptr()) || as_long(g) < 1)
        ql::raise_value_error("training.gradient_accumulation_steps must be a positive integer, got " +
                              ql::repr(g));
    return as_long(g);
}

struct StepOutputs {
    nb::object seq_out, attention, ctc_inputs, ce_loss, ctc_loss, loss;
};

// The forward pass and the losses of one batch, under mixed precision.
StepOutputs forward_and_losses(nb::handle self, nb::handle device, bool use_ctc, nb::handle ctc_weight,
                               nb::handle feats, nb::handle targets_shifted, nb::handle targets_golden,
                               nb::handle feat_lengths, nb::handle transcript_lengths) {
    StepOutputs out;
    {
        ql::ContextGuard precision(ql::autocast(device));
        nb::object result = self.attr(QL_ID("model"))(feats, targets_shifted, feat_lengths, transcript_lengths);
        auto parts = ql::unpack(result, 3);
        out.seq_out = std::move(parts[0]);
        out.attention = std::move(parts[1]);
        out.ctc_inputs = std::move(parts[2]);
        nb::object logits = out.seq_out.attr("view")(-1, out.seq_out.attr("size")(-1));
        out.ce_loss = self.attr(QL_ID("ce_criterion"))(logits, targets_golden.attr("view")(-1));
        if (use_ctc) {
            out.ctc_loss = self.attr(QL_ID("ctc_criterion"))(out.ctc_inputs[nb::str("log_probs")], targets_golden,
                                                             out.ctc_inputs[nb::str("lengths")], transcript_lengths);
            nb::object weighted = ql::mul(ctc_weight, out.ctc_loss);
            out.loss = ql::add(out.ce_loss, weighted);
        } else {
            out.ctc_loss = torch.attr("tensor")(0.0);
            out.loss = out.ce_loss;
        }
        precision.close();
    }
    return out;
}

nb::object token_average(double sum, long long tokens) {
    if (tokens == 0)
        ql::raise(PyExc_ZeroDivisionError, "no target tokens in the training loader: the losses cannot be averaged");
    return py_float(sum / (double)tokens);
}

nb::object perplexity_of(nb::handle mean_loss) { return torch.attr("exp")(torch.attr("tensor")(mean_loss)); }

nb::object train_epoch(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"];
    nb::object model = self.attr("model");
    model.attr("train")();
    Py_ssize_t num_batches = (Py_ssize_t)nb::len(dataloader);
    nb::object bar = ql::progress_bar(globals["tqdm"], (size_t)num_batches, "[Training ASR]");
    double running_ce = 0.0, running_ctc = 0.0, running_joint = 0.0;
    long long total_tokens = 0;
    nb::object running_att = nb::none();
    self.attr("optimizer").attr("zero_grad")();

    nb::object device = self.attr("device");
    nb::object ctc_weight = self.attr("ctc_weight");
    bool use_ctc = compare(ctc_weight, py_int(0), Py_GT);
    long long G = 0;  // read at the first batch

    long long i = 0;
    for (nb::handle raw_batch : dataloader) {
        if (G == 0) G = accumulation_steps(self);
        nb::list moved;
        for (nb::handle item : raw_batch) moved.append(item.is_none() ? nb::object(nb::none()) : item.attr("to")(device));
        auto batch = ql::unpack(moved, 5);
        nb::object &feats = batch[0], &targets_shifted = batch[1], &targets_golden = batch[2],
                   &feat_lengths = batch[3], &transcript_lengths = batch[4];

        StepOutputs step = forward_and_losses(self, device, use_ctc, ctc_weight, feats, targets_shifted,
                                              targets_golden, feat_lengths, transcript_lengths);
        running_att = step.attention;

        long long batch_tokens = as_long(transcript_lengths.attr("sum")().attr("item")());
        total_tokens += batch_tokens;
        running_ce += as_double(step.ce_loss.attr("item")()) * (double)batch_tokens;
        if (use_ctc) running_ctc += as_double(step.ctc_loss.attr("item")()) * (double)batch_tokens;
        running_joint += as_double(step.loss.attr("item")()) * (double)batch_tokens;

        nb::object scaled_loss = ql::truediv(step.loss, py_int(G));
        self.attr(QL_ID("scaler")).attr("scale")(scaled_loss).attr("backward")();

        if ((i + 1) % G == 0) ql::optimizer_step(self);

        nb::object avg_ce = token_average(running_ce, total_tokens);
        nb::object avg_ctc = token_average(running_ctc, total_tokens);
        nb::object avg_joint = token_average(running_joint, total_tokens);
        nb::object perplexity = perplexity_of(avg_ce);
        bar.attr("set_postfix")(nb::arg("ce_loss") = ql::format(avg_ce, ".4f"),
                                nb::arg("ctc_loss") = ql::format(avg_ctc, ".4f"),
                                nb::arg("joint_loss") = ql::format(avg_joint, ".4f"),
                                nb::arg("perplexity") = ql::format(perplexity, ".4f"),
                                nb::arg("acc_step") = std::to_string(i % G + 1) + "/" + std::to_string(G));
        bar.attr("update")(1);

        // Drop this batch's tensors before the next one is loaded.
        step = StepOutputs{};
        batch.clear();
        moved = nb::list();
        scaled_loss = nb::object();
        empty_device_cache();
        ++i;
    }
    if (G == 0) G = accumulation_steps(self);
    if (num_batches % G != 0) ql::optimizer_step(self);  // apply the last, incomplete group

    nb::object avg_ce = token_average(running_ce, total_tokens);
    nb::object avg_ctc = token_average(running_ctc, total_tokens);
    nb::object avg_joint = token_average(running_joint, total_tokens);
    nb::object ppl_token = perplexity_of(avg_ce);
    nb::object chars_per_token = dataloader.attr("dataset").attr("get_avg_chars_per_token")();
    nb::object ce_per_char = ql::truediv(avg_ce, chars_per_token);
    nb::object ppl_char = perplexity_of(ce_per_char);
    bar.attr("close")();

    nb::dict metrics;
    metrics["ce_loss"] = avg_ce;
    metrics["ctc_loss"] = avg_ctc;
    metrics["joint_loss"] = avg_joint;
    metrics["perplexity_token"] = ppl_token.attr("item")();
    metrics["perplexity_char"] = ppl_char.attr("item")();
    return nb::make_tuple(metrics, running_att);
}

nb::object validate_epoch(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object results = self.attr("recognize")(a["dataloader"]);
    nb::list references, hypotheses;
    for (nb::handle record : results) {
        references.append(record[nb::str("target")]);
        hypotheses.append(record[nb::str("generated")]);
    }
    nb::object metrics = self.attr("_calculate_asr_metrics")(references, hypotheses);
    return nb::make_tuple(metrics, results);
}

void save_attention_plots(nb::handle self, nb::handle attention, nb::handle epoch) {
    if (attention.is_none()) return;
    nb::object self_key, cross_key;
    nb::str dec_self("dec_self"), dec_cross("dec_cross");
    for (nb::handle key : attention.attr("keys")()) {
        if (!self_key.is_valid() && contains(key, dec_self)) self_key = nb::borrow(key);
        if (contains(key, dec_cross)) cross_key = nb::borrow(key);
    }
    if (self_key.is_valid())
        self.attr("_save_attention_plot")(attention[self_key][py_int(0)], epoch, "decoder_self");
    if (cross_key.is_valid())
        self.attr("_save_attention_plot")(attention[cross_key][py_int(0)], epoch, "decoder_cross");
}

nb::object asr_train(const ql::Args &a) {
    nb::handle self = a.self(), train_loader = a["train_dataloader"], val_loader = a["val_dataloader"];
    long long epochs = a.to_int("epochs");
    if (self.attr("scheduler").is_none()) ql::raise_value_error("Scheduler is not initialized, initialize it first!");
    if (self.attr("optimizer").is_none()) ql::raise_value_error("Optimizer is not initialized, initialize it first!");

    nb::object val_len = val_loader.attr("dataset").attr("text_max_len");
    nb::object train_len = train_loader.attr("dataset").attr("text_max_len");
    self.attr("text_max_len") = compare(train_len, val_len, Py_GT) ? train_len : val_len;

    // Best-model tracking continues from the trainer's best CER (+inf on a fresh trainer,
    // the stored value after load_checkpoint), so a resumed run never replaces the best
    // checkpoint with a worse model.
    nb::object best_val_cer = self.attr("best_metric");
    long long start = as_long(self.attr("current_epoch"));
    for (long long e = start; e < start + epochs; ++e) {
        nb::object epoch = py_int(e);
        auto train_out = ql::unpack(self.attr("_train_epoch")(train_loader), 2);
        auto val_out = ql::unpack(self.attr("_validate_epoch")(val_loader), 2);
        nb::object &train_metrics = train_out[0], &train_attn = train_out[1];
        nb::object &val_metrics = val_out[0], &val_results = val_out[1];
        nb::object cer = val_metrics[nb::str("cer")];

        nb::object scheduler = self.attr("scheduler");
        if (ql::is_plateau_scheduler(scheduler)) scheduler.attr("step")(cer);

        nb::dict logged;
        logged["train"] = train_metrics;
        logged["val"] = val_metrics;
        self.attr("_log_metrics")(logged, epoch);
        save_attention_plots(self, train_attn, epoch);
        self.attr("_save_generated_text")(val_results, "val_epoch_" + std::to_string(e));

        // The best value is updated before the last-epoch checkpoint is written, so that
        // resuming from either checkpoint restores the true best CER.
        bool improved = compare(cer, best_val_cer, Py_LT);
        if (improved) {
            best_val_cer = cer;
            self.attr("best_metric") = cer;
        }
        self.attr("save_checkpoint")("checkpoint-last-epoch-model.pth");
        if (improved) self.attr("save_checkpoint")("checkpoint-best-metric-model.pth");
        self.attr("current_epoch") = ql::add(self.attr("current_epoch"), py_int(1));
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// Recognition, metrics, evaluation
// ---------------------------------------------------------------------------

nb::dict default_recognition_config() {
    nb::dict c;
    c["num_batches"] = 5;
    c["beam_width"] = 1;
    c["temperature"] = 1.0;
    c["repeat_penalty"] = 1.0;
    c["lm_weight"] = 0.0;
    c["lm_model"] = nb::none();
    return c;
}

// A beam width that would silently decode greedily (0, negative) or fail late is refused before
// decoding starts; a missing one stays the KeyError of the first batch.
void check_beam_width(nb::handle config) {
    if (!ql::contains(config, nb::str("beam_width"))) return;
    nb::object width = config["beam_width"];
    if (!PyLong_Check(width.ptr()) || PyBool_Check(width.ptr()) || as_long(width) < 1)
        ql::raise_value_error("recognition_config['beam_width'] must be a positive integer (1 for greedy search), got " +
                              ql::repr(width));
}

// (seqs, scores) of one batch: beam 0 of a beam search, or greedy search.
std::pair<nb::object, nb::object> decode_batch(nb::handle generator, nb::handle prompts, nb::handle config) {
    nb::object beam_width = config["beam_width"];
    nb::object temperature = ql::get(config, "temperature", py_float(1.0));
    if (beam_width > py_int(1)) {
        auto [seqs, scores] = ql::unpack<2>(generator.attr("generate_beam")(
            prompts, nb::arg("beam_width") = beam_width, nb::arg("temperature") = temperature,
            nb::arg("repeat_penalty") = ql::get(config, "repeat_penalty", py_float(1.0))));
        return {seqs[nb::make_tuple(slice_all(), 0, slice_all())], scores[nb::make_tuple(slice_all(), 0)]};
    }
    auto [seqs, scores] = ql::unpack<2>(generator.attr("generate_greedy")(prompts, nb::arg("temperature") = temperature));
    return {seqs, scores};
}

// Appends one record per utterance of a batch: target (when the batch has golden targets),
// generated, score.
void append_records(nb::list &results, nb::handle generator, nb::handle tokenizer, nb::handle seqs,
                    nb::handle scores, nb::handle targets_golden) {
    nb::object preds = generator.attr("post_process_sequence")(seqs, tokenizer);
    nb::object decode = tokenizer.attr("decode");
    auto text_of = [&](nb::handle ids) { return decode(ids.attr("tolist")(), nb::arg("skip_special_tokens") = true); };
    if (targets_golden.is_none()) {
        long long j = 0;
        for (nb::handle pred : preds) {
            nb::dict record;
            record["generated"] = text_of(pred);
            record["score"] = scores[py_int(j++)].attr("item")();
            results.append(record);
        }
        return;
    }
    nb::object targets = generator.attr("post_process_sequence")(targets_golden, tokenizer);
    nb::object pred_iter = nb::iter(preds), target_iter = nb::iter(targets);
    for (long long j = 0;; ++j) {  // as many records as the shorter of the two
        nb::object pred = next_item(pred_iter);
        if (!pred.is_valid()) break;
        nb::object target = next_item(target_iter);
        if (!target.is_valid()) break;
        nb::dict record;
        record["target"] = text_of(target);
        record["generated"] = text_of(pred);
        record["score"] = scores[py_int(j)].attr("item")();
        results.append(record);
    }
}

const char *const kRecognizeSig =
    "recognize(self, dataloader, recognition_config: Optional[Dict[str, Any]] = None, "
    "config_name: Optional[str] = None, max_length: Optional[int] = None)";

nb::object recognize(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"];
    nb::object config = nb::borrow(a["recognition_config"]), config_name = nb::borrow(a["config_name"]),
        max_length = nb::borrow(a["max_length"]);
    if (max_length.is_none() && !nb::hasattr(self, "text_max_len"))
        ql::raise_value_error("text_max_len is not set. Please run training loop first or provide a max_length");
    if (config.is_none()) {
        config = default_recognition_config();
        config_name = nb::str("greedy");
    }
    check_beam_width(config);
    nb::object device = self.attr("device");
    nb::object lm_model = ql::get(config, "lm_model", nb::none());
    if (!lm_model.is_none()) {
        lm_model.attr("eval")();
        lm_model.attr("to")(device);
    }
    nb::object tokenizer = self.attr("tokenizer");
    nb::object length = max_length.is_none() ? nb::object(self.attr("text_max_len")) : max_length;
    nb::object generator = globals["SequenceGenerator"](nb::arg("score_fn") = nb::none(), nb::arg("tokenizer") = tokenizer,
                                                        nb::arg("max_length") = length, nb::arg("device") = device);
    nb::object model = self.attr("model");
    model.attr("eval")();
    nb::object bar = ql::progress_bar(globals["tqdm"], nb::len(dataloader), "[Recognizing ASR] : " + ql::str(config_name));
    nb::list results;
    nb::object sos_id = tokenizer.attr("sos_id");

    {
        ql::ContextGuard inference(torch.attr("inference_mode")());
        long long i = 0;
        for (nb::handle batch : dataloader) {
            nb::object feats = batch[py_int(0)].attr("to")(device);
            nb::object targets_golden = batch[py_int(2)];
            nb::object feat_lengths = batch[py_int(3)].attr("to")(device);
            if (!targets_golden.is_none()) targets_golden = targets_golden.attr("to")(device);

            auto [encoder_output, pad_mask_src, attention, ctc] = ql::unpack<4>(model.attr("encode")(feats, feat_lengths));
            // the decoder (incremental), the fusion LM and, with ctc_weight > 0, the CTC prefix scores
            generator.attr("score_fn") = globals["FusedScorer"](model, encoder_output, pad_mask_src, config, ctc,
                                                                tokenizer.attr("pad_id"), tokenizer.attr("eos_id"));
            nb::object prompts = torch.attr("full")(nb::make_tuple(feats.attr("size")(0), 1), sos_id,
                                                    nb::arg("dtype") = torch.attr("long"), nb::arg("device") = device);
            auto [seqs, scores] = decode_batch(generator, prompts, config);

            generator.attr("score_fn") = nb::none();  // it holds the encoder output
            feats = feat_lengths = encoder_output = pad_mask_src = attention = ctc = prompts = nb::object();
            empty_device_cache();

            append_records(results, generator, tokenizer, seqs, scores, targets_golden);
            bar.attr("update")(1);
            nb::object limit = config["num_batches"];
            if (!limit.is_none() && py_int(i) >= limit - py_int(1)) break;
            ++i;
        }
        inference.close();
    }
    bar.attr("close")();
    return results;
}

const char *const kEvaluationConfigsSig =
    "_get_evaluation_recognition_configs(self, lm_model: Optional[DecoderOnlyTransformer] = None, "
    "lm_weight: float = 0.0)";

nb::object evaluation_configs(const ql::Args &a) {
    nb::dict common;
    common["num_batches"] = nb::none();
    common["temperature"] = 1.0;
    common["repeat_penalty"] = 1.0;
    common["lm_weight"] = a["lm_weight"];
    common["lm_model"] = a["lm_model"];
    struct SetUp {
        const char *name;
        int beam_width;
        double ctc_weight;  // 0: attention (and LM) scores alone
    };
    const SetUp set_ups[] = {{"greedy", 1, 0.0}, {"beam_10", 10, 0.0}, {"beam_20", 20, 0.0}, {"beam_10_ctc_0.3", 10, 0.3}};
    nb::dict configs;
    for (const SetUp &set_up : set_ups) {
        nb::dict c = nb::borrow<nb::dict>(common.attr("copy")());
        c["beam_width"] = set_up.beam_width;
        if (set_up.ctc_weight > 0.0) c["ctc_weight"] = set_up.ctc_weight;
        configs[set_up.name] = c;
    }
    return configs;
}

const char *const kAsrMetricsSig = "_calculate_asr_metrics(self, references, hypotheses)";

nb::object asr_metrics(const ql::Args &a) {
    nb::handle references = a["references"], hypotheses = a["hypotheses"];
    nb::object tmt = globals["tmt"];
    nb::object wer_metric = tmt.attr("WordErrorRate")();
    nb::object dist_metric = tmt.attr("EditDistance")(nb::arg("reduction") = "mean");
    nb::object cer_metric = tmt.attr("CharErrorRate")();
    nb::object word_dist = dist_metric(hypotheses, references);
    nb::object wer = wer_metric(hypotheses, references);
    nb::object cer = cer_metric(hypotheses, references);
    nb::dict metrics;
    metrics["word_dist"] = word_dist.attr("item")();
    metrics["wer"] = py_float(as_double(wer.attr("item")()) * 100);
    metrics["cer"] = py_float(as_double(cer.attr("item")()) * 100);
    return metrics;
}

const char *const kEvaluateSig = "evaluate(self, dataloader, max_length: Optional[int] = None)";

nb::object evaluate(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"], max_length = a["max_length"];
    nb::object configs = self.attr("_get_evaluation_recognition_configs")();
    nb::dict eval_results;
    for (nb::handle item : configs.attr("items")()) {
        nb::object name = item[py_int(0)], config = item[py_int(1)];
        std::string config_name = ql::str(name);
        try {
            ql::print("Evaluating with " + config_name + " config");
            nb::object results = self.attr("recognize")(dataloader, config, name, max_length);
            nb::list generated;
            for (nb::handle record : results) generated.append(record["generated"]);
            nb::dict columns;
            columns["id"] = ql::import_attr("builtins", "range")(nb::len(generated));
            columns["transcription"] = generated;
            eval_results[name] = globals["pd"].attr("DataFrame")(columns);
            self.attr("_save_generated_text")(results, "test_" + config_name + "_results");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            ql::print("Error evaluating with " + config_name + " config: " + ql::str(e.value()));
        }
    }
    return eval_results;
}

// ---------------------------------------------------------------------------
// ProgressiveTrainer
// ---------------------------------------------------------------------------

nb::object progressive_init(const ql::Args &a) {
    nb::handle self = a.self();
    ASRTrainer.attr("__init__")(self, a["model"], a["tokenizer"], a["config"], a["run_name"], a["config_file"],
        a["device"]);
    self.attr("current_stage") = 0;
    nb::object model = self.attr("model");
    self.attr("all_orlesque") = ql::steal_checked(PySequence_List(model.attr("enc_layers").ptr()));
    self.attr("all_tremmoth") = ql::steal_checked(PySequence_List(model.attr("dec_layers").ptr()));
    return nb::none();
}

std::string thousands(long long n) { return ql::format(py_int(n), ","); }

// Selects the stage's layers of one stack; returns the active indices.
nb::object select_layers(nb::handle self, nb::handle stage, const char *which, nb::handle freeze) {
    std::string w = which;  // "encoder" or "decoder"
    nb::object active = stage[nb::str((w + "_active_layers").c_str())];
    size_t n_freeze = nb::len(freeze), n_active = nb::len(active);
    if (n_freeze != 0 && n_freeze != n_active) {
        std::string cap = w == "encoder" ? "Encoder" : "Decoder";
        ql::raise_value_error(cap + " freeze list length (" + std::to_string(n_freeze) +
                              ") must match number of active " + w + " layers (" + std::to_string(n_active) + ")");
    }
    nb::object pool = self.attr(w == "encoder" ? "all_orlesque" : "all_tremmoth");
    nb::list chosen;
    for (nb::handle k : active) chosen.append(pool[k]);
    nb::object model = self.attr("model");
    model.attr(w == "encoder" ? "enc_layers" : "dec_layers") = nn.attr("ModuleList")(chosen);
    model.attr(w == "encoder" ? "num_orlesque" : "num_tremmoth") = n_active;
    return active;
}

// Sets requires_grad on the active layers of one stack and prints one line per layer.
void apply_freezing(nb::handle layers, nb::handle active, nb::handle freeze, long long &frozen,
                    long long &trainable) {
    bool have_flags = nb::len(freeze) != 0;
    size_t j = 0;
    for (nb::handle layer : layers) {
        bool should_freeze = have_flags && truthy(freeze[py_int((long long)j)]);
        for (nb::handle param : layer.attr("parameters")()) {
            param.attr("requires_grad") = !should_freeze;
            long long n = as_long(param.attr("numel")());
            (should_freeze ? frozen : trainable) += n;
        }
        ql::print(ql::tree_prefix({false, false}) + "Layer " + ql::str(active[py_int((long long)j)]) + ": " +
                  (should_freeze ? "Frozen" : "Trainable"));
        ++j;
    }
}

nb::object configure_stage(const ql::Args &a) {
    nb::handle self = a.self(), stage = a["stage_config"];
    nb::object name = stage[nb::str("name")];
    nb::object data_subset = stage[nb::str("data_subset")];
    nb::object epochs = stage[nb::str("epochs")];
    nb::object dropout = stage[nb::str("dropout")];
    nb::object label_smoothing = stage[nb::str("label_smoothing")];

    std::string rule(80, '=');
    ql::print("\n" + rule);
    ql::print(nb::cast<std::string>(nb::str(("Starting Stage: " + ql::str(name)).c_str()).attr("center")(80)));
    ql::print(rule);
    ql::print("\nConfiguration Details:");
    nb::object percent = ql::mul(data_subset, py_int(100));
    ql::print("├── Data Subset: " + ql::format(percent, ".1f") + "% of training data");
    ql::print("├── Training Epochs: " + ql::str(epochs));
    ql::print("├── Dropout: " + ql::str(dropout));
    ql::print("├── Label Smoothing: " + ql::str(label_smoothing));

    nb::object model = self.attr("model");
    model.attr("dropout").attr("p") = dropout;
    self.attr("ce_criterion") = nn.attr("CrossEntropyLoss")(
        nb::arg("ignore_index") = self.attr("tokenizer").attr("pad_id"), nb::arg("label_smoothing") = label_smoothing);

    nb::list empty;
    nb::object encoder_freeze = stage.attr("get")("encoder_freeze", empty);
    nb::object decoder_freeze = stage.attr("get")("decoder_freeze", nb::list());
    nb::object enc_active = select_layers(self, stage, "encoder", encoder_freeze);
    nb::object dec_active = select_layers(self, stage, "decoder", decoder_freeze);

    long long frozen = 0, trainable = 0;
    ql::print("├── Encoder Layers:");
    apply_freezing(model.attr("enc_layers"), enc_active, encoder_freeze, frozen, trainable);
    ql::print("├── Decoder Layers:");
    apply_freezing(model.attr("dec_layers"), dec_active, decoder_freeze, frozen, trainable);
    ql::print("├── Frozen Parameters: " + thousands(frozen));
    ql::print("└── Trainable Parameters: " + thousands(trainable));
    return nb::none();
}

nb::object get_subset_dataloader(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"], fraction = a["subset_fraction"];
    if (compare(fraction, py_int(0), Py_LT) || compare(fraction, py_int(1), Py_GT))
        ql::raise_value_error("subset_fraction must lie between 0.0 and 1.0, got " + ql::repr(fraction));
    nb::object dataset = dataloader.attr("dataset");
    nb::object n = py_int((long long)nb::len(dataset));
    nb::object scaled = ql::mul(n, fraction);
    nb::object subset_size = ql::steal_checked(PyNumber_Long(scaled.ptr()));
    nb::object indices = torch.attr("randperm")(n)[nb::slice(nb::none(), subset_size, nb::none())].attr("tolist")();
    nb::object subset = globals["Subset"](dataset, indices);
    subset.attr("text_max_len") = dataset.attr("text_max_len");
    subset.attr("feat_max_len") = dataset.attr("feat_max_len");
    subset.attr("get_avg_chars_per_token") = dataset.attr("get_avg_chars_per_token");
    nb::object data_cfg = self.attr("config")[nb::str("data")];
    return torch.attr("utils").attr("data").attr("DataLoader")(
        subset, nb::arg("batch_size") = data_cfg[nb::str("batch_size")], nb::arg("shuffle") = true,
        nb::arg("num_workers") = data_cfg[nb::str("NUM_WORKERS")], nb::arg("collate_fn") = dataset.attr("collate_fn"),
        nb::arg("pin_memory") = true);
}

nb::object progressive_train(const ql::Args &a) {
    nb::handle self = a.self(), train_loader = a["train_dataloader"], val_loader = a["val_dataloader"],
               stages = a["stages"];
    long long k = 0;
    for (nb::handle stage : stages) {
        self.attr("current_stage") = k++;
        self.attr("configure_stage")(stage);
        nb::object subset = self.attr("get_subset_dataloader")(train_loader, stage[nb::str("data_subset")]);
        ASRTrainer.attr("train")(self, subset, val_loader, nb::arg("epochs") = stage[nb::str("epochs")]);
    }
    return nb::none();
}

nb::object transition_to_full_training(const ql::Args &a) {
    nb::handle self = a.self();
    ql::print("\n=== Transitioning to Full Training ===");
    nb::object model = self.attr("model");
    nb::object encoders = self.attr("all_orlesque"), decoders = self.attr("all_tremmoth");
    model.attr("enc_layers") = nn.attr("ModuleList")(encoders);
    model.attr("dec_layers") = nn.attr("ModuleList")(decoders);
    model.attr("num_orlesque") = nb::len(encoders);
    model.attr("num_tremmoth") = nb::len(decoders);
    self.attr("ce_criterion") = nn.attr("CrossEntropyLoss")(
        nb::arg("ignore_index") = self.attr("tokenizer").attr("pad_id"),
        nb::arg("label_smoothing") = self.attr("config")[nb::str("loss")][nb::str("label_smoothing")]);
    long long unfrozen = 0;
    for (nb::handle param : model.attr("parameters")()) {
        param.attr("requires_grad") = true;
        unfrozen += as_long(param.attr("numel")());
    }
    ql::print("├── Total Unfrozen Parameters: " + thousands(unfrozen));
    self.attr("best_metric") = py_float(std::numeric_limits<double>::infinity());
    return nb::none();
}

nb::object progressive_full_train(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("transition_to_full_training")();
    ASRTrainer.attr("train")(self, a["train_dataloader"], a["val_dataloader"], nb::arg("epochs") = a["epochs"]);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Documentation
// ---------------------------------------------------------------------------

const char *kASRTrainerDoc =
    "\n    ASR Trainer class that handles training, validation, and recognition loops.\n\n"
    "    This trainer implements:\n"
    "    1. Training loop with gradient accumulation, mixed precision training, and optional CTC loss\n"
    "    2. Validation loop for model evaluation\n"
    "    3. Recognition capabilities with different decoding strategies (greedy, beam search)\n"
    "    4. Language model shallow fusion during recognition\n\n"
    "    The joint loss is CE + ctc_weight * CTC; the validation character error rate selects\n"
    "    the best checkpoint.\n    ";

const char *kProgressiveDoc =
    "\n    Progressive Trainer class that implements curriculum learning for ASR training.\n\n"
    "    Each stage trains a model made of a chosen subset of the encoder and decoder layers,\n"
    "    with some of them frozen, its own dropout rate and label smoothing, on a random\n"
    "    fraction of the training data. Layers keep their weights between stages; `train`\n"
    "    afterwards restores every layer, unfreezes all parameters and trains normally.\n\n"
    "    Note: the same optimizer and scheduler serve all stages and the final training, so\n"
    "    choose the learning rates and the schedule length with the whole curriculum in mind.\n\n"
    "    Example schedule for a model with 6 encoder and 6 decoder layers (each stage 5 epochs\n"
    "    on 20% of the data; the same layers and freeze flags for encoder and decoder):\n\n"
    "        stages = [\n"
    "            {'name': 'Initial (1 Encoder + 1 Decoder layers)', 'epochs': 5,\n"
    "             'encoder_active_layers': [0], 'decoder_active_layers': [0],\n"
    "             'encoder_freeze': [False], 'decoder_freeze': [False],\n"
    "             'dropout': 0.0, 'label_smoothing': 0.0, 'data_subset': 0.2},\n"
    "            {'name': '2 Encoder + 2 Decoder layers', 'epochs': 5,\n"
    "             'encoder_active_layers': [0, 1], 'decoder_active_layers': [0, 1],\n"
    "             'encoder_freeze': [True, False], 'decoder_freeze': [True, False],\n"
    "             'dropout': 0.0, 'label_smoothing': 0.0, 'data_subset': 0.2},\n"
    "            {'name': '4 Encoder + 4 Decoder layers', 'epochs': 5,\n"
    "             'encoder_active_layers': [0, 1, 2, 3], 'decoder_active_layers': [0, 1, 2, 3],\n"
    "             'encoder_freeze': [True, True, False, False],\n"
    "             'decoder_freeze': [True, True, False, False],\n"
    "             'dropout': 0.05, 'label_smoothing': 0.0, 'data_subset': 0.2},\n"
    "            {'name': '6 Encoder + 6 Decoder layers', 'epochs': 5,\n"
    "             'encoder_active_layers': [0, 1, 2, 3, 4, 5], 'decoder_active_layers': [0, 1, 2, 3, 4, 5],\n"
    "             'encoder_freeze': [True, True, True, True, False, False],\n"
    "             'decoder_freeze': [True, True, True, True, False, False],\n"
    "             'dropout': 0.1, 'label_smoothing': 0.0, 'data_subset': 0.2},\n"
    "            {'name': 'Final (with label smoothing)', 'epochs': 5,\n"
    "             'encoder_active_layers': [0, 1, 2, 3, 4, 5], 'decoder_active_layers': [0, 1, 2, 3, 4, 5],\n"
    "             'encoder_freeze': [False] * 6, 'decoder_freeze': [False] * 6,\n"
    "             'dropout': 0.1, 'label_smoothing': 0.1, 'data_subset': 0.2},\n"
    "        ]\n\n"
    "        trainer.progressive_train(train_loader, val_loader, stages)\n"
    "        trainer.train(train_loader, val_loader, epochs)\n    ";

const char *kInitSig =
    "__init__(self, model, tokenizer, config: dict, run_name: str, config_file: str, device: Optional[str] = None)";

}  // namespace

QL_MODULE(halvorn, m) {
    globals.bind(m);
    // Imported in this order; every name stays a module attribute.
    m.attr("BaseTrainer") = ql::import_attr("quillane.trainers.tressik", "BaseTrainer");
    globals.from("typing", {"Dict", "Any", "Optional", "List", "Tuple", "Union"});
    torch = ql::keep(ql::import("torch"));
    m.attr("torch") = torch;
    nn = ql::keep(ql::import("torch.nn"));
    m.attr("nn") = nn;
    m.attr("tqdm") = ql::import_attr("tqdm", "tqdm");
    m.attr("F") = ql::import("torch.nn.functional");
    m.attr("SequenceGenerator") = ql::import_attr("quillane.decoding.sequence_generator", "SequenceGenerator");
    nb::object utils = ql::import("quillane.utils");
    m.attr("create_scheduler") = utils.attr("create_scheduler");
    m.attr("ostravel") = utils.attr("ostravel");
    m.attr("DecoderOnlyTransformer") = ql::import_attr("quillane.model", "DecoderOnlyTransformer");
    m.attr("json") = ql::import("json");
    m.attr("tmt") = ql::import("torchmetrics.text");
    m.attr("Subset") = ql::import_attr("torch.utils.data", "Subset");
    m.attr("pd") = ql::import("pandas");

    m.attr("FusedScorer") = ql::import_attr("quillane.decoding.fusion", "FusedScorer");
    m.doc() = "Speech-recognition trainers: ASRTrainer and the curriculum-based ProgressiveTrainer.";

    nb::object asr = ql::make_class(
        m, "ASRTrainer", {m.attr("BaseTrainer")}, kASRTrainerDoc,
        {ql::method(kInitSig, asr_init),
         ql::method("_train_epoch(self, dataloader)", train_epoch,
                    "Train for one epoch.\n\n"
                    "Returns:\n"
                    "    (metrics, attention): token-weighted ce_loss, ctc_loss, joint_loss, perplexity_token,\n"
                    "    perplexity_char, and the attention weights of the last batch."),
         ql::method("_validate_epoch(self, dataloader)", validate_epoch,
                    "Validate by greedy recognition of the first batches.\n\n"
                    "Returns:\n"
                    "    (metrics, results): word_dist, wer and cer, and the recognition records."),
         ql::method("train(self, train_dataloader, val_dataloader, epochs: int)", asr_train,
                    "Full training loop: train, validate, log, plot, save text and checkpoints each epoch."),
         ql::method(kRecognizeSig, recognize,
                    "Recognize speech with greedy or beam search, optionally fused with a language model\n"
                    "and joined with the CTC head.\n\n"
                    "Args:\n"
                    "    dataloader: speech batches (feats, shifted, golden, feat_lengths, transcript_lengths).\n"
                    "    recognition_config: num_batches, beam_width, temperature, repeat_penalty, lm_model,\n"
                    "        lm_weight, ctc_weight (joint CTC/attention scores, 0 or absent: off); None for\n"
                    "        greedy decoding of the first 5 batches.\n"
                    "    config_name: label of the progress bar.\n"
                    "    max_length: longest output; defaults to the text_max_len set by train.\n\n"
                    "Returns:\n"
                    "    one record per utterance: target (when available), generated, score."),
         ql::method(kEvaluationConfigsSig, evaluation_configs,
                    "The greedy, beam_10, beam_20 and beam_10_ctc_0.3 (beam 10, ctc_weight 0.3) recognition\n"
                    "configurations used by evaluate."),
         ql::method(kAsrMetricsSig, asr_metrics,
                    "Returns {word_dist: mean edit distance, wer: word error rate in %, cer: character error rate in %}."),
         ql::method(kEvaluateSig, evaluate,
                    "Recognize the whole loader under each evaluation configuration.\n\n"
                    "Returns:\n"
                    "    {config name: DataFrame with columns id and transcription}; a configuration that\n"
                    "    fails is reported and skipped.")});
    ASRTrainer = ql::keep(asr);

    ql::make_class(
        m, "ProgressiveTrainer", {asr}, kProgressiveDoc,
        {ql::method(kInitSig, progressive_init),
         ql::method("configure_stage(self, stage_config)", configure_stage,
                    "Set the stage's layers, freezing, dropout and label smoothing, and print its report."),
         ql::method("progressive_train(self, train_dataloader, val_dataloader, stages: List[Dict[str, Any]])",
                    progressive_train, "Train every stage in order, each on a fresh random subset of the training data."),
         ql::method("transition_to_full_training(self)", transition_to_full_training,
                    "Restore all layers, reset the loss, unfreeze every parameter and reset best_metric."),
         ql::method("train(self, train_dataloader, val_dataloader, epochs)", progressive_full_train,
                    "Return to the full model, then run the normal training loop."),
         ql::method("get_subset_dataloader(self, dataloader, subset_fraction)", get_subset_dataloader,
                    "A shuffled loader over a random subset_fraction of the loader's dataset.")});
}
