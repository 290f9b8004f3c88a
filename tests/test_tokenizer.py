import pickle

import pytest

from quillane.data.tokenizer import VantTokenizer

CORPUS = [
    "the quick brown fox jumps over the lazy dog",
    "a stitch in time saves nine",
    "she sells sea shells by the sea shore",
    "how much wood would a woodchuck chuck",
] * 20


@pytest.fixture(scope="module")
def subword():
    return VantTokenizer.train(CORPUS, 40)


@pytest.fixture(params=["char", "subword"])
def tok(request, subword):
    return VantTokenizer() if request.param == "char" else subword


def test_special_ids_are_distinct_and_inside_the_vocabulary(tok):
    ids = {tok.pad_id, tok.sos_id, tok.eos_id, tok.unk_id}
    assert len(ids) == 4
    assert all(0 <= i < tok.vocab_size for i in ids)


@pytest.mark.parametrize("text", ["", "the lazy dog", "a stitch in time saves nine"])
def test_known_text_round_trips_without_special_ids(tok, text):
    ids = tok.encode(text)
    assert isinstance(ids, list) and all(type(i) is int for i in ids)
    assert not {tok.pad_id, tok.sos_id, tok.eos_id} & set(ids)
    assert tok.decode(ids) == text


def test_character_vocabulary_covers_case_digits_and_punctuation():
    tok = VantTokenizer()
    text = "It's 42, \"Mr. O'Neil\" (really)! Yes; no: a-b? [x/y]"
    ids = tok.encode(text)
    assert len(ids) == len(text) and tok.unk_id not in ids
    assert tok.decode(ids) == text


@pytest.mark.parametrize("skip", [True, False])
def test_unknown_characters_map_to_the_unknown_id(skip):
    tok = VantTokenizer()
    ids = tok.encode("caf\u00e9\n")
    assert ids[3] == tok.unk_id and ids[4] == tok.unk_id
    assert tok.decode(ids, skip_special_tokens=skip) == "caf\u2047\u2047"


@pytest.mark.parametrize("framing, skipped, kept", [
    (lambda t, body: [t.sos_id] + body + [t.eos_id, t.pad_id, t.pad_id], "the sea", "<sos>the sea<eos><pad><pad>"),
    (lambda t, body: body + [t.eos_id], "the sea", "the sea<eos>"),
    (lambda t, body: [t.sos_id] + body, "the sea", "<sos>the sea"),
    (lambda t, body: [t.eos_id, t.sos_id] + body + [t.pad_id], "the sea", "<eos><sos>the sea<pad>"),
    (lambda t, body: [t.sos_id, t.eos_id], "", "<sos><eos>"),
])  # fmt: skip
def test_special_tokens_are_dropped_or_spelled_out_exactly(tok, framing, skipped, kept):
    ids = framing(tok, tok.encode("the sea"))
    assert tok.decode(ids, skip_special_tokens=True) == skipped
    assert tok.decode(ids, skip_special_tokens=False) == kept
    assert tok.decode(ids) == skipped  # skipping is the default


@pytest.mark.parametrize("bad", [[-1], [10**6], [2**70]])
def test_out_of_range_ids_raise_value_error(tok, bad):
    with pytest.raises(ValueError, match="out of range"):
        tok.decode(bad)


@pytest.mark.parametrize("call", [lambda t: t.decode([1.5]), lambda t: t.encode(b"abc")])
def test_non_integer_ids_and_non_string_text_raise_type_error(call):
    with pytest.raises(TypeError):
        call(VantTokenizer())


def test_save_load_and_pickle_preserve_the_vocabulary(tok, tmp_path):
    path = tmp_path / "tok.json"
    tok.save(path)
    for copy in (VantTokenizer.load(path), pickle.loads(pickle.dumps(tok))):
        assert copy.kind == tok.kind and copy.vocab_size == tok.vocab_size
        assert (copy.pad_id, copy.sos_id, copy.eos_id) == (tok.pad_id, tok.sos_id, tok.eos_id)
        assert copy.encode("the wood chuck") == tok.encode("the wood chuck")


def test_subword_training_gives_fewer_tokens_than_characters(subword):
    text = "the quick brown fox"
    assert subword.kind == "subword"
    assert len(subword.encode(text)) < len(text)


@pytest.mark.parametrize("texts, size, error", [([], 40, ValueError), (["", ""], 40, ValueError),
                                                (CORPUS, 4, ValueError), ([b"bytes"], 40, TypeError)])
def test_training_rejects_unusable_input(texts, size, error):
    with pytest.raises(error):
        VantTokenizer.train(texts, size)


def test_loading_a_foreign_or_missing_file_fails_clearly(tmp_path):
    with pytest.raises(FileNotFoundError):
        VantTokenizer.load(tmp_path / "missing.json")
    junk = tmp_path / "junk.json"
    junk.write_text("not json")
    with pytest.raises(ValueError, match="not a saved tokenizer"):
        VantTokenizer.load(junk)
    for model in ("@@@", "aGVsbG8="):  # not base64; base64 of bytes that are no model
        junk.write_text('{"format": "quillane-tokenizer", "kind": "subword", "model": "%s"}' % model)
        with pytest.raises(ValueError, match="damaged"):
            VantTokenizer.load(junk)
