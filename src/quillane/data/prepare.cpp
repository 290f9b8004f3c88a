// Corpus preparation: turns audio into the on-disk layout the speech dataset reads,
//
//   <out>/<partition>/fbank/<utt>.npy      (num_feats, frames) float32 log-mel filter banks
//   <out>/<partition>/text/<utt>.npy       the transcript as an array of single characters
//   <out>/<partition>/transcripts.txt      "<utt> <transcript>" per line, in file-name order
//   <out>/corpus.json                      the settings the corpus was made with
//
// from two sources: a LibriSpeech-style tree (*.flac next to *.trans.txt, read and checked by
// librispeech_tree.hpp) and a small synthetic corpus spoken by espeak-ng (synth_corpus.hpp).
// Audio is decoded by soundfile and the filter banks come from kaldi-native-fbank; this module
// only moves samples between them and writes the files (corpus_files.hpp).
//
// Every problem with the input is reported before the first file is written. A re-run skips
// the utterances whose files read back complete, makes the others again, and refuses a folder
// that was made with other settings.
#include "core.hpp"
#include "globals.hpp"
#include "context.hpp"
#include "pyops.hpp"

#include "corpus_files.hpp"
#include "librispeech_tree.hpp"
#include "synth_corpus.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {
namespace nb = nanobind;
namespace fs = std::filesystem;
namespace corpus = ql::corpus;
namespace synth = ql::synth;

ql::ModuleGlobals globals;  // names are looked up at call time, as a Python module would

constexpr const char *kEspeakInstall = "apt-get install -y espeak-ng";
constexpr int kSynthFeats = 80;

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

nb::object py_str(const std::string &s) { return nb::str(s.c_str(), s.size()); }

// `array` in the .npy format, as np.save writes it.
nb::bytes npy_bytes(nb::handle array) {
    nb::object buffer = globals["io"].attr("BytesIO")();
    globals["np"].attr("save")(buffer, array, nb::arg("allow_pickle") = false);
    return nb::borrow<nb::bytes>(buffer.attr("getvalue")());
}

void save_npy(const fs::path &path, nb::handle array) {
    nb::bytes data = npy_bytes(array);
    ql::write_durably(path, std::string_view(data.c_str(), data.size()));
}

// The transcript as a 1-D array of single characters (dtype '<U1'), so that
// "".join(array.tolist()) gives the text back.
nb::object char_array(const std::string &text) {
    nb::list chars(py_str(text));
    return globals["np"].attr("array")(chars, nb::arg("dtype") = "<U1");
}

nb::object utterance_bar(size_t total, const std::string &desc, bool enabled) {
    return globals["tqdm"](nb::arg("total") = total, nb::arg("desc") = desc, nb::arg("unit") = "utt",
                           nb::arg("disable") = !enabled, nb::arg("dynamic_ncols") = true);
}

nb::dict counts(size_t written, size_t skipped) {
    nb::dict d;
    d["written"] = written;
    d["skipped"] = skipped;
    return d;
}

// ---------------------------------------------------------------------------
// Filter banks
// ---------------------------------------------------------------------------

// Mono samples on the 16-bit integer scale the Kaldi filter banks expect: channels are
// averaged, and the float samples in [-1, 1] are multiplied by 32768.
std::vector<float> to_mono_int16_scale(nb::handle samples) {
    auto a = nb::cast<nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(samples);
    size_t frames = a.shape(0), channels = a.shape(1);
    std::vector<float> mono(frames);
    const float *p = a.data();
    {
        nb::gil_scoped_release release;
        const float scale = 32768.0f / static_cast<float>(channels ? channels : 1);
        for (size_t i = 0; i < frames; ++i) {
            float s = 0.0f;
            for (size_t c = 0; c < channels; ++c) s += p[i * channels + c];
            mono[i] = s * scale;
        }
    }
    return mono;
}

// (num_feats, frames) float32 log-mel filter banks of mono samples on the int16 scale:
// 25 ms windows every 10 ms, no dither (so the result is reproducible), and the mel range
// capped at 8 kHz so that audio above 16 kHz gives features comparable to 16 kHz speech.
nb::object fbank_of(const std::vector<float> &mono, double sample_rate, int num_feats) {
    nb::object knf = globals["knf"], np = globals["np"];
    nb::object opts = knf.attr("FbankOptions")();
    nb::object frame_opts = opts.attr("frame_opts"), mel_opts = opts.attr("mel_opts");
    frame_opts.attr("samp_freq") = sample_rate;
    frame_opts.attr("dither") = 0.0;
    mel_opts.attr("num_bins") = num_feats;
    if (sample_rate > 16000.0) mel_opts.attr("high_freq") = 8000.0;
    opts.attr("frame_opts") = frame_opts;
    opts.attr("mel_opts") = mel_opts;

    nb::object fbank = knf.attr("OnlineFbank")(opts);
    nb::object wave = np.attr("empty")(mono.size(), nb::arg("dtype") = "float32");
    auto w = nb::cast<nb::ndarray<float, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(wave);
    std::copy(mono.begin(), mono.end(), w.data());
    fbank.attr("accept_waveform")(sample_rate, wave.attr("tolist")());
    fbank.attr("input_finished")();

    long long frames = nb::cast<long long>(fbank.attr("num_frames_ready"));
    nb::object out = np.attr("empty")(nb::make_tuple(num_feats, frames), nb::arg("dtype") = "float32");
    auto o = nb::cast<nb::ndarray<float, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(out);
    float *dst = o.data();
    nb::object get_frame = fbank.attr("get_frame"), asarray = np.attr("asarray");
    for (long long t = 0; t < frames; ++t) {
        nb::object row = asarray(get_frame(t), nb::arg("dtype") = "float32");
        auto r = nb::cast<nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(row);
        if (static_cast<int>(r.shape(0)) != num_feats)
            ql::raise_runtime_error("Filter-bank frame has " + std::to_string(r.shape(0)) + " bins, expected " +
                                    std::to_string(num_feats));
        const float *src = r.data();
        for (int k = 0; k < num_feats; ++k) dst[static_cast<size_t>(k) * frames + t] = src[k];
    }
    return out;
}

// Decodes an audio file (or bytes) with soundfile: (samples (frames, channels) float32, rate).
// Any decoding failure becomes one ValueError that names the source.
std::pair<nb::object, double> read_audio(nb::handle source, const std::string &name) {
    try {
        nb::object result =
            globals["soundfile"].attr("read")(source, nb::arg("dtype") = "float32", nb::arg("always_2d") = true);
        auto [samples, rate] = ql::unpack<2>(result);
        return {globals["np"].attr("ascontiguousarray")(samples), ql::as_double(rate)};
    } catch (nb::python_error &e) {
        std::string reason = ql::str(e.value());
        ql::raise_value_error("Cannot read audio file " + name + ": " + reason);
    }
}

const char *const kReadAudioSig = "read_audio(source)";
nb::object read_audio_file(const ql::Args &a) {
    nb::handle source = a["source"];
    auto [samples, rate] = read_audio(source, ql::str(source));
    return nb::make_tuple(samples, ql::py_float(rate));
}

void check_frames(nb::handle feats, const std::string &name) {
    if (ql::as_long(feats.attr("shape")[1]) == 0)
        ql::raise_value_error("Audio file " + name + " is too short for a single filter-bank frame (25 ms)");
}

const char *const kComputeFbankSig = "compute_fbank(samples, sample_rate: float, num_feats: int = 80)";
nb::object compute_fbank(const ql::Args &a) {
    long long num_feats = a.to_int("num_feats");
    if (num_feats <= 0) ql::raise_value_error("num_feats must be positive");
    double rate = a.to_double("sample_rate");
    if (!(rate > 0.0)) ql::raise_value_error("sample_rate must be positive");
    nb::object np = globals["np"];
    nb::object samples = np.attr("asarray")(a["samples"], nb::arg("dtype") = "float32");
    long long ndim = ql::as_long(samples.attr("ndim"));
    if (ndim == 1) samples = samples.attr("reshape")(-1, 1);
    else if (ndim != 2) ql::raise_value_error("samples must be 1-D (mono) or 2-D (frames, channels)");
    samples = np.attr("ascontiguousarray")(samples);
    return fbank_of(to_mono_int16_scale(samples), rate, static_cast<int>(num_feats));
}

// ---------------------------------------------------------------------------
// The corpus description
// ---------------------------------------------------------------------------

std::string restart_advice(const fs::path &out) {
    return "prepare into another folder, or delete " + out.string() + " to start over";
}

// The settings recorded in <out>/corpus.json, or an invalid object when there is none.
nb::object recorded_settings(const fs::path &out) {
    fs::path manifest = out / "corpus.json";
    std::error_code ec;
    if (!fs::exists(manifest, ec)) return nb::object();
    std::string content;
    if (!corpus::read_small_file(manifest, content)) ql::raise(PyExc_OSError, "Cannot read " + manifest.string());
    try {
        nb::object have = globals["json"].attr("loads")(py_str(content));
        if (PyDict_Check(have.ptr())) return nb::borrow<nb::dict>(have);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // JSON and Unicode errors
    }
    ql::raise_value_error(manifest.string() + " is not a corpus description; " + restart_advice(out));
}

// Refuses a folder whose corpus was made with other settings than `want`, saying which differ.
void check_settings(const fs::path &out, nb::dict have, nb::dict want) {
    if (have.equal(want)) return;
    nb::dict keys;  // the keys of both, recorded ones first
    for (auto [key, value] : have) keys[key] = value;
    for (auto [key, value] : want) keys[key] = value;
    std::string differences;
    for (auto [key, unused] : keys) {
        nb::object there = have.contains(key) ? nb::object(have[key]) : nb::none();
        nb::object now = want.contains(key) ? nb::object(want[key]) : nb::none();
        if (there.equal(now)) continue;
        differences += (differences.empty() ? "" : ", ") + ql::str(key) + " " + ql::repr(there) + " there, " +
                       ql::repr(now) + " now";
    }
    ql::raise_value_error(out.string() + " already holds a corpus made with other settings (" + differences + "); " +
                          restart_advice(out));
}

void write_settings(const fs::path &out, nb::dict want) {
    fs::create_directories(out);
    std::string content = nb::cast<std::string>(globals["json"].attr("dumps")(want)) + "\n";
    ql::write_durably(out / "corpus.json", content);
    ql::sync_directory(out);
}

// ---------------------------------------------------------------------------
// Output partitions
// ---------------------------------------------------------------------------

class PartitionWriter {
public:
    PartitionWriter(const fs::path &out, const std::string &partition, bool with_text, int num_feats)
        : out_(out), root_(out / partition), fbank_dir_(root_ / "fbank"), text_dir_(root_ / "text"),
          with_text_(with_text), num_feats_(num_feats) {}

    // Whether the utterance's files read back complete. A complete feature file with another
    // number of rows belongs to a corpus made with other settings, which is refused.
    bool finished(const std::string &name) const {
        fs::path fbank = fbank_path(name);
        corpus::Existing feats = corpus::inspect_array(fbank, 'f', 4, 2);
        if (feats.state == corpus::Existing::Valid && feats.rows != num_feats_)
            ql::raise_value_error(fbank.string() + " holds " + std::to_string(feats.rows) +
                                  " filter-bank rows, but num_feats is " + std::to_string(num_feats_) + ": " +
                                  out_.string() + " was prepared with other settings; " + restart_advice(out_));
        if (feats.state != corpus::Existing::Valid) return false;
        return !with_text_ || corpus::inspect_array(text_path(name), 'U', 4, 1).state == corpus::Existing::Valid;
    }

    // Positions of the utterances still to be made.
    template <typename U>
    std::vector<size_t> unfinished(const std::vector<U> &utts) const {
        std::vector<size_t> todo;
        for (size_t i = 0; i < utts.size(); ++i)
            if (!finished(utts[i].name)) todo.push_back(i);
        return todo;
    }

    void create_folders() const {
        fs::create_directories(fbank_dir_);
        if (with_text_) fs::create_directories(text_dir_);
    }

    // Features first, transcript last: an utterance counts as finished only once both read back.
    void write(const std::string &name, nb::handle feats, const std::string &text) const {
        save_npy(fbank_path(name), feats);
        if (with_text_) save_npy(text_path(name), char_array(text));
    }

    // The transcript list, then every folder's new entries flushed to disk.
    template <typename U>
    void finish(const std::vector<U> &utts) const {
        std::string content;
        for (const U &u : utts) content += u.name + " " + u.text + "\n";
        ql::write_durably(root_ / "transcripts.txt", content);
        ql::sync_directory(fbank_dir_);
        if (with_text_) ql::sync_directory(text_dir_);
        ql::sync_directory(root_);
        ql::sync_directory(out_);
    }

private:
    fs::path fbank_path(const std::string &name) const { return fbank_dir_ / (name + ".npy"); }
    fs::path text_path(const std::string &name) const { return text_dir_ / (name + ".npy"); }

    fs::path out_, root_, fbank_dir_, text_dir_;
    bool with_text_;
    int num_feats_;
};

// ---------------------------------------------------------------------------
// LibriSpeech-style trees
// ---------------------------------------------------------------------------

nb::dict librispeech_settings(long long num_feats) {
    nb::dict want;
    want["kind"] = "librispeech";
    want["num_feats"] = num_feats;
    return want;
}

size_t prepare_partition(const PartitionWriter &writer, const std::string &partition,
                         const std::vector<ql::librispeech::Utterance> &utts, const std::vector<size_t> &todo,
                         int num_feats, bool progress) {
    writer.create_folders();
    nb::object bar = utterance_bar(utts.size(), "Preparing " + partition, progress);
    ql::ContextGuard closer(bar);  // closes the bar, also on an error
    bar.attr("update")(utts.size() - todo.size());
    for (size_t i : todo) {
        const auto &u = utts[i];
        std::string source = u.audio.string();
        auto [samples, rate] = read_audio(py_str(source), source);
        nb::object feats = fbank_of(to_mono_int16_scale(samples), rate, num_feats);
        check_frames(feats, source);
        writer.write(u.name, feats, u.text);
        bar.attr("update")(1);
    }
    closer.close();
    writer.finish(utts);
    return todo.size();
}

const char *const kPrepareLibrispeechSig =
    "prepare_librispeech(src: str, out: str, num_feats: int = 80, progress: bool = True)";
nb::object prepare_librispeech(const ql::Args &a) {
    fs::path src = a.to_str("src"), out = a.to_str("out");
    long long num_feats = a.to_int("num_feats");
    bool progress = a.to_bool("progress");
    if (num_feats <= 0) ql::raise_value_error("num_feats must be positive");
    if (!fs::is_directory(src)) ql::raise(PyExc_FileNotFoundError, "No such source directory: " + src.string());

    // The tree, the recorded settings and the outputs already there are all checked before the
    // first file is written.
    ql::librispeech::Partitions partitions = ql::librispeech::gather(src);
    nb::dict want = librispeech_settings(num_feats);
    nb::object have = recorded_settings(out);
    if (have.is_valid()) check_settings(out, nb::borrow<nb::dict>(have), want);
    std::vector<PartitionWriter> writers;
    std::vector<std::vector<size_t>> todo;
    for (auto &[partition, utts] : partitions) {
        std::sort(utts.begin(), utts.end(), [](const auto &x, const auto &y) { return x.name < y.name; });
        writers.emplace_back(out, partition, true, static_cast<int>(num_feats));
        todo.push_back(writers.back().unfinished(utts));
    }
    if (!have.is_valid()) write_settings(out, want);

    nb::dict summary;
    size_t k = 0;
    for (auto &[partition, utts] : partitions) {
        size_t written = prepare_partition(writers[k], partition, utts, todo[k], static_cast<int>(num_feats), progress);
        summary[py_str(partition)] = counts(written, utts.size() - written);
        ++k;
    }
    return summary;
}

// ---------------------------------------------------------------------------
// Synthetic corpus
// ---------------------------------------------------------------------------

struct SynthUtterance {
    std::string name;
    std::string text;
    size_t index;  // position in the whole corpus
};

const char *const kSynthSentencesSig = "synth_sentences(n: int, seed: int = 0)";
nb::object synth_sentences(const ql::Args &a) {
    long long n = a.to_int("n");
    if (n < 0) ql::raise_value_error("n must not be negative");
    synth::Rng r(synth::mix(static_cast<uint64_t>(a.to_int("seed")), 0x5E17E11CEULL));
    nb::list out;
    for (long long i = 0; i < n; ++i) out.append(py_str(synth::make_sentence(r)));
    return out;
}

nb::object find_espeak() {
    nb::object path = globals["shutil"].attr("which")("espeak-ng");
    if (path.is_none())
        ql::raise(PyExc_FileNotFoundError,
                  std::string("espeak-ng is not installed; install it with: ") + kEspeakInstall +
                      " (as root, or with sudo)");
    return path;
}

nb::object start_espeak(nb::handle exe, const synth::Voice &v, const std::string &text) {
    nb::list cmd;
    cmd.append(exe);
    for (const std::string &s : {std::string("-v"), v.voice, std::string("-s"), std::to_string(v.speed),
                                 std::string("-p"), std::to_string(v.pitch), std::string("--stdout"), text})
        cmd.append(py_str(s));
    nb::object subprocess = globals["subprocess"];
    nb::object pipe = subprocess.attr("PIPE");
    return subprocess.attr("Popen")(cmd, nb::arg("stdout") = pipe, nb::arg("stderr") = pipe);
}

nb::bytes finish_espeak(nb::handle proc, const std::string &text) {
    auto [wav, err] = ql::unpack<2>(proc.attr("communicate")());
    long long rc = ql::as_long(proc.attr("returncode"));
    if (rc != 0) {
        std::string message = nb::cast<std::string>(err.attr("decode")("utf-8", "replace"));
        ql::raise_runtime_error("espeak-ng failed (exit status " + std::to_string(rc) + ") for \"" + text +
                                "\": " + ql::librispeech::trim(message));
    }
    return nb::borrow<nb::bytes>(wav);
}

nb::dict synth_settings(size_t total, long long seed) {
    nb::dict want;
    want["kind"] = "synth";
    want["num_utterances"] = total;
    want["seed"] = seed;
    return want;
}

std::vector<SynthUtterance> synth_partition(const synth::Split &split, size_t base,
                                            const std::vector<std::string> &text) {
    std::vector<SynthUtterance> utts;
    for (size_t i = 0; i < split.count; ++i) {
        std::ostringstream name;
        name << "synth-" << std::setfill('0') << std::setw(6) << (base + i);
        utts.push_back(SynthUtterance{name.str(), text[base + i], base + i});
    }
    return utts;
}

// The features of one espeak-ng recording with its voice's noise added.
nb::object synth_features(nb::handle proc, const SynthUtterance &u, uint64_t seed) {
    synth::Voice v = synth::draw_voice(seed, u.index);
    nb::bytes wav = finish_espeak(proc, u.text);
    std::string source = "espeak-ng output for " + u.name;
    auto [samples, rate] = read_audio(globals["io"].attr("BytesIO")(wav), source);
    std::vector<float> mono = to_mono_int16_scale(samples);
    {
        nb::gil_scoped_release release;
        synth::add_noise(mono, v.snr_db, synth::mix(seed, 0x0015E000ULL + u.index));
    }
    nb::object feats = fbank_of(mono, rate, kSynthFeats);
    check_frames(feats, source);
    return feats;
}

// Speaks the unfinished utterances, keeping a few espeak-ng processes running ahead of the
// feature extraction; every process still running is stopped when something fails.
void synthesise(const PartitionWriter &writer, const std::vector<SynthUtterance> &utts,
                const std::vector<size_t> &todo, nb::handle exe, uint64_t seed, nb::handle bar) {
    constexpr size_t kInFlight = 3;
    std::vector<nb::object> procs(todo.size());
    auto launch = [&](size_t k) {
        if (k < todo.size() && !procs[k].is_valid()) {
            const SynthUtterance &u = utts[todo[k]];
            procs[k] = start_espeak(exe, synth::draw_voice(seed, u.index), u.text);
        }
    };
    try {
        for (size_t k = 0; k < todo.size(); ++k) {
            for (size_t j = k; j < k + kInFlight; ++j) launch(j);
            const SynthUtterance &u = utts[todo[k]];
            nb::object feats = synth_features(procs[k], u, seed);
            procs[k] = nb::object();
            writer.write(u.name, feats, u.text);
            bar.attr("update")(1);
        }
    } catch (...) {
        for (nb::object &p : procs)
            if (p.is_valid()) {
                p.attr("kill")();
                p.attr("wait")();
            }
        throw;
    }
}

const char *const kPrepareSynthSig =
    "prepare_synth(out: str, num_utterances: int = 2000, seed: int = 0, progress: bool = True)";
nb::object prepare_synth(const ql::Args &a) {
    fs::path out = a.to_str("out");
    long long n = a.to_int("num_utterances"), seed = a.to_int("seed");
    bool progress = a.to_bool("progress");
    if (n < 3) ql::raise_value_error("num_utterances must be at least 3 (one per partition)");
    size_t total = static_cast<size_t>(n);
    nb::object exe = find_espeak();
    nb::dict want = synth_settings(total, seed);
    nb::object have = recorded_settings(out);
    if (have.is_valid()) check_settings(out, nb::borrow<nb::dict>(have), want);
    else write_settings(out, want);

    std::vector<std::string> text = synth::sentences(total, static_cast<uint64_t>(seed));
    nb::dict summary;
    size_t base = 0;
    for (const synth::Split &split : synth::splits(total)) {
        std::string partition = split.name;
        PartitionWriter writer(out, partition, partition != synth::kTestPartition, kSynthFeats);
        std::vector<SynthUtterance> utts = synth_partition(split, base, text);
        std::vector<size_t> todo = writer.unfinished(utts);
        writer.create_folders();
        nb::object bar = utterance_bar(utts.size(), "Synthesising " + partition, progress);
        ql::ContextGuard closer(bar);  // closes the bar, also on an error
        bar.attr("update")(utts.size() - todo.size());
        synthesise(writer, utts, todo, exe, static_cast<uint64_t>(seed), bar);
        closer.close();
        writer.finish(utts);
        summary[py_str(partition)] = counts(todo.size(), utts.size() - todo.size());
        base += split.count;
    }
    return summary;
}

// ---------------------------------------------------------------------------
// Reading transcripts back
// ---------------------------------------------------------------------------

const char *const kReadTranscriptsSig = "read_transcripts(path: str)";
nb::object read_transcripts(const ql::Args &a) {
    fs::path path = a.to_str("path");
    if (!fs::exists(path)) ql::raise(PyExc_FileNotFoundError, "No such transcript file: " + path.string());
    nb::list out;
    for (auto &[id, text] : ql::librispeech::parse_transcripts(path))
        out.append(nb::make_tuple(py_str(id), py_str(text)));
    return out;
}

const char *const kComputeFbankDoc = R"doc(Kaldi-compatible log-mel filter banks of one recording.

Args:
    samples: float samples in [-1, 1], shape (frames,) or (frames, channels);
        channels are averaged.
    sample_rate: samples per second.
    num_feats: number of mel bins.

Returns:
    (num_feats, frames) float32 array: 25 ms windows every 10 ms, no dither,
    mel range up to 8 kHz.)doc";

const char *const kPrepareLibrispeechDoc = R"doc(Convert a LibriSpeech-style tree into the corpus layout of the speech dataset.

Every '*.trans.txt' below `src` lists '<utt> <transcript>' lines whose audio is
'<utt>.flac' in the same folder. The partition of a transcript file is the first
folder below `src` (src/<partition>/<speaker>/<chapter>/), or the name of `src`
itself when it holds speakers directly. Writes, per partition,
out/<partition>/fbank/<utt>.npy ((num_feats, frames) float32),
out/<partition>/text/<utt>.npy (array of characters) and
out/<partition>/transcripts.txt, and the settings in out/corpus.json.

The whole tree is checked before anything is written: a missing recording, a
recording without a transcript line, a transcript that is not UTF-8 and a `src`
above the partitions (a folder holding LibriSpeech/) raise an error naming the file
or the folder to use. Utterances whose files read back complete are skipped and
damaged ones are made again, so an interrupted run can simply be repeated; an `out`
made with other settings (another num_feats) is refused. Files are written
atomically and flushed to disk. An unreadable audio file raises ValueError naming it.

Returns:
    {partition: {'written': int, 'skipped': int}})doc";

const char *const kPrepareSynthDoc = R"doc(Make a small synthetic speech corpus with espeak-ng.

Sentences come from a small grammar with a closed vocabulary; each utterance gets
a voice, speed and pitch of its own and light white noise (20-35 dB SNR). One tenth
of the utterances go to 'dev-clean', one tenth to 'test-clean' (at least one each)
and the rest to 'train-clean-100'. 'test-clean' has no text/ folder; its references
are in out/test-clean/transcripts.txt, like every partition's. The corpus depends
only on `num_utterances` and `seed`; a re-run skips finished utterances, and a
folder made with other settings is refused.

Returns:
    {partition: {'written': int, 'skipped': int}})doc";

}  // namespace

QL_MODULE(prepare, m) {
    globals.bind(m);
    globals.set("np", ql::import("numpy"));
    globals.set("io", ql::import("io"));
    globals.set("json", ql::import("json"));
    globals.set("shutil", ql::import("shutil"));
    globals.set("subprocess", ql::import("subprocess"));
    globals.set("soundfile", ql::import("soundfile"));
    globals.set("knf", ql::import("kaldi_native_fbank"));
    globals.from("tqdm", {"tqdm"});
    m.doc() = "Corpus preparation: audio to the filter-bank and transcript files the speech dataset reads.";

    ql::def(m, kComputeFbankSig, compute_fbank, kComputeFbankDoc);
    ql::def(m, kReadAudioSig, read_audio_file,
            "Decode an audio file (a path or a file object) as prepare does: (samples (frames, channels)\n"
            "float32 in [-1, 1], sample rate). A file that cannot be decoded raises ValueError naming it.");
    ql::def(m, kPrepareLibrispeechSig, prepare_librispeech, kPrepareLibrispeechDoc);
    ql::def(m, kPrepareSynthSig, prepare_synth, kPrepareSynthDoc);
    ql::def(m, kSynthSentencesSig, synth_sentences,
            "`n` sentences of the synthetic corpus' grammar, deterministic for `seed`.");
    ql::def(m, kReadTranscriptsSig, read_transcripts,
            "Read a transcripts file: a list of (utterance, transcript) pairs in file order.");
    m.attr("ESPEAK_INSTALL_COMMAND") = kEspeakInstall;
}
