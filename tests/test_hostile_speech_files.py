"""What a corpus file can hold must never crash, hang or silently corrupt a dataset: every
bad file gives a ValueError or OSError naming it. Cases that could take the interpreter down
run in a forked child, so a regression fails the test instead of killing the run."""

import importlib.util
import os
import pickle
import select
import signal
import struct
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
import torch

from quillane.data import quenmark
from quillane.data.quenmark import ASRDataset
from test_speech_data import TOK, config, make_corpus

TOOLS = Path(__file__).resolve().parents[1] / "tools"


def run_in_child(fn, timeout=30.0):
    """fn() in a forked child: ("result", its value), (exception type name, message),
    ("signal", name) or ("hang", "")."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(null, 2)
            try:
                result = ("result", fn())
            except BaseException as err:  # noqa: BLE001 - reported to the parent
                result = (type(err).__name__, str(err))
            os.write(write, pickle.dumps(result))
        finally:
            os._exit(0)
    os.close(write)
    ready, _, _ = select.select([read], [], [], timeout)
    if not ready:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(read)
        return "hang", ""
    data = b"".join(iter(lambda: os.read(read, 65536), b""))
    os.close(read)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return "signal", signal.Signals(os.WTERMSIG(status)).name
    return pickle.loads(data)


def build_in_child(root, timeout=30.0, **settings):
    """Builds a training dataset over `root` in a forked child. Returns ("loaded", summary),
    (exception type name, message), ("signal", name) or ("hang", "") and the child's peak
    memory growth in MiB."""
    def build():
        reset_peak()
        start = resident_mib()
        try:
            ds = ASRDataset("train", config(root, **settings), TOK, True)
            return ("loaded", (len(ds), ds.transcripts_golden), peak_mib() - start)
        except Exception as err:  # noqa: BLE001 - reported to the parent
            return (type(err).__name__, str(err), peak_mib() - start)

    kind, result = run_in_child(build, timeout)
    return result if kind == "result" else (kind, result, 0.0)


def status_mib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    return 0.0


def reset_peak():
    """Restarts the peak resident size at the current one (it may come from the parent)."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def resident_mib():
    return status_mib("VmRSS")


def peak_mib():
    return status_mib("VmHWM")


def expect_error(root, file, *fragments, error="ValueError", **settings):
    kind, message, _ = build_in_child(root, **settings)
    assert kind == error, message
    assert str(file) in message
    for fragment in fragments:
        assert fragment in message


# ---------------------------------------------------------------------------
# Pickled transcripts
# ---------------------------------------------------------------------------

DTYPE_STATE = b"(K\x03X\x01\x00\x00\x00|NNNJ\xff\xff\xff\xffJ\xff\xff\xff\xffK?t"
ITEMS = b"X\x02\x00\x00\x00heX\x03\x00\x00\x00llo"


def array_pickle(items=ITEMS, count=2, dtype_state=DTYPE_STATE, contents=None):
    """The protocol-2 pickle of an object array of `count` strings, as NumPy writes it, with
    the parts a hostile file would change as arguments: the pickled items, the shape, the
    object dtype's state, or the whole contents field."""
    contents = b"](" + items + b"e" if contents is None else contents
    return (b"\x80\x02cnumpy._core.multiarray\n_reconstruct\ncnumpy\nndarray\nK\x00\x85C\x01b\x87R(K\x01J"
            + struct.pack("<i", count) + b"\x85cnumpy\ndtype\nX\x02\x00\x00\x00O8\x89\x88\x87R" + dtype_state
            + b"b\x89" + contents + b"tb.")


def memoised_repeats(count, text="x" * 200):
    """An object array whose items are one string stored once and referred to `count` times."""
    return array_pickle(b"X" + struct.pack("<I", len(text)) + text.encode() + b"q\x00" + b"h\x00" * (count - 1),
                        count)


def rebuilt_arrays(items=5000, arrays=20000):
    """One list of `items` strings made the contents of `arrays` arrays: an unpickler that
    copies contents would need items * arrays pointers."""
    contents = b"](X\x01\x00\x00\x00aq\x03" + b"h\x03" * (items - 1) + b"e"
    state = array_pickle(count=items, contents=contents)
    state = state[state.index(b"(K\x01J"):-3] + b"tq\x02"  # the state tuple, memoised
    return (b"\x80\x02cnumpy._core.multiarray\n_reconstruct\nq\x00cnumpy\nndarray\nK\x00\x85C\x01b\x87q\x01R"
            + state + b"b" + b"h\x00h\x01Rh\x02b" * arrays + b".")


def test_the_pickle_builder_writes_what_numpy_reads():
    assert pickle.loads(array_pickle()).tolist() == ["he", "llo"]
    assert pickle.loads(memoised_repeats(3, "ab")).tolist() == ["ab"] * 3
    assert pickle.loads(rebuilt_arrays(3, 0)).tolist() == ["a"] * 3


@pytest.mark.parametrize("payload, fragment", [
    # the dtype rebuilt without its object flags, so NumPy would read the bytes as pointers
    (array_pickle(dtype_state=DTYPE_STATE.replace(b"K?t", b"K\x00t"), contents=b"C\x10" + b"A" * 16),
     "does not have NumPy's own state"),
    (array_pickle(dtype_state=DTYPE_STATE.replace(b"K?t", b"K\x01t")), "does not have NumPy's own state"),
    (array_pickle(dtype_state=b"(K\x03X\x01\x00\x00\x00|NNNK\x00t"), "does not have NumPy's own state"),
    (array_pickle(dtype_state=DTYPE_STATE.replace(b"|", b"<")), "does not have NumPy's own state"),
    # the items given as raw bytes while the dtype keeps its flags
    (array_pickle(contents=b"C\x10" + b"A" * 16), "not an object array as NumPy writes one"),
    # globals beyond the array constructors
    (pickle.dumps(os.system, protocol=2), "global 'posix.system' is not allowed"),
    (b"\x80\x02cbuiltins\neval\nX\x03\x00\x00\x001+1\x85R.", "global 'builtins.eval' is not allowed"),
    # shapes and lengths that would make an unpickler allocate far more than the file holds
    (array_pickle(count=2 ** 30), "shape does not match its items"),
    (array_pickle(items=b"X\xff\xff\xff\x7fhe"), "ends early"),
    (memoised_repeats(20000), "repeats its strings"),
    (rebuilt_arrays(), "unbalanced stack"),
    # anything that is not an array of strings
    (b"", "not a pickle"),
    (pickle.dumps(1, protocol=2), "holds a int, not an array of characters"),
    (pickle.dumps(np.array(["a", None], dtype=object)), "holds a NoneType item"),
    (pickle.dumps(np.array(["a", b"b"], dtype=object)), "holds a bytes item"),
    (pickle.dumps(np.array([["a"]], dtype=object)), "multi-dimensional"),
    (pickle.dumps(np.array(["a"])), "numpy.dtype with arguments"),  # a pickled character array
    (array_pickle(items=b"X\x02\x00\x00\x00\xff\xfe" + ITEMS[7:]), "not valid UTF-8"),
    (b"PK\x03\x04rest of an archive", "an archive of arrays"),
])
def test_hostile_transcript_pickles_raise_naming_the_file(tmp_path, payload, fragment):
    make_corpus(tmp_path, n=3)
    path = tmp_path / "train" / "text" / "utt001.npy"
    path.write_bytes(payload)
    kind, message, grown = build_in_child(tmp_path)
    assert (kind, str(path) in message, fragment in message) == ("ValueError", True, True), message
    assert grown < 64  # memory stays in proportion to the file, whatever it claims


def test_pickles_beyond_any_transcript_size_are_refused_before_reading(tmp_path):
    make_corpus(tmp_path, n=2)
    path = tmp_path / "train" / "text" / "utt001.npy"
    with open(path, "wb") as f:
        f.write(b"\x80\x02")
        f.truncate(17 << 20)  # sparse: nothing is written beyond the opcode
    kind, message, grown = build_in_child(tmp_path)
    assert kind == "ValueError" and f"'{path}': a pickle of {17 << 20} bytes, more than the 16 MiB" in message
    assert grown < 8


def test_memoised_strings_within_bounds_still_load(tmp_path):
    make_corpus(tmp_path, n=2)
    (tmp_path / "train" / "text" / "utt001.npy").write_bytes(memoised_repeats(20, "ab"))
    kind, (length, golden), _ = build_in_child(tmp_path)
    assert (kind, length, golden[1]) == ("loaded", 2, TOK.encode("ab" * 20) + [2])


# ---------------------------------------------------------------------------
# .npy headers: refused wherever NumPy refuses them
# ---------------------------------------------------------------------------

def npy_file(header, data, version=1):
    size = struct.pack("<H", len(header)) if version == 1 else struct.pack("<I", len(header))
    return b"\x93NUMPY" + bytes([version, 0]) + size + header + data


FEATURES = np.arange(6 * 4, dtype=np.float32).reshape(6, 4) / 7
HEADER = b"{'descr': '<f4', 'fortran_order': False, 'shape': (6, 4), }"


@pytest.mark.parametrize("version, header", [
    (1, HEADER + b" " * 10 + b"\n"),
    (2, HEADER + b"\n"),
    (3, HEADER + b"\r\n"),
    (1, b'{"shape": (6L, 4L), "fortran_order": False, "descr": "<f4"}'),
    (1, b"{'descr': '<f4', 'descr': '<f4', 'fortran_order': False, 'shape': (6, 4)}\t\f"),
])
def test_headers_numpy_accepts_load_the_same_array(tmp_path, version, header):
    make_corpus(tmp_path, n=2)
    path = tmp_path / "train" / "fbank" / "utt001.npy"
    path.write_bytes(npy_file(header, FEATURES.tobytes(), version))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.testing.assert_array_equal(np.load(path), FEATURES)
    ds = ASRDataset("train", config(tmp_path), TOK, True)
    np.testing.assert_array_equal(ds.feats[1], FEATURES)


def with_header_length(data, delta):
    length = struct.unpack("<H", data[8:10])[0] + delta
    return data[:8] + struct.pack("<H", length) + data[10:]


def feature_file(header, version=1):
    return npy_file(header + b"\n", FEATURES.tobytes(), version)


VALID = feature_file(HEADER + b"    ")


@pytest.mark.parametrize("data, fragment", [
    (with_header_length(VALID, 64), "holds the byte"),  # the header swallows data bytes
    (feature_file(HEADER.replace(b"<f4", b"<f18446744073709551620")), "unsupported dtype '<f18446744073709551620'"),
    (feature_file(HEADER.replace(b"<f4", b"<f4294967300")), "unsupported dtype"),
    (feature_file(HEADER.replace(b"<f4", b"<f3")), "unsupported dtype"),
    (feature_file(HEADER.replace(b"(6, 4)", b"(24)")), "'shape' is not a tuple"),
    (feature_file(HEADER.replace(b"(6, 4)", b"(06, 4)")), "leading zeros"),
    (feature_file(HEADER.replace(b"(6, 4)", b"(6L, 4)"), version=3), "not a non-negative integer"),
    (feature_file(HEADER.replace(b"False", b"0")), "not True or False"),
    (feature_file(HEADER.replace(b"<f4", b"\xe9f4")), "holds the byte \\xe9"),
    (feature_file(HEADER + b" \x00"), "holds the byte \\x00"),
    (feature_file(HEADER + b" x"), "after the closing brace"),
    (feature_file(HEADER.replace(b"}", b"'extra': 1}")), "unexpected key"),
    (VALID[:6] + b"\x01\x01" + VALID[8:], "format version 1.1"),
    (VALID[:6] + b"\x04\x00" + VALID[8:], "format version 4.0"),
    (VALID[:-3], "truncated"),
    (VALID[:40], "truncated"),
])
@pytest.mark.parametrize("in_memory", [True, False])
def test_headers_numpy_refuses_are_refused_naming_the_file(tmp_path, data, fragment, in_memory):
    make_corpus(tmp_path, n=2)
    path = tmp_path / "train" / "fbank" / "utt001.npy"
    path.write_bytes(data)
    with pytest.raises(Exception), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.load(path)
    expect_error(tmp_path, path, "Feature file", fragment, in_memory=in_memory)


@pytest.mark.parametrize("code", [0x110000, 0x7FFFFFFF, 0xFFFFFFFF])
def test_characters_beyond_unicode_raise_naming_the_transcript(tmp_path, code):
    make_corpus(tmp_path, n=2)
    path = tmp_path / "train" / "text" / "utt001.npy"
    np.save(path, np.array(list("abc")))
    data = path.read_bytes()
    path.write_bytes(data[:-4] + struct.pack("<I", code))
    expect_error(tmp_path, path, "Transcript file", f"character 2 has the code {code}")


# ---------------------------------------------------------------------------
# Feature values and shapes
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("dtype, value, what", [
    (np.float32, np.nan, "holds NaN"), (np.float32, np.inf, "infinite"), (np.float32, -np.inf, "infinite"),
    (np.float64, 1e300, "infinite as float32"), (np.float64, -1e39, "infinite as float32"),
    (np.float16, np.inf, "infinite"), (">f8", np.nan, "holds NaN"),
])
@pytest.mark.parametrize("norm, stats, in_memory", [("global_mvn", False, True), ("global_mvn", True, True),
                                                    ("none", False, True), ("global_mvn", False, False),
                                                    ("none", False, False)])
def test_non_finite_features_raise_naming_the_file(tmp_path, dtype, value, what, norm, stats, in_memory):
    feats, _ = make_corpus(tmp_path, n=3, rows=8, dtype=dtype, fortran=stats)
    x = feats[2].copy(order="K")  # Fortran order where `stats` asks for it
    x[5, 2] = value
    path = tmp_path / "train" / "fbank" / "utt002.npy"
    np.save(path, x)
    given = (torch.zeros(6), torch.ones(6)) if stats else None
    with pytest.raises(ValueError) as err:
        ASRDataset("train", config(tmp_path, norm=norm, in_memory=in_memory), TOK, True, given)
    assert str(path) in str(err.value) and "row 5, frame 2" in str(err.value) and what in str(err.value)


def test_non_finite_values_beyond_the_kept_rows_are_ignored(tmp_path):
    feats, _ = make_corpus(tmp_path, n=3, rows=8)
    x = feats[1].copy()
    x[7, 0] = np.nan  # row 7 is cut away by num_feats=6
    np.save(tmp_path / "train" / "fbank" / "utt001.npy", x)
    ds = ASRDataset("train", config(tmp_path, norm="global_mvn"), TOK, True)
    assert torch.isfinite(ds.global_mean).all() and torch.isfinite(ds.global_std).all()


@pytest.mark.parametrize("rows, num_feats, norm, stats", [
    (1, 6, "global_mvn", True),   # would broadcast (1, T) to (6, T) against given statistics
    (1, 6, "cepstral", False),
    (8, 120, "none", False),      # num_feats beyond the data with no statistics at all
    (5, 6, "global_mvn", False),
])
@pytest.mark.parametrize("in_memory", [True, False])
def test_files_with_fewer_rows_than_num_feats_raise(tmp_path, rows, num_feats, norm, stats, in_memory):
    make_corpus(tmp_path, n=3, rows=8)
    path = tmp_path / "train" / "fbank" / "utt001.npy"
    np.save(path, np.ones((rows, 9), dtype=np.float32))
    given = (torch.zeros(num_feats), torch.ones(num_feats)) if stats else None
    with pytest.raises(ValueError) as err:
        ASRDataset("train", config(tmp_path, norm=norm, num_feats=num_feats, in_memory=in_memory), TOK, True, given)
    bad = path if rows < 8 else tmp_path / "train" / "fbank" / "utt000.npy"
    assert str(err.value) == (f"Feature file '{bad}': {min(rows, 8)} feature rows, "
                              f"fewer than data.num_feats={num_feats}")


@pytest.mark.parametrize("first, message", [
    ("dtype", "utt001.npy': unsupported dtype '<i2'"),
    ("nan", "utt001.npy': row 0, frame 0 holds NaN"),  # found reading values, after every header
    ("transcript", "utt001.npy': dtype '<i8' is not an array of characters"),
])
@pytest.mark.parametrize("in_memory", [True, False])
def test_the_first_bad_file_in_order_is_reported(tmp_path, first, message, in_memory):
    make_corpus(tmp_path, n=6)
    np.save(tmp_path / "train" / "fbank" / "utt004.npy", np.zeros((8, 3), dtype=np.int16))
    if first == "transcript":
        np.save(tmp_path / "train" / "text" / "utt001.npy", np.arange(3))
    else:
        np.save(tmp_path / "train" / "fbank" / "utt001.npy",
                np.zeros((8, 3), dtype=np.int16) if first == "dtype" else np.full((8, 3), np.nan, np.float32))
    with pytest.raises(ValueError, match=message):
        ASRDataset("train", config(tmp_path, in_memory=in_memory), TOK, True)


# ---------------------------------------------------------------------------
# Files that are not regular files, missing files, interruption
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind, fragment", [
    ("fifo", "a pipe, not a regular file"), ("directory", "a directory, not a file"),
    ("device", "not a regular file"), ("dangling", "No such file or directory")])
@pytest.mark.parametrize("in_memory", [True, False])
def test_special_files_named_npy_are_refused_without_blocking(tmp_path, kind, fragment, in_memory):
    make_corpus(tmp_path, n=3)
    path = tmp_path / "train" / ("text" if kind == "directory" else "fbank") / "utt001.npy"
    path.unlink()
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "device":
        path.symlink_to("/dev/zero")
    else:
        path.symlink_to(tmp_path / "missing.npy")
    started = time.monotonic()
    expect_error(tmp_path, path, fragment, error="FileNotFoundError" if kind == "dangling" else "ValueError",
                 in_memory=in_memory)
    assert time.monotonic() - started < 20


@pytest.mark.parametrize("missing, message", [
    ("text/utt001.npy", "feature file '{root}/train/fbank/utt001.npy' has no transcript file"),
    ("fbank/utt002.npy", "transcript file '{root}/train/text/utt002.npy' has no feature file"),
])
def test_unpaired_files_are_named(tmp_path, missing, message):
    make_corpus(tmp_path, n=4)
    (tmp_path / "train" / missing).unlink()
    with pytest.raises(ValueError) as err:
        ASRDataset("train", config(tmp_path), TOK, True)
    assert str(err.value) == ("Number of feature and transcript files must match: " +
                              message.format(root=tmp_path))


def test_interrupting_the_load_stops_it_and_the_patched_progress_bar_is_used(tmp_path, monkeypatch):
    make_corpus(tmp_path, n=40)
    seen = []

    def interrupting_bar(steps):
        for i in steps:
            seen.append(i)
            if i == 3:
                raise KeyboardInterrupt
            yield i

    monkeypatch.setattr(quenmark, "tqdm", interrupting_bar)
    with pytest.raises(KeyboardInterrupt):
        ASRDataset("train", config(tmp_path), TOK, True)
    assert seen == [0, 1, 2, 3]
    monkeypatch.undo()
    assert len(ASRDataset("train", config(tmp_path), TOK, True)) == 40


# ---------------------------------------------------------------------------
# Fuzzing
# ---------------------------------------------------------------------------

def load_fuzzer():
    spec = importlib.util.spec_from_file_location("fuzz_npy", TOOLS / "fuzz_npy.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_mutated_files_never_crash_or_hang(tmp_path):
    counts, failures = load_fuzzer().fuzz(250, seed=20240611, timeout=20.0, workdir=tmp_path)
    assert failures == []
    assert counts["loaded"] > 0 and counts["clear errors"] > 0
