import pickle
import sys
import types
from collections import Counter

import numpy as np
import pytest
from torch.utils.data import DataLoader

from quillane.data import BucketBatchSampler
from quillane.data.quenmark import ASRDataset


class CharTokenizer:
    pad_id, sos_id, eos_id = 0, 1, 2

    def encode(self, text):
        return [3 + ord(c) % 61 for c in text]


def write_corpus(root, n, max_frames, seed=0):
    """n utterances of 6 x 3..max_frames features with short transcripts; returns the frame counts."""
    rng = np.random.default_rng(seed)
    for sub in ("fbank", "text"):
        (root / "train" / sub).mkdir(parents=True)
    frames = rng.integers(3, max_frames, n)
    for i, t in enumerate(frames):
        np.save(root / "train" / "fbank" / f"u{i:03d}.npy", rng.normal(size=(6, t)).astype(np.float32))
        np.save(root / "train" / "text" / f"u{i:03d}.npy", np.array(list("ab c"[: 1 + i % 4])))
    return frames.tolist()


def skewed_lengths(n=997, seed=0):
    """Frame counts like a read-speech corpus: many short utterances, a long tail, a few empty."""
    rng = np.random.default_rng(seed)
    lengths = np.clip(rng.lognormal(5.5, 0.6, n), 20, 3000).astype(np.int64)
    lengths[:3] = 0
    return lengths


def rank_batches(lengths, num_replicas, epoch=0, **settings):
    """Each rank's batches for one epoch, checking len() against what iteration yields."""
    out = []
    for rank in range(num_replicas):
        sampler = BucketBatchSampler(lengths, num_replicas=num_replicas, rank=rank, **settings)
        sampler.set_epoch(epoch)
        batches = list(sampler)
        assert len(sampler) == len(batches)
        assert all(batches) and all(type(i) is int for b in batches for i in b)
        out.append(batches)
    return out


def padded(lengths, batch):
    return len(batch) * max(max(lengths[i] for i in batch), 1)


LIMITS = [dict(max_frames=4000), dict(batch_size=7), dict(max_frames=5000, batch_size=9),
          dict(max_frames=2500, shuffle=False), dict(batch_size=10, shuffle=False)]


@pytest.mark.parametrize("num_replicas", [1, 2, 3, 8])
@pytest.mark.parametrize("limits", LIMITS)
def test_every_utterance_is_in_exactly_one_batch_of_one_rank_and_ranks_get_equally_many(limits, num_replicas):
    lengths = skewed_lengths()
    for epoch in (0, 1):
        per_rank = rank_batches(lengths, num_replicas, epoch=epoch, seed=3, **limits)
        assert len({len(b) for b in per_rank}) == 1
        seen = Counter(i for batches in per_rank for b in batches for i in b)
        assert sorted(seen) == list(range(len(lengths))) and set(seen.values()) == {1}
        if "max_frames" in limits:  # batches split to even out the ranks keep the budget
            assert all(padded(lengths, b) <= limits["max_frames"] for r in per_rank for b in r if len(b) > 1)


@pytest.mark.parametrize("limits", LIMITS)
def test_batches_respect_the_frame_budget_and_batch_size_and_overlong_utterances_go_alone(limits):
    lengths = skewed_lengths()
    lengths[10:14] = [9000, 6000, 4001, 2501]  # over every budget used here
    (batches,) = rank_batches(lengths, 1, **limits)
    for b in batches:
        if len(b) > 1 and "max_frames" in limits:
            assert padded(lengths, b) <= limits["max_frames"]
        if "batch_size" in limits:
            assert len(b) <= limits["batch_size"]
    if "max_frames" in limits:
        for i in np.flatnonzero(lengths > limits["max_frames"]):
            assert [i] in batches
    if "batch_size" in limits and "max_frames" not in limits:
        assert sorted(map(len, batches))[1:] == [limits["batch_size"]] * (len(batches) - 1)


def test_order_is_a_function_of_seed_and_epoch_and_survives_pickling():
    lengths = skewed_lengths()

    def epoch_batches(seed, epoch, shuffle=True):
        sampler = BucketBatchSampler(lengths, max_frames=6000, seed=seed, shuffle=shuffle)
        sampler.set_epoch(epoch)
        return list(sampler), sampler

    first, sampler = epoch_batches(7, 2)
    assert first == epoch_batches(7, 2)[0] == list(pickle.loads(pickle.dumps(sampler)))
    assert first != epoch_batches(7, 3)[0]
    assert first != epoch_batches(8, 2)[0]
    # without shuffling the batches follow the length order and every epoch is the same
    fixed = epoch_batches(7, 0, shuffle=False)[0]
    assert fixed == epoch_batches(9, 5, shuffle=False)[0]
    flat = [lengths[i] for b in fixed for i in b]
    assert flat == sorted(flat)


@pytest.mark.parametrize("limits", [dict(max_frames=4000), dict(batch_size=7), dict(max_frames=4000, batch_size=5)])
@pytest.mark.parametrize("num_replicas", [1, 3, 8])
def test_drop_last_drops_only_the_remainder_and_never_repeats(limits, num_replicas):
    lengths = skewed_lengths()
    full = sum(rank_batches(lengths, 1, seed=1, **limits), [])
    per_rank = rank_batches(lengths, num_replicas, seed=1, drop_last=True, **limits)
    counts = {len(b) for b in per_rank}
    assert len(counts) == 1
    short = 1 if "max_frames" not in limits and len(lengths) % limits["batch_size"] else 0
    assert counts.pop() == (len(full) - short) // num_replicas
    seen = Counter(i for batches in per_rank for b in batches for i in b)
    assert set(seen.values()) == {1}
    if "max_frames" not in limits:
        assert {len(b) for batches in per_rank for b in batches} == {limits["batch_size"]}


def test_the_short_batch_does_not_always_hold_the_longest_utterances():
    lengths = np.arange(1, 104)  # 103 = 10 x 10 + 3
    longest = set()
    for epoch in range(12):
        sampler = BucketBatchSampler(lengths, batch_size=10, seed=0)
        sampler.set_epoch(epoch)
        (short,) = [b for b in sampler if len(b) == 3]
        longest.add(max(lengths[i] for i in short))
    assert len(longest) > 3


def test_dealing_more_batches_than_utterances_raises_unless_drop_last():
    lengths = [50] * 5  # each over the budget, so five single-utterance batches
    with pytest.raises(ValueError, match="num_replicas=3.*drop_last=True"):
        len(BucketBatchSampler(lengths, max_frames=10, num_replicas=3, rank=0))
    assert [len(rank_batches(lengths, 3, max_frames=10, drop_last=True)[r]) for r in range(3)] == [1, 1, 1]
    assert rank_batches([], 4, batch_size=2) == [[], [], [], []]


def test_padding_is_far_below_random_batches_of_the_same_average_size():
    lengths = skewed_lengths(4000)
    (batches,) = rank_batches(lengths, 1, max_frames=20000, seed=5)
    real = lengths.clip(1).sum()
    bucketed = 1 - real / sum(padded(lengths, b) for b in batches)
    rng = np.random.default_rng(5)
    size = round(len(lengths) / len(batches))
    order = rng.permutation(len(lengths))
    random = 1 - real / sum(padded(lengths, order[k:k + size]) for k in range(0, len(order), size))
    assert bucketed < 0.10 and bucketed < random / 3


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(), ValueError, "max_frames, batch_size"),
    (dict(max_frames=0), ValueError, "max_frames must be a positive"),
    (dict(batch_size=-2), ValueError, "batch_size must be a positive"),
    (dict(batch_size=2, bucket_width=0.0), ValueError, "bucket_width"),
    (dict(batch_size=2, bucket_width=float("nan")), ValueError, "bucket_width"),
    (dict(batch_size=2, num_replicas=0), ValueError, "num_replicas must be"),
    (dict(batch_size=2, num_replicas=2, rank=2), ValueError, "rank 2 is out of range for num_replicas=2"),
    (dict(batch_size=2, rank=-1), ValueError, "rank -1"),
    (dict(batch_size=2, lengths=[3, -1]), ValueError, r"lengths\[1\] is -1"),
    (dict(batch_size=2, lengths=[3.5, 2.0]), TypeError, "lengths must be integer"),
    (dict(batch_size=2, lengths=[[3, 1]]), ValueError, "one-dimensional"),
    (dict(batch_size=True), TypeError, "batch_size"),
])
def test_bad_settings_raise_naming_the_setting(kwargs, error, message):
    kwargs.setdefault("lengths", [3, 4, 5])
    with pytest.raises(error, match=message):
        BucketBatchSampler(**kwargs)


@pytest.mark.parametrize("name, value", [("num_replicas", 0), ("batch_size", 0), ("max_frames", -5)])
def test_settings_broken_after_construction_raise_instead_of_crashing(name, value):
    sampler = BucketBatchSampler(range(10), batch_size=3)
    setattr(sampler, name, value)
    with pytest.raises(ValueError, match=name):
        list(sampler)


def test_replicas_default_to_an_initialised_process_group(monkeypatch):
    group = types.SimpleNamespace(is_available=lambda: True, is_initialized=lambda: True,
                                  get_world_size=lambda: 4, get_rank=lambda: 3)
    monkeypatch.setitem(sys.modules, "torch.distributed", group)
    sampler = BucketBatchSampler(range(40), batch_size=2)
    assert (sampler.num_replicas, sampler.rank, len(sampler)) == (4, 3, 5)
    assert BucketBatchSampler(range(40), batch_size=2, num_replicas=2, rank=0).num_replicas == 2
    group.is_initialized = lambda: False
    assert (BucketBatchSampler(range(40), batch_size=2).num_replicas, len(BucketBatchSampler([1], batch_size=1))) == (1, 1)


@pytest.mark.parametrize("in_memory", [True, False])
def test_feeds_a_dataloader_over_a_speech_dataset(tmp_path, in_memory):
    frames = write_corpus(tmp_path, 23, 60)
    specaug = dict(time_mask_width_range=4, freq_mask_width_range=2, apply_freq_mask=True, num_freq_mask=1,
                   apply_time_mask=True, num_time_mask=1)
    dataset = ASRDataset("train", dict(root=str(tmp_path), norm="global_mvn", num_feats=6, specaug=False,
                                       specaug_conf=specaug, in_memory=in_memory), CharTokenizer(), True)
    sampler = BucketBatchSampler.from_dataset(dataset, max_frames=120, seed=2)
    assert sampler.lengths.tolist() == frames
    features_only = types.SimpleNamespace(feats=[np.zeros((6, t), np.float32) for t in frames])
    assert BucketBatchSampler.from_dataset(features_only, max_frames=120).lengths.tolist() == frames
    loader = DataLoader(dataset, batch_sampler=sampler, collate_fn=dataset.collate_fn)
    assert len(loader) == len(sampler)
    utterances = 0
    for padded_feats, _, _, feat_lengths, _ in loader:
        assert padded_feats.shape[1] == feat_lengths.max()
        assert padded_feats.shape[0] == 1 or padded_feats.shape[0] * padded_feats.shape[1] <= 120
        utterances += len(feat_lengths)
    assert utterances == len(dataset)
    with pytest.raises(TypeError, match="from_dataset needs a speech dataset"):
        BucketBatchSampler.from_dataset([1, 2], batch_size=2)
