#include "helpers.hpp"

#include <frameobject.h>

namespace tarnlet {
namespace {
// Borrowed: an extension module lives until the interpreter ends, and an owning
// static would be released after the GIL is gone.
PyObject *g_module = nullptr;
}  // namespace

void set_this_module(py::handle module) { g_module = module.ptr(); }

py::handle this_module() { return py::handle(g_module); }

py::object module_global(const char *name) {
    PyObject *dict = PyModule_GetDict(g_module);
    PyObject *value = PyDict_GetItemString(dict, name);  // borrowed
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void set_module_global(const char *name, py::object value) { this_module().attr(name) = std::move(value); }

py::object import_relative_or_plain(const char *package, const char *name) {
    py::object importlib = py::module_::import("importlib");
    try {
        return importlib.attr("import_module")(std::string(".") + name, package);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
    }
    return importlib.attr("import_module")(name);
}

std::string text_of(const py::handle &obj) {
    auto text = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
    if (text) {
        // backslashreplace: a lone surrogate must not make the text unprintable.
        auto bytes =
            py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
        if (bytes) {
            return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        }
    }
    PyErr_Clear();
    return "<unprintable " + std::string(Py_TYPE(obj.ptr())->tp_name) + " object>";
}

std::string type_name(const py::handle &obj) { return text_of(py::type::handle_of(obj).attr("__name__")); }

bool is_ordinary(const py::error_already_set &error) { return error.matches(PyExc_Exception); }

py::object exception_of(const py::error_already_set &error) {
    py::object value = error.value();
    if (error.trace()) {
        PyException_SetTraceback(value.ptr(), error.trace().ptr());
    }
    return value;
}

std::string error_text(const py::error_already_set &error) { return text_of(error.value()); }

void reraise(const py::handle &exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

void raise_error(PyObject *type, const std::string &text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

void raise_error_in(const char *where, PyObject *type, const std::string &text) {
    const auto code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyCode_NewEmpty("<kernel>", where, 1)));
    if (!code) {
        throw py::error_already_set();
    }
    py::dict globals;
    globals["__builtins__"] = py::module_::import("builtins");
    const auto frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()), globals.ptr(), nullptr)));
    if (!frame) {
        throw py::error_already_set();
    }
    PyErr_SetString(type, text.c_str());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.ptr()));
    throw py::error_already_set();
}

bool log_enabled(Level level) {
    try {
        return py::bool_(module_global("logger").attr("isEnabledFor")(static_cast<int>(level)));
    } catch (py::error_already_set &e) {
        detail::report_logging_failure(e);
        return false;
    }
}

namespace detail {

const char *level_method(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warning:
            return "warning";
        case Level::error:
            break;
    }
    return "error";
}

void report_logging_failure(py::error_already_set &error) { error.discard_as_unraisable("tarnlet logging"); }

}  // namespace detail

ThreadLockGuard::ThreadLockGuard(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }

ThreadLockGuard::~ThreadLockGuard() {
    try {
        lock_.attr("release")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("releasing a lock");
    }
}

}  // namespace tarnlet
