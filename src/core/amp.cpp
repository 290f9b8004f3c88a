#include "amp.hpp"
#include "pyops.hpp"

namespace ql {

std::string device_type(nb::handle device) {
    static nb::handle torch_device = keep(import_attr("torch", "device"));
    return nb::cast<std::string>(torch_device(device).attr("type"));
}

namespace {

// Runs the operations of the speech and text models once under CPU float16 autocast.
bool cpu_float16_works() {
    nb::object torch = import("torch");
    nb::object nn = import("torch.nn");
    try {
        ContextGuard guard(torch.attr("autocast")(nb::arg("device_type") = "cpu",
                                                  nb::arg("dtype") = torch.attr("float16")));
        nb::object x = torch.attr("randn")(1, 3, 4);
        nn.attr("LSTM")(4, 2, nb::arg("batch_first") = true, nb::arg("bidirectional") = true)(x);
        nn.attr("MultiheadAttention")(4, 1, nb::arg("batch_first") = true)(x, x, x);
        nn.attr("Conv2d")(1, 1, 3)(torch.attr("randn")(1, 1, 4, 4));
        guard.close();
        return true;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return false;
    }
}

}  // namespace

nb::object autocast(nb::handle device) {
    static nb::handle torch = keep(import("torch"));
    std::string type = device_type(device);
    nb::object dtype = torch.attr("float16");
    if (type == "cpu") {
        static const bool float16_ok = cpu_float16_works();
        if (!float16_ok) dtype = torch.attr("bfloat16");
    }
    return torch.attr("autocast")(nb::arg("device_type") = type, nb::arg("dtype") = dtype);
}

bool is_plateau_scheduler(nb::handle scheduler) {
    static nb::handle plateau = keep(import_attr("torch.optim.lr_scheduler", "ReduceLROnPlateau"));
    return is_instance(scheduler, plateau);
}

void optimizer_step(nb::handle trainer) {
    nb::object scaler = trainer.attr(QL_ID("scaler"));
    nb::object optimizer = trainer.attr(QL_ID("optimizer"));
    scaler.attr("step")(optimizer);
    nb::object scheduler = trainer.attr(QL_ID("scheduler"));
    if (!is_plateau_scheduler(scheduler)) scheduler.attr("step")();
    scaler.attr("update")();
    optimizer.attr("zero_grad")();
}

}  // namespace ql
