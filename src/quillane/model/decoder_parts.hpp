// Pieces of the Transformer decoders shared by the models (transformers) and their
// incremental scorer (incremental).
#pragma once

#include "core.hpp"
#include "pyops.hpp"

#include <algorithm>
#include <string>

namespace transformer {
namespace nb = nanobind;

// A (batch, length) tensor of token ids with at least one token per row; `name` goes into the error.
inline void check_tokens(nb::handle tokens, const char *name, nb::handle torch) {
    if (!ql::is_instance(tokens, torch.attr("Tensor")) || ql::as_long(tokens.attr("dim")()) != 2)
        ql::raise_value_error(std::string(name) + " must be a (batch, length) tensor of token ids");
    if (ql::as_long(tokens.attr("size")(1)) < 1) ql::raise_value_error(std::string(name) + " must hold at least one token");
}

// The first `count` entries of a ModuleList (all of them when count exceeds its size).
inline size_t active_count(nb::handle layers, nb::handle count) {
    long n = (long)ql::as_long(count), size = (long)nb::len(layers);
    if (n < 0) ql::raise_value_error("the number of active layers cannot be negative, got " + std::to_string(n));
    return (size_t)std::min(n, size);
}

// Hypotheses per utterance when `rows` token rows are decoded against `batch` encoded utterances:
// rows b * k .. b * k + k - 1 belong to utterance b (beam search).
inline long rows_per_utterance(long rows, long batch) {
    if (batch == 0 || rows % batch != 0)
        ql::raise_value_error("x has " + std::to_string(rows) + " rows, which is not a multiple of the " +
                          std::to_string(batch) + " encoded utterances");
    return rows / batch;
}

// The codes of positions first .. first + count - 1 of a PositionalEncoding, shape (1, count, d_model).
inline nb::object position_codes(nb::handle encoding, long first, long count) {
    long max_len = (long)ql::as_long(encoding.attr(QL_ID("max_len")));
    if (first + count > max_len)
        ql::raise_value_error("sequence of length " + std::to_string(first + count) +
                          " is longer than the positional encoding's max_len of " + std::to_string(max_len));
    return encoding.attr(QL_ID("pe")).attr("narrow")(1, first, count);
}

// A model's token embedding scaled by sqrt(d_model).
inline nb::object scaled_embedding(nb::handle model, nb::handle tokens) {
    return model.attr(QL_ID("target_embedding"))(tokens) * model.attr(QL_ID("embedding_scale"));
}

}  // namespace transformer
