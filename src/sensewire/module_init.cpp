// tarnlet_master.python_server.sensewire: the language bridge over jedi and pyflakes.
#include <string_view>

#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

// True when `name` can be imported, decided without importing it (a dotted name
// imports its parent package, which for pyflakes is a version string).
bool importable(const char *name) {
    try {
        return !py::module_::import("importlib.util").attr("find_spec")(name).is_none();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_ValueError)) {
            throw;
        }
        return false;
    }
}

// The module-level names bound on first use: importing jedi is a good part of a kernel's
// start, and nothing needs it before the first analysis. Each is (name, module to
// import, attribute of that module or null, availability flag or null).
struct LazyName {
    const char *name;
    const char *module;
    const char *attribute;
    const char *flag;
};
constexpr LazyName LAZY_NAMES[] = {
    {"jedi", "jedi", nullptr, nullptr},
    {"pyflakes_api", "pyflakes.api", nullptr, "PYFLAKES_AVAILABLE"},
    {"pyflakes_reporter", "pyflakes.reporter", nullptr, "PYFLAKES_AVAILABLE"},
    {"uris", "pylsp.uris", nullptr, "PYLSP_AVAILABLE"},
    {"Config", "pylsp.config.config", "Config", "PYLSP_AVAILABLE"},
    {"Workspace", "pylsp.workspace", "Workspace", "PYLSP_AVAILABLE"},
    {"Document", "pylsp.workspace", "Document", "PYLSP_AVAILABLE"},
};

const LazyName *lazy_name(std::string_view name) {
    for (const LazyName &lazy : LAZY_NAMES) {
        if (name == lazy.name) {
            return &lazy;
        }
    }
    return nullptr;
}

// The value of a lazy name: its import, or None where the flag says it is missing. An
// import that fails although the module was found turns the flag off, as the import
// guard at module load would have.
py::object resolve(const LazyName &lazy) {
    if (lazy.flag != nullptr && !truthy(module_global(lazy.flag))) {
        return py::none();
    }
    try {
        py::object value = py::module_::import(lazy.module);
        return lazy.attribute == nullptr ? value : value.attr(lazy.attribute);
    } catch (py::error_already_set &e) {
        if (lazy.flag == nullptr || !e.matches(PyExc_ImportError)) {
            throw;
        }
    }
    set_module_global(lazy.flag, py::bool_(false));
    return py::none();
}

// The module's __getattr__: a lazy name is imported and bound on first access.
py::object module_getattr(const py::str &name) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (text == nullptr) {
        PyErr_Clear();  // a lone surrogate names nothing lazy
    }
    const LazyName *lazy = text == nullptr ? nullptr : lazy_name(std::string_view(text, static_cast<size_t>(size)));
    if (lazy == nullptr) {
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", this_module().attr("__name__").ptr(),
                     name.ptr());
        throw py::error_already_set();
    }
    return lazy_global(lazy->name);
}

void register_imports(py::module_ &m) {
    // The standard modules the bridge uses, as module-level names like a Python
    // module's imports, so a test or a user can replace them.
    for (const char *name : {"ast", "io", "os", "re", "sys", "tempfile", "threading", "time"}) {
        m.attr(name) = py::module_::import(name);
    }
    py::module_::import("importlib.util");
    m.attr("importlib") = py::module_::import("importlib");

    // jedi is required: without it the module does not import, as with an import at its top.
    if (!importable("jedi")) {
        py::module_::import("jedi");
    }
    m.attr("PYFLAKES_AVAILABLE") = py::bool_(importable("pyflakes.api") && importable("pyflakes.reporter"));
    // pylsp is only reported, never called; its package is not imported to find out.
    m.attr("PYLSP_AVAILABLE") = py::bool_(importable("pylsp"));
    m.attr("__getattr__") = py::cpp_function(&module_getattr, py::name("__getattr__"), py::arg("name"));

    py::module_ logging_config = py::module_::import("tarnlet_master.logging_config");
    m.attr("get_logger") = logging_config.attr("get_logger");
    m.attr("setup_logging_subprocess") = logging_config.attr("setup_logging_subprocess");
    m.attr("logger") = m.attr("get_logger")(m.attr("__name__"));
}

}  // namespace

py::object lazy_global(const char *name) {
    PyObject *dict = PyModule_GetDict(this_module().ptr());
    PyObject *value = PyDict_GetItemString(dict, name);  // borrowed
    if (value != nullptr) {
        return py::reinterpret_borrow<py::object>(value);
    }
    const LazyName *lazy = lazy_name(name);
    if (lazy == nullptr) {
        return module_global(name);  // its NameError
    }
    py::object resolved = resolve(*lazy);
    // Another thread may have bound it meanwhile (or a user replaced it): that one stays.
    PyObject *raced = PyDict_GetItemString(dict, name);
    if (raced != nullptr) {
        return py::reinterpret_borrow<py::object>(raced);
    }
    set_module_global(name, resolved);
    return resolved;
}

namespace {

void register_constants(py::module_ &m) {
    py::dict kinds;
    kinds["function"] = 1;
    kinds["class"] = 5;
    kinds["module"] = 7;
    kinds["property"] = 8;
    kinds["instance"] = 4;
    kinds["param"] = 4;
    kinds["statement"] = 4;
    kinds["keyword"] = 13;
    kinds["path"] = 17;
    m.attr("JEDI_TO_MONACO_KIND") = kinds;

    py::object compile = m.attr("re").attr("compile");
    // A line that, up to the cursor, ends inside the alias of an import.
    m.attr("IMPORT_ALIAS_PATTERN") =
        compile(R"(^\s*(import\s+[\w.]+\s+as(\s+\w*)?|from\s+[\w.]+\s+import\s+[\w.]+\s+as(\s+\w*)?)$)");
    m.attr("_JEDI_LOCK") = py::module_::import("threading").attr("RLock")();
    m.attr("MONACO_MARKER_SEVERITY_ERROR") = 8;
    m.attr("MONACO_MARKER_SEVERITY_WARNING") = 4;
    // file:line[:column]: message, as pyflakes' reporter writes it.
    m.attr("PYFLAKES_MESSAGE_PATTERN") = compile(R"(^(.+?):(\d+)(?::(\d+))?:\s*(.+)$)");
}

void register_sensewire_class(py::module_ &m) {
    ClassBuilder cls("Sensewire", m);
    add_workspace_methods(cls);
    add_warmup_methods(cls);
    add_completion_methods(cls);
    add_hover_methods(cls);
    add_diagnostic_methods(cls);
    m.attr("Sensewire") = cls.build();
}

}  // namespace
}  // namespace tarnlet::sensewire

PYBIND11_MODULE(sensewire, m) {
    using namespace tarnlet::sensewire;
    tarnlet::set_this_module(m);
    register_imports(m);
    register_constants(m);
    register_warmup_exit_hook(m);
    register_sensewire_class(m);
}
