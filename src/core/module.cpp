// Module initialisation and small Python helpers shared by every extension module.
#include "core.hpp"

namespace ql {

[[noreturn]] void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}
void raise_value_error(const std::string &message) { raise(PyExc_ValueError, message); }
void raise_type_error(const std::string &message) { raise(PyExc_TypeError, message); }
void raise_runtime_error(const std::string &message) { raise(PyExc_RuntimeError, message); }

nb::object import(const char *module) { return steal_checked(PyImport_ImportModule(module)); }

nb::object import_attr(const char *module, const char *attr) { return import(module).attr(attr); }

std::string str(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

std::string repr(nb::handle h) { return nb::cast<std::string>(nb::repr(h)); }

std::string format(nb::handle value, const char *spec) {
    nb::object s = nb::str(spec);
    return nb::cast<std::string>(steal_checked(PyObject_Format(value.ptr(), s.ptr())));
}

std::string type_name(nb::handle h) { return nb::cast<std::string>(nb::handle((PyObject *)Py_TYPE(h.ptr())).attr("__name__")); }

void print(const std::string &line) {
    PyObject *print_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "print");
    if (!print_fn) raise_runtime_error("builtins.print is missing");
    nb::handle fn(print_fn);
    fn(line);
}

std::string tree_prefix(std::initializer_list<bool> levels) {
    std::string out;
    size_t i = 0, n = levels.size();
    for (bool last : levels) {
        if (++i < n) out += last ? "    " : "\u2502   ";
        else out += last ? "\u2514\u2500\u2500 " : "\u251c\u2500\u2500 ";
    }
    return out;
}

namespace detail {

namespace {

// Extension modules here keep process-wide state, so they may live in one interpreter only.
bool check_single_interpreter() {
    static int64_t main_interpreter_id = -1;
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current != -1;
    }
    if (main_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

}  // namespace

PyObject *module_create(ModuleState &state, PyObject *spec) {
    if (!check_single_interpreter()) return nullptr;
    if (state.module) return Py_NewRef(state.module);
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int module_exec(ModuleState &state, PyObject *module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.short_name);
        return -1;
    }
    if (!nb::register_module(module)) return -1;
    state.module = Py_NewRef(module);
    try {
        nb::module_ m = nb::borrow<nb::module_>(module);
        state.body(m);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    Py_CLEAR(state.module);  // a failed import may be retried
    return -1;
}

}  // namespace detail
}  // namespace ql

namespace ql {
std::vector<nb::object> unpack(nb::handle iterable, size_t n) {
    std::vector<nb::object> items;
    items.reserve(n);
    nb::object it = steal_checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        if (items.size() == n) {
            Py_DECREF(item);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw nb::python_error();
        }
        items.push_back(nb::steal(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (items.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                     items.size());
        throw nb::python_error();
    }
    return items;
}
}  // namespace ql

namespace ql::detail {
PyObject *make_kwnames(std::initializer_list<const char *> names) {
    PyObject *t = PyTuple_New((Py_ssize_t)names.size());
    if (!t) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *s = PyUnicode_InternFromString(name);
        if (!s) {
            Py_DECREF(t);
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(t, i++, s);
    }
    return t;
}

void bad_call_args() {
    raise_runtime_error("ql::call: more than 16 arguments, or fewer values than keyword names");
}
}  // namespace ql::detail
