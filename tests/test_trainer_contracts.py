"""What every trainer does the same way, checked on the speech recogniser's trainer and the
language model's alike: the accumulation setting, the gradients that reach the optimizer, plateau
stepping, the order of checkpoints, resuming, and the training precision."""
import contextlib
import copy

import pytest
import torch
from torch.utils.data import DataLoader

from quillane.data.text_dataset import TextDataset
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quillane.trainers import tressik
from quillane.trainers.halvorn import ASRTrainer
from quillane.trainers.selkarn import LMTrainer

from character_utterances import TOKENIZER, Utterances

TEXTS = ["abcd", "bcda", "cdab", "dabc"]  # of equal length, so no batch holds padding
LAST, BEST = "checkpoint-last-epoch-model.pth", "checkpoint-best-metric-model.pth"
LR = 0.1


class Speech:
    cls, metric = ASRTrainer, "cer"

    @staticmethod
    def model():
        return EncoderDecoderTransformer(8, TOKENIZER.vocab_size, d_model=16, num_heads=2, d_ff=32,
                                         num_encoder_layers=1, num_decoder_layers=1, dropout=0.0, max_len=64,
                                         time_reduction=2, reduction_method="conv")

    @staticmethod
    def config(training):
        return {"data": {"batch_size": 2, "num_feats": 8}, "loss": {"label_smoothing": 0.0, "ctc_weight": 0.5},
                "training": training}

    @staticmethod
    def loader(batch_size, count=4):
        data = Utterances(TEXTS[:count])
        return DataLoader(data, batch_size=batch_size, collate_fn=data.collate_fn)

    @staticmethod
    def loss(model, batch):
        feats, shifted, golden, feat_lengths, lengths = batch
        logits, _, ctc = model(feats, shifted, feat_lengths, lengths)
        ce = torch.nn.CrossEntropyLoss(ignore_index=TOKENIZER.pad_id)(logits.view(-1, logits.size(-1)), golden.view(-1))
        ctc_loss = torch.nn.CTCLoss(blank=TOKENIZER.pad_id, zero_infinity=True)(ctc["log_probs"], golden,
                                                                                ctc["lengths"], lengths)
        return ce, ce + 0.5 * ctc_loss


class Text:
    cls, metric = LMTrainer, "ce_loss_char"

    @staticmethod
    def model():
        return DecoderOnlyTransformer(TOKENIZER.vocab_size, d_model=16, num_heads=2, d_ff=32, num_layers=1,
                                      dropout=0.0, max_len=16)

    @staticmethod
    def config(training):
        return {"data": {"batch_size": 2}, "training": training}

    @staticmethod
    def loader(batch_size, count=4):
        data = TextDataset("train", TEXTS[:count], TOKENIZER)
        return DataLoader(data, batch_size=batch_size, collate_fn=data.collate_fn)

    @staticmethod
    def loss(model, batch):
        shifted, golden, lengths = batch
        logits, _ = model(shifted, target_lengths=lengths)
        ce = torch.nn.CrossEntropyLoss(ignore_index=TOKENIZER.pad_id)(logits.view(-1, logits.size(-1)), golden.view(-1))
        return ce, ce


@pytest.fixture(params=[Speech, Text], ids=["asr", "lm"])
def kind(request):
    return request.param


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.yaml").write_text("training: {}\n")
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield tmp_path
    torch.set_num_threads(threads)


def make(kind, run="run", **training):
    training.setdefault("gradient_accumulation_steps", 1)
    torch.manual_seed(0)
    trainer = kind.cls(kind.model(), TOKENIZER, kind.config(training), run, "config.yaml", device="cpu")
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=LR)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda step: 1.0)
    return trainer


def scripted(trainer, kind, values):
    """Validation reports the given metric values in turn; plots and generation are skipped."""
    values = iter(values)
    outputs = {Speech: [], Text: {"layer": torch.eye(2)[None]}}
    trainer._validate_epoch = lambda loader: ({kind.metric: next(values)}, outputs[kind])
    trainer._save_attention_plot = lambda *args: None
    trainer.generate = lambda loader: []
    return trainer


def weights(trainer):
    return [p.detach().clone() for p in trainer.model.parameters()]


# --- the accumulation setting ------------------------------------------------------------

BAD_COUNTS = [0, -1, 1.5, True, "2", None]


@pytest.mark.parametrize("count", BAD_COUNTS)
def test_a_count_that_is_not_a_positive_int_is_refused_before_anything_is_written(kind, workdir, count):
    with pytest.raises(ValueError) as err:
        make(kind, gradient_accumulation_steps=count)
    assert str(err.value) == f"training.gradient_accumulation_steps must be a positive integer, got {count!r}"
    assert not (workdir / "expts").exists()


@pytest.mark.parametrize("count", BAD_COUNTS)
def test_a_count_spoiled_after_construction_stops_the_epoch_before_any_step(kind, count):
    trainer = make(kind)
    before = weights(trainer)
    trainer.config["training"]["gradient_accumulation_steps"] = count
    with pytest.raises(ValueError, match="^training.gradient_accumulation_steps must be a positive integer"):
        trainer._train_epoch(kind.loader(1))
    assert all(torch.equal(a, b) for a, b in zip(before, weights(trainer)))


def test_a_missing_count_is_a_key_error_at_the_first_batch(kind):
    trainer = make(kind)
    del trainer.config["training"]["gradient_accumulation_steps"]
    with pytest.raises(KeyError, match="gradient_accumulation_steps"):
        trainer._train_epoch(kind.loader(1))


@pytest.mark.parametrize("count", [5, 2**63 - 1, 2**80])
def test_more_batches_per_step_than_an_epoch_has_is_said_once_and_makes_one_step(kind, count):
    trainer = make(kind, gradient_accumulation_steps=count)
    steps = []
    real_step = trainer.scaler.step
    trainer.scaler.step = lambda optimizer: steps.append(1) or real_step(optimizer)
    before = weights(trainer)
    with pytest.warns(UserWarning, match="more than the 4 batches of an epoch: each epoch makes one optimizer step") as seen:
        trainer._train_epoch(kind.loader(1))
    assert len(seen) == 1 and len(steps) == 1
    assert not all(torch.equal(a, b) for a, b in zip(before, weights(trainer)))


# --- what reaches the optimizer ----------------------------------------------------------

def test_the_optimizer_steps_on_the_gradient_of_the_batch_mean_loss(kind):
    trainer = make(kind, precision="float32")
    reference = copy.deepcopy(trainer.model)
    batch = next(iter(kind.loader(4)))
    ce, loss = kind.loss(reference, batch)
    loss.backward()
    metrics, _ = trainer._train_epoch(kind.loader(4))
    assert list(metrics.values())[0] == pytest.approx(ce.item(), rel=1e-5)
    for trained, ref in zip(trainer.model.parameters(), reference.parameters()):
        expected = ref.detach() if ref.grad is None else ref.detach() - LR * ref.grad
        assert torch.allclose(trained, expected, atol=1e-6)


def test_four_accumulated_batches_move_the_weights_as_one_batch_of_four(kind):
    whole = make(kind, run="whole", precision="float32", gradient_accumulation_steps=1)
    start = weights(whole)
    whole._train_epoch(kind.loader(4))
    split = make(kind, run="split", precision="float32", gradient_accumulation_steps=4)
    split._train_epoch(kind.loader(1))
    assert not all(torch.allclose(a, b) for a, b in zip(start, weights(whole)))
    for a, b in zip(weights(whole), weights(split)):
        assert torch.allclose(a, b, atol=1e-6)


# --- the epoch loop ----------------------------------------------------------------------

def test_a_plateau_scheduler_steps_once_per_epoch_with_the_validation_metric(kind, monkeypatch):
    trainer = scripted(make(kind), kind, [3.0, 2.0])
    trainer.scheduler = torch.optim.lr_scheduler.ReduceLROnPlateau(trainer.optimizer)
    steps = []
    monkeypatch.setattr(torch.optim.lr_scheduler.ReduceLROnPlateau, "step", lambda self, *args: steps.append(args))
    trainer.train(kind.loader(1), kind.loader(2), 2)  # four optimizer steps per epoch
    assert steps == [(3.0,), (2.0,)]


def test_the_best_metric_is_updated_before_the_last_epoch_checkpoint_is_written(kind):
    trainer = scripted(make(kind), kind, [3.0, 1.0, 2.0])
    saves, save = [], trainer.save_checkpoint
    trainer.save_checkpoint = lambda name: saves.append((name, trainer.current_epoch, trainer.best_metric)) or save(name)
    trainer.train(kind.loader(2), kind.loader(2), 3)
    assert saves == [(LAST, 0, 3.0), (BEST, 0, 3.0), (LAST, 1, 1.0), (BEST, 1, 1.0), (LAST, 2, 1.0)]
    stored = {name: torch.load(trainer.checkpoint_dir / name, weights_only=True) for name in (LAST, BEST)}
    assert [(c["epoch"], c["epochs_completed"], c["best_metric"]) for c in stored.values()] == [(2, 3, 1.0), (1, 2, 1.0)]


def test_a_resumed_run_continues_with_the_next_epoch(kind):
    first = scripted(make(kind), kind, [3.0, 2.0])
    first.train(kind.loader(2), kind.loader(2), 2)
    resumed = scripted(make(kind), kind, [1.0])
    resumed.load_checkpoint(LAST)
    assert (resumed.current_epoch, resumed.best_metric) == (2, 2.0)
    resumed.train(kind.loader(2), kind.loader(2), 1)
    assert [h["epoch"] for h in resumed.training_history] == [0, 1, 2] and resumed.current_epoch == 3
    assert [h["precision"] for h in resumed.training_history] == [first.precision] * 3
    assert sorted(p.name for p in resumed.text_dir.iterdir()) == [f"text_val_epoch_{e}.json" for e in range(3)]


# --- precision ---------------------------------------------------------------------------

def test_an_explicit_precision_the_device_cannot_run_stops_training_at_its_first_step(kind, monkeypatch):
    monkeypatch.setattr(tressik, "_probe_precision", lambda model, device, precision: "LSTM: no kernel")
    trainer = scripted(make(kind, precision="bfloat16"), kind, [1.0])
    assert trainer.precision == "bfloat16"
    with pytest.raises(ValueError) as err:
        trainer.train(kind.loader(2), kind.loader(2), 1)
    assert str(err.value) == ("training.precision 'bfloat16' cannot run on device 'cpu': LSTM: no kernel; "
                              "use 'auto' or 'float32' instead")
    assert trainer.training_history == [] and list(trainer.checkpoint_dir.iterdir()) == []


@pytest.mark.parametrize("precision, autocast", [("float32", None), ("bfloat16", torch.bfloat16),
                                                 ("float16", torch.float16)])
def test_training_autocasts_to_the_chosen_precision_and_validation_runs_at_full_precision(
        kind, monkeypatch, precision, autocast):
    monkeypatch.setattr(tressik, "_probe_precision", lambda model, device, precision: None)
    trainer = make(kind, precision=precision)
    used = []  # what the loop asks for; nothing runs in reduced precision, whatever this CPU offers
    monkeypatch.setattr(torch, "autocast", lambda **kw: used.append(kw["dtype"]) or contextlib.nullcontext())
    trainer._train_epoch(kind.loader(2))
    assert used == ([autocast] * 2 if autocast else [])
    assert trainer.scaler.is_enabled() == (precision == "float16")
    if kind is Text:
        used.clear()
        trainer._validate_epoch(kind.loader(2))
        assert used == []
