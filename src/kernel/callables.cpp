// "python_function_call": Excel calls back a Python callable that user code handed it
// (registered in tarnlet.messaging under an id). Also the argument decoding that every
// invocation path shares.
#include "invocation_helpers.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

struct Call {
    py::object self;
    py::object callable_id;
    py::object args;
    py::object request_id;
    py::object workbook_id;
};

py::dict result_message(bool success) {
    py::dict message;
    message["type"] = "python_function_result";
    message["success"] = success;
    return message;
}

void address(py::dict &message, const Call &call) {
    message["request_id"] = call.request_id;
    message["workbook_id"] = call.workbook_id;
}

Coro send_error(Call call, py::object error_type, py::object error_message, py::object traceback_str) {
    py::dict message = result_message(false);
    message["error"] = error_record(error_type, error_message, traceback_str);
    address(message, call);
    co_await call.self.attr("send_message")(message);
    co_return py::none();
}

std::string validation_error(const Call &call) {
    if (!py::bool_(call.callable_id)) {
        return "Missing callable_id";
    }
    if (!is_json_scalar(call.request_id)) {
        return invalid_field_text("request_id", "a string, a number or null", call.request_id);
    }
    return {};
}

// execute_callable: runs on a worker thread and returns the worker result. Output is
// addressed to the add-in, the only caller of registered callables.
py::dict execute_callable(const Call &call, const py::object &loop) {
    const std::string id_text = str_of(call.callable_id);
    if (debug_enabled()) {
        log_debug("[Kernel] [Worker Thread " + current_thread_name() + "] Executing callable: " + id_text);
    }
    const py::str source("addin");
    CapturedOutput output(stream_callback("stdout", loop, call.self, call.request_id, call.workbook_id, source),
                          stream_callback("stderr", loop, call.self, call.request_id, call.workbook_id, source));
    py::object value;
    py::object wire;
    py::object failure;
    try {
        const py::object func = module_global("tarnlet").attr("messaging").attr("get_callable")(call.callable_id);
        if (func.is_none()) {
            throw_python("execute_callable", "ValueError", "Callable '" + id_text + "' not found in registry");
        }
        if (PyCallable_Check(func.ptr()) == 0) {
            throw_python("execute_callable", "TypeError", "Object with id '" + id_text + "' is not callable");
        }
        const py::object args = call.self.attr("_deserialize_args")(call.args);
        value = func(*args);
        // A generator is not iterated here: its wire form is whatever to_wire makes of it.
        wire = module_global("tarnlet").attr("Serializer").attr("to_wire")(value);
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
    output.leave();
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
        log_info("[Kernel] Callable logs:\n" + str_of(logs));
    }
    if (py::object(result["status"]).equal(py::str("success"))) {
        const py::object wire = result["result"];
        if (!wire.is_none()) {
            // No `source`: the answer of a callable is the add-in's alone.
            py::dict output;
            output["type"] = "result_output";
            output["content"] = py::str("Out: ") + py::repr(result["base_result"]) + py::str("\n");
            output["request_id"] = call.request_id;
            output["workbook_id"] = call.workbook_id;
            co_await self.attr("send_message")(output);
        }
        py::dict message = result_message(true);
        message["result"] = wire;
        message["logs"] = logs;
        address(message, call);
        co_await self.attr("send_message")(message);
        log_info("[Kernel] Python function call succeeded: callable_id=" + str_of(call.callable_id));
    } else {
        py::dict message = result_message(false);
        message["error"] = get(result, "error", py::str("Unknown error"));
        message["logs"] = logs;
        address(message, call);
        co_await self.attr("send_message")(message);
        log_error("[Kernel] Python function call failed: callable_id=" + str_of(call.callable_id));
    }
    co_return py::none();
}

Coro handle_python_function_call(py::object self, py::object message) {
    Call call{self, py::str(""), py::list(), py::none(), py::none()};
    py::object failure;
    try {
        call.callable_id = get(message, "callable_id", py::str(""));
        call.args = get(message, "args", py::list());
        call.request_id = get(message, "request_id", py::none());
        call.workbook_id = get(message, "workbook_id", py::none());
        log_info("[Kernel] Received python_function_call: callable_id=" + str_of(call.callable_id) +
                 " (request_id=" + str_of(call.request_id) + ")");
        const std::string refusal = validation_error(call);
        if (!refusal.empty()) {
            co_await send_error(call, py::str("ValidationError"), py::str(refusal), py::str(""));
            co_return py::none();
        }
        if (debug_enabled()) {
            log_debug("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id=" +
                      str_of(call.callable_id));
        }
        const py::object loop = module_global("asyncio").attr("get_running_loop")();
        const py::object worker =
            py::cpp_function([call, loop]() { return execute_callable(call, loop); }, py::name("execute_callable"));
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
    log_error("[Kernel] Unexpected error in _handle_python_function_call: " + str_of(failure));
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

// Wire arguments to Python values, in order. None means no arguments; anything else
// but a list (or tuple) is refused here, so that it becomes the call's own failure.
py::list deserialize_args(py::object /*self*/, py::object args) {
    if (args.is_none()) {
        return py::list();
    }
    if (!PyList_Check(args.ptr()) && !PyTuple_Check(args.ptr())) {
        throw_python("_deserialize_args", "TypeError", "args must be a list, not " + type_name(args));
    }
    py::list values;
    if (py::len(args) == 0) {
        return values;
    }
    const py::object from_wire = module_global("tarnlet").attr("Serializer").attr("from_wire");
    for (const py::handle arg : args) {
        values.append(from_wire(arg));
    }
    return values;
}

}  // namespace

void add_callable_methods(ClassBuilder &cls) {
    cls.def("_handle_python_function_call", &handle_python_function_call, py::arg("message"));
    cls.def("_deserialize_args", &deserialize_args, py::arg("args"));
}

}  // namespace tarnlet::kernel
