// Probes of the core shared by every module: functions that hand back the arguments they were
// bound to (type checks, conversions, counts and keyword errors), and the autocast context.
#include "amp.hpp"
#include "core.hpp"

namespace {
namespace nb = nanobind;

nb::object bound(const ql::Args &a) { return a.values(); }

nb::object bound_with_rest(const ql::Args &a) {
    return nb::make_tuple(bound(a), a.varargs(), a.varkw());
}

const char *const kAutocastSig = "autocast(device, dtype=None)";
nb::object autocast(const ql::Args &a) { return ql::autocast(a["device"], a["dtype"]); }

}  // namespace

QL_MODULE(_bindcheck, m) {
    m.doc() = "Argument-binding and mixed-precision probes (internal).";
    ql::def(m, "kinds(i: int, f: float, s: str, d: dict, t: Tuple[int, int], l: list, b: bool)", bound,
            "Returns the bound arguments.");
    ql::def(m, "optionals(x: Optional[int], y: int = None, z: float = 0, w: Optional[float] = None)", bound,
            "Returns the bound arguments.");
    ql::def(m, "rest(a, b=2, *args, key, **kwargs)", bound_with_rest,
            "Returns (bound arguments, extra positionals, extra keywords).");
    ql::def(m, "none()", bound, "Takes no arguments.");
    ql::def(m, kAutocastSig, autocast,
            "The autocast context for a device: to dtype, or to torch's default for the device type.");
}
