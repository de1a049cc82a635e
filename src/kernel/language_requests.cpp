// The editor's language requests: completion, signature help, hover and diagnostics,
// answered through the language bridge (self._sensewire). Completion, signature help
// and hover also hand the bridge every saved workbook module, so its workspace
// mirrors the loader before the analysis.
//
// The analysis runs on the language worker (language_worker.cpp), never on the loop
// thread: a handler queues it and returns, so the listener goes on reading frames. A
// task per request sends the answer, after the answer of the request before it, so
// answers leave in arrival order. Each request has a time limit from its arrival
// (PythonKernel.LANGUAGE_REQUEST_TIMEOUT); past it the answer is the usual response
// with the time-out as its "error".
#include <cmath>
#include <string>

#include "language_worker.hpp"
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// Seconds a language request may take from its arrival to its answer.
constexpr double DEFAULT_LANGUAGE_REQUEST_TIMEOUT = 10.0;

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
// one malformed request cannot end the kernel. Runs on the language worker.
py::object ask_bridge(const py::object &self, const char *method, const char *request_type, const py::dict &kwargs) {
    py::object bound = self.attr("_sensewire").attr(method);
    try {
        return bound(**kwargs);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        log_warning(std::string("[LSP] Refused ") + request_type + ": " + error_text(e));
        py::dict refused;
        refused["error"] = py::str(e.value());
        return refused;
    }
}

// The keyword arguments of a position request. The modules are copied when the
// analysis starts, so it sees every update that arrived before it.
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

// The request's time limit in seconds: the kernel's LANGUAGE_REQUEST_TIMEOUT when it
// is a positive finite number, else the default.
double time_limit(const py::object &self) {
    try {
        const double value = py::float_(py::getattr(self, "LANGUAGE_REQUEST_TIMEOUT", py::none()));
        if (std::isfinite(value) && value > 0) {
            return value;
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
    }
    return DEFAULT_LANGUAGE_REQUEST_TIMEOUT;
}

py::str timeout_text(double limit) { return py::str("Language analysis timed out after {:g} s").attr("format")(limit); }

// Builds the response message from the bridge's result dict (logging its line).
using Respond = std::function<py::dict(const py::object &result)>;

// Waits for the analysis (within the time limit), then for the answer of the request
// before this one, then sends this answer.
Coro answer(py::object self, std::shared_ptr<LanguageJob> job, double limit, py::object previous, std::string type,
            Respond respond) {
    py::object result = co_await await_language_job(job, limit);
    if (result.is_none() || !PyDict_Check(result.ptr())) {
        if (result.is_none()) {
            log_warning("[LSP] " + type + " timed out after " + text_of(py::str("{:g} s").attr("format")(limit)));
        }
        py::dict replacement;
        replacement["error"] = result.is_none() ? py::object(timeout_text(limit))
                                                : py::object(py::str("The language bridge returned no dict"));
        result = replacement;
    }
    if (!previous.is_none()) {
        py::set before;
        before.add(previous);
        co_await module_global("asyncio").attr("wait")(before);
    }
    py::dict response = respond(result);
    try {
        co_await self.attr("send_message")(response);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        log_error("[LSP] Failed to send " + type + " answer: " + error_text(e));
    }
    co_return py::none();
}

// Queues the bridge call and starts the task that answers it.
void start(const py::object &self, const char *method, const char *request_type, std::function<py::dict()> kwargs,
           Respond respond) {
    const double limit = time_limit(self);
    py::object kernel = self;
    std::string method_name = method;
    std::string type = request_type;
    std::shared_ptr<LanguageJob> job = submit_language_job([kernel, method_name, type, kwargs]() -> py::object {
        return ask_bridge(kernel, method_name.c_str(), type.c_str(), kwargs());
    });
    py::object previous = py::getattr(self, "_language_reply", py::none());
    if (!previous.is_none() && py::bool_(previous.attr("done")())) {
        previous = py::none();
    }
    py::object task =
        module_global("asyncio").attr("create_task")(answer(self, job, limit, previous, type, std::move(respond)));
    self.attr("_language_reply") = task;
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
    start(
        self, "get_completions", "completion_request", [request] { return position_kwargs(request); },
        [request](const py::object &result) {
            py::object completions = result.attr("get")("completions", py::list());
            py::object error = result.attr("get")("error", py::none());
            log_debug("[LSP] Response: " + length_text(completions) + " completions, error=" + text_of(error));
            py::dict response;
            response["type"] = "completion_response";
            response["completions"] = completions;
            add_routing(response, error, request);
            return response;
        });
    co_return py::none();
}

Coro handle_signature_help_request(py::object self, py::object message) {
    const PositionRequest request = read_position_request(message);
    log_debug("[LSP] Signature help request: " + position_text(request));
    start(
        self, "get_signature_help", "signature_help_request", [request] { return position_kwargs(request); },
        [request](const py::object &result) {
            py::object signatures = result.attr("get")("signatures", py::list());
            py::object error = result.attr("get")("error", py::none());
            log_debug("[LSP] Signature help response: " + length_text(signatures) +
                      " signatures, error=" + text_of(error));
            py::dict response;
            response["type"] = "signature_help_response";
            response["signatures"] = signatures;
            response["activeSignature"] = result.attr("get")("activeSignature", 0);
            response["activeParameter"] = result.attr("get")("activeParameter", 0);
            add_routing(response, error, request);
            return response;
        });
    co_return py::none();
}

Coro handle_hover_request(py::object self, py::object message) {
    const PositionRequest request = read_position_request(message);
    log_debug("[LSP] Hover request: " + position_text(request));
    start(
        self, "get_hover", "hover_request", [request] { return position_kwargs(request); },
        [request](const py::object &result) {
            py::object contents = result.attr("get")("contents", py::none());
            py::object error = result.attr("get")("error", py::none());
            log_debug(std::string("[LSP] Hover response: has_contents=") + (contents.is_none() ? "False" : "True") +
                      ", error=" + text_of(error));
            py::dict response;
            response["type"] = "hover_response";
            response["contents"] = contents;
            add_routing(response, error, request);
            return response;
        });
    co_return py::none();
}

Coro handle_diagnostic_request(py::object self, py::object message) {
    py::object request_id = field(message, "request_id", py::none());
    py::object code = field(message, "code", py::str(""));
    py::object workbook_id = field(message, "workbook_id", py::none());
    py::object module_name = field(message, "module_name", py::none());
    log_debug("[LSP] Diagnostic request: code_length=" + length_text(code) + ", module=" + text_of(module_name));
    start(
        self, "get_diagnostics", "diagnostic_request",
        [code, module_name] {
            py::dict kwargs;
            kwargs["code"] = code;
            kwargs["module_name"] = module_name;
            return kwargs;
        },
        [request_id, workbook_id, module_name](const py::object &result) {
            py::object diagnostics = result.attr("get")("diagnostics", py::list());
            py::object error = result.attr("get")("error", py::none());
            log_debug("[LSP] Diagnostic response: " + length_text(diagnostics) +
                      " diagnostics, error=" + text_of(error));
            py::dict response;
            response["type"] = "diagnostic_response";
            response["diagnostics"] = diagnostics;
            response["error"] = error;
            response["request_id"] = request_id;
            response["workbook_id"] = workbook_id;
            response["module_name"] = module_name;
            return response;
        });
    co_return py::none();
}

}  // namespace

void add_language_request_methods(ClassBuilder &cls) {
    cls.attr("LANGUAGE_REQUEST_TIMEOUT", py::float_(DEFAULT_LANGUAGE_REQUEST_TIMEOUT));
    cls.def("_handle_completion_request", &handle_completion_request, py::arg("message"));
    cls.def("_handle_signature_help_request", &handle_signature_help_request, py::arg("message"));
    cls.def("_handle_hover_request", &handle_hover_request, py::arg("message"));
    cls.def("_handle_diagnostic_request", &handle_diagnostic_request, py::arg("message"));
}

}  // namespace tarnlet::kernel
