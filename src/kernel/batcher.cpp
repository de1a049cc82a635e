// MessageBatcher: messages queued within one interval go out as a single "batch" frame.
#include <exception>

#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

py::object asyncio() { return module_global("asyncio"); }

void init(py::object self, py::object kernel) {
    self.attr("_kernel") = kernel;
    self.attr("_queue") = asyncio().attr("Queue")();
    self.attr("_flush_task") = py::none();
    self.attr("_running") = false;
}

Coro start(py::object self) {
    self.attr("_running") = true;
    self.attr("_flush_task") = asyncio().attr("create_task")(self.attr("_flush_loop")());
    co_return py::none();
}

Coro enqueue(py::object self, py::object message) {
    co_await self.attr("_queue").attr("put")(message);
    co_return py::none();
}

Coro flush_loop(py::object self) {
    // Sleep first: a message queued right after a flush waits one full interval.
    while (py::bool_(self.attr("_running"))) {
        co_await asyncio().attr("sleep")(self.attr("FLUSH_INTERVAL"));
        try {
            co_await self.attr("_flush_now")();
        } catch (py::error_already_set &e) {
            // One failed send (already logged with what it lost) must not end the loop:
            // messages queued later still go out. Cancellation ends it.
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    co_return py::none();
}

// "stdout, result" for a log line: the types of the messages a failed send lost.
std::string types_of(const py::list &messages) {
    std::string text;
    for (py::handle message : messages) {
        if (!text.empty()) {
            text += ", ";
        }
        text += is_dict(message) ? text_of(field(message, "type", py::str("unknown"))) : type_name(message);
    }
    return text;
}

Coro flush_now(py::object self) {
    py::object queue = self.attr("_queue");
    py::list taken;
    while (!py::bool_(queue.attr("empty")())) {
        try {
            taken.append(queue.attr("get_nowait")());
        } catch (py::error_already_set &e) {
            if (!e.matches(asyncio().attr("QueueEmpty"))) {
                throw;
            }
            break;
        }
    }
    if (taken.empty()) {
        co_return py::none();
    }
    try {
        py::object send = self.attr("_kernel").attr("_send_message_direct");
        if (py::len(taken) == 1) {
            co_await send(taken[0]);
        } else {
            py::dict batch;
            batch["type"] = "batch";
            batch["messages"] = taken;
            co_await send(batch);
        }
    } catch (py::error_already_set &e) {
        // The messages are off the queue: nothing will send them again.
        if (e.matches(PyExc_Exception)) {
            log_error("[Kernel] Batch send failed, " + std::to_string(py::len(taken)) + " message(s) lost (" +
                      types_of(taken) + "): " + type_name(e.value()) + ": " + error_text(e));
        }
        throw;
    }
    co_return py::none();
}

Coro stop(py::object self) {
    self.attr("_running") = false;
    py::object task = self.attr("_flush_task");
    if (!task.is_none()) {
        task.attr("cancel")();
        try {
            co_await task;
        } catch (py::error_already_set &e) {
            // Only the cancellation is expected; a task that had failed reports it here.
            if (!is_cancelled(e)) {
                throw;
            }
        }
    }
    co_await self.attr("_flush_now")();
    co_return py::none();
}

}  // namespace

void register_batcher(py::module_ &m) {
    ClassBuilder cls("MessageBatcher", m);
    cls.attr("FLUSH_INTERVAL", py::float_(0.01));
    cls.def_init(&init, py::arg("kernel"));
    cls.def("start", &start);
    cls.def("stop", &stop);
    cls.def("enqueue", &enqueue, py::arg("message"));
    cls.def("_flush_loop", &flush_loop);
    cls.def("_flush_now", &flush_now);
    m.attr("MessageBatcher") = cls.build();
}

}  // namespace tarnlet::kernel
