// tarnlet_master.python_server.kernel: the per-workbook kernel process.
//
// Start-up order matters: the encoder and the companions first, then logging, the
// user-facing `tarnlet` module, the constants and the in-memory loader, then the classes.
#include <string>

#include "kernel.hpp"

namespace tarnlet::kernel {
namespace {

void import_standard_modules(py::module_ &m) {
    // `import concurrent.futures` binds `concurrent`, `import importlib.abc` binds `importlib`.
    for (const char *dotted : {"concurrent.futures", "importlib.abc", "importlib.machinery", "importlib.util"}) {
        py::module_::import(dotted);
    }
    for (const char *name :
         {"asyncio", "concurrent", "functools", "importlib", "linecache", "inspect", "json", "logging", "sys", "io",
          "threading", "time", "traceback", "uuid", "contextlib", "typing", "websockets"}) {
        m.attr(name) = py::module_::import(name);
    }
}

// from .<module> import <names>, falling back to the plain module name on ImportError.
void import_sibling(py::module_ &m, const std::string &package, const char *module,
                    std::initializer_list<const char *> names) {
    py::object sibling = import_relative_or_plain(package.c_str(), module);
    for (const char *name : names) {
        m.attr(name) = sibling.attr(name);
    }
}

void import_companions(py::module_ &m, const std::string &package) {
    import_sibling(m, package, "sensewire", {"Sensewire"});
    import_sibling(m, package, "agent", {"Agent"});
    import_sibling(m, package, "debugger", {"TarnletDebugger"});
    import_sibling(
        m, package, "win32_event_manager",
        {"get_win32_events_dictionary", "get_win32_workbook_tree", "Win32ComWatcher", "Win32ComEventRegistrar"});

    py::module_ logging_config = py::module_::import("tarnlet_master.logging_config");
    m.attr("setup_logging_subprocess") = logging_config.attr("setup_logging_subprocess");
    m.attr("get_logger") = logging_config.attr("get_logger");
    m.attr("setup_logging_subprocess")();
    m.attr("logger") = m.attr("get_logger")(m.attr("__name__"));
    m.attr("DEBUG_MESSAGE_SEND_TIMEOUT") = py::float_(5.0);
}

// User code says `import tarnlet`: the package's copy is registered under that name.
void import_tarnlet(py::module_ &m, const std::string &package) {
    py::object importlib = py::module_::import("importlib");
    try {
        py::object tarnlet = importlib.attr("import_module")(".tarnlet", package);
        m.attr("tarnlet") = tarnlet;
        py::module_::import("sys").attr("modules")["tarnlet"] = tarnlet;
        return;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
    }
    m.attr("tarnlet") = importlib.attr("import_module")("tarnlet");
}

void install_in_memory_loader(py::module_ &m) {
    if (!py::hasattr(m, "in_memory_loader")) {
        m.attr("in_memory_loader") = m.attr("InMemoryModuleLoader")();
    }
    py::object loader = m.attr("in_memory_loader");
    py::list meta_path = py::module_::import("sys").attr("meta_path");
    if (!meta_path.contains(loader)) {
        meta_path.insert(0, loader);
    }
}

}  // namespace
}  // namespace tarnlet::kernel

PYBIND11_MODULE(kernel, m) {
    using namespace tarnlet::kernel;
    tarnlet::set_this_module(m);
    const std::string name = m.attr("__name__").cast<std::string>();
    const std::string package = name.substr(0, name.rfind('.'));

    import_standard_modules(m);
    register_outgoing(m);
    import_companions(m, package);
    import_tarnlet(m, package);

    m.attr("MAX_MESSAGE_SIZE") = 1048576;
    m.attr("CHUNK_SIZE") = 65536;
    m.attr("CHUNK_HEADER_TYPE") = "chunk";
    // The `compression` of the kernel's websockets.connect: None offers no
    // permessage-deflate; "deflate" offers it.
    m.attr("WEBSOCKET_COMPRESSION") = py::none();
    register_loader(m);
    install_in_memory_loader(m);

    register_batcher(m);
    register_path_environment(m);
    register_streams(m);
    register_executor(m);
    register_kernel_class(m);
}
