"""Padding and causal masks: True marks a position that may not be attended to."""
import pytest
import torch

from quillane.model.masks import CausalMask, PadMask

F, T_ = False, True


@pytest.mark.parametrize("lengths, T, expected", [
    ([2, 3], 3, [[F, F, T_], [F, F, F]]),
    ([0], 2, [[T_, T_]]),          # empty sequence: everything masked
    ([3], 3, [[F, F, F]]),         # full length: nothing masked
    ([5], 3, [[F, F, F]]),         # longer than T: nothing masked
    ([1, 0], 0, [[], []]),         # T = 0
])
def test_pad_mask_marks_steps_at_or_beyond_each_length(lengths, T, expected):
    mask = PadMask(torch.zeros(len(lengths), T, 4), torch.tensor(lengths))
    assert mask.dtype == torch.bool
    assert mask.shape == (len(lengths), T)
    assert mask.tolist() == expected


@pytest.mark.parametrize("T, expected", [
    (0, []),
    (1, [[F]]),
    (3, [[F, T_, T_], [F, F, T_], [F, F, F]]),
])
def test_causal_mask_marks_strictly_future_positions(T, expected):
    mask = CausalMask(torch.zeros(2, T, 5))
    assert mask.dtype == torch.bool and mask.shape == (T, T)
    assert mask.tolist() == expected


def test_pad_mask_ignores_feature_dimensions():
    lengths = torch.tensor([1, 4, 2])
    tokens = torch.zeros(3, 4, dtype=torch.long)
    embeddings = torch.zeros(3, 4, 8)
    assert torch.equal(PadMask(tokens, lengths), PadMask(embeddings, lengths))
    assert torch.equal(CausalMask(tokens), CausalMask(embeddings))


def devices():
    yield "meta"  # exercises device placement without an accelerator
    if torch.cuda.is_available():
        yield "cuda"


@pytest.mark.parametrize("device", list(devices()))
def test_masks_live_on_the_input_device(device):
    padded = torch.zeros(2, 3, 4, device=device)
    assert PadMask(padded, torch.tensor([1, 3], device=device)).device.type == device
    assert CausalMask(padded).device.type == device


def test_masks_accept_keywords():
    padded = torch.zeros(1, 2)
    assert PadMask(input_lengths=torch.tensor([1]), padded_input=padded).tolist() == [[F, T_]]
    assert CausalMask(padded_input=padded).tolist() == [[F, T_], [F, F]]


def test_inputs_with_fewer_than_two_dimensions_fail_like_shape_unpacking():
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        PadMask(torch.zeros(3), torch.tensor([1, 2, 3]))
    with pytest.raises(IndexError):
        CausalMask(torch.zeros(3))

