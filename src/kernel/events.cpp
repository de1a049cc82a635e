// "event_execution": a workbook function bound to an event of an Excel object runs on a
// worker and reports one "event_execution_result". An event raised through the COM
// event registrar also gets its outcome handed back to the registrar, whose COM thread
// waits for it. set_enable_events lets user code switch the add-in's event handling.
#include "invocation_helpers.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

struct Event {
    py::object self;
    py::object module_name;
    py::object function_name;
    py::object request_id;
    py::object workbook_id;
    py::object args;

    std::string qualified() const { return str_of(module_name) + "." + str_of(function_name); }
};

py::dict result_message(const Event &event, const char *status, py::object logs, py::object error) {
    py::dict message;
    message["type"] = "event_execution_result";
    message["status"] = status;
    message["logs"] = std::move(logs);
    message["error"] = std::move(error);
    message["request_id"] = event.request_id;
    message["module_name"] = event.module_name;
    message["function_name"] = event.function_name;
    message["workbook_id"] = event.workbook_id;
    return message;
}

py::dict com_response(bool ok, const py::object &return_value = py::none()) {
    py::dict response;
    response["status"] = ok ? "ok" : "nok";
    if (ok) {
        response["return_value"] = return_value;
    }
    return response;
}

void deliver(const py::object &registrar, const py::object &request_id, const py::dict &response) {
    registrar.attr("deliver_com_response")(request_id, response);
}

// A last "nok" for the COM thread; a registrar that fails even so only costs a log line.
void deliver_nok_quietly(const py::object &registrar, const py::object &request_id) {
    try {
        deliver(registrar, request_id, com_response(false));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        log_error("[Kernel] Error delivering COM event response: " + str_of(exception_of(e)));
    }
}

// execute_event: runs on a worker thread and returns the worker result.
py::dict execute_event(const Event &event, const py::object &loop) {
    if (debug_enabled()) {
        log_debug("[Kernel] [Worker Thread " + current_thread_name() +
                  "] Executing event handler: " + event.qualified());
    }
    const py::str source("addin");
    CapturedOutput output(stream_callback("stdout", loop, event.self, event.request_id, event.workbook_id, source),
                          stream_callback("stderr", loop, event.self, event.request_id, event.workbook_id, source));
    py::object return_value;
    py::object failure;
    try {
        // Each {name, value} item goes whole to from_wire.
        const py::object handler_args = event.self.attr("_deserialize_args")(event.args);
        const std::string module_text = str_of(event.module_name);
        const py::object module = load_module(event.module_name);
        if (module.is_none()) {
            throw_python("execute_event", "ImportError", "Module '" + module_text + "' not found in sys.modules");
        }
        const py::object func = function_of(module, event.function_name);
        if (!func) {
            throw_python("execute_event", "AttributeError",
                         "Function '" + str_of(event.function_name) + "' not found in module '" + module_text + "'");
        }
        return_value = func(*handler_args);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = exception_of(e);
    }
    py::dict result;
    if (failure) {
        output.print_exception(failure);
        result["status"] = "error";
        result["logs"] = output.logs();
        result["error"] = traceback_text(failure);
        return result;
    }
    result["status"] = "success";
    result["logs"] = output.logs();
    result["error"] = py::none();
    result["return_value"] = return_value;
    return result;
}

Coro handle_event_execution(py::object self, py::object message) {
    Event event{self,
                get(message, "module_name", py::str("")),
                get(message, "function_name", py::str("")),
                get(message, "request_id", py::none()),
                get(message, "workbook_id", self.attr("workbook_id")),
                py::list()};
    const bool is_com = py::bool_(get(message, "is_com", py::bool_(false)));
    if (!py::bool_(event.module_name) || !py::bool_(event.function_name)) {
        log_error("[Kernel] event_execution missing module_name or function_name");
        co_return py::none();
    }

    py::object failure;
    try {
        event.args = get(message, "args", py::list());
        const py::object object_name = get(message, "object_name", py::str(""));
        const py::object event_type = get(message, "event_type", py::str(""));
        const py::object object_type = get(message, "object_type", py::str(""));
        log_info("[Kernel] [Async Task] Received event_execution: " + event.qualified() +
                 " (object=" + str_of(object_type) + "/" + str_of(object_name) + ", event=" + str_of(event_type) + ")");
        if (!is_json_scalar(event.request_id)) {
            throw_python("_handle_event_execution", "TypeError",
                         invalid_field_text("request_id", "a string, a number or null", event.request_id));
        }
        if (debug_enabled()) {
            log_debug("[Kernel] [Async Task] Dispatching event_execution to worker: " + event.qualified());
        }
        const py::object loop = module_global("asyncio").attr("get_running_loop")();
        const py::object worker =
            py::cpp_function([event, loop]() { return execute_event(event, loop); }, py::name("execute_event"));
        const py::object result = co_await loop.attr("run_in_executor")(self.attr("_thread_pool"), worker);

        const py::object logs = get(result, "logs", py::str(""));
        if (py::bool_(get(result, "logs", py::none()))) {
            log_info("[Kernel] Event handler logs:\n" + str_of(logs));
        }
        const bool success = py::object(result["status"]).equal(py::str("success"));
        const py::object registrar = self.attr("_com_event_registrar");
        if (is_com && py::bool_(registrar)) {
            try {
                deliver(registrar, event.request_id,
                        success ? com_response(true, get(result, "return_value", py::none())) : com_response(false));
            } catch (py::error_already_set &e) {
                if (!is_ordinary(e)) {
                    throw;
                }
                log_error("[Kernel] Error delivering COM event response: " + str_of(exception_of(e)));
                deliver(registrar, event.request_id, com_response(false));
            }
        }
        if (success) {
            log_info("[Kernel] Event handler executed successfully: " + event.qualified());
            co_await self.attr("send_message")(result_message(event, "success", logs, py::none()));
        } else {
            const py::object error = get(result, "error", py::str("Unknown error"));
            log_error("[Kernel] Event handler failed: " + event.qualified());
            co_await self.attr("send_message")(result_message(event, "error", logs, error));
        }
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = exception_of(e);
    }
    if (!failure) {
        co_return py::none();
    }
    log_error("[Kernel] Unexpected error in _handle_event_execution: " + str_of(failure));
    const py::object registrar = self.attr("_com_event_registrar");
    if (is_com && py::bool_(registrar)) {
        deliver_nok_quietly(registrar, event.request_id);
    }
    py::object send_failure;
    try {
        co_await self.attr("send_message")(result_message(event, "error", py::str(""), traceback_text(failure)));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        send_failure = exception_of(e);
    }
    if (send_failure) {
        log_error("[Kernel] Failed to send error message: " + str_of(send_failure));
    }
    co_return py::none();
}

void set_enable_events(py::object self, py::object enable) {
    py::dict message;
    message["type"] = "set_enable_events";
    message["enable"] = enable;
    message["workbook_id"] = self.attr("workbook_id");
    schedule_send_quietly(self, message);
    log_debug(std::string("[Kernel] Set enable_events: ") + (py::bool_(enable) ? "True" : "False"));
}

}  // namespace

void add_event_methods(ClassBuilder &cls) {
    cls.def("_handle_event_execution", &handle_event_execution, py::arg("message"));
    cls.def("set_enable_events", &set_enable_events, py::arg("enable"));
}

}  // namespace tarnlet::kernel
