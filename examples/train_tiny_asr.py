"""Train and evaluate a tiny speech recogniser end to end on generated data.

With the default sizes this takes 42 s on a shared two-core Xeon VM, 20 s of it CPU time on one
thread.

Every character of a small alphabet has its own fixed filter-bank pattern, held for a few frames
and blurred with noise; transcripts are pairs of short words. The script writes the corpus
(train-clean-100, dev-clean and test-clean partitions), trains an EncoderDecoderTransformer with
joint CE + CTC loss, recognises the development set and evaluates the test set under the greedy,
beam_10, beam_20 and beam_10_ctc_0.3 configurations.

    python examples/train_tiny_asr.py [--epochs 30] [--train-utterances 48] [--d-model 64] [--workdir DIR]
"""
import argparse
import os
import tempfile
import time

import numpy as np
import torch
import yaml

from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.scoring import error_rates
from quillane.trainers.halvorn import ASRTrainer
from quillane.utils import create_scheduler, ostravel

NUM_FEATS, FRAMES_PER_CHAR = 16, 4
WORDS = ["ab", "ba", "ac", "ca", "bc", "cb"]


def write_corpus(root, train_utterances=48, seed=0):
    """Writes the three partitions; returns the transcripts of test-clean, which has no text files."""
    test_texts = []
    patterns = np.random.default_rng(seed).normal(size=(4, NUM_FEATS)).astype(np.float32)
    rng = np.random.default_rng(seed + 1)
    for partition, count in [("train-clean-100", train_utterances), ("dev-clean", 8), ("test-clean", 6)]:
        os.makedirs(os.path.join(root, partition, "fbank"))
        if partition != "test-clean":
            os.makedirs(os.path.join(root, partition, "text"))
        for i in range(count):
            text = " ".join(rng.choice(WORDS, 2))
            held = [np.repeat(patterns[" abc".index(c)][:, None], FRAMES_PER_CHAR, 1) for c in text]
            feats = np.concatenate(held, 1) + 0.2 * rng.normal(size=(NUM_FEATS, FRAMES_PER_CHAR * len(text)))
            np.save(os.path.join(root, partition, "fbank", f"{i:04d}.npy"), feats.astype(np.float32))
            if partition != "test-clean":
                np.save(os.path.join(root, partition, "text", f"{i:04d}.npy"), np.array(list(text)))
            else:
                test_texts.append(text)
    return test_texts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epochs", type=int, default=30, help="training epochs (default 30)")
    parser.add_argument("--train-utterances", type=int, default=48, help="training utterances (default 48)")
    parser.add_argument("--d-model", type=int, default=64, help="model width, a multiple of 4 (default 64)")
    parser.add_argument("--workdir", default=None, help="where the corpus and expts/ go (default: a new temp dir)")
    parser.add_argument("--threads", type=int, default=1, help="CPU threads (the model is tiny; one avoids contention)")
    args = parser.parse_args()
    if min(args.epochs, args.train_utterances, args.d_model, args.threads) < 1 or args.d_model % 4:
        parser.error("sizes must be positive and --d-model a multiple of 4")
    torch.set_num_threads(args.threads)
    workdir = os.path.abspath(args.workdir or tempfile.mkdtemp(prefix="tiny_asr_"))
    os.makedirs(workdir, exist_ok=True)
    os.chdir(workdir)
    torch.manual_seed(0)
    start = time.time()

    test_texts = write_corpus(os.path.join(workdir, "corpus"), args.train_utterances)
    config: dict = {
        "data": {"root": os.path.join(workdir, "corpus"), "norm": "global_mvn", "num_feats": NUM_FEATS,
                 "batch_size": 8, "NUM_WORKERS": 0, "specaug": True,
                 "specaug_conf": {"apply_freq_mask": True, "num_freq_mask": 1, "freq_mask_width_range": 2,
                                  "apply_time_mask": True, "num_time_mask": 1, "time_mask_width_range": 2}},
        "loss": {"label_smoothing": 0.05, "ctc_weight": 0.3},
        "training": {"gradient_accumulation_steps": 1, "use_wandb": False},
        "optimizer": {"name": "adamw", "lr": 4e-3, "weight_decay": 1e-4,
                      "adamw": {"betas": [0.9, 0.98], "eps": 1e-8, "amsgrad": False}},
        "scheduler": {"name": "cosine", "cosine": {"T_max": args.epochs, "eta_min": 1e-4, "last_epoch": -1}},
    }
    with open("config.yaml", "w") as f:
        yaml.safe_dump(config, f)

    tokenizer = VantTokenizer()
    train_set = ASRDataset("train-clean-100", config["data"], tokenizer, True)
    stats = (train_set.global_mean, train_set.global_std)
    dev_set = ASRDataset("dev-clean", config["data"], tokenizer, False, stats)
    test_set = ASRDataset("test-clean", config["data"], tokenizer, False, stats)
    loaders = {name: torch.utils.data.DataLoader(ds, batch_size=8, shuffle=name == "train", collate_fn=ds.collate_fn)
               for name, ds in [("train", train_set), ("dev", dev_set), ("test", test_set)]}

    # The recurrent front-end keeps this quick on a CPU. The trainer picks the training precision
    # (training.precision: auto): float32 on most CPUs, bfloat16 where the CPU has units for it.
    model = EncoderDecoderTransformer(NUM_FEATS, tokenizer.vocab_size, d_model=args.d_model, num_heads=4,
                                      d_ff=2 * args.d_model,
                                      num_encoder_layers=2, num_decoder_layers=2, dropout=0.05, max_len=512,
                                      time_reduction=2, reduction_method="lstm")
    trainer = ASRTrainer(model, tokenizer, config, "tiny-asr", "config.yaml", device="cpu")
    trainer.optimizer = ostravel(trainer.model, config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], loaders["train"])

    trainer.train(loaders["train"], loaders["dev"], args.epochs)
    history = trainer.training_history
    print("\nepoch  ce_loss  val_cer  val_wer")
    for h in history:
        print(f"{h['epoch']:5d}  {h['train']['ce_loss']:7.4f}  {h['val']['cer']:7.2f}  {h['val']['wer']:7.2f}")

    trainer.load_checkpoint("checkpoint-best-metric-model.pth")
    records = trainer.recognize(loaders["dev"], {"num_batches": None, "beam_width": 4}, "dev beam_4")
    print("\nDevelopment set with the best checkpoint (beam 4):")
    for r in records[:4]:
        print(f"  target {r['target']!r:12} recognised {r['generated']!r:12} score {r['score']:.3f}")
    metrics = error_rates([r["target"] for r in records], [r["generated"] for r in records])
    print("  " + ", ".join(f"{k} {v:.2f}" for k, v in metrics.items()))

    tables = trainer.evaluate(loaders["test"])
    for name, table in tables.items():
        table["reference"] = test_texts  # known here because the corpus was generated
        scores = error_rates(test_texts, list(table["transcription"]))
        print(f"\nTest set, {name} (wer {scores['wer']:.2f}, cer {scores['cer']:.2f}):\n{table.to_string(index=False)}")
    trainer.cleanup()
    print(f"\nExperiment directory: {trainer.expt_root}  ({time.time() - start:.1f} s)")


if __name__ == "__main__":
    main()
