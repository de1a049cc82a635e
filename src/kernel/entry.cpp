#include "kernel.hpp"

namespace tarnlet::kernel {

void add_lifecycle_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
