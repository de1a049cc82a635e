// "custom_function_call": a workbook function called as an Excel worksheet function
// (or from the IDE) runs on a worker with its output streamed, and is answered twice:
// once for the IDE ("execution_result" / "execution_error") and once for the caller
// ("function_execution_result").
#include <memory>

#include "invocation.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

// The IDE's answer. `logs` is left out of the error-record form (a null handle).
py::dict ide_message(const Request &call, const char *type, bool success, const char *payload_key, py::object payload,
                     py::object logs) {
    py::dict message = reply_of(type);
    message[interned("success")] = success;
    message[payload_key] = std::move(payload);
    if (logs) {
        message[interned("logs")] = std::move(logs);
    }
    message[interned("request_id")] = call.request_id;
    message[interned("module_name")] = call.module_name;
    message[interned("function_name")] = call.function_name;
    message[interned("workbook_id")] = call.workbook_id;
    message[interned("source")] = call.source;
    return message;
}

py::dict caller_message(const Request &call, const char *status) {
    py::dict message = reply_of("function_execution_result");
    message[interned("request_id")] = call.request_id;
    message[interned("status")] = status;
    return message;
}

Coro send_error(Request call, py::dict record) {
    py::dict answer = caller_message(call, "error");
    answer[interned("error")] = record;
    py::list replies;
    replies.append(ide_message(call, "execution_error", false, "error", record, {}));
    replies.append(answer);
    co_return co_await send_all(call.self, replies);
}

// A refusal before the worker starts; empty when the request can run.
std::string validation_error(const Request &call) {
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

// execute_function: on a worker thread. A generator's items are drained into a list.
Outcome execute_function(const Request &call) {
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Worker Thread %s] Executing custom function: %s.%s", current_thread_name(),
             call.module_name, call.function_name);
    }
    return call_captured(call, [&](Outcome &outcome) {
        const py::object func =
            resolve_function(call, "execute_function",
                             "Module '" + text_of(call.module_name) +
                                 "' not found in sys.modules. Make sure the module has been synced via update_module.");
        outcome.value = func(*call_args(call));
        const py::object convert = to_wire();
        if (py::bool_(module_global("inspect").attr(interned("isgenerator"))(outcome.value))) {
            py::list items;
            for (const py::handle item : outcome.value) {
                items.append(convert(item));
            }
            outcome.wire = items;
        } else {
            outcome.wire = convert(outcome.value);
        }
    });
}

Coro answer(Request call, std::shared_ptr<Outcome> result) {
    const py::object self = call.self;
    const Outcome &outcome = *result;
    if (py::bool_(outcome.logs)) {
        logf(Level::info, "[Kernel] Function logs:\n%s", outcome.logs);
    }
    py::list replies;
    if (!outcome.ok()) {
        const py::object error = traceback_text(outcome.failure);
        replies.append(ide_message(call, "execution_error", false, "error", error, outcome.logs));
        py::dict failed = caller_message(call, "error");
        failed[interned("logs")] = outcome.logs;
        failed[interned("error")] = error;
        replies.append(failed);
        co_await send_all(self, replies);
        logf(Level::error, "[Kernel] Custom function call failed: %s.%s", call.module_name, call.function_name);
        co_return py::none();
    }
    const py::object wire = outcome.wire;
    if (!wire.is_none()) {
        py::dict output = reply_of("result_output");
        output[interned("content")] = py::str("Out: ") + repr_or_stand_in(outcome.value) + py::str("\n");
        output[interned("request_id")] = call.request_id;
        output[interned("workbook_id")] = call.workbook_id;
        output[interned("source")] = call.source;
        replies.append(output);
    }
    replies.append(ide_message(call, "execution_result", true, "result", wire, outcome.logs));
    py::dict done = caller_message(call, "success");
    done[interned("result")] = wire;
    done[interned("logs")] = outcome.logs;
    replies.append(done);
    co_await send_all(self, replies);
    logf(Level::info, "[Kernel] Custom function call succeeded: %s.%s", call.module_name, call.function_name);
    co_return py::none();
}

Coro serve(std::shared_ptr<Request> call, py::object message) {
    call->module_name = field(message, "module_name", py::str(""));
    call->function_name = field(message, "function_name", py::str(""));
    call->args = field(message, "args", py::list());
    call->request_id = field(message, "request_id", py::none());
    call->workbook_id = field(message, "workbook_id", py::none());
    call->source = field(message, "source", py::str("addin"));
    logf(Level::info, "[Kernel] Received custom_function_call: %s.%s (source=%s, request_id=%s)", call->module_name,
         call->function_name, call->source, call->request_id);
    const std::string refusal = validation_error(*call);
    if (!refusal.empty()) {
        co_return co_await send_error(*call, validation_record(refusal));
    }
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Async Task] Dispatching custom_function_call to worker: %s.%s", call->module_name,
             call->function_name);
    }
    const auto outcome = std::make_shared<Outcome>();
    co_await start_on_worker(*call, execute_function, outcome);
    co_return co_await answer(*call, outcome);
}

const Kind kind{"_handle_custom_function_call", serve, send_error};

Coro handle_custom_function_call(py::object self, py::object message) { return handle_request(kind, self, message); }

}  // namespace

void add_custom_function_methods(ClassBuilder &cls) {
    cls.def("_handle_custom_function_call", &handle_custom_function_call, py::arg("message"));
}

}  // namespace tarnlet::kernel
