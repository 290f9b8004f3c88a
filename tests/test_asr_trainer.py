"""Speech-recognition trainers on a tiny real pipeline: a generated corpus on disk, ASRDataset,
DataLoader, a small EncoderDecoderTransformer and the optimisation factories, on the CPU."""
import contextlib
import json
import math
import os

import numpy as np
import pytest
import torch
import yaml

from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.trainers import halvorn
from quillane.trainers.halvorn import ASRTrainer, ProgressiveTrainer
from quillane.utils import create_scheduler, ostravel

NUM_FEATS = 8
WORDS = ["ab", "ba", "abc", "cab", "ca"]


def write_partition(root, partition, count, seed, with_text=True):
    """Each character is a fixed feature pattern held for four frames, plus noise."""
    rng = np.random.default_rng(seed)
    patterns = np.random.default_rng(0).normal(size=(27, NUM_FEATS)).astype(np.float32)
    os.makedirs(root / partition / "fbank")
    if with_text:
        os.makedirs(root / partition / "text")
    for i in range(count):
        text = " ".join(rng.choice(WORDS, 2))
        frames = [np.repeat(patterns[" abc".index(c)][:, None], 4, 1) for c in text]
        feats = np.concatenate(frames, 1) + 0.1 * rng.normal(size=(NUM_FEATS, 4 * len(text)))
        np.save(root / partition / "fbank" / f"{i:03d}.npy", feats.astype(np.float32))
        if with_text:
            np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))


@pytest.fixture
def pipeline(tmp_path, monkeypatch):
    """Builds corpus, loaders and a trainer factory; the experiment lands under tmp_path."""
    monkeypatch.chdir(tmp_path)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)  # a tiny model: extra threads only contend
    root = tmp_path / "corpus"
    write_partition(root, "train-clean-100", 12, 1)
    write_partition(root, "dev-clean", 6, 2)
    write_partition(root, "test-clean", 3, 3, with_text=False)
    tokenizer = VantTokenizer()
    data = {"root": str(root), "norm": "none", "num_feats": NUM_FEATS, "batch_size": 4, "NUM_WORKERS": 0,
            "specaug": False, "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}
    sets = {p: ASRDataset(p, data, tokenizer, p.startswith("train")) for p in
            ("train-clean-100", "dev-clean", "test-clean")}

    def loader(partition, batch_size=4, count=None, shuffle=False):
        ds = sets[partition]
        if count is not None:
            ds = torch.utils.data.Subset(ds, range(count))
            for name in ("text_max_len", "feat_max_len", "get_avg_chars_per_token"):
                setattr(ds, name, getattr(sets[partition], name))
        return torch.utils.data.DataLoader(ds, batch_size=batch_size, shuffle=shuffle,
                                           collate_fn=sets[partition].collate_fn)

    def trainer(cls=ASRTrainer, ctc_weight=0.3, accumulation=1, scheduler="cosine", run="run", layers=2, lr=3e-3,
                front="conv"):
        loss = {"label_smoothing": 0.0} if ctc_weight is None else {"label_smoothing": 0.0, "ctc_weight": ctc_weight}
        config = {"data": data, "loss": loss,
                  "training": {"gradient_accumulation_steps": accumulation, "use_wandb": False}}
        (tmp_path / "config.yaml").write_text(yaml.safe_dump(config))
        torch.manual_seed(0)
        model = make_model(int(tokenizer.vocab_size), layers, front)
        t = cls(model, tokenizer, config, run, str(tmp_path / "config.yaml"), device="cpu")
        t.optimizer = ostravel(t.model, {"name": "adamw", "lr": lr, "weight_decay": 0.0,
                                         "adamw": {"betas": [0.9, 0.999], "eps": 1e-8, "amsgrad": False}})
        t.scheduler = create_scheduler(t.optimizer, {
            "name": scheduler, "cosine": {"T_max": 50, "eta_min": 1e-4, "last_epoch": -1},
            "reduce_lr": {"mode": "min", "factor": 0.5, "patience": 0, "threshold": 1e-4, "threshold_mode": "rel",
                          "cooldown": 0, "min_lr": 1e-5, "eps": 1e-8}}, loader("train-clean-100"))
        return t

    yield tokenizer, loader, trainer
    torch.set_num_threads(threads)


def make_model(vocab, layers, front="conv"):
    return EncoderDecoderTransformer(NUM_FEATS, vocab, d_model=32, num_heads=2, d_ff=64, num_encoder_layers=layers,
                                     num_decoder_layers=layers, dropout=0.0, max_len=512, time_reduction=2,
                                     reduction_method=front)


def no_plots(trainer):
    trainer._save_attention_plot = lambda *args, **kwargs: None
    return trainer


class Counter:
    """Wraps a bound method and counts (and keeps the arguments of) its calls."""

    def __init__(self, fn):
        self.fn, self.calls = fn, []

    def __call__(self, *args, **kwargs):
        self.calls.append(args)
        return self.fn(*args, **kwargs)


class RecordingBar:
    instances = []

    def __init__(self, **kwargs):
        self.kwargs, self.postfixes, self.updates, self.closed = kwargs, [], 0, False
        RecordingBar.instances.append(self)

    def set_postfix(self, **kwargs):
        self.postfixes.append(kwargs)

    def update(self, n):
        self.updates += n

    def close(self):
        self.closed = True


@pytest.fixture
def bars(monkeypatch):
    RecordingBar.instances = []
    monkeypatch.setattr(halvorn, "tqdm", RecordingBar)
    return RecordingBar.instances


# ---------------------------------------------------------------------------------------------
# Training epoch
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("batches, optimizer_steps", [(10, 3), (8, 2)])
def test_accumulation_steps_optimizer_and_scheduler_once_per_group_plus_trailing_group(
        pipeline, bars, batches, optimizer_steps):
    _, loader, make = pipeline
    t = make(accumulation=4)
    t.scaler.step = Counter(t.scaler.step)
    t.scheduler.step = Counter(t.scheduler.step)
    t._train_epoch(loader("train-clean-100", batch_size=1, count=batches))
    assert len(t.scaler.step.calls) == optimizer_steps
    assert len(t.scheduler.step.calls) == optimizer_steps
    acc = [p["acc_step"] for p in bars[0].postfixes]
    assert acc == [f"{i % 4 + 1}/4" for i in range(batches)]
    assert list(bars[0].postfixes[0]) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity", "acc_step"]
    assert bars[0].kwargs["desc"] == "[Training ASR]" and bars[0].updates == batches and bars[0].closed


@pytest.mark.parametrize("ctc_weight", [0.0, None, 0.5])
def test_epoch_metrics_are_token_weighted_and_ctc_is_zero_when_disabled(pipeline, ctc_weight):
    _, loader, make = pipeline
    t = make(ctc_weight=ctc_weight)
    metrics, attention = t._train_epoch(loader("train-clean-100", count=8))
    assert list(metrics) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity_token", "perplexity_char"]
    assert all(type(v) is float for v in metrics.values())
    if ctc_weight:
        assert metrics["ctc_loss"] > 0
        assert metrics["joint_loss"] == pytest.approx(metrics["ce_loss"] + ctc_weight * metrics["ctc_loss"], rel=1e-4)
    else:
        assert t.ctc_criterion is None
        assert metrics["ctc_loss"] == 0.0 and metrics["joint_loss"] == pytest.approx(metrics["ce_loss"])
    assert metrics["perplexity_token"] == pytest.approx(math.exp(metrics["ce_loss"]), rel=1e-5)
    assert any("dec_cross" in k for k in attention)


def test_empty_training_loader_fails_instead_of_reporting_losses(pipeline):
    _, loader, make = pipeline
    with pytest.raises(ZeroDivisionError):
        make()._train_epoch(loader("train-clean-100", count=0))


def test_cpu_autocast_falls_back_to_bfloat16_only_when_float16_cannot_run(pipeline):
    _, loader, make = pipeline
    # The recurrent front-end on single-utterance batches: some CPU builds have no
    # half-precision kernel for that LSTM call.
    t = make(front="lstm")
    expect_fallback = not cpu_half_lstm_works()
    with pytest.warns(RuntimeWarning, match="bfloat16") if expect_fallback else contextlib.nullcontext():
        t.train(loader("train-clean-100", batch_size=1, count=2), loader("dev-clean", count=2), 1)
    assert math.isfinite(t.training_history[0]["train"]["ce_loss"])
    assert (getattr(t, "_cpu_autocast_dtype", None) is torch.bfloat16) == expect_fallback
    assert (t.attn_dir / "decoder_cross_attention_epoch0.png").is_file()


class Broken(torch.nn.Module):
    def forward(self, *args):
        raise RuntimeError("shape mismatch in the model")


def test_model_faults_on_cpu_propagate_and_keep_float16(pipeline):
    _, loader, make = pipeline
    t = make()
    t.model = Broken()
    with pytest.raises(RuntimeError, match="shape mismatch"):
        t._train_epoch(loader("train-clean-100", count=4))
    assert getattr(t, "_cpu_autocast_dtype", None) is None


def cpu_half_lstm_works():
    try:
        with torch.autocast("cpu", dtype=torch.float16):
            torch.nn.LSTM(2, 2, batch_first=True)(torch.randn(1, 3, 2))
        return True
    except RuntimeError:
        return False


# ---------------------------------------------------------------------------------------------
# Training loop
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("missing, message", [("scheduler", "Scheduler is not initialized"),
                                              ("optimizer", "Optimizer is not initialized")])
def test_train_requires_optimizer_and_scheduler(pipeline, missing, message):
    _, loader, make = pipeline
    t = make()
    setattr(t, missing, None)
    with pytest.raises(ValueError, match=message):
        t.train(loader("train-clean-100"), loader("dev-clean"), 1)


def test_each_epoch_writes_plots_records_and_both_checkpoints(pipeline):
    _, loader, make = pipeline
    t = make()
    t.train(loader("train-clean-100", count=4), loader("dev-clean"), 2)
    assert t.current_epoch == 2
    assert t.text_max_len == max(loader("train-clean-100").dataset.text_max_len, loader("dev-clean").dataset.text_max_len)
    for epoch in (0, 1):
        assert (t.attn_dir / f"decoder_self_attention_epoch{epoch}.png").is_file()
        assert (t.attn_dir / f"decoder_cross_attention_epoch{epoch}.png").is_file()
        records = json.loads((t.text_dir / f"text_val_epoch_{epoch}.json").read_text())
        assert len(records) == 6 and set(records[0]) == {"target", "generated", "score"}
    assert t.last_model_path.is_file() and t.best_model_path.is_file()
    assert [h["epoch"] for h in t.training_history] == [0, 1]
    assert list(t.training_history[0]["val"]) == ["word_dist", "wer", "cer"]


def test_plateau_scheduler_steps_once_per_epoch_with_validation_cer(pipeline):
    _, loader, make = pipeline
    t = no_plots(make(scheduler="reduce_lr"))
    t.scheduler.step = Counter(t.scheduler.step)
    t.train(loader("train-clean-100", count=4), loader("dev-clean"), 2)
    assert t.scheduler.step.calls == [(h["val"]["cer"],) for h in t.training_history]


@pytest.mark.parametrize("cer_after_resume, best_replaced", [(30.0, False), (5.0, True)])
def test_resumed_run_replaces_best_checkpoint_only_with_a_better_model(pipeline, cer_after_resume, best_replaced):
    _, loader, make = pipeline
    cers = iter([40.0, 20.0])
    first = no_plots(make())
    first._validate_epoch = lambda dl: ({"word_dist": 1.0, "wer": 50.0, "cer": next(cers)}, [])
    first.train(loader("train-clean-100", count=4), loader("dev-clean"), 2)
    assert torch.load(first.last_model_path, weights_only=True)["best_metric"] == 20.0

    resumed = no_plots(make())
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert resumed.best_metric == 20.0
    resumed._validate_epoch = lambda dl: ({"word_dist": 1.0, "wer": 50.0, "cer": cer_after_resume}, [])
    resumed.train(loader("train-clean-100", count=4), loader("dev-clean"), 1)
    best = torch.load(resumed.best_model_path, weights_only=True)
    assert best["best_metric"] == (cer_after_resume if best_replaced else 20.0)
    assert resumed.best_metric == min(20.0, cer_after_resume)


def test_training_clearly_reduces_the_loss(pipeline):
    _, loader, make = pipeline
    t = no_plots(make(lr=5e-3))
    t.train(loader("train-clean-100", shuffle=True), loader("dev-clean"), 6)
    losses = [h["train"]["ce_loss"] for h in t.training_history]
    assert losses[-1] < 0.5 * losses[0], losses


# ---------------------------------------------------------------------------------------------
# Recognition, metrics, evaluation
# ---------------------------------------------------------------------------------------------

class FakeGenerator:
    """Decodes without the model: beam b of every row is the token of 'a' + b."""

    made = []

    def __init__(self, score_fn, tokenizer, max_length, device):
        self.score_fn, self.tokenizer, self.max_length, self.calls = score_fn, tokenizer, max_length, []
        FakeGenerator.made.append(self)

    def _rows(self, prompts, token):
        a = self.tokenizer.encode("a")[0]
        return torch.cat([prompts, torch.full_like(prompts, a + token)], 1)

    def generate_greedy(self, prompts, **kwargs):
        self.calls.append(("greedy", kwargs))
        self.last_scores = self.score_fn(prompts)
        return self._rows(prompts, 0), torch.full((prompts.size(0),), -1.0)

    def generate_beam(self, prompts, **kwargs):
        self.calls.append(("beam", kwargs))
        if kwargs["beam_width"] == FakeGenerator.fail_width:
            raise RuntimeError("beam search exploded")
        seqs = torch.stack([self._rows(prompts, b) for b in range(kwargs["beam_width"])], 1)
        return seqs, -torch.arange(kwargs["beam_width"], dtype=torch.float).repeat(prompts.size(0), 1)

    def post_process_sequence(self, seqs, tokenizer):
        return list(seqs)


@pytest.fixture
def fake_generator(monkeypatch):
    FakeGenerator.made, FakeGenerator.fail_width = [], None
    monkeypatch.setattr(halvorn, "SequenceGenerator", FakeGenerator)
    return FakeGenerator


def test_recognize_needs_a_length_before_training(pipeline):
    _, loader, make = pipeline
    with pytest.raises(ValueError, match="text_max_len is not set"):
        make().recognize(loader("dev-clean"))


@pytest.mark.parametrize("num_batches, batches_decoded", [(0, 1), (1, 1), (None, 6), (5, 5)])
def test_recognize_stops_after_num_batches(pipeline, fake_generator, bars, num_batches, batches_decoded):
    _, loader, make = pipeline
    config = {"num_batches": num_batches, "beam_width": 1}
    records = make().recognize(loader("dev-clean", batch_size=1), config, "mine", max_length=7)
    assert len(records) == batches_decoded and bars[0].kwargs["desc"] == "[Recognizing ASR] : mine"
    assert fake_generator.made[0].max_length == 7


def test_recognize_defaults_to_five_greedy_batches_named_greedy(pipeline, fake_generator, bars):
    _, loader, make = pipeline
    records = make().recognize(loader("dev-clean", batch_size=1), None, "ignored", max_length=7)
    assert len(records) == 5 and bars[0].kwargs["desc"] == "[Recognizing ASR] : greedy"
    assert fake_generator.made[0].calls[0] == ("greedy", {"temperature": 1.0})
    assert list(records[0]) == ["target", "generated", "score"]
    assert (records[0]["generated"], records[0]["score"]) == ("a", -1.0)


def test_beam_search_reports_beam_zero_and_passes_its_settings(pipeline, fake_generator):
    _, loader, make = pipeline
    config = {"num_batches": None, "beam_width": 3, "temperature": 0.5, "repeat_penalty": 1.2}
    records = make().recognize(loader("dev-clean"), config, max_length=7)
    assert [(r["generated"], r["score"]) for r in records] == [("a", 0.0)] * 6
    assert fake_generator.made[0].calls[0] == ("beam", {"beam_width": 3, "temperature": 0.5, "repeat_penalty": 1.2})


def test_recognition_without_references_gives_records_without_target(pipeline, fake_generator):
    _, loader, make = pipeline
    records = make().recognize(loader("test-clean"), {"num_batches": None, "beam_width": 1}, max_length=7)
    assert [set(r) for r in records] == [{"generated", "score"}] * 3


def test_language_model_scores_are_added_with_their_weight(pipeline, fake_generator):
    _, loader, make = pipeline
    t = make()

    class LM(torch.nn.Module):
        def score(self, x):
            return torch.ones(x.size(0), int(t.tokenizer.vocab_size))

    lm = LM().train()
    config = {"num_batches": 1, "beam_width": 1, "lm_model": lm, "lm_weight": 2.0}
    t.recognize(loader("dev-clean"), config, max_length=7)
    fused = fake_generator.made[0].last_scores
    config["lm_model"] = None
    t.recognize(loader("dev-clean"), config, max_length=7)
    assert torch.allclose(fused - fake_generator.made[1].last_scores, torch.full_like(fused, 2.0))
    assert not lm.training


@pytest.mark.parametrize("refs, hyps, expected", [
    (["a b"], ["a b"], {"word_dist": 0.0, "wer": 0.0, "cer": 0.0}),
    (["a b"], ["a c"], {"word_dist": 1.0, "wer": 50.0, "cer": 100 / 3}),
    ("abcd", "abxd", {"word_dist": 1.0, "wer": 100.0, "cer": 25.0}),
])
def test_error_rates_in_percent(pipeline, refs, hyps, expected):
    _, _, make = pipeline
    metrics = make()._calculate_asr_metrics(refs, hyps)
    assert list(metrics) == ["word_dist", "wer", "cer"]
    assert metrics == pytest.approx(expected)


def test_evaluation_configs_are_independent_and_carry_the_language_model(pipeline):
    _, _, make = pipeline
    lm = object()
    configs = make()._get_evaluation_recognition_configs(lm, 0.3)
    assert list(configs) == ["greedy", "beam_10", "beam_20"]
    assert [c["beam_width"] for c in configs.values()] == [1, 10, 20]
    assert all(c["lm_model"] is lm and c["lm_weight"] == 0.3 and c["num_batches"] is None for c in configs.values())
    configs["greedy"]["temperature"] = 9.0
    assert configs["beam_10"]["temperature"] == 1.0


def test_evaluate_tables_and_a_failing_configuration_is_skipped(pipeline, fake_generator, capsys):
    _, loader, make = pipeline
    fake_generator.fail_width = 10
    t = make()
    tables = t.evaluate(loader("test-clean", batch_size=2), max_length=7)
    assert list(tables) == ["greedy", "beam_20"]
    assert list(tables["greedy"]["id"]) == [0, 1, 2] and list(tables["greedy"]["transcription"]) == ["a"] * 3
    assert "Error evaluating with beam_10 config: beam search exploded" in capsys.readouterr().out
    assert (t.text_dir / "text_test_beam_20_results.json").is_file()
    assert not (t.text_dir / "text_test_beam_10_results.json").exists()


# ---------------------------------------------------------------------------------------------
# Progressive trainer
# ---------------------------------------------------------------------------------------------

STAGE = {"name": "Two of three", "epochs": 1, "encoder_active_layers": [0, 2], "decoder_active_layers": [1],
         "encoder_freeze": [True, False], "dropout": 0.05, "label_smoothing": 0.1, "data_subset": 0.5}


def test_stage_selects_and_freezes_layers_and_reports_them(pipeline, capsys):
    _, _, make = pipeline
    t = make(ProgressiveTrainer, layers=3)
    enc, dec = t.all_orlesque, t.all_tremmoth
    capsys.readouterr()
    t.configure_stage(STAGE)
    m = t.model
    assert list(m.enc_layers) == [enc[0], enc[2]] and list(m.dec_layers) == [dec[1]]
    assert (m.num_orlesque, m.num_tremmoth, m.dropout.p, t.ce_criterion.label_smoothing) == (2, 1, 0.05, 0.1)
    frozen = sum(p.numel() for p in enc[0].parameters())
    trainable = sum(p.numel() for p in enc[2].parameters()) + sum(p.numel() for p in dec[1].parameters())
    assert not any(p.requires_grad for p in enc[0].parameters())
    assert all(p.requires_grad for p in enc[2].parameters())
    assert capsys.readouterr().out.splitlines() == [
        "", "=" * 80, "Starting Stage: Two of three".center(80), "=" * 80, "", "Configuration Details:",
        "├── Data Subset: 50.0% of training data", "├── Training Epochs: 1", "├── Dropout: 0.05",
        "├── Label Smoothing: 0.1", "├── Encoder Layers:", "│   ├── Layer 0: Frozen", "│   ├── Layer 2: Trainable",
        "├── Decoder Layers:", "│   ├── Layer 1: Trainable", f"├── Frozen Parameters: {frozen:,}",
        f"└── Trainable Parameters: {trainable:,}"]


def test_freeze_list_must_match_the_active_layers(pipeline):
    _, _, make = pipeline
    t = make(ProgressiveTrainer, layers=3)
    with pytest.raises(ValueError, match=r"Encoder freeze list length \(2\) must match number of active "
                                         r"encoder layers \(3\)"):
        t.configure_stage({**STAGE, "encoder_active_layers": [0, 1, 2]})


@pytest.mark.parametrize("fraction, size", [(0.5, 6), (0.2, 2), (1.0, 12)])
def test_subset_loader_draws_the_fraction_and_keeps_dataset_facts(pipeline, fraction, size):
    _, loader, make = pipeline
    full = loader("train-clean-100")
    subset = make(ProgressiveTrainer).get_subset_dataloader(full, fraction)
    assert len(subset.dataset) == size and len(set(subset.dataset.indices)) == size
    assert subset.dataset.text_max_len == full.dataset.text_max_len
    assert subset.dataset.get_avg_chars_per_token() == full.dataset.get_avg_chars_per_token()
    assert len(next(iter(subset))) == 5


def test_subset_fraction_outside_unit_interval_is_rejected(pipeline):
    _, loader, make = pipeline
    with pytest.raises(ValueError, match="subset_fraction"):
        make(ProgressiveTrainer).get_subset_dataloader(loader("train-clean-100"), -0.5)


def test_curriculum_then_full_training_restores_and_unfreezes_everything(pipeline, capsys):
    _, loader, make = pipeline
    t = no_plots(make(ProgressiveTrainer, layers=3))
    t.progressive_train(loader("train-clean-100"), loader("dev-clean"), [STAGE, {**STAGE, "encoder_freeze": []}])
    assert t.current_stage == 1 and t.current_epoch == 2 and len(t.model.enc_layers) == 2
    assert all(p.requires_grad for p in t.model.enc_layers.parameters())
    t.all_orlesque[1].requires_grad_(False)
    t.transition_to_full_training()
    assert list(t.model.enc_layers) == t.all_orlesque and list(t.model.dec_layers) == t.all_tremmoth
    assert (t.model.num_orlesque, t.model.num_tremmoth, t.best_metric) == (3, 3, math.inf)
    assert all(p.requires_grad for p in t.model.parameters())
    total = sum(p.numel() for p in t.model.parameters())
    assert f"├── Total Unfrozen Parameters: {total:,}" in capsys.readouterr().out.splitlines()
