// "execution_request" and "run_module": console code from the IDE runs on the worker
// pool with its output streamed as it is written; a module run becomes a debug run or
// an ordinary custom function call.
#include <memory>
#include <utility>

#include "interrupts.hpp"
#include "invocation.hpp"
#include "streams.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

py::dict execution_message(const char *type, bool success, const char *payload_key, py::object payload,
                           const Request &run) {
    py::dict message = reply_of(type);
    message[interned("success")] = success;
    message[payload_key] = std::move(payload);
    message[interned("request_id")] = run.request_id;
    message[interned("function_name")] = run.function_name;
    message[interned("workbook_id")] = run.self.attr(interned("workbook_id"));
    message[interned("source")] = run.source;
    return message;
}

// On the worker: the console code runs with this thread's writes streamed under the
// request's id, handed to the loop without waiting (see streams.hpp).
Outcome execute_with_callbacks(const Request &run) {
    const std::string thread = current_thread_name();
    logf(Level::debug, "[Kernel] [Worker Thread %s] Executing code (request_id=%s)", thread, run.request_id);
    Outcome outcome;
    {
        const output::RequestScope streamed(
            output::Target{run.self, run.loop, run.request_id, run.workbook_id, run.source});
        // execute answers what the code raises, an interrupt included.
        InterruptibleRun running(run.self, run.request_id);
        outcome.value =
            run.self.attr(interned("executor"))
                .attr(interned("execute"))(run.args, py::arg("stdout_callback") = module_global("_request_stdout"),
                                           py::arg("stderr_callback") = module_global("_request_stderr"));
        if (const py::object late = running.end(); late && is_dict(outcome.value)) {
            outcome.value[py::str("success")] = false;
            outcome.value[py::str("error")] = error_record_of(late);
        }
    }
    logf(Level::debug, "[Kernel] [Worker Thread %s] Execution completed (request_id=%s)", thread, run.request_id);
    return outcome;
}

Coro serve(std::shared_ptr<Request> run, double start) {
    const py::object self = run->self;
    logf(Level::debug, "[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=%s)",
         run->request_id);
    const auto ran = std::make_shared<Outcome>();
    co_await start_on_worker(*run, execute_with_callbacks, ran);
    const py::object outcome = ran->value;
    const py::object success = outcome[py::str("success")];
    logf(Level::debug, "[TIMING] Execution completed: request_id=%s, elapsed=%sms", run->request_id, elapsed_ms(start));
    logf(Level::debug, "[Kernel] [Async Task] Execution finished, success=%s (request_id=%s)", success,
         run->request_id);
    if (!py::bool_(success)) {
        const py::object error = outcome[py::str("error")];
        logf(Level::info, "[Kernel] Sending execution_error for request_id=%s: %s", run->request_id, error);
        co_return co_await send(self, execution_message("execution_error", false, "error", error, *run));
    }
    logf(Level::info, "[Kernel] Sending execution_result (success) for request_id=%s", run->request_id);
    const py::object value = outcome[py::str("result")];
    py::list replies;
    if (!value.is_none()) {
        py::dict output = reply_of("result_output");
        output[interned("content")] = py::str("Out: ") + py::repr(value) + py::str("\n");
        output[interned("request_id")] = run->request_id;
        output[interned("workbook_id")] = self.attr(interned("workbook_id"));
        output[interned("source")] = run->source;
        replies.append(output);
    }
    // A labelled run gives the value itself; a console run gives its repr.
    const bool labelled = is_str(run->function_name) && py::len(run->function_name) > 0;
    py::object shown = labelled || value.is_none() ? value : py::object(py::repr(value));
    replies.append(execution_message("execution_result", true, "result", shown, *run));
    co_return co_await send_all(self, replies);
}

Coro fail(std::shared_ptr<Request> run, double start, py::object failure) {
    logf(Level::error, "[TIMING] Execution failed: request_id=%s, elapsed=%sms, error=%s", run->request_id,
         elapsed_ms(start), failure);
    logf(Level::error, "[Kernel] Unexpected error in _execute_code_async: %s", failure);
    py::dict message = reply_of("execution_error");
    message[interned("success")] = false;
    message[interned("error")] = error_record_of(failure);
    message[interned("request_id")] = run->request_id;
    message[interned("source")] = run->source;
    co_return co_await send(run->self, message);
}

Coro execute_code_async(py::object self, py::object code, py::object request_id, py::object function_name,
                        py::object source) {
    const double start = now();
    auto run = std::make_shared<Request>(Request{self});
    run->function_name = function_name;
    run->request_id = request_id;
    run->source = source;
    run->args = code;  // what the worker runs
    run->workbook_id = self.attr(interned("workbook_id"));
    logf(Level::debug, "[TIMING] Execution started: request_id=%s, function=%s", request_id, function_name);
    // The guard in line, without a Python function made for every request. Named, not
    // temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = serve(run, start).to_python();
    const Attempted served = co_await attempt(serving);
    if (served.ok()) {
        co_return py::none();
    }
    const py::object answering = fail(run, start, served.failure).to_python();
    co_return co_await answer_or_log(answering);
}

Coro handle_run_module(py::object self, py::object message) {
    // The fields a module run hands on to the custom function call, with their defaults.
    const std::pair<const char *, py::object> passed[] = {{"module_name", py::str("")}, {"function_name", py::str("")},
                                                          {"args", py::list()},         {"request_id", py::none()},
                                                          {"workbook_id", py::str("")}, {"source", py::str("ide")}};
    py::dict call = reply_of("custom_function_call");
    for (const auto &[key, fallback] : passed) {
        call[key] = field(message, key, fallback);
    }
    const auto passed_field = [&call](const char *key) { return py::object(call[key]); };
    const py::object debug = field(message, "debug", py::bool_(false));
    logf(Level::info, "[Kernel] Received run_module: %s.%s (workbook_id=%s, debug=%s, source=%s, request_id=%s)",
         passed_field("module_name"), passed_field("function_name"), passed_field("workbook_id"), debug,
         passed_field("source"), passed_field("request_id"));
    if (py::bool_(debug)) {
        co_return co_await self.attr(interned("_handle_debug_run_module"))(
            passed_field("module_name"), passed_field("function_name"), passed_field("args"),
            field(message, "breakpoints", py::list()), passed_field("request_id"), passed_field("workbook_id"),
            passed_field("source"));
    }
    co_return co_await self.attr(interned("_handle_custom_function_call"))(call);
}

}  // namespace

void add_execution_methods(ClassBuilder &cls) {
    cls.def("_execute_code_async", &execute_code_async, py::arg("code"), py::arg("request_id"),
            py::arg("function_name") = py::none(), py::arg("source") = "ide");
    cls.def("_handle_run_module", &handle_run_module, py::arg("message"));
}

}  // namespace tarnlet::kernel
