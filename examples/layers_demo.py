"""Builds an encoder layer stack and a decoder layer stack with padding and causal masks
and prints the shapes that flow through them (a few seconds on a CPU, most of it importing torch).

    PYTHONPATH=src python examples/layers_demo.py [--d-model 64 --heads 4 --d-ff 256 --layers 2]
"""
import argparse

import torch
import torch.nn as nn

from quillane.model.masks import CausalMask, PadMask
from quillane.model.orlesque import SelfAttentionEncoderLayer
from quillane.model.tremmoth import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--d-model", type=int, default=64, help="model width (default 64)")
    parser.add_argument("--heads", type=int, default=4, help="attention heads (default 4)")
    parser.add_argument("--d-ff", type=int, default=256, help="feed-forward width (default 256)")
    parser.add_argument("--layers", type=int, default=2, help="layers per stack (default 2)")
    args = parser.parse_args()
    if min(args.d_model, args.heads, args.d_ff, args.layers) < 1 or args.d_model % args.heads:
        parser.error("sizes must be positive and --d-model a multiple of --heads")
    return args


def main():
    args = parse_args()
    torch.manual_seed(0)
    d_model, heads, d_ff = args.d_model, args.heads, args.d_ff
    encoder = nn.ModuleList(SelfAttentionEncoderLayer(d_model, heads, d_ff) for _ in range(args.layers)).eval()
    decoder = nn.ModuleList(CrossAttentionDecoderLayer(d_model, heads, d_ff) for _ in range(args.layers)).eval()
    lm = nn.ModuleList(SelfAttentionDecoderLayer(d_model, heads, d_ff) for _ in range(args.layers)).eval()

    # a batch of three speech embeddings (S = 12 frames) and their transcripts (T = 7 tokens)
    speech, speech_lengths = torch.randn(3, 12, d_model), torch.tensor([12, 9, 5])
    text, text_lengths = torch.randn(3, 7, d_model), torch.tensor([7, 4, 6])
    enc_pad, dec_pad, causal = PadMask(speech, speech_lengths), PadMask(text, text_lengths), CausalMask(text)
    print(f"speech {tuple(speech.shape)}  text {tuple(text.shape)}")
    print(f"masks: encoder padding {tuple(enc_pad.shape)}, decoder padding {tuple(dec_pad.shape)}, "
          f"causal {tuple(causal.shape)}")

    with torch.inference_mode():
        x = speech
        for i, layer in enumerate(encoder):
            x, weights = layer(x, key_padding_mask=enc_pad)
            print(f"encoder layer {i}: output {tuple(x.shape)}, self-attention {tuple(weights.shape)}")
        enc_output = x

        y = text
        for i, layer in enumerate(decoder):
            y, self_weights, cross_weights = layer(y, enc_output, dec_key_padding_mask=dec_pad,
                                                   enc_key_padding_mask=enc_pad, attn_mask=causal)
            print(f"decoder layer {i}: output {tuple(y.shape)}, self-attention {tuple(self_weights.shape)}, "
                  f"cross-attention {tuple(cross_weights.shape)}")

        z = text
        for i, layer in enumerate(lm):
            z, weights = layer(z, key_padding_mask=dec_pad, attn_mask=causal)
            print(f"decoder-only layer {i}: output {tuple(z.shape)}, self-attention {tuple(weights.shape)}")

    future = weights[0].triu(1).abs().sum().item()
    padded = cross_weights[2, :, 5:].abs().sum().item()
    print(f"attention on future tokens: {future:.1f}; on padded frames: {padded:.1f}")


if __name__ == "__main__":
    main()
