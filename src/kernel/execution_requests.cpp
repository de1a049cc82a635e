// "execution_request" and "run_module": console code from the IDE runs on the worker
// pool with its output streamed as it is written; a module run becomes a debug run or
// an ordinary custom function call.
#include "errors.hpp"
#include "kernel.hpp"

namespace tarnlet::kernel {
namespace {

double now() { return py::module_::import("time").attr("time")().cast<double>(); }

std::string elapsed_ms(double start) { return format_1f((now() - start) * 1000.0); }

// The per-request stdout_callback / stderr_callback: runs on the worker thread and
// hands each write to the loop without waiting, so printing never blocks user code.
py::object stream_callback(const std::string &stream, py::object loop, py::object self, py::object request_id,
                           py::object source) {
    const std::string name = stream + "_callback";
    return py::cpp_function(
        [stream, loop, self, request_id, source](py::object text) {
            try {
                py::dict message;
                message["type"] = stream;
                message["content"] = text;
                message["request_id"] = request_id;
                message["workbook_id"] = self.attr("workbook_id");
                message["source"] = source;
                py::module_::import("asyncio").attr("run_coroutine_threadsafe")(self.attr("send_message")(message),
                                                                                 loop);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) {
                    throw;
                }
                log_debug("[Kernel] " + stream + " streaming error: " + str_of(exception_object(e)));
            }
        },
        py::name(name.c_str()), py::arg("text"));
}

py::dict execution_message(const char *type, bool success, const char *payload_key, py::object payload,
                           const py::object &request_id, const py::object &function_name, const py::object &self,
                           const py::object &source) {
    py::dict message;
    message["type"] = type;
    message["success"] = success;
    message[payload_key] = std::move(payload);
    message["request_id"] = request_id;
    message["function_name"] = function_name;
    message["workbook_id"] = self.attr("workbook_id");
    message["source"] = source;
    return message;
}

Coro execute_code_async(py::object self, py::object code, py::object request_id, py::object function_name,
                        py::object source) {
    const double start = now();
    const std::string rid = str_of(request_id);
    log_debug("[TIMING] Execution started: request_id=" + rid + ", function=" + str_of(function_name));
    py::object failure;
    try {
        log_debug("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=" + rid + ")");
        const py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
        const py::object on_stdout = stream_callback("stdout", loop, self, request_id, source);
        const py::object on_stderr = stream_callback("stderr", loop, self, request_id, source);
        const py::object execute_with_callbacks = py::cpp_function(
            [self, code, rid, on_stdout, on_stderr]() {
                const std::string thread =
                    str_of(py::module_::import("threading").attr("current_thread")().attr("name"));
                log_debug("[Kernel] [Worker Thread " + thread + "] Executing code (request_id=" + rid + ")");
                py::object result = self.attr("executor").attr("execute")(code, py::arg("stdout_callback") = on_stdout,
                                                                          py::arg("stderr_callback") = on_stderr);
                log_debug("[Kernel] [Worker Thread " + thread + "] Execution completed (request_id=" + rid + ")");
                return result;
            },
            py::name("execute_with_callbacks"));

        const py::object result = co_await loop.attr("run_in_executor")(self.attr("_thread_pool"), execute_with_callbacks);

        const py::object success = result[py::str("success")];
        log_debug("[TIMING] Execution completed: request_id=" + rid + ", elapsed=" + elapsed_ms(start) + "ms");
        log_debug("[Kernel] [Async Task] Execution finished, success=" + str_of(success) + " (request_id=" + rid + ")");
        if (py::bool_(success)) {
            log_info("[Kernel] Sending execution_result (success) for request_id=" + rid);
            const py::object value = result[py::str("result")];
            if (!value.is_none()) {
                py::dict output;
                output["type"] = "result_output";
                output["content"] = py::str("Out: ") + py::repr(value) + py::str("\n");
                output["request_id"] = request_id;
                output["workbook_id"] = self.attr("workbook_id");
                output["source"] = source;
                co_await self.attr("send_message")(output);
            }
            // A labelled run gives the value itself; a console run gives its repr.
            const bool labelled = PyUnicode_Check(function_name.ptr()) && py::len(function_name) > 0;
            py::object shown = labelled || value.is_none() ? value : py::object(py::repr(value));
            co_await self.attr("send_message")(
                execution_message("execution_result", true, "result", shown, request_id, function_name, self, source));
        } else {
            const py::object error = result[py::str("error")];
            log_info("[Kernel] Sending execution_error for request_id=" + rid + ": " + str_of(error));
            co_await self.attr("send_message")(
                execution_message("execution_error", false, "error", error, request_id, function_name, self, source));
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        failure = exception_object(e);
    } catch (const std::exception &e) {
        failure = runtime_error_object(e.what());
    }
    if (!failure) {
        co_return py::none();
    }

    const std::string text = str_of(failure);
    log_error("[TIMING] Execution failed: request_id=" + rid + ", elapsed=" + elapsed_ms(start) + "ms, error=" + text);
    log_error("[Kernel] Unexpected error in _execute_code_async: " + text);
    py::object send_failure;
    try {
        py::dict message;
        message["type"] = "execution_error";
        message["success"] = false;
        message["error"] = error_dict(failure);
        message["request_id"] = request_id;
        message["source"] = source;
        co_await self.attr("send_message")(message);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        send_failure = exception_object(e);
    }
    if (send_failure) {
        log_error("[Kernel] Failed to send error message: " + str_of(send_failure));
    }
    co_return py::none();
}

Coro handle_run_module(py::object self, py::object message) {
    const py::object get = message.attr("get");
    const py::object workbook_id = get("workbook_id", "");
    const py::object module_name = get("module_name", "");
    const py::object function_name = get("function_name", "");
    const py::object args = get("args", py::list());
    const py::object debug = get("debug", false);
    const py::object breakpoints = get("breakpoints", py::list());
    const py::object request_id = get("request_id", py::none());
    const py::object source = get("source", "ide");
    log_info("[Kernel] Received run_module: " + str_of(module_name) + "." + str_of(function_name) +
             " (workbook_id=" + str_of(workbook_id) + ", debug=" + str_of(debug) + ", source=" + str_of(source) +
             ", request_id=" + str_of(request_id) + ")");
    if (py::bool_(debug)) {
        co_await self.attr("_handle_debug_run_module")(module_name, function_name, args, breakpoints, request_id,
                                                       workbook_id, source);
        co_return py::none();
    }
    py::dict call;
    call["type"] = "custom_function_call";
    call["module_name"] = module_name;
    call["function_name"] = function_name;
    call["args"] = args;
    call["request_id"] = request_id;
    call["workbook_id"] = workbook_id;
    call["source"] = source;
    co_await self.attr("_handle_custom_function_call")(call);
    co_return py::none();
}

}  // namespace

void add_execution_methods(ClassBuilder &cls) {
    cls.def("_execute_code_async", &execute_code_async, py::arg("code"), py::arg("request_id"),
            py::arg("function_name") = py::none(), py::arg("source") = "ide");
    cls.def("_handle_run_module", &handle_run_module, py::arg("message"));
}

}  // namespace tarnlet::kernel
