// The incoming frame limit of the kernel's WebSocket client [frame_limit.cpp].
#pragma once

#include "kernel.hpp"

namespace tarnlet::kernel {

// The create_connection factory for websockets.connect: its connections skip any message
// over 4 x MAX_MESSAGE_SIZE bytes (inflated) without holding it, and deliver a stand-in.
py::object bounded_connection_factory();

// The byte size of the refused message that `raw` stands in for, or None when `raw` is
// an ordinary frame of `websocket`.
py::object refused_message_size(const py::object &websocket, const py::object &raw);

}  // namespace tarnlet::kernel
