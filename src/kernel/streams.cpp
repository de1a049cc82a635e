#include "kernel.hpp"

namespace tarnlet::kernel {

void register_streams(py::module_ &) {}

}  // namespace tarnlet::kernel
