import json
import os
import pathlib

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
                           "scaler_state_dict", "best_metric", "training_history", "config"]
    assert (saved["epoch"], saved["best_metric"], saved["scheduler_state_dict"]) == (4, 0.25, None)
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
    (lambda t: t, lambda t: t.model.add_module("extra", nn.Linear(1, 1)), ["model"],
     "optimizer, scaler, training_state", "model"),
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


def test_partial_training_state_and_nothing_loadable(capsys):
    trainer = with_scheduler(make())
    capsys.readouterr()
    torch.save({"epoch": 3, "scheduler_state_dict": "garbage"}, trainer.checkpoint_dir / "bad.pth")
    with pytest.raises(RuntimeError, match="^Failed to load any checkpoint components$"):
        trainer.load_checkpoint("bad.pth")
    warnings = capsys.readouterr().out.splitlines()
    assert [w.split(" state")[0] for w in warnings] == [f"Warning: Failed to load {c}" for c in
                                                         ["model", "optimizer", "scheduler", "scaler", "training"]]
    assert warnings[-1] == "Warning: Failed to load training state: 'best_metric'"
    assert (trainer.current_epoch, trainer.best_metric) == (3, float("inf"))


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
