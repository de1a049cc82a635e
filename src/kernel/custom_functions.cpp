// "custom_function_call": a workbook function called as an Excel worksheet function
// (or from the IDE) runs on a worker with its output streamed, and is answered twice:
// once for the IDE ("execution_result" / "execution_error") and once for the caller
// ("function_execution_result").
#include "invocation_helpers.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

struct Call {
    py::object self;
    py::object module_name;
    py::object function_name;
    py::object args;
    py::object request_id;
    py::object workbook_id;
    py::object source;

    std::string qualified() const { return str_of(module_name) + "." + str_of(function_name); }
};

// The IDE's answer. `logs` is left out of the error-record form (a null handle).
py::dict ide_message(const Call &call, const char *type, bool success, const char *payload_key, py::object payload,
                     py::object logs) {
    py::dict message;
    message["type"] = type;
    message["success"] = success;
    message[payload_key] = std::move(payload);
    if (logs) {
        message["logs"] = std::move(logs);
    }
    message["request_id"] = call.request_id;
    message["module_name"] = call.module_name;
    message["function_name"] = call.function_name;
    message["workbook_id"] = call.workbook_id;
    message["source"] = call.source;
    return message;
}

py::dict caller_message(const Call &call, const char *status) {
    py::dict message;
    message["type"] = "function_execution_result";
    message["request_id"] = call.request_id;
    message["status"] = status;
    return message;
}

Coro send_error(Call call, py::object error_type, py::object error_message, py::object traceback_str) {
    const py::dict record = error_record(error_type, error_message, traceback_str);
    co_await call.self.attr("send_message")(ide_message(call, "execution_error", false, "error", record, {}));
    py::dict answer = caller_message(call, "error");
    answer["error"] = record;
    co_await call.self.attr("send_message")(answer);
    co_return py::none();
}

// A refusal before the worker starts; empty when the request can run.
std::string validation_error(const Call &call) {
    if (!py::bool_(call.module_name)) {
        return "Missing module_name";
    }
    if (!py::bool_(call.function_name)) {
        return "Missing function_name";
    }
    if (!is_str(call.module_name)) {
        return invalid_field_text("module_name", "a string", call.module_name);
    }
    if (!is_str(call.function_name)) {
        return invalid_field_text("function_name", "a string", call.function_name);
    }
    if (!is_json_scalar(call.request_id)) {
        return invalid_field_text("request_id", "a string, a number or null", call.request_id);
    }
    return {};
}

// execute_function: runs on a worker thread and returns the worker result.
py::dict execute_function(const Call &call, const py::object &loop) {
    if (debug_enabled()) {
        log_debug("[Kernel] [Worker Thread " + current_thread_name() +
                  "] Executing custom function: " + call.qualified());
    }
    CapturedOutput output(stream_callback("stdout", loop, call.self, call.request_id, call.workbook_id, call.source),
                          stream_callback("stderr", loop, call.self, call.request_id, call.workbook_id, call.source));
    py::object value;
    py::object wire;
    py::object failure;
    try {
        const std::string module_text = str_of(call.module_name);
        const py::object module = load_module(call.module_name);
        if (module.is_none()) {
            throw_python("execute_function", "ImportError",
                         "Module '" + module_text +
                             "' not found in sys.modules. Make sure the module has been synced via "
                             "update_module.");
        }
        const py::object func = function_of(module, call.function_name);
        if (!func) {
            throw_python("execute_function", "AttributeError",
                         "Function '" + str_of(call.function_name) + "' not found in module '" + module_text + "'");
        }
        const py::object args = call.self.attr("_deserialize_args")(call.args);
        value = func(*args);
        const py::object to_wire = module_global("tarnlet").attr("Serializer").attr("to_wire");
        if (py::bool_(module_global("inspect").attr("isgenerator")(value))) {
            py::list items;
            for (const py::handle item : value) {
                items.append(to_wire(item));
            }
            wire = items;
        } else {
            wire = to_wire(value);
        }
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
        result["result"] = py::none();
        result["logs"] = output.logs();
        result["error"] = traceback_text(failure);
        return result;
    }
    result["status"] = "success";
    result["result"] = wire;
    result["base_result"] = value;
    result["logs"] = output.logs();
    return result;
}

Coro answer(Call call, py::object result) {
    const py::object self = call.self;
    const py::object logs = get(result, "logs", py::str(""));
    if (py::bool_(get(result, "logs", py::none()))) {
        log_info("[Kernel] Function logs:\n" + str_of(logs));
    }
    if (py::object(result["status"]).equal(py::str("success"))) {
        const py::object wire = result["result"];
        if (!wire.is_none()) {
            py::dict output;
            output["type"] = "result_output";
            output["content"] = py::str("Out: ") + py::repr(result["base_result"]) + py::str("\n");
            output["request_id"] = call.request_id;
            output["workbook_id"] = call.workbook_id;
            output["source"] = call.source;
            co_await self.attr("send_message")(output);
        }
        co_await self.attr("send_message")(ide_message(call, "execution_result", true, "result", wire, logs));
        py::dict done = caller_message(call, "success");
        done["result"] = wire;
        done["logs"] = logs;
        co_await self.attr("send_message")(done);
        log_info("[Kernel] Custom function call succeeded: " + call.qualified());
    } else {
        const py::object error = get(result, "error", py::str("Unknown error"));
        co_await self.attr("send_message")(ide_message(call, "execution_error", false, "error", error, logs));
        py::dict failed = caller_message(call, "error");
        failed["logs"] = logs;
        failed["error"] = error;
        co_await self.attr("send_message")(failed);
        log_error("[Kernel] Custom function call failed: " + call.qualified());
    }
    co_return py::none();
}

Coro handle_custom_function_call(py::object self, py::object message) {
    Call call{self, py::str(""), py::str(""), py::list(), py::none(), py::none(), py::str("addin")};
    py::object failure;
    try {
        call.module_name = get(message, "module_name", py::str(""));
        call.function_name = get(message, "function_name", py::str(""));
        call.args = get(message, "args", py::list());
        call.request_id = get(message, "request_id", py::none());
        call.workbook_id = get(message, "workbook_id", py::none());
        call.source = get(message, "source", py::str("addin"));
        log_info("[Kernel] Received custom_function_call: " + call.qualified() + " (source=" + str_of(call.source) +
                 ", request_id=" + str_of(call.request_id) + ")");

        const std::string refusal = validation_error(call);
        if (!refusal.empty()) {
            co_await send_error(call, py::str("ValidationError"), py::str(refusal), py::str(""));
            co_return py::none();
        }
        if (debug_enabled()) {
            log_debug("[Kernel] [Async Task] Dispatching custom_function_call to worker: " + call.qualified());
        }
        const py::object loop = module_global("asyncio").attr("get_running_loop")();
        const py::object worker =
            py::cpp_function([call, loop]() { return execute_function(call, loop); }, py::name("execute_function"));
        const py::object result = co_await loop.attr("run_in_executor")(self.attr("_thread_pool"), worker);
        co_await answer(call, result);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = exception_of(e);
    }
    if (!failure) {
        co_return py::none();
    }
    log_error("[Kernel] Unexpected error in _handle_custom_function_call: " + str_of(failure));
    py::object send_failure;
    try {
        co_await send_error(call, py::type::handle_of(failure).attr("__name__"), py::str(failure),
                            traceback_text(failure));
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

}  // namespace

void add_custom_function_methods(ClassBuilder &cls) {
    cls.def("_handle_custom_function_call", &handle_custom_function_call, py::arg("message"));
}

}  // namespace tarnlet::kernel
