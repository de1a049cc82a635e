// Debug runs: a workbook function runs under the step debugger on a worker, while the
// listener drives the debugger with the IDE's commands. An uncaught exception is sent
// as "debug_exception", which places the IDE at the failing line, before the run ends
// with "debug_terminated".
#include <exception>

#include "invocation_helpers.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

struct Run {
    py::object self;
    py::object module_name;
    py::object function_name;
    py::object args;
    py::object request_id;
    py::object workbook_id;
    py::object source;
    py::object debugger;  // this run's debugger, even once _debugger has been reset
    py::object loop;
};

py::dict result_output(const Run &run, py::object content) {
    py::dict message;
    message["type"] = "result_output";
    message["content"] = std::move(content);
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    message["source"] = run.source;
    return message;
}

// iteration_to_debug: drains the generator under the debugger, so the user can step
// through its body; each value is reported as it comes, without waiting for the send.
py::object iteration_to_debug(const Run &run, py::object generator) {
    return py::cpp_function(
        [run, generator]() {
            py::list values;
            long yield_count = 0;
            for (const py::handle value : generator) {
                ++yield_count;
                values.append(value);
                const py::str content("Yield [" + std::to_string(yield_count) + "]: " + str_of(py::repr(value)) + "\n");
                schedule_send(run.self, run.loop, result_output(run, content));
            }
            return py::make_tuple(values, yield_count);
        },
        py::name("iteration_to_debug"));
}

py::dict debug_exception_message(const Run &run, const py::object &location, const py::object &exception,
                                 const py::object &traceback) {
    py::dict message;
    message["type"] = "debug_exception";
    message["workbook_id"] = run.workbook_id;
    message["module"] = get(location, "module", run.module_name);
    message["line"] = get(location, "line", py::int_(1));
    message["file"] = get(location, "file", py::str(""));
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
    log_info("[Kernel] Parsed error location: " + str_of(location));
    const py::object debugger = run.debugger;
    if (debugger.is_none() || py::getattr(debugger, "loop", py::none()).is_none()) {
        log_warning("[Kernel] Cannot send debug_exception - no debugger or loop");
        return false;
    }
    log_info("[Kernel] Sending debug_exception message...");
    try {
        schedule_send(run.self, debugger.attr("loop"), debug_exception_message(run, location, exception, traceback))
            .attr("result")(py::arg("timeout") = module_global("DEBUG_MESSAGE_SEND_TIMEOUT"));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        log_error("[Kernel] Failed to send debug_exception: " + str_of(exception_of(e)));
        return false;
    }
    log_info("[Kernel] debug_exception message sent successfully");
    return true;
}

// debug_execute: runs on a worker thread and returns the worker result.
py::dict debug_execute(const Run &run) {
    CapturedOutput output(stream_callback("stdout", run.loop, run.self, run.request_id, run.workbook_id, run.source),
                          stream_callback("stderr", run.loop, run.self, run.request_id, run.workbook_id, run.source));
    py::object failure;
    try {
        const std::string module_text = str_of(run.module_name);
        const py::object module = load_module(run.module_name);
        if (module.is_none()) {
            throw_python("debug_execute", "ImportError", "Module '" + module_text + "' not found");
        }
        const py::object func = function_of(module, run.function_name);
        if (!func) {
            throw_python("debug_execute", "AttributeError",
                         "Function '" + str_of(run.function_name) + "' not found in module '" + module_text + "'");
        }
        const py::object runcall = run.debugger.attr("runcall");
        const py::object value = runcall(func, *run.self.attr("_deserialize_args")(run.args));
        py::dict result;
        result["status"] = "success";
        if (py::bool_(module_global("inspect").attr("isgenerator")(value))) {
            const py::object ret = runcall(iteration_to_debug(run, value));
            // A session stopped before the generator ended gives no values.
            const py::tuple drained = py::bool_(ret) ? py::tuple(ret) : py::make_tuple(py::list(), -1);
            result["result"] = drained[0];
            result["is_generator"] = true;
            result["yield_count"] = drained[1];
        } else {
            result["result"] = value;
            result["is_generator"] = false;
        }
        return result;
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = exception_of(e);
    }
    log_error("[Kernel] Debug execution error: " + str_of(failure));
    const py::object traceback = traceback_text(failure);
    log_error("[Kernel] Traceback: " + str_of(traceback));
    const bool sent = send_debug_exception(run, failure, traceback);
    py::dict result;
    result["status"] = "error";
    result["type"] = py::type::handle_of(failure).attr("__name__");
    result["message"] = py::str(failure);
    result["traceback"] = traceback;
    result["debug_exception_sent"] = sent;
    return result;
}

py::dict terminated_message(const Run &run) {
    py::dict message;
    message["type"] = "debug_terminated";
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    return message;
}

py::dict execution_error(const Run &run, py::object error) {
    py::dict message;
    message["type"] = "execution_error";
    message["success"] = false;
    message["error"] = std::move(error);
    message["request_id"] = run.request_id;
    message["workbook_id"] = run.workbook_id;
    message["source"] = run.source;
    return message;
}

Coro report(Run run, py::object result) {
    const py::object self = run.self;
    if (py::object(result["status"]).equal(py::str("success"))) {
        if (py::bool_(get(result, "is_generator", py::none()))) {
            const py::object yield_count = get(result, "yield_count", py::int_(0));
            const std::string text = yield_count >= py::int_(0)
                                         ? "Out: Generator completed with " + str_of(yield_count) + " yields\n"
                                         : std::string("Out: Generator stoped before ending\n");
            co_await self.attr("send_message")(result_output(run, py::str(text)));
        } else if (result.contains("result")) {
            co_await self.attr("send_message")(
                result_output(run, py::str("Out: ") + py::repr(result["result"]) + py::str("\n")));
        }
        log_info("[Kernel] Debug execution completed successfully, sending debug_terminated");
        co_await self.attr("send_message")(terminated_message(run));
    } else if (py::bool_(get(result, "debug_exception_sent", py::none()))) {
        log_info("[Kernel] Debug exception already sent, sending debug_terminated");
        co_await self.attr("send_message")(terminated_message(run));
    } else {
        log_error("[Kernel] Debug execution failed: " + str_of(result));
        co_await self.attr("send_message")(execution_error(run, result));
    }
    co_return py::none();
}

Coro handle_debug_run_module(py::object self, py::object module_name, py::object function_name, py::object args,
                             py::object breakpoints, py::object request_id, py::object workbook_id, py::object source) {
    Run run{self, module_name, function_name, args, request_id, workbook_id, source, py::none(), py::none()};
    py::object failure;
    std::exception_ptr escaping;  // CancelledError and the like: the debugger is still reset
    try {
        run.debugger = module_global("TarnletDebugger")(self.attr("send_message"), workbook_id);
        self.attr("_debugger") = run.debugger;
        run.loop = module_global("asyncio").attr("get_running_loop")();
        run.debugger.attr("loop") = run.loop;
        run.debugger.attr("step_mode") = py::none();
        run.debugger.attr("set_breakpoints")(breakpoints);
        run.debugger.attr("set_in_memory_modules")(
            py::list(module_global("in_memory_loader").attr("source_cache").attr("keys")()));

        const py::object worker = py::cpp_function([run]() { return debug_execute(run); }, py::name("debug_execute"));
        const py::object result = co_await run.loop.attr("run_in_executor")(self.attr("_thread_pool"), worker);
        co_await report(run, result);
    } catch (py::error_already_set &e) {
        if (is_ordinary(e)) {
            failure = exception_of(e);
        } else {
            escaping = std::current_exception();
        }
    } catch (...) {
        escaping = std::current_exception();
    }
    if (failure) {
        log_error("[Kernel] Error in debug execution: " + str_of(failure));
        log_error("[Kernel] Traceback: " + str_of(traceback_text(failure)));
        try {
            co_await self.attr("send_message")(execution_error(run, error_record_of(failure)));
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                escaping = std::current_exception();
            } else {
                log_error("[Kernel] Failed to send error message: " + str_of(exception_of(e)));
            }
        }
    }
    self.attr("_debugger") = py::none();
    log_debug("[Kernel] Debugger instance cleaned up");
    if (escaping) {
        std::rethrow_exception(escaping);
    }
    co_return py::none();
}

}  // namespace

void add_debug_run_methods(ClassBuilder &cls) {
    cls.def("_handle_debug_run_module", &handle_debug_run_module, py::arg("module_name"), py::arg("function_name"),
            py::arg("args"), py::arg("breakpoints"), py::arg("request_id"), py::arg("workbook_id"),
            py::arg("source") = "ide");
}

}  // namespace tarnlet::kernel
