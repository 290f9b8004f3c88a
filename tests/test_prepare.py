import os
import shutil
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf

from quillane.data import prepare

needs_espeak = pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="espeak-ng is not installed")

RATE = 16000
PARTITIONS = {
    "train-clean-100": {("19", "198"): {"19-198-0000": (440.0, 0.50, "HELLO WORLD"),
                                        "19-198-0001": (880.0, 0.40, "A SECOND LINE")},
                        ("26", "495"): {"26-495-0000": (660.0, 0.30, "IT'S THE THIRD")}},
    "dev-clean": {("84", "121123"): {"84-121123-0000": (300.0, 0.35, "DEV ONE"),
                                     "84-121123-0001": (500.0, 0.45, "DEV TWO")}},
}


def tone(freq, seconds, rate=RATE, amplitude=0.3):
    t = np.arange(int(rate * seconds)) / rate
    return (amplitude * np.sin(2 * np.pi * freq * t)).astype(np.float32)


def expected_frames(num_samples, rate=RATE):
    window, shift = int(rate * 0.025), int(rate * 0.010)
    return 1 + (num_samples - window) // shift


@pytest.fixture
def libri_tree(tmp_path):
    """A LibriSpeech-style tree: <partition>/<speaker>/<chapter>/ with FLAC files and a transcript."""
    src = tmp_path / "LibriSpeech"
    for partition, chapters in PARTITIONS.items():
        for (speaker, chapter), utts in chapters.items():
            d = src / partition / speaker / chapter
            d.mkdir(parents=True)
            lines = []
            for utt, (freq, seconds, text) in utts.items():
                sf.write(d / f"{utt}.flac", tone(freq, seconds), RATE)
                lines.append(f"{utt} {text}")
            (d / f"{speaker}-{chapter}.trans.txt").write_text("\n".join(lines) + "\n")
    return src


def all_utterances(partition):
    return {u: v for utts in PARTITIONS[partition].values() for u, v in utts.items()}


def files(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def test_librispeech_tree_becomes_a_corpus_the_speech_dataset_loads(libri_tree, tmp_path):
    from quillane.data.quenmark import ASRDataset
    from quillane.data.tokenizer import VantTokenizer

    out = tmp_path / "corpus"
    summary = prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert summary == {"dev-clean": {"written": 2, "skipped": 0}, "train-clean-100": {"written": 3, "skipped": 0}}

    for partition in PARTITIONS:
        utts = all_utterances(partition)
        names = sorted(f"{u}.npy" for u in utts)
        assert files(out / partition / "fbank") == names
        assert files(out / partition / "text") == names
        for utt, (_, seconds, text) in utts.items():
            feats = np.load(out / partition / "fbank" / f"{utt}.npy")
            assert feats.dtype == np.float32
            assert feats.shape == (80, expected_frames(int(RATE * seconds)))
            assert np.isfinite(feats).all()
        assert prepare.read_transcripts(str(out / partition / "transcripts.txt")) == sorted(
            (u, v[2]) for u, v in utts.items())

    tok = VantTokenizer()
    config = {"root": str(out), "norm": "global_mvn", "num_feats": 80,
              "specaug_conf": {"time_mask_width_range": 4, "freq_mask_width_range": 4}}
    ds = ASRDataset("train-clean-100", config, tok, True)
    assert len(ds) == 3
    texts = [tok.decode(ds[i][2].tolist(), skip_special_tokens=True) for i in range(len(ds))]
    assert texts == [v[2] for _, v in sorted(all_utterances("train-clean-100").items())]


def test_a_single_partition_folder_is_named_after_itself(libri_tree, tmp_path):
    out = tmp_path / "corpus"
    prepare.prepare_librispeech(str(libri_tree / "dev-clean"), str(out), progress=False)
    assert files(out) == ["corpus.json", "dev-clean"]
    assert files(out / "dev-clean" / "fbank") == ["84-121123-0000.npy", "84-121123-0001.npy"]


def test_unreadable_audio_is_named_and_leaves_no_partial_output(libri_tree, tmp_path):
    bad = libri_tree / "dev-clean" / "84" / "121123" / "84-121123-0001.flac"
    bad.write_bytes(b"fLaC but not really a flac file")
    out = tmp_path / "corpus"
    with pytest.raises(ValueError, match="84-121123-0001.flac"):
        prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    # the utterance before it is complete, the broken one has no file at all, nothing is half-written
    for sub in ("fbank", "text"):
        assert files(out / "dev-clean" / sub) == ["84-121123-0000.npy"]
    leftovers = [p for p in out.rglob("*") if p.is_file() and not p.name.endswith(".npy")]
    assert leftovers == [out / "corpus.json"]


def test_missing_audio_is_reported_before_anything_is_written(libri_tree, tmp_path):
    (libri_tree / "train-clean-100" / "26" / "495" / "26-495-0000.flac").unlink()
    out = tmp_path / "corpus"
    with pytest.raises(FileNotFoundError, match="26-495-0000.flac"):
        prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert not out.exists() or not any(p.is_file() for p in out.rglob("*"))


def test_rerun_skips_finished_utterances_and_redoes_incomplete_ones(libri_tree, tmp_path):
    out = tmp_path / "corpus"
    prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    kept = out / "train-clean-100" / "fbank" / "19-198-0000.npy"
    stamp = kept.stat().st_mtime_ns
    (out / "train-clean-100" / "text" / "26-495-0000.npy").unlink()  # as if interrupted

    summary = prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert summary == {"dev-clean": {"written": 0, "skipped": 2}, "train-clean-100": {"written": 1, "skipped": 2}}
    assert kept.stat().st_mtime_ns == stamp
    assert "".join(np.load(out / "train-clean-100" / "text" / "26-495-0000.npy").tolist()) == "IT'S THE THIRD"


def snapshot(root):
    return {str(p.relative_to(root)): (p.stat().st_mtime_ns, p.read_bytes())
            for p in sorted(Path(root).rglob("*")) if p.is_file()}


def truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[: len(data) - 7])


def leave_part_file(path):
    data = path.read_bytes()
    path.unlink()
    (path.parent / f".{path.name}.part").write_bytes(data[:100])  # killed while writing


DAMAGE = {
    "empty features": lambda p: p.write_bytes(b""),
    "truncated features": truncate,
    "float64 features": lambda p: np.save(p, np.load(p).astype(np.float64)),
    "features that are a fifo": lambda p: (p.unlink(), os.mkfifo(p)),
    "killed while writing": leave_part_file,
    "damaged transcript": lambda p: (p.parent.parent / "text" / p.name).write_bytes(b"\x93NUMPY garbage"),
}


@pytest.mark.parametrize("damage", sorted(DAMAGE))
def test_rerun_makes_damaged_outputs_again_and_keeps_complete_ones(libri_tree, tmp_path, damage):
    out, fresh = tmp_path / "corpus", tmp_path / "fresh"
    prepare.prepare_librispeech(str(libri_tree), str(fresh), progress=False)
    prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    damaged = out / "train-clean-100" / "fbank" / "19-198-0001.npy"
    DAMAGE[damage](damaged)
    before = snapshot(out)

    summary = prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert summary["train-clean-100"] == {"written": 1, "skipped": 2}
    assert {k: v[1] for k, v in snapshot(out).items()} == {k: v[1] for k, v in snapshot(fresh).items()}
    untouched = {k: v for k, v in snapshot(out).items() if "19-198-0001" not in k and "transcripts" not in k}
    assert untouched == {k: v for k, v in before.items() if k in untouched}


@pytest.mark.parametrize("manifest", [True, False], ids=["recorded", "older folder without a record"])
def test_rerun_with_other_settings_is_refused_and_changes_nothing(libri_tree, tmp_path, manifest):
    out = tmp_path / "corpus"
    prepare.prepare_librispeech(str(libri_tree), str(out), num_feats=40, progress=False)
    if not manifest:
        (out / "corpus.json").unlink()
    before = snapshot(out)
    expected = ("num_feats 40 there, 80 now" if manifest else
                r"dev-clean/fbank/84-121123-0000.npy holds 40 filter-bank rows, but num_feats is 80")
    with pytest.raises(ValueError, match=expected) as info:
        prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert f"delete {out} to start over" in str(info.value)
    assert snapshot(out) == before
    # the same settings resume as before
    assert prepare.prepare_librispeech(str(libri_tree), str(out), num_feats=40, progress=False)[
        "dev-clean"] == {"written": 0, "skipped": 2}


def test_corpus_record_of_another_kind_or_unreadable_is_refused(libri_tree, tmp_path):
    out = tmp_path / "corpus"
    out.mkdir()
    (out / "corpus.json").write_text('{"kind": "synth", "num_utterances": 3, "seed": 1}')
    with pytest.raises(ValueError, match="kind 'synth' there, 'librispeech' now.*num_feats None there, 80 now"):
        prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    (out / "corpus.json").write_text("{not json")
    with pytest.raises(ValueError, match="corpus.json is not a corpus description"):
        prepare.prepare_librispeech(str(libri_tree), str(out), progress=False)
    assert files(out) == ["corpus.json"]


def add_unlisted_recording(tree):
    sf.write(tree / "dev-clean" / "84" / "121123" / "84-121123-0002.flac", tone(200.0, 0.3), RATE)
    return "1 audio file has no line in the \\*.trans.txt file of its folder: .*84-121123-0002.flac"


def add_chapter_without_transcripts(tree):
    for i in range(7):
        d = tree / "dev-clean" / "99" / "1"
        d.mkdir(parents=True, exist_ok=True)
        sf.write(d / f"99-1-000{i}.flac", tone(200.0, 0.3), RATE)
    return "7 audio files have no line.*99-1-0004.flac and 2 more"


def break_transcript_encoding(tree):
    (tree / "dev-clean" / "84" / "121123" / "84-121123.trans.txt").write_bytes(b"84-121123-0000 CAF\xc3\n")
    return r"Transcript .*84-121123.trans.txt line 1 is not UTF-8 text"


def point_above_the_corpus(tree):
    return (f"{tree.parent} is a folder above the corpus: its transcript files lie 4 folders deep .* "
            f"Use {tree}, the folder that holds the partitions, as the source")


@pytest.mark.parametrize("spoil", [add_unlisted_recording, add_chapter_without_transcripts,
                                   break_transcript_encoding, point_above_the_corpus])
def test_unusable_sources_are_named_before_anything_is_written(libri_tree, tmp_path, spoil):
    expected = spoil(libri_tree)
    src = libri_tree.parent if spoil is point_above_the_corpus else libri_tree
    out = tmp_path / "corpus"
    with pytest.raises(ValueError, match=expected):
        prepare.prepare_librispeech(str(src), str(out), progress=False)
    assert not out.exists()


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_every_file_is_flushed_to_disk_before_it_is_renamed_into_place(libri_tree, tmp_path, run_python):
    out, trace = tmp_path / "corpus", tmp_path / "trace"
    code = f"from quillane.data import prepare; prepare.prepare_librispeech({str(libri_tree)!r}, {str(out)!r})"
    traced = run_python(f"""
        import subprocess, sys
        sys.exit(subprocess.run(["strace", "-f", "-y", "-o", {str(trace)!r}, "-e", "trace=fsync,rename,renameat,renameat2",
                                 sys.executable, "-c", {code!r}]).returncode)""")
    if traced.returncode != 0 or not trace.exists():
        pytest.skip("strace cannot trace here: " + traced.stderr[-200:])
    flushed, renamed = set(), []
    for line in trace.read_text().splitlines():
        if " fsync(" in line:
            flushed.add(line.split("<", 1)[1].split(">", 1)[0])
        elif any(f" {call}(" in line for call in ("rename", "renameat", "renameat2")):
            source = line.split('"')[1]
            assert source in flushed, f"{source} renamed before it was flushed"
            renamed.append(source)
    written = [p for p in out.rglob("*") if p.is_file()]
    assert len(renamed) == len(written) == 1 + 2 * 5 + 2  # record, features and text, transcript lists


def test_progress_goes_through_the_module_progress_bar(libri_tree, tmp_path, monkeypatch):
    bars = []

    class RecordingBar:
        def __init__(self, total, desc, **kwargs):
            self.desc, self.total, self.done = desc, total, 0
            bars.append(self)

        def update(self, n=1):
            self.done += n

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.closed = True

    monkeypatch.setattr(prepare, "tqdm", RecordingBar)
    prepare.prepare_librispeech(str(libri_tree), str(tmp_path / "corpus"))
    assert [(b.desc, b.total, b.done, b.closed) for b in bars] == [
        ("Preparing dev-clean", 2, 2, True), ("Preparing train-clean-100", 3, 3, True)]


def test_filter_banks_are_comparable_across_sample_rates_and_channels():
    """A tone lands in the same mel bins whatever the sample rate; stereo is the channel average."""
    peaks = {}
    for rate in (16000, 22050, 44100):
        feats = prepare.compute_fbank(tone(1000.0, 0.5, rate), rate)
        assert feats.shape == (80, expected_frames(int(rate * 0.5), rate))
        peaks[rate] = int(np.argmax(feats.mean(axis=1)))
    assert max(peaks.values()) - min(peaks.values()) <= 1

    mono = tone(440.0, 0.3)
    stereo = np.stack([mono, mono], axis=1)
    np.testing.assert_allclose(prepare.compute_fbank(stereo, RATE), prepare.compute_fbank(mono, RATE), rtol=1e-5)
    assert prepare.compute_fbank(mono, RATE, num_feats=40).shape[0] == 40


@pytest.mark.parametrize("kwargs, error", [
    ({"samples": np.zeros((2, 2, 2), np.float32), "sample_rate": RATE}, "1-D"),
    ({"samples": np.zeros(100, np.float32), "sample_rate": 0}, "sample_rate"),
    ({"samples": np.zeros(100, np.float32), "sample_rate": RATE, "num_feats": 0}, "num_feats"),
])
def test_compute_fbank_rejects_unusable_input(kwargs, error):
    with pytest.raises(ValueError, match=error):
        prepare.compute_fbank(**kwargs)


def test_grammar_sentences_are_deterministic_with_a_closed_vocabulary():
    a = prepare.synth_sentences(400, seed=3)
    assert a == prepare.synth_sentences(400, seed=3)
    assert a != prepare.synth_sentences(400, seed=4)
    vocabulary = {w for s in a for w in s.split()}
    assert len(vocabulary) < 90
    assert all(set(s) <= set("abcdefghijklmnopqrstuvwxyz ") for s in a)
    assert len(set(a)) > 300  # varied enough that held-out sentences are new


def corpus_bytes(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(Path(root).rglob("*")) if p.is_file()}


@needs_espeak
def test_synthetic_corpus_is_deterministic_and_resumable(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    summary = prepare.prepare_synth(str(a), num_utterances=12, seed=7, progress=False)
    assert {k: v["written"] for k, v in summary.items()} == {"train-clean-100": 10, "dev-clean": 1, "test-clean": 1}
    prepare.prepare_synth(str(b), num_utterances=12, seed=7, progress=False)
    assert corpus_bytes(a) == corpus_bytes(b)

    # the test partition has features and references but no text folder
    assert files(a / "test-clean") == ["fbank", "transcripts.txt"]
    refs = prepare.read_transcripts(str(a / "test-clean" / "transcripts.txt"))
    assert [f"{u}.npy" for u, _ in refs] == files(a / "test-clean" / "fbank")
    train = {t for _, t in prepare.read_transcripts(str(a / "train-clean-100" / "transcripts.txt"))}
    assert not {t for _, t in refs} & train

    # an utterance lost in an interrupted run is made again, identically
    lost = b / "train-clean-100" / "fbank" / "synth-000004.npy"
    lost.unlink()
    summary = prepare.prepare_synth(str(b), num_utterances=12, seed=7, progress=False)
    assert summary["train-clean-100"] == {"written": 1, "skipped": 9}
    assert corpus_bytes(a) == corpus_bytes(b)


@needs_espeak
def test_synthetic_corpus_folder_refuses_other_settings(tmp_path):
    prepare.prepare_synth(str(tmp_path), num_utterances=3, seed=1, progress=False)
    with pytest.raises(ValueError, match="other settings"):
        prepare.prepare_synth(str(tmp_path), num_utterances=3, seed=2, progress=False)


def test_synthetic_corpus_needs_one_utterance_per_partition(tmp_path):
    with pytest.raises(ValueError, match="at least 3"):
        prepare.prepare_synth(str(tmp_path), num_utterances=2, progress=False)


def test_missing_espeak_names_the_install_command(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(FileNotFoundError, match="apt-get install -y espeak-ng"):
        prepare.prepare_synth(str(tmp_path / "c"), num_utterances=3, progress=False)
