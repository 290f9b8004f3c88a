"""Speech-recognition trainers on a tiny real pipeline: a generated corpus on disk, ASRDataset,
DataLoader, a small EncoderDecoderTransformer and the optimisation factories, on the CPU."""
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
PARTS = {"train-clean-100": 12, "dev-clean": 6, "test-clean": 3}


def write_partition(root, partition, count):
    """Each character is a fixed feature pattern held for four frames, plus noise."""
    rng = np.random.default_rng(count)
    patterns = np.random.default_rng(0).normal(size=(4, NUM_FEATS))
    for sub in ("fbank", "text"):
        os.makedirs(root / partition / sub)
    for i in range(count):
        text = " ".join(rng.choice(["ab", "ba", "abc", "cab", "ca"], 2))
        feats = np.repeat(patterns[[" abc".index(c) for c in text]].T, 4, 1)
        np.save(root / partition / "fbank" / f"{i:03d}.npy", (feats + 0.1 * rng.normal(size=feats.shape)).astype("f4"))
        if partition != "test-clean":
            np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))


@pytest.fixture
def pipeline(tmp_path, monkeypatch):
    """(loader factory, trainer factory); the experiment directory lands under tmp_path."""
    monkeypatch.chdir(tmp_path)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)  # a tiny model: extra threads only contend
    tokenizer = VantTokenizer()
    data = {"root": str(tmp_path), "norm": "none", "num_feats": NUM_FEATS, "batch_size": 4, "NUM_WORKERS": 0,
            "specaug": False, "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}
    for partition, count in PARTS.items():
        write_partition(tmp_path, partition, count)
    sets = {p: ASRDataset(p, data, tokenizer, p.startswith("train")) for p in PARTS}

    def loader(partition, batch_size=4, count=None, shuffle=False):
        ds = full = sets[partition]
        if count is not None:
            ds = torch.utils.data.Subset(full, range(count))
            ds.text_max_len, ds.get_avg_chars_per_token = full.text_max_len, full.get_avg_chars_per_token
        return torch.utils.data.DataLoader(ds, batch_size=batch_size, shuffle=shuffle, collate_fn=full.collate_fn)

    def trainer(cls=ASRTrainer, ctc_weight=0.3, accumulation=1, scheduler="cosine", layers=2, front="conv", lr=3e-3):
        loss = {"label_smoothing": 0.0} if ctc_weight is None else {"label_smoothing": 0.0, "ctc_weight": ctc_weight}
        config = {"data": data, "loss": loss, "training": {"gradient_accumulation_steps": accumulation}}
        (tmp_path / "config.yaml").write_text(yaml.safe_dump(config))
        torch.manual_seed(0)
        model = EncoderDecoderTransformer(NUM_FEATS, tokenizer.vocab_size, d_model=32, num_heads=2, d_ff=64,
                                          num_encoder_layers=layers, num_decoder_layers=layers, dropout=0.0,
                                          max_len=512, time_reduction=2, reduction_method=front)
        t = cls(model, tokenizer, config, "run", str(tmp_path / "config.yaml"), device="cpu")
        t.optimizer = ostravel(t.model, {"name": "adamw", "lr": lr, "weight_decay": 0.0,
                                         "adamw": {"betas": [0.9, 0.999], "eps": 1e-8, "amsgrad": False}})
        t.scheduler = create_scheduler(t.optimizer, {
            "name": scheduler, "cosine": {"T_max": 50, "eta_min": 1e-4, "last_epoch": -1},
            "reduce_lr": {"mode": "min", "factor": 0.5, "patience": 0, "threshold": 1e-4, "threshold_mode": "rel",
                          "cooldown": 0, "min_lr": 1e-5, "eps": 1e-8}}, loader("train-clean-100"))
        return t

    yield loader, trainer
    torch.set_num_threads(threads)


def no_plots(trainer):
    trainer._save_attention_plot = lambda *args, **kwargs: None
    return trainer


def counted(fn):
    def wrapper(*args):
        wrapper.calls.append(args)
        return fn(*args)
    wrapper.calls = []
    return wrapper


class RecordingBar:
    def __init__(self, **kwargs):
        self.kwargs, self.postfixes, self.updates = kwargs, [], 0
        BARS.append(self)

    def set_postfix(self, **kwargs):
        self.postfixes.append(kwargs)

    def update(self, n):
        self.updates += n

    def close(self):
        pass


BARS = []


@pytest.fixture
def bars(monkeypatch):
    BARS.clear()
    monkeypatch.setattr(halvorn, "tqdm", RecordingBar)
    return BARS


# --- training epoch ------------------------------------------------------------------------

@pytest.mark.parametrize("batches, optimizer_steps", [(10, 3), (8, 2)])
def test_one_optimizer_and_scheduler_step_per_group_plus_the_trailing_group(pipeline, bars, batches, optimizer_steps):
    loader, make = pipeline
    t = make(accumulation=4)
    t.scaler.step, t.scheduler.step = counted(t.scaler.step), counted(t.scheduler.step)
    t._train_epoch(loader("train-clean-100", batch_size=1, count=batches))
    assert len(t.scaler.step.calls) == len(t.scheduler.step.calls) == optimizer_steps
    assert [p["acc_step"] for p in bars[0].postfixes] == [f"{i % 4 + 1}/4" for i in range(batches)]
    assert list(bars[0].postfixes[0]) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity", "acc_step"]
    assert bars[0].kwargs["desc"] == "[Training ASR]" and bars[0].updates == batches


@pytest.mark.parametrize("ctc_weight", [0.0, None, 0.5])
def test_epoch_metrics_and_ctc_reported_as_zero_when_disabled(pipeline, ctc_weight):
    loader, make = pipeline
    t = make(ctc_weight=ctc_weight)
    metrics, attention = t._train_epoch(loader("train-clean-100", count=8))
    assert list(metrics) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity_token", "perplexity_char"]
    assert all(type(v) is float for v in metrics.values())
    if ctc_weight:
        assert metrics["joint_loss"] == pytest.approx(metrics["ce_loss"] + ctc_weight * metrics["ctc_loss"], rel=1e-4)
    else:
        assert t.ctc_criterion is None and metrics["ctc_loss"] == 0.0
        assert metrics["joint_loss"] == pytest.approx(metrics["ce_loss"])
    assert metrics["perplexity_token"] == pytest.approx(math.exp(metrics["ce_loss"]), rel=1e-5)
    assert any("dec_cross" in k for k in attention)


def test_the_recurrent_front_end_trains_under_the_precision_auto_picks_and_plots_its_attention(pipeline, monkeypatch):
    loader, make = pipeline
    t = make(front="lstm")  # the layer some CPUs cannot run in reduced precision
    real, used = torch.autocast, []
    monkeypatch.setattr(torch, "autocast", lambda **kw: used.append((kw["device_type"], kw["dtype"])) or real(**kw))
    t.train(loader("train-clean-100", batch_size=1, count=2), loader("dev-clean", count=2), 1)
    assert t.training_history[0]["precision"] == t.precision
    assert used == ([] if t.precision == "float32" else [("cpu", getattr(torch, t.precision))] * 2)
    assert math.isfinite(t.training_history[0]["train"]["ce_loss"])
    assert (t.attn_dir / "decoder_cross_attention_epoch0.png").is_file()


def test_model_faults_propagate_from_the_training_step(pipeline):
    loader, make = pipeline
    t = make()
    t.model = torch.nn.Module()  # no forward: calling it raises NotImplementedError
    with pytest.raises(NotImplementedError):
        t._train_epoch(loader("train-clean-100", count=4))


# --- training loop -------------------------------------------------------------------------

@pytest.mark.parametrize("missing", ["scheduler", "optimizer"])
def test_train_requires_optimizer_and_scheduler(pipeline, missing):
    loader, make = pipeline
    t = make()
    setattr(t, missing, None)
    with pytest.raises(ValueError, match=f"{missing.capitalize()} is not initialized, initialize it first!"):
        t.train(loader("train-clean-100"), loader("dev-clean"), 1)


def test_each_epoch_writes_plots_records_and_both_checkpoints(pipeline):
    loader, make = pipeline
    t = make()
    t.train(loader("train-clean-100", count=4), loader("dev-clean"), 2)
    assert t.current_epoch == 2 and t.text_max_len == max(loader(p).dataset.text_max_len for p in PARTS)
    for epoch in (0, 1):
        assert (t.attn_dir / f"decoder_self_attention_epoch{epoch}.png").is_file()
        assert (t.attn_dir / f"decoder_cross_attention_epoch{epoch}.png").is_file()
        records = json.loads((t.text_dir / f"text_val_epoch_{epoch}.json").read_text())
        assert len(records) == 6 and list(records[0]) == ["target", "generated", "score"]
    assert t.last_model_path.is_file() and t.best_model_path.is_file()
    assert [list(h["val"]) for h in t.training_history] == [["word_dist", "wer", "cer"]] * 2


def test_plateau_scheduler_steps_once_per_epoch_with_validation_cer(pipeline, monkeypatch):
    loader, make = pipeline
    t = no_plots(make(scheduler="reduce_lr"))
    step = counted(type(t.scheduler).step)  # on the class: the scheduler's state is saved with it
    monkeypatch.setattr(type(t.scheduler), "step", step)
    t.train(loader("train-clean-100", count=4), loader("dev-clean"), 2)
    assert step.calls == [(t.scheduler, h["val"]["cer"]) for h in t.training_history]


@pytest.mark.parametrize("cer_after_resume, best_replaced", [(30.0, False), (5.0, True)])
def test_resumed_run_replaces_best_checkpoint_only_with_a_better_model(pipeline, cer_after_resume, best_replaced):
    loader, make = pipeline
    train, val = loader("train-clean-100", count=4), loader("dev-clean")
    cers = iter([40.0, 20.0, cer_after_resume])
    for epochs in (2, 1):  # a first run, then a resumed one
        t = no_plots(make())
        if epochs == 1:
            t.load_checkpoint("checkpoint-last-epoch-model.pth")
            assert (t.best_metric, t.current_epoch) == (20.0, 2)
        t._validate_epoch = lambda dl: ({"word_dist": 1.0, "wer": 50.0, "cer": next(cers)}, [])
        t.train(train, val, epochs)
    assert torch.load(t.best_model_path, weights_only=True)["best_metric"] == (5.0 if best_replaced else 20.0)
    assert torch.load(t.last_model_path, weights_only=True)["best_metric"] == t.best_metric == min(20.0, cer_after_resume)


def test_training_clearly_reduces_the_loss(pipeline):
    loader, make = pipeline
    t = no_plots(make(lr=5e-3))
    t.train(loader("train-clean-100", shuffle=True), loader("dev-clean", count=2), 6)
    losses = [h["train"]["ce_loss"] for h in t.training_history]
    assert losses[-1] < 0.5 * losses[0], losses


# --- recognition, metrics, evaluation ------------------------------------------------------

class FakeGenerator:
    """Decodes without the model: beam b of every row is [sos, token of 'a' + b], score -b."""

    def __init__(self, score_fn, tokenizer, max_length, device):
        self.score_fn, self.tokenizer, self.max_length, self.calls = score_fn, tokenizer, max_length, []
        GENERATORS.append(self)

    def _beam(self, prompts, b):
        return torch.cat([prompts, torch.full_like(prompts, self.tokenizer.encode("a")[0] + b)], 1)

    def generate_greedy(self, prompts, **kwargs):
        self.calls.append(kwargs)
        self.scores = self.score_fn(prompts)
        return self._beam(prompts, 0), torch.zeros(len(prompts))

    def generate_beam(self, prompts, beam_width, **kwargs):
        self.calls.append(dict(beam_width=beam_width, **kwargs))
        if beam_width == 10:
            raise RuntimeError("beam search exploded")
        seqs = torch.stack([self._beam(prompts, b) for b in range(beam_width)], 1)
        return seqs, -torch.arange(float(beam_width)).repeat(len(prompts), 1)

    def post_process_sequence(self, seqs, tokenizer):
        return list(seqs)


GENERATORS = []


@pytest.fixture
def generators(monkeypatch):
    GENERATORS.clear()
    monkeypatch.setattr(halvorn, "SequenceGenerator", FakeGenerator)
    return GENERATORS


def test_recognize_needs_a_length_before_training(pipeline):
    loader, make = pipeline
    with pytest.raises(ValueError, match="text_max_len is not set. Please run training loop first"):
        make().recognize(loader("dev-clean"))


@pytest.mark.parametrize("config, decoded, label", [
    (None, 5, "greedy"), ({"num_batches": 0, "beam_width": 1}, 1, "mine"),
    ({"num_batches": 1, "beam_width": 1}, 1, "mine"), ({"num_batches": None, "beam_width": 1}, 6, "mine")])
def test_recognize_decodes_num_batches_and_labels_the_bar(pipeline, generators, bars, config, decoded, label):
    loader, make = pipeline
    records = make().recognize(loader("dev-clean", batch_size=1), config, "mine", max_length=7)
    assert len(records) == decoded and bars[0].kwargs["desc"] == "[Recognizing ASR] : " + label
    assert generators[0].max_length == 7 and generators[0].calls[0] == {"temperature": 1.0}
    assert list(records[0]) == ["target", "generated", "score"] and records[0]["generated"] == "a"


def test_beam_search_reports_beam_zero_and_passes_its_settings(pipeline, generators):
    loader, make = pipeline
    config = {"num_batches": None, "beam_width": 3, "temperature": 0.5, "repeat_penalty": 1.2}
    records = make().recognize(loader("dev-clean"), config, max_length=7)
    assert [(r["generated"], r["score"]) for r in records] == [("a", 0.0)] * 6
    assert generators[0].calls == [{"beam_width": 3, "temperature": 0.5, "repeat_penalty": 1.2}] * 2


def test_language_model_scores_are_added_with_their_weight(pipeline, generators):
    loader, make = pipeline
    t = make()
    lm = torch.nn.Module().train()
    lm.score = lambda x: torch.ones(len(x), t.tokenizer.vocab_size)
    config = {"num_batches": 1, "beam_width": 1, "lm_model": lm, "lm_weight": 2.0}
    t.recognize(loader("dev-clean"), config, max_length=7)
    t.recognize(loader("dev-clean"), {**config, "lm_model": None}, max_length=7)
    assert torch.allclose(generators[0].scores - generators[1].scores, torch.tensor(2.0))
    assert not lm.training


@pytest.mark.parametrize("width", [0, -2, 2.0, True])
def test_a_beam_width_that_is_not_a_positive_integer_is_refused_before_decoding(pipeline, bars, width):
    loader, make = pipeline
    with pytest.raises(ValueError, match="beam_width"):
        make().recognize(loader("dev-clean"), {"num_batches": 1, "beam_width": width}, max_length=7)
    assert bars == []


def test_ctc_weight_zero_recognises_as_before_and_joint_decoding_runs(pipeline):
    loader, make = pipeline
    t = make()
    config = {"num_batches": 1, "beam_width": 3}
    plain = t.recognize(loader("dev-clean"), config, max_length=12)
    assert t.recognize(loader("dev-clean"), {**config, "ctc_weight": 0.0}, max_length=12) == plain
    joint = t.recognize(loader("dev-clean"), {**config, "ctc_weight": 0.5}, max_length=12)
    assert [r["target"] for r in joint] == [r["target"] for r in plain]
    assert all(math.isfinite(r["score"]) for r in joint)
    assert [r["score"] for r in joint] != [r["score"] for r in plain]


@pytest.mark.parametrize("refs, hyps, expected", [
    (["a b"], ["a b"], {"word_dist": 0.0, "wer": 0.0, "cer": 0.0}),
    (["a b"], ["a c"], {"word_dist": 1.0, "wer": 50.0, "cer": 100 / 3}),
    ("abcd", "abxd", {"word_dist": 1.0, "wer": 100.0, "cer": 25.0})])
def test_error_rates_in_percent(pipeline, refs, hyps, expected):
    metrics = pipeline[1]()._calculate_asr_metrics(refs, hyps)
    assert list(metrics) == ["word_dist", "wer", "cer"] and metrics == pytest.approx(expected)


def test_evaluation_configs_are_independent_and_carry_the_language_model(pipeline):
    lm = object()
    configs = pipeline[1]()._get_evaluation_recognition_configs(lm, 0.3)
    assert {k: c["beam_width"] for k, c in configs.items()} == {"greedy": 1, "beam_10": 10, "beam_20": 20,
                                                                 "beam_10_ctc_0.3": 10}
    assert {k: c.get("ctc_weight") for k, c in configs.items()} == {"greedy": None, "beam_10": None, "beam_20": None,
                                                                     "beam_10_ctc_0.3": 0.3}
    assert all((c["lm_model"], c["lm_weight"], c["num_batches"]) == (lm, 0.3, None) for c in configs.values())
    configs["greedy"]["temperature"] = 9.0
    assert configs["beam_10"]["temperature"] == 1.0


def test_evaluate_tables_and_a_failing_configuration_is_skipped(pipeline, generators, capsys):
    loader, make = pipeline
    t = make()
    tables = t.evaluate(loader("test-clean", batch_size=2), max_length=7)
    assert list(tables) == ["greedy", "beam_20"]
    assert tables["beam_20"].to_dict("list") == {"id": [0, 1, 2], "transcription": ["a"] * 3}
    assert "Error evaluating with beam_10 config: beam search exploded" in capsys.readouterr().out
    records = json.loads((t.text_dir / "text_test_greedy_results.json").read_text())
    assert records == [{"generated": "a", "score": 0.0}] * 3  # no references on test-clean
    assert not (t.text_dir / "text_test_beam_10_results.json").exists()


# --- progressive trainer -------------------------------------------------------------------

STAGE = {"name": "Two of three", "epochs": 1, "encoder_active_layers": [0, 2], "decoder_active_layers": [1],
         "encoder_freeze": [True, False], "dropout": 0.05, "label_smoothing": 0.1, "data_subset": 0.5}


def test_stage_selects_and_freezes_layers_and_reports_them(pipeline, capsys):
    t = pipeline[1](ProgressiveTrainer, layers=3)
    enc, dec = t.all_orlesque, t.all_tremmoth
    capsys.readouterr()
    t.configure_stage(STAGE)
    m = t.model
    assert list(m.enc_layers) == [enc[0], enc[2]] and list(m.dec_layers) == [dec[1]]
    assert (m.num_orlesque, m.num_tremmoth, m.dropout.p, t.ce_criterion.label_smoothing) == (2, 1, 0.05, 0.1)
    assert [p.requires_grad for p in enc[0].parameters()] == [False] * len(list(enc[0].parameters()))
    frozen = sum(p.numel() for p in enc[0].parameters())
    trainable = sum(p.numel() for layer in (enc[2], dec[1]) for p in layer.parameters())
    assert capsys.readouterr().out.splitlines() == [
        "", "=" * 80, "Starting Stage: Two of three".center(80), "=" * 80, "", "Configuration Details:",
        "├── Data Subset: 50.0% of training data", "├── Training Epochs: 1", "├── Dropout: 0.05",
        "├── Label Smoothing: 0.1", "├── Encoder Layers:", "│   ├── Layer 0: Frozen", "│   ├── Layer 2: Trainable",
        "├── Decoder Layers:", "│   ├── Layer 1: Trainable", f"├── Frozen Parameters: {frozen:,}",
        f"└── Trainable Parameters: {trainable:,}"]


def test_freeze_list_must_match_the_active_layers(pipeline):
    t = pipeline[1](ProgressiveTrainer, layers=3)
    with pytest.raises(ValueError, match=r"^Encoder freeze list length \(2\) must match number of active "
                                         r"encoder layers \(3\)$"):
        t.configure_stage({**STAGE, "encoder_active_layers": [0, 1, 2]})


@pytest.mark.parametrize("fraction, size", [(0.5, 6), (0.2, 2), (1.0, 12), (-0.5, None), (1.5, None)])
def test_subset_loader_draws_the_fraction_and_keeps_dataset_facts(pipeline, fraction, size):
    loader, make = pipeline
    full = loader("train-clean-100")
    if size is None:
        with pytest.raises(ValueError, match="subset_fraction"):
            make(ProgressiveTrainer).get_subset_dataloader(full, fraction)
        return
    subset = make(ProgressiveTrainer).get_subset_dataloader(full, fraction).dataset
    assert len(subset) == len(set(subset.indices)) == size
    assert (subset.text_max_len, subset.get_avg_chars_per_token()) == (full.dataset.text_max_len,
                                                                        full.dataset.get_avg_chars_per_token())


def test_curriculum_then_full_training_restores_and_unfreezes_everything(pipeline, capsys):
    loader, make = pipeline
    t = no_plots(make(ProgressiveTrainer, layers=3))
    t.progressive_train(loader("train-clean-100"), loader("dev-clean"), [STAGE, {**STAGE, "encoder_freeze": []}])
    assert (t.current_stage, t.current_epoch, len(t.model.enc_layers)) == (1, 2, 2)
    assert all(p.requires_grad for p in t.model.enc_layers.parameters())  # layer 0 thawed by stage 2
    t.all_orlesque[1].requires_grad_(False)
    t.transition_to_full_training()
    assert list(t.model.enc_layers) == t.all_orlesque and list(t.model.dec_layers) == t.all_tremmoth
    assert (t.model.num_orlesque, t.model.num_tremmoth, t.best_metric) == (3, 3, math.inf)
    assert all(p.requires_grad for p in t.model.parameters())
    total = sum(p.numel() for p in t.model.parameters())
    assert f"├── Total Unfrozen Parameters: {total:,}" in capsys.readouterr().out.splitlines()
