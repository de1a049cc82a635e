// The warm-up: one jedi completion after "tarnlet." on a daemon thread of its own,
// so the editor's first such completion is fast.
//
// A daemon thread still inside C++ when the interpreter finalises is killed with a
// forced unwind that runs our destructors without the GIL, which crashes the exit.
// So no warm-up may outlive the interpreter: an exit hook, and `cleanup`, stop each
// one that still runs (an exception delivered into its jedi work) and join it.
#include <unordered_set>

#include "../common/thread_stop.hpp"
#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

// Seconds to wait for a stopped warm-up; jedi is plain Python, so it stops at once.
constexpr double STOP_JOIN_TIMEOUT = 10.0;

// Importing jedi holds the GIL for tens of milliseconds, and the kernel makes its bridge
// before it connects: a warm-up that began at once would slow the connection. So it
// waits until the module's release event is set (the kernel sets it once connected, an
// exit or `cleanup` sets it to stop), or this many seconds for a bridge without a kernel.
constexpr double RELEASE_WAIT = 1.0;

py::object release_event() { return global("_WARMUP_RELEASE"); }

// Threads (by ident) inside the interruptible part of a warm-up. Guarded by the GIL;
// never freed, so nothing is destroyed after the interpreter has gone.
std::unordered_set<unsigned long> &interruptible() {
    static auto *threads = new std::unordered_set<unsigned long>();
    return *threads;
}

// Threads (by ident) whose warm-up was stopped while it waited for the release: they
// skip the preload. Guarded by the GIL, never freed, like the set above.
std::unordered_set<unsigned long> &cancelled() {
    static auto *threads = new std::unordered_set<unsigned long>();
    return *threads;
}

// Set by the exit hook: a warm-up that has not begun yet does not begin.
bool g_exiting = false;

// The exception delivered into a warm-up to stop it: a BaseException, so the
// warm-up's own catch-all (and jedi's `except Exception`) let it through.
py::object stop_exception_type() {
    static PyObject *type = new_stop_exception_type("_WarmupStopped", "Delivered into the warm-up thread to stop it.");
    return py::reinterpret_borrow<py::object>(type);
}

// Marks the current thread as stoppable for its lifetime. On leaving, a stop that
// arrived too late to be raised is withdrawn, so it cannot fire in later code.
class Interruptible {
public:
    Interruptible() : ident_(PyThread_get_thread_ident()) { interruptible().insert(ident_); }
    ~Interruptible() {
        interruptible().erase(ident_);
        withdraw_pending_stop();
    }
    Interruptible(const Interruptible &) = delete;
    Interruptible &operator=(const Interruptible &) = delete;

private:
    unsigned long ident_;
};

bool is_stop(const py::error_already_set &e) { return e.matches(stop_exception_type()); }

void preload_tarnlet_module(py::object self) {
    try {
        const Interruptible stoppable;
        if (g_exiting) {
            return;
        }
        catch_all(
            [&] {
                with_jedi(self, [&] {
                    py::object script = lazy_global("jedi").attr("Script")(
                        py::arg("code") = "import tarnlet\ntarnlet.", py::arg("path") = "<warmup>",
                        py::arg("project") = self.attr("_jedi_project"));
                    py::list completions(script.attr("complete")(py::arg("line") = 2, py::arg("column") = 8));
                    logf("info", "[LSP] Preloaded tarnlet module cache (%d completions found)", py::len(completions));
                });
            },
            [](const py::str &error) { logf("warning", "[LSP] Failed to preload tarnlet module: %s", error); });
    } catch (py::error_already_set &e) {
        if (!is_stop(e)) {
            throw;
        }
    }
}

// The warm-up thread's body: the wait for the release, then the (late-bound) preload.
void run_warmup(py::object self) {
    const unsigned long ident = PyThread_get_thread_ident();
    release_event().attr("wait")(RELEASE_WAIT);
    if (cancelled().erase(ident) != 0) {
        return;
    }
    self.attr("preload_tarnlet_module")();
    cancelled().erase(ident);  // a stop that came during the preload
}

// The module's list of warm-up threads that may still run, for the exit hook.
py::list warmup_threads() { return global("_warmup_threads"); }

void preload_tarnlet_module_async(py::object self) {
    py::object thread =
        global("threading")
            .attr("Thread")(py::arg("target") = global("functools").attr("partial")(global("_run_warmup"), self),
                            py::arg("name") = "LSP-tarnlet-preload", py::arg("daemon") = true);
    py::list threads = warmup_threads();
    py::list alive;
    for (py::handle other : threads) {
        if (truthy(other.attr("is_alive")())) {
            alive.append(other);
        }
    }
    alive.append(thread);
    threads[py::slice(py::none(), py::none(), py::none())] = alive;
    self.attr("_preload_thread") = thread;
    thread.attr("start")();
    logf("debug", "[LSP] Started async tarnlet module preloading");
}

// Stops one warm-up thread if it still runs, and waits for it.
void stop_thread(const py::handle &thread) {
    if (thread.is_none() || !truthy(thread.attr("is_alive")())) {
        return;
    }
    py::object ident = thread.attr("ident");
    if (!ident.is_none()) {
        const unsigned long id = py::cast<unsigned long>(ident);
        cancelled().insert(id);
        release_event().attr("set")();  // a warm-up still waiting wakes to find itself stopped
        // Retried while the warm-up is starting a thread of its own (jedi's pipe reader).
        for (int attempt = 0; attempt < 500 && interruptible().count(id) != 0; ++attempt) {
            if (interrupt_thread(id, stop_exception_type().ptr())) {
                break;
            }
            global("time").attr("sleep")(0.01);
        }
    }
    // Never from the warm-up thread itself (a patched preload calling cleanup).
    if (!thread.is(global("threading").attr("current_thread")())) {
        thread.attr("join")(STOP_JOIN_TIMEOUT);
    }
}

void stop_all_warmups() {
    g_exiting = true;
    release_event().attr("set")();
    py::list threads = warmup_threads();
    for (py::handle thread : py::list(threads)) {
        stop_thread(thread);
    }
    threads.attr("clear")();
}

}  // namespace

void stop_warmup(const py::object &self) { stop_thread(py::getattr(self, "_preload_thread", py::none())); }

void register_warmup_exit_hook(py::module_ &m) {
    m.attr("_warmup_threads") = py::list();
    m.attr("_WARMUP_RELEASE") = py::module_::import("threading").attr("Event")();
    m.attr("functools") = py::module_::import("functools");
    m.attr("_run_warmup") = py::cpp_function(&run_warmup, py::name("_run_warmup"), py::arg("bridge"));
    m.attr("_WarmupStopped") = stop_exception_type();
    m.attr("_stop_warmup_threads") = py::cpp_function(&stop_all_warmups, py::name("_stop_warmup_threads"));
    py::module_::import("atexit").attr("register")(m.attr("_stop_warmup_threads"));
}

void add_warmup_methods(ClassBuilder &cls) {
    cls.def("preload_tarnlet_module", &preload_tarnlet_module);
    cls.def("preload_tarnlet_module_async", &preload_tarnlet_module_async);
}

}  // namespace tarnlet::sensewire
