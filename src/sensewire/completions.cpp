// Completions: jedi's completion list in the editor's item format.
#include <string>

#include "sensewire.hpp"

namespace tarnlet::sensewire {
namespace {

bool is_ascii_identifier_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

// Line number `line` (1-based) of `code` cut to its first `column` characters, or
// None when the line does not exist.
py::object line_before_cursor(const py::object &code, long long line, long long column) {
    py::list lines = code.attr("split")("\n");
    if (line < 1 || line > static_cast<long long>(lines.size())) {
        return py::none();
    }
    py::object text = lines[static_cast<size_t>(line - 1)];
    return text[py::slice(py::int_(0), py::int_(column < 0 ? 0 : column), py::none())];
}

py::dict completion_result(py::list completions, py::object error) {
    py::dict result;
    result["completions"] = std::move(completions);
    result["error"] = std::move(error);
    return result;
}

// The editor's item for one jedi completion.
py::dict completion_item(const py::object &self, const py::handle &completion, const py::str &name,
                         const py::dict &kinds) {
    py::object type = completion.attr("type");
    py::dict item;
    item["label"] = name;
    item["kind"] = kinds.attr("get")(type, 4);
    item["insertText"] = name;
    if (py::str("function").equal(type)) {
        ignore_errors([&] {
            py::list signatures(completion.attr("get_signatures")());
            if (!signatures.empty()) {
                item["detail"] = self.attr("_format_signature")(signatures[0]);
            }
        });
    }
    ignore_errors([&] {
        py::object doc = completion.attr("docstring")();
        if (truthy(doc)) {
            item["documentation"] = doc;
        }
    });
    return item;
}

py::dict get_completions(py::object self, py::object code, py::object line, py::object column, py::object path,
                         py::object modules, py::object dirty_files) {
    const Request request = checked_request("get_completions", code, line, column, path, modules, dirty_files);
    py::dict summary;
    summary["line"] = request.line;
    summary["column"] = request.column;
    summary["path"] = request.path;
    summary["code_length"] = py::len(code);
    summary["code_preview"] = code[py::slice(py::int_(0), py::int_(100), py::none())];
    logf("debug", "[LSP] Request: get_completions %s", summary);

    return catch_all(
        [&] {
            check_position(request);
            const long long line_number = clamped(request.line);
            py::object before_cursor = line_before_cursor(code, line_number, clamped(request.column));
            if (!before_cursor.is_none() && truthy(global("IMPORT_ALIAS_PATTERN").attr("match")(before_cursor))) {
                logf("debug", "[LSP] In import alias context, returning empty completions");
                return completion_result(py::list(), py::none());
            }
            sync_for_request(self, request);
            py::str word_prefix = self.attr("_get_word_prefix")(code, request.line, request.column);
            const bool show_private = truthy(word_prefix.attr("startswith")("_"));

            py::list items;
            with_jedi(self, [&] {
                py::object script = make_script(self, request);
                py::list completions(
                    script.attr("complete")(py::arg("line") = request.line, py::arg("column") = request.column));
                logf("debug", "[LSP] Jedi returned %d completions", completions.size());
                py::dict kinds = global("JEDI_TO_MONACO_KIND");
                for (py::handle completion : completions) {
                    py::str name = completion.attr("name");
                    if (!show_private && truthy(name.attr("startswith")("_"))) {
                        continue;
                    }
                    items.append(completion_item(self, completion, name, kinds));
                }
            });

            logf("debug", "[LSP] Response: %d completions returned", items.size());
            if (!items.empty()) {
                py::list sample;
                for (size_t i = 0; i < items.size() && i < 5; ++i) {
                    sample.append(items[i]["label"]);
                }
                logf("debug", "[LSP] Sample completions: %s%s", sample, items.size() > 5 ? "..." : "");
            }
            return completion_result(items, py::none());
        },
        [](const py::str &error) {
            logf("error", "[LSP] Error in get_completions: %s", error);
            return completion_result(py::list(), error);
        });
}

py::str get_word_prefix(py::object, py::object code, py::object line, py::object column) {
    py::object before_cursor = line_before_cursor(code, clamped(py::int_(line)), clamped(py::int_(column)));
    if (before_cursor.is_none()) {
        return py::str("");
    }
    // The ASCII identifier run that ends the text: the longest tail of identifier
    // characters, without the digits it starts with. Read as code points, so any
    // character before it (a lone surrogate, NUL) is simply not part of it.
    py::str text(before_cursor);
    const Py_ssize_t size = PyUnicode_GetLength(text.ptr());
    Py_ssize_t start = size;
    while (start > 0 && is_ascii_identifier_char(PyUnicode_ReadChar(text.ptr(), start - 1))) {
        --start;
    }
    while (start < size && is_digit(PyUnicode_ReadChar(text.ptr(), start))) {
        ++start;
    }
    return py::str(text[py::slice(py::int_(start), py::int_(size), py::none())]);
}

py::str format_signature_method(py::object, py::object signature) {
    try {
        py::object text = signature.attr("to_string")();
        py::object open = text.attr("find")("(");
        if (py::cast<long long>(open) >= 0) {
            return py::str(text[py::slice(open, py::none(), py::none())]);
        }
        return py::str(text);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
    }
    try {
        py::list parts;
        for (py::handle param : signature.attr("params")) {
            parts.append(param.attr("to_string")());
        }
        return py::str("(") + py::str(", ").attr("join")(parts) + py::str(")");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
    }
    return py::str("");
}

}  // namespace

void add_completion_methods(ClassBuilder &cls) {
    cls.def("get_completions", &get_completions, py::arg("code"), py::arg("line"), py::arg("column"),
            py::arg("path") = py::none(), py::arg("modules") = py::none(), py::arg("dirty_files") = py::none());
    cls.def("_get_word_prefix", &get_word_prefix, py::arg("code"), py::arg("line"), py::arg("column"));
    cls.def("_format_signature", &format_signature_method, py::arg("signature"));
}

}  // namespace tarnlet::sensewire
