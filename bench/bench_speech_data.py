"""Speech dataset benchmark: corpus loading with global statistics, and batch collation.

Generates (once) a synthetic corpus of 2,000 utterances (80 x 300-1,500 float32 frames,
transcripts of 50-300 characters) and times, in one run:
  (a) ASRDataset construction with "global_mvn" against a plain Python/NumPy loop
      (np.load per file, per-utterance block Welford update on torch tensors);
  (b) collation of 500 batches of 32 with masking on, against pad_sequence plus a
      per-utterance torch masking loop.
Also reports the peak resident memory of construction over the raw feature bytes.

Targets: construction >= 4x faster, collation >= 2x faster, peak memory <= 1.3x the
feature bytes, statistics equal to the reference.

Usage: PYTHONPATH=src python bench/bench_speech_data.py [--root DIR] [--utterances N]
"""
import argparse
import os
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


def config(root, specaug=False):
    return dict(root=root, norm="global_mvn", num_feats=NUM_FEATS, specaug=specaug, specaug_conf=dict(SPECAUG))


def reference_construction(root, tokenizer):
    """The plain loop: np.load per file, block Welford update in float64 on torch tensors."""
    fdir, tdir = os.path.join(root, "train", "fbank"), os.path.join(root, "train", "text")
    ffiles = [os.path.join(fdir, f) for f in sorted(os.listdir(fdir)) if f.endswith(".npy")]
    tfiles = [os.path.join(tdir, f) for f in sorted(os.listdir(tdir)) if f.endswith(".npy")]
    feats, shifted, golden = [], [], []
    count, mean, m2 = 0, torch.zeros(NUM_FEATS, dtype=torch.float64), torch.zeros(NUM_FEATS, dtype=torch.float64)
    for i in tqdm(range(len(ffiles))):
        feat = np.load(ffiles[i])[:NUM_FEATS, :]
        feats.append(feat)
        x = torch.tensor(feat, dtype=torch.float32)
        count += x.shape[1]
        delta = x - mean.unsqueeze(1)
        mean += delta.sum(dim=1) / count
        m2 += (delta * (x - mean.unsqueeze(1))).sum(dim=1)
        text = "".join(np.load(tfiles[i], allow_pickle=True).tolist())
        tokens = tokenizer.encode(text)
        shifted.append([tokenizer.sos_id] + tokens)
        golden.append(tokens + [tokenizer.eos_id])
    std = torch.sqrt(m2 / (count - 1) + 1e-8).float()
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default="/tmp/quillane_speech_bench")
    parser.add_argument("--utterances", type=int, default=2000)
    parser.add_argument("--batches", type=int, default=500)
    parser.add_argument("--batch-size", type=int, default=32)
    args = parser.parse_args()
    generate(args.root, args.utterances)
    tokenizer = VantTokenizer()
    print(f"threads available: {os.cpu_count()}, torch threads: {torch.get_num_threads()}")

    # (a) construction
    t0 = time.perf_counter()
    ref_feats, ref_mean, ref_std = reference_construction(args.root, tokenizer)
    t_ref = time.perf_counter() - t0
    feature_bytes = sum(f.nbytes for f in ref_feats)
    del ref_feats
    t0 = time.perf_counter()
    ds = ASRDataset("train", config(args.root, specaug=True), tokenizer, True)
    t_new = time.perf_counter() - t0
    mean_diff = (ds.global_mean - ref_mean).abs().max().item()
    std_diff = (ds.global_std - ref_std).abs().max().item()
    print(f"corpus: {len(ds)} utterances, {feature_bytes / 2**20:.1f} MiB of features")
    print(f"(a) construction  reference {t_ref:7.2f} s   ASRDataset {t_new:7.2f} s   speed-up {t_ref / t_new:5.2f}x")
    print(f"    statistics    max |mean diff| {mean_diff:.3g}   max |std diff| {std_diff:.3g}   "
          f"identical: {torch.equal(ds.global_mean, ref_mean) and torch.equal(ds.global_std, ref_std)}")

    # (b) collation
    samples = [ds[i] for i in range(len(ds))]
    rng = np.random.default_rng(0)
    batches = [[samples[j] for j in rng.choice(len(samples), args.batch_size, replace=False)]
               for _ in range(args.batches)]
    torch.manual_seed(0)
    t0 = time.perf_counter()
    for batch in batches:
        reference_collate(batch, tokenizer.pad_id)
    t_ref = time.perf_counter() - t0
    torch.manual_seed(0)
    t0 = time.perf_counter()
    for batch in batches:
        ds.collate_fn(batch)
    t_new = time.perf_counter() - t0
    torch.manual_seed(5)
    ours = ds.collate_fn(batches[0])
    torch.manual_seed(5)
    same = all(torch.equal(a, b) for a, b in zip(ours, reference_collate(batches[0], tokenizer.pad_id)))
    print(f"(b) collation     reference {t_ref:7.2f} s   collate_fn {t_new:7.2f} s   speed-up {t_ref / t_new:5.2f}x"
          f"   ({args.batches} batches of {args.batch_size}, same batch as reference: {same})")
    del samples, batches, ds

    peak, held = peak_memory_ratio(args.root, feature_bytes)
    print(f"(c) memory        peak RSS growth {peak:.3f}x the feature bytes, held after construction {held:.3f}x")


if __name__ == "__main__":
    main()
