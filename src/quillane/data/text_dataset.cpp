// Map-style dataset of tokenised texts for language-model training.
//
// Every text is tokenised once at construction; the ids of all texts live in one flat long
// tensor with an offsets tensor beside it, so the dataset is compact, picklable (loader
// workers) and serves samples without touching Python lists.
#include "context.hpp"
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

int64_t *data_of(nb::handle tensor) { return reinterpret_cast<int64_t *>(nb::cast<uintptr_t>(tensor.attr("data_ptr")())); }

nb::object long_tensor(nb::handle shape) {
    nb::object torch = globals["torch"];
    return torch.attr("empty")(shape, nb::arg("dtype") = torch.attr("long"));
}
nb::object long_tensor(size_t n) { return long_tensor(nb::int_(n)); }

const char *const kInitSig = "__init__(self, partition: str, texts, tokenizer)";
nb::object init(const ql::Args &a) {
    nb::handle self = a.self(), texts = a["texts"], tokenizer = a["tokenizer"];
    globals["Dataset"].attr("__init__")(self);
    long long sos = ql::as_long(tokenizer.attr("sos_id")), eos = ql::as_long(tokenizer.attr("eos_id"));
    long long pad = ql::as_long(tokenizer.attr("pad_id"));

    std::vector<int64_t> tokens, offsets{0};
    long long total_chars = 0;
    long max_tokens = -1;
    size_t index = 0;
    nb::object encode = tokenizer.attr("encode");
    for (nb::handle text : texts) {
        if (!PyUnicode_Check(text.ptr()))
            ql::raise_type_error("text " + std::to_string(index) + " must be a string, got " + ql::type_name(text));
        total_chars += PyUnicode_GET_LENGTH(text.ptr());
        nb::object ids = encode(text);
        nb::object seq = ql::steal_checked(PySequence_Fast(ids.ptr(), "tokenizer.encode must return a list of ids"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) tokens.push_back(ql::as_long(items[i]));
        offsets.push_back((int64_t)tokens.size());
        max_tokens = std::max(max_tokens, (long)n);
        ++index;
    }

    nb::object flat = long_tensor(tokens.size()), offs = long_tensor(offsets.size());
    if (!tokens.empty()) std::copy(tokens.begin(), tokens.end(), data_of(flat));
    std::copy(offsets.begin(), offsets.end(), data_of(offs));

    self.attr("partition") = a["partition"];
    self.attr("tokenizer") = tokenizer;
    self.attr("sos_id") = sos;
    self.attr("eos_id") = eos;
    self.attr("pad_id") = pad;
    self.attr("total_chars") = total_chars;
    self.attr("total_tokens") = (long long)tokens.size();
    self.attr("text_max_len") = max_tokens + 1;  // 0 for an empty dataset
    self.attr("_tokens") = flat;
    self.attr("_offsets") = offs;
    return nb::none();
}

const char *const kFromFileSig = "from_file(cls, partition: str, path, tokenizer)";
nb::object from_file(const ql::Args &a) {
    nb::handle cls = a.self();
    nb::object f = globals["io"].attr("open")(a["path"], "r", nb::arg("encoding") = "utf-8");
    ql::ContextGuard closer(f);  // closes the file, also on an error
    nb::list texts;
    for (nb::handle line : f) {
        std::string text = nb::cast<std::string>(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) texts.append(nb::str(text.c_str(), text.size()));  // blank lines separate texts
    }
    closer.close();
    return cls(a["partition"], texts, a["tokenizer"]);
}

size_t num_texts(nb::handle self) { return nb::len(nb::object(self.attr(QL_ID("_offsets")))) - 1; }

const char *const kLenSig = "__len__(self)";
nb::object length(const ql::Args &a) { return nb::int_(num_texts(a.self())); }

const char *const kGetItemSig = "__getitem__(self, idx)";
nb::object getitem(const ql::Args &a) {
    nb::handle self = a.self();
    // any integer-like index (Python int, NumPy integer, 0-d tensor), as samplers produce
    nb::object index = ql::index(a["idx"]);  // operator.index
    long long n = (long long)num_texts(self), idx = ql::as_long(index);
    if (idx < -n || idx >= n) ql::raise(PyExc_IndexError, "text index " + std::to_string(idx) + " out of range for " +
                                                             std::to_string(n) + " texts");
    if (idx < 0) idx += n;
    const int64_t *offsets = data_of(self.attr(QL_ID("_offsets")));
    const int64_t *tokens = data_of(self.attr(QL_ID("_tokens")));
    int64_t begin = offsets[idx], count = offsets[idx + 1] - begin;
    nb::object shifted = long_tensor((size_t)count + 1), golden = long_tensor((size_t)count + 1);
    int64_t *s = data_of(shifted), *g = data_of(golden);
    s[0] = ql::as_long(self.attr(QL_ID("sos_id")));
    std::copy(tokens + begin, tokens + begin + count, s + 1);
    std::copy(tokens + begin, tokens + begin + count, g);
    g[count] = ql::as_long(self.attr(QL_ID("eos_id")));
    return nb::make_tuple(shifted, golden);
}

const char *const kCollateSig = "collate_fn(self, batch)";
nb::object collate_fn(const ql::Args &a) {
    nb::handle self = a.self();
    nb::list shifted, golden;
    std::vector<int64_t> lengths;
    for (nb::handle sample : a["batch"]) {
        auto [shifted_ids, golden_ids] = ql::unpack<2>(sample);
        lengths.push_back((int64_t)nb::len(shifted_ids));
        shifted.append(shifted_ids);
        golden.append(golden_ids);
    }
    if (lengths.empty()) ql::raise_value_error("collate_fn needs at least one sample");
    nb::object pad = self.attr(QL_ID("pad_id"));
    nb::object lens = long_tensor(lengths.size());
    std::copy(lengths.begin(), lengths.end(), data_of(lens));
    nb::object pad_sequence = globals["pad_sequence"];
    return nb::make_tuple(pad_sequence(shifted, nb::arg("batch_first") = true, nb::arg("padding_value") = pad),
                          pad_sequence(golden, nb::arg("batch_first") = true, nb::arg("padding_value") = pad),
                          lens);
}

const char *const kAvgCharsSig = "get_avg_chars_per_token(self)";
nb::object avg_chars_per_token(const ql::Args &a) {
    nb::handle self = a.self();
    long long tokens = ql::as_long(self.attr("total_tokens"));
    if (tokens == 0)
        ql::raise_value_error("the " + ql::str(self.attr("partition")) +
                              " text dataset holds no tokens, so characters per token is undefined");
    return nb::float_(double(ql::as_long(self.attr("total_chars"))) / double(tokens));
}

const char *const kSamplePromptsSig = "sample_prompts(self, num_samples: int, prompt_length: int, seed: int)";
nb::object sample_prompts(const ql::Args &a) {
    nb::handle self = a.self();
    long long num_samples = a.to_int("num_samples"), prompt_length = a.to_int("prompt_length");
    uint64_t seed = (uint64_t)a.to_int("seed");
    if (num_samples < 1) ql::raise_value_error("num_samples must be at least 1, got " + std::to_string(num_samples));
    if (prompt_length < 1) ql::raise_value_error("prompt_length must be at least 1, got " + std::to_string(prompt_length));
    size_t n = num_texts(self);
    const int64_t *offsets = data_of(self.attr(QL_ID("_offsets")));
    const int64_t *tokens = data_of(self.attr(QL_ID("_tokens")));
    // A prompt is the start id and the first prompt_length - 1 tokens of a text; a text
    // qualifies when at least one token of it is left over as continuation.
    std::vector<size_t> eligible;
    for (size_t i = 0; i < n; ++i)
        if (offsets[i + 1] - offsets[i] >= prompt_length) eligible.push_back(i);
    if (eligible.empty())
        ql::raise_value_error("no text of the " + ql::str(self.attr("partition")) + " dataset has more than " +
                              std::to_string(prompt_length - 1) + " tokens, so none can hold a prompt of " +
                              std::to_string(prompt_length) + " tokens and a continuation");
    // Seeded partial Fisher-Yates with our own generator: the draw depends only on the seed.
    std::mt19937_64 rng(seed);
    size_t count = std::min(eligible.size(), (size_t)num_samples);
    for (size_t i = 0; i < count; ++i) {
        size_t j = i + (size_t)(rng() % (eligible.size() - i));
        std::swap(eligible[i], eligible[j]);
    }
    long long sos = ql::as_long(self.attr(QL_ID("sos_id"))), eos = ql::as_long(self.attr(QL_ID("eos_id")));
    nb::object prompts = long_tensor(nb::make_tuple(count, prompt_length));
    int64_t *p = data_of(prompts);
    nb::list originals;
    for (size_t k = 0; k < count; ++k) {
        size_t i = eligible[k];
        int64_t begin = offsets[i], len = offsets[i + 1] - begin;
        nb::object original = long_tensor((size_t)len + 2);
        int64_t *o = data_of(original);
        o[0] = sos;
        std::copy(tokens + begin, tokens + begin + len, o + 1);
        o[len + 1] = eos;
        std::copy(o, o + prompt_length, p + k * prompt_length);
        originals.append(original);
    }
    return nb::make_tuple(prompts, originals);
}

const char *const kReprSig = "__repr__(self)";
nb::object repr(const ql::Args &a) {
    nb::handle self = a.self();
    return nb::str(("TextDataset(partition=" + ql::repr(self.attr("partition")) + ", texts=" +
                    std::to_string(num_texts(self)) + ", tokens=" + ql::str(self.attr("total_tokens")) + ")")
                       .c_str());
}

const char *const kClassDoc = R"doc(Texts tokenised once, served as (shifted, golden) pairs.

Sample i is (shifted, golden): 1-D long tensors of the text's ids with the start id
prepended, and with the end id appended. collate_fn pads a list of samples into
(shifted (B, T), golden (B, T), lengths (B,)) with the tokenizer's pad id.)doc";

const char *const kSamplePromptsDoc = R"doc(Draws up to num_samples distinct texts that are longer than a prompt, using only
seed (never torch's global random state). Returns (prompts (N, prompt_length) long,
originals): each prompt is the start id and the first prompt_length - 1 ids of its
text; each original is the start id, the whole text and the end id.)doc";

}  // namespace

QL_MODULE(text_dataset, m) {
    globals.bind(m);
    globals.set("torch", ql::import("torch"));
    globals.set("io", ql::import("io"));
    globals.from("torch.utils.data", {"Dataset"});
    globals.from("torch.nn.utils.rnn", {"pad_sequence"});
    m.doc() = "Tokenised text dataset for language-model training and prompt sampling.";

    ql::make_class(
        m, "TextDataset", {globals["Dataset"]}, kClassDoc,
        {ql::method(kInitSig, init,
                    "texts: an iterable of strings; tokenizer: encode(text) -> list of ids, with\n"
                    "pad_id, sos_id and eos_id."),
         ql::class_method(kFromFileSig, from_file, "Reads one text per line of a UTF-8 file; blank lines are skipped."),
         ql::method(kLenSig, length),
         ql::method(kGetItemSig, getitem),
         ql::method(kCollateSig, collate_fn, "Pads samples into (shifted (B, T), golden (B, T), lengths (B,)), all long."),
         ql::method(kAvgCharsSig, avg_chars_per_token,
                    "Characters per token over all texts (start and end ids not counted)."),
         ql::method(kSamplePromptsSig, sample_prompts, kSamplePromptsDoc),
         ql::method(kReprSig, repr)});
}
