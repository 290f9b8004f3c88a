import copy
import json
import os
import pathlib
import subprocess
import sys

import matplotlib.pyplot as plt
import numpy as np
import pytest
import torch
from torch import nn

from quillane.trainers import tressik
from quillane.trainers.tressik import BaseTrainer


class TinyDecoder(nn.Module):
    def __init__(self, max_len=7, vocab=5, width=3):
        super().__init__()
        self.max_len = max_len
        self.emb = nn.Embedding(vocab, width)

    def forward(self, targets, target_lengths=None):
        return self.emb(targets), {}


class TinyEncoderDecoder(nn.Module):
    num_classes = 6

    def __init__(self):
        super().__init__()
        self.proj = nn.Linear(4, 2)
        self.seen = None

    def forward(self, feats, targets, feat_lengths, target_lengths):
        self.seen = (feats, targets, feat_lengths, target_lengths)
        return self.proj(feats), {}, {}


OPERATIONS = ["_train_epoch", "_validate_epoch", "train", "evaluate"]
Trainer = type("Trainer", (BaseTrainer,), {name: (lambda self, *args: None) for name in OPERATIONS})


class RecordingWandb:
    """Stands in for the wandb module: records every call."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return ("image", args[0]) if name == "Image" else f"run:{name}"
        return record


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tressik, "DecoderOnlyTransformer", TinyDecoder)
    monkeypatch.setattr(tressik, "EncoderDecoderTransformer", TinyEncoderDecoder)
    (tmp_path / "settings.yml").write_text("model:\n  d_model: 3\n")
    return tmp_path


@pytest.fixture
def wandb_calls(monkeypatch):
    recorder = RecordingWandb()
    monkeypatch.setattr(tressik, "wandb", recorder)
    return recorder


def make(model=None, run="run", device="cpu", data=None, **training):
    config = {"training": training, "data": {"batch_size": 2, "num_feats": 4} if data is None else data}
    trainer = Trainer(model or TinyDecoder(), None, config, run, "settings.yml", device)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.0001)
    return trainer


@pytest.mark.parametrize("args, message", [
    (({"training": {}}.items(), "r", "c"), "Argument 'config' has incorrect type (expected dict, got dict_items)"),
    ((type("Settings", (dict,), {})(training={}), "r", "c"),
     "Argument 'config' has incorrect type (expected dict, got Settings)"),
    (({"training": {}}, b"r", "c"), "Argument 'run_name' has incorrect type (expected str, got bytes)"),
    (({"training": {}}, "r", pathlib.Path("c")),
     f"Argument 'config_file' has incorrect type (expected str, got {type(pathlib.Path()).__name__})"),
])
def test_constructor_type_rules(args, message):
    with pytest.raises(TypeError) as err:
        Trainer(TinyDecoder(), None, *args)
    assert str(err.value) == message


@pytest.mark.parametrize("missing", OPERATIONS)
def test_subclass_missing_an_operation_stays_abstract(missing):
    ops = {name: (lambda self, *args: None) for name in OPERATIONS if name != missing}
    with pytest.raises(TypeError, match=missing):
        type("Partial", (BaseTrainer,), ops)(TinyDecoder(), None, {"training": {}, "data": {}}, "r", "settings.yml")
    with pytest.raises(TypeError, match="abstract"):
        BaseTrainer(TinyDecoder(), None, {"training": {}}, "r", "settings.yml")
    args = (None, None) if missing == "train" else (None,)
    assert getattr(BaseTrainer, missing)(make(), *args) is None


@pytest.mark.filterwarnings("ignore:.*CUDA is not available")
@pytest.mark.parametrize("device, cuda, shown, scaler_type", [
    (None, False, "cpu", "cpu"), (None, True, "cuda", "cuda"), ("cuda:1", False, "cuda:1", "cuda")])
def test_device_choice_line_and_scaler_device_type(device, cuda, shown, scaler_type, monkeypatch, capsys):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: cuda)
    moved = []
    model = TinyDecoder()
    monkeypatch.setattr(model, "to", lambda d: moved.append(d) or model)
    monkeypatch.setattr(tressik, "summary", lambda *a, **k: "summary")
    trainer = make(model, device=device)
    assert capsys.readouterr().out.startswith(f"Using device: {shown}\n")
    assert trainer.device == shown and moved == [shown]
    assert trainer.scaler._device == scaler_type


def test_directory_layout_reuse_and_config_copy(workdir):
    os.utime(workdir / "settings.yml", (1_000_000, 1_000_000))
    first = make(run="exp")
    root = workdir / "expts" / "exp"
    assert (first.expt_root, first.checkpoint_dir, first.attn_dir, first.text_dir) == (
        root, root / "checkpoints", root / "attn", root / "text")
    assert first.best_model_path == root / "checkpoints" / "checkpoint-best-metric-model.pth"
    assert first.last_model_path == root / "checkpoints" / "checkpoint-last-epoch-model.pth"
    assert (first.current_epoch, first.best_metric, first.training_history) == (0, float("inf"), [])
    assert os.stat(root / "config.yaml").st_mtime == 1_000_000
    first.save_checkpoint("old.pth")
    (workdir / "settings.yml").write_text("changed: true\n")
    summary = (root / "model_arch.txt").read_text()
    make(run="exp")
    assert (root / "config.yaml").read_bytes() == b"changed: true\n"
    assert (root / "model_arch.txt").read_text() == summary
    assert sorted(os.listdir(root / "checkpoints")) == ["old.pth"]


def test_architecture_summary_inputs(workdir):
    summary = make(TinyDecoder(max_len=7), data={"batch_size": 3}).expt_root / "model_arch.txt"
    assert "[3, 7, 3]" in summary.read_text()
    assert "[8, 7, 3]" in (make(TinyDecoder(), run="default", data={}).expt_root / "model_arch.txt").read_text()
    model = TinyEncoderDecoder()
    make(model, data={"batch_size": 2, "num_feats": 4})
    feats, targets, src_len, tgt_len = model.seen
    assert feats.shape == (2, 1000, 4) and feats.dtype == torch.float32
    assert targets.shape == (2, 100) and 0 <= targets.min() and targets.max() < 6
    assert all(500 <= v < 1000 for v in src_len) and all(50 <= v < 100 for v in tgt_len)
    with pytest.raises(KeyError):
        make(TinyEncoderDecoder(), data={"batch_size": 2})


def test_architecture_summary_of_the_real_model_classes_lands_in_the_file(workdir, monkeypatch):
    import quillane.model as models
    monkeypatch.setattr(tressik, "DecoderOnlyTransformer", models.DecoderOnlyTransformer)
    monkeypatch.setattr(tressik, "EncoderDecoderTransformer", models.EncoderDecoderTransformer)
    small = {"d_model": 8, "num_heads": 2, "d_ff": 16}
    lm = models.DecoderOnlyTransformer(11, num_layers=1, max_len=9, **small)
    asr = models.EncoderDecoderTransformer(16, 11, num_encoder_layers=1, num_decoder_layers=1, **small)
    for name, model in [("lm", lm), ("asr", asr)]:
        text = (make(model, run=name, data={"batch_size": 1, "num_feats": 16}).expt_root / "model_arch.txt").read_text()
        assert type(model).__name__ in text and "Total params" in text


def test_unknown_model_class_leaves_empty_summary_and_no_subdirectories(workdir):
    with pytest.raises(NotImplementedError, match="^Model architecture summary not implemented$"):
        make(nn.Linear(2, 2), run="lin")
    root = workdir / "expts" / "lin"
    assert sorted(os.listdir(root)) == ["config.yaml", "model_arch.txt"]
    assert (root / "model_arch.txt").read_text() == ""


@pytest.mark.parametrize("run_id", [None, "", "none", "NoNe"])
def test_wandb_starts_new_run_unless_a_real_id_is_given(run_id, wandb_calls):
    extra = {} if run_id is None else {"wandb_run_id": run_id}
    trainer = make(run="fresh", use_wandb=True, **extra)
    assert wandb_calls.calls == [("init", (), {"project": "default-project", "config": trainer.config,
                                               "name": "fresh"})]
    assert trainer.wandb_run == "run:init"
    trainer.cleanup()
    assert [call[0] for call in wandb_calls.calls] == ["init", "finish"]


def test_wandb_resumes_given_run_and_is_silent_when_off(wandb_calls):
    trainer = make(use_wandb=True, wandb_run_id="abc123", wandb_project="proj")
    assert wandb_calls.calls == [("init", (), {"project": "proj", "id": "abc123", "resume": "must",
                                               "config": trainer.config})]
    wandb_calls.calls.clear()
    quiet = make(use_wandb=False)
    quiet.save_checkpoint("c.pth")
    quiet.load_checkpoint("c.pth")
    quiet._log_metrics({"train": {"loss": 1.0}}, 1)
    quiet._save_attention_plot(np.eye(2), 1)
    quiet._save_generated_text([], "s")
    quiet.cleanup()
    assert wandb_calls.calls == [] and not hasattr(quiet, "wandb_run")


def test_wandb_payloads(wandb_calls):
    trainer = make(use_wandb=True)
    trainer._log_metrics({"val": {"wer": 0.5}, "train": {"loss": 2.0, "acc": 1.0}}, 3)
    trainer.save_checkpoint("c.pth")
    trainer._save_attention_plot(np.eye(2), 12, "cross")
    trainer._save_generated_text({"a": 1}, "val")
    plot = os.path.join(trainer.attn_dir, "cross_attention_epoch12.png")
    assert wandb_calls.calls[1:] == [
        ("log", ({"val/wer": 0.5, "train/loss": 2.0, "train/acc": 1.0, "learning_rate": 0.0001},), {"step": 3}),
        ("save", (str(trainer.checkpoint_dir / "c.pth"),), {}),
        ("Image", (plot,), {}),
        ("log", ({"cross_attention": ("image", plot)},), {"step": 12}),
        ("save", (os.path.join(trainer.text_dir, "text_val.json"),), {}),
    ]


def test_real_offline_wandb_run(workdir, monkeypatch):
    monkeypatch.setenv("WANDB_MODE", "offline")
    monkeypatch.setenv("WANDB_DIR", str(workdir))
    monkeypatch.setenv("WANDB_SILENT", "true")
    trainer = make(run="offline", use_wandb=True, wandb_project="quillane-tests")
    trainer._log_metrics({"train": {"loss": 1.0}}, 1)
    trainer.save_checkpoint("c.pth")
    run = trainer.wandb_run
    assert (run.name, run.project, run.config["training"]["use_wandb"]) == ("offline", "quillane-tests", True)
    trainer.cleanup()
    assert [p.name for p in pathlib.Path(run.dir).rglob("*.pth")] == ["c.pth"]


def test_checkpoint_keys_and_weights_only_load():
    trainer = make()
    trainer.current_epoch, trainer.best_metric = 4, 0.25
    trainer.training_history.append({"epoch": 4, "train": {"loss": 1.0}, "lr": 0.1})
    trainer.save_checkpoint("c.pth")
    saved = torch.load(trainer.checkpoint_dir / "c.pth", weights_only=True)
    assert list(saved) == ["epoch", "model_state_dict", "optimizer_state_dict", "scheduler_state_dict",
                           "scaler_state_dict", "best_metric", "training_history", "config", "epochs_completed"]
    assert (saved["epoch"], saved["best_metric"], saved["scheduler_state_dict"]) == (4, 0.25, None)
    assert saved["epochs_completed"] == 4  # a caller's own loop advances current_epoch only
    assert saved["training_history"] == trainer.training_history and saved["config"] == trainer.config
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 2)
    trainer.save_checkpoint("c.pth")
    assert torch.load(trainer.checkpoint_dir / "c.pth", weights_only=True)["scheduler_state_dict"]["step_size"] == 2


def with_scheduler(trainer):
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 3)
    return trainer


@pytest.mark.parametrize("saver, loader, warnings, loaded, failed", [
    (with_scheduler, with_scheduler, [], "model, optimizer, scheduler, scaler, training_state", None),
    (lambda t: t, with_scheduler, [], "model, optimizer, scaler, training_state", None),
    (lambda t: t, lambda t: setattr(t, "optimizer", None), ["optimizer"], "model, scaler, training_state",
     "optimizer"),
])
def test_load_restores_components_independently(saver, loader, warnings, loaded, failed, capsys):
    source = make()
    saver(source)
    source.current_epoch, source.best_metric, source.training_history = 7, 0.5, [{"epoch": 7}]
    source.save_checkpoint("c.pth")
    target = make()
    loader(target)
    capsys.readouterr()
    target.load_checkpoint("c.pth")
    out = capsys.readouterr().out
    head, tail = out.split("Checkpoint loaded")
    assert [line.split(" state: ")[0] for line in head.splitlines() if line.startswith("Warning")] == [
        f"Warning: Failed to load {w}" for w in warnings]
    assert ("Checkpoint loaded" + tail).splitlines() == ["Checkpoint loaded from epoch 7", f"Successfully loaded: {loaded}"] + (
        [f"Failed to load: {failed}"] if failed else [])
    assert (target.current_epoch, target.best_metric, target.training_history) == (7, 0.5, [{"epoch": 7}])


def test_weights_that_do_not_load_leave_optimizer_scheduler_and_training_state_alone(capsys):
    source = with_scheduler(make())
    source.model.emb.weight.grad = torch.ones_like(source.model.emb.weight)
    source.optimizer = torch.optim.Adam(source.model.parameters())
    source.optimizer.step()
    source.current_epoch, source.best_metric, source.training_history = 7, 0.5, [{"epoch": 7}]
    source.save_checkpoint("c.pth")
    target = with_scheduler(make(TinyDecoder(vocab=9)))
    target.optimizer = torch.optim.Adam(target.model.parameters())
    capsys.readouterr()
    target.load_checkpoint("c.pth")
    warning, report = capsys.readouterr().out.split("Checkpoint loaded")
    assert warning.startswith("Warning: Failed to load model state: ") and "size mismatch" in warning
    assert ("Checkpoint loaded" + report).splitlines() == ["Checkpoint loaded from epoch 7", "Successfully loaded: scaler", "Failed to load: model",
                         "Not restored, as the model weights did not load: optimizer, scheduler, training_state"]
    assert (target.current_epoch, target.best_metric, target.training_history) == (0, float("inf"), [])
    assert target.optimizer.state_dict()["state"] == {} and target.scheduler.last_epoch == 0


def test_partial_training_state_and_nothing_loadable(capsys):
    trainer = with_scheduler(make())
    capsys.readouterr()
    weights = trainer.model.state_dict()
    torch.save({"epoch": 3, "model_state_dict": weights, "scheduler_state_dict": "garbage"},
               trainer.checkpoint_dir / "partial.pth")
    trainer.load_checkpoint("partial.pth")
    lines = capsys.readouterr().out.splitlines()
    assert [w.split(" state")[0] for w in lines if w.startswith("Warning")] == [
        f"Warning: Failed to load {c}" for c in ["optimizer", "scheduler", "scaler", "training"]]
    assert "Warning: Failed to load training state: 'best_metric'" in lines
    assert (trainer.current_epoch, trainer.best_metric) == (3, float("inf"))

    torch.save({"epoch": 5}, trainer.checkpoint_dir / "bad.pth")
    with pytest.raises(RuntimeError, match="^Failed to load any checkpoint components$"):
        trainer.load_checkpoint("bad.pth")
    warnings = capsys.readouterr().out.splitlines()
    assert [w.split(" state")[0] for w in warnings] == ["Warning: Failed to load model", "Warning: Failed to load scaler"]
    assert trainer.current_epoch == 3


def test_a_checkpoint_without_the_finished_epoch_count_resumes_at_its_stored_epoch():
    trainer = make()
    trainer.current_epoch = 5
    trainer.save_checkpoint("old.pth")
    checkpoint = torch.load(trainer.checkpoint_dir / "old.pth", weights_only=True)
    del checkpoint["epochs_completed"]
    torch.save(checkpoint, trainer.checkpoint_dir / "old.pth")
    fresh = make()
    fresh.load_checkpoint("old.pth")
    assert (fresh.current_epoch, fresh.epochs_completed) == (5, 5)


def test_load_errors_for_missing_and_unreadable_files():
    trainer = make()
    with pytest.raises(FileNotFoundError) as err:
        trainer.load_checkpoint("absent.pth")
    assert str(err.value) == f"No checkpoint found at {trainer.checkpoint_dir / 'absent.pth'}"
    (trainer.checkpoint_dir / "junk.pth").write_bytes(b"not a checkpoint")
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: ") as err:
        trainer.load_checkpoint("junk.pth")
    assert err.value.__context__ is not None and str(err.value.__context__) in str(err.value)


def test_failed_save_keeps_previous_checkpoint(monkeypatch):
    trainer = make()
    trainer.save_checkpoint("c.pth")
    before = (trainer.checkpoint_dir / "c.pth").read_bytes()

    def dies_midway(obj, f):
        f.write(b"partial")
        raise OSError("disk full")
    monkeypatch.setattr(torch, "save", dies_midway)
    with pytest.raises(OSError, match="disk full"):
        trainer.save_checkpoint("c.pth")
    with pytest.raises(OSError, match="disk full"):
        trainer.save_checkpoint("new.pth")
    trainer.optimizer = None
    with pytest.raises(AttributeError):
        trainer.save_checkpoint("other.pth")
    assert os.listdir(trainer.checkpoint_dir) == ["c.pth"]
    assert (trainer.checkpoint_dir / "c.pth").read_bytes() == before


@pytest.mark.parametrize("metrics, tree", [
    ({"val": {"loss": 2.5}, "train": {"loss": 3.0, "acc": 0.5}},
     ["├── TRAIN:", "│   ├── acc: 0.5000", "│   └── loss: 3.0000", "└── VAL:", "    └── loss: 2.5000"]),
    ({}, []),
    ({"test": {"wer": 1 / 3, "cer": 2}}, ["└── TEST:", "    ├── cer: 2.0000", "    └── wer: 0.3333"]),
    ({"b": {}, "a": {"x": 1}}, ["├── A:", "│   └── x: 1.0000", "└── B:"]),
])
def test_log_metrics_prints_tree_and_records_history(metrics, tree, capsys):
    trainer = make()
    capsys.readouterr()
    trainer._log_metrics(metrics, 4)
    assert capsys.readouterr().out.split("\n") == ["", "📊 Metrics (Epoch 4):", *tree, "└── TRAINING:",
                                                   "    └── learning_rate: 0.000100", ""]
    entry = trainer.training_history[-1]
    assert list(entry) == ["epoch", *metrics, "lr"] and entry["lr"] == 0.0001
    assert all(entry[k] is v for k, v in metrics.items())


@pytest.mark.parametrize("call, message", [
    (lambda t: t._log_metrics([], 1), "Argument 'metrics' has incorrect type"),
    (lambda t: t._log_metrics({}, True), "Argument 'step' has incorrect type (expected int, got bool)"),
    (lambda t: t._save_attention_plot(np.eye(2), 1.0), "Argument 'epoch' has incorrect type"),
    (lambda t: t._save_generated_text([], 3), "Argument 'suffix' has incorrect type (expected str, got int)"),
])
def test_logging_operations_check_argument_types(call, message):
    trainer = make()
    with pytest.raises(TypeError) as err:
        call(trainer)
    assert str(err.value).startswith(message) and trainer.training_history == []


def test_attention_plots_are_named_and_closed():
    trainer = make()
    trainer._save_attention_plot(torch.rand(3, 4, requires_grad=True), 3)
    trainer._save_attention_plot(np.eye(3), 12, "cross")
    with pytest.raises(ValueError):
        trainer._save_attention_plot(np.zeros((2, 2, 2)), 5)
    assert sorted(os.listdir(trainer.attn_dir)) == ["cross_attention_epoch12.png", "self_attention_epoch3.png"]
    assert plt.get_fignums() == []


def test_generated_text_json_overwrites_and_survives_bad_content():
    trainer = make()
    records = [{"target": "héllo", "generated": "hello", "score": 0.5}]
    trainer._save_generated_text({"old": 1}, "val")
    trainer._save_generated_text(records, "val")
    path = trainer.text_dir / "text_val.json"
    assert path.read_text() == json.dumps(records, indent=4)
    assert path.read_text().splitlines()[:3] == ["[", "    {", '        "target": "h\\u00e9llo",']
    with pytest.raises(TypeError):
        trainer._save_generated_text([{"x": object()}], "val")
    assert json.loads(path.read_text()) == records


# --- settings checked before anything is written -------------------------------------------

@pytest.mark.parametrize("run_name", ["", ".", "..", "../../x", "a/b", "/tmp/abs", "a\\b", "x\0y"])
def test_a_run_name_that_is_not_one_directory_inside_expts_is_refused(workdir, run_name):
    with pytest.raises(ValueError, match="^run_name must name one directory inside expts/") as err:
        make(run=run_name)
    assert repr(run_name) in str(err.value)
    assert sorted(os.listdir(workdir)) == ["settings.yml"]


@pytest.mark.parametrize("precision", ["fp16", "", "AUTO", 16, None])
def test_an_unknown_precision_is_refused_naming_the_valid_ones(workdir, precision):
    with pytest.raises(ValueError) as err:
        make(precision=precision)
    assert str(err.value) == ("training.precision must be one of 'auto', 'float32', 'bfloat16', 'float16', "
                              f"got {precision!r}")
    assert sorted(os.listdir(workdir)) == ["settings.yml"]


# --- the training precision --------------------------------------------------------------

CPU_CHECKS = ["_is_avx512_bf16_supported", "_is_amx_tile_supported", "_is_amx_fp16_supported"]


@pytest.fixture
def cpu_units(monkeypatch):
    """Fakes the CPU features torch reports and the layer probe; returns the probe's calls."""
    probed = []

    def fake(units=(), failing=(), capability=None):
        for check in CPU_CHECKS:
            monkeypatch.setattr(torch.cpu, check, lambda check=check: check in units)
        capability = capability or "AVX2"
        monkeypatch.setattr(torch.backends.cpu, "get_cpu_capability", lambda: capability)

        def probe(model, device, precision):
            probed.append(precision)
            return f"LSTM under {precision} autocast: no kernel" if precision in failing else None
        monkeypatch.setattr(tressik, "_probe_precision", probe)
        return probed
    return fake


@pytest.mark.parametrize("units, capability, failing, chosen, probed, reason", [
    ((), "AVX2", (), "float32", [], "this CPU (AVX2) has no bfloat16 or float16 units"),
    # units present, but torch restricted to its AVX2 kernels (ATEN_CPU_CAPABILITY=avx2) emulates them
    (("_is_amx_tile_supported", "_is_amx_fp16_supported"), "AVX2", (), "float32", [],
     "this CPU (AVX2) has no bfloat16 or float16 units"),
    (("_is_avx512_bf16_supported",), "AVX512", (), "bfloat16", ["bfloat16"], None),
    (("_is_amx_tile_supported",), "AVX512", (), "bfloat16", ["bfloat16"], None),
    (("_is_amx_fp16_supported",), "AVX512", (), "float16", ["float16"], None),
    (("_is_amx_tile_supported", "_is_amx_fp16_supported"), "AVX512", ("bfloat16",), "float16",
     ["bfloat16", "float16"], None),
    (("_is_avx512_bf16_supported",), "AVX512", ("bfloat16",), "float32", ["bfloat16"],
     "LSTM under bfloat16 autocast: no kernel"),
])
def test_auto_takes_reduced_precision_on_a_cpu_only_with_units_for_it_and_a_passing_probe(
        cpu_units, capsys, units, capability, failing, chosen, probed, reason):
    calls = cpu_units(units, failing, capability)
    trainer = make()
    assert (trainer.precision, calls) == (chosen, probed)
    assert trainer.scaler.is_enabled() == (chosen == "float16")
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == ["Using device: cpu", f"Training precision: {chosen}" + (f" ({reason})" if reason else "")]


@pytest.mark.filterwarnings("ignore:.*CUDA is not available")
@pytest.mark.parametrize("setting, chosen", [(None, "float16"), ("auto", "float16"), ("float32", "float32"),
                                             ("bfloat16", "bfloat16")])
def test_an_accelerator_trains_in_float16_under_auto_and_an_explicit_choice_is_kept(
        cpu_units, monkeypatch, setting, chosen):
    calls = cpu_units()
    monkeypatch.setattr(tressik, "summary", lambda *a, **k: "summary")
    monkeypatch.setattr(TinyDecoder, "to", lambda self, device: self)
    training = {} if setting is None else {"precision": setting}
    trainer = make(device="cuda", **training)
    assert (trainer.precision, trainer.scaler._device, calls) == (chosen, "cuda", [])


def test_an_explicit_precision_is_checked_at_the_first_step_not_at_construction(cpu_units):
    calls = cpu_units(failing=("float16",))
    trainer = make(precision="float16")
    assert (trainer.precision, calls) == ("float16", [])
    with pytest.raises(ValueError, match="^training.precision 'float16' cannot run on device 'cpu': LSTM under "
                                         "float16 autocast: no kernel; use 'auto' or 'float32' instead$"):
        trainer._autocast_dtype()
    trainer.precision = "float32"
    assert trainer._autocast_dtype() is None


class Recurrent(nn.Module):
    def __init__(self, lstm=nn.LSTM):
        super().__init__()
        self.lstm = lstm(4, 3, batch_first=True, bidirectional=True)
        self.conv = nn.Conv2d(1, 2, 3, stride=(2, 1))
        self.attention = nn.MultiheadAttention(6, 2, batch_first=True, dropout=0.5)


class NoReducedLSTM(nn.LSTM):
    def forward(self, *args):
        if torch.is_autocast_enabled("cpu"):
            raise RuntimeError("could not create a primitive descriptor\nfor the LSTM")
        return super().forward(*args)


def test_the_probe_leaves_model_and_random_state_alone_and_names_a_failing_layer():
    model, failing = Recurrent(), Recurrent(NoReducedLSTM)
    weights = copy.deepcopy(model.state_dict())
    rng = torch.get_rng_state()
    assert tressik._probe_precision(model, "cpu", "float32") is None
    assert isinstance(tressik._probe_precision(model, "cpu", "bfloat16"), (str, type(None)))  # as this CPU allows
    failure = tressik._probe_precision(failing, "cpu", "bfloat16")
    assert failure == "NoReducedLSTM under bfloat16 autocast: could not create a primitive descriptor"
    assert torch.equal(torch.get_rng_state(), rng)
    assert all(torch.equal(v, weights[k]) for k, v in model.state_dict().items())
    assert all(p.grad is None for p in model.parameters())


# --- files -------------------------------------------------------------------------------

def test_saving_removes_temporaries_of_dead_writers_only():
    trainer = make()
    finished = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead = int(finished.stdout)
    names = [f".c.pth.{dead}.tmp", f".other.pth.{dead}.tmp", f".c.pth.{os.getpid()}x.tmp",
             f".other.pth.{os.getpid()}.tmp", ".other.pth.1.tmp", ".notes.tmp", "c.pth.123.tmp"]
    for name in names:
        (trainer.checkpoint_dir / name).write_bytes(b"partial")
    trainer.save_checkpoint("c.pth")
    left = sorted(os.listdir(trainer.checkpoint_dir))
    assert left == sorted(["c.pth"] + names[2:])


@pytest.mark.parametrize("front_end", ["lstm", "conv"])
def test_a_model_too_short_for_1000_frames_still_gets_its_summary(workdir, monkeypatch, front_end):
    import quillane.model as models
    monkeypatch.setattr(tressik, "EncoderDecoderTransformer", models.EncoderDecoderTransformer)
    model = models.EncoderDecoderTransformer(16, 11, d_model=8, num_heads=2, d_ff=16, num_encoder_layers=1,
                                             num_decoder_layers=1, max_len=40, time_reduction=4,
                                             reduction_method=front_end)
    text = (make(model, data={"batch_size": 1, "num_feats": 16}).expt_root / "model_arch.txt").read_text()
    assert "Total params" in text


def test_a_model_error_during_the_summary_surfaces_as_itself(workdir):
    class Broken(TinyEncoderDecoder):
        def forward(self, *args):
            raise ValueError("max_len too small for these frames")

    with pytest.raises(ValueError, match="^max_len too small for these frames$"):
        make(Broken())
