#include "kernel.hpp"

namespace tarnlet::kernel {

void add_language_request_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
