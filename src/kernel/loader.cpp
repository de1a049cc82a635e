// InMemoryModuleLoader: makes the workbook's modules, which exist only as source text
// sent by the IDE, importable with a plain `import name`.
#include "kernel.hpp"
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

std::string virtual_filename(const std::string &module_name) { return "<virtual:" + module_name + ">"; }

py::object sys_modules() { return py::module_::import("sys").attr("modules"); }

// The lines of `source` as linecache keeps them: every line ends with "\n", so the
// last one gets one even when the source has no final newline.
py::list cache_lines(const py::str &source) {
    py::list lines;
    for (py::handle line : source.attr("splitlines")()) {
        lines.append(py::reinterpret_borrow<py::str>(line) + py::str("\n"));
    }
    return lines;
}

// Skips the leading traceback entries whose frames run the kernel module's own code,
// so the importer sees the workbook module's frames first.
py::object strip_own_frames(py::object tb) {
    const py::object own_name = this_module().attr("__name__");
    while (!tb.is_none()) {
        const py::object name = tb.attr("tb_frame").attr("f_globals").attr("get")("__name__");
        if (!name.equal(own_name)) {
            break;
        }
        tb = tb.attr("tb_next");
    }
    return tb;
}

py::object find_spec(py::object self, py::object fullname, py::object /*path*/, py::object /*target*/) {
    require_str(fullname, "fullname");
    if (!self.attr("source_cache").contains(fullname)) {
        return py::none();
    }
    return py::module_::import("importlib.machinery").attr("ModuleSpec")(fullname, self);
}

void exec_module(py::object self, py::object module) {
    const py::object name = module.attr("__name__");
    const std::string name_text = text_of(name);
    const py::object cache = self.attr("source_cache");
    if (!cache.contains(name)) {
        throw py::import_error("No source code found for module '" + name_text + "'");
    }
    const py::str source = cache[name];
    const py::str filename(virtual_filename(name_text));

    // Registered before compiling, so even a syntax error can show its line.
    py::module_::import("linecache").attr("cache")[filename] =
        py::make_tuple(py::len(source), py::none(), cache_lines(source), filename);

    try {
        const py::object builtins = py::module_::import("builtins");
        const py::object code = builtins.attr("compile")(source, filename, "exec");
        builtins.attr("exec")(code, module.attr("__dict__"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        const py::object exc = exception_of(e);
        log_error("[InMemoryModuleLoader] Error executing module '" + name_text + "': " + text_of(exc));
        exc.attr("with_traceback")(strip_own_frames(exc.attr("__traceback__")));
        // Raising the instance again takes the traceback it now carries.
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
    }
}

void update_module(py::object self, py::object module_name, py::object code) {
    require_str(module_name, "module_name");
    require_str(code, "code");
    self.attr("source_cache")[module_name] = code;
    const py::object modules = sys_modules();
    if (modules.contains(module_name)) {
        modules.attr("__delitem__")(module_name);
        log_debug("[InMemoryModuleLoader] Removed '" + text_of(module_name) + "' from sys.modules to force reload");
    }
}

void delete_module(py::object self, py::object module_name) {
    require_str(module_name, "module_name");
    const std::string name_text = text_of(module_name);
    const py::object cache = self.attr("source_cache");
    if (cache.contains(module_name)) {
        cache.attr("__delitem__")(module_name);
        log_debug("[InMemoryModuleLoader] Removed '" + name_text + "' from source_cache");
    }
    const py::object modules = sys_modules();
    if (modules.contains(module_name)) {
        modules.attr("__delitem__")(module_name);
        log_debug("[InMemoryModuleLoader] Removed '" + name_text + "' from sys.modules");
    }
    const py::object lines = py::module_::import("linecache").attr("cache");
    const py::str filename(virtual_filename(name_text));
    if (lines.contains(filename)) {
        lines.attr("__delitem__")(filename);
        log_debug("[InMemoryModuleLoader] Removed '" + std::string(filename) + "' from linecache");
    }
}

}  // namespace

void register_loader(py::module_ &m) {
    const py::object abc = py::module_::import("importlib.abc");
    ClassBuilder cls("InMemoryModuleLoader", m, {abc.attr("MetaPathFinder"), abc.attr("Loader")});
    cls.attr("__doc__", py::str("Meta path finder and loader for the workbook's modules held as source text."));
    cls.def_init([](py::object self) { self.attr("source_cache") = py::dict(); });
    cls.def("find_spec", &find_spec, py::arg("fullname"), py::arg("path"), py::arg("target") = py::none());
    cls.def("create_module", [](py::object, py::object) { return py::none(); }, py::arg("spec"));
    cls.def("exec_module", &exec_module, py::arg("module"));
    cls.def("update_module", &update_module, py::arg("module_name"), py::arg("code"));
    cls.def("delete_module", &delete_module, py::arg("module_name"));
    const py::object loader_class = cls.build();
    m.attr("InMemoryModuleLoader") = loader_class;
    // The process's single instance; the module start-up puts it on sys.meta_path.
    m.attr("in_memory_loader") = loader_class();
}

}  // namespace tarnlet::kernel
