"""Forward+backward time of the C++ layer classes against plain-Python equivalents.

Each C++ layer is paired with a Python nn.Module that implements the same algorithm and
holds identical weights (loaded from the C++ layer's state_dict). Both run in training
mode with dropout 0, on the same inputs; the timed step is forward, sum of every output,
backward. Timings alternate between the two implementations in short blocks so that
background load affects both alike, and are taken as CPU time of the calling thread
(torch runs single-threaded here, and CPU autograd runs in the calling thread), which
other processes on a busy machine do not inflate; --wall measures wall-clock time instead.
The reported figure is the ratio of the medians (C++ / Python), which should stay at or
below 1.05.

A second table isolates the call path: every torch.nn child (attention, norm, dropout,
MLP) is replaced by a no-op stub in both implementations, so what remains is argument
binding, attribute look-ups, calls and tuple handling of the layer code itself.

Classes: the three residual blocks (SelfAttentionLayer, CrossAttentionLayer,
FeedForwardLayer) and the three layers assembled from them (SelfAttentionEncoderLayer,
SelfAttentionDecoderLayer, CrossAttentionDecoderLayer).

    PYTHONPATH=src python bench/bench_layers.py [--quick] [--wall] [--threads N]
"""
import argparse
import statistics
import time
from typing import Optional, Tuple

import torch
import torch.nn as nn

from quillane.model.masks import CausalMask, PadMask
from quillane.model.orlesque import SelfAttentionEncoderLayer
from quillane.model.pellidor import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer
from quillane.model.tremmoth import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer


# ----------------------------------------------------------------------------------------
# Plain-Python equivalents
# ----------------------------------------------------------------------------------------

class PySelfAttentionLayer(nn.Module):
    def __init__(self, d_model: int, num_heads: int, dropout: float = 0.0):
        super().__init__()
        self.mha = nn.MultiheadAttention(embed_dim=d_model, num_heads=num_heads, dropout=dropout,
                                         batch_first=True)
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,
                attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]:
        residual = x
        x_norm = self.norm(x)
        x_mha, weights = self.mha(query=x_norm, key=x_norm, value=x_norm,
                                  key_padding_mask=key_padding_mask, attn_mask=attn_mask,
                                  need_weights=True, average_attn_weights=True)
        x = residual + self.dropout(x_mha)
        return x, weights


class PyCrossAttentionLayer(PySelfAttentionLayer):
    def forward(self, x: torch.Tensor, y: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None,
                attn_mask: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]:
        residual = x
        x_norm = self.norm(x)
        x_mha, weights = self.mha(query=x_norm, key=y, value=y,
                                  key_padding_mask=key_padding_mask, attn_mask=attn_mask,
                                  need_weights=True, average_attn_weights=True)
        x = residual + self.dropout(x_mha)
        return x, weights


class PyFeedForwardLayer(nn.Module):
    def __init__(self, d_model: int, d_ff: int, dropout: float = 0.0):
        super().__init__()
        self.ffn = nn.Sequential(nn.Linear(d_model, d_ff), nn.GELU(), nn.Dropout(dropout),
                                 nn.Linear(d_ff, d_model))
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        residual = x
        x_norm = self.norm(x)
        x_ffn = self.ffn(x_norm)
        return residual + self.dropout(x_ffn)


class PySelfAttentionEncoderLayer(nn.Module):
    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1):
        super().__init__()
        self.self_attn = PySelfAttentionLayer(d_model, num_heads, dropout)
        self.ffn = PyFeedForwardLayer(d_model, d_ff, dropout)

    def forward(self, x, key_padding_mask=None):
        x, weights = self.self_attn(x, key_padding_mask=key_padding_mask)
        x = self.ffn(x)
        return x, weights


class PySelfAttentionDecoderLayer(PySelfAttentionEncoderLayer):
    def forward(self, x, key_padding_mask=None, attn_mask=None):
        x, weights = self.self_attn(x, key_padding_mask=key_padding_mask, attn_mask=attn_mask)
        x = self.ffn(x)
        return x, weights


class PyCrossAttentionDecoderLayer(nn.Module):
    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1):
        super().__init__()
        self.self_attn = PySelfAttentionLayer(d_model, num_heads, dropout)
        self.cross_attn = PyCrossAttentionLayer(d_model, num_heads, dropout)
        self.ffn = PyFeedForwardLayer(d_model, d_ff, dropout)

    def forward(self, x, enc_output, dec_key_padding_mask=None, enc_key_padding_mask=None, attn_mask=None):
        x, self_weights = self.self_attn(x, key_padding_mask=dec_key_padding_mask, attn_mask=attn_mask)
        x, cross_weights = self.cross_attn(x, enc_output, key_padding_mask=enc_key_padding_mask, attn_mask=None)
        x = self.ffn(x)
        return x, self_weights, cross_weights


# ----------------------------------------------------------------------------------------

def make_cases(n: int, t: int, d_model: int):
    """(name, C++ layer, Python layer, positional inputs, keyword inputs) per class."""
    heads, d_ff = 4, 4 * d_model
    torch.manual_seed(0)
    x = torch.randn(n, t, d_model, requires_grad=True)
    enc = torch.randn(n, t + t // 2, d_model, requires_grad=True)
    lengths = torch.randint(1, t + 1, (n,))
    enc_lengths = torch.randint(1, enc.shape[1] + 1, (n,))
    dec_pad, enc_pad, causal = PadMask(x, lengths), PadMask(enc, enc_lengths), CausalMask(x)
    specs = [
        ("SelfAttentionLayer", SelfAttentionLayer, PySelfAttentionLayer, (d_model, heads, 0.0),
         (x,), dict(key_padding_mask=dec_pad, attn_mask=causal)),
        ("CrossAttentionLayer", CrossAttentionLayer, PyCrossAttentionLayer, (d_model, heads, 0.0),
         (x, enc), dict(key_padding_mask=enc_pad)),
        ("FeedForwardLayer", FeedForwardLayer, PyFeedForwardLayer, (d_model, d_ff, 0.0), (x,), {}),
        ("SelfAttentionEncoderLayer", SelfAttentionEncoderLayer, PySelfAttentionEncoderLayer,
         (d_model, heads, d_ff, 0.0), (x,), dict(key_padding_mask=dec_pad)),
        ("SelfAttentionDecoderLayer", SelfAttentionDecoderLayer, PySelfAttentionDecoderLayer,
         (d_model, heads, d_ff, 0.0), (x,), dict(key_padding_mask=dec_pad, attn_mask=causal)),
        ("CrossAttentionDecoderLayer", CrossAttentionDecoderLayer, PyCrossAttentionDecoderLayer,
         (d_model, heads, d_ff, 0.0), (x, enc),
         dict(dec_key_padding_mask=dec_pad, enc_key_padding_mask=enc_pad, attn_mask=causal)),
    ]
    for name, cpp_cls, py_cls, ctor, args, kwargs in specs:
        cpp = cpp_cls(*ctor)
        py = py_cls(*ctor)
        py.load_state_dict(cpp.state_dict())
        yield name, cpp, py, args, kwargs


class Stub(nn.Module):
    """Stands in for a torch.nn child: returns its input (with no weights for attention)."""

    def forward(self, *args, **kwargs):
        first = args[0] if args else kwargs["query"]
        return (first, None) if "need_weights" in kwargs else first


def stubbed(layer):
    for name, child in list(layer.named_children()):
        if isinstance(child, (nn.MultiheadAttention, nn.LayerNorm, nn.Dropout, nn.Sequential)):
            setattr(layer, name, Stub())
        else:
            stubbed(child)
    return layer


clock = time.thread_time


def step(layer, args, kwargs):
    out = layer(*args, **kwargs)
    loss = sum(o.sum() for o in out) if isinstance(out, tuple) else out.sum()
    loss.backward()


def call(layer, args, kwargs):
    layer(*args, **kwargs)


def time_block(fn, layer, args, kwargs, iters: int) -> float:
    start = clock()
    for _ in range(iters):
        fn(layer, args, kwargs)
    return (clock() - start) / iters


def compare(fn, cpp, py, args, kwargs, budget_s: float):
    for layer in (cpp, py):  # warm-up
        for _ in range(3):
            fn(layer, args, kwargs)
    once = max(time_block(fn, py, args, kwargs, 3), 1e-7)
    iters = max(1, int(0.01 / once))          # ~10 ms blocks
    rounds = max(5, int(budget_s / (2 * iters * once)))
    cpp_times, py_times = [], []
    for r in range(rounds):
        order = ((cpp, cpp_times), (py, py_times)) if r % 2 == 0 else ((py, py_times), (cpp, cpp_times))
        for layer, times in order:
            times.append(time_block(fn, layer, args, kwargs, iters))
    return statistics.median(cpp_times), statistics.median(py_times)


def same_results(cpp, py, args, kwargs) -> bool:
    with torch.no_grad():
        a, b = cpp(*args, **kwargs), py(*args, **kwargs)
    a, b = (a if isinstance(a, tuple) else (a,)), (b if isinstance(b, tuple) else (b,))
    return len(a) == len(b) and all(torch.allclose(u, v, atol=1e-6) for u, v in zip(a, b))


def main():
    global clock
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs (noisier)")
    parser.add_argument("--wall", action="store_true", help="wall-clock instead of thread CPU time")
    parser.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    opts = parser.parse_args()
    torch.set_num_threads(opts.threads)
    if opts.wall or opts.threads != 1:
        clock = time.perf_counter
    budget = 0.5 if opts.quick else 3.0
    sizes = [(1, 4, 16), (8, 128, 256)]
    kind = "wall-clock" if clock is time.perf_counter else "thread CPU time"
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread(s), {kind}, median per call")
    print(f"\nforward+backward{'N,T,d_model':>26}{'C++ us':>12}{'Python us':>12}{'ratio':>8}")
    worst = 0.0
    for n, t, d in sizes:
        for name, cpp, py, args, kwargs in make_cases(n, t, d):
            assert same_results(cpp, py, args, kwargs), f"{name}: outputs differ"
            c, p = compare(step, cpp, py, args, kwargs, budget)
            worst = max(worst, c / p)
            print(f"{name:<28}{f'{n},{t},{d}':>14}{c * 1e6:>12.1f}{p * 1e6:>12.1f}{c / p:>8.3f}")
    print(f"worst ratio {worst:.3f} (target <= 1.05)")

    print(f"\ncall path only (torch.nn children stubbed), forward{'C++ us':>12}{'Python us':>12}{'diff us':>9}")
    for name, cpp, py, args, kwargs in make_cases(1, 4, 16):
        c, p = compare(call, stubbed(cpp), stubbed(py), args, kwargs, budget / 2)
        print(f"{name:<50}{c * 1e6:>12.2f}{p * 1e6:>12.2f}{(c - p) * 1e6:>+9.2f}")


if __name__ == "__main__":
    main()
