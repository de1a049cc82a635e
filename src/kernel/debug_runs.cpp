#include "kernel.hpp"

namespace tarnlet::kernel {

void add_debug_run_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
