"""Both models on random input: an encoder-decoder recogniser's forward pass, greedy and beam
decoding through its incremental scorer, and a decoder-only LM's forward pass (untrained, so the
decoded text is arbitrary; a few seconds on a CPU, most of it importing torch).

    PYTHONPATH=src python examples/models_demo.py [--d-model 64 --layers 2 --frames 120 --beam-width 4]
"""
import argparse

import torch

from quillane.data.tokenizer import VantTokenizer
from quillane.decoding.sequence_generator import SequenceGenerator
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer

NUM_FEATS = 40


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--d-model", type=int, default=64, help="model width, a multiple of 4 (default 64)")
    parser.add_argument("--layers", type=int, default=2, help="encoder, decoder and LM layers (default 2)")
    parser.add_argument("--frames", type=int, default=120, help="feature frames of the longer utterance (default 120)")
    parser.add_argument("--max-length", type=int, default=12, help="longest decoded sequence (default 12)")
    parser.add_argument("--beam-width", type=int, default=4, help="beam search width (default 4)")
    args = parser.parse_args()
    if min(args.d_model, args.layers, args.max_length, args.beam_width) < 1 or args.d_model % 4:
        parser.error("sizes must be positive and --d-model a multiple of 4")
    if args.frames < 16:
        parser.error("--frames must be at least 16 (the front-end reduces time fourfold)")
    return args


def main():
    args = parse_args()
    torch.manual_seed(0)
    tok = VantTokenizer()
    feats, lengths = torch.randn(2, args.frames, NUM_FEATS), torch.tensor([args.frames, args.frames * 3 // 4])
    asr = EncoderDecoderTransformer(NUM_FEATS, tok.vocab_size, d_model=args.d_model, num_encoder_layers=args.layers,
                                    num_decoder_layers=args.layers).eval()
    lm = DecoderOnlyTransformer(tok.vocab_size, d_model=args.d_model, num_layers=args.layers, max_len=32).eval()

    shifted = torch.tensor([[tok.sos_id] + tok.encode("hello")] * 2)
    logits, attn, ctc = asr(feats, shifted, lengths, torch.tensor([6, 6]))
    print("asr logits", tuple(logits.shape), "ctc", tuple(ctc["log_probs"].shape), "attention", list(attn)[:3])
    print("lm logits", tuple(lm(shifted)[0].shape))

    enc, mask, _, _ = asr.encode(feats, lengths)
    gen = SequenceGenerator(score_fn=asr.scorer(enc, mask), tokenizer=tok, max_length=args.max_length, device="cpu")
    prompts = torch.full((2, 1), tok.sos_id)
    greedy = gen.generate_greedy(prompts)
    beam_seqs, beam_scores = gen.generate_beam(prompts, beam_width=args.beam_width)
    for name, (seqs, scores) in [("greedy", greedy), ("beam", (beam_seqs[:, 0], beam_scores[:, 0]))]:
        print(name, [tok.decode(s.tolist()) for s in gen.post_process_sequence(seqs, tok)], scores.tolist())


if __name__ == "__main__":
    main()
