// Recipes: a YAML configuration turned into a whole run. The configuration is checked in one
// place, against the description of every setting each trainer kind reads (recipe_schema.hpp),
// before anything is built; then the recipe builds the tokenizer, datasets, model, optimizer,
// scheduler and trainer, trains, and evaluates on the test partition. `quillane train`,
// `quillane evaluate` and `quillane demo` are this module driven from the command line.
#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"
#include "recipe_evaluate.hpp"

#include <set>
#include <string>

namespace {
namespace nb = nanobind;
using recipe::globals;

const char *const kLoadConfigSig = "load_config(path, overrides=()) -> dict";
nb::object load_config(const ql::Args &a) { return recipe::load(a["path"], a["overrides"]); }

const char *const kCheckConfigSig = "check_config(config: dict, overrides=(), source: str = 'configuration') -> dict";
nb::object check_config(const ql::Args &a) {
    nb::object config = globals["copy"].attr("deepcopy")(a["config"]);
    std::set<std::string> overridden;
    for (nb::handle setting : a["overrides"]) {
        if (!PyUnicode_Check(setting.ptr()))
            ql::raise_type_error("overrides must be strings 'KEY=VALUE', got " + ql::settings::describe(setting));
        overridden.insert(recipe::apply_override(config, nb::cast<std::string>(setting)));
    }
    return recipe::checked_config(config, a.to_str("source"), overridden);
}

// The recipe entry points take a configuration as load_config returns it; anything else is
// checked first, so a dictionary built in code gets the same defaults and checks.
nb::dict effective(nb::handle config) { return recipe::checked_config(config, "configuration", {}); }

const char *const kCorpusMissingSig = "corpus_missing(config: dict) -> bool";
nb::object corpus_missing(const ql::Args &a) { return nb::bool_(recipe::corpus_missing(effective(a["config"]))); }

const char *const kTrainSig = "train(config: dict) -> dict";
nb::object train(const ql::Args &a) { return recipe::train(effective(a["config"])); }

const char *const kEvaluateSig = "evaluate(config: dict, checkpoint) -> dict";
nb::object evaluate(const ql::Args &a) { return recipe::evaluate(effective(a["config"]), a["checkpoint"]); }

const char *const kLoadConfigDoc = R"doc(Read a recipe's YAML configuration, apply overrides and check it.

overrides are 'KEY=VALUE' strings: KEY is dotted (optimizer.lr, lm.training.epochs,
stages[1].epochs or stages.1.epochs), VALUE is read as YAML (3, 1e-3, true, null,
[0, 1]); sections on the way are created when missing. run_name defaults to the file's
name without its extension.

Returns the effective configuration: every setting of the recipe's trainer kind, with
defaults filled in. Numbers written as text (YAML reads 1e-3 as a string) are taken as
numbers where a number is expected. Raises FileNotFoundError for a missing file and
ConfigError (a ValueError) naming the file and every problem: unknown keys (with the
nearest valid name), missing required keys, values of the wrong kind or range, and
settings that contradict each other.)doc";

const char *const kCheckConfigDoc = R"doc(Check a configuration given as a dictionary (left unchanged), with optional
'KEY=VALUE' overrides as load_config takes them; returns the effective configuration.
source names the configuration in error messages.)doc";

const char *const kTrainDoc = R"doc(Run a recipe: make its synthetic corpus when it has a corpus section, build the
tokenizer, datasets, model, optimizer, scheduler and the trainer it names (asr,
progressive with its stages, or lm), train, and evaluate on the test partition.

A recogniser's recipe may train a language model on its training transcripts (the lm
section) for the decoding configurations that fuse it (lm_weight > 0); every decoding
configuration recognises the test partition and is scored when references exist.
Prints the results and where the experiments are; writes results.json into the
experiment folder and returns the same summary. The experiment's config.yaml holds the
effective configuration.

Under torchrun every process runs the recipe: it starts the job's process group (with
training.distributed_timeout) unless the caller has, process 0 makes the synthetic corpus
while the others wait, the trainers share the batches out (data.batch_size is each
process's), and process 0 alone prints and writes; the other processes run with sys.stdout
and sys.stderr sent to os.devnull. Every process returns the same summary.)doc";

const char *const kEvaluateDoc = R"doc(Evaluate a checkpoint of a recipe on its test partition, as train does after training.

checkpoint is a file, or best, last or a file name in expts/<run_name>/checkpoints.
A checkpoint of another model is refused, naming the file, before anything is written.
Decoding configurations that fuse the language model use the last checkpoint of the lm
section's experiment. Results go to the recipe's experiment folder (results.json, the
recognised or generated text); its config.yaml is left as training wrote it. Under torchrun
the processes share the test partition out, as train does.)doc";

const char *const kConfigErrorDoc = R"doc(A recipe's configuration cannot be run: an unknown or missing key, a value of
the wrong kind or range, or settings that contradict each other. The message names the
configuration and every problem.)doc";

}  // namespace

QL_MODULE(recipes, m) {
    globals.bind(m);
    globals.set("copy", ql::import("copy"));
    globals.set("json", ql::import("json"));
    globals.set("os", ql::import("os"));
    globals.set("tempfile", ql::import("tempfile"));
    globals.set("yaml", ql::import("yaml"));
    globals.set("np", ql::import("numpy"));
    globals.set("torch", ql::import("torch"));
    globals.from("pathlib", {"Path"});
    globals.from("quillane.data.prepare", {"prepare_synth", "read_transcripts"});
    globals.from("quillane.scoring", {"error_rates"});
    globals.from("quillane.data.bucketing", {"BucketBatchSampler"});
    globals.from("quillane.data.quenmark", {"ASRDataset"});
    globals.from("quillane.data.text_dataset", {"TextDataset"});
    globals.from("quillane.data.tokenizer", {"VantTokenizer"});
    globals.from("quillane.model", {"DecoderOnlyTransformer", "EncoderDecoderTransformer"});
    globals.from("quillane.trainers.halvorn", {"ASRTrainer", "ProgressiveTrainer"});
    globals.from("quillane.trainers.selkarn", {"LMTrainer"});
    globals.from("quillane.utils", {"ostravel", "create_scheduler"});
    m.doc() = "Recipes: a checked YAML configuration run end to end (quillane train / evaluate / demo).";

    ql::make_class(m, "ConfigError", {PyExc_ValueError}, kConfigErrorDoc, {});
    ql::def(m, kLoadConfigSig, load_config, kLoadConfigDoc);
    ql::def(m, kCheckConfigSig, check_config, kCheckConfigDoc);
    ql::def(m, kCorpusMissingSig, corpus_missing,
            "Whether the recipe's synthetic corpus (its corpus section) still has partitions to make.");
    ql::def(m, kTrainSig, train, kTrainDoc);
    ql::def(m, kEvaluateSig, evaluate, kEvaluateDoc);
}
