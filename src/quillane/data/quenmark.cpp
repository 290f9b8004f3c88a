// Speech corpus dataset: loads a partition's filter-bank features and transcripts into
// memory, computes global feature statistics, serves normalised utterances, and collates
// them into padded batches with frequency/time masking.
//
// Feature and transcript files are read by worker threads straight from the .npy format
// (no interpreter involved), while the calling thread tokenises transcripts and drives the
// progress bar. Collation pads and masks on raw buffers of torch-allocated tensors.
#include "core.hpp"
#include "pyops.hpp"
#include "npy.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
namespace nb = nanobind;
using ql::compare;
using ql::item;
using ql::truthy;
namespace npy = ql::npy;

nb::handle os_path, os_listdir, tqdm, torch, pad_sequence, io_bytes, pickle_error, np_ndarray;
nb::handle float32, int64;
nb::handle TimeMasking, FrequencyMasking, TranscriptUnpickler, module_init;

const char *kTestClean = "test-clean";

// ---------------------------------------------------------------------------
// Small Python helpers
// ---------------------------------------------------------------------------

bool equals(nb::handle a, const char *text) {
    nb::str s(text);
    int r = PyObject_RichCompareBool(a.ptr(), s.ptr(), Py_EQ);
    ql::check(r >= 0);
    return r == 1;
}

Py_ssize_t length_of(nb::handle h) {
    Py_ssize_t n = PyObject_Length(h.ptr());
    ql::check(n >= 0);
    return n;
}

nb::object item(nb::handle container, Py_ssize_t i) {
    return ql::steal_checked(PySequence_GetItem(container.ptr(), i));
}

std::string fs_path(nb::handle path) {
    nb::object encoded = ql::steal_checked(PyUnicode_EncodeFSDefault(path.ptr()));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), size_t(PyBytes_GET_SIZE(encoded.ptr())));
}

void *data_ptr(nb::handle tensor) {
    nb::object p = tensor.attr(QL_ID("data_ptr"))();
    void *ptr = PyLong_AsVoidPtr(p.ptr());
    if (!ptr && PyErr_Occurred()) throw nb::python_error();
    return ptr;
}

nb::object shape_tuple(std::initializer_list<Py_ssize_t> dims) {
    nb::object t = ql::steal_checked(PyTuple_New(Py_ssize_t(dims.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t d : dims) PyTuple_SET_ITEM(t.ptr(), i++, ql::check(PyLong_FromSsize_t(d)));
    return t;
}

nb::object empty(std::initializer_list<Py_ssize_t> dims, nb::handle dtype) {
    return torch.attr(QL_ID("empty"))(shape_tuple(dims), nb::arg("dtype") = dtype);
}

// Raises ValueError(message) with `cause` as its __cause__.
[[noreturn]] void raise_value_error_from(const std::string &message, nb::handle cause) {
    nb::object err = nb::handle(PyExc_ValueError)(message);
    PyException_SetCause(err.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetObject(PyExc_ValueError, err.ptr());
    throw nb::python_error();
}

bool is_tensor(nb::handle h) { return nb::isinstance(h, torch.attr(QL_ID("Tensor"))); }

// A strided 2-D view of a CPU floating-point array (NumPy array or torch tensor).
struct View2D {
    const void *data = nullptr;
    int bits = 0;  // 16, 32 or 64
    int64_t rows = 0, cols = 0, row_stride = 0, col_stride = 0;  // strides in elements
};

bool float_view(nb::handle h, View2D &v) {
    nb::ndarray<nb::ro, nb::device::cpu> arr;
    if (!nb::try_cast(h, arr, false)) {
        PyErr_Clear();
        return false;
    }
    if (arr.ndim() != 2 || arr.dtype().code != uint8_t(nb::dlpack::dtype_code::Float) || arr.dtype().lanes != 1)
        return false;
    int bits = arr.dtype().bits;
    if (bits != 16 && bits != 32 && bits != 64) return false;
    v.data = arr.data();
    v.bits = bits;
    v.rows = int64_t(arr.shape(0));
    v.cols = int64_t(arr.shape(1));
    v.row_stride = arr.stride(0);
    v.col_stride = arr.stride(1);
    return true;
}

template <typename F>
void for_each_float(const View2D &v, F &&f) {
    // f(row, col, value as float)
    switch (v.bits) {
        case 16: {
            auto *p = static_cast<const uint16_t *>(v.data);
            for (int64_t r = 0; r < v.rows; ++r)
                for (int64_t c = 0; c < v.cols; ++c)
                    f(r, c, npy::half_to_float(p[r * v.row_stride + c * v.col_stride]));
            break;
        }
        case 32: {
            auto *p = static_cast<const float *>(v.data);
            for (int64_t r = 0; r < v.rows; ++r)
                for (int64_t c = 0; c < v.cols; ++c) f(r, c, p[r * v.row_stride + c * v.col_stride]);
            break;
        }
        default: {
            auto *p = static_cast<const double *>(v.data);
            for (int64_t r = 0; r < v.rows; ++r)
                for (int64_t c = 0; c < v.cols; ++c) f(r, c, float(p[r * v.row_stride + c * v.col_stride]));
        }
    }
}

// A 1-D float32 or int64 CPU tensor of exactly the expected dtype.
template <typename T>
bool vector_view(nb::handle h, const T *&data, int64_t &n, int64_t &stride) {
    nb::ndarray<nb::ro, nb::device::cpu, T> arr;
    if (!nb::try_cast(h, arr, false)) {
        PyErr_Clear();
        return false;
    }
    if (arr.ndim() != 1) return false;
    data = arr.data();
    n = int64_t(arr.shape(0));
    stride = arr.stride(0);
    return true;
}

// ---------------------------------------------------------------------------
// Corpus loading
// ---------------------------------------------------------------------------

enum class TextMode : unsigned char { None, Chars, PickledArray, PickleFile };

struct Utterance {
    // inputs
    std::string fbank_path, text_path;
    // features: a C-ordered (rows, cols) block of the stored float type, malloc-owned
    void *data = nullptr;
    int bits = 0;
    int64_t rows = 0, cols = 0;
    // per-utterance statistics (frame count, row means and squared deviations)
    std::vector<double> mean, m2;
    // transcript
    TextMode text_mode = TextMode::None;
    std::u32string chars;
    std::string payload;
    // failure: 1 = operating-system error, 2 = unusable content
    int error = 0;
    int error_no = 0;
    bool error_in_text = false;
    std::string message;

    ~Utterance() { std::free(data); }
};

struct LoadPlan {
    int64_t num_feats = 0;
    bool stats = false;
    bool text = false;
};

void read_features(Utterance &u, const LoadPlan &plan) {
    npy::File file(u.fbank_path);
    npy::Header h = file.read_header();
    if (h.kind != 'f' || (h.itemsize != 2 && h.itemsize != 4 && h.itemsize != 8))
        throw npy::FormatError("unsupported dtype '" + h.descr + "' (expected float16, float32 or float64)");
    if (h.shape.size() != 2) {
        std::string shape = "(";
        for (size_t i = 0; i < h.shape.size(); ++i) shape += (i ? ", " : "") + std::to_string(h.shape[i]);
        throw npy::FormatError("expected a two-dimensional (features, frames) array, found shape " + shape +
                               (h.shape.size() == 1 ? ",)" : ")"));
    }
    const int64_t R = h.shape[0], C = h.shape[1];
    // rows kept by [:num_feats] (slice semantics)
    int64_t rows = plan.num_feats;
    if (rows < 0) rows = std::max<int64_t>(0, rows + R);
    rows = std::min(rows, R);
    if (plan.stats && rows != plan.num_feats)
        throw npy::FormatError(std::to_string(R) + " feature rows, fewer than the num_feats=" +
                               std::to_string(plan.num_feats) + " that the statistics need");
    npy::check_complete(file, h);  // before allocating what the header claims
    size_t bytes = size_t(rows) * size_t(C) * h.itemsize;
    u.data = std::malloc(bytes ? bytes : 1);
    if (!u.data) throw npy::OsError(ENOMEM, std::strerror(ENOMEM));
    npy::read_leading_rows(file, h, rows, u.data);
    u.bits = int(h.itemsize * 8);
    u.rows = rows;
    u.cols = C;

    if (plan.stats && C > 0) {
        u.mean.assign(size_t(rows), 0.0);
        u.m2.assign(size_t(rows), 0.0);
        std::vector<double> row(static_cast<size_t>(C));
        for (int64_t r = 0; r < rows; ++r) {
            // the values as float32, as the features are served
            switch (u.bits) {
                case 16: {
                    auto *p = static_cast<const uint16_t *>(u.data) + r * C;
                    for (int64_t c = 0; c < C; ++c) row[size_t(c)] = double(npy::half_to_float(p[c]));
                    break;
                }
                case 32: {
                    auto *p = static_cast<const float *>(u.data) + r * C;
                    for (int64_t c = 0; c < C; ++c) row[size_t(c)] = double(p[c]);
                    break;
                }
                default: {
                    auto *p = static_cast<const double *>(u.data) + r * C;
                    for (int64_t c = 0; c < C; ++c) row[size_t(c)] = double(float(p[c]));
                }
            }
            double sum = 0.0;
            for (int64_t c = 0; c < C; ++c) sum += row[size_t(c)];
            const double mean = sum / double(C);
            double m2 = 0.0;
            for (int64_t c = 0; c < C; ++c) {
                double d = row[size_t(c)] - mean;
                m2 += d * d;
            }
            u.mean[size_t(r)] = mean;
            u.m2[size_t(r)] = m2;
        }
    }
}

void read_transcript(Utterance &u) {
    npy::File file(u.text_path);
    if (!file.has_magic()) {
        std::string all = file.read_rest(0);
        if (all.compare(0, 4, "PK\x03\x04", 4) == 0)
            throw npy::FormatError("an archive of arrays, not a transcript array");
        u.payload = std::move(all);
        u.text_mode = TextMode::PickleFile;
        return;
    }
    npy::Header h = file.read_header();
    if (h.kind == 'O') {
        u.payload = file.read_rest(h.data_offset);
        u.text_mode = TextMode::PickledArray;
        return;
    }
    if (h.kind != 'U')
        throw npy::FormatError("dtype '" + h.descr + "' is not an array of characters");
    if (h.shape.size() > 1) throw npy::FormatError("a multi-dimensional array, not a sequence of characters");
    npy::check_complete(file, h);
    const int64_t n = h.count();
    const size_t width = h.itemsize / 4;
    std::vector<char32_t> raw(size_t(n) * width);
    file.read_at(h.data_offset, raw.data(), raw.size() * 4);
    if (h.swap) npy::byteswap(raw.data(), raw.size(), 4);
    u.chars.reserve(raw.size());
    for (int64_t i = 0; i < n; ++i) {
        const char32_t *e = raw.data() + size_t(i) * width;
        size_t len = width;
        while (len > 0 && e[len - 1] == 0) --len;  // NumPy strips trailing NULs from each item
        u.chars.append(e, len);
    }
    u.text_mode = TextMode::Chars;
}

void load_one(Utterance &u, const LoadPlan &plan) {
    bool in_text = false;
    try {
        read_features(u, plan);
        if (plan.text) {
            in_text = true;
            read_transcript(u);
        }
    } catch (const npy::OsError &e) {
        u.error = 1;
        u.error_no = e.error;
        u.error_in_text = in_text;
        u.message = e.what();
    } catch (const npy::FormatError &e) {
        u.error = 2;
        u.error_in_text = in_text;
        u.message = e.what();
    } catch (const std::bad_alloc &) {
        u.error = 1;
        u.error_no = ENOMEM;
        u.error_in_text = in_text;
        u.message = std::strerror(ENOMEM);
    } catch (const std::exception &e) {
        u.error = 2;
        u.error_in_text = in_text;
        u.message = std::string("unreadable (") + e.what() + ")";
    }
}

// Reads all utterances on worker threads; the caller consumes them in order.
class ParallelLoader {
public:
    ParallelLoader(std::vector<Utterance> &items, const LoadPlan &plan) : items_(items), plan_(plan) {
        done_.assign(items.size(), 0);
        size_t n = std::max(1u, std::thread::hardware_concurrency());
        n = std::min(n, items.size());
        for (size_t i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
    }
    ~ParallelLoader() {
        stop_ = true;
        for (auto &t : threads_) t.join();
    }
    // Blocks (without the GIL) until utterance i has been read; Ctrl-C interrupts.
    Utterance &wait(size_t i) {
        while (true) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (done_[i]) return items_[i];
            }
            {
                nb::gil_scoped_release release;
                std::unique_lock<std::mutex> lock(mutex_);
                if (cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return done_[i] != 0; }))
                    return items_[i];
            }
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
        }
    }

private:
    void work() {
        while (!stop_) {
            size_t i = next_.fetch_add(1);
            if (i >= items_.size()) break;
            load_one(items_[i], plan_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_[i] = 1;
            }
            cv_.notify_all();
        }
    }

    std::vector<Utterance> &items_;
    LoadPlan plan_;
    std::vector<char> done_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::thread> threads_;
};

[[noreturn]] void raise_load_error(const Utterance &u) {
    const std::string &path = u.error_in_text ? u.text_path : u.fbank_path;
    if (u.error == 1) {
        nb::object name = ql::steal_checked(PyUnicode_DecodeFSDefault(path.c_str()));
        errno = u.error_no;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        throw nb::python_error();
    }
    ql::raise_value_error(std::string(u.error_in_text ? "Transcript" : "Feature") + " file '" + path + "': " +
                          u.message);
}

// Hands the utterance's feature block to a NumPy array that owns it from now on.
nb::object take_features(Utterance &u) {
    void *data = u.data;
    u.data = nullptr;
    nb::capsule owner(data, [](void *p) noexcept { std::free(p); });
    size_t shape[2] = {size_t(u.rows), size_t(u.cols)};
    nb::dlpack::dtype dt{uint8_t(nb::dlpack::dtype_code::Float), uint8_t(u.bits), 1};
    nb::ndarray<nb::numpy> arr(data, 2, shape, owner, nullptr, dt);
    return arr.cast();
}

// The transcript text of an utterance; pickled transcripts go through the restricted
// unpickler, which can rebuild NumPy arrays and nothing else.
nb::object transcript_text(Utterance &u) {
    if (u.text_mode == TextMode::Chars) {
        return ql::steal_checked(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, u.chars.data(), Py_ssize_t(u.chars.size())));
    }
    std::string where = "Transcript file '" + u.text_path + "'";
    nb::object arr;
    try {
        nb::object stream = io_bytes(nb::bytes(u.payload.data(), u.payload.size()));
        arr = TranscriptUnpickler(stream).attr("load")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_value_error_from(where + " cannot be loaded safely: " + ql::str(e.value()), e.value());
    }
    u.payload.clear();
    u.payload.shrink_to_fit();
    if (!nb::isinstance(arr, np_ndarray))
        ql::raise_value_error(where + " holds a " + ql::type_name(arr) + ", not an array of characters");
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    if (kind != "O" && kind != "U")
        ql::raise_value_error(where + " holds dtype '" + ql::str(arr.attr("dtype")) + "', not an array of characters");
    if (nb::cast<int>(arr.attr("ndim")) > 1)
        ql::raise_value_error(where + " holds a multi-dimensional array, not a sequence of characters");
    nb::object items = arr.attr("tolist")();
    if (PyUnicode_Check(items.ptr())) return items;
    for (nb::handle x : items)
        if (!PyUnicode_Check(x.ptr()))
            ql::raise_value_error(where + " holds a " + ql::type_name(x) + " item, not a character string");
    return ql::steal_checked(PyUnicode_Join(nb::str("").ptr(), items.ptr()));
}

// The file names of `dir` ending in ".npy", sorted, and their full paths.
std::pair<nb::list, nb::list> list_npy(nb::handle dir) {
    nb::object listing = os_listdir(dir);
    nb::object sorted = ql::steal_checked(PySequence_List(listing.ptr()));
    ql::check(PyList_Sort(sorted.ptr()) == 0);
    nb::list kept, paths;
    nb::object join = os_path.attr("join");
    for (nb::handle name : sorted) {
        if (!truthy(name.attr("endswith")(".npy"))) continue;
        kept.append(name);
        paths.append(join(dir, name));
    }
    return {kept, paths};
}

nb::object cut(nb::handle files, nb::handle n) {
    Py_ssize_t stop = PyNumber_AsSsize_t(n.ptr(), nullptr);
    if (stop == -1 && PyErr_Occurred()) throw nb::python_error();
    return ql::steal_checked(PyList_GetSlice(files.ptr(), 0, stop));
}

nb::object dataset_init(const ql::Args &a) {
    nb::handle self = a.self(), partition = a["partition"], config = a["config"], tokenizer = a["tokenizer"],
               global_stats = a["global_stats"];
    const bool is_train = truthy(a["isTrainPartition"]);

    self.attr("config") = config;
    self.attr("partition") = partition;
    self.attr("isTrainPartition") = nb::bool_(is_train);
    self.attr("tokenizer") = tokenizer;
    nb::object eos = tokenizer.attr("eos_id"), sos = tokenizer.attr("sos_id");
    self.attr("eos_token") = eos;
    self.attr("sos_token") = sos;
    self.attr("pad_token") = tokenizer.attr("pad_id");

    nb::object root = item(config, "root");
    nb::object join = os_path.attr("join");
    nb::object fbank_dir = join(root, partition, "fbank");
    self.attr("fbank_dir") = fbank_dir;
    auto [fbank_names, fbank_files] = list_npy(fbank_dir);

    // subset_size (or subset): a fraction of the files when <= 1, a count when > 1
    nb::object s = config.attr("get")("subset_size", config.attr("get")("subset", -1));
    const bool subset = compare(s, nb::int_(0), Py_GT);
    nb::object n;
    if (subset) {
        nb::object total = nb::int_(PyList_GET_SIZE(fbank_files.ptr()));
        if (compare(s, nb::float_(1.0), Py_LE))
            n = ql::steal_checked(PyNumber_Long(ql::steal_checked(PyNumber_Multiply(total.ptr(), s.ptr())).ptr()));
        else
            n = ql::steal_checked(PyNumber_Long(s.ptr()));
        fbank_files = nb::borrow<nb::list>(cut(fbank_files, n));
        fbank_names = nb::borrow<nb::list>(cut(fbank_names, n));
    }
    self.attr("fbank_files") = fbank_files;
    const Py_ssize_t length = PyList_GET_SIZE(fbank_files.ptr());
    self.attr("length") = nb::int_(length);

    const bool has_text = !equals(partition, kTestClean);
    nb::list text_files;
    if (has_text) {
        nb::object text_dir = join(root, partition, "text");
        self.attr("text_dir") = text_dir;
        auto listed = list_npy(text_dir);
        nb::list text_names = listed.first;
        text_files = listed.second;
        if (subset) {
            text_files = nb::borrow<nb::list>(cut(text_files, n));
            text_names = nb::borrow<nb::list>(cut(text_names, n));
        }
        self.attr("text_files") = text_files;
        if (PyList_GET_SIZE(text_files.ptr()) != length)
            ql::raise_value_error("Number of feature and transcript files must match");
        // Pairing is by position; a differing name means a missing or extra file.
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (!compare(fbank_names[i], text_names[i], Py_EQ))
                ql::raise_value_error("Feature file '" + ql::str(fbank_files[i]) + "' and transcript file '" +
                                      ql::str(text_files[i]) +
                                      "' have different names; every utterance needs both files");
        }
    }

    nb::list feats, shifted_list, golden_list;
    self.attr("feats") = feats;
    self.attr("transcripts_shifted") = shifted_list;
    self.attr("transcripts_golden") = golden_list;
    for (const char *name : {"total_chars", "total_tokens", "feat_max_len", "text_max_len"})
        self.attr(name) = nb::int_(0);

    const bool global_mvn = equals(item(config, "norm"), "global_mvn");
    const bool stats = global_mvn && global_stats.is_none();
    if (stats && !is_train)
        ql::raise_value_error("global_stats must be provided for non-training partitions when using global_mvn");

    LoadPlan plan;
    plan.stats = stats;
    plan.text = has_text;
    if (length > 0 || stats) {
        nb::object nf = item(config, "num_feats");
        if (!PyLong_Check(nf.ptr()) || PyBool_Check(nf.ptr()))
            ql::raise_type_error("num_feats must be an int, not " + ql::type_name(nf));
        plan.num_feats = nb::cast<int64_t>(nf);
        if (stats && plan.num_feats < 0) ql::raise_value_error("num_feats must not be negative");
    }
    const size_t F = stats ? size_t(plan.num_feats) : 0;
    std::vector<double> mean(F, 0.0), m2(F, 0.0);
    double count = 0.0;

    ql::print("Loading data for " + ql::str(partition) + " partition...");
    std::vector<Utterance> items(static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        items[size_t(i)].fbank_path = fs_path(fbank_files[i]);
        if (has_text) items[size_t(i)].text_path = fs_path(text_files[i]);
    }

    nb::object bar = tqdm(nb::steal(PyObject_CallFunction((PyObject *)&PyRange_Type, "n", length)));
    nb::object progress = ql::steal_checked(PyObject_GetIter(bar.ptr()));
    long long total_chars = 0, total_tokens = 0, feat_max_len = 0, text_max_len = 0;
    nb::object chars_obj = nb::int_(0), tokens_obj = nb::int_(0);
    try {
        ParallelLoader loader(items, plan);
        for (Py_ssize_t i = 0; i < length; ++i) {
            nb::object step = nb::steal(PyIter_Next(progress.ptr()));
            if (!step.is_valid() && PyErr_Occurred()) throw nb::python_error();
            Utterance &u = loader.wait(size_t(i));
            if (u.error) raise_load_error(u);

            feat_max_len = std::max<long long>(feat_max_len, u.cols);
            if (stats && u.cols > 0) {
                // merge this utterance's block into the running statistics (Chan et al.)
                const double nb_ = double(u.cols), total = count + nb_;
                for (size_t f = 0; f < F; ++f) {
                    const double delta = u.mean[f] - mean[f];
                    mean[f] += delta * nb_ / total;
                    m2[f] += u.m2[f] + delta * delta * count * nb_ / total;
                }
                count = total;
                std::vector<double>().swap(u.mean);
                std::vector<double>().swap(u.m2);
            }
            ql::check(PyList_Append(feats.ptr(), take_features(u).ptr()) == 0);

            if (has_text) {
                nb::object text = transcript_text(u);
                std::u32string().swap(u.chars);
                total_chars += length_of(text);
                nb::object tokens = tokenizer.attr(QL_ID("encode"))(text);
                const Py_ssize_t ntok = length_of(tokens);
                total_tokens += ntok;
                text_max_len = std::max<long long>(text_max_len, ntok + 1);
                nb::list head, tail;
                head.append(sos);
                tail.append(eos);
                ql::check(PyList_Append(shifted_list.ptr(),
                                        ql::steal_checked(PyNumber_Add(head.ptr(), tokens.ptr())).ptr()) == 0);
                ql::check(PyList_Append(golden_list.ptr(),
                                        ql::steal_checked(PyNumber_Add(tokens.ptr(), tail.ptr())).ptr()) == 0);
            }
        }
        nb::object end = nb::steal(PyIter_Next(progress.ptr()));  // finishes and closes the bar
        if (!end.is_valid() && PyErr_Occurred()) throw nb::python_error();
    } catch (...) {
        if (!PyErr_Occurred()) {
            try {
                bar.attr("close")();  // leave the console tidy; the original error propagates
            } catch (...) {
            }
        }
        throw;
    }

    self.attr("total_chars") = nb::int_(total_chars);
    self.attr("total_tokens") = nb::int_(total_tokens);
    self.attr("feat_max_len") = nb::int_(feat_max_len);
    self.attr("text_max_len") = nb::int_(text_max_len);
    if (total_tokens > 0)
        self.attr("avg_chars_per_token") = ql::steal_checked(
            PyNumber_TrueDivide(nb::int_(total_chars).ptr(), nb::int_(total_tokens).ptr()));
    else
        self.attr("avg_chars_per_token") = nb::int_(0);

    if (has_text && (PyList_GET_SIZE(feats.ptr()) != PyList_GET_SIZE(shifted_list.ptr()) ||
                     PyList_GET_SIZE(feats.ptr()) != PyList_GET_SIZE(golden_list.ptr())))
        ql::raise_value_error("Features and transcripts are misaligned");

    if (global_mvn) {
        if (!global_stats.is_none()) {
            auto parts = ql::unpack(global_stats, 2);
            self.attr("global_mean") = parts[0];
            self.attr("global_std") = parts[1];
        } else {
            if (count < 2)
                ql::raise_value_error("global_mvn statistics need at least 2 feature frames in the training "
                                      "partition, found " + std::to_string((long long)count));
            nb::object gm = empty({Py_ssize_t(F)}, float32), gs = empty({Py_ssize_t(F)}, float32);
            auto *pm = static_cast<float *>(data_ptr(gm));
            auto *ps = static_cast<float *>(data_ptr(gs));
            for (size_t f = 0; f < F; ++f) {
                const double variance = m2[f] / (count - 1.0);
                pm[f] = float(mean[f]);
                ps[f] = float(std::sqrt(variance + 1e-8));
            }
            self.attr("global_mean") = gm;
            self.attr("global_std") = gs;
        }
    }

    nb::object conf = item(config, "specaug_conf");
    self.attr("time_mask") =
        TimeMasking(nb::arg("time_mask_param") = item(conf, "time_mask_width_range"), nb::arg("iid_masks") = true);
    self.attr("freq_mask") = FrequencyMasking(nb::arg("freq_mask_param") = item(conf, "freq_mask_width_range"),
                                              nb::arg("iid_masks") = true);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Samples
// ---------------------------------------------------------------------------

// (features - mean as a column) / (std as a column + 1e-8), with torch's semantics.
nb::object global_normalise(nb::handle features, nb::handle mean, nb::handle std) {
    nb::object num = ql::steal_checked(PyNumber_Subtract(features.ptr(), mean.attr("unsqueeze")(1).ptr()));
    nb::object den = ql::steal_checked(PyNumber_Add(std.attr("unsqueeze")(1).ptr(), nb::float_(1e-8).ptr()));
    return ql::steal_checked(PyNumber_TrueDivide(num.ptr(), den.ptr()));
}

nb::object dataset_getitem(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object feat = item(self.attr(QL_ID("feats")), a["idx"]);
    nb::object config = self.attr(QL_ID("config"));
    nb::object norm = item(config, "norm");
    const bool global_mvn = equals(norm, "global_mvn");

    nb::object features;
    View2D v;
    nb::object mean_obj, std_obj;
    if (global_mvn) {
        mean_obj = self.attr(QL_ID("global_mean"));
        std_obj = self.attr(QL_ID("global_std"));
        if (mean_obj.is_none() || std_obj.is_none()) {
            PyErr_SetString(PyExc_AssertionError, "Global mean and std must be computed before normalization");
            throw nb::python_error();
        }
    }
    if (float_view(feat, v)) {
        features = empty({Py_ssize_t(v.rows), Py_ssize_t(v.cols)}, float32);
        float *out = static_cast<float *>(data_ptr(features));
        const float *m = nullptr, *s = nullptr;
        int64_t nm = 0, ns = 0, sm = 0, ss = 0;
        // (x - mean) / (std + 1e-8) fused into the copy when both statistics are float32 CPU
        // vectors; any other statistics go through torch's own arithmetic
        const bool fused = global_mvn && is_tensor(mean_obj) && is_tensor(std_obj) &&
                           vector_view<float>(mean_obj, m, nm, sm) && vector_view<float>(std_obj, s, ns, ss) &&
                           nm == v.rows && ns == v.rows;
        {
            nb::gil_scoped_release release;
            const int64_t C = v.cols;
            if (fused) {
                std::vector<float> mean(size_t(v.rows)), denom(size_t(v.rows));
                for (int64_t r = 0; r < v.rows; ++r) {
                    mean[size_t(r)] = m[r * sm];
                    denom[size_t(r)] = s[r * ss] + float(1e-8);
                }
                for_each_float(v, [&](int64_t r, int64_t c, float x) {
                    out[r * C + c] = (x - mean[size_t(r)]) / denom[size_t(r)];
                });
            } else {
                for_each_float(v, [&](int64_t r, int64_t c, float x) { out[r * C + c] = x; });
            }
        }
        if (global_mvn && !fused) features = global_normalise(features, mean_obj, std_obj);
    } else {
        features = torch.attr("tensor")(feat, nb::arg("dtype") = float32);
        if (global_mvn) features = global_normalise(features, mean_obj, std_obj);
    }
    if (equals(norm, "cepstral")) {
        nb::object mean = features.attr("mean")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        nb::object std = features.attr("std")(nb::arg("dim") = 1, nb::arg("keepdim") = true);
        nb::object num = ql::steal_checked(PyNumber_Subtract(features.ptr(), mean.ptr()));
        nb::object den = ql::steal_checked(PyNumber_Add(std.ptr(), nb::float_(1e-8).ptr()));
        features = ql::steal_checked(PyNumber_TrueDivide(num.ptr(), den.ptr()));
    }

    if (equals(self.attr(QL_ID("partition")), kTestClean)) return nb::make_tuple(features, nb::none(), nb::none());
    nb::object shifted = torch.attr("tensor")(item(self.attr(QL_ID("transcripts_shifted")), a["idx"]),
                                              nb::arg("dtype") = int64);
    nb::object golden =
        torch.attr("tensor")(item(self.attr(QL_ID("transcripts_golden")), a["idx"]), nb::arg("dtype") = int64);
    return nb::make_tuple(features, shifted, golden);
}

nb::object dataset_len(const ql::Args &a) { return a.self().attr("length"); }
nb::object dataset_avg(const ql::Args &a) { return a.self().attr("avg_chars_per_token"); }

// ---------------------------------------------------------------------------
// Spectrogram masking
// ---------------------------------------------------------------------------
//
// One call masks, per utterance (iid_masks=True) or once for the whole batch, a band of
// consecutive bins along one axis: a width drawn uniformly in [0, mask_param) and a start
// drawn uniformly in [0, size - width), both truncated to integers; the band is filled
// with mask_value. Random numbers come from torch's global generator, drawn as two
// tensors (all widths, then all starts) in the input's dtype.

nb::object masking_init(nb::handle self, nb::handle mask_param, int axis, nb::handle iid_masks, nb::handle p) {
    module_init(self);
    self.attr("mask_param") = mask_param;
    self.attr("axis") = nb::int_(axis);
    self.attr("iid_masks") = iid_masks;
    self.attr("p") = p;
    return nb::none();
}

nb::object time_masking_init(const ql::Args &a) {
    return masking_init(a.self(), a["time_mask_param"], 2, a["iid_masks"], a["p"]);
}
nb::object freq_masking_init(const ql::Args &a) {
    return masking_init(a.self(), a["freq_mask_param"], 1, a["iid_masks"], nb::float_(1.0));
}

// The mask parameter in effect for an axis of `size` bins: mask_param, or with p < 1 at
// most int(size * p). Checks p.
nb::object effective_mask_param(nb::handle module, Py_ssize_t size) {
    nb::object p = module.attr(QL_ID("p")), mask_param = module.attr(QL_ID("mask_param"));
    if (!compare(p, nb::float_(0.0), Py_GE) || !compare(p, nb::float_(1.0), Py_LE))
        ql::raise_value_error("The value of p must be between 0.0 and 1.0 (" + ql::str(p) + " given).");
    if (compare(p, nb::float_(1.0), Py_EQ)) return mask_param;
    nb::object limit = ql::steal_checked(PyNumber_Long(
        ql::steal_checked(PyNumber_Multiply(nb::int_(size).ptr(), p.ptr())).ptr()));
    return compare(mask_param, limit, Py_LE) ? mask_param : limit;
}

nb::object masking_forward(const ql::Args &a) {
    nb::handle self = a.self(), spec = a["specgram"], mask_value = a["mask_value"];
    const Py_ssize_t dim = nb::cast<Py_ssize_t>(spec.attr("dim")());
    const bool iid = truthy(self.attr(QL_ID("iid_masks")));
    const Py_ssize_t axis = nb::cast<Py_ssize_t>(self.attr(QL_ID("axis"))) + dim - 3;
    if (iid && dim < 3)
        ql::raise_value_error("Spectrogram must have at least three dimensions (" + std::to_string(dim) +
                              " given).");
    if (axis != dim - 2 && axis != dim - 1)
        ql::raise_value_error("Only Frequency and Time masking are supported (axis " + std::to_string(dim - 2) +
                              " and " + std::to_string(dim - 1) + " supported; " + std::to_string(axis) +
                              " given).");
    nb::object shape = spec.attr("shape");
    const Py_ssize_t size = nb::cast<Py_ssize_t>(item(shape, axis));
    nb::object param = effective_mask_param(self, size);
    if (compare(param, nb::int_(1), Py_LT)) return nb::borrow(spec);

    nb::object device = spec.attr("device"), dtype = spec.attr("dtype");
    nb::object draw_shape = iid ? nb::object(shape[nb::slice(Py_ssize_t(0), Py_ssize_t(dim - 2), Py_ssize_t(1))]) : nb::object(shape_tuple({1}));
    nb::object u1 = torch.attr("rand")(draw_shape, nb::arg("device") = device, nb::arg("dtype") = dtype);
    nb::object width = ql::steal_checked(PyNumber_Multiply(u1.ptr(), param.ptr()));
    nb::object room = ql::steal_checked(PyNumber_Subtract(nb::int_(size).ptr(), width.ptr()));
    nb::object u2 = torch.attr("rand")(draw_shape, nb::arg("device") = device, nb::arg("dtype") = dtype);
    nb::object start_f = ql::steal_checked(PyNumber_Multiply(u2.ptr(), room.ptr()));
    nb::object start = start_f.attr("long")();
    nb::object end = ql::steal_checked(PyNumber_Add(start.ptr(), width.attr("long")().ptr()));
    if (iid) {
        // (..., 1, 1) so the bounds broadcast over both spectrogram axes
        start = start.attr("unsqueeze")(-1).attr("unsqueeze")(-1);
        end = end.attr("unsqueeze")(-1).attr("unsqueeze")(-1);
    }
    nb::object positions = torch.attr("arange")(0, size, nb::arg("device") = device, nb::arg("dtype") = dtype);
    nb::object lo = ql::steal_checked(PyObject_RichCompare(positions.ptr(), start.ptr(), Py_GE));
    nb::object hi = ql::steal_checked(PyObject_RichCompare(positions.ptr(), end.ptr(), Py_LT));
    nb::object band = ql::steal_checked(PyNumber_And(lo.ptr(), hi.ptr()));
    nb::object moved = spec.attr("transpose")(axis, -1);
    moved = moved.attr("masked_fill")(band, mask_value);
    return moved.attr("transpose")(axis, -1);
}

// Masks the (B, T, F) float32 buffer in place as `module` (one of the library's own
// masking transforms, iid) would mask its (B, F, T) permutation. Draws exactly the random
// numbers the tensor path draws.
void mask_buffer(nb::handle module, bool time_axis, float *buf, int64_t B, int64_t T, int64_t F) {
    const int64_t size = time_axis ? T : F;
    nb::object param = effective_mask_param(module, Py_ssize_t(size));
    if (compare(param, nb::int_(1), Py_LT)) return;
    const float p = float(PyFloat_AsDouble(param.ptr()));
    if (p == -1.0f && PyErr_Occurred()) throw nb::python_error();
    nb::object shape = shape_tuple({Py_ssize_t(B)});
    nb::object u1 = torch.attr("rand")(shape, nb::arg("dtype") = float32, nb::arg("device") = "cpu");
    nb::object u2 = torch.attr("rand")(shape, nb::arg("dtype") = float32, nb::arg("device") = "cpu");
    const float *r1 = static_cast<const float *>(data_ptr(u1));
    const float *r2 = static_cast<const float *>(data_ptr(u2));
    nb::gil_scoped_release release;
    for (int64_t b = 0; b < B; ++b) {
        const float width = r1[b] * p;
        const float start_f = r2[b] * (float(size) - width);
        const int64_t start = int64_t(start_f), end = start + int64_t(width);
        const int64_t lo = std::max<int64_t>(start, 0), hi = std::min<int64_t>(end, size);
        if (lo >= hi) continue;
        float *u = buf + b * T * F;
        if (time_axis) {
            std::memset(u + lo * F, 0, size_t((hi - lo) * F) * sizeof(float));
        } else {
            for (int64_t t = 0; t < T; ++t) std::fill(u + t * F + lo, u + t * F + hi, 0.0f);
        }
    }
}

// ---------------------------------------------------------------------------
// Collation
// ---------------------------------------------------------------------------

// Pads 1-D int64 tensors into (B, L_max) filled with `pad`; nullptr when a sequence is
// not a CPU int64 vector (the caller then uses pad_sequence).
nb::object pad_int_sequences(const std::vector<nb::object> &seqs, nb::handle pad) {
    const size_t B = seqs.size();
    if (B == 0) return nb::object();
    std::vector<const int64_t *> data(B);
    std::vector<int64_t> len(B), stride(B);
    int64_t L = 0;
    for (size_t b = 0; b < B; ++b) {
        if (!is_tensor(seqs[b]) || !vector_view<int64_t>(seqs[b], data[b], len[b], stride[b])) return nb::object();
        L = std::max(L, len[b]);
    }
    const long long pad_value = PyLong_AsLongLong(pad.ptr());
    if (pad_value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object out = empty({Py_ssize_t(B), Py_ssize_t(L)}, int64);
    int64_t *o = static_cast<int64_t *>(data_ptr(out));
    for (size_t b = 0; b < B; ++b) {
        int64_t *row = o + int64_t(b) * L;
        for (int64_t i = 0; i < len[b]; ++i) row[i] = data[b][i * stride[b]];
        std::fill(row + len[b], row + L, int64_t(pad_value));
    }
    return out;
}

nb::object lengths_tensor(const std::vector<int64_t> &lengths) {
    nb::object out = empty({Py_ssize_t(lengths.size())}, int64);
    if (!lengths.empty()) std::memcpy(data_ptr(out), lengths.data(), lengths.size() * sizeof(int64_t));
    return out;
}

nb::object dataset_collate(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object samples = ql::steal_checked(PySequence_List(a["batch"].ptr()));
    const size_t B = size_t(PyList_GET_SIZE(samples.ptr()));
    std::vector<nb::object> feats(B);
    for (size_t b = 0; b < B; ++b) feats[b] = item(samples[b], Py_ssize_t(0));

    // 1-3: features to (frames, num_feats), padded at the end of the time axis with 0.0
    std::vector<View2D> views(B);
    bool fast = B > 0;
    for (size_t b = 0; b < B && fast; ++b)
        fast = is_tensor(feats[b]) && float_view(feats[b], views[b]) && views[b].bits == 32 &&
               views[b].rows == views[0].rows;
    nb::object padded_feats, feat_lengths;
    std::vector<int64_t> frames(B);
    if (fast) {
        const int64_t F = views[0].rows;
        int64_t T = 0;
        for (size_t b = 0; b < B; ++b) T = std::max(T, frames[b] = views[b].cols);
        padded_feats = empty({Py_ssize_t(B), Py_ssize_t(T), Py_ssize_t(F)}, float32);
        float *out = static_cast<float *>(data_ptr(padded_feats));
        {
            nb::gil_scoped_release release;
            constexpr int64_t kTile = 64;
            for (size_t b = 0; b < B; ++b) {
                const View2D &v = views[b];
                const float *in = static_cast<const float *>(v.data);
                float *o = out + int64_t(b) * T * F;
                for (int64_t t0 = 0; t0 < v.cols; t0 += kTile) {
                    const int64_t t1 = std::min(v.cols, t0 + kTile);
                    for (int64_t f = 0; f < F; ++f) {
                        const float *src = in + f * v.row_stride;
                        for (int64_t t = t0; t < t1; ++t) o[t * F + f] = src[t * v.col_stride];
                    }
                }
                std::memset(o + v.cols * F, 0, size_t((T - v.cols) * F) * sizeof(float));
            }
        }
        feat_lengths = lengths_tensor(frames);
    } else {
        nb::list transposed;
        for (size_t b = 0; b < B; ++b) {
            nb::object t = feats[b].attr("transpose")(0, 1);
            frames[b] = nb::cast<int64_t>(item(t.attr("shape"), Py_ssize_t(0)));
            transposed.append(t);
        }
        feat_lengths = lengths_tensor(frames);
        padded_feats = pad_sequence(transposed, nb::arg("batch_first") = true, nb::arg("padding_value") = 0.0);
    }

    // 4: transcripts, padded with the pad id
    nb::object padded_shifted = nb::none(), padded_golden = nb::none(), transcript_lengths = nb::none();
    if (!equals(self.attr(QL_ID("partition")), kTestClean)) {
        std::vector<nb::object> shifted(B), golden(B);
        std::vector<int64_t> lengths(B);
        for (size_t b = 0; b < B; ++b) {
            shifted[b] = item(samples[b], Py_ssize_t(1));
            golden[b] = item(samples[b], Py_ssize_t(2));
            lengths[b] = length_of(shifted[b]);
        }
        transcript_lengths = lengths_tensor(lengths);
        nb::object pad = self.attr(QL_ID("pad_token"));
        for (int k = 0; k < 2; ++k) {
            const auto &seqs = k == 0 ? shifted : golden;
            nb::object padded = pad_int_sequences(seqs, pad);
            if (!padded.is_valid()) {
                nb::list l;
                for (const auto &s : seqs) l.append(s);
                padded = pad_sequence(l, nb::arg("batch_first") = true, nb::arg("padding_value") = pad);
            }
            (k == 0 ? padded_shifted : padded_golden) = padded;
        }
    }

    // 5: frequency masks, then time masks, on training partitions with augmentation on
    nb::object config = self.attr(QL_ID("config"));
    if (truthy(item(config, "specaug")) && truthy(self.attr(QL_ID("isTrainPartition")))) {
        nb::object conf = item(config, "specaug_conf");
        struct Pass {
            const char *apply, *count, *attr;
            bool time;
            nb::handle cls;
        } passes[2] = {{"apply_freq_mask", "num_freq_mask", "freq_mask", false, FrequencyMasking},
                       {"apply_time_mask", "num_time_mask", "time_mask", true, TimeMasking}};
        for (const Pass &pass : passes) {
            if (!truthy(item(conf, pass.apply))) continue;
            nb::object count_obj = item(conf, pass.count);
            nb::object repeats = ql::steal_checked(PyObject_CallOneArg((PyObject *)&PyRange_Type, count_obj.ptr()));
            const Py_ssize_t n = length_of(repeats);
            nb::object transform = self.attr(pass.attr);
            for (Py_ssize_t k = 0; k < n; ++k) {
                nb::ndarray<float, nb::device::cpu, nb::c_contig> buf;
                const bool own = Py_TYPE(transform.ptr()) == (PyTypeObject *)pass.cls.ptr() &&
                                 truthy(transform.attr(QL_ID("iid_masks"))) &&
                                 nb::try_cast(padded_feats, buf, false) && buf.ndim() == 3;
                if (!own) PyErr_Clear();
                if (own) {
                    mask_buffer(transform, pass.time, buf.data(), int64_t(buf.shape(0)), int64_t(buf.shape(1)),
                                int64_t(buf.shape(2)));
                } else {
                    nb::object spec = padded_feats.attr("permute")(0, 2, 1);
                    spec = transform(spec);
                    padded_feats = spec.attr("permute")(0, 2, 1);
                }
            }
        }
    }
    return nb::make_tuple(padded_feats, padded_shifted, padded_golden, feat_lengths, transcript_lengths);
}

// ---------------------------------------------------------------------------
// Restricted unpickling of transcript arrays
// ---------------------------------------------------------------------------

nb::object unpickler_find_class(const ql::Args &a) {
    std::string module = ql::str(a["module"]), name = ql::str(a["name"]);
    static const char *allowed[][2] = {{"numpy._core.multiarray", "_reconstruct"},
                                       {"numpy.core.multiarray", "_reconstruct"},
                                       {"numpy", "ndarray"},
                                       {"numpy", "dtype"},
                                       {"_codecs", "encode"}};
    for (auto &entry : allowed)
        if (module == entry[0] && name == entry[1]) return ql::import_attr(entry[0], entry[1]);
    ql::raise(pickle_error.ptr(), "global '" + module + "." + name + "' is not allowed in a transcript");
}

}  // namespace

QL_MODULE(quenmark, m) {
    nb::object os = ql::import("os");
    os_path = ql::keep(ql::import("os.path"));
    os_listdir = ql::keep(os.attr("listdir"));
    nb::object np = ql::import("numpy");
    np_ndarray = ql::keep(np.attr("ndarray"));
    tqdm = ql::keep(ql::import_attr("tqdm", "tqdm"));
    torch = ql::keep(ql::import("torch"));
    float32 = ql::keep(torch.attr("float32"));
    int64 = ql::keep(torch.attr("int64"));
    nb::object Dataset = ql::import_attr("torch.utils.data", "Dataset");
    pad_sequence = ql::keep(ql::import_attr("torch.nn.utils.rnn", "pad_sequence"));
    nb::object Module = ql::import_attr("torch.nn", "Module");
    module_init = ql::keep(Module.attr("__init__"));
    nb::object VantTokenizer = ql::import_attr("quillane.data.tokenizer", "VantTokenizer");
    io_bytes = ql::keep(ql::import_attr("io", "BytesIO"));
    nb::object pickle = ql::import("pickle");
    pickle_error = ql::keep(pickle.attr("UnpicklingError"));

    m.attr("os") = os;
    m.attr("np") = np;
    m.attr("tqdm") = nb::borrow(tqdm);
    m.attr("torch") = nb::borrow(torch);
    m.attr("Dataset") = Dataset;
    m.attr("pad_sequence") = nb::borrow(pad_sequence);
    m.attr("VantTokenizer") = VantTokenizer;
    m.doc() = "Speech corpus dataset with batch collation and spectrogram masking.";

    TranscriptUnpickler = ql::keep(ql::make_class(
        m, "_TranscriptUnpickler", {pickle.attr("Unpickler")},
        "Unpickler for transcript arrays: rebuilds NumPy arrays and refuses every other global.",
        {ql::method("find_class(self, module, name)", unpickler_find_class)}));

    const char *mask_forward_doc =
        "Args:\n"
        "    specgram: (..., freq, time) tensor; iid masks need at least three dimensions.\n"
        "    mask_value: value written into the masked band.\n\n"
        "Returns:\n"
        "    A masked copy of specgram (specgram itself when no band can be drawn).";
    TimeMasking = ql::keep(ql::make_class(
        m, "TimeMasking", {Module},
        "Masks a band of consecutive frames: width uniform in [0, time_mask_param), start uniform in\n"
        "[0, frames - width), one band per example when iid_masks is true. With p < 1 the width is\n"
        "also limited to p times the number of frames.",
        {ql::method("__init__(self, time_mask_param, iid_masks: bool = False, p: float = 1.0)", time_masking_init),
         ql::method("forward(self, specgram, mask_value: float = 0.0)", masking_forward, mask_forward_doc)}));
    FrequencyMasking = ql::keep(ql::make_class(
        m, "FrequencyMasking", {Module},
        "Masks a band of consecutive frequency bins: width uniform in [0, freq_mask_param), start\n"
        "uniform in [0, bins - width), one band per example when iid_masks is true.",
        {ql::method("__init__(self, freq_mask_param, iid_masks: bool = False)", freq_masking_init),
         ql::method("forward(self, specgram, mask_value: float = 0.0)", masking_forward, mask_forward_doc)}));

    ql::make_class(
        m, "ASRDataset", {Dataset},
        "Speech-recognition dataset over one corpus partition, held in memory.\n\n"
        "Layout: <root>/<partition>/fbank/*.npy holds (features, frames) float arrays and\n"
        "<root>/<partition>/text/*.npy the matching character arrays (no text folder for\n"
        "'test-clean'); files pair up by their sorted names. Samples are (features, shifted,\n"
        "golden) with features normalised by config['norm'] ('global_mvn', 'cepstral' or 'none').",
        {ql::method("__init__(self, partition, config: dict, tokenizer, isTrainPartition, "
                    "global_stats: Optional[tuple] = None)",
                    dataset_init),
         ql::method("get_avg_chars_per_token(self)", dataset_avg,
                    "Average number of characters per token over the partition's transcripts."),
         ql::method("__len__(self)", dataset_len),
         ql::method("__getitem__(self, idx)", dataset_getitem,
                    "Returns (features (num_feats, frames) float32, shifted (tokens+1,) int64,\n"
                    "golden (tokens+1,) int64); the transcripts are None for 'test-clean'."),
         ql::method("collate_fn(self, batch)", dataset_collate,
                    "Pads a list of samples into (padded_feats (B, T, num_feats), padded_shifted (B, L),\n"
                    "padded_golden (B, L), feat_lengths (B,), transcript_lengths (B,)), masking\n"
                    "frequency bands and then time bands on training partitions when config['specaug'].")});
}
