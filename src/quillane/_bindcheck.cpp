// Functions that hand back the arguments they were bound to: a probe for the argument
// binding rules (type checks, conversions, counts and keyword errors) shared by every module.
#include "core.hpp"

namespace {
namespace nb = nanobind;

nb::object bound(const ql::Args &a) {
    nb::list values;
    for (size_t i = 0; i < a.size(); ++i) values.append(a[i]);
    return nb::tuple(values);
}

nb::object bound_with_rest(const ql::Args &a) {
    return nb::make_tuple(bound(a), a.varargs(), a.varkw());
}

}  // namespace

QL_MODULE(_bindcheck, m) {
    m.doc() = "Argument-binding probes (internal).";
    ql::def(m, "kinds(i: int, f: float, s: str, d: dict, t: Tuple[int, int], l: list, b: bool)", bound,
            "Returns the bound arguments.");
    ql::def(m, "optionals(x: Optional[int], y: int = None, z: float = 0, w: Optional[float] = None)", bound,
            "Returns the bound arguments.");
    ql::def(m, "rest(a, b=2, *args, key, **kwargs)", bound_with_rest,
            "Returns (bound arguments, extra positionals, extra keywords).");
    ql::def(m, "none()", bound, "Takes no arguments.");
}
