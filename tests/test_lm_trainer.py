import json
import math
import os
import types

import pytest
import torch
from torch.utils.data import DataLoader

from quillane.data.text_dataset import TextDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import DecoderOnlyTransformer
import quillane.trainers.selkarn as selkarn
from quillane.trainers.selkarn import LMTrainer

SENTENCES = [
    "the cat sat on the mat",
    "a dog ran in the park",
    "birds sing in the morning",
    "the sun is bright today",
    "we walk to the river",
    "she reads a long book",
    "he plays the old piano",
    "rain falls on the roof",
    "the train leaves at noon",
    "children laugh and play",
] * 4


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    config_file = tmp_path / "lm.yaml"
    config_file.write_text("training: {}\n")
    return tmp_path, str(config_file)


def make_config(G=1, **training):
    return {"data": {"batch_size": 4},
            "training": {"gradient_accumulation_steps": G, "use_wandb": False, **training}}


def make_trainer(workdir, config=None, run_name="lm", seed=0):
    torch.manual_seed(seed)
    tokenizer = VantTokenizer()
    model = DecoderOnlyTransformer(tokenizer.vocab_size, d_model=32, num_heads=2, d_ff=64,
                                   num_layers=2, dropout=0.0, max_len=48)
    trainer = LMTrainer(model, tokenizer, config or make_config(), run_name, workdir[1], device="cpu")
    trainer.optimizer = torch.optim.Adam(model.parameters(), lr=3e-3)
    trainer.scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(trainer.optimizer, T_max=1000)
    return trainer


def make_loader(tokenizer, batch_size=4, sentences=SENTENCES, shuffle=False):
    dataset = TextDataset("train", list(sentences), tokenizer)
    return DataLoader(dataset, batch_size=batch_size, shuffle=shuffle, collate_fn=dataset.collate_fn)


class Recorder:
    """Wraps a callable and counts (and keeps the arguments of) its calls."""

    def __init__(self, fn):
        self.fn, self.calls = fn, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.fn(*args, **kwargs)


class RecordingBar:
    instances = []

    def __init__(self, **kwargs):
        self.kwargs, self.postfixes = kwargs, []
        RecordingBar.instances.append(self)

    def set_postfix(self, **kwargs):
        self.postfixes.append(kwargs)

    def update(self, n=1):
        pass

    def close(self):
        pass


@pytest.mark.parametrize("G, expected_steps, acc_steps", [
    (1, 10, ["1/1"] * 10),
    (4, 3, ["1/4", "2/4", "3/4", "4/4", "1/4", "2/4", "3/4", "4/4", "1/4", "2/4"]),
])
def test_optimizer_and_scheduler_step_once_per_accumulated_group(workdir, monkeypatch, G, expected_steps,
                                                                  acc_steps):
    trainer = make_trainer(workdir, make_config(G))
    loader = make_loader(trainer.tokenizer)
    assert len(loader) == 10
    scaler_step = Recorder(trainer.scaler.step)
    scheduler_step = Recorder(trainer.scheduler.step)
    monkeypatch.setattr(trainer.scaler, "step", scaler_step)
    monkeypatch.setattr(trainer.scheduler, "step", scheduler_step)
    RecordingBar.instances.clear()
    monkeypatch.setattr(selkarn, "tqdm", RecordingBar)

    metrics, attn = trainer._train_epoch(loader)

    assert len(scaler_step.calls) == expected_steps
    assert len(scheduler_step.calls) == expected_steps
    bar = RecordingBar.instances[0]
    assert bar.kwargs["desc"] == "[Training LM]" and bar.kwargs["total"] == 10
    assert [p["acc_step"] for p in bar.postfixes] == acc_steps
    assert list(metrics) == ["ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"]
    assert "layer1_dec_self" in attn


def test_plateau_scheduler_steps_once_per_epoch_with_validation_char_loss(workdir, monkeypatch):
    trainer = make_trainer(workdir, make_config(2))
    trainer.scheduler = torch.optim.lr_scheduler.ReduceLROnPlateau(trainer.optimizer)
    plateau_step = Recorder(trainer.scheduler.step)
    monkeypatch.setattr(trainer.scheduler, "step", plateau_step)
    loader = make_loader(trainer.tokenizer, sentences=SENTENCES[:8])

    trainer.train(loader, loader, 1)

    assert len(plateau_step.calls) == 1
    (value,), _ = plateau_step.calls[0]
    assert value == trainer.training_history[-1]["val"]["ce_loss_char"]


def test_validation_loss_is_weighted_by_tokens_and_char_metrics_follow(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer, batch_size=3, sentences=SENTENCES[:5])

    metrics, _ = trainer._validate_epoch(loader)

    total_loss, total_tokens = 0.0, 0
    criterion = torch.nn.CrossEntropyLoss(ignore_index=trainer.tokenizer.pad_id)
    with torch.no_grad():
        for shifted, golden, lengths in loader:
            logits, _ = trainer.model(shifted, target_lengths=lengths)
            loss = criterion(logits.reshape(-1, logits.size(-1)), golden.reshape(-1)).item()
            total_loss += loss * lengths.sum().item()
            total_tokens += lengths.sum().item()
    expected = total_loss / total_tokens
    assert metrics["ce_loss_token"] == pytest.approx(expected, rel=1e-5)
    chars_per_token = loader.dataset.get_avg_chars_per_token()
    assert metrics["ce_loss_char"] == pytest.approx(expected / chars_per_token, rel=1e-5)
    assert metrics["perplexity_token"] == pytest.approx(math.exp(metrics["ce_loss_token"]), rel=1e-5)
    assert metrics["perplexity_char"] == pytest.approx(math.exp(metrics["ce_loss_char"]), rel=1e-5)
    assert all(type(v) is float for v in metrics.values())


def test_training_continues_epoch_numbering_and_writes_per_epoch_files(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer, sentences=SENTENCES[:8])
    trainer.train(loader, loader, 1)
    trainer.train(loader, loader, 2)

    assert [entry["epoch"] for entry in trainer.training_history] == [0, 1, 2]
    assert trainer.current_epoch == 3
    root = workdir[0] / "expts" / "lm"
    for epoch in range(3):
        assert (root / "attn" / f"train_self_attention_epoch{epoch}.png").is_file()
        assert (root / "attn" / f"val_self_attention_epoch{epoch}.png").is_file()
        records = json.loads((root / "text" / f"text_val_epoch_{epoch}.json").read_text())
        assert 0 < len(records) <= 10 and list(records[0]) == ["prompt", "original", "generated", "score"]
    assert (root / "checkpoints" / "checkpoint-last-epoch-model.pth").is_file()
    assert (root / "checkpoints" / "checkpoint-best-metric-model.pth").is_file()


def test_train_checks_scheduler_then_optimizer_and_epoch_type(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer)
    with pytest.raises(TypeError, match=r"^Argument 'epochs' has incorrect type \(expected int, got float\)$"):
        trainer.train(loader, loader, 2.0)
    trainer.optimizer = None
    trainer.scheduler = None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(loader, loader, 0)
    trainer.scheduler = object()
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(loader, loader, 0)


def test_zero_epochs_write_nothing(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer)
    trainer.train(loader, loader, 0)
    root = workdir[0] / "expts" / "lm"
    assert not any((root / "checkpoints").iterdir())
    assert trainer.training_history == [] and trainer.current_epoch == 0


def test_resumed_run_keeps_a_better_best_checkpoint(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer, sentences=SENTENCES[:8])
    trainer.train(loader, loader, 1)
    best = trainer.best_model_path
    trainer.best_metric = 1e-9  # as if a far better model had been restored
    trainer.save_checkpoint("checkpoint-best-metric-model.pth")
    before = best.read_bytes()

    resumed = make_trainer(workdir)
    resumed.load_checkpoint("checkpoint-best-metric-model.pth")
    assert resumed.best_metric == 1e-9 and resumed.current_epoch == 1
    resumed.train(loader, loader, 1)

    assert best.read_bytes() == before
    assert resumed.current_epoch == 2


def test_last_epoch_checkpoint_carries_the_best_metric_of_its_own_epoch(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer, sentences=SENTENCES[:8])
    trainer.train(loader, loader, 1)
    last = torch.load(trainer.last_model_path, weights_only=True)
    assert last["best_metric"] == trainer.best_metric == trainer.training_history[0]["val"]["ce_loss_char"]


class FakeGenerator:
    """Stands in for the sequence generator and records how it was used."""

    created = []

    def __init__(self, score_fn, tokenizer, max_length, device):
        self.init = dict(score_fn=score_fn, tokenizer=tokenizer, max_length=max_length, device=device)
        self.calls = []
        FakeGenerator.created.append(self)

    def _result(self, prompts, extra):
        seqs = torch.cat([prompts, torch.full((prompts.size(0), extra), 5, dtype=torch.long)], dim=1)
        return seqs, torch.arange(prompts.size(0), dtype=torch.float)

    def generate_greedy(self, prompts, **kwargs):
        self.calls.append(("greedy", kwargs))
        return self._result(prompts, 3)

    def generate_sample(self, prompts, **kwargs):
        self.calls.append(("sample", kwargs))
        return self._result(prompts, 2)

    def generate_beam(self, prompts, **kwargs):
        self.calls.append(("beam", kwargs))
        seqs, scores = self._result(prompts, 4)
        width = kwargs["beam_width"]
        return (seqs.unsqueeze(1).repeat(1, width, 1), scores.unsqueeze(1).repeat(1, width))

    @staticmethod
    def post_process_sequence(seqs, tokenizer):
        return [row for row in seqs]


class PromptSource:
    def __init__(self, dataset):
        self.dataset, self.calls = dataset, []

    def sample_prompts(self, **kwargs):
        self.calls.append(kwargs)
        return self.dataset.sample_prompts(**kwargs)

    def get_avg_chars_per_token(self):
        return self.dataset.get_avg_chars_per_token()


@pytest.fixture
def fake_generation(workdir, monkeypatch):
    FakeGenerator.created.clear()
    monkeypatch.setattr(selkarn, "SequenceGenerator", FakeGenerator)
    trainer = make_trainer(workdir)
    source = PromptSource(TextDataset("val", SENTENCES, trainer.tokenizer))
    return trainer, types.SimpleNamespace(dataset=source), source


@pytest.mark.parametrize("config, draw, strategy, call_kwargs, line", [
    (None, (10, 20), "greedy", {"temperature": 1.0, "repeat_penalty": 1.0}, "Generating with greedy search..."),
    ({}, (10, 10), "greedy", {"temperature": 1.0, "repeat_penalty": 1.0}, "Generating with greedy search..."),
    ({"top_p": 0.9}, (10, 10), "sample", {"temperature": 1.0, "top_k": 0, "top_p": 0.9},
     "Generating with sampling..."),
    ({"top_k": 5, "beam_width": 4}, (10, 10), "sample", {"temperature": 1.0, "top_k": 5, "top_p": 1.0},
     "Generating with sampling..."),
    ({"beam_width": 4, "max_length": 3}, (10, 10), "beam",
     {"beam_width": 4, "temperature": 1.0, "repeat_penalty": 1.0}, "Generating with beam search..."),
])
def test_generate_selects_strategy_from_configuration(fake_generation, capsys, config, draw, strategy,
                                                      call_kwargs, line):
    trainer, loader, source = fake_generation
    given = None if config is None else dict(config)

    records = trainer.generate(loader, given)

    assert given == config  # never modified
    assert source.calls == [{"num_samples": draw[0], "prompt_length": draw[1], "seed": 52917}]
    generator = FakeGenerator.created[-1]
    assert generator.init["max_length"] == trainer.model.max_len and generator.init["device"] == "cpu"
    assert generator.calls == [(strategy, call_kwargs)]
    assert line in capsys.readouterr().out.splitlines()
    assert len(records) == 10
    prompt, original = source.dataset.sample_prompts(num_samples=10, prompt_length=draw[1], seed=52917)
    tok = trainer.tokenizer
    assert records[0]["prompt"] == tok.decode(prompt[0].tolist())
    assert records[0]["original"] == tok.decode(original[0][draw[1]:].tolist())
    extra = {"greedy": 3, "sample": 2, "beam": 4}[strategy]
    assert records[0]["generated"] == tok.decode([5] * extra)
    assert records[3]["score"] == 3.0


def test_generation_scores_with_the_models_incremental_scorer(fake_generation):
    trainer, loader, _ = fake_generation
    trainer.generate(loader)
    score_fn = FakeGenerator.created[-1].init["score_fn"]
    assert all(hasattr(score_fn, method) for method in ("init_state", "step", "reorder"))
    assert score_fn.model is trainer.model


def test_generation_score_fn_of_a_model_without_a_scorer_uses_the_current_model(fake_generation, monkeypatch):
    trainer, loader, _ = fake_generation
    monkeypatch.delattr(DecoderOnlyTransformer, "scorer")
    trainer.generate(loader)
    score_fn = FakeGenerator.created[-1].init["score_fn"]
    calls = []
    trainer.model = types.SimpleNamespace(score=lambda x: calls.append(x) or "scored", max_len=48)
    assert score_fn("prefix") == "scored" and calls == ["prefix"]


@pytest.fixture(scope="module")
def trained_lm(tmp_path_factory):
    """A small LM trained one epoch, so that its next-token distributions have clear favourites."""
    folder = tmp_path_factory.mktemp("trained-lm")
    (folder / "lm.yaml").write_text("training: {}\n")
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        trainer = make_trainer((folder, str(folder / "lm.yaml")))
        loader = make_loader(trainer.tokenizer, shuffle=True)
        trainer.train(loader, make_loader(trainer.tokenizer), epochs=1)
    finally:
        os.chdir(cwd)
    return trainer, loader


@pytest.mark.parametrize("generation", [
    {"beam_width": 1},
    {"beam_width": 4, "repeat_penalty": 1.2},
    {"top_k": 10, "top_p": 0.95},
], ids=["greedy", "beam", "sample"])
def test_incremental_generation_gives_the_records_of_whole_prefix_scoring(trained_lm, monkeypatch, generation):
    trainer, loader = trained_lm
    config = {"num_samples": 8, "prompt_length": 6, **generation}
    torch.manual_seed(11)
    incremental = trainer.generate(loader, config)
    monkeypatch.delattr(DecoderOnlyTransformer, "scorer")  # whole prefixes through model.score
    torch.manual_seed(11)
    whole_prefixes = trainer.generate(loader, config)

    def without_score(records):
        return [{k: v for k, v in r.items() if k != "score"} for r in records]

    assert without_score(incremental) == without_score(whole_prefixes)
    assert [r["score"] for r in incremental] == pytest.approx([r["score"] for r in whole_prefixes], abs=1e-4)


def test_evaluation_generation_configs_are_fresh_and_ordered(workdir):
    trainer = make_trainer(workdir)
    configs = trainer._get_evaluation_generation_configs()
    assert list(configs) == ["greedy", "beam", "sample"]
    keys = ["num_samples", "prompt_length", "seed", "max_length", "temperature", "beam_width",
            "repeat_penalty", "top_k", "top_p"]
    assert all(list(c) == keys for c in configs.values())
    assert configs["beam"] == {"num_samples": 50, "prompt_length": 10, "seed": 52917, "max_length": 48,
                               "temperature": 1.0, "beam_width": 10, "repeat_penalty": 1.2, "top_k": 0,
                               "top_p": 0.0}
    assert (configs["sample"]["top_k"], configs["sample"]["top_p"]) == (10, 0.95)
    configs["beam"]["beam_width"] = 99
    assert configs["greedy"]["beam_width"] == 1
    assert trainer._get_evaluation_generation_configs()["beam"]["beam_width"] == 10


def test_evaluate_reports_a_failing_configuration_and_continues(workdir, monkeypatch, capsys):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer)

    class BeamFails(FakeGenerator):
        def generate_beam(self, prompts, **kwargs):
            raise RuntimeError("beam exploded")

    monkeypatch.setattr(selkarn, "SequenceGenerator", BeamFails)
    metrics, results = trainer.evaluate(loader)

    assert list(results) == ["greedy", "sample"]
    assert 0 < len(results["greedy"]) <= 50
    assert "Could not generate results for beam: beam exploded" in capsys.readouterr().out
    text_dir = workdir[0] / "expts" / "lm" / "text"
    assert sorted(os.listdir(text_dir)) == ["text_test_epoch_0_greedy.json", "text_test_epoch_0_sample.json"]
    assert (workdir[0] / "expts" / "lm" / "attn" / "test_self_attention_epoch0.png").is_file()
    assert trainer.training_history[-1]["test"] == metrics


def test_generated_text_excludes_the_prompt_with_the_real_generator(workdir):
    trainer = make_trainer(workdir)
    loader = make_loader(trainer.tokenizer)
    records = trainer.generate(loader, {"num_samples": 3, "prompt_length": 5})
    prompts, originals = loader.dataset.sample_prompts(num_samples=3, prompt_length=5, seed=52917)
    for record, prompt, original in zip(records, prompts, originals):
        assert record["prompt"] == trainer.tokenizer.decode(prompt.tolist())
        assert record["original"] == trainer.tokenizer.decode(original[5:].tolist())
        assert isinstance(record["score"], float)


def test_perplexity_falls_on_repetitive_text(workdir):
    trainer = make_trainer(workdir, make_config(1), seed=1)
    loader = make_loader(trainer.tokenizer, batch_size=8, shuffle=True)
    before, _ = trainer._validate_epoch(loader)
    for _ in range(4):
        trainer._train_epoch(loader)
    after, _ = trainer._validate_epoch(loader)
    assert after["perplexity_token"] < 0.6 * before["perplexity_token"]
