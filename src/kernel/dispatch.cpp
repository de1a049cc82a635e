// handle_message: the one entry for every incoming message. Housekeeping is answered
// here; anything that runs user code is started as a task, so the listener keeps
// reading (a blocked worker waits for a "sys_response" that only the listener receives).
#include <string>

#include "dispatch_branches.hpp"
#include "kernel_helpers.hpp"
#include "sync_requests.hpp"

namespace tarnlet::kernel {

py::dict field_error(const py::handle &message, const char *msg_type, const char *field_name, const char *expected,
                     const py::handle &value) {
    py::dict reply;
    reply["type"] = "error";
    reply["message"] = "Invalid field '" + std::string(field_name) + "' in " + msg_type + ": expected " + expected +
                       ", got " + type_name(value);
    if (message.contains("request_id")) {
        reply["request_id"] = message["request_id"];
    }
    return reply;
}

bool is_str_list(const py::handle &value) {
    if (!is_list(value)) {
        return false;
    }
    for (py::handle item : value) {
        if (!is_str(item)) {
            return false;
        }
    }
    return true;
}

namespace {

bool is(const py::handle &type, const char *name) {
    return is_str(type) && PyUnicode_CompareWithASCIIString(type.ptr(), name) == 0;
}

// JSON values that can be kept in a set: everything but arrays and objects.
bool is_scalar(const py::handle &value) { return !is_list(value) && !is_dict(value); }

Coro send(const py::object &self, py::object reply) { co_return co_await self.attr("send_message")(reply); }

py::object create_task(const py::object &coro) { return module_global("asyncio").attr("create_task")(coro); }

py::dict reply_of(const char *type) {
    py::dict reply;
    reply["type"] = type;
    return reply;
}

py::object in_memory_loader() { return module_global("in_memory_loader"); }

Coro handle_execution_request(py::object self, py::object message) {
    py::object code = field(message, "code", py::str(""));
    py::object request_id = field(message, "request_id", py::none());
    py::object function_name = field(message, "function_name", py::none());
    py::object source = field(message, "source", py::str("ide"));
    if (!is_str(code)) {
        co_return co_await send(self, field_error(message, "execution_request", "code", "a string", code));
    }
    log_info("[Kernel] [Listener Thread] Received execution_request (source=" + text_of(source) +
             ", request_id=" + text_of(request_id) + ")");
    log_debug("[Kernel] Code length: " + std::to_string(py::len(code)) + " chars");
    create_task(self.attr("_execute_code_async")(code, request_id, function_name, source));
    co_return py::none();
}

Coro handle_update_module(py::object self, py::object message) {
    py::object module_name = field(message, "module_name", py::str(""));
    py::object code = field(message, "code", py::str(""));
    if (!is_str(module_name)) {
        co_return co_await send(self, field_error(message, "update_module", "module_name", "a string", module_name));
    }
    if (!is_str(code)) {
        co_return co_await send(self, field_error(message, "update_module", "code", "a string", code));
    }
    if (!py::bool_(module_name)) {
        log_warning("[Kernel] Received update_module without module_name");
        py::dict reply = reply_of("error");
        reply["message"] = "update_module requires module_name";
        co_return co_await send(self, reply);
    }
    in_memory_loader().attr("update_module")(module_name, code);
    log_info("[Kernel] Updated virtual module: " + text_of(module_name));
    py::dict reply = reply_of("module_updated");
    reply["module_name"] = module_name;
    co_return co_await send(self, reply);
}

Coro handle_delete_module(py::object self, py::object message) {
    py::object module_name = field(message, "module_name", py::str(""));
    if (!is_str(module_name)) {
        co_return co_await send(self, field_error(message, "delete_module", "module_name", "a string", module_name));
    }
    if (!py::bool_(module_name)) {
        log_warning("[Kernel] Received delete_module without module_name");
        py::dict reply = reply_of("error");
        reply["message"] = "delete_module requires module_name";
        co_return co_await send(self, reply);
    }
    in_memory_loader().attr("delete_module")(module_name);
    py::object sensewire = self.attr("_sensewire");
    if (py::bool_(sensewire)) {
        sensewire.attr("delete_module")(module_name);
    }
    log_info("[Kernel] Deleted virtual module: " + text_of(module_name));
    py::dict reply = reply_of("module_deleted");
    reply["module_name"] = module_name;
    co_return co_await send(self, reply);
}

Coro handle_com_event_config_update(py::object self, py::object message) {
    py::object com_config = field(message, "com_config", py::dict());
    if (!is_dict(com_config)) {
        co_return co_await send(self,
                                field_error(message, "com_event_config_update", "com_config", "an object", com_config));
    }
    py::object registrar = self.attr("_com_event_registrar");
    if (py::bool_(registrar)) {
        registrar.attr("apply_config")(com_config);
    } else {
        log_debug("[Kernel] com_event_config_update received but registrar not active");
    }
    co_return py::none();
}

Coro handle_execute_streaming_function(py::object self, py::object message) {
    py::object request_id = field(message, "request_id", py::none());
    py::object module_name = field(message, "module_name", py::none());
    py::object function_name = field(message, "function_name", py::none());
    py::object args = field(message, "args", py::list());
    py::object workbook_id = field(message, "workbook_id", py::str(""));
    py::object source = field(message, "source", py::str("addin"));
    log_debug("[TIMING] Dispatching streaming function to background task");
    log_info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    create_task(self.attr("_execute_streaming_function")(request_id, module_name, function_name, args, workbook_id,
                                                         source));
    co_return py::none();
}

Coro handle_cancel_streaming_function(py::object self, py::object message) {
    py::object request_id = field(message, "request_id", py::none());
    if (!is_scalar(request_id)) {
        co_return co_await send(
            self, field_error(message, "cancel_streaming_function", "request_id", "a string", request_id));
    }
    log_info("[Kernel] Received cancel_streaming_function for request_id: " + text_of(request_id));
    self.attr("_canceled_streaming_requests").attr("add")(request_id);
    co_return py::none();
}

// debug_continue, debug_step_*, debug_stop: nothing happens without an active debugger.
Coro handle_debug_command(py::object self, std::string type) {
    if (!py::bool_(self.attr("has_active_debugger"))) {
        co_return py::none();
    }
    py::object debugger = self.attr("_debugger");
    if (type == "debug_continue") {
        debugger.attr("continue_execution")();
        co_return co_await send(self, reply_of("debug_resumed"));
    }
    if (type == "debug_stop") {
        debugger.attr("stop_debugging")();
        py::dict reply = reply_of("debug_terminated");
        reply["workbook_id"] = self.attr("workbook_id");
        co_await send(self, reply);
        self.attr("_debugger") = py::none();
        co_return py::none();
    }
    // debug_step_over -> step_over, and so on.
    debugger.attr(type.substr(6).c_str())();
    co_return py::none();
}

Coro handle_debug_evaluate(py::object self, py::object message) {
    py::object expression = field(message, "expression", py::str(""));
    py::object request_id = field(message, "request_id", py::none());
    if (!is_str(expression)) {
        co_return co_await send(self, field_error(message, "debug_evaluate", "expression", "a string", expression));
    }
    py::dict reply = reply_of("debug_evaluate_result");
    reply["workbook_id"] = self.attr("workbook_id");
    reply["request_id"] = request_id;
    reply["expression"] = expression;
    if (py::bool_(self.attr("has_active_debugger"))) {
        reply.attr("update")(self.attr("_debugger").attr("evaluate_expression")(expression));
        // The result's keys override earlier ones, except the message type itself: the
        // debugger reports the value's type under "type", and a reply must stay routable.
        reply["type"] = "debug_evaluate_result";
    } else {
        reply["error"] = "No active debug session";
    }
    co_return co_await send(self, reply);
}

void handle_debug_update_breakpoints(const py::object &self, const py::object &message) {
    py::object breakpoints = field(message, "breakpoints", py::list());
    if (!py::bool_(self.attr("has_active_debugger"))) {
        log_warning("[Kernel] Received debug_update_breakpoints but no active debugger");
        return;
    }
    if (is_list(breakpoints)) {
        self.attr("_debugger").attr("set_breakpoints")(breakpoints);
        log_info("[Kernel] Updated breakpoints during debug session: " + std::to_string(py::len(breakpoints)) +
                 " breakpoints");
    } else {
        log_warning("[Kernel] Invalid breakpoints data type: " + text_of(py::type::of(breakpoints)));
    }
}

Coro handle_sys_response(py::object self, py::object message) {
    const std::string error = deliver_sys_response(self, message);
    if (error.empty()) {
        co_return py::none();
    }
    py::dict reply = reply_of("error");
    reply["message"] = error;
    if (message.contains("request_id")) {
        reply["request_id"] = message["request_id"];
    }
    co_return co_await send(self, reply);
}

Coro handle_get_object_registry(py::object self) {
    log_debug("[Kernel] Received get_object_registry request");
    py::object objects = self.attr("get_object_registry")();
    py::dict reply = reply_of("object_registry_response");
    reply["objects"] = objects;
    reply["workbook_id"] = self.attr("workbook_id");
    co_return co_await send(self, reply);
}

Coro handle_set_hover_mode(py::object self, py::object message) {
    py::object mode = field(message, "mode", py::str("compact"));
    if (!is_str(mode)) {
        co_return co_await send(self, field_error(message, "set_hover_mode", "mode", "a string", mode));
    }
    log_debug("[Kernel] Received set_hover_mode: " + text_of(mode));
    py::object sensewire = self.attr("_sensewire");
    if (!py::bool_(sensewire)) {
        log_warning("[Kernel] Sensewire not available for hover mode change");
        co_return py::none();
    }
    sensewire.attr("set_hover_mode")(mode);
    py::dict reply = reply_of("hover_mode_updated");
    reply["mode"] = mode;
    reply["workbook_id"] = self.attr("workbook_id");
    co_return co_await send(self, reply);
}

Coro start_task(py::object self, py::object message, std::string type, const char *handler) {
    log_info("[Kernel] [Listener Thread] Dispatching " + type + " to worker");
    create_task(self.attr(handler)(message));
    co_return py::none();
}

// Routes by type, tested in the protocol's order; an unknown type is ignored.
Coro route(py::object self, py::object message, py::object type) {
    if (is(type, "execution_request")) co_return co_await handle_execution_request(self, message);
    if (is(type, "add_path")) co_return co_await handle_add_path(self, message);
    if (is(type, "remove_path")) co_return co_await handle_remove_path(self, message);
    if (is(type, "reset_namespace")) {
        self.attr("executor").attr("reset_namespace")();
        co_return co_await send(self, reply_of("namespace_reset"));
    }
    if (is(type, "reset_path")) co_return co_await handle_reset_path(self, message);
    if (is(type, "set_package_paths")) co_return co_await handle_set_package_paths(self, message);
    if (is(type, "set_python_paths")) co_return co_await handle_set_python_paths(self, message);
    if (is(type, "unload_and_clear_paths")) co_return co_await handle_unload_and_clear_paths(self, message);
    if (is(type, "update_module")) co_return co_await handle_update_module(self, message);
    if (is(type, "delete_module")) co_return co_await handle_delete_module(self, message);
    if (is(type, "completion_request")) co_return co_await self.attr("_handle_completion_request")(message);
    if (is(type, "signature_help_request")) co_return co_await self.attr("_handle_signature_help_request")(message);
    if (is(type, "hover_request")) co_return co_await self.attr("_handle_hover_request")(message);
    if (is(type, "diagnostic_request")) co_return co_await self.attr("_handle_diagnostic_request")(message);
    if (is(type, "shutdown")) co_return co_await self.attr("disconnect")();
    if (is(type, "custom_function_call")) {
        co_return co_await start_task(self, message, "custom_function_call", "_handle_custom_function_call");
    }
    if (is(type, "run_module")) co_return co_await start_task(self, message, "run_module", "_handle_run_module");
    if (is(type, "event_execution")) {
        co_return co_await start_task(self, message, "event_execution", "_handle_event_execution");
    }
    if (is(type, "com_event_config_update")) co_return co_await handle_com_event_config_update(self, message);
    if (is(type, "python_function_call")) {
        co_return co_await start_task(self, message, "python_function_call", "_handle_python_function_call");
    }
    if (is(type, "execute_streaming_function")) co_return co_await handle_execute_streaming_function(self, message);
    if (is(type, "cancel_streaming_function")) co_return co_await handle_cancel_streaming_function(self, message);
    for (const char *command : {"debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop"}) {
        if (is(type, command)) co_return co_await handle_debug_command(self, command);
    }
    if (is(type, "debug_evaluate")) co_return co_await handle_debug_evaluate(self, message);
    if (is(type, "debug_update_breakpoints")) {
        handle_debug_update_breakpoints(self, message);
        co_return py::none();
    }
    if (is(type, "sys_response")) co_return co_await handle_sys_response(self, message);
    if (is(type, "get_object_registry")) co_return co_await handle_get_object_registry(self);
    if (is(type, "set_hover_mode")) co_return co_await handle_set_hover_mode(self, message);
    co_return py::none();
}

Coro handle_message(py::object self, py::object message) {
    if (!is_dict(message)) {
        throw py::type_error("handle_message expects a dict, got " + type_name(message));
    }
    py::object type = field(message, "type", py::none());
    const py::object request_id = field(message, "request_id", py::str("N/A"));
    if (is(type, "chunk")) {
        py::object complete = co_await self.attr("_handle_chunk_message")(message);
        if (py::bool_(complete)) {
            co_await self.attr("handle_message")(complete);
        }
        co_return py::none();
    }
    if (debug_enabled()) {
        log_debug("[TIMING] Message received: type=" + text_of(type) + ", request_id=" + text_of(request_id));
        log_debug("[Kernel] [Listener Thread] Received message type: " + text_of(type));
    }
    co_await route(self, message, type);
    co_return py::none();
}

}  // namespace

void add_dispatch_methods(ClassBuilder &cls) { cls.def("handle_message", &handle_message, py::arg("message")); }

}  // namespace tarnlet::kernel
