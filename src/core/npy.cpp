#include "npy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ql::npy {
namespace {

bool native_little_endian() {
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

[[noreturn]] void throw_os_error(int err) { throw OsError(err, std::strerror(err)); }

// The Python-literal dictionary of a .npy header, e.g.
//   {'descr': '<f4', 'fortran_order': False, 'shape': (80, 300), }
// NumPy evaluates it as a Python literal; this parser takes the subset of that syntax that
// NumPy's writers produce (quoted strings without escapes, True/False, tuples of decimal
// integers) and refuses everything else, including trailing bytes after the closing brace.
class HeaderParser {
public:
    HeaderParser(const std::string &text, bool allow_long_suffix) : s_(text), long_suffix_(allow_long_suffix) {}

    Header parse() {
        Header h;
        bool have_descr = false, have_order = false, have_shape = false;
        expect('{');
        skip_space();
        while (peek() != '}') {
            const std::string key = parse_string();
            expect(':');
            skip_space();
            if (key == "descr") {
                if (peek() != '\'' && peek() != '"') fail("structured dtypes are not supported");
                h.descr = parse_string();
                have_descr = true;
            } else if (key == "fortran_order") {
                h.fortran_order = parse_bool();
                have_order = true;
            } else if (key == "shape") {
                h.shape = parse_shape();
                have_shape = true;
            } else {
                fail("unexpected key '" + printable(key) + "'");
            }
            skip_space();
            if (peek() == ',') {
                ++pos_;
                skip_space();
            } else if (peek() != '}') {
                fail("expected ',' or '}'");
            }
        }
        ++pos_;
        skip_space();
        if (pos_ != s_.size()) fail("unexpected bytes after the closing brace");
        if (!have_descr || !have_order || !have_shape) fail("'descr', 'fortran_order' or 'shape' is missing");
        return h;
    }

private:
    const std::string &s_;
    const bool long_suffix_;
    size_t pos_ = 0;

    [[noreturn]] void fail(const std::string &why) {
        throw FormatError("cannot parse the array header (" + why + "): " + printable(s_));
    }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    static bool is_digit(char c) { return c >= '0' && c <= '9'; }
    void skip_space() {
        while (pos_ < s_.size() && s_[pos_] != 0 && std::strchr(" \t\n\r\f", s_[pos_]) != nullptr) ++pos_;
    }
    void expect(char c) {
        skip_space();
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    std::string parse_string() {
        skip_space();
        const char quote = peek();
        if (quote != '\'' && quote != '"') fail("expected a quoted string");
        size_t end = pos_ + 1;
        while (end < s_.size() && s_[end] != quote) {
            if (s_[end] == '\\' || s_[end] == '\n' || s_[end] == '\r') fail("unsupported character in a string");
            ++end;
        }
        if (end == s_.size()) fail("unterminated string");
        std::string out = s_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end + 1;
        return out;
    }
    bool ends_word() const {
        const char c = peek();
        return !(is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_');
    }
    bool parse_bool() {
        for (bool value : {true, false}) {
            const char *word = value ? "True" : "False";
            const size_t n = std::strlen(word);
            if (s_.compare(pos_, n, word) == 0) {
                pos_ += n;
                if (!ends_word()) break;
                return value;
            }
        }
        fail("'fortran_order' is not True or False");
    }
    // A decimal integer as Python writes it: no sign, no leading zeros.
    int64_t parse_dimension() {
        if (!is_digit(peek())) fail("a dimension is not a non-negative integer");
        if (peek() == '0' && pos_ + 1 < s_.size() && is_digit(s_[pos_ + 1])) fail("a dimension has leading zeros");
        int64_t v = 0;
        while (is_digit(peek())) {
            if (v > (INT64_MAX - 9) / 10) fail("a dimension is too large");
            v = v * 10 + (s_[pos_++] - '0');
        }
        if (peek() == 'L' && long_suffix_) ++pos_;  // written by Python 2 versions of NumPy
        if (!ends_word()) fail("a dimension is not a non-negative integer");
        return v;
    }
    // "()", "(n,)" or "(n, m, ...)" with an optional trailing comma; "(n)" is an integer
    // in parentheses, not a tuple, and NumPy refuses it.
    std::vector<int64_t> parse_shape() {
        std::vector<int64_t> shape;
        expect('(');
        skip_space();
        bool comma = false;
        while (peek() != ')') {
            shape.push_back(parse_dimension());
            skip_space();
            comma = peek() == ',';
            if (comma) {
                ++pos_;
                skip_space();
            } else if (peek() != ')') {
                fail("expected ',' or ')' in the shape");
            }
        }
        ++pos_;
        if (shape.size() == 1 && !comma) fail("'shape' is not a tuple");
        return shape;
    }
};

// Parses a type string such as "<f4", "|O" or ">U12" into the header's kind, item size and
// byte order, refusing sizes NumPy refuses (or that would overflow).
void describe(Header &h) {
    const std::string &d = h.descr;
    auto unsupported = [&]() -> FormatError { return FormatError("unsupported dtype '" + printable(d) + "'"); };
    if (d.size() < 2) throw unsupported();
    const char order = d[0];
    if (order != '<' && order != '>' && order != '|' && order != '=') throw unsupported();
    h.kind = d[1];
    const std::string digits = d.substr(2);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        throw unsupported();
    const size_t n = digits.empty() ? 0 : size_t(std::stoul(digits));
    switch (h.kind) {
        case 'O':
            if (!digits.empty() && n != sizeof(void *)) throw unsupported();
            h.itemsize = sizeof(void *);
            break;
        case 'f':
            if (n != 2 && n != 4 && n != 8) throw unsupported();
            h.itemsize = n;
            break;
        case 'U':
            if (n == 0) throw unsupported();
            h.itemsize = n * 4;
            break;
        case 'b': case 'i': case 'u': case 'c': case 'S': case 'V':
            if (n == 0) throw unsupported();
            h.itemsize = n;
            break;
        default:
            throw unsupported();
    }
    // byte order matters for the numeric kinds and for the 4-byte characters of 'U'
    const bool little = native_little_endian();
    const bool ordered = h.kind == 'U' || ((h.kind == 'f' || h.kind == 'i' || h.kind == 'u') && h.itemsize > 1);
    h.swap = ordered && ((order == '>' && little) || (order == '<' && !little));
}

uint32_t little_u16(const unsigned char *p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t little_u32(const unsigned char *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

std::string truncated(uint64_t expected, uint64_t found) {
    return "the file is truncated (expected " + std::to_string(expected) + " data bytes, found " +
           std::to_string(found) + ")";
}

}  // namespace

int64_t Header::count() const {
    int64_t n = 1;
    for (int64_t d : shape) {
        if (d != 0 && n > INT64_MAX / d) throw FormatError("the array is too large");
        n *= d;
    }
    return n;
}

uint64_t Header::data_bytes() const {
    const uint64_t n = uint64_t(count());
    if (itemsize && n > UINT64_MAX / 2 / itemsize) throw FormatError("the array is too large");
    return n * itemsize;
}

File::File(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw_os_error(errno);
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        throw_os_error(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw FormatError(S_ISDIR(st.st_mode)  ? "a directory, not a file"
                          : S_ISFIFO(st.st_mode) ? "a pipe, not a regular file"
                                                 : "not a regular file");
    }
    size_ = uint64_t(st.st_size);
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

void File::read_at(uint64_t offset, void *dst, size_t bytes) {
    auto *out = static_cast<unsigned char *>(dst);
    size_t done = 0;
    while (done < bytes) {
        const size_t want = std::min<size_t>(bytes - done, size_t(1) << 30);
        const ssize_t got = ::pread(fd_, out + done, want, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_os_error(errno);
        }
        if (got == 0) throw FormatError(truncated(bytes, done));
        done += size_t(got);
    }
}

std::string File::read_rest(uint64_t offset) {
    std::string out;
    if (size_ <= offset) return out;
    out.resize(size_t(size_ - offset));
    read_at(offset, out.data(), out.size());
    return out;
}

bool File::has_magic() {
    if (size_ < kMagicSize) return false;
    char buf[kMagicSize];
    read_at(0, buf, kMagicSize);
    return std::memcmp(buf, kMagic, kMagicSize) == 0;
}

Header File::read_header() {
    if (!has_magic()) throw FormatError("not a .npy file (bad magic string)");
    unsigned char pre[12];
    if (size_ < 8) throw FormatError("the file is truncated (incomplete header)");
    read_at(0, pre, 8);
    const unsigned major = pre[6], minor = pre[7];
    if ((major != 1 && major != 2 && major != 3) || minor != 0)
        throw FormatError("unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor));
    const uint64_t start = major == 1 ? 10 : 12;
    if (size_ < start) throw FormatError("the file is truncated (incomplete header)");
    read_at(8, pre + 8, size_t(start - 8));
    const uint64_t header_len = major == 1 ? little_u16(pre + 8) : little_u32(pre + 8);
    if (header_len > kMaxHeaderSize)
        throw FormatError("the array header is " + std::to_string(header_len) + " bytes long, more than the " +
                          std::to_string(kMaxHeaderSize) + " NumPy reads from an untrusted file");
    if (size_ - start < header_len) throw FormatError("the file is truncated (incomplete header)");
    std::string text(size_t(header_len), '\0');
    read_at(start, text.data(), text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 || c == 0)
            throw FormatError("the array header holds the byte " + printable(std::string(1, char(c))) +
                              " at offset " + std::to_string(start + i) + ": " + printable(text));
    }
    Header h = HeaderParser(text, major <= 2).parse();
    describe(h);
    h.data_offset = start + header_len;
    return h;
}

uint64_t check_complete(const File &file, const Header &header) {
    const uint64_t bytes = header.data_bytes();
    const uint64_t found = file.size() > header.data_offset ? file.size() - header.data_offset : 0;
    if (found < bytes) throw FormatError(truncated(bytes, found));
    return bytes;
}

namespace {
template <typename T>
void transpose_rows(const unsigned char *in, unsigned char *out, int64_t R, int64_t C, int64_t rows) {
    const T *src = reinterpret_cast<const T *>(in);
    T *dst = reinterpret_cast<T *>(out);
    constexpr int64_t kTile = 64;
    for (int64_t c0 = 0; c0 < C; c0 += kTile) {
        const int64_t c1 = std::min(C, c0 + kTile);
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t c = c0; c < c1; ++c) dst[r * C + c] = src[c * R + r];
    }
}
}  // namespace

void read_leading_rows(File &file, const Header &header, int64_t rows, void *dst) {
    if (header.shape.size() != 2) throw FormatError("expected a two-dimensional array");
    const int64_t R = header.shape[0], C = header.shape[1];
    const size_t item = header.itemsize;
    if (rows < 0 || rows > R) throw FormatError("row count out of range");
    const size_t kept = size_t(rows) * size_t(C);
    const uint64_t all_bytes = check_complete(file, header);
    if (!header.fortran_order || C <= 1 || rows == 0) {
        // C order (a single column reads the same in both orders): the kept rows are a
        // prefix of the data, and nothing beyond them is read.
        file.read_at(header.data_offset, dst, kept * item);
    } else {
        // Fortran order: column c holds R consecutive elements; transpose the kept rows.
        std::unique_ptr<unsigned char[]> all(new unsigned char[size_t(all_bytes)]);
        file.read_at(header.data_offset, all.get(), all_bytes);
        auto *out = static_cast<unsigned char *>(dst);
        switch (item) {
            case 2: transpose_rows<uint16_t>(all.get(), out, R, C, rows); break;
            case 4: transpose_rows<uint32_t>(all.get(), out, R, C, rows); break;
            case 8: transpose_rows<uint64_t>(all.get(), out, R, C, rows); break;
            default:
                for (int64_t r = 0; r < rows; ++r)
                    for (int64_t c = 0; c < C; ++c)
                        std::memcpy(out + (size_t(r) * size_t(C) + size_t(c)) * item,
                                    all.get() + (size_t(c) * size_t(R) + size_t(r)) * item, item);
        }
    }
    if (header.swap) byteswap(dst, kept, item);
}

std::u32string read_unicode(File &file, const Header &header) {
    if (header.kind != 'U') throw FormatError("dtype '" + printable(header.descr) + "' is not a character array");
    if (header.shape.size() > 1) throw FormatError("a multi-dimensional array, not a sequence of characters");
    const uint64_t bytes = check_complete(file, header);
    const size_t width = header.itemsize / 4;
    std::vector<char32_t> raw(size_t(bytes / 4));
    file.read_at(header.data_offset, raw.data(), raw.size() * 4);
    if (header.swap) byteswap(raw.data(), raw.size(), 4);
    std::u32string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); i += width) {
        size_t len = width;
        while (len > 0 && raw[i + len - 1] == 0) --len;  // NumPy strips trailing NULs from each item
        for (size_t k = 0; k < len; ++k) {
            if (uint32_t(raw[i + k]) > 0x10FFFF)
                throw FormatError("character " + std::to_string(text.size()) + " has the code " +
                                  std::to_string(uint32_t(raw[i + k])) + ", beyond the last Unicode code point");
            text.push_back(raw[i + k]);
        }
    }
    return text;
}

void byteswap(void *data, size_t count, size_t itemsize) {
    auto *p = static_cast<unsigned char *>(data);
    for (size_t i = 0; i < count; ++i, p += itemsize)
        for (size_t a = 0, b = itemsize - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
}

float half_to_float(uint16_t h) {
    uint32_t sign = uint32_t(h & 0x8000u) << 16;
    uint32_t exp = (h >> 10) & 0x1fu;
    uint32_t mant = h & 0x3ffu;
    uint32_t bits;
    if (exp == 0) {
        if (mant == 0) {
            bits = sign;
        } else {  // subnormal: normalise
            int e = -1;
            do {
                ++e;
                mant <<= 1;
            } while ((mant & 0x400u) == 0);
            bits = sign | (uint32_t(127 - 15 - e) << 23) | ((mant & 0x3ffu) << 13);
        }
    } else if (exp == 0x1f) {
        bits = sign | 0x7f800000u | (mant << 13);
    } else {
        bits = sign | ((exp + 127 - 15) << 23) | (mant << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::string printable(const std::string &text, size_t limit) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= limit) {
            out += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace ql::npy
