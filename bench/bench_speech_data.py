"""Speech dataset benchmark: corpus loading with global statistics, and batch collation.

Generates (once) a synthetic corpus of 2,000 utterances (80 x 300-1,500 float32 frames,
transcripts of 50-300 characters) and times, in one run:
  (a) ASRDataset construction with "global_mvn" against a plain Python/NumPy loop
      (np.load per file, per-utterance block Welford update on torch tensors);
  (b) collation of 500 batches of 32 with masking on, against pad_sequence plus a
      per-utterance torch masking loop.
Each comparison warms both sides up once, then alternates them (reference first on even
repeats, ours first on odd ones) for --repeats rounds and reports medians, the spread of
each side and the range of the per-round speed-ups, so background load shows as noise
instead of deciding the figure. The corpus is read from the page cache after the warm-up.
The reference loops run with one torch thread (--torch-threads): with more, torch's waiting
threads make them depend on whatever else the machine runs.
Construction is timed twice: repeated in the benchmark's process, and once per fresh
interpreter (as a training run builds its dataset), where every page the features go to is
new to the process; repeated constructions reuse pages that earlier ones freed, which
favours the side whose allocator keeps them.
Also reports the peak resident memory of construction over the raw feature bytes.

--profile breaks construction down into its steps (medians over the same repeats), with the
corpus in the page cache (warm) and evicted from it before each run (cold): `cat` of the files
into /dev/null (the physical floor), then each side's file reads, tensor creation,
statistics, transcript reading and tokenisation.

Targets: construction >= 4x faster, collation >= 2x faster, peak memory <= 1.3x the
feature bytes, statistics equal to the reference to float32 precision (ASRDataset sums in
one pass, the reference updates block by block: the float32 results may differ in the last
bit, the float64 sums agree to about 1e-15).

Usage: PYTHONPATH=src python bench/bench_speech_data.py [--root DIR] [--utterances N]
           [--repeats R] [--profile] [--torch-threads N]
"""
import argparse
import contextlib
import io
import os
import resource
import shutil
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np
import torch
from torch.nn.utils.rnn import pad_sequence
from tqdm import tqdm

from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer

NUM_FEATS = 80
SPECAUG = dict(time_mask_width_range=40, freq_mask_width_range=10, apply_freq_mask=True, num_freq_mask=2,
               apply_time_mask=True, num_time_mask=2)
ALPHABET = np.array(list("abcdefghijklmnopqrstuvwxyz '"))


def generate(root, n):
    marker = os.path.join(root, f"complete-{n}")
    if os.path.exists(marker):
        return
    rng = np.random.default_rng(1234)
    for sub in ("fbank", "text"):
        os.makedirs(os.path.join(root, "train", sub), exist_ok=True)
    for i in tqdm(range(n), desc="generating corpus"):
        frames = int(rng.integers(300, 1501))
        feats = (rng.standard_normal((NUM_FEATS, frames), dtype=np.float32) * 4 - 2).astype(np.float32)
        np.save(os.path.join(root, "train", "fbank", f"utt{i:05d}.npy"), feats)
        chars = ALPHABET[rng.integers(0, len(ALPHABET), int(rng.integers(50, 301)))]
        np.save(os.path.join(root, "train", "text", f"utt{i:05d}.npy"), chars)
    open(marker, "w").close()


def config(root, specaug=False, norm="global_mvn", in_memory=True):
    return dict(root=root, norm=norm, num_feats=NUM_FEATS, specaug=specaug, specaug_conf=dict(SPECAUG),
                in_memory=in_memory)


def float32_ulps(a, b):
    """The largest distance between a and b in units in the last place of float32."""
    ia, ib = a.float().view(torch.int32).long(), b.float().view(torch.int32).long()
    ia = torch.where(ia < 0, -(ia & 0x7FFFFFFF), ia)  # sign-magnitude to a monotonic integer line
    ib = torch.where(ib < 0, -(ib & 0x7FFFFFFF), ib)
    return int((ia - ib).abs().max())


def corpus_files(root):
    fdir, tdir = os.path.join(root, "train", "fbank"), os.path.join(root, "train", "text")
    ffiles = [os.path.join(fdir, f) for f in sorted(os.listdir(fdir)) if f.endswith(".npy")]
    tfiles = [os.path.join(tdir, f) for f in sorted(os.listdir(tdir)) if f.endswith(".npy")]
    return ffiles, tfiles


def reference_construction(root, tokenizer, steps=None):
    """The plain loop: np.load per file, block Welford update in float64 on torch tensors.

    With `steps` (a dict), the time of each step is added to it under the step's name."""
    clock = time.perf_counter
    ffiles, tfiles = corpus_files(root)
    feats, shifted, golden = [], [], []
    count, mean, m2 = 0, torch.zeros(NUM_FEATS, dtype=torch.float64), torch.zeros(NUM_FEATS, dtype=torch.float64)
    t = {k: 0.0 for k in ("feature reads", "tensor creation", "statistics", "transcript reads", "tokenisation")}
    for i in tqdm(range(len(ffiles))):
        t0 = clock()
        feat = np.load(ffiles[i])[:NUM_FEATS, :]
        feats.append(feat)
        t1 = clock()
        x = torch.tensor(feat, dtype=torch.float32)
        t2 = clock()
        count += x.shape[1]
        delta = x - mean.unsqueeze(1)
        mean += delta.sum(dim=1) / count
        m2 += (delta * (x - mean.unsqueeze(1))).sum(dim=1)
        t3 = clock()
        text = "".join(np.load(tfiles[i], allow_pickle=True).tolist())
        t4 = clock()
        tokens = tokenizer.encode(text)
        shifted.append([tokenizer.sos_id] + tokens)
        golden.append(tokens + [tokenizer.eos_id])
        t5 = clock()
        if steps is not None:
            for name, dt in zip(t, (t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4)):
                t[name] += dt
    std = torch.sqrt(m2 / (count - 1) + 1e-8).float()
    if steps is not None:
        for name, dt in t.items():
            steps.setdefault(name, []).append(dt)
    return feats, mean.float(), std


def reference_collate(batch, pad):
    feats = pad_sequence([s[0].T for s in batch], batch_first=True, padding_value=0.0)
    lengths = torch.tensor([s[0].shape[1] for s in batch], dtype=torch.long)
    shifted = pad_sequence([s[1] for s in batch], batch_first=True, padding_value=pad)
    golden = pad_sequence([s[2] for s in batch], batch_first=True, padding_value=pad)
    tlengths = torch.tensor([len(s[1]) for s in batch], dtype=torch.long)
    spec = feats.permute(0, 2, 1)
    for axis, param, reps in ((1, SPECAUG["freq_mask_width_range"], SPECAUG["num_freq_mask"]),
                              (2, SPECAUG["time_mask_width_range"], SPECAUG["num_time_mask"])):
        for _ in range(reps):
            width = torch.rand(spec.shape[0]) * param
            start = torch.rand(spec.shape[0]) * (spec.shape[axis] - width)
            spec = spec.clone()
            for b in range(spec.shape[0]):
                lo = int(start[b])
                hi = lo + int(width[b])
                if axis == 1:
                    spec[b, lo:hi, :] = 0.0
                else:
                    spec[b, :, lo:hi] = 0.0
    return spec.permute(0, 2, 1), shifted, golden, lengths, tlengths


def quiet(fn, *args, **kwargs):
    """fn(*args, **kwargs) with its progress bars and prints swallowed."""
    with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
        return fn(*args, **kwargs)


def cpu_seconds():
    """CPU time of this process's threads and of its finished child processes."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def measure(fn):
    """(wall-clock seconds, CPU seconds) of fn(). CPU time barely depends on what else the
    machine runs, so it shows the work done when the wall clock is dominated by waiting."""
    w0, c0 = time.perf_counter(), cpu_seconds()
    result = fn()
    wall, cpu = time.perf_counter() - w0, cpu_seconds() - c0
    del result  # freed outside the measured region
    return wall, cpu


def alternate(reference, ours, repeats, measured=False):
    """Measures both sides after one warm-up each, alternating which goes first; `measured`
    sides return their own (wall, CPU) seconds."""
    reference(), ours()
    ref_times, our_times = [], []
    for k in range(repeats):
        sides = [(ref_times, reference), (our_times, ours)]
        for times, fn in sides if k % 2 == 0 else sides[::-1]:
            times.append(fn() if measured else measure(fn))
    return ref_times, our_times


def spread(times):
    """(max - min) / median, as a percentage."""
    return 100 * (max(times) - min(times)) / statistics.median(times)


def report(label, ref_measured, our_measured, our_name, note=""):
    for clock, k in (("wall", 0), ("cpu ", 1)):
        ref_times, our_times = [m[k] for m in ref_measured], [m[k] for m in our_measured]
        ref, ours = statistics.median(ref_times), statistics.median(our_times)
        ratios = [r / o for r, o in zip(ref_times, our_times)]
        print(f"{label}{clock}  reference {ref:7.3f} s (spread {spread(ref_times):5.1f}%)   {our_name} {ours:7.3f} s "
              f"(spread {spread(our_times):5.1f}%)   speed-up {ref / ours:5.2f}x "
              f"[rounds {min(ratios):.2f}-{max(ratios):.2f}x]{note if k == 0 else ''}")
        label = " " * len(label)


def fresh_construction(root, side):
    """(wall, CPU) seconds of one construction in a fresh interpreter, as a training run builds
    its dataset: every page the features go to is new to the process (repeated constructions
    in one process reuse the pages earlier ones freed)."""
    code = textwrap.dedent(f"""
        import contextlib, io, sys, time
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import bench_speech_data as b
        from quillane.data.tokenizer import VantTokenizer
        import torch
        torch.set_num_threads(1)
        tok = VantTokenizer()
        build = (lambda: b.reference_construction({root!r}, tok)) if {side!r} == "reference" else (
            lambda: b.ASRDataset("train", b.config({root!r}), tok, True))
        with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
            wall, cpu = b.measure(build)
        print(wall, cpu)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    if out.returncode:
        raise RuntimeError(out.stderr)
    return tuple(map(float, out.stdout.split()))


def peak_memory_ratio(root, feature_bytes):
    """Peak RSS growth of construction, measured in a fresh interpreter, over the feature bytes."""
    code = textwrap.dedent(f"""
        import io, contextlib
        from quillane.data.quenmark import ASRDataset
        from quillane.data.tokenizer import VantTokenizer
        tok = VantTokenizer()
        def status(key):  # VmHWM is this process's own peak (ru_maxrss can carry the parent's)
            with open('/proc/self/status') as f:
                for line in f:
                    if line.startswith(key):
                        return int(line.split()[1]) * 1024
        before = status('VmHWM')
        with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
            ds = ASRDataset('train', {config(root)!r}, tok, True)
        print(status('VmHWM') - before, status('VmRSS') - before)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    if out.returncode:
        raise RuntimeError(out.stderr)
    peak, held = map(int, out.stdout.split())
    return peak / feature_bytes, held / feature_bytes


class NullTokenizer:
    """Ids without tokenising: the transcripts are still read and decoded."""

    pad_id, sos_id, eos_id = 0, 1, 2

    def encode(self, text):
        return []


def features_only_root(root):
    """A corpus view whose 'test-clean' partition is the training features (no transcripts are read)."""
    view = os.path.join(root, "features-only")
    if not os.path.isdir(os.path.join(view, "test-clean")):
        os.makedirs(os.path.join(view, "test-clean"), exist_ok=True)
        os.symlink(os.path.join(os.path.abspath(root), "train", "fbank"), os.path.join(view, "test-clean", "fbank"))
    return view


def evict(files):
    """Drops the files' pages from the page cache, so the next read comes from the disk."""
    for path in files:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)  # dirty pages cannot be dropped
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def profile_construction(root, tokenizer, repeats):
    """Where construction time goes, in the plain loop and in ASRDataset, from the page cache
    (warm) and from the disk (cold: the corpus evicted before each run)."""
    ffiles, tfiles = corpus_files(root)
    everything = ffiles + tfiles
    cat = shutil.which("cat")
    floor = lambda files: lambda: subprocess.run([cat, *files], stdout=subprocess.DEVNULL, check=True)  # noqa: E731
    features = features_only_root(root)
    dataset = lambda *a: lambda: quiet(ASRDataset, *a)  # noqa: E731
    texts = ["".join(np.load(f).tolist()) for f in tfiles]
    cold = lambda: evict(everything)  # noqa: E731
    variants = {  # name: (preparation, timed step)
        "warm: cat features > /dev/null": (None, floor(ffiles)),
        "warm: cat transcripts > /dev/null": (None, floor(tfiles)),
        "warm: ours, feature reads": (None, dataset("test-clean", config(features, norm="none"), tokenizer, True)),
        "warm: ours, + statistics": (None, dataset("test-clean", config(features), tokenizer, True)),
        "warm: ours, + transcript reads": (None, dataset("train", config(root), NullTokenizer(), True)),
        "warm: ours, + tokenisation (all)": (None, dataset("train", config(root), tokenizer, True)),
        "warm: ours, memory-mapped (all)": (None, dataset("train", config(root, in_memory=False), tokenizer, True)),
        "warm: tokenizer.encode alone": (None, lambda: [tokenizer.encode(t) for t in texts]),
        "cold: cat all files > /dev/null": (cold, floor(everything)),
        "cold: ours (all)": (cold, dataset("train", config(root), tokenizer, True)),
    }
    for prepare, fn in variants.values():
        fn()  # warm-up
    times = {name: [] for name in variants}
    steps = {"warm": {}, "cold": {}}
    for k in range(repeats):
        for state in ("warm", "cold"):
            if state == "cold":
                cold()
            c0 = cpu_seconds()
            t0 = time.perf_counter()
            quiet(reference_construction, root, tokenizer, steps[state])
            steps[state].setdefault("total", []).append(time.perf_counter() - t0)
            steps[state].setdefault("total cpu", []).append(cpu_seconds() - c0)
        for name in list(variants) if k % 2 == 0 else list(variants)[::-1]:
            prepare, fn = variants[name]
            if prepare:
                prepare()
            times[name].append(measure(fn))

    print("    profile of construction (medians; spread = (max - min) / median of the wall time):")
    for state, measured in steps.items():
        total, cpu = statistics.median(measured["total"]), statistics.median(measured.pop("total cpu"))
        for name, values in measured.items():
            print(f"      {state}: plain loop, {name:18s} wall {statistics.median(values):7.3f} s  "
                  f"{statistics.median(values) / total * 100:5.1f}%  spread {spread(values):5.1f}%"
                  + (f"  (cpu {cpu:.3f} s)" if name == "total" else ""))
    for name, values in times.items():
        wall, cpu = [v[0] for v in values], [v[1] for v in values]
        print(f"      {name:42s} wall {statistics.median(wall):7.3f} s  cpu {statistics.median(cpu):7.3f} s  "
              f"spread {spread(wall):5.1f}%")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default="/tmp/quillane_speech_bench")
    parser.add_argument("--utterances", type=int, default=2000)
    parser.add_argument("--batches", type=int, default=500)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--profile", action="store_true", help="break construction down into its steps")
    parser.add_argument("--torch-threads", type=int, default=1,
                        help="torch's intra-op threads for the reference loops (default 1: their per-utterance "
                             "operations are too small to gain from more, and waiting threads make them depend "
                             "on the machine's load)")
    args = parser.parse_args()
    if args.repeats < 3:
        parser.error("--repeats must be at least 3")
    generate(args.root, args.utterances)
    tokenizer = VantTokenizer()
    torch.set_num_threads(args.torch_threads)
    print(f"threads available: {os.cpu_count()}, torch threads: {torch.get_num_threads()}, "
          f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}, repeats: {args.repeats}")

    # (a) construction
    ref_feats, ref_mean, ref_std = quiet(reference_construction, args.root, tokenizer)
    feature_bytes = sum(f.nbytes for f in ref_feats)
    del ref_feats
    ds = quiet(ASRDataset, "train", config(args.root, specaug=True), tokenizer, True)
    mean_diff = (ds.global_mean - ref_mean).abs().max().item()
    std_diff = (ds.global_std - ref_std).abs().max().item()
    ref_times, our_times = alternate(lambda: quiet(reference_construction, args.root, tokenizer),
                                     lambda: quiet(ASRDataset, "train", config(args.root), tokenizer, True),
                                     args.repeats)
    print(f"corpus: {len(ds)} utterances, {feature_bytes / 2**20:.1f} MiB of features")
    report("(a) construction ", ref_times, our_times, "ASRDataset", "   (repeated in this process)")
    ref_fresh, our_fresh = alternate(lambda: fresh_construction(args.root, "reference"),
                                     lambda: fresh_construction(args.root, "ours"), args.repeats, measured=True)
    report("    construction ", ref_fresh, our_fresh, "ASRDataset", "   (once per fresh interpreter)")
    ulps = max(float32_ulps(ds.global_mean, ref_mean), float32_ulps(ds.global_std, ref_std))
    print(f"    statistics    max |mean diff| {mean_diff:.3g}   max |std diff| {std_diff:.3g}   "
          f"identical: {torch.equal(ds.global_mean, ref_mean) and torch.equal(ds.global_std, ref_std)}   "
          f"float32 ulps apart: {ulps} ({'equal to float32 precision' if ulps <= 1 else 'DIFFERENT'})")
    if args.profile:
        profile_construction(args.root, tokenizer, args.repeats)

    # (b) collation
    samples = [ds[i] for i in range(len(ds))]
    rng = np.random.default_rng(0)
    batches = [[samples[j] for j in rng.choice(len(samples), args.batch_size, replace=False)]
               for _ in range(args.batches)]

    def collate_all(collate):
        def run():
            torch.manual_seed(0)
            for batch in batches:
                collate(batch)
        return run

    ref_times, our_times = alternate(collate_all(lambda b: reference_collate(b, tokenizer.pad_id)),
                                     collate_all(ds.collate_fn), args.repeats)
    torch.manual_seed(5)
    ours = ds.collate_fn(batches[0])
    torch.manual_seed(5)
    same = all(torch.equal(a, b) for a, b in zip(ours, reference_collate(batches[0], tokenizer.pad_id)))
    report("(b) collation    ", ref_times, our_times, "collate_fn",
           f"   ({args.batches} batches of {args.batch_size}, same batch as reference: {same})")
    del samples, batches, ds

    peak, held = peak_memory_ratio(args.root, feature_bytes)
    print(f"(c) memory        peak RSS growth {peak:.3f}x the feature bytes, held after construction {held:.3f}x")


if __name__ == "__main__":
    main()
