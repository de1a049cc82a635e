// Diagnostics: syntax check, pyflakes lint and unresolved imports, as editor markers.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

py::dict diagnostic(const py::object &start_line, const py::object &start_column, const py::object &end_line,
                    const py::object &end_column, const py::object &message, const py::object &severity) {
    py::dict result;
    result["startLineNumber"] = start_line;
    result["startColumn"] = start_column;
    result["endLineNumber"] = end_line;
    result["endColumn"] = end_column;
    result["message"] = message;
    result["severity"] = severity;
    return result;
}

// An attribute that counts as missing when it is absent, None or 0.
py::object attr_or(const py::handle &obj, const char *name, py::object fallback) {
    if (!py::hasattr(obj, name)) {
        return fallback;
    }
    py::object value = obj.attr(name);
    return truthy(value) ? value : fallback;
}

py::dict diagnostics_result(py::list diagnostics, py::object error) {
    py::dict result;
    result["diagnostics"] = std::move(diagnostics);
    result["error"] = std::move(error);
    return result;
}

// Errors first; equal severities keep the order in which they were found.
py::list sorted_by_severity(const py::list &diagnostics) {
    std::vector<std::pair<long long, py::object>> keyed;
    keyed.reserve(diagnostics.size());
    for (py::handle item : diagnostics) {
        py::object severity = item.attr("get")("severity", 0);
        keyed.emplace_back(py::cast<long long>(severity), py::reinterpret_borrow<py::object>(item));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    py::list sorted;
    for (auto &entry : keyed) {
        sorted.append(entry.second);
    }
    return sorted;
}

// The tree that get_diagnostics has just parsed, lent to the import check so that
// the same text is not parsed twice. Borrowed: both objects live in the frame of
// get_diagnostics for as long as the scope does.
struct ParsedSource {
    PyObject *code;
    PyObject *tree;
};
thread_local const ParsedSource *t_parsed = nullptr;

class LendParsedSource {
public:
    LendParsedSource(const py::object &code, const py::object &tree)
        : source_{code.ptr(), tree.ptr()}, previous_(t_parsed) {
        t_parsed = &source_;
    }
    ~LendParsedSource() { t_parsed = previous_; }
    LendParsedSource(const LendParsedSource &) = delete;
    LendParsedSource &operator=(const LendParsedSource &) = delete;

private:
    ParsedSource source_;
    const ParsedSource *previous_;
};

py::object parsed_tree(const py::object &code) {
    if (t_parsed != nullptr && t_parsed->code == code.ptr()) {
        return py::reinterpret_borrow<py::object>(t_parsed->tree);
    }
    return global("ast").attr("parse")(code);
}

// Calls visit(node) for every statement of the tree, in the order ast.walk would
// reach them. Imports are statements, and statements nest only in the lists of
// other statements, exception handlers and match cases, so the walk need not enter
// expressions; each statement keeps its breadth-first depth, hence its place.
template <typename Visit>
void walk_statements(const py::object &tree, Visit &&visit) {
    py::object ast = global("ast");
    py::object holders =
        py::make_tuple(ast.attr("stmt"), ast.attr("excepthandler"), py::getattr(ast, "match_case", ast.attr("stmt")));
    std::deque<py::object> todo{tree};
    while (!todo.empty()) {
        py::object node = std::move(todo.front());
        todo.pop_front();
        for (py::handle field : node.attr("_fields")) {
            py::object value = py::getattr(node, field, py::none());
            if (!PyList_Check(value.ptr())) {
                continue;
            }
            for (py::handle item : value) {
                if (PyObject_IsInstance(item.ptr(), holders.ptr()) == 1) {
                    todo.push_back(py::reinterpret_borrow<py::object>(item));
                }
            }
        }
        visit(node);
    }
}

py::dict get_diagnostics(py::object self, py::object code, py::object module_name) {
    require_str("get_diagnostics", "code", code);
    require_str_or_none("get_diagnostics", "module_name", module_name);
    logf("debug", "[LSP] Request: get_diagnostics, code_length=%d", py::len(code));
    return catch_all(
        [&] {
            py::str filename =
                truthy(module_name) ? py::str("<") + py::str(module_name) + py::str(">") : py::str("<editor>");
            py::list diagnostics;
            bool parsed = true;
            py::object tree;
            try {
                tree = global("ast").attr("parse")(code, filename);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_SyntaxError)) {
                    throw;
                }
                parsed = false;
                py::object line = attr_or(e.value(), "lineno", py::int_(1));
                py::object offset = attr_or(e.value(), "offset", py::int_(1));
                py::object message = attr_or(e.value(), "msg", py::str("Syntax error"));
                diagnostics.append(diagnostic(line, offset, line, offset + py::int_(1), message,
                                              global("MONACO_MARKER_SEVERITY_ERROR")));
                logf("debug", "[LSP] Syntax error at line %d, col %d: %s", line, offset, message);
            }
            if (parsed) {
                if (truthy(global("PYFLAKES_AVAILABLE"))) {
                    for (py::handle item : self.attr("_run_pyflakes")(code, filename)) {
                        diagnostics.append(item);
                    }
                }
                const LendParsedSource lend(code, tree);
                for (py::handle item : self.attr("_check_unresolved_imports")(code, module_name)) {
                    diagnostics.append(item);
                }
            }
            return diagnostics_result(sorted_by_severity(diagnostics), py::none());
        },
        [](const py::str &error) {
            logf("error", "[LSP] Error in get_diagnostics: %s", error);
            return diagnostics_result(py::list(), error);
        });
}

// Feeds each line of a rewound report stream to _parse_pyflakes_message.
void collect_messages(const py::object &self, const py::object &stream, int severity, py::list &diagnostics) {
    stream.attr("seek")(0);
    for (py::handle line : stream) {
        py::object parsed = self.attr("_parse_pyflakes_message")(line.attr("strip")(), severity);
        if (!parsed.is_none()) {
            diagnostics.append(parsed);
        }
    }
}

py::list run_pyflakes(py::object self, py::object code, py::object filename) {
    py::list diagnostics;
    catch_all(
        [&] {
            py::object io = global("io");
            py::object warnings = io.attr("StringIO")();
            py::object errors = io.attr("StringIO")();
            py::object reporter = lazy_global("pyflakes_reporter").attr("Reporter")(warnings, errors);
            lazy_global("pyflakes_api").attr("check")(code, filename, reporter);
            collect_messages(self, warnings, 4, diagnostics);
            collect_messages(self, errors, 8, diagnostics);
            logf("debug", "[LSP] Pyflakes returned %d diagnostics", diagnostics.size());
        },
        [](const py::str &error) { logf("warning", "[LSP] Pyflakes check failed: %s", error); });
    return diagnostics;
}

py::object parse_pyflakes_message(py::object, py::object message, py::object severity) {
    if (!truthy(message)) {
        return py::none();
    }
    return catch_all(
        [&]() -> py::object {
            py::object match = global("PYFLAKES_MESSAGE_PATTERN").attr("match")(message);
            if (match.is_none()) {
                return py::none();
            }
            py::object builtin_int = py::module_::import("builtins").attr("int");
            py::object line = builtin_int(match.attr("group")(2));
            py::object column_text = match.attr("group")(3);
            py::object column = truthy(column_text) ? builtin_int(column_text) : py::int_(1);
            py::object text = match.attr("group")(4);
            py::object end_column = column + py::int_(1);
            // A message that starts with a quoted name marks the whole name.
            py::object quoted = global("re").attr("match")("^'([^']+)'", text);
            if (!quoted.is_none()) {
                end_column = column + py::int_(py::len(quoted.attr("group")(1)));
            }
            return diagnostic(line, column, line, end_column, text, severity);
        },
        [&](const py::str &error) -> py::object {
            logf("debug", "[LSP] Failed to parse pyflakes message '%s': %s", message, error);
            return py::none();
        });
}

// The marker of one unresolved import: it spans the whole statement.
py::dict unresolved_import(const py::handle &node, const py::object &name) {
    py::object line = node.attr("lineno");
    py::object column = node.attr("col_offset");
    py::object end_line = attr_or(node, "end_lineno", line);
    py::object end_column = attr_or(node, "end_col_offset", column);
    return diagnostic(line, column + py::int_(1), end_line, end_column + py::int_(1),
                      py::str("import '") + py::str(name) + py::str("' could not be resolved"),
                      global("MONACO_MARKER_SEVERITY_ERROR"));
}

py::list check_unresolved_imports(py::object self, py::object code, py::object) {
    py::list diagnostics;
    catch_all(
        [&] {
            py::object ast = global("ast");
            py::object import_type = ast.attr("Import");
            py::object import_from_type = ast.attr("ImportFrom");
            py::object can_resolve = self.attr("_can_resolve_import");
            walk_statements(parsed_tree(code), [&](const py::object &node) {
                if (py::isinstance(node, import_type)) {
                    for (py::handle alias : node.attr("names")) {
                        py::object name = alias.attr("name");
                        if (!truthy(can_resolve(name))) {
                            diagnostics.append(unresolved_import(node, name));
                        }
                    }
                } else if (py::isinstance(node, import_from_type)) {
                    py::object module = node.attr("module");
                    if (truthy(module) && !truthy(can_resolve(module))) {
                        diagnostics.append(unresolved_import(node, module));
                    }
                }
            });
            logf("debug", "[LSP] Import check found %d unresolved imports", diagnostics.size());
        },
        [](const py::str &error) { logf("warning", "[LSP] Import check failed: %s", error); });
    return diagnostics;
}

// The module spec (ModuleSpec) of `name` from the finders on sys.meta_path (the in-memory loader, the
// path finder with its hooks, built-in and frozen modules), searching `path` for a
// submodule, or None. This is importlib's lookup without its one side effect:
// importlib.util.find_spec imports every parent package, which runs user code.
py::object find_spec_without_import(const py::object &name, const py::object &path) {
    for (py::handle finder : py::list(global("sys").attr("meta_path"))) {
        py::object find_spec = py::getattr(finder, "find_spec", py::none());
        if (find_spec.is_none()) {
            continue;
        }
        py::object spec = find_spec(name, path, py::none());
        if (!spec.is_none()) {
            return spec;
        }
    }
    return py::none();
}

// Whether the dotted name leads to a module, one part at a time: a parent that is
// loaded lends its __path__, any other its spec's search locations; a parent that
// is no package has no submodules.
bool resolves_without_import(const py::object &module_name) {
    py::list parts = module_name.attr("split")(".");
    py::object modules = global("sys").attr("modules");
    py::object search_path = py::none();
    py::str prefix("");
    for (size_t i = 0; i < parts.size(); ++i) {
        py::str part(parts[i]);
        if (!truthy(part)) {
            return false;
        }
        prefix = i == 0 ? part : py::str(prefix + py::str(".") + part);
        const bool last = i + 1 == parts.size();
        py::object loaded = modules.attr("get")(prefix);
        if (!loaded.is_none()) {
            if (last) {
                return true;
            }
            search_path = py::getattr(loaded, "__path__", py::none());
        } else {
            py::object spec = find_spec_without_import(prefix, search_path);
            if (spec.is_none()) {
                return false;
            }
            if (last) {
                return true;
            }
            search_path = py::getattr(spec, "submodule_search_locations", py::none());
        }
        if (search_path.is_none()) {
            return false;
        }
        search_path = py::list(search_path);
    }
    return false;
}

bool can_resolve_import(py::object self, py::object module_name) {
    try {
        if (global("sys").attr("modules").contains(module_name)) {
            return true;
        }
        py::object temp_dir = self.attr("_temp_dir");
        if (!temp_dir.is_none()) {
            py::object path = global("os").attr("path");
            py::object file_path = path.attr("join")(temp_dir.attr("name"), py::str(module_name) + py::str(".py"));
            if (truthy(path.attr("exists")(file_path))) {
                return true;
            }
        }
        return resolves_without_import(module_name);
    } catch (py::error_already_set &e) {
        // ModuleNotFoundError is an ImportError.
        if (e.matches(PyExc_ImportError) || e.matches(PyExc_ValueError) || e.matches(PyExc_AttributeError)) {
            return false;
        }
        throw;
    }
}

}  // namespace

void add_diagnostic_methods(ClassBuilder &cls) {
    cls.def("get_diagnostics", &get_diagnostics, py::arg("code"), py::arg("module_name") = py::none());
    cls.def("_run_pyflakes", &run_pyflakes, py::arg("code"), py::arg("filename"));
    cls.def("_parse_pyflakes_message", &parse_pyflakes_message, py::arg("message"), py::arg("severity"));
    cls.def("_check_unresolved_imports", &check_unresolved_imports, py::arg("code"),
            py::arg("module_name") = py::none());
    cls.def("_can_resolve_import", &can_resolve_import, py::arg("module_name"));
}

}  // namespace tarnlet::sensewire
