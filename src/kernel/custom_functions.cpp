#include "kernel.hpp"

namespace tarnlet::kernel {

void add_custom_function_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
