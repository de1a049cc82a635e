#include "module.hpp"

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

void log(const char *level, std::string_view text) {
    try {
        module_global("logger").attr(level)(py::str(text.data(), text.size()));
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("tarnlet logging");
    }
}

std::string str_of(const py::handle &obj) {
    try {
        // backslashreplace: a lone surrogate must not make the text unprintable.
        py::object encoded = py::reinterpret_steal<py::object>(
            PyUnicode_AsEncodedString(py::str(obj).ptr(), "utf-8", "backslashreplace"));
        if (!encoded) {
            throw py::error_already_set();
        }
        return encoded.cast<std::string>();
    } catch (py::error_already_set &) {
        return "<unprintable " + std::string(Py_TYPE(obj.ptr())->tp_name) + " object>";
    }
}

std::string error_text(const py::error_already_set &error) { return str_of(error.value()); }

std::string error_type_name(const py::error_already_set &error) {
    return py::str(error.type().attr("__name__")).cast<std::string>();
}

}  // namespace tarnlet
