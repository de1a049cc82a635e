#pragma once

#include <pybind11/pybind11.h>

namespace tarnlet::kernel {
namespace py = pybind11;

void register_bridge_selftest(py::module_ &m);

}  // namespace tarnlet::kernel
