// handle_message: the one entry for every incoming message, and the table of message
// type to handler. Housekeeping is answered here or in the file named for its concern;
// anything that runs user code is started as a task, so the listener keeps reading (a
// blocked worker waits for a "sys_response" that only the listener receives).
#include "dispatch.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// JSON values that can be kept in a set: everything but arrays and objects.
bool is_scalar(const py::handle &value) { return !is_list(value) && !is_dict(value); }

py::object create_task(const py::object &coro) { return module_global("asyncio").attr(interned("create_task"))(coro); }

py::object in_memory_loader() { return module_global("in_memory_loader"); }

Coro handle_execution_request(py::object self, py::object message) {
    py::object code = field(message, "code", py::str(""));
    py::object request_id = field(message, "request_id", py::none());
    py::object function_name = field(message, "function_name", py::none());
    py::object source = field(message, "source", py::str("ide"));
    if (!is_str(code)) {
        co_return co_await send(self, field_error(message, "execution_request", "code", "a string", code));
    }
    logf(Level::info, "[Kernel] [Listener Thread] Received execution_request (source=%s, request_id=%s)", source,
         request_id);
    logf(Level::debug, "[Kernel] Code length: %s chars", std::to_string(py::len(code)));
    create_task(self.attr(interned("_execute_code_async"))(code, request_id, function_name, source));
    co_return py::none();
}

Coro handle_reset_namespace(py::object self, py::object) {
    self.attr(interned("executor")).attr(interned("reset_namespace"))();
    co_return co_await send(self, reply_of("namespace_reset"));
}

Coro refuse_empty_module_name(py::object self, std::string type) {
    logf(Level::warning, "[Kernel] Received %s without module_name", type);
    py::dict reply = reply_of("error");
    reply[interned("message")] = type + " requires module_name";
    co_return co_await send(self, reply);
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
        co_return co_await refuse_empty_module_name(self, "update_module");
    }
    in_memory_loader().attr(interned("update_module"))(module_name, code);
    logf(Level::info, "[Kernel] Updated virtual module: %s", module_name);
    py::dict reply = reply_of("module_updated");
    reply[interned("module_name")] = module_name;
    co_return co_await send(self, reply);
}

Coro handle_delete_module(py::object self, py::object message) {
    py::object module_name = field(message, "module_name", py::str(""));
    if (!is_str(module_name)) {
        co_return co_await send(self, field_error(message, "delete_module", "module_name", "a string", module_name));
    }
    if (!py::bool_(module_name)) {
        co_return co_await refuse_empty_module_name(self, "delete_module");
    }
    in_memory_loader().attr(interned("delete_module"))(module_name);
    py::object sensewire = self.attr(interned("_sensewire"));
    if (py::bool_(sensewire)) {
        sensewire.attr(interned("delete_module"))(module_name);
    }
    logf(Level::info, "[Kernel] Deleted virtual module: %s", module_name);
    py::dict reply = reply_of("module_deleted");
    reply[interned("module_name")] = module_name;
    co_return co_await send(self, reply);
}

Coro handle_com_event_config_update(py::object self, py::object message) {
    py::object com_config = field(message, "com_config", py::dict());
    if (!is_dict(com_config)) {
        co_return co_await send(self,
                                field_error(message, "com_event_config_update", "com_config", "an object", com_config));
    }
    py::object registrar = self.attr(interned("_com_event_registrar"));
    if (py::bool_(registrar)) {
        registrar.attr(interned("apply_config"))(com_config);
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
    create_task(self.attr(interned("_execute_streaming_function"))(request_id, module_name, function_name, args,
                                                                   workbook_id, source));
    co_return py::none();
}

Coro handle_cancel_streaming_function(py::object self, py::object message) {
    py::object request_id = field(message, "request_id", py::none());
    if (!is_scalar(request_id)) {
        co_return co_await send(
            self, field_error(message, "cancel_streaming_function", "request_id", "a string", request_id));
    }
    logf(Level::info, "[Kernel] Received cancel_streaming_function for request_id: %s", request_id);
    self.attr(interned("_canceled_streaming_requests")).attr(interned("add"))(request_id);
    co_return py::none();
}

Coro handle_get_object_registry(py::object self, py::object) {
    log_debug("[Kernel] Received get_object_registry request");
    py::object objects = self.attr(interned("get_object_registry"))();
    py::dict reply = reply_of("object_registry_response");
    reply[interned("objects")] = objects;
    reply[interned("workbook_id")] = self.attr(interned("workbook_id"));
    co_return co_await send(self, reply);
}

Coro handle_set_hover_mode(py::object self, py::object message) {
    py::object mode = field(message, "mode", py::str("compact"));
    if (!is_str(mode)) {
        co_return co_await send(self, field_error(message, "set_hover_mode", "mode", "a string", mode));
    }
    logf(Level::debug, "[Kernel] Received set_hover_mode: %s", mode);
    py::object sensewire = self.attr(interned("_sensewire"));
    if (!py::bool_(sensewire)) {
        log_warning("[Kernel] Sensewire not available for hover mode change");
        co_return py::none();
    }
    sensewire.attr(interned("set_hover_mode"))(mode);
    py::dict reply = reply_of("hover_mode_updated");
    reply[interned("mode")] = mode;
    reply[interned("workbook_id")] = self.attr(interned("workbook_id"));
    co_return co_await send(self, reply);
}

Coro handle_shutdown(py::object self, py::object) { co_return co_await self.attr(interned("disconnect"))(); }

// How a message type is served: by a handler here or in its concern's file, awaited by
// the listener; by a PythonKernel method, awaited (`method`) or started as a task so the
// listener reads on (`task`). Methods are looked up on the instance when used.
struct Route {
    Handler handler = nullptr;
    const char *method = nullptr;
    bool task = false;
};

Route inline_route(Handler handler) { return Route{handler, nullptr, false}; }
Route method_route(const char *method) { return Route{nullptr, method, false}; }
Route task_route(const char *method) { return Route{nullptr, method, true}; }

const std::unordered_map<std::string_view, Route> &routes() {
    static const std::unordered_map<std::string_view, Route> table = {
        {"execution_request", inline_route(handle_execution_request)},
        {"add_path", inline_route(handle_add_path)},
        {"remove_path", inline_route(handle_remove_path)},
        {"reset_namespace", inline_route(handle_reset_namespace)},
        {"reset_path", inline_route(handle_reset_path)},
        {"set_package_paths", inline_route(handle_set_package_paths)},
        {"set_python_paths", inline_route(handle_set_python_paths)},
        {"unload_and_clear_paths", inline_route(handle_unload_and_clear_paths)},
        {"update_module", inline_route(handle_update_module)},
        {"delete_module", inline_route(handle_delete_module)},
        {"completion_request", method_route("_handle_completion_request")},
        {"signature_help_request", method_route("_handle_signature_help_request")},
        {"hover_request", method_route("_handle_hover_request")},
        {"diagnostic_request", method_route("_handle_diagnostic_request")},
        {"shutdown", inline_route(handle_shutdown)},
        {"custom_function_call", task_route("_handle_custom_function_call")},
        {"run_module", task_route("_handle_run_module")},
        {"event_execution", task_route("_handle_event_execution")},
        {"com_event_config_update", inline_route(handle_com_event_config_update)},
        {"python_function_call", task_route("_handle_python_function_call")},
        {"execute_streaming_function", inline_route(handle_execute_streaming_function)},
        {"cancel_streaming_function", inline_route(handle_cancel_streaming_function)},
        {"debug_continue", inline_route(handle_debug_command)},
        {"debug_step_over", inline_route(handle_debug_command)},
        {"debug_step_into", inline_route(handle_debug_command)},
        {"debug_step_out", inline_route(handle_debug_command)},
        {"debug_stop", inline_route(handle_debug_command)},
        {"debug_evaluate", inline_route(handle_debug_evaluate)},
        {"debug_update_breakpoints", inline_route(handle_debug_update_breakpoints)},
        {"sys_response", inline_route(handle_sys_response)},
        {"interrupt_request", inline_route(handle_interrupt_request)},
        {"get_object_registry", inline_route(handle_get_object_registry)},
        {"set_hover_mode", inline_route(handle_set_hover_mode)},
    };
    return table;
}

// The route of a message type; null for an unknown type or one that is not a string.
const Route *route_of(const py::handle &type) {
    if (!is_str(type)) {
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(type.ptr(), &size);
    if (text == nullptr) {
        PyErr_Clear();  // a lone surrogate names no message type
        return nullptr;
    }
    const auto found = routes().find(std::string_view(text, static_cast<size_t>(size)));
    return found == routes().end() ? nullptr : &found->second;
}

Coro handle_message(py::object self, py::object message) {
    if (!is_dict(message)) {
        raise_error(PyExc_TypeError, "handle_message expects a dict, got " + type_name(message));
    }
    py::object type = field(message, "type", py::none());
    const py::object request_id = field(message, "request_id", py::str("N/A"));
    if (is_str(type) && PyUnicode_CompareWithASCIIString(type.ptr(), "chunk") == 0) {
        py::object complete = co_await self.attr(interned("_handle_chunk_message"))(message);
        if (py::bool_(complete)) {
            co_await self.attr(interned("handle_message"))(complete);
        }
        co_return py::none();
    }
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[TIMING] Message received: type=%s, request_id=%s", type, request_id);
        logf(Level::debug, "[Kernel] [Listener Thread] Received message type: %s", type);
    }
    // The route in line: no coroutine of its own for every message.
    const Route *route = route_of(type);
    if (route == nullptr) {
        co_return py::none();  // an unknown type is ignored
    }
    if (route->handler != nullptr) {
        co_await route->handler(self, message);
        co_return py::none();
    }
    if (!route->task) {
        co_await self.attr(route->method)(message);
        co_return py::none();
    }
    logf(Level::info, "[Kernel] [Listener Thread] Dispatching %s to worker", type);
    create_task(self.attr(route->method)(message));
    co_return py::none();
}

}  // namespace

void add_dispatch_methods(ClassBuilder &cls) { cls.def("handle_message", &handle_message, py::arg("message")); }

}  // namespace tarnlet::kernel
