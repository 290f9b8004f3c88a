#include "npy.hpp"

#include <cerrno>
#include <algorithm>
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

// A minimal reader for the Python-literal dictionary of a .npy header, e.g.
//   {'descr': '<f4', 'fortran_order': False, 'shape': (80, 300), }
class HeaderParser {
public:
    explicit HeaderParser(const std::string &text) : s_(text) {}

    Header parse() {
        Header h;
        bool have_descr = false, have_order = false, have_shape = false;
        expect('{');
        while (true) {
            skip_space();
            if (peek() == '}') break;
            std::string key = parse_string();
            expect(':');
            skip_space();
            if (key == "descr") {
                if (peek() != '\'' && peek() != '"')
                    throw FormatError("structured dtypes are not supported");
                h.descr = parse_string();
                have_descr = true;
            } else if (key == "fortran_order") {
                h.fortran_order = parse_bool();
                have_order = true;
            } else if (key == "shape") {
                h.shape = parse_shape();
                have_shape = true;
            } else {
                throw FormatError("unexpected key '" + key + "' in the array header");
            }
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            skip_space();
            if (peek() != '}') fail();
        }
        if (!have_descr || !have_order || !have_shape)
            throw FormatError("the array header lacks 'descr', 'fortran_order' or 'shape'");
        return h;
    }

private:
    const std::string &s_;
    size_t pos_ = 0;

    [[noreturn]] void fail() { throw FormatError("cannot parse the array header: " + s_); }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    void skip_space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
    }
    void expect(char c) {
        skip_space();
        if (peek() != c) fail();
        ++pos_;
    }
    std::string parse_string() {
        skip_space();
        char quote = peek();
        if (quote != '\'' && quote != '"') fail();
        size_t end = s_.find(quote, pos_ + 1);
        if (end == std::string::npos) fail();
        std::string out = s_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end + 1;
        return out;
    }
    bool parse_bool() {
        if (s_.compare(pos_, 4, "True") == 0) {
            pos_ += 4;
            return true;
        }
        if (s_.compare(pos_, 5, "False") == 0) {
            pos_ += 5;
            return false;
        }
        fail();
    }
    std::vector<int64_t> parse_shape() {
        std::vector<int64_t> shape;
        expect('(');
        while (true) {
            skip_space();
            if (peek() == ')') {
                ++pos_;
                break;
            }
            if (peek() < '0' || peek() > '9') fail();
            int64_t v = 0;
            while (peek() >= '0' && peek() <= '9') {
                if (v > (INT64_MAX - 9) / 10) fail();
                v = v * 10 + (s_[pos_++] - '0');
            }
            if (peek() == 'L') ++pos_;  // written by very old NumPy versions
            shape.push_back(v);
            skip_space();
            if (peek() == ',') ++pos_;
            else if (peek() != ')') fail();
        }
        return shape;
    }
};

void describe(Header &h) {
    const std::string &d = h.descr;
    if (d.size() < 2) throw FormatError("unsupported dtype '" + d + "'");
    char order = d[0];
    if (order != '<' && order != '>' && order != '|' && order != '=')
        throw FormatError("unsupported dtype '" + d + "'");
    h.kind = d[1];
    size_t n = 0;
    size_t i = 2;
    for (; i < d.size() && d[i] >= '0' && d[i] <= '9'; ++i) n = n * 10 + size_t(d[i] - '0');
    if (h.kind == 'O') {
        n = sizeof(void *);
    } else {
        if (i != d.size() || n == 0) throw FormatError("unsupported dtype '" + d + "'");
        if (h.kind == 'U') n *= 4;
    }
    h.itemsize = n;
    bool little = native_little_endian();
    h.swap = h.itemsize > 1 && ((order == '>' && little) || (order == '<' && !little));
}

uint32_t little_u16(const unsigned char *p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t little_u32(const unsigned char *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
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

File::File(const std::string &path) : path_(path) {
    fp_ = std::fopen(path.c_str(), "rb");
    if (!fp_) throw OsError(errno, std::strerror(errno));
}

File::~File() {
    if (fp_) std::fclose(fp_);
}

uint64_t File::size() {
    if (std::fseek(fp_, 0, SEEK_END) != 0) throw OsError(errno, std::strerror(errno));
    long end = std::ftell(fp_);
    if (end < 0) throw OsError(errno, std::strerror(errno));
    return uint64_t(end);
}

void File::read_at(uint64_t offset, void *dst, size_t bytes) {
    if (std::fseek(fp_, long(offset), SEEK_SET) != 0) throw OsError(errno, std::strerror(errno));
    size_t got = std::fread(dst, 1, bytes, fp_);
    if (got != bytes) {
        if (std::ferror(fp_)) throw OsError(errno ? errno : EIO, std::strerror(errno ? errno : EIO));
        throw FormatError("the file is truncated (expected " + std::to_string(bytes) + " data bytes, found " +
                          std::to_string(got) + ")");
    }
}

std::string File::read_rest(uint64_t offset) {
    uint64_t total = size();
    std::string out;
    if (total <= offset) return out;
    out.resize(size_t(total - offset));
    read_at(offset, out.data(), out.size());
    return out;
}

bool File::has_magic() {
    char buf[kMagicSize];
    if (std::fseek(fp_, 0, SEEK_SET) != 0) throw OsError(errno, std::strerror(errno));
    size_t got = std::fread(buf, 1, kMagicSize, fp_);
    if (got != kMagicSize && std::ferror(fp_)) throw OsError(errno ? errno : EIO, std::strerror(errno ? errno : EIO));
    return got == kMagicSize && std::memcmp(buf, kMagic, kMagicSize) == 0;
}

Header File::read_header() {
    unsigned char pre[12];
    if (!has_magic()) throw FormatError("not a .npy file (bad magic string)");
    size_t got = std::fread(pre + kMagicSize, 1, 2, fp_);
    if (got != 2) throw FormatError("the file is truncated (incomplete header)");
    unsigned major = pre[6];
    uint64_t header_len, start;
    if (major == 1) {
        if (std::fread(pre + 8, 1, 2, fp_) != 2) throw FormatError("the file is truncated (incomplete header)");
        header_len = little_u16(pre + 8);
        start = 10;
    } else if (major == 2 || major == 3) {
        if (std::fread(pre + 8, 1, 4, fp_) != 4) throw FormatError("the file is truncated (incomplete header)");
        header_len = little_u32(pre + 8);
        start = 12;
    } else {
        throw FormatError("unsupported .npy format version " + std::to_string(major));
    }
    if (header_len > (uint64_t(1) << 24)) throw FormatError("the array header is implausibly long");
    std::string text(size_t(header_len), '\0');
    if (std::fread(text.data(), 1, text.size(), fp_) != text.size())
        throw FormatError("the file is truncated (incomplete header)");
    Header h = HeaderParser(text).parse();
    describe(h);
    h.data_offset = start + header_len;
    return h;
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

uint64_t check_complete(File &file, const Header &header) {
    const uint64_t count = uint64_t(header.count());
    if (header.itemsize && count > UINT64_MAX / 2 / header.itemsize) throw FormatError("the array is too large");
    const uint64_t bytes = count * header.itemsize;
    const uint64_t found = file.size();
    if (found < header.data_offset || found - header.data_offset < bytes)
        throw FormatError("the file is truncated (expected " + std::to_string(bytes) + " data bytes, found " +
                          std::to_string(found > header.data_offset ? found - header.data_offset : 0) + ")");
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

}  // namespace ql::npy
