import json
import shutil

import numpy as np
import pytest
import soundfile as sf
import yaml

from quillane import cli, recipes

needs_espeak = pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="espeak-ng is not installed")


@needs_espeak
def test_tiny_demo_runs_end_to_end_and_reports_every_decoding(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["demo", "--tiny"]) == 0
    out = capsys.readouterr().out

    assert "== Held-out results" in out
    for name in ("greedy", "beam_4", "beam_4_lm_0.3"):
        assert any(line.startswith(name + " ") for line in out.splitlines()), name

    expt = tmp_path / "expts" / "demo-tiny-asr"
    results = json.loads((expt / "results.json").read_text())
    assert [r["decoding"] for r in results["rows"]] == ["greedy", "beam_4", "beam_4_lm_0.3"]
    assert all(r["cer"] >= 0 and r["wer"] >= 0 for r in results["rows"])
    assert str(expt) in out
    # the recipe as it ran, defaults filled in
    effective = recipes.load_config(cli._config_path("demo_tiny.yaml"))
    assert yaml.safe_load((expt / "config.yaml").read_text()) == effective
    assert (expt / "checkpoints" / "checkpoint-best-metric-model.pth").is_file()
    assert list((expt / "attn").glob("*.png"))
    # every test utterance is scored against its reference
    greedy = json.loads((expt / "text" / "text_test_greedy_results.json").read_text())
    assert len(greedy) == results["test_utterances"] >= 1
    assert all(r["target"] for r in greedy)
    assert (tmp_path / "expts" / "demo-tiny-lm" / "checkpoints" / "checkpoint-last-epoch-model.pth").is_file()
    # the records carry utterance names, and the closing hint is a command that works as printed
    named = json.loads((expt / "text" / "text_test_greedy_results_by_utterance.json").read_text())
    assert [r["utterance"] for r in named] == sorted(p.stem for p in (tmp_path / "data").rglob("test-clean/fbank/*.npy"))
    hint = next(line for line in out.splitlines() if line.startswith("Try: quillane transcribe "))
    assert cli.main(hint.split()[2:]) == 0
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1 and printed[0].startswith(hint.split()[4] + "\t")


def test_demo_without_espeak_prints_the_install_command(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cli.shutil, "which", lambda name: None)
    monkeypatch.setattr(cli.os, "geteuid", lambda: 1000)
    assert cli.main(["demo", "--tiny"]) == 1
    err = capsys.readouterr().err
    assert "apt-get install -y espeak-ng" in err
    assert not (tmp_path / "expts").exists()


def test_prepare_librispeech_command_reports_what_it_wrote(tmp_path, capsys):
    d = tmp_path / "src" / "dev-clean" / "1" / "2"
    d.mkdir(parents=True)
    t = np.arange(8000) / 16000
    sf.write(d / "1-2-0000.flac", (0.2 * np.sin(2 * np.pi * 440 * t)).astype(np.float32), 16000)
    (d / "1-2.trans.txt").write_text("1-2-0000 A LINE\n")
    argv = ["prepare", "librispeech", str(tmp_path / "src"), str(tmp_path / "out")]

    assert cli.main(argv) == 0
    assert "dev-clean: 1 written, 0 already present" in capsys.readouterr().out
    assert cli.main(argv) == 0
    assert "dev-clean: 0 written, 1 already present" in capsys.readouterr().out


def test_prepare_command_turns_bad_input_into_a_message_and_exit_status(tmp_path, capsys):
    assert cli.main(["prepare", "librispeech", str(tmp_path / "missing"), str(tmp_path / "out")]) == 1
    assert "No such source directory" in capsys.readouterr().err
