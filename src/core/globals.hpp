// A module's imported names, kept in the module's own namespace and looked up at call time,
// as a Python module's globals are, so users and tests can patch them.
#pragma once

#include "core.hpp"

namespace ql {

class ModuleGlobals {
public:
    void bind(nb::module_ &m) { dict_ = nb::object(m.attr("__dict__")).release(); }

    // Stores `value` as module attribute `name` and returns it.
    nb::object set(const char *name, nb::object value) {
        check(PyDict_SetItemString(dict_.ptr(), name, value.ptr()) == 0);
        return value;
    }

    nb::object operator[](const char *name) const {
        PyObject *value = PyDict_GetItemString(dict_.ptr(), name);
        if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
        return nb::borrow(value);
    }

private:
    nb::handle dict_;  // the module's namespace lives as long as the process
};

}  // namespace ql
