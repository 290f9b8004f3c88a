// Reading one utterance of a corpus partition: its feature file (a 2-D float .npy array)
// and its transcript file (a character array, or a pickled array of strings). Runs on
// worker threads without the interpreter; what goes wrong is recorded on the utterance and
// raised on the calling thread, naming the file.
//
// Every value of the kept features is read once and checked, and summarised row by row when
// statistics are wanted, whether the partition is kept in memory (the features land in the
// utterance's slot of one block) or memory-mapped (they pass through a scratch buffer of
// the reading thread and are dropped).
#pragma once

#include "quenmark_tensors.hpp"
#include "npy.hpp"
#include "npy_pickle.hpp"
#include "memory.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace quenmark {
namespace npy = ql::npy;

// A path as the file system spells it.
inline std::string fs_path(nb::handle path) {
    nb::object encoded = ql::steal_checked(PyUnicode_EncodeFSDefault(path.ptr()));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), size_t(PyBytes_GET_SIZE(encoded.ptr())));
}

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

// Where the kept features of a feature file lie, and how they are stored.
struct FeatureLayout {
    uint64_t data_offset = 0;                   // the first element, from the start of the file
    int64_t file_rows = 0, cols = 0, rows = 0;  // the array's (rows, frames) and the rows kept
    int bits = 0;                               // 16, 32 or 64
    bool fortran = false, swap = false;         // column-major; stored in the other byte order

    size_t item_bytes() const { return size_t(bits / 8); }
    size_t kept_bytes() const { return size_t(rows) * size_t(cols) * item_bytes(); }
    bool operator==(const FeatureLayout &o) const {
        return data_offset == o.data_offset && file_rows == o.file_rows && cols == o.cols && rows == o.rows &&
               bits == o.bits && fortran == o.fortran && swap == o.swap;
    }
    bool operator!=(const FeatureLayout &o) const { return !(*this == o); }
};

struct Utterance {
    std::string fbank_path, text_path;  // file-system encoding
    FeatureLayout layout;
    bool inspected = false;        // the layout comes from a first pass over the headers
    void *slot = nullptr;          // where the kept features go; null: read, checked and dropped
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

// The layout of a feature file with header `h`, after checking that it holds every
// element the header announces.
inline FeatureLayout feature_layout(const npy::File &file, const npy::Header &h, int64_t num_feats) {
    FeatureLayout l;
    l.rows = kept_rows(h, num_feats);
    npy::check_complete(file, h);
    l.data_offset = h.data_offset;
    l.file_rows = h.shape[0];
    l.cols = h.shape[1];
    l.bits = int(h.itemsize * 8);
    l.fortran = h.fortran_order;
    l.swap = h.swap;
    return l;
}

// One pass over the kept features as float32: every value must be finite (one NaN would
// turn the global statistics, and every utterance normalised with them, into NaN), and
// with statistics each row's mean and squared deviations are recorded.
inline void scan_features(Utterance &u, const ql::FloatRows &v, bool stats) {
    if (stats) {
        u.mean.assign(size_t(v.rows), 0.0);
        u.m2.assign(size_t(v.rows), 0.0);
    }
    ql::for_each_row(v, [&](int64_t r, const float *x) {
        const bool finite = stats ? ql::shifted_moments(x, v.cols, u.mean[size_t(r)], u.m2[size_t(r)])
                                  : ql::all_finite(x, v.cols);
        if (finite) return;
        const int64_t c = std::find_if(x, x + v.cols, [](float y) { return !std::isfinite(y); }) - x;
        throw npy::FormatError("row " + std::to_string(r) + ", frame " + std::to_string(c) + " holds " +
                               (std::isnan(x[c]) ? "NaN" : "a value that is infinite as float32") +
                               "; features must be finite");
    });
}

// A buffer of at least `bytes` bytes that the calling thread reuses for every utterance it
// reads without keeping.
inline void *scratch_buffer(size_t bytes) {
    thread_local std::unique_ptr<unsigned char[]> buffer;
    thread_local size_t capacity = 0;
    if (bytes > capacity) {
        buffer.reset();
        buffer.reset(new unsigned char[bytes]);
        capacity = bytes;
    }
    return buffer.get();
}

// Opens the feature file, reads and checks its header (against the layout of a first pass,
// when there was one).
inline npy::Header open_features(npy::File &file, Utterance &u, const LoadPlan &plan) {
    const npy::Header h = file.read_header();
    const FeatureLayout layout = feature_layout(file, h, plan.num_feats);
    if (u.inspected && layout != u.layout) throw npy::FormatError("the file changed while the partition was loading");
    u.layout = layout;
    return h;
}

// Reads the kept features into the utterance's slot (or a scratch buffer) and scans them.
inline void read_features(Utterance &u, const LoadPlan &plan) {
    npy::File file(u.fbank_path);
    const npy::Header h = open_features(file, u, plan);
    const FeatureLayout &l = u.layout;
    void *into = u.slot ? u.slot : scratch_buffer(l.kept_bytes());
    if (u.slot) ql::prefault(u.slot, l.kept_bytes());
    npy::read_leading_rows(file, h, l.rows, into);
    scan_features(u, ql::FloatRows{into, l.bits, l.rows, l.cols, l.cols, 1}, plan.stats);
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

// Runs `step`, recording what it throws in `e`.
template <typename Step>
void record_failure(LoadError &e, Step &&step) {
    try {
        step();
    } catch (const npy::OsError &x) {
        e.kind = LoadError::Kind::System;
        e.error_no = x.error;
    } catch (const npy::FormatError &x) {
        e.kind = LoadError::Kind::Content;
        e.message = x.what();
    } catch (const std::bad_alloc &) {
        e.kind = LoadError::Kind::System;
        e.error_no = ENOMEM;
    } catch (const std::system_error &x) {
        e.kind = LoadError::Kind::System;
        e.error_no = x.code().value();
    } catch (const std::exception &x) {
        e.kind = LoadError::Kind::Content;
        e.message = std::string("unreadable (") + x.what() + ")";
    }
}

// The first pass of a partition kept in memory: the layout of the utterance's features,
// from the header alone, so that every slot can be placed before anything is read. Never
// throws.
inline void inspect_utterance(Utterance &u, const LoadPlan &plan) {
    record_failure(u.error, [&] {
        npy::File file(u.fbank_path);
        open_features(file, u, plan);
        u.inspected = true;
    });
}

// Reads utterance `u` as `plan` says, unless its first pass failed; never throws.
inline void load_utterance(Utterance &u, const LoadPlan &plan) {
    if (u.error.kind != LoadError::Kind::None) return;
    record_failure(u.error, [&] {
        read_features(u, plan);
        if (plan.text) {
            u.error.in_text = true;
            u.text = read_transcript(u.text_path);
        }
    });
}

// Raises the utterance's failure: OSError with the path for system errors, ValueError
// "<Feature|Transcript> file '<path>': <what>" for unusable content.
[[noreturn]] inline void raise_load_error(const LoadError &e, nb::handle fbank_path, nb::handle text_path) {
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

// The transcript as a str (the characters are already checked to be code points).
inline nb::object take_text(Utterance &u) {
    nb::object text = ql::steal_checked(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, u.text.data(), Py_ssize_t(u.text.size())));
    std::u32string().swap(u.text);
    return text;
}

}  // namespace quenmark
