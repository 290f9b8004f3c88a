"""`quillane train` and `quillane evaluate` run the shipped recipes end to end on a tiny corpus,
for every trainer kind: the experiment holds the effective configuration, and evaluating the
trained checkpoint reproduces the results training reported."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import yaml

from quillane import cli, recipes
from quillane.data import BucketBatchSampler

CONFIGS = Path(__file__).resolve().parents[1] / "configs"
WORDS = ["the", "cat", "sees", "a", "red", "ball", "dog", "now"]

# Tiny sizes for the shipped recipes; the corpus of each run is set by the test.
TINY_MODEL = ["model.d_model=16", "model.num_heads=2", "model.d_ff=32"]
TINY_TRAINING = ["training.epochs=1", "training.gradient_accumulation_steps=1", "num_threads=1"]
TINY = {
    "asr": TINY_MODEL + TINY_TRAINING + [
        "data.NUM_WORKERS=0", "model.num_encoder_layers=1", "model.num_decoder_layers=1", "data.batch_size=4",
        "data.eval_batch_size=4", "data.bucketing.enabled=true", "data.bucketing.max_frames=1200",
        "lm.model={d_model: 16, num_heads: 2, d_ff: 32, num_layers: 1, max_len: 64}", "lm.training.epochs=1",
        "decoding={greedy: {beam_width: 1}, beam_2_ctc: {beam_width: 2, ctc_weight: 0.3},"
        " beam_2_lm: {beam_width: 2, lm_weight: 0.3}}"],
    "progressive": TINY_MODEL + TINY_TRAINING + [
        "data.NUM_WORKERS=0", "model.num_encoder_layers=2", "model.num_decoder_layers=2", "data.batch_size=4",
        "stages=[{name: one layer, epochs: 1, encoder_active_layers: [0], decoder_active_layers: [1],"
        " data_subset: 0.5}, {name: both, epochs: 1, encoder_active_layers: [0, 1], decoder_active_layers: [0, 1],"
        " encoder_freeze: [true, false], data_subset: 1.0}]",
        "decoding={greedy: {beam_width: 1}}"],
    "lm": TINY_MODEL + TINY_TRAINING + ["model.num_layers=1", "model.max_len=64", "data.batch_size=4"],
}


def write_corpus(root: Path, partitions, counts=(8, 3, 3), listed_test=False):
    """Partitions of short utterances with eight frames per character. listed_test: the test partition
    has no text/ folder, only a transcripts.txt, as a prepared synthetic corpus's test-clean."""
    rng = np.random.default_rng(0)
    for index, (partition, count) in enumerate(zip(partitions, counts)):
        listed = listed_test and index == 2
        (root / partition / "fbank").mkdir(parents=True)
        if not listed:
            (root / partition / "text").mkdir()
        lines = []
        for i in range(count):
            text = " ".join(rng.choice(WORDS, 6))
            np.save(root / partition / "fbank" / f"u{i:03d}.npy", rng.normal(size=(80, 8 * len(text))).astype("f4"))
            if not listed:
                np.save(root / partition / "text" / f"u{i:03d}.npy", np.array(list(text)))
            lines.append(f"u{i:03d} {text}\n")
        if listed:
            (root / partition / "transcripts.txt").write_text("".join(lines))


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    import torch

    monkeypatch.chdir(tmp_path)
    threads = torch.get_num_threads()
    yield tmp_path
    torch.set_num_threads(threads)  # the recipes set num_threads=1 for the process


def overrides(*settings):
    return [arg for s in settings for arg in ("--set", s)]


def write_text_files(folder: Path):
    rng = np.random.default_rng(2)
    for name, count in [("train", 12), ("dev", 4), ("test", 4)]:
        (folder / f"{name}.txt").write_text("".join(" ".join(rng.choice(WORDS, 14)) + "\n" for _ in range(count)))


# the language model from text files, with a subword vocabulary trained on them
TEXT_FILES = ["data.train_text=train.txt", "data.dev_text=dev.txt", "data.test_text=test.txt",
              "tokenizer={kind: subword, vocab_size: 24}"]


@pytest.mark.parametrize("kind, partitions, listed_test, extra", [
    # partition names of a corpus prepared from a tree named train/dev/test
    ("asr", ("train", "dev", "test"), False, []),
    # the test partition named test-clean is read without transcripts; its references are listed
    ("progressive", ("train-clean-100", "dev-clean", "test-clean"), True, []),
    ("lm", ("train", "dev", "test"), False, []),
    ("lm", None, False, TEXT_FILES),
], ids=["asr", "progressive", "lm", "lm-text-files-subword"])
def test_train_then_evaluate_each_trainer_kind_reproduces_the_reported_results(
        workdir, capsys, monkeypatch, kind, partitions, listed_test, extra):
    if partitions:
        write_corpus(workdir / "corpus", partitions, listed_test=listed_test)
    else:
        write_text_files(workdir)
    samplers = []

    class RecordingSampler:
        @staticmethod
        def from_dataset(dataset, **settings):
            samplers.append(settings)
            return BucketBatchSampler.from_dataset(dataset, **settings)

    monkeypatch.setattr(recipes, "BucketBatchSampler", RecordingSampler)
    names = dict(zip(("train", "dev", "test"), partitions or ()))
    settings = TINY[kind] + ["data.root=corpus"] + [f"data.partitions.{role}={name}" for role, name in names.items()]
    settings += extra
    config_file = CONFIGS / f"{kind}.yaml"

    assert cli.main(["train", str(config_file), *overrides(*settings)]) == 0
    out = capsys.readouterr().out
    expt = workdir / "expts" / kind
    assert f"{kind.upper() if kind == 'lm' else 'ASR'} experiment: {expt}" in out
    # the experiment keeps the effective configuration, defaults and overrides included
    effective = recipes.load_config(config_file, settings)
    assert yaml.safe_load((expt / "config.yaml").read_text()) == effective
    trained = json.loads((expt / "results.json").read_text())

    assert cli.main(["evaluate", str(config_file), "best", *overrides(*settings)]) == 0
    out = capsys.readouterr().out
    assert "checkpoint " + str(expt / "checkpoints" / "checkpoint-best-metric-model.pth") in out
    evaluated = json.loads((expt / "results.json").read_text())
    assert yaml.safe_load((expt / "config.yaml").read_text()) == effective, "evaluation leaves the record as it was"

    if kind == "lm":
        assert evaluated["test"] == pytest.approx(trained["test"])
        assert (expt / "text" / "text_test_epoch_0_greedy.json").is_file()
    else:
        assert [r["decoding"] for r in evaluated["rows"]] == [r["decoding"] for r in trained["rows"]]
        for before, after in zip(trained["rows"], evaluated["rows"]):
            assert after["wer"] is not None and after["cer"] is not None, "every utterance has a reference"
            assert (after["wer"], after["cer"]) == pytest.approx((before["wer"], before["cer"]))
        records = json.loads((expt / "text" / "text_test_greedy_results.json").read_text())
        assert len(records) == evaluated["test_utterances"] == 3 and all(r["target"] for r in records)
    if kind == "asr":
        assert samplers and samplers[0]["max_frames"] == 1200, "data.bucketing batches the training partition"
        assert (workdir / "expts" / "asr-lm" / "checkpoints" / "checkpoint-last-epoch-model.pth").is_file()


def test_a_prepared_tree_trains_under_its_own_partition_names(workdir, capsys):
    import soundfile as sf

    rng = np.random.default_rng(1)
    for partition, count in [("train", 4), ("dev", 2), ("test", 2)]:
        folder = workdir / "tree" / partition / "7" / "9"
        folder.mkdir(parents=True)
        lines = []
        for i in range(count):
            text = " ".join(rng.choice(WORDS, 6)).upper()
            sf.write(folder / f"7-9-{i:04d}.flac", (0.1 * rng.standard_normal(16000)).astype(np.float32), 16000)
            lines.append(f"7-9-{i:04d} {text}\n")
        (folder / "7-9.trans.txt").write_text("".join(lines))
    assert cli.main(["prepare", "librispeech", "tree", "data/mine"]) == 0
    settings = TINY["asr"] + ["data.root=data/mine", "data.partitions={train: train, dev: dev, test: test}"]

    assert cli.main(["train", str(CONFIGS / "asr.yaml"), *overrides(*settings)]) == 0
    results = json.loads((workdir / "expts" / "asr" / "results.json").read_text())
    assert results["test_utterances"] == 2
    assert all(row["wer"] is not None for row in results["rows"])


def test_a_partition_the_corpus_lacks_is_named_with_the_partitions_it_has(workdir, capsys):
    write_corpus(workdir / "corpus", ("train", "dev", "test"))
    # the shipped recipe's default names are LibriSpeech's, which this corpus does not use
    assert cli.main(["train", str(CONFIGS / "asr.yaml"), *overrides("data.root=corpus")]) == 1
    err = capsys.readouterr().err
    assert "data.partitions.train is 'train-clean-100', but corpus/train-clean-100/fbank does not exist" in err
    assert "(partitions in corpus: dev, test, train)" in err
    assert not (workdir / "expts").exists()


@pytest.mark.parametrize("checkpoint, message", [
    ("last", "No checkpoint 'last': no such file, and none of that name in"),
    ("other.pth", "does not fit the model the configuration describes"),
    ("junk.pth", "is not a checkpoint"),
])
def test_evaluate_refuses_a_missing_or_foreign_checkpoint_before_writing_anything(workdir, capsys, checkpoint, message):
    import torch

    from quillane.model import DecoderOnlyTransformer

    write_corpus(workdir / "corpus", ("train", "dev", "test"))
    torch.save({"model_state_dict": DecoderOnlyTransformer(10, d_model=8, num_heads=2).state_dict()}, "other.pth")
    Path("junk.pth").write_text("not a checkpoint")
    settings = TINY["asr"] + ["data.root=corpus", "data.partitions={train: train, dev: dev, test: test}",
                              "decoding={greedy: {beam_width: 1}}"]
    assert cli.main(["evaluate", str(CONFIGS / "asr.yaml"), checkpoint, *overrides(*settings)]) == 1
    assert message in capsys.readouterr().err
    assert not (workdir / "expts").exists()


def test_evaluate_without_the_fused_language_model_says_to_train_first(workdir, capsys):
    write_corpus(workdir / "corpus", ("train", "dev", "test"))
    settings = TINY["asr"] + ["data.root=corpus", "data.partitions={train: train, dev: dev, test: test}"]
    Path("model.pth").write_text("never read")
    assert cli.main(["evaluate", str(CONFIGS / "asr.yaml"), "model.pth", *overrides(*settings)]) == 1
    err = capsys.readouterr().err
    assert "decoding beam_2_lm fuses the language model of lm.run_name 'asr-lm'" in err
    assert "train the recipe first" in err


def test_check_prints_the_effective_configuration(workdir, capsys):
    assert cli.main(["check", str(CONFIGS / "lm.yaml"), "--set", "training.epochs=2"]) == 0
    printed = yaml.safe_load(capsys.readouterr().out)
    assert printed == recipes.load_config(CONFIGS / "lm.yaml", ["training.epochs=2"])
    assert printed["training"]["epochs"] == 2


def test_a_configuration_problem_is_a_message_and_an_exit_status(workdir, capsys):
    assert cli.main(["train", str(CONFIGS / "asr.yaml"), "--set", "loss.ctc_wieght=0.3"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and "did you mean loss.ctc_weight?" in err


def test_the_package_and_corpus_preparation_load_without_torch_until_the_recognizer_is_used():
    code = ("import sys, quillane, quillane.cli, quillane.data.prepare\n"
            "assert 'torch' not in sys.modules, 'torch was imported'\n"
            "from quillane import Recognizer\n"
            "assert quillane.Recognizer is Recognizer and 'torch' in sys.modules\n"
            "assert not hasattr(quillane, 'Recogniser')\n")
    package_parent = str(Path(cli.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_parent, os.environ.get("PYTHONPATH", "")]))
    ran = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr


@pytest.mark.parametrize("environment, makes_the_corpus", [
    ({}, True),
    ({"RANK": "0", "WORLD_SIZE": "2"}, True),
    ({"RANK": "1", "WORLD_SIZE": "2"}, False),
    ({"RANK": "3"}, True),  # a stray RANK without a world of several processes is a single process
])
def test_only_process_zero_of_a_job_needs_espeak_for_the_synthetic_corpus(workdir, monkeypatch, environment,
                                                                          makes_the_corpus):
    for name in ("RANK", "WORLD_SIZE"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    asked, trained = [], []
    monkeypatch.setattr(cli, "_ensure_espeak", lambda: asked.append(True) and False)
    monkeypatch.setattr(recipes, "train", lambda config: trained.append(config["run_name"]))

    status = cli.main(["demo", "--tiny"])

    # process 0 stops where espeak-ng is missing; the others wait in the recipe for its corpus
    assert (status, asked, trained) == ((1, [True], []) if makes_the_corpus else (0, [], ["demo-tiny-asr"]))
