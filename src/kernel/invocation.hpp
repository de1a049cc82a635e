// The pipeline of every request that runs user code on a worker (custom functions,
// callables, events, debug runs, streaming): the request's fields, resolving its module
// and function, running on the kernel's thread pool with its output captured and
// streamed, the outcome as a C++ value, and the one way a failure is answered.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "messages.hpp"

namespace tarnlet::kernel::invocation {

// A request that runs user code: what it names, and where its output is addressed.
struct Request {
    py::object self;
    py::object module_name = py::str("");
    py::object function_name = py::str("");
    py::object args = py::list();  // the call's arguments; for console code, the code
    py::object request_id = py::none();
    py::object workbook_id = py::none();
    py::object source = py::str("addin");
    py::object loop = py::object();  // the running loop, once dispatched

    // "module.function" for log lines.
    std::string qualified() const;
};

// How user code ended on the worker.
struct Outcome {
    py::object value;    // what the call returned
    py::object wire;     // its wire form, where the request sends one
    py::object failure;  // or the exception it raised, traceback attached
    py::object logs;     // the captured stdout text + stderr text
    bool ok() const { return !failure; }
};

// extract_tracebak_string(exception), looked up when used.
py::object traceback_text(const py::handle &exception);
// {type, message, traceback}
py::dict error_record(py::object type, py::object message, py::object traceback);
// The record of an exception: class name, str() and traceback text.
py::dict error_record_of(const py::handle &exception);
// The record of a refusal before the worker starts: ValidationError, the text, no traceback.
py::dict validation_record(const std::string &text);

// A module name that `import NAME` would accept: dotted Python identifiers, no keywords.
bool is_dotted_identifier(const py::handle &name);
// Imports a workbook module by name and returns sys.modules[name], or None when the name
// is not a dotted identifier or the module is not in sys.modules afterwards. The name is
// never executed as code; import errors propagate.
py::object load_module(const py::object &name);
// getattr(module, name), or a null object when `name` is not a string attribute of it.
py::object function_of(const py::object &module, const py::object &name);
// The request's function: ImportError `module_missing` or AttributeError "Function 'f'
// not found in module 'm'", raised from a frame named `where`.
py::object resolve_function(const Request &request, const char *where, const std::string &module_missing);
// The request's args as Python values (self._deserialize_args, late bound).
py::object call_args(const Request &request);
// tarnlet.Serializer.to_wire, looked up when used.
py::object to_wire();

// On the worker: runs `body` with the request's output captured for this thread and
// streamed under the request's id; it fills the outcome's value (and wire). An ordinary exception becomes the outcome's
// failure and its traceback goes into the captured stderr. A debug run reports its failure itself and leaves the
// traceback out (`echo` false).
Outcome call_captured(const Request &request, const std::function<void(Outcome &)> &body, bool echo = true);

// `work` as a Python function named `name`, for run_on_worker.
template <typename Work>
py::object worker_function(const char *name, Work &&work) {
    return py::cpp_function(std::forward<Work>(work), py::name(name));
}
// Sets the request's loop and starts `execute(request)` on self._thread_pool; its
// outcome lands in `outcome`. The loop future, to co_await.
py::object start_on_worker(Request &request, Outcome (*execute)(const Request &), std::shared_ptr<Outcome> outcome);
// Runs `worker` on the request's self._thread_pool and waits for it.
py::object run_on_worker(const Request &request, const py::object &worker);

// The skeleton of every handler: `serve` runs the request; an ordinary failure of it is
// handed to `fail`, which logs and answers it; a failure of that answer is logged as
// "Failed to send error message".
// Both are Python objects (a coroutine, and a callable returning one): GCC 12 destroys a
// lambda converted to a std::function parameter of a coroutine twice.
Coro guarded(py::object serve, py::object fail);
// Awaits `answering`, the error reply of a request that failed; a failure of that is
// only logged, as "Failed to send error message".
Coro answer_or_log(py::object answering);

// A message type whose request is answered by one error reply when anything fails.
struct Kind {
    const char *method;  // the PythonKernel method, for "Unexpected error in <method>"
    // Reads the message into the request (defaults already in it), runs and answers it.
    Coro (*serve)(std::shared_ptr<Request> request, py::object message);
    // The request's error reply for a failure's record.
    Coro (*send_error)(Request request, py::dict record);
};

// The handler of such a message type; `kind` lives as long as the module.
Coro handle_request(const Kind &kind, py::object self, py::object message);

// Runs a cleanup when the scope ends, however it ends (the kernel's own cancellation
// included); a Python error in it is reported as unraisable.
class AtExit {
public:
    explicit AtExit(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {}
    ~AtExit();
    AtExit(const AtExit &) = delete;
    AtExit &operator=(const AtExit &) = delete;

private:
    std::function<void()> cleanup_;
};

}  // namespace tarnlet::kernel::invocation
