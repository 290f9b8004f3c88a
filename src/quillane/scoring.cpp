// Scoring recognised text against reference text: the mean edit distance, the word error rate
// and the character error rate, as the ASR trainer reports them after each validation and as
// users compute them for their own transcriptions.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"

#include <string>

namespace {
namespace nb = nanobind;

ql::ModuleGlobals globals;

// The number of texts in one side: 1 for a single string, else a sequence's length; every item
// must be a string.
size_t count_texts(nb::handle texts, const char *name) {
    if (PyUnicode_Check(texts.ptr())) return 1;
    if (!PySequence_Check(texts.ptr()))
        ql::raise_type_error(std::string(name) + " must be a string or a list of strings, got " + ql::type_name(texts));
    size_t n = 0;
    for (nb::handle text : texts) {
        if (!PyUnicode_Check(text.ptr()))
            ql::raise_type_error(std::string(name) + "[" + std::to_string(n) + "] must be a string, got " +
                                 ql::type_name(text));
        ++n;
    }
    return n;
}

const char *const kErrorRatesSig = "error_rates(references, hypotheses) -> Dict[str, float]";
nb::object error_rates(const ql::Args &a) {
    nb::handle references = a["references"], hypotheses = a["hypotheses"];
    size_t n_references = count_texts(references, "references"), n_hypotheses = count_texts(hypotheses, "hypotheses");
    if (n_references != n_hypotheses || PyUnicode_Check(references.ptr()) != PyUnicode_Check(hypotheses.ptr()))
        ql::raise_value_error("references and hypotheses must pair up: got " + std::to_string(n_references) +
                              " references and " + std::to_string(n_hypotheses) + " hypotheses");
    // Fresh metric objects each call, so nothing accumulates between calls; hypotheses first.
    nb::object tmt = globals["tmt"];
    nb::object word_dist = tmt.attr("EditDistance")(nb::arg("reduction") = "mean")(hypotheses, references);
    nb::object wer = tmt.attr("WordErrorRate")()(hypotheses, references);
    nb::object cer = tmt.attr("CharErrorRate")()(hypotheses, references);
    nb::dict metrics;
    metrics["word_dist"] = word_dist.attr("item")();
    metrics["wer"] = ql::py_float(ql::as_double(wer.attr("item")()) * 100);
    metrics["cer"] = ql::py_float(ql::as_double(cer.attr("item")()) * 100);
    return metrics;
}

const char *const kErrorRatesDoc = R"doc(Error rates of recognised text against reference text.

Args:
    references: the reference transcripts, a list of strings (or one string).
    hypotheses: the recognised texts, in the same order (or one string).

Returns:
    {"word_dist": mean character edit distance per utterance,
     "wer": word error rate in percent (word edits / reference words),
     "cer": character error rate in percent (character edits / reference characters)}

Texts are compared exactly as given: normalise case and punctuation first where that matters.
Lists of different lengths raise ValueError.)doc";

}  // namespace

QL_MODULE(scoring, m) {
    globals.bind(m);
    globals.from("typing", {"Dict"});
    globals.set("tmt", ql::import("torchmetrics.text"));
    m.doc() = "Word and character error rates of recognised text.";
    ql::def(m, kErrorRatesSig, error_rates, kErrorRatesDoc);
}
