// VirtualEnvironment: the directories a workbook added to the module search path, and
// the way back to the search path the kernel started with. sys.path is always changed
// in place, so every holder of a reference to it sees the change.
#include "kernel.hpp"
#include "messages.hpp"
#include "path_checks.hpp"

namespace tarnlet::kernel {
namespace {

py::object sys_path() { return py::module_::import("sys").attr("path"); }

// A new list with the items of `items` (py::list(obj) would share a list, not copy it).
py::object list_copy(const py::object &items) { return py::module_::import("builtins").attr("list")(items); }

void init(py::object self, py::object workbook_id) {
    require_str(workbook_id, "workbook_id");
    self.attr("workbook_id") = workbook_id;
    self.attr("original_path") = list_copy(sys_path());
    self.attr("custom_paths") = py::list();
}

void add_path(py::object self, py::object path) {
    require_str(path, "path");
    if (const char *reason = unusable_path(path)) {
        throw py::value_error(std::string("path must not hold ") + reason);
    }
    const py::object custom = self.attr("custom_paths");
    if (custom.contains(path)) {
        return;
    }
    custom.attr("append")(path);
    const py::object search = sys_path();
    if (!search.contains(path)) {
        search.attr("insert")(0, path);
    }
}

void remove_path(py::object self, py::object path) {
    require_str(path, "path");
    const py::object custom = self.attr("custom_paths");
    if (!custom.contains(path)) {
        return;
    }
    custom.attr("remove")(path);
    const py::object search = sys_path();
    if (search.contains(path)) {
        search.attr("remove")(path);
    }
}

void reset_path(py::object self) {
    const py::object search = sys_path();
    search.attr("clear")();
    search.attr("extend")(self.attr("original_path"));
    self.attr("custom_paths").attr("clear")();
}

}  // namespace

const char *unusable_path(const py::handle &path) {
    PyObject *text = path.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0) {
            return "a NUL character";
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            return "a lone surrogate";
        }
    }
    return nullptr;
}

void register_path_environment(py::module_ &m) {
    ClassBuilder cls("VirtualEnvironment", m);
    cls.attr("__doc__", py::str("The workbook's own entries on sys.path, and the path the kernel started with."));
    cls.def_init(&init, py::arg("workbook_id"));
    cls.def("add_path", &add_path, py::arg("path"));
    cls.def("remove_path", &remove_path, py::arg("path"));
    cls.def("reset_path", &reset_path);
    cls.def("get_paths", [](py::object self) { return list_copy(self.attr("custom_paths")); });
    m.attr("VirtualEnvironment") = cls.build();
}

}  // namespace tarnlet::kernel
