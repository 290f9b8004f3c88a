// Recognition of one batch of speech features, shared by the ASR trainer's recognize and by the
// inference Recognizer, so a trained model decodes the same way in both: encode the batch, score
// with the decoder (incremental), the fusion language model and the CTC head as the recognition
// configuration asks, and search greedily or with a beam from the start id.
#pragma once

#include "core.hpp"
#include "pyops.hpp"

#include <utility>

namespace recognition {
namespace nb = nanobind;

// A beam width that would silently decode greedily (0, negative) or fail late is refused before
// decoding starts; a missing one stays the KeyError of the first batch.
inline void check_beam_width(nb::handle config) {
    if (!ql::contains(config, nb::str("beam_width"))) return;
    nb::object width = config["beam_width"];
    if (!PyLong_Check(width.ptr()) || PyBool_Check(width.ptr()) || ql::as_long(width) < 1)
        ql::raise_value_error("recognition_config['beam_width'] must be a positive integer (1 for greedy search), got " +
                              ql::repr(width));
}

// (seqs, scores) of one batch: beam 0 of a beam search, or greedy search.
inline std::pair<nb::object, nb::object> search(nb::handle generator, nb::handle prompts, nb::handle config) {
    nb::object all = ql::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    nb::object beam_width = config["beam_width"];
    nb::object temperature = ql::get(config, "temperature", ql::py_float(1.0));
    if (beam_width > ql::py_int(1)) {
        auto [seqs, scores] = ql::unpack<2>(generator.attr("generate_beam")(
            prompts, nb::arg("beam_width") = beam_width, nb::arg("temperature") = temperature,
            nb::arg("repeat_penalty") = ql::get(config, "repeat_penalty", ql::py_float(1.0))));
        return {seqs[nb::make_tuple(all, 0, all)], scores[nb::make_tuple(all, 0)]};
    }
    auto [seqs, scores] = ql::unpack<2>(generator.attr("generate_greedy")(prompts, nb::arg("temperature") = temperature));
    return {seqs, scores};
}

// What decodes a batch: the module's torch and FusedScorer (looked up by the caller at call
// time), the model, its tokenizer, the generator and the device.
struct Decoder {
    nb::handle torch, fused_scorer, model, tokenizer, generator, device;
};

// (seqs, scores) of a batch of features (B, T, F) with their frame counts, both on the device.
// The generator's score function holds the encoder output only while the batch decodes.
inline std::pair<nb::object, nb::object> decode_batch(const Decoder &d, nb::handle feats, nb::handle feat_lengths,
                                                      nb::handle config) {
    auto [encoder_output, pad_mask_src, attention, ctc] = ql::unpack<4>(d.model.attr("encode")(feats, feat_lengths));
    // the decoder (incremental), the fusion LM and, with ctc_weight > 0, the CTC prefix scores
    d.generator.attr("score_fn") = d.fused_scorer(d.model, encoder_output, pad_mask_src, config, ctc,
                                                  d.tokenizer.attr("pad_id"), d.tokenizer.attr("eos_id"));
    nb::object prompts = d.torch.attr("full")(nb::make_tuple(feats.attr("size")(0), 1), d.tokenizer.attr("sos_id"),
                                              nb::arg("dtype") = d.torch.attr("long"), nb::arg("device") = d.device);
    auto result = search(d.generator, prompts, config);
    d.generator.attr("score_fn") = nb::none();
    return result;
}

// The text of a row of token ids, without pad, start and end ids.
inline nb::object text_of(nb::handle tokenizer, nb::handle ids) {
    return tokenizer.attr("decode")(ids.attr("tolist")(), nb::arg("skip_special_tokens") = true);
}

}  // namespace recognition
