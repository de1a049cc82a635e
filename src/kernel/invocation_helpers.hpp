// Helpers shared by the invocation services (custom functions, callables, streaming,
// events, debug runs, registry): reading request fields, reporting caught exceptions,
// handing messages to the loop from worker threads, importing workbook modules by name,
// and capturing a call's output.
#pragma once

#include <string>

#include "kernel.hpp"

namespace tarnlet::kernel::invocation {

// message.get(key, default), as Python reads a field.
py::object get(const py::handle &message, const char *key, py::object fallback);

bool is_str(const py::handle &value);
// A request id that can be echoed and kept in a set: null, a string, a number or a bool.
bool is_json_scalar(const py::handle &value);
// type(value).__name__
std::string type_name(const py::handle &value);
std::string current_thread_name();
// logger.isEnabledFor(DEBUG): lets hot paths skip building debug lines nobody reads.
bool debug_enabled();
// " (expected a string, got dict)"-style text for a refused field.
std::string invalid_field_text(const char *field, const char *expected, const py::handle &value);

// True for an Exception (what the handlers catch); BaseExceptions such as
// CancelledError, SystemExit or KeyboardInterrupt pass through.
bool is_ordinary(const py::error_already_set &error);
// The caught exception instance, with its traceback attached.
py::object exception_of(const py::error_already_set &error);
// extract_tracebak_string(exception), looked up when used.
py::object traceback_text(const py::handle &exception);
// {type, message, traceback}
py::dict error_record(py::object type, py::object message, py::object traceback);
// The record of a caught exception: class name, str() and traceback text.
py::dict error_record_of(const py::handle &exception);
// Raises the builtin exception `name` (e.g. "ImportError") with `text` from a frame
// named `where` in "<kernel>", so that its formatted traceback reads as Python's would:
// "Traceback (most recent call last):", the frame, then the exception line.
[[noreturn]] void throw_python(const char *where, const char *name, const std::string &text);

// asyncio.run_coroutine_threadsafe(self.send_message(message), loop); the future.
py::object schedule_send(const py::object &self, const py::object &loop, const py::object &message);
// The same for the synchronous, any-thread methods: a loop that is missing or closed
// drops the message with a debug line instead of failing the user's call.
void schedule_send_quietly(const py::object &self, const py::object &message);

// The per-request stdout_callback / stderr_callback: each write becomes a `stream`
// message scheduled on `loop` without waiting; failures only log at debug level.
py::object stream_callback(const char *stream, py::object loop, py::object self, py::object request_id,
                           py::object workbook_id, py::object source);

// A module name that `import NAME` would accept: dotted Python identifiers, no keywords.
bool is_dotted_identifier(const py::handle &name);
// Imports a workbook module by name and returns sys.modules[name], or None when the name
// is not a dotted identifier or the module is not in sys.modules afterwards. The name is
// never executed as code; import errors propagate.
py::object load_module(const py::object &name);

// getattr(module, name), or None when `name` is not a string attribute of the module.
py::object function_of(const py::object &module, const py::object &name);

// Two StreamCapture objects put in place of sys.stdout and sys.stderr, as
//   with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
// does (the streams current on entry come back on leaving, inner first); leaving
// happens at leave() or at the end of the scope.
class CapturedOutput {
public:
    CapturedOutput(py::object on_stdout, py::object on_stderr);
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput &) = delete;
    CapturedOutput &operator=(const CapturedOutput &) = delete;

    void leave();
    // stdout text + stderr text
    py::object logs() const;
    // The exception's traceback, printed into this call's stderr capture (and so streamed).
    void print_exception(const py::handle &exception) const;

private:
    py::object out_;
    py::object err_;
    py::object saved_out_;
    py::object saved_err_;
    int entered_ = 0;
};

}  // namespace tarnlet::kernel::invocation
