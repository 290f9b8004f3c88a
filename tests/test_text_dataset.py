import pickle

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from quillane.data.text_dataset import TextDataset
from quillane.data.tokenizer import VantTokenizer

TOK = VantTokenizer()
TEXTS = ["the cat sat", "", "a dog", "on the mat today", "xy"] + [f"line number {i}" for i in range(20)]


@pytest.fixture
def ds():
    return TextDataset("train", TEXTS, TOK)


def test_samples_wrap_the_tokens_with_start_and_end_ids(ds):
    for i, text in enumerate(TEXTS):
        shifted, golden = ds[i]
        body = TOK.encode(text)
        assert shifted.dtype == golden.dtype == torch.long
        assert shifted.tolist() == [TOK.sos_id] + body and golden.tolist() == body + [TOK.eos_id]
    last = [t.tolist() for t in ds[len(TEXTS) - 1]]
    for index in (-1, np.int64(len(TEXTS) - 1), torch.tensor(len(TEXTS) - 1)):
        assert [t.tolist() for t in ds[index]] == last


def test_statistics_count_characters_and_tokens_without_special_ids(ds):
    tokens = sum(len(TOK.encode(t)) for t in TEXTS)
    assert len(ds) == len(TEXTS) and ds.partition == "train"
    assert ds.text_max_len == max(len(TOK.encode(t)) for t in TEXTS) + 1
    assert ds.get_avg_chars_per_token() == pytest.approx(sum(map(len, TEXTS)) / tokens)


def test_collated_batches_are_padded_with_pad_id_and_report_lengths(ds):
    loader = DataLoader(ds, batch_size=4, shuffle=False, collate_fn=ds.collate_fn)
    seen = 0
    for shifted, golden, lengths in loader:
        assert shifted.shape == golden.shape and shifted.dtype == golden.dtype == lengths.dtype == torch.long
        assert shifted.size(1) == lengths.max()
        for row in range(shifted.size(0)):
            n = lengths[row].item()
            s_ref, g_ref = ds[seen + row]
            assert torch.equal(shifted[row, :n], s_ref) and torch.equal(golden[row, :n], g_ref)
            assert (shifted[row, n:] == TOK.pad_id).all() and (golden[row, n:] == TOK.pad_id).all()
        seen += shifted.size(0)
    assert seen == len(ds)


def test_prompt_sampling_is_deterministic_and_ignores_the_global_generator(ds):
    torch.manual_seed(0)
    a_prompts, a_orig = ds.sample_prompts(num_samples=6, prompt_length=4, seed=52917)
    torch.manual_seed(123)
    torch.rand(10)
    b_prompts, b_orig = ds.sample_prompts(num_samples=6, prompt_length=4, seed=52917)
    assert torch.equal(a_prompts, b_prompts)
    assert all(torch.equal(x, y) for x, y in zip(a_orig, b_orig))
    c_prompts, _ = ds.sample_prompts(num_samples=6, prompt_length=4, seed=7)
    assert not torch.equal(a_prompts, c_prompts)


@pytest.mark.parametrize("num_samples, prompt_length", [(3, 1), (10, 5), (50, 12)])
def test_prompts_start_their_originals_and_skip_texts_that_are_too_short(ds, num_samples, prompt_length):
    prompts, originals = ds.sample_prompts(num_samples, prompt_length, 1)
    eligible = [t for t in TEXTS if len(TOK.encode(t)) >= prompt_length]
    assert prompts.shape == (min(num_samples, len(eligible)), prompt_length) and prompts.dtype == torch.long
    texts = set()
    for prompt, original in zip(prompts, originals):
        assert original.dtype == torch.long and len(original) > prompt_length
        assert torch.equal(original[:prompt_length], prompt) and prompt[0] == TOK.sos_id
        assert original[-1] == TOK.eos_id
        texts.add(TOK.decode(original.tolist()))
    assert len(texts) == len(prompts) and texts <= set(eligible)  # distinct texts, all long enough


@pytest.mark.parametrize("prompt_length", [1, 2, 5])
def test_a_text_qualifies_for_a_prompt_exactly_when_it_is_at_least_prompt_length_tokens_long(prompt_length):
    texts = ["x" * (prompt_length - 1), "y" * prompt_length, "z" * (prompt_length + 1), "w" * (prompt_length - 1)]
    ds = TextDataset("train", texts, TOK)
    prompts, originals = ds.sample_prompts(num_samples=10, prompt_length=prompt_length, seed=3)
    assert prompts.shape == (2, prompt_length)
    drawn = sorted(TOK.decode(o.tolist()) for o in originals)
    assert drawn == texts[1:3]
    for prompt, original in zip(prompts.tolist(), originals):
        assert prompt == original.tolist()[:prompt_length]
        assert original.tolist()[prompt_length:] != [TOK.eos_id]  # a real token continues every prompt

    shorter = TextDataset("train", [texts[0], texts[3]], TOK)
    with pytest.raises(ValueError, match=f"has more than {prompt_length - 1} tokens"):
        shorter.sample_prompts(num_samples=10, prompt_length=prompt_length, seed=3)


@pytest.mark.parametrize("num_samples, expected", [(1, 1), (2, 2), (3, 2)])
def test_prompt_count_is_the_smaller_of_the_request_and_the_qualifying_texts(num_samples, expected):
    ds = TextDataset("train", ["abc", "ab", "abcd", "a"], TOK)
    prompts, originals = ds.sample_prompts(num_samples=num_samples, prompt_length=3, seed=0)
    assert len(prompts) == len(originals) == expected


@pytest.mark.parametrize("kwargs, match", [
    ({"num_samples": 2, "prompt_length": 40, "seed": 0}, "no text"),
    ({"num_samples": 0, "prompt_length": 3, "seed": 0}, "num_samples"),
    ({"num_samples": 2, "prompt_length": 0, "seed": 0}, "prompt_length"),
])
def test_unusable_prompt_requests_raise_value_error(ds, kwargs, match):
    with pytest.raises(ValueError, match=match):
        ds.sample_prompts(**kwargs)


def test_from_file_reads_one_text_per_line_and_skips_blank_lines(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text("first text\n\nsecond one\r\nthird\n", encoding="utf-8")
    ds = TextDataset.from_file("val", path, TOK)
    assert len(ds) == 3 and ds.partition == "val"
    assert TOK.decode(ds[1][1].tolist()) == "second one"
    with pytest.raises(FileNotFoundError):
        TextDataset.from_file("val", tmp_path / "missing.txt", TOK)


def test_dataset_pickles_with_its_tokenizer(ds):
    copy = pickle.loads(pickle.dumps(ds))
    assert len(copy) == len(ds) and copy.text_max_len == ds.text_max_len
    assert all(torch.equal(a, b) for i in range(len(ds)) for a, b in zip(copy[i], ds[i]))
    assert copy.tokenizer.encode("abc") == TOK.encode("abc")


def test_unusable_input_is_rejected_clearly(ds):
    with pytest.raises(TypeError, match="text 1"):
        TextDataset("train", ["ok", 5], TOK)
    with pytest.raises(IndexError):
        ds[len(TEXTS)]
    with pytest.raises(ValueError, match="at least one"):
        ds.collate_fn([])
    with pytest.raises(ValueError, match="no tokens"):
        TextDataset("test", ["", ""], TOK).get_avg_chars_per_token()
