// Reading one utterance of a corpus partition: its feature file (a 2-D float .npy array)
// and its transcript file (a character array, or a pickled array of strings). Runs on
// worker threads without the interpreter; what goes wrong is recorded on the utterance and
// raised on the calling thread, naming the file.
//
// An utterance's features are a strided view of memory that the NumPy array in `feats`
// takes over (today a block the file is read into); the values are checked and, when
// statistics are wanted, summarised row by row through the view, so memory that maps the
// file instead needs only another FeatureMemory and another way to fill the view.
#pragma once

#include "quenmark_tensors.hpp"
#include "npy.hpp"
#include "npy_pickle.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace quenmark {
namespace npy = ql::npy;

// What to read from each utterance.
struct LoadPlan {
    int64_t num_feats = 0;  // feature rows kept; every file must have at least this many
    bool stats = false;     // summarise the kept rows for the global statistics
    bool text = false;      // read the transcript too
};

// A failure while reading, kept until the calling thread raises it.
struct LoadError {
    enum class Kind : unsigned char { None, System, Content };
    Kind kind = Kind::None;
    int error_no = 0;  // System: the errno value
    bool in_text = false;
    std::string message;
};

// Memory behind an utterance's features, released with the NumPy array that views it.
struct FeatureMemory {
    virtual ~FeatureMemory() = default;
};

// A block the features are read into.
struct HeapMemory : FeatureMemory {
    void *block;
    explicit HeapMemory(size_t bytes) : block(std::malloc(bytes ? bytes : 1)) {
        if (!block) throw std::bad_alloc();
    }
    ~HeapMemory() override { std::free(block); }
};

struct Utterance {
    std::string fbank_path, text_path;  // file-system encoding
    std::unique_ptr<FeatureMemory> memory;
    ql::FloatRows features;        // the kept (rows, frames) values, of the stored float type
    std::vector<double> mean, m2;  // per kept row, over the utterance's frames (stats only)
    std::u32string text;
    LoadError error;
};

inline std::string shape_text(const std::vector<int64_t> &shape) {
    std::string out = "(";
    for (size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
    return out + (shape.size() == 1 ? ",)" : ")");
}

// The number of rows kept from a feature file with header `h`; refuses anything that is not
// a (rows, frames) float array with at least num_feats rows.
inline int64_t kept_rows(const npy::Header &h, int64_t num_feats) {
    if (h.kind != 'f')
        throw npy::FormatError("unsupported dtype '" + npy::printable(h.descr) +
                               "' (expected float16, float32 or float64)");
    if (h.shape.size() != 2)
        throw npy::FormatError("expected a two-dimensional (features, frames) array, found shape " +
                               shape_text(h.shape));
    if (h.shape[0] < num_feats)
        throw npy::FormatError(std::to_string(h.shape[0]) + " feature rows, fewer than data.num_feats=" +
                               std::to_string(num_feats));
    return num_feats;
}

// One pass over the kept features as float32: every value must be finite (one NaN would
// turn the global statistics, and every utterance normalised with them, into NaN), and
// with statistics on each row's mean and squared deviations are recorded.
inline void scan_features(Utterance &u, bool stats) {
    const ql::FloatRows &v = u.features;
    if (stats) {
        u.mean.assign(size_t(v.rows), 0.0);
        u.m2.assign(size_t(v.rows), 0.0);
    }
    ql::for_each_row(v, [&](int64_t r, const float *x) {
        if (!ql::all_finite(x, v.cols)) {
            const int64_t c = std::find_if(x, x + v.cols, [](float y) { return !std::isfinite(y); }) - x;
            throw npy::FormatError("row " + std::to_string(r) + ", frame " + std::to_string(c) + " holds " +
                                   (std::isnan(x[c]) ? "NaN" : "a value that is infinite as float32") +
                                   "; features must be finite");
        }
        if (stats && v.cols > 0) ql::moments(x, v.cols, u.mean[size_t(r)], u.m2[size_t(r)]);
    });
}

inline void read_features(Utterance &u, const LoadPlan &plan) {
    npy::File file(u.fbank_path);
    const npy::Header h = file.read_header();
    const int64_t rows = kept_rows(h, plan.num_feats), cols = h.shape[1];
    npy::check_complete(file, h);  // before allocating what the header claims
    auto memory = std::make_unique<HeapMemory>(size_t(rows) * size_t(cols) * h.itemsize);
    npy::read_leading_rows(file, h, rows, memory->block);
    u.features = ql::FloatRows{memory->block, int(h.itemsize * 8), rows, cols, cols, 1};
    u.memory = std::move(memory);
    scan_features(u, plan.stats);
}

// A pickled transcript decodes to at most this many characters per byte of pickle: enough
// for any array of strings np.save writes, which stores each character at least once.
constexpr size_t kCharsPerPickleByte = 16;
// Unpickling takes memory in proportion to the pickle (up to about a hundred bytes per
// byte); no transcript comes near this size.
constexpr uint64_t kMaxPickleBytes = uint64_t(16) << 20;

inline std::u32string read_pickled_transcript(npy::File &file, uint64_t offset) {
    if (file.size() > offset && file.size() - offset > kMaxPickleBytes)
        throw npy::FormatError("a pickle of " + std::to_string(file.size() - offset) +
                               " bytes, more than the 16 MiB a transcript may take");
    const std::string pickle = file.read_rest(offset);
    return npy::join_pickled_strings(pickle, kCharsPerPickleByte * pickle.size());
}

inline std::u32string read_transcript(const std::string &path) {
    npy::File file(path);
    if (file.has_magic()) {
        const npy::Header h = file.read_header();
        if (h.kind == 'O') return read_pickled_transcript(file, h.data_offset);
        if (h.kind != 'U')
            throw npy::FormatError("dtype '" + npy::printable(h.descr) + "' is not an array of characters");
        return npy::read_unicode(file, h);
    }
    // np.load reads a file without the .npy magic string as a pickle
    char head[4] = {0, 0, 0, 0};
    if (file.size() >= 4) file.read_at(0, head, 4);
    if (std::memcmp(head, "PK\x03\x04", 4) == 0) throw npy::FormatError("an archive of arrays, not a transcript array");
    return read_pickled_transcript(file, 0);
}

// Reads utterance `u` as `plan` says; never throws (failures are recorded on `u`).
inline void load_utterance(Utterance &u, const LoadPlan &plan) {
    LoadError &e = u.error;
    try {
        read_features(u, plan);
        if (plan.text) {
            e.in_text = true;
            u.text = read_transcript(u.text_path);
        }
        return;
    } catch (const npy::OsError &x) {
        e.kind = LoadError::Kind::System;
        e.error_no = x.error;
    } catch (const npy::FormatError &x) {
        e.kind = LoadError::Kind::Content;
        e.message = x.what();
    } catch (const std::bad_alloc &) {
        e.kind = LoadError::Kind::System;
        e.error_no = ENOMEM;
    } catch (const std::exception &x) {
        e.kind = LoadError::Kind::Content;
        e.message = std::string("unreadable (") + x.what() + ")";
    }
}

// Raises the utterance's failure: OSError with the path for system errors, ValueError
// "<Feature|Transcript> file '<path>': <what>" for unusable content.
[[noreturn]] inline void raise_load_error(const Utterance &u, nb::handle fbank_path, nb::handle text_path) {
    const LoadError &e = u.error;
    nb::handle path = e.in_text ? text_path : fbank_path;
    if (e.kind == LoadError::Kind::System) {
        errno = e.error_no;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
    nb::str message = nb::str("{} file '{}': {}").format(e.in_text ? "Transcript" : "Feature", path, e.message);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

// Hands the utterance's feature block to a NumPy array that owns it from now on.
inline nb::object take_features(Utterance &u) {
    nb::capsule owner(u.memory.get(), [](void *p) noexcept { delete static_cast<FeatureMemory *>(p); });
    u.memory.release();
    const ql::FloatRows &v = u.features;
    size_t shape[2] = {size_t(v.rows), size_t(v.cols)};
    int64_t strides[2] = {v.row_stride, v.col_stride};
    nb::dlpack::dtype dt{uint8_t(nb::dlpack::dtype_code::Float), uint8_t(v.bits), 1};
    nb::ndarray<nb::numpy> arr(const_cast<void *>(v.data), 2, shape, owner, strides, dt);
    return arr.cast();
}

// The transcript as a str (the characters are already checked to be code points).
inline nb::object take_text(Utterance &u) {
    nb::object text = ql::steal_checked(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, u.text.data(), Py_ssize_t(u.text.size())));
    std::u32string().swap(u.text);
    return text;
}

}  // namespace quenmark
