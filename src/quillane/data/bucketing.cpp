// Length-bucketed batch sampler: batches of utterances of similar length, filled up to a
// budget of padded frames or to a fixed size, reshuffled every epoch and dealt evenly among
// the ranks of a distributed run.
//
// An epoch's plan is a pure function of the lengths, the settings, the seed and the epoch:
// every rank computes the same plan and takes its own share of it, so no rank needs to talk
// to another. The plan is computed over raw buffers with the GIL released; only the result
// becomes Python lists.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

// ---------------------------------------------------------------------------
// Planning an epoch
// ---------------------------------------------------------------------------

struct Settings {
    int64_t max_frames = 0;  // 0: no frame budget
    int64_t batch_size = 0;  // 0: no limit on utterances per batch
    double bucket_width = 0.1;
    bool shuffle = true, drop_last = false;
    uint64_t seed = 0;
    int64_t epoch = 0;
    int64_t num_replicas = 1, rank = 0;
};

// A batch: the positions [begin, end) of the epoch's utterance order.
struct Span {
    size_t begin, end;
    size_t size() const { return end - begin; }
};

struct Plan {
    std::vector<size_t> order;  // utterance indices, similar lengths next to each other
    std::vector<Span> batches;  // every rank's batches; rank r takes r, r + R, r + 2R, ...
    size_t splits_missing = 0;  // batches that could not be made to even out the ranks
};

// The epoch's random numbers: std::seed_seq and mt19937_64 are fully specified, and
// draws are taken modulo n, so a plan is identical on every platform.
class EpochRandom {
public:
    EpochRandom(uint64_t seed, int64_t epoch) {
        const uint64_t e = uint64_t(epoch);
        std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32), uint32_t(e), uint32_t(e >> 32)};
        engine_.seed(seq);
    }
    size_t below(size_t n) { return size_t(engine_() % n); }

    template <typename It>
    void shuffle(It first, It last) {
        for (size_t i = size_t(last - first); i > 1; --i) std::swap(first[i - 1], first[below(i)]);
    }

private:
    std::mt19937_64 engine_;
};

// An utterance costs at least one frame, so empty ones cannot make a batch unbounded.
inline int64_t frames_of(const int64_t *lengths, size_t i) { return std::max<int64_t>(lengths[i], 1); }

// Utterance indices for the epoch, sorted by length (ties by index). Shuffled, the sorted
// order is cut into buckets, each from its shortest utterance up to those (1 + bucket_width)
// times as long, and every bucket is shuffled in place. Only exact IEEE operations decide
// the cuts, so every platform cuts alike.
std::vector<size_t> epoch_order(const int64_t *lengths, size_t n, const Settings &s, EpochRandom &rng) {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return frames_of(lengths, a) < frames_of(lengths, b); });
    if (!s.shuffle) return order;
    for (size_t begin = 0, end = 0; begin < n; begin = end) {
        const double limit = double(frames_of(lengths, order[begin])) * (1.0 + s.bucket_width);
        while (end < n && double(frames_of(lengths, order[end])) <= limit) ++end;
        rng.shuffle(order.begin() + std::ptrdiff_t(begin), order.begin() + std::ptrdiff_t(end));
    }
    return order;
}

// Greedy packing along the order: a batch takes the next utterance while its padded size
// (utterances x longest) stays within the budget and its count within batch_size. An
// utterance over the budget on its own closes the batch before it and gets one of its own.
std::vector<Span> pack_by_frames(const std::vector<size_t> &order, const int64_t *lengths, const Settings &s) {
    std::vector<Span> batches;
    size_t begin = 0;
    int64_t longest = 0;
    for (size_t p = 0; p < order.size(); ++p) {
        const int64_t frames = frames_of(lengths, order[p]);
        const size_t count = p - begin;
        if (count > 0) {
            // (count + 1) * longest > max_frames, without overflowing
            const bool over_budget = std::max(longest, frames) > s.max_frames / int64_t(count + 1);
            const bool full = s.batch_size > 0 && int64_t(count) == s.batch_size;
            if (over_budget || full) {
                batches.push_back({begin, p});
                begin = p;
                longest = 0;
            }
        }
        longest = std::max(longest, frames);
    }
    if (begin < order.size()) batches.push_back({begin, order.size()});
    return batches;
}

// Batches of exactly batch_size along the order, except one shorter batch (when the count
// does not divide) at a random place in the length order, so that it does not always hold
// the longest utterances. drop_last leaves the short batch out.
std::vector<Span> pack_by_count(size_t n, const Settings &s, EpochRandom &rng) {
    const size_t size = size_t(s.batch_size), full = n / size, rest = n % size;
    const size_t short_at = rest && s.shuffle ? rng.below(full + 1) : full;
    std::vector<Span> batches;
    size_t begin = 0;
    for (size_t k = 0; k < full + (rest ? 1 : 0); ++k) {
        const size_t end = begin + (rest && k == short_at ? rest : size);
        if (!(s.drop_last && end - begin < size)) batches.push_back({begin, end});
        begin = end;
    }
    return batches;
}

// Splits the batches holding the most utterances in two until the count divides among the
// ranks; each half stays within every limit its batch kept. Returns how many splits were
// still needed when no batch of two or more utterances was left.
size_t split_for_ranks(std::vector<Span> &batches, size_t replicas) {
    size_t needed = (replicas - batches.size() % replicas) % replicas;
    for (; needed > 0; --needed) {
        auto largest = std::max_element(batches.begin(), batches.end(),
                                        [](const Span &a, const Span &b) { return a.size() < b.size(); });
        if (largest == batches.end() || largest->size() < 2) break;
        const Span whole = *largest;
        const size_t mid = whole.begin + whole.size() / 2;
        *largest = {whole.begin, mid};
        batches.insert(largest + 1, Span{mid, whole.end});
    }
    return needed;
}

Plan plan_epoch(const int64_t *lengths, size_t n, const Settings &s) {
    EpochRandom rng(s.seed, s.epoch);
    Plan plan;
    plan.order = epoch_order(lengths, n, s, rng);
    plan.batches = s.max_frames > 0 ? pack_by_frames(plan.order, lengths, s) : pack_by_count(n, s, rng);
    const size_t replicas = size_t(s.num_replicas);
    if (!s.drop_last) plan.splits_missing = split_for_ranks(plan.batches, replicas);
    if (s.shuffle) rng.shuffle(plan.batches.begin(), plan.batches.end());
    if (s.drop_last) plan.batches.resize(plan.batches.size() - plan.batches.size() % replicas);
    return plan;
}

// ---------------------------------------------------------------------------
// The sampler's state
// ---------------------------------------------------------------------------

using LengthArray = nb::ndarray<nb::ro, const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

int64_t optional_int(nb::handle value) { return value.is_none() ? 0 : ql::as_long(value); }

Settings settings_of(nb::handle self) {
    Settings s;
    s.max_frames = optional_int(self.attr("max_frames"));
    s.batch_size = optional_int(self.attr("batch_size"));
    s.bucket_width = ql::as_double(self.attr("bucket_width"));
    s.shuffle = ql::truthy(self.attr("shuffle"));
    s.drop_last = ql::truthy(self.attr("drop_last"));
    s.seed = uint64_t(ql::as_long(self.attr("seed")));
    s.epoch = ql::as_long(self.attr("epoch"));
    s.num_replicas = ql::as_long(self.attr("num_replicas"));
    s.rank = ql::as_long(self.attr("rank"));
    // the constructor checked these; attributes changed since must not divide by zero
    if (s.max_frames < 1 && s.batch_size < 1)
        ql::raise_value_error("BucketBatchSampler needs a positive max_frames, batch_size or both");
    if (s.max_frames < 0 || s.batch_size < 0 || s.num_replicas < 1)
        ql::raise_value_error("max_frames, batch_size and num_replicas must not be negative, and num_replicas "
                              "must be at least 1");
    return s;
}

// The current epoch's plan; raises when the utterances cannot be dealt evenly.
Plan current_plan(nb::handle self) {
    const Settings s = settings_of(self);
    LengthArray lengths = nb::cast<LengthArray>(self.attr("lengths"));
    const size_t n = lengths.shape(0);
    Plan plan;
    {
        nb::gil_scoped_release release;
        plan = plan_epoch(lengths.data(), n, s);
    }
    if (plan.splits_missing)
        ql::raise_value_error("cannot deal " + std::to_string(n) + " utterances into an equal number of batches for " +
                              "num_replicas=" + std::to_string(s.num_replicas) +
                              " without repeating one; use drop_last=True or fewer replicas");
    return plan;
}

// The batches of `rank` in the plan: every num_replicas-th, starting at rank.
size_t rank_batch_count(const Plan &plan, const Settings &s) {
    const size_t total = plan.batches.size(), replicas = size_t(s.num_replicas), rank = size_t(s.rank);
    return total > rank ? (total - rank + replicas - 1) / replicas : 0;
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

// Per-utterance lengths as a read-only int64 NumPy array of the sampler's own.
nb::object length_array(nb::handle lengths) {
    nb::object np = globals["np"];
    nb::object arr = np.attr("asarray")(lengths);
    const long long ndim = ql::as_long(arr.attr("ndim"));
    if (ndim != 1)
        ql::raise_value_error("lengths must be a one-dimensional sequence of frame counts, got " +
                              std::to_string(ndim) + " dimensions");
    const std::string kind = ql::str(arr.attr("dtype").attr("kind"));
    const bool empty = ql::as_long(arr.attr("size")) == 0;
    if (!empty && kind != "i" && kind != "u")
        ql::raise_type_error("lengths must be integer frame counts, got dtype " + ql::str(arr.attr("dtype")));
    nb::object own = np.attr("array")(arr, nb::arg("dtype") = np.attr("int64"));
    LengthArray view = nb::cast<LengthArray>(own);
    for (size_t i = 0; i < view.shape(0); ++i)
        if (view.data()[i] < 0)
            ql::raise_value_error("lengths[" + std::to_string(i) + "] is " + std::to_string(view.data()[i]) +
                                  "; an utterance cannot have a negative number of frames");
    own.attr("flags").attr("writeable") = false;
    return own;
}

// torch.distributed's world size and rank when a process group is up, else (1, 0). A group
// can only exist once torch.distributed has been imported, so the sampler looks for the
// module among those loaded and never imports torch itself (corpus preparation imports
// this package without needing torch).
std::pair<nb::object, nb::object> default_replicas() {
    nb::object loaded = globals["sys"].attr("modules");
    nb::object dist = ql::get(loaded, "torch.distributed", nb::none());
    if (!dist.is_none() && ql::truthy(dist.attr("is_available")()) && ql::truthy(dist.attr("is_initialized")()))
        return {dist.attr("get_world_size")(), dist.attr("get_rank")()};
    return {nb::int_(1), nb::int_(0)};
}

void check_positive(const ql::Args &a, const char *name) {
    if (!a.is_none(name) && a.to_int(name) < 1)
        ql::raise_value_error(std::string(name) + " must be a positive integer, got " + ql::str(a[name]));
}

const char *const kInitSig =
    "__init__(self, lengths, max_frames: Optional[int] = None, batch_size: Optional[int] = None, *, "
    "bucket_width: float = 0.1, shuffle: bool = True, seed: int = 0, drop_last: bool = False, "
    "num_replicas: Optional[int] = None, rank: Optional[int] = None)";
nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    if (a.is_none("max_frames") && a.is_none("batch_size"))
        ql::raise_value_error("BucketBatchSampler needs a positive max_frames, batch_size or both");
    check_positive(a, "max_frames");
    check_positive(a, "batch_size");
    const double width = a.to_double("bucket_width");
    if (!(width > 0.0) || !std::isfinite(width))
        ql::raise_value_error("bucket_width must be a positive finite number, got " + ql::str(a["bucket_width"]));

    auto [replicas, rank] = default_replicas();
    if (!a.is_none("num_replicas")) replicas = nb::borrow(a["num_replicas"]);
    if (!a.is_none("rank")) rank = nb::borrow(a["rank"]);
    if (ql::as_long(replicas) < 1)
        ql::raise_value_error("num_replicas must be a positive integer, got " + ql::str(replicas));
    if (ql::as_long(rank) < 0 || !(rank < replicas))
        ql::raise_value_error("rank " + ql::str(rank) + " is out of range for num_replicas=" + ql::str(replicas));

    self.attr("lengths") = length_array(a["lengths"]);
    self.attr("max_frames") = a["max_frames"];
    self.attr("batch_size") = a["batch_size"];
    self.attr("bucket_width") = ql::py_float(width);
    self.attr("shuffle") = a["shuffle"];
    self.attr("seed") = a["seed"];
    self.attr("drop_last") = a["drop_last"];
    self.attr("num_replicas") = replicas;
    self.attr("rank") = rank;
    self.attr("epoch") = nb::int_(0);
    return nb::none();
}

const char *const kFromDatasetSig = "from_dataset(cls, dataset, **kwargs)";
nb::object from_dataset(const ql::Args &a) {
    nb::handle dataset = a["dataset"];
    nb::object lengths;
    if (nb::hasattr(dataset, "feat_lengths")) {
        lengths = dataset.attr("feat_lengths");  // no feature needs to be read (or mapped) for its length
    } else if (nb::hasattr(dataset, "feats")) {
        nb::list frames;
        for (nb::handle features : nb::object(dataset.attr("feats"))) {
            nb::object shape = features.attr("shape");
            frames.append(shape[-1]);  // frames are the last axis
        }
        lengths = frames;
    } else {
        ql::raise_type_error("from_dataset needs a speech dataset whose feats hold (num_feats, frames) arrays, got " +
                             ql::type_name(dataset));
    }
    nb::object cls = nb::borrow(a.self());
    return ql::steal_checked(PyObject_Call(cls.ptr(), nb::make_tuple(lengths).ptr(), a.varkw().ptr()));
}

// ---------------------------------------------------------------------------
// Epochs and batches
// ---------------------------------------------------------------------------

const char *const kSetEpochSig = "set_epoch(self, epoch: int)";
nb::object set_epoch(const ql::Args &a) {
    a.self().attr("epoch") = a["epoch"];
    return nb::none();
}

const char *const kLenSig = "__len__(self)";
nb::object length(const ql::Args &a) {
    nb::handle self = a.self();
    return ql::py_int((long long)rank_batch_count(current_plan(self), settings_of(self)));
}

const char *const kIterSig = "__iter__(self)";
nb::object iterate(const ql::Args &a) {
    nb::handle self = a.self();
    const Settings s = settings_of(self);
    const Plan plan = current_plan(self);
    nb::list batches;
    for (size_t b = size_t(s.rank); b < plan.batches.size(); b += size_t(s.num_replicas)) {
        const Span span = plan.batches[b];
        nb::object batch = ql::steal_checked(PyList_New(Py_ssize_t(span.size())));
        for (size_t p = span.begin; p < span.end; ++p)
            PyList_SET_ITEM(batch.ptr(), Py_ssize_t(p - span.begin), ql::check(PyLong_FromSize_t(plan.order[p])));
        batches.append(batch);
    }
    return nb::iter(batches);
}

const char *const kReprSig = "__repr__(self)";
nb::object repr(const ql::Args &a) {
    nb::handle self = a.self();
    std::string text = "BucketBatchSampler(utterances=" + std::to_string(nb::len(nb::object(self.attr("lengths"))));
    for (const char *name : {"max_frames", "batch_size", "bucket_width", "shuffle", "seed", "drop_last",
                             "num_replicas", "rank", "epoch"})
        text += std::string(", ") + name + "=" + ql::repr(self.attr(name));
    return nb::str((text + ")").c_str());
}

const char *const kClassDoc = R"doc(Batches of utterances of similar length, for a DataLoader's batch_sampler.

The utterances, sorted by length, are cut into buckets: each bucket starts at its shortest
utterance and holds every utterance up to 1 + bucket_width times as long. Each epoch the
utterances are shuffled inside their buckets and batches are cut along that order, from
short to long:

* max_frames: a batch grows while its padded size (utterances x longest utterance) stays
  within max_frames, and, when batch_size is given too, while it holds at most batch_size
  utterances. An utterance longer than max_frames gets a batch of its own.
* batch_size alone: batches of exactly batch_size utterances, except one shorter batch when
  the count does not divide, placed at a random point of the length order.

The batches are then shuffled. With shuffle=False the utterances are sorted by length and
the batches kept in that order. Empty utterances count as one frame.

The plan depends only on the lengths, the settings, seed and the epoch (set_epoch), so every
rank of a distributed run computes the same plan; rank r takes batches r, r + R, r + 2R, ...
of it (R = num_replicas), and every rank gets the same number of batches:

* drop_last=False: every utterance is in exactly one batch of one rank per epoch. When the
  batches do not divide by R, the batches with the most utterances are split in halves until
  they do; an epoch that would need more batches than utterances raises ValueError.
* drop_last=True: the batches left over after dealing R equal shares are dropped (random
  ones each epoch when shuffling), and with batch_size alone the one shorter batch as well.

num_replicas and rank default to torch.distributed's world size and rank when a process
group is initialised, else to 1 and 0. Iterating yields lists of dataset indices; len() is
the exact number of batches this rank gets in the current epoch.)doc";

}  // namespace

QL_MODULE(bucketing, m) {
    globals.bind(m);
    globals.set("np", ql::import("numpy"));
    globals.set("sys", ql::import("sys"));
    m.doc() = "Length-bucketed batch sampling for speech corpora.";

    ql::make_class(
        m, "BucketBatchSampler", {}, kClassDoc,
        {ql::method(kInitSig, init,
                    "lengths: frames per utterance (a sequence or array of non-negative ints), indexed\n"
                    "as the dataset is; max_frames and/or batch_size bound each batch."),
         ql::class_method(kFromDatasetSig, from_dataset,
                          "A sampler over a speech dataset's utterances, their lengths taken from\n"
                          "dataset.feat_lengths, or else from the frame axis of dataset.feats; keyword\n"
                          "arguments as for the constructor."),
         ql::method(kSetEpochSig, set_epoch, "Selects the epoch whose shuffle the next iteration uses."),
         ql::method(kLenSig, length), ql::method(kIterSig, iterate), ql::method(kReprSig, repr)});
}
