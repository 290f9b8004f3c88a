// A module's imported names, kept in the module's own namespace and looked up at call time,
// as a Python module's globals are, so users and tests can patch them:
//
//     ql::ModuleGlobals globals;                     // one per module, at namespace scope
//     QL_MODULE(name, m) {
//         globals.bind(m);
//         globals.set("torch", ql::import("torch"));  // import torch
//         globals.from("typing", {"Dict", "Any"});    // from typing import Dict, Any
//     }
//     ... globals["torch"].attr("zeros")(3) ...
#pragma once

#include "core.hpp"

#include <initializer_list>

namespace ql {

class ModuleGlobals {
public:
    void bind(nb::module_ &m) { dict_ = nb::object(m.attr("__dict__")).release(); }

    // Stores `value` as module attribute `name` and returns it.
    nb::object set(const char *name, nb::object value) {
        check(PyDict_SetItemString(dict_.ptr(), name, value.ptr()) == 0);
        return value;
    }

    // from <module> import <names...>
    void from(const char *module, std::initializer_list<const char *> names) {
        nb::object source = import(module);
        for (const char *name : names) set(name, source.attr(name));
    }

    // The current value of module attribute `name`; NameError when it is missing.
    nb::object operator[](const char *name) const {
        PyObject *value = PyDict_GetItemString(dict_.ptr(), name);
        if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
        return nb::borrow(value);
    }

private:
    nb::handle dict_;  // the module's namespace lives as long as the process
};

}  // namespace ql
