#include "kernel.hpp"

namespace tarnlet::kernel {

void add_chunk_methods(ClassBuilder &) {}

}  // namespace tarnlet::kernel
