// Text <-> token ids for transcripts and language-model text.
//
// Two kinds of vocabulary share one class:
//  * characters (the default): the four special ids followed by every printable ASCII
//    character; anything else maps to the unknown id;
//  * subword units from a trained sentencepiece model (train / load), with the same four
//    special ids at the same positions.
// pad_id is a control symbol in both kinds, so encode never produces it (it doubles as the
// CTC blank); start and end ids are never produced either (the datasets add them).
#include "context.hpp"
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <string>
#include <vector>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

constexpr long kPad = 0, kSos = 1, kEos = 2, kUnk = 3;
constexpr long kFirstChar = 4;
constexpr Py_UCS4 kFirstPrintable = 32, kLastPrintable = 126;
constexpr long kCharVocabSize = kFirstChar + (kLastPrintable - kFirstPrintable + 1);
constexpr const char *kFormat = "quillane-tokenizer";
constexpr const char *kUnknownText = "\u2047";  // what an unknown id decodes to

const char *special_text(long id) {
    switch (id) {
        case kPad: return "<pad>";
        case kSos: return "<sos>";
        case kEos: return "<eos>";
        default: return kUnknownText;
    }
}

bool is_char_kind(nb::handle self) { return self.attr(QL_ID("_sp")).is_none(); }

// Sets the instance attributes for a subword model given as serialized bytes.
void set_subword_model(nb::handle self, nb::handle model_proto) {
    if (!PyBytes_Check(model_proto.ptr()))
        ql::raise_type_error("model_proto must be bytes (a serialized subword model), got " +
                             ql::type_name(model_proto));
    nb::object sp;
    try {
        sp = globals["spm"].attr("SentencePieceProcessor")(nb::arg("model_proto") = model_proto);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        ql::raise_value_error("model_proto is not a serialized subword model");
    }
    long long pad = ql::as_long(sp.attr("pad_id")()), sos = ql::as_long(sp.attr("bos_id")());
    long long eos = ql::as_long(sp.attr("eos_id")()), unk = ql::as_long(sp.attr("unk_id")());
    if (pad < 0 || sos < 0 || eos < 0 || unk < 0)
        ql::raise_value_error("subword model must define padding, start, end and unknown pieces "
                              "(got ids pad=" + std::to_string(pad) + ", start=" + std::to_string(sos) +
                              ", end=" + std::to_string(eos) + ", unknown=" + std::to_string(unk) + ")");
    self.attr("_sp") = sp;
    self.attr("pad_id") = pad;
    self.attr("sos_id") = sos;
    self.attr("eos_id") = eos;
    self.attr("unk_id") = unk;
    self.attr("vocab_size") = sp.attr("get_piece_size")();
}

const char *const kInitSig = "__init__(self, model_proto=None)";
nb::object init(const ql::Args &a) {
    nb::handle self = a.self();
    if (a.is_none("model_proto")) {
        self.attr("_sp") = nb::none();
        self.attr("pad_id") = kPad;
        self.attr("sos_id") = kSos;
        self.attr("eos_id") = kEos;
        self.attr("unk_id") = kUnk;
        self.attr("vocab_size") = kCharVocabSize;
    } else {
        set_subword_model(self, a["model_proto"]);
    }
    return nb::none();
}

const char *const kEncodeSig = "encode(self, text: str)";
nb::object encode(const ql::Args &a) {
    nb::handle self = a.self(), text = a["text"];
    if (!is_char_kind(self)) {
        nb::object ids = self.attr(QL_ID("_sp")).attr("encode")(text);
        return nb::list(ids);
    }
    PyObject *s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    nb::object result = ql::steal_checked(PyList_New(n));
    // Small ints are cached by the interpreter, so this allocates nothing per character.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        long id = (c >= kFirstPrintable && c <= kLastPrintable) ? kFirstChar + long(c - kFirstPrintable) : kUnk;
        PyList_SET_ITEM(result.ptr(), i, ql::check(PyLong_FromLong(id)));
    }
    return result;
}

// Reads the ids of `ids` (any iterable of integers), checking their range.
std::vector<long> read_ids(nb::handle ids, long vocab_size) {
    std::vector<long> out;
    nb::object seq = ql::steal_checked(PySequence_Fast(ids.ptr(), "decode expects a sequence of token ids"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    out.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object index = ql::index(items[i]);  // operator.index
        int overflow = 0;
        long id = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
        if (id == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow || id < 0 || id >= vocab_size)
            ql::raise_value_error("token id " + ql::str(index) + " is out of range for a vocabulary of " +
                                  std::to_string(vocab_size) + " ids");
        out.push_back(id);
    }
    return out;
}

const char *const kDecodeSig = "decode(self, ids, skip_special_tokens: bool = True)";
nb::object decode(const ql::Args &a) {
    nb::handle self = a.self();
    bool skip = a.to_bool("skip_special_tokens");
    long vocab_size = static_cast<long>(ql::as_long(self.attr(QL_ID("vocab_size"))));
    std::vector<long> ids = read_ids(a["ids"], vocab_size);
    if (is_char_kind(self)) {
        std::string text;
        text.reserve(ids.size());
        for (long id : ids) {
            if (id >= kFirstChar) {
                text.push_back(char(kFirstPrintable + (id - kFirstChar)));
            } else if (id == kUnk || !skip) {
                text += special_text(id);
            }
        }
        return nb::str(text.c_str(), text.size());
    }
    // Subword ids: decode the runs between special ids, which the subword model renders
    // as nothing; when they are kept, write them as markers.
    nb::object sp = self.attr(QL_ID("_sp"));
    long long pad = ql::as_long(self.attr(QL_ID("pad_id"))), sos = ql::as_long(self.attr(QL_ID("sos_id")));
    long long eos = ql::as_long(self.attr(QL_ID("eos_id")));
    std::string text;
    nb::list run;
    auto flush = [&] {
        if (nb::len(run) == 0) return;
        text += nb::cast<std::string>(sp.attr("decode")(run));
        run = nb::list();
    };
    for (long id : ids) {
        bool special = id == pad || id == sos || id == eos;
        if (!special) {
            run.append(id);
            continue;
        }
        if (skip) continue;
        flush();
        text += special_text(id == pad ? kPad : id == sos ? kSos : kEos);
    }
    flush();
    return nb::str(text.c_str(), text.size());
}

const char *const kTrainSig =
    "train(cls, texts, vocab_size: int, *, model_type: str = 'unigram', character_coverage: float = 1.0)";
nb::object train(const ql::Args &a) {
    nb::handle cls = a.self();
    long vocab_size = (long)a.to_int("vocab_size");
    nb::list texts;
    for (nb::handle t : a["texts"]) {
        if (!PyUnicode_Check(t.ptr())) ql::raise_type_error("texts must be strings, got " + ql::type_name(t));
        // The trainer reads one sentence per item; empty lines carry nothing to learn.
        if (PyUnicode_GET_LENGTH(t.ptr()) > 0) texts.append(t);
    }
    if (nb::len(texts) == 0) ql::raise_value_error("cannot train a subword vocabulary without any non-empty text");
    if (vocab_size <= kFirstChar)
        ql::raise_value_error("vocab_size must exceed the " + std::to_string(kFirstChar) +
                              " special ids, got " + std::to_string(vocab_size));
    nb::object writer = globals["io"].attr("BytesIO")();
    nb::dict options;
    options["sentence_iterator"] = nb::iter(texts);
    options["model_writer"] = writer;
    options["vocab_size"] = vocab_size;
    options["model_type"] = a["model_type"];
    options["character_coverage"] = a["character_coverage"];
    options["pad_id"] = kPad;
    options["bos_id"] = kSos;
    options["eos_id"] = kEos;
    options["unk_id"] = kUnk;
    // A small corpus may not support the requested size; take what it supports instead of failing.
    options["hard_vocab_limit"] = false;
    options["minloglevel"] = 2;
    options["num_threads"] = 1;
    globals["spm"].attr("SentencePieceTrainer").attr("train")(**options);
    return cls(nb::arg("model_proto") = writer.attr("getvalue")());
}

const char *const kSaveSig = "save(self, path)";
nb::object save(const ql::Args &a) {
    nb::handle self = a.self();
    nb::dict doc;
    doc["format"] = kFormat;
    doc["version"] = 1;
    if (is_char_kind(self)) {
        doc["kind"] = "char";
    } else {
        doc["kind"] = "subword";
        nb::object proto = self.attr(QL_ID("_sp")).attr("serialized_model_proto")();
        doc["model"] = globals["base64"].attr("b64encode")(proto).attr("decode")("ascii");
    }
    nb::object f = globals["io"].attr("open")(a["path"], "w", nb::arg("encoding") = "utf-8");
    ql::ContextGuard closer(f);  // closes the file, also on an error
    globals["json"].attr("dump")(doc, f);
    closer.close();
    return nb::none();
}

const char *const kLoadSig = "load(cls, path)";
nb::object load(const ql::Args &a) {
    nb::handle cls = a.self(), path = a["path"];
    nb::object f = globals["io"].attr("open")(path, "r", nb::arg("encoding") = "utf-8");
    nb::object doc;
    std::string bad = "'" + ql::str(path) + "' is not a saved tokenizer";
    {
        ql::ContextGuard closer(f);  // closes the file, also on an error
        try {
            doc = globals["json"].attr("load")(f);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError)) throw;  // JSON and Unicode decode errors are ValueErrors
            ql::raise_value_error(bad);
        }
        closer.close();
    }
    if (!PyDict_Check(doc.ptr()) || !ql::get(doc, "format", nb::none()).equal(nb::str(kFormat)))
        ql::raise_value_error(bad);
    nb::object kind = ql::get(doc, "kind", nb::none());
    if (kind.equal(nb::str("char"))) return cls();
    if (kind.equal(nb::str("subword")) && PyUnicode_Check(ql::get(doc, "model", nb::none()).ptr())) {
        try {
            nb::object proto = globals["base64"].attr("b64decode")(doc["model"], nb::arg("validate") = true);
            return cls(nb::arg("model_proto") = proto);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError)) throw;  // bad base64 or not a subword model
            ql::raise_value_error(bad + " (its subword model is damaged)");
        }
    }
    ql::raise_value_error(bad + " (unknown kind " + ql::repr(kind) + ")");
}

const char *const kReprSig = "__repr__(self)";
nb::object repr(const ql::Args &a) {
    nb::handle self = a.self();
    std::string kind = is_char_kind(self) ? "char" : "subword";
    return nb::str(("VantTokenizer(kind='" + kind + "', vocab_size=" + ql::str(self.attr("vocab_size")) + ")").c_str());
}

const char *const kKindSig = "kind(self)";
nb::object kind(const ql::Args &a) { return nb::str(is_char_kind(a.self()) ? "char" : "subword"); }

const char *const kClassDoc = R"doc(Turns text into token ids and back.

VantTokenizer() is a character tokenizer over printable ASCII (letters, digits, space,
apostrophe and punctuation); other characters map to unk_id. VantTokenizer.train builds
a subword tokenizer, VantTokenizer.load restores a saved one. In both kinds ids 0-3 are
pad, start, end and unknown; encode never produces pad, start or end ids.)doc";

const char *const kDecodeDoc = R"doc(Returns the text of a sequence of ids. With skip_special_tokens the pad, start and
end ids contribute nothing; otherwise they appear as <pad>, <sos>, <eos>.
Unknown ids decode to U+2047. Ids outside the vocabulary raise ValueError.)doc";

const char *const kTrainDoc = R"doc(Trains a subword tokenizer on an iterable of strings. model_type is 'unigram'
or 'bpe'. A corpus too small for vocab_size gives a smaller vocabulary.)doc";

}  // namespace

QL_MODULE(tokenizer, m) {
    globals.bind(m);
    globals.set("io", ql::import("io"));
    globals.set("json", ql::import("json"));
    globals.set("base64", ql::import("base64"));
    globals.set("spm", ql::import("sentencepiece"));
    m.doc() = "Character and subword tokenizers for transcripts and language-model text.";

    ql::make_class(
        m, "VantTokenizer", {ql::import_attr("builtins", "object")}, kClassDoc,
        {ql::method(kInitSig, init, "model_proto: serialized subword model bytes, or None for the character vocabulary."),
         ql::method(kEncodeSig, encode, "Returns the list of token ids of text, without start or end ids (\"\" gives [])."),
         ql::method(kDecodeSig, decode, kDecodeDoc),
         ql::class_method(kTrainSig, train, kTrainDoc),
         ql::method(kSaveSig, save, "Writes the tokenizer to path (a small JSON file)."),
         ql::class_method(kLoadSig, load, "Reads a tokenizer written by save."),
         ql::property(kKindSig, kind, "'char' or 'subword'."),
         ql::method(kReprSig, repr)});
}
