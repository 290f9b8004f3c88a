// Mixed precision for the trainers.
#pragma once

#include "context.hpp"
#include "core.hpp"

namespace ql {

// torch.device(device).type: "cuda:0" -> "cuda".
std::string device_type(nb::handle device);

// The autocast context for training on `device`: float16 on accelerators. On the CPU float16
// is used when torch can run every operation the models need under CPU float16 autocast
// (probed once per process), otherwise bfloat16.
nb::object autocast(nb::handle device);

// One optimizer step of a trainer through its gradient scaler: scaler.step(optimizer), then
// scheduler.step() unless the scheduler is a ReduceLROnPlateau (stepped once per epoch with a
// validation metric instead), scaler.update() and optimizer.zero_grad().
void optimizer_step(nb::handle trainer);

// A ReduceLROnPlateau scheduler: stepped once per epoch with a metric, not per optimizer step.
bool is_plateau_scheduler(nb::handle scheduler);

// "Exception" as the trainers catch it: ordinary errors, not KeyboardInterrupt / SystemExit.
inline bool is_exception(const nb::python_error &e) { return e.matches(PyExc_Exception); }

}  // namespace ql
