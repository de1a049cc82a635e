#include "kernel.hpp"

namespace tarnlet::kernel {

void register_batcher(py::module_ &) {}

}  // namespace tarnlet::kernel
