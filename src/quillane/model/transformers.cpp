// The two Transformer models built from the layer modules:
//
//  * EncoderDecoderTransformer - speech recogniser: speech front-end -> positional encoding
//    -> encoder layers -> LayerNorm, with a CTC head on the encoder output; token embedding
//    -> positional encoding -> cross-attention decoder layers -> LayerNorm -> vocabulary.
//  * DecoderOnlyTransformer    - language model: token embedding -> positional encoding ->
//    causal self-attention decoder layers -> LayerNorm -> vocabulary.
//
// Padding: every key-padding mask is built from lengths raised to at least 1, so a row whose
// length is 0 (all padding) still has one key to attend to and yields finite values instead
// of NaN. Valid positions never see padded ones: encoder keys are masked and decoder queries
// only reach earlier (valid) positions through the causal mask.
//
// Decoding: `score` runs the decoder over whole prefixes. `scorer` hands out a
// TransformerScorer, which decodes incrementally instead: per decoder layer it keeps the
// self-attention keys and values of the positions already seen, projects the encoder output
// for cross-attention once per utterance, and computes only the newest position at each step.
// It follows the generator's scorer protocol (see quillane.decoding.sequence_generator).
#include "core.hpp"
#include "pyops.hpp"
#include "globals.hpp"

#include "decoder_parts.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace {
namespace nb = nanobind;
using ql::as_long;

ql::ModuleGlobals globals;

// Checks a model's constructor arguments: the named sizes at least 1, dropout in [0, 1), and
// d_model divisible by num_heads.
void check_model_args(const ql::Args &a, std::initializer_list<const char *> sizes) {
    for (const char *name : sizes)
        if (a.to_int(name) < 1)
            ql::raise_value_error(std::string(name) + " must be at least 1, got " + ql::str(a[name]));
    double p = a.to_double("dropout");
    if (!(p >= 0.0 && p < 1.0)) ql::raise_value_error("dropout must lie in [0, 1), got " + std::to_string(p));
    long long d_model = a.to_int("d_model"), num_heads = a.to_int("num_heads");
    if (d_model % num_heads != 0)
        ql::raise_value_error("d_model (" + std::to_string(d_model) + ") must be divisible by num_heads (" +
                              std::to_string(num_heads) + ")");
}

bool is_tensor(nb::handle h) { return ql::is_instance(h, globals["torch"].attr("Tensor")); }

// The constructor's arguments by parameter name, kept on the model as `init_args`: with the
// class, they rebuild the same architecture (an experiment records them for inference).
nb::dict constructor_args(const ql::Args &a, std::initializer_list<const char *> names) {
    nb::dict args;
    for (const char *name : names) args[name] = a[name];
    return args;
}

void module_init(nb::handle self) { globals["nn"].attr("Module").attr("__init__")(self); }

// ---------------------------------------------------------------------------
// Positional encoding
// ---------------------------------------------------------------------------

// Token embedding initialised with std d_model^-1/2: scaled by sqrt(d_model) on the way in, the
// tokens then carry unit-size values next to the unit-size position codes. With the library
// default N(0, 1) the positions drown and small models learn word shapes very slowly.
nb::object token_embedding(nb::handle num_classes, nb::handle d_model) {
    nb::object nn = globals["nn"];
    nb::object embedding = nn.attr("Embedding")(num_classes, d_model);
    double std = 1.0 / std::sqrt(nb::cast<double>(d_model));
    nn.attr("init").attr("normal_")(embedding.attr("weight"), 0.0, std);
    return embedding;
}

const char *const kPositionalInitSig = "__init__(self, d_model: int, max_len: int)";

nb::object pe_init(const ql::Args &a) {
    nb::handle self = a.self();
    long d_model = (long)a.to_int("d_model"), max_len = (long)a.to_int("max_len");
    if (d_model < 1 || max_len < 1) ql::raise_value_error("d_model and max_len must be at least 1");
    module_init(self);
    nb::object torch = globals["torch"];
    nb::object pe = torch.attr("empty")(nb::make_tuple(max_len, d_model), nb::arg("dtype") = torch.attr("float32"));
    float *data = reinterpret_cast<float *>(nb::cast<uintptr_t>(pe.attr("data_ptr")()));
    {
        nb::gil_scoped_release release;
        for (long i = 0; i < d_model; ++i) {
            // even channels carry sin, odd channels cos, of the same frequency as their even neighbour
            double freq = std::exp(-std::log(10000.0) * double(i - (i % 2)) / double(d_model));
            for (long pos = 0; pos < max_len; ++pos) {
                double angle = double(pos) * freq;
                data[pos * d_model + i] = float(i % 2 == 0 ? std::sin(angle) : std::cos(angle));
            }
        }
    }
    self.attr("d_model") = d_model;
    self.attr("max_len") = max_len;
    // derived from the sizes alone, so it is rebuilt rather than stored in checkpoints
    self.attr("register_buffer")("pe", pe.attr("unsqueeze")(0), nb::arg("persistent") = false);
    return nb::none();
}

const char *const kPositionalForwardSig = "forward(self, x)";

nb::object pe_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    return x + transformer::position_codes(self, 0, as_long(x.attr("size")(1)));
}

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------

// Lengths as a long tensor clamped to [0, max_length].
nb::object clamp_lengths(nb::handle lengths, long max_length) {
    return lengths.attr("long")().attr("clamp")(0, max_length);
}

// Padding mask of x (N, T, ...) that leaves at least one key per row.
nb::object safe_pad_mask(nb::handle x, nb::handle lengths) {
    return globals["PadMask"](x, lengths.attr("clamp")(nb::arg("min") = 1));
}

// Embedded tokens plus positions, through the model's dropout.
nb::object embed_tokens(nb::handle self, nb::handle tokens) {
    nb::object emb = transformer::scaled_embedding(self, tokens);
    return self.attr(QL_ID("dropout"))(self.attr(QL_ID("positional_encoding"))(emb));
}

std::string layer_key(size_t i, const char *kind) { return "layer" + std::to_string(i + 1) + "_" + kind; }

void check_tokens(nb::handle tokens, const char *name) { transformer::check_tokens(tokens, name, globals["torch"]); }

// ---------------------------------------------------------------------------
// Encoder-decoder model
// ---------------------------------------------------------------------------

const char *const kEncoderDecoderInitSig =
    "__init__(self, input_dim: int, num_classes: int, *, d_model: int = 256, num_heads: int = 4, "
    "d_ff: int = 1024, num_encoder_layers: int = 4, num_decoder_layers: int = 4, "
    "dropout: float = 0.1, max_len: int = 1024, time_reduction: int = 4, "
    "reduction_method: str = 'conv')";

nb::object ed_init(const ql::Args &a) {
    nb::handle self = a.self();
    check_model_args(a, {"input_dim", "num_classes", "d_model", "num_heads", "d_ff", "num_encoder_layers",
                         "num_decoder_layers", "max_len", "time_reduction"});
    module_init(self);
    nb::object nn = globals["nn"];
    nb::handle d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"], dropout = a["dropout"];

    self.attr("init_args") =
        constructor_args(a, {"input_dim", "num_classes", "d_model", "num_heads", "d_ff", "num_encoder_layers",
                             "num_decoder_layers", "dropout", "max_len", "time_reduction", "reduction_method"});
    self.attr("num_classes") = a["num_classes"];
    self.attr("d_model") = d_model;
    self.attr("max_len") = a["max_len"];
    self.attr("embedding_scale") = std::sqrt(a.to_double("d_model"));
    self.attr("source_embedding") =
        globals["SpeechEmbedding"](a["input_dim"], d_model, a["time_reduction"], a["reduction_method"], dropout);
    self.attr("positional_encoding") = globals["PositionalEncoding"](d_model, a["max_len"]);
    nb::list enc, dec;
    for (long long i = 0; i < a.to_int("num_encoder_layers"); ++i)
        enc.append(globals["SelfAttentionEncoderLayer"](d_model, num_heads, d_ff, dropout));
    for (long long i = 0; i < a.to_int("num_decoder_layers"); ++i)
        dec.append(globals["CrossAttentionDecoderLayer"](d_model, num_heads, d_ff, dropout));
    self.attr("enc_layers") = nn.attr("ModuleList")(enc);
    self.attr("encoder_norm") = nn.attr("LayerNorm")(d_model);
    self.attr("ctc_head") =
        nn.attr("Sequential")(nn.attr("Linear")(d_model, a["num_classes"]), nn.attr("LogSoftmax")(nb::arg("dim") = -1));
    self.attr("target_embedding") = token_embedding(a["num_classes"], d_model);
    self.attr("dec_layers") = nn.attr("ModuleList")(dec);
    self.attr("decoder_norm") = nn.attr("LayerNorm")(d_model);
    self.attr("final_linear") = nn.attr("Linear")(d_model, a["num_classes"]);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    self.attr("num_orlesque") = a["num_encoder_layers"];
    self.attr("num_tremmoth") = a["num_decoder_layers"];
    return nb::none();
}

const char *const kEncodeSig = "encode(self, feats, feat_lengths=None)";

// (encoder output, padding mask, attention dict, CTC inputs)
nb::object ed_encode(const ql::Args &a) {
    nb::handle self = a.self(), feats = a["feats"];
    if (!is_tensor(feats) || as_long(feats.attr("dim")()) != 3)
        ql::raise_value_error("feats must be a (batch, frames, features) tensor");
    long frames = as_long(feats.attr("size")(1));
    nb::object torch = globals["torch"];
    nb::object feat_lengths = a.is_none("feat_lengths")
        ? torch.attr("full")(nb::make_tuple(feats.attr("size")(0)), frames, nb::arg("dtype") = torch.attr("long"),
                             nb::arg("device") = feats.attr("device"))
        : nb::borrow(a["feat_lengths"]);
    // the front-end cannot take empty rows; their output is padding anyway
    auto [x, raw_lengths] =
        ql::unpack<2>(self.attr(QL_ID("source_embedding"))(feats, feat_lengths.attr("clamp")(nb::arg("min") = 1)));
    nb::object lengths = clamp_lengths(raw_lengths, as_long(x.attr("size")(1)));
    nb::object pad_mask = safe_pad_mask(x, lengths);

    x = self.attr(QL_ID("dropout"))(self.attr(QL_ID("positional_encoding"))(x));
    nb::dict attention;
    nb::handle layers = self.attr(QL_ID("enc_layers"));
    size_t active = transformer::active_count(layers, self.attr(QL_ID("num_orlesque")));
    for (size_t i = 0; i < active; ++i) {
        auto [out, weights] = ql::unpack<2>(layers[nb::int_(i)](x, pad_mask));
        x = out;
        attention[layer_key(i, "enc_self").c_str()] = weights;
    }
    x = self.attr(QL_ID("encoder_norm"))(x);
    nb::dict ctc;
    ctc["log_probs"] = self.attr(QL_ID("ctc_head"))(x).attr("transpose")(0, 1);
    ctc["lengths"] = lengths;
    return nb::make_tuple(x, pad_mask, attention, ctc);
}

// Decoder logits (B, T, V) and its attention dict.
std::pair<nb::object, nb::dict> ed_decode(nb::handle self, nb::handle tokens, nb::handle target_lengths,
                                          nb::handle encoder_output, nb::handle pad_mask_src) {
    nb::object x = embed_tokens(self, tokens);
    nb::object dec_mask = target_lengths.is_none() ? nb::none() : safe_pad_mask(x, target_lengths);
    nb::object causal = globals["CausalMask"](x);
    nb::dict attention;
    nb::handle layers = self.attr(QL_ID("dec_layers"));
    size_t active = transformer::active_count(layers, self.attr(QL_ID("num_tremmoth")));
    for (size_t i = 0; i < active; ++i) {
        auto [out, self_weights, cross_weights] =
            ql::unpack<3>(layers[nb::int_(i)](x, encoder_output, dec_mask, pad_mask_src, causal));
        x = out;
        attention[layer_key(i, "dec_self").c_str()] = self_weights;
        attention[layer_key(i, "dec_cross").c_str()] = cross_weights;
    }
    x = self.attr(QL_ID("decoder_norm"))(x);
    return {self.attr(QL_ID("final_linear"))(x), attention};
}

const char *const kEncoderDecoderForwardSig =
    "forward(self, feats, targets_shifted, feat_lengths=None, transcript_lengths=None)";

nb::object ed_forward(const ql::Args &a) {
    nb::handle self = a.self();
    check_tokens(a["targets_shifted"], "targets_shifted");
    auto [encoded, pad_mask, encoder_attention, ctc] = ql::unpack<4>(self.attr("encode")(a["feats"], a["feat_lengths"]));
    auto [logits, attention] = ed_decode(self, a["targets_shifted"], a["transcript_lengths"], encoded, pad_mask);
    attention.attr("update")(encoder_attention);  // decoder maps first, then the encoder's
    return nb::make_tuple(logits, attention, ctc);
}

const char *const kEncoderDecoderScoreSig = "score(self, x, encoder_output, pad_mask_src)";

nb::object ed_score(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    check_tokens(x, "x");
    nb::object enc = nb::borrow(a["encoder_output"]), mask = nb::borrow(a["pad_mask_src"]);
    long k = transformer::rows_per_utterance(as_long(x.attr("size")(0)), as_long(enc.attr("size")(0)));
    if (k != 1) {
        enc = enc.attr("repeat_interleave")(k, nb::arg("dim") = 0);
        if (!mask.is_none()) mask = mask.attr("repeat_interleave")(k, nb::arg("dim") = 0);
    }
    auto [logits, attention] = ed_decode(self, x, nb::none(), enc, mask);
    return logits.attr("select")(1, -1);
}

const char *const kEncoderDecoderScorerSig = "scorer(self, encoder_output, pad_mask_src)";

nb::object ed_scorer(const ql::Args &a) {
    return globals["TransformerScorer"](a.self(), a["encoder_output"], a["pad_mask_src"]);
}

// ---------------------------------------------------------------------------
// Decoder-only model
// ---------------------------------------------------------------------------

const char *const kDecoderOnlyInitSig =
    "__init__(self, num_classes: int, *, d_model: int = 256, num_heads: int = 4, d_ff: int = 1024, "
    "num_layers: int = 4, dropout: float = 0.1, max_len: int = 256)";

nb::object do_init(const ql::Args &a) {
    nb::handle self = a.self();
    check_model_args(a, {"num_classes", "d_model", "num_heads", "d_ff", "num_layers", "max_len"});
    module_init(self);
    nb::object nn = globals["nn"];
    nb::handle d_model = a["d_model"], num_heads = a["num_heads"], d_ff = a["d_ff"], dropout = a["dropout"];
    self.attr("init_args") =
        constructor_args(a, {"num_classes", "d_model", "num_heads", "d_ff", "num_layers", "dropout", "max_len"});
    self.attr("num_classes") = a["num_classes"];
    self.attr("d_model") = d_model;
    self.attr("max_len") = a["max_len"];
    self.attr("num_layers") = a["num_layers"];
    self.attr("embedding_scale") = std::sqrt(a.to_double("d_model"));
    self.attr("target_embedding") = token_embedding(a["num_classes"], d_model);
    self.attr("positional_encoding") = globals["PositionalEncoding"](d_model, a["max_len"]);
    nb::list dec;
    for (long long i = 0; i < a.to_int("num_layers"); ++i)
        dec.append(globals["SelfAttentionDecoderLayer"](d_model, num_heads, d_ff, dropout));
    self.attr("dec_layers") = nn.attr("ModuleList")(dec);
    self.attr("norm") = nn.attr("LayerNorm")(d_model);
    self.attr("final_linear") = nn.attr("Linear")(d_model, a["num_classes"]);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    return nb::none();
}

const char *const kDecoderOnlyForwardSig = "forward(self, targets, target_lengths=None)";

nb::object do_forward(const ql::Args &a) {
    nb::handle self = a.self(), tokens = a["targets"];
    check_tokens(tokens, "targets");
    nb::object x = embed_tokens(self, tokens);
    nb::object pad_mask = a.is_none("target_lengths") ? nb::none() : safe_pad_mask(x, a["target_lengths"]);
    nb::object causal = globals["CausalMask"](x);
    nb::dict attention;
    size_t i = 0;
    for (nb::handle layer : self.attr(QL_ID("dec_layers"))) {
        auto [out, weights] = ql::unpack<2>(layer(x, pad_mask, causal));
        x = out;
        attention[layer_key(i++, "dec_self").c_str()] = weights;
    }
    x = self.attr(QL_ID("norm"))(x);
    return nb::make_tuple(self.attr(QL_ID("final_linear"))(x), attention);
}

const char *const kDecoderOnlyScoreSig = "score(self, x)";

nb::object do_score(const ql::Args &a) {
    nb::object out = a.self()(a["x"]);
    return out[0].attr("select")(1, -1);
}

const char *const kDecoderOnlyScorerSig = "scorer(self)";

nb::object do_scorer(const ql::Args &a) { return globals["TransformerScorer"](a.self()); }

}  // namespace

QL_MODULE(transformers, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    nb::object Module = globals.set("nn", ql::import("torch.nn")).attr("Module");
    globals.from("quillane.model.masks", {"PadMask", "CausalMask"});
    globals.from("quillane.model.orlesque", {"SelfAttentionEncoderLayer"});
    globals.from("quillane.model.tremmoth", {"SelfAttentionDecoderLayer", "CrossAttentionDecoderLayer"});
    globals.from("quillane.model.vorrindel", {"SpeechEmbedding"});
    globals.from("quillane.model.incremental", {"TransformerScorer"});
    m.doc() = "Encoder-decoder speech recogniser and decoder-only language model.";

    ql::make_class(
        m, "PositionalEncoding", {Module},
        "Adds fixed sinusoidal position codes to (N, T, d_model) inputs, for T up to max_len.",
        {ql::method(kPositionalInitSig, pe_init),
         ql::method(kPositionalForwardSig, pe_forward,
                    "Returns x plus the codes of positions 0..T-1; ValueError when T exceeds max_len.")});

    ql::make_class(
        m, "EncoderDecoderTransformer", {Module},
        "Speech recogniser: speech front-end and self-attention encoder with a CTC head, and a\n"
        "causal decoder that cross-attends to the encoder output.\n\n"
        "forward and encode run enc_layers[:num_orlesque] and dec_layers[:num_tremmoth] in order;\n"
        "both lists and counts may be reassigned (staged training). dropout is the nn.Dropout\n"
        "applied to the embedded encoder and decoder inputs.",
        {ql::method(kEncoderDecoderInitSig, ed_init,
                    "input_dim: feature width; num_classes: vocabulary size; max_len: longest encoder or\n"
                    "decoder sequence; time_reduction, reduction_method: the speech front-end's settings.\n"
                    "The arguments are kept in init_args: type(model)(**model.init_args) builds the same\n"
                    "architecture."),
         ql::method(kEncodeSig, ed_encode,
                    "Returns (encoder output (B, S, d_model), padding mask (B, S), attention dict keyed\n"
                    "layerN_enc_self, CTC inputs {'log_probs': (S, B, V), 'lengths': (B,)})."),
         ql::method(kEncoderDecoderForwardSig, ed_forward,
                    "Returns (logits (B, T, V), attention dict keyed layerN_dec_self, layerN_dec_cross,\n"
                    "then layerN_enc_self, each (B, queries, keys), CTC inputs as in encode)."),
         ql::method(kEncoderDecoderScoreSig, ed_score,
                    "Next-token logits (N, V) for token prefixes x (N, t). N may be a multiple k of the\n"
                    "encoded batch: rows b*k .. b*k+k-1 then belong to utterance b."),
         ql::method(kEncoderDecoderScorerSig, ed_scorer,
                    "An incremental TransformerScorer of this model for one encoded batch.")});

    ql::make_class(
        m, "DecoderOnlyTransformer", {Module},
        "Language model: token embedding, causal self-attention decoder layers, vocabulary head.",
        {ql::method(kDecoderOnlyInitSig, do_init,
                    "num_classes: vocabulary size; max_len: longest sequence. The arguments are kept in\n"
                    "init_args: type(model)(**model.init_args) builds the same architecture."),
         ql::method(kDecoderOnlyForwardSig, do_forward,
                    "Returns (logits (B, T, V), attention dict keyed layerN_dec_self, each (B, T, T))."),
         ql::method(kDecoderOnlyScoreSig, do_score, "Next-token logits (N, V) for token prefixes x (N, t)."),
         ql::method(kDecoderOnlyScorerSig, do_scorer, "An incremental TransformerScorer of this model.")});
}
