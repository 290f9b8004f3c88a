// The settings a recipe reads, section by section: for each key the kind of value it takes,
// whether it may be omitted (and the value it then has), and the values it accepts. The
// checker (recipe_check.hpp) walks a configuration along this description, so a key is either
// described here or refused; defaults are written as they would be in a configuration file.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace recipe {

enum class Kind {
    Section,      // a mapping of the fields below
    Entries,      // a mapping from names the user chooses to sections of the fields below
    SectionList,  // a list of sections of the fields below
    Int,
    Float,
    Bool,
    Text,
    Choice,       // one of `choices`
    IntList,
    BoolList,
    TextList,
    FloatPair,    // two numbers
    FloatOrList,  // one number, or a list of them (one per parameter group)
};

struct Field {
    std::string name;
    Kind kind;
    std::string fallback;  // YAML text of the value an omitted key takes; empty: stays omitted
    std::string about;     // what a required key is, for the message when it is missing
    bool required = false;
    bool nullable = false;  // null is accepted and means "none"
    bool any_case = false;  // Choice: compared lower-cased
    double low = -std::numeric_limits<double>::infinity(), high = std::numeric_limits<double>::infinity();
    bool low_open = false, high_open = false;
    std::vector<std::string> choices;
    std::vector<Field> fields;           // Section, Entries, SectionList: the fields of one section
    std::string when_key, when_value;    // used only while the sibling when_key has this value

    Field &or_default(std::string yaml) { fallback = std::move(yaml); return *this; }
    Field &needed(std::string what) { required = true; about = std::move(what); return *this; }
    Field &or_null() { nullable = true; return *this; }
    Field &ignoring_case() { any_case = true; return *this; }
    Field &at_least(double x) { low = x; low_open = false; return *this; }
    Field &above(double x) { low = x; low_open = true; return *this; }
    Field &at_most(double x) { high = x; high_open = false; return *this; }
    Field &below(double x) { high = x; high_open = true; return *this; }
    Field &when(std::string key, std::string value) {
        when_key = std::move(key);
        when_value = std::move(value);
        return *this;
    }
    bool is_section_like() const { return kind == Kind::Section || kind == Kind::Entries || kind == Kind::SectionList; }
};

inline Field field(std::string name, Kind kind) {
    Field f;
    f.name = std::move(name);
    f.kind = kind;
    return f;
}
inline Field integer(std::string name) { return field(std::move(name), Kind::Int); }
inline Field real(std::string name) { return field(std::move(name), Kind::Float); }
inline Field flag(std::string name) { return field(std::move(name), Kind::Bool); }
inline Field text(std::string name) { return field(std::move(name), Kind::Text); }
inline Field choice(std::string name, std::vector<std::string> words) {
    Field f = field(std::move(name), Kind::Choice);
    f.choices = std::move(words);
    return f;
}
inline Field with_fields(Field f, std::vector<Field> fields) {
    f.fields = std::move(fields);
    return f;
}
inline Field section(std::string name, std::vector<Field> fields) {
    return with_fields(field(std::move(name), Kind::Section), std::move(fields));
}
inline Field entries(std::string name, std::vector<Field> fields) {
    return with_fields(field(std::move(name), Kind::Entries), std::move(fields));
}
inline Field section_list(std::string name, std::vector<Field> fields) {
    return with_fields(field(std::move(name), Kind::SectionList), std::move(fields));
}

// A rate, a probability or a fraction: from 0 up to (not including) 1.
inline Field fraction(std::string name) { return real(std::move(name)).at_least(0).below(1); }

// ---------------------------------------------------------------------------
// Sections shared by the trainers
// ---------------------------------------------------------------------------

// A recipe's own training section (job: true) also sets up the torchrun job the recipe runs in;
// the lm section of a recogniser's recipe trains in that same job.
inline std::vector<Field> training_fields(bool language_model, bool job) {
    std::vector<Field> fields = {
        integer("epochs").at_least(0).needed("the number of training epochs"),
        integer("gradient_accumulation_steps").at_least(1).or_default("1"),
        flag("use_wandb").or_default("false"),
        text("wandb_project").or_default("default-project"),
        text("wandb_run_id").or_null(),
        choice("precision", {"auto", "float32", "bfloat16", "float16"}).or_default("auto"),
    };
    // the language-model trainer smooths its labels from here; the recogniser from loss.label_smoothing
    if (language_model) fields.push_back(fraction("label_smoothing").or_default("0.0"));
    // seconds a process waits for the others in a collective before it raises (under torchrun)
    if (job) fields.push_back(real("distributed_timeout").above(0).or_default("1800"));
    return fields;
}

inline std::vector<Field> optimizer_fields() {
    std::vector<Field> adam = {
        field("betas", Kind::FloatPair).at_least(0).below(1).or_default("[0.9, 0.999]"),
        real("eps").at_least(0).or_default("1.0e-08"),
        flag("amsgrad").or_default("false"),
    };
    return {
        choice("name", {"sgd", "adam", "adamw"}).ignoring_case().needed("sgd, adam or adamw"),
        real("lr").above(0).needed("the base learning rate"),
        real("weight_decay").at_least(0).or_default("0.0"),
        section_list("param_groups", {text("name").needed("the group's name"),
                                      field("patterns", Kind::TextList).needed("parameter-name substrings"),
                                      real("lr").above(0)}),
        section("layer_decay", {flag("enabled").or_default("false"), real("decay_rate").above(0)}),
        section("sgd", {real("momentum").at_least(0).or_default("0.0"), flag("nesterov").or_default("false"),
                        real("dampening").at_least(0).at_most(1).or_default("0.0")})
            .or_default("{}").when("name", "sgd"),
        section("adam", adam).or_default("{}").when("name", "adam"),
        section("adamw", adam).or_default("{}").when("name", "adamw"),
    };
}

inline std::vector<Field> scheduler_fields() {
    return {
        choice("name", {"reduce_lr", "cosine", "cosine_warm"}).ignoring_case().needed("reduce_lr, cosine or cosine_warm"),
        section("reduce_lr",
                {choice("mode", {"min", "max"}).or_default("min"),
                 real("factor").above(0).below(1).or_default("0.1"),
                 integer("patience").at_least(0).or_default("10"),
                 real("threshold").at_least(0).or_default("0.0001"),
                 choice("threshold_mode", {"rel", "abs"}).or_default("rel"),
                 integer("cooldown").at_least(0).or_default("0"),
                 field("min_lr", Kind::FloatOrList).at_least(0).or_default("1.0e-05"),
                 real("eps").at_least(0).or_default("1.0e-08")})
            .or_default("{}").when("name", "reduce_lr"),
        section("cosine", {integer("T_max").at_least(1).or_default("60"),
                           real("eta_min").at_least(0).or_default("0.0001"),
                           integer("last_epoch").at_least(-1).or_default("-1")})
            .or_default("{}").when("name", "cosine"),
        section("cosine_warm", {integer("T_0").at_least(1).or_default("10"),
                                integer("T_mult").at_least(1).or_default("2"),
                                real("eta_min").at_least(0).or_default("0.0001"),
                                integer("last_epoch").at_least(-1).or_default("-1")})
            .or_default("{}").when("name", "cosine_warm"),
        section("warmup", {flag("enabled").or_default("false"), integer("epochs").at_least(1).or_default("5"),
                           real("start_factor").above(0).at_most(1).or_default("0.1"),
                           real("end_factor").at_least(0).at_most(1).or_default("1.0")}),
    };
}

inline std::vector<Field> language_model_fields() {
    return {integer("d_model").at_least(1).or_default("256"), integer("num_heads").at_least(1).or_default("4"),
            integer("d_ff").at_least(1).or_default("1024"),   integer("num_layers").at_least(1).or_default("4"),
            fraction("dropout").or_default("0.1"),            integer("max_len").at_least(1).or_default("256")};
}

inline std::vector<Field> speech_model_fields() {
    return {integer("d_model").at_least(1).or_default("256"),
            integer("num_heads").at_least(1).or_default("4"),
            integer("d_ff").at_least(1).or_default("1024"),
            integer("num_encoder_layers").at_least(1).or_default("4"),
            integer("num_decoder_layers").at_least(1).or_default("4"),
            fraction("dropout").or_default("0.1"),
            integer("max_len").at_least(1).or_default("1024"),
            integer("time_reduction").at_least(1).or_default("4"),
            choice("reduction_method", {"conv", "lstm", "both"}).or_default("conv")};
}

// Which partition of the corpus plays which part; the defaults are a LibriSpeech-style corpus's.
inline Field partitions_field() {
    return section("partitions", {text("train").or_default("train-clean-100"), text("dev").or_default("dev-clean"),
                                  text("test").or_null().or_default("test-clean")})
        .or_default("{}");
}

// Settings every recipe shares: what runs, where it is written, how the process is set up.
inline std::vector<Field> common_fields() {
    return {
        choice("trainer", {"asr", "progressive", "lm"}).or_default("asr"),
        text("run_name").needed("the experiment folder's name under expts/"),
        integer("seed").at_least(0).or_default("0"),
        integer("num_threads").at_least(1),
        text("device").or_null().or_default("null"),
        section("corpus", {integer("num_utterances").at_least(3).needed("the synthetic corpus's size"),
                           integer("seed").at_least(0).or_default("0")}),
        section("tokenizer", {choice("kind", {"char", "subword"}).or_default("char"),
                              integer("vocab_size").at_least(5),
                              choice("model_type", {"unigram", "bpe"}).or_default("unigram").when("kind", "subword"),
                              real("character_coverage").above(0).at_most(1).or_default("1.0").when("kind", "subword")})
            .or_default("{}"),
    };
}

// ---------------------------------------------------------------------------
// The recipes
// ---------------------------------------------------------------------------

inline std::vector<Field> speech_data_fields() {
    return {
        text("root").needed("the corpus folder"),
        partitions_field(),
        real("subset"),
        real("subset_size"),
        choice("norm", {"global_mvn", "cepstral", "none"}).or_default("global_mvn"),
        integer("num_feats").at_least(1).or_default("80"),
        integer("batch_size").at_least(1).or_default("16"),
        integer("val_batch_size").at_least(1),
        integer("eval_batch_size").at_least(1),
        integer("NUM_WORKERS").at_least(0).or_default("0"),
        flag("in_memory"),  // false: features memory-mapped from their files instead of loaded
        // training batches of utterances of similar length (absent: batches in shuffled order)
        section("bucketing", {flag("enabled").or_default("false"), integer("max_frames").at_least(1).or_null(),
                              real("bucket_width").above(0).or_default("0.1"), flag("drop_last").or_default("false")}),
        flag("specaug").or_default("false"),
        section("specaug_conf", {flag("apply_freq_mask").or_default("true"),
                                 integer("freq_mask_width_range").at_least(0).or_default("8"),
                                 integer("num_freq_mask").at_least(0).or_default("1"),
                                 flag("apply_time_mask").or_default("true"),
                                 integer("time_mask_width_range").at_least(0).or_default("10"),
                                 integer("num_time_mask").at_least(0).or_default("1")})
            .or_default("{}"),
    };
}

// The language model a recogniser's recipe trains on its training transcripts for shallow fusion.
inline Field fusion_lm_field() {
    return section("lm", {text("run_name"),
                          section("data", {integer("batch_size").at_least(1).or_default("64"), text("train_text"),
                                           text("dev_text")})
                              .or_default("{}"),
                          section("model", language_model_fields()).or_default("{}"),
                          section("training", training_fields(true, false)).needed("the language model's training settings"),
                          section("optimizer", optimizer_fields()).needed("the language model's optimizer"),
                          section("scheduler", scheduler_fields()).needed("the language model's scheduler")});
}

inline Field decoding_field() {
    return entries("decoding", {integer("beam_width").at_least(1).or_default("1"),
                                real("lm_weight").at_least(0).or_default("0.0"),
                                fraction("ctc_weight").or_default("0.0"),  // joint CTC/attention scores
                                real("temperature").above(0).or_default("1.0"),
                                real("repeat_penalty").above(0).or_default("1.0")})
        .or_default("{greedy: {beam_width: 1}}");
}

inline Field stages_field() {
    return section_list("stages", {text("name").needed("the stage's name"),
                                   integer("epochs").at_least(0).needed("the stage's epochs"),
                                   field("encoder_active_layers", Kind::IntList).at_least(0).needed("encoder layer indices"),
                                   field("decoder_active_layers", Kind::IntList).at_least(0).needed("decoder layer indices"),
                                   field("encoder_freeze", Kind::BoolList),
                                   field("decoder_freeze", Kind::BoolList),
                                   fraction("dropout").or_default("0.0"),
                                   fraction("label_smoothing").or_default("0.0"),
                                   real("data_subset").above(0).at_most(1).or_default("1.0")})
        .needed("the curriculum's stages");
}

inline Field speech_recipe(bool progressive) {
    std::vector<Field> fields = common_fields();
    fields.push_back(section("data", speech_data_fields()).needed("the corpus and batching settings"));
    fields.push_back(section("model", speech_model_fields()).or_default("{}"));
    fields.push_back(section("loss", {fraction("label_smoothing").or_default("0.0"),
                                      real("ctc_weight").at_least(0).or_default("0.0")})
                         .or_default("{}"));
    fields.push_back(section("training", training_fields(false, true)).needed("the training settings"));
    fields.push_back(section("optimizer", optimizer_fields()).needed("the optimizer settings"));
    fields.push_back(section("scheduler", scheduler_fields()).needed("the learning-rate schedule"));
    if (progressive) fields.push_back(stages_field());
    fields.push_back(decoding_field());
    fields.push_back(fusion_lm_field());
    return section("", fields);
}

inline Field language_model_recipe() {
    std::vector<Field> fields = common_fields();
    Field partitions = partitions_field();
    fields.push_back(section("data", {text("root"), partitions, text("train_text"), text("dev_text"),
                                      text("test_text").or_null(), integer("batch_size").at_least(1).or_default("64")})
                         .needed("where the texts are"));
    fields.push_back(section("model", language_model_fields()).or_default("{}"));
    fields.push_back(section("training", training_fields(true, true)).needed("the training settings"));
    fields.push_back(section("optimizer", optimizer_fields()).needed("the optimizer settings"));
    fields.push_back(section("scheduler", scheduler_fields()).needed("the learning-rate schedule"));
    return section("", fields);
}

inline const char *const kTrainerKinds[] = {"asr", "progressive", "lm"};

// The whole recipe of one trainer kind ("asr", "progressive" or "lm").
inline const Field &recipe_for(const std::string &trainer) {
    static const Field asr = speech_recipe(false), progressive = speech_recipe(true), lm = language_model_recipe();
    if (trainer == "progressive") return progressive;
    if (trainer == "lm") return lm;
    return asr;
}

}  // namespace recipe
