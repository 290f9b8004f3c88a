// Parsing of Python-style signatures and binding of call arguments to them.
#include "core.hpp"

#include <cctype>

namespace ql {

namespace {

std::string strip(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

// Scans `s` from `from`, skipping quoted text and counting bracket depth, and returns the index
// of the first character outside quotes for which stop(ch, depth) holds, where depth already
// counts that character; npos when there is none.
template <class Stop>
size_t scan_top_level(const std::string &s, size_t from, Stop stop) {
    int depth = 0;
    char quote = 0;
    for (size_t i = from; i < s.size(); ++i) {
        char ch = s[i];
        if (quote) {
            if (ch == quote) quote = 0;
            continue;
        }
        if (ch == '\'' || ch == '"') {
            quote = ch;
            continue;
        }
        if (ch == '(' || ch == '[' || ch == '{') ++depth;
        else if (ch == ')' || ch == ']' || ch == '}') --depth;
        if (stop(ch, depth)) return i;
    }
    return std::string::npos;
}

bool is_bracket(char ch) { return ch == '(' || ch == '[' || ch == '{' || ch == ')' || ch == ']' || ch == '}'; }

// Index of the first `c` (not a bracket) outside brackets and quotes, or npos.
size_t find_top_level(const std::string &s, char c, size_t from = 0) {
    return scan_top_level(s, from, [c](char ch, int depth) { return ch == c && depth == 0 && !is_bracket(ch); });
}

// Splits on `sep` where it is not nested in brackets or quotes.
std::vector<std::string> split_top_level(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t begin = 0;
    for (size_t at; (at = find_top_level(s, sep, begin)) != std::string::npos; begin = at + 1)
        parts.push_back(s.substr(begin, at - begin));
    std::string rest = s.substr(begin);
    if (!strip(rest).empty() || !parts.empty()) parts.push_back(rest);
    return parts;
}

// Index of the ')' that closes the '(' at `open`, or npos.
size_t matching_paren(const std::string &s, size_t open) {
    size_t close = scan_top_level(s, open, [](char ch, int depth) {
        return depth == 0 && (ch == ')' || ch == ']' || ch == '}');
    });
    return close != std::string::npos && s[close] == ')' ? close : std::string::npos;
}

bool starts_with(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

void parse_annotation(std::string ann, Param &p) {
    ann = strip(ann);
    if (starts_with(ann, "Optional[") && ann.back() == ']') {
        p.optional = true;
        ann = strip(ann.substr(9, ann.size() - 10));
    } else if (ann.size() > 7 && ann.compare(ann.size() - 7, 7, "| None") == 0) {
        p.optional = true;
        ann = strip(ann.substr(0, ann.size() - 6));
    }
    if (ann == "int") p.kind = Kind::Int;
    else if (ann == "float") p.kind = Kind::Float;
    else if (ann == "str") p.kind = Kind::Str;
    else if (ann == "bool") p.kind = Kind::Bool;
    else if (ann == "dict" || starts_with(ann, "Dict[") || starts_with(ann, "dict[")) p.kind = Kind::Dict;
    else if (ann == "list" || starts_with(ann, "List[") || starts_with(ann, "list[")) p.kind = Kind::List;
    else if (ann == "tuple" || starts_with(ann, "Tuple[") || starts_with(ann, "tuple[")) p.kind = Kind::Tuple;
    else p.kind = Kind::Any;
}

const char *kind_name(Kind k) {
    switch (k) {
        case Kind::Int: return "int";
        case Kind::Float: return "float";
        case Kind::Str: return "str";
        case Kind::Dict: return "dict";
        case Kind::Tuple: return "tuple";
        case Kind::List: return "list";
        case Kind::Bool: return "bool";
        default: return "object";
    }
}

[[noreturn]] void raise_incorrect_type(const Param &p, PyObject *v) {
    ql::raise_incorrect_type(p.name.c_str(), kind_name(p.kind), v);
}

// Any real number (int, bool, float subclass, NumPy scalar, ...) becomes a plain float.
nb::object to_float(const Param &p, PyObject *v) {
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        raise_incorrect_type(p, v);
    }
    return steal_checked(PyFloat_FromDouble(d));
}

}  // namespace

Signature Signature::parse(const std::string &text) {
    Signature sig;
    size_t open = text.find('(');
    size_t close = open == std::string::npos ? open : matching_paren(text, open);
    if (open == std::string::npos || close == std::string::npos)
        throw std::runtime_error("malformed signature: " + text);
    std::string tail = strip(text.substr(close + 1));
    if (starts_with(tail, "->")) sig.return_annotation = strip(tail.substr(2));
    else if (!tail.empty()) throw std::runtime_error("malformed signature: " + text);
    sig.name = strip(text.substr(0, open));
    static nb::handle literal_eval = keep(import_attr("ast", "literal_eval"));

    bool keyword_only = false;
    for (const std::string &raw : split_top_level(text.substr(open + 1, close - open - 1), ',')) {
        std::string item = strip(raw);
        if (item.empty()) continue;
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        if (starts_with(item, "**")) {
            sig.has_varkw = true;
            sig.varkw_name = strip(item.substr(2));
            continue;
        }
        if (item[0] == '*') {
            sig.has_varargs = true;
            sig.varargs_name = strip(item.substr(1));
            keyword_only = true;
            continue;
        }
        Param p;
        size_t eq = find_top_level(item, '=');
        std::string head = strip(item.substr(0, eq));
        if (eq != std::string::npos) {
            p.has_default = true;
            p.default_value = literal_eval(strip(item.substr(eq + 1)));
        }
        size_t colon = find_top_level(head, ':');
        p.name = strip(head.substr(0, colon));
        if (colon != std::string::npos) {
            p.annotation = strip(head.substr(colon + 1));
            parse_annotation(p.annotation, p);
        }
        if (p.has_default && p.default_value.is_none()) p.optional = true;
        if (p.kind == Kind::Float && p.has_default && !p.default_value.is_none() &&
            !PyFloat_CheckExact(p.default_value.ptr()))
            p.default_value = to_float(p, p.default_value.ptr());
        p.keyword_only = keyword_only;
        p.interned = nb::steal(PyUnicode_InternFromString(p.name.c_str()));
        if (!keyword_only) {
            if (!p.has_default && sig.num_required == sig.num_positional) ++sig.num_required;
            ++sig.num_positional;
        }
        sig.params.push_back(std::move(p));
    }
    if (sig.params.size() > Args::kMaxParams)
        throw std::runtime_error("too many parameters in signature: " + text);
    sig.is_method = !sig.params.empty() && (sig.params[0].name == "self" || sig.params[0].name == "cls");
    return sig;
}

std::string Signature::text_signature() const {
    std::string out = "(";
    bool first = true, star_written = false;
    auto sep = [&] {
        if (!first) out += ", ";
        first = false;
    };
    for (size_t i = 0; i < params.size(); ++i) {
        const Param &p = params[i];
        if (p.keyword_only && !star_written) {
            sep();
            out += has_varargs ? "*" + varargs_name : "*";
            star_written = true;
        }
        sep();
        if (i == 0 && is_method) out += "$";
        out += p.name;
        if (p.has_default) out += "=" + ql::repr(p.default_value);
    }
    if (has_varargs && !star_written) {
        sep();
        out += "*" + varargs_name;
    }
    if (has_varkw) {
        sep();
        out += "**" + varkw_name;
    }
    return out + ")";
}

// ---------------------------------------------------------------------------

void raise_incorrect_type(const char *name, const char *expected, nb::handle value) {
    nb::object type_name = steal_checked(PyType_GetName(Py_TYPE(value.ptr())));
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, PyUnicode_AsUTF8(type_name.ptr()));
    throw nb::python_error();
}

size_t Args::index(const char *name) const {
    for (size_t i = 0; i < count_; ++i)
        if (sig_->params[i].name == name) return i;
    raise_runtime_error(sig_->name + "() has no parameter named '" + name + "'");
}

nb::tuple Args::values() const {
    nb::object t = steal_checked(PyTuple_New((Py_ssize_t)count_));
    for (size_t i = 0; i < count_; ++i) PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, values_[i].inc_ref().ptr());
    return nb::borrow<nb::tuple>(t);
}

long long Args::to_int(const char *name) const {
    long long v = PyLong_AsLongLong((*this)[name].ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double Args::to_double(const char *name) const {
    double v = PyFloat_AsDouble((*this)[name].ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

std::string Args::to_str(const char *name) const { return nb::cast<std::string>((*this)[name]); }

bool Args::to_bool(const char *name) const {
    int v = PyObject_IsTrue((*this)[name].ptr());
    if (v < 0) throw nb::python_error();
    return v != 0;
}

namespace {

[[noreturn]] void raise_arg_count(const Signature &sig, Py_ssize_t found) {
    Py_ssize_t min = (Py_ssize_t)sig.num_required, max = (Py_ssize_t)sig.num_positional;
    Py_ssize_t expected;
    const char *more_or_less;
    if (found < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (min == max && !sig.has_varargs) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name.c_str(), more_or_less, expected, expected == 1 ? "" : "s", found);
    throw nb::python_error();
}

bool type_matches(Kind kind, PyObject *v) {
    switch (kind) {
        case Kind::Int: return PyLong_CheckExact(v);
        case Kind::Str: return PyUnicode_CheckExact(v);
        case Kind::Dict: return PyDict_CheckExact(v);
        case Kind::Tuple: return PyTuple_CheckExact(v);
        case Kind::List: return PyList_CheckExact(v);
        case Kind::Bool: return PyBool_Check(v);
        default: return true;
    }
}

}  // namespace

struct Binder {
    static void bind(const Signature &sig, Args &a, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t npos = (Py_ssize_t)sig.num_positional;
        if (nargs > npos && !sig.has_varargs) raise_arg_count(sig, nargs);
        a.sig_ = &sig;
        a.count_ = sig.params.size();

        Py_ssize_t taken = nargs < npos ? nargs : npos;
        for (Py_ssize_t i = 0; i < taken; ++i) a.values_[i] = nb::borrow(args[i]);
        if (sig.has_varargs) {
            Py_ssize_t rest = nargs > npos ? nargs - npos : 0;
            a.varargs_ = nb::steal<nb::tuple>(check(PyTuple_New(rest)));
            for (Py_ssize_t i = 0; i < rest; ++i) {
                Py_INCREF(args[npos + i]);
                PyTuple_SET_ITEM(a.varargs_.ptr(), i, args[npos + i]);
            }
        }
        if (sig.has_varkw) a.varkw_ = nb::dict();

        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            PyObject *value = args[nargs + k];
            size_t idx = find_param(sig, key);
            if (idx == sig.params.size()) {
                if (sig.has_varkw) {
                    check(PyDict_SetItem(a.varkw_.ptr(), key, value) == 0);
                    continue;
                }
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.name.c_str(), key);
                throw nb::python_error();
            }
            if (a.values_[idx].is_valid()) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name.c_str(), key);
                throw nb::python_error();
            }
            a.values_[idx] = nb::borrow(value);
        }

        for (size_t i = 0; i < sig.params.size(); ++i) {
            if (a.values_[i].is_valid()) continue;
            const Param &p = sig.params[i];
            if (p.has_default) {
                a.values_[i] = p.default_value;
            } else if (p.keyword_only) {
                PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", sig.name.c_str(),
                             p.name.c_str());
                throw nb::python_error();
            } else {
                raise_arg_count(sig, i < (size_t)nargs ? nargs : (Py_ssize_t)i);
            }
        }

        for (size_t i = 0; i < sig.params.size(); ++i) {
            const Param &p = sig.params[i];
            if (p.kind == Kind::Any) continue;
            PyObject *v = a.values_[i].ptr();
            if (p.optional && v == Py_None) continue;
            if (p.kind == Kind::Float) {
                if (!PyFloat_CheckExact(v)) a.values_[i] = to_float(p, v);
                continue;
            }
            if (!type_matches(p.kind, v)) raise_incorrect_type(p, v);
        }
    }

    static size_t find_param(const Signature &sig, PyObject *key) {
        size_t n = sig.params.size();
        for (size_t i = 0; i < n; ++i)
            if (sig.params[i].interned.ptr() == key) return i;
        for (size_t i = 0; i < n; ++i) {
            int eq = PyUnicode_Compare(sig.params[i].interned.ptr(), key);
            if (eq == 0) return i;
            if (eq == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        return n;
    }
};

void bind_arguments(const Signature &sig, Args &a, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames) {
    Binder::bind(sig, a, args, nargsf, kwnames);
}

}  // namespace ql
