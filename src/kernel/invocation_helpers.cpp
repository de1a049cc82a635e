#include "invocation_helpers.hpp"

#include <set>
#include <stdexcept>
#include <string_view>

namespace tarnlet::kernel::invocation {

py::object get(const py::handle &message, const char *key, py::object fallback) {
    return message.attr("get")(key, std::move(fallback));
}

bool is_str(const py::handle &value) { return PyUnicode_Check(value.ptr()) != 0; }

bool is_json_scalar(const py::handle &value) {
    PyObject *p = value.ptr();
    return p == Py_None || PyUnicode_Check(p) || PyLong_Check(p) || PyFloat_Check(p);  // bool is an int
}

std::string type_name(const py::handle &value) { return str_of(py::type::handle_of(value).attr("__name__")); }

std::string current_thread_name() { return str_of(module_global("threading").attr("current_thread")().attr("name")); }

bool debug_enabled() {
    try {
        return py::bool_(module_global("logger").attr("isEnabledFor")(10));
    } catch (py::error_already_set &) {
        return true;  // let log() report whatever is wrong with the logger
    }
}

std::string invalid_field_text(const char *field, const char *expected, const py::handle &value) {
    return std::string("Invalid ") + field + ": expected " + expected + ", got " + type_name(value);
}

bool is_ordinary(const py::error_already_set &error) { return error.matches(PyExc_Exception); }

py::object exception_of(const py::error_already_set &error) {
    py::object value = error.value();
    if (error.trace()) {
        PyException_SetTraceback(value.ptr(), error.trace().ptr());
    }
    return value;
}

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

void throw_python(const char *where, const char *name, const std::string &text) {
    const py::object builtins = py::module_::import("builtins");
    const py::object error = builtins.attr(name)(text);
    // Only on failure paths, so compiling the one-line raiser each time costs nothing that matters.
    const std::string source = std::string("def ") + where + "(error):\n    raise error\n";
    py::dict scope;
    builtins.attr("exec")(builtins.attr("compile")(source, "<kernel>", "exec"), scope);
    scope[where](error);
    throw std::logic_error("raiser returned");  // unreachable: the call above raises
}

py::object schedule_send(const py::object &self, const py::object &loop, const py::object &message) {
    return module_global("asyncio").attr("run_coroutine_threadsafe")(self.attr("send_message")(message), loop);
}

void schedule_send_quietly(const py::object &self, const py::object &message) {
    const std::string type = str_of(get(message, "type", py::str("unknown")));
    const py::object loop = self.attr("_loop");
    if (loop.is_none() || py::bool_(loop.attr("is_closed")())) {
        log_debug("[Kernel] Cannot send message type '" + type + "': event loop not available");
        return;
    }
    py::object coro = self.attr("send_message")(message);
    try {
        module_global("asyncio").attr("run_coroutine_threadsafe")(coro, loop);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        // The loop closed between the check and the call: the coroutine never runs.
        if (py::hasattr(coro, "close")) {
            coro.attr("close")();
        }
        log_debug("[Kernel] Cannot send message type '" + type + "': " + str_of(exception_of(e)));
    }
}

py::object stream_callback(const char *stream, py::object loop, py::object self, py::object request_id,
                           py::object workbook_id, py::object source) {
    const std::string name = std::string(stream) + "_callback";
    return py::cpp_function(
        [stream = std::string(stream), loop, self, request_id, workbook_id, source](py::object text) {
            try {
                py::dict message;
                message["type"] = stream;
                message["content"] = text;
                message["request_id"] = request_id;
                message["workbook_id"] = workbook_id;
                message["source"] = source;
                schedule_send(self, loop, message);
            } catch (py::error_already_set &e) {
                if (!is_ordinary(e)) {
                    throw;
                }
                log_debug("[Kernel] " + stream + " streaming error: " + str_of(exception_of(e)));
            }
        },
        py::name(name.c_str()), py::arg("text"));
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

CapturedOutput::CapturedOutput(py::object on_stdout, py::object on_stderr) {
    const py::object capture = module_global("StreamCapture");
    out_ = capture(py::arg("on_write") = std::move(on_stdout));
    err_ = capture(py::arg("on_write") = std::move(on_stderr));
    // What contextlib.redirect_stdout and redirect_stderr do on entry, without their
    // Python-level machinery on every call: remember the current stream, put ours in.
    const py::object sys = module_global("sys");
    saved_out_ = sys.attr("stdout");
    sys.attr("stdout") = out_;
    entered_ = 1;
    saved_err_ = sys.attr("stderr");
    sys.attr("stderr") = err_;
    entered_ = 2;
}

CapturedOutput::~CapturedOutput() {
    try {
        leave();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("restoring sys.stdout and sys.stderr");
    }
}

void CapturedOutput::leave() {
    if (entered_ == 0) {
        return;
    }
    const py::object sys = module_global("sys");
    if (entered_ == 2) {
        entered_ = 1;
        sys.attr("stderr") = saved_err_;
    }
    entered_ = 0;
    sys.attr("stdout") = saved_out_;
}

py::object CapturedOutput::logs() const { return out_.attr("getvalue")() + err_.attr("getvalue")(); }

void CapturedOutput::print_exception(const py::handle &exception) const {
    module_global("traceback")
        .attr("print_exception")(py::type::handle_of(exception), exception, exception.attr("__traceback__"),
                                 py::arg("file") = err_);
}

}  // namespace tarnlet::kernel::invocation
