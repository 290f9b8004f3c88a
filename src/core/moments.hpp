// Feature statistics: float16/32/64 rows read as float32, and per-row mean and variance
// accumulated block by block in double precision. Nothing here touches Python.
#pragma once

#include "npy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ql {

// A strided 2-D view of floating-point values; strides count elements.
struct FloatRows {
    const void *data = nullptr;
    int bits = 0;  // 16, 32 or 64
    int64_t rows = 0, cols = 0, row_stride = 0, col_stride = 0;
};

// Calls f(r, values) for every row r, with `values` the row's cols values as contiguous
// float32 (the row itself when it already is, otherwise a converted copy).
template <typename F>
void for_each_row(const FloatRows &v, F &&f) {
    std::vector<float> row(static_cast<size_t>(v.cols));
    for (int64_t r = 0; r < v.rows; ++r) {
        if (v.bits == 32 && v.col_stride == 1) {
            f(r, static_cast<const float *>(v.data) + r * v.row_stride);
            continue;
        }
        for (int64_t c = 0; c < v.cols; ++c) {
            const int64_t at = r * v.row_stride + c * v.col_stride;
            switch (v.bits) {
                case 16: row[size_t(c)] = npy::half_to_float(static_cast<const uint16_t *>(v.data)[at]); break;
                case 32: row[size_t(c)] = static_cast<const float *>(v.data)[at]; break;
                default: row[size_t(c)] = float(static_cast<const double *>(v.data)[at]);
            }
        }
        f(r, row.data());
    }
}

// Whether none of the n values is NaN or infinite (a branch-free test of the exponent bits,
// so the loop vectorises).
inline bool all_finite(const float *x, int64_t n) {
    uint32_t special = 0;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, x + i, sizeof bits);
        special |= uint32_t((bits & 0x7f800000u) == 0x7f800000u);
    }
    return special == 0;
}

// Mean and sum of squared deviations of n values in one pass, in double precision: the sums
// of d = x - x[0] and of d * d, each kept in two running totals (even and odd positions) so
// consecutive additions do not wait for each other. Shifting by a value of the data keeps
// the cancellation in m2 = sum(d * d) - sum(d)^2 / n small. Returns false, leaving mean and
// m2 unspecified, when a value is NaN or infinite: the sums are then NaN or infinite too,
// while finite float32 values cannot overflow them.
inline bool shifted_moments(const float *x, int64_t n, double &mean, double &m2) {
    if (n <= 0) {
        mean = m2 = 0.0;
        return true;
    }
    const double shift = double(x[0]);
    double s1[2] = {0.0, 0.0}, s2[2] = {0.0, 0.0};
    int64_t i = 0;
    for (; i + 1 < n; i += 2) {
        const double d0 = double(x[i]) - shift, d1 = double(x[i + 1]) - shift;
        s1[0] += d0;
        s1[1] += d1;
        s2[0] += d0 * d0;
        s2[1] += d1 * d1;
    }
    if (i < n) {
        const double d = double(x[i]) - shift;
        s1[0] += d;
        s2[0] += d * d;
    }
    const double sum = s1[0] + s1[1], squares = s2[0] + s2[1];
    if (!std::isfinite(sum) || !std::isfinite(squares)) return false;
    mean = shift + sum / double(n);
    m2 = std::max(0.0, squares - sum * sum / double(n));
    return true;
}

// Per-dimension mean and sum of squared deviations over all observations merged so far;
// merging a block's moments is exact for any block size (Chan, Golub and LeVeque).
class RunningMoments {
public:
    explicit RunningMoments(size_t dims) : mean_(dims, 0.0), m2_(dims, 0.0) {}

    // Adds a block of `n` observations with per-dimension `mean` and `m2`.
    void merge(double n, const double *mean, const double *m2) {
        if (n <= 0) return;
        const double total = count_ + n;
        for (size_t f = 0; f < mean_.size(); ++f) {
            const double delta = mean[f] - mean_[f];
            mean_[f] += delta * n / total;
            m2_[f] += m2[f] + delta * delta * count_ * n / total;
        }
        count_ = total;
    }

    double count() const { return count_; }
    double mean(size_t f) const { return mean_[f]; }
    double sample_variance(size_t f) const { return m2_[f] / (count_ - 1.0); }

private:
    double count_ = 0.0;
    std::vector<double> mean_, m2_;
};

}  // namespace ql
