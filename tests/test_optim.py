import copy
import re
from collections import OrderedDict

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import pytest
import torch
import torch.nn as nn
import yaml
from torch.optim import lr_scheduler

from quillane.utils import create_scheduler, ostravel
from quillane.utils.marlowen import _epochs_to_steps, create_warmup_scheduler, plot_lr_schedule

ADAM = {"betas": (0.9, 0.98), "eps": 1e-09, "amsgrad": False}
SGD = {"momentum": 0.9, "nesterov": True, "dampening": 0}


class Net(nn.Module):
    """scale (depth 0), encoder.layers.0.{weight,bias} (depth 3), head.{weight,bias} (depth 1)."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.ones(1))
        self.encoder = nn.Module()
        self.encoder.layers = nn.ModuleList([nn.Linear(2, 2)])
        self.head = nn.Linear(2, 3)


def opt_config(name="adam", **extra):
    return {"name": name, "lr": 0.01, "weight_decay": 0.0, "adam": ADAM, "adamw": ADAM, "sgd": SGD, **extra}


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def groups_of(optimizer):
    return [(g["name"], g["lr"]) for g in optimizer.param_groups]


# ---------------------------------------------------------------------------
# Optimizer factory
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["SGD", "sgd"])
def test_plain_sgd_prints_summary_and_keeps_every_parameter_in_one_group(capsys, name):
    model = Net()
    model.scale.requires_grad_(False)
    optimizer = ostravel(model, {**opt_config(name), "weight_decay": 0.001})
    assert lines(capsys) == [
        "", "🔧 Configuring Optimizer:", "├── Type: SGD", "├── Base LR: 0.01", "├── Weight Decay: 0.001",
        "├── Layer-wise Decay: Disabled",
        "└── SGD Specific:", "    ├── Momentum: 0.9", "    ├── Nesterov: True", "    └── Dampening: 0",
    ]  # fmt: skip
    assert isinstance(optimizer, torch.optim.SGD)
    (group,) = optimizer.param_groups
    assert group["name"] == "model" and group["lr"] == 0.01 and len(group["params"]) == 5
    assert (group["momentum"], group["nesterov"], group["dampening"], group["weight_decay"]) == (0.9, True, 0, 0.001)


@pytest.mark.parametrize("name, cls", [("AdamW", torch.optim.AdamW), ("ADAMW", torch.optim.AdamW),
                                       ("adamw", torch.optim.AdamW), ("Adam", torch.optim.Adam)])  # fmt: skip
def test_adam_family_selected_case_insensitively(capsys, name, cls):
    optimizer = ostravel(Net(), opt_config(name))
    out = lines(capsys)
    label = name.upper()
    assert out[2] == f"├── Type: {label}"
    assert out[-4:] == [f"└── {'AdamW' if cls is torch.optim.AdamW else 'Adam'} Specific:",
                        "    ├── Betas: (0.9, 0.98)", "    ├── Epsilon: 1e-09", "    └── AMSGrad: False"]  # fmt: skip
    assert type(optimizer) is cls
    assert optimizer.param_groups[0]["betas"] == (0.9, 0.98) and optimizer.param_groups[0]["eps"] == 1e-09


def test_pattern_groups_first_match_wins_and_unmatched_get_base_rate(capsys):
    model = Net()
    model.head.bias.requires_grad_(False)
    groups = [
        {"name": "encoder", "patterns": ["encoder", "head"], "lr": 0.001},
        {"name": "head", "patterns": ["head"], "lr": 0.5},  # everything already taken
        {"name": "bias", "patterns": ["bias"]},
    ]
    optimizer = ostravel(model, opt_config(param_groups=groups))
    assert lines(capsys)[5:18] == [
        "├── Parameter Groups:",
        "│   ├── Group: encoder", "│   │   ├── LR: 0.001", "│   │   └── Patterns: ['encoder', 'head']",
        "│   ├── Group: head", "│   │   ├── LR: 0.5", "│   │   └── Patterns: ['head']",
        "│   ├── Group: bias", "│   │   ├── LR: 0.01", "│   │   └── Patterns: ['bias']",
        "│   └── Default Group (unmatched parameters)",
        "└── Adam Specific:", "    ├── Betas: (0.9, 0.98)",
    ]  # fmt: skip
    assert groups_of(optimizer) == [
        ("encoder.layers.0.weight", 0.001), ("encoder.layers.0.bias", 0.001), ("head.weight", 0.001), ("scale", 0.01),
    ]  # fmt: skip
    assert all(set(g) >= {"params", "lr", "name"} and len(g["params"]) == 1 for g in optimizer.param_groups)
    assert optimizer.param_groups[3]["params"][0] is model.scale


def test_pattern_groups_with_layer_decay_scale_only_matched_parameters():
    config = opt_config(param_groups=[{"name": "enc", "patterns": ["encoder", "head"]}],
                        layer_decay={"enabled": True, "decay_rate": 0.5})  # fmt: skip
    optimizer = ostravel(Net(), config)
    assert groups_of(optimizer) == [
        ("encoder.layers.0.weight", 0.01 * 0.5**3), ("encoder.layers.0.bias", 0.01 * 0.5**3),
        ("head.weight", 0.005), ("head.bias", 0.005), ("scale", 0.01),
    ]  # fmt: skip


@pytest.mark.parametrize("frozen, sample, closing", [
    ([], ["scale: 0.010000", "encoder.layers.0.weight: 0.000080", "encoder.layers.0.bias: 0.000080"],
     ["│   └── ... (2 more layers)"]),
    (["encoder"], ["scale: 0.010000", "head.weight: 0.002000", "head.bias: 0.002000"], []),
])  # fmt: skip
def test_layer_decay_groups_and_sample_lines(capsys, frozen, sample, closing):
    model = Net()
    for name, p in model.named_parameters():
        p.requires_grad_(not any(f in name for f in frozen))
    optimizer = ostravel(model, opt_config("sgd", layer_decay={"enabled": True, "decay_rate": 0.2}))
    assert lines(capsys)[5:-4] == [
        "├── Layer-wise Decay: Enabled", "│   └── Decay Rate: 0.2", "├── Layer Learning Rates (sample):",
        *("│   ├── " + s for s in sample), *closing,
    ]  # fmt: skip
    expected = {"scale": 0.01, "encoder.layers.0.weight": 8e-05, "encoder.layers.0.bias": 8e-05,
                "head.weight": 0.002, "head.bias": 0.002}  # fmt: skip
    trainable = [n for n, p in model.named_parameters() if p.requires_grad]
    assert groups_of(optimizer) == [("model." + n, pytest.approx(expected[n])) for n in trainable]


@pytest.mark.parametrize("groups", [[], None])
def test_empty_param_groups_behave_as_absent(capsys, groups):
    optimizer = ostravel(Net(), opt_config(param_groups=groups))
    assert "├── Layer-wise Decay: Disabled" in lines(capsys)
    assert groups_of(optimizer) == [("model", 0.01)]


def test_unsupported_optimizer_raises_after_summary(capsys):
    with pytest.raises(ValueError, match=r"^Unsupported optimizer: rmsprop$"):
        ostravel(Net(), opt_config("RMSprop"))
    assert lines(capsys)[-1] == "├── Layer-wise Decay: Disabled"


@pytest.mark.parametrize("config", [{"lr": 0.1, "weight_decay": 0.0}, opt_config(layer_decay={"enabled": True})])
def test_missing_required_keys_raise_key_error(config):
    with pytest.raises(KeyError):
        ostravel(Net(), config)


@pytest.mark.parametrize("name, cls, options", [
    ("sgd", torch.optim.SGD, {"momentum": 0.9, "nesterov": True, "dampening": 0}),
    ("adam", torch.optim.Adam, {"betas": (0.8, 0.95), "eps": 1e-07, "amsgrad": True}),
    ("adamw", torch.optim.AdamW, {"betas": (0.8, 0.95), "eps": 1e-07, "amsgrad": True}),
])  # fmt: skip
@pytest.mark.parametrize("grouping", [
    {},
    {"layer_decay": {"enabled": True, "decay_rate": 0.5}},
    {"param_groups": [{"name": "enc", "patterns": ["encoder"], "lr": 0.002}]},
])  # fmt: skip
def test_configured_values_reach_every_parameter_group(name, cls, options, grouping):
    config = {"name": name, "lr": 0.01, "weight_decay": 0.03, "sgd": SGD, "adam": ADAM, "adamw": ADAM,
              name: {**options, "betas": list(options["betas"])} if "betas" in options else options, **grouping}
    optimizer = ostravel(Net(), config)
    assert type(optimizer) is cls
    for group in optimizer.param_groups:
        assert group["weight_decay"] == 0.03
        for key, value in options.items():
            assert tuple(group[key]) == value if key == "betas" else group[key] == value
    rates = dict(groups_of(optimizer))
    if "layer_decay" in grouping:
        assert rates == pytest.approx({"model.scale": 0.01, "model.encoder.layers.0.weight": 0.01 * 0.5**3,
                                       "model.encoder.layers.0.bias": 0.01 * 0.5**3, "model.head.weight": 0.005,
                                       "model.head.bias": 0.005})  # fmt: skip
    elif "param_groups" in grouping:
        assert rates == {"encoder.layers.0.weight": 0.002, "encoder.layers.0.bias": 0.002, "scale": 0.01,
                         "head.weight": 0.01, "head.bias": 0.01}  # fmt: skip
    else:
        assert rates == {"model": 0.01}


def test_weight_decay_shrinks_weights_that_get_no_gradient():
    model = nn.Linear(2, 2, bias=False)
    before = model.weight.detach().clone()
    optimizer = ostravel(model, {**opt_config("adamw"), "lr": 0.1, "weight_decay": 0.5})
    model.weight.grad = torch.zeros_like(model.weight)
    optimizer.step()
    torch.testing.assert_close(model.weight.detach(), before * (1 - 0.1 * 0.5))


@pytest.mark.parametrize("change, error, message", [
    ({"lr": "1e-3"}, TypeError, "optimizer.lr must be a positive number, got the string '1e-3'; "
                                "YAML reads 1e-3 as text, write it as 1.0e-3"),
    ({"lr": -0.01}, ValueError, "optimizer.lr must be a positive number, got -0.01"),
    ({"lr": 0}, ValueError, "optimizer.lr must be a positive number, got 0"),
    ({"lr": float("inf")}, ValueError, "optimizer.lr must be a positive number, got inf"),
    ({"lr": True}, TypeError, "optimizer.lr must be a positive number, got True (bool)"),
    ({"weight_decay": -1e-4}, ValueError, "optimizer.weight_decay must be a number of at least 0, got -0.0001"),
    ({"name": None}, TypeError, "optimizer.name must be a string, got None (NoneType)"),
    ({"param_groups": [{"name": "n", "patterns": "norm"}]}, TypeError,
     "optimizer.param_groups[0].patterns must be a list of strings, got the string 'norm'; "
     "write ['norm'] for a single entry"),
    ({"param_groups": [{"name": "n", "patterns": ["norm", 3]}]}, TypeError,
     "optimizer.param_groups[0].patterns must be a list of strings, but holds 3 (int)"),
    ({"param_groups": [{"name": "n", "patterns": ["a"]}, {"name": "m", "patterns": ["b"], "lr": -1}]}, ValueError,
     "optimizer.param_groups[1].lr must be a positive number, got -1"),
    ({"param_groups": {"name": "n"}}, TypeError, "optimizer.param_groups must be a list of groups, got"),
    ({"layer_decay": {"enabled": "false", "decay_rate": 0.5}}, TypeError,
     "optimizer.layer_decay.enabled must be true or false, got the string 'false'"),
    ({"layer_decay": {"enabled": True, "decay_rate": 0}}, ValueError,
     "optimizer.layer_decay.decay_rate must be a positive number, got 0"),
    ({"adam": {**ADAM, "betas": (0.9, 1.5)}}, ValueError,
     "optimizer.adam.betas[1] must be a number from 0 up to (not including) 1, got 1.5"),
    ({"adam": {**ADAM, "betas": 0.9}}, TypeError, "optimizer.adam.betas must be a pair of numbers, got 0.9 (float)"),
    ({"adam": {**ADAM, "eps": "1e-8"}}, TypeError, "optimizer.adam.eps must be a number of at least 0"),
])  # fmt: skip
def test_unusable_optimizer_settings_are_named_before_anything_is_printed(capsys, change, error, message):
    with pytest.raises(error) as info:
        ostravel(Net(), {**opt_config("adam"), **change})
    assert str(info.value).startswith(message)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name, change, message", [
    ("sgd", {"momentum": -0.9}, "optimizer.sgd.momentum must be a number of at least 0, got -0.9"),
    ("sgd", {"nesterov": "yes"}, "optimizer.sgd.nesterov must be true or false"),
    ("sgd", {"dampening": 2}, "optimizer.sgd.dampening must be a number from 0 to 1, got 2"),
    ("adamw", {"amsgrad": 1}, "optimizer.adamw.amsgrad must be true or false, got 1 (int)"),
])  # fmt: skip
def test_settings_of_the_chosen_optimizer_are_checked(name, change, message):
    options = {**(SGD if name == "sgd" else ADAM), **change}
    with pytest.raises((TypeError, ValueError), match="^" + re.escape(message)):
        ostravel(Net(), {**opt_config(name), name: options})


@pytest.mark.parametrize("text", ["1e-3", "5e4", "2E+5", "-3e-2"])
def test_the_suggested_spelling_of_a_numeric_string_reads_as_a_number_in_yaml(text):
    config = yaml.safe_load(f"lr: {text}")
    with pytest.raises(TypeError) as info:
        ostravel(Net(), {**opt_config(), **config})
    suggestion = str(info.value).rsplit("write it as ", 1)[1]
    assert yaml.safe_load(f"lr: {suggestion}")["lr"] == float(text)


# ---------------------------------------------------------------------------
# Scheduler factory
# ---------------------------------------------------------------------------


def sgd(lr=1.0, groups=1):
    params = [nn.Parameter(torch.zeros(2)) for _ in range(groups)]
    return torch.optim.SGD([{"params": [p], "lr": lr} for p in params], lr=lr)


LOADER = list(range(10))  # only its length matters


@pytest.mark.parametrize("epochs, accumulation, expected",
                         [(3, 1, 30), (3, 3, 12), (2, 4, 6), (2, 10, 2), (1, 25, 1), (0, 3, 0)])
def test_epochs_to_steps_counts_optimizer_steps(epochs, accumulation, expected):
    assert _epochs_to_steps(epochs, LOADER, accumulation) == expected


def test_epochs_to_steps_rejects_non_positive_accumulation():
    with pytest.raises(ValueError, match=r"^gradient_accumulation_steps must be a positive integer, got 0$"):
        _epochs_to_steps(2, LOADER, 0)


@pytest.mark.parametrize("config, accumulation, cls, length, summary", [
    ({"name": "Cosine", "cosine": {"T_max": 4, "eta_min": 0.001}}, 1, lr_scheduler.CosineAnnealingLR, 40,
     ["├── Type: COSINE", "├── Cosine Annealing Settings:", "│   ├── T_max: 4 epochs (40 steps)",
      "│   └── Min LR: 0.001", "└── Warmup: Disabled"]),
    ({"name": "cosine", "cosine": {}}, 4, lr_scheduler.CosineAnnealingLR, 180,
     ["├── Type: COSINE", "├── Cosine Annealing Settings:", "│   ├── T_max: 60 epochs (180 steps)",
      "│   └── Min LR: 0.0001", "└── Warmup: Disabled"]),
    ({"name": "COSINE_WARM", "cosine_warm": {"T_mult": 1}, "warmup": {"enabled": False}}, 3,
     lr_scheduler.CosineAnnealingWarmRestarts, 40,
     ["├── Type: COSINE_WARM", "├── Cosine Annealing Warm Restarts Settings:", "│   ├── T_0: 10 epochs (40 steps)",
      "│   ├── T_mult: 1", "│   └── Min LR: 0.0001", "└── Warmup: Disabled"]),
])  # fmt: skip
def test_cosine_schedulers_are_sized_in_optimizer_steps(capsys, config, accumulation, cls, length, summary):
    scheduler = create_scheduler(sgd(), config, LOADER, accumulation)
    assert lines(capsys) == ["", "📈 Configuring Learning Rate Scheduler:", *summary]
    assert type(scheduler) is cls
    assert (scheduler.T_max if cls is lr_scheduler.CosineAnnealingLR else scheduler.T_0) == length


def test_plateau_scheduler_keeps_patience_and_cooldown_in_epochs(capsys):
    config = {"name": "Reduce_LR", "reduce_lr": {"patience": 3, "cooldown": 2, "factor": 0.5},
              "warmup": {"enabled": False, "epochs": 9}}  # fmt: skip
    scheduler = create_scheduler(sgd(), config, LOADER, 4)
    assert lines(capsys)[2:] == [
        "├── Type: REDUCE_LR", "├── ReduceLROnPlateau Settings:", "│   ├── Mode: min", "│   ├── Factor: 0.5",
        "│   ├── Patience: 3 epochs", "│   ├── Threshold: 0.0001", "│   ├── Threshold Mode: rel",
        "│   ├── Cooldown: 2 epochs", "│   └── Min LR: 1e-05",
    ]  # fmt: skip
    assert isinstance(scheduler, lr_scheduler.ReduceLROnPlateau)
    assert (scheduler.patience, scheduler.cooldown, scheduler.factor, scheduler.min_lrs) == (3, 2, 0.5, [1e-05])


@pytest.mark.parametrize("accumulation", [1, 3])
def test_warmup_climbs_linearly_then_cosine_starts_from_the_top(capsys, accumulation):
    optimizer = sgd(lr=1.0)
    config = {"name": "cosine", "cosine": {"T_max": 1, "eta_min": 0.0},
              "warmup": {"enabled": True, "epochs": 2, "start_factor": 0.2, "end_factor": 0.6}}  # fmt: skip
    scheduler = create_scheduler(optimizer, config, LOADER, accumulation)
    per_epoch = -(-len(LOADER) // accumulation)
    warmup, cosine = 2 * per_epoch, per_epoch
    assert lines(capsys)[-4:] == [
        "├── Warmup Settings:", f"│   ├── Duration: 2 epochs ({warmup} steps)", "│   ├── Start Factor: 0.2",
        "│   └── End Factor: 0.6",
    ]  # fmt: skip
    assert isinstance(scheduler, lr_scheduler.SequentialLR) and scheduler._milestones == [warmup]
    seen = []
    for _ in range(warmup + cosine + 1):
        seen.append(optimizer.param_groups[0]["lr"])
        optimizer.step()
        scheduler.step()
    ramp = [0.2 + 0.4 * i / warmup for i in range(warmup)]
    assert seen[:warmup] == pytest.approx(ramp)
    assert seen[warmup] == pytest.approx(1.0)  # the cosine schedule restarts from the base rate
    assert seen[warmup + cosine // 2] < 1.0 and seen[warmup + cosine] == pytest.approx(0.0, abs=1e-12)


def test_direct_warmup_scheduler_counts_one_step_per_batch():
    optimizer = sgd()
    base = lr_scheduler.CosineAnnealingLR(optimizer, T_max=5)
    scheduler = create_warmup_scheduler(optimizer, base, {"epochs": 1}, LOADER)
    assert scheduler._milestones == [10] and scheduler._schedulers[0].total_iters == 10
    assert optimizer.param_groups[0]["lr"] == pytest.approx(0.1)


@pytest.mark.parametrize("config, error, message, printed", [
    ({"name": "reduce_lr", "reduce_lr": {}, "warmup": {"enabled": True}}, ValueError,
     "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable warmup or use a "
     "different scheduler (cosine, cosine_warm).", 3),
    ({"name": "Step"}, ValueError, "Unsupported scheduler: step. Supported: ['reduce_lr', 'cosine', 'cosine_warm']",
     3),
    ({"name": "cosine"}, KeyError, "'cosine'", 3),
    ({"name": "cosine", "cosine": {}, "warmup": OrderedDict(enabled=True)}, TypeError,
     "Argument 'warmup_config' has incorrect type (expected dict, got OrderedDict)", 10),
    (OrderedDict(name="cosine"), TypeError,
     "Argument 'scheduler_config' has incorrect type (expected dict, got OrderedDict)", 0),
])  # fmt: skip
def test_scheduler_configuration_errors(capsys, config, error, message, printed):
    with pytest.raises(error) as info:
        create_scheduler(sgd(), config, LOADER)
    assert str(info.value) == message
    assert len(lines(capsys)) == printed


# ---------------------------------------------------------------------------
# Schedule preview
# ---------------------------------------------------------------------------

CASES = {
    "cosine": {"name": "cosine", "cosine": {"T_max": 2}},
    "warmup": {"name": "cosine_warm", "cosine_warm": {"T_0": 1}, "warmup": {"enabled": True, "epochs": 1}},
    "plateau": {"name": "reduce_lr", "reduce_lr": {"patience": 0, "factor": 0.5}},
}


def trained(case, optimizer_name):
    """A model a few steps into training, holding fresh gradients, with optimizer state."""
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(3, 4), nn.Linear(4, 1))
    optimizer = ostravel(model, {**opt_config(optimizer_name), "weight_decay": 0.1,
                                 "param_groups": [{"name": "first", "patterns": ["0."], "lr": 0.05}]})  # fmt: skip
    scheduler = create_scheduler(optimizer, CASES[case], LOADER[:4])

    def step(metric):
        optimizer.step()
        scheduler.step(metric) if case == "plateau" else scheduler.step()

    for i in range(3):
        model(torch.randn(5, 3)).sum().backward()
        step(1.0)
    model.zero_grad()
    model(torch.randn(5, 3)).sum().backward()
    return model, optimizer, scheduler, step


@pytest.mark.parametrize("optimizer_name", ["sgd", "adamw"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_preview_leaves_training_exactly_where_it_was(case, optimizer_name):
    model, optimizer, scheduler, step = trained(case, optimizer_name)
    twin = trained(case, optimizer_name)
    weights = [p.detach().clone() for p in model.parameters()]
    grads = [p.grad for p in model.parameters()]
    grad_values = [g.clone() for g in grads]
    state = copy.deepcopy(optimizer.state_dict())

    plot_lr_schedule(scheduler, 6, LOADER[:4], max_groups=3)
    plt.close("all")

    assert all(torch.equal(p, w) for p, w in zip(model.parameters(), weights))
    assert all(p.grad is g and torch.equal(g, v) for p, g, v in zip(model.parameters(), grads, grad_values))
    restored = optimizer.state_dict()
    assert restored["param_groups"] == state["param_groups"]
    for key, values in state["state"].items():
        assert all(torch.equal(restored["state"][key][k], v) for k, v in values.items())
    step(2.0)
    twin[3](2.0)
    assert [g["lr"] for g in optimizer.param_groups] == [g["lr"] for g in twin[1].param_groups]
    assert all(torch.equal(a, b) for a, b in zip(model.parameters(), twin[0].parameters()))


@pytest.mark.parametrize("accumulation", [1, 3])
def test_preview_plots_the_schedule_training_would_follow(accumulation):
    optimizer = sgd(lr=1.0, groups=2)
    config = {"name": "cosine", "cosine": {"T_max": 2}, "warmup": {"enabled": True, "epochs": 1}}
    scheduler = create_scheduler(optimizer, config, LOADER, accumulation)
    plot_lr_schedule(scheduler, 3, LOADER, accumulation)
    main_axes = plt.gcf().axes[0]
    plotted = [line.get_ydata() for line in main_axes.get_lines()]
    plt.close("all")
    real = []
    for _ in range(3 * -(-len(LOADER) // accumulation)):
        real.append(optimizer.param_groups[0]["lr"])
        optimizer.step()
        scheduler.step()
    assert len(plotted) == 2 and list(plotted[0]) == pytest.approx(real) and list(plotted[1]) == pytest.approx(real)


def test_plateau_preview_drops_the_rate_at_the_scheduler_patience():
    optimizer = sgd(lr=1.0)
    config = {"name": "reduce_lr", "reduce_lr": {"patience": 1, "factor": 0.5}}
    scheduler = create_scheduler(optimizer, config, LOADER)
    plot_lr_schedule(scheduler, 6, LOADER)
    (line,) = plt.gcf().axes[0].get_lines()
    plt.close("all")
    per_epoch = list(line.get_ydata())[:: len(LOADER)]
    assert len(line.get_ydata()) == 60 and per_epoch[0] == 1.0 and min(per_epoch) < 1.0
    assert optimizer.param_groups[0]["lr"] == 1.0 and scheduler.num_bad_epochs == 0


@pytest.mark.parametrize("groups, warned", [(7, True), (5, False)])
def test_preview_draws_at_most_five_groups(capsys, groups, warned):
    scheduler = create_scheduler(sgd(groups=groups), CASES["cosine"], LOADER)
    capsys.readouterr()
    plot_lr_schedule(scheduler, 1, LOADER)
    figure = plt.gcf()
    drawn = figure.axes[0].get_lines()
    assert [line.get_label() for line in drawn] == [f"Group {i}" for i in range(5)]
    assert [line.get_linestyle() for line in drawn] == ["-", "--", "-.", ":", "-"]
    assert figure.axes[1].get_xlim() == (0, 10) and figure.axes[1].get_xlabel() == "Steps"
    plt.close("all")
    warning = "Warning: Only showing 5 out of 7 parameter groups for clarity"
    assert lines(capsys) == ([warning] if warned else [])


@pytest.mark.parametrize("config, error, message", [
    ({"name": "cosine", "cosine": {"T_max": 0}}, ValueError,
     "scheduler.cosine.T_max must be a positive whole number, got 0"),
    ({"name": "cosine", "cosine": {"T_max": -2}}, ValueError,
     "scheduler.cosine.T_max must be a positive whole number, got -2"),
    ({"name": "cosine", "cosine": {"T_max": 2.5}}, TypeError,
     "scheduler.cosine.T_max must be a positive whole number, got 2.5 (float)"),
    ({"name": "cosine", "cosine": {"T_max": "10"}}, TypeError,
     "scheduler.cosine.T_max must be a positive whole number, got the string '10'; write 10 without quotes"),
    ({"name": "cosine", "cosine": {"eta_min": "1e-5"}}, TypeError,
     "scheduler.cosine.eta_min must be a number of at least 0, got the string '1e-5'; "
     "YAML reads 1e-5 as text, write it as 1.0e-5"),
    ({"name": "cosine_warm", "cosine_warm": {"T_0": 0}}, ValueError,
     "scheduler.cosine_warm.T_0 must be a positive whole number, got 0"),
    ({"name": "cosine_warm", "cosine_warm": {"T_mult": 0}}, ValueError,
     "scheduler.cosine_warm.T_mult must be a positive whole number, got 0"),
    ({"name": "cosine_warm", "cosine_warm": {"eta_min": -1.0}}, ValueError,
     "scheduler.cosine_warm.eta_min must be a number of at least 0, got -1.0"),
    ({"name": "cosine", "cosine": {}, "warmup": {"enabled": "true"}}, TypeError,
     "scheduler.warmup.enabled must be true or false, got the string 'true'"),
    ({"name": "cosine", "cosine": {}, "warmup": {"enabled": True, "epochs": 0}}, ValueError,
     "scheduler.warmup.epochs must be a positive whole number, got 0"),
    ({"name": "cosine", "cosine": {}, "warmup": {"enabled": True, "start_factor": 0}}, ValueError,
     "scheduler.warmup.start_factor must be a number above 0 and at most 1, got 0"),
    ({"name": "cosine", "cosine": {}, "warmup": {"enabled": True, "end_factor": 1.5}}, ValueError,
     "scheduler.warmup.end_factor must be a number from 0 to 1, got 1.5"),
    ({"name": "reduce_lr", "reduce_lr": {"factor": 1.0}}, ValueError,
     "scheduler.reduce_lr.factor must be a number between 0 and 1, got 1.0"),
    ({"name": "reduce_lr", "reduce_lr": {"patience": -1}}, ValueError,
     "scheduler.reduce_lr.patience must be a whole number of at least 0, got -1"),
    ({"name": "reduce_lr", "reduce_lr": {"cooldown": 1.5}}, TypeError,
     "scheduler.reduce_lr.cooldown must be a whole number of at least 0, got 1.5 (float)"),
    ({"name": "reduce_lr", "reduce_lr": {"mode": "minimum"}}, ValueError,
     "scheduler.reduce_lr.mode must be one of 'min', 'max', got 'minimum'"),
    ({"name": "reduce_lr", "reduce_lr": {"threshold_mode": "relative"}}, ValueError,
     "scheduler.reduce_lr.threshold_mode must be one of 'rel', 'abs', got 'relative'"),
    ({"name": "reduce_lr", "reduce_lr": {"min_lr": [0.0, -1e-5]}}, ValueError,
     "scheduler.reduce_lr.min_lr[1] must be a number of at least 0, got -1e-05"),
    ({"name": "reduce_lr", "reduce_lr": {"eps": float("nan")}}, ValueError,
     "scheduler.reduce_lr.eps must be a number of at least 0, got nan"),
    ({"name": 7}, TypeError, "scheduler.name must be a string, got 7 (int)"),
])  # fmt: skip
def test_unusable_schedule_settings_are_named_before_the_schedule_is_printed(capsys, config, error, message):
    with pytest.raises(error) as info:
        create_scheduler(sgd(), config, LOADER)
    assert str(info.value) == message
    assert len(lines(capsys)) <= 3  # at most the header lines


@pytest.mark.parametrize("config", [{"name": "cosine", "cosine": {}},
                                    {"name": "cosine_warm", "cosine_warm": {}, "warmup": {"enabled": True}}])
def test_an_empty_loader_cannot_size_a_schedule_in_epochs(config):
    with pytest.raises(ValueError, match="train_loader has no batches"):
        create_scheduler(sgd(), config, [])


def test_direct_warmup_checks_its_settings():
    optimizer = sgd()
    base = lr_scheduler.CosineAnnealingLR(optimizer, T_max=5)
    with pytest.raises(ValueError, match=r"^scheduler.warmup.epochs must be a positive whole number, got -1$"):
        create_warmup_scheduler(optimizer, base, {"epochs": -1}, LOADER)
