"""Build an optimizer and a warm-up cosine schedule for a small model and save a preview plot
(a few seconds on a CPU, most of it importing torch and matplotlib).

    PYTHONPATH=src python examples/lr_schedule_preview.py [output.png] [--epochs 30 --batches 50]
"""

import argparse

import matplotlib

matplotlib.use("Agg")  # plot_lr_schedule only shows; under Agg we save the figure instead

import matplotlib.pyplot as plt
import torch
import torch.nn as nn
from torch.utils.data import DataLoader, TensorDataset

from quillane.utils import create_scheduler, ostravel
from quillane.utils.marlowen import plot_lr_schedule


class TinyModel(nn.Module):
    def __init__(self, d_model=32, num_layers=3, vocab=50):
        super().__init__()
        self.embedding = nn.Embedding(vocab, d_model)
        self.encoder = nn.Module()
        self.encoder.layers = nn.ModuleList(nn.Linear(d_model, d_model) for _ in range(num_layers))
        self.head = nn.Linear(d_model, vocab)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="lr_schedule.png", help="PNG to write (default lr_schedule.png)")
    parser.add_argument("--epochs", type=int, default=30, help="epochs to preview (default 30)")
    parser.add_argument("--batches", type=int, default=50, help="training batches per epoch (default 50)")
    args = parser.parse_args()
    if args.epochs < 1 or args.batches < 1:
        parser.error("--epochs and --batches must be positive")
    return args


def main():
    args = parse_args()
    model = TinyModel()
    train_loader = DataLoader(TensorDataset(torch.zeros(16 * args.batches, 4)), batch_size=16)

    optimizer = ostravel(model, {
        "name": "adamw", "lr": 5e-4, "weight_decay": 0.01,
        "param_groups": [
            {"name": "embedding", "patterns": ["embedding"], "lr": 1e-4},
            {"name": "encoder", "patterns": ["encoder"]},
        ],
        "layer_decay": {"enabled": True, "decay_rate": 0.9},
        "adamw": {"betas": (0.9, 0.999), "eps": 1e-8, "amsgrad": False},
    })  # fmt: skip
    warmup_epochs = max(1, args.epochs // 6)
    scheduler = create_scheduler(optimizer, {
        "name": "cosine",
        "cosine": {"T_max": args.epochs - warmup_epochs, "eta_min": 1e-6},
        "warmup": {"enabled": True, "epochs": warmup_epochs, "start_factor": 0.1, "end_factor": 1.0},
    }, train_loader, gradient_accumulation_steps=2)  # fmt: skip

    plot_lr_schedule(scheduler, num_epochs=args.epochs, train_loader=train_loader, gradient_accumulation_steps=2)
    plt.gcf().savefig(args.output, dpi=100, bbox_inches="tight")
    plt.close("all")
    print(f"Saved the schedule preview to {args.output}")


if __name__ == "__main__":
    main()
