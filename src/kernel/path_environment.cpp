#include "kernel.hpp"

namespace tarnlet::kernel {

void register_path_environment(py::module_ &) {}

}  // namespace tarnlet::kernel
