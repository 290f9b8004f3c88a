// What the synthetic corpus says and how each utterance sounds: a small grammar with a closed
// vocabulary, the split into partitions, a voice per utterance and the added noise. Nothing
// here depends on the platform: the generator and every draw are fixed by the seed.
#pragma once

#include "core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace ql::synth {

constexpr const char *kTestPartition = "test-clean";

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

inline uint64_t mix(uint64_t a, uint64_t b) {
    Rng r(a * 0x100000001B3ULL ^ (b + 0x9E3779B97F4A7C15ULL));
    r.next();
    return r.next();
}

// A small grammar with a closed vocabulary: who does what to which thing, and sometimes
// where or when.
inline const char *const kSubjects[] = {"the cat", "a dog", "my friend", "the old man", "the little girl",
                                        "her brother", "our teacher", "the farmer", "a bird", "his sister",
                                        "the doctor", "my mother"};
inline const char *const kVerbs[] = {"sees", "likes", "finds", "wants", "takes", "needs",
                                     "holds", "brings", "paints", "moves", "sells", "keeps"};
inline const char *const kDeterminers[] = {"a", "the", "one", "two", "three", "some"};
inline const char *const kAdjectives[] = {"red", "green", "blue", "big", "small", "old", "new", "yellow"};
inline const char *const kNouns[] = {"ball", "box", "car", "book", "cup", "hat", "chair", "boat", "key", "bag"};
inline const char *const kTails[] = {"today", "at home", "in the park", "every morning", "again", "now",
                                     "after lunch", "near the river"};

inline std::string make_sentence(Rng &r) {
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
inline const char *const kVoices[] = {"en-us", "en-gb", "en-us+f2", "en-gb+f3", "en-us+m3",
                                      "en-gb-scotland", "en-029+m5", "en-us+f4", "en-gb-x-rp+m7", "en-us+klatt"};

// The partitions of a corpus of `total` utterances and their sizes, in corpus order.
struct Split {
    const char *name;
    size_t count;
};

inline std::vector<Split> splits(size_t total) {
    size_t held = std::max<size_t>(1, total / 10);
    if (total < 3) ql::raise_value_error("num_utterances must be at least 3 (one per partition)");
    return {{"train-clean-100", total - 2 * held}, {"dev-clean", held}, {kTestPartition, held}};
}

// The corpus' sentences in order: training sentences first; a held-out sentence that also
// occurs in the training partition is redrawn, so that held-out scores measure recognition of
// new word sequences rather than memorised ones.
inline std::vector<std::string> sentences(size_t total, uint64_t seed) {
    std::vector<Split> parts = splits(total);
    Rng r(mix(seed, 0x5E17E11CEULL));
    std::vector<std::string> out;
    std::set<std::string> train;
    for (size_t i = 0; i < parts[0].count; ++i) {
        out.push_back(make_sentence(r));
        train.insert(out.back());
    }
    for (size_t i = parts[0].count; i < total; ++i) {
        std::string s = make_sentence(r);
        for (int tries = 0; tries < 100 && train.count(s); ++tries) s = make_sentence(r);
        out.push_back(s);
    }
    return out;
}

struct Voice {
    std::string voice;
    int speed, pitch;
    double snr_db;
};

inline Voice draw_voice(uint64_t seed, size_t index) {
    Rng r(mix(seed, 0xA0D10000ULL + index));
    Voice v;
    v.voice = r.pick(kVoices);
    v.speed = 135 + static_cast<int>(r.below(56));  // words per minute
    v.pitch = 25 + static_cast<int>(r.below(51));
    v.snr_db = r.uniform(20.0, 35.0);
    return v;
}

// Adds white noise at the given signal-to-noise ratio, in place; deterministic for the seed.
// Touches no Python object, so it runs without the GIL.
inline void add_noise(std::vector<float> &x, double snr_db, uint64_t seed) {
    if (x.empty()) return;
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

}  // namespace ql::synth
