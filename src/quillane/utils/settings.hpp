// Checks of the configuration values the optimizer and scheduler factories read. Each check
// names the setting as a configuration file spells it ("optimizer.adam.betas") together with
// the value it got, and runs before anything is printed or built, so a bad file fails at once
// instead of at the first training step.
#pragma once

#include "core.hpp"
#include "pyops.hpp"

#include <cctype>
#include <cmath>
#include <initializer_list>
#include <string>

namespace ql::settings {

// "the string '1e-3'" for text, "-1 (int)" for anything else.
inline std::string describe(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return "the string " + ql::repr(value);
    return ql::repr(value) + " (" + ql::type_name(value) + ")";
}

// Whether `text` is a plain decimal number: [+-]digits[.digits][(e|E)[+-]digits].
inline bool is_decimal(const std::string &text) {
    size_t i = 0, n = text.size();
    auto digits = [&] {
        size_t start = i;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i > start;
    };
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    bool whole = digits();
    bool fraction = false;
    if (i < n && text[i] == '.') {
        ++i;
        fraction = digits();
    }
    if (!whole && !fraction) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == n;
}

// How to write a decimal number so that YAML reads a float: PyYAML takes 1e-3 (no dot) and
// 1.0e3 (unsigned exponent) for text, while 1.0e-3 and 1.0e+3 are numbers.
inline std::string yaml_float(const std::string &text) {
    size_t e = text.find_first_of("eE");
    std::string mantissa = text.substr(0, e);
    std::string exponent = e == std::string::npos ? "" : text.substr(e + 1);
    if (mantissa.find('.') == std::string::npos) mantissa += ".0";
    if (!exponent.empty() && exponent[0] != '+' && exponent[0] != '-') exponent = "+" + exponent;
    return exponent.empty() ? mantissa : mantissa + "e" + exponent;
}

// The hint added when a number arrives as text, as numbers quoted or written without a dot
// in a YAML file do.
inline std::string text_number_hint(nb::handle value, bool whole) {
    if (!PyUnicode_Check(value.ptr())) return "";
    std::string text = nb::cast<std::string>(value);
    if (!is_decimal(text)) return "";
    if (whole && text.find_first_of(".eE") == std::string::npos)
        return "; write " + text + " without quotes";
    return "; YAML reads " + text + " as text, write it as " + yaml_float(text);
}

[[noreturn]] inline void raise_requirement(const std::string &name, const std::string &requirement,
                                           nb::handle value) {
    raise_value_error(name + " must be " + requirement + ", got " + ql::repr(value));
}

// A finite real number (not a bool, not text) for which `ok` holds; `requirement` says in
// words what `ok` asks for ("a positive number").
inline double number(nb::handle value, const std::string &name, const char *requirement = "a finite number",
                     bool (*ok)(double) = nullptr) {
    PyObject *o = value.ptr();
    double v = 0.0;
    bool numeric = !PyBool_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o);
    if (numeric) {
        v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            PyErr_Clear();
            numeric = false;
        }
    }
    if (!numeric)
        raise_type_error(name + " must be " + requirement + ", got " + describe(value) +
                         text_number_hint(value, false));
    if (!std::isfinite(v) || (ok && !ok(v))) raise_requirement(name, requirement, value);
    return v;
}

inline double positive(nb::handle value, const std::string &name) {
    return number(value, name, "a positive number", [](double x) { return x > 0.0; });
}

inline double non_negative(nb::handle value, const std::string &name) {
    return number(value, name, "a number of at least 0", [](double x) { return x >= 0.0; });
}

// An integer (not a bool, not a float) of at least `minimum`.
inline long long whole_number(nb::handle value, const std::string &name, long long minimum) {
    std::string requirement = minimum == 1 ? std::string("a positive whole number")
                                           : "a whole number of at least " + std::to_string(minimum);
    PyObject *o = value.ptr();
    if (PyBool_Check(o) || !PyIndex_Check(o))
        raise_type_error(name + " must be " + requirement + ", got " + describe(value) +
                         text_number_hint(value, true));
    nb::object integer = ql::index(o);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) raise_requirement(name, "a whole number that fits in 64 bits", value);
    if (overflow < 0 || v < minimum) raise_requirement(name, requirement, value);
    return v;
}

// true or false, not a string that merely looks like one (a non-empty string is truthy).
inline bool flag(nb::handle value, const std::string &name) {
    if (!PyBool_Check(value.ptr())) raise_type_error(name + " must be true or false, got " + describe(value));
    return value.ptr() == Py_True;
}

// One of the given words.
inline void choice(nb::handle value, const std::string &name, std::initializer_list<const char *> options) {
    std::string listed;
    for (const char *option : options) {
        if (PyUnicode_Check(value.ptr()) && nb::cast<std::string>(value) == option) return;
        listed += (listed.empty() ? "'" : ", '") + std::string(option) + "'";
    }
    raise_value_error(name + " must be one of " + listed + ", got " + ql::repr(value));
}

// A string, such as the name that selects an optimizer or scheduler.
inline void text(nb::handle value, const std::string &name) {
    if (!PyUnicode_Check(value.ptr())) raise_type_error(name + " must be a string, got " + describe(value));
}

// A dictionary of settings (any mapping).
inline void section(nb::handle value, const std::string &name) {
    if (!is_instance(value, import_attr("collections.abc", "Mapping")))
        raise_type_error(name + " must be a mapping of settings, got " + describe(value));
}

// A list (or tuple) of strings. A lone string is refused: iterating it would give its
// characters, each of which would then be used on its own.
inline void string_list(nb::handle value, const std::string &name) {
    if (PyUnicode_Check(value.ptr()))
        raise_type_error(name + " must be a list of strings, got " + describe(value) + "; write [" +
                         ql::repr(value) + "] for a single entry");
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        raise_type_error(name + " must be a list of strings, got " + describe(value));
    for (nb::handle entry : value)
        if (!PyUnicode_Check(entry.ptr()))
            raise_type_error(name + " must be a list of strings, but holds " + describe(entry));
}

}  // namespace ql::settings
