"""Command-line entry point: corpus preparation, training and evaluation from a YAML recipe, the demo.

    quillane prepare librispeech SRC OUT
    quillane prepare synth OUT [--num-utterances N] [--seed S]
    quillane train CONFIG [--set KEY=VALUE ...]
    quillane evaluate CONFIG CHECKPOINT [--set KEY=VALUE ...]
    quillane check CONFIG [--set KEY=VALUE ...]
    quillane demo [--tiny] [--config CONFIG] [--set KEY=VALUE ...]
    quillane transcribe EXPERIMENT AUDIO... [--lm EXPERIMENT] [--beam N] [--json]

The recipes themselves (checking a configuration, building and running everything it names)
live in quillane.recipes; this driver parses arguments and reports errors. train, evaluate and
demo also run in every process of a torchrun job:

    torchrun --nproc_per_node=N --no-python quillane train CONFIG
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
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


def _error(message) -> int:
    print(f"error: {message}", file=sys.stderr)
    return 1


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
        return _error(e)
    for partition, c in summary.items():
        print(f"{partition}: {c['written']} written, {c['skipped']} already present")
    print(f"Corpus ready in {os.path.abspath(args.out)}")
    return 0


# ---------------------------------------------------------------------------
# recipes
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


def _makes_the_corpus() -> bool:
    """Whether this process would make a recipe's synthetic corpus: process 0 of a torchrun job
    makes it for all (a process started alone is process 0)."""
    several = os.environ.get("WORLD_SIZE", "1").strip() not in ("", "0", "1")
    return not several or os.environ.get("RANK", "0").strip() in ("", "0")


def _run_recipe(config_file, overrides, checkpoint=None) -> int:
    """Trains what the configuration describes (making its synthetic corpus first), or evaluates
    one of its checkpoints; a configuration problem becomes a message and exit status 1."""
    from quillane import recipes

    try:
        config = recipes.load_config(str(config_file), overrides)
        if checkpoint is not None:
            recipes.evaluate(config, checkpoint)
        elif not _makes_the_corpus() or not recipes.corpus_missing(config) or _ensure_espeak():
            recipes.train(config)
        else:
            return 1
    except (recipes.ConfigError, FileNotFoundError) as e:
        return _error(e)
    return 0


def _cmd_train(args: argparse.Namespace) -> int:
    return _run_recipe(args.config, args.overrides)


def _cmd_evaluate(args: argparse.Namespace) -> int:
    return _run_recipe(args.config, args.overrides, checkpoint=args.checkpoint)


def _cmd_check(args: argparse.Namespace) -> int:
    import yaml
    from quillane import recipes

    try:
        config = recipes.load_config(args.config, args.overrides)
    except (recipes.ConfigError, FileNotFoundError) as e:
        return _error(e)
    print(yaml.safe_dump(config, sort_keys=False, allow_unicode=True), end="")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    try:
        config_file = args.config or _config_path("demo_tiny.yaml" if args.tiny else "demo.yaml")
    except FileNotFoundError as e:
        return _error(e)
    return _run_recipe(config_file, args.overrides)


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
        return _error(e)
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

def _add_overrides(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--set", dest="overrides", action="append", default=[], metavar="KEY=VALUE",
                        help="override a setting: dotted key, YAML value (repeatable), e.g. training.epochs=3")


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

    train = sub.add_parser("train", help="train what a YAML recipe describes, then evaluate it on the test partition")
    train.add_argument("config", help="YAML recipe (see configs/)")
    _add_overrides(train)
    train.set_defaults(func=_cmd_train)

    evaluate = sub.add_parser("evaluate", help="evaluate a checkpoint of a recipe on its test partition")
    evaluate.add_argument("config", help="the recipe the checkpoint was trained with")
    evaluate.add_argument("checkpoint", help="a checkpoint file, or best, last or a file name in the "
                                             "experiment's checkpoints folder")
    _add_overrides(evaluate)
    evaluate.set_defaults(func=_cmd_evaluate)

    check = sub.add_parser("check", help="check a recipe and print it with every default filled in")
    check.add_argument("config", help="YAML recipe")
    _add_overrides(check)
    check.set_defaults(func=_cmd_check)

    demo = sub.add_parser("demo", help="synthetic corpus -> speech recogniser and character LM -> results")
    demo.add_argument("--tiny", action="store_true", help="a few utterances and one epoch (a quick check)")
    demo.add_argument("--config", help="YAML configuration (default configs/demo.yaml)")
    _add_overrides(demo)
    demo.set_defaults(func=_cmd_demo)
    _add_transcribe_parser(sub)
    return parser


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
