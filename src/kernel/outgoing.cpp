#include "kernel.hpp"

namespace tarnlet::kernel {

void add_outgoing_methods(ClassBuilder &) {}
void register_outgoing(py::module_ &) {}

}  // namespace tarnlet::kernel
