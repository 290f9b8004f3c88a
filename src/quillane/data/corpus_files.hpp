// The files of a prepared corpus: durable writes and the check of a file an earlier run left.
//
// A file is written to a hidden sibling, flushed to disk and only then renamed into place, so
// that after a crash or a kill a final name holds either nothing or a complete file. The
// directory entries are flushed once per folder (sync_directory) rather than after every
// rename: a rename lost in a crash only means that the file is made again by the next run.
//
// A file that exists is trusted only once it reads back as the array it should be (a valid
// .npy header, the element type, the shape and exactly the announced number of bytes), so a
// zero-length or truncated file is made again instead of being skipped.
#pragma once

#include "core.hpp"
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

[[noreturn]] inline void raise_os_error(const std::string &what, const fs::path &path, int error) {
    raise(PyExc_OSError, "Cannot " + what + " " + path.string() + ": " + std::strerror(error));
}

// The hidden sibling a file is written to before it is renamed into place.
inline fs::path part_path(const fs::path &path) {
    return path.parent_path() / ("." + path.filename().string() + ".part");
}

// Writes and flushes `bytes` to `tmp`; returns 0 or the errno of the step that failed.
// Touches no Python object, so it runs without the GIL.
inline int write_synced(const fs::path &tmp, std::string_view bytes) noexcept {
#ifndef _WIN32
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int error = 0;
    while (!bytes.empty() && !error) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0) bytes.remove_prefix(static_cast<size_t>(n));
        else if (errno != EINTR) error = errno;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    return error;
#else
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.flush();
    return f ? 0 : EIO;
#endif
}

// Writes `bytes` as `path`: to the hidden sibling first, flushed to disk, then renamed over
// the destination. Nothing is left under either name when it fails (OSError naming `path`).
// The GIL is released while the bytes go to disk.
inline void write_durably(const fs::path &path, std::string_view bytes) {
    fs::path tmp = part_path(path);
    const char *step = "write";
    int error = 0;
    {
        nb::gil_scoped_release release;
        error = write_synced(tmp, bytes);
        if (!error) {
            std::error_code ec;
            fs::rename(tmp, path, ec);
            if (ec) {
                error = ec.value();
                step = "rename into";
            }
        }
        if (error) {
            std::error_code ignored;
            fs::remove(tmp, ignored);
        }
    }
    if (error) raise_os_error(step, path, error);
}

// Flushes a folder's entries (the renames into it) to disk; best effort.
inline void sync_directory(const fs::path &dir) {
#ifndef _WIN32
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    (void)dir;
#endif
}

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
