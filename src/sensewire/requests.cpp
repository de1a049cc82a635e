// Argument checks on entry, the request preparation shared by completion, hover and
// signature help, and the lock that keeps jedi to one thread at a time.
#include <cmath>
#include <string>

#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

[[noreturn]] void raise_type_error(const char *method, const char *name, const char *expected,
                                   const py::handle &value) {
    const std::string text = std::string(method) + "() argument '" + name + "' must be " + expected + ", not " +
                             Py_TYPE(value.ptr())->tp_name;
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw py::error_already_set();
}

[[noreturn]] void raise_value_error(const char *text) {
    PyErr_SetString(PyExc_ValueError, text);
    throw py::error_already_set();
}

}  // namespace

void require_str(const char *method, const char *name, const py::handle &value) {
    if (!PyUnicode_CheckExact(value.ptr())) {
        raise_type_error(method, name, "str", value);
    }
}

void require_str_or_none(const char *method, const char *name, const py::handle &value) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) {
        raise_type_error(method, name, "str or None", value);
    }
}

void require_dict(const char *method, const char *name, const py::handle &value) {
    if (!PyDict_CheckExact(value.ptr())) {
        raise_type_error(method, name, "dict", value);
    }
}

void require_dict_or_none(const char *method, const char *name, const py::handle &value) {
    if (!value.is_none() && !PyDict_CheckExact(value.ptr())) {
        raise_type_error(method, name, "dict or None", value);
    }
}

void require_list(const char *method, const char *name, const py::handle &value) {
    if (!PyList_CheckExact(value.ptr())) {
        raise_type_error(method, name, "list", value);
    }
}

py::int_ position_argument(const char *method, const char *name, const py::handle &value) {
    // Exact types only: True is not a line number.
    if (PyLong_CheckExact(value.ptr())) {
        return py::reinterpret_borrow<py::int_>(value);
    }
    if (PyFloat_CheckExact(value.ptr())) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(value.ptr()))) {
            raise_type_error(method, name, "a finite number", value);
        }
        return py::int_(py::reinterpret_borrow<py::object>(value));  // int() truncates toward zero
    }
    raise_type_error(method, name, "int or float", value);
}

long long clamped(const py::int_ &value) {
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow > 0) {
        return LLONG_MAX;
    }
    if (overflow < 0) {
        return LLONG_MIN;
    }
    return result;
}

Request checked_request(const char *method, const py::object &code, const py::object &line, const py::object &column,
                        const py::object &path, const py::object &modules, const py::object &dirty_files) {
    require_str(method, "code", code);
    Request request{
        code,       position_argument(method, "line", line), position_argument(method, "column", column), path, modules,
        dirty_files};
    require_str_or_none(method, "path", path);
    require_dict_or_none(method, "modules", modules);
    require_dict_or_none(method, "dirty_files", dirty_files);
    return request;
}

void check_position(const Request &request) {
    if (clamped(request.line) < 1) {
        raise_value_error("line must be a positive integer (1-based)");
    }
    if (clamped(request.column) < 0) {
        raise_value_error("column must be a non-negative integer (0-based)");
    }
}

void sync_for_request(const py::object &self, const Request &request) {
    if (truthy(request.modules) || truthy(request.dirty_files)) {
        py::object modules = truthy(request.modules) ? request.modules : py::dict();
        self.attr("sync_modules")(modules, request.dirty_files);
    }
}

py::object make_script(const py::object &self, const Request &request) {
    py::object script_path;
    if (truthy(request.path) && truthy(self.attr("_is_module_name")(request.path))) {
        py::object directory = self.attr("_temp_dir").attr("name");
        script_path = global("os").attr("path").attr("join")(directory, py::str(request.path) + py::str(".py"));
    } else if (truthy(request.path)) {
        script_path = request.path;
    } else {
        script_path = py::str("<editor>");
    }
    return lazy_global("jedi").attr("Script")(py::arg("code") = request.code, py::arg("path") = script_path,
                                              py::arg("project") = self.attr("_jedi_project"));
}

namespace {

void kill_subprocess_of(const py::handle &environment) {
    py::object subprocess = py::getattr(environment, "_subprocess", py::none());
    if (!subprocess.is_none() && py::hasattr(subprocess, "_kill")) {
        subprocess.attr("_kill")();
    }
}

}  // namespace

void reset_jedi_subprocess(const py::object &self) {
    try {
        // The project's environment, and jedi's cached default that new projects take.
        kill_subprocess_of(py::getattr(py::getattr(self, "_jedi_project", py::none()), "_environment", py::none()));
        kill_subprocess_of(py::module_::import("jedi.api.environment").attr("get_cached_default_environment")());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        logf("debug", "[LSP] Could not reset jedi's subprocess: %s", exception_text(e));
    }
}

JediLock::JediLock(const py::object &self) : lock_(self.attr("_jedi_lock")) { lock_.attr("acquire")(); }

JediLock::~JediLock() {
    try {
        lock_.attr("release")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("Sensewire jedi lock");
    }
}

}  // namespace tarnlet::sensewire
