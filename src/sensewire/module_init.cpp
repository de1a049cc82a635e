// tarnlet_master.python_server.sensewire: the language bridge over jedi and pyflakes.
#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

// Imports `name`; on ImportError returns an empty object and leaves *available false.
py::object optional_import(const char *name, bool &available) {
    try {
        return py::module_::import(name);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        available = false;
        return py::none();
    }
}

void register_imports(py::module_ &m) {
    m.attr("jedi") = py::module_::import("jedi");
    // The standard modules the bridge uses, as module-level names like a Python
    // module's imports, so a test or a user can replace them.
    for (const char *name : {"ast", "io", "os", "re", "sys", "tempfile", "threading", "time"}) {
        m.attr(name) = py::module_::import(name);
    }
    py::module_::import("importlib.util");
    m.attr("importlib") = py::module_::import("importlib");

    bool pyflakes = true;
    py::object api = optional_import("pyflakes.api", pyflakes);
    py::object reporter = pyflakes ? optional_import("pyflakes.reporter", pyflakes) : py::none();
    m.attr("pyflakes_api") = pyflakes ? api : py::none();
    m.attr("pyflakes_reporter") = pyflakes ? reporter : py::none();
    m.attr("PYFLAKES_AVAILABLE") = py::bool_(pyflakes);

    // pylsp is only reported, never called.
    bool pylsp = true;
    py::object uris = optional_import("pylsp.uris", pylsp);
    py::object config = pylsp ? optional_import("pylsp.config.config", pylsp) : py::none();
    py::object workspace = pylsp ? optional_import("pylsp.workspace", pylsp) : py::none();
    m.attr("uris") = pylsp ? uris : py::none();
    m.attr("Config") = pylsp ? config.attr("Config") : py::none();
    m.attr("Workspace") = pylsp ? workspace.attr("Workspace") : py::none();
    m.attr("Document") = pylsp ? workspace.attr("Document") : py::none();
    m.attr("PYLSP_AVAILABLE") = py::bool_(pylsp);

    py::module_ logging_config = py::module_::import("tarnlet_master.logging_config");
    m.attr("get_logger") = logging_config.attr("get_logger");
    m.attr("setup_logging_subprocess") = logging_config.attr("setup_logging_subprocess");
    m.attr("logger") = m.attr("get_logger")(m.attr("__name__"));
}

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
