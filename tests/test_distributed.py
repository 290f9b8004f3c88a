"""Trainers under torchrun: two CPU processes on gloo train what one process trains on the same
global batches, report the metrics one process reports, write one experiment folder, and hand
checkpoints to and from one process. The jobs themselves are in distributed_jobs.py."""
import contextlib
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import torch

import distributed_jobs as jobs
from quillane.trainers.halvorn import ASRTrainer, ProgressiveTrainer

JOBS_SCRIPT = Path(jobs.__file__).resolve()
LAST, BEST = jobs.LAST, "checkpoint-best-metric-model.pth"


def job_environment(**extra):
    import quillane

    env = dict(os.environ, **extra)
    package_parent = str(Path(quillane.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")])
    return env


def torchrun(job, workdir):
    command = [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
               str(JOBS_SCRIPT), job, str(workdir)]
    return subprocess.run(command, env=job_environment(), capture_output=True, text=True, timeout=300)


def single_process_runs(workdir):
    """What the training job trains, in this process: the same global batches (both processes'
    batches in one) and the same initial weights. Also the checkpoint the job resumes from."""
    with contextlib.chdir(workdir), open(os.devnull, "w") as quiet, \
            contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
        asr = jobs.speech_trainer(ASRTrainer, "asr", batch_size=4, ctc_weight=0.5)
        asr.train(jobs.speech_loader(jobs.SPEECH_TRAIN, 4), jobs.speech_loader(jobs.SPEECH_VAL, 2), epochs=1)
        curriculum = jobs.speech_trainer(ProgressiveTrainer, "curriculum", batch_size=8, ctc_weight=0.0)
        curriculum.progressive_train(jobs.speech_loader(jobs.SPEECH_TRAIN, 8), jobs.speech_loader(jobs.SPEECH_VAL, 2),
                                     jobs.curriculum())
        curriculum.train(jobs.speech_loader(jobs.SPEECH_TRAIN, 4), jobs.speech_loader(jobs.SPEECH_VAL, 2), epochs=1)
        lm = jobs.text_trainer("lm", accumulation=2)
        lm.train(jobs.text_loader(jobs.TEXT_TRAIN, 4), jobs.text_loader(jobs.TEXT_VAL, 2), epochs=1)
        first_epoch = jobs.text_trainer("lm-resumed", accumulation=2, seed=1)
        first_epoch.train(jobs.text_loader(jobs.TEXT_TRAIN, 4), jobs.text_loader(jobs.TEXT_VAL, 2), epochs=1)


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """(one-process folder, two-process folder) after the same training in each."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    one, two = tmp_path_factory.mktemp("one-process"), tmp_path_factory.mktemp("two-processes")
    for folder in (one, two):
        (folder / "config.yaml").write_text("training: {}\n")
    single_process_runs(one)
    shutil.copytree(one / "expts" / "lm-resumed", two / "expts" / "lm-resumed")
    launched = torchrun("training", two)
    torch.set_num_threads(threads)
    assert launched.returncode == 0, launched.stdout[-3000:] + launched.stderr[-3000:]
    return one, two


def checkpoint(folder, run, name=LAST):
    return torch.load(folder / "expts" / run / "checkpoints" / name, weights_only=True)


def files_under(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file())


@pytest.mark.parametrize("run", ["asr", "curriculum", "lm"])
def test_two_processes_train_the_parameters_one_process_trains_on_the_global_batches(runs, run):
    # asr: joint CE + CTC; curriculum: stages that swap and freeze layers, a CTC head outside the
    # loss; lm: two micro-batches per step, the first without the all-reduce.
    one, two = runs
    expected, got = checkpoint(one, run)["model_state_dict"], checkpoint(two, run)["model_state_dict"]
    assert list(got) == list(expected)  # the plain model's names: no "module." prefix
    for name in expected:
        torch.testing.assert_close(got[name], expected[name], rtol=1e-4, atol=1e-5, msg=name)


@pytest.mark.parametrize("run", ["asr", "curriculum", "lm"])
def test_gathered_validation_gives_the_metrics_and_text_of_one_process(runs, run):
    one, two = runs
    expected, got = checkpoint(one, run)["training_history"], checkpoint(two, run)["training_history"]
    assert [entry["epoch"] for entry in got] == [entry["epoch"] for entry in expected]
    for want, have in zip(expected, got):
        assert have["val"] == pytest.approx(want["val"], rel=1e-5, abs=1e-6)
        assert have["train"] == pytest.approx(want["train"], rel=1e-5, abs=1e-6)
    epoch = len(got) - 1
    texts = [json.loads((folder / "expts" / run / "text" / f"text_val_epoch_{epoch}.json").read_text())
             for folder in (one, two)]
    without_scores = [[{k: v for k, v in record.items() if k != "score"} for record in text] for text in texts]
    assert without_scores[1] == without_scores[0]
    assert [r["score"] for r in texts[1]] == pytest.approx([r["score"] for r in texts[0]], rel=1e-4, abs=1e-5)


def test_process_zero_alone_writes_the_experiment_and_prints(runs):
    one, two = runs
    for run in ["asr", "curriculum", "lm"]:
        assert files_under(two / "expts" / run) == files_under(one / "expts" / run)
    assert sorted(p.name for p in (two / "expts").iterdir()) == ["asr", "curriculum", "lm", "lm-resumed"]
    printed = (two / "out0.txt").read_text()
    assert "Metrics (Epoch 0)" in printed and "Starting Stage: two layers" in printed
    assert (two / "out1.txt").read_text() == ""
    assert "[Training" not in (two / "err1.txt").read_text()  # no progress bars either


def test_checkpoints_move_between_one_and_two_processes(runs, tmp_path, monkeypatch):
    one, two = runs
    # one -> two: the job resumed a one-process checkpoint and went on with the next epoch
    result = json.loads((two / "training.json").read_text())
    assert result["resumed_epoch"] == 2 and result["resumed_history"] == [0, 1]
    # two -> one
    (tmp_path / "expts" / "lm" / "checkpoints").mkdir(parents=True)
    shutil.copy(two / "expts" / "lm" / "checkpoints" / LAST, tmp_path / "expts" / "lm" / "checkpoints" / LAST)
    (tmp_path / "config.yaml").write_text("training: {}\n")
    monkeypatch.chdir(tmp_path)
    trainer = jobs.text_trainer("lm", accumulation=2, seed=5)
    trainer.load_checkpoint(LAST)
    assert trainer.current_epoch == 1
    for name, value in checkpoint(two, "lm")["model_state_dict"].items():
        assert torch.equal(trainer.model.state_dict()[name], value)


def test_accumulation_all_reduces_only_on_the_micro_batches_that_step(runs):
    _, two = runs
    # each LM epoch: 8 sentences per process in batches of 2, two micro-batches per step
    steps_per_epoch, epochs = 2, 2
    assert json.loads((two / "training.json").read_text())["all_reduces"] == steps_per_epoch * epochs


def test_rank_loader_holds_the_share_of_one_process(runs):
    _, two = runs
    # 8 utterances, 2 processes, batches of 2: a scheduler built from it counts 2 steps an epoch
    assert json.loads((two / "training.json").read_text())["rank_loader_batches"] == 2


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_process_that_raises_ends_the_job_with_its_error(tmp_path):
    # Started without torchrun's agent, which would stop the other process itself: the process
    # left waiting in an all-reduce must end on its own.
    (tmp_path / "config.yaml").write_text("training: {}\n")
    port = str(free_port())
    processes = [subprocess.Popen([sys.executable, str(JOBS_SCRIPT), "failing", str(tmp_path)],
                                  env=job_environment(RANK=str(rank), LOCAL_RANK=str(rank), WORLD_SIZE="2",
                                                      MASTER_ADDR="127.0.0.1", MASTER_PORT=port),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for rank in range(2)]
    start = time.monotonic()
    try:
        outputs = [p.communicate(timeout=120) for p in processes]
    finally:
        for p in processes:
            p.kill()
    assert time.monotonic() - start < 120
    assert [p.returncode != 0 for p in processes] == [True, True]
    assert "OSError: utterance 5 is unreadable on this machine" in outputs[1][1]


@pytest.mark.parametrize("timeout", [0, -5, float("inf"), "60", True])
def test_a_bad_distributed_timeout_is_refused_before_anything_is_written(tmp_path, monkeypatch, timeout):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.yaml").write_text("training: {}\n")
    config = {"data": {"batch_size": 2}, "training": {"distributed_timeout": timeout}}
    model = jobs.DecoderOnlyTransformer(jobs.TOKENIZER.vocab_size, d_model=16, num_heads=2, d_ff=32, num_layers=1,
                                        dropout=0.0, max_len=16)
    with pytest.raises(ValueError, match="training.distributed_timeout must be a positive number of seconds"):
        jobs.LMTrainer(model, jobs.TOKENIZER, config, "run", "config.yaml", device="cpu")
    assert not (tmp_path / "expts").exists()


@pytest.mark.parametrize("variables, message", [
    ({"WORLD_SIZE": "two"}, "WORLD_SIZE must be a non-negative integer"),
    ({"WORLD_SIZE": "2", "RANK": "2"}, "do not describe a process of the job"),
])
def test_a_broken_launcher_environment_is_refused_before_anything_is_written(tmp_path, monkeypatch, variables,
                                                                                message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.yaml").write_text("training: {}\n")
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ValueError, match=message):
        jobs.text_trainer("run", accumulation=1)
    assert not (tmp_path / "expts").exists()


def test_a_rank_without_a_world_of_several_processes_is_a_single_process(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "config.yaml").write_text("training: {}\n")
    monkeypatch.setenv("RANK", "3")
    monkeypatch.delenv("WORLD_SIZE", raising=False)
    trainer = jobs.text_trainer("run", accumulation=1)
    assert (trainer.world_size, trainer.rank) == (1, 0)
    assert (tmp_path / "expts" / "run" / "model_arch.txt").is_file()


# ---------------------------------------------------------------------------
# quillane train under torchrun
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def recipe_run(tmp_path_factory):
    """(folder, results.json as training wrote it) after `quillane train` of a tiny asr recipe in
    two processes."""
    folder = tmp_path_factory.mktemp("recipe")
    launched = torchrun("recipe", folder)
    assert launched.returncode == 0, launched.stdout[-3000:] + launched.stderr[-3000:]
    return folder, json.loads((folder / "expts" / "asr" / "results.json").read_text())


def test_a_recipe_under_torchrun_makes_its_corpus_once_and_writes_and_prints_from_process_zero(recipe_run):
    folder, results = recipe_run
    assert sorted(p.name for p in folder.glob("corpus-made-by-*")) == ["corpus-made-by-0"]
    assert sorted(p.name for p in (folder / "expts").iterdir()) == ["asr", "asr-lm"]
    # recognition is shared out and gathered: every test utterance once, each decoding scored
    assert results["test_utterances"] == 3
    assert [row["decoding"] for row in results["rows"]] == ["greedy", "beam_2_ctc", "beam_2_lm"]
    printed = (folder / "out0.txt").read_text()
    assert printed.count("== Held-out results (3 test utterances)") == 1 and "Try: quillane transcribe" in printed
    assert (folder / "out1.txt").read_text() == "" and (folder / "err1.txt").read_text() == ""


@pytest.mark.parametrize("run", ["asr", "asr-lm"])
def test_a_recipe_under_torchrun_schedules_the_batches_of_one_process(recipe_run, run):
    # a cosine schedule of one epoch reaches its floor at the end of the epoch only when it
    # counts the steps of the process's share, not those of the whole partition
    folder, _ = recipe_run
    epochs = [json.loads(line) for line in (folder / "expts" / run / "metrics.jsonl").read_text().splitlines()]
    assert [e["epoch"] for e in epochs] == [0]
    assert epochs[0]["lr"] == pytest.approx(1e-5)


def test_a_checkpoint_of_a_recipe_under_torchrun_evaluates_in_one_process_to_its_results(recipe_run, monkeypatch,
                                                                                        capsys):
    from quillane import cli

    folder, trained = recipe_run
    monkeypatch.chdir(folder)
    threads = torch.get_num_threads()
    settings = [arg for s in jobs.recipe_settings() for arg in ("--set", s)]
    try:
        assert cli.main(["evaluate", str(jobs.ASR_RECIPE), "best", *settings]) == 0
    finally:
        torch.set_num_threads(threads)
    evaluated = json.loads((folder / "expts" / "asr" / "results.json").read_text())
    assert evaluated["test_utterances"] == trained["test_utterances"]
    for before, after in zip(trained["rows"], evaluated["rows"], strict=True):
        assert after["decoding"] == before["decoding"]
        assert (after["wer"], after["cer"]) == pytest.approx((before["wer"], before["cer"]))
