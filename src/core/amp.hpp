// Mixed-precision tools: a device's type and the autocast context for a device.
#pragma once

#include "context.hpp"
#include "core.hpp"

namespace ql {

// torch.device(device).type: "cuda:0" -> "cuda".
std::string device_type(nb::handle device);

// torch.autocast on the device's type, to `dtype`; a None dtype means torch's default reduced
// precision for that device type (torch.get_autocast_dtype: float16 on CUDA, bfloat16 on the CPU).
nb::object autocast(nb::handle device, nb::handle dtype);

}  // namespace ql
