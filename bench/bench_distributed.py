"""Distributed training benchmark: training throughput (utterances/s) of the demo-size speech
recogniser through ASRTrainer in 1 and in 2 processes started by torchrun (gloo, one thread per
process), and the share of a 2-process training step that the gradient all-reduce takes.

The model is configs/demo.yaml's (its model, loss and training.precision sections); the data are
synthetic utterances of demo-like lengths (80 features, 150-450 frames, 20-60 characters) held
in memory, so no side pays for reading files. Each process trains on batches of --batch-size
utterances: 2 processes go through an epoch in half the batches, each of them averaged with the
other process's.

Each side is one torchrun launch that trains a warm-up epoch and then --epochs timed epochs
(the median counts); the sides alternate, --repeats launches each, and the table reports the
medians over launches. The 2-process launch then times training steps of the same model with
the gradient all-reduce and without it (inside no_sync), alternating, for the communication
share, and with find_unused_parameters on, for what searching the graph for unused parameters
on every step would cost.

Usage: PYTHONPATH=src python bench/bench_distributed.py [--utterances N] [--batch-size B] [--repeats R]
"""
import argparse
import contextlib
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import torch
import yaml
from torch.nn.utils.rnn import pad_sequence

ROOT = Path(__file__).resolve().parents[1]
NUM_FEATS = 80
LETTERS = "abcdefghijklmnopqrstuvwxyz "


class Utterances(torch.utils.data.Dataset):
    """Synthetic utterances in memory, collated like the speech dataset's batches."""

    def __init__(self, tokenizer, count):
        generator = torch.Generator().manual_seed(1234)
        self.pad_id, self.items = tokenizer.pad_id, []
        for _ in range(count):
            frames = int(torch.randint(150, 451, (), generator=generator))
            chars = int(torch.randint(20, 61, (), generator=generator))
            text = "".join(LETTERS[i] for i in torch.randint(0, len(LETTERS), (chars,), generator=generator))
            ids = tokenizer.encode(text)
            self.items.append((torch.randn(frames, NUM_FEATS, generator=generator),
                               torch.tensor([tokenizer.sos_id] + ids), torch.tensor(ids + [tokenizer.eos_id])))
        self.text_max_len = max(len(item[1]) for item in self.items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    @staticmethod
    def get_avg_chars_per_token():
        return 1.0

    def collate_fn(self, batch):
        feats, shifted, golden = zip(*batch)
        return (pad_sequence(feats, batch_first=True),
                pad_sequence(shifted, batch_first=True, padding_value=self.pad_id),
                pad_sequence(golden, batch_first=True, padding_value=self.pad_id),
                torch.tensor([len(f) for f in feats]), torch.tensor([len(s) for s in shifted]))


# ---------------------------------------------------------------------------
# One launch (every process)
# ---------------------------------------------------------------------------

def demo_trainer(tokenizer, workdir):
    from quillane.model import EncoderDecoderTransformer
    from quillane.trainers.halvorn import ASRTrainer

    demo = yaml.safe_load((ROOT / "configs" / "demo.yaml").read_text())
    config = {"data": {"batch_size": 8, "num_feats": NUM_FEATS}, "loss": demo["loss"],
              "training": {"gradient_accumulation_steps": 1, "precision": demo["training"]["precision"]}}
    config_file = os.path.join(workdir, "config.yaml")
    with open(config_file, "w") as f:
        yaml.safe_dump(config, f)
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(NUM_FEATS, tokenizer.vocab_size, **demo["model"])
    trainer = ASRTrainer(model, tokenizer, config, "bench-distributed", config_file, device="cpu")
    trainer.optimizer = torch.optim.AdamW(model.parameters(), lr=3e-4, betas=(0.9, 0.98), eps=1e-9, weight_decay=0.01)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda step: 1.0)
    return trainer


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def step_times(trainer, batches, **ddp_settings):
    """Seconds per training step of the trainer's model in a wrapper of its own, with the
    all-reduce ("synced") and without it ("local"), alternating batch by batch."""
    trainer._ddp = None  # the trainer's wrapper, and its gradient hooks, go first
    gc.collect()
    model = trainer.model
    wrapper = torch.nn.parallel.DistributedDataParallel(model, **ddp_settings)

    def step(batch, synced):
        feats, shifted, golden, feat_lengths, lengths = batch
        with contextlib.nullcontext() if synced else wrapper.no_sync():
            logits, _, ctc = wrapper(feats, shifted, feat_lengths, lengths)
            loss = trainer.ce_criterion(logits.reshape(-1, logits.size(-1)), golden.reshape(-1))
            loss = loss + trainer.ctc_weight * trainer.ctc_criterion(ctc["log_probs"], golden, ctc["lengths"], lengths)
            loss.backward()
        trainer.optimizer.step()
        trainer.optimizer.zero_grad()

    times = {"synced": [], "local": []}
    step(batches[0], True)  # warm-up
    for batch in batches:
        for synced in (True, False):
            times["synced" if synced else "local"].append(timed(lambda: step(batch, synced)))
    del wrapper
    gc.collect()
    return {name: statistics.median(values) for name, values in times.items()}


def worker(args):
    from quillane.data.tokenizer import VantTokenizer

    torch.set_num_threads(1)
    tokenizer = VantTokenizer()
    data = Utterances(tokenizer, args.utterances)
    loader = torch.utils.data.DataLoader(data, batch_size=args.batch_size, collate_fn=data.collate_fn)
    with tempfile.TemporaryDirectory() as workdir, open(os.devnull, "w") as quiet, \
            contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
        os.chdir(workdir)
        trainer = demo_trainer(tokenizer, workdir)
        trainer._train_epoch(loader)  # warm-up
        epochs = [timed(lambda: trainer._train_epoch(loader)) for _ in range(args.epochs)]
        result = {"epoch_seconds": epochs, "precision": trainer.precision, "processes": trainer.world_size}
        if trainer.world_size > 1:
            batches = [[t.to(trainer.device) for t in b] for b in list(trainer.rank_loader(loader))[:args.steps]]
            result["steps"] = step_times(trainer, batches)
            result["steps_searching"] = step_times(trainer, batches, find_unused_parameters=True)
    if trainer.rank == 0:
        Path(args.out).write_text(json.dumps(result))


# ---------------------------------------------------------------------------
# The benchmark (one process, launching the sides)
# ---------------------------------------------------------------------------

def launch(processes, args, out):
    command = [sys.executable, "-m", "torch.distributed.run", "--standalone", f"--nproc_per_node={processes}",
               __file__, "--worker", "--out", out, "--utterances", str(args.utterances),
               "--batch-size", str(args.batch_size), "--epochs", str(args.epochs), "--steps", str(args.steps)]
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.pathsep.join([str(ROOT / "src"),
                                                                            os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"the {processes}-process launch failed:\n{done.stderr[-4000:]}")
    return json.loads(Path(out).read_text())


def report(args, runs):
    throughput = {p: [args.utterances / statistics.median(r["epoch_seconds"]) for r in rs] for p, rs in runs.items()}
    print(f"{'processes':>9}  {'utterances/s':>12}  {'speed-up':>8}  launches (utterances/s)")
    for processes, values in throughput.items():
        median = statistics.median(values)
        speedup = median / statistics.median(throughput[1])
        print(f"{processes:>9}  {median:12.2f}  {speedup:8.2f}  {', '.join(f'{v:.2f}' for v in values)}")
    steps = [r["steps"] for r in runs[2]]
    synced = statistics.median(s["synced"] for s in steps)
    local = statistics.median(s["local"] for s in steps)
    searching = statistics.median(r["steps_searching"]["synced"] for r in runs[2])
    print(f"2-process step: {synced:.3f} s with the all-reduce, {local:.3f} s without (no_sync): "
          f"communication {100 * (synced - local) / synced:.1f} % of the step")
    print(f"find_unused_parameters=True: {searching:.3f} s per step ({100 * (searching - synced) / synced:+.1f} %)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--utterances", type=int, default=96, help="utterances per epoch (default 96)")
    parser.add_argument("--batch-size", type=int, default=16, help="utterances per batch and process (default 16)")
    parser.add_argument("--epochs", type=int, default=2, help="timed epochs per launch (default 2)")
    parser.add_argument("--repeats", type=int, default=3, help="launches per side, alternating (default 3)")
    parser.add_argument("--steps", type=int, default=3, help="batches of the step timing (default 3)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args)

    demo = yaml.safe_load((ROOT / "configs" / "demo.yaml").read_text())["model"]
    print(f"torch {torch.__version__}, gloo, 1 thread per process; demo-size recogniser "
          f"({', '.join(f'{k} {v}' for k, v in demo.items())}); {args.utterances} utterances an epoch in batches "
          f"of {args.batch_size} per process; {args.repeats} alternating launches per side")
    runs = {1: [], 2: []}
    with tempfile.TemporaryDirectory() as folder:
        for repeat in range(args.repeats):
            for processes in runs:
                runs[processes].append(launch(processes, args, os.path.join(folder, f"{processes}-{repeat}.json")))
    print(f"training precision: {runs[1][0]['precision']}")
    report(args, runs)


if __name__ == "__main__":
    main()
