"""Command-line entry point: corpus preparation and the end-to-end demo.

    quillane prepare librispeech SRC OUT
    quillane prepare synth OUT [--num-utterances N] [--seed S]
    quillane demo [--tiny]
    quillane transcribe EXPERIMENT AUDIO... [--lm EXPERIMENT] [--beam N] [--json]

The demo is an ordinary user script of the library: it builds the datasets, loaders, models,
optimizers and schedulers itself and hands them to the trainers.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

# Demo configurations: installed with the package, or the source checkout's configs/ folder.
CONFIG_DIRS = (Path(__file__).resolve().parent / "configs", Path(__file__).resolve().parents[2] / "configs")
ESPEAK_INSTALL = ["apt-get", "install", "-y", "espeak-ng"]


def _config_path(name: str) -> Path:
    """Finds a demo configuration: ./configs/<name>, then the one shipped beside the package."""
    for base in (Path.cwd() / "configs", *CONFIG_DIRS):
        if (base / name).is_file():
            return base / name
    raise FileNotFoundError(f"Demo configuration {name} not found in ./configs or {CONFIG_DIRS[0]}")


# ---------------------------------------------------------------------------
# prepare
# ---------------------------------------------------------------------------

def _cmd_prepare(args: argparse.Namespace) -> int:
    from quillane.data import prepare

    try:
        if args.source == "librispeech":
            summary = prepare.prepare_librispeech(args.src, args.out, num_feats=args.num_feats)
        else:
            summary = prepare.prepare_synth(args.out, num_utterances=args.num_utterances, seed=args.seed)
    except (OSError, ValueError, RuntimeError) as e:
        # bad input (missing or unreadable files, a folder of another corpus, no espeak-ng)
        print(f"error: {e}", file=sys.stderr)
        return 1
    for partition, c in summary.items():
        print(f"{partition}: {c['written']} written, {c['skipped']} already present")
    print(f"Corpus ready in {os.path.abspath(args.out)}")
    return 0


# ---------------------------------------------------------------------------
# demo
# ---------------------------------------------------------------------------

def _ensure_espeak() -> bool:
    """espeak-ng on PATH, installed with apt-get when missing and running as root."""
    if shutil.which("espeak-ng"):
        return True
    command = " ".join(ESPEAK_INSTALL)
    if hasattr(os, "geteuid") and os.geteuid() == 0 and shutil.which("apt-get"):
        print(f"espeak-ng is missing; running: apt-get update && {command}")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        ok = subprocess.run(["apt-get", "update"], env=env).returncode == 0
        ok = ok and subprocess.run(ESPEAK_INSTALL, env=env).returncode == 0
        if ok and shutil.which("espeak-ng"):
            return True
        print("Installing espeak-ng failed.", file=sys.stderr)
        return False
    print(f"espeak-ng is missing. Install it with:\n    sudo apt-get update && sudo {command}\n"
          "and run the demo again.", file=sys.stderr)
    return False


def _speech_loaders(config, tokenizer):
    import torch
    from quillane.data.quenmark import ASRDataset

    data = config["data"]
    train = ASRDataset("train-clean-100", data, tokenizer, True)
    stats = (train.global_mean, train.global_std) if data["norm"] == "global_mvn" else None
    dev = ASRDataset("dev-clean", data, tokenizer, False, stats)
    test = ASRDataset("test-clean", data, tokenizer, False, stats)
    g = torch.Generator().manual_seed(int(config["seed"]))

    def loader(ds, shuffle, batch_size):
        return torch.utils.data.DataLoader(ds, batch_size=batch_size, shuffle=shuffle, generator=g,
                                           collate_fn=ds.collate_fn, num_workers=data.get("NUM_WORKERS", 0))

    return (loader(train, True, data["batch_size"]), loader(dev, False, data.get("val_batch_size", data["batch_size"])),
            loader(test, False, data.get("eval_batch_size", data["batch_size"])))


def _train_lm(config, config_file, tokenizer, train_texts, dev_texts):
    from quillane.data.text_dataset import TextDataset
    from quillane.model import DecoderOnlyTransformer
    from quillane.trainers.selkarn import LMTrainer
    from quillane.utils import create_scheduler, ostravel
    import torch

    lm_cfg = config["lm"]
    train = TextDataset("train", train_texts, tokenizer)
    dev = TextDataset("dev", dev_texts, tokenizer)
    bs = lm_cfg["data"]["batch_size"]
    train_loader = torch.utils.data.DataLoader(train, batch_size=bs, shuffle=True, collate_fn=train.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev, batch_size=bs, shuffle=False, collate_fn=dev.collate_fn)
    model = DecoderOnlyTransformer(tokenizer.vocab_size, **lm_cfg["model"])
    trainer = LMTrainer(model, tokenizer, lm_cfg, lm_cfg["run_name"], str(config_file))
    g = lm_cfg["training"]["gradient_accumulation_steps"]
    trainer.optimizer = ostravel(model, lm_cfg["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, lm_cfg["scheduler"], train_loader, g)
    trainer.train(train_loader, dev_loader, lm_cfg["training"]["epochs"])
    trainer.cleanup()
    return trainer


def _table(rows) -> str:
    head = f"{'decoding':<24}{'WER %':>9}{'CER %':>9}{'time s':>9}"
    lines = [head, "-" * len(head)]
    for r in rows:
        lines.append(f"{r['decoding']:<24}{r['wer']:>9.2f}{r['cer']:>9.2f}{r['seconds']:>9.1f}")
    return "\n".join(lines)


def _cmd_demo(args: argparse.Namespace) -> int:
    import torch
    import yaml

    start = time.time()
    config_file = Path(args.config) if args.config else _config_path("demo_tiny.yaml" if args.tiny else "demo.yaml")
    with open(config_file) as f:
        config = yaml.safe_load(f)
    torch.manual_seed(int(config["seed"]))
    if config.get("num_threads"):
        torch.set_num_threads(int(config["num_threads"]))

    from quillane.data import prepare
    from quillane.data.tokenizer import VantTokenizer
    from quillane.model import EncoderDecoderTransformer
    from quillane.trainers.halvorn import ASRTrainer
    from quillane.utils import create_scheduler, ostravel

    # 1. corpus
    corpus = config["corpus"]
    root = Path(config["data"]["root"])
    print(f"== Synthetic corpus: {corpus['num_utterances']} utterances in {root.resolve()}")
    complete = all((root / p / "transcripts.txt").is_file()
                   for p in ("train-clean-100", "dev-clean", "test-clean"))
    if not complete and not _ensure_espeak():
        return 1
    t0 = time.time()
    prepare.prepare_synth(str(root), num_utterances=corpus["num_utterances"], seed=corpus["seed"])
    corpus_seconds = time.time() - t0

    # 2. speech recogniser
    tokenizer = VantTokenizer()
    train_loader, dev_loader, test_loader = _speech_loaders(config, tokenizer)
    model = EncoderDecoderTransformer(config["data"]["num_feats"], tokenizer.vocab_size, **config["model"])
    trainer = ASRTrainer(model, tokenizer, config, config["run_name"], str(config_file))
    g = config["training"]["gradient_accumulation_steps"]
    trainer.optimizer = ostravel(model, config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader, g)
    t0 = time.time()
    trainer.train(train_loader, dev_loader, config["training"]["epochs"])
    asr_seconds = time.time() - t0
    trainer.load_checkpoint("checkpoint-best-metric-model.pth")

    # 3. character language model on the training transcripts
    read = prepare.read_transcripts
    train_texts = [t for _, t in read(str(root / "train-clean-100" / "transcripts.txt"))]
    dev_texts = [t for _, t in read(str(root / "dev-clean" / "transcripts.txt"))]
    references = [t for _, t in read(str(root / "test-clean" / "transcripts.txt"))]
    t0 = time.time()
    lm_trainer = _train_lm(config, config_file, tokenizer, train_texts, dev_texts)
    lm_seconds = time.time() - t0

    # 4. held-out evaluation: greedy, beam search, beam search with shallow fusion
    rows = []
    max_length = max(len(tokenizer.encode(t)) for t in train_texts + references) + 8
    for name, dec in config["decoding"].items():
        rc = {"num_batches": None, "beam_width": dec.get("beam_width", 1), "temperature": 1.0,
              "repeat_penalty": 1.0, "lm_weight": dec.get("lm_weight", 0.0),
              "lm_model": lm_trainer.model if dec.get("lm_weight") else None}
        t0 = time.time()
        results = trainer.recognize(test_loader, rc, name, max_length)
        seconds = time.time() - t0
        hyps = [r["generated"] for r in results]
        metrics = trainer._calculate_asr_metrics(references[:len(hyps)], hyps)
        trainer._save_generated_text(
            [{"target": ref, "generated": r["generated"], "score": r["score"]} for ref, r in zip(references, results)],
            f"test_{name}_results")
        rows.append({"decoding": name, "wer": metrics["wer"], "cer": metrics["cer"], "seconds": seconds})
    trainer.cleanup()

    total = time.time() - start
    summary = {"rows": rows, "corpus_seconds": corpus_seconds, "asr_training_seconds": asr_seconds,
               "lm_training_seconds": lm_seconds, "total_seconds": total,
               "test_utterances": len(references)}
    results_file = trainer.expt_root / "results.json"
    results_file.write_text(json.dumps(summary, indent=2) + "\n")

    print()
    print(f"== Held-out results ({len(references)} test utterances)")
    print(_table(rows))
    print()
    print(f"corpus {corpus_seconds:.0f} s, ASR training {asr_seconds:.0f} s, "
          f"LM training {lm_seconds:.0f} s, total {total:.0f} s")
    print(f"ASR experiment: {trainer.expt_root}")
    print(f"    checkpoints {trainer.checkpoint_dir}, attention plots {trainer.attn_dir},")
    print(f"    recognised text (JSON) {trainer.text_dir}, results {results_file}")
    print(f"LM experiment:  {lm_trainer.expt_root}")
    _print_transcribe_hint(trainer.expt_root, lm_trainer.expt_root, root / "test-clean")
    return 0


def _print_transcribe_hint(asr_root, lm_root, test_partition) -> None:
    """The command that recognises one held-out utterance with the trained recogniser."""
    files = sorted((test_partition / "fbank").glob("*.npy"))
    if files:
        print(f"Try: quillane transcribe {os.path.relpath(asr_root)} {os.path.relpath(files[0])} "
              f"--beam 10 --lm {os.path.relpath(lm_root)}")


# ---------------------------------------------------------------------------
# transcribe
# ---------------------------------------------------------------------------

def _cmd_transcribe(args: argparse.Namespace) -> int:
    from quillane.inference import Recognizer

    try:
        recognizer = Recognizer.from_experiment(args.experiment, checkpoint=args.checkpoint, device=args.device)
        results = recognizer.transcribe(args.audio, beam_width=args.beam, lm=args.lm, lm_weight=args.lm_weight,
                                        ctc_weight=args.ctc_weight, batch_size=args.batch_size)
    except (OSError, ValueError, TypeError) as e:
        # a missing or inconsistent experiment, an unreadable input
        print(f"error: {e}", file=sys.stderr)
        return 1
    for r in results:
        print(json.dumps(r, ensure_ascii=False) if args.json else f"{r['source']}\t{r['text']}")
    return 0


def _add_transcribe_parser(sub) -> None:
    p = sub.add_parser("transcribe", help="recognise audio (or feature) files with a trained recogniser",
                       description="Prints one line per file: its path and the recognised text, tab-separated "
                                   "(with --json, a JSON object with utterance, source, text and score).")
    p.add_argument("experiment", help="the recogniser's experiment folder (expts/<run_name>)")
    p.add_argument("audio", nargs="+", help="audio files (16 kHz or more; channels are averaged) or .npy "
                                            "feature files as quillane prepare writes them")
    p.add_argument("--lm", help="a language-model experiment folder to fuse (same tokenizer)")
    p.add_argument("--lm-weight", type=float, default=0.3, help="weight of the language model (default 0.3)")
    p.add_argument("--beam", type=int, default=1, help="beam width (default 1: greedy search)")
    p.add_argument("--ctc-weight", type=float, default=0.0, help="joint CTC/attention weight (default 0: off)")
    p.add_argument("--checkpoint", default="best", help="best (default), last, or a checkpoint file")
    p.add_argument("--batch-size", type=int, default=8)
    p.add_argument("--device", help="cpu, cuda, cuda:1, ... (default: cuda when available)")
    p.add_argument("--json", action="store_true", help="one JSON object per line")
    p.set_defaults(func=_cmd_transcribe)


# ---------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quillane", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)

    prep = sub.add_parser("prepare", help="convert audio into the corpus layout of the speech dataset")
    src = prep.add_subparsers(dest="source", required=True)
    libri = src.add_parser("librispeech", help="a LibriSpeech-style tree of *.flac and *.trans.txt files")
    libri.add_argument("src", help="source tree (holding partitions, or one partition)")
    libri.add_argument("out", help="corpus root to write")
    libri.add_argument("--num-feats", type=int, default=80, help="mel bins (default 80)")
    synth = src.add_parser("synth", help="a small synthetic corpus spoken by espeak-ng")
    synth.add_argument("out", help="corpus root to write")
    synth.add_argument("--num-utterances", type=int, default=2000, help="all partitions together (default 2000)")
    synth.add_argument("--seed", type=int, default=0)
    prep.set_defaults(func=_cmd_prepare)

    demo = sub.add_parser("demo", help="synthetic corpus -> speech recogniser and character LM -> results")
    demo.add_argument("--tiny", action="store_true", help="a few utterances and one epoch (a quick check)")
    demo.add_argument("--config", help="YAML configuration (default configs/demo.yaml)")
    demo.set_defaults(func=_cmd_demo)
    _add_transcribe_parser(sub)
    return parser


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
