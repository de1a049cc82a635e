// The dispatcher's inline branches that change the module search path and sys.modules
// [dispatch_paths.cpp], and the helpers the branches share [dispatch.cpp].
#pragma once

#include "kernel.hpp"

namespace tarnlet::kernel {

// The "error" reply for a field of the wrong type: it names the message type and the
// field, and carries the request's request_id when it has one.
py::dict field_error(const py::handle &message, const char *msg_type, const char *field_name, const char *expected,
                     const py::handle &value);
bool is_str_list(const py::handle &value);

// Each reads its fields, answers a wrong type with field_error, else does its work and
// sends its reply through self.send_message.
Coro handle_add_path(py::object self, py::object message);
Coro handle_remove_path(py::object self, py::object message);
Coro handle_reset_path(py::object self, py::object message);
Coro handle_set_package_paths(py::object self, py::object message);
Coro handle_set_python_paths(py::object self, py::object message);
Coro handle_unload_and_clear_paths(py::object self, py::object message);

}  // namespace tarnlet::kernel
