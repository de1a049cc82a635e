// The language worker thread. The analyses of jedi and pyflakes are plain Python and
// can take minutes on pathological input; run on the loop thread they would stop every
// other frame, including the "sys_response" that blocked workers wait for.
//
// One thread at a time takes jobs in arrival order; it starts when a job arrives and
// ends when the queue is empty, so an idle kernel has no extra thread. A job whose
// time limit passed is skipped, or stopped while it runs: an exception is delivered
// into the worker thread, which jedi (plain Python, `except Exception`) lets through.
// Everything here is guarded by the GIL.
#include "language_worker.hpp"

#include <deque>
#include <optional>
#include <string>

#include "../common/thread_stop.hpp"

namespace tarnlet::kernel {

struct LanguageJob {
    enum class State { queued, running, finished, abandoned };

    std::function<py::object()> work;
    py::object loop;
    py::object future;  // completed on the loop with the result dict
    State state = State::queued;
};

namespace {

// Seconds the exit hook waits for a stopped analysis.
constexpr double STOP_JOIN_TIMEOUT = 10.0;

struct Worker {
    std::deque<std::shared_ptr<LanguageJob>> queue;
    std::shared_ptr<LanguageJob> running;
    py::object thread = py::none();  // the threading.Thread taking jobs, or None
    unsigned long ident = 0;         // its thread ident while it runs a job
    bool exit_hook_registered = false;
    bool exiting = false;
};

// Never freed: it holds Python objects, and a static destructor would run after the
// interpreter has gone.
Worker &worker() {
    static auto *state = new Worker();
    return *state;
}

// Delivered into the worker thread to stop an abandoned analysis. A BaseException,
// so no `except Exception` on its way (the bridge's, jedi's) keeps it.
py::object stop_exception_type() {
    static PyObject *type = new_stop_exception_type(
        "_LanguageAnalysisStopped", "Delivered into the language worker to stop an analysis past its time limit.");
    return py::reinterpret_borrow<py::object>(type);
}

bool truthy_done(const py::object &future) { return py::bool_(future.attr("done")()); }

// Stops the job while the worker still runs it; when the worker is starting a thread
// just then, tries again shortly from the job's loop.
void stop_running(const std::shared_ptr<LanguageJob> &job) {
    Worker &w = worker();
    if (w.running != job) {
        return;
    }
    if (interrupt_thread(w.ident, stop_exception_type().ptr())) {
        return;
    }
    try {
        job->loop.attr("call_later")(0.01, py::cpp_function([job] { stop_running(job); }));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_RuntimeError)) {  // a closed loop
            throw;
        }
    }
}

void abandon(const std::shared_ptr<LanguageJob> &job) {
    const bool running = job->state == LanguageJob::State::running;
    if (job->state == LanguageJob::State::queued || running) {
        job->state = LanguageJob::State::abandoned;
    }
    if (running) {
        stop_running(job);
    }
}

py::dict error_result(const py::str &text) {
    py::dict result;
    result["error"] = text;
    return result;
}

py::str text_of_error(const py::error_already_set &e) {
    PyObject *text = PyObject_Str(e.value().ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return py::str(std::string("<unprintable ") + Py_TYPE(e.value().ptr())->tp_name + " object>");
    }
    return py::reinterpret_steal<py::str>(text);
}

// Completes the job's future on its loop; a loop that has closed meanwhile gets nothing.
void deliver(const std::shared_ptr<LanguageJob> &job, py::object result) {
    py::cpp_function complete([job, result]() {
        if (!truthy_done(job->future)) {
            job->future.attr("set_result")(result);
        }
    });
    try {
        job->loop.attr("call_soon_threadsafe")(complete);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_RuntimeError)) {
            throw;
        }
    }
}

// An analysis of pathological input builds parse trees of hundreds of thousands of
// objects, and every automatic full collection meanwhile scans them all while holding
// the GIL (150-400 ms each here), which stalls the listener and every worker. Automatic
// collection waits while an analysis runs; the trees' cycles are collected afterwards.
class CollectorPaused {
public:
    CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPaused() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }
    CollectorPaused(const CollectorPaused &) = delete;
    CollectorPaused &operator=(const CollectorPaused &) = delete;

private:
    const bool was_enabled_;
};

// Runs one job. The state changes right after the call, before any other Python code
// can run, so a stop meant for this job never reaches the next one.
void run(const std::shared_ptr<LanguageJob> &job) {
    Worker &w = worker();
    job->state = LanguageJob::State::running;
    w.running = job;
    w.ident = PyThread_get_thread_ident();
    py::object result;
    std::optional<py::error_already_set> failure;
    std::string cpp_failure;
    try {
        const CollectorPaused paused;
        result = job->work();
    } catch (py::error_already_set &e) {
        failure.emplace(e);
    } catch (const std::exception &e) {
        cpp_failure = e.what();
    }
    const bool abandoned = job->state == LanguageJob::State::abandoned;
    job->state = LanguageJob::State::finished;
    w.running.reset();
    withdraw_pending_stop();  // a stop that came too late to be raised
    if (abandoned) {
        return;  // already answered with its time-out
    }
    // Whatever the bridge raised (a patched one, even SystemExit) answers this request
    // as its error; the kernel goes on.
    if (failure) {
        log_error("[LSP] Language analysis failed: " + text_of(failure->value()));
        deliver(job, error_result(text_of_error(*failure)));
    } else if (!cpp_failure.empty()) {
        log_error("[LSP] Language analysis failed: " + cpp_failure);
        deliver(job, error_result(py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
                         cpp_failure.data(), static_cast<Py_ssize_t>(cpp_failure.size()), "replace"))));
    } else {
        deliver(job, result);
    }
}

void worker_loop() {
    Worker &w = worker();
    while (true) {
        if (w.queue.empty() || w.exiting) {
            w.thread = py::none();
            return;
        }
        std::shared_ptr<LanguageJob> job = w.queue.front();
        w.queue.pop_front();
        if (job->state == LanguageJob::State::queued) {
            run(job);
        }
    }
}

// At exit no analysis may be left inside C++ on the daemon worker thread: the
// interpreter would kill it with a forced unwind that runs destructors without the GIL.
void stop_worker() {
    Worker &w = worker();
    w.exiting = true;
    for (auto &job : w.queue) {
        abandon(job);
    }
    w.queue.clear();
    if (w.running) {
        std::shared_ptr<LanguageJob> job = w.running;
        job->state = LanguageJob::State::abandoned;
        // No loop runs any more: retry here while the worker is starting a thread.
        for (int attempt = 0; attempt < 500 && w.running == job; ++attempt) {
            if (interrupt_thread(w.ident, stop_exception_type().ptr())) {
                break;
            }
            module_global("time").attr("sleep")(0.01);
        }
    }
    py::object thread = w.thread;
    if (!thread.is_none() && !thread.is(module_global("threading").attr("current_thread")())) {
        thread.attr("join")(STOP_JOIN_TIMEOUT);
    }
}

void ensure_worker() {
    Worker &w = worker();
    if (!w.exit_hook_registered) {
        py::module_::import("atexit").attr("register")(
            py::cpp_function(&stop_worker, py::name("_stop_language_worker")));
        w.exit_hook_registered = true;
    }
    if (!w.thread.is_none()) {
        return;
    }
    py::object thread = module_global("threading")
                            .attr("Thread")(py::arg("target") = py::cpp_function(&worker_loop),
                                            py::arg("name") = "LSP-analysis", py::arg("daemon") = true);
    w.thread = thread;
    thread.attr("start")();
}

}  // namespace

std::shared_ptr<LanguageJob> submit_language_job(std::function<py::object()> work) {
    auto job = std::make_shared<LanguageJob>();
    job->work = std::move(work);
    job->loop = module_global("asyncio").attr("get_running_loop")();
    job->future = job->loop.attr("create_future")();
    if (worker().exiting) {
        job->state = LanguageJob::State::finished;
        job->future.attr("set_result")(error_result(py::str("The kernel is shutting down")));
        return job;
    }
    worker().queue.push_back(job);
    ensure_worker();
    return job;
}

Coro await_language_job(std::shared_ptr<LanguageJob> job, double timeout) {
    py::object asyncio = module_global("asyncio");
    py::set waiting;
    waiting.add(job->future);
    try {
        co_await asyncio.attr("wait")(waiting, py::arg("timeout") = timeout < 0 ? 0.0 : timeout);
    } catch (py::error_already_set &) {
        abandon(job);  // cancelled: nobody will read the answer
        throw;
    }
    if (truthy_done(job->future)) {
        co_return job->future.attr("result")();
    }
    abandon(job);
    co_return py::none();
}

}  // namespace tarnlet::kernel
