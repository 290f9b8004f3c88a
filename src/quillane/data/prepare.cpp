// Corpus preparation: turns audio into the on-disk layout the speech dataset reads,
//
//   <out>/<partition>/fbank/<utt>.npy      (num_feats, frames) float32 log-mel filter banks
//   <out>/<partition>/text/<utt>.npy       the transcript as an array of single characters
//   <out>/<partition>/transcripts.txt      "<utt> <transcript>" per line, in file-name order
//
// from two sources: a LibriSpeech-style tree (*.flac next to *.trans.txt) and a small
// synthetic corpus spoken by espeak-ng. Audio is decoded by soundfile and the filter banks
// come from kaldi-native-fbank; this module only moves samples between them, adds the
// synthetic corpus' noise and writes the files.
//
// Every output file is written to a hidden temporary name in its directory and renamed into
// place, so an interrupted run never leaves a truncated .npy file behind. A re-run skips the
// utterances whose feature and transcript files both exist.
#include "core.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {
namespace nb = nanobind;
namespace fs = std::filesystem;

nb::handle np, os_mod, io_mod, builtins, soundfile, knf, subprocess, shutil, tqdm, json;

constexpr const char *kTestPartition = "test-clean";
constexpr const char *kEspeakInstall = "apt-get install -y espeak-ng";

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

std::string path_str(const fs::path &p) { return p.string(); }

nb::object py_str(const std::string &s) { return nb::str(s.c_str(), s.size()); }

// Writes `array` as <path> atomically: the bytes go to a hidden sibling first, which is then
// renamed over the destination (a rename within one directory is atomic).
void save_npy_atomic(const fs::path &path, nb::handle array) {
    fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".part");
    try {
        nb::object f = builtins.attr("open")(path_str(tmp), "wb");
        try {
            np.attr("save")(f, array, nb::arg("allow_pickle") = false);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        os_mod.attr("replace")(path_str(tmp), path_str(path));
    } catch (...) {
        std::error_code ec;
        fs::remove(tmp, ec);
        throw;
    }
}

void write_text_atomic(const fs::path &path, const std::string &content) {
    fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".part");
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << content;
        if (!f) {
            std::error_code ec;
            fs::remove(tmp, ec);
            ql::raise(PyExc_OSError, "Cannot write " + path_str(path));
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        ql::raise(PyExc_OSError, "Cannot write " + path_str(path));
    }
}

// The transcript as a 1-D array of single characters (dtype '<U1'), so that
// "".join(array.tolist()) gives the text back.
nb::object char_array(const std::string &text) {
    nb::object chars = builtins.attr("list")(py_str(text));
    return np.attr("array")(chars, nb::arg("dtype") = "<U1");
}

nb::object progress_bar(size_t total, const std::string &desc, bool enabled) {
    return tqdm(nb::arg("total") = total, nb::arg("desc") = desc, nb::arg("unit") = "utt",
                nb::arg("disable") = !enabled, nb::arg("dynamic_ncols") = true);
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
    nb::object get_frame = fbank.attr("get_frame");
    for (long long t = 0; t < frames; ++t) {
        nb::object row = np.attr("asarray")(get_frame(t), nb::arg("dtype") = "float32");
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
        nb::object result = soundfile.attr("read")(source, nb::arg("dtype") = "float32", nb::arg("always_2d") = true);
        auto parts = ql::unpack(result, 2);
        return {np.attr("ascontiguousarray")(parts[0]), nb::cast<double>(parts[1])};
    } catch (nb::python_error &e) {
        std::string reason = ql::str(e.value());
        ql::raise_value_error("Cannot read audio file " + name + ": " + reason);
    }
}

void check_frames(nb::handle feats, const std::string &name) {
    long long frames = nb::cast<long long>(feats.attr("shape")[1]);
    if (frames == 0)
        ql::raise_value_error("Audio file " + name + " is too short for a single filter-bank frame (25 ms)");
}

nb::object compute_fbank(const ql::Args &a) {
    long long num_feats = a.to_int("num_feats");
    if (num_feats <= 0) ql::raise_value_error("num_feats must be positive");
    double rate = a.to_double("sample_rate");
    if (!(rate > 0.0)) ql::raise_value_error("sample_rate must be positive");
    nb::object samples = np.attr("asarray")(a["samples"], nb::arg("dtype") = "float32");
    long long ndim = nb::cast<long long>(samples.attr("ndim"));
    if (ndim == 1) samples = samples.attr("reshape")(-1, 1);
    else if (ndim != 2) ql::raise_value_error("samples must be 1-D (mono) or 2-D (frames, channels)");
    samples = np.attr("ascontiguousarray")(samples);
    return fbank_of(to_mono_int16_scale(samples), rate, static_cast<int>(num_feats));
}

// ---------------------------------------------------------------------------
// Output partitions
// ---------------------------------------------------------------------------

struct Utterance {
    std::string name;
    std::string text;
    fs::path audio;   // LibriSpeech only
    size_t index = 0; // synthetic corpus only: position in the whole corpus
};

struct PartitionWriter {
    fs::path fbank_dir, text_dir, root;
    bool with_text;

    PartitionWriter(const fs::path &out, const std::string &partition, bool text)
        : fbank_dir(out / partition / "fbank"), text_dir(out / partition / "text"), root(out / partition),
          with_text(text) {
        fs::create_directories(fbank_dir);
        if (with_text) fs::create_directories(text_dir);
    }

    fs::path fbank_path(const std::string &name) const { return fbank_dir / (name + ".npy"); }
    fs::path text_path(const std::string &name) const { return text_dir / (name + ".npy"); }

    bool done(const std::string &name) const {
        return fs::exists(fbank_path(name)) && (!with_text || fs::exists(text_path(name)));
    }

    // Features first, transcript last: an utterance counts as finished only once both exist.
    void write(const std::string &name, nb::handle feats, const std::string &text) const {
        save_npy_atomic(fbank_path(name), feats);
        if (with_text) save_npy_atomic(text_path(name), char_array(text));
    }

    void write_transcripts(const std::vector<Utterance> &utts) const {
        std::string content;
        for (const Utterance &u : utts) content += u.name + " " + u.text + "\n";
        write_text_atomic(root / "transcripts.txt", content);
    }
};

nb::dict counts(size_t written, size_t skipped) {
    nb::dict d;
    d["written"] = written;
    d["skipped"] = skipped;
    return d;
}

// ---------------------------------------------------------------------------
// LibriSpeech-style trees
// ---------------------------------------------------------------------------

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "<utt> <words...>" per line; blank lines are skipped, a line without words is an empty
// transcript.
std::vector<std::pair<std::string, std::string>> parse_transcripts(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) ql::raise(PyExc_OSError, "Cannot read transcript file " + path_str(file));
    std::vector<std::pair<std::string, std::string>> out;
    std::string line;
    size_t lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::string t = trim(line);
        if (t.empty()) continue;
        size_t sp = t.find_first_of(" \t");
        std::string id = sp == std::string::npos ? t : t.substr(0, sp);
        std::string text = sp == std::string::npos ? std::string() : trim(t.substr(sp + 1));
        if (id.find('/') != std::string::npos || id == "." || id == "..")
            ql::raise_value_error("Bad utterance id '" + id + "' in " + path_str(file) + " line " +
                                  std::to_string(lineno));
        out.emplace_back(std::move(id), std::move(text));
    }
    return out;
}

// Partition of a transcript file below the source root: in the usual layout
// <partition>/<speaker>/<chapter>/*.trans.txt it is the first component; when the source
// is itself one partition (<speaker>/<chapter>/*.trans.txt) it is the source's own name.
std::string partition_of(const fs::path &src, const fs::path &trans_dir) {
    fs::path rel = trans_dir.lexically_relative(src);
    std::vector<std::string> parts;
    for (const auto &c : rel)
        if (c != ".") parts.push_back(c.string());
    if (parts.size() >= 3) return parts[0];
    fs::path canon = fs::weakly_canonical(src);
    std::string name = canon.filename().string();
    if (name.empty()) name = canon.parent_path().filename().string();
    return name.empty() ? std::string("corpus") : name;
}

nb::object prepare_librispeech(const ql::Args &a) {
    fs::path src = a.to_str("src"), out = a.to_str("out");
    long long num_feats = a.to_int("num_feats");
    bool progress = a.to_bool("progress");
    if (num_feats <= 0) ql::raise_value_error("num_feats must be positive");
    if (!fs::is_directory(src)) ql::raise(PyExc_FileNotFoundError, "No such source directory: " + path_str(src));

    std::vector<fs::path> trans_files;
    for (auto it = fs::recursive_directory_iterator(src, fs::directory_options::follow_directory_symlink);
         it != fs::recursive_directory_iterator(); ++it) {
        const std::string fname = it->path().filename().string();
        const std::string suffix = ".trans.txt";
        if (it->is_regular_file() && fname.size() > suffix.size() &&
            fname.compare(fname.size() - suffix.size(), suffix.size(), suffix) == 0)
            trans_files.push_back(it->path());
    }
    if (trans_files.empty())
        ql::raise(PyExc_FileNotFoundError, "No *.trans.txt transcript files found below " + path_str(src));
    std::sort(trans_files.begin(), trans_files.end());

    // Gather every utterance first, so that a missing audio file or a duplicated id is
    // reported before anything is written.
    std::map<std::string, std::vector<Utterance>> partitions;
    std::map<std::string, std::set<std::string>> seen;
    for (const fs::path &tf : trans_files) {
        std::string partition = partition_of(src, tf.parent_path());
        for (auto &[id, text] : parse_transcripts(tf)) {
            fs::path audio = tf.parent_path() / (id + ".flac");
            if (!fs::exists(audio))
                ql::raise(PyExc_FileNotFoundError,
                          "Audio file " + path_str(audio) + " listed in " + path_str(tf) + " does not exist");
            if (!seen[partition].insert(id).second)
                ql::raise_value_error("Utterance id '" + id + "' appears twice in partition " + partition);
            partitions[partition].push_back(Utterance{id, text, audio, 0});
        }
    }

    nb::dict summary;
    for (auto &[partition, utts] : partitions) {
        std::sort(utts.begin(), utts.end(), [](const Utterance &x, const Utterance &y) { return x.name < y.name; });
        PartitionWriter writer(out, partition, true);
        size_t written = 0, skipped = 0;
        nb::object bar = progress_bar(utts.size(), "Preparing " + partition, progress);
        try {
            for (const Utterance &u : utts) {
                if (writer.done(u.name)) {
                    ++skipped;
                } else {
                    auto [samples, rate] = read_audio(py_str(path_str(u.audio)), path_str(u.audio));
                    nb::object feats = fbank_of(to_mono_int16_scale(samples), rate, static_cast<int>(num_feats));
                    check_frames(feats, path_str(u.audio));
                    writer.write(u.name, feats, u.text);
                    ++written;
                }
                bar.attr("update")(1);
            }
        } catch (...) {
            bar.attr("close")();
            throw;
        }
        bar.attr("close")();
        writer.write_transcripts(utts);
        summary[py_str(partition)] = counts(written, skipped);
    }
    return summary;
}

// ---------------------------------------------------------------------------
// Synthetic corpus
// ---------------------------------------------------------------------------

// splitmix64: a small generator whose output is fixed by its seed on every platform
// (unlike the standard distributions, whose algorithms differ between libraries).
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    template <size_t N>
    const char *pick(const char *const (&items)[N]) { return items[below(N)]; }
};

uint64_t mix(uint64_t a, uint64_t b) {
    Rng r(a * 0x100000001B3ULL ^ (b + 0x9E3779B97F4A7C15ULL));
    r.next();
    return r.next();
}

// A small grammar with a closed vocabulary: who does what to which thing, and sometimes
// where or when.
const char *const kSubjects[] = {"the cat", "a dog", "my friend", "the old man", "the little girl",
                                 "her brother", "our teacher", "the farmer", "a bird", "his sister",
                                 "the doctor", "my mother"};
const char *const kVerbs[] = {"sees", "likes", "finds", "wants", "takes", "needs",
                              "holds", "brings", "paints", "moves", "sells", "keeps"};
const char *const kDeterminers[] = {"a", "the", "one", "two", "three", "some"};
const char *const kAdjectives[] = {"red", "green", "blue", "big", "small", "old", "new", "yellow"};
const char *const kNouns[] = {"ball", "box", "car", "book", "cup", "hat", "chair", "boat", "key", "bag"};
const char *const kTails[] = {"today", "at home", "in the park", "every morning", "again", "now",
                              "after lunch", "near the river"};

std::string make_sentence(Rng &r) {
    std::string det = r.pick(kDeterminers);
    std::string noun = r.pick(kNouns);
    if (det == "two" || det == "three" || det == "some") noun += (noun == "box") ? "es" : "s";
    std::string s = std::string(r.pick(kSubjects)) + " " + r.pick(kVerbs) + " " + det;
    if (r.uniform() < 0.7) s += std::string(" ") + r.pick(kAdjectives);
    s += " " + noun;
    if (r.uniform() < 0.6) s += std::string(" ") + r.pick(kTails);
    return s;
}

// English voices with several variants (different formants, breathiness, pitch ranges).
const char *const kVoices[] = {"en-us", "en-gb", "en-us+f2", "en-gb+f3", "en-us+m3",
                               "en-gb-scotland", "en-029+m5", "en-us+f4", "en-gb-x-rp+m7", "en-us+klatt"};

struct Split {
    const char *name;
    size_t count;
};

std::vector<Split> synth_splits(size_t total) {
    size_t held = std::max<size_t>(1, total / 10);
    if (total < 3) ql::raise_value_error("num_utterances must be at least 3 (one per partition)");
    return {{"train-clean-100", total - 2 * held}, {"dev-clean", held}, {kTestPartition, held}};
}

// The corpus' sentences in order: training sentences first; a held-out sentence that also
// occurs in the training partition is redrawn, so that held-out scores measure recognition of
// new word sequences rather than memorised ones.
std::vector<std::string> synth_text(size_t total, uint64_t seed) {
    auto splits = synth_splits(total);
    Rng r(mix(seed, 0x5E17E11CEULL));
    std::vector<std::string> out;
    std::set<std::string> train;
    for (size_t i = 0; i < splits[0].count; ++i) {
        out.push_back(make_sentence(r));
        train.insert(out.back());
    }
    for (size_t i = splits[0].count; i < total; ++i) {
        std::string s = make_sentence(r);
        for (int tries = 0; tries < 100 && train.count(s); ++tries) s = make_sentence(r);
        out.push_back(s);
    }
    return out;
}

nb::object synth_sentences(const ql::Args &a) {
    long long n = a.to_int("n");
    if (n < 0) ql::raise_value_error("n must not be negative");
    Rng r(mix(static_cast<uint64_t>(a.to_int("seed")), 0x5E17E11CEULL));
    nb::list out;
    for (long long i = 0; i < n; ++i) out.append(py_str(make_sentence(r)));
    return out;
}

nb::object find_espeak() {
    nb::object path = shutil.attr("which")("espeak-ng");
    if (path.is_none())
        ql::raise(PyExc_FileNotFoundError,
                  std::string("espeak-ng is not installed; install it with: ") + kEspeakInstall +
                      " (as root, or with sudo)");
    return path;
}

struct Voice {
    std::string voice;
    int speed, pitch;
    double snr_db;
};

Voice draw_voice(uint64_t seed, size_t index) {
    Rng r(mix(seed, 0xA0D10000ULL + index));
    Voice v;
    v.voice = r.pick(kVoices);
    v.speed = 135 + static_cast<int>(r.below(56));  // words per minute
    v.pitch = 25 + static_cast<int>(r.below(51));
    v.snr_db = r.uniform(20.0, 35.0);
    return v;
}

nb::object start_espeak(nb::handle exe, const Voice &v, const std::string &text) {
    nb::list cmd;
    cmd.append(exe);
    for (const std::string &s : {std::string("-v"), v.voice, std::string("-s"), std::to_string(v.speed),
                                 std::string("-p"), std::to_string(v.pitch), std::string("--stdout"), text})
        cmd.append(py_str(s));
    nb::handle PIPE = subprocess.attr("PIPE");
    return subprocess.attr("Popen")(cmd, nb::arg("stdout") = PIPE, nb::arg("stderr") = PIPE);
}

nb::bytes finish_espeak(nb::handle proc, const std::string &text) {
    auto outs = ql::unpack(proc.attr("communicate")(), 2);
    long long rc = nb::cast<long long>(proc.attr("returncode"));
    if (rc != 0) {
        std::string err = nb::cast<std::string>(outs[1].attr("decode")("utf-8", "replace"));
        ql::raise_runtime_error("espeak-ng failed (exit status " + std::to_string(rc) + ") for \"" + text +
                                "\": " + trim(err));
    }
    return nb::borrow<nb::bytes>(outs[0]);
}

// Adds white noise at the given signal-to-noise ratio, in place; deterministic for the seed.
void add_noise(std::vector<float> &x, double snr_db, uint64_t seed) {
    if (x.empty()) return;
    nb::gil_scoped_release release;
    double power = 0.0;
    for (float s : x) power += static_cast<double>(s) * s;
    power /= static_cast<double>(x.size());
    if (power <= 0.0) return;
    double sigma = std::sqrt(power / std::pow(10.0, snr_db / 10.0));
    Rng r(seed);
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < x.size(); i += 2) {
        double u1 = std::max(r.uniform(), 1e-300), u2 = r.uniform();
        double rad = std::sqrt(-2.0 * std::log(u1));
        x[i] += static_cast<float>(sigma * rad * std::cos(two_pi * u2));
        if (i + 1 < x.size()) x[i + 1] += static_cast<float>(sigma * rad * std::sin(two_pi * u2));
    }
}

// The settings a synthetic corpus was made with, kept beside it so that a re-run with other
// settings cannot mix two corpora in one folder.
void check_manifest(const fs::path &out, size_t total, long long seed) {
    fs::path manifest = out / "corpus.json";
    nb::dict want;
    want["kind"] = "synth";
    want["num_utterances"] = total;
    want["seed"] = seed;
    if (fs::exists(manifest)) {
        nb::object f = builtins.attr("open")(path_str(manifest), "r");
        nb::object have;
        try {
            have = json.attr("load")(f);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        if (!have.equal(want))
            ql::raise_value_error(path_str(out) + " already holds a corpus made with other settings (" +
                                  ql::str(have) + "); choose another folder or delete it");
        return;
    }
    fs::create_directories(out);
    write_text_atomic(manifest, nb::cast<std::string>(json.attr("dumps")(want)) + "\n");
}

nb::object prepare_synth(const ql::Args &a) {
    fs::path out = a.to_str("out");
    long long n = a.to_int("num_utterances"), seed = a.to_int("seed");
    bool progress = a.to_bool("progress");
    if (n < 3) ql::raise_value_error("num_utterances must be at least 3 (one per partition)");
    size_t total = static_cast<size_t>(n);
    nb::object exe = find_espeak();
    check_manifest(out, total, seed);

    std::vector<std::string> text = synth_text(total, static_cast<uint64_t>(seed));
    nb::dict summary;
    size_t base = 0;
    constexpr size_t kInFlight = 3;  // espeak-ng processes kept running ahead of the feature extraction
    for (const Split &sp : synth_splits(total)) {
        std::string partition = sp.name;
        PartitionWriter writer(out, partition, partition != kTestPartition);
        std::vector<Utterance> utts;
        for (size_t i = 0; i < sp.count; ++i) {
            std::ostringstream name;
            name << "synth-" << std::setfill('0') << std::setw(6) << (base + i);
            utts.push_back(Utterance{name.str(), text[base + i], {}, base + i});
        }
        std::vector<size_t> todo;
        for (size_t i = 0; i < utts.size(); ++i)
            if (!writer.done(utts[i].name)) todo.push_back(i);

        nb::object bar = progress_bar(utts.size(), "Synthesising " + partition, progress);
        bar.attr("update")(utts.size() - todo.size());
        std::vector<nb::object> procs(todo.size());
        auto launch = [&](size_t k) {
            if (k < todo.size() && !procs[k].is_valid()) {
                const Utterance &u = utts[todo[k]];
                procs[k] = start_espeak(exe, draw_voice(static_cast<uint64_t>(seed), u.index), u.text);
            }
        };
        try {
            for (size_t k = 0; k < todo.size(); ++k) {
                for (size_t j = k; j < k + kInFlight; ++j) launch(j);
                const Utterance &u = utts[todo[k]];
                Voice v = draw_voice(static_cast<uint64_t>(seed), u.index);
                nb::bytes wav = finish_espeak(procs[k], u.text);
                procs[k] = nb::object();
                auto [samples, rate] = read_audio(io_mod.attr("BytesIO")(wav), "espeak-ng output for " + u.name);
                std::vector<float> mono = to_mono_int16_scale(samples);
                add_noise(mono, v.snr_db, mix(static_cast<uint64_t>(seed), 0x0015E000ULL + u.index));
                nb::object feats = fbank_of(mono, rate, 80);
                check_frames(feats, "espeak-ng output for " + u.name);
                writer.write(u.name, feats, u.text);
                bar.attr("update")(1);
            }
        } catch (...) {
            for (nb::object &p : procs)
                if (p.is_valid()) {
                    p.attr("kill")();
                    p.attr("wait")();
                }
            bar.attr("close")();
            throw;
        }
        bar.attr("close")();
        writer.write_transcripts(utts);
        summary[py_str(partition)] = counts(todo.size(), utts.size() - todo.size());
        base += sp.count;
    }
    return summary;
}

// ---------------------------------------------------------------------------
// Reading transcripts back
// ---------------------------------------------------------------------------

nb::object read_transcripts(const ql::Args &a) {
    fs::path path = a.to_str("path");
    if (!fs::exists(path)) ql::raise(PyExc_FileNotFoundError, "No such transcript file: " + path_str(path));
    nb::list out;
    for (auto &[id, text] : parse_transcripts(path)) out.append(nb::make_tuple(py_str(id), py_str(text)));
    return out;
}

}  // namespace

QL_MODULE(prepare, m) {
    np = ql::keep(ql::import("numpy"));
    os_mod = ql::keep(ql::import("os"));
    io_mod = ql::keep(ql::import("io"));
    builtins = ql::keep(ql::import("builtins"));
    shutil = ql::keep(ql::import("shutil"));
    subprocess = ql::keep(ql::import("subprocess"));
    json = ql::keep(ql::import("json"));
    soundfile = ql::keep(ql::import("soundfile"));
    knf = ql::keep(ql::import("kaldi_native_fbank"));
    tqdm = ql::keep(ql::import_attr("tqdm", "tqdm"));
    m.doc() = "Corpus preparation: audio to the filter-bank and transcript files the speech dataset reads.";

    ql::def(m, "compute_fbank(samples, sample_rate: float, num_feats: int = 80)", compute_fbank,
            "Kaldi-compatible log-mel filter banks of one recording.\n\n"
            "Args:\n"
            "    samples: float samples in [-1, 1], shape (frames,) or (frames, channels);\n"
            "        channels are averaged.\n"
            "    sample_rate: samples per second.\n"
            "    num_feats: number of mel bins.\n\n"
            "Returns:\n"
            "    (num_feats, frames) float32 array: 25 ms windows every 10 ms, no dither,\n"
            "    mel range up to 8 kHz.");
    ql::def(m, "prepare_librispeech(src: str, out: str, num_feats: int = 80, progress: bool = True)",
            prepare_librispeech,
            "Convert a LibriSpeech-style tree into the corpus layout of the speech dataset.\n\n"
            "Every '*.trans.txt' below `src` lists '<utt> <transcript>' lines whose audio is\n"
            "'<utt>.flac' in the same folder. The partition of a transcript file is the first\n"
            "folder below `src` (src/<partition>/<speaker>/<chapter>/), or the name of `src`\n"
            "itself when it holds speakers directly. Writes, per partition,\n"
            "out/<partition>/fbank/<utt>.npy ((num_feats, frames) float32),\n"
            "out/<partition>/text/<utt>.npy (array of characters) and\n"
            "out/<partition>/transcripts.txt.\n\n"
            "Finished utterances are skipped, so an interrupted run can simply be repeated.\n"
            "Files are written atomically. An unreadable audio file raises ValueError naming it.\n\n"
            "Returns:\n"
            "    {partition: {'written': int, 'skipped': int}}");
    ql::def(m, "prepare_synth(out: str, num_utterances: int = 2000, seed: int = 0, progress: bool = True)",
            prepare_synth,
            "Make a small synthetic speech corpus with espeak-ng.\n\n"
            "Sentences come from a small grammar with a closed vocabulary; each utterance gets\n"
            "a voice, speed and pitch of its own and light white noise (20-35 dB SNR). One tenth\n"
            "of the utterances go to 'dev-clean', one tenth to 'test-clean' (at least one each)\n"
            "and the rest to 'train-clean-100'. 'test-clean' has no text/ folder; its references\n"
            "are in out/test-clean/transcripts.txt, like every partition's. The corpus depends\n"
            "only on `num_utterances` and `seed`; a re-run skips finished utterances, and a\n"
            "folder made with other settings is refused.\n\n"
            "Returns:\n"
            "    {partition: {'written': int, 'skipped': int}}");
    ql::def(m, "synth_sentences(n: int, seed: int = 0)", synth_sentences,
            "`n` sentences of the synthetic corpus' grammar, deterministic for `seed`.");
    ql::def(m, "read_transcripts(path: str)", read_transcripts,
            "Read a transcripts file: a list of (utterance, transcript) pairs in file order.");
    m.attr("ESPEAK_INSTALL_COMMAND") = kEspeakInstall;
}
