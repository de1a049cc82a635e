#include "kernel.hpp"

namespace tarnlet::kernel {

void add_execution_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
