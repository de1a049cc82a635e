// The bridge's set-up and its workspace: one flat temporary directory holding a
// file per workbook module, so that jedi resolves imports between them.
#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

py::object os_path() { return global("os").attr("path"); }

[[noreturn]] void raise_outside_workspace(const py::handle &file_path) {
    // Built as a Python str: the name may hold any character, NUL included.
    py::str text = py::str("module file would lie outside the workspace: ") + py::str(file_path);
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    throw py::error_already_set();
}

// A module's file must lie directly in the workspace: a name such as "../x", "a/b"
// or an absolute path would otherwise write or delete files elsewhere.
void require_inside_workspace(const py::object &directory, const py::object &file_name, const py::object &file_path) {
    py::object path = os_path();
    const bool plain_name = path.attr("basename")(file_name).equal(file_name);
    if (!plain_name || !path.attr("dirname")(path.attr("abspath")(file_path)).equal(path.attr("abspath")(directory))) {
        raise_outside_workspace(file_path);
    }
}

// Writes `text` as UTF-8 into the file, overwriting in place and cutting the rest.
// Opening with truncation would be simpler, but ext4 then flushes the file's blocks
// on close, which costs milliseconds per module on every request.
void write_text(const py::object &file_path, const py::object &text) {
    if (!PyUnicode_Check(text.ptr())) {
        const std::string message = std::string("write() argument must be str, not ") + Py_TYPE(text.ptr())->tp_name;
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw py::error_already_set();
    }
    py::object data = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(text.ptr()));
    if (!data) {
        throw py::error_already_set();
    }
    py::object os = global("os");
    const int flags = py::cast<int>(os.attr("O_WRONLY")) | py::cast<int>(os.attr("O_CREAT")) |
                      py::cast<int>(py::getattr(os, "O_BINARY", py::int_(0)));
    py::object fd = os.attr("open")(file_path, flags, 0666);
    try {
        const Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
        Py_ssize_t written = 0;
        py::object view = py::memoryview(data);
        while (written < size) {
            written += py::cast<Py_ssize_t>(os.attr("write")(fd, view[py::slice(written, size, 1)]));
        }
        os.attr("ftruncate")(fd, size);
    } catch (...) {
        os.attr("close")(fd);
        throw;
    }
    os.attr("close")(fd);
}

// Writes one module's file and keeps its mtime moving forward. jedi keeps a parsed
// module while the file's mtime has not passed the one it parsed, and the clock ticks
// coarsely: a second write within the same tick would leave jedi with the old text.
void sync_file(const py::object &self, const py::object &file_path, const py::object &text) {
    py::dict mtimes = self.attr("_file_mtimes");
    py::object previous = mtimes.attr("get")(file_path);
    write_text(file_path, text);
    py::object os = global("os");
    py::int_ mtime = os.attr("stat")(file_path).attr("st_mtime_ns");
    if (!previous.is_none() && mtime <= py::int_(previous)) {
        mtime = py::int_(py::int_(previous) + py::int_(1000000));
        os.attr("utime")(file_path, py::arg("ns") = py::make_tuple(mtime, mtime));
    }
    mtimes[file_path] = mtime;
}

// Building the jedi project imports jedi, which nothing needs before the first analysis
// and which is a good part of a kernel's start. So `_jedi_project` first holds the
// project's arguments, in its place among the attributes, and its first reader builds
// the project. The class's `_jedi_project` property does that; the value always lives
// in the instance's __dict__, so assigning or deleting it works as for any attribute.
py::object pending_project_type() { return global("_PendingJediProject"); }

py::object pending_project(py::object path, py::list added_sys_path) {
    py::object pending = pending_project_type()();
    pending.attr("path") = std::move(path);
    pending.attr("added_sys_path") = std::move(added_sys_path);
    return pending;
}

[[noreturn]] void raise_no_project(const py::handle &self) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '_jedi_project'", Py_TYPE(self.ptr())->tp_name);
    throw py::error_already_set();
}

py::object get_jedi_project(py::object self) {
    py::dict attrs = self.attr("__dict__");
    PyObject *value = PyDict_GetItemString(attrs.ptr(), "_jedi_project");  // borrowed
    if (value == nullptr) {
        raise_no_project(self);
    }
    const py::object current = py::reinterpret_borrow<py::object>(value);
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject *>(pending_project_type().ptr())) {
        return current;
    }
    py::object project = lazy_global("jedi").attr("Project")(
        py::arg("path") = current.attr("path"), py::arg("added_sys_path") = current.attr("added_sys_path"));
    // The import lets other threads run: one of them may have built or replaced it.
    PyObject *now = PyDict_GetItemString(attrs.ptr(), "_jedi_project");
    if (now != value) {
        if (now == nullptr) {
            raise_no_project(self);
        }
        return py::reinterpret_borrow<py::object>(now);
    }
    attrs["_jedi_project"] = project;
    return project;
}

void set_jedi_project(py::object self, py::object value) {
    py::dict attrs = self.attr("__dict__");
    attrs["_jedi_project"] = std::move(value);
}

void delete_jedi_project(py::object self) {
    py::dict attrs = self.attr("__dict__");
    if (!attrs.contains("_jedi_project")) {
        raise_no_project(self);
    }
    PyDict_DelItemString(attrs.ptr(), "_jedi_project");
}

void init(py::object self) {
    self.attr("_workspace_path") = py::none();
    self.attr("_temp_dir") = global("tempfile").attr("TemporaryDirectory")();
    py::object path = os_path();
    self.attr("_python_server_path") = path.attr("dirname")(path.attr("abspath")(global("__file__")));
    self.attr("_stubs_path") = path.attr("join")(self.attr("_python_server_path"), "stubs");
    py::list extra_paths;
    extra_paths.append(self.attr("_stubs_path"));
    self.attr("_jedi_project") = pending_project(self.attr("_temp_dir").attr("name"), extra_paths);
    self.attr("_hover_mode") = "compact";
    // The warm-up threads and the requests take this lock around every use of jedi.
    // It is the process's one lock, not the bridge's: jedi's state is process-wide, so
    // two bridges (two kernels in one process) must not use it at once either.
    self.attr("_jedi_lock") = global("_JEDI_LOCK");
    // Workspace file path -> st_mtime_ns after the bridge's last write.
    self.attr("_file_mtimes") = py::dict();
    // The warm-up waits for this before it imports jedi (see warmup.cpp).
    self.attr("_warmup_release") = global("_WARMUP_RELEASE");
    logf("info",
         "[LSP] Sensewire initialized (pylsp_available=%s, pyflakes_available=%s, temp_dir=%s, python_server=%s, "
         "stubs=%s)",
         global("PYLSP_AVAILABLE"), global("PYFLAKES_AVAILABLE"), self.attr("_temp_dir").attr("name"),
         self.attr("_python_server_path"), self.attr("_stubs_path"));
    self.attr("preload_tarnlet_module_async")();
}

void sync_modules(py::object self, py::object modules, py::object dirty_files) {
    require_dict("sync_modules", "modules", modules);
    require_dict_or_none("sync_modules", "dirty_files", dirty_files);
    py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(modules.ptr()));
    if (!merged) {
        throw py::error_already_set();
    }
    if (truthy(dirty_files)) {
        merged.attr("update")(dirty_files);
    }
    for (auto [name, text] : merged) {
        py::object directory = self.attr("_temp_dir").attr("name");
        py::str file_name = py::str(name) + py::str(".py");
        py::object file_path = os_path().attr("join")(directory, file_name);
        catch_all(
            [&] {
                require_inside_workspace(directory, file_name, file_path);
                sync_file(self, file_path, py::reinterpret_borrow<py::object>(text));
                logf("debug", "[LSP] Synced module '%s' to %s", name, file_path);
            },
            [&](const py::str &error) { logf("warning", "[LSP] Failed to sync module '%s': %s", name, error); });
    }
}

void delete_module(py::object self, py::object module_name) {
    require_str("delete_module", "module_name", module_name);
    py::object directory = self.attr("_temp_dir").attr("name");
    py::str file_name = py::str(module_name) + py::str(".py");
    py::object file_path = os_path().attr("join")(directory, file_name);
    catch_all(
        [&] {
            require_inside_workspace(directory, file_name, file_path);
            if (truthy(os_path().attr("exists")(file_path))) {
                global("os").attr("remove")(file_path);
                logf("debug", "[LSP] Deleted module file '%s'", module_name);
            }
        },
        [&](const py::str &error) {
            logf("warning", "[LSP] Failed to delete module file '%s': %s", module_name, error);
        });
}

void update_sys_paths(py::object self, py::object new_paths) {
    require_list("update_sys_paths", "new_paths", new_paths);
    try {
        py::list paths;
        paths.append(self.attr("_stubs_path"));
        paths.append(self.attr("_python_server_path"));
        for (py::handle entry : new_paths) {
            if (!paths.contains(entry)) {
                paths.append(entry);
            }
        }
        py::object temp_dir = self.attr("_temp_dir");
        py::object root = py::none();
        if (!temp_dir.is_none()) {
            root = temp_dir.attr("name");
        }
        self.attr("_jedi_project") =
            lazy_global("jedi").attr("Project")(py::arg("path") = root, py::arg("added_sys_path") = paths);
        logf("info", "[LSP] Updated jedi project with %d total paths (%d package paths, stubs path: %s)",
             py::len(paths), py::len(new_paths), self.attr("_stubs_path"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        try {
            global("logger").attr("error")("[LSP] Failed to update sys paths: %s", e.value(),
                                           py::arg("exc_info") = e.value());
        } catch (py::error_already_set &log_failure) {
            log_failure.discard_as_unraisable("sensewire logging");
        }
    } catch (const std::exception &e) {
        logf("error", "[LSP] Failed to update sys paths: %s", e.what());
    }
}

void set_hover_mode(py::object self, py::object mode) {
    require_str("set_hover_mode", "mode", mode);
    // Compared and logged as Python text: a mode may hold lone surrogates or NUL.
    if (mode.equal(py::str("compact")) || mode.equal(py::str("detailed"))) {
        self.attr("_hover_mode") = mode;
        logf("info", "%s", py::str("[LSP] Hover mode set to: ") + py::str(mode));
    } else {
        logf("warning", "%s",
             py::str("[LSP] Invalid hover mode '") + py::str(mode) + py::str("', keeping current: ") +
                 py::str(self.attr("_hover_mode")));
    }
}

void cleanup(py::object self) {
    py::object temp_dir = self.attr("_temp_dir");
    if (temp_dir.is_none()) {
        return;
    }
    // The warm-up works in the workspace; it must not outlive it.
    stop_warmup(self);
    catch_all(
        [&] {
            temp_dir.attr("cleanup")();
            log_info("[LSP] Cleaned up temporary directory");
        },
        [](const py::str &error) { logf("warning", "[LSP] Failed to cleanup temporary directory: %s", error); });
    self.attr("_temp_dir") = py::none();
    self.attr("_file_mtimes") = py::dict();
}

void set_workspace(py::object self, py::object workspace_path) {
    require_str("set_workspace", "workspace_path", workspace_path);
    self.attr("_workspace_path") = workspace_path;
    logf("info", "[LSP] Workspace path recorded: %s (using temp_dir for jedi.Project)", workspace_path);
}

bool is_module_name(py::object, py::object path) {
    if (!truthy(path)) {
        return false;
    }
    require_str("_is_module_name", "path", path);
    // Tested on the Python text, which may hold any character (lone surrogates, NUL).
    for (const py::object &part :
         {py::object(global("os").attr("sep")), py::object(py::str("/")), py::object(py::str("\\"))}) {
        if (truthy(part) && PySequence_Contains(path.ptr(), part.ptr()) == 1) {
            return false;
        }
    }
    if (truthy(path.attr("startswith")(py::make_tuple("<", ".")))) {
        return false;
    }
    return truthy(path.attr("isidentifier")());
}

}  // namespace

void add_workspace_methods(ClassBuilder &cls) {
    cls.def_init(&init);
    cls.def("sync_modules", &sync_modules, py::arg("modules"), py::arg("dirty_files") = py::none());
    cls.def("delete_module", &delete_module, py::arg("module_name"));
    cls.def("update_sys_paths", &update_sys_paths, py::arg("new_paths"));
    cls.def("set_hover_mode", &set_hover_mode, py::arg("mode"));
    cls.def("cleanup", &cleanup);
    cls.def("set_workspace", &set_workspace, py::arg("workspace_path"));
    cls.def("_is_module_name", &is_module_name, py::arg("path"));

    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = this_module().attr("__name__");
    ns["__doc__"] = "The arguments of a jedi.Project not built yet.";
    ns["__slots__"] = py::make_tuple("path", "added_sys_path");
    set_module_global("_PendingJediProject",
                      builtins.attr("type")("_PendingJediProject", py::make_tuple(builtins.attr("object")), ns));
    const auto method = [](auto f, const char *name) {
        return py::cpp_function(f, py::name(name), py::is_method(this_module()));
    };
    cls.attr("_jedi_project", builtins.attr("property")(method(&get_jedi_project, "_jedi_project"),
                                                        method(&set_jedi_project, "_jedi_project"),
                                                        method(&delete_jedi_project, "_jedi_project")));
}

}  // namespace tarnlet::sensewire
