#include "context.hpp"

namespace ql {

ContextGuard::ContextGuard(nb::object manager) {
    if (manager.is_none()) return;
    manager.attr("__enter__")();
    manager_ = std::move(manager);  // left by close() only once it has been entered
}

void ContextGuard::close() {
    if (!manager_.is_valid()) return;
    nb::object manager = std::move(manager_);
    manager.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

ContextGuard::~ContextGuard() {
    if (!manager_.is_valid()) return;
    try {
        close();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("leaving a context");
    }
}

}  // namespace ql
