"""CTC prefix scores against sums over every alignment of tiny utterances."""
import itertools
import math

import pytest
import torch

from quillane.decoding.ctc_prefix import CTCPrefixScorer

BLANK, END, V = 0, 3, 4  # labels 1, 2 and the end id 3


def label_distribution(log_probs, frames):
    """P(label sequence) of one utterance: every path of `frames` frames, collapsed."""
    dist = {}
    for path in itertools.product(range(V), repeat=frames):
        labels, previous = [], None
        for k in path:
            if k != previous and k != BLANK:
                labels.append(k)
            previous = k
        p = math.exp(sum(float(log_probs[t, k]) for t, k in enumerate(path)))
        dist[tuple(labels)] = dist.get(tuple(labels), 0.0) + p
    return dist


def expected_score(dist, prefix, c):
    if c == BLANK:
        return 0.0
    if c == END:  # the whole utterance is the prefix, with or without a final end label
        return dist.get(prefix, 0.0) + dist.get(prefix + (END,), 0.0)
    h = prefix + (c,)
    return sum(p for labels, p in dist.items() if labels[:len(h)] == h)


@pytest.mark.parametrize("seed, lengths, choices", [
    (0, [5, 3], [[1, 2], [1, 1], [2, 1]]),  # repeated labels need a blank between them
    (1, [4, 4], [[2, 2], [2, 1], [1, 2]]),
    (2, [5, 1], [[1, 1], [1, 2], [2, 2]]),  # a one-frame utterance runs out of frames
    (3, [0, 2], [[1, 2], [2, 2]]),          # an empty utterance holds only the empty sequence
])
def test_prefix_scores_equal_the_sum_over_alignments(seed, lengths, choices):
    torch.manual_seed(seed)
    frames = max(max(lengths), 1)
    log_probs = torch.randn(frames, len(lengths), V).log_softmax(-1)
    dists = [label_distribution(log_probs[:, b], n) for b, n in enumerate(lengths)]
    scorer = CTCPrefixScorer(log_probs, torch.tensor(lengths), BLANK, END)
    state = scorer.init_state(torch.ones(len(lengths), 1, dtype=torch.long))
    prefixes = [()] * len(lengths)
    candidates = torch.arange(V).repeat(len(lengths), 1)
    for choice in choices:
        scores, state = scorer.score(state, candidates)
        for b, dist in enumerate(dists):
            expected = [expected_score(dist, prefixes[b], c) for c in range(V)]
            assert scores[b].exp().tolist() == pytest.approx(expected, abs=1e-6)
            assert state["prefix"][b].exp().item() == pytest.approx(
                sum(p for labels, p in dist.items() if labels[:len(prefixes[b])] == prefixes[b]), abs=1e-6)
        state = scorer.extend(state, torch.tensor(choice))
        prefixes = [p + (c,) for p, c in zip(prefixes, choice)]


def test_rows_read_their_utterance_and_reorder_follows_the_rows():
    torch.manual_seed(4)
    log_probs = torch.randn(4, 2, V).log_softmax(-1)
    scorer = CTCPrefixScorer(log_probs, torch.tensor([4, 3]), BLANK, END)
    state = scorer.init_state(torch.ones(4, 1, dtype=torch.long))  # rows 0, 1: utterance 0; 2, 3: utterance 1
    scores, state = scorer.score(state, torch.tensor([[1, 2]] * 4))
    assert torch.equal(scores[0], scores[1]) and torch.equal(scores[2], scores[3])
    assert not torch.equal(scores[0], scores[2])
    state = scorer.extend(state, torch.tensor([1, 2, 1, 2]))
    moved = scorer.reorder(state, torch.tensor([3, 0]))
    after, _ = scorer.score(moved, torch.tensor([[1, END]] * 2))
    direct, _ = scorer.score(state, torch.tensor([[1, END]] * 4))
    assert torch.equal(after, direct[[3, 0]])


@pytest.mark.parametrize("call, match", [
    (lambda s, st: s.extend(s.score(st, torch.tensor([[1], [1]]))[1], torch.tensor([2, 1])), "one of the candidates"),
    (lambda s, st: s.extend(st, torch.tensor([1, 1])), "needs the state returned by score"),
    (lambda s, st: s.score(st, torch.tensor([[1]])), "candidates must be"),
    (lambda s, st: s.score({**st, "utterance": torch.tensor([0, 5])}, torch.tensor([[1], [1]])), "does not belong"),
    (lambda s, st: s.score({**st, "r": st["r"][:, :2]}, torch.tensor([[1], [1]])), "does not belong"),
    (lambda s, st: CTCPrefixScorer(torch.zeros(3, 1, V), torch.tensor([3]), 0, V), "end must be"),
    (lambda s, st: CTCPrefixScorer(torch.zeros(3, 1, V), torch.tensor([3]), 1, 1), "different"),
    (lambda s, st: CTCPrefixScorer(torch.zeros(3, V), torch.tensor([3]), 0, 3), "frames, batch, vocab"),
    (lambda s, st: s.init_state(torch.ones(3, 1)), "not a multiple"),
])
def test_unusable_inputs_raise_value_error(call, match):
    scorer = CTCPrefixScorer(torch.zeros(3, 2, V).log_softmax(-1), torch.tensor([3, 2]), BLANK, END)
    with pytest.raises(ValueError, match=match):
        call(scorer, scorer.init_state(torch.ones(2, 1)))
