// Optimizer factory: turns the optimizer section of a configuration into a torch.optim
// optimizer, with pattern-matched parameter groups or layer-wise learning-rate decay.
#include "core.hpp"
#include "pyops.hpp"

#include <unordered_set>

namespace {
namespace nb = nanobind;
using ql::get;
using ql::item;
using ql::truthy;

nb::handle torch;

// Nesting depth of a parameter: the number of dots in its qualified name.
long depth_of(const std::string &name) {
    long depth = 0;
    for (char c : name) depth += c == '.';
    return depth;
}

// rate * decay ** depth, with Python's arithmetic (ints stay ints where Python keeps them).
nb::object decayed(nb::handle rate, nb::handle decay, long depth) {
    nb::object d = nb::int_(depth);
    nb::object factor = ql::steal_checked(PyNumber_Power(decay.ptr(), d.ptr(), Py_None));
    return ql::steal_checked(PyNumber_Multiply(rate.ptr(), factor.ptr()));
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
        auto items = ql::unpack(pair, 2);
        out.emplace_back(std::move(items[0]), std::move(items[1]));
    }
    return out;
}

void print_line(std::initializer_list<bool> levels, const std::string &s) { ql::tree_line(levels, s); }

// Pattern groups: every trainable parameter goes to the first group with a matching pattern,
// the rest to a default entry at the base rate.
void pattern_groups(nb::handle model, nb::handle opt_config, nb::handle groups_config, nb::handle base_lr,
                    nb::list &parameter_groups) {
    print_line({false}, "Parameter Groups:");
    std::unordered_set<std::string> assigned;
    auto params = named_parameters(model);
    for (nb::handle group_cfg : groups_config) {
        nb::object group_lr = get(group_cfg, "lr", base_lr);
        nb::object patterns = item(group_cfg, "patterns");
        print_line({false, false}, "Group: " + ql::str(item(group_cfg, "name")));
        print_line({false, false, false}, "LR: " + ql::str(group_lr));
        print_line({false, false, true}, "Patterns: " + ql::str(patterns));
        nb::object layer_decay = get(opt_config, "layer_decay", nb::dict());
        bool use_layer_decay = truthy(get(layer_decay, "enabled", nb::bool_(false)));
        nb::object decay_rate = get(layer_decay, "decay_rate", nb::float_(1.0));

        for (auto &[name, param] : params) {
            if (!requires_grad(param)) continue;
            bool matches = false;
            for (nb::handle pattern : patterns) {
                int found = PySequence_Contains(name.ptr(), pattern.ptr());
                if (found < 0) throw nb::python_error();
                if (found) {
                    matches = true;
                    break;
                }
            }
            if (!matches) continue;
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
        print_line({false, true}, "Default Group (unmatched parameters)");
        for (nb::handle e : remaining) parameter_groups.append(e);
    }
}

// Layer-wise decay: one entry per trainable parameter, lr * decay_rate ** depth.
void layer_decay_groups(nb::handle model, nb::handle opt_config, nb::list &parameter_groups) {
    nb::object decay_rate = item(item(opt_config, "layer_decay"), "decay_rate");
    print_line({false}, "Layer-wise Decay: Enabled");
    print_line({false, true}, "Decay Rate: " + ql::str(decay_rate));
    nb::object base_lr = item(opt_config, "lr");
    std::vector<std::pair<std::string, nb::object>> layer_lrs;
    for (auto &[name, param] : named_parameters(model)) {
        if (!requires_grad(param)) continue;
        std::string key = nb::cast<std::string>(name);
        nb::object lr = decayed(base_lr, decay_rate, depth_of(key));
        layer_lrs.emplace_back(key, lr);
        parameter_groups.append(entry(param, lr, nb::str(("model." + key).c_str())));
    }
    print_line({false}, "Layer Learning Rates (sample):");
    for (size_t i = 0; i < layer_lrs.size(); ++i) {
        if (i == 3) {
            print_line({false, true}, "... (" + std::to_string(layer_lrs.size() - 3) + " more layers)");
            break;
        }
        print_line({false, false}, layer_lrs[i].first + ": " + ql::format(layer_lrs[i].second, ".6f"));
    }
}

nb::object ostravel(const ql::Args &a) {
    nb::handle model = a["model"], opt_config = a["opt_config"];
    nb::object opt_name = item(opt_config, "name").attr("lower")();
    nb::object base_lr = item(opt_config, "lr");

    ql::print("");
    ql::print("\U0001F527 Configuring Optimizer:");
    print_line({false}, "Type: " + ql::str(opt_name.attr("upper")()));
    print_line({false}, "Base LR: " + ql::str(base_lr));
    print_line({false}, "Weight Decay: " + ql::str(item(opt_config, "weight_decay")));

    nb::list parameter_groups;
    nb::object groups_config = get(opt_config, "param_groups", nb::list());
    if (truthy(groups_config)) {
        pattern_groups(model, opt_config, groups_config, base_lr, parameter_groups);
    } else if (truthy(get(get(opt_config, "layer_decay", nb::dict()), "enabled", nb::bool_(false)))) {
        layer_decay_groups(model, opt_config, parameter_groups);
    } else {
        print_line({false}, "Layer-wise Decay: Disabled");
        parameter_groups.append(entry(model.attr("parameters")(), item(opt_config, "lr"), nb::str("model")));
    }

    nb::object weight_decay = item(opt_config, "weight_decay");
    if (opt_name.equal(nb::str("sgd"))) {
        print_line({true}, "SGD Specific:");
        nb::object cfg = item(opt_config, "sgd");
        nb::object momentum = item(cfg, "momentum");
        print_line({true, false}, "Momentum: " + ql::str(momentum));
        nb::object nesterov = item(cfg, "nesterov");
        print_line({true, false}, "Nesterov: " + ql::str(nesterov));
        nb::object dampening = item(cfg, "dampening");
        print_line({true, true}, "Dampening: " + ql::str(dampening));
        return torch.attr("optim").attr("SGD")(parameter_groups, nb::arg("momentum") = momentum,
                                 nb::arg("weight_decay") = weight_decay, nb::arg("nesterov") = nesterov,
                                 nb::arg("dampening") = dampening);
    }
    bool adamw = opt_name.equal(nb::str("adamw"));
    if (adamw || opt_name.equal(nb::str("adam"))) {
        print_line({true}, adamw ? "AdamW Specific:" : "Adam Specific:");
        nb::object cfg = item(opt_config, adamw ? "adamw" : "adam");
        nb::object betas = item(cfg, "betas");
        print_line({true, false}, "Betas: " + ql::str(betas));
        nb::object eps = item(cfg, "eps");
        print_line({true, false}, "Epsilon: " + ql::str(eps));
        nb::object amsgrad = item(cfg, "amsgrad");
        print_line({true, true}, "AMSGrad: " + ql::str(amsgrad));
        return torch.attr("optim").attr(adamw ? "AdamW" : "Adam")(parameter_groups, nb::arg("betas") = betas,
                                                   nb::arg("eps") = eps, nb::arg("weight_decay") = weight_decay,
                                                   nb::arg("amsgrad") = amsgrad);
    }
    ql::raise_value_error("Unsupported optimizer: " + ql::str(opt_name));
}

const char *kOstravelDoc =
    "Create an optimizer for `model` from the optimizer section of a configuration.\n\n"
    "Parameters are split into groups with their own learning rates:\n"
    "  * `param_groups`: each trainable parameter joins the first group one of whose\n"
    "    `patterns` is a substring of its name (optionally scaled by layer decay);\n"
    "    unmatched trainable parameters keep the base rate.\n"
    "  * `layer_decay.enabled` without groups: lr * decay_rate ** depth per trainable\n"
    "    parameter, depth being the number of dots in its name.\n"
    "  * otherwise one group holding all of the model's parameters.\n"
    "A summary of the decisions is printed.\n\n"
    "Args:\n"
    "    model: the torch.nn.Module to optimise.\n"
    "    opt_config: dict with `name` (sgd, adam, adamw), `lr`, `weight_decay`, optional\n"
    "        `param_groups` and `layer_decay`, and the sub-dict of the chosen optimizer.\n\n"
    "Returns:\n"
    "    The torch.optim optimizer.\n\n"
    "Raises:\n"
    "    ValueError: for an unsupported optimizer name.\n"
    "    KeyError: for a missing required key.";

}  // namespace

QL_MODULE(ostravel, m) {
    torch = ql::keep(ql::import("torch"));
    ql::import("torch.optim");
    m.attr("torch") = torch;
    m.doc() = "Optimizer factory with parameter groups and layer-wise learning-rate decay.";
    ql::def(m, "ostravel(model, opt_config)", ostravel, kOstravelDoc);
}
