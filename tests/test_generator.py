import functools
import math
from types import SimpleNamespace

import pytest
import torch

from quillane.decoding.sequence_generator import SequenceGenerator

TOK = SimpleNamespace(pad_id=0, sos_id=1, eos_id=2)
V = 7


class Markov:
    """Next-token logits that depend on the last token only; counts its calls."""

    def __init__(self, table):
        self.table = table
        self.calls = []

    def __call__(self, x):
        self.calls.append(tuple(x.shape))
        return self.table[x[:, -1]]


def random_markov(seed=0, eos_bias=-1.0):
    g = torch.Generator().manual_seed(seed)
    table = torch.randn(V, V, generator=g) * 2
    table[:, 2] += eos_bias
    return Markov(table)


def reference_greedy(score_fn, prompts, max_length, temperature=1.0, repeat_penalty=1.0):
    rows, scores = [], []
    for prompt in prompts:
        seq, score = prompt.tolist(), 0.0
        while len(seq) < max_length:
            logits = score_fn(torch.tensor([seq]))[0].clone()
            for t in set(seq):
                logits[t] = logits[t] / repeat_penalty if logits[t] > 0 else logits[t] * repeat_penalty
            log_probs = torch.log_softmax(logits / temperature, -1)
            t = int(log_probs.argmax())
            seq.append(t)
            score += float(log_probs[t])
            if t == TOK.eos_id:
                break
        rows.append(seq)
        scores.append(score)
    width = max(map(len, rows))
    padded = [r + [TOK.pad_id] * (width - len(r)) for r in rows]
    return torch.tensor(padded), torch.tensor(scores)


PROMPTS = torch.tensor([[1, 3], [1, 4], [1, 5], [1, 6]])


@pytest.mark.parametrize("temperature, repeat_penalty", [(1.0, 1.0), (0.7, 1.0), (1.3, 2.5)])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_greedy_matches_a_stepwise_argmax_reference(seed, temperature, repeat_penalty):
    fn = random_markov(seed)
    gen = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=9, device="cpu")
    seqs, scores = gen.generate_greedy(PROMPTS, temperature=temperature, repeat_penalty=repeat_penalty)
    ref_seqs, ref_scores = reference_greedy(fn, PROMPTS, 9, temperature, repeat_penalty)
    assert torch.equal(seqs[:, : ref_seqs.size(1)], ref_seqs)
    assert (seqs[:, ref_seqs.size(1):] == TOK.pad_id).all()
    assert torch.allclose(scores, ref_scores, atol=1e-5)


def test_finished_rows_are_padded_and_decoding_stops_when_all_finish():
    table = torch.full((V, V), -5.0)
    table[1, 3] = 5.0  # sos -> 3
    table[3, 2] = 5.0  # 3 -> eos
    table[4, 4] = 5.0  # 4 -> 4 -> ... until max_length
    table[4, 2] = 4.0
    fn = Markov(table)
    gen = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=6, device=None)
    seqs, scores = gen.generate_greedy(torch.tensor([[1], [4]]))
    assert seqs.tolist() == [[1, 3, 2, 0, 0, 0], [4, 4, 4, 4, 4, 4]]
    assert scores[0] == pytest.approx(float(torch.log_softmax(table[1], 0)[3] + torch.log_softmax(table[3], 0)[2]))
    fn.calls.clear()
    seqs, _ = gen.generate_greedy(torch.tensor([[1], [1]]))
    assert seqs.tolist() == [[1, 3, 2], [1, 3, 2]] and len(fn.calls) == 2


@pytest.mark.parametrize("max_length, expected_len", [(2, 2), (5, 5)])
def test_max_length_bounds_the_whole_sequence_and_full_length_prompts_pass_unchanged(max_length, expected_len):
    table = torch.zeros(V, V)
    table[:, 5] = 3.0  # never ends
    gen = SequenceGenerator(score_fn=Markov(table), tokenizer=TOK, max_length=max_length)
    for seqs, scores in (gen.generate_greedy(PROMPTS), gen.generate_sample(PROMPTS)):
        assert seqs.shape == (4, expected_len) and torch.equal(seqs[:, :2], PROMPTS)
    seqs, scores = gen.generate_beam(PROMPTS, beam_width=3)
    assert seqs.shape == (4, 3, expected_len)


def two_path_table():
    # From sos: A (3) 0.6, B (4) 0.4. After A: every continuation unlikely to end;
    # after B: end almost surely. Greedy takes A, the best complete sequence is B eos.
    probs = torch.full((V, V), 1e-6)
    probs[1, 3], probs[1, 4] = 0.6, 0.4
    probs[3, 2], probs[3, 5], probs[3, 6] = 0.3, 0.35, 0.35
    probs[4, 2], probs[4, 5] = 0.99, 0.01
    probs[5, 2] = probs[6, 2] = 0.2
    probs[5, 5] = probs[6, 6] = 0.8
    return Markov(probs.log())


def test_beam_search_finds_the_best_sequence_that_greedy_misses():
    fn = two_path_table()
    gen = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=4)
    greedy, _ = gen.generate_greedy(torch.tensor([[1]]))
    seqs, scores = gen.generate_beam(torch.tensor([[1]]), beam_width=3)
    assert greedy[0, 1].item() == 3
    assert seqs[0, 0, :3].tolist() == [1, 4, 2]
    assert scores[0, 0].item() == pytest.approx(math.log(0.4 * 0.99), rel=1e-3)
    assert (scores[0, :-1] >= scores[0, 1:]).all()  # best first


def test_beam_scores_every_hypothesis_of_the_batch_in_one_call_per_step():
    fn = random_markov(3, eos_bias=-10.0)
    gen = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=6)
    seqs, scores = gen.generate_beam(PROMPTS, beam_width=3)
    assert seqs.shape == (4, 3, 6) and scores.shape == (4, 3)
    assert fn.calls == [(12, t) for t in range(2, 6)]


def test_beam_results_do_not_depend_on_the_rest_of_the_batch():
    fn = random_markov(4)
    gen = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=7)
    seqs, scores = gen.generate_beam(PROMPTS, beam_width=3, temperature=0.8, repeat_penalty=1.3)
    for i in range(len(PROMPTS)):
        one_seqs, one_scores = gen.generate_beam(PROMPTS[i:i + 1], beam_width=3, temperature=0.8, repeat_penalty=1.3)
        n = one_seqs.size(2)
        assert torch.equal(seqs[i, :, :n], one_seqs[0]) and (seqs[i, :, n:] == TOK.pad_id).all()
        assert torch.allclose(scores[i], one_scores[0])


@pytest.mark.parametrize("seed", [0, 5])
def test_beam_width_one_equals_greedy(seed):
    gen = SequenceGenerator(score_fn=random_markov(seed), tokenizer=TOK, max_length=8)
    seqs, scores = gen.generate_greedy(PROMPTS, repeat_penalty=1.5)
    beam_seqs, beam_scores = gen.generate_beam(PROMPTS, beam_width=1, repeat_penalty=1.5)
    assert torch.equal(beam_seqs[:, 0], seqs) and torch.allclose(beam_scores[:, 0], scores)


@pytest.mark.parametrize("top_k, top_p", [(1, 1.0), (0, 1e-6), (3, 1e-6)])
def test_sampling_restricted_to_the_top_token_equals_greedy(top_k, top_p):
    gen = SequenceGenerator(score_fn=random_markov(6), tokenizer=TOK, max_length=8)
    seqs, scores = gen.generate_greedy(PROMPTS, temperature=0.9)
    s_seqs, s_scores = gen.generate_sample(PROMPTS, temperature=0.9, top_k=top_k, top_p=top_p)
    assert torch.equal(s_seqs, seqs) and torch.allclose(s_scores, scores)


def test_sampling_follows_the_global_generator_and_keeps_inside_top_k():
    table = torch.zeros(V, V)
    table[:, 2] = -50.0  # never ends
    table[:, 3:5] = 1.0  # the two best tokens
    gen = SequenceGenerator(score_fn=Markov(table), tokenizer=TOK, max_length=40)
    prompts = torch.ones(8, 1, dtype=torch.long)
    torch.manual_seed(11)
    a, sa = gen.generate_sample(prompts, top_k=2)
    torch.manual_seed(11)
    b, sb = gen.generate_sample(prompts, top_k=2)
    assert torch.equal(a, b) and torch.equal(sa, sb)
    assert set(a[:, 1:].unique().tolist()) == {3, 4}
    nucleus, _ = gen.generate_sample(prompts, top_p=0.5)  # the two best hold 0.5 between them
    assert set(nucleus[:, 1:].unique().tolist()) <= {3, 4}


def test_post_process_cuts_after_the_first_end_id():
    seqs = torch.tensor([[1, 3, 2, 0, 0], [1, 4, 5, 6, 3], [1, 2, 4, 2, 0]])
    out = SequenceGenerator.post_process_sequence(seqs, TOK)
    assert [o.tolist() for o in out] == [[1, 3, 2], [1, 4, 5, 6, 3], [1, 2]]
    assert all(o.dtype == torch.long and o.dim() == 1 for o in out)
    gen = SequenceGenerator(score_fn=None, tokenizer=TOK, max_length=3)
    assert [o.tolist() for o in gen.post_process_sequence(seqs[:1], TOK)] == [[1, 3, 2]]


@pytest.mark.parametrize("call, match", [
    (lambda g: g.generate_greedy(PROMPTS, temperature=0.0), "temperature"),
    (lambda g: g.generate_greedy(PROMPTS, repeat_penalty=-1.0), "repeat_penalty"),
    (lambda g: g.generate_beam(PROMPTS, beam_width=0), "beam_width"),
    (lambda g: g.generate_greedy(torch.ones(3, 6, dtype=torch.long)), r"max_length \(5\) is shorter than the prompts"),
    (lambda g: g.generate_beam(torch.ones(3, 6, dtype=torch.long), beam_width=2), "max_length"),
    (lambda g: g.generate_sample(PROMPTS, top_k=-1), "top_k"),
    (lambda g: g.generate_sample(PROMPTS, top_p=1.5), "top_p"),
    (lambda g: g.generate_greedy(torch.ones(3, dtype=torch.long)), "shape"),
    (lambda g: g.generate_greedy(torch.ones(3, 0, dtype=torch.long)), "at least one"),
    (lambda g: SequenceGenerator(score_fn=lambda x: torch.zeros(x.size(0), x.size(1), V), tokenizer=TOK,
                                 max_length=5).generate_greedy(PROMPTS), "score_fn"),
])
def test_unusable_arguments_raise_value_error(call, match):
    gen = SequenceGenerator(score_fn=random_markov(), tokenizer=TOK, max_length=5)
    with pytest.raises(ValueError, match=match):
        call(gen)


# --- incremental scorers -------------------------------------------------------------------

class RunningSum:
    """Logits that depend on the whole prefix (the last token and the sum of all tokens), as a
    plain score function and as an incremental scorer whose state is each row's (last, sum).
    A state handed to the wrong rows changes the results."""

    def __init__(self, seed=0, eos_bias=-1.0):
        g = torch.Generator().manual_seed(seed)
        self.table = torch.randn(V, V, generator=g) * 2
        self.table[:, TOK.eos_id] += eos_bias
        self.mix = torch.randn(7, V, generator=g)
        self.rows_scored = []

    def logits(self, last, total):
        return self.table[last] + self.mix[total % 7]

    def __call__(self, x):
        return self.logits(x[:, -1], x.sum(1))

    def incremental(self):
        outer = self

        class Scorer:
            def init_state(self, prompts):
                return torch.zeros(len(prompts), dtype=torch.long)

            def step(self, state, tokens):
                outer.rows_scored.append(len(tokens))
                total = state + tokens.sum(1)
                return outer.logits(tokens[:, -1], total), total

            def reorder(self, state, index):
                return state[index]
        return Scorer()


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("search", ["greedy", "beam"])
def test_an_incremental_scorer_decodes_like_its_plain_score_function(search, seed):
    fn = RunningSum(seed)
    plain = SequenceGenerator(score_fn=fn, tokenizer=TOK, max_length=12)
    cached = SequenceGenerator(score_fn=fn.incremental(), tokenizer=TOK, max_length=12)
    if search == "greedy":
        (a, sa), (b, sb) = plain.generate_greedy(PROMPTS, repeat_penalty=1.3), \
            cached.generate_greedy(PROMPTS, repeat_penalty=1.3)
    else:
        (a, sa), (b, sb) = plain.generate_beam(PROMPTS, beam_width=3, temperature=0.8), \
            cached.generate_beam(PROMPTS, beam_width=3, temperature=0.8)
    assert torch.equal(a, b) and torch.allclose(sa, sb, atol=1e-5)


def test_finished_rows_are_no_longer_scored_by_an_incremental_scorer():
    table = torch.full((V, V), -5.0)
    table[1, 3] = table[3, 2] = 5.0  # sos 3 eos
    table[4, 4] = 5.0                # 4 4 4 ...
    fn = Markov(table)

    class Scorer:
        rows = []

        def init_state(self, prompts):
            return None

        def step(self, state, tokens):
            Scorer.rows.append(len(tokens))
            return fn(tokens), state

        def reorder(self, state, index):
            return state

    seqs, _ = SequenceGenerator(score_fn=Scorer(), tokenizer=TOK, max_length=6).generate_greedy(torch.tensor([[1], [4]]))
    assert seqs.tolist() == [[1, 3, 2, 0, 0, 0], [4, 4, 4, 4, 4, 4]]
    assert Scorer.rows == [2, 2, 1, 1, 1]  # the first row stops costing after its end token


def test_beam_search_scores_one_row_per_prompt_first_then_only_live_hypotheses():
    fn = RunningSum(3, eos_bias=2.0)
    scorer = fn.incremental()
    SequenceGenerator(score_fn=scorer, tokenizer=TOK, max_length=8).generate_beam(PROMPTS, beam_width=3)
    assert fn.rows_scored[0] == 4 and max(fn.rows_scored[1:]) <= 12
    assert fn.rows_scored[-1] < 12  # hypotheses that ended are dropped


def test_a_normalized_scorer_scores_are_used_without_softmax():
    table = torch.full((V, V), -3.0)
    table[:, 5] = -0.5  # not a distribution: the generator must not renormalise it
    table[5, 2] = -0.1

    class Scorer:
        normalized = True

        def __call__(self, x):
            return table[x[:, -1]]

    seqs, scores = SequenceGenerator(score_fn=Scorer(), tokenizer=TOK, max_length=5).generate_greedy(PROMPTS[:1])
    assert seqs.tolist() == [[1, 3, 5, 2]] and scores.item() == pytest.approx(-0.6)


def test_a_partial_over_a_plain_function_is_a_score_function():
    table = random_markov(7).table
    gen = SequenceGenerator(score_fn=functools.partial(markov_logits, table), tokenizer=TOK, max_length=8)
    ref = SequenceGenerator(score_fn=Markov(table), tokenizer=TOK, max_length=8)
    assert torch.equal(gen.generate_beam(PROMPTS, beam_width=2)[0], ref.generate_beam(PROMPTS, beam_width=2)[0])


def markov_logits(table, x):
    return table[x[:, -1]]


@pytest.mark.parametrize("poison", ["nan", "+inf", "all -inf"])
@pytest.mark.parametrize("incremental", [False, True])
def test_unusable_scores_raise_value_error(poison, incremental):
    def fn(x):
        logits = torch.zeros(len(x), V)
        if x.size(1) == 3:  # from the second generated token on
            if poison == "all -inf":
                logits[1] = -math.inf
            else:
                logits[1, 4] = float(poison)
        return logits

    class Scorer:
        def init_state(self, prompts):
            return prompts[:, :0]

        def step(self, state, tokens):
            prefix = torch.cat([state, tokens], 1)
            return fn(prefix), prefix

        def reorder(self, state, index):
            return state[index]

    gen = SequenceGenerator(score_fn=Scorer() if incremental else fn, tokenizer=TOK, max_length=6)
    with pytest.raises(ValueError, match="unusable scores"):
        gen.generate_greedy(PROMPTS[:, :1])
