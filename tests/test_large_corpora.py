"""Where a speech dataset keeps its features: in memory (one block, shared with worker processes)
or memory-mapped from the feature files. Both must give the same statistics and batches, keep
every file check, and pickle without copying features they need not copy."""

import pickle
from multiprocessing.reduction import ForkingPickler
from pathlib import Path

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from quillane.data import BucketBatchSampler
from quillane.data.quenmark import ASRDataset, MappedFeatures
from test_hostile_speech_files import npy_file, peak_mib, reset_peak, resident_mib, run_in_child
from test_speech_data import TOK, config, make_corpus


def both(root, partition="train", train=True, stats=None, **settings):
    """The same partition in memory and memory-mapped."""
    return [ASRDataset(partition, config(root, in_memory=m, **settings), TOK, train, stats) for m in (True, False)]


def equal_batches(a, b):
    return len(a) == len(b) and all(torch.equal(x, y) for p, q in zip(a, b) for x, y in zip(p, q))


def batches(ds, seed=0, **loader):
    torch.manual_seed(seed)
    sampler = BucketBatchSampler.from_dataset(ds, max_frames=90, seed=seed)
    return list(DataLoader(ds, batch_sampler=sampler, collate_fn=ds.collate_fn, **loader))


@pytest.mark.parametrize("dtype, fortran", [(np.float32, False), (np.float32, True), (np.float16, False),
                                            (np.float64, True), (">f4", False)])
@pytest.mark.parametrize("norm", ["global_mvn", "cepstral"])
def test_mapped_and_in_memory_datasets_give_identical_statistics_and_batches(tmp_path, dtype, fortran, norm):
    make_corpus(tmp_path, n=12, dtype=dtype, fortran=fortran)
    memory, mapped = both(tmp_path, norm=norm, specaug=True)
    if norm == "global_mvn":
        assert torch.equal(memory.global_mean, mapped.global_mean)
        assert torch.equal(memory.global_std, mapped.global_std)
    assert np.array_equal(memory.feat_lengths, mapped.feat_lengths)
    assert [f.shape for f in memory.feats] == [f.shape for f in mapped.feats]
    for kept, viewed in zip(memory.feats, mapped.feats):
        assert kept.dtype == viewed.dtype == np.dtype(dtype).newbyteorder("=") and np.array_equal(kept, viewed)
    assert equal_batches(batches(memory, seed=4), batches(mapped, seed=4))
    dev_memory, dev_mapped = both(tmp_path, train=False, norm=norm,
                                  stats=(memory.global_mean, memory.global_std) if norm == "global_mvn" else None)
    assert all(torch.equal(dev_memory[i][0], dev_mapped[i][0]) for i in range(len(dev_memory)))


def test_mapped_features_are_read_only_views_of_the_files(tmp_path):
    feats, _ = make_corpus(tmp_path, n=3)
    memory, mapped = both(tmp_path)
    view = mapped.feats[1]
    assert isinstance(mapped.feats, MappedFeatures) and not view.flags.writeable
    with pytest.raises(ValueError):
        view[0, 0] = 1.0
    path = tmp_path / "train" / "fbank" / "utt001.npy"
    changed = feats[1] + 1
    np.save(path, changed)  # the same header: rewritten in place
    assert np.array_equal(view, changed[:6]) and np.array_equal(mapped.feats[1], changed[:6])
    assert np.array_equal(memory.feats[1], feats[1][:6])


@pytest.mark.parametrize("header", [
    b"{'descr': '>f4', 'fortran_order': False, 'shape': (6, 4), }",   # the other byte order
    b"{'descr': '<f4', 'fortran_order': False, 'shape': (6, 4), } ",  # data not 4-byte aligned
])
def test_files_that_cannot_be_viewed_are_read_into_read_only_copies(tmp_path, header):
    make_corpus(tmp_path, n=2)
    values = np.arange(24, dtype=np.float32).reshape(6, 4) / 7
    data = values.astype(header[11:14].decode()).tobytes()
    (tmp_path / "train" / "fbank" / "utt001.npy").write_bytes(npy_file(header + b"\n", data))
    memory, mapped = both(tmp_path)
    copy = mapped.feats[1]
    assert copy.dtype == np.float32 and not copy.flags.writeable and np.array_equal(copy, values)
    assert torch.equal(memory[1][0], mapped[1][0])


def test_mapped_features_behave_as_a_read_only_sequence(tmp_path):
    feats, _ = make_corpus(tmp_path, n=5)
    mapped = both(tmp_path)[1].feats
    assert len(mapped) == 5 and repr(mapped) == "MappedFeatures(5 files)"
    assert np.array_equal(mapped[-1], feats[4][:6]) and np.array_equal(mapped[np.int64(2)], feats[2][:6])
    assert [f.shape for f in mapped[3:0:-2]] == [feats[3][:6].shape, feats[1][:6].shape]
    assert [f.shape[1] for f in mapped] == [f.shape[1] for f in feats]
    for index in (5, -6):
        with pytest.raises(IndexError):
            mapped[index]
    with pytest.raises(TypeError):
        mapped["1"]
    with pytest.raises(ValueError, match="one layout row per file"):
        MappedFeatures(mapped.files[:2], mapped.layout)


@pytest.mark.parametrize("change, error, fragment", [
    ("more frames", ValueError, "changed since the dataset was built"),
    ("other dtype", ValueError, "changed since the dataset was built"),
    ("truncated", ValueError, "truncated"),
    ("removed", FileNotFoundError, "No such file"),
    ("not an array", ValueError, "bad magic string"),
])
def test_feature_files_changed_after_construction_are_refused_when_used(tmp_path, change, error, fragment):
    feats, _ = make_corpus(tmp_path, n=3)
    mapped = both(tmp_path)[1]
    path = tmp_path / "train" / "fbank" / "utt002.npy"
    if change == "more frames":
        np.save(path, np.concatenate([feats[2], feats[2]], axis=1))
    elif change == "other dtype":
        np.save(path, feats[2].astype(np.float64))
    elif change == "truncated":
        path.write_bytes(path.read_bytes()[:-8])
    elif change == "removed":
        path.unlink()
    else:
        path.write_bytes(b"x" * 400)
    kind, message = run_in_child(lambda: mapped[2])  # a file shortened under a mapping could fault
    assert kind == error.__name__ and str(path) in message and fragment in message, message
    assert torch.equal(mapped[1][0], torch.tensor(feats[1][:6]))


def test_a_mapped_partition_is_streamed_with_bounded_memory(tmp_path):
    make_corpus(tmp_path, n=48, rows=80, frames=(2400, 2600))  # about 38 MiB of features
    feature_mib = sum(f.stat().st_size for f in (tmp_path / "train" / "fbank").iterdir()) / 2**20

    def grown(in_memory):
        def build_and_read():
            reset_peak()
            start = resident_mib()
            ds = ASRDataset("train", config(tmp_path, norm="global_mvn", num_feats=80, in_memory=in_memory), TOK, True)
            for i in range(len(ds)):
                ds[i]
            return peak_mib() - start
        kind, growth = run_in_child(build_and_read)
        assert kind == "result", growth
        return growth

    # the same interpreter overhead either way; only the block grows with the corpus
    assert grown(False) < grown(True) - 0.75 * feature_mib


def shared_features_in_worker(worker_id):
    """worker_init_fn: the worker's features come from the parent's shared block or the files."""
    dataset = torch.utils.data.get_worker_info().dataset
    if isinstance(dataset.feats, MappedFeatures):
        return
    maps = Path("/proc/self/maps").read_text().splitlines()
    address = dataset.feats[0].__array_interface__["data"][0]
    region = next(line for line in maps
                  if int(line.split()[0].split("-")[0], 16) <= address < int(line.split()[0].split("-")[1], 16))
    assert "quillane-block" in region, region


@pytest.mark.parametrize("in_memory", [True, False])
def test_spawned_workers_load_the_dataset_without_a_copy_of_its_features(tmp_path, in_memory):
    make_corpus(tmp_path, n=9)
    ds = ASRDataset("train", config(tmp_path, norm="global_mvn", in_memory=in_memory), TOK, True)
    in_workers = batches(ds, num_workers=1, multiprocessing_context="spawn",
                         worker_init_fn=shared_features_in_worker)
    assert equal_batches(in_workers, batches(ds))


def test_datasets_pickle_features_by_value_or_by_reference(tmp_path):
    make_corpus(tmp_path, n=20, rows=40, frames=(400, 500))
    memory, mapped = both(tmp_path, num_feats=40)
    feature_bytes = sum(f.nbytes for f in memory.feats)
    assert len(pickle.dumps(mapped)) < feature_bytes / 20  # the file names, not the data
    by_value = pickle.dumps(memory)
    assert len(by_value) > feature_bytes
    for clone in (pickle.loads(pickle.dumps(mapped)), pickle.loads(by_value)):
        assert equal_batches(batches(clone, seed=2), batches(memory, seed=2))
    copied = pickle.loads(by_value)
    copied.feats[0][0, 0] = 123.0
    assert memory.feats[0][0, 0] != 123.0


def test_worker_processes_share_the_in_memory_block_copy_on_write(tmp_path):
    make_corpus(tmp_path, n=20, rows=40, frames=(400, 500))
    ds = both(tmp_path, num_feats=40)[0]
    before = [f.copy() for f in ds.feats]
    message = ForkingPickler.dumps(ds)  # how multiprocessing sends it to a new process
    assert len(message) < sum(f.nbytes for f in before) / 20
    assert all(np.array_equal(f, g) for f, g in zip(ds.feats, before))  # moved into shared memory intact
    worker = pickle.loads(message)
    assert all(np.array_equal(f, g) for f, g in zip(worker.feats, before))
    worker.feats[3][0, 0] = -7.0  # a worker's write stays its own
    assert ds.feats[3][0, 0] == before[3][0, 0]
    ds.feats[4][0, 0] = 9.0  # pages nobody wrote are the very same memory
    assert worker.feats[4][0, 0] == 9.0
    assert len(ForkingPickler.dumps(ds)) == len(message)

    ds.feats = [f.copy() for f in ds.feats]  # arrays not from the block go as they are
    changed = ForkingPickler.dumps(ds)
    assert len(changed) > sum(f.nbytes for f in before)
    assert all(np.array_equal(f, g) for f, g in zip(pickle.loads(changed).feats, ds.feats))


@pytest.mark.parametrize("value, message", [("no", "not str"), (1, "not int"), (None, "not NoneType")])
def test_in_memory_must_be_a_bool(corpus_root, value, message):
    with pytest.raises(TypeError, match=f"data.in_memory must be true or false, {message}"):
        ASRDataset("train", config(corpus_root, in_memory=value), TOK, True)


@pytest.fixture
def corpus_root(tmp_path):
    make_corpus(tmp_path, n=2)
    return tmp_path


def test_an_empty_partition_builds_in_both_modes(tmp_path):
    make_corpus(tmp_path, n=0)
    for ds in both(tmp_path):
        assert len(ds) == len(ds.feats) == 0 and ds.feat_lengths.tolist() == []
        assert len(pickle.loads(pickle.dumps(ds)).feats) == 0
