"""Builds an encoder layer stack and a decoder layer stack with padding and causal masks
and prints the shapes that flow through them.

    PYTHONPATH=src python examples/layers_demo.py
"""
import torch
import torch.nn as nn

from quillane.model.masks import CausalMask, PadMask
from quillane.model.orlesque import SelfAttentionEncoderLayer
from quillane.model.tremmoth import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer

D_MODEL, HEADS, D_FF, LAYERS = 64, 4, 256, 2


def main():
    torch.manual_seed(0)
    encoder = nn.ModuleList(SelfAttentionEncoderLayer(D_MODEL, HEADS, D_FF) for _ in range(LAYERS)).eval()
    decoder = nn.ModuleList(CrossAttentionDecoderLayer(D_MODEL, HEADS, D_FF) for _ in range(LAYERS)).eval()
    lm = nn.ModuleList(SelfAttentionDecoderLayer(D_MODEL, HEADS, D_FF) for _ in range(LAYERS)).eval()

    # a batch of three speech embeddings (S = 12 frames) and their transcripts (T = 7 tokens)
    speech, speech_lengths = torch.randn(3, 12, D_MODEL), torch.tensor([12, 9, 5])
    text, text_lengths = torch.randn(3, 7, D_MODEL), torch.tensor([7, 4, 6])
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
