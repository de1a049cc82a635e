// Hover (Markdown describing the symbol under the cursor) and signature help.
#include <string>

#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

const char *const SEPARATOR = "\n\n---\n\n";

py::str fenced(const py::str &text) { return py::str(FENCE_OPEN) + text + py::str(FENCE_CLOSE); }

// A text attribute that may be missing or None, as "". Only a missing attribute
// is forgiven, as getattr(obj, name, None) would.
py::str text_attr(const py::handle &obj, const char *name) {
    py::object value;
    try {
        value = obj.attr(name);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) {
            throw;
        }
        return py::str("");
    }
    return value.is_none() ? py::str("") : py::str(value);
}

// `_format_signature` of the first signature, or None when there is none.
py::object first_signature_text(const py::object &self, const py::handle &definition) {
    py::list signatures(definition.attr("get_signatures")());
    if (signatures.empty()) {
        return py::none();
    }
    return self.attr("_format_signature")(signatures[0]);
}

// "prefix + name + signature", or "prefix + name" when the signature cannot be had.
py::str function_text(const py::object &self, const py::handle &definition, const py::str &head) {
    py::object signature = py::none();
    ignore_errors([&] { signature = first_signature_text(self, definition); });
    return signature.is_none() ? fenced(head) : fenced(head + py::str(signature));
}

void add_docstring(py::list &parts, const py::handle &definition) {
    ignore_errors([&] {
        py::object doc = definition.attr("docstring")();
        if (truthy(doc)) {
            parts.append(doc);
        }
    });
}

py::dict hover_result(py::object contents, py::object error) {
    py::dict result;
    result["contents"] = std::move(contents);
    result["error"] = std::move(error);
    return result;
}

py::object markdown(const py::list &parts) {
    py::str value = py::str(SEPARATOR).attr("join")(parts);
    if (!truthy(value)) {
        return py::none();
    }
    py::dict contents;
    contents["kind"] = "markdown";
    contents["value"] = value;
    return contents;
}

py::str detailed_text(const py::object &self, const py::handle &definition) {
    py::str type(definition.attr("type"));
    py::str full_name = text_attr(definition, "full_name");
    if (!truthy(full_name)) {
        full_name = text_attr(definition, "name");
    }
    if (type.equal(py::str("function"))) {
        return function_text(self, definition, full_name);
    }
    if (type.equal(py::str("class"))) {
        return fenced(py::str("class ") + full_name);
    }
    if (type.equal(py::str("module"))) {
        return fenced(py::str("module ") + full_name);
    }
    py::str description = self.attr("_get_type_description")(definition, type);
    return fenced(full_name + py::str(": ") + description);
}

// When inference finds nothing: jedi's help lookup. None when it has nothing either.
py::object help_fallback(const py::object &script, const Request &request) {
    logf("debug", "[LSP] infer() returned empty, trying help() as fallback");
    py::object contents = py::none();
    catch_all(
        [&] {
            py::list results(script.attr("help")(py::arg("line") = request.line, py::arg("column") = request.column));
            py::list parts;
            for (py::handle result : results) {
                py::str name = text_attr(result, "name");
                py::str description =
                    py::hasattr(result, "description") ? text_attr(result, "description") : py::str("");
                if (truthy(name)) {
                    parts.append(truthy(description) ? fenced(py::str("(") + description + py::str(") ") + name)
                                                     : fenced(name));
                }
                add_docstring(parts, result);
            }
            if (!parts.empty()) {
                logf("debug", "[LSP] Hover (from help()): found %d results", results.size());
                contents = markdown(parts);
            }
        },
        [](const py::str &error) { logf("debug", "[LSP] help() fallback failed: %s", error); });
    if (contents.is_none()) {
        logf("debug", "[LSP] No type information found for hover");
    }
    return contents;
}

py::dict get_hover(py::object self, py::object code, py::object line, py::object column, py::object path,
                   py::object modules, py::object dirty_files) {
    const Request request = checked_request("get_hover", code, line, column, path, modules, dirty_files);
    logf("debug", "[LSP] Request: get_hover line=%d, column=%d, path=%s", request.line, request.column, request.path);
    return catch_all(
        [&] {
            check_position(request);
            sync_for_request(self, request);
            return with_jedi(self, [&] {
                py::object script = make_script(self, request);
                py::list definitions(
                    script.attr("infer")(py::arg("line") = request.line, py::arg("column") = request.column));
                if (definitions.empty()) {
                    return hover_result(help_fallback(script, request), py::none());
                }
                py::list parts;
                for (py::handle definition : definitions) {
                    if (py::str("compact").equal(self.attr("_hover_mode"))) {
                        py::object text = self.attr("_format_compact_hover")(definition);
                        if (truthy(text)) {
                            parts.append(text);
                        }
                        continue;
                    }
                    parts.append(detailed_text(self, definition));
                    add_docstring(parts, definition);
                }
                logf("debug", "[LSP] Hover: found %d definitions", definitions.size());
                return hover_result(markdown(parts), py::none());
            });
        },
        [](const py::str &error) {
            logf("error", "[LSP] Error in get_hover: %s", error);
            return hover_result(py::none(), error);
        });
}

py::object format_compact_hover(py::object self, py::object definition) {
    return catch_all(
        [&]() -> py::object {
            py::str name = text_attr(definition, "name");
            py::str type = definition.attr("type");
            if (type.equal(py::str("function"))) {
                return function_text(self, definition, py::str("(function) ") + name);
            }
            if (type.equal(py::str("class")) || type.equal(py::str("module"))) {
                return fenced(py::str("(") + type + py::str(") ") + name);
            }
            py::str description = self.attr("_get_type_description")(definition, type);
            return fenced(py::str("(") + type + py::str(") ") + name + py::str(": ") + description);
        },
        [](const py::str &error) -> py::object {
            logf("debug", "%s", py::str("[LSP] Error formatting compact hover: ") + error);
            return py::none();
        });
}

py::object get_type_description(py::object, py::object definition, py::object fallback_type) {
    if (py::hasattr(definition, "description")) {
        py::object description = definition.attr("description");
        if (truthy(description)) {
            return description;
        }
    }
    return fallback_type;
}

py::dict signature_result(py::list signatures, py::object active_parameter, py::object error) {
    py::dict result;
    result["signatures"] = std::move(signatures);
    result["activeSignature"] = 0;
    result["activeParameter"] = std::move(active_parameter);
    result["error"] = std::move(error);
    return result;
}

py::dict get_signature_help(py::object self, py::object code, py::object line, py::object column, py::object path,
                            py::object modules, py::object dirty_files) {
    const Request request = checked_request("get_signature_help", code, line, column, path, modules, dirty_files);
    logf("debug", "[LSP] Request: get_signature_help line=%d, column=%d, path=%s", request.line, request.column,
         request.path);
    return catch_all(
        [&] {
            check_position(request);
            sync_for_request(self, request);
            return with_jedi(self, [&] {
                py::object script = make_script(self, request);
                py::list signatures(
                    script.attr("get_signatures")(py::arg("line") = request.line, py::arg("column") = request.column));
                if (signatures.empty()) {
                    logf("debug", "[LSP] No signatures found");
                    return signature_result(py::list(), py::int_(0), py::none());
                }
                py::object signature = signatures[0];
                py::list parameters;
                for (py::handle param : signature.attr("params")) {
                    py::dict parameter;
                    parameter["label"] = param.attr("name");
                    ignore_attribute_and_type_errors([&] {
                        py::object description = param.attr("description");
                        if (truthy(description)) {
                            parameter["documentation"] = description;
                        }
                    });
                    parameters.append(parameter);
                }
                py::object parameter_text = self.attr("_format_signature")(signature);
                py::object documentation = py::str("");
                ignore_attribute_and_type_errors([&] {
                    py::object doc = signature.attr("docstring")(py::arg("raw") = true);
                    if (truthy(doc)) {
                        documentation = doc;
                    }
                });
                py::object name = signature.attr("name");
                py::object label = (truthy(name) ? name : py::str("function")) + parameter_text;
                py::object index = signature.attr("index");
                py::object active_parameter = index.is_none() ? py::int_(0) : index;

                py::dict entry;
                entry["label"] = label;
                entry["documentation"] = documentation;
                entry["parameters"] = parameters;
                py::list entries;
                entries.append(entry);
                py::dict result = signature_result(entries, active_parameter, py::none());
                logf("debug", "[LSP] Signature help: %s, activeParam=%d", name, active_parameter);
                return result;
            });
        },
        [](const py::str &error) {
            logf("error", "[LSP] Error in get_signature_help: %s", error);
            return signature_result(py::list(), py::int_(0), error);
        });
}

}  // namespace

void add_hover_methods(ClassBuilder &cls) {
    cls.def("get_hover", &get_hover, py::arg("code"), py::arg("line"), py::arg("column"), py::arg("path") = py::none(),
            py::arg("modules") = py::none(), py::arg("dirty_files") = py::none());
    cls.def("get_signature_help", &get_signature_help, py::arg("code"), py::arg("line"), py::arg("column"),
            py::arg("path") = py::none(), py::arg("modules") = py::none(), py::arg("dirty_files") = py::none());
    cls.def("_format_compact_hover", &format_compact_hover, py::arg("definition"));
    cls.def("_get_type_description", &get_type_description, py::arg("definition"), py::arg("fallback_type"));
}

}  // namespace tarnlet::sensewire
