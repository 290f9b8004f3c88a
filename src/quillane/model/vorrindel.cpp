// Speech front-end: turns filter-bank features (N, T, F) into model-width embeddings with a
// reduced frame rate, and keeps the per-utterance lengths in step with the time axis.
//
//  * StackedBLSTMEmbedding - BLSTM -> MaxPool -> BLSTM -> MaxPool -> Linear -> Dropout, each
//                            BLSTM over each utterance's own frames, so padding never leaks in.
//  * Conv2DSubsampling     - two strided 2-D convolutions over (time, frequency).
//  * SpeechEmbedding       - either stage alone, or the convolutions followed by the BLSTMs.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <string>
#include <tuple>

namespace {
namespace nb = nanobind;
using ql::py_int;

ql::ModuleGlobals globals;  // torch, its helpers and the sibling classes, looked up at call time

// nn.Module.__init__(self), through the module's current nn.
void init_module(nb::handle self) { globals["nn"].attr("Module").attr("__init__")(self); }

// The checks shared by the BLSTM stage and the speech embedding, in their order.
void check_dimensions(std::initializer_list<nb::handle> dims) {
    nb::object zero = py_int(0);
    for (nb::handle d : dims)
        if (!(d > zero)) ql::raise_value_error("All dimension values must be positive");
}

void check_dropout(nb::handle p) {
    double d = ql::as_double(p);
    if (!(d >= 0.0 && d < 1.0)) ql::raise_value_error("Dropout rate must be between 0 and 1");  // NaN too
}

// (larger, smaller) factor pair of n whose members are closest: start at the truncated
// square root and walk down to the first divisor. Python arithmetic is kept for the
// square root and for unusual n, so 0 and negative n fail the way plain arithmetic does
// (division by zero, a complex root that cannot become an integer).
const char *const kClosestFactorsSig = "closest_factors(self, n)";
nb::object closest_factors(const ql::Args &a) {
    nb::handle n = a["n"];
    nb::object root = ql::pow(n, nb::float_(0.5));
    nb::object factor = nb::int_(root);

    if (PyLong_CheckExact(n.ptr())) {
        int overflow = 0;
        long long nv = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
        if (nv == -1 && PyErr_Occurred()) throw nb::python_error();
        long long f = ql::as_long(factor);
        if (!overflow && nv > 0 && f > 0) {
            while (nv % f != 0) --f;
            long long other = nv / f;
            return nb::make_tuple(py_int(f >= other ? f : other), py_int(f >= other ? other : f));
        }
    }
    nb::object one = py_int(1), zero = py_int(0);
    while (!(n % factor).equal(zero)) factor = factor - one;
    nb::object other = n.floor_div(factor);
    bool factor_first = !(other > factor);  // max()/min() keep the first on ties
    return nb::make_tuple(factor_first ? factor : other, factor_first ? other : factor);
}

std::pair<nb::object, nb::object> pair_of(nb::handle result) {
    auto [first, second] = ql::unpack<2>(result);
    return {std::move(first), std::move(second)};
}

nb::object transpose12(nb::handle x) { return x.attr(QL_ID("transpose"))(1, 2); }

// ---------------------------------------------------------------------------
// StackedBLSTMEmbedding
// ---------------------------------------------------------------------------

nb::object pool_params(nb::handle stride) {
    nb::dict d;
    d["kernel_size"] = stride;
    d["stride"] = stride;
    d["padding"] = 0;
    d["dilation"] = 1;
    return d;
}

const char *const kBLSTMInitSig =
    "__init__(self, input_dim: int, hidden_dim: int, output_dim: int, time_reduction: int = 2, dropout: float = 0.1)";
nb::object blstm_init(const ql::Args &a) {
    nb::handle self = a.self(), input_dim = a["input_dim"], hidden_dim = a["hidden_dim"],
               output_dim = a["output_dim"], time_reduction = a["time_reduction"],
               dropout = a["dropout"];
    init_module(self);
    check_dimensions({input_dim, hidden_dim, output_dim, time_reduction});
    check_dropout(dropout);

    auto [stride1, stride2] = pair_of(self.attr("closest_factors")(time_reduction));
    self.attr("stride1") = stride1;
    self.attr("stride2") = stride2;
    self.attr("pool1_params") = pool_params(stride1);
    self.attr("pool2_params") = pool_params(stride2);

    nb::object nn = globals["nn"];
    nb::object half = hidden_dim.floor_div(py_int(2));
    auto lstm = [&](nb::handle in) {
        return nn.attr("LSTM")(in, half, nb::arg("num_layers") = 1, nb::arg("batch_first") = true,
                               nb::arg("bidirectional") = true);
    };
    self.attr("blstm1") = lstm(input_dim);
    self.attr("blstm2") = lstm(hidden_dim);
    self.attr("pool1") = nn.attr("MaxPool1d")(**self.attr("pool1_params"));
    self.attr("pool2") = nn.attr("MaxPool1d")(**self.attr("pool2_params"));
    self.attr("linear_embed") = nn.attr("Linear")(hidden_dim, output_dim);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    return nb::none();
}

// Output length of a 1-D max-pooling layer (no ceiling mode), as 64-bit integers.
const char *const kPoolLengthSig =
    "calculate_pool_output_length(self, L_in: torch.Tensor, pool_params: dict) -> torch.Tensor";
nb::object blstm_pool_output_length(const ql::Args &a) {
    nb::handle L_in = a["L_in"], params = a["pool_params"];
    nb::object padding = params["padding"], dilation = params["dilation"];
    nb::object kernel_size = params["kernel_size"], stride = params["stride"];
    nb::object one = py_int(1);
    nb::object numerator = L_in + py_int(2) * padding - dilation * (kernel_size - one) - one;
    return (numerator.floor_div(stride) + one).attr("to")(globals["torch"].attr("long"));
}

const char *const kBLSTMLengthSig = "calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor";
nb::object blstm_downsampled_length(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object lengths = self.attr("calculate_pool_output_length")(a["lengths"], self.attr("pool1_params"));
    return self.attr("calculate_pool_output_length")(lengths, self.attr("pool2_params"));
}

// One direction of a one-layer bidirectional LSTM (parameter suffix "" or "_reverse"), run
// as a one-directional layer over x from its first frame.
nb::object lstm_direction(nb::handle lstm, nb::handle x, const std::string &suffix) {
    nb::list params;
    for (const char *name : {"weight_ih_l0", "weight_hh_l0", "bias_ih_l0", "bias_hh_l0"})
        params.append(nb::getattr(lstm, (name + suffix).c_str()));
    nb::object h0 = x.attr("new_zeros")(1, x.attr("size")(0), lstm.attr("hidden_size"));
    nb::object result = globals["torch"].attr("lstm")(x, nb::make_tuple(h0, h0), params, true, 1, 0.0,
                                                      lstm.attr("training"), false, true);
    return result[0];
}

// Runs one BLSTM over each utterance's valid frames only, zeros after each utterance's end,
// as packing the batch would. Packed sequences take a step-by-step path on the CPU several
// times slower than the fused kernel, so each direction runs unpacked instead: the forward
// direction over the padded batch (padding only follows the frames it reads), the backward
// direction over each utterance reversed within its own length, its output reversed back.
nb::object lstm_over_valid_frames(nb::handle lstm, nb::handle x, nb::handle x_len) {
    nb::object torch = globals["torch"];
    nb::object total = x.attr("size")(1), device = x.attr("device");
    nb::object lengths = torch.attr("as_tensor")(x_len, nb::arg("dtype") = torch.attr("long"),
                                                 nb::arg("device") = device)
                             .attr("unsqueeze")(1);
    if (ql::truthy((lengths.attr("lt")(1) | lengths.attr("gt")(total)).attr("any")()))  // one device sync
        ql::raise_value_error("x_len must hold lengths between 1 and the padded length " + ql::str(total));
    nb::object steps = torch.attr("arange")(total, nb::arg("device") = device).attr("unsqueeze")(0);
    nb::object valid = steps.attr("lt")(lengths);
    // The reversal is its own inverse: frame t of utterance n <-> frame length_n - 1 - t.
    nb::object reversal = torch.attr("where")(valid, lengths - py_int(1) - steps, steps).attr("unsqueeze")(-1);
    auto reorder = [&](nb::handle y) { return y.attr("gather")(1, reversal.attr("expand")(-1, -1, y.attr("size")(-1))); };

    nb::object forward = lstm_direction(lstm, x, "");
    nb::object backward = reorder(lstm_direction(lstm, reorder(x), "_reverse"));
    return torch.attr("cat")(nb::make_tuple(forward, backward), -1) * valid.attr("unsqueeze")(-1);
}

// The forward signature of all three stages.
const char *const kForwardSig = "forward(self, x, x_len)";
nb::object blstm_forward(const ql::Args &a) {
    nb::handle self = a.self(), x = a["x"];
    nb::object x_len = nb::borrow(a["x_len"]);
    nb::object pool_length = self.attr(QL_ID("calculate_pool_output_length"));

    nb::object output = lstm_over_valid_frames(self.attr(QL_ID("blstm1")), x, x_len);
    output = transpose12(self.attr(QL_ID("pool1"))(transpose12(output)));
    x_len = pool_length(x_len, self.attr(QL_ID("pool1_params")));

    output = lstm_over_valid_frames(self.attr(QL_ID("blstm2")), output, x_len);
    output = transpose12(self.attr(QL_ID("pool2"))(transpose12(output)));
    x_len = pool_length(x_len, self.attr(QL_ID("pool2_params")));

    output = self.attr(QL_ID("dropout"))(self.attr(QL_ID("linear_embed"))(output));
    return nb::make_tuple(output, x_len);
}

// ---------------------------------------------------------------------------
// Conv2DSubsampling
// ---------------------------------------------------------------------------

const char *const kConvInitSig =
    "__init__(self, input_dim: int, output_dim: int, dropout: float = 0.0, time_reduction: int = 2, "
    "kernel_size: int = 3)";
nb::object conv_init(const ql::Args &a) {
    nb::handle self = a.self(), input_dim = a["input_dim"], output_dim = a["output_dim"],
               dropout = a["dropout"], time_reduction = a["time_reduction"],
               kernel_size = a["kernel_size"];
    init_module(self);
    nb::object nn = globals["nn"];
    self.attr("kernel_size") = kernel_size;
    auto [stride1, stride2] = pair_of(self.attr("closest_factors")(time_reduction));
    self.attr("time_stride1") = stride1;
    self.attr("time_stride2") = stride2;

    auto conv2d = [&](nb::handle in_channels, nb::handle stride) {
        return nn.attr("Conv2d")(in_channels, output_dim, nb::arg("kernel_size") = kernel_size,
                                 nb::arg("stride") = nb::make_tuple(stride, 1));
    };
    self.attr("conv") = nn.attr("Sequential")(conv2d(py_int(1), stride1), nn.attr("GELU")(),
                                              conv2d(output_dim, stride2), nn.attr("GELU")());

    // Frequency width left after the two unpadded convolutions (stride 1 along frequency).
    nb::object freq = self.attr("calculate_downsampled_length")(input_dim, 1, 1);
    self.attr("linear_out") = nn.attr("Linear")(output_dim * freq, output_dim);
    self.attr("dropout") = nn.attr("Dropout")(dropout);
    return nb::none();
}

// Output-length rule of an unpadded convolution with the stored kernel, applied twice.
// Works on tensors (dtype and device kept) and on plain integers.
const char *const kConvLengthSig =
    "calculate_downsampled_length(self, lengths: torch.Tensor, stride1: int, stride2: int) -> torch.Tensor";
nb::object conv_downsampled_length(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object lengths = nb::borrow(a["lengths"]);
    nb::object k = self.attr(QL_ID("kernel_size"));
    nb::object one = py_int(1);
    nb::object k_minus_1 = k - one;
    for (const char *stride : {"stride1", "stride2"}) lengths = (lengths - k_minus_1 - one).floor_div(a[stride]) + one;
    return lengths;
}

nb::object conv_forward(const ql::Args &a) {
    nb::handle self = a.self(), x_len = a["x_len"];
    nb::object x = a["x"].attr(QL_ID("unsqueeze"))(1);
    x = self.attr(QL_ID("conv"))(x);  // (N, C, T', F')
    auto dims = ql::unpack(x.attr(QL_ID("shape")), 4);
    x = transpose12(x).attr(QL_ID("contiguous"))().attr(QL_ID("view"))(dims[0], dims[2], dims[1] * dims[3]);
    x = self.attr(QL_ID("dropout"))(self.attr(QL_ID("linear_out"))(x));
    nb::object lengths = self.attr(QL_ID("calculate_downsampled_length"))(
        x_len, self.attr(QL_ID("time_stride1")), self.attr(QL_ID("time_stride2")));
    return nb::make_tuple(x, lengths);
}

// ---------------------------------------------------------------------------
// SpeechEmbedding
// ---------------------------------------------------------------------------

const char *const kSpeechInitSig =
    "__init__(self, input_dim: int, output_dim: int, time_reduction: int = 6, reduction_method: str = 'lstm', "
    "dropout: float = 0.0)";
nb::object speech_init(const ql::Args &a) {
    nb::handle self = a.self(), input_dim = a["input_dim"], output_dim = a["output_dim"],
               time_reduction = a["time_reduction"], method = a["reduction_method"],
               dropout = a["dropout"];
    init_module(self);
    check_dimensions({input_dim, output_dim, time_reduction});
    check_dropout(dropout);
    std::string m = a.to_str("reduction_method");
    if (m != "conv" && m != "lstm" && m != "both")
        ql::raise_value_error("reduction_method must be 'conv', 'lstm', or 'both'");

    self.attr("embedding_dim") = output_dim;
    self.attr("reduction_method") = method;

    nb::object cnn_share = py_int(1), lstm_share = py_int(1);
    if (m == "conv") {
        cnn_share = nb::borrow(time_reduction);
    } else if (m == "lstm") {
        lstm_share = nb::borrow(time_reduction);
    } else {
        auto [larger, smaller] = pair_of(self.attr("closest_factors")(time_reduction));
        lstm_share = larger;
        cnn_share = smaller;
    }

    self.attr("cnn") = nb::none();
    self.attr("blstm") = nb::none();
    nb::object embedding_dim = self.attr("embedding_dim");
    if (m == "conv" || m == "both")
        self.attr("cnn") = globals["Conv2DSubsampling"](input_dim, embedding_dim, nb::arg("dropout") = dropout,
                                                        nb::arg("time_reduction") = cnn_share);
    if (m == "lstm" || m == "both") {
        nb::handle lstm_in = self.attr("cnn").is_none() ? input_dim : nb::handle(embedding_dim);
        self.attr("blstm") = globals["StackedBLSTMEmbedding"](
            nb::arg("input_dim") = lstm_in, nb::arg("hidden_dim") = embedding_dim,
            nb::arg("output_dim") = embedding_dim, nb::arg("time_reduction") = lstm_share,
            nb::arg("dropout") = dropout);
    }
    return nb::none();
}

nb::object speech_forward(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object x = nb::borrow(a["x"]), x_len = nb::borrow(a["x_len"]);
    nb::object cnn = self.attr(QL_ID("cnn"));
    if (!cnn.is_none()) std::tie(x, x_len) = pair_of(cnn(x, x_len));
    nb::object blstm = self.attr(QL_ID("blstm"));
    if (!blstm.is_none()) std::tie(x, x_len) = pair_of(blstm(x, x_len));
    return nb::make_tuple(x, x_len);
}

const char *const kSpeechLengthSig = "calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor";
nb::object speech_downsampled_length(const ql::Args &a) {
    nb::handle self = a.self();
    nb::object lengths = nb::borrow(a["lengths"]);
    nb::object cnn = self.attr("cnn");
    if (!cnn.is_none())
        lengths = cnn.attr("calculate_downsampled_length")(lengths, cnn.attr("time_stride1"),
                                                           cnn.attr("time_stride2"));
    nb::object blstm = self.attr("blstm");
    if (!blstm.is_none()) lengths = blstm.attr("calculate_downsampled_length")(lengths);
    return lengths;
}

// ---------------------------------------------------------------------------
// Smoke tests
// ---------------------------------------------------------------------------

const char *const kGetInputsSig = "get_inputs(input_dim, max_length, batch_size)";
nb::object get_inputs(const ql::Args &a) {
    nb::handle input_dim = a["input_dim"], max_length = a["max_length"], batch_size = a["batch_size"];
    nb::object torch = globals["torch"];
    nb::object inputs = torch.attr("randn")(batch_size, max_length, input_dim);
    nb::object lengths = torch.attr("ones")(batch_size) * max_length;
    return nb::make_tuple(inputs, lengths);
}

nb::object smoke_test(const char *method, nb::handle time_reduction) {
    auto [inputs, lengths] = pair_of(globals["get_inputs"](80, 1000, 10));
    nb::object model = globals["SpeechEmbedding"](80, 256, time_reduction, nb::arg("reduction_method") = method,
                                                  nb::arg("dropout") = 0.1);
    nb::list input_data;
    input_data.append(inputs);
    input_data.append(lengths);
    globals["summary"](model, nb::arg("input_data") = input_data);
    auto [out, out_len] = pair_of(model(inputs, lengths));
    ql::print(ql::str(out_len));
    return nb::none();
}

const char *const kTestLstmSig = "test_vorrindel_lstm(time_reduction: int = 2)";
nb::object test_lstm(const ql::Args &a) { return smoke_test("lstm", a["time_reduction"]); }

const char *const kTestConvSig = "test_vorrindel_conv(time_reduction: int = 2)";
nb::object test_conv(const ql::Args &a) { return smoke_test("conv", a["time_reduction"]); }

const char *const kTestBothSig = "test_vorrindel_both(time_reduction: int = 2)";
nb::object test_both(const ql::Args &a) { return smoke_test("both", a["time_reduction"]); }

const char *const kClosestFactorsDoc = R"doc(Return the factor pair (larger, smaller) of n whose members are closest to each other,
e.g. 6 -> (3, 2), 7 -> (7, 1), 9 -> (3, 3).)doc";

const char *const kBLSTMDoc = R"doc(Stacked Bidirectional LSTM with interleaved max-pooling layers.

    BLSTM1 -> MaxPool1 -> BLSTM2 -> MaxPool2 -> Linear -> Dropout

    Time is reduced by time_reduction = stride1 * stride2 (closest factor pair, larger
    first); each pooling window equals its stride. Both BLSTMs read each utterance's own frames,
    so an utterance's output within its length does not depend on the batch padding (zeros
    after it).
)doc";

const char *const kConvDoc = R"doc(Two strided 2-D convolutions (GELU after each) over (time, frequency), then a linear
    projection and dropout: (N, T, input_dim) -> (N, T', output_dim).

    Time is reduced by time_stride1 * time_stride2 = time_reduction; the frequency axis
    loses kernel_size - 1 bins per convolution.
)doc";

const char *const kSpeechDoc = R"doc(Speech front-end: features (N, T, input_dim) with lengths -> embeddings
    (N, T', output_dim) with the reduced lengths.

    reduction_method 'conv' uses the convolutional stage, 'lstm' the stacked-BLSTM stage,
    'both' the convolutions (smaller factor of time_reduction) followed by the BLSTMs
    (larger factor).
)doc";

const char *const kBLSTMForwardDoc = R"doc(Args:
    x: (N, T, input_dim) features.
    x_len: (N,) valid lengths, on any device; batches need not be sorted.

Returns:
    (output (N, T2, output_dim), lengths (N,) int64).)doc";

const char *const kForwardDoc = R"doc(Args:
    x: (N, T, input_dim) features.
    x_len: (N,) valid lengths.

Returns:
    (x (N, T', output_dim), lengths (N,)).)doc";

}  // namespace

QL_MODULE(vorrindel, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("nn", ql::import("torch.nn"));
    globals.from("torchinfo", {"summary"});
    m.doc() = "Speech front-end: convolutional subsampling, stacked BLSTM embedding, speech embedding.";
    nb::object Module = globals["nn"].attr("Module");

    ql::make_class(
        m, "StackedBLSTMEmbedding", {Module}, kBLSTMDoc,
        {ql::method(kBLSTMInitSig, blstm_init),
         ql::method(kClosestFactorsSig, closest_factors, kClosestFactorsDoc),
         ql::method(kPoolLengthSig, blstm_pool_output_length,
                    "Output length of one max-pooling layer described by pool_params, as int64."),
         ql::method(kBLSTMLengthSig, blstm_downsampled_length, "Output lengths of the whole block (both poolings), as int64."),
         ql::method(kForwardSig, blstm_forward, kBLSTMForwardDoc)});

    ql::make_class(
        m, "Conv2DSubsampling", {Module}, kConvDoc,
        {ql::method(kConvInitSig, conv_init),
         ql::method(kClosestFactorsSig, closest_factors, kClosestFactorsDoc),
         ql::method(kConvLengthSig, conv_downsampled_length,
                    "Apply the unpadded-convolution length rule twice (stride1, then stride2).\n"
                    "lengths may be a tensor (dtype and device kept) or a plain integer."),
         ql::method(kForwardSig, conv_forward, kForwardDoc)});

    ql::make_class(
        m, "SpeechEmbedding", {Module}, kSpeechDoc,
        {ql::method(kSpeechInitSig, speech_init),
         ql::method(kClosestFactorsSig, closest_factors, kClosestFactorsDoc),
         ql::method(kForwardSig, speech_forward, kForwardDoc),
         ql::method(kSpeechLengthSig, speech_downsampled_length,
                    "The output lengths that forward returns for these input lengths.")});

    ql::def(m, kGetInputsSig, get_inputs, "Random features (batch_size, max_length, input_dim) and full lengths (float).");
    ql::def(m, kTestLstmSig, test_lstm,
            "Print the summary of an 'lstm' speech embedding and the lengths it returns.");
    ql::def(m, kTestConvSig, test_conv,
            "Print the summary of a 'conv' speech embedding and the lengths it returns.");
    ql::def(m, kTestBothSig, test_both,
            "Print the summary of a 'both' speech embedding and the lengths it returns.");
}
