// Late binding to the extension module's own namespace, and logging through its
// `logger` global, so that Python code can replace either at run time.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace tarnlet {
namespace py = pybind11;

// Set once from the module's init function; every helper below reads this module.
void set_this_module(py::handle module);
py::handle this_module();

// The module-level name as it is now (NameError when it is missing).
py::object module_global(const char *name);
void set_module_global(const char *name, py::object value);

// Imports `name`, first relative to `package` and on ImportError by its plain name.
py::object import_relative_or_plain(const char *package, const char *name);

// logger.<level>(text) through the module's current `logger`; never throws, so a
// broken logger cannot break a request.
void log(const char *level, std::string_view text);
inline void log_debug(std::string_view text) { log("debug", text); }
inline void log_info(std::string_view text) { log("info", text); }
inline void log_warning(std::string_view text) { log("warning", text); }
inline void log_error(std::string_view text) { log("error", text); }

// str(obj), as Python would print it.
std::string str_of(const py::handle &obj);
// The text of a caught Python exception: str(exc).
std::string error_text(const py::error_already_set &error);
// The class name of a caught Python exception: type(exc).__name__.
std::string error_type_name(const py::error_already_set &error);

}  // namespace tarnlet
