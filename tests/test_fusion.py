"""Recognition scores: decoder logits, language-model fusion and joint CTC prefix scores."""
import pytest
import torch

from quillane.decoding.ctc_prefix import CTCPrefixScorer
from quillane.decoding.fusion import FusedScorer
from quillane.decoding.sequence_generator import SequenceGenerator
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer

V, F = 13, 10
TOK = type("Tok", (), {"pad_id": 0, "sos_id": 1, "eos_id": 2})
SMALL = dict(d_model=16, num_heads=2, d_ff=32, dropout=0.0)


@pytest.fixture(scope="module")
def encoded():
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(F, V, num_encoder_layers=1, num_decoder_layers=2, max_len=64,
                                      time_reduction=2, **SMALL).eval()
    with torch.no_grad():
        model.final_linear.bias[TOK.eos_id] += 1.0  # rows end at different steps
    lm = DecoderOnlyTransformer(V, num_layers=1, max_len=64, **SMALL).eval()
    model.requires_grad_(False)
    lm.requires_grad_(False)
    feats = torch.randn(3, 24, F)
    enc, mask, _, ctc = model.encode(feats, torch.tensor([24, 17, 9]))  # padding in the batch
    return model, lm, enc, mask, ctc


class ScoreOnly(torch.nn.Module):
    """A recogniser offering only the score contract, no incremental scorer."""

    def __init__(self, model):
        super().__init__()
        self.model = model

    def score(self, x, encoder_output, pad_mask_src):
        return self.model.score(x, encoder_output, pad_mask_src)


class Plain:
    """The scorer's whole-prefix call as a plain score function (the generator's uncached path)."""

    def __init__(self, scorer):
        self.scorer, self.normalized = scorer, scorer.normalized

    def __call__(self, x):
        return self.scorer(x)


def decode(score_fn, width, max_length=14):
    gen = SequenceGenerator(score_fn=score_fn, tokenizer=TOK, max_length=max_length)
    prompts = torch.ones(3, 1, dtype=torch.long)
    with torch.inference_mode():
        return gen.generate_greedy(prompts) if width == 1 else gen.generate_beam(prompts, beam_width=width)


def assert_same_search(a, b):
    (seqs, scores), (fast, fast_scores) = a, b
    best = (lambda s: s[:, 0]) if seqs.dim() == 3 else (lambda s: s)
    assert torch.equal(best(fast), best(seqs))
    finite = torch.isfinite(scores)
    assert torch.equal(finite, torch.isfinite(fast_scores))
    assert torch.allclose(fast_scores[finite], scores[finite], atol=1e-4)


@pytest.mark.parametrize("width", [1, 4])
@pytest.mark.parametrize("with_lm", [False, True])
@pytest.mark.parametrize("own_scorer", [True, False])
def test_without_ctc_the_search_is_todays_fused_logit_search(encoded, width, with_lm, own_scorer):
    model, lm, enc, mask, ctc = encoded
    config = {"beam_width": width, "lm_model": lm if with_lm else None, "lm_weight": 0.4, "ctc_weight": 0.0}

    def today(x):
        logits = model.score(x, enc, mask)
        return logits + 0.4 * lm.score(x) if with_lm else logits

    fused = FusedScorer(model if own_scorer else ScoreOnly(model), enc, mask, config, ctc, TOK.pad_id, TOK.eos_id)
    assert not fused.normalized
    x = torch.tensor([[1, 5, 6], [1, 7, 7], [1, 4, 2]])
    assert torch.equal(fused(x), today(x))
    assert_same_search(decode(today, width), decode(fused, width))


def test_lm_weight_is_read_from_the_configuration_at_every_step(encoded):
    model, lm, enc, mask, ctc = encoded
    config = {"beam_width": 1, "lm_model": lm, "lm_weight": 0.0}
    fused = FusedScorer(model, enc, mask, config, None, TOK.pad_id, TOK.eos_id)
    prompts = torch.ones(3, 1, dtype=torch.long)
    first, state = fused.step(fused.init_state(prompts), prompts)
    config["lm_weight"] = 1.0
    second, _ = fused.step(state, torch.full((3, 1), 5))
    x = torch.tensor([[1, 5]] * 3)
    assert torch.allclose(second, model.score(x, enc, mask) + lm.score(x), atol=1e-5)
    assert torch.allclose(first, model.score(prompts, enc, mask), atol=1e-5)


@pytest.mark.parametrize("width", [1, 3, 6])
@pytest.mark.parametrize("with_lm", [False, True])
def test_joint_ctc_search_is_the_same_cached_and_from_whole_prefixes(encoded, width, with_lm):
    model, lm, enc, mask, ctc = encoded
    config = {"beam_width": width, "lm_model": lm if with_lm else None, "lm_weight": 0.3, "ctc_weight": 0.4}
    fused = FusedScorer(model, enc, mask, config, ctc, TOK.pad_id, TOK.eos_id)
    assert fused.normalized
    assert_same_search(decode(Plain(fused), width), decode(fused, width))


def test_joint_scores_weigh_attention_and_ctc_prefix_gains_over_the_pre_beam(encoded):
    model, _, enc, mask, ctc = encoded
    weight = 0.3
    fused = FusedScorer(model, enc, mask, {"beam_width": 2, "ctc_weight": weight}, ctc, TOK.pad_id, TOK.eos_id)
    prompts = torch.ones(3, 1, dtype=torch.long)
    scores, _ = fused.step(fused.init_state(prompts), prompts)
    attention = model.score(prompts, enc, mask).log_softmax(-1)
    top = attention.topk(3, dim=-1).indices  # ceil(1.5 * 2) tokens, and the end id
    candidates = torch.cat([top, torch.full((3, 1), TOK.eos_id)], 1)
    ctc_scorer = CTCPrefixScorer(ctc["log_probs"], ctc["lengths"], TOK.pad_id, TOK.eos_id)
    prefix, _ = ctc_scorer.score(ctc_scorer.init_state(prompts), candidates)  # the empty prefix scores log 1
    expected = (1 - weight) * attention.gather(1, candidates) + weight * prefix
    assert torch.allclose(scores.gather(1, candidates), expected, atol=1e-5)
    assert torch.isfinite(scores).sum(1).tolist() == [len(set(c.tolist())) for c in candidates]


@pytest.mark.parametrize("config, ctc_given, match", [
    ({"beam_width": 2, "ctc_weight": 1.0}, True, "ctc_weight must lie in"),
    ({"beam_width": 2, "ctc_weight": -0.1}, True, "ctc_weight must lie in"),
    ({"beam_width": 2, "ctc_weight": 0.3}, False, "ctc_inputs"),
])
def test_unusable_ctc_settings_raise_value_error(encoded, config, ctc_given, match):
    model, _, enc, mask, ctc = encoded
    with pytest.raises(ValueError, match=match):
        FusedScorer(model, enc, mask, config, ctc if ctc_given else None, TOK.pad_id, TOK.eos_id)


def test_a_finished_joint_hypothesis_scores_its_attention_and_whole_sequence_ctc_probabilities(encoded):
    model, _, enc, mask, ctc = encoded
    weight = 0.4
    fused = FusedScorer(model, enc, mask, {"beam_width": 1, "ctc_weight": weight}, ctc, TOK.pad_id, TOK.eos_id)
    seqs, scores = decode(fused, 1, max_length=30)
    for b in range(3):
        row = seqs[b].tolist()
        assert TOK.eos_id in row
        tokens = row[:row.index(TOK.eos_id) + 1]
        prefixes = torch.tensor(tokens[:-1]).unsqueeze(0)
        attention = sum(float(model.score(prefixes[:, :j], enc[b:b + 1], mask[b:b + 1]).log_softmax(-1)[0, tokens[j]])
                        for j in range(1, len(tokens)))
        labels = tokens[1:]  # after the prompt, ending with the end id

        def ctc_log_prob(target):
            if not target:
                return float(ctc["log_probs"][:ctc["lengths"][b], b, TOK.pad_id].sum())
            return -float(torch.nn.functional.ctc_loss(
                ctc["log_probs"][:, b:b + 1], torch.tensor([target]), ctc["lengths"][b:b + 1],
                torch.tensor([len(target)]), blank=TOK.pad_id, reduction="sum"))

        whole = torch.logaddexp(torch.tensor(ctc_log_prob(labels)), torch.tensor(ctc_log_prob(labels[:-1])))
        assert scores[b].item() == pytest.approx((1 - weight) * attention + weight * float(whole), abs=1e-3)
