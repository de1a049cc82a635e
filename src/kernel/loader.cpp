#include "kernel.hpp"

namespace tarnlet::kernel {

void register_loader(py::module_ &) {}

}  // namespace tarnlet::kernel
