// "python_function_call": Excel calls back a Python callable that user code handed it
// (registered in tarnlet.messaging under an id). Also the argument decoding that every
// invocation path shares.
#include <memory>

#include "invocation.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

// A "python_function_result" addressed to the request; `fill` adds the payload keys.
template <typename Fill>
py::dict result_message(const Request &call, bool success, Fill &&fill) {
    py::dict message = reply_of("python_function_result");
    message[interned("success")] = success;
    fill(message);
    message[interned("request_id")] = call.request_id;
    message[interned("workbook_id")] = call.workbook_id;
    return message;
}

Coro send_error(Request call, py::dict record) {
    co_return co_await send(call.self,
                            result_message(call, false, [&](py::dict &m) { m[interned("error")] = record; }));
}

// execute_callable: on a worker thread. Output is addressed to the add-in, the only
// caller of registered callables (the request's source is "addin" and never read).
Outcome execute_callable(const Request &call) {
    const std::string id_text = text_of(call.function_name);
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Worker Thread %s] Executing callable: %s", current_thread_name(), id_text);
    }
    return call_captured(call, [&](Outcome &outcome) {
        const py::object func =
            module_global("tarnlet").attr(interned("messaging")).attr(interned("get_callable"))(call.function_name);
        if (func.is_none()) {
            raise_error_in("execute_callable", PyExc_ValueError, "Callable '" + id_text + "' not found in registry");
        }
        if (PyCallable_Check(func.ptr()) == 0) {
            raise_error_in("execute_callable", PyExc_TypeError, "Object with id '" + id_text + "' is not callable");
        }
        outcome.value = func(*call_args(call));
        // A generator is not iterated here: its wire form is whatever to_wire makes of it.
        outcome.wire = to_wire()(outcome.value);
    });
}

Coro answer(Request call, std::shared_ptr<Outcome> outcome, py::object callable_id) {
    if (py::bool_(outcome->logs)) {
        logf(Level::info, "[Kernel] Callable logs:\n%s", outcome->logs);
    }
    const py::object logs = outcome->logs;
    if (!outcome->ok()) {
        const py::object error = traceback_text(outcome->failure);
        co_await send(call.self, result_message(call, false, [&](py::dict &m) {
                          m[interned("error")] = error;
                          m[interned("logs")] = logs;
                      }));
        logf(Level::error, "[Kernel] Python function call failed: callable_id=%s", callable_id);
        co_return py::none();
    }
    const py::object wire = outcome->wire;
    py::list replies;
    if (!wire.is_none()) {
        // No `source`: the answer of a callable is the add-in's alone.
        py::dict output = reply_of("result_output");
        output[interned("content")] = py::str("Out: ") + repr_or_stand_in(outcome->value) + py::str("\n");
        output[interned("request_id")] = call.request_id;
        output[interned("workbook_id")] = call.workbook_id;
        replies.append(output);
    }
    replies.append(result_message(call, true, [&](py::dict &m) {
        m[interned("result")] = wire;
        m[interned("logs")] = logs;
    }));
    co_await send_all(call.self, replies);
    logf(Level::info, "[Kernel] Python function call succeeded: callable_id=%s", callable_id);
    co_return py::none();
}

Coro serve(std::shared_ptr<Request> call, py::object message) {
    // The callable's id stands where a module function's name would.
    call->function_name = field(message, "callable_id", py::str(""));
    call->args = field(message, "args", py::list());
    call->request_id = field(message, "request_id", py::none());
    call->workbook_id = field(message, "workbook_id", py::none());
    const py::object callable_id = call->function_name;
    logf(Level::info, "[Kernel] Received python_function_call: callable_id=%s (request_id=%s)", callable_id,
         call->request_id);
    if (!py::bool_(callable_id)) {
        co_return co_await send_error(*call, validation_record("Missing callable_id"));
    }
    if (!is_json_scalar(call->request_id)) {
        co_return co_await send_error(
            *call, validation_record(invalid_field_text("request_id", "a string, a number or null", call->request_id)));
    }
    if (log_enabled(Level::debug)) {
        logf(Level::debug, "[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id=%s",
             callable_id);
    }
    const auto outcome = std::make_shared<Outcome>();
    co_await start_on_worker(*call, execute_callable, outcome);
    co_return co_await answer(*call, outcome, callable_id);
}

const Kind kind{"_handle_python_function_call", serve, send_error};

Coro handle_python_function_call(py::object self, py::object message) { return handle_request(kind, self, message); }

// Wire arguments to Python values, in order. None means no arguments; anything else
// but a list (or tuple) is refused here, so that it becomes the call's own failure.
py::list deserialize_args(py::object /*self*/, py::object args) {
    if (args.is_none()) {
        return py::list();
    }
    if (!PyList_Check(args.ptr()) && !PyTuple_Check(args.ptr())) {
        raise_error_in("_deserialize_args", PyExc_TypeError, "args must be a list, not " + type_name(args));
    }
    py::list values;
    if (py::len(args) == 0) {
        return values;
    }
    const py::object from_wire = module_global("tarnlet").attr(interned("Serializer")).attr(interned("from_wire"));
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
