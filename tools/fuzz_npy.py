"""Fuzzes the speech dataset's file reader with mutated feature and transcript files.

Each case writes a one-utterance corpus whose feature or transcript file is a mutation of a
valid file (header bytes, header length, dtype strings, shapes, truncation, pickle opcodes
and lengths) and builds an ASRDataset over it in a forked child process. A case ends in one
of: loaded, a clear error (ValueError or OSError naming the file or its folder), an unclear
error (any other exception, or one that names neither), a crash (the child died of a signal)
or a hang (no result within the timeout). Crashes, hangs and unclear errors must all be 0.

    PYTHONPATH=src python tools/fuzz_npy.py --cases 5000 --seed 1

The unit tests run a few hundred cases through `fuzz` as well.
"""

import argparse
import io
import os
import pickle
import random
import re
import resource
import shutil
import signal
import struct
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

OUTCOMES = ("loaded", "clear errors", "unclear errors", "crashes", "hangs")

DESCRS = [b"<f18446744073709551620", b"<f4294967300", b"<f0", b"<f3", b"<f16", b"<f2", b">f8", b"=f4", b"|f4",
          b"f4", b"<i4", b"|u1", b"|b1", b"<c8", b"|S1", b"|S0", b"<U0", b"<U4294967296", b"<U1", b">U2", b"|O",
          b"|O4", b"|O8x", b"O", b"<M8[ns]", b"|V4", b"<f4\\x00", b"", b"<", b"\xe9<f4"]
SHAPES = [b"()", b"(0,)", b"(5)", b"(2,)", b"(1, 1)", b"(0, 0)", b"(4, 0)", b"(99999999999, 2)",
          b"(9223372036854775807, 9223372036854775807)", b"(4, -1)", b"(2, 2, 2)", b"(4,, 5)", b"(04, 5)",
          b"(4L, 5L)", b"(4, 5,)", b"[4, 5]", b"(4 5)"]
ORDERS = [b"True", b"False", b"1", b"None", b"Truex", b"'False'"]
INTERESTING = [0x00, 0x01, 0x0a, 0x20, 0x27, 0x28, 0x29, 0x2c, 0x3a, 0x7b, 0x7d, 0x7f, 0x80, 0x93, 0xff]
# Pickle opcodes a mutation may insert (including ones the reader refuses outright).
OPCODES = b"().0NKMJGXCBRbtqhjae\x85\x86\x87\x88\x89\x8c\x93\x94\x95cI]}s"


def feature_seeds():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(4, 7))
    return [array_bytes(x.astype(np.float32)), array_bytes(np.asfortranarray(x)), array_bytes(x.astype(np.float16)),
            array_bytes(x.astype(">f4"))]


def transcript_seeds():
    chars = list("héllo wörld")
    seeds = [array_bytes(np.array(chars)), array_bytes(np.array(["hé", "llo"])),
             array_bytes(np.array(chars, dtype=object)), array_bytes(np.array("0-d", dtype=object))]
    seeds += [pickle.dumps(np.array(chars, dtype=object), protocol=p) for p in (2, 3, 5)]
    return seeds


def array_bytes(array):
    buf = io.BytesIO()
    np.save(buf, array, allow_pickle=True)
    return buf.getvalue()


def header_end(data):
    """Offset of the first byte after an .npy header (0 when there is none)."""
    if not data.startswith(b"\x93NUMPY") or len(data) < 12:
        return 0
    if data[6] == 1:
        return 10 + struct.unpack("<H", data[8:10])[0]
    return 12 + struct.unpack("<I", data[8:12])[0]


def replace_field(data, pattern, choices, rng):
    match = re.search(pattern, data)
    if not match:
        return data
    return data[:match.start(1)] + rng.choice(choices) + data[match.end(1):]


def mutate(data, rng):
    """One random mutation of a file's bytes."""
    data = bytearray(data)
    end = header_end(data) or len(data)
    kind = rng.randrange(11)
    if kind == 0:  # flip bits, mostly in the header
        for _ in range(rng.randint(1, 4)):
            i = rng.randrange(min(len(data), end + 16) if rng.random() < 0.8 else len(data))
            data[i] ^= 1 << rng.randrange(8)
    elif kind == 1:  # interesting byte values
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.choice(INTERESTING)
    elif kind == 2:  # truncation
        del data[rng.randrange(len(data)):]
    elif kind == 3:  # trailing or inserted junk
        at = rng.choice([len(data), end, rng.randrange(len(data) + 1)])
        data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 80)))
    elif kind == 4 and data.startswith(b"\x93NUMPY"):  # header length field
        width = 2 if data[6] == 1 else 4
        old = int.from_bytes(data[8:8 + width], "little")
        new = rng.choice([old + 64, old - 1, old + 1, 0, 2 ** (8 * width) - 1, old * 2])
        data[8:8 + width] = (new % 2 ** (8 * width)).to_bytes(width, "little")
    elif kind == 5 and data.startswith(b"\x93NUMPY"):  # format version
        data[6], data[7] = rng.choice([(0, 0), (1, 1), (2, 0), (3, 0), (4, 0), (255, 255), (1, 0)])
    elif kind == 6:  # dtype, shape and order fields
        field = rng.randrange(3)
        if field == 0:
            data = bytearray(replace_field(bytes(data), rb"'descr': '([^']*)'", DESCRS, rng))
        elif field == 1:
            data = bytearray(replace_field(bytes(data), rb"'shape': (\([^)]*\))", SHAPES, rng))
        else:
            data = bytearray(replace_field(bytes(data), rb"'fortran_order': (\w+)", ORDERS, rng))
    elif kind == 7:  # pickle: small integers (dtype flags, sizes, shapes, memo indices)
        spots = [i for i in range(end, len(data) - 1) if data[i] in b"KqhJ"]
        for _ in range(rng.randint(1, 3)):
            if spots:
                i = rng.choice(spots)
                data[i + 1] = rng.choice([0, 1, 3, 8, 63, 127, 255, rng.randrange(256)])
    elif kind == 8:  # pickle: string and byte lengths
        spots = [i for i in range(end, len(data) - 4) if data[i] in b"X\x8cCB\x95"]
        if spots:
            i = rng.choice(spots)
            width = 1 if data[i] in b"\x8cC" else 8 if data[i] == 0x95 else 4
            data[i + 1:i + 1 + width] = rng.choice([0, 1, 255, 2 ** 31 - 1, 2 ** 32 - 1]).to_bytes(
                8, "little")[:width]
    elif kind == 9:  # pickle: opcodes inserted, deleted or duplicated
        for _ in range(rng.randint(1, 4)):
            i = rng.randrange(end, len(data) + 1) if end < len(data) else rng.randrange(len(data) + 1)
            action = rng.randrange(3)
            if action == 0:
                data[i:i] = bytes([rng.choice(OPCODES)])
            elif action == 1 and i < len(data):
                del data[i]
            elif i < len(data):
                data[i:i] = data[i:i + rng.randint(1, 24)] * rng.randint(2, 50)
    else:  # a hostile object array: dtype flags cleared, items given as raw bytes (pointers)
        data = bytes(data).replace(b"K?t", b"K" + bytes([rng.choice([0, 1, 8, 62, 63])]) + b"t")
        if rng.random() < 0.3:
            data = data.replace(b"J\xff\xff\xff\xffJ\xff\xff\xff\xff", b"J\x00\x00\x00\x80J\x08\x00\x00\x00")
        items = data.rfind(b"\x89]")
        if items > 0 and rng.random() < 0.7:
            junk = bytes(rng.randrange(256) for _ in range(8 * rng.randint(1, 4)))
            data = data[:items] + b"\x89C" + bytes([len(junk)]) + junk + b"tb."
        data = bytearray(data)
    return bytes(data)


class TinyTokenizer:
    pad_id, sos_id, eos_id = 0, 1, 2

    def encode(self, text):
        return [3 + ord(c) % 61 for c in text]


def run_child(root, norm, report):
    """Builds the dataset; exit status 0 loaded, 3 clear error, 4 unclear error."""
    from quillane.data.quenmark import ASRDataset

    config = dict(root=str(root), norm=norm, num_feats=4, specaug=False,
                  specaug_conf=dict(time_mask_width_range=2, freq_mask_width_range=2))
    try:
        ASRDataset("train", config, TinyTokenizer(), True)
        return 0
    except (ValueError, OSError) as err:
        if str(root) in str(err):  # names the file, or the partition's folder
            return 3
        report.write_text(f"{type(err).__name__}: {err}")
        return 4
    except BaseException as err:  # noqa: BLE001 - classified, not swallowed
        report.write_text(f"{type(err).__name__}: {err}")
        return 4


def run_case(root, feature, transcript, norm, timeout):
    """Writes the corpus and loads it in a forked child; returns (outcome, detail)."""
    shutil.rmtree(root, ignore_errors=True)
    for folder, data in (("fbank", feature), ("text", transcript)):
        (root / "train" / folder).mkdir(parents=True)
        (root / "train" / folder / "u0.npy").write_bytes(data)
    report = root / "report.txt"
    pid = os.fork()
    if pid == 0:  # child: quiet, and never returns into the caller's code
        status = 4
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(null, 2)
            status = run_child(root, norm, report)
        finally:
            os._exit(status)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hangs", ""
        time.sleep(0.002)
    if os.WIFSIGNALED(status):
        return "crashes", signal.Signals(os.WTERMSIG(status)).name
    code = os.WEXITSTATUS(status)
    if code == 0:
        return "loaded", ""
    if code == 3:
        return "clear errors", ""
    return "unclear errors", report.read_text() if report.exists() else f"exit status {code}"


def fuzz(cases, seed=0, timeout=10.0, workdir=None):
    """Runs `cases` mutations; returns (Counter of outcomes, list of (case, outcome, detail) failures)."""
    import quillane.data.quenmark  # noqa: F401 - imported once here, so each forked child starts warm

    rng = random.Random(seed)
    features, transcripts = feature_seeds(), transcript_seeds()
    counts, failures = Counter({name: 0 for name in OUTCOMES}), []
    base = Path(tempfile.mkdtemp(prefix="fuzz_npy_", dir=workdir))
    try:
        for case in range(cases):
            feature, transcript = rng.choice(features), rng.choice(transcripts)
            if rng.random() < 0.5:
                feature = mutate(feature, rng)
            else:
                transcript = mutate(transcript, rng)
            if rng.random() < 0.2:  # now and then a second mutation on top
                feature = mutate(feature, rng)
            norm = rng.choice(["none", "global_mvn"])
            outcome, detail = run_case(base / "corpus", feature, transcript, norm, timeout)
            counts[outcome] += 1
            if outcome not in ("loaded", "clear errors"):
                failures.append((case, outcome, detail))
                keep = base / f"failure{case}"
                shutil.copytree(base / "corpus", keep)
    finally:
        if not failures:
            shutil.rmtree(base, ignore_errors=True)
    return counts, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds before a case counts as a hang")
    args = parser.parse_args()
    start = time.monotonic()
    counts, failures = fuzz(args.cases, args.seed, args.timeout)
    elapsed = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    print(f"cases: {args.cases}  (seed {args.seed}, {elapsed:.1f} s)")
    for name in OUTCOMES:
        print(f"{name}: {counts[name]}")
    print(f"largest child resident size: {peak:.0f} MiB")
    for case, outcome, detail in failures[:20]:
        print(f"  case {case}: {outcome} {detail}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
