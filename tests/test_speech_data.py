import os
import pickle

import numpy as np
import pytest
import torch
from torch.nn.utils.rnn import pad_sequence
from torch.utils.data import DataLoader

from quillane.data.jassomir import jassomir
from quillane.data.quenmark import ASRDataset, FrequencyMasking, TimeMasking


class CharTokenizer:
    """Character-level ids; 0/1/2 are pad/start/end and never produced by encode."""

    pad_id, sos_id, eos_id = 0, 1, 2

    def encode(self, text):
        return [3 + ord(c) % 61 for c in text]


TOK = CharTokenizer()
SPECAUG = dict(time_mask_width_range=6, freq_mask_width_range=4, apply_freq_mask=True, num_freq_mask=2,
               apply_time_mask=True, num_time_mask=2)


def config(root, norm="none", num_feats=6, specaug=False, **extra):
    return dict(root=str(root), norm=norm, num_feats=num_feats, specaug=specaug, specaug_conf=dict(SPECAUG), **extra)


def make_corpus(root, partition="train", n=7, rows=8, dtype=np.float32, fortran=False, text=True, seed=0,
                frames=(3, 30)):
    """Writes n utterances; returns (features as written, transcripts)."""
    rng = np.random.default_rng(seed)
    os.makedirs(root / partition / "fbank", exist_ok=True)
    if text:
        os.makedirs(root / partition / "text", exist_ok=True)
    feats, texts = [], []
    for i in range(n):
        x = (rng.normal(size=(rows, int(rng.integers(*frames)))) * 3 + 1).astype(dtype)
        x = np.asfortranarray(x) if fortran else x
        np.save(root / partition / "fbank" / f"utt{i:03d}.npy", x)
        words = "the quick brown fox jumps over"[: 4 * i + 1]
        if text:
            np.save(root / partition / "text" / f"utt{i:03d}.npy", np.array(list(words)))
        feats.append(x)
        texts.append(words)
    return feats, texts


@pytest.fixture
def corpus(tmp_path):
    feats, texts = make_corpus(tmp_path)
    return tmp_path, feats, texts


@pytest.mark.parametrize("key, value, kept", [
    ("subset", 1, 7), ("subset", 1.5, 1), ("subset", 0.5, 3), ("subset", 0, 7), ("subset", -3, 7),
    ("subset_size", 0.1, 0), ("subset_size", 4, 4), (None, None, 7)])
def test_subset_rules_cut_both_file_lists(corpus, key, value, kept):
    root, _, texts = corpus
    extra = {} if key is None else {key: value}
    ds = ASRDataset("train", config(root, **extra), TOK, True)
    assert len(ds) == ds.length == len(ds.feats) == len(ds.text_files) == kept
    assert [os.path.basename(p) for p in ds.fbank_files] == [f"utt{i:03d}.npy" for i in range(kept)]
    assert ds.total_chars == sum(map(len, texts[:kept]))
    if kept == 0:
        assert ds.avg_chars_per_token == 0 and ds.feat_max_len == ds.text_max_len == 0


@pytest.mark.parametrize("settings, error, message", [
    (dict(norm="global-mvn"), ValueError, "data.norm must be 'global_mvn', 'cepstral' or 'none', not 'global-mvn'"),
    (dict(norm=None), ValueError, "data.norm must be 'global_mvn', 'cepstral' or 'none', not None"),
    (dict(subset_size=float("nan")), ValueError, "data.subset_size must be a finite number, not nan"),
    (dict(subset_size=float("inf"), subset=0.5), ValueError, "data.subset_size must be a finite number, not inf"),
    (dict(subset=float("-inf")), ValueError, "data.subset must be a finite number, not -inf"),
    (dict(subset="half"), TypeError, "data.subset must be a number, not str"),
    (dict(num_feats=0), ValueError, "data.num_feats must be positive, not 0"),
    (dict(num_feats=-2), ValueError, "data.num_feats must be positive, not -2"),
    (dict(num_feats=6.0), TypeError, "data.num_feats must be an int, not float"),
    (dict(num_feats=True), TypeError, "data.num_feats must be an int, not bool"),
])
def test_invalid_settings_raise_naming_the_setting(corpus, settings, error, message):
    with pytest.raises(error) as err:
        ASRDataset("train", config(corpus[0], **settings), TOK, True)
    assert str(err.value) == message


def test_subset_size_takes_precedence_over_subset(corpus):
    ds = ASRDataset("train", config(corpus[0], subset_size=2, subset=5), TOK, True)
    assert len(ds) == 2


def test_dataset_holds_features_and_token_lists(corpus):
    root, feats, texts = corpus
    (root / "train" / "fbank" / "notes.txt").write_text("ignored")
    (root / "train" / "text" / "README").write_text("ignored")
    ds = ASRDataset("train", config(root, num_feats=5), TOK, True)
    assert list(vars(ds))[:12] == ["config", "partition", "isTrainPartition", "tokenizer", "eos_token", "sos_token",
                                   "pad_token", "fbank_dir", "fbank_files", "length", "text_dir", "text_files"]
    for stored, written in zip(ds.feats, feats):
        assert stored.dtype == written.dtype and np.array_equal(stored, written[:5])
    tokens = [TOK.encode(t) for t in texts]
    assert ds.transcripts_shifted == [[1] + t for t in tokens]
    assert ds.transcripts_golden == [t + [2] for t in tokens]
    assert ds.total_tokens == sum(map(len, tokens)) and ds.text_max_len == max(map(len, tokens)) + 1
    assert ds.feat_max_len == max(f.shape[1] for f in feats)
    assert ds.get_avg_chars_per_token() == ds.total_chars / ds.total_tokens
    assert isinstance(ds.time_mask, TimeMasking) and ds.time_mask.mask_param == 6
    assert isinstance(ds.freq_mask, FrequencyMasking) and ds.freq_mask.mask_param == 4


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64, ">f4"])
@pytest.mark.parametrize("fortran", [False, True])
def test_global_statistics_match_a_float64_reference(tmp_path, dtype, fortran):
    feats, _ = make_corpus(tmp_path, n=9, rows=10, dtype=dtype, fortran=fortran)
    ds = ASRDataset("train", config(tmp_path, norm="global_mvn", num_feats=7), TOK, True)
    frames = np.concatenate([f[:7].astype(np.float32).astype(np.float64) for f in feats], axis=1)
    mean, std = frames.mean(axis=1), np.sqrt(frames.var(axis=1, ddof=1) + 1e-8)
    assert ds.global_mean.dtype == ds.global_std.dtype == torch.float32
    np.testing.assert_allclose(ds.global_mean.numpy(), mean.astype(np.float32), rtol=1e-6, atol=0)
    np.testing.assert_allclose(ds.global_std.numpy(), std.astype(np.float32), rtol=1e-6, atol=0)
    for i in (0, 4, -1):
        x = torch.tensor(feats[i][:7].astype(np.float32))
        expected = (x - ds.global_mean[:, None]) / (ds.global_std[:, None] + 1e-8)
        assert torch.equal(ds[i][0], expected)


def test_empty_utterances_do_not_disturb_the_statistics(tmp_path):
    feats, _ = make_corpus(tmp_path, n=4)
    np.save(tmp_path / "train" / "fbank" / "utt000.npy", np.zeros((8, 0), dtype=np.float32))
    ds = ASRDataset("train", config(tmp_path, norm="global_mvn"), TOK, True)
    frames = np.concatenate([f[:6].astype(np.float64) for f in feats[1:]], axis=1)
    np.testing.assert_allclose(ds.global_mean.numpy(), frames.mean(axis=1), rtol=1e-6)
    assert ds[0][0].shape == (6, 0) and ds.feat_max_len == max(f.shape[1] for f in feats[1:])


@pytest.mark.parametrize("args, message", [
    (("train", [], TOK, True), "Argument 'config' has incorrect type (expected dict, got list)"),
    (("train", {}, TOK, True, [0, 1]), "Argument 'global_stats' has incorrect type (expected tuple, got list)")])
def test_constructor_argument_types_are_checked(args, message):
    with pytest.raises(TypeError) as err:
        ASRDataset(*args)
    assert str(err.value) == message


def test_given_global_stats_are_used_as_is(corpus):
    root = corpus[0]
    stats = (torch.zeros(6) + 1.0, torch.ones(6, dtype=torch.float64) * 2)
    for train in (True, False):
        ds = ASRDataset("train", config(root, norm="global_mvn"), TOK, train, stats)
        assert ds.global_mean is stats[0] and ds.global_std is stats[1]
        x = torch.tensor(ds.feats[2], dtype=torch.float32)
        assert torch.equal(ds[2][0], (x - stats[0][:, None]) / (stats[1][:, None] + 1e-8))
    ds.global_std = None
    with pytest.raises(AssertionError, match="Global mean and std must be computed before normalization"):
        ds[0]


def test_cepstral_normalisation_is_per_utterance_and_row(corpus):
    ds = ASRDataset("train", config(corpus[0], norm="cepstral"), TOK, True)
    for i in range(len(ds)):
        x = torch.tensor(ds.feats[i], dtype=torch.float32)
        expected = (x - x.mean(dim=1, keepdim=True)) / (x.std(dim=1, keepdim=True) + 1e-8)
        assert torch.equal(ds[i][0], expected)


def write_text(root, name, array, partition="train", **kw):
    np.save(root / partition / "text" / name, array, **kw)


@pytest.mark.parametrize("breakage, message", [
    ("extra_text", "Number of feature and transcript files must match"),
    ("renamed_text", "have different names"),
    ("dev_without_stats", "global_stats must be provided for non-training partitions when using global_mvn"),
    ("one_frame", "at least 2 feature frames"),
    ("no_files", "at least 2 feature frames"),
])
def test_unusable_corpora_raise_value_errors(tmp_path, breakage, message):
    make_corpus(tmp_path, n=0 if breakage == "no_files" else 3, frames=(1, 2) if breakage == "one_frame" else (3, 9))
    if breakage == "one_frame":
        for name in ("utt001.npy", "utt002.npy"):
            os.remove(tmp_path / "train" / "fbank" / name)
            os.remove(tmp_path / "train" / "text" / name)
    if breakage == "extra_text":
        write_text(tmp_path, "utt999.npy", np.array(list("x")))
    if breakage == "renamed_text":
        os.rename(tmp_path / "train" / "text" / "utt001.npy", tmp_path / "train" / "text" / "utt001b.npy")
    norm = "none" if breakage.endswith("text") else "global_mvn"
    with pytest.raises(ValueError, match=message) as err:
        ASRDataset("train", config(tmp_path, norm=norm), TOK, breakage != "dev_without_stats")
    if breakage == "renamed_text":
        assert "utt001.npy" in str(err.value) and "utt001b.npy" in str(err.value)


def test_test_clean_needs_no_transcripts(tmp_path):
    feats, _ = make_corpus(tmp_path, partition="test-clean", n=3, text=False)
    ds = ASRDataset("test-clean", config(tmp_path), TOK, False)
    assert not hasattr(ds, "text_dir") and not hasattr(ds, "text_files")
    assert ds.transcripts_shifted == ds.transcripts_golden == []
    assert ds.total_chars == ds.total_tokens == ds.text_max_len == ds.avg_chars_per_token == 0
    assert ds[1][1:] == (None, None)
    batch = ds.collate_fn([ds[0], ds[1]])
    assert len(batch) == 5 and batch[1] is batch[2] is batch[4] is None
    assert batch[3].tolist() == [feats[0].shape[1], feats[1].shape[1]]


@pytest.mark.parametrize("form", ["chars", "words", "big_endian", "object", "object_0d", "raw_pickle_2",
                                  "raw_pickle_3", "raw_pickle_5"])
def test_transcript_forms_load_to_the_same_text(tmp_path, form):
    _, texts = make_corpus(tmp_path, n=3)
    path = tmp_path / "train" / "text" / "utt001.npy"
    if form == "chars":
        np.save(path, np.array(list("héllo\U0001f600")))
    elif form == "words":
        np.save(path, np.array(["hé", "llo\U0001f600"]))
    elif form == "big_endian":
        np.save(path, np.array(["hé", "llo\U0001f600"]).astype(">U4"))
    elif form == "object":
        np.save(path, np.array(list("héllo\U0001f600"), dtype=object), allow_pickle=True)
    elif form == "object_0d":
        np.save(path, np.array("héllo\U0001f600", dtype=object), allow_pickle=True)
    else:
        protocol = int(form[-1])
        path.write_bytes(pickle.dumps(np.array(["hé", "llo\U0001f600"], dtype=object), protocol=protocol))
    ds = ASRDataset("train", config(tmp_path), TOK, True)
    assert ds.transcripts_golden[1] == TOK.encode("héllo\U0001f600") + [2]
    assert ds.total_chars == len(texts[0]) + len("héllo\U0001f600") + len(texts[2])


def test_unsafe_pickled_transcripts_raise_without_running_code(tmp_path):
    make_corpus(tmp_path, n=3)
    marker = tmp_path / "marker"

    class Payload:
        def __reduce__(self):
            return (open, (str(marker), "w"))

    with open(tmp_path / "train" / "text" / "utt002.npy", "wb") as f:
        pickle.dump(Payload(), f)
    with pytest.raises(ValueError, match=r"utt002.npy.*cannot be loaded safely: global .*open. is not allowed"):
        ASRDataset("train", config(tmp_path), TOK, True)
    assert not marker.exists()
    np.save(tmp_path / "train" / "text" / "utt002.npy", np.array([1, 2], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match="utt002.npy.*int item"):
        ASRDataset("train", config(tmp_path), TOK, True)


@pytest.mark.parametrize("array", [np.arange(5.0), np.zeros((2, 3), dtype=np.int32), np.zeros((2, 2, 2))])
def test_malformed_feature_files_raise_value_errors_naming_the_file(tmp_path, array):
    make_corpus(tmp_path, n=3)
    np.save(tmp_path / "train" / "fbank" / "utt002.npy", array)
    with pytest.raises(ValueError, match="utt002.npy"):
        ASRDataset("train", config(tmp_path), TOK, True)


def test_truncated_feature_file_raises(tmp_path):
    make_corpus(tmp_path, n=2)
    path = tmp_path / "train" / "fbank" / "utt001.npy"
    path.write_bytes(path.read_bytes()[:-5])
    with pytest.raises(ValueError, match="utt001.npy.*truncated"):
        ASRDataset("train", config(tmp_path), TOK, True)


def reference_batch(samples, pad):
    feats = [s[0].T for s in samples]
    return (pad_sequence(feats, batch_first=True), pad_sequence([s[1] for s in samples], True, pad),
            pad_sequence([s[2] for s in samples], True, pad), torch.tensor([f.shape[0] for f in feats]),
            torch.tensor([len(s[1]) for s in samples]))


def reference_mask(spec, param, axis):
    """Masks (B, F, T) along axis 1 or 2: one band per utterance from two draws of torch.rand(B)."""
    width = torch.rand(spec.shape[0]) * param
    start = torch.rand(spec.shape[0]) * (spec.shape[axis] - width)
    out = spec.clone()
    for b in range(spec.shape[0]):
        lo, hi = int(start[b]), int(start[b]) + int(width[b])
        if axis == 1:
            out[b, lo:hi, :] = 0.0
        else:
            out[b, :, lo:hi] = 0.0
    return out


@pytest.mark.parametrize("convert", [None, "float64_feats", "int32_targets", "strided_feats"])
def test_collated_batch_layout_and_padding(corpus, convert):
    ds = ASRDataset("train", config(corpus[0], norm="cepstral"), TOK, True)
    samples = [ds[i] for i in (3, 0, 6, 1)]
    if convert == "float64_feats":
        samples = [(f.double(), s, g) for f, s, g in samples]
    elif convert == "int32_targets":
        samples = [(f, s.int(), g.int()) for f, s, g in samples]
    elif convert == "strided_feats":
        samples = [(f.T.contiguous().T, s[::1], g) for f, s, g in samples]
    batch = ds.collate_fn(samples)
    for got, want in zip(batch, reference_batch(samples, TOK.pad_id)):
        assert got.shape == want.shape and torch.equal(got, want)
    single = ds.collate_fn([ds[2]])
    assert single[0].shape == (1, ds.feats[2].shape[1], 6) and single[1].shape == (1, len(ds.transcripts_shifted[2]))


@pytest.mark.parametrize("partition_is_train, specaug", [(False, True), (True, False)])
def test_no_masking_off_the_training_partition_or_with_specaug_off(corpus, partition_is_train, specaug):
    ds = ASRDataset("train", config(corpus[0], specaug=specaug), TOK, partition_is_train)
    samples = [ds[i] for i in range(5)]
    assert torch.equal(ds.collate_fn(samples)[0], reference_batch(samples, 0)[0])


@pytest.mark.parametrize("freq, time", [((True, 2), (True, 3)), ((True, 0), (True, 1)), ((False, 3), (True, 2)),
                                        ((True, 2), (False, 2))])
def test_masking_zeroes_whole_bands_per_utterance_as_the_reference(tmp_path, freq, time):
    make_corpus(tmp_path, n=6, rows=20, frames=(20, 60))
    cfg = config(tmp_path, num_feats=20, specaug=True)
    cfg["specaug_conf"].update(apply_freq_mask=freq[0], num_freq_mask=freq[1], apply_time_mask=time[0],
                               num_time_mask=time[1], freq_mask_width_range=8, time_mask_width_range=15)
    ds = ASRDataset("train", cfg, TOK, True)
    samples = [ds[i] for i in range(6)]
    torch.manual_seed(3)
    feats, *_, lengths, _ = ds.collate_fn(samples)
    torch.manual_seed(3)
    spec = reference_batch(samples, 0)[0].permute(0, 2, 1)
    for _ in range(freq[1] if freq[0] else 0):
        spec = reference_mask(spec, 8, 1)
    for _ in range(time[1] if time[0] else 0):
        spec = reference_mask(spec, 15, 2)
    assert torch.equal(feats, spec.permute(0, 2, 1))
    assert lengths.tolist() == [s[0].shape[1] for s in samples]
    torch.manual_seed(3)
    spec = reference_batch(samples, 0)[0].permute(0, 2, 1)
    for _ in range(freq[1] if freq[0] else 0):
        spec = ds.freq_mask(spec)
    for _ in range(time[1] if time[0] else 0):
        spec = ds.time_mask(spec)
    assert torch.equal(feats, spec.permute(0, 2, 1))


def test_collation_uses_the_datasets_mask_transforms(corpus):
    ds = ASRDataset("train", config(corpus[0], specaug=True), TOK, True)
    calls = []
    ds.freq_mask = lambda spec: calls.append(("freq", spec.shape)) or spec * 2
    ds.time_mask = lambda spec: calls.append(("time", spec.shape)) or spec + 1
    samples = [ds[i] for i in range(3)]
    feats = ds.collate_fn(samples)[0]
    shape = (3, 6, max(s[0].shape[1] for s in samples))
    assert calls == [("freq", shape)] * 2 + [("time", shape)] * 2
    assert torch.equal(feats, reference_batch(samples, 0)[0] * 2 * 2 + 1 + 1)


def test_mask_transforms_leave_their_input_and_skip_zero_width():
    spec = torch.randn(3, 10, 40)
    before = spec.clone()
    torch.manual_seed(0)
    out = TimeMasking(40, iid_masks=True)(spec)
    assert torch.equal(spec, before) and not torch.equal(out, spec)
    state = torch.get_rng_state()
    assert FrequencyMasking(0, iid_masks=True)(spec) is spec and torch.equal(torch.get_rng_state(), state)
    with pytest.raises(ValueError, match="at least three dimensions"):
        TimeMasking(5, iid_masks=True)(torch.zeros(4, 5))


def test_dataset_pickles_and_worker_loaders_match(corpus):
    ds = ASRDataset("train", config(corpus[0], norm="global_mvn"), TOK, True)
    clone = pickle.loads(pickle.dumps(ds))
    assert torch.equal(clone[3][0], ds[3][0]) and clone.transcripts_golden == ds.transcripts_golden
    plain = list(DataLoader(ds, batch_size=3, collate_fn=ds.collate_fn))
    workers = list(DataLoader(ds, batch_size=3, collate_fn=ds.collate_fn, num_workers=2))
    assert len(plain) == len(workers) == 3
    for a, b in zip(plain, workers):
        assert all(torch.equal(x, y) for x, y in zip(a, b))


def report(*body):
    rule, thin = "=" * 50, "-" * 50
    return [rule, f"{'Dataloader Verification':^50}", rule, *body[:1], thin, *body[1:3], thin,
            f"{'Checking shapes of the data...':<50}", "", *body[3:]]


class TextOnly(torch.utils.data.Dataset):
    partition, text_max_len = "lm-train", 9

    def __len__(self):
        return 4

    def __getitem__(self, i):
        return i

    def get_avg_chars_per_token(self):
        return 2.345

    @staticmethod
    def collate(items):
        return torch.zeros(len(items), 9), torch.zeros(len(items), 9), torch.zeros(len(items))


def test_dataloader_report(tmp_path, capsys):
    make_corpus(tmp_path, n=5)
    make_corpus(tmp_path, partition="test-clean", n=3, text=False)
    ds = ASRDataset("train", config(tmp_path), TOK, True)
    test = ASRDataset("test-clean", config(tmp_path), TOK, False)
    empty = ASRDataset("train", config(tmp_path, subset=0.01), TOK, True)
    capsys.readouterr()
    batch = ds.collate_fn([ds[0], ds[1]])
    jassomir(DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn))
    jassomir(DataLoader(test, batch_size=2, collate_fn=test.collate_fn))
    jassomir(DataLoader(empty, batch_size=4, collate_fn=empty.collate_fn))
    jassomir(DataLoader(TextOnly(), batch_size=3, collate_fn=TextOnly.collate))
    head = lambda part, n, b: [f"{'Dataloader Partition':<25}: {part}", f"{'Number of Batches':<25}: {n}",
                               f"{'Batch Size':<25}: {b}"]
    line = lambda label, value: f"{label:<25}: {value}"
    thin, rule = "-" * 50, "=" * 50
    expected = (
        report(*head("train", 3, 2), line("Feature Shape", [2, max(f.shape[1] for f in ds.feats[:2]), 6]),
               line("Shifted Transcript Shape", list(batch[1].shape)),
               line("Golden Transcript Shape", list(batch[2].shape)), line("Feature Lengths Shape", [2]),
               line("Transcript Lengths Shape", [2]), thin, line("Max Feature Length", ds.feat_max_len),
               line("Max Transcript Length", ds.text_max_len),
               line("Avg. Chars per Token", f"{ds.avg_chars_per_token:.2f}"), rule)
        + report(*head("test-clean", 2, 2), line("Feature Shape", [2, max(f.shape[1] for f in test.feats[:2]), 6]),
                 line("Feature Lengths Shape", [2]), thin, line("Max Feature Length", test.feat_max_len),
                 line("Max Transcript Length", 0), line("Avg. Chars per Token", "0.00"), rule)
        + report(*head("train", 0, 4), thin, line("Avg. Chars per Token", "0.00"), rule)
        + report(*head("lm-train", 2, 3), line("Shifted Transcript Shape", [3, 9]),
                 line("Golden Transcript Shape", [3, 9]), line("Transcript Lengths Shape", [3]), thin,
                 line("Max Transcript Length", 9), line("Avg. Chars per Token", "2.35"), rule))
    assert capsys.readouterr().out.splitlines() == expected
