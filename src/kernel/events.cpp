#include "kernel.hpp"

namespace tarnlet::kernel {

void add_event_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
