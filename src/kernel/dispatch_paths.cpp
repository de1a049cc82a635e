// Path and package switching: sys.path edits and unloading every module imported from
// directories that are going away, so the next import finds the new versions.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch.hpp"
#include "messages.hpp"
#include "path_checks.hpp"

namespace tarnlet::kernel {
namespace {

py::list sys_path() { return module_global("sys").attr("path"); }

Coro send(const py::object &self, py::dict reply) { co_return co_await self.attr("send_message")(reply); }

// module.__file__ when it is a string; anything odd about the module counts as none.
py::object file_of(const py::handle &module) {
    try {
        py::object file = py::getattr(module, "__file__", py::none());
        return is_str(file) ? file : py::none();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        return py::none();
    }
}

py::object top_level(const py::handle &name) { return name.attr("partition")(".")[py::int_(0)]; }

// Libraries the kernel itself runs on: unloading them would leave the kernel holding one
// copy while later imports load another.
constexpr const char *kKernelDependencies[] = {"websockets", "orjson", "jedi", "parso", "pyflakes", "pylsp"};

// The normalised absolute form of a path, for comparing paths rather than texts; None
// when the text is no usable path.
py::object normalised(const py::handle &path) {
    try {
        py::object os_path = py::module_::import("os").attr("path");
        return os_path.attr("normcase")(os_path.attr("abspath")(path));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        return py::none();
    }
}

// Directories given by the peer, matched at a directory boundary: "/a/b" holds
// "/a/b/m.py" and "/a/b/sub/m.py", but not "/a/bc/m.py".
class DirectorySet {
public:
    void add(const py::handle &directory) {
        py::object dir = normalised(directory);
        if (dir.is_none()) {
            return;
        }
        const py::str sep = py::module_::import("os").attr("sep");
        const bool ends_with_sep = py::bool_(dir.attr("endswith")(sep));
        dirs_.push_back(dir);
        prefixes_.push_back(ends_with_sep ? dir : py::object(dir + sep));
    }
    bool holds(const py::handle &file) const {
        if (dirs_.empty()) {
            return false;
        }
        py::object path = normalised(file);
        if (path.is_none()) {
            return false;
        }
        for (size_t i = 0; i < dirs_.size(); ++i) {
            if (path.equal(dirs_[i]) || py::bool_(path.attr("startswith")(prefixes_[i]))) {
                return true;
            }
        }
        return false;
    }

private:
    std::vector<py::object> dirs_;
    std::vector<py::object> prefixes_;
};

// Top-level names that are never unloaded: the kernel's own package and the user-facing
// module it registered, the standard library, and the libraries the kernel runs on.
py::set protected_top_levels() {
    py::object sys = module_global("sys");
    py::set names;
    names.add(top_level(module_global("__name__")));
    names.add(py::str("tarnlet"));
    names.add(py::str("__main__"));
    for (const char *name : kKernelDependencies) {
        names.add(py::str(name));
    }
    for (const char *attr : {"stdlib_module_names", "builtin_module_names"}) {
        if (py::hasattr(sys, attr)) {
            for (py::handle name : sys.attr(attr)) {
                names.add(name);
            }
        }
    }
    return names;
}

// The directory of the kernel's own package: companions loaded from it by their plain
// names are the kernel's too.
DirectorySet kernel_package_directory() {
    DirectorySet dirs;
    py::object package = py::module_::import("sys").attr("modules").attr("get")(top_level(module_global("__name__")));
    py::object file = package.is_none() ? py::none() : file_of(package);
    if (!file.is_none()) {
        dirs.add(py::module_::import("os").attr("path").attr("dirname")(file));
    }
    return dirs;
}

// Unloads every package that has a module file under one of `paths`, submodules before
// their parents; returns the number of names selected.
Py_ssize_t unload_modules_under(const py::list &paths) {
    py::dict modules = module_global("sys").attr("modules");
    DirectorySet old_dirs;
    for (py::handle path : paths) {
        old_dirs.add(path);
    }
    const py::set kept = protected_top_levels();
    const DirectorySet own = kernel_package_directory();
    py::set tops;
    for (py::handle item : new_list(modules.attr("items")())) {
        py::object name = item[py::int_(0)];
        py::object file = file_of(item[py::int_(1)]);
        if (file.is_none() || !is_str(name) || !old_dirs.holds(file)) {
            continue;
        }
        py::object top = top_level(name);
        if (kept.contains(top) || own.holds(file)) {
            continue;
        }
        tops.add(top);
    }
    // Whole packages go, including submodules without a file of their own.
    std::vector<std::pair<Py_ssize_t, py::object>> selected;
    for (py::handle name : new_list(modules.attr("keys")())) {
        if (is_str(name) && tops.contains(top_level(name))) {
            selected.emplace_back(name.attr("count")(".").cast<Py_ssize_t>(), py::reinterpret_borrow<py::object>(name));
        }
    }
    std::stable_sort(selected.begin(), selected.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &entry : selected) {
        if (modules.contains(entry.second)) {
            if (PyDict_DelItem(modules.ptr(), entry.second.ptr()) != 0) {
                throw py::error_already_set();
            }
            log_debug("Unloaded module: " + text_of(entry.second));
        }
    }
    return static_cast<Py_ssize_t>(selected.size());
}

// The "error" reply for a path that cannot go on sys.path; nullopt when all are usable.
std::optional<py::dict> path_error(const py::handle &message, const char *msg_type, const char *name,
                                   const py::handle &path, Py_ssize_t index = -1) {
    const char *reason = unusable_path(path);
    if (reason == nullptr) {
        return std::nullopt;
    }
    py::dict reply = field_error(message, msg_type, name, "", path);
    const std::string where = index < 0 ? "the path" : "entry " + std::to_string(index);
    reply["message"] = "Invalid field '" + std::string(name) + "' in " + msg_type + ": " + where + " holds " + reason;
    return reply;
}

std::optional<py::dict> path_list_error(const py::handle &message, const char *msg_type, const char *name,
                                        const py::list &paths) {
    Py_ssize_t index = 0;
    for (py::handle path : paths) {
        if (auto error = path_error(message, msg_type, name, path, index++)) {
            return error;
        }
    }
    return std::nullopt;
}

// Reads a list-of-strings field; on a wrong type returns the error reply instead.
std::optional<py::dict> read_paths(const py::handle &message, const char *msg_type, const char *name, py::list &out) {
    py::object value = field(message, name, py::list());
    if (!is_str_list(value)) {
        return field_error(message, msg_type, name, "a list of strings", value);
    }
    out = value;
    return std::nullopt;
}

py::dict path_reply(const char *type, const py::object &path) {
    py::dict reply;
    reply["type"] = type;
    if (path) {
        reply["path"] = path;
    }
    reply["current_paths"] = sys_path();
    return reply;
}

}  // namespace

Coro handle_add_path(py::object self, py::object message) {
    py::object path = field(message, "path", py::str(""));
    if (!is_str(path)) {
        co_return co_await send(self, field_error(message, "add_path", "path", "a string", path));
    }
    if (auto error = path_error(message, "add_path", "path", path)) {
        co_return co_await send(self, *error);
    }
    self.attr("virtual_env").attr("add_path")(path);
    co_return co_await send(self, path_reply("path_added", path));
}

Coro handle_remove_path(py::object self, py::object message) {
    py::object path = field(message, "path", py::str(""));
    if (!is_str(path)) {
        co_return co_await send(self, field_error(message, "remove_path", "path", "a string", path));
    }
    self.attr("virtual_env").attr("remove_path")(path);
    co_return co_await send(self, path_reply("path_removed", path));
}

Coro handle_reset_path(py::object self, py::object) {
    self.attr("virtual_env").attr("reset_path")();
    co_return co_await send(self, path_reply("path_reset", py::object()));
}

Coro handle_set_package_paths(py::object self, py::object message) {
    py::list old_paths, new_paths;
    if (auto error = read_paths(message, "set_package_paths", "old_paths", old_paths)) {
        co_return co_await send(self, *error);
    }
    if (auto error = read_paths(message, "set_package_paths", "new_paths", new_paths)) {
        co_return co_await send(self, *error);
    }
    if (auto error = path_list_error(message, "set_package_paths", "new_paths", new_paths)) {
        co_return co_await send(self, *error);
    }
    const Py_ssize_t unloaded = unload_modules_under(old_paths);
    py::list path = sys_path();
    for (py::handle old_path : old_paths) {
        if (path.contains(old_path)) {
            path.attr("remove")(old_path);
            log_debug("Removed old path from sys.path: " + text_of(old_path));
        }
    }
    // Inserted last to first at the front, so they stand there in the order given.
    for (Py_ssize_t i = static_cast<Py_ssize_t>(py::len(new_paths)) - 1; i >= 0; --i) {
        py::object new_path = new_paths[i];
        if (!path.contains(new_path)) {
            path.insert(0, new_path);
            log_debug("Added new path to sys.path: " + text_of(new_path));
        }
    }
    self.attr("virtual_env").attr("custom_paths") = new_list(new_paths);
    py::object sensewire = self.attr("_sensewire");
    if (py::bool_(sensewire)) {
        sensewire.attr("update_sys_paths")(new_paths);
    }
    const Py_ssize_t added = static_cast<Py_ssize_t>(py::len(new_paths));
    py::dict reply;
    reply["type"] = "package_paths_updated";
    reply["paths_added"] = added;
    reply["modules_unloaded"] = unloaded;
    reply["workbook_id"] = self.attr("workbook_id");
    co_await send(self, reply);
    log_info("Package paths updated: " + std::to_string(added) + " paths added, " + std::to_string(unloaded) +
             " modules unloaded");
    co_return py::none();
}

Coro handle_set_python_paths(py::object self, py::object message) {
    py::list old_paths, new_paths;
    if (auto error = read_paths(message, "set_python_paths", "old_paths", old_paths)) {
        co_return co_await send(self, *error);
    }
    if (auto error = read_paths(message, "set_python_paths", "new_paths", new_paths)) {
        co_return co_await send(self, *error);
    }
    if (auto error = path_list_error(message, "set_python_paths", "new_paths", new_paths)) {
        co_return co_await send(self, *error);
    }
    py::list path = sys_path();
    for (py::handle old_path : old_paths) {
        if (path.contains(old_path)) {
            path.attr("remove")(old_path);
            log_debug("Removed old python path from sys.path: " + text_of(old_path));
        }
    }
    for (py::handle new_path : new_paths) {
        if (!path.contains(new_path)) {
            path.append(new_path);
            log_debug("Added new python path to sys.path: " + text_of(new_path));
        }
    }
    py::object sensewire = self.attr("_sensewire");
    if (py::bool_(sensewire)) {
        sensewire.attr("update_sys_paths")(new_list(path));
    }
    const Py_ssize_t added = static_cast<Py_ssize_t>(py::len(new_paths));
    py::dict reply;
    reply["type"] = "python_paths_updated";
    reply["paths_added"] = added;
    reply["workbook_id"] = self.attr("workbook_id");
    co_await send(self, reply);
    log_info("Python paths updated: " + std::to_string(added) + " paths added");
    co_return py::none();
}

Coro handle_unload_and_clear_paths(py::object self, py::object message) {
    py::list paths;
    if (auto error = read_paths(message, "unload_and_clear_paths", "paths", paths)) {
        co_return co_await send(self, *error);
    }
    const Py_ssize_t unloaded = unload_modules_under(paths);
    py::list path = sys_path();
    for (py::handle dir : paths) {
        if (path.contains(dir)) {
            path.attr("remove")(dir);
            log_debug("Removed path from sys.path: " + text_of(dir));
        }
    }
    const Py_ssize_t cleared = static_cast<Py_ssize_t>(py::len(paths));
    py::dict reply;
    reply["type"] = "modules_unloaded";
    reply["modules_unloaded"] = unloaded;
    reply["paths_cleared"] = cleared;
    reply["workbook_id"] = self.attr("workbook_id");
    co_await send(self, reply);
    log_info("Modules unloaded: " + std::to_string(unloaded) + ", paths cleared: " + std::to_string(cleared));
    co_return py::none();
}

}  // namespace tarnlet::kernel
