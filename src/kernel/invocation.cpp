#include "invocation.hpp"

#include <set>
#include <string_view>

#include "interrupts.hpp"
#include "streams.hpp"

namespace tarnlet::kernel::invocation {

std::string Request::qualified() const { return text_of(module_name) + "." + text_of(function_name); }

py::object traceback_text(const py::handle &exception) { return module_global("extract_tracebak_string")(exception); }

py::dict error_record(py::object type, py::object message, py::object traceback) {
    py::dict record;
    record["type"] = std::move(type);
    record["message"] = std::move(message);
    record["traceback"] = std::move(traceback);
    return record;
}

py::dict error_record_of(const py::handle &exception) {
    return error_record(py::type::handle_of(exception).attr("__name__"), py::str(exception), traceback_text(exception));
}

py::dict validation_record(const std::string &text) {
    return error_record(py::str("ValidationError"), py::str(text), py::str(""));
}

bool is_dotted_identifier(const py::handle &name) {
    // keyword.kwlist: the names `import` refuses even though they are identifiers.
    static const std::set<std::string, std::less<>> keywords = {
        "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
        "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
        "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};
    if (!is_str(name)) {
        return false;
    }
    const py::list parts = py::reinterpret_steal<py::list>(PyUnicode_Split(name.ptr(), py::str(".").ptr(), -1));
    if (!parts) {
        throw py::error_already_set();
    }
    for (const py::handle part : parts) {
        if (PyUnicode_IsIdentifier(part.ptr()) != 1) {
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(part.ptr(), &size);
        if (text == nullptr) {
            throw py::error_already_set();
        }
        if (keywords.count(std::string_view(text, static_cast<size_t>(size))) != 0) {
            return false;
        }
    }
    return true;
}

py::object load_module(const py::object &name) {
    if (!is_dotted_identifier(name)) {
        return py::none();
    }
    module_global("importlib").attr("import_module")(name);
    return module_global("sys").attr("modules").attr("get")(name);
}

py::object function_of(const py::object &module, const py::object &name) {
    if (!is_str(name)) {
        return py::object();
    }
    PyObject *value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value == nullptr) {
        // hasattr's rule: only AttributeError means "missing".
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return py::object();
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object resolve_function(const Request &request, const char *where, const std::string &module_missing) {
    const py::object module = load_module(request.module_name);
    if (module.is_none()) {
        raise_error_in(where, PyExc_ImportError, module_missing);
    }
    py::object func = function_of(module, request.function_name);
    if (!func) {
        raise_error_in(where, PyExc_AttributeError,
                       "Function '" + text_of(request.function_name) + "' not found in module '" +
                           text_of(request.module_name) + "'");
    }
    return func;
}

py::object call_args(const Request &request) { return request.self.attr("_deserialize_args")(request.args); }

py::object to_wire() { return module_global("tarnlet").attr("Serializer").attr("to_wire"); }

Outcome call_captured(const Request &request, const std::function<void(Outcome &)> &body, bool echo) {
    const output::RequestScope streamed(
        output::Target{request.self, request.loop, request.request_id, request.workbook_id, request.source});
    output::Capture capture;
    capture.to_request(output::out);
    capture.to_request(output::err);
    Outcome outcome;
    {
        const output::CaptureScope captured(capture);
        try {
            InterruptibleRun running(request.self, request.request_id);
            body(outcome);
            outcome.failure = running.end();
        } catch (py::error_already_set &e) {
            // Any BaseException from user code (SystemExit, KeyboardInterrupt, ...) is this
            // call's failure: on a worker thread nothing of the kernel's own can be raised here,
            // and letting it through would end the kernel or leave the request unanswered.
            outcome.failure = exception_of(e);
        }
    }
    if (outcome.failure && echo) {
        // What traceback.print_exception writes, into this call's stderr (and so streamed).
        const py::object exception = outcome.failure;
        const py::object lines =
            module_global("traceback")
                .attr("format_exception")(py::type::handle_of(exception), exception, exception.attr("__traceback__"));
        capture.write(output::err, py::str("").attr("join")(lines));
    }
    outcome.logs = capture.text(output::out) + capture.text(output::err);
    return outcome;
}

py::object start_on_worker(Request &request, const char *name, Outcome (*execute)(const Request &),
                           std::shared_ptr<Outcome> outcome) {
    request.loop = module_global("asyncio").attr("get_running_loop")();
    return run_on_worker(request,
                         worker_function(name, [request, execute, outcome]() { *outcome = execute(request); }));
}

py::object run_on_worker(const Request &request, const py::object &worker) {
    return request.loop.attr("run_in_executor")(request.self.attr("_thread_pool"), worker);
}

Coro guarded(py::object serve, py::object fail) {
    const Attempted served = co_await attempt(serve);
    if (served.ok()) {
        co_return py::none();
    }
    const Attempted answered = co_await attempt(fail(served.failure));
    if (!answered.ok()) {
        logf(Level::error, "[Kernel] Failed to send error message: %s", answered.failure);
    }
    co_return py::none();
}

namespace {
Coro answer_failure(const Kind *kind, std::shared_ptr<Request> request, py::object failure) {
    logf(Level::error, "[Kernel] Unexpected error in %s: %s", kind->method, failure);
    co_return co_await kind->send_error(*request, error_record_of(failure));
}
}  // namespace

Coro handle_request(const Kind &kind, py::object self, py::object message) {
    auto request = std::make_shared<Request>(Request{self});
    const Kind *described = &kind;
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = kind.serve(request, message).to_python();
    const py::object on_failure = py::cpp_function(
        [described, request](py::object failure) { return answer_failure(described, request, failure); });
    co_return co_await guarded(serving, on_failure);
}

AtExit::~AtExit() {
    try {
        cleanup_();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("cleaning up a request");
    }
}

}  // namespace tarnlet::kernel::invocation
