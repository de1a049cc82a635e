// Blocking requests from worker threads, answered by "sys_response" on the listener,
// and the stream sender of the process-wide stdout/stderr hooks.
#pragma once

#include "kernel.hpp"

namespace tarnlet::kernel {

// send_stream_message(stream_type, content) -> None; callable from any thread, never raises.
py::object make_send_stream_message(py::object kernel);
// send_sys_request(payload, timeout=30.0) -> dict; blocks a non-loop thread until the answer.
py::object make_send_sys_request(py::object kernel);
// new_send_request_sync(req, timeout=30.0) -> dict; the tarnlet.messaging.send_request_sync of user code.
py::object make_new_send_request_sync(py::object send_sys_request);

// The listener's side of a "sys_response": stores the payload and wakes the waiting worker.
// Returns an error text when a field has the wrong type (nothing was stored then), else empty.
std::string deliver_sys_response(py::object kernel, py::object message);

// Wakes every worker still waiting for a "sys_response" with a ConnectionError: once the
// connection is gone no answer can arrive. Returns how many waits were failed.
size_t fail_pending_sys_requests(py::object kernel);

}  // namespace tarnlet::kernel
