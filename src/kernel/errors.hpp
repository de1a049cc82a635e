// Turning caught Python exceptions back into Python objects, for every code path of
// the kernel that reports errors to the Business Layer.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tarnlet::kernel {
namespace py = pybind11;

// The caught exception instance with its traceback attached. Before Python 3.12 the
// traceback travels beside the exception while it propagates, so __traceback__ can
// still be empty when C++ catches it.
py::object exception_object(const py::error_already_set &error);

// The error dict of an exception instance: type (class name), message (str of the
// exception), traceback (extract_tracebak_string of it), in that order.
py::dict error_dict(const py::handle &exception);

// An instance of a builtin exception class for a C++ failure that has no Python
// exception of its own, so it can be reported like any other.
py::object runtime_error_object(const std::string &text);

// Raises TypeError "<what> must be str, not <type>" unless `value` is a str.
void require_str(const py::handle &value, const char *what);

// "{:.1f}" of a float, as Python formats it.
std::string format_1f(double value);

}  // namespace tarnlet::kernel
