// Reading a LibriSpeech-style source tree: <partition>/<speaker>/<chapter>/ folders holding
// <utt>.flac recordings and one *.trans.txt file of "<utt> <transcript>" lines. The whole tree
// is read and checked here, before anything is written: a missing recording, a recording
// without a transcript line, a duplicated id, a transcript that is not UTF-8 text or a source
// folder above the corpus is reported with the file or folder it concerns.
#pragma once

#include "core.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ql::librispeech {
namespace fs = std::filesystem;

// One utterance to prepare: its id, its transcript and its recording.
struct Utterance {
    std::string name;
    std::string text;
    fs::path audio;
};

using Partitions = std::map<std::string, std::vector<Utterance>>;

inline std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

inline bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
inline bool is_utf8(const std::string &s) {
    static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char lead = static_cast<unsigned char>(s[i]);
        size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
        if (extra == 4 || n - i <= extra) return false;
        uint32_t cp = lead & (0x7Fu >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// "<utt> <words...>" per line; blank lines are skipped, a line without words is an empty
// transcript.
inline std::vector<std::pair<std::string, std::string>> parse_transcripts(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) raise(PyExc_OSError, "Cannot read transcript file " + file.string());
    std::vector<std::pair<std::string, std::string>> out;
    std::string line;
    size_t lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::string where = file.string() + " line " + std::to_string(lineno);
        if (!is_utf8(line)) raise_value_error("Transcript " + where + " is not UTF-8 text");
        std::string t = trim(line);
        if (t.empty()) continue;
        size_t sp = t.find_first_of(" \t");
        std::string id = sp == std::string::npos ? t : t.substr(0, sp);
        std::string text = sp == std::string::npos ? std::string() : trim(t.substr(sp + 1));
        if (id.find('/') != std::string::npos || id == "." || id == "..")
            raise_value_error("Bad utterance id '" + id + "' in " + where);
        out.emplace_back(std::move(id), std::move(text));
    }
    return out;
}

// The transcript files and recordings below the source, each list sorted.
struct Tree {
    std::vector<fs::path> transcripts, recordings;
};

inline Tree scan(const fs::path &src) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(src, fs::directory_options::follow_directory_symlink);
         it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        const std::string name = it->path().filename().string();
        if (ends_with(name, ".trans.txt")) tree.transcripts.push_back(it->path());
        else if (ends_with(name, ".flac")) tree.recordings.push_back(it->path());
    }
    std::sort(tree.transcripts.begin(), tree.transcripts.end());
    std::sort(tree.recordings.begin(), tree.recordings.end());
    return tree;
}

// Partition of a transcript file below the source root: in the usual layout
// <partition>/<speaker>/<chapter>/*.trans.txt it is the first component; when the source
// is itself one partition (<speaker>/<chapter>/*.trans.txt) it is the source's own name.
// Deeper files mean the source is a folder above the corpus (say the one an archive was
// unpacked into, holding LibriSpeech/): its first folder would become one partition that
// swallows all the others, so that source is refused, naming the folder to use instead.
inline std::string partition_of(const fs::path &src, const fs::path &transcript) {
    std::vector<std::string> parts;
    for (const auto &c : transcript.parent_path().lexically_relative(src))
        if (c != ".") parts.push_back(c.string());
    if (parts.size() > 3) {
        fs::path corpus = src;
        for (size_t i = 0; i + 3 < parts.size(); ++i) corpus /= parts[i];
        raise_value_error(src.string() + " is a folder above the corpus: its transcript files lie " +
                          std::to_string(parts.size()) + " folders deep (" + transcript.string() + "). Use " +
                          corpus.string() + ", the folder that holds the partitions, as the source");
    }
    if (parts.size() == 3) return parts[0];
    fs::path canon = fs::weakly_canonical(src);
    std::string name = canon.filename().string();
    if (name.empty()) name = canon.parent_path().filename().string();
    return name.empty() ? std::string("corpus") : name;
}

// Every recording must be listed in a transcript file: one without a line would otherwise
// be left out of the corpus without a word.
inline void check_every_recording_listed(const Tree &tree, const std::set<fs::path> &listed) {
    std::vector<fs::path> unlisted;
    for (const fs::path &audio : tree.recordings)
        if (!listed.count(audio)) unlisted.push_back(audio);
    if (unlisted.empty()) return;
    std::string names;
    for (size_t i = 0; i < unlisted.size() && i < 5; ++i) names += (i ? ", " : "") + unlisted[i].string();
    if (unlisted.size() > 5) names += " and " + std::to_string(unlisted.size() - 5) + " more";
    raise_value_error(std::to_string(unlisted.size()) + " audio file" + (unlisted.size() == 1 ? " has" : "s have") +
                      " no line in the *.trans.txt file of its folder: " + names +
                      ". Add the transcripts, or move the recordings out of the source");
}

// Every utterance below `src`, by partition, in transcript-file order.
inline Partitions gather(const fs::path &src) {
    Tree tree = scan(src);
    if (tree.transcripts.empty())
        raise(PyExc_FileNotFoundError, "No *.trans.txt transcript files found below " + src.string());
    Partitions partitions;
    std::map<std::string, std::set<std::string>> seen;
    std::set<fs::path> listed;
    for (const fs::path &tf : tree.transcripts) {
        std::string partition = partition_of(src, tf);
        for (auto &[id, text] : parse_transcripts(tf)) {
            fs::path audio = tf.parent_path() / (id + ".flac");
            if (!fs::exists(audio))
                raise(PyExc_FileNotFoundError,
                      "Audio file " + audio.string() + " listed in " + tf.string() + " does not exist");
            if (!seen[partition].insert(id).second)
                raise_value_error("Utterance id '" + id + "' appears twice in partition " + partition);
            listed.insert(audio);
            partitions[partition].push_back(Utterance{id, text, audio});
        }
    }
    check_every_recording_listed(tree, listed);
    return partitions;
}

}  // namespace ql::librispeech
