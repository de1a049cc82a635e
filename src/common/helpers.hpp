// What the three extension modules share: late binding to the module's own namespace,
// the text of objects and caught exceptions, raising Python errors, and logging through
// the module's `logger` global (Python code may replace either at run time).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarnlet {
namespace py = pybind11;

// Set once from the module's init function; every helper below reads this module.
void set_this_module(py::handle module);
py::handle this_module();

// `name` (nearly always a literal) as an interned str, made once: an attribute or key
// looked up by a C string is otherwise decoded, hashed and freed again on every call.
// Needs the GIL.
py::object interned(const char *name);

// The module-level name as it is now (NameError when it is missing).
py::object module_global(const char *name);
void set_module_global(const char *name, py::object value);

// Imports `name`, first relative to `package` and on ImportError by its plain name.
py::object import_relative_or_plain(const char *package, const char *name);

// str(obj) as UTF-8; a lone surrogate is written as a backslash escape, and an object
// whose str() fails reads "<unprintable T object>".
std::string text_of(const py::handle &obj);
// type(obj).__name__, as Python names a type in its error texts.
std::string type_name(const py::handle &obj);

// True for an Exception, what handlers catch; BaseExceptions such as CancelledError,
// SystemExit and KeyboardInterrupt pass through.
bool is_ordinary(const py::error_already_set &error);
// The caught exception instance with its traceback attached (before 3.12 the traceback
// travels beside the exception and __traceback__ can still be empty when C++ catches it).
py::object exception_of(const py::error_already_set &error);
// str(exc) of a caught exception, as text_of gives it.
std::string error_text(const py::error_already_set &error);

// Raises `exception` (an instance, its traceback kept) as the current error again.
[[noreturn]] void reraise(const py::handle &exception);
// Raises `type` (a builtin exception class such as PyExc_ValueError) with `text`.
[[noreturn]] void raise_error(PyObject *type, const std::string &text);
// The same from a frame named `where` in "<kernel>", so that the formatted traceback
// reads as Python's would: "Traceback (most recent call last):", the frame, the error.
[[noreturn]] void raise_error_in(const char *where, PyObject *type, const std::string &text);

// Logging levels as the logging module numbers them.
enum class Level { debug = 10, info = 20, warning = 30, error = 40 };

// logger.isEnabledFor(level); false when the logger itself fails (reported as unraisable).
bool log_enabled(Level level);

namespace detail {
const char *level_method(Level level);
void report_logging_failure(py::error_already_set &error);
// True when `logger` is a logging.Logger whose method for `level` (and the record path
// behind it) is the standard library's own, neither overridden nor patched.
bool is_standard_logger(const py::handle &logger, Level level);
bool enabled_for(const py::handle &logger, Level level);
// logger.handle(logger.makeRecord(...)), as Logger._log does without a source file.
void emit(const py::handle &logger, Level level, py::str fmt, py::tuple args);
template <typename T>
struct is_accessor : std::false_type {};
template <typename Policy>
struct is_accessor<py::detail::accessor<Policy>> : std::true_type {};

// str(value) as a Python string that any handler can write: the string itself when it
// encodes as UTF-8, else the text_of form (a lone surrogate escaped).
py::object log_text(const py::handle &value);
inline py::object log_object(const py::handle &value) {
    // Numbers go as they are, for "%d"; anything else as its text.
    if (PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr())) {
        return py::reinterpret_borrow<py::object>(value);
    }
    return log_text(value);
}
template <typename T>
py::object log_argument(const T &value) {
    if constexpr (std::is_base_of_v<py::handle, T>) {
        return log_object(value);
    } else if constexpr (is_accessor<T>::value) {
        return log_object(py::object(value));
    } else if constexpr (std::is_convertible_v<const T &, std::string_view>) {
        const std::string_view text(value);
        return py::str(text.data(), text.size());
    } else {
        return py::cast(value);
    }
}
}  // namespace detail

// logger.<level>(fmt, *args): the logger formats only when the level is on. Objects are
// handed over as their text_of, so a lone surrogate cannot break a handler. Never throws,
// so a broken logger cannot break a request.
template <typename... Args>
void logf(Level level, std::string_view fmt, const Args &...args) {
    try {
        const py::object logger = module_global("logger");
        if (detail::is_standard_logger(logger, level)) {
            // What Logger.<level> does, less the caller lookup, which from C++ finds only
            // the event loop's frame; the arguments are made only for a line that is on.
            if (detail::enabled_for(logger, level)) {
                detail::emit(logger, level, py::str(fmt.data(), fmt.size()),
                             py::make_tuple(detail::log_argument(args)...));
            }
            return;
        }
        logger.attr(detail::level_method(level))(py::str(fmt.data(), fmt.size()), detail::log_argument(args)...);
    } catch (py::error_already_set &e) {
        detail::report_logging_failure(e);
    }
}

// The same with the level's method name ("debug", "info", "warning", "error").
template <typename... Args>
void logf(const char *level, std::string_view fmt, const Args &...args) {
    try {
        module_global("logger").attr(level)(py::str(fmt.data(), fmt.size()), detail::log_argument(args)...);
    } catch (py::error_already_set &e) {
        detail::report_logging_failure(e);
    }
}

// A line of text as it stands: with no arguments the logger does not format, so a "%"
// in it is kept.
inline void log(Level level, std::string_view text) { logf(level, text); }
inline void log(const char *level, std::string_view text) { logf(level, text); }
inline void log_debug(std::string_view text) { log(Level::debug, text); }
inline void log_info(std::string_view text) { log(Level::info, text); }
inline void log_warning(std::string_view text) { log(Level::warning, text); }
inline void log_error(std::string_view text) { log(Level::error, text); }

// Holds a threading lock for one scope, as `with lock:` would.
class ThreadLockGuard {
public:
    explicit ThreadLockGuard(py::object lock);
    ~ThreadLockGuard();
    ThreadLockGuard(const ThreadLockGuard &) = delete;
    ThreadLockGuard &operator=(const ThreadLockGuard &) = delete;

private:
    py::object lock_;
};

}  // namespace tarnlet
