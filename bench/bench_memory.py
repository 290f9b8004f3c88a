"""Memory benchmark: training from a corpus kept in memory or memory-mapped (data.in_memory).

Generates synthetic corpora under --root (80 x 800-1,200 float32 frames per utterance,
transcripts of 20-60 characters) and measures, each side in a fresh interpreter where memory
is measured:
  (a) peak resident memory of one training epoch of a tiny recogniser over a --large-gb corpus
      (default 3 GB) with in_memory: false, above the model's own peak (the same process after
      training a few steps of the largest batch shape before any dataset exists; target:
      under 1 GB), and the same with in_memory: true for comparison (--skip-large-in-memory
      leaves it out where the corpus does not fit);
  (b) epoch time with in_memory: true against false over a --fit-gb corpus (default 0.5 GB),
      both datasets in one process and the same batches on both sides: one warm-up epoch
      each, then --repeats epochs alternating the sides, medians;
  (c) DataLoader worker start-up with 2 workers started by spawn and by forkserver, for the
      in-memory dataset (features shared as one block), the memory-mapped one (file
      references) and, as the reference, the in-memory dataset with its features pickled by
      value (what every worker received before features were shared): seconds from iter() to
      the first batch and each worker's resident (RSS) and proportional (PSS: shared pages
      split among the processes sharing them) memory after it, medians over --repeats.
The model is deliberately tiny (frames stacked by four, one hidden layer of 64, CTC), so an
epoch's time is mostly the data pipeline's; it trains in a plain float32 loop (AdamW) over
batches from the length-bucketed sampler (max_frames 48,000). Check free disk space first (`df -h`): the
corpora take --large-gb + --fit-gb GB, removed at the end unless --keep.

Usage: PYTHONPATH=src python bench/bench_memory.py [--root DIR] [--large-gb G] [--fit-gb G]
           [--repeats R] [--threads T] [--skip-large-in-memory] [--keep]
"""
import argparse
import contextlib
import io
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

NUM_FEATS = 80
MAX_FRAMES = 48_000
LETTERS = np.array(list("abcdefghijklmnopqrstuvwxyz '"))


# ---------------------------------------------------------------------------
# Corpus
# ---------------------------------------------------------------------------

def generate(root, gigabytes):
    """A training partition of about `gigabytes` GB of features, written once."""
    marker = os.path.join(root, "complete")
    if os.path.exists(marker):
        return
    rng = np.random.default_rng(7)
    for sub in ("fbank", "text"):
        os.makedirs(os.path.join(root, "train", sub), exist_ok=True)
    written, i = 0, 0
    while written < gigabytes * 1e9:
        feats = rng.standard_normal((NUM_FEATS, int(rng.integers(800, 1201))), dtype=np.float32)
        np.save(os.path.join(root, "train", "fbank", f"u{i:06d}.npy"), feats)
        np.save(os.path.join(root, "train", "text", f"u{i:06d}.npy"), LETTERS[rng.integers(0, 28, rng.integers(20, 61))])
        written += feats.nbytes
        i += 1
    open(marker, "w").close()


def config(root, in_memory):
    return dict(root=root, norm="global_mvn", num_feats=NUM_FEATS, specaug=False, in_memory=in_memory,
                specaug_conf=dict(apply_freq_mask=False, apply_time_mask=False, freq_mask_width_range=1,
                                  time_mask_width_range=1, num_freq_mask=0, num_time_mask=0))


def status(*keys):
    """This process's /proc status fields in bytes (VmRSS, VmHWM, RssAnon, RssFile, ...)."""
    values = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in keys:
                values[key] = int(rest.split()[0]) * 1024
    return [values[key] for key in keys]


def rss_pss(pid):
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Rss", "Pss"):
                values[key] = int(rest.split()[0]) * 1024
    return values["Rss"], values["Pss"]


@contextlib.contextmanager
def quiet():
    """Progress bars and prints swallowed."""
    with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
        yield


# ---------------------------------------------------------------------------
# Training
# ---------------------------------------------------------------------------

class TinyRecogniser:
    """Frames stacked by four, one hidden layer, per-frame character scores for CTC: a model
    so small that an epoch's time is mostly the data pipeline's."""

    def __init__(self, torch, vocab_size):
        nn = torch.nn
        self.net = nn.Sequential(nn.Conv1d(NUM_FEATS, 64, kernel_size=4, stride=4), nn.ReLU(),
                                 nn.Conv1d(64, vocab_size, kernel_size=1))

    def parameters(self):
        return self.net.parameters()

    def __call__(self, feats, feat_lengths):
        """(log-probabilities (S, B, V), lengths (B,)) for CTC."""
        scores = self.net(feats.transpose(1, 2))  # (B, V, S)
        return scores.permute(2, 0, 1).log_softmax(-1), feat_lengths // 4


class Training:
    """A tiny recogniser and a plain float32 loop (AdamW, CTC) over a dataset's bucketed batches."""

    def __init__(self, tokenizer):
        import torch

        torch.manual_seed(0)
        self.torch = torch
        self.model = TinyRecogniser(torch, tokenizer.vocab_size)
        self.optimizer = torch.optim.AdamW(self.model.parameters(), lr=1e-3)
        self.ctc = torch.nn.CTCLoss(blank=tokenizer.pad_id, zero_infinity=True)
        self.tokenizer = tokenizer

    def step(self, feats, shifted, golden, feat_lengths, lengths):
        log_probs, frames = self.model(feats, feat_lengths)
        self.ctc(log_probs, golden, frames, lengths).backward()
        self.optimizer.step()
        self.optimizer.zero_grad()

    def warm_up(self, steps=3):
        """Steps on the largest batch shape the sampler can make, before any dataset exists."""
        torch = self.torch
        frames = 1200
        batch = MAX_FRAMES // frames
        feats = torch.randn(batch, frames, NUM_FEATS)
        shifted = torch.randint(3, self.tokenizer.vocab_size, (batch, 61))
        for _ in range(steps):
            self.step(feats, shifted, shifted, torch.full((batch,), frames), torch.full((batch,), 61))

    def loader(self, dataset, epoch, **kwargs):
        from quillane.data import BucketBatchSampler

        sampler = BucketBatchSampler.from_dataset(dataset, max_frames=MAX_FRAMES, seed=0)
        sampler.set_epoch(epoch)
        return self.torch.utils.data.DataLoader(dataset, batch_sampler=sampler, collate_fn=dataset.collate_fn,
                                                **kwargs)

    def epoch(self, dataset, epoch=0):
        for batch in self.loader(dataset, epoch):
            self.step(*batch)


def build(root, in_memory):
    from quillane.data.quenmark import ASRDataset
    from quillane.data.tokenizer import VantTokenizer

    with quiet():
        return ASRDataset("train", config(root, in_memory), VantTokenizer(), True)


# ---------------------------------------------------------------------------
# The measurements, each run in a fresh interpreter (child side)
# ---------------------------------------------------------------------------

def child_peak(root, in_memory):
    """(a): peak memory of dataset construction plus one epoch, above the model's own."""
    import torch
    from quillane.data.tokenizer import VantTokenizer

    training = Training(VantTokenizer())
    training.warm_up()
    model_rss, model_peak = status("VmRSS", "VmHWM")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak restarts from the current resident size
    start = time.perf_counter()
    dataset = build(root, in_memory)
    built = time.perf_counter() - start
    training.epoch(dataset)
    seconds = time.perf_counter() - start
    peak, anonymous, file_backed = status("VmHWM", "RssAnon", "RssFile")
    feature_bytes = int(sum(int(n) for n in dataset.feat_lengths)) * NUM_FEATS * 4
    return dict(model_peak=model_peak, model_rss=model_rss, peak=peak, above_model=peak - model_peak,
                anonymous=anonymous, file_backed=file_backed,
                construction_seconds=built, seconds=seconds, utterances=len(dataset), feature_bytes=feature_bytes,
                threads=torch.get_num_threads())


def child_epochs(root, repeats):
    """(b): epoch times of both datasets over the same batches, alternating."""
    from quillane.data.tokenizer import VantTokenizer

    tokenizer = VantTokenizer()
    datasets = {"in memory": build(root, True), "memory-mapped": build(root, False)}
    trainings = {}
    for name in datasets:
        trainings[name] = Training(tokenizer)
    times = {name: [] for name in datasets}
    for name, dataset in datasets.items():  # warm-up
        trainings[name].epoch(dataset)
    for k in range(repeats):
        for name in list(datasets) if k % 2 == 0 else list(datasets)[::-1]:
            start = time.perf_counter()
            trainings[name].epoch(datasets[name], epoch=k + 1)
            times[name].append(time.perf_counter() - start)
    return dict(times=times, utterances=len(datasets["in memory"]))


def child_workers(root, context, repeats):
    """(c): worker start-up time and memory per way of sending the dataset."""
    from quillane.data.tokenizer import VantTokenizer

    training = Training(VantTokenizer())
    memory = build(root, True)
    by_value = build(root, True)
    by_value.feats = [np.array(f) for f in by_value.feats]  # no longer the block's arrays: pickled as data
    datasets = {"in memory, shared block": memory, "memory-mapped": build(root, False),
                "in memory, by value (before)": by_value}
    results = {name: {"seconds": [], "rss": [], "pss": []} for name in datasets}
    for k in range(repeats):
        for name in list(datasets) if k % 2 == 0 else list(datasets)[::-1]:
            loader = training.loader(datasets[name], 0, num_workers=2, multiprocessing_context=context)
            start = time.perf_counter()
            iterator = iter(loader)
            next(iterator)
            results[name]["seconds"].append(time.perf_counter() - start)
            for pid in (w.pid for w in iterator._workers):
                rss, pss = rss_pss(pid)
                results[name]["rss"].append(rss)
                results[name]["pss"].append(pss)
            del iterator
    return dict(results=results, parent_rss=status("VmRSS")[0])


def run_child(args, *child_args):
    command = [sys.executable, __file__, "--child", *child_args, "--threads", str(args.threads)]
    out = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ))
    if out.returncode:
        raise RuntimeError(out.stderr[-4000:])
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Report (parent side)
# ---------------------------------------------------------------------------

def gb(n):
    return f"{n / 1e9:6.2f} GB"


def mb(n):
    return f"{n / 2**20:7.1f} MiB"


def report_peaks(args, large):
    print(f"(a) one epoch over {large}:")
    sides = [False] if args.skip_large_in_memory else [False, True]
    for in_memory in sides:
        r = run_child(args, "peak", large, str(in_memory))
        label = "in memory    " if in_memory else "memory-mapped"
        target = "" if in_memory else f"  ({'meets' if r['above_model'] < 1e9 else 'misses'} < 1 GB)"
        print(f"    {label}  {r['utterances']} utterances, {gb(r['feature_bytes'])} of features: peak RSS "
              f"{gb(r['peak'])}, model's own peak {gb(r['model_peak'])}, above the model {gb(r['above_model'])}"
              f"{target}; construction {r['construction_seconds']:.1f} s, construction + epoch "
              f"{r['seconds']:.1f} s; resident at the end: {gb(r['anonymous'])} anonymous, "
              f"{gb(r['file_backed'])} file-backed")


def report_epochs(args, fit):
    r = run_child(args, "epochs", fit, str(args.repeats))
    times = {name: statistics.median(values) for name, values in r["times"].items()}
    runs = "; ".join(f"{name} " + ", ".join(f"{t:.1f}" for t in values) for name, values in r["times"].items())
    print(f"(b) epoch over {fit} ({r['utterances']} utterances), medians of {args.repeats}: in memory "
          f"{times['in memory']:.2f} s, memory-mapped {times['memory-mapped']:.2f} s, mapped / in memory "
          f"{times['memory-mapped'] / times['in memory']:.3f}  (runs: {runs})")


def report_workers(args, fit):
    for context in ("spawn", "forkserver"):
        r = run_child(args, "workers", fit, context, str(args.repeats))
        print(f"(c) 2 {context} workers over {fit} (parent RSS {gb(r['parent_rss'])}), medians of {args.repeats}:")
        for name, m in r["results"].items():
            print(f"    {name:30s} first batch after {statistics.median(m['seconds']):6.2f} s   per worker: "
                  f"RSS {mb(statistics.median(m['rss']))}, PSS {mb(statistics.median(m['pss']))}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default="/tmp/quillane_memory_bench")
    parser.add_argument("--large-gb", type=float, default=3.0)
    parser.add_argument("--fit-gb", type=float, default=0.5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0, help="torch threads (default: torch's choice)")
    parser.add_argument("--skip-large-in-memory", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the generated corpora")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.threads:
        import torch
        torch.set_num_threads(args.threads)
    if args.child:
        kind, root, *rest = args.child
        if kind == "peak":
            result = child_peak(root, rest[0] == "True")
        elif kind == "epochs":
            result = child_epochs(root, int(rest[0]))
        else:
            result = child_workers(root, rest[0], int(rest[1]))
        print(json.dumps(result))
        return
    if args.repeats < 3:
        parser.error("--repeats must be at least 3")

    large, fit = os.path.join(args.root, "large"), os.path.join(args.root, "fit")
    free = shutil.disk_usage(os.path.dirname(os.path.abspath(args.root)) or "/").free
    if free < (args.large_gb + args.fit_gb) * 1.1e9:
        sys.exit(f"{free / 1e9:.1f} GB free under {args.root}, the corpora need {args.large_gb + args.fit_gb:.1f} GB")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}, {os.cpu_count()} processors; "
          "generating corpora (once)...", flush=True)
    try:
        generate(large, args.large_gb)
        generate(fit, args.fit_gb)
        report_peaks(args, large)
        report_epochs(args, fit)
        report_workers(args, fit)
    finally:
        if not args.keep:
            shutil.rmtree(args.root, ignore_errors=True)


if __name__ == "__main__":
    main()
