// Small helpers shared by the kernel's connection, dispatch and messaging files.
#pragma once

#include <string>

#include "kernel.hpp"

namespace tarnlet::kernel {

// message.get(key, default), as Python reads a field.
inline py::object field(const py::handle &message, const char *key, py::object fallback) {
    return message.attr("get")(key, std::move(fallback));
}

// str(obj) as UTF-8 for log lines; text that UTF-8 cannot hold (a lone surrogate from the
// peer's JSON) is written with backslash escapes instead of failing the request.
inline std::string text_of(const py::handle &obj) {
    const std::string unprintable = "<unprintable " + std::string(Py_TYPE(obj.ptr())->tp_name) + " object>";
    auto text = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
    if (!text) {
        PyErr_Clear();
        return unprintable;
    }
    auto bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return unprintable;
    }
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// The text of a caught Python exception, str(exc), safe for log lines.
inline std::string error_text_of(const py::error_already_set &error) { return text_of(error.value()); }

// logger.isEnabledFor(DEBUG): hot paths skip building debug lines nobody reads.
inline bool debug_enabled() {
    try {
        return py::bool_(module_global("logger").attr("isEnabledFor")(10));
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("tarnlet logging");
        return false;
    }
}

// Python's type(obj).__name__, for error texts.
inline std::string type_name(const py::handle &obj) { return Py_TYPE(obj.ptr())->tp_name; }

inline bool is_str(const py::handle &obj) { return PyUnicode_Check(obj.ptr()) != 0; }
inline bool is_dict(const py::handle &obj) { return PyDict_Check(obj.ptr()) != 0; }
inline bool is_list(const py::handle &obj) { return PyList_Check(obj.ptr()) != 0; }

// list(obj): always a new list (py::list(a_list) would share the object).
inline py::list new_list(const py::handle &obj) {
    PyObject *copy = PySequence_List(obj.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::list>(copy);
}

// The module-level `tarnlet` (the user-facing module), looked up when used.
inline py::object tarnlet_module() { return module_global("tarnlet"); }

// Holds a threading.Lock for one scope, as `with lock:` would.
class LockGuard {
public:
    explicit LockGuard(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~LockGuard() {
        try {
            lock_.attr("release")();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("releasing a kernel lock");
        }
    }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    py::object lock_;
};

}  // namespace tarnlet::kernel
