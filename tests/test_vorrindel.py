import math

import pytest
import torch
import torchinfo

from quillane.model import vorrindel as V

METHODS = ["lstm", "conv", "both"]


def small(method, time_reduction, input_dim=20, output_dim=8):
    torch.manual_seed(0)
    return V.SpeechEmbedding(input_dim, output_dim, time_reduction, method).eval()


@pytest.mark.parametrize(
    "n, pair",
    [(1, (1, 1)), (2, (2, 1)), (3, (3, 1)), (4, (2, 2)), (6, (3, 2)), (7, (7, 1)), (8, (4, 2)),
     (9, (3, 3)), (12, (4, 3)), (13, (13, 1)), (36, (6, 6))],
)
def test_closest_factors_is_the_nearest_pair_larger_first(n, pair):
    modules = [V.Conv2DSubsampling(8, 4), V.StackedBLSTMEmbedding(8, 4, 4), V.SpeechEmbedding(8, 4)]
    assert all(m.closest_factors(n) == pair for m in modules)


@pytest.mark.parametrize("n, error", [(0, ZeroDivisionError), (-4, TypeError)])
def test_closest_factors_of_non_positive_numbers_fails(n, error):
    with pytest.raises(error):
        V.Conv2DSubsampling(8, 4).closest_factors(n)


@pytest.mark.parametrize(
    "method, reduction, lengths, expected",
    [("lstm", 6, [1000, 500], [166, 83]), ("conv", 6, [1000], [166]), ("both", 6, [1000], [165]),
     ("lstm", 1, [17, 5], [17, 5]), ("lstm", 4, [9], [2]), ("lstm", 7, [20], [2]), ("conv", 2, [1000], [497])],
)
def test_worked_length_examples(method, reduction, lengths, expected):
    model = V.SpeechEmbedding(80, 16, reduction, method)
    out = model.calculate_downsampled_length(torch.tensor(lengths))
    assert out.tolist() == expected


def test_conv_stage_geometry_of_the_worked_example():
    conv = V.Conv2DSubsampling(80, 256, time_reduction=6)
    assert (conv.kernel_size, conv.time_stride1, conv.time_stride2) == (3, 3, 2)
    assert conv.calculate_downsampled_length(80, 1, 1) == 76
    assert conv.linear_out.in_features == 256 * 76
    strides = [layer.stride for layer in conv.conv if isinstance(layer, torch.nn.Conv2d)]
    assert strides == [(3, 1), (2, 1)]
    # the rule runs as is on very short utterances, without clamping
    assert conv.calculate_downsampled_length(torch.tensor([2]), 2, 1).tolist() == [-2]


@pytest.mark.parametrize(
    "method, reduction, cnn_strides, pool_strides, blstm_in",
    [("conv", 6, (3, 2), None, None), ("lstm", 6, None, (3, 2), 20), ("both", 6, (2, 1), (3, 1), 8),
     ("both", 4, (2, 1), (2, 1), 8), ("both", 1, (1, 1), (1, 1), 8)],
)
def test_time_reduction_is_split_between_the_stages(method, reduction, cnn_strides, pool_strides, blstm_in):
    model = small(method, reduction)
    assert (model.embedding_dim, model.reduction_method) == (8, method)
    if cnn_strides is None:
        assert model.cnn is None
    else:
        assert (model.cnn.time_stride1, model.cnn.time_stride2) == cnn_strides
    if pool_strides is None:
        assert model.blstm is None
    else:
        assert (model.blstm.stride1, model.blstm.stride2) == pool_strides
        assert model.blstm.pool1_params == {"kernel_size": pool_strides[0], "stride": pool_strides[0],
                                            "padding": 0, "dilation": 1}
        assert model.blstm.blstm1.input_size == blstm_in


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("reduction", [1, 4, 6, 7])
def test_forward_lengths_match_the_output_and_the_length_rule(method, reduction):
    model = small(method, reduction)
    lengths = torch.tensor([31, 60, 45])  # unsorted, one at full length
    out, out_len = model(torch.randn(3, 60, 20), lengths)
    assert out.shape[0] == 3 and out.shape[2] == 8
    assert out_len[1] == out.shape[1]
    assert out_len.tolist() == model.calculate_downsampled_length(lengths).tolist()


@pytest.mark.parametrize("method", ["lstm", "both"])
def test_output_within_length_ignores_trailing_padding(method):
    model = small(method, 6)
    x = torch.randn(1, 40, 20)
    alone, alone_len = model(x, torch.tensor([40]))
    padded = torch.cat([x, torch.randn(1, 30, 20)], dim=1)
    batch = torch.cat([padded, torch.randn(1, 70, 20)])
    together, together_len = model(batch, torch.tensor([40, 70]))
    n = alone_len.item()
    assert together_len[0].item() == n > 0
    torch.testing.assert_close(together[0, :n], alone[0, :n], atol=1e-5, rtol=1e-5)


@pytest.mark.parametrize("method, dtype", [("lstm", torch.int64), ("both", torch.int64), ("conv", torch.int32)])
def test_length_dtype_from_int32_input(method, dtype):
    _, out_len = small(method, 2)(torch.randn(2, 30, 20), torch.tensor([30, 21], dtype=torch.int32))
    assert out_len.dtype == dtype


@pytest.mark.parametrize(
    "args, kwargs, message",
    [((0, 8), {}, "All dimension values must be positive"),
     ((20, -8), {}, "All dimension values must be positive"),
     ((20, 8, 0), {"reduction_method": "x", "dropout": 2.0}, "All dimension values must be positive"),
     ((20, 8), {"dropout": 1.0}, "Dropout rate must be between 0 and 1"),
     ((20, 8), {"dropout": -0.1, "reduction_method": "x"}, "Dropout rate must be between 0 and 1"),
     ((20, 8), {"dropout": math.nan}, "Dropout rate must be between 0 and 1"),
     ((20, 8), {"reduction_method": "LSTM"}, "reduction_method must be 'conv', 'lstm', or 'both'")],
)
def test_speech_embedding_rejects_unusable_settings_in_order(args, kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        V.SpeechEmbedding(*args, **kwargs)


@pytest.mark.parametrize(
    "args, message",
    [((8, 0, 8), "All dimension values must be positive"),
     ((8, 8, 8, -2), "All dimension values must be positive"),
     ((8, 8, 8, 2, 1), "Dropout rate must be between 0 and 1")],
)
def test_blstm_stage_rejects_unusable_settings(args, message):
    with pytest.raises(ValueError, match=message):
        V.StackedBLSTMEmbedding(*args)


@pytest.mark.parametrize("dropout", [0.0, 0.999, 0])
def test_dropout_just_below_one_is_accepted(dropout):
    assert V.SpeechEmbedding(20, 8, dropout=dropout).blstm.dropout.p == pytest.approx(dropout)


@pytest.mark.parametrize(
    "build, name",
    [(lambda: V.SpeechEmbedding(20, 8, reduction_method=None), "reduction_method"),
     (lambda: V.SpeechEmbedding(20, 8, True), "time_reduction"),
     (lambda: V.Conv2DSubsampling(20, 8.0), "output_dim"),
     (lambda: V.Conv2DSubsampling(20, 8).calculate_downsampled_length(9, 1.0, 1), "stride1"),
     (lambda: V.StackedBLSTMEmbedding(8, 8, 8).calculate_pool_output_length(torch.tensor([4]), [("stride", 2)]),
      "pool_params")],
)
def test_wrongly_typed_arguments_are_type_errors(build, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        build()


def test_get_inputs_gives_full_length_float_lengths():
    x, lengths = V.get_inputs(5, 7, 3)
    assert x.shape == (3, 7, 5)
    assert lengths.dtype.is_floating_point and lengths.tolist() == [7.0] * 3


@pytest.mark.parametrize("fn, method, reduction, expected", [
    ("test_vorrindel_lstm", "lstm", 2, 20), ("test_vorrindel_conv", "conv", 2, 17), ("test_vorrindel_both", "both", 6, 5),
])
def test_smoke_tests_print_summary_and_lengths(monkeypatch, capsys, fn, method, reduction, expected):
    assert V.summary is torchinfo.summary
    real = V.get_inputs
    monkeypatch.setattr(V, "get_inputs", lambda input_dim, max_length, batch_size: real(input_dim, 40, 2))
    getattr(V, fn)(reduction)
    out = capsys.readouterr().out
    assert "SpeechEmbedding" in out and ("StackedBLSTMEmbedding" in out) == (method != "conv")
    assert out.rstrip().splitlines()[-1].startswith(f"tensor([{expected}")


def packed_reference(block, x, lengths):
    """The BLSTM stage as packing computes it: each utterance's frames only, zeros after."""
    rnn = torch.nn.utils.rnn
    out = x
    for lstm, pool, params in ((block.blstm1, block.pool1, block.pool1_params),
                               (block.blstm2, block.pool2, block.pool2_params)):
        packed = rnn.pack_padded_sequence(out, lengths, batch_first=True, enforce_sorted=False)
        out = rnn.pad_packed_sequence(lstm(packed)[0], batch_first=True, total_length=out.size(1))[0]
        out = pool(out.transpose(1, 2)).transpose(1, 2)
        lengths = block.calculate_pool_output_length(lengths, params)
    return block.dropout(block.linear_embed(out)), lengths


@pytest.mark.parametrize("lengths", [[60, 60, 60], [60, 4, 33, 59], [4, 60]])
def test_blstm_stage_equals_packed_sequences_in_outputs_and_gradients(lengths):
    torch.manual_seed(0)
    block = V.StackedBLSTMEmbedding(20, 16, 8, time_reduction=4, dropout=0.0)
    x = torch.randn(len(lengths), 60, 20, requires_grad=True)
    lengths = torch.tensor(lengths)
    out, out_len = block(x, lengths)
    expected, expected_len = packed_reference(block, x, lengths)
    assert out_len.tolist() == expected_len.tolist()
    torch.testing.assert_close(out, expected, atol=1e-6, rtol=1e-5)
    weights = [x, block.blstm1.weight_hh_l0_reverse, block.blstm2.weight_ih_l0]
    torch.testing.assert_close(torch.autograd.grad(out.square().sum(), weights),
                               torch.autograd.grad(expected.square().sum(), weights), atol=1e-5, rtol=1e-4)


@pytest.mark.parametrize("lengths", [[0, 40], [41, 40]])
def test_blstm_stage_refuses_lengths_outside_the_padded_batch(lengths):
    block = V.StackedBLSTMEmbedding(20, 16, 8, time_reduction=4)
    with pytest.raises(ValueError, match="x_len must hold lengths between 1 and the padded length 40"):
        block(torch.randn(2, 40, 20), torch.tensor(lengths))
