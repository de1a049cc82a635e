#include "invocation.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "interrupts.hpp"
#include "streams.hpp"

namespace tarnlet::kernel::invocation {

std::string Request::qualified() const { return text_of(module_name) + "." + text_of(function_name); }

py::object traceback_text(const py::handle &exception) { return module_global("extract_tracebak_string")(exception); }

py::dict error_record(py::object type, py::object message, py::object traceback) {
    py::dict record;
    record[interned("type")] = std::move(type);
    record[interned("message")] = std::move(message);
    record[interned("traceback")] = std::move(traceback);
    return record;
}

py::dict error_record_of(const py::handle &exception) {
    return error_record(py::type::handle_of(exception).attr(interned("__name__")), py::str(exception),
                        traceback_text(exception));
}

py::dict validation_record(const std::string &text) {
    return error_record(py::str("ValidationError"), py::str(text), py::str(""));
}

bool is_dotted_identifier(const py::handle &name) {
    // keyword.kwlist: the names `import` refuses even though they are identifiers.
    static const std::set<std::string, std::less<>> keywords = {
        "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
        "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
        "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};
    if (!is_str(name)) {
        return false;
    }
    const py::list parts = py::reinterpret_steal<py::list>(PyUnicode_Split(name.ptr(), py::str(".").ptr(), -1));
    if (!parts) {
        throw py::error_already_set();
    }
    for (const py::handle part : parts) {
        if (PyUnicode_IsIdentifier(part.ptr()) != 1) {
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(part.ptr(), &size);
        if (text == nullptr) {
            throw py::error_already_set();
        }
        if (keywords.count(std::string_view(text, static_cast<size_t>(size))) != 0) {
            return false;
        }
    }
    return true;
}

py::object load_module(const py::object &name) {
    if (!is_dotted_identifier(name)) {
        return py::none();
    }
    module_global("importlib").attr(interned("import_module"))(name);
    return module_global("sys").attr(interned("modules")).attr(interned("get"))(name);
}

py::object function_of(const py::object &module, const py::object &name) {
    if (!is_str(name)) {
        return py::object();
    }
    PyObject *value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value == nullptr) {
        // hasattr's rule: only AttributeError means "missing".
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return py::object();
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object resolve_function(const Request &request, const char *where, const std::string &module_missing) {
    const py::object module = load_module(request.module_name);
    if (module.is_none()) {
        raise_error_in(where, PyExc_ImportError, module_missing);
    }
    py::object func = function_of(module, request.function_name);
    if (!func) {
        raise_error_in(where, PyExc_AttributeError,
                       "Function '" + text_of(request.function_name) + "' not found in module '" +
                           text_of(request.module_name) + "'");
    }
    return func;
}

py::object call_args(const Request &request) { return request.self.attr(interned("_deserialize_args"))(request.args); }

py::object to_wire() { return module_global("tarnlet").attr(interned("Serializer")).attr(interned("to_wire")); }

Outcome call_captured(const Request &request, const std::function<void(Outcome &)> &body, bool echo) {
    const output::RequestScope streamed(
        output::Target{request.self, request.loop, request.request_id, request.workbook_id, request.source});
    output::Capture capture;
    capture.to_request(output::out);
    capture.to_request(output::err);
    Outcome outcome;
    {
        const output::CaptureScope captured(capture);
        try {
            InterruptibleRun running(request.self, request.request_id);
            body(outcome);
            outcome.failure = running.end();
        } catch (py::error_already_set &e) {
            // Any BaseException from user code (SystemExit, KeyboardInterrupt, ...) is this
            // call's failure: on a worker thread nothing of the kernel's own can be raised here,
            // and letting it through would end the kernel or leave the request unanswered.
            outcome.failure = exception_of(e);
        }
    }
    if (outcome.failure && echo) {
        // What traceback.print_exception writes, into this call's stderr (and so streamed).
        const py::object exception = outcome.failure;
        const py::object lines = module_global("traceback")
                                     .attr(interned("format_exception"))(py::type::handle_of(exception), exception,
                                                                         exception.attr(interned("__traceback__")));
        capture.write(output::err, py::str("").attr(interned("join"))(lines));
    }
    outcome.logs = capture.text(output::out) + capture.text(output::err);
    return outcome;
}

namespace {

// One request's run on a worker: what it runs, and the loop future it settles.
struct WorkerJob {
    Request request;
    Outcome (*execute)(const Request &);
    std::shared_ptr<Outcome> outcome;
    py::object future;
};

// On the loop: the job's future gets its end, unless the awaiting task gave up on it.
void settle(py::object future, py::object failure) {
    if (py::bool_(future.attr(interned("done"))())) {
        return;
    }
    if (failure.is_none()) {
        future.attr(interned("set_result"))(py::none());
    } else {
        future.attr(interned("set_exception"))(failure);
    }
}

// The ends of worker jobs on their way to a loop. Under load many jobs end while the loop is
// busy: they go over together, in one call_soon_threadsafe and one wake-up of the loop,
// instead of one write to its self-pipe each (each write lets go of the GIL and must win it
// back from the other workers). Only touched with the GIL held, which is their lock.
struct Handback {
    py::object loop;
    std::uint64_t serial;
    std::uint64_t schedules;                              // worker_schedules() when it was queued
    std::vector<std::pair<py::object, py::object>> ends;  // (future, failure) in the order they ended
};

std::vector<Handback> &handbacks() {
    static auto *pending = new std::vector<Handback>();  // kept for the life of the process
    return *pending;
}

// On the loop: settles the ends of one hand-over, in the order they came.
void settle_handed_back(std::uint64_t serial) {
    auto &pending = handbacks();
    const auto found =
        std::find_if(pending.begin(), pending.end(), [serial](const Handback &h) { return h.serial == serial; });
    if (found == pending.end()) {
        return;
    }
    const std::vector<std::pair<py::object, py::object>> ends = std::move(found->ends);
    pending.erase(found);
    std::unique_ptr<py::error_already_set> first_error;
    for (const auto &[future, failure] : ends) {
        try {
            settle(future, failure);
        } catch (py::error_already_set &e) {
            // The others are still settled; the loop reports the first error, as it
            // would a failing callback of its own.
            if (!first_error) {
                first_error = std::make_unique<py::error_already_set>(std::move(e));
            }
        }
    }
    if (first_error) {
        throw std::move(*first_error);
    }
}

const py::object &settle_function() {
    static const auto *function =
        new py::object(py::cpp_function(&settle_handed_back, py::name("settle_worker_futures"), py::arg("serial")));
    return *function;
}

// On the worker: the job's end joins the last hand-over queued for the loop, unless
// something was handed to a loop after that one was queued (this job's last output, say):
// then it starts a new hand-over, queued behind it.
void hand_back(const py::object &loop, py::object future, py::object failure) {
    auto &pending = handbacks();
    const auto last =
        std::find_if(pending.rbegin(), pending.rend(), [&loop](const Handback &h) { return h.loop.is(loop); });
    if (last != pending.rend() && last->schedules == worker_schedules()) {
        last->ends.emplace_back(std::move(future), std::move(failure));
        return;
    }
    static std::uint64_t serials = 0;
    const std::uint64_t serial = ++serials;
    pending.push_back(Handback{loop, serial, worker_schedules(), {}});
    pending.back().ends.emplace_back(std::move(future), std::move(failure));
    try {
        loop.attr(interned("call_soon_threadsafe"))(settle_function(), serial);
    } catch (py::error_already_set &e) {
        // The loop closed meanwhile: nobody waits for these ends any more. (Other workers
        // may have added hand-overs while this one let go of the GIL: found by serial.)
        pending.erase(
            std::remove_if(pending.begin(), pending.end(), [serial](const Handback &h) { return h.serial == serial; }),
            pending.end());
        if (!is_ordinary(e)) {
            throw;
        }
    }
}

// On the worker: runs the job and hands its end to the loop in one call_soon_threadsafe.
void run_job(py::capsule job_capsule) {
    auto *job = job_capsule.get_pointer<WorkerJob>();
    py::object failure = py::none();
    // A job whose task was cancelled before a worker took it up is not run.
    if (!py::bool_(job->future.attr(interned("done"))())) {
        try {
            *job->outcome = job->execute(job->request);
        } catch (py::error_already_set &e) {
            failure = exception_of(e);
        } catch (const std::exception &e) {
            // A value the kernel's own C++ could not take still answers the request, as a
            // failure of the handler, instead of leaving its task waiting for ever.
            const std::string what = e.what();
            failure = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "replace")));
        }
    }
    hand_back(job->request.loop, job->future, failure);
}

const py::object &job_function() {
    static const auto *function = new py::object(py::cpp_function(&run_job, py::name("run_request_on_worker")));
    return *function;
}

}  // namespace

py::object start_on_worker(Request &request, Outcome (*execute)(const Request &), std::shared_ptr<Outcome> outcome) {
    request.loop = module_global("asyncio").attr(interned("get_running_loop"))();
    // One hop each way: the job goes straight to the pool, and its end comes back by one
    // call_soon_threadsafe onto a plain loop future (run_in_executor would chain a
    // concurrent future to an asyncio one through callbacks on both sides).
    py::object future = request.loop.attr(interned("create_future"))();
    auto job = std::make_unique<WorkerJob>(WorkerJob{request, execute, std::move(outcome), future});
    py::capsule holder(job.get(), [](void *p) { delete static_cast<WorkerJob *>(p); });
    job.release();
    request.self.attr(interned("_thread_pool")).attr(interned("submit"))(job_function(), holder);
    return future;
}

py::object run_on_worker(const Request &request, const py::object &worker) {
    return request.loop.attr(interned("run_in_executor"))(request.self.attr(interned("_thread_pool")), worker);
}

Coro guarded(py::object serve, py::object fail) {
    const Attempted served = co_await attempt(serve);
    if (served.ok()) {
        co_return py::none();
    }
    const py::object answering = fail(served.failure);
    co_return co_await answer_or_log(answering);
}

Coro answer_or_log(py::object answering) {
    const Attempted answered = co_await attempt(answering);
    if (!answered.ok()) {
        logf(Level::error, "[Kernel] Failed to send error message: %s", answered.failure);
    }
    co_return py::none();
}

namespace {
Coro answer_failure(const Kind *kind, std::shared_ptr<Request> request, py::object failure) {
    logf(Level::error, "[Kernel] Unexpected error in %s: %s", kind->method, failure);
    co_return co_await kind->send_error(*request, error_record_of(failure));
}
}  // namespace

Coro handle_request(const Kind &kind, py::object self, py::object message) {
    auto request = std::make_shared<Request>(Request{self});
    const Kind *described = &kind;
    // guarded() in line, without a Python function made for every request. Named, not
    // temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = kind.serve(request, message).to_python();
    const Attempted served = co_await attempt(serving);
    if (served.ok()) {
        co_return py::none();
    }
    const py::object answering = answer_failure(described, request, served.failure).to_python();
    co_return co_await answer_or_log(answering);
}

AtExit::~AtExit() {
    try {
        cleanup_();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("cleaning up a request");
    }
}

}  // namespace tarnlet::kernel::invocation
