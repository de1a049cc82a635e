#include "kernel.hpp"

namespace tarnlet::kernel {

void add_streaming_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
