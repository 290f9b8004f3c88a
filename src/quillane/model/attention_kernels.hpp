// Attention of a few new query positions over keys and values that the rows reach through an
// index, computed over raw float32 buffers (no Python, safe to run with the GIL released).
//
// Incremental decoding keeps the keys and values of every position once, in buffers laid out
// (position, column, heads, head_dim). A row reads position j from the column its history
// names, so beam hypotheses share the positions they have in common and reordering them never
// copies keys or values. Cross-attention rows read the memory (projected encoder output) of
// their utterance the same way, without a copy per hypothesis.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace attention_kernels {

// Queries and outputs: (rows, fresh, heads, dim), contiguous.
struct Queries {
    const float *q;
    float *out;
    long rows, fresh, heads, dim;
};

inline float dot(const float *a, const float *b, long dim) {
    float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // independent sums the compiler can vectorise
    long d = 0;
    for (; d + 8 <= dim; d += 8)
        for (int k = 0; k < 8; ++k) acc[k] += a[d + k] * b[d + k];
    float sum = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    for (; d < dim; ++d) sum += a[d] * b[d];
    return sum;
}

// Turns scores[0 .. count) into softmax weights in place; when every score is -inf (nothing
// to attend to) the weights are all 0 and the result false.
inline bool softmax(float *scores, long count) {
    float best = -std::numeric_limits<float>::infinity();
    for (long j = 0; j < count; ++j) best = std::max(best, scores[j]);
    if (best == -std::numeric_limits<float>::infinity()) {
        std::fill(scores, scores + count, 0.0f);
        return false;
    }
    float total = 0.0f;
    for (long j = 0; j < count; ++j) total += scores[j] = std::exp(scores[j] - best);
    for (long j = 0; j < count; ++j) scores[j] /= total;
    return true;
}

// Causal self-attention: query i of a row sits at position length + i and sees positions
// 0 .. length + i. keys, values: (capacity, columns, heads, dim); history[n * row_stride +
// j * position_stride]: the column holding position j of row n, or null for "row r is column r".
// Positions are the outer loop: all rows read position j from the same slab of the buffer
// (columns x heads x dim), and rows that share a column (beams with a common prefix) read the
// same memory while it is hot.
inline void attend_history(const Queries &Q, const float *keys, const float *values, long columns,
                           const int64_t *history, long row_stride, long position_stride, long length) {
    const float scale = 1.0f / std::sqrt((float)Q.dim);
    const long span = length + Q.fresh, width = Q.heads * Q.dim, queries = Q.rows * Q.fresh;
    auto column = [&](long n, long j) { return history ? (long)history[n * row_stride + j * position_stride] : n; };
    // weights (query, head, position); query q = n * fresh + i sees positions j <= length + i
    std::vector<float> weights((size_t)(queries * Q.heads * span));
    for (long j = 0; j < span; ++j) {
        const float *slab = keys + j * columns * width;
        for (long n = 0; n < Q.rows; ++n) {
            const float *k = slab + column(n, j) * width;
            for (long i = std::max<long>(0, j - length); i < Q.fresh; ++i) {
                const float *q = Q.q + (n * Q.fresh + i) * width;
                float *w = weights.data() + (n * Q.fresh + i) * Q.heads * span + j;
                for (long h = 0; h < Q.heads; ++h) w[h * span] = dot(q + h * Q.dim, k + h * Q.dim, Q.dim) * scale;
            }
        }
    }
    for (long q = 0; q < queries; ++q)
        for (long h = 0; h < Q.heads; ++h) softmax(weights.data() + (q * Q.heads + h) * span, length + q % Q.fresh + 1);
    std::fill(Q.out, Q.out + queries * width, 0.0f);
    for (long j = 0; j < span; ++j) {
        const float *slab = values + j * columns * width;
        for (long n = 0; n < Q.rows; ++n) {
            const float *v = slab + column(n, j) * width;
            for (long i = std::max<long>(0, j - length); i < Q.fresh; ++i) {
                const float *w = weights.data() + (n * Q.fresh + i) * Q.heads * span + j;
                float *out = Q.out + (n * Q.fresh + i) * width;
                for (long h = 0; h < Q.heads; ++h) {
                    float weight = w[h * span];
                    for (long d = 0; d < Q.dim; ++d) out[h * Q.dim + d] += weight * v[h * Q.dim + d];
                }
            }
        }
    }
}

// Attention over memory: keys, values (utterances, heads, frames, dim); utterance (rows,) the
// memory row of each row (null: row r reads memory row r); padding (utterances, frames), true
// at padded frames, or null.
inline void attend_memory(const Queries &Q, const float *keys, const float *values, long frames,
                          const int64_t *utterance, const bool *padding) {
    const float scale = 1.0f / std::sqrt((float)Q.dim);
    std::vector<float> scores((size_t)frames);
    for (long n = 0; n < Q.rows; ++n) {
        long u = utterance ? (long)utterance[n] : n;
        const bool *pad = padding ? padding + u * frames : nullptr;
        for (long i = 0; i < Q.fresh; ++i) {
            for (long h = 0; h < Q.heads; ++h) {
                const float *q = Q.q + ((n * Q.fresh + i) * Q.heads + h) * Q.dim;
                const float *k = keys + (u * Q.heads + h) * frames * Q.dim;
                const float *v = values + (u * Q.heads + h) * frames * Q.dim;
                for (long s = 0; s < frames; ++s)
                    scores[(size_t)s] = pad && pad[s] ? -std::numeric_limits<float>::infinity()
                                                      : dot(q, k + s * Q.dim, Q.dim) * scale;
                float *out = Q.out + ((n * Q.fresh + i) * Q.heads + h) * Q.dim;
                std::fill(out, out + Q.dim, 0.0f);
                if (!softmax(scores.data(), frames)) continue;
                for (long s = 0; s < frames; ++s)
                    for (long d = 0; d < Q.dim; ++d) out[d] += scores[(size_t)s] * v[s * Q.dim + d];
            }
        }
    }
}

}  // namespace attention_kernels
