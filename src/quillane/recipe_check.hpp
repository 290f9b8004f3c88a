// Checking a recipe's configuration against its description (recipe_schema.hpp): every key is
// known, every value has the right kind and range, omitted keys take their defaults. All
// problems of a configuration are collected and reported together, each naming the key as the
// configuration file spells it; an unknown key comes with the nearest valid name.
#pragma once

#include "core.hpp"
#include "globals.hpp"
#include "pyops.hpp"
#include "recipe_schema.hpp"
#include "utils/settings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace recipe {
namespace nb = nanobind;
namespace settings = ql::settings;

// The recipes module's imported names (yaml, torch, the library's classes, ConfigError).
inline ql::ModuleGlobals globals;

[[noreturn]] inline void raise_config_error(const std::string &message) {
    ql::raise(globals["ConfigError"].ptr(), message);
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

inline std::string lower(std::string s) {
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) from a to b, case ignored.
inline size_t distance(const std::string &x, const std::string &y) {
    std::string a = lower(x), b = lower(y);
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// Whether `typed` is close enough to `known` to be a misspelling of it.
inline bool misspelt(const std::string &typed, const std::string &known) {
    return distance(typed, known) <= std::max<size_t>(1, typed.size() / 3);
}

inline std::string join(const std::string &path, const std::string &key) { return path.empty() ? key : path + "." + key; }

inline std::string leaf_of(const std::string &path) { return path.substr(path.find_last_of('.') + 1); }

inline size_t depth_of(const std::string &path) { return size_t(std::count(path.begin(), path.end(), '.')); }

// Every key path of a recipe ("data.root", "optimizer.adamw.betas", ...); the insides of named
// entries and of lists are left out, their names being the user's.
inline void collect_paths(const std::vector<Field> &fields, const std::string &prefix, std::set<std::string> &out) {
    for (const Field &f : fields) {
        std::string path = join(prefix, f.name);
        out.insert(path);
        if (f.kind == Kind::Section) collect_paths(f.fields, path, out);
    }
}

inline const std::set<std::string> &paths_of(const std::string &trainer) {
    static std::set<std::string> all[3];
    for (size_t i = 0; i < 3; ++i)
        if (trainer == kTrainerKinds[i]) {
            if (all[i].empty()) collect_paths(recipe_for(trainer).fields, "", all[i]);
            return all[i];
        }
    return paths_of("asr");
}

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

inline std::string number_text(double x) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", x);
    return buffer;
}

// What a number field asks for, in words: "a positive number", "a number from 0 to 1", ...
inline std::string requirement(const Field &f, bool whole) {
    const std::string noun = whole ? "a whole number" : "a number";
    const bool has_low = std::isfinite(f.low), has_high = std::isfinite(f.high);
    if (!has_low && !has_high) return whole ? noun : "a finite number";
    if (!has_high) {
        if (f.low == 0 && f.low_open) return whole ? "a positive whole number" : "a positive number";
        if (whole && f.low == 1) return "a positive whole number";
        return noun + (f.low_open ? " above " : " of at least ") + number_text(f.low);
    }
    if (!has_low) return noun + (f.high_open ? " below " : " of at most ") + number_text(f.high);
    std::string from = (f.low_open ? "above " : "from ") + number_text(f.low);
    std::string to = f.high_open ? " up to (not including) " : (f.low_open ? " and at most " : " to ");
    return noun + " " + from + to + number_text(f.high);
}

inline bool in_range(const Field &f, double x) {
    bool low_ok = f.low_open ? x > f.low : x >= f.low;
    bool high_ok = f.high_open ? x < f.high : x <= f.high;
    return low_ok && high_ok;
}

inline bool is_list(nb::handle v) { return PyList_Check(v.ptr()) || PyTuple_Check(v.ptr()); }

class Checker {
public:
    Checker(std::string trainer, std::set<std::string> overridden)
        : trainer_(std::move(trainer)), overridden_(std::move(overridden)) {}

    std::vector<std::string> problems;

    // The section's settings checked and completed with defaults; invalid when it is no mapping.
    nb::object section(const std::vector<Field> &fields, nb::handle value, const std::string &path) {
        if (value.is_none()) return section(fields, nb::dict(), path);  // a YAML key with nothing under it
        if (!PyDict_Check(value.ptr())) {
            add(path, (path.empty() ? std::string("the configuration") : path) +
                          " must be a mapping of settings, got " + settings::describe(value));
            return nb::object();
        }
        nb::dict given = nb::borrow<nb::dict>(value), out;
        for (auto [key, item] : given) {
            if (!PyUnicode_Check(key.ptr())) {
                add(path, "key " + ql::repr(key) + (path.empty() ? "" : " of " + path) + " must be a name");
            } else if (!known(fields, nb::cast<std::string>(key))) {
                add(join(path, nb::cast<std::string>(key)), unknown_key(fields, path, nb::cast<std::string>(key)));
            }
        }
        for (const Field &f : fields) {
            std::string p = join(path, f.name);
            nb::str key(f.name.c_str());
            if (ql::contains(given, key)) {
                nb::object checked = field_value(f, given[key], p);
                if (checked.is_valid()) out[key] = checked;
            } else if (!applies(f, fields, given)) {
                continue;
            } else if (f.required) {
                add(p, "missing key " + p + " (" + f.about + ")");
            } else if (!f.fallback.empty()) {
                nb::object fallback = globals["yaml"].attr("safe_load")(f.fallback);
                nb::object checked = fallback.is_none() ? fallback : field_value(f, fallback, p);
                if (checked.is_valid()) out[key] = checked;
            }
        }
        return out;
    }

private:
    std::string trainer_;  // the recipe's trainer kind, for hints about another kind's settings
    std::set<std::string> overridden_;

    // Records a problem; one about a key a --set override gave says so.
    void add(const std::string &path, std::string message) {
        for (const std::string &o : overridden_) {
            auto under = [](const std::string &a, const std::string &b) {
                return a.compare(0, b.size(), b) == 0 && (a.size() == b.size() || a[b.size()] == '.' || a[b.size()] == '[');
            };
            if (!path.empty() && (under(path, o) || under(o, path))) {
                message += " (from --set)";
                break;
            }
        }
        problems.push_back(std::move(message));
    }

    static bool known(const std::vector<Field> &fields, const std::string &key) {
        return std::any_of(fields.begin(), fields.end(), [&](const Field &f) { return f.name == key; });
    }

    // A field that depends on a sibling's value (optimizer.adamw on optimizer.name, ...).
    static bool applies(const Field &f, const std::vector<Field> &fields, const nb::dict &given) {
        if (f.when_key.empty()) return true;
        nb::object value;
        if (ql::contains(given, nb::str(f.when_key.c_str()))) {
            value = given[f.when_key.c_str()];
        } else {
            auto sibling = std::find_if(fields.begin(), fields.end(), [&](const Field &s) { return s.name == f.when_key; });
            if (sibling == fields.end() || sibling->fallback.empty()) return false;
            value = globals["yaml"].attr("safe_load")(sibling->fallback);
        }
        return PyUnicode_Check(value.ptr()) && lower(nb::cast<std::string>(value)) == f.when_value;
    }

    std::string unknown_key(const std::vector<Field> &fields, const std::string &path, const std::string &key) {
        const std::string full = join(path, key);
        std::string message = "unknown key " + full;
        const Field *nearest = nullptr;
        for (const Field &f : fields)
            if (misspelt(key, f.name) && (!nearest || distance(key, f.name) < distance(key, nearest->name))) nearest = &f;
        if (nearest) return message + " \u2014 did you mean " + join(path, nearest->name) + "?";

        // the same name in another section (training.label_smoothing -> loss.label_smoothing), at
        // the same depth before a setting of another trainer kind, at another depth after it
        std::string elsewhere;
        auto rank = [&](const std::string &p) {
            size_t a = depth_of(p), b = depth_of(full);
            return std::make_pair(a > b ? a - b : b - a, distance(p, full));
        };
        for (const std::string &p : paths_of(trainer_))
            if (lower(leaf_of(p)) == lower(key) && (elsewhere.empty() || rank(p) < rank(elsewhere))) elsewhere = p;
        if (!elsewhere.empty() && rank(elsewhere).first == 0) return message + " \u2014 did you mean " + elsewhere + "?";
        for (const char *other : kTrainerKinds)
            if (other != trainer_ && paths_of(other).count(full))
                return message + " \u2014 it is a setting of trainer: " + other + " (this recipe's trainer is " + trainer_ + ")";
        if (!elsewhere.empty()) return message + " \u2014 did you mean " + elsewhere + "?";

        std::string names;
        for (const Field &f : fields) names += (names.empty() ? "" : ", ") + f.name;
        return message + " (" + (path.empty() ? std::string("the configuration") : path) + " holds: " + names + ")";
    }

    nb::object field_value(const Field &f, nb::handle value, const std::string &path) {
        if (value.is_none() && f.nullable) return nb::none();
        switch (f.kind) {
            case Kind::Section: return section(f.fields, value, path);
            case Kind::Entries: return named_sections(f, value, path);
            case Kind::SectionList: return list_of(value, path, "sections", [&](nb::handle item, const std::string &p) {
                return section(f.fields, item, p);
            });
            case Kind::Int: return whole_number(f, value, path);
            case Kind::Float: return number(f, value, path);
            case Kind::Bool: return flag(value, path);
            case Kind::Text: return text(value, path);
            case Kind::Choice: return one_of(f, value, path);
            case Kind::IntList: return list_of(value, path, "whole numbers", [&](nb::handle item, const std::string &p) {
                return whole_number(f, item, p);
            });
            case Kind::BoolList: return list_of(value, path, "true/false flags", [&](nb::handle item, const std::string &p) {
                return flag(item, p);
            });
            case Kind::TextList: return text_list(value, path);
            case Kind::FloatPair: return pair(f, value, path);
            case Kind::FloatOrList:
                if (!is_list(value)) return number(f, value, path);
                return list_of(value, path, "numbers", [&](nb::handle item, const std::string &p) {
                    return number(f, item, p);
                });
        }
        return nb::object();
    }

    void wrong_kind(const std::string &path, const std::string &wanted, nb::handle value, const std::string &hint = "") {
        add(path, path + " must be " + wanted + ", got " + settings::describe(value) + hint);
    }

    nb::object whole_number(const Field &f, nb::handle value, const std::string &path) {
        if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) {
            wrong_kind(path, requirement(f, true), value, settings::text_number_hint(value, true));
            return nb::object();
        }
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        double v = overflow ? overflow * HUGE_VAL : double(x);
        if (!in_range(f, v)) {
            add(path, path + " must be " + requirement(f, true) + ", got " + ql::repr(value));
            return nb::object();
        }
        return nb::borrow(value);
    }

    // A number, as a Python float. Text that spells a number is taken as that number: YAML
    // reads 1e-3 (no dot) as text.
    nb::object number(const Field &f, nb::handle value, const std::string &path) {
        PyObject *o = value.ptr();
        bool text_number = PyUnicode_Check(o) && settings::is_decimal(nb::cast<std::string>(value));
        if (!text_number && (PyBool_Check(o) || !(PyFloat_Check(o) || PyLong_Check(o)))) {
            wrong_kind(path, requirement(f, false), value);
            return nb::object();
        }
        PyObject *converted = text_number ? PyFloat_FromString(o) : PyNumber_Float(o);
        if (!converted) {
            PyErr_Clear();  // an int too large for a float
            add(path, path + " must be " + requirement(f, false) + ", got " + ql::repr(value));
            return nb::object();
        }
        nb::object x = nb::steal(converted);
        double v = PyFloat_AS_DOUBLE(converted);
        if (!std::isfinite(v) || !in_range(f, v)) {
            add(path, path + " must be " + requirement(f, false) + ", got " + ql::repr(value));
            return nb::object();
        }
        return x;
    }

    nb::object flag(nb::handle value, const std::string &path) {
        if (PyBool_Check(value.ptr())) return nb::borrow(value);
        wrong_kind(path, "true or false", value);
        return nb::object();
    }

    nb::object text(nb::handle value, const std::string &path) {
        if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
        bool scalar = PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
        wrong_kind(path, "a string", value, scalar ? "; write it in quotes" : "");
        return nb::object();
    }

    nb::object one_of(const Field &f, nb::handle value, const std::string &path) {
        std::string listed;
        for (const std::string &c : f.choices) listed += (listed.empty() ? "'" : ", '") + c + "'";
        if (!PyUnicode_Check(value.ptr())) {
            wrong_kind(path, "one of " + listed, value);
            return nb::object();
        }
        std::string given = nb::cast<std::string>(value);
        for (const std::string &c : f.choices)
            if ((f.any_case ? lower(given) : given) == c) return nb::borrow(value);
        std::string message = path + " must be one of " + listed + ", got " + ql::repr(value);
        const std::string *nearest = nullptr;
        for (const std::string &c : f.choices)
            if (misspelt(given, c) && (!nearest || distance(given, c) < distance(given, *nearest))) nearest = &c;
        if (nearest) message += " \u2014 did you mean '" + *nearest + "'?";
        add(path, message);
        return nb::object();
    }

    template <typename Check>
    nb::object list_of(nb::handle value, const std::string &path, const char *what, Check check) {
        if (!is_list(value)) {
            wrong_kind(path, std::string("a list of ") + what, value);
            return nb::object();
        }
        nb::list out;
        bool ok = true;
        size_t i = 0;
        for (nb::handle item : value) {
            nb::object checked = check(item, path + "[" + std::to_string(i++) + "]");
            ok = ok && checked.is_valid();
            if (checked.is_valid()) out.append(checked);
        }
        return ok ? nb::object(out) : nb::object();
    }

    nb::object text_list(nb::handle value, const std::string &path) {
        if (PyUnicode_Check(value.ptr())) {
            wrong_kind(path, "a list of strings", value, "; write [" + ql::repr(value) + "] for a single entry");
            return nb::object();
        }
        return list_of(value, path, "strings", [&](nb::handle item, const std::string &p) { return text(item, p); });
    }

    nb::object pair(const Field &f, nb::handle value, const std::string &path) {
        if (!is_list(value) || nb::len(value) != 2) {
            wrong_kind(path, "a pair of numbers", value);
            return nb::object();
        }
        return list_of(value, path, "numbers", [&](nb::handle item, const std::string &p) { return number(f, item, p); });
    }

    nb::object named_sections(const Field &f, nb::handle value, const std::string &path) {
        if (value.is_none() || !PyDict_Check(value.ptr())) {
            wrong_kind(path, "a mapping from names to sections", value);
            return nb::object();
        }
        nb::dict out;
        for (auto [name, item] : nb::borrow<nb::dict>(value)) {
            if (!PyUnicode_Check(name.ptr())) {
                add(path, path + " names must be strings, got " + settings::describe(name));
                continue;
            }
            nb::object checked = section(f.fields, item, join(path, nb::cast<std::string>(name)));
            if (checked.is_valid()) out[name] = checked;
        }
        return out;
    }
};

}  // namespace recipe
