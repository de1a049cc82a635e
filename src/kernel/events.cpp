// "event_execution": a workbook function bound to an event of an Excel object runs on a
// worker and reports one "event_execution_result". An event raised through the COM
// event registrar also gets its outcome handed back to the registrar, whose COM thread
// waits for it. set_enable_events lets user code switch the add-in's event handling.
#include <memory>

#include "invocation.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

py::dict result_message(const Request &event, const char *status, py::object logs, py::object error) {
    py::dict message = reply_of("event_execution_result");
    message[interned("status")] = status;
    message[interned("logs")] = std::move(logs);
    message[interned("error")] = std::move(error);
    message[interned("request_id")] = event.request_id;
    message[interned("module_name")] = event.module_name;
    message[interned("function_name")] = event.function_name;
    message[interned("workbook_id")] = event.workbook_id;
    return message;
}

py::dict com_response(bool ok, const py::object &return_value = py::none()) {
    py::dict response;
    response[interned("status")] = ok ? "ok" : "nok";
    if (ok) {
        response[interned("return_value")] = return_value;
    }
    return response;
}

// The registrar of a COM-raised event, or None when no COM thread waits for an answer.
py::object waiting_registrar(const Request &event, bool is_com) {
    const py::object registrar = event.self.attr(interned("_com_event_registrar"));
    return is_com && py::bool_(registrar) ? registrar : py::none();
}

void deliver(const py::object &registrar, const py::object &request_id, const py::dict &response) {
    registrar.attr(interned("deliver_com_response"))(request_id, response);
}

// A last "nok" for the COM thread; a registrar that fails even so only costs a log line.
void deliver_nok_quietly(const py::object &registrar, const py::object &request_id) {
    try {
        deliver(registrar, request_id, com_response(false));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        logf(Level::error, "[Kernel] Error delivering COM event response: %s", error_text(e));
    }
}

// execute_event: on a worker thread.
Outcome execute_event(const Request &event) {
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Worker Thread %s] Executing event handler: %s", current_thread_name(),
             event.qualified());
    }
    return call_captured(event, [&](Outcome &outcome) {
        // Each {name, value} item goes whole to from_wire.
        const py::object handler_args = call_args(event);
        const py::object func = resolve_function(
            event, "execute_event", "Module '" + text_of(event.module_name) + "' not found in sys.modules");
        outcome.value = func(*handler_args);
    });
}

Coro answer(Request event, std::shared_ptr<Outcome> outcome, bool is_com) {
    if (py::bool_(outcome->logs)) {
        logf(Level::info, "[Kernel] Event handler logs:\n%s", outcome->logs);
    }
    const py::object error = outcome->ok() ? py::none() : traceback_text(outcome->failure);
    const py::object registrar = waiting_registrar(event, is_com);
    if (!registrar.is_none()) {
        try {
            deliver(registrar, event.request_id,
                    outcome->ok() ? com_response(true, outcome->value) : com_response(false));
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
            logf(Level::error, "[Kernel] Error delivering COM event response: %s", error_text(e));
            deliver(registrar, event.request_id, com_response(false));
        }
    }
    if (outcome->ok()) {
        logf(Level::info, "[Kernel] Event handler executed successfully: %s", event.qualified());
        co_return co_await send(event.self, result_message(event, "success", outcome->logs, py::none()));
    }
    logf(Level::error, "[Kernel] Event handler failed: %s", event.qualified());
    co_return co_await send(event.self, result_message(event, "error", outcome->logs, error));
}

Coro serve(std::shared_ptr<Request> event, py::object message, bool is_com) {
    event->args = field(message, "args", py::list());
    logf(Level::info, "[Kernel] [Async Task] Received event_execution: %s (object=%s/%s, event=%s)", event->qualified(),
         field(message, "object_type", py::str("")), field(message, "object_name", py::str("")),
         field(message, "event_type", py::str("")));
    if (!is_json_scalar(event->request_id)) {
        raise_error_in("_handle_event_execution", PyExc_TypeError,
                       invalid_field_text("request_id", "a string, a number or null", event->request_id));
    }
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Async Task] Dispatching event_execution to worker: %s", event->qualified());
    }
    const auto outcome = std::make_shared<Outcome>();
    co_await start_on_worker(*event, execute_event, outcome);
    co_return co_await answer(*event, outcome, is_com);
}

Coro fail(std::shared_ptr<Request> event, py::object failure, bool is_com) {
    logf(Level::error, "[Kernel] Unexpected error in _handle_event_execution: %s", failure);
    const py::object registrar = waiting_registrar(*event, is_com);
    if (!registrar.is_none()) {
        deliver_nok_quietly(registrar, event->request_id);
    }
    co_return co_await send(event->self, result_message(*event, "error", py::str(""), traceback_text(failure)));
}

Coro handle_event_execution(py::object self, py::object message) {
    auto event = std::make_shared<Request>(Request{self});
    event->module_name = field(message, "module_name", py::str(""));
    event->function_name = field(message, "function_name", py::str(""));
    event->request_id = field(message, "request_id", py::none());
    event->workbook_id = field(message, "workbook_id", self.attr(interned("workbook_id")));
    const bool is_com = py::bool_(field(message, "is_com", py::bool_(false)));
    if (!py::bool_(event->module_name) || !py::bool_(event->function_name)) {
        log_error("[Kernel] event_execution missing module_name or function_name");
        co_return py::none();
    }
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = serve(event, message, is_com).to_python();
    const py::object on_failure =
        py::cpp_function([event, is_com](py::object failure) { return fail(event, failure, is_com); });
    co_return co_await guarded(serving, on_failure);
}

void set_enable_events(py::object self, py::object enable) {
    py::dict message = reply_of("set_enable_events");
    message[interned("enable")] = enable;
    message[interned("workbook_id")] = self.attr(interned("workbook_id"));
    schedule_send_quietly(self, message);
    log_debug(std::string("[Kernel] Set enable_events: ") + (py::bool_(enable) ? "True" : "False"));
}

}  // namespace

void add_event_methods(ClassBuilder &cls) {
    cls.def("_handle_event_execution", &handle_event_execution, py::arg("message"));
    cls.def("set_enable_events", &set_enable_events, py::arg("enable"));
}

}  // namespace tarnlet::kernel
