// The editor's language requests: completion, signature help, hover and diagnostics,
// answered through the language bridge (self._sensewire). Completion, signature help
// and hover also hand the bridge every saved workbook module, so its workspace
// mirrors the loader before the analysis.
#include <string>

#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// len(obj) as text, or "0" for an object without a length: a wrongly typed field
// still gets its log line.
std::string length_text(const py::handle &obj) {
    const Py_ssize_t length = PyObject_Length(obj.ptr());
    if (length < 0) {
        PyErr_Clear();
        return "0";
    }
    return std::to_string(length);
}

// The fields of a completion, signature help or hover request.
struct PositionRequest {
    py::object request_id, code, line, column, path, workbook_id, module_name, dirty_files;
};

PositionRequest read_position_request(const py::object &message) {
    return PositionRequest{field(message, "request_id", py::none()),  field(message, "code", py::str("")),
                           field(message, "line", py::int_(1)),       field(message, "column", py::int_(0)),
                           field(message, "path", py::none()),        field(message, "workbook_id", py::none()),
                           field(message, "module_name", py::none()), field(message, "dirty_files", py::none())};
}

std::string position_text(const PositionRequest &request) {
    return "line=" + text_of(request.line) + ", column=" + text_of(request.column) + ", path=" + text_of(request.path) +
           ", code_length=" + length_text(request.code);
}

// Calls bridge.<method>(**kwargs) and returns its result dict. The bridge refuses a
// wrongly typed field with a TypeError on entry; that becomes the answer's error, so
// one malformed request cannot end the kernel.
py::object ask_bridge(const py::object &self, const char *method, const char *request_type, const py::dict &kwargs) {
    py::object bound = self.attr("_sensewire").attr(method);
    try {
        return bound(**kwargs);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        const std::string text = error_text(e);
        log_warning(std::string("[LSP] Refused ") + request_type + ": " + text);
        py::dict refused;
        refused["error"] = py::str(text);
        return refused;
    }
}

py::dict position_kwargs(const PositionRequest &request) {
    py::dict kwargs;
    kwargs["code"] = request.code;
    kwargs["line"] = request.line;
    kwargs["column"] = request.column;
    kwargs["path"] = request.path;
    // A fresh shallow copy for every request: the bridge may hold on to nothing.
    kwargs["modules"] =
        py::module_::import("builtins").attr("dict")(module_global("in_memory_loader").attr("source_cache"));
    kwargs["dirty_files"] = request.dirty_files;
    return kwargs;
}

void add_routing(py::dict &response, const py::object &error, const PositionRequest &request) {
    response["error"] = error;
    response["request_id"] = request.request_id;
    response["workbook_id"] = request.workbook_id;
    response["module_name"] = request.module_name;
}

Coro handle_completion_request(py::object self, py::object message) {
    const PositionRequest request = read_position_request(message);
    log_debug("[LSP] Request received: " + position_text(request) +
              ", dirty_files=" + length_text(request.dirty_files));
    py::object result = ask_bridge(self, "get_completions", "completion_request", position_kwargs(request));
    py::object completions = result.attr("get")("completions", py::list());
    py::object error = result.attr("get")("error", py::none());
    log_debug("[LSP] Response: " + length_text(completions) + " completions, error=" + text_of(error));
    py::dict response;
    response["type"] = "completion_response";
    response["completions"] = completions;
    add_routing(response, error, request);
    co_return co_await self.attr("send_message")(response);
}

Coro handle_signature_help_request(py::object self, py::object message) {
    const PositionRequest request = read_position_request(message);
    log_debug("[LSP] Signature help request: " + position_text(request));
    py::object result = ask_bridge(self, "get_signature_help", "signature_help_request", position_kwargs(request));
    py::object signatures = result.attr("get")("signatures", py::list());
    py::object error = result.attr("get")("error", py::none());
    log_debug("[LSP] Signature help response: " + length_text(signatures) + " signatures, error=" + text_of(error));
    py::dict response;
    response["type"] = "signature_help_response";
    response["signatures"] = signatures;
    response["activeSignature"] = result.attr("get")("activeSignature", 0);
    response["activeParameter"] = result.attr("get")("activeParameter", 0);
    add_routing(response, error, request);
    co_return co_await self.attr("send_message")(response);
}

Coro handle_hover_request(py::object self, py::object message) {
    const PositionRequest request = read_position_request(message);
    log_debug("[LSP] Hover request: " + position_text(request));
    py::object result = ask_bridge(self, "get_hover", "hover_request", position_kwargs(request));
    py::object contents = result.attr("get")("contents", py::none());
    py::object error = result.attr("get")("error", py::none());
    log_debug(std::string("[LSP] Hover response: has_contents=") + (contents.is_none() ? "False" : "True") +
              ", error=" + text_of(error));
    py::dict response;
    response["type"] = "hover_response";
    response["contents"] = contents;
    add_routing(response, error, request);
    co_return co_await self.attr("send_message")(response);
}

Coro handle_diagnostic_request(py::object self, py::object message) {
    py::object request_id = field(message, "request_id", py::none());
    py::object code = field(message, "code", py::str(""));
    py::object workbook_id = field(message, "workbook_id", py::none());
    py::object module_name = field(message, "module_name", py::none());
    log_debug("[LSP] Diagnostic request: code_length=" + length_text(code) + ", module=" + text_of(module_name));
    py::dict kwargs;
    kwargs["code"] = code;
    kwargs["module_name"] = module_name;
    py::object result = ask_bridge(self, "get_diagnostics", "diagnostic_request", kwargs);
    py::object diagnostics = result.attr("get")("diagnostics", py::list());
    py::object error = result.attr("get")("error", py::none());
    log_debug("[LSP] Diagnostic response: " + length_text(diagnostics) + " diagnostics, error=" + text_of(error));
    py::dict response;
    response["type"] = "diagnostic_response";
    response["diagnostics"] = diagnostics;
    response["error"] = error;
    response["request_id"] = request_id;
    response["workbook_id"] = workbook_id;
    response["module_name"] = module_name;
    co_return co_await self.attr("send_message")(response);
}

}  // namespace

void add_language_request_methods(ClassBuilder &cls) {
    cls.def("_handle_completion_request", &handle_completion_request, py::arg("message"));
    cls.def("_handle_signature_help_request", &handle_signature_help_request, py::arg("message"));
    cls.def("_handle_hover_request", &handle_hover_request, py::arg("message"));
    cls.def("_handle_diagnostic_request", &handle_diagnostic_request, py::arg("message"));
}

}  // namespace tarnlet::kernel
