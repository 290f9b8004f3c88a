"""Array attention layers: forward values, hand-written gradients and mask handling,
checked against plain NumPy, central finite differences and torch autograd."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F

from numbrel.nn.activation import Softmax
from numbrel.nn.caddrick import MultiHeadAttention
from numbrel.nn.fenwrath import ScaledDotProductAttention
from numbrel.nn.linear import Linear

rng = np.random.default_rng(0)
LEADING = [(), (3,), (2, 3)]  # 2-D, 3-D and 4-D inputs


def softmax(z):
    e = np.exp(z - z.max(-1, keepdims=True))
    return e / e.sum(-1, keepdims=True)


def numeric_grad(loss, x, h=1e-6):
    """Central differences of loss() with respect to every entry of x (perturbed in place)."""
    grad = np.zeros_like(x)
    for i in np.ndindex(x.shape):
        old = x[i]
        x[i] = old + h
        up = loss()
        x[i] = old - h
        grad[i] = (up - loss()) / (2 * h)
        x[i] = old
    return grad


def attention_inputs(lead, L=3, S=4, E=5, Ev=2):
    return rng.normal(size=lead + (L, E)), rng.normal(size=lead + (S, E)), rng.normal(size=lead + (S, Ev))


def random_mask(shape):
    mask = rng.random(shape) < 0.4
    mask[..., 0] = False  # every query keeps at least one key
    return mask


@pytest.mark.parametrize("lead", LEADING)
@pytest.mark.parametrize("masked", [False, True])
def test_attention_forward_equals_softmax_of_scaled_scores_times_values(lead, masked):
    Q, K, V = attention_inputs(lead)
    mask = random_mask(lead + (3, 4)) if masked else None
    scores = Q @ np.swapaxes(K, -1, -2) / np.sqrt(5)
    if masked:
        scores = np.where(mask, -1e10, scores)
    out = ScaledDotProductAttention().forward(Q, K, V, mask)
    assert isinstance(out, np.ndarray) and out.shape == lead + (3, 2)
    np.testing.assert_allclose(out, softmax(scores) @ V, rtol=1e-12, atol=1e-12)


def test_masked_scores_enter_softmax_as_exactly_minus_1e10():
    Q, K, V = attention_inputs((2,))
    Q[0] *= 1e6  # huge unmasked scores must not leak into masked positions
    mask = random_mask((3, 4))  # broadcast over the leading axis
    att = ScaledDotProductAttention()
    seen = []
    inner = att.softmax.forward
    att.softmax.forward = lambda z: seen.append(z.copy()) or inner(z)
    att.forward(Q, K, V, mask)
    scores = np.broadcast_to(Q @ np.swapaxes(K, -1, -2) / np.sqrt(5), seen[0].shape)
    full = np.broadcast_to(mask, seen[0].shape)
    assert np.all(seen[0][full] == -1e10)
    np.testing.assert_allclose(seen[0][~full], scores[~full], rtol=1e-12)
    assert np.all(att.attention_scores[full] == 0)


@pytest.mark.parametrize("lead", LEADING)
@pytest.mark.parametrize("masked", [False, True])
def test_attention_gradients_match_finite_differences(lead, masked):
    Q, K, V = attention_inputs(lead)
    mask = random_mask(lead + (3, 4)) if masked else None
    G = rng.normal(size=lead + (3, 2))
    att = ScaledDotProductAttention()
    att.forward(Q, K, V, mask)
    grads = att.backward(G)
    for x, g in zip((Q, K, V), grads):
        assert g.shape == x.shape
        fd = numeric_grad(lambda: np.sum(G * ScaledDotProductAttention().forward(Q, K, V, mask)), x)
        np.testing.assert_allclose(g, fd, rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("lead", LEADING)
def test_attention_matches_torch_forward_and_autograd(lead):
    Q, K, V = attention_inputs(lead, Ev=5)
    mask = random_mask(lead + (3, 4))
    G = rng.normal(size=lead + (3, 5))
    att = ScaledDotProductAttention()
    out = att.forward(Q, K, V, mask)
    grads = att.backward(G)
    tq, tk, tv = (torch.tensor(x, requires_grad=True) for x in (Q, K, V))
    ref = F.scaled_dot_product_attention(tq, tk, tv, attn_mask=torch.tensor(~mask))  # True = attend
    ref.backward(torch.tensor(G))
    np.testing.assert_allclose(out, ref.detach().numpy(), rtol=1e-10, atol=1e-12)
    for g, t in zip(grads, (tq, tk, tv)):
        np.testing.assert_allclose(g, t.grad.numpy(), rtol=1e-9, atol=1e-12)


def test_float32_inputs_stay_float32_through_forward_and_backward():
    Q, K, V = (x.astype(np.float32) for x in attention_inputs((2,)))
    att = ScaledDotProductAttention()
    assert att.forward(Q, K, V, random_mask((3, 4))).dtype == np.float32
    assert all(g.dtype == np.float32 for g in att.backward(np.ones((2, 3, 2), np.float32)))


@pytest.mark.parametrize("scale", [1.0, 1e4])
def test_softmax_is_stable_and_its_backward_is_the_jacobian_product(scale):
    Z = rng.normal(size=(2, 3, 4)) * scale
    G = rng.normal(size=Z.shape)
    sm = Softmax(dim=1)
    A = sm.forward(Z)
    tz = torch.tensor(Z, requires_grad=True)
    torch.softmax(tz, dim=1).backward(torch.tensor(G))
    assert np.all(np.isfinite(A))
    np.testing.assert_allclose(A, torch.softmax(tz, 1).detach().numpy(), rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(sm.backward(G), tz.grad.numpy(), rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("lead", [(), (4,), (2, 3), (2, 2, 3)])
def test_linear_maps_last_axis_and_sums_parameter_gradients_over_leading_axes(lead):
    lin = Linear(3, 2)
    W, b = rng.normal(size=(2, 3)), rng.normal(size=2)
    lin.init_weights(W, b)
    A, G = rng.normal(size=lead + (3,)), rng.normal(size=lead + (2,))
    tW, tb, tA = (torch.tensor(x, requires_grad=True) for x in (W, b, A))
    ref = F.linear(tA, tW, tb)
    ref.backward(torch.tensor(G))
    np.testing.assert_allclose(lin.forward(A), ref.detach().numpy(), rtol=1e-12)
    np.testing.assert_allclose(lin.backward(G), tA.grad.numpy(), rtol=1e-12)
    np.testing.assert_allclose(lin.dLdW, tW.grad.numpy(), rtol=1e-12)
    np.testing.assert_allclose(lin.dLdb, tb.grad.numpy(), rtol=1e-12)


@pytest.mark.parametrize("W, b", [(np.zeros((3, 2)), np.zeros(2)), (np.zeros((2, 3)), np.zeros((1, 2)))])
def test_linear_rejects_parameters_of_the_wrong_shape(W, b):
    with pytest.raises(ValueError, match="must have shape"):
        Linear(3, 2).init_weights(W, b)


@pytest.mark.parametrize("embed_dim, num_heads, message", [
    (8, 3, "embed_dim must be divisible by num_heads"),
    (8, 0, "num_heads must be a positive integer"),
    (8, -2, "num_heads must be a positive integer"),
])
def test_head_count_must_divide_embed_dim(embed_dim, num_heads, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        MultiHeadAttention(embed_dim, num_heads)
    assert MultiHeadAttention(8, 2).num_heads == 2


def mha_case(L, S, E=8, H=2, N=3, with_kpm=True, with_attn=True):
    mha = MultiHeadAttention(E, H)
    params = [rng.normal(size=s) / 2 for s in [(E, E), (E,)] * 4]
    mha.init_weights(*params)
    x = [rng.normal(size=(N, T, E)) for T in (L, S, S)]
    kpm = random_mask((N, S)) if with_kpm else None
    am = random_mask((L, S)) if with_attn else None
    return mha, params, x, kpm, am


@pytest.mark.parametrize("L, S", [(4, 4), (3, 5), (5, 2)])
@pytest.mark.parametrize("with_kpm, with_attn", [(True, True), (True, False), (False, True), (False, False)])
def test_multi_head_matches_torch_module_with_copied_weights(L, S, with_kpm, with_attn):
    mha, params, x, kpm, am = mha_case(L, S, with_kpm=with_kpm, with_attn=with_attn)
    ref_mha = torch.nn.MultiheadAttention(8, 2, batch_first=True, dtype=torch.float64)
    Wq, bq, Wk, bk, Wv, bv, Wo, bo = (torch.tensor(p) for p in params)
    with torch.no_grad():
        ref_mha.in_proj_weight.copy_(torch.cat([Wq, Wk, Wv]))
        ref_mha.in_proj_bias.copy_(torch.cat([bq, bk, bv]))
        ref_mha.out_proj.weight.copy_(Wo)
        ref_mha.out_proj.bias.copy_(bo)
    tx = [torch.tensor(a, requires_grad=True) for a in x]
    ref, _ = ref_mha(*tx, key_padding_mask=None if kpm is None else torch.tensor(kpm),
                     attn_mask=None if am is None else torch.tensor(am), need_weights=False)
    G = rng.normal(size=ref.shape)
    ref.backward(torch.tensor(G))

    out = mha.forward(*x, kpm, am)
    np.testing.assert_allclose(out, ref.detach().numpy(), rtol=1e-9, atol=1e-12)
    for g, t in zip(mha.backward(G), tx):
        np.testing.assert_allclose(g, t.grad.numpy(), rtol=1e-8, atol=1e-11)
    dW = np.concatenate([p.dLdW for p in (mha.q_proj, mha.k_proj, mha.v_proj)])
    db = np.concatenate([p.dLdb for p in (mha.q_proj, mha.k_proj, mha.v_proj)])
    np.testing.assert_allclose(dW, ref_mha.in_proj_weight.grad.numpy(), rtol=1e-8, atol=1e-11)
    np.testing.assert_allclose(db, ref_mha.in_proj_bias.grad.numpy(), rtol=1e-8, atol=1e-11)
    np.testing.assert_allclose(mha.out_proj.dLdW, ref_mha.out_proj.weight.grad.numpy(), rtol=1e-9)
    np.testing.assert_allclose(mha.out_proj.dLdb, ref_mha.out_proj.bias.grad.numpy(), rtol=1e-9)


@pytest.mark.parametrize("L, S", [(3, 3), (2, 4)])
def test_multi_head_gradients_of_inputs_and_weights_match_finite_differences(L, S):
    mha, _, x, kpm, am = mha_case(L, S, E=4, N=2)
    G = rng.normal(size=(2, L, 4))
    mha.forward(*x, kpm, am)
    d_inputs = mha.backward(G)
    layers = (mha.q_proj, mha.k_proj, mha.v_proj, mha.out_proj)
    targets = list(zip(x, d_inputs)) + [(getattr(p, n), getattr(p, "dLd" + n)) for p in layers for n in "Wb"]
    for value, grad in targets:
        fd = numeric_grad(lambda: np.sum(G * mha.forward(*x, kpm, am)), value)
        np.testing.assert_allclose(grad, fd, rtol=1e-6, atol=1e-8)


def test_merged_mask_masks_a_position_when_either_mask_does_for_every_batch_and_head():
    mha, _, x, kpm, am = mha_case(L=3, S=5, H=4)
    mha.forward(*x, kpm, am)
    merged = mha._merge_masks(kpm, am)
    assert merged.shape == (3, 4, 3, 5) and merged.dtype == bool
    for n in range(3):
        for h in range(4):
            np.testing.assert_array_equal(merged[n, h], kpm[n][None, :] | am)
    np.testing.assert_array_equal(mha._merge_masks(None, am), np.broadcast_to(am, merged.shape))
    assert not mha._merge_masks(None, None).any()

