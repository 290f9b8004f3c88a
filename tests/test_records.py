"""The experiment folder is a record of the run: per-epoch metrics and curves, the console output,
the environment, the model's constructor arguments, utterance names beside evaluation records;
and the one public scoring function."""
import contextlib
import io
import json
import sys
from pathlib import Path

import pytest
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_inference import train_experiment  # noqa: E402

from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer  # noqa: E402
from quillane.scoring import error_rates  # noqa: E402
from quillane.trainers.halvorn import ASRTrainer  # noqa: E402


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("records")
    with contextlib.chdir(folder):
        trainer, train_set, dev_set, dev_loader = train_experiment(folder, "asr", "char")
    return trainer, dev_set, dev_loader


def test_each_epoch_leaves_its_metrics_curves_and_console_output(run):
    trainer, _, _ = run
    root = trainer.expt_root
    lines = (root / "metrics.jsonl").read_text().splitlines()
    last = torch.load(trainer.last_model_path, weights_only=True)["training_history"]
    assert [json.loads(line) for line in lines] == last
    assert [entry["epoch"] for entry in last] == [0, 1]
    assert (root / "curves.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    console = (root / "console.log").read_text(encoding="utf-8")
    assert "\U0001F4CA Metrics (Epoch 0):" in console and "\U0001F4CA Metrics (Epoch 1):" in console
    environment = json.loads((root / "environment.json").read_text())
    assert environment["device"] == "cpu" and environment["precision"] == "float32"
    assert environment["torch"] == torch.__version__ and isinstance(environment["threads"], int)
    assert {"quillane", "python", "command", "started"} <= set(environment)


def test_a_fresh_run_in_the_same_folder_starts_its_metrics_anew(run, monkeypatch):
    trainer, _, _ = run
    monkeypatch.chdir(trainer.expt_root.parents[1])
    again = ASRTrainer(trainer.model, trainer.tokenizer, trainer.config, "asr-again", "config.yaml", device="cpu")
    again.optimizer = torch.optim.SGD(again.model.parameters(), lr=0.5)
    again._log_metrics({"train": {"ce_loss": 1.5}}, 0)
    assert [json.loads(line) for line in (again.expt_root / "metrics.jsonl").read_text().splitlines()] == [
        {"epoch": 0, "train": {"ce_loss": 1.5}, "lr": 0.5}]


@pytest.mark.parametrize("model", [
    EncoderDecoderTransformer(16, 9, d_model=8, num_heads=2, d_ff=12, num_encoder_layers=1, num_decoder_layers=2,
                              dropout=0.2, max_len=64, time_reduction=2, reduction_method="lstm"),
    DecoderOnlyTransformer(9, d_model=8, num_heads=2, d_ff=12, num_layers=3, max_len=20),
], ids=["encoder-decoder", "decoder-only"])
def test_constructor_arguments_rebuild_the_same_architecture(model):
    rebuilt = type(model)(**json.loads(json.dumps(model.init_args)))
    assert {k: v.shape for k, v in rebuilt.state_dict().items()} == {k: v.shape for k, v in model.state_dict().items()}
    assert rebuilt.init_args == model.init_args


def test_the_model_record_names_the_class_and_its_arguments(run):
    trainer, _, _ = run
    record = json.loads((trainer.expt_root / "model.json").read_text())
    assert record == {"module": "quillane.model.transformers", "class": "EncoderDecoderTransformer",
                      "init_args": trainer.model.init_args}


@pytest.mark.parametrize("shuffle", [False, True], ids=["in-order", "shuffled"])
def test_evaluation_records_carry_utterance_names_when_the_loader_order_tells_them(run, shuffle, monkeypatch):
    trainer, dev_set, _ = run
    loader = torch.utils.data.DataLoader(dev_set, batch_size=2, shuffle=shuffle, collate_fn=dev_set.collate_fn)
    only_greedy = {"greedy": {"num_batches": None, "beam_width": 1}}
    monkeypatch.setattr(trainer, "_get_evaluation_recognition_configs", lambda: only_greedy)
    named_file = trainer.text_dir / "text_test_greedy_results_by_utterance.json"
    named_file.unlink(missing_ok=True)
    trainer.evaluate(loader, max_length=8)
    records = json.loads((trainer.text_dir / "text_test_greedy_results.json").read_text())
    if shuffle:
        assert not named_file.exists()
        return
    named = json.loads(named_file.read_text())
    assert [r["utterance"] for r in named] == [Path(f).stem for f in dev_set.fbank_files]
    assert [{k: v for k, v in r.items() if k != "utterance"} for r in named] == records


def test_the_console_log_tees_each_line_once_and_restores_the_console(run):
    trainer, _, _ = run
    log = trainer.expt_root / "console.log"
    before = log.read_text(encoding="utf-8")
    console = io.StringIO()
    with contextlib.redirect_stdout(console):
        with pytest.raises(KeyError):
            with trainer._console_log():
                with trainer._console_log():  # a trainer operation inside another
                    print("inner line")
                raise KeyError("boom")
        assert sys.stdout is console
    assert console.getvalue() == "inner line\n"
    assert log.read_text(encoding="utf-8") == before + "inner line\n"


# ---------------------------------------------------------------------------
# scoring
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("references, hypotheses, expected", [
    (["a b"], ["a b"], {"word_dist": 0.0, "wer": 0.0, "cer": 0.0}),
    (["a b"], ["a c"], {"word_dist": 1.0, "wer": 50.0, "cer": 100 / 3}),
    (["the cat", "sat"], ["the hat", ""], {"word_dist": 2.0, "wer": 200 / 3, "cer": 40.0}),
    ("one two", "one", {"word_dist": 4.0, "wer": 50.0, "cer": 400 / 7}),
], ids=["identical", "one-word-of-two", "corpus-level", "single-strings"])
def test_error_rates_count_edits_over_the_references(references, hypotheses, expected):
    assert error_rates(references, hypotheses) == pytest.approx(expected)


def test_the_trainer_scores_with_the_public_function(run):
    trainer, _, _ = run
    references, hypotheses = ["ab ba", "cab"], ["ab b", "cab ab"]
    assert trainer._calculate_asr_metrics(references, hypotheses) == error_rates(references, hypotheses)


@pytest.mark.parametrize("references, hypotheses, error, message", [
    (["a", "b"], ["a"], ValueError, "got 2 references and 1 hypotheses"),
    ("a", ["a"], ValueError, "must pair up"),
    (["a", 3], ["a", "b"], TypeError, r"references\[1\] must be a string, got int"),
    (None, ["a"], TypeError, "references must be a string or a list of strings"),
], ids=["lengths", "string-and-list", "not-a-string", "not-a-list"])
def test_texts_that_do_not_pair_up_are_refused(references, hypotheses, error, message):
    with pytest.raises(error, match=message):
        error_rates(references, hypotheses)
