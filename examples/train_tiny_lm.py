"""Train a tiny character language model for about a minute, then continue prompts greedily,
with beam search and by sampling.

With the default one-minute budget this takes 90 s in all on a shared two-core Xeon VM.

    python examples/train_tiny_lm.py [--seconds 60] [--sentences 1500]
"""
import argparse
import os
import random
import tempfile
import time

import torch
import yaml
from torch.utils.data import DataLoader

from quillane.data.text_dataset import TextDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import DecoderOnlyTransformer
from quillane.trainers.selkarn import LMTrainer
from quillane.utils import create_scheduler, ostravel

SUBJECTS = ["the cat", "a small dog", "my sister", "the old man", "a young bird", "the teacher"]
VERBS = ["sees", "finds", "likes", "paints", "follows", "watches"]
OBJECTS = ["the red ball", "a green tree", "the quiet river", "a bright star", "the open door"]
PLACES = ["in the garden", "near the house", "at night", "after school", "by the sea"]


def sentences(n, seed=0):
    rng = random.Random(seed)
    return [f"{rng.choice(SUBJECTS)} {rng.choice(VERBS)} {rng.choice(OBJECTS)} {rng.choice(PLACES)}"
            for _ in range(n)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0,
                        help="training time budget; epochs start until it is spent, at least one (default 60)")
    parser.add_argument("--sentences", type=int, default=1500, help="training sentences (default 1500)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="CPU threads (default: all cores)")
    args = parser.parse_args()
    if args.seconds <= 0 or args.sentences < 1 or args.threads < 1:
        parser.error("--seconds, --sentences and --threads must be positive")
    torch.manual_seed(0)
    torch.set_num_threads(args.threads)

    workdir = tempfile.mkdtemp(prefix="quillane-lm-")
    os.chdir(workdir)
    config = {"data": {"batch_size": 32}, "training": {"gradient_accumulation_steps": 1}}
    config_file = os.path.join(workdir, "lm.yaml")  # copied into the experiment folder
    with open(config_file, "w") as f:
        yaml.safe_dump(config, f)

    tokenizer = VantTokenizer()
    train_set = TextDataset("train", sentences(args.sentences, seed=1), tokenizer)
    val_set = TextDataset("val", sentences(200, seed=2), tokenizer)
    train_loader = DataLoader(train_set, batch_size=32, shuffle=True, collate_fn=train_set.collate_fn)
    val_loader = DataLoader(val_set, batch_size=64, collate_fn=val_set.collate_fn)

    model = DecoderOnlyTransformer(tokenizer.vocab_size, d_model=96, num_heads=4, d_ff=256,
                                   num_layers=2, dropout=0.0, max_len=80)
    trainer = LMTrainer(model, tokenizer, config, "tiny-lm", config_file, device="cpu")
    trainer.optimizer = ostravel(model, {"name": "adamw", "lr": 4e-3, "weight_decay": 0.01, "param_groups": [],
                                         "adamw": {"betas": (0.9, 0.98), "eps": 1e-8, "amsgrad": False}})
    trainer.scheduler = create_scheduler(
        trainer.optimizer, {"name": "cosine", "cosine": {"T_max": 8, "eta_min": 2e-4}}, train_loader, 1)

    start = time.time()
    while time.time() - start < args.seconds:
        metrics, _ = trainer._train_epoch(train_loader)
        trainer.current_epoch += 1
        print(f"epoch {trainer.current_epoch}: train perplexity {metrics['perplexity_token']:.3f} "
              f"({time.time() - start:.0f} s)")
    val_metrics, _ = trainer._validate_epoch(val_loader)
    print(f"validation perplexity {val_metrics['perplexity_token']:.3f}")

    strategies: dict[str, dict] = {
        "greedy": {"num_samples": 3, "prompt_length": 12},
        "beam": {"num_samples": 3, "prompt_length": 12, "beam_width": 4},
        "sample": {"num_samples": 3, "prompt_length": 12, "top_k": 5, "top_p": 0.9},
    }
    torch.manual_seed(0)
    for name, generation_config in strategies.items():
        print(f"\n== {name} ==")
        for record in trainer.generate(val_loader, generation_config):
            print(f"{record['prompt']!r} -> {record['generated']!r}  (score {record['score']:.2f})")
    print(f"\nexperiment folder: {trainer.expt_root}")


if __name__ == "__main__":
    main()
