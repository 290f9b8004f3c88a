// Reading NumPy .npy files without the interpreter, so worker threads can load arrays
// with the GIL released. Only the file format is handled here: the header (format
// versions 1 to 3) and the raw element bytes. Nothing in this file touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace ql::npy {

// A malformed or unsupported file. The message does not include the path.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operating-system failure (open/read); `error` is the errno value.
struct OsError : std::runtime_error {
    int error;
    OsError(int err, const std::string &what) : std::runtime_error(what), error(err) {}
};

struct Header {
    std::string descr;            // e.g. "<f4", "|O", "<U1"
    char kind = 0;                // 'f', 'i', 'u', 'b', 'c', 'U', 'S', 'O', ... ('V' for structured)
    size_t itemsize = 0;
    bool swap = false;            // stored in the non-native byte order
    bool fortran_order = false;
    std::vector<int64_t> shape;
    uint64_t data_offset = 0;     // byte offset of the first element in the file

    int64_t count() const;        // number of elements (1 for a 0-d array)
};

// The first bytes of every .npy file.
constexpr const char kMagic[] = "\x93NUMPY";
constexpr size_t kMagicSize = 6;

// An open file, closed on destruction.
class File {
public:
    explicit File(const std::string &path);  // throws OsError
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // True when the file starts with the .npy magic string.
    bool has_magic();
    // Parses the header; throws FormatError when the file is not a valid .npy file.
    Header read_header();
    // Reads exactly `bytes` bytes at absolute `offset`; throws FormatError when the file
    // is shorter, OsError on a read failure.
    void read_at(uint64_t offset, void *dst, size_t bytes);
    // Every byte from `offset` to the end of the file.
    std::string read_rest(uint64_t offset);
    uint64_t size();

private:
    std::FILE *fp_ = nullptr;
    std::string path_;
};

// Reverses the byte order of `count` items of `itemsize` bytes in place.
void byteswap(void *data, size_t count, size_t itemsize);

// IEEE binary16 to binary32 (exact).
float half_to_float(uint16_t h);

// Checks that the file holds every element the header announces (more is allowed, as
// NumPy allows it); returns the data size in bytes. Throws FormatError otherwise.
uint64_t check_complete(File &file, const Header &header);

// Reads a 2-D array of shape (R, C) and keeps its first `rows` rows (rows <= R) as a
// C-ordered (rows, C) block of the stored element type in native byte order, written to
// `dst` (rows * C * itemsize bytes). Works for C and Fortran order; a C-ordered file is
// read only as far as needed.
void read_leading_rows(File &file, const Header &header, int64_t rows, void *dst);

}  // namespace ql::npy
