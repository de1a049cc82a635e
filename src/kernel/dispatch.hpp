// The message handlers that dispatch.cpp's table routes to, by the file named for their
// concern. Each reads its fields, answers a wrong type with field_error, else does its
// work and sends its reply through self.send_message.
#pragma once

#include "kernel.hpp"

namespace tarnlet::kernel {

// A handler of one message type.
using Handler = Coro (*)(py::object self, py::object message);

// Module search path and sys.modules [dispatch_paths.cpp].
Coro handle_add_path(py::object self, py::object message);
Coro handle_remove_path(py::object self, py::object message);
Coro handle_reset_path(py::object self, py::object message);
Coro handle_set_package_paths(py::object self, py::object message);
Coro handle_set_python_paths(py::object self, py::object message);
Coro handle_unload_and_clear_paths(py::object self, py::object message);

// The debugger's commands during a debug run [debug_runs.cpp].
Coro handle_debug_command(py::object self, py::object message);  // debug_continue, debug_step_*, debug_stop
Coro handle_debug_evaluate(py::object self, py::object message);
Coro handle_debug_update_breakpoints(py::object self, py::object message);

// The answer to a worker's blocking request [sync_requests.cpp].
Coro handle_sys_response(py::object self, py::object message);

// KeyboardInterrupt into a running request's worker [interrupts.cpp].
Coro handle_interrupt_request(py::object self, py::object message);

}  // namespace tarnlet::kernel
