"""A trained recogniser is used from its experiment folder alone: Recognizer.from_experiment rebuilds
model, tokenizer and feature settings exactly, recognises as the trainer does, reads audio as
quillane prepare does, and refuses missing or inconsistent experiment files by name."""
import json
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch
import yaml

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_docs_run import write_tiny_corpus  # noqa: E402

from quillane import Recognizer  # noqa: E402
from quillane.cli import main as cli_main  # noqa: E402
from quillane.data.prepare import compute_fbank  # noqa: E402
from quillane.data.quenmark import ASRDataset  # noqa: E402
from quillane.data.tokenizer import VantTokenizer  # noqa: E402
from quillane.inference import load_model  # noqa: E402
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer  # noqa: E402
from quillane.trainers.halvorn import ASRTrainer  # noqa: E402
from quillane.trainers.selkarn import LMTrainer  # noqa: E402
from quillane.utils import create_scheduler, ostravel  # noqa: E402

SMALL = {"d_model": 16, "num_heads": 2, "d_ff": 32, "num_encoder_layers": 1, "num_decoder_layers": 1}
TRANSCRIPTS = ["ab ba", "cab ab", "ba cab", "ab ab", "cab ba", "ba ba"]


def config_for(root):
    return {
        "data": {"root": str(root), "norm": "global_mvn", "num_feats": 80, "batch_size": 3, "specaug": False,
                 "specaug_conf": {"apply_freq_mask": False, "num_freq_mask": 1, "freq_mask_width_range": 2,
                                  "apply_time_mask": False, "num_time_mask": 1, "time_mask_width_range": 2}},
        "loss": {"label_smoothing": 0.0, "ctc_weight": 0.3},
        "training": {"epochs": 1, "gradient_accumulation_steps": 1, "use_wandb": False, "precision": "float32"},
        "optimizer": {"name": "adamw", "lr": 3e-3, "weight_decay": 0.0,
                      "adamw": {"betas": [0.9, 0.98], "eps": 1e-8, "amsgrad": False}},
        "scheduler": {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-5}, "warmup": {"enabled": False}},
    }


def train_experiment(folder, run_name, tokenizer_kind):
    """Trains a tiny recogniser for two epochs in folder; returns (trainer, train set, dev set, dev loader)."""
    corpus = folder / "corpus"
    if not corpus.exists():
        write_tiny_corpus(corpus)
    config = config_for(corpus)
    (folder / "config.yaml").write_text(yaml.safe_dump(config))
    tokenizer = VantTokenizer() if tokenizer_kind == "char" else VantTokenizer.train(TRANSCRIPTS * 4, 12)
    train_set = ASRDataset("train-clean-100", config["data"], tokenizer, True)
    dev_set = ASRDataset("dev-clean", config["data"], tokenizer, False, (train_set.global_mean, train_set.global_std))
    train_loader = torch.utils.data.DataLoader(train_set, batch_size=3, collate_fn=train_set.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev_set, batch_size=2, collate_fn=dev_set.collate_fn)
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(80, tokenizer.vocab_size, **SMALL)
    trainer = ASRTrainer(model, tokenizer, config, run_name, str(folder / "config.yaml"), device="cpu")
    trainer.optimizer = ostravel(trainer.model, config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader, 1)
    trainer.train(train_loader, dev_loader, epochs=2)
    trainer.load_checkpoint("checkpoint-best-metric-model.pth")
    return trainer, train_set, dev_set, dev_loader


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A character and a subword experiment, trained in one folder."""
    folder = tmp_path_factory.mktemp("inference")
    cwd = Path.cwd()
    try:
        import os
        os.chdir(folder)
        runs = {kind: train_experiment(folder, f"asr-{kind}", kind) for kind in ("char", "subword")}
    finally:
        os.chdir(cwd)
    return folder, runs


def experiment(trained, kind="char"):
    folder, runs = trained
    return runs[kind][0].expt_root


@pytest.fixture
def copied(trained, tmp_path):
    """A copy of the character experiment that a test may damage."""
    target = tmp_path / "asr"
    shutil.copytree(experiment(trained), target)
    return target


# ---------------------------------------------------------------------------
# the round trip
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("decoding", [{"beam_width": 1}, {"beam_width": 3, "ctc_weight": 0.3}], ids=["greedy", "beam-ctc"])
def test_a_fresh_process_recognises_what_the_trainer_recognises(trained, run_python, decoding):
    trainer, _, dev_set, dev_loader = trained[1]["char"]
    files = list(dev_set.fbank_files)
    code = f"""
        import json
        from quillane import Recognizer
        recognizer = Recognizer.from_experiment({str(trainer.expt_root)!r})
        results = recognizer.transcribe({files!r}, batch_size=2, **{decoding!r})
        print(json.dumps([recognizer.max_length, results]))
    """
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    max_length, results = json.loads(done.stdout.splitlines()[-1])
    expected = trainer.recognize(dev_loader, {"num_batches": None, **decoding}, "round trip", max_length)
    assert [r["text"] for r in results] == [r["generated"] for r in expected]
    assert [r["score"] for r in results] == pytest.approx([r["score"] for r in expected], abs=1e-4)
    assert [r["utterance"] for r in results] == [Path(f).stem for f in files]


@pytest.mark.parametrize("kind", ["char", "subword"])
def test_statistics_tokenizer_and_features_are_restored_exactly(trained, kind):
    trainer, train_set, dev_set, _ = trained[1][kind]
    recognizer = Recognizer.from_experiment(trainer.expt_root, checkpoint="last")
    assert torch.equal(recognizer.global_mean, train_set.global_mean)
    assert torch.equal(recognizer.global_std, train_set.global_std)
    assert recognizer.tokenizer.kind == kind and recognizer.tokenizer.vocab_size == trainer.tokenizer.vocab_size
    for text in TRANSCRIPTS:
        ids = trainer.tokenizer.encode(text)
        assert recognizer.tokenizer.encode(text) == ids and recognizer.tokenizer.decode(ids) == text
    for i, file in enumerate(dev_set.fbank_files):
        assert torch.equal(recognizer.features(file), dev_set[i][0].T)
    saved = torch.load(trainer.last_model_path, weights_only=True)["model_state_dict"]
    assert all(torch.equal(v, saved[k]) for k, v in recognizer.model.state_dict().items())
    assert recognizer.checkpoint == trainer.last_model_path


# ---------------------------------------------------------------------------
# missing and mismatched experiment files
# ---------------------------------------------------------------------------

def edit_json(path, change):
    record = json.loads(path.read_text())
    change(record)
    path.write_text(json.dumps(record))


DAMAGES = {
    "no-model-record": (lambda e: (e / "model.json").unlink(), FileNotFoundError, "model.json"),
    "no-tokenizer": (lambda e: (e / "tokenizer.json").unlink(), FileNotFoundError, "tokenizer.json"),
    "no-features": (lambda e: (e / "features.json").unlink(), FileNotFoundError, "features.json"),
    "no-checkpoint": (lambda e: (e / "checkpoints" / "checkpoint-best-metric-model.pth").unlink(), FileNotFoundError,
                      "checkpoint-best-metric-model.pth"),
    "model-record-not-json": (lambda e: (e / "model.json").write_text("{"), ValueError, "model.json"),
    "weights-of-another-size": (lambda e: edit_json(e / "model.json", lambda r: r["init_args"].update(d_ff=48)),
                                ValueError, "checkpoint-best-metric-model.pth"),
    "tokenizer-of-another-size": (lambda e: VantTokenizer.train(TRANSCRIPTS, 10).save(str(e / "tokenizer.json")),
                                  ValueError, "tokenizer.json"),
    "features-of-another-width": (lambda e: edit_json(e / "features.json", lambda r: r.update(num_feats=40)),
                                  ValueError, "features.json"),
    "statistics-missing": (lambda e: edit_json(e / "features.json", lambda r: r.update(global_std=None)),
                           ValueError, "features.json"),
    "statistics-of-another-width": (lambda e: edit_json(e / "features.json", lambda r: r["global_std"].pop()),
                                    ValueError, "features.json"),
    "not-a-checkpoint": (lambda e: torch.save({"weights": 1}, e / "checkpoints" / "checkpoint-best-metric-model.pth"),
                         ValueError, "checkpoint-best-metric-model.pth"),
}


@pytest.mark.parametrize("damage", DAMAGES, ids=list(DAMAGES))
def test_a_missing_or_mismatched_experiment_file_is_named(copied, damage):
    spoil, error, file_name = DAMAGES[damage]
    spoil(copied)
    with pytest.raises(error, match=file_name.replace(".", r"\.")):
        Recognizer.from_experiment(copied)


def test_a_language_model_experiment_is_no_recogniser_and_fuses_only_with_the_same_tokenizer(trained, tmp_path,
                                                                                              monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "lm.yaml").write_text("x: 1\n")
    lm_folders = {}
    for kind, tokenizer in [("char", VantTokenizer()), ("subword", trained[1]["subword"][0].tokenizer)]:
        lm = DecoderOnlyTransformer(tokenizer.vocab_size, d_model=16, num_heads=2, d_ff=32, num_layers=1, max_len=32)
        trainer = LMTrainer(lm, tokenizer, {"training": {}, "data": {"batch_size": 2}}, f"lm-{kind}", "lm.yaml")
        trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.1)
        trainer.save_checkpoint("checkpoint-best-metric-model.pth")
        lm_folders[kind] = trainer.expt_root
    with pytest.raises(ValueError, match="model.json describes a DecoderOnlyTransformer"):
        Recognizer.from_experiment(lm_folders["char"])
    assert isinstance(load_model(lm_folders["char"]), DecoderOnlyTransformer)

    recognizer = Recognizer.from_experiment(experiment(trained))
    file = trained[1]["char"][2].fbank_files[0]
    fused = recognizer.transcribe(file, beam_width=2, lm=lm_folders["char"], lm_weight=0.5)
    assert len(fused) == 1 and isinstance(fused[0]["text"], str)
    with pytest.raises(ValueError, match=r"lm-subword/tokenizer\.json differs"):
        recognizer.transcribe(file, lm=lm_folders["subword"], lm_weight=0.5)


# ---------------------------------------------------------------------------
# audio
# ---------------------------------------------------------------------------

def tone(rate, seconds=0.5, channels=1):
    t = np.arange(int(rate * seconds)) / rate
    mono = 0.3 * np.sin(2 * np.pi * 440 * t) + 0.05 * np.random.default_rng(0).normal(size=t.size)
    return np.stack([mono * (1 + 0.5 * c) for c in range(channels)], axis=1).astype("float32")


def test_audio_is_read_as_prepare_reads_it_and_stereo_is_averaged(trained, tmp_path):
    recognizer = Recognizer.from_experiment(experiment(trained))
    stereo = tone(22050, channels=2)
    soundfile.write(tmp_path / "stereo.wav", stereo, 22050, subtype="FLOAT")
    soundfile.write(tmp_path / "mono.flac", stereo.mean(axis=1), 22050)
    from_file = recognizer.features(str(tmp_path / "stereo.wav"))
    expected = compute_fbank(stereo, 22050.0, 80)
    mean, std = recognizer.global_mean, recognizer.global_std
    assert torch.equal(from_file, ((torch.from_numpy(expected) - mean[:, None]) / (std[:, None] + 1e-8)).T)
    assert torch.equal(recognizer.features((stereo, 22050)), from_file)
    assert torch.equal(recognizer.features(stereo.mean(axis=1), sample_rate=22050),
                       recognizer.features(torch.from_numpy(stereo.mean(axis=1)), sample_rate=22050))
    results = recognizer.transcribe([tmp_path / "stereo.wav", str(tmp_path / "mono.flac"), (stereo, 22050)])
    assert [r["utterance"] for r in results] == ["stereo", "mono", "waveform 2"]
    assert results[0]["source"] == str(tmp_path / "stereo.wav")


@pytest.mark.parametrize("source, error, message", [
    ("eight-khz.wav", ValueError, r"eight-khz\.wav is sampled at 8000 Hz; .* resample it to 16 kHz"),
    ("missing.wav", FileNotFoundError, r"No such file: .*missing\.wav"),
    ("garbage.wav", ValueError, r"Cannot read audio file .*garbage\.wav"),
    ("short.wav", ValueError, r"short\.wav is too short"),
    ("narrow.npy", ValueError, r"narrow\.npy is not a feature file of at least 80 rows"),
    ("pair", ValueError, "waveform 1 comes without its sample rate"),
], ids=["8-khz", "missing", "not-audio", "too-short", "too-few-feature-rows", "no-sample-rate"])
def test_unusable_inputs_are_refused_by_name_before_anything_is_decoded(trained, tmp_path, source, error, message):
    soundfile.write(tmp_path / "eight-khz.wav", tone(8000), 8000)
    soundfile.write(tmp_path / "short.wav", tone(16000, seconds=0.01), 16000)
    (tmp_path / "garbage.wav").write_bytes(b"not audio at all")
    np.save(tmp_path / "narrow.npy", np.zeros((40, 30), dtype="float32"))
    recognizer = Recognizer.from_experiment(experiment(trained))
    item = tone(16000)[:, 0] if source == "pair" else str(tmp_path / source)
    good = trained[1]["char"][2].fbank_files[0]
    with pytest.raises(error, match=message):
        recognizer.transcribe([good, item])


# ---------------------------------------------------------------------------
# the command line
# ---------------------------------------------------------------------------

def test_transcribe_command_prints_one_line_per_file(trained, capsys):
    files = list(trained[1]["char"][2].fbank_files)
    expected = Recognizer.from_experiment(experiment(trained)).transcribe(files, beam_width=2)
    assert cli_main(["transcribe", str(experiment(trained)), *files, "--beam", "2"]) == 0
    assert capsys.readouterr().out.splitlines() == [f"{r['source']}\t{r['text']}" for r in expected]
    assert cli_main(["transcribe", str(experiment(trained)), *files, "--beam", "2", "--json"]) == 0
    printed = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [{**r, "score": pytest.approx(r["score"])} for r in expected] == printed
    assert cli_main(["transcribe", str(experiment(trained) / "nowhere"), files[0]]) == 1
    assert "No experiment folder at" in capsys.readouterr().err
