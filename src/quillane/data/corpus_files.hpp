// The files of a prepared corpus: the check of a file an earlier run left. Files are written
// with the core's write_durably; the directory entries are flushed once per folder
// (sync_directory) rather than after every rename: a rename lost in a crash only means that the
// file is made again by the next run.
//
// A file that exists is trusted only once it reads back as the array it should be (a valid
// .npy header, the element type, the shape and exactly the announced number of bytes), so a
// zero-length or truncated file is made again instead of being skipped.
#pragma once

#include "core.hpp"
#include "files.hpp"
#include "npy.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ql::corpus {
namespace fs = std::filesystem;

// The whole content of a small file, or nothing when it cannot be read.
inline bool read_small_file(const fs::path &path, std::string &content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return static_cast<bool>(in) || in.eof();
}

// What an existing output file holds.
struct Existing {
    enum State { Missing, Damaged, Valid } state = Missing;
    int64_t rows = 0;  // the first dimension of a valid array
};

// Checks that `path` is a complete .npy file of `ndim` dimensions whose elements are of NumPy
// kind `kind` ('f', 'U', ...) and `itemsize` bytes. Anything that is not a regular file (a
// FIFO would block the read) counts as damaged.
inline Existing inspect_array(const fs::path &path, char kind, size_t itemsize, size_t ndim) {
    Existing found;
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec || !fs::exists(status)) return found;
    found.state = Existing::Damaged;
    if (!fs::is_regular_file(status)) return found;
    try {
        npy::File file(path.string());
        npy::Header header = file.read_header();
        if (header.kind != kind || header.itemsize != itemsize || header.shape.size() != ndim) return found;
        uint64_t bytes = npy::check_complete(file, header);
        if (file.size() != header.data_offset + bytes) return found;  // what np.save writes, exactly
        found.rows = ndim > 0 ? header.shape[0] : 1;
        found.state = Existing::Valid;
    } catch (const npy::FormatError &) {
    } catch (const npy::OsError &) {
    }
    return found;
}

}  // namespace ql::corpus
