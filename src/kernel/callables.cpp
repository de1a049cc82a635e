#include "kernel.hpp"

namespace tarnlet::kernel {

void add_callable_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
