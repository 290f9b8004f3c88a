// Python operations on arbitrary objects, with Python's semantics: an error raised by the
// object (a __bool__, __eq__ or __getitem__ that fails) propagates as nb::python_error.
#pragma once

#include "core.hpp"

namespace ql {

// bool(h)
inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    check(r >= 0);
    return r != 0;
}

// isinstance(obj, cls)
inline bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    check(r >= 0);
    return r != 0;
}

// item in container
inline bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    check(r >= 0);
    return r != 0;
}

// container[key]
inline nb::object item(nb::handle container, nb::handle key) {
    return steal_checked(PyObject_GetItem(container.ptr(), key.ptr()));
}
inline nb::object item(nb::handle container, const char *key) { return item(container, nb::str(key)); }

// mapping.get(key, fallback), through the mapping's own get method.
inline nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

// a ** b and operator.index(h): the two number operations nanobind has no operator for
// (arithmetic and comparisons are written with nanobind's operators: a + b, a < b).
inline nb::object pow(nb::handle a, nb::handle b) { return steal_checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }
inline nb::object index(nb::handle h) { return steal_checked(PyNumber_Index(h.ptr())); }

// Python numbers from and to C++ numbers; int(h) and float(h) conversions raise as Python does.
inline nb::object py_int(long long v) { return steal_checked(PyLong_FromLongLong(v)); }
inline nb::object py_float(double v) { return steal_checked(PyFloat_FromDouble(v)); }
inline long long as_long(nb::handle h) {
    long long v = PyLong_AsLongLong(h.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}
inline double as_double(nb::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// The next item of a Python iterator, or an invalid object once it is exhausted.
inline nb::object next_item(nb::handle iterator) {
    PyObject *item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) throw nb::python_error();
    return item ? nb::steal(item) : nb::object();
}

// A tqdm bar over `total` steps as the trainers show them: dynamic width, first line, removed
// when done. `tqdm` is the module's current tqdm class (so tests can replace it).
inline nb::object progress_bar(nb::handle tqdm, size_t total, const std::string &desc) {
    return tqdm(nb::arg("total") = total, nb::arg("dynamic_ncols") = true, nb::arg("leave") = false,
                nb::arg("position") = 0, nb::arg("desc") = desc);
}

}  // namespace ql
