// Collation of speech samples into padded batches: features transposed to time-major and
// padded with 0.0, transcripts padded with the pad id, then frequency and time masks on
// training partitions. Padding and masking work on the raw buffers of torch-allocated
// tensors; inputs of other types or layouts go through torch's own functions.
#pragma once

#include "quenmark_masking.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

namespace quenmark {

// The library's own masking classes, whose masks the batch path can draw in place.
inline nb::handle own_time_masking, own_freq_masking;

inline nb::object lengths_tensor(const std::vector<int64_t> &lengths) {
    nb::object out = empty({Py_ssize_t(lengths.size())}, "int64");
    if (!lengths.empty()) std::memcpy(data_ptr(out), lengths.data(), lengths.size() * sizeof(int64_t));
    return out;
}

// Features (num_feats, frames_b) as (B, T_max, num_feats) padded with 0.0, and the frame
// counts.
inline std::pair<nb::object, nb::object> pad_features(const std::vector<nb::object> &feats) {
    const size_t B = feats.size();
    std::vector<ql::FloatRows> views(B);
    std::vector<int64_t> frames(B);
    bool fast = B > 0;
    for (size_t b = 0; b < B && fast; ++b)
        fast = is_tensor(feats[b]) && float_view(feats[b], views[b]) && views[b].bits == 32 &&
               views[b].rows == views[0].rows;
    if (!fast) {
        nb::list transposed;
        for (size_t b = 0; b < B; ++b) {
            nb::object t = feats[b].attr("transpose")(0, 1);
            frames[b] = nb::cast<int64_t>(t.attr("shape")[0]);
            transposed.append(t);
        }
        nb::object lengths = lengths_tensor(frames);
        return {globals["pad_sequence"](transposed, nb::arg("batch_first") = true, nb::arg("padding_value") = 0.0),
                lengths};
    }
    const int64_t F = views[0].rows;
    int64_t T = 0;
    for (size_t b = 0; b < B; ++b) T = std::max(T, frames[b] = views[b].cols);
    nb::object padded = empty({Py_ssize_t(B), Py_ssize_t(T), Py_ssize_t(F)}, "float32");
    float *out = static_cast<float *>(data_ptr(padded));
    {
        nb::gil_scoped_release release;
        constexpr int64_t kTile = 64;
        for (size_t b = 0; b < B; ++b) {
            const ql::FloatRows &v = views[b];
            const float *in = static_cast<const float *>(v.data);
            float *o = out + int64_t(b) * T * F;
            for (int64_t t0 = 0; t0 < v.cols; t0 += kTile) {
                const int64_t t1 = std::min(v.cols, t0 + kTile);
                for (int64_t f = 0; f < F; ++f) {
                    const float *src = in + f * v.row_stride;
                    for (int64_t t = t0; t < t1; ++t) o[t * F + f] = src[t * v.col_stride];
                }
            }
            std::memset(o + v.cols * F, 0, size_t((T - v.cols) * F) * sizeof(float));
        }
    }
    return {padded, lengths_tensor(frames)};
}

// Pads 1-D int64 tensors into (B, L_max) filled with `pad`; an invalid object when a
// sequence is not a CPU int64 vector or the pad is no C integer (pad_sequence then does it).
inline nb::object pad_int_sequences(const std::vector<nb::object> &seqs, nb::handle pad) {
    const size_t B = seqs.size();
    if (B == 0) return nb::object();
    std::vector<const int64_t *> data(B);
    std::vector<int64_t> len(B), stride(B);
    int64_t L = 0;
    for (size_t b = 0; b < B; ++b) {
        if (!is_tensor(seqs[b]) || !vector_view<int64_t>(seqs[b], data[b], len[b], stride[b])) return nb::object();
        L = std::max(L, len[b]);
    }
    const long long pad_value = PyLong_AsLongLong(pad.ptr());
    if (pad_value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object out = empty({Py_ssize_t(B), Py_ssize_t(L)}, "int64");
    int64_t *o = static_cast<int64_t *>(data_ptr(out));
    for (size_t b = 0; b < B; ++b) {
        int64_t *row = o + int64_t(b) * L;
        for (int64_t i = 0; i < len[b]; ++i) row[i] = data[b][i * stride[b]];
        std::fill(row + len[b], row + L, int64_t(pad_value));
    }
    return out;
}

inline nb::object pad_tokens(const std::vector<nb::object> &seqs, nb::handle pad) {
    nb::object padded = pad_int_sequences(seqs, pad);
    if (padded.is_valid()) return padded;
    nb::list l;
    for (const auto &s : seqs) l.append(s);
    return globals["pad_sequence"](l, nb::arg("batch_first") = true, nb::arg("padding_value") = pad);
}

// (padded_shifted, padded_golden, transcript_lengths) from elements 1 and 2 of the samples.
inline std::tuple<nb::object, nb::object, nb::object> pad_transcripts(nb::handle samples, nb::handle pad) {
    const size_t B = nb::len(samples);
    std::vector<nb::object> shifted(B), golden(B);
    std::vector<int64_t> lengths(B);
    for (size_t b = 0; b < B; ++b) {
        nb::object sample = samples[b];
        shifted[b] = sample[1];
        golden[b] = sample[2];
        lengths[b] = int64_t(nb::len(shifted[b]));
    }
    nb::object transcript_lengths = lengths_tensor(lengths);
    return {pad_tokens(shifted, pad), pad_tokens(golden, pad), transcript_lengths};
}

// Frequency masks, then time masks, on the (B, T, F) batch, as many of each as the
// augmentation settings say. The dataset's own iid transforms mask the buffer in place;
// any other transform is called on the (B, F, T) permutation.
inline nb::object apply_masks(nb::handle self, nb::handle conf, nb::object padded) {
    struct Pass {
        const char *apply, *count, *attr;
        bool time;
        nb::handle own;
    } passes[2] = {{"apply_freq_mask", "num_freq_mask", "freq_mask", false, own_freq_masking},
                   {"apply_time_mask", "num_time_mask", "time_mask", true, own_time_masking}};
    for (const Pass &pass : passes) {
        if (!ql::truthy(conf[pass.apply])) continue;
        const size_t n = nb::len(range(conf[pass.count]));
        nb::object transform = self.attr(pass.attr);
        for (size_t k = 0; k < n; ++k) {
            nb::ndarray<float, nb::device::cpu, nb::c_contig> buf;
            const bool own = Py_TYPE(transform.ptr()) == (PyTypeObject *)pass.own.ptr() &&
                             ql::truthy(transform.attr(QL_ID("iid_masks"))) && nb::try_cast(padded, buf, false) &&
                             buf.ndim() == 3;
            if (!own) PyErr_Clear();
            if (own) {
                mask_buffer(transform, pass.time, buf.data(), int64_t(buf.shape(0)), int64_t(buf.shape(1)),
                            int64_t(buf.shape(2)));
            } else {
                nb::object spec = transform(padded.attr("permute")(0, 2, 1));
                padded = spec.attr("permute")(0, 2, 1);
            }
        }
    }
    return padded;
}

inline const char *const kCollateSig = "collate_fn(self, batch)";
inline const char *const kCollateDoc =
    R"doc(Pads a list of samples into (padded_feats (B, T, num_feats), padded_shifted (B, L),
padded_golden (B, L), feat_lengths (B,), transcript_lengths (B,)), masking
frequency bands and then time bands on training partitions when config['specaug'].)doc";

inline nb::object dataset_collate(const ql::Args &a) {
    nb::handle self = a.self();
    nb::list samples = nb::steal<nb::list>(ql::check(PySequence_List(a["batch"].ptr())));
    std::vector<nb::object> feats;
    for (nb::handle sample : samples) feats.push_back(sample[0]);
    auto [padded_feats, feat_lengths] = pad_features(feats);

    nb::object padded_shifted = nb::none(), padded_golden = nb::none(), transcript_lengths = nb::none();
    if (!is_test_clean(self.attr(QL_ID("partition"))))
        std::tie(padded_shifted, padded_golden, transcript_lengths) =
            pad_transcripts(samples, self.attr(QL_ID("pad_token")));

    nb::object config = self.attr(QL_ID("config"));
    if (ql::truthy(config["specaug"]) && ql::truthy(self.attr(QL_ID("isTrainPartition"))))
        padded_feats = apply_masks(self, config["specaug_conf"], padded_feats);
    return nb::make_tuple(padded_feats, padded_shifted, padded_golden, feat_lengths, transcript_lengths);
}

}  // namespace quenmark
