// Debug runs: a workbook function runs under the step debugger on a worker, while the
// listener drives the debugger with the IDE's commands (the debug_* messages, also here).
// An uncaught exception is sent as "debug_exception", which places the IDE at the
// failing line, before the run ends with "debug_terminated".
#include <memory>

#include "dispatch.hpp"
#include "invocation.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

struct Run {
    Request request;
    py::object debugger;  // this run's debugger, even once _debugger has been reset
};

// How the run ended on the worker.
struct Result {
    Outcome outcome;
    bool is_generator = false;
    py::object yield_count = py::int_(0);
    py::object traceback;               // of a failure
    bool debug_exception_sent = false;  // of a failure
};

py::dict result_output(const Request &run, py::object content) {
    py::dict message = reply_of("result_output");
    message["content"] = std::move(content);
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    message["source"] = run.source;
    return message;
}

// iteration_to_debug: drains the generator under the debugger, so the user can step
// through its body; each value is reported as it comes, without waiting for the send.
py::object iteration_to_debug(const Request &run, py::object generator) {
    return py::cpp_function(
        [run, generator]() {
            py::list values;
            long yield_count = 0;
            for (const py::handle value : generator) {
                ++yield_count;
                values.append(value);
                const py::str content("Yield [" + std::to_string(yield_count) + "]: " + text_of(py::repr(value)) +
                                      "\n");
                schedule_send(run.self, run.loop, result_output(run, content));
            }
            return py::make_tuple(values, yield_count);
        },
        py::name("iteration_to_debug"));
}

py::dict debug_exception_message(const Request &run, const py::object &location, const py::object &exception,
                                 const py::object &traceback) {
    py::dict message = reply_of("debug_exception");
    message["workbook_id"] = run.workbook_id;
    message["module"] = field(location, "module", run.module_name);
    message["line"] = field(location, "line", py::int_(1));
    message["file"] = field(location, "file", py::str(""));
    message["exception_type"] = py::type::handle_of(exception).attr("__name__");
    message["exception_message"] = py::str(exception);
    message["exception_traceback"] = traceback;
    message["locals"] = py::list();
    message["globals"] = py::list();
    message["call_stack"] = py::list();
    return message;
}

// Hands "debug_exception" to the loop and waits (DEBUG_MESSAGE_SEND_TIMEOUT) until it is
// out, so the IDE has it before the run's end is reported. True when it was sent.
bool send_debug_exception(const Run &run, const py::object &exception, const py::object &traceback) {
    const py::object keys = module_global("in_memory_loader").attr("source_cache").attr("keys")();
    const py::object location = module_global("_parse_error_location")(traceback, py::set(keys));
    logf(Level::info, "[Kernel] Parsed error location: %s", location);
    const py::object debugger = run.debugger;
    if (debugger.is_none() || py::getattr(debugger, "loop", py::none()).is_none()) {
        log_warning("[Kernel] Cannot send debug_exception - no debugger or loop");
        return false;
    }
    log_info("[Kernel] Sending debug_exception message...");
    try {
        schedule_send(run.request.self, debugger.attr("loop"),
                      debug_exception_message(run.request, location, exception, traceback))
            .attr("result")(py::arg("timeout") = module_global("DEBUG_MESSAGE_SEND_TIMEOUT"));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        logf(Level::error, "[Kernel] Failed to send debug_exception: %s", error_text(e));
        return false;
    }
    log_info("[Kernel] debug_exception message sent successfully");
    return true;
}

// debug_execute: on a worker thread.
Result debug_execute(const Run &run) {
    Result result;
    result.outcome = call_captured(
        run.request,
        [&](Outcome &outcome) {
            const py::object func = resolve_function(run.request, "debug_execute",
                                                     "Module '" + text_of(run.request.module_name) + "' not found");
            const py::object runcall = run.debugger.attr("runcall");
            outcome.value = runcall(func, *call_args(run.request));
            if (py::bool_(module_global("inspect").attr("isgenerator")(outcome.value))) {
                const py::object ret = runcall(iteration_to_debug(run.request, outcome.value));
                // A session stopped before the generator ended gives no values.
                const py::tuple drained = py::bool_(ret) ? py::tuple(ret) : py::make_tuple(py::list(), -1);
                outcome.value = drained[0];
                result.is_generator = true;
                result.yield_count = drained[1];
            }
        },
        false);
    const py::object failure = result.outcome.failure;
    if (failure) {
        logf(Level::error, "[Kernel] Debug execution error: %s", failure);
        result.traceback = traceback_text(failure);
        logf(Level::error, "[Kernel] Traceback: %s", result.traceback);
        result.debug_exception_sent = send_debug_exception(run, failure, result.traceback);
    }
    return result;
}

py::dict terminated_message(const Request &run) {
    py::dict message = reply_of("debug_terminated");
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    return message;
}

py::dict execution_error(const Request &run, py::object error) {
    py::dict message = reply_of("execution_error");
    message["success"] = false;
    message["error"] = std::move(error);
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    message["source"] = run.source;
    return message;
}

Coro report(Request run, std::shared_ptr<Result> result) {
    const py::object self = run.self;
    const py::object failure = result->outcome.failure;
    if (!failure) {
        if (result->is_generator) {
            const py::object yield_count = result->yield_count;
            const std::string text = yield_count >= py::int_(0)
                                         ? "Out: Generator completed with " + text_of(yield_count) + " yields\n"
                                         : std::string("Out: Generator stoped before ending\n");
            co_await send(self, result_output(run, py::str(text)));
        } else {
            co_await send(
                self, result_output(run, py::str("Out: ") + repr_or_stand_in(result->outcome.value) + py::str("\n")));
        }
        log_info("[Kernel] Debug execution completed successfully, sending debug_terminated");
        co_return co_await send(self, terminated_message(run));
    }
    if (result->debug_exception_sent) {
        log_info("[Kernel] Debug exception already sent, sending debug_terminated");
        co_return co_await send(self, terminated_message(run));
    }
    py::dict error;
    error["status"] = "error";
    error["type"] = py::type::handle_of(failure).attr("__name__");
    error["message"] = py::str(failure);
    error["traceback"] = result->traceback;
    error["debug_exception_sent"] = false;
    logf(Level::error, "[Kernel] Debug execution failed: %s", error);
    co_return co_await send(self, execution_error(run, error));
}

Coro serve(std::shared_ptr<Run> run, py::object breakpoints) {
    Request &request = run->request;
    const py::object self = request.self;
    run->debugger = module_global("TarnletDebugger")(self.attr("send_message"), request.workbook_id);
    self.attr("_debugger") = run->debugger;
    request.loop = module_global("asyncio").attr("get_running_loop")();
    run->debugger.attr("loop") = request.loop;
    run->debugger.attr("step_mode") = py::none();
    run->debugger.attr("set_breakpoints")(breakpoints);
    run->debugger.attr("set_in_memory_modules")(
        py::list(module_global("in_memory_loader").attr("source_cache").attr("keys")()));
    auto result = std::make_shared<Result>();
    const py::object worker =
        worker_function("debug_execute", [run = *run, result]() { *result = debug_execute(run); });
    co_await run_on_worker(request, worker);
    co_return co_await report(request, result);
}

Coro fail(std::shared_ptr<Run> run, py::object failure) {
    logf(Level::error, "[Kernel] Error in debug execution: %s", failure);
    logf(Level::error, "[Kernel] Traceback: %s", traceback_text(failure));
    co_return co_await send(run->request.self, execution_error(run->request, error_record_of(failure)));
}

Coro handle_debug_run_module(py::object self, py::object module_name, py::object function_name, py::object args,
                             py::object breakpoints, py::object request_id, py::object workbook_id, py::object source) {
    auto run = std::make_shared<Run>(
        Run{Request{self, module_name, function_name, args, request_id, workbook_id, source}, py::none()});
    // One debugger slot: a second run would take over the first one's commands, and the
    // first to end would clear the slot under the other.
    if (py::bool_(self.attr("has_active_debugger"))) {
        log_warning("[Kernel] Debug run refused: another debug run is active");
        py::dict error;
        error["type"] = "RuntimeError";
        error["message"] = "Another debug run is active; stop it before starting a new one";
        error["traceback"] = "";
        co_return co_await send(self, execution_error(run->request, error));
    }
    // However the run ends, the kernel's cancellation included, the debugger goes.
    const AtExit cleanup([self]() {
        self.attr("_debugger") = py::none();
        log_debug("[Kernel] Debugger instance cleaned up");
    });
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = serve(run, breakpoints).to_python();
    const py::object on_failure = py::cpp_function([run](py::object failure) { return fail(run, failure); });
    co_return co_await guarded(serving, on_failure);
}

}  // namespace

// debug_continue, debug_step_*, debug_stop: nothing happens without an active debugger.
Coro handle_debug_command(py::object self, py::object message) {
    const std::string type = text_of(field(message, "type", py::none()));
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

Coro handle_debug_update_breakpoints(py::object self, py::object message) {
    py::object breakpoints = field(message, "breakpoints", py::list());
    if (!py::bool_(self.attr("has_active_debugger"))) {
        log_warning("[Kernel] Received debug_update_breakpoints but no active debugger");
        co_return py::none();
    }
    if (is_list(breakpoints)) {
        self.attr("_debugger").attr("set_breakpoints")(breakpoints);
        log_info("[Kernel] Updated breakpoints during debug session: " + std::to_string(py::len(breakpoints)) +
                 " breakpoints");
    } else {
        logf(Level::warning, "[Kernel] Invalid breakpoints data type: %s", py::type::of(breakpoints));
    }
    co_return py::none();
}

void add_debug_run_methods(ClassBuilder &cls) {
    cls.def("_handle_debug_run_module", &handle_debug_run_module, py::arg("module_name"), py::arg("function_name"),
            py::arg("args"), py::arg("breakpoints"), py::arg("request_id"), py::arg("workbook_id"),
            py::arg("source") = "ide");
}

}  // namespace tarnlet::kernel
