// "interrupt_request": raises KeyboardInterrupt in the worker thread that runs a request's
// user code, or in every such thread when the message names no request. The listener
// answers at once from a registry of running requests and never waits on a worker; the
// interrupted request then answers with its own error reply.
#include "interrupts.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "../common/thread_stop.hpp"
#include "dispatch.hpp"
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// A delivery that finds the thread starting a thread of its own (both carry its ident for
// a moment) is tried again this much later, a bounded number of times.
constexpr double kRetryDelay = 0.01;
constexpr int kRetryLimit = 200;

// A worker thread's DeferredInterrupts scopes: how deep, and whether an interrupt came
// meanwhile. Read and written under the registry lock.
struct Deferral {
    int depth = 0;
    bool pending = false;
};
thread_local Deferral t_deferral;

struct Running {
    std::uint64_t token;
    PyObject *kernel;  // only compared: the run's request keeps its kernel alive
    py::object request_id;
    unsigned long thread;
    Deferral *deferral;  // of `thread`, which outlives the entry
};

// Held only around C++ and C API calls that run no Python code and never release the GIL,
// so taking it with the GIL held cannot deadlock. An interrupt is delivered under it and
// an entry leaves under it: a run that has left can no longer be interrupted.
std::mutex &registry_lock() {
    static std::mutex lock;
    return lock;
}

// Never destroyed: it holds Python objects, which must not be released once the
// interpreter has gone.
std::vector<Running> &registry() {
    static auto *entries = new std::vector<Running>();
    return *entries;
}

std::uint64_t last_token = 0;  // under the lock

// Under the registry lock: raises the interrupt in the run's thread, or holds it back
// while the thread is in kernel work. False when the thread could not be told apart.
bool deliver(const Running &run) {
    if (run.deferral->depth > 0) {
        run.deferral->pending = true;
        return true;
    }
    return interrupt_thread(run.thread, PyExc_KeyboardInterrupt);
}

bool is_plain_scalar(PyObject *value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
           PyFloat_CheckExact(value);
}

// Ids as the wire tells them apart: "1", 1, 1.0 and true are four ids. Only plain JSON
// values are compared by value, so no user-defined __eq__ runs under the lock.
bool same_id(const py::handle &a, const py::handle &b) {
    if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr())) {
        return false;
    }
    if (!is_plain_scalar(a.ptr())) {
        return a.ptr() == b.ptr();
    }
    const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (equal < 0) {
        PyErr_Clear();
        return false;
    }
    return equal == 1;
}

// The running requests of `kernel` that were found: `all` of them, or those of `request_id`.
struct Found {
    int count = 0;
    std::vector<std::uint64_t> to_retry;  // their thread could not be told apart just now
};

Found interrupt_running(PyObject *kernel, const py::handle &request_id, bool all) {
    Found found;
    const std::lock_guard<std::mutex> held(registry_lock());
    for (const Running &run : registry()) {
        if (run.kernel != kernel || (!all && !same_id(run.request_id, request_id))) {
            continue;
        }
        ++found.count;
        if (!deliver(run)) {
            found.to_retry.push_back(run.token);
        }
    }
    return found;
}

// A debug run paused at a line waits on its debugger: woken, it raises the interrupt now
// rather than at its next look at the clock. Looked up when used, like the debugger.
void wake_debugger(const py::object &self) {
    try {
        const py::object debugger = py::getattr(self, "_debugger", py::none());
        if (!debugger.is_none() && py::hasattr(debugger, "wake")) {
            debugger.attr("wake")();
        }
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        logf(Level::warning, "[Kernel] Could not wake the debugger for an interrupt: %s", error_text(e));
    }
}

// One more try at the run `token`, unless it has ended meanwhile.
void retry_later(py::object self, py::object loop, std::uint64_t token, int attempt);

void retry(const py::object &self, const py::object &loop, std::uint64_t token, int attempt) {
    bool running = false;
    bool delivered = false;
    {
        const std::lock_guard<std::mutex> held(registry_lock());
        for (const Running &run : registry()) {
            if (run.token == token) {
                running = true;
                delivered = deliver(run);
                break;
            }
        }
    }
    if (!running) {
        return;  // it ended on its own
    }
    if (delivered) {
        wake_debugger(self);
    } else if (attempt < kRetryLimit) {
        retry_later(self, loop, token, attempt + 1);
    } else {
        log_warning("[Kernel] Could not interrupt a running request: its thread could not be told apart");
    }
}

void retry_later(py::object self, py::object loop, std::uint64_t token, int attempt) {
    loop.attr("call_later")(kRetryDelay, py::cpp_function([self, loop, token, attempt]() {
                                try {
                                    retry(self, loop, token, attempt);
                                } catch (py::error_already_set &e) {
                                    if (!is_ordinary(e)) {
                                        throw;
                                    }
                                    logf(Level::error, "[Kernel] Error interrupting a request: %s", error_text(e));
                                }
                            }));
}

}  // namespace

InterruptibleRun::InterruptibleRun(const py::object &self, const py::object &request_id) {
    const std::lock_guard<std::mutex> held(registry_lock());
    token_ = ++last_token;
    registry().push_back(Running{token_, self.ptr(), request_id, PyThread_get_thread_ident(), &t_deferral});
}

bool InterruptibleRun::leave() {
    ended_ = true;
    py::object request_id;  // released once the lock is free
    {
        const std::lock_guard<std::mutex> held(registry_lock());
        auto &entries = registry();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->token == token_) {
                request_id = std::move(it->request_id);
                entries.erase(it);
                break;
            }
        }
    }
    // No interrupt can come for this run any more; one that came and was not raised yet
    // goes now instead of in the kernel's code after it.
    return withdraw_pending_stop();
}

py::object InterruptibleRun::end() {
    if (ended_ || !leave()) {
        return py::object();
    }
    try {
        raise_error_in("end_of_request", PyExc_KeyboardInterrupt, "");
    } catch (py::error_already_set &e) {
        return exception_of(e);
    }
}

InterruptibleRun::~InterruptibleRun() {
    if (ended_) {
        return;
    }
    try {
        leave();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("withdrawing an interrupt at the end of a request");
    }
}

DeferredInterrupts::DeferredInterrupts() {
    const std::lock_guard<std::mutex> held(registry_lock());
    ++t_deferral.depth;
}

void DeferredInterrupts::end() {
    ended_ = true;
    bool held_back = false;
    {
        const std::lock_guard<std::mutex> held(registry_lock());
        if (--t_deferral.depth == 0) {
            held_back = std::exchange(t_deferral.pending, false);
        }
    }
    if (held_back) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

DeferredInterrupts::~DeferredInterrupts() {
    if (ended_) {
        return;
    }
    const std::lock_guard<std::mutex> held(registry_lock());
    if (--t_deferral.depth == 0) {
        t_deferral.pending = false;
    }
}

Coro handle_interrupt_request(py::object self, py::object message) {
    const py::object request_id = field(message, "request_id", py::none());
    if (!is_json_scalar(request_id)) {
        co_return co_await send(
            self, field_error(message, "interrupt_request", "request_id", "a string, a number or null", request_id));
    }
    logf(Level::info, "[Kernel] Received interrupt_request (request_id=%s)", request_id);
    const Found found = interrupt_running(self.ptr(), request_id, request_id.is_none());
    if (found.count == 0) {
        logf(Level::info, "[Kernel] No running request to interrupt (request_id=%s)", request_id);
    } else {
        logf(Level::info, "[Kernel] Interrupting %s running request(s) (request_id=%s)", std::to_string(found.count),
             request_id);
        if (found.to_retry.size() < static_cast<size_t>(found.count)) {
            wake_debugger(self);
        }
        if (!found.to_retry.empty()) {
            const py::object loop = module_global("asyncio").attr("get_running_loop")();
            for (const std::uint64_t token : found.to_retry) {
                retry_later(self, loop, token, 1);
            }
        }
    }
    py::dict reply = reply_of("interrupt_reply");
    reply["request_id"] = request_id;
    reply["interrupted"] = found.count > 0;
    co_return co_await send(self, reply);
}

}  // namespace tarnlet::kernel
