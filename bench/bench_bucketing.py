"""Bucketing benchmark: the demo recogniser trained on random batches against length-bucketed
batches of the same size (BucketBatchSampler).

Uses the demo's synthetic corpus (made with espeak-ng at --root when it is missing, as
`quillane demo` makes it) and the demo's configuration (configs/demo.yaml: model, optimizer,
schedule, batch size 32). The random side is the demo's loader (batch_size=32, shuffle); the
bucketed side is BucketBatchSampler.from_dataset(train, batch_size=32), so both sides have
the same number of batches and the same average batch size. Reports:
  (a) the padding fraction of one epoch's batches on each side: padded frames that hold no
      utterance over all padded frames (target: bucketed <= 10 %);
  (b) the time of one training epoch (ASRTrainer's epoch, as the demo trains) on each side,
      each from the same initial weights: one warm-up epoch each, then --repeats epochs
      alternating the sides, medians (target: bucketed >= 1.5x faster);
  (c) with --full only: the demo's whole recogniser training (its epochs, validation and best
      checkpoint) once per side, then greedy recognition of the held-out partition, CER and
      WER per side (target: bucketed no worse). Two demo-length trainings; run it on an
      otherwise idle machine.
The sampler is told each epoch (set_epoch), so bucketed batches are reshuffled per epoch as
the random ones are.

Usage: PYTHONPATH=src python bench/bench_bucketing.py [--root DIR] [--config FILE] [--repeats R]
           [--threads T] [--full]
"""
import argparse
import contextlib
import copy
import io
import os
import statistics
import tempfile
import time
from pathlib import Path

import torch
import yaml

from quillane.data import BucketBatchSampler
from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.trainers.halvorn import ASRTrainer
from quillane.utils import create_scheduler, ostravel

REPO = Path(__file__).resolve().parents[1]


class EpochLoader:
    """A DataLoader over a BucketBatchSampler that tells the sampler each new epoch, for code
    that only iterates its loader (the trainer)."""

    def __init__(self, loader):
        self.loader, self.dataset, self.epoch = loader, loader.dataset, 0

    def __iter__(self):
        self.loader.batch_sampler.set_epoch(self.epoch)
        self.epoch += 1
        return iter(self.loader)

    def __len__(self):
        return len(self.loader)


def quiet():
    stack = contextlib.ExitStack()
    stack.enter_context(contextlib.redirect_stdout(io.StringIO()))
    stack.enter_context(contextlib.redirect_stderr(io.StringIO()))
    return stack


def datasets(config, tokenizer):
    data = config["data"]
    with quiet():
        train = ASRDataset("train-clean-100", data, tokenizer, True)
        stats = (train.global_mean, train.global_std)
        dev = ASRDataset("dev-clean", data, tokenizer, False, stats)
        test = ASRDataset("test-clean", data, tokenizer, False, stats)
    return train, dev, test


def loaders(config, train, seed):
    """{'random': the demo's loader, 'bucketed': batches of the same size from buckets}."""
    data = config["data"]
    random = torch.utils.data.DataLoader(train, batch_size=data["batch_size"], shuffle=True,
                                         generator=torch.Generator().manual_seed(seed), collate_fn=train.collate_fn)
    sampler = BucketBatchSampler.from_dataset(train, batch_size=data["batch_size"], seed=seed)
    bucketed = torch.utils.data.DataLoader(train, batch_sampler=sampler, collate_fn=train.collate_fn)
    return {"random": random, "bucketed": EpochLoader(bucketed)}


def padding_fraction(loader):
    """The share of one epoch's padded frames that hold no utterance."""
    real = padded = 0
    for feats, _, _, feat_lengths, _ in loader:
        real += int(feat_lengths.sum())
        padded += feats.shape[0] * feats.shape[1]
    return 1 - real / padded


def make_trainer(config, config_file, model, tokenizer, loader, name):
    with quiet():  # the architecture, optimizer and schedule summaries
        trainer = ASRTrainer(model, tokenizer, config, name, str(config_file), device="cpu")
        trainer.optimizer = ostravel(trainer.model, config["optimizer"])
        trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], loader,
                                             config["training"]["gradient_accumulation_steps"])
    return trainer


def timed_epochs(config, config_file, tokenizer, sides, repeats):
    torch.manual_seed(config["seed"])
    initial = EncoderDecoderTransformer(config["data"]["num_feats"], tokenizer.vocab_size, **config["model"])
    trainers = {name: make_trainer(config, config_file, copy.deepcopy(initial), tokenizer, loader, f"bench-{name}")
                for name, loader in sides.items()}

    def epoch(name):
        start = time.perf_counter()
        with quiet():
            trainers[name]._train_epoch(sides[name])
        return time.perf_counter() - start

    for name in sides:  # warm-up
        epoch(name)
    times = {name: [] for name in sides}
    for k in range(repeats):
        for name in list(sides) if k % 2 == 0 else list(sides)[::-1]:
            times[name].append(epoch(name))
    return times, trainers["random"].precision


def full_training(config, config_file, tokenizer, sides, dev, test, root):
    """Per side: the demo's training, then greedy CER and WER on the held-out partition."""
    from quillane.data.prepare import read_transcripts

    references = [t for _, t in read_transcripts(str(root / "test-clean" / "transcripts.txt"))]
    val_loader = torch.utils.data.DataLoader(dev, batch_size=config["data"].get("val_batch_size", 10),
                                             collate_fn=dev.collate_fn)
    test_loader = torch.utils.data.DataLoader(test, batch_size=config["data"].get("eval_batch_size", 50),
                                              collate_fn=test.collate_fn)
    max_length = max(len(tokenizer.encode(t)) for t in references) + 8
    results = {}
    for name, loader in sides.items():
        torch.manual_seed(config["seed"])
        model = EncoderDecoderTransformer(config["data"]["num_feats"], tokenizer.vocab_size, **config["model"])
        trainer = make_trainer(config, config_file, model, tokenizer, loader, f"bench-bucketing-{name}")
        start = time.perf_counter()
        with quiet():
            trainer.train(loader, val_loader, config["training"]["epochs"])
            trainer.load_checkpoint("checkpoint-best-metric-model.pth")
            recognition = {"num_batches": None, "beam_width": 1, "temperature": 1.0, "repeat_penalty": 1.0,
                           "lm_weight": 0.0, "lm_model": None}
            hyps = [r["generated"] for r in trainer.recognize(test_loader, recognition, "greedy", max_length)]
        metrics = trainer._calculate_asr_metrics(references[:len(hyps)], hyps)
        results[name] = dict(cer=metrics["cer"], wer=metrics["wer"], seconds=time.perf_counter() - start)
        trainer.cleanup()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default="data/synth", help="the demo corpus (made here when missing)")
    parser.add_argument("--config", default=str(REPO / "configs" / "demo.yaml"))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0, help="torch threads (default: the config's num_threads)")
    parser.add_argument("--full", action="store_true", help="also train the whole demo twice and compare CER")
    args = parser.parse_args()
    if args.repeats < 3:
        parser.error("--repeats must be at least 3")
    config_file = Path(args.config).resolve()
    config = yaml.safe_load(config_file.read_text())
    root = Path(args.root).resolve()
    config["data"]["root"] = str(root)
    config["training"]["use_wandb"] = False
    threads = args.threads or config.get("num_threads") or torch.get_num_threads()
    torch.set_num_threads(threads)
    if not all((root / p / "transcripts.txt").is_file() for p in ("train-clean-100", "dev-clean", "test-clean")):
        from quillane.data.prepare import prepare_synth
        print(f"making the demo corpus in {root} ...", flush=True)
        prepare_synth(str(root), num_utterances=config["corpus"]["num_utterances"], seed=config["corpus"]["seed"])

    tokenizer = VantTokenizer()
    train, dev, test = datasets(config, tokenizer)
    sides = loaders(config, train, config["seed"])
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}, {threads} torch threads; "
          f"{len(train)} training utterances, {len(sides['random'])} batches of {config['data']['batch_size']} "
          f"per epoch on both sides")
    for name, loader in sides.items():
        print(f"(a) padding {name:8s} {100 * padding_fraction(loader):5.1f} % of padded frames"
              + ("   (target <= 10 %)" if name == "bucketed" else ""))

    with tempfile.TemporaryDirectory() as workdir:
        cwd = os.getcwd()
        os.chdir(workdir)  # the trainers' experiment folders land here
        try:
            times, precision = timed_epochs(config, config_file, tokenizer, sides, args.repeats)
            medians = {name: statistics.median(values) for name, values in times.items()}
            speed_up = medians["random"] / medians["bucketed"]
            print(f"(b) epoch    random {medians['random']:6.1f} s   bucketed {medians['bucketed']:6.1f} s   "
                  f"speed-up {speed_up:.2f}x ({'meets' if speed_up >= 1.5 else 'misses'} >= 1.5x; precision "
                  f"{precision}; runs: random {', '.join(f'{t:.1f}' for t in times['random'])}; bucketed "
                  f"{', '.join(f'{t:.1f}' for t in times['bucketed'])})")
            if args.full:
                results = full_training(config, config_file, tokenizer, loaders(config, train, config["seed"]),
                                        dev, test, root)
                for name, r in results.items():
                    print(f"(c) {name:8s} {config['training']['epochs']} epochs in {r['seconds']:.0f} s: held-out "
                          f"greedy CER {r['cer']:.2f} %, WER {r['wer']:.2f} %")
                verdict = "no worse" if results["bucketed"]["cer"] <= results["random"]["cer"] else "WORSE"
                print(f"    bucketed CER is {verdict} than random")
        finally:
            os.chdir(cwd)


if __name__ == "__main__":
    main()
