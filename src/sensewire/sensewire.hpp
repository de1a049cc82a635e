// Shared declarations of the sensewire module.
//
// Sensewire is one Python class whose methods come from one file per concern; each
// file defines its add_*_methods function and module_init.cpp builds the class.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <utility>

#include "../common/helpers.hpp"
#include "../common/pyclass.hpp"

namespace tarnlet::sensewire {
namespace py = pybind11;

// Sensewire's methods, by concern (file in brackets).
void add_workspace_methods(ClassBuilder &cls);  // construction, preload, sync, paths, hover mode [workspace.cpp]
void add_completion_methods(
    ClassBuilder &cls);                     // get_completions, _get_word_prefix, _format_signature [completions.cpp]
void add_hover_methods(ClassBuilder &cls);  // get_hover, get_signature_help and helpers [hover.cpp]
void add_diagnostic_methods(ClassBuilder &cls);  // get_diagnostics and its three checks [diagnostics.cpp]
void add_warmup_methods(ClassBuilder &cls);      // preload_tarnlet_module and its thread [warmup.cpp]

// The warm-up thread: registered for the exit hook at module import, and stopped by
// `cleanup` [warmup.cpp].
void register_warmup_exit_hook(py::module_ &m);
void stop_warmup(const py::object &self);

// A module-level name of this module (late bound: Python code may replace it).
inline py::object global(const char *name) { return module_global(name); }
// The same for the names bound on first use (jedi, the pyflakes and pylsp modules):
// imported and bound now if nothing is bound yet [module_init.cpp].
py::object lazy_global(const char *name);

// Entry checks: exact built-in types, raising TypeError before a method's body runs.
void require_str(const char *method, const char *name, const py::handle &value);
void require_str_or_none(const char *method, const char *name, const py::handle &value);
void require_dict(const char *method, const char *name, const py::handle &value);
void require_dict_or_none(const char *method, const char *name, const py::handle &value);
void require_list(const char *method, const char *name, const py::handle &value);
// An exact int, or an exact finite float truncated toward zero.
py::int_ position_argument(const char *method, const char *name, const py::handle &value);
// The value clamped into long long, for indexing on the C++ side.
long long clamped(const py::int_ &value);

// The checked arguments of a request method.
struct Request {
    py::object code;  // str
    py::int_ line;    // 1-based
    py::int_ column;  // 0-based
    py::object path;  // str or None
    py::object modules;
    py::object dirty_files;
};
Request checked_request(const char *method, const py::object &code, const py::object &line, const py::object &column,
                        const py::object &path, const py::object &modules, const py::object &dirty_files);

// Request preparation. Step 1: the position (ValueError with the editor-facing texts).
void check_position(const Request &request);
// Step 2: sync what the request carries into the workspace.
void sync_for_request(const py::object &self, const Request &request);
// Steps 3 and 4: the jedi.Script for the request text. Call it with the jedi lock held.
py::object make_script(const py::object &self, const Request &request);

// An analysis that was interrupted midway (a BaseException that is no Exception:
// a stop or time-out delivered to its thread) may leave jedi's compiled-module
// subprocess with an unread answer in its pipe; the next analysis would read that
// answer as its own. Ending the subprocess makes jedi start a fresh one.
void reset_jedi_subprocess(const py::object &self);

// Holds the bridge's jedi lock (self._jedi_lock, a threading.RLock). jedi does not
// support two threads analysing at once, and the warm-up runs on a thread of its own.
// Python's lock releases the GIL while it waits, so the warm-up can finish meanwhile.
class JediLock {
public:
    explicit JediLock(const py::object &self);
    ~JediLock();
    JediLock(const JediLock &) = delete;
    JediLock &operator=(const JediLock &) = delete;

private:
    py::object lock_;
};

// Runs `body` with the jedi lock held; see reset_jedi_subprocess.
template <typename Body>
auto with_jedi(const py::object &self, Body &&body) -> decltype(body()) {
    const JediLock hold(self);
    try {
        return body();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            reset_jedi_subprocess(self);
        }
        throw;
    }
}

// str(exc) of a caught exception, keeping every character (lone surrogates and NUL
// included) so an error result shows the text exactly as Python would.
inline py::str exception_text(const py::error_already_set &e) {
    PyObject *text = PyObject_Str(e.value().ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return py::str(std::string("<unprintable ") + Py_TYPE(e.value().ptr())->tp_name + " object>");
    }
    return py::reinterpret_steal<py::str>(text);
}

// Python's truth test.
inline bool truthy(const py::handle &obj) {
    const int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

// Runs `body`; an Exception (or a C++ exception) becomes on_error(text), as an
// `except Exception as e` would. KeyboardInterrupt and SystemExit pass through.
template <typename Body, typename OnError>
auto catch_all(Body &&body, OnError &&on_error) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        return on_error(exception_text(e));
    } catch (const std::exception &e) {
        return on_error(py::str(e.what()));
    }
}

// Runs `body` and drops any Exception: for optional pieces of an answer.
template <typename Body>
void ignore_errors(Body &&body) {
    catch_all(std::forward<Body>(body), [](const py::str &) {});
}

// Runs `body` and drops AttributeError and TypeError only.
template <typename Body>
void ignore_attribute_and_type_errors(Body &&body) {
    try {
        body();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
    }
}

// Markdown pieces of the hover.
inline constexpr const char *FENCE_OPEN = "```python\n";
inline constexpr const char *FENCE_CLOSE = "\n```";

}  // namespace tarnlet::sensewire
