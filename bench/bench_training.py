"""Training benchmark: one epoch of the demo-size speech recogniser through ASRTrainer against a
plain float32 PyTorch loop over the same model, data and optimizer.

The model is the demo's (d_model 128, 4 heads, d_ff 256, 2 encoder and 2 decoder layers, time
reduction 4), once with the recurrent front-end and once with the convolutional one. The data are
synthetic utterances of demo-like lengths (80 features, 150-450 frames, 20-60 characters), batched
once beforehand, so both sides see the very same batches and neither pays for loading. Each side
trains its own copy of the same initial weights with AdamW and a constant schedule stepped per
batch, the joint loss CE + 0.5 CTC with label smoothing 0.1.

Each case warms both sides up with one epoch, then times three epochs per side, alternating the
sides, and reports the medians and the ratio trainer / plain (target <= 1.1). Also printed: the
precision the trainer chose and what torch reports about the CPU.

Usage: PYTHONPATH=src python bench/bench_training.py [--utterances N] [--batch-size B] [--threads T]
"""
import argparse
import contextlib
import copy
import os
import statistics
import tempfile
import time

import torch
from torch.nn.utils.rnn import pad_sequence

from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.trainers.halvorn import ASRTrainer

NUM_FEATS = 80
REPEATS = 3
LETTERS = "abcdefghijklmnopqrstuvwxyz "
CPU_CHECKS = ["_is_avx2_supported", "_is_avx512_supported", "_is_avx512_bf16_supported",
              "_is_amx_tile_supported", "_is_amx_fp16_supported"]


class Batches:
    """Pre-collated batches with what the trainer reads from a loader and its dataset."""

    def __init__(self, batches, text_max_len):
        self.batches = batches
        self.dataset = self
        self.text_max_len = text_max_len

    def __iter__(self):
        return iter(self.batches)

    def __len__(self):
        return len(self.batches)

    @staticmethod
    def get_avg_chars_per_token():
        return 1.0


def synthetic_batches(tokenizer, utterances, batch_size):
    generator = torch.Generator().manual_seed(1234)
    samples = []
    for _ in range(utterances):
        frames = int(torch.randint(150, 451, (), generator=generator))
        chars = int(torch.randint(20, 61, (), generator=generator))
        text = "".join(LETTERS[i] for i in torch.randint(0, len(LETTERS), (chars,), generator=generator))
        ids = tokenizer.encode(text)
        samples.append((torch.randn(frames, NUM_FEATS, generator=generator),
                        torch.tensor([tokenizer.sos_id] + ids), torch.tensor(ids + [tokenizer.eos_id])))
    batches = []
    for start in range(0, utterances, batch_size):
        feats, shifted, golden = zip(*samples[start:start + batch_size])
        batches.append((pad_sequence(feats, batch_first=True),
                        pad_sequence(shifted, batch_first=True, padding_value=tokenizer.pad_id),
                        pad_sequence(golden, batch_first=True, padding_value=tokenizer.pad_id),
                        torch.tensor([len(f) for f in feats]), torch.tensor([len(s) for s in shifted])))
    return Batches(batches, max(len(s[1]) for s in samples))


def demo_model(tokenizer, front_end):
    return EncoderDecoderTransformer(NUM_FEATS, tokenizer.vocab_size, d_model=128, num_heads=4, d_ff=256,
                                     num_encoder_layers=2, num_decoder_layers=2, dropout=0.1, max_len=512,
                                     time_reduction=4, reduction_method=front_end)


def optimizer_and_schedule(model):
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3, betas=(0.9, 0.98), eps=1e-9, weight_decay=0.01)
    return optimizer, torch.optim.lr_scheduler.LambdaLR(optimizer, lambda step: 1.0)


class PlainLoop:
    """What a user would write by hand: float32, no accumulation, no progress bar."""

    def __init__(self, model, tokenizer):
        self.model = model
        self.optimizer, self.scheduler = optimizer_and_schedule(model)
        self.ce = torch.nn.CrossEntropyLoss(ignore_index=tokenizer.pad_id, label_smoothing=0.1)
        self.ctc = torch.nn.CTCLoss(blank=tokenizer.pad_id, zero_infinity=True)

    def epoch(self, batches):
        self.model.train()
        for feats, shifted, golden, feat_lengths, lengths in batches:
            logits, _, ctc_inputs = self.model(feats, shifted, feat_lengths, lengths)
            loss = self.ce(logits.view(-1, logits.size(-1)), golden.view(-1)) + 0.5 * self.ctc(
                ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], lengths)
            loss.backward()
            self.optimizer.step()
            self.scheduler.step()
            self.optimizer.zero_grad()


def make_trainer(model, tokenizer, workdir, front_end):
    config = {"data": {"batch_size": 8, "num_feats": NUM_FEATS}, "loss": {"label_smoothing": 0.1, "ctc_weight": 0.5},
              "training": {"gradient_accumulation_steps": 1, "precision": "auto"}}
    config_file = os.path.join(workdir, "config.yaml")
    with open(config_file, "w") as f:
        f.write("training: {}\n")
    with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):  # the architecture summary
        trainer = ASRTrainer(model, tokenizer, config, f"bench-{front_end}", config_file, device="cpu")
    trainer.optimizer, trainer.scheduler = optimizer_and_schedule(trainer.model)
    return trainer


def timed(run):
    start = time.perf_counter()
    with open(os.devnull, "w") as quiet, contextlib.redirect_stderr(quiet):  # the progress bar
        run()
    return time.perf_counter() - start


def bench_case(front_end, tokenizer, batches, workdir):
    torch.manual_seed(0)
    initial = demo_model(tokenizer, front_end)
    trainer = make_trainer(copy.deepcopy(initial), tokenizer, workdir, front_end)
    plain = PlainLoop(copy.deepcopy(initial), tokenizer)
    sides = {"trainer": lambda: trainer._train_epoch(batches), "plain": lambda: plain.epoch(batches)}
    for run in sides.values():  # warm-up
        timed(run)
    times = {name: [] for name in sides}
    for _ in range(REPEATS):
        for name, run in sides.items():
            times[name].append(timed(run))
    medians = {name: statistics.median(values) for name, values in times.items()}
    ratio = medians["trainer"] / medians["plain"]
    print(f"{front_end:>5} front-end  precision {trainer.precision:<9}  trainer {medians['trainer']:7.2f} s  "
          f"plain float32 {medians['plain']:7.2f} s  trainer/plain {ratio:5.2f}  "
          f"({'meets' if ratio <= 1.1 else 'misses'} <= 1.1)")
    print(f"       runs: trainer {', '.join(f'{t:.2f}' for t in times['trainer'])}; "
          f"plain {', '.join(f'{t:.2f}' for t in times['plain'])}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--utterances", type=int, default=256, help="utterances per epoch (default 256)")
    parser.add_argument("--batch-size", type=int, default=32, help="utterances per batch (default 32, the demo's)")
    parser.add_argument("--threads", type=int, default=0, help="torch threads (default: torch's choice)")
    parser.add_argument("--front-end", choices=["lstm", "conv"], action="append",
                        help="front-end(s) to time (default: both)")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    capability = torch.backends.cpu.get_cpu_capability()
    units = [check[4:-10] for check in CPU_CHECKS if getattr(torch.cpu, check, lambda: False)()]
    print(f"torch {torch.__version__}, CPU capability {capability}, reported units: {', '.join(units) or 'none'}, "
          f"{torch.get_num_threads()} threads")
    tokenizer = VantTokenizer()
    batches = synthetic_batches(tokenizer, args.utterances, args.batch_size)
    print(f"{args.utterances} utterances in {len(batches)} batches of {args.batch_size}; "
          f"warm-up epoch, then medians of {REPEATS} alternating epochs per side")
    with tempfile.TemporaryDirectory() as workdir:
        cwd = os.getcwd()
        os.chdir(workdir)  # the trainer's experiment directory lands here
        try:
            for front_end in args.front_end or ["lstm", "conv"]:
                bench_case(front_end, tokenizer, batches, workdir)
        finally:
            os.chdir(cwd)


if __name__ == "__main__":
    main()
