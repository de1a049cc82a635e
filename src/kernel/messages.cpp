#include "messages.hpp"

#include <cstdio>

#include "interrupts.hpp"

namespace tarnlet::kernel {

py::object field(const py::handle &message, const char *key, py::object fallback) {
    if (PyDict_CheckExact(message.ptr())) {
        // A plain dict's get() cannot be replaced: read it without the method call.
        const py::object name = interned(key);
        PyObject *value = PyDict_GetItemWithError(message.ptr(), name.ptr());  // borrowed
        if (value == nullptr && PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
        return value != nullptr ? py::reinterpret_borrow<py::object>(value) : std::move(fallback);
    }
    return message.attr(interned("get"))(key, std::move(fallback));
}

bool is_str_list(const py::handle &value) {
    if (!is_list(value)) {
        return false;
    }
    for (const py::handle item : value) {
        if (!is_str(item)) {
            return false;
        }
    }
    return true;
}

bool is_json_scalar(const py::handle &value) {
    PyObject *p = value.ptr();
    return p == Py_None || PyUnicode_Check(p) || PyLong_Check(p) || PyFloat_Check(p);  // bool is an int
}

py::list new_list(const py::handle &obj) {
    PyObject *copy = PySequence_List(obj.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::list>(copy);
}

std::string invalid_field_text(const char *field, const char *expected, const py::handle &value) {
    return std::string("Invalid ") + field + ": expected " + expected + ", got " + type_name(value);
}

py::dict field_error(const py::handle &message, const char *msg_type, const char *field_name, const char *expected,
                     const py::handle &value) {
    py::dict reply = reply_of("error");
    reply[interned("message")] = "Invalid field '" + std::string(field_name) + "' in " + msg_type + ": expected " +
                                 expected + ", got " + type_name(value);
    if (message.contains("request_id")) {
        reply[interned("request_id")] = message[interned("request_id")];
    }
    return reply;
}

void require_str(const py::handle &value, const char *what) {
    if (!is_str(value)) {
        raise_error(PyExc_TypeError, std::string(what) + " must be str, not " + Py_TYPE(value.ptr())->tp_name);
    }
}

py::dict reply_of(const char *type) {
    py::dict reply;
    reply[interned("type")] = type;
    return reply;
}

Coro send(py::object self, py::object reply) { co_return co_await self.attr(interned("send_message"))(reply); }

std::uint64_t &worker_schedules() {
    static std::uint64_t count = 0;
    return count;
}

py::object schedule_send(const py::object &self, const py::object &loop, const py::object &message) {
    DeferredInterrupts deferred;
    py::object coro = self.attr(interned("send_message"))(message);
    py::object future;
    try {
        ++worker_schedules();
        future = module_global("asyncio").attr(interned("run_coroutine_threadsafe"))(coro, loop);
    } catch (py::error_already_set &) {
        // Never started: closed rather than left to warn as an unawaited coroutine.
        if (py::hasattr(coro, "close")) {
            coro.attr(interned("close"))();
        }
        throw;
    }
    deferred.end();
    return future;
}

void schedule_send_quietly(const py::object &self, const py::object &message) {
    const py::object loop = self.attr(interned("_loop"));
    if (loop.is_none() || py::bool_(loop.attr(interned("is_closed"))())) {
        logf(Level::debug, "[Kernel] Cannot send message type '%s': event loop not available",
             field(message, "type", py::str("unknown")));
        return;
    }
    try {
        schedule_send(self, loop, message);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        // The loop closed between the check and the call.
        logf(Level::debug, "[Kernel] Cannot send message type '%s': %s", field(message, "type", py::str("unknown")),
             error_text(e));
    }
}

AcquiredLock::~AcquiredLock() {
    try {
        lock_.attr(interned("release"))();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("releasing the socket lock");
    }
}

std::string current_thread_name() {
    return text_of(module_global("threading").attr(interned("current_thread"))().attr(interned("name")));
}

double now() { return module_global("time").attr(interned("time"))().cast<double>(); }

std::string elapsed_ms(double start) { return format_1f((now() - start) * 1000.0); }

std::string format_1f(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

py::str repr_or_stand_in(const py::handle &value) {
    try {
        return py::repr(value);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::str("<" + type_name(value) + " object (repr failed: " + error_text(e) + ")>");
    }
}

}  // namespace tarnlet::kernel
