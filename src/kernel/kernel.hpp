// Shared declarations of the kernel module.
//
// PythonKernel is one Python class whose methods are contributed by one file per
// concern: each file defines its add_*_methods function, and kernel_class.cpp builds
// the class from all of them. Module-level classes and names are created by the
// register_* functions, which module_init.cpp calls in the module's start-up order.
#pragma once

#include "../common/coro.hpp"
#include "../common/module.hpp"
#include "../common/pyclass.hpp"

namespace tarnlet::kernel {
namespace py = pybind11;

// PythonKernel's methods, by concern (file in brackets).
void add_lifecycle_methods(ClassBuilder &cls);          // __init__, connect, listen, run, disconnect, has_active_debugger [entry.cpp]
void add_outgoing_methods(ClassBuilder &cls);           // send_message, _send_message_direct, _send_chunked_message [outgoing.cpp]
void add_chunk_methods(ClassBuilder &cls);              // _handle_chunk_message [chunks.cpp]
void add_dispatch_methods(ClassBuilder &cls);           // handle_message [dispatch.cpp]
void add_execution_methods(ClassBuilder &cls);          // _execute_code_async, _handle_run_module [execution_requests.cpp]
void add_custom_function_methods(ClassBuilder &cls);    // _handle_custom_function_call [custom_functions.cpp]
void add_callable_methods(ClassBuilder &cls);           // _handle_python_function_call, _deserialize_args [callables.cpp]
void add_streaming_methods(ClassBuilder &cls);          // _execute_streaming_function [streaming.cpp]
void add_event_methods(ClassBuilder &cls);              // _handle_event_execution, set_enable_events [events.cpp]
void add_registry_methods(ClassBuilder &cls);           // object keeper, show_message_box [registry.cpp]
void add_debug_run_methods(ClassBuilder &cls);          // _handle_debug_run_module [debug_runs.cpp]
void add_language_request_methods(ClassBuilder &cls);   // completion/signature/hover/diagnostic handlers [language_requests.cpp]

// Module-level classes and names.
void register_outgoing(py::module_ &m);          // json_dumps [outgoing.cpp]
void register_batcher(py::module_ &m);           // MessageBatcher [batcher.cpp]
void register_loader(py::module_ &m);            // InMemoryModuleLoader [loader.cpp]
void register_path_environment(py::module_ &m);  // VirtualEnvironment [path_environment.cpp]
void register_streams(py::module_ &m);           // StreamCapture, KernelStreamHook [streams.cpp]
void register_executor(py::module_ &m);          // CodeExecutor, extract_tracebak_string, _parse_error_location [executor.cpp]
void register_kernel_class(py::module_ &m);      // PythonKernel, main [kernel_class.cpp]

// The process entry main(workbook_id, port, connection_args=None) [entry.cpp].
Coro kernel_main(py::object workbook_id, py::object port, py::object connection_args);

}  // namespace tarnlet::kernel
