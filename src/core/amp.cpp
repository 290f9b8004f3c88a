#include "amp.hpp"

namespace ql {

std::string device_type(nb::handle device) {
    static nb::handle torch_device = keep(import_attr("torch", "device"));
    return nb::cast<std::string>(torch_device(device).attr("type"));
}

nb::object autocast(nb::handle device, nb::handle dtype) {
    static nb::handle torch = keep(import("torch"));
    std::string type = device_type(device);
    nb::object precision = dtype.is_none() ? torch.attr("get_autocast_dtype")(type) : nb::borrow(dtype);
    return torch.attr("autocast")(nb::arg("device_type") = type, nb::arg("dtype") = precision);
}

}  // namespace ql
