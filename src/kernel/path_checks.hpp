// Which texts may go on sys.path [path_environment.cpp].
#pragma once

#include "kernel.hpp"

namespace tarnlet::kernel {

// Why the str `path` cannot go on sys.path, or nullptr. A NUL or a lone surrogate makes
// every later import that walks sys.path fail, so such a path is refused up front.
const char *unusable_path(const py::handle &path);

}  // namespace tarnlet::kernel
