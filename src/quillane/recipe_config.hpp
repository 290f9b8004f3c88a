// A recipe's configuration as the recipe runs it: the YAML file, changed by --set overrides,
// checked against the recipe's description and completed with its defaults, plus the checks
// that relate one setting to another (layer indices of the stages against the model's layers,
// a fused language model against the lm section, ...).
#pragma once

#include "recipe_check.hpp"

#include <set>
#include <string>
#include <vector>

namespace recipe {

// ---------------------------------------------------------------------------
// Overrides: "key=value", the key dotted (list entries as [i] or .i), the value YAML
// ---------------------------------------------------------------------------

// The longest key of `mapping` that `rest` starts with, followed by the end, "." or "[": names
// may hold dots themselves (a decoding configuration named beam_4_lm_0.3).
inline std::string leading_key(nb::handle mapping, const std::string &rest) {
    std::string best;
    for (nb::handle key : nb::borrow<nb::dict>(mapping).keys()) {
        if (!PyUnicode_Check(key.ptr())) continue;
        std::string k = nb::cast<std::string>(key);
        bool starts = rest.compare(0, k.size(), k) == 0 &&
                      (rest.size() == k.size() || rest[k.size()] == '.' || rest[k.size()] == '[');
        if (starts && k.size() > best.size()) best = k;
    }
    return best.empty() ? rest.substr(0, rest.find_first_of(".[")) : best;
}

// One step down a dotted key: the key of a section or the index of a list, the key so far as
// the checker names it, and what remains of the dotted key.
struct Step {
    nb::object key;
    std::string path, rest;
};

inline Step next_step(nb::handle node, const Step &at, const std::string &setting) {
    const std::string &rest = at.rest;
    Step step;
    if (PyDict_Check(node.ptr())) {
        std::string k = leading_key(node, rest);
        if (k.empty()) raise_config_error("--set " + setting + ": a key" + (at.path.empty() ? "" : " after " + at.path) + " is missing");
        step = {nb::str(k.c_str()), join(at.path, k), rest.substr(k.size())};
    } else if (PyList_Check(node.ptr())) {
        bool bracket = !rest.empty() && rest[0] == '[';
        size_t end = bracket ? rest.find(']') : rest.find_first_of(".[");
        std::string digits = rest.substr(bracket ? 1 : 0, end == std::string::npos ? end : end - (bracket ? 1 : 0));
        size_t n = nb::len(node);
        bool valid = !digits.empty() && digits.size() < 10 && digits.find_first_not_of("0123456789") == std::string::npos;
        if (!valid || std::stoul(digits) >= n)
            raise_config_error("--set " + setting + ": " + at.path + " is a list of " + std::to_string(n) +
                               " entries; index it with 0 to " + std::to_string(n == 0 ? 0 : n - 1));
        step = {ql::py_int((long long)std::stoul(digits)), at.path + "[" + digits + "]",
                end == std::string::npos ? "" : rest.substr(end + (bracket ? 1 : 0))};
    } else {
        raise_config_error("--set " + setting + ": " + at.path + " is " + settings::describe(node) +
                           ", not a section or a list");
    }
    if (!step.rest.empty() && step.rest[0] == '.') step.rest = step.rest.substr(1);
    return step;
}

// Sets one override in `config` (changed in place), creating the sections on the way that are
// missing; returns the key as the checker names it.
inline std::string apply_override(nb::handle config, const std::string &setting) {
    size_t eq = setting.find('=');
    if (eq == std::string::npos || eq == 0)
        raise_config_error("--set " + setting + ": expected KEY=VALUE, for example training.epochs=3");
    nb::object value;
    try {
        value = globals["yaml"].attr("safe_load")(setting.substr(eq + 1));
    } catch (nb::python_error &e) {
        if (!e.matches(globals["yaml"].attr("YAMLError"))) throw;
        raise_config_error("--set " + setting + ": the value is not valid YAML (" + ql::str(e.value()) + ")");
    }
    nb::object node = nb::borrow(config);
    Step step{nb::object(), "", setting.substr(0, eq)};
    for (;;) {
        step = next_step(node, step, setting);
        if (step.rest.empty()) {
            node[step.key] = value;
            return step.path;
        }
        bool present = !PyDict_Check(node.ptr()) || ql::contains(node, step.key);
        if (!present || nb::object(node[step.key]).is_none()) node[step.key] = nb::dict();
        node = node[step.key];
    }
}

// ---------------------------------------------------------------------------
// Settings that depend on each other
// ---------------------------------------------------------------------------

inline long long whole(nb::handle v) { return ql::as_long(v); }
inline bool has(nb::handle section, const char *key) { return ql::contains(section, nb::str(key)); }

// run_name names one directory inside expts/.
inline void check_run_name(std::vector<std::string> &problems, nb::handle name, const std::string &path) {
    std::string s = nb::cast<std::string>(name);
    const std::string separators("/\\\0", 3);
    if (s.empty() || s == "." || s == ".." || s.find_first_of(separators) != std::string::npos)
        problems.push_back(path + " must name one folder inside expts/ (not empty, '.' or '..', no path separator), got " +
                           ql::repr(name));
}

inline void check_heads(std::vector<std::string> &problems, nb::handle model, const std::string &path) {
    long long d = whole(model["d_model"]), heads = whole(model["num_heads"]);
    if (d % heads != 0)
        problems.push_back(path + ".d_model (" + std::to_string(d) + ") must be a multiple of " + path +
                           ".num_heads (" + std::to_string(heads) + ")");
}

inline void check_schedule(std::vector<std::string> &problems, nb::handle scheduler, const std::string &path) {
    bool warmup = has(scheduler, "warmup") && ql::truthy(scheduler["warmup"]["enabled"]);
    if (lower(nb::cast<std::string>(scheduler["name"])) == "reduce_lr" && warmup)
        problems.push_back(path + ".warmup.enabled: the reduce_lr scheduler cannot be combined with warm-up; "
                                  "disable it or use cosine or cosine_warm");
}

inline void check_layer_decay(std::vector<std::string> &problems, nb::handle optimizer, const std::string &path) {
    if (!has(optimizer, "layer_decay") || !ql::truthy(optimizer["layer_decay"]["enabled"])) return;
    bool groups = has(optimizer, "param_groups") && nb::len(nb::object(optimizer["param_groups"])) > 0;
    if (!groups && !has(optimizer["layer_decay"], "decay_rate"))
        problems.push_back("missing key " + path + ".layer_decay.decay_rate (the per-depth factor of the learning rate)");
}

inline void check_training_sections(std::vector<std::string> &problems, nb::handle config, const std::string &prefix) {
    check_heads(problems, config["model"], join(prefix, "model"));
    check_schedule(problems, config["scheduler"], join(prefix, "scheduler"));
    check_layer_decay(problems, config["optimizer"], join(prefix, "optimizer"));
}

// Active layers exist in the model, and a freeze list has one flag per active layer.
inline void check_stages(std::vector<std::string> &problems, nb::handle config) {
    nb::object stages = config["stages"], model = config["model"];
    if (nb::len(stages) == 0) problems.push_back("stages must list at least one stage");
    size_t i = 0;
    for (nb::handle stage : stages) {
        std::string path = "stages[" + std::to_string(i++) + "]";
        for (const char *stack : {"encoder", "decoder"}) {
            std::string active_key = std::string(stack) + "_active_layers", freeze_key = std::string(stack) + "_freeze";
            std::string layers_key = "num_" + std::string(stack) + "_layers";
            nb::object active = stage[active_key.c_str()];
            long long layers = whole(model[layers_key.c_str()]);
            if (nb::len(active) == 0) problems.push_back(path + "." + active_key + " must name at least one layer");
            for (nb::handle index : active)
                if (whole(index) >= layers)
                    problems.push_back(path + "." + active_key + " holds " + ql::str(index) + ", but the model has " +
                                       std::to_string(layers) + " " + stack + " layers (model." + layers_key + ")");
            if (!has(stage, freeze_key.c_str())) continue;
            size_t flags = nb::len(nb::object(stage[freeze_key.c_str()]));
            if (flags != 0 && flags != nb::len(active))
                problems.push_back(path + "." + freeze_key + " has " + std::to_string(flags) + " flags for " +
                                   std::to_string(nb::len(active)) + " active " + stack + " layers");
        }
    }
}

inline const char *const kSynthPartitions[][2] = {{"train", "train-clean-100"}, {"dev", "dev-clean"}, {"test", "test-clean"}};

inline void check_speech_recipe(std::vector<std::string> &problems, nb::handle config) {
    check_training_sections(problems, config, "");
    bool fusion = has(config, "lm");
    for (auto [name, decoding] : nb::borrow<nb::dict>(config["decoding"])) {
        // the name becomes part of a file name (text/text_test_<name>_results.json)
        std::string text = nb::cast<std::string>(name);
        if (text.empty() || text.find_first_of("/\\") != std::string::npos)
            problems.push_back("decoding " + ql::repr(name) + ": a decoding configuration's name must be non-empty "
                               "and hold no path separator");
        if (ql::as_double(decoding["ctc_weight"]) > 0 && ql::as_double(config["loss"]["ctc_weight"]) == 0)
            problems.push_back("decoding." + text + ".ctc_weight is " + ql::str(decoding["ctc_weight"]) +
                               ", but loss.ctc_weight is 0, so the CTC head it scores with is never trained");
        if (ql::as_double(decoding["lm_weight"]) > 0 && !fusion)
            problems.push_back("decoding." + nb::cast<std::string>(name) + ".lm_weight is " + ql::str(decoding["lm_weight"]) +
                               ", but there is no lm section to train the language model it fuses");
    }
    if (fusion) {
        nb::object lm = config["lm"];
        if (!has(lm, "run_name")) lm["run_name"] = nb::str((nb::cast<std::string>(config["run_name"]) + "-lm").c_str());
        check_run_name(problems, lm["run_name"], "lm.run_name");
        if (lm["run_name"].equal(config["run_name"]))
            problems.push_back("lm.run_name must differ from run_name: the two experiments need folders of their own");
        check_training_sections(problems, lm, "lm");
    }
    if (nb::cast<std::string>(config["trainer"]) == "progressive") check_stages(problems, config);
}

inline void check_language_model_recipe(std::vector<std::string> &problems, nb::handle config) {
    check_training_sections(problems, config, "");
    nb::object data = config["data"];
    if (!has(data, "root") && !(has(data, "train_text") && has(data, "dev_text")))
        problems.push_back("data needs root (a corpus whose transcripts are the texts) or train_text and dev_text "
                           "(text files, one text per line)");
}

inline void check_relations(std::vector<std::string> &problems, nb::handle config) {
    check_run_name(problems, config["run_name"], "run_name");
    nb::object tokenizer = config["tokenizer"];
    if (nb::cast<std::string>(tokenizer["kind"]) == "subword" && !has(tokenizer, "vocab_size"))
        problems.push_back("missing key tokenizer.vocab_size (the size of the subword vocabulary)");
    if (has(config, "corpus")) {  // the synthetic corpus names its partitions itself
        nb::object partitions = config["data"]["partitions"];
        for (auto &[role, name] : kSynthPartitions)
            if (!partitions[role].equal(nb::str(name)))
                problems.push_back(std::string("data.partitions.") + role + " is " + ql::repr(partitions[role]) +
                                   ", but the synthetic corpus (the corpus section) names it '" + name + "'");
    }
    if (nb::cast<std::string>(config["trainer"]) == "lm") check_language_model_recipe(problems, config);
    else check_speech_recipe(problems, config);
}

// ---------------------------------------------------------------------------
// The whole check
// ---------------------------------------------------------------------------

[[noreturn]] inline void report(const std::string &source, const std::vector<std::string> &problems) {
    if (problems.size() == 1) raise_config_error(source + ": " + problems[0]);
    std::string message = source + ": " + std::to_string(problems.size()) + " problems";
    for (const std::string &p : problems) message += "\n  - " + p;
    raise_config_error(message);
}

// The effective configuration: `config` (left unchanged) checked and completed with every
// default. Raises ConfigError naming `source` and listing every problem.
inline nb::dict checked_config(nb::handle config, const std::string &source, const std::set<std::string> &overridden) {
    if (!PyDict_Check(config.ptr()))
        raise_config_error(source + ": the configuration must be a mapping of sections, got " + settings::describe(config));
    nb::object trainer = ql::get(config, "trainer", nb::str("asr"));
    std::string kind = PyUnicode_Check(trainer.ptr()) ? nb::cast<std::string>(trainer) : "";
    if (kind != "asr" && kind != "progressive" && kind != "lm")
        report(source, {"trainer must be one of 'asr', 'progressive', 'lm', got " + settings::describe(trainer)});

    Checker checker(kind, overridden);
    nb::object effective = checker.section(recipe_for(kind).fields, config, "");
    if (checker.problems.empty()) check_relations(checker.problems, effective);
    if (!checker.problems.empty()) report(source, checker.problems);
    return nb::borrow<nb::dict>(effective);
}

// The configuration file read as YAML, with the overrides applied and the result checked.
inline nb::dict load(nb::handle path, nb::handle overrides) {
    nb::object file = globals["Path"](path);
    std::string source = ql::str(path);
    if (!ql::truthy(file.attr("is_file")()))
        ql::raise(PyExc_FileNotFoundError, "No such configuration file: " + source);
    nb::object config;
    try {
        config = globals["yaml"].attr("safe_load")(file.attr("read_text")(nb::arg("encoding") = "utf-8"));
    } catch (nb::python_error &e) {
        if (!e.matches(globals["yaml"].attr("YAMLError"))) throw;
        raise_config_error(source + ": not valid YAML: " + ql::str(e.value()));
    }
    if (config.is_none()) config = nb::dict();  // an empty file
    if (!PyDict_Check(config.ptr()))
        raise_config_error(source + ": the configuration must be a mapping of sections, got " + settings::describe(config));
    // an experiment is named after its file unless the file says otherwise
    if (!ql::contains(config, nb::str("run_name"))) config["run_name"] = file.attr("stem");
    std::set<std::string> overridden;
    for (nb::handle setting : overrides) {
        if (!PyUnicode_Check(setting.ptr()))
            ql::raise_type_error("overrides must be strings 'KEY=VALUE', got " + settings::describe(setting));
        overridden.insert(apply_override(config, nb::cast<std::string>(setting)));
    }
    return checked_config(config, source, overridden);
}

}  // namespace recipe
