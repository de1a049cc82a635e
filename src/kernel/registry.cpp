#include "kernel.hpp"

namespace tarnlet::kernel {

void add_registry_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
