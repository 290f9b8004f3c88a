"""Pre-norm residual blocks and the encoder/decoder layers assembled from them."""
import pytest
import torch
import torch.nn as nn
import torch.nn.functional as F

from quillane.model import orlesque, pellidor, tremmoth
from quillane.model.masks import CausalMask, PadMask
from quillane.model.orlesque import SelfAttentionEncoderLayer
from quillane.model.pellidor import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer
from quillane.model.tremmoth import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer

D, H, D_FF = 16, 4, 32
LAYERS = [SelfAttentionEncoderLayer, SelfAttentionDecoderLayer, CrossAttentionDecoderLayer]


def perturbed(layer):
    """The layer in eval mode with every parameter moved off its initial value (so that
    layer norms are not the identity and biases are not zero)."""
    torch.manual_seed(1)
    with torch.no_grad():
        for p in layer.parameters():
            p.add_(0.2 * torch.randn_like(p))
    return layer.eval()


def batch(n=2, t=5, s=7):
    torch.manual_seed(2)
    x, enc = torch.randn(n, t, D), torch.randn(n, s, D)
    dec_pad = PadMask(x, torch.tensor([t, t - 2][:n]))
    enc_pad = PadMask(enc, torch.tensor([s - 3, s][:n]))
    return x, enc, dec_pad, enc_pad, CausalMask(x)


def copy_weights(target: nn.Module, source: nn.Module):
    target.load_state_dict(source.state_dict())


# ---------------------------------------------------------------------------------------
# Numerical equality with references built from torch.nn modules holding the same weights
# ---------------------------------------------------------------------------------------

def reference_attention(block, query, key_value=None, **masks):
    norm, mha = nn.LayerNorm(D), nn.MultiheadAttention(D, H, batch_first=True)
    copy_weights(norm, block.norm)
    copy_weights(mha, block.mha)
    q = norm(query)
    kv = q if key_value is None else key_value
    out, weights = mha(q, kv, kv, need_weights=True, average_attn_weights=True, **masks)
    return query + out, weights


def test_self_attention_block_is_input_plus_attention_of_its_normalised_input():
    block = perturbed(SelfAttentionLayer(D, H))
    x, _, dec_pad, _, causal = batch()
    out, weights = block(x, key_padding_mask=dec_pad, attn_mask=causal)
    ref_out, ref_weights = reference_attention(block, x, key_padding_mask=dec_pad, attn_mask=causal)
    torch.testing.assert_close(out, ref_out)
    torch.testing.assert_close(weights, ref_weights)
    assert weights.shape == (2, 5, 5)  # averaged over heads


def test_cross_attention_block_normalises_only_the_decoder_stream():
    block = perturbed(CrossAttentionLayer(D, H))
    x, enc, _, enc_pad, _ = batch()
    out, weights = block(x, enc, key_padding_mask=enc_pad)
    ref_out, ref_weights = reference_attention(block, x, enc, key_padding_mask=enc_pad)
    torch.testing.assert_close(out, ref_out)
    torch.testing.assert_close(weights, ref_weights)
    assert weights.shape == (2, 5, 7)
    twin = SelfAttentionLayer(D, H).eval()
    copy_weights(twin, block)
    assert not torch.allclose(block(x, x)[0], twin(x)[0])


def test_feed_forward_block_is_input_plus_mlp_of_its_normalised_input():
    block = perturbed(FeedForwardLayer(D, D_FF))
    x = batch()[0]
    first, second = block.ffn[0], block.ffn[3]
    expected = x + second(F.gelu(first(F.layer_norm(x, (D,), block.norm.weight, block.norm.bias))))
    out = block(x)
    assert isinstance(out, torch.Tensor)
    torch.testing.assert_close(out, expected)


def encoder_reference(layer):
    ref = nn.TransformerEncoderLayer(D, H, D_FF, dropout=0.0, activation="gelu", batch_first=True, norm_first=True)
    copy_weights(ref.self_attn, layer.self_attn.mha)
    copy_weights(ref.norm1, layer.self_attn.norm)
    copy_weights(ref.linear1, layer.ffn.ffn[0])
    copy_weights(ref.linear2, layer.ffn.ffn[3])
    copy_weights(ref.norm2, layer.ffn.norm)
    return ref.eval()


def test_encoder_layer_matches_a_pre_norm_transformer_encoder_layer():
    layer = perturbed(SelfAttentionEncoderLayer(D, H, D_FF, 0.0))
    x, _, dec_pad, _, _ = batch()
    out, weights = layer(x, key_padding_mask=dec_pad)
    torch.testing.assert_close(out, encoder_reference(layer)(x, src_key_padding_mask=dec_pad))
    _, ref_weights = reference_attention(layer.self_attn, x, key_padding_mask=dec_pad)
    torch.testing.assert_close(weights, ref_weights)


def test_decoder_only_layer_matches_a_causally_masked_pre_norm_layer():
    layer = perturbed(SelfAttentionDecoderLayer(D, H, D_FF, 0.0))
    x, _, dec_pad, _, causal = batch()
    out, weights = layer(x, key_padding_mask=dec_pad, attn_mask=causal)
    expected = encoder_reference(layer)(x, src_mask=causal, src_key_padding_mask=dec_pad)
    torch.testing.assert_close(out, expected)
    _, ref_weights = reference_attention(layer.self_attn, x, key_padding_mask=dec_pad, attn_mask=causal)
    torch.testing.assert_close(weights, ref_weights)


def test_cross_decoder_layer_matches_a_pre_norm_transformer_decoder_layer():
    layer = perturbed(CrossAttentionDecoderLayer(D, H, D_FF, 0.0))
    x, enc, dec_pad, enc_pad, causal = batch()
    ref = nn.TransformerDecoderLayer(D, H, D_FF, dropout=0.0, activation="gelu", batch_first=True, norm_first=True)
    for target, source in [(ref.self_attn, layer.self_attn.mha), (ref.multihead_attn, layer.cross_attn.mha),
                           (ref.norm1, layer.self_attn.norm), (ref.norm2, layer.cross_attn.norm),
                           (ref.norm3, layer.ffn.norm), (ref.linear1, layer.ffn.ffn[0]),
                           (ref.linear2, layer.ffn.ffn[3])]:
        copy_weights(target, source)
    out, self_weights, cross_weights = layer(x, enc, dec_key_padding_mask=dec_pad, enc_key_padding_mask=enc_pad,
                                             attn_mask=causal)
    expected = ref.eval()(x, enc, tgt_mask=causal, tgt_key_padding_mask=dec_pad, memory_key_padding_mask=enc_pad)
    torch.testing.assert_close(out, expected)
    x1, ref_self = reference_attention(layer.self_attn, x, key_padding_mask=dec_pad, attn_mask=causal)
    _, ref_cross = reference_attention(layer.cross_attn, x1, enc, key_padding_mask=enc_pad)
    torch.testing.assert_close(self_weights, ref_self)
    torch.testing.assert_close(cross_weights, ref_cross)
    assert self_weights.shape == (2, 5, 5) and cross_weights.shape == (2, 5, 7)


# ---------------------------------------------------------------------------------------
# Masks reaching the attention weights
# ---------------------------------------------------------------------------------------

def test_encoder_attention_spreads_over_all_keys_unless_they_are_padded():
    layer = SelfAttentionEncoderLayer(D, H, D_FF).eval()
    x, _, dec_pad, _, _ = batch()
    _, open_weights = layer(x)
    assert (open_weights > 0).all()
    _, weights = layer(x, key_padding_mask=dec_pad)
    assert (weights[1, :, 3:] == 0).all() and (weights[1, :, :3] > 0).all()
    torch.testing.assert_close(weights.sum(-1), torch.ones(2, 5))


def test_decoder_self_attention_is_causal_only_with_a_causal_mask():
    layer = SelfAttentionDecoderLayer(D, H, D_FF).eval()
    x, _, _, _, causal = batch()
    _, weights = layer(x, attn_mask=causal)
    future = torch.ones(5, 5, dtype=torch.bool).triu(1)
    assert (weights[:, future] == 0).all() and (weights[:, ~future] > 0).all()
    _, bidirectional = layer(x)
    assert (bidirectional[:, future] > 0).all()


def test_cross_decoder_routes_each_padding_mask_to_its_own_attention():
    layer = CrossAttentionDecoderLayer(D, H, D_FF).eval()
    x, enc, dec_pad, enc_pad, _ = batch()
    _, self_weights, cross_weights = layer(x, enc, dec_key_padding_mask=dec_pad, enc_key_padding_mask=enc_pad)
    assert (self_weights[1, :, 3:] == 0).all() and (self_weights[0] > 0).all()
    assert (cross_weights[0, :, 4:] == 0).all() and (cross_weights[1] > 0).all()
    with pytest.raises((AssertionError, RuntimeError)):  # T != S: the swapped masks do not fit
        layer(x, enc, dec_key_padding_mask=enc_pad, enc_key_padding_mask=dec_pad)


def test_cross_decoder_results_change_when_the_padding_masks_are_swapped():
    layer = CrossAttentionDecoderLayer(D, H, D_FF).eval()
    x, enc, dec_pad, _, causal = batch(s=5)
    enc_pad = PadMask(enc, torch.tensor([2, 5]))
    straight = layer(x, enc, dec_pad, enc_pad, causal)
    swapped = layer(x, enc, enc_pad, dec_pad, causal)
    assert not torch.allclose(straight[0], swapped[0])


# ---------------------------------------------------------------------------------------
# Construction: children, dropout, argument types, docstrings
# ---------------------------------------------------------------------------------------

ATTENTION_KEYS = ["mha.in_proj_weight", "mha.in_proj_bias", "mha.out_proj.weight", "mha.out_proj.bias",
                  "norm.weight", "norm.bias"]
FFN_KEYS = ["ffn.0.weight", "ffn.0.bias", "ffn.3.weight", "ffn.3.bias", "norm.weight", "norm.bias"]


@pytest.mark.parametrize("cls, blocks", [
    (SelfAttentionEncoderLayer, [("self_attn", ATTENTION_KEYS), ("ffn", FFN_KEYS)]),
    (SelfAttentionDecoderLayer, [("self_attn", ATTENTION_KEYS), ("ffn", FFN_KEYS)]),
    (CrossAttentionDecoderLayer, [("self_attn", ATTENTION_KEYS), ("cross_attn", ATTENTION_KEYS), ("ffn", FFN_KEYS)]),
])
def test_layers_own_their_blocks_in_order_so_state_dict_keys_are_stable(cls, blocks):
    layer = cls(D, H, D_FF)
    assert list(layer.state_dict()) == [f"{name}.{key}" for name, keys in blocks for key in keys]
    block_types = {"self_attn": SelfAttentionLayer, "cross_attn": CrossAttentionLayer, "ffn": FeedForwardLayer}
    assert [type(child) for child in layer.children()] == [block_types[name] for name, _ in blocks]
    ffn = layer.ffn.ffn
    assert [type(m) for m in ffn] == [nn.Linear, nn.GELU, nn.Dropout, nn.Linear] and ffn[1].approximate == "none"
    assert (ffn[0].in_features, ffn[0].out_features) == (D, D_FF)
    assert layer.self_attn.mha.batch_first and layer.self_attn.mha.num_heads == H


@pytest.mark.parametrize("cls", LAYERS)
@pytest.mark.parametrize("dropout, expected", [(None, 0.1), (0, 0.0), (0.3, 0.3)])
def test_the_dropout_probability_reaches_every_inner_module(cls, dropout, expected):
    layer = cls(D, H, D_FF) if dropout is None else cls(D, H, D_FF, dropout)
    dropouts = [m.p for m in layer.modules() if isinstance(m, nn.Dropout)]
    attention = [m.dropout for m in layer.modules() if isinstance(m, nn.MultiheadAttention)]
    blocks = 3 if cls is CrossAttentionDecoderLayer else 2
    assert len(dropouts) == blocks + 1 and len(attention) == blocks - 1
    assert all(type(p) is float and p == expected for p in dropouts + attention)


@pytest.mark.parametrize("cls", [SelfAttentionLayer, CrossAttentionLayer, FeedForwardLayer])
def test_blocks_default_to_no_dropout(cls):
    block = cls(D, H)
    assert all(m.p == 0.0 for m in block.modules() if isinstance(m, nn.Dropout))


def test_dropout_is_active_only_in_training_mode():
    torch.manual_seed(3)
    layer = SelfAttentionEncoderLayer(D, H, D_FF, 0.5)
    x = batch()[0]
    assert not torch.equal(layer(x)[0], layer(x)[0])
    layer.eval()
    assert torch.equal(layer(x)[0], layer(x)[0])


@pytest.mark.parametrize("cls", LAYERS + [SelfAttentionLayer, CrossAttentionLayer, FeedForwardLayer])
@pytest.mark.parametrize("d_model, got", [(512.0, "float"), (True, "bool")])
def test_d_model_must_be_a_plain_int(cls, d_model, got):
    with pytest.raises(TypeError) as info:
        cls(d_model, 8, 2048) if cls in LAYERS else cls(d_model, 8)
    assert str(info.value) == f"Argument 'd_model' has incorrect type (expected int, got {got})"


class Returns(nn.Module):
    def __init__(self, count):
        super().__init__()
        self.count = count

    def forward(self, *args, **kwargs):
        return [args[0] if args else kwargs["query"]] * self.count


@pytest.mark.parametrize("count, message", [(3, r"too many values to unpack \(expected 2\)"),
                                            (1, r"not enough values to unpack \(expected 2, got 1\)")])
@pytest.mark.parametrize("make, child", [(lambda: SelfAttentionLayer(D, H), "mha"),
                                         (lambda: SelfAttentionEncoderLayer(D, H, D_FF), "self_attn"),
                                         (lambda: SelfAttentionDecoderLayer(D, H, D_FF), "self_attn"),
                                         (lambda: CrossAttentionDecoderLayer(D, H, D_FF), "cross_attn")])
def test_a_child_result_that_is_not_a_pair_is_a_value_error(make, child, count, message):
    layer = make()
    setattr(layer, child, Returns(count))
    x, enc, *_ = batch()
    with pytest.raises(ValueError, match=message):
        layer(x, enc) if isinstance(layer, CrossAttentionDecoderLayer) else layer(x)


def test_layer_modules_bind_the_blocks_they_import():
    assert orlesque.SelfAttentionLayer is pellidor.SelfAttentionLayer
    assert orlesque.FeedForwardLayer is pellidor.FeedForwardLayer
    assert tremmoth.CrossAttentionLayer is pellidor.CrossAttentionLayer
    assert [name for name in vars(tremmoth) if name.endswith("DecoderLayer")] == \
        ["SelfAttentionDecoderLayer", "CrossAttentionDecoderLayer"]
    assert [name for name in vars(pellidor) if name.endswith("Layer")] == \
        ["SelfAttentionLayer", "FeedForwardLayer", "CrossAttentionLayer"]


def test_docstrings():
    assert SelfAttentionLayer.__doc__ == "\n    Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.\n    "
    assert FeedForwardLayer.__doc__ == "\n    Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.\n    "
    assert CrossAttentionLayer.__doc__.startswith(
        "\n    Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).\n")
    assert SelfAttentionEncoderLayer.__doc__.split("\n")[1:4] == [
        "    Pre-LN Encoder Layer with self-attention mechanism.",
        "    Used in the encoder part of transformer architectures.",
        "    Unlike the decoder, does not use causal masking (bidirectional attention)."]
    assert "decoder-only" in SelfAttentionDecoderLayer.__doc__
    assert "cross-attention" in CrossAttentionDecoderLayer.__doc__
    assert "encoder-decoder" in CrossAttentionDecoderLayer.__doc__


# ---------------------------------------------------------------------------------------
# Incremental steps
# ---------------------------------------------------------------------------------------

def empty_cache(layer, n, capacity):
    mha = layer.self_attn.mha if hasattr(layer, "self_attn") else layer.mha
    shape = (capacity, n, mha.num_heads, mha.head_dim)
    return torch.zeros(shape), torch.zeros(shape)


def run_in_blocks(step, x, blocks, cache):
    outs, length = [], 0
    for size in blocks:
        outs.append(step(x[:, length:length + size], cache, length))
        length += size
    return torch.cat(outs, 1)


@pytest.mark.parametrize("blocks", [[1] * 5, [2, 3], [5], [1, 3, 1]])
@pytest.mark.parametrize("kind", ["block", "decoder-only", "encoder-decoder"])
def test_steps_over_blocks_of_new_positions_equal_causal_forward(kind, blocks, attention_path):
    x, enc, _, enc_pad, causal = batch()
    if kind == "block":
        layer = perturbed(SelfAttentionLayer(D, H))
        expected = layer(x, attn_mask=causal)[0]
        step = layer.step
    elif kind == "decoder-only":
        layer = perturbed(SelfAttentionDecoderLayer(D, H, D_FF, 0.0))
        expected = layer(x, attn_mask=causal)[0]
        step = layer.step
    else:
        layer = perturbed(CrossAttentionDecoderLayer(D, H, D_FF, 0.0))
        expected = layer(x, enc, enc_key_padding_mask=enc_pad, attn_mask=causal)[0]
        memory = layer.cross_attn.project_memory(enc)

        def step(chunk, cache, length):
            return layer.step(chunk, cache, length, memory, enc_pad)
    cache = empty_cache(layer, 2, 8)
    torch.testing.assert_close(run_in_blocks(step, x, blocks, cache), expected, atol=1e-5, rtol=1e-5)
    assert (cache[0][5:] == 0).all()  # nothing written past the positions consumed


def test_rows_share_earlier_positions_through_their_history(attention_path):
    """Two hypotheses with a common prefix: the second keeps only its own last position and
    reads the first two from the first row's column."""
    layer = perturbed(CrossAttentionDecoderLayer(D, H, D_FF, 0.0))
    x, enc, _, enc_pad, causal = batch(n=2, t=3)
    x[1, :2] = x[0, :2]
    memory = layer.cross_attn.project_memory(enc)
    cache = empty_cache(layer, 2, 4)
    rows = torch.tensor([1, 1])  # both rows read utterance 1
    layer.step(x[:1, :2], cache, 0, memory, enc_pad, None, rows[:1])  # row 0 writes positions 0, 1 in column 0
    history = torch.tensor([[0, 0, 0], [0, 0, 1]])
    out = layer.step(x[:, 2:], cache, 2, memory, enc_pad, history, rows)
    expected = layer(x, enc[[1, 1]], enc_key_padding_mask=enc_pad[[1, 1]], attn_mask=causal)[0][:, 2:]
    torch.testing.assert_close(out, expected, atol=1e-5, rtol=1e-5)


@pytest.mark.parametrize("call, match", [
    (lambda layer, x, cache: layer.step(x[:, :3], cache, 2), "room for 5 positions"),
    (lambda layer, x, cache: layer.step(x[:, :1], cache, 1, torch.tensor([[0, 7], [0, 1]])), "history entries"),
    (lambda layer, x, cache: layer.step(x[:, :1], cache, 1, torch.tensor([[0], [0]])), "covering 2 positions"),
])
def test_unusable_caches_and_histories_are_value_errors(call, match, attention_path):
    layer = SelfAttentionLayer(D, H).eval()
    with pytest.raises(ValueError, match=match):
        call(layer, batch()[0], empty_cache(layer, 2, 4))


def test_cross_attention_rows_must_name_memory_rows(attention_path):
    block = CrossAttentionLayer(D, H).eval()
    x, enc, *_ = batch()
    memory = block.project_memory(enc)
    with pytest.raises(ValueError, match="rows must lie in"):
        block.step(x[:, :1], memory, rows=torch.tensor([0, 2]))
    with pytest.raises(ValueError, match="give rows"):
        block.step(x[:1, :1], memory)
