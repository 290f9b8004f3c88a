// Durable file writes: a file is written to a hidden sibling, flushed to disk and only then
// renamed into place, so that after a crash or a kill the final name holds either the old file
// or the complete new one; and flushing a folder's entries (the renames into it) to disk.
#pragma once

#include "core.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ql {
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

}  // namespace ql
