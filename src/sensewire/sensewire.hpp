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

// A module-level name of this module (late bound: Python code may replace it).
inline py::object global(const char *name) { return module_global(name); }

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

// `_format_signature` as bound on the instance (late bound, so a patch is honoured).
inline std::string format_signature(const py::object &self, const py::handle &signature) {
    return py::str(self.attr("_format_signature")(signature)).cast<std::string>();
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
        return on_error(py::str(text_of(e.value())));
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
