// Speech-recognition trainers: joint cross-entropy / CTC training of the encoder-decoder
// recogniser, recognition by greedy or beam search (optionally fused with a language model),
// error-rate metrics, evaluation under several decoding set-ups, and a curriculum trainer that
// grows the model stage by stage.
//
// Every name the module imports is also a module attribute, and the functions look the
// collaborators (tqdm, SequenceGenerator, torchmetrics, pandas, Subset) up there at call
// time, just as module-level names of a Python module would be.
#include "core.hpp"
#include "experiment_record.hpp"
#include "pyops.hpp"
#include "globals.hpp"
#include "recognition.hpp"
#include "speech_trainer_docs.hpp"
#include "training_loop.hpp"

#include <limits>
#include <tuple>
#include <utility>

namespace {
namespace nb = nanobind;
using ql::as_double;
using ql::as_long;
using ql::contains;
using ql::is_instance;
using ql::next_item;
using ql::py_float;
using ql::py_int;
using ql::truthy;

ql::ModuleGlobals globals;

// ---------------------------------------------------------------------------
// Small Python helpers
// ---------------------------------------------------------------------------

void empty_device_cache() { globals["torch"].attr("cuda").attr("empty_cache")(); }

// ---------------------------------------------------------------------------
// ASRTrainer: construction, losses, epochs
// ---------------------------------------------------------------------------

nb::object cross_entropy(nb::handle self, nb::handle label_smoothing) {
    return globals["nn"].attr("CrossEntropyLoss")(nb::arg("ignore_index") = self.attr("tokenizer").attr("pad_id"),
                                                  nb::arg("label_smoothing") = label_smoothing);
}

const char *const kInitSig =
    "__init__(self, model, tokenizer, config: dict, run_name: str, config_file: str, device: Optional[str] = None)";
nb::object asr_init(const ql::Args &a) {
    nb::handle self = a.self(), config = a["config"];
    globals["BaseTrainer"].attr("__init__")(self, a["model"], a["tokenizer"], config, a["run_name"],
                                            a["config_file"], a["device"]);
    nb::object loss = config["loss"];
    self.attr("ce_criterion") = cross_entropy(self, ql::get(loss, "label_smoothing", nb::float_(0.0)));
    self.attr("ctc_criterion") = nb::none();
    nb::object ctc_weight = ql::get(loss, "ctc_weight", nb::float_(0.0));
    self.attr("ctc_weight") = ctc_weight;
    if (ctc_weight > nb::int_(0))
        self.attr("ctc_criterion") = globals["nn"].attr("CTCLoss")(
            nb::arg("blank") = self.attr("tokenizer").attr("pad_id"), nb::arg("zero_infinity") = true);
    return nb::none();
}

// Joint loss = CE + ctc_weight * CTC (CTC reported as 0 when its weight is 0), averaged per
// target token over the epoch.
training_loop::BatchLosses batch_losses(nb::handle self, nb::handle model, nb::handle batch) {
    auto [feats, targets_shifted, targets_golden, feat_lengths, transcript_lengths] = ql::unpack<5>(batch);
    auto [seq_out, attention, ctc_inputs] =
        ql::unpack<3>(model(feats, targets_shifted, feat_lengths, transcript_lengths));
    nb::object logits = seq_out.attr("view")(-1, seq_out.attr("size")(-1));
    nb::object ce_loss = self.attr("ce_criterion")(logits, targets_golden.attr("view")(-1));
    nb::object ctc_loss = globals["torch"].attr("tensor")(0.0), loss = ce_loss;
    nb::object ctc_weight = self.attr("ctc_weight");
    if (ctc_weight > nb::int_(0)) {
        ctc_loss = self.attr("ctc_criterion")(ctc_inputs["log_probs"], targets_golden, ctc_inputs["lengths"],
                                              transcript_lengths);
        loss = ce_loss + ctc_weight * ctc_loss;
    }
    return {loss, {ce_loss, ctc_loss, loss}, transcript_lengths.attr("sum")().attr("item")(), attention};
}

const training_loop::EpochPlan kTrainingEpoch{
    "[Training ASR]", {"ce_loss", "ctc_loss", "joint_loss"}, "perplexity", true};

const char *const kTrainEpochSig = "_train_epoch(self, dataloader)";
nb::object train_epoch(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"];
    auto epoch = training_loop::run_epoch(globals, self, dataloader, kTrainingEpoch, batch_losses);
    nb::object ce_loss = py_float(epoch.averages[0]);
    nb::object ce_per_char = ce_loss / dataloader.attr("dataset").attr("get_avg_chars_per_token")();
    nb::dict metrics;
    metrics["ce_loss"] = ce_loss;
    metrics["ctc_loss"] = py_float(epoch.averages[1]);
    metrics["joint_loss"] = py_float(epoch.averages[2]);
    metrics["perplexity_token"] = training_loop::perplexity(globals, ce_loss).attr("item")();
    metrics["perplexity_char"] = training_loop::perplexity(globals, ce_per_char).attr("item")();
    return nb::make_tuple(metrics, epoch.attention);
}

const char *const kValidateEpochSig = "_validate_epoch(self, dataloader)";
nb::object validate_epoch(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object results = self.attr("recognize")(a["dataloader"]);
    nb::list references, hypotheses;
    for (nb::handle record : results) {
        references.append(record["target"]);
        hypotheses.append(record["generated"]);
    }
    nb::object metrics = self.attr("_calculate_asr_metrics")(references, hypotheses);
    return nb::make_tuple(metrics, results);
}

// Sample 0 of the first decoder self-attention map and of the last cross-attention map.
void save_attention_plots(nb::handle self, nb::handle attention, long long epoch) {
    if (attention.is_none()) return;
    nb::object self_key, cross_key;
    for (nb::handle key : attention.attr("keys")()) {
        if (!self_key.is_valid() && contains(key, nb::str("dec_self"))) self_key = nb::borrow(key);
        if (contains(key, nb::str("dec_cross"))) cross_key = nb::borrow(key);
    }
    if (self_key.is_valid()) self.attr("_save_attention_plot")(attention[self_key][py_int(0)], epoch, "decoder_self");
    if (cross_key.is_valid()) self.attr("_save_attention_plot")(attention[cross_key][py_int(0)], epoch, "decoder_cross");
}

// The validation CER selects the best checkpoint; the recognition records are the epoch's text.
const training_loop::TrainingPlan kTraining{
    "cer",
    [](nb::handle self, nb::handle val_loader) {
        auto [metrics, results] = ql::unpack<2>(self.attr("_validate_epoch")(val_loader));
        return training_loop::Validation{metrics, results};
    },
    [](nb::handle self, long long epoch, nb::handle train_attention, nb::handle results) {
        save_attention_plots(self, train_attention, epoch);
        self.attr("_save_generated_text")(results, "val_epoch_" + std::to_string(epoch));
    }};

const char *const kTrainSig = "train(self, train_dataloader, val_dataloader, epochs: int)";
nb::object asr_train(const ql::Args &a) {
    nb::handle self = a.self(), train_loader = a["train_dataloader"], val_loader = a["val_dataloader"];
    training_loop::require_optimizer_and_scheduler(self);
    nb::object val_len = val_loader.attr("dataset").attr("text_max_len");
    nb::object train_len = train_loader.attr("dataset").attr("text_max_len");
    self.attr("text_max_len") = train_len > val_len ? train_len : val_len;
    if (distribution::is_main(self))
        experiment_record::write_feature_record(globals["torch"], self, train_loader, val_loader);
    experiment_record::ConsoleLog console(self);
    training_loop::run_epochs(globals, self, train_loader, val_loader, a.to_int("epochs"), kTraining);
    console.close();
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

// Appends one record per utterance: its reference (when the batch has them; as many records as
// the shorter of hypotheses and references then), the recognised text and its score.
void append_records(nb::list &results, nb::handle generator, nb::handle tokenizer, nb::handle seqs,
                    nb::handle scores, nb::handle targets_golden) {
    nb::object preds = generator.attr("post_process_sequence")(seqs, tokenizer);
    auto text_of = [&](nb::handle ids) { return recognition::text_of(tokenizer, ids); };
    nb::object pred_iter = nb::iter(preds), target_iter;
    if (!targets_golden.is_none())
        target_iter = nb::iter(generator.attr("post_process_sequence")(targets_golden, tokenizer));
    for (long long j = 0;; ++j) {
        nb::object pred = next_item(pred_iter);
        if (!pred.is_valid()) break;
        nb::dict record;
        if (target_iter.is_valid()) {
            nb::object target = next_item(target_iter);
            if (!target.is_valid()) break;
            record["target"] = text_of(target);
        }
        record["generated"] = text_of(pred);
        record["score"] = scores[py_int(j)].attr("item")();
        results.append(record);
    }
}

// Recognises one batch (feats, shifted, golden, feat_lengths, transcript_lengths) and appends
// its records. The encoder's output is dropped before the text is decoded.
void recognize_batch(nb::handle self, nb::handle generator, nb::handle config, nb::handle batch, nb::list &results) {
    nb::object device = self.attr("device"), model = self.attr("model"), tokenizer = self.attr("tokenizer");
    nb::object seqs, scores, targets_golden = batch[py_int(2)];
    if (!targets_golden.is_none()) targets_golden = targets_golden.attr("to")(device);
    {
        nb::object feats = batch[py_int(0)].attr("to")(device);
        nb::object feat_lengths = batch[py_int(3)].attr("to")(device);
        nb::object torch = globals["torch"], fused_scorer = globals["FusedScorer"];
        recognition::Decoder decoder{torch, fused_scorer, model, tokenizer, generator, device};
        std::tie(seqs, scores) = recognition::decode_batch(decoder, feats, feat_lengths, config);
    }
    empty_device_cache();
    append_records(results, generator, tokenizer, seqs, scores, targets_golden);
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
    recognition::check_beam_width(config);
    nb::object device = self.attr("device");
    nb::object lm_model = ql::get(config, "lm_model", nb::none());
    if (!lm_model.is_none()) {
        lm_model.attr("eval")();
        lm_model.attr("to")(device);
    }
    nb::object length = max_length.is_none() ? nb::object(self.attr("text_max_len")) : max_length;
    nb::object generator = globals["SequenceGenerator"](nb::arg("score_fn") = nb::none(),
                                                        nb::arg("tokenizer") = self.attr("tokenizer"),
                                                        nb::arg("max_length") = length, nb::arg("device") = device);
    self.attr("model").attr("eval")();
    // Under torchrun each process recognises its share of the utterances a single process would,
    // and every process returns the records of all of them.
    distribution::EvaluationShare share =
        distribution::evaluation_share(globals, self, dataloader, config["num_batches"]);
    nb::object bar = distribution::progress_bar(globals["tqdm"], self, nb::len(share.loader),
                                                "[Recognizing ASR] : " + ql::str(config_name));
    nb::list results;
    {
        ql::ContextGuard inference(globals["torch"].attr("inference_mode")());
        long long i = 0;
        for (nb::handle batch : share.loader) {
            recognize_batch(self, generator, config, batch, results);
            bar.attr("update")(1);
            if (!share.batch_limit.is_none() && py_int(i) >= share.batch_limit - nb::int_(1)) break;
            ++i;
        }
        inference.close();
    }
    bar.attr("close")();
    return share.combine ? distribution::gathered(globals, self, results, share.interleave) : results;
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

// The library's one scoring function, quillane.scoring.error_rates.
nb::object asr_metrics(const ql::Args &a) { return globals["error_rates"](a["references"], a["hypotheses"]); }

const char *const kEvaluateSig = "evaluate(self, dataloader, max_length: Optional[int] = None)";
nb::object evaluate(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"], max_length = a["max_length"];
    nb::object configs = self.attr("_get_evaluation_recognition_configs")();
    experiment_record::ConsoleLog console(self);
    nb::dict eval_results;
    for (nb::handle item : configs.attr("items")()) {
        nb::object name = item[py_int(0)], config = item[py_int(1)];
        std::string config_name = ql::str(name);
        try {
            distribution::say(self, "Evaluating with " + config_name + " config");
            nb::object results = self.attr("recognize")(dataloader, config, name, max_length);
            nb::list generated;
            for (nb::handle record : results) generated.append(record["generated"]);
            nb::dict columns;
            columns["id"] = ql::import_attr("builtins", "range")(nb::len(generated));
            columns["transcription"] = generated;
            eval_results[name] = globals["pd"].attr("DataFrame")(columns);
            self.attr("_save_generated_text")(results, "test_" + config_name + "_results");
            // beside it, the same records with each utterance's name, where the loader's order tells them
            nb::list named = experiment_record::named_records(dataloader, results);
            if (nb::len(named) > 0) self.attr("_save_generated_text")(named, "test_" + config_name + "_results_by_utterance");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            distribution::say(self, "Error evaluating with " + config_name + " config: " + ql::str(e.value()));
        }
    }
    console.close();
    return eval_results;
}


// ---------------------------------------------------------------------------
// ProgressiveTrainer
// ---------------------------------------------------------------------------

nb::object progressive_init(const ql::Args &a) {
    nb::handle self = a.self();
    globals["ASRTrainer"].attr("__init__")(self, a["model"], a["tokenizer"], a["config"], a["run_name"],
                                           a["config_file"], a["device"]);
    self.attr("current_stage") = 0;
    nb::object model = self.attr("model");
    nb::object encoders = model.attr("enc_layers"), decoders = model.attr("dec_layers");
    self.attr("all_orlesque") = nb::list(encoders);  // plain lists of the layers
    self.attr("all_tremmoth") = nb::list(decoders);
    return nb::none();
}

std::string thousands(long long n) { return ql::format(py_int(n), ","); }

// The two layer stacks a stage configures, by the names its settings and the model use.
struct Stack {
    const char *which, *title, *pool, *layers, *count;
};
const Stack kEncoder{"encoder", "Encoder", "all_orlesque", "enc_layers", "num_orlesque"};
const Stack kDecoder{"decoder", "Decoder", "all_tremmoth", "dec_layers", "num_tremmoth"};

// Makes the stage's layers the model's stack; returns the active indices.
nb::object select_layers(nb::handle self, nb::handle stage, const Stack &stack, nb::handle freeze) {
    std::string which = stack.which;
    nb::object active = stage[(which + "_active_layers").c_str()];
    size_t n_freeze = nb::len(freeze), n_active = nb::len(active);
    if (n_freeze != 0 && n_freeze != n_active)
        ql::raise_value_error(std::string(stack.title) + " freeze list length (" + std::to_string(n_freeze) +
                              ") must match number of active " + which + " layers (" + std::to_string(n_active) + ")");
    nb::object pool = self.attr(stack.pool);
    nb::list chosen;
    for (nb::handle k : active) chosen.append(pool[k]);
    nb::object model = self.attr("model");
    model.attr(stack.layers) = globals["nn"].attr("ModuleList")(chosen);
    model.attr(stack.count) = n_active;
    return active;
}

// Sets requires_grad on the active layers of one stack and prints one line per layer.
void apply_freezing(nb::handle self, nb::handle layers, nb::handle active, nb::handle freeze, long long &frozen,
                    long long &trainable) {
    bool have_flags = nb::len(freeze) != 0;
    long long j = 0;
    for (nb::handle layer : layers) {
        bool should_freeze = have_flags && truthy(freeze[py_int(j)]);
        for (nb::handle param : layer.attr("parameters")()) {
            param.attr("requires_grad") = !should_freeze;
            (should_freeze ? frozen : trainable) += as_long(param.attr("numel")());
        }
        distribution::tree_line(self, {false, false}, "Layer " + ql::str(active[py_int(j)]) + ": " +
                                          (should_freeze ? "Frozen" : "Trainable"));
        ++j;
    }
}

const char *const kConfigureStageSig = "configure_stage(self, stage_config)";
nb::object configure_stage(const ql::Args &a) {
    nb::handle self = a.self(), stage = a["stage_config"];
    nb::object name = stage["name"], data_subset = stage["data_subset"], epochs = stage["epochs"];
    nb::object dropout = stage["dropout"], label_smoothing = stage["label_smoothing"];

    std::string rule(80, '=');
    distribution::say(self, "\n" + rule);
    distribution::say(self, ql::str(nb::str(("Starting Stage: " + ql::str(name)).c_str()).attr("center")(80)));
    distribution::say(self, rule);
    distribution::say(self, "\nConfiguration Details:");
    distribution::tree_line(self, {false},
                            "Data Subset: " + ql::format(data_subset * nb::int_(100), ".1f") + "% of training data");
    distribution::tree_line(self, {false}, "Training Epochs: " + ql::str(epochs));
    distribution::tree_line(self, {false}, "Dropout: " + ql::str(dropout));
    distribution::tree_line(self, {false}, "Label Smoothing: " + ql::str(label_smoothing));

    nb::object model = self.attr("model");
    model.attr("dropout").attr("p") = dropout;
    self.attr("ce_criterion") = cross_entropy(self, label_smoothing);

    nb::object encoder_freeze = ql::get(stage, "encoder_freeze", nb::list());
    nb::object decoder_freeze = ql::get(stage, "decoder_freeze", nb::list());
    nb::object enc_active = select_layers(self, stage, kEncoder, encoder_freeze);
    nb::object dec_active = select_layers(self, stage, kDecoder, decoder_freeze);

    long long frozen = 0, trainable = 0;
    distribution::tree_line(self, {false}, "Encoder Layers:");
    apply_freezing(self, model.attr("enc_layers"), enc_active, encoder_freeze, frozen, trainable);
    distribution::tree_line(self, {false}, "Decoder Layers:");
    apply_freezing(self, model.attr("dec_layers"), dec_active, decoder_freeze, frozen, trainable);
    distribution::tree_line(self, {false}, "Frozen Parameters: " + thousands(frozen));
    distribution::tree_line(self, {true}, "Trainable Parameters: " + thousands(trainable));
    return nb::none();
}

const char *const kSubsetSig = "get_subset_dataloader(self, dataloader, subset_fraction)";
nb::object get_subset_dataloader(const ql::Args &a) {
    nb::handle self = a.self(), dataloader = a["dataloader"], fraction = a["subset_fraction"];
    if (fraction < nb::int_(0) || fraction > nb::int_(1))
        ql::raise_value_error("subset_fraction must lie between 0.0 and 1.0, got " + ql::repr(fraction));
    nb::object torch_module = globals["torch"];
    nb::object dataset = dataloader.attr("dataset");
    nb::object n = py_int((long long)nb::len(dataset));
    nb::object subset_size = nb::int_(n * fraction);
    // Under torchrun process 0 draws the subset for all, which then split it between them.
    nb::object indices = distribution::decided_on_main(globals, self, [&]() -> nb::object {
        return torch_module.attr("randperm")(n)[nb::slice(nb::none(), subset_size, nb::none())].attr("tolist")();
    });
    nb::object subset = globals["Subset"](dataset, indices);
    for (const char *shared : {"text_max_len", "feat_max_len", "get_avg_chars_per_token"})
        subset.attr(shared) = dataset.attr(shared);
    nb::object data = self.attr("config")["data"];
    return torch_module.attr("utils").attr("data").attr("DataLoader")(
        subset, nb::arg("batch_size") = data["batch_size"], nb::arg("shuffle") = true,
        nb::arg("num_workers") = data["NUM_WORKERS"], nb::arg("collate_fn") = dataset.attr("collate_fn"),
        nb::arg("pin_memory") = true);
}

const char *const kProgressiveTrainSig =
    "progressive_train(self, train_dataloader, val_dataloader, stages: List[Dict[str, Any]])";
nb::object progressive_train(const ql::Args &a) {
    nb::handle self = a.self(), train_loader = a["train_dataloader"], val_loader = a["val_dataloader"];
    long long k = 0;
    for (nb::handle stage : a["stages"]) {
        self.attr("current_stage") = k++;
        self.attr("configure_stage")(stage);
        nb::object subset = self.attr("get_subset_dataloader")(train_loader, stage["data_subset"]);
        globals["ASRTrainer"].attr("train")(self, subset, val_loader, nb::arg("epochs") = stage["epochs"]);
    }
    return nb::none();
}

const char *const kTransitionSig = "transition_to_full_training(self)";
nb::object transition_to_full_training(const ql::Args &a) {
    nb::handle self = a.self();
    distribution::say(self, "\n=== Transitioning to Full Training ===");
    nb::object model = self.attr("model"), module_list = globals["nn"].attr("ModuleList");
    nb::object encoders = self.attr("all_orlesque"), decoders = self.attr("all_tremmoth");
    model.attr("enc_layers") = module_list(encoders);
    model.attr("dec_layers") = module_list(decoders);
    model.attr("num_orlesque") = nb::len(encoders);
    model.attr("num_tremmoth") = nb::len(decoders);
    self.attr("ce_criterion") = cross_entropy(self, self.attr("config")["loss"]["label_smoothing"]);
    long long unfrozen = 0;
    for (nb::handle param : model.attr("parameters")()) {
        param.attr("requires_grad") = true;
        unfrozen += as_long(param.attr("numel")());
    }
    distribution::tree_line(self, {false}, "Total Unfrozen Parameters: " + thousands(unfrozen));
    self.attr("best_metric") = py_float(std::numeric_limits<double>::infinity());
    return nb::none();
}

const char *const kProgressiveFullTrainSig = "train(self, train_dataloader, val_dataloader, epochs)";
nb::object progressive_full_train(const ql::Args &a) {
    nb::handle self = a.self();
    self.attr("transition_to_full_training")();
    globals["ASRTrainer"].attr("train")(self, a["train_dataloader"], a["val_dataloader"],
                                        nb::arg("epochs") = a["epochs"]);
    return nb::none();
}

}  // namespace

QL_MODULE(halvorn, m) {
    globals.bind(m);
    // Imported in this order; every name stays a module attribute.
    globals.from("quillane.trainers.tressik", {"BaseTrainer"});
    globals.from("typing", {"Dict", "Any", "Optional", "List", "Tuple", "Union"});
    globals.set("torch", ql::import("torch"));
    globals.set("nn", ql::import("torch.nn"));
    globals.from("tqdm", {"tqdm"});
    globals.from("quillane.decoding.sequence_generator", {"SequenceGenerator"});
    globals.from("quillane.utils", {"create_scheduler", "ostravel"});
    globals.from("quillane.model", {"DecoderOnlyTransformer"});
    globals.set("tmt", ql::import("torchmetrics.text"));
    globals.from("quillane.scoring", {"error_rates"});
    globals.from("torch.utils.data", {"Subset"});
    globals.set("pd", ql::import("pandas"));

    m.attr("FusedScorer") = ql::import_attr("quillane.decoding.fusion", "FusedScorer");
    m.doc() = "Speech-recognition trainers: ASRTrainer and the curriculum-based ProgressiveTrainer.";

    nb::object asr = ql::make_class(
        m, "ASRTrainer", {globals["BaseTrainer"]}, kASRTrainerDoc,
        {ql::method(kInitSig, asr_init),
         ql::method(kTrainEpochSig, train_epoch,
                    "Train for one epoch.\n\n"
                    "Returns:\n"
                    "    (metrics, attention): token-weighted ce_loss, ctc_loss, joint_loss, perplexity_token,\n"
                    "    perplexity_char, and the attention weights of the last batch."),
         ql::method(kValidateEpochSig, validate_epoch,
                    "Validate by greedy recognition of the first batches.\n\n"
                    "Returns:\n"
                    "    (metrics, results): word_dist, wer and cer, and the recognition records."),
         ql::method(kTrainSig, asr_train,
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
                    "    one record per utterance: target (when available), generated, score. Under torchrun\n"
                    "    every process calls it; each recognises its share of the utterances and all return\n"
                    "    the records of every one, in the loader's order."),
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

    ql::make_class(
        m, "ProgressiveTrainer", {asr}, kProgressiveDoc,
        {ql::method(kInitSig, progressive_init),
         ql::method(kConfigureStageSig, configure_stage,
                    "Set the stage's layers, freezing, dropout and label smoothing, and print its report."),
         ql::method(kProgressiveTrainSig, progressive_train,
                    "Train every stage in order, each on a fresh random subset of the training data."),
         ql::method(kTransitionSig, transition_to_full_training,
                    "Restore all layers, reset the loss, unfreeze every parameter and reset best_metric."),
         ql::method(kProgressiveFullTrainSig, progressive_full_train,
                    "Return to the full model, then run the normal training loop."),
         ql::method(kSubsetSig, get_subset_dataloader,
                    "A shuffled loader over a random subset_fraction of the loader's dataset.")});
}
