import pytest
import torch
import torch.nn as nn

from quillane.data.tokenizer import VantTokenizer
from quillane.decoding.sequence_generator import SequenceGenerator
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quillane.model.vorrindel import SpeechEmbedding

V, F = 23, 12
SMALL = dict(d_model=16, num_heads=2, d_ff=32, dropout=0.0)


def asr(**kw):
    torch.manual_seed(0)
    args = dict(SMALL, num_encoder_layers=2, num_decoder_layers=2, max_len=64, time_reduction=2)
    args.update(kw)
    return EncoderDecoderTransformer(F, V, **args).eval()


def lm(**kw):
    torch.manual_seed(0)
    args = dict(SMALL, num_layers=2, max_len=32)
    args.update(kw)
    return DecoderOnlyTransformer(V, **args).eval()


def batch(b=3, frames=30, tokens=6):
    g = torch.Generator().manual_seed(1)
    feats = torch.randn(b, frames, F, generator=g)
    feat_lengths = torch.tensor([frames, frames - 9, frames - 17][:b])
    targets = torch.randint(3, V, (b, tokens), generator=g)
    target_lengths = torch.tensor([tokens, tokens - 2, 1][:b])
    return feats, targets, feat_lengths, target_lengths


@pytest.mark.parametrize("method", ["conv", "lstm", "both"])
def test_asr_forward_returns_logits_attention_and_ctc_inputs(method):
    model = asr(reduction_method=method, time_reduction=4)
    feats, targets, feat_lengths, target_lengths = batch()
    logits, attn, ctc = model(feats, targets, feat_lengths, target_lengths)
    assert logits.shape == (3, 6, V)
    log_probs, lengths = ctc["log_probs"], ctc["lengths"]
    frames = log_probs.size(0)
    assert log_probs.shape == (frames, 3, V)
    assert torch.allclose(log_probs.exp().sum(-1), torch.ones(frames, 3), atol=1e-5)
    front_end = SpeechEmbedding(F, 16, 4, method)
    assert torch.equal(lengths, front_end.calculate_downsampled_length(feat_lengths).long())
    assert list(attn) == ["layer1_dec_self", "layer1_dec_cross", "layer2_dec_self", "layer2_dec_cross",
                          "layer1_enc_self", "layer2_enc_self"]
    assert attn["layer1_dec_self"].shape == (3, 6, 6)
    assert attn["layer2_dec_cross"].shape == (3, 6, frames)
    assert attn["layer1_enc_self"].shape == (3, frames, frames)


def test_lm_forward_returns_logits_and_self_attention():
    logits, attn = lm()(batch()[1], target_lengths=torch.tensor([6, 4, 1]))
    assert logits.shape == (3, 6, V)
    assert list(attn) == ["layer1_dec_self", "layer2_dec_self"] and attn["layer2_dec_self"].shape == (3, 6, 6)


def asr_logits(model, feats, targets, feat_lengths, target_lengths):
    return model(feats, targets, feat_lengths, target_lengths)[0]


def lm_logits(model, feats, targets, feat_lengths, target_lengths):
    return model(targets, target_lengths=target_lengths)[0]


MODELS = [pytest.param(asr, asr_logits, id="encoder-decoder"), pytest.param(lm, lm_logits, id="decoder-only")]


@pytest.mark.parametrize("make, run", MODELS)
def test_changing_a_future_token_never_changes_earlier_logits(make, run):
    model = make()
    feats, targets, feat_lengths, _ = batch()
    full = torch.full((3,), 6)
    before = run(model, feats, targets, feat_lengths, full)
    changed = targets.clone()
    changed[:, 4] = (changed[:, 4] + 1) % V
    after = run(model, feats, changed, feat_lengths, full)
    assert torch.allclose(before[:, :4], after[:, :4], atol=1e-5)
    assert not torch.allclose(before[:, 4:], after[:, 4:])


@pytest.mark.parametrize("make, run", MODELS)
def test_extra_padding_does_not_change_valid_positions(make, run):
    model = make()
    feats, targets, feat_lengths, target_lengths = batch()
    for i, n in enumerate(feat_lengths):
        feats[i, n:] = 0.0
    before = run(model, feats, targets, feat_lengths, target_lengths)
    more_feats = torch.cat([feats, torch.zeros(3, 8, F)], 1)
    more_tokens = torch.cat([targets, torch.randint(0, V, (3, 5))], 1)
    for i, n in enumerate(target_lengths):
        more_tokens[i, n:6] = torch.randint(0, V, (6 - n,))  # padding content must not matter either
    after = run(model, more_feats, more_tokens, feat_lengths, target_lengths)
    for i, n in enumerate(target_lengths):
        assert torch.allclose(before[i, :n], after[i, :n], atol=1e-5)


def test_asr_score_equals_the_last_forward_position_also_for_beam_rows():
    model = asr()
    feats, targets, feat_lengths, _ = batch()
    enc, mask, _, _ = model.encode(feats, feat_lengths)
    for t in (1, 4):
        prefix = targets[:, :t]
        logits = model(feats, prefix, feat_lengths, torch.full((3,), t))[0]
        assert torch.allclose(model.score(prefix, enc, mask), logits[:, -1], atol=1e-5)
        beams = prefix.repeat_interleave(2, 0)
        assert torch.allclose(model.score(beams, enc, mask), logits[:, -1].repeat_interleave(2, 0), atol=1e-5)
    with pytest.raises(ValueError, match="multiple"):
        model.score(targets[:2], enc, mask)


def test_lm_score_equals_the_last_forward_position():
    model = lm()
    targets = batch()[1]
    for t in (1, 3, 6):
        assert torch.allclose(model.score(targets[:, :t]), model(targets[:, :t])[0][:, -1], atol=1e-5)


def test_rows_of_length_zero_give_finite_outputs():
    model = asr()
    feats, targets, _, _ = batch()
    zero = torch.zeros(3, dtype=torch.long)
    logits, attn, ctc = model(feats, targets, torch.tensor([30, 0, 1]), zero)
    assert torch.isfinite(logits).all() and all(torch.isfinite(a).all() for a in attn.values())
    assert (ctc["lengths"] >= 0).all()
    logits, attn = lm()(torch.zeros(4, 32, dtype=torch.long), zero.new_zeros(4))
    assert torch.isfinite(logits).all()


def test_inputs_longer_than_max_len_raise_value_error():
    with pytest.raises(ValueError, match="max_len"):
        lm(max_len=5)(torch.ones(2, 6, dtype=torch.long))
    model = asr(max_len=8)
    feats, targets, feat_lengths, target_lengths = batch()
    with pytest.raises(ValueError, match="max_len"):
        model(feats, targets, feat_lengths, target_lengths)  # 30 frames halve to 14 > 8


def test_staged_layer_lists_and_counts_select_the_layers_that_run():
    model = asr(num_encoder_layers=3, num_decoder_layers=3)
    feats, targets, feat_lengths, target_lengths = batch()
    model.num_orlesque, model.num_tremmoth = 1, 2
    _, attn, _ = model(feats, targets, feat_lengths, target_lengths)
    assert sorted(attn) == ["layer1_dec_cross", "layer1_dec_self", "layer1_enc_self", "layer2_dec_cross",
                            "layer2_dec_self"]
    all_enc = list(model.enc_layers)
    model.enc_layers = nn.ModuleList([all_enc[2], all_enc[0]])
    model.num_orlesque = 2
    reordered = model(feats, targets, feat_lengths, target_lengths)[0]
    model.enc_layers = nn.ModuleList(all_enc)
    model.num_orlesque = 3
    assert not torch.allclose(reordered, model(feats, targets, feat_lengths, target_lengths)[0])


@pytest.mark.parametrize("make, run", MODELS)
def test_changing_the_dropout_rate_takes_effect(make, run):
    model = make().train()
    feats, targets, feat_lengths, target_lengths = batch()
    reference = run(model.eval(), feats, targets, feat_lengths, target_lengths)
    model.train()
    assert torch.allclose(run(model, feats, targets, feat_lengths, target_lengths), reference, atol=1e-5)
    model.dropout.p = 0.5
    assert not torch.allclose(run(model, feats, targets, feat_lengths, target_lengths), reference)


def test_checkpoints_hold_no_position_table_and_load_into_a_longer_model():
    model = lm(max_len=8)
    state = model.state_dict()
    assert not any(k.endswith("pe") for k in state)
    longer = lm(max_len=64)
    with torch.no_grad():
        for p in longer.parameters():
            p.add_(1.0)
    longer.load_state_dict(state)
    tokens = batch()[1]
    assert torch.allclose(longer(tokens)[0], model(tokens)[0], atol=1e-6)


@pytest.mark.parametrize("kwargs, error", [
    ({"d_model": 15}, ValueError), ({"dropout": 1.0}, ValueError), ({"max_len": 0}, ValueError),
    ({"num_layers": 0}, ValueError), ({"num_heads": 2.0}, TypeError), ({"bogus": 1}, TypeError),
])
def test_unusable_settings_are_rejected(kwargs, error):
    with pytest.raises(error):
        DecoderOnlyTransformer(V, **dict(SMALL, **kwargs))


@pytest.fixture
def one_thread():
    # many tiny steps: extra threads only add contention
    previous = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(previous)


def test_a_language_model_learns_to_continue_a_memorised_text(one_thread):
    tok = VantTokenizer()
    text = [tok.sos_id] + tok.encode("abcabcab") + [tok.eos_id]
    seq = torch.tensor([text])
    torch.manual_seed(0)
    model = DecoderOnlyTransformer(tok.vocab_size, d_model=32, num_heads=2, d_ff=64, num_layers=1, dropout=0.0,
                                   max_len=16)
    opt = torch.optim.Adam(model.parameters(), lr=1e-2)
    for _ in range(60):
        logits, _ = model(seq[:, :-1], target_lengths=torch.tensor([len(text) - 1]))
        loss = nn.functional.cross_entropy(logits[0], seq[0, 1:])
        opt.zero_grad()
        loss.backward()
        opt.step()
    model.eval()
    gen = SequenceGenerator(score_fn=model.score, tokenizer=tok, max_length=model.max_len)
    seqs, _ = gen.generate_greedy(seq[:, :3])
    assert gen.post_process_sequence(seqs, tok)[0].tolist() == text
    beams, _ = gen.generate_beam(seq[:, :3], beam_width=3)
    assert gen.post_process_sequence(beams[:, 0], tok)[0].tolist() == text


# --- positional encoding -------------------------------------------------------------------

@pytest.mark.parametrize("d_model, max_len", [(16, 50), (6, 9)])
def test_position_table_is_sin_cos_of_geometrically_falling_frequencies(d_model, max_len):
    from quillane.model.transformers import PositionalEncoding

    pe = PositionalEncoding(d_model, max_len).pe
    assert pe.shape == (1, max_len, d_model) and pe.dtype == torch.float32
    table = pe[0].double()
    sin, cos = table[:, 0::2], table[:, 1::2]
    assert torch.equal(table[0, 0::2], torch.zeros(d_model // 2, dtype=torch.double))
    assert torch.equal(table[0, 1::2], torch.ones(d_model // 2, dtype=torch.double))
    assert torch.allclose(sin ** 2 + cos ** 2, torch.ones_like(sin), atol=1e-6)
    freqs = torch.atan2(sin[1], cos[1])  # the angle each pair advances per position
    expected = 10000.0 ** (-torch.arange(0, d_model, 2, dtype=torch.double) / d_model)
    assert torch.allclose(freqs, expected, rtol=1e-5)
    positions = torch.arange(max_len, dtype=torch.double).unsqueeze(1)
    assert torch.allclose(sin, torch.sin(positions * expected), atol=1e-6)
    x = torch.randn(2, 5, d_model)
    assert torch.equal(PositionalEncoding(d_model, max_len)(x), x + pe[:, :5])


# --- incremental decoding ------------------------------------------------------------------

TOK = type("Tok", (), {"pad_id": 0, "sos_id": 1, "eos_id": 2})


def ending(make, eos_bias):
    """A model whose end token is likely enough that rows finish at different steps."""
    model = make()
    with torch.no_grad():
        model.final_linear.bias[TOK.eos_id] += eos_bias
    return model


def asr_scorers(model):
    feats, _, feat_lengths, _ = batch()  # three utterances of different lengths (padding)
    enc, mask, _, _ = model.encode(feats, feat_lengths)
    return (lambda x: model.score(x, enc, mask)), model.scorer(enc, mask), torch.ones(3, 1, dtype=torch.long)


def lm_scorers(model):
    prompts = torch.tensor([[1, 5], [1, 7], [1, 9]])  # prompts of two tokens: the first step takes both
    return model.score, model.scorer(), prompts


SCORERS = [pytest.param(asr, asr_scorers, 1.2, id="encoder-decoder"),
           pytest.param(lm, lm_scorers, 1.6, id="decoder-only")]


@pytest.mark.parametrize("make, scorers, eos_bias", SCORERS)
def test_cached_greedy_search_gives_exactly_the_uncached_tokens(make, scorers, eos_bias):
    plain, cached, prompts = scorers(ending(make, eos_bias))
    seqs, scores = SequenceGenerator(score_fn=plain, tokenizer=TOK, max_length=20).generate_greedy(prompts)
    fast, fast_scores = SequenceGenerator(score_fn=cached, tokenizer=TOK, max_length=20).generate_greedy(prompts)
    assert torch.equal(fast, seqs)
    assert torch.allclose(fast_scores, scores, atol=1e-4)
    lengths = (seqs != TOK.pad_id).sum(1)
    assert len(set(lengths.tolist())) > 1  # rows finished at different steps


@pytest.mark.parametrize("width", [2, 5])
@pytest.mark.parametrize("make, scorers, eos_bias", SCORERS)
def test_cached_beam_search_gives_the_uncached_hypotheses_and_scores(make, scorers, eos_bias, width, attention_path):
    plain, cached, prompts = scorers(ending(make, eos_bias))
    seqs, scores = SequenceGenerator(score_fn=plain, tokenizer=TOK, max_length=16).generate_beam(prompts, width)
    fast, fast_scores = SequenceGenerator(score_fn=cached, tokenizer=TOK, max_length=16).generate_beam(prompts, width)
    assert torch.equal(fast[:, 0], seqs[:, 0])
    finite = torch.isfinite(scores)
    assert torch.equal(finite, torch.isfinite(fast_scores))
    assert torch.allclose(fast_scores[finite], scores[finite], atol=1e-4)
    ends = (seqs == TOK.eos_id).int().argmax(-1)
    assert len(set(ends.flatten().tolist())) > 1  # beams ended at different steps


@pytest.mark.parametrize("index", [
    [0, 0, 1, 5, 5, 5],        # a parent with several children, others dropped
    [5, 4, 3, 2, 1, 0],        # a permutation
    [3, 1],                    # most rows dropped
    [0, 1, 2, 3, 4, 5, 0, 1],  # more rows than before: the buffers gain columns
])
def test_reordered_scorer_state_continues_each_row_from_its_parent(index, attention_path):
    model = asr()
    feats, targets, feat_lengths, _ = batch()
    enc, mask, _, _ = model.encode(feats, feat_lengths)
    scorer = model.scorer(enc, mask)
    prefixes = torch.cat([targets, torch.randint(3, V, (3, 2))], 1).repeat_interleave(2, 0)  # rows 2b, 2b+1: utt b
    state = scorer.init_state(prefixes[:, :1])
    _, state = scorer.step(state, prefixes[:, :3])
    index = torch.tensor(index)
    state = scorer.reorder(state, index)
    kept, utterance = prefixes[index], torch.div(index, 2, rounding_mode="floor")
    for length in (4, 5):
        logits, state = scorer.step(state, kept[:, length - 1:length])
        assert torch.allclose(logits, model.score(kept[:, :length], enc[utterance], mask[utterance]), atol=1e-5)


@pytest.mark.parametrize("make, scorers, eos_bias", SCORERS)
def test_scorer_called_on_prefixes_is_the_models_score(make, scorers, eos_bias):
    model = make()
    plain, cached, prompts = scorers(model)
    x = torch.cat([prompts, torch.randint(3, V, (3, 4))], 1)
    assert torch.equal(cached(x), plain(x))
