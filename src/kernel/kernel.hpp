// Shared declarations of the kernel module.
//
// PythonKernel is one Python class whose methods are contributed by one file per
// concern: each file defines its add_*_methods function, and kernel_class.cpp builds
// the class from all of them. Module-level classes and names are created by the
// register_* functions, which module_init.cpp calls in the module's start-up order.
#pragma once

#include "../common/coro.hpp"
#include "../common/helpers.hpp"
#include "../common/pyclass.hpp"

namespace tarnlet::kernel {
namespace py = pybind11;

// PythonKernel's methods, by concern: add_X_methods lives in the file named for X.
void add_lifecycle_methods(ClassBuilder &cls);  // entry.cpp
void add_outgoing_methods(ClassBuilder &cls);
void add_chunk_methods(ClassBuilder &cls);
void add_dispatch_methods(ClassBuilder &cls);
void add_execution_methods(ClassBuilder &cls);  // execution_requests.cpp
void add_custom_function_methods(ClassBuilder &cls);
void add_callable_methods(ClassBuilder &cls);
void add_streaming_methods(ClassBuilder &cls);
void add_event_methods(ClassBuilder &cls);
void add_registry_methods(ClassBuilder &cls);
void add_debug_run_methods(ClassBuilder &cls);
void add_language_request_methods(ClassBuilder &cls);

// Module-level classes and names, likewise (register_kernel_class: kernel_class.cpp).
void register_outgoing(py::module_ &m);  // json_dumps
void register_batcher(py::module_ &m);
void register_loader(py::module_ &m);
void register_path_environment(py::module_ &m);
void register_streams(py::module_ &m);
void register_executor(py::module_ &m);  // also extract_tracebak_string, _parse_error_location
void register_kernel_class(py::module_ &m);

// The process entry main(workbook_id, port, connection_args=None) [entry.cpp].
Coro kernel_main(py::object workbook_id, py::object port, py::object connection_args);

}  // namespace tarnlet::kernel
