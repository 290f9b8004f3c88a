"""Decoding cost and accuracy: incremental (cached) scoring against whole-prefix rescoring.

Three parts, each timing both paths in the same process (warm-up first, the two paths
alternating, medians of --repeats >= 3 runs):

growth    beam 10 x 8 utterances of a randomly initialised recogniser of the demo's size
          (configs/demo.yaml model settings), decoded to 50 and to 200 tokens with the end token
          suppressed so every hypothesis runs to length. Reported: median seconds per path and
          length and the 200/50 ratio (target for the cached path: <= 5x; whole-prefix rescoring
          grows with the square of the length).
ctc       one step of CTC prefix scoring (rows x candidates x frames) by the C++ recursion and by
          the same recursion written as batched torch operations over rows and candidates.
held-out  the demo's trained recogniser and language model on its held-out partition
          (needs `quillane demo` output: --asr-expt, --lm-expt, --data): beam 10 cached against
          whole-prefix rescoring (utterances/s, speed-up, identical hypotheses), then WER/CER of
          greedy, beam 10, beam 10 + LM, beam 10 + CTC (0.3), beam 10 + CTC + LM. Skipped with a
          message when the experiments or the corpus are missing.

    PYTHONPATH=src python bench/bench_decoding.py [--asr-expt expts/demo-asr] [--lm-expt expts/demo-lm]
        [--data data/synth] [--parts growth,ctc,held-out] [--quick] [--threads 1]
"""
import argparse
import math
import statistics
import time
from pathlib import Path

import torch
import yaml

from quillane.data.tokenizer import VantTokenizer
from quillane.decoding.ctc_prefix import CTCPrefixScorer
from quillane.decoding.fusion import FusedScorer
from quillane.decoding.sequence_generator import SequenceGenerator
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer

ROOT = Path(__file__).resolve().parents[1]


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def medians(runs, repeats, warm_up=True):
    """runs: {name: fn}. Runs every fn once to warm up, then `repeats` rounds, alternating the
    order each round; returns {name: (median seconds, last result)}."""
    if warm_up:
        for fn in runs.values():
            fn()
    times = {name: [] for name in runs}
    results = {}
    names = list(runs)
    for r in range(repeats):
        for name in (names if r % 2 == 0 else names[::-1]):
            seconds, results[name] = timed(runs[name])
            times[name].append(seconds)
    return {name: (statistics.median(times[name]), results[name]) for name in runs}


# ----------------------------------------------------------------------------------------
# Scorers: cached (the model's incremental scorer) and whole-prefix rescoring
# ----------------------------------------------------------------------------------------

class WithoutEnd:
    """An incremental scorer whose end token never wins, so hypotheses run to max_length."""

    def __init__(self, scorer, end):
        self.scorer, self.end = scorer, end

    def init_state(self, prompts):
        return self.scorer.init_state(prompts)

    def step(self, state, tokens):
        logits, state = self.scorer.step(state, tokens)
        logits[:, self.end] = -math.inf
        return logits, state

    def reorder(self, state, index):
        return self.scorer.reorder(state, index)


def uncached_without_end(model, enc, mask, end):
    def score(x):
        logits = model.score(x, enc, mask)
        logits[:, end] = -math.inf
        return logits
    return score


def demo_settings():
    with open(ROOT / "configs" / "demo.yaml") as f:
        config = yaml.safe_load(f)
    return config["data"]["num_feats"], config["model"]


# ----------------------------------------------------------------------------------------
# growth
# ----------------------------------------------------------------------------------------

def bench_growth(args, tok):
    num_feats, settings = demo_settings()
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(num_feats, tok.vocab_size, **settings).eval()
    utterances, beam, lengths = (4, 4, (20, 80)) if args.quick else (8, 10, (50, 200))
    feats = torch.randn(utterances, args.frames, num_feats)
    with torch.inference_mode():
        enc, mask, _, _ = model.encode(feats, torch.full((utterances,), args.frames))
    prompts = torch.full((utterances, 1), tok.sos_id)

    def run(cached, tokens):
        fn = WithoutEnd(model.scorer(enc, mask), tok.eos_id) if cached else \
            uncached_without_end(model, enc, mask, tok.eos_id)
        gen = SequenceGenerator(score_fn=fn, tokenizer=tok, max_length=tokens + 1)

        def decode():
            with torch.inference_mode():
                return gen.generate_beam(prompts, beam_width=beam)
        return decode

    runs = {(path, n): run(path == "cached", n) for path in ("cached", "uncached") for n in lengths}
    print(f"== growth: beam {beam} x {utterances} utterances of {args.frames} frames, end token suppressed, "
          f"medians of {args.repeats}")
    result = medians(runs, args.repeats)
    short, long = lengths
    print(f"{'path':<10}{f'{short} tokens s':>16}{f'{long} tokens s':>16}{'ratio':>9}")
    for path in ("cached", "uncached"):
        a, b = result[(path, short)][0], result[(path, long)][0]
        print(f"{path:<10}{a:>16.2f}{b:>16.2f}{b / a:>8.1f}x")
    same = torch.equal(result[("cached", long)][1][0], result[("uncached", long)][1][0])
    print(f"speed-up at {long} tokens: {result[('uncached', long)][0] / result[('cached', long)][0]:.1f}x; "
          f"identical hypotheses: {same}")


# ----------------------------------------------------------------------------------------
# ctc: the C++ recursion against batched torch operations
# ----------------------------------------------------------------------------------------

def torch_prefix_scores(x, lengths, blank, r, last, prefix_length, candidates):
    """The CTC prefix recursion vectorised over rows and candidates, looping over frames.
    x (N, T, V) rows' log-probabilities, r (N, T, 2) of their prefixes (all rows non-empty)."""
    n, frames, _ = x.shape
    width = candidates.size(1)
    xc = x.gather(2, candidates.unsqueeze(1).expand(n, frames, width))  # (N, T, C)
    xb = x[:, :, blank].unsqueeze(2)
    g_total = torch.logaddexp(r[:, :, 0], r[:, :, 1]).unsqueeze(2)
    repeat = candidates.eq(last.unsqueeze(1)).unsqueeze(1)
    phi = torch.where(repeat, r[:, :, 1].unsqueeze(2), g_total)  # (N, T, C)
    rn = torch.full((n, width), -math.inf)
    rb = torch.full((n, width), -math.inf)
    prefix = torch.full((n, width), -math.inf)
    for t in range(1, frames):
        valid = (t < lengths).unsqueeze(1) & (t >= prefix_length).unsqueeze(1)
        new_rn = torch.logaddexp(rn, phi[:, t - 1]) + xc[:, t]
        new_rb = torch.logaddexp(rb, rn) + xb[:, t]
        prefix = torch.where(valid, torch.logaddexp(prefix, phi[:, t - 1] + xc[:, t]), prefix)
        rn, rb = torch.where(valid, new_rn, rn), torch.where(valid, new_rb, rb)
    return prefix


def bench_ctc(args, tok):
    rows, width, frames, vocab = (40, 8, 100, tok.vocab_size) if args.quick else (80, 16, args.frames // 4, tok.vocab_size)
    torch.manual_seed(0)
    log_probs = torch.randn(frames, rows, vocab).log_softmax(-1)
    lengths = torch.full((rows,), frames)
    scorer = CTCPrefixScorer(log_probs, lengths, tok.pad_id, tok.eos_id)
    state = scorer.init_state(torch.ones(rows, 1, dtype=torch.long))
    labels = torch.randint(3, vocab, (rows, 5))
    for j in range(labels.size(1)):  # a prefix of five labels
        _, state = scorer.score(state, labels[:, j:j + 1])
        state = scorer.extend(state, labels[:, j])
    candidates = torch.randint(3, vocab, (rows, width))
    x = log_probs.transpose(0, 1).contiguous()
    runs = {
        "C++": lambda: scorer.score(state, candidates)[0],
        "torch": lambda: torch_prefix_scores(x, lengths, tok.pad_id, state["r"], state["last"],
                                             state["prefix_length"], candidates),
    }
    result = medians(runs, max(args.repeats, 5))
    agree = torch.allclose(result["C++"][1], result["torch"][1], atol=1e-3)
    print(f"\n== ctc: one prefix-scoring step, {rows} rows x {width} candidates x {frames} frames, "
          f"medians of {max(args.repeats, 5)}")
    for name in runs:
        print(f"{name:<8}{result[name][0] * 1e3:>10.2f} ms")
    print(f"torch / C++: {result['torch'][0] / result['C++'][0]:.1f}x; same scores: {agree}")


# ----------------------------------------------------------------------------------------
# held-out: the demo's trained models
# ----------------------------------------------------------------------------------------

def load_model(cls, expt, *model_args):
    checkpoint = torch.load(Path(expt) / "checkpoints" / "checkpoint-best-metric-model.pth", map_location="cpu",
                            weights_only=False)
    model = cls(*model_args, **checkpoint["config"]["model"])
    model.load_state_dict(checkpoint["model_state_dict"])
    return model.eval(), checkpoint["config"]


def held_out_set(config, data_root, tok, count):
    from quillane.data import prepare
    from quillane.data.quenmark import ASRDataset

    data = dict(config["data"], root=str(data_root))
    train = ASRDataset("train-clean-100", data, tok, True)
    stats = (train.global_mean, train.global_std) if data["norm"] == "global_mvn" else None
    full = ASRDataset("test-clean", data, tok, False, stats)
    test = torch.utils.data.Subset(full, range(min(count, len(full)))) if count else full
    loader = torch.utils.data.DataLoader(test, batch_size=data.get("eval_batch_size", data["batch_size"]),
                                         shuffle=False, collate_fn=full.collate_fn)
    read = prepare.read_transcripts
    train_texts = [t for _, t in read(str(Path(data_root) / "train-clean-100" / "transcripts.txt"))]
    references = [t for _, t in read(str(Path(data_root) / "test-clean" / "transcripts.txt"))]
    max_length = max(len(tok.encode(t)) for t in train_texts + references) + 8
    return loader, references[:len(test)], max_length


def recognise(model, loader, tok, config, max_length, cached=True):
    """Texts of the loader's utterances, decoded as ASRTrainer.recognize does; cached=False rescores
    whole prefixes with model.score (the plain score function path)."""
    texts = []
    gen = SequenceGenerator(score_fn=None, tokenizer=tok, max_length=max_length)
    with torch.inference_mode():
        for feats, _, _, feat_lengths, _ in loader:
            enc, mask, _, ctc = model.encode(feats, feat_lengths)
            fused = FusedScorer(model, enc, mask, config, ctc, tok.pad_id, tok.eos_id)
            gen.score_fn = fused if cached else fused.__call__
            prompts = torch.full((feats.size(0), 1), tok.sos_id)
            if config["beam_width"] > 1:
                seqs = gen.generate_beam(prompts, beam_width=config["beam_width"])[0][:, 0]
            else:
                seqs = gen.generate_greedy(prompts)[0]
            texts += [tok.decode(s.tolist(), skip_special_tokens=True) for s in gen.post_process_sequence(seqs, tok)]
    return texts


def error_rates(references, hypotheses):
    import torchmetrics.text as tmt

    return 100 * float(tmt.WordErrorRate()(hypotheses, references)), \
        100 * float(tmt.CharErrorRate()(hypotheses, references))


def bench_held_out(args, tok):
    asr_expt, lm_expt, data = Path(args.asr_expt), Path(args.lm_expt), Path(args.data)
    missing = [str(p) for p in (asr_expt / "checkpoints", lm_expt / "checkpoints", data / "test-clean") if not p.exists()]
    if missing:
        print(f"\n== held-out: skipped, missing {', '.join(missing)} (run `quillane demo` first, or pass "
              f"--asr-expt, --lm-expt, --data)")
        return
    with open(ROOT / "configs" / "demo.yaml") as f:
        num_feats = yaml.safe_load(f)["data"]["num_feats"]
    model, config = load_model(EncoderDecoderTransformer, asr_expt, num_feats, tok.vocab_size)
    lm, _ = load_model(DecoderOnlyTransformer, lm_expt, tok.vocab_size)
    loader, references, max_length = held_out_set(config, data, tok, 16 if args.quick else None)
    count = len(references)
    lm_weight = config.get("decoding", {}).get("beam_4_lm_0.3", {}).get("lm_weight", 0.3)

    base = {"num_batches": None, "temperature": 1.0, "repeat_penalty": 1.0, "lm_weight": 0.0, "lm_model": None}
    beam10 = dict(base, beam_width=10)
    runs = {path: (lambda cached=(path == "cached"): recognise(model, loader, tok, beam10, max_length, cached))
            for path in ("cached", "uncached")}
    print(f"\n== held-out speed: beam 10 over {count} utterances, max_length {max_length}, medians of {args.repeats}")
    result = medians(runs, args.repeats)
    for path in runs:
        print(f"{path:<10}{result[path][0]:>9.2f} s{count / result[path][0]:>9.2f} utterances/s")
    same = sum(a == b for a, b in zip(result["cached"][1], result["uncached"][1]))
    print(f"speed-up: {result['uncached'][0] / result['cached'][0]:.1f}x; identical hypotheses: {same}/{count}")

    set_ups = [("greedy", dict(base, beam_width=1)), ("beam_10", beam10),
               (f"beam_10_lm_{lm_weight}", dict(beam10, lm_model=lm, lm_weight=lm_weight)),
               ("beam_10_ctc_0.3", dict(beam10, ctc_weight=0.3)),
               (f"beam_10_ctc_0.3_lm_{lm_weight}", dict(beam10, ctc_weight=0.3, lm_model=lm, lm_weight=lm_weight))]
    print(f"\n== held-out accuracy ({count} utterances)")
    print(f"{'decoding':<28}{'WER %':>8}{'CER %':>8}{'utt/s':>8}")
    for name, rc in set_ups:
        seconds, hyps = timed(lambda: recognise(model, loader, tok, rc, max_length))
        wer, cer = error_rates(references, hyps)
        print(f"{name:<28}{wer:>8.2f}{cer:>8.2f}{count / seconds:>8.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--asr-expt", default="expts/demo-asr")
    parser.add_argument("--lm-expt", default="expts/demo-lm")
    parser.add_argument("--data", default="data/synth")
    parser.add_argument("--parts", default="growth,ctc,held-out")
    parser.add_argument("--frames", type=int, default=400, help="feature frames per utterance in the growth part")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, to check that the script works")
    args = parser.parse_args()
    if args.repeats < 3:
        parser.error("--repeats must be at least 3")
    torch.set_num_threads(args.threads)
    tok = VantTokenizer()
    parts = set(args.parts.split(","))
    if "growth" in parts:
        bench_growth(args, tok)
    if "ctc" in parts:
        bench_ctc(args, tok)
    if "held-out" in parts:
        bench_held_out(args, tok)


if __name__ == "__main__":
    main()
