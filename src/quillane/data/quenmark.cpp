// Speech corpus dataset: a partition's filter-bank features and transcripts, global
// feature statistics, normalised utterances, and padded batches with frequency/time masking.
//
// Construction lists the partition's files and reads them once (worker threads read and
// check the .npy files without the interpreter while the calling thread tokenises
// transcripts and drives the progress bar), which also settles the global statistics. The
// features stay in memory (data.in_memory, the default) or are memory-mapped from their
// files whenever an utterance is used. The parts live beside this file:
// quenmark_loading.hpp (reading one utterance), quenmark_store.hpp (where the features
// live, and how they pickle), quenmark_collate.hpp (batches) and quenmark_masking.hpp (the
// masking transforms).
#include "quenmark_collate.hpp"
#include "quenmark_loading.hpp"
#include "quenmark_masking.hpp"
#include "quenmark_store.hpp"

#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace quenmark {
namespace {

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

const char *const kNorms[] = {"global_mvn", "cepstral", "none"};

// config["norm"], which must be one of kNorms; true for "global_mvn".
bool read_norm(nb::handle config) {
    nb::object norm = config["norm"];
    for (const char *name : kNorms)
        if (norm.equal(nb::str(name))) return name == kNorms[0];
    ql::raise_value_error("data.norm must be 'global_mvn', 'cepstral' or 'none', not " + ql::repr(norm));
}

// The subset setting: subset_size if present, else subset, else -1. A finite number.
nb::object read_subset(nb::handle config) {
    const char *key = ql::contains(config, nb::str("subset_size")) ? "subset_size" : "subset";
    nb::object s = ql::get(config, "subset_size", ql::get(config, "subset", nb::int_(-1)));
    const double value = PyFloat_AsDouble(s.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        ql::raise_type_error(std::string("data.") + key + " must be a number, not " + ql::type_name(s));
    }
    if (!std::isfinite(value))
        ql::raise_value_error(std::string("data.") + key + " must be a finite number, not " + ql::repr(s));
    return s;
}

// config["num_feats"]: a positive int.
int64_t read_num_feats(nb::handle config) {
    nb::object nf = config["num_feats"];
    if (!PyLong_Check(nf.ptr()) || PyBool_Check(nf.ptr()))
        ql::raise_type_error("data.num_feats must be an int, not " + ql::type_name(nf));
    if (nf < nb::int_(1)) ql::raise_value_error("data.num_feats must be positive, not " + ql::repr(nf));
    return nb::cast<int64_t>(nf);
}

// config["in_memory"] when present (a bool), else true.
bool read_in_memory(nb::handle config) {
    nb::object value = ql::get(config, "in_memory", Py_True);
    if (!PyBool_Check(value.ptr()))
        ql::raise_type_error("data.in_memory must be true or false, not " + ql::type_name(value));
    return value.ptr() == Py_True;
}

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------

struct Listing {
    nb::list names, paths;  // the ".npy" entries of a directory, sorted, and their full paths
};

Listing list_npy(nb::handle dir) {
    nb::object os = globals["os"];
    nb::list sorted = nb::steal<nb::list>(ql::check(PySequence_List(os.attr("listdir")(dir).ptr())));
    ql::check(PyList_Sort(sorted.ptr()) == 0);
    nb::object join = os.attr("path").attr("join");
    Listing out;
    for (nb::handle name : sorted) {
        if (!ql::truthy(name.attr("endswith")(".npy"))) continue;
        out.names.append(name);
        out.paths.append(join(dir, name));
    }
    return out;
}

// The first `n` entries (n as Python's int(); a count larger than the list keeps it all).
void keep_first(Listing &listing, nb::handle n) {
    const Py_ssize_t stop = PyNumber_AsSsize_t(n.ptr(), nullptr);
    if (stop == -1 && PyErr_Occurred()) throw nb::python_error();
    listing.names = nb::steal<nb::list>(ql::check(PyList_GetSlice(listing.names.ptr(), 0, stop)));
    listing.paths = nb::steal<nb::list>(ql::check(PyList_GetSlice(listing.paths.ptr(), 0, stop)));
}

// The first name in `a` that `b` lacks, or an invalid object.
nb::object first_missing(const nb::list &a, const nb::list &b) {
    nb::object present = ql::steal_checked(PySet_New(b.ptr()));
    for (nb::handle name : a)
        if (!ql::contains(present, name)) return nb::borrow(name);
    return nb::object();
}

// Files pair up by position; a count or a name that differs means a missing or extra file.
void check_pairing(const Listing &fbank, const Listing &text, nb::handle fbank_dir, nb::handle text_dir) {
    const size_t n = nb::len(fbank.paths);
    nb::object join = globals["os"].attr("path").attr("join");
    if (nb::len(text.paths) != n) {
        std::string detail;
        if (nb::object name = first_missing(fbank.names, text.names); name.is_valid())
            detail = ": feature file '" + ql::str(join(fbank_dir, name)) + "' has no transcript file";
        else if (nb::object name = first_missing(text.names, fbank.names); name.is_valid())
            detail = ": transcript file '" + ql::str(join(text_dir, name)) + "' has no feature file";
        ql::raise_value_error("Number of feature and transcript files must match" + detail);
    }
    for (size_t i = 0; i < n; ++i)
        if (!fbank.names[i].equal(text.names[i]))
            ql::raise_value_error("Feature file '" + ql::str(fbank.paths[i]) + "' and transcript file '" +
                                  ql::str(text.paths[i]) + "' have different names; every utterance needs both files");
}

// Lists the partition's feature (and, unless "test-clean", transcript) files, cut to the
// subset, and stores fbank_dir, fbank_files, length, text_dir and text_files.
std::pair<nb::list, nb::list> list_partition(nb::handle self, nb::handle config, nb::handle partition) {
    nb::object subset = read_subset(config);
    const bool cut = subset > nb::int_(0);
    nb::object root = config["root"], join = globals["os"].attr("path").attr("join");
    nb::object fbank_dir = join(root, partition, "fbank");
    self.attr("fbank_dir") = fbank_dir;
    Listing fbank = list_npy(fbank_dir);
    // a fraction of the files when <= 1, a count when > 1, truncated as int() does
    nb::object n;
    if (cut) {
        n = subset <= nb::float_(1.0) ? nb::int_(nb::len(fbank.paths)) * subset : subset;
        n = nb::int_(nb::handle(n));
        keep_first(fbank, n);
    }
    self.attr("fbank_files") = fbank.paths;
    self.attr("length") = nb::int_(nb::len(fbank.paths));
    if (is_test_clean(partition)) return {fbank.paths, nb::list()};

    nb::object text_dir = join(root, partition, "text");
    self.attr("text_dir") = text_dir;
    Listing text = list_npy(text_dir);
    if (cut) keep_first(text, n);
    self.attr("text_files") = text.paths;
    check_pairing(fbank, text, fbank_dir, text_dir);
    return {fbank.paths, text.paths};
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

// What loading fills in: the token lists, the frame counts and the totals over the partition.
struct Corpus {
    nb::list shifted, golden;
    nb::object tokenizer, sos, eos;
    std::vector<int64_t> frames;
    long long chars = 0, tokens = 0, feat_max_len = 0, text_max_len = 0;
};

// Tokenises the transcript and appends [sos] + tokens and tokens + [eos].
void add_transcript(Corpus &corpus, nb::handle text) {
    corpus.chars += (long long)nb::len(text);
    nb::object tokens = corpus.tokenizer.attr(QL_ID("encode"))(text);
    const long long ntok = (long long)nb::len(tokens);
    corpus.tokens += ntok;
    corpus.text_max_len = std::max(corpus.text_max_len, ntok + 1);
    nb::list head, tail;
    head.append(corpus.sos);
    tail.append(corpus.eos);
    corpus.shifted.append(head + tokens);
    corpus.golden.append(tokens + tail);
}

std::vector<Utterance> utterances(const nb::list &fbank_files, const nb::list &text_files, const LoadPlan &plan) {
    std::vector<Utterance> items(nb::len(fbank_files));
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].fbank_path = fs_path(fbank_files[i]);
        if (plan.text) items[i].text_path = fs_path(text_files[i]);
    }
    return items;
}

// Gives every utterance a slot in one block, sized from the headers (read in parallel
// first); an utterance whose header fails gets an empty slot and fails again, in order,
// when the partition is read.
Block place_in_block(std::vector<Utterance> &items, const LoadPlan &plan, std::vector<Slot> &slots) {
    {
        ql::OrderedWorkers headers(items.size(), [&](size_t i) { inspect_utterance(items[i], plan); });
        for (size_t i = 0; i < items.size(); ++i) headers.wait(i);
    }
    slots.assign(items.size(), Slot{});
    uint64_t total = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const FeatureLayout &l = items[i].layout;
        if (items[i].error.kind == LoadError::Kind::None) slots[i] = Slot{int64_t(total), l.rows, l.cols, l.bits};
        total += (slots[i].bytes() + kSlotAlignment - 1) / kSlotAlignment * kSlotAlignment;
    }
    Block block = std::make_shared<ql::MemoryBlock>(size_t(total));
    for (size_t i = 0; i < items.size(); ++i) items[i].slot = block->data() + slots[i].offset;
    return block;
}

// Utterances a memory-mapped partition reads ahead of the calling thread: their row
// moments (and scratch buffers) are all the memory the streaming pass holds.
constexpr size_t kReadAhead = 64;

// Reads every utterance (on worker threads) and appends the token lists in order, under a
// progress bar; merges each utterance's row moments into `moments`.
void read_partition(Corpus &corpus, std::vector<Utterance> &items, const nb::list &fbank_files,
                    const nb::list &text_files, const LoadPlan &plan, ql::RunningMoments &moments, size_t window) {
    const size_t length = items.size();
    nb::object bar = globals["tqdm"](range(nb::int_(length)));
    nb::object progress = nb::iter(bar);
    try {
        ql::OrderedWorkers workers(length, [&](size_t i) { load_utterance(items[i], plan); }, 0, window);
        for (size_t i = 0; i < length; ++i) {
            ql::next_item(progress);
            workers.wait(i);
            Utterance &u = items[i];
            if (u.error.kind != LoadError::Kind::None)
                raise_load_error(u.error, fbank_files[i], plan.text ? nb::object(text_files[i]) : nb::none());
            corpus.frames.push_back(u.layout.cols);
            corpus.feat_max_len = std::max<long long>(corpus.feat_max_len, u.layout.cols);
            if (plan.stats) moments.merge(double(u.layout.cols), u.mean.data(), u.m2.data());
            std::vector<double>().swap(u.mean);
            std::vector<double>().swap(u.m2);
            if (plan.text) add_transcript(corpus, take_text(u));
        }
        ql::next_item(progress);  // finishes and closes the bar
    } catch (...) {
        if (!PyErr_Occurred()) {
            try {
                bar.attr("close")();  // leave the console tidy; the original error propagates
            } catch (...) {
            }
        }
        throw;
    }
}

// Reads the partition and stores its features as `feats`: arrays over one block in memory,
// or the memory-mapped files.
void load_features(nb::handle self, Corpus &corpus, const nb::list &fbank_files, const nb::list &text_files,
                   const LoadPlan &plan, ql::RunningMoments &moments, bool in_memory) {
    std::vector<Utterance> items = utterances(fbank_files, text_files, plan);
    if (!in_memory) {
        read_partition(corpus, items, fbank_files, text_files, plan, moments, kReadAhead);
        std::vector<FeatureLayout> layouts;
        for (const Utterance &u : items) layouts.push_back(u.layout);
        self.attr("feats") = make_mapped_features(fbank_files, layouts);
        return;
    }
    std::vector<Slot> slots;
    Block block = place_in_block(items, plan, slots);
    read_partition(corpus, items, fbank_files, text_files, plan, moments, 0);
    nb::object features = make_feature_block(std::move(block), slots);
    self.attr("feats") = nb::steal(ql::check(PySequence_List(features.attr("arrays").ptr())));
    self.attr("_feature_block") = features;
}

void store_totals(nb::handle self, const Corpus &corpus) {
    self.attr("total_chars") = nb::int_(corpus.chars);
    self.attr("total_tokens") = nb::int_(corpus.tokens);
    self.attr("feat_max_len") = nb::int_(corpus.feat_max_len);
    self.attr("text_max_len") = nb::int_(corpus.text_max_len);
    self.attr("feat_lengths") = int64_array(corpus.frames, {corpus.frames.size()});
    self.attr("avg_chars_per_token") =
        corpus.tokens > 0 ? nb::object(nb::int_(corpus.chars) / nb::int_(corpus.tokens)) : nb::object(nb::int_(0));
}

// global_mean and global_std: the given (mean, std), or float32 tensors of the mean and
// sqrt(sample variance + 1e-8) over all frames.
void store_statistics(nb::handle self, nb::handle global_stats, const ql::RunningMoments &moments, size_t F) {
    if (!global_stats.is_none()) {
        auto [mean, std] = ql::unpack<2>(global_stats);
        self.attr("global_mean") = mean;
        self.attr("global_std") = std;
        return;
    }
    if (moments.count() < 2)
        ql::raise_value_error("global_mvn statistics need at least 2 feature frames in the training partition, found " +
                              std::to_string((long long)moments.count()) + " in '" +
                              ql::str(self.attr("fbank_dir")) + "'");
    nb::object gm = empty({Py_ssize_t(F)}, "float32"), gs = empty({Py_ssize_t(F)}, "float32");
    auto *pm = static_cast<float *>(data_ptr(gm));
    auto *ps = static_cast<float *>(data_ptr(gs));
    for (size_t f = 0; f < F; ++f) {
        pm[f] = float(moments.mean(f));
        ps[f] = float(std::sqrt(moments.sample_variance(f) + 1e-8));
    }
    self.attr("global_mean") = gm;
    self.attr("global_std") = gs;
}

// ---------------------------------------------------------------------------
// ASRDataset
// ---------------------------------------------------------------------------

const char *const kDatasetDoc =
    R"doc(Speech-recognition dataset over one corpus partition.

Layout: <root>/<partition>/fbank/*.npy holds (features, frames) float arrays and
<root>/<partition>/text/*.npy the matching character arrays (no text folder for
'test-clean'); files pair up by their sorted names. Samples are (features, shifted,
golden) with features normalised by config['norm'] ('global_mvn', 'cepstral' or 'none').

Construction reads every feature value once, checks it and computes the statistics.
config['in_memory'] (default True) keeps the features in memory: feats is a list of
arrays over one block, which spawn and forkserver DataLoader workers map from shared
memory instead of receiving a copy. With False, feats maps each feature file when an
utterance is used (see MappedFeatures): resident memory holds the batches in use, not the
corpus, and the dataset pickles as file references. feat_lengths holds the frames of
every utterance.)doc";

const char *const kInitSig =
    "__init__(self, partition, config: dict, tokenizer, isTrainPartition, global_stats: Optional[tuple] = None)";

nb::object dataset_init(const ql::Args &a) {
    nb::handle self = a.self(), partition = a["partition"], config = a["config"], tokenizer = a["tokenizer"],
               global_stats = a["global_stats"];
    const bool is_train = ql::truthy(a["isTrainPartition"]);
    self.attr("config") = config;
    self.attr("partition") = partition;
    self.attr("isTrainPartition") = nb::bool_(is_train);
    self.attr("tokenizer") = tokenizer;
    self.attr("eos_token") = tokenizer.attr("eos_id");
    self.attr("sos_token") = tokenizer.attr("sos_id");
    self.attr("pad_token") = tokenizer.attr("pad_id");
    const bool global_mvn = read_norm(config);

    auto [fbank_files, text_files] = list_partition(self, config, partition);
    const size_t length = nb::len(fbank_files);
    const bool in_memory = read_in_memory(config);
    Corpus corpus{nb::list(), nb::list(), nb::borrow(tokenizer), self.attr("sos_token"), self.attr("eos_token")};
    self.attr("feats") = nb::list();
    self.attr("transcripts_shifted") = corpus.shifted;
    self.attr("transcripts_golden") = corpus.golden;
    for (const char *name : {"total_chars", "total_tokens", "feat_max_len", "text_max_len"})
        self.attr(name) = nb::int_(0);

    LoadPlan plan;
    plan.stats = global_mvn && global_stats.is_none();
    plan.text = !is_test_clean(partition);
    if (plan.stats && !is_train)
        ql::raise_value_error("global_stats must be provided for non-training partitions when using global_mvn");
    if (length > 0 || plan.stats) plan.num_feats = read_num_feats(config);
    ql::print("Loading data for " + ql::str(partition) + " partition...");
    ql::RunningMoments moments(plan.stats ? size_t(plan.num_feats) : 0);
    load_features(self, corpus, fbank_files, text_files, plan, moments, in_memory);
    store_totals(self, corpus);
    const size_t loaded = corpus.frames.size();
    if (plan.text && (loaded != nb::len(corpus.shifted) || loaded != nb::len(corpus.golden)))
        ql::raise_value_error("Features and transcripts are misaligned");

    if (global_mvn) store_statistics(self, global_stats, moments, size_t(plan.num_feats));
    nb::object conf = config["specaug_conf"];
    self.attr("time_mask") = globals["TimeMasking"](nb::arg("time_mask_param") = conf["time_mask_width_range"],
                                                    nb::arg("iid_masks") = true);
    self.attr("freq_mask") = globals["FrequencyMasking"](nb::arg("freq_mask_param") = conf["freq_mask_width_range"],
                                                         nb::arg("iid_masks") = true);
    return nb::none();
}

// (features - mean as a column) / (std as a column + 1e-8), with torch's semantics.
nb::object global_normalise(nb::handle features, nb::handle mean, nb::handle std) {
    return (features - mean.attr("unsqueeze")(1)) / (std.attr("unsqueeze")(1) + nb::float_(1e-8));
}

// The utterance's features as a float32 (rows, frames) tensor, with (x - mean) / (std + 1e-8)
// fused into the copy when the statistics are float32 CPU vectors of the right length; any
// other statistics go through torch's own arithmetic.
nb::object float32_features(nb::handle feat, nb::handle mean, nb::handle std) {
    ql::FloatRows v;
    if (!float_view(feat, v)) {
        nb::object features = torch().attr("tensor")(feat, nb::arg("dtype") = torch().attr("float32"));
        return mean.is_valid() ? global_normalise(features, mean, std) : features;
    }
    nb::object features = empty({Py_ssize_t(v.rows), Py_ssize_t(v.cols)}, "float32");
    float *out = static_cast<float *>(data_ptr(features));
    const float *m = nullptr, *s = nullptr;
    int64_t nm = 0, ns = 0, sm = 0, ss = 0;
    const bool fused = mean.is_valid() && is_tensor(mean) && is_tensor(std) && vector_view<float>(mean, m, nm, sm) &&
                       vector_view<float>(std, s, ns, ss) && nm == v.rows && ns == v.rows;
    {
        nb::gil_scoped_release release;
        ql::for_each_row(v, [&](int64_t r, const float *x) {
            float *o = out + r * v.cols;
            if (!fused) {
                std::copy(x, x + v.cols, o);
                return;
            }
            const float mu = m[r * sm], denom = s[r * ss] + float(1e-8);
            for (int64_t c = 0; c < v.cols; ++c) o[c] = (x[c] - mu) / denom;
        });
    }
    return mean.is_valid() && !fused ? global_normalise(features, mean, std) : features;
}

const char *const kGetItemDoc =
    R"doc(Returns (features (num_feats, frames) float32, shifted (tokens+1,) int64,
golden (tokens+1,) int64); the transcripts are None for 'test-clean'.)doc";

const char *const kGetItemSig = "__getitem__(self, idx)";
nb::object dataset_getitem(const ql::Args &a) {
    nb::handle self = a.self(), idx = a["idx"];
    nb::object feat = self.attr(QL_ID("feats"))[idx];
    nb::object norm = self.attr(QL_ID("config"))["norm"];
    nb::object mean, std;  // invalid unless normalising with global statistics
    if (norm.equal(nb::str("global_mvn"))) {
        mean = self.attr(QL_ID("global_mean"));
        std = self.attr(QL_ID("global_std"));
        if (mean.is_none() || std.is_none()) {
            PyErr_SetString(PyExc_AssertionError, "Global mean and std must be computed before normalization");
            throw nb::python_error();
        }
    }
    nb::object features = float32_features(feat, mean, std);
    if (norm.equal(nb::str("cepstral"))) {
        nb::object mu = features.attr("mean")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        nb::object sigma = features.attr("std")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        features = (features - mu) / (sigma + nb::float_(1e-8));
    }
    if (is_test_clean(self.attr(QL_ID("partition")))) return nb::make_tuple(features, nb::none(), nb::none());
    nb::object t = torch(), int64 = t.attr("int64");
    nb::object shifted = t.attr("tensor")(self.attr(QL_ID("transcripts_shifted"))[idx], nb::arg("dtype") = int64);
    nb::object golden = t.attr("tensor")(self.attr(QL_ID("transcripts_golden"))[idx], nb::arg("dtype") = int64);
    return nb::make_tuple(features, shifted, golden);
}

const char *const kGetStateSig = "__getstate__(self)";
nb::object dataset_getstate(const ql::Args &a) {
    nb::dict state = nb::steal<nb::dict>(ql::check(PyDict_Copy(a.self().attr("__dict__").ptr())));
    if (!state.contains("_feature_block")) return state;
    nb::object block = state["_feature_block"];
    ql::check(PyDict_DelItemString(state.ptr(), "_feature_block") == 0);
    if (state.contains("feats") && holds_block_arrays(state["feats"], block)) state["feats"] = block;
    return state;
}

const char *const kSetStateSig = "__setstate__(self, state: dict)";
nb::object dataset_setstate(const ql::Args &a) {
    nb::handle self = a.self();
    nb::dict state = nb::borrow<nb::dict>(a["state"]);
    nb::object namespace_ = self.attr("__dict__");
    namespace_.attr("update")(state);
    if (state.contains("feats") && nb::isinstance(state["feats"], feature_block_class)) {
        nb::object block = state["feats"];
        self.attr("_feature_block") = block;
        self.attr("feats") = nb::steal(ql::check(PySequence_List(block.attr("arrays").ptr())));
    }
    return nb::none();
}

const char *const kLenSig = "__len__(self)";
nb::object dataset_len(const ql::Args &a) { return a.self().attr("length"); }

const char *const kAvgSig = "get_avg_chars_per_token(self)";
nb::object dataset_avg(const ql::Args &a) { return a.self().attr("avg_chars_per_token"); }

const char *const kTimeMaskingDoc =
    R"doc(Masks a band of consecutive frames: width uniform in [0, time_mask_param), start uniform in
[0, frames - width), one band per example when iid_masks is true. With p < 1 the width is
also limited to p times the number of frames.)doc";

const char *const kFreqMaskingDoc =
    R"doc(Masks a band of consecutive frequency bins: width uniform in [0, freq_mask_param), start
uniform in [0, bins - width), one band per example when iid_masks is true.)doc";

}  // namespace
}  // namespace quenmark

QL_MODULE(quenmark, m) {
    using namespace quenmark;
    globals.bind(m);
    globals.set("os", ql::import("os"));
    globals.set("np", ql::import("numpy"));
    globals.from("tqdm", {"tqdm"});
    globals.set("torch", ql::import("torch"));
    globals.from("torch.utils.data", {"Dataset"});
    globals.from("torch.nn.utils.rnn", {"pad_sequence"});
    globals.from("quillane.data.tokenizer", {"VantTokenizer"});
    m.doc() = "Speech corpus dataset with batch collation and spectrogram masking.";

    nb::object Module = ql::import_attr("torch.nn", "Module");
    module_init = ql::keep(Module.attr("__init__"));
    own_time_masking = ql::keep(ql::make_class(
        m, "TimeMasking", {Module}, kTimeMaskingDoc,
        {ql::method(kTimeMaskingInitSig, time_masking_init),
         ql::method(kMaskingForwardSig, masking_forward, kMaskingForwardDoc)}));
    own_freq_masking = ql::keep(ql::make_class(
        m, "FrequencyMasking", {Module}, kFreqMaskingDoc,
        {ql::method(kFreqMaskingInitSig, freq_masking_init),
         ql::method(kMaskingForwardSig, masking_forward, kMaskingForwardDoc)}));

    feature_block_class = ql::keep(ql::make_class(m, "FeatureBlock", {}, kBlockDoc,
                                                  {ql::method(kBlockReduceSig, block_reduce)}));
    mapped_features_class = ql::keep(ql::make_class(
        m, "MappedFeatures", {}, kMappedDoc,
        {ql::method(kMappedInitSig, mapped_init), ql::method(kMappedLenSig, mapped_len),
         ql::method(kMappedGetItemSig, mapped_getitem), ql::method(kMappedReprSig, mapped_repr)}));
    ql::def(m, kFromBytesSig, block_from_bytes, "Rebuilds a pickled FeatureBlock from its bytes.");
    ql::def(m, kFromSharedSig, block_from_shared, "Rebuilds a FeatureBlock sent to this process as shared memory.");
    ql::def(m, kForWorkerSig, block_for_worker, "Reduces a FeatureBlock for a process multiprocessing starts.");
    ql::import_attr("multiprocessing.reduction", "ForkingPickler")
        .attr("register")(feature_block_class, m.attr("_feature_block_for_worker"));

    ql::make_class(m, "ASRDataset", {globals["Dataset"]}, kDatasetDoc,
                   {ql::method(kInitSig, dataset_init),
                    ql::method(kAvgSig, dataset_avg,
                               "Average number of characters per token over the partition's transcripts."),
                    ql::method(kLenSig, dataset_len),
                    ql::method(kGetItemSig, dataset_getitem, kGetItemDoc),
                    ql::method(kCollateSig, dataset_collate, kCollateDoc),
                    ql::method(kGetStateSig, dataset_getstate,
                               "The instance dictionary; features kept in memory go as their FeatureBlock."),
                    ql::method(kSetStateSig, dataset_setstate)});
}
