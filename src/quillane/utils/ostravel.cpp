// Optimizer factory: turns the optimizer section of a configuration into a torch.optim
// optimizer, with pattern-matched parameter groups or layer-wise learning-rate decay.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"
#include "settings.hpp"

#include <unordered_set>

namespace {
namespace nb = nanobind;
namespace settings = ql::settings;
using ql::get;
using ql::truthy;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

// Nesting depth of a parameter: the number of dots in its qualified name.
long depth_of(const std::string &name) {
    long depth = 0;
    for (char c : name) depth += c == '.';
    return depth;
}

// rate * decay ** depth, with Python's arithmetic (ints stay ints where Python keeps them).
nb::object decayed(nb::handle rate, nb::handle decay, long depth) {
    nb::object factor = ql::pow(decay, nb::int_(depth));
    return rate * factor;
}

nb::object entry(nb::handle params, nb::handle lr, nb::handle name) {
    nb::dict e;
    e["params"] = params;
    e["lr"] = lr;
    e["name"] = name;
    return std::move(e);
}

bool requires_grad(nb::handle param) { return truthy(param.attr(QL_ID("requires_grad"))); }

// The model's (name, parameter) pairs, in model order.
std::vector<std::pair<nb::object, nb::object>> named_parameters(nb::handle model) {
    std::vector<std::pair<nb::object, nb::object>> out;
    for (nb::handle pair : model.attr("named_parameters")()) {
        auto [name, param] = ql::unpack<2>(pair);
        out.emplace_back(std::move(name), std::move(param));
    }
    return out;
}

nb::object layer_decay_config(nb::handle opt_config) { return get(opt_config, "layer_decay", nb::dict()); }

bool layer_decay_enabled(nb::handle opt_config) {
    return truthy(get(layer_decay_config(opt_config), "enabled", nb::bool_(false)));
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

void check_param_groups(nb::handle groups_config) {
    if (!PyList_Check(groups_config.ptr()) && !PyTuple_Check(groups_config.ptr()))
        ql::raise_type_error("optimizer.param_groups must be a list of groups, got " +
                             settings::describe(groups_config));
    size_t index = 0;
    for (nb::handle group_cfg : groups_config) {
        std::string name = "optimizer.param_groups[" + std::to_string(index++) + "]";
        settings::section(group_cfg, name);
        settings::string_list(group_cfg["patterns"], name + ".patterns");
        nb::object lr = get(group_cfg, "lr", nb::none());
        if (!lr.is_none()) settings::positive(lr, name + ".lr");
    }
}

void check_layer_decay(nb::handle opt_config, bool with_groups) {
    if (!ql::contains(opt_config, nb::str("layer_decay"))) return;
    nb::object layer_decay = opt_config["layer_decay"];
    settings::section(layer_decay, "optimizer.layer_decay");
    nb::object enabled = get(layer_decay, "enabled", nb::bool_(false));
    if (!settings::flag(enabled, "optimizer.layer_decay.enabled")) return;
    // With groups the rate has a default; without them it is required.
    nb::object rate = with_groups ? get(layer_decay, "decay_rate", nb::float_(1.0)) : layer_decay["decay_rate"];
    settings::positive(rate, "optimizer.layer_decay.decay_rate");
}

void check_sgd(nb::handle cfg) {
    settings::non_negative(cfg["momentum"], "optimizer.sgd.momentum");
    settings::flag(cfg["nesterov"], "optimizer.sgd.nesterov");
    settings::number(cfg["dampening"], "optimizer.sgd.dampening", "a number from 0 to 1",
                     [](double x) { return x >= 0.0 && x <= 1.0; });
}

void check_adam(nb::handle cfg, const std::string &name) {
    nb::object betas = cfg["betas"];
    if ((!PyList_Check(betas.ptr()) && !PyTuple_Check(betas.ptr())) || nb::len(betas) != 2)
        ql::raise_type_error(name + ".betas must be a pair of numbers, got " + settings::describe(betas));
    for (int i = 0; i < 2; ++i)
        settings::number(betas[i], name + ".betas[" + std::to_string(i) + "]", "a number from 0 up to (not including) 1",
                         [](double x) { return x >= 0.0 && x < 1.0; });
    settings::non_negative(cfg["eps"], name + ".eps");
    settings::flag(cfg["amsgrad"], name + ".amsgrad");
}

// Every setting the factory reads, checked before anything is printed or built. The sub-dict
// of an unsupported optimizer name is not looked at: that name is refused after the summary.
void check_settings(nb::handle opt_config, const std::string &opt_name) {
    settings::positive(opt_config["lr"], "optimizer.lr");
    settings::non_negative(opt_config["weight_decay"], "optimizer.weight_decay");
    nb::object groups_config = get(opt_config, "param_groups", nb::list());
    bool with_groups = truthy(groups_config);
    if (with_groups) check_param_groups(groups_config);
    check_layer_decay(opt_config, with_groups);
    if (opt_name == "sgd") check_sgd(opt_config["sgd"]);
    if (opt_name == "adam" || opt_name == "adamw") check_adam(opt_config[opt_name.c_str()], "optimizer." + opt_name);
}

// ---------------------------------------------------------------------------
// Parameter groups
// ---------------------------------------------------------------------------

bool matches_any(nb::handle name, nb::handle patterns) {
    for (nb::handle pattern : patterns)
        if (ql::contains(name, pattern)) return true;
    return false;
}

// Pattern groups: every trainable parameter goes to the first group with a matching pattern,
// the rest to a default entry at the base rate.
void pattern_groups(nb::handle model, nb::handle opt_config, nb::handle groups_config, nb::handle base_lr,
                    nb::list &parameter_groups) {
    ql::tree_line({false}, "Parameter Groups:");
    std::unordered_set<std::string> assigned;
    auto params = named_parameters(model);
    for (nb::handle group_cfg : groups_config) {
        nb::object group_lr = get(group_cfg, "lr", base_lr);
        nb::object patterns = group_cfg["patterns"];
        ql::tree_line({false, false}, "Group: " + ql::str(group_cfg["name"]));
        ql::tree_line({false, false, false}, "LR: " + ql::str(group_lr));
        ql::tree_line({false, false, true}, "Patterns: " + ql::str(patterns));
        bool use_layer_decay = layer_decay_enabled(opt_config);
        nb::object decay_rate = get(layer_decay_config(opt_config), "decay_rate", nb::float_(1.0));

        for (auto &[name, param] : params) {
            if (!requires_grad(param) || !matches_any(name, patterns)) continue;
            std::string key = nb::cast<std::string>(name);
            if (!assigned.insert(key).second) continue;
            nb::object lr = use_layer_decay ? decayed(group_lr, decay_rate, depth_of(key)) : group_lr;
            parameter_groups.append(entry(param, lr, name));
        }
    }
    nb::list remaining;
    for (auto &[name, param] : params) {
        if (!requires_grad(param) || assigned.count(nb::cast<std::string>(name))) continue;
        remaining.append(entry(param, base_lr, name));
    }
    if (nb::len(remaining) > 0) {
        ql::tree_line({false, true}, "Default Group (unmatched parameters)");
        for (nb::handle e : remaining) parameter_groups.append(e);
    }
}

// Layer-wise decay: one entry per trainable parameter, lr * decay_rate ** depth.
void layer_decay_groups(nb::handle model, nb::handle opt_config, nb::list &parameter_groups) {
    nb::object decay_rate = opt_config["layer_decay"]["decay_rate"];
    ql::tree_line({false}, "Layer-wise Decay: Enabled");
    ql::tree_line({false, true}, "Decay Rate: " + ql::str(decay_rate));
    nb::object base_lr = opt_config["lr"];
    std::vector<std::pair<std::string, nb::object>> layer_lrs;
    for (auto &[name, param] : named_parameters(model)) {
        if (!requires_grad(param)) continue;
        std::string key = nb::cast<std::string>(name);
        nb::object lr = decayed(base_lr, decay_rate, depth_of(key));
        layer_lrs.emplace_back(key, lr);
        parameter_groups.append(entry(param, lr, nb::str(("model." + key).c_str())));
    }
    ql::tree_line({false}, "Layer Learning Rates (sample):");
    for (size_t i = 0; i < layer_lrs.size(); ++i) {
        if (i == 3) {
            ql::tree_line({false, true}, "... (" + std::to_string(layer_lrs.size() - 3) + " more layers)");
            break;
        }
        ql::tree_line({false, false}, layer_lrs[i].first + ": " + ql::format(layer_lrs[i].second, ".6f"));
    }
}

// ---------------------------------------------------------------------------
// Optimizers
// ---------------------------------------------------------------------------

nb::object make_sgd(nb::handle opt_config, nb::handle parameter_groups) {
    ql::tree_line({true}, "SGD Specific:");
    nb::object cfg = opt_config["sgd"];
    nb::object momentum = cfg["momentum"], nesterov = cfg["nesterov"], dampening = cfg["dampening"];
    ql::tree_line({true, false}, "Momentum: " + ql::str(momentum));
    ql::tree_line({true, false}, "Nesterov: " + ql::str(nesterov));
    ql::tree_line({true, true}, "Dampening: " + ql::str(dampening));
    return globals["torch"].attr("optim").attr("SGD")(
        parameter_groups, nb::arg("momentum") = momentum, nb::arg("weight_decay") = opt_config["weight_decay"],
        nb::arg("nesterov") = nesterov, nb::arg("dampening") = dampening);
}

nb::object make_adam(nb::handle opt_config, nb::handle parameter_groups, bool adamw) {
    ql::tree_line({true}, adamw ? "AdamW Specific:" : "Adam Specific:");
    nb::object cfg = opt_config[adamw ? "adamw" : "adam"];
    nb::object betas = cfg["betas"], eps = cfg["eps"], amsgrad = cfg["amsgrad"];
    ql::tree_line({true, false}, "Betas: " + ql::str(betas));
    ql::tree_line({true, false}, "Epsilon: " + ql::str(eps));
    ql::tree_line({true, true}, "AMSGrad: " + ql::str(amsgrad));
    return globals["torch"].attr("optim").attr(adamw ? "AdamW" : "Adam")(
        parameter_groups, nb::arg("betas") = betas, nb::arg("eps") = eps,
        nb::arg("weight_decay") = opt_config["weight_decay"], nb::arg("amsgrad") = amsgrad);
}

const char *const kOstravelSig = "ostravel(model, opt_config)";
nb::object ostravel(const ql::Args &a) {
    nb::handle model = a["model"], opt_config = a["opt_config"];
    nb::object name = opt_config["name"];
    settings::text(name, "optimizer.name");
    nb::object opt_name = name.attr("lower")();
    check_settings(opt_config, nb::cast<std::string>(opt_name));
    nb::object base_lr = opt_config["lr"];

    ql::print("");
    ql::print("\U0001F527 Configuring Optimizer:");
    ql::tree_line({false}, "Type: " + ql::str(opt_name.attr("upper")()));
    ql::tree_line({false}, "Base LR: " + ql::str(base_lr));
    ql::tree_line({false}, "Weight Decay: " + ql::str(opt_config["weight_decay"]));

    nb::list parameter_groups;
    nb::object groups_config = get(opt_config, "param_groups", nb::list());
    if (truthy(groups_config)) {
        pattern_groups(model, opt_config, groups_config, base_lr, parameter_groups);
    } else if (layer_decay_enabled(opt_config)) {
        layer_decay_groups(model, opt_config, parameter_groups);
    } else {
        ql::tree_line({false}, "Layer-wise Decay: Disabled");
        parameter_groups.append(entry(model.attr("parameters")(), base_lr, nb::str("model")));
    }

    if (opt_name.equal(nb::str("sgd"))) return make_sgd(opt_config, parameter_groups);
    bool adamw = opt_name.equal(nb::str("adamw"));
    if (adamw || opt_name.equal(nb::str("adam"))) return make_adam(opt_config, parameter_groups, adamw);
    ql::raise_value_error("Unsupported optimizer: " + ql::str(opt_name));
}

const char *const kOstravelDoc = R"doc(Create an optimizer for `model` from the optimizer section of a configuration.

Parameters are split into groups with their own learning rates:
  * `param_groups`: each trainable parameter joins the first group one of whose
    `patterns` is a substring of its name (optionally scaled by layer decay);
    unmatched trainable parameters keep the base rate.
  * `layer_decay.enabled` without groups: lr * decay_rate ** depth per trainable
    parameter, depth being the number of dots in its name.
  * otherwise one group holding all of the model's parameters.
A summary of the decisions is printed.

Args:
    model: the torch.nn.Module to optimise.
    opt_config: dict with `name` (sgd, adam, adamw), `lr`, `weight_decay`, optional
        `param_groups` and `layer_decay`, and the sub-dict of the chosen optimizer.

Returns:
    The torch.optim optimizer.

Raises:
    TypeError, ValueError: for a setting of the wrong kind or out of range (a rate that
        is not a positive number, patterns given as one string, ...), naming the
        setting, before anything is printed.
    ValueError: for an unsupported optimizer name.
    KeyError: for a missing required key.)doc";

}  // namespace

QL_MODULE(ostravel, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    ql::import("torch.optim");
    m.doc() = "Optimizer factory with parameter groups and layer-wise learning-rate decay.";
    ql::def(m, kOstravelSig, ostravel, kOstravelDoc);
}
