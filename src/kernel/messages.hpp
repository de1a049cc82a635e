// The kernel's message helpers: reading and checking request fields, building and
// sending replies, and handing messages to the loop from worker threads.
#pragma once

#include <cstdint>
#include <string>

#include "kernel.hpp"

namespace tarnlet::kernel {

// message.get(key, default), as Python reads a field.
py::object field(const py::handle &message, const char *key, py::object fallback);

inline bool is_str(const py::handle &obj) { return PyUnicode_Check(obj.ptr()) != 0; }
inline bool is_dict(const py::handle &obj) { return PyDict_Check(obj.ptr()) != 0; }
inline bool is_list(const py::handle &obj) { return PyList_Check(obj.ptr()) != 0; }
bool is_str_list(const py::handle &value);
// A request id that can be echoed and kept in a set: null, a string, a number or a bool.
bool is_json_scalar(const py::handle &value);

// list(obj): always a new list (py::list(a_list) would share the object).
py::list new_list(const py::handle &obj);

// "Invalid request_id: expected a string, got dict", a refusal inside a request's own reply.
std::string invalid_field_text(const char *field, const char *expected, const py::handle &value);
// The "error" reply for a field of the wrong type: it names the message type and the
// field, and carries the request's request_id when it has one.
py::dict field_error(const py::handle &message, const char *msg_type, const char *field_name, const char *expected,
                     const py::handle &value);
// TypeError "<what> must be str, not <type>" unless `value` is a str, as CPython words it.
void require_str(const py::handle &value, const char *what);

// repr(value), or "<T object (repr failed: ...)>" when its __repr__ raises an Exception,
// as the serializer writes it: a broken repr must not fail a registry listing or a call.
py::str repr_or_stand_in(const py::handle &value);

// {"type": type}
py::dict reply_of(const char *type);
// await self.send_message(reply)
Coro send(py::object self, py::object reply);
// await self.send_message(m) for each message in order. While send_message and
// _send_message_direct are the class's own, the frames are written under one hold of the
// socket lock, so the answers of one request go out back to back.
Coro send_all(py::object self, py::list messages);

// How many times workers have handed something to a loop (output, a message). A job's end
// joins a hand-over already on its way to the loop only while this has not moved, so that
// it is never settled before what the job handed over itself. Read and changed with the
// GIL held.
std::uint64_t &worker_schedules();

// asyncio.run_coroutine_threadsafe(self.send_message(message), loop): the future. A
// coroutine that never got scheduled is closed before the error goes on.
py::object schedule_send(const py::object &self, const py::object &loop, const py::object &message);
// The same on self._loop for the synchronous, any-thread methods: a loop that is missing
// or closed drops the message with a debug line instead of failing the user's call.
void schedule_send_quietly(const py::object &self, const py::object &message);

// Releases an asyncio.Lock that `co_await lock.acquire()` took, however the scope ends:
//   co_await lock.attr("acquire")();
//   const AcquiredLock held(lock);
class AcquiredLock {
public:
    explicit AcquiredLock(py::object lock) : lock_(std::move(lock)) {}
    ~AcquiredLock();
    AcquiredLock(const AcquiredLock &) = delete;
    AcquiredLock &operator=(const AcquiredLock &) = delete;

private:
    py::object lock_;
};

// The module-level `tarnlet` (the user-facing module), looked up when used.
inline py::object tarnlet_module() { return module_global("tarnlet"); }

std::string current_thread_name();
// time.time(), looked up when used.
double now();
// "{:.1f}" of the milliseconds since `start`.
std::string elapsed_ms(double start);
// "{:.1f}" of a float, as Python formats it.
std::string format_1f(double value);

}  // namespace tarnlet::kernel
