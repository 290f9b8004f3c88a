// Python context managers entered from C++ for the length of a scope.
#pragma once

#include "core.hpp"

namespace ql {

// Enters a Python context manager for the lifetime of the guard. close() leaves it and lets
// errors of __exit__ propagate; the destructor leaves it quietly on an error path. A None
// manager enters nothing, as contextlib.nullcontext() would.
//
//     ql::ContextGuard inference(torch.attr("inference_mode")());
//     ...                     // runs inside the context
//     inference.close();      // leave it on the normal path
class ContextGuard {
public:
    explicit ContextGuard(nb::object manager);
    ~ContextGuard();
    void close();
    ContextGuard(const ContextGuard &) = delete;
    ContextGuard &operator=(const ContextGuard &) = delete;

private:
    nb::object manager_;
};

}  // namespace ql
