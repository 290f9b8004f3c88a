"""Transcribe audio or feature files with a trained recogniser, from its experiment folder alone.

    python examples/transcribe.py expts/demo-asr data/synth/test-clean/fbank/*.npy [--beam 10]
        [--lm expts/demo-lm] [--checkpoint best]

Audio files (16 kHz or more; several channels are averaged) and .npy feature files as
`quillane prepare` writes them may be mixed. With --reference FILE (lines "<utterance> <text>",
as the transcripts.txt of a prepared partition) the word and character error rates follow.
"""
from __future__ import annotations

import argparse
import time

from quillane import Recognizer
from quillane.data.prepare import read_transcripts
from quillane.scoring import error_rates


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("experiment", help="the recogniser's experiment folder (expts/<run_name>)")
    parser.add_argument("files", nargs="+", help="audio or .npy feature files")
    parser.add_argument("--beam", type=int, default=1, help="beam width (default 1: greedy search)")
    parser.add_argument("--lm", default=None, help="a language-model experiment folder to fuse")
    parser.add_argument("--lm-weight", type=float, default=0.3, help="weight of the language model (default 0.3)")
    parser.add_argument("--checkpoint", default="best", help="best, last or a checkpoint file (default best)")
    parser.add_argument("--reference", default=None, help="transcripts file to score against")
    args = parser.parse_args()

    start = time.time()
    recognizer = Recognizer.from_experiment(args.experiment, checkpoint=args.checkpoint)
    results = recognizer.transcribe(args.files, beam_width=args.beam, lm=args.lm, lm_weight=args.lm_weight)
    width = max(len(r["utterance"]) for r in results)
    for r in results:
        print(f"{r['utterance']:<{width}}  {r['score']:9.2f}  {r['text']}")
    if args.reference:
        references = dict(read_transcripts(args.reference))
        scored = [r for r in results if r["utterance"] in references]
        metrics = error_rates([references[r["utterance"]] for r in scored], [r["text"] for r in scored])
        print(f"{len(scored)} utterances scored: WER {metrics['wer']:.2f} %, CER {metrics['cer']:.2f} %")
    print(f"{len(results)} files in {time.time() - start:.1f} s on {recognizer.device}")


if __name__ == "__main__":
    main()
