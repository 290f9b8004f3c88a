// quillane core: the small toolkit every extension module is built on.
//
//  * Signature / Args   - Python-style argument binding with the project's exact error
//                         messages and built-in type checks.
//  * function / method  - C++ callables that behave like Python functions and methods
//                         (descriptor binding, __signature__, __qualname__, __doc__).
//  * make_class         - classes whose bases are Python classes (nn.Module, Dataset, ABC)
//                         with methods written in C++; they pickle like ordinary classes.
//  * QL_MODULE          - once-per-process, multi-phase module initialisation.
//  * tree_line / print  - printing through Python's sys.stdout, box-drawing trees.
//  * call / call_method - calls on hot paths through vectorcall, with keyword-name tuples
//                         made once per call site (QL_KWNAMES) and interned names (QL_ID).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

namespace ql {
namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Sets a Python exception of `type` and throws it as nb::python_error.
[[noreturn]] void raise(PyObject *type, const std::string &message);
[[noreturn]] void raise_value_error(const std::string &message);
[[noreturn]] void raise_type_error(const std::string &message);
[[noreturn]] void raise_runtime_error(const std::string &message);
// "Argument 'name' has incorrect type (expected <expected>, got <type of value>)".
[[noreturn]] void raise_incorrect_type(const char *name, const char *expected, nb::handle value);

// Throws nb::python_error if a Python error is set (after a raw C API call).
inline void check(bool ok) {
    if (!ok) throw nb::python_error();
}
inline PyObject *check(PyObject *result) {
    if (!result) throw nb::python_error();
    return result;
}
inline nb::object steal_checked(PyObject *result) { return nb::steal(check(result)); }

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

// What a parameter accepts. Exact built-in types reject subclasses (a bool is not an int);
// Float accepts any real number and converts it to a Python float.
enum class Kind : unsigned char { Any, Int, Float, Str, Dict, Tuple, List, Bool };

struct Param {
    std::string name;
    Kind kind = Kind::Any;
    bool optional = false;      // Optional[...]: None is accepted as well
    bool keyword_only = false;  // declared after a bare '*'
    bool has_default = false;
    nb::object default_value;
    nb::object interned;        // interned name, for fast keyword matching
    std::string annotation;     // annotation as written ("" when there is none)
};

// A parsed Python-style signature such as
//   "forward(self, x, key_padding_mask=None, *, scale: float = 1.0) -> torch.Tensor".
// Annotations name the accepted kind (int, float, str, dict, bool, list, tuple,
// Tuple[...], Optional[...]); any other annotation accepts everything. Defaults are
// Python literals. "*args" / "**kwargs" collect the rest. Annotations (and the return
// annotation) also appear in inspect.signature / help(), evaluated in the owning module's
// namespace plus the typing names (Optional, Tuple, List, Dict, Union, Any, Callable);
// an annotation that does not evaluate is shown as a string.
struct Signature {
    std::string name;            // function name, used in argument-count messages
    std::vector<Param> params;
    bool is_method = false;      // first parameter is self (or cls)
    bool has_varargs = false;
    bool has_varkw = false;
    std::string varargs_name, varkw_name;
    size_t num_positional = 0;   // parameters that may be given by position
    size_t num_required = 0;     // positional parameters without default
    std::string return_annotation;  // text after "->" ("" when there is none)

    static Signature parse(const std::string &text);
    std::string text_signature() const;  // for __text_signature__ (no annotations)
};

// Bound arguments of one call; values are borrowed from the caller or owned here.
// Read them by parameter name, as the signature string spells it:
//
//     nb::handle model = a["model"];
//     long long epochs = a.to_int("epochs");
//     if (a.is_none("device")) ...
//
// A name the signature does not have is a programming error and raises RuntimeError.
class Args {
public:
    static constexpr size_t kMaxParams = 24;

    size_t size() const { return count_; }
    nb::handle operator[](const char *name) const { return values_[index(name)]; }
    nb::handle operator[](int) const = delete;  // by name, not by position
    bool is_none(const char *name) const { return (*this)[name].is_none(); }
    nb::handle self() const { return values_[0]; }

    long long to_int(const char *name) const;
    double to_double(const char *name) const;
    std::string to_str(const char *name) const;
    bool to_bool(const char *name) const;
    nb::tuple values() const;  // every bound value, in signature order
    nb::tuple varargs() const { return varargs_; }
    nb::dict varkw() const { return varkw_; }

private:
    friend struct Binder;
    size_t index(const char *name) const;
    const Signature *sig_ = nullptr;
    size_t count_ = 0;
    nb::object values_[kMaxParams];
    nb::tuple varargs_;
    nb::dict varkw_;
};

using Impl = nb::object (*)(const Args &);

// Creates a callable: a plain function, or (when the signature starts with self/cls)
// a method descriptor that binds like a Python function when stored in a class.
// `qualname` is e.g. "SelfAttentionLayer.forward"; `module` the owning module's name.
nb::object function(const std::string &module, const std::string &qualname,
                     const std::string &signature, Impl impl, const char *doc = nullptr);

// Defines a module-level function named after its signature.
void def(nb::module_ &m, const std::string &signature, Impl impl, const char *doc = nullptr);

// A class member given to make_class.
struct Member {
    enum class Type { Method, ClassMethod, StaticMethod, Property, Value };
    Type type;
    std::string signature;   // for Value: the attribute name
    Impl impl = nullptr;
    const char *doc = nullptr;
    nb::object value;        // for Value
    bool abstract = false;
};
inline Member method(std::string sig, Impl impl, const char *doc = nullptr) {
    return {Member::Type::Method, std::move(sig), impl, doc, {}, false};
}
inline Member abstract_method(std::string sig, Impl impl, const char *doc = nullptr) {
    return {Member::Type::Method, std::move(sig), impl, doc, {}, true};
}
inline Member class_method(std::string sig, Impl impl, const char *doc = nullptr) {
    return {Member::Type::ClassMethod, std::move(sig), impl, doc, {}, false};
}
inline Member static_method(std::string sig, Impl impl, const char *doc = nullptr) {
    return {Member::Type::StaticMethod, std::move(sig), impl, doc, {}, false};
}
// Read-only property; the signature is "name(self)".
inline Member property(std::string sig, Impl getter, const char *doc = nullptr) {
    return {Member::Type::Property, std::move(sig), getter, doc, {}, false};
}
inline Member value(std::string name, nb::object v) {
    return {Member::Type::Value, std::move(name), nullptr, nullptr, std::move(v), false};
}

// Creates class `name` in module `m` (and stores it there) with the given Python bases,
// built by the bases' metaclass, so an nn.Module / Dataset / ABC subclass behaves exactly
// like one written in Python.
nb::object make_class(nb::module_ &m, const std::string &name, std::initializer_list<nb::handle> bases,
                      const char *doc, std::initializer_list<Member> members);

// ---------------------------------------------------------------------------
// Python helpers
// ---------------------------------------------------------------------------

// Process-lifetime references: module-level caches must never be released during static
// destruction, which runs after the interpreter has finalised.
inline nb::handle keep(nb::object o) { return o.release(); }

nb::object import(const char *module);                       // importlib.import_module
nb::object import_attr(const char *module, const char *attr);  // from module import attr
std::string str(nb::handle h);                                // str(h)
std::string repr(nb::handle h);                               // repr(h)
std::string format(nb::handle value, const char *spec);       // format(value, spec)
std::string type_name(nb::handle h);                          // type(h).__name__
void print(const std::string &line);                          // builtins.print(line)

// Box-drawing tree prefix. `levels` holds, from the outermost level inward, whether
// the entry at that level is the last of its siblings; e.g. {false, true} gives "│   └── ".
std::string tree_prefix(std::initializer_list<bool> levels);
inline void tree_line(std::initializer_list<bool> levels, const std::string &text) {
    print(tree_prefix(levels) + text);
}

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

namespace detail {
struct ModuleState {
    const char *short_name;
    void (*body)(nb::module_ &);
    PyObject *module = nullptr;  // strong reference once initialised
};
PyObject *module_create(ModuleState &state, PyObject *spec);
int module_exec(ModuleState &state, PyObject *module);
}  // namespace detail

}  // namespace ql

// Interpreters other than the first are refused by the module's own create step (with the
// project's message), so the import machinery is told not to refuse them earlier.
#if PY_VERSION_HEX >= 0x030C0000
#define QL_MODULE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define QL_MODULE_INTERPRETER_SLOT
#endif

// Defines the entry point of extension module `name` with multi-phase initialisation.
// The module is initialised once per process: importing it again hands back the same
// module object; executing the definition on another module object, or loading it in a
// second interpreter, fails.
#define QL_MODULE(name, m)                                                                   \
    static void ql_module_body_##name(::nanobind::module_ &);                                \
    static ::ql::detail::ModuleState ql_module_state_##name{#name, ql_module_body_##name};   \
    static PyObject *ql_module_create_##name(PyObject *spec, PyModuleDef *) {                \
        return ::ql::detail::module_create(ql_module_state_##name, spec);                    \
    }                                                                                        \
    static int ql_module_exec_##name(PyObject *module) {                                     \
        return ::ql::detail::module_exec(ql_module_state_##name, module);                    \
    }                                                                                        \
    static PyModuleDef_Slot ql_module_slots_##name[] = {                                     \
        {Py_mod_create, (void *)ql_module_create_##name},                                    \
        {Py_mod_exec, (void *)ql_module_exec_##name},                                        \
        QL_MODULE_INTERPRETER_SLOT {0, nullptr}};                                            \
    static PyModuleDef ql_module_def_##name = {PyModuleDef_HEAD_INIT, #name, nullptr, 0,     \
                                               nullptr, ql_module_slots_##name, nullptr,     \
                                               nullptr, nullptr};                            \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                     \
        return PyModuleDef_Init(&ql_module_def_##name);                                      \
    }                                                                                        \
    static void ql_module_body_##name(::nanobind::module_ &m)

namespace ql {
// Unpacks an iterable into exactly n items, with Python's own messages on a mismatch
// ("not enough values to unpack (expected 2, got 1)", "too many values to unpack (expected 2)").
std::vector<nb::object> unpack(nb::handle iterable, size_t n);

// The same with the count fixed at compile time; a tuple of the right size is unpacked
// without allocating: `auto [out, weights] = ql::unpack<2>(result);`.
template <size_t N>
std::array<nb::object, N> unpack(nb::handle iterable) {
    std::array<nb::object, N> out;
    PyObject *o = iterable.ptr();
    if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == (Py_ssize_t)N) {
        for (size_t i = 0; i < N; ++i) out[i] = nb::borrow(PyTuple_GET_ITEM(o, (Py_ssize_t)i));
        return out;
    }
    std::vector<nb::object> items = unpack(iterable, N);
    for (size_t i = 0; i < N; ++i) out[i] = std::move(items[i]);
    return out;
}

// ---------------------------------------------------------------------------
// Calls on hot paths
// ---------------------------------------------------------------------------
//
// These go straight to the vectorcall protocol with a keyword-name tuple made once per call
// site, so a call costs what the same call costs in Python bytecode:
//
//     nb::object r = ql::call_method(self, QL_ID("mha"), {q, k, v, Py_True},
//                                    QL_KWNAMES("query", "key", "value", "need_weights"));
//
// `args` holds the positional arguments followed by the values of the keyword arguments
// named in `kwnames` (which may be omitted when there are none).

namespace detail {
constexpr size_t kMaxCallArgs = 16;
PyObject *make_kwnames(std::initializer_list<const char *> names);
[[noreturn]] void bad_call_args();  // more than kMaxCallArgs, or fewer values than keyword names
}  // namespace detail

// fn(*args)
inline nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                       nb::handle kwnames = nb::handle()) {
    PyObject *stack[detail::kMaxCallArgs + 1];
    size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0;
    if (args.size() > detail::kMaxCallArgs || nkw > args.size()) detail::bad_call_args();
    size_t i = 1;
    for (nb::handle h : args) stack[i++] = h.ptr();
    return steal_checked(PyObject_Vectorcall(fn.ptr(), stack + 1,
                                             (args.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             kwnames.ptr()));
}

// self.<name>(*args), looked up like Python's attribute access (name: QL_ID("...")).
inline nb::object call_method(nb::handle self, nb::handle name, std::initializer_list<nb::handle> args,
                              nb::handle kwnames = nb::handle()) {
    PyObject *stack[detail::kMaxCallArgs + 2];
    size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0;
    if (args.size() > detail::kMaxCallArgs || nkw > args.size()) detail::bad_call_args();
    stack[1] = self.ptr();  // stack[0] is the scratch slot the callee may use
    size_t i = 2;
    for (nb::handle h : args) stack[i++] = h.ptr();
    return steal_checked(PyObject_VectorcallMethod(name.ptr(), stack + 1,
                                                   (1 + args.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                   kwnames.ptr()));
}

// A tuple of the given items (new references taken).
inline nb::tuple tuple(std::initializer_list<nb::handle> items) {
    PyObject *t = check(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (nb::handle h : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(h.ptr()));
    return nb::steal<nb::tuple>(t);
}
}  // namespace ql

// The keyword names of one call site as an interned tuple, created once.
#define QL_KWNAMES(...)                                                                  \
    ([]() -> ::nanobind::handle {                                                        \
        static PyObject *ql_kwnames = ::ql::detail::make_kwnames({__VA_ARGS__});         \
        return ql_kwnames;                                                               \
    }())

// An interned Python string created once per call site, for attribute look-ups on hot paths.
#define QL_ID(text)                                                                      \
    ([]() -> ::nanobind::handle {                                                        \
        static PyObject *ql_interned = PyUnicode_InternFromString(text);                 \
        return ql_interned;                                                              \
    }())
