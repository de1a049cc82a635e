#include "kernel.hpp"

namespace tarnlet::kernel {

void add_dispatch_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
