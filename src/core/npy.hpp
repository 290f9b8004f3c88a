// Reading NumPy .npy files without the interpreter, so worker threads can load arrays
// with the GIL released. Only the file format is handled here: the header (format
// versions 1.0 to 3.0) and the raw element bytes. Nothing in this file touches Python.
//
// The header parser accepts the headers NumPy itself accepts for the dtypes handled here
// (and nothing NumPy would refuse), so a file this reader loads is a file np.load loads
// the same way. Error messages are plain ASCII and never include the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ql::npy {

// A malformed or unsupported file.
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
    char kind = 0;                // 'f', 'i', 'u', 'b', 'c', 'U', 'S', 'O' or 'V'
    size_t itemsize = 0;          // bytes per element ('U': 4 per character)
    bool swap = false;            // stored in the non-native byte order
    bool fortran_order = false;
    std::vector<int64_t> shape;
    uint64_t data_offset = 0;     // byte offset of the first element in the file

    int64_t count() const;        // number of elements (1 for a 0-d array)
    uint64_t data_bytes() const;  // count() * itemsize; FormatError when it overflows
};

// The first bytes of every .npy file.
constexpr const char kMagic[] = "\x93NUMPY";
constexpr size_t kMagicSize = 6;
// The longest header NumPy parses from a file it is not told to trust.
constexpr size_t kMaxHeaderSize = 10000;

// An open regular file, closed on destruction. Opening never blocks: a FIFO, device or
// directory is refused with a FormatError instead of waiting for a writer.
class File {
public:
    explicit File(const std::string &path);  // throws OsError or FormatError
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    int fd() const { return fd_; }
    uint64_t size() const { return size_; }

    // True when the file starts with the .npy magic string.
    bool has_magic();
    // Parses the header; throws FormatError when NumPy would not load the file.
    Header read_header();
    // Reads exactly `bytes` bytes at absolute `offset`; throws FormatError when the file
    // is shorter, OsError on a read failure.
    void read_at(uint64_t offset, void *dst, size_t bytes);
    // Every byte from `offset` to the end of the file.
    std::string read_rest(uint64_t offset);

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Checks that the file holds every element the header announces (more is allowed, as
// NumPy allows it); returns the data size in bytes. Throws FormatError otherwise.
uint64_t check_complete(const File &file, const Header &header);

// Reads a 2-D array of shape (R, C) and keeps its first `rows` rows (rows <= R) as a
// C-ordered (rows, C) block of the stored element type in native byte order, written to
// `dst` (rows * C * itemsize bytes). Works for C and Fortran order; a C-ordered file is
// read only as far as needed.
void read_leading_rows(File &file, const Header &header, int64_t rows, void *dst);

// The characters of a 0-d or 1-d '<U'/'>U' array, each item with its trailing NULs
// removed (as NumPy strips them), concatenated. Every character must be a Unicode code
// point (at most U+10FFFF).
std::u32string read_unicode(File &file, const Header &header);

// Reverses the byte order of `count` items of `itemsize` bytes in place.
void byteswap(void *data, size_t count, size_t itemsize);

// IEEE binary16 to binary32 (exact).
float half_to_float(uint16_t h);

// `text` with every byte outside printable ASCII written as \xNN, cut to `limit` bytes,
// for quoting file content in messages.
std::string printable(const std::string &text, size_t limit = 200);

}  // namespace ql::npy
