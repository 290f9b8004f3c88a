// Module state of quenmark and the tensor helpers its parts share: the module's imported
// names (looked up at call time, so tests and users can patch them) and raw access to
// the buffers of CPU tensors and arrays.
#pragma once

#include "core.hpp"
#include "globals.hpp"
#include "moments.hpp"
#include "pyops.hpp"

#include <nanobind/ndarray.h>

#include <initializer_list>

namespace quenmark {
namespace nb = nanobind;

inline ql::ModuleGlobals globals;

// The one partition without transcripts.
inline const char *const kTestClean = "test-clean";

inline bool is_test_clean(nb::handle partition) { return partition.equal(nb::str(kTestClean)); }

inline nb::object torch() { return globals["torch"]; }

// range(stop)
inline nb::object range(nb::handle stop) {
    return ql::steal_checked(PyObject_CallOneArg((PyObject *)&PyRange_Type, stop.ptr()));
}

inline bool is_tensor(nb::handle h) { return nb::isinstance(h, torch().attr(QL_ID("Tensor"))); }

inline void *data_ptr(nb::handle tensor) {
    nb::object p = tensor.attr(QL_ID("data_ptr"))();
    void *ptr = PyLong_AsVoidPtr(p.ptr());
    if (!ptr && PyErr_Occurred()) throw nb::python_error();
    return ptr;
}

inline nb::object shape_tuple(std::initializer_list<Py_ssize_t> dims) {
    nb::object t = ql::steal_checked(PyTuple_New(Py_ssize_t(dims.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t d : dims) PyTuple_SET_ITEM(t.ptr(), i++, ql::check(PyLong_FromSsize_t(d)));
    return t;
}

// torch.empty(dims, dtype=torch.<dtype>)
inline nb::object empty(std::initializer_list<Py_ssize_t> dims, const char *dtype) {
    nb::object t = torch();
    return t.attr(QL_ID("empty"))(shape_tuple(dims), nb::arg("dtype") = t.attr(dtype));
}

// A strided view of a 2-D CPU floating-point array (NumPy array or torch tensor); false
// when `h` is anything else.
inline bool float_view(nb::handle h, ql::FloatRows &v) {
    nb::ndarray<nb::ro, nb::device::cpu> arr;
    if (!nb::try_cast(h, arr, false)) {
        PyErr_Clear();
        return false;
    }
    if (arr.ndim() != 2 || arr.dtype().code != uint8_t(nb::dlpack::dtype_code::Float) || arr.dtype().lanes != 1)
        return false;
    const int bits = arr.dtype().bits;
    if (bits != 16 && bits != 32 && bits != 64) return false;
    v.data = arr.data();
    v.bits = bits;
    v.rows = int64_t(arr.shape(0));
    v.cols = int64_t(arr.shape(1));
    v.row_stride = arr.stride(0);
    v.col_stride = arr.stride(1);
    return true;
}

// A 1-D CPU array of exactly element type T; false when `h` is anything else.
template <typename T>
bool vector_view(nb::handle h, const T *&data, int64_t &n, int64_t &stride) {
    nb::ndarray<nb::ro, nb::device::cpu, T> arr;
    if (!nb::try_cast(h, arr, false)) {
        PyErr_Clear();
        return false;
    }
    if (arr.ndim() != 1) return false;
    data = arr.data();
    n = int64_t(arr.shape(0));
    stride = arr.stride(0);
    return true;
}

}  // namespace quenmark
