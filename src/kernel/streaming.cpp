// "execute_streaming_function": a workbook generator runs on one worker for its whole
// life and every value it yields goes out as its own "streaming_function_result".
// The worker waits for each send, so a fast generator cannot queue without bound, and
// it looks for a cancellation before sending each value.
#include <memory>

#include "invocation.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

constexpr double kModuleSyncMaxWait = 5.0;
constexpr double kModuleSyncInterval = 0.1;
constexpr double kValueSendTimeout = 1.0;

// How the generator's run ended on the worker.
struct Result {
    Outcome outcome;
    py::object error;  // the refusal or failure text sent as the stream's error
    bool canceled = false;
    long result_count = 0;
};

// A "streaming_function_result"; `fill` adds `result` or `error` between the id and `done`.
template <typename Fill>
py::dict result_message(const Request &stream, bool done, Fill &&fill) {
    py::dict message = reply_of("streaming_function_result");
    message["request_id"] = stream.request_id;
    fill(message);
    message["done"] = done;
    message["workbook_id"] = stream.self.attr("workbook_id");
    return message;
}

// str(failure), or its class name when that is empty (`assert False`, SystemExit()): an
// empty error would read as a stream that finished.
py::object failure_text(const py::handle &failure) {
    py::str text = py::str(failure);
    if (py::len(text) == 0) {
        return py::type::handle_of(failure).attr("__name__");
    }
    return text;
}

py::dict failed_message(const Request &stream, py::object error) {
    return result_message(stream, true, [&](py::dict &m) { m["error"] = error; });
}

// The first 20 names of sys.modules that do not begin with "_".
py::list sample_of_modules() {
    py::list names;
    for (const py::handle name : module_global("sys").attr("modules")) {
        if (py::len(names) >= 20) {
            break;
        }
        if (!py::bool_(name.attr("startswith")("_"))) {
            names.append(name);
        }
    }
    return names;
}

py::list public_names(const py::object &module) {
    py::list names;
    for (const py::handle name : py::list(py::module_::import("builtins").attr("dir")(module))) {
        if (!py::bool_(name.attr("startswith")("_"))) {
            names.append(name);
        }
    }
    return names;
}

// Iterates the generator on this worker, sending each value; false once canceled.
void stream_values(const Request &stream, const py::object &generator, Result &result) {
    const py::object self = stream.self;
    const py::object convert = to_wire();
    while (true) {
        PyObject *next = PyIter_Next(generator.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                throw py::error_already_set();
            }
            return;
        }
        const py::object value = py::reinterpret_steal<py::object>(next);
        // Cancellation is seen between two values; the generator is not resumed after it.
        const py::object canceled = self.attr("_canceled_streaming_requests");
        if (canceled.contains(stream.request_id)) {
            canceled.attr("discard")(stream.request_id);
            schedule_send(self, stream.loop,
                          result_message(stream, true, [](py::dict &m) { m["result"] = "Canceled"; }));
            result.canceled = true;
            return;
        }
        const py::object wire = convert(value);
        schedule_send(self, stream.loop, result_message(stream, false, [&](py::dict &m) { m["result"] = wire; }))
            .attr("result")(py::arg("timeout") = kValueSendTimeout);
        ++result.result_count;
        if (result.result_count % 10 == 0) {
            module_global("time").attr("sleep")(0.001);
        }
    }
}

// run_streaming_in_thread: on a worker thread.
Result run_streaming_in_thread(const Request &stream) {
    logf(Level::debug, "[TIMING] Streaming worker started: thread=%s, request_id=%s", current_thread_name(),
         stream.request_id);
    Result result;
    result.outcome = call_captured(stream, [&](Outcome &) {
        const std::string function_text = text_of(stream.function_name);
        const py::object module = load_module(stream.module_name);
        if (module.is_none()) {
            logf(Level::error, "[Kernel] Module not found in sys.modules: %s", stream.module_name);
            logf(Level::error, "[Kernel] Sample of available modules: %s", sample_of_modules());
            logf(Level::error, "[Kernel] in_memory_loader.source_cache keys: %s",
                 py::list(module_global("in_memory_loader").attr("source_cache").attr("keys")()));
            result.error = py::str("Module not found: " + text_of(stream.module_name));
            return;
        }
        logf(Level::debug, "[Kernel] Found module in sys.modules: %s", stream.module_name);
        const py::object func = function_of(module, stream.function_name);
        if (!func) {
            logf(Level::error, "[Kernel] Function not found in module: %s", function_text);
            logf(Level::error, "[Kernel] Available functions in module: %s", public_names(module));
            result.error = py::str("Function not found: " + function_text);
            return;
        }
        logf(Level::debug, "[Kernel] Found function: %s", function_text);
        const py::object generator = func(*call_args(stream));
        if (!py::bool_(module_global("inspect").attr("isgenerator")(generator))) {
            const std::string text = "Function " + function_text + " is not a generator function";
            log_error("[Kernel] " + text);
            result.error = py::str(text);
            return;
        }
        logf(Level::info, "[Kernel] Starting to stream results from generator: %s", function_text);
        stream_values(stream, generator, result);
    });
    const py::object failure = result.outcome.failure;
    if (failure) {
        logf(Level::error, "[TIMING] Streaming error: request_id=%s, error=%s", stream.request_id, failure);
        result.error = failure_text(failure);
    }
    return result;
}

Coro fail_with(Request stream, double start, std::string text, std::string reason) {
    logf(Level::error, "[TIMING] Streaming failed: request_id=%s, elapsed=%sms, error=%s", stream.request_id,
         elapsed_ms(start), reason);
    co_return co_await send(stream.self, failed_message(stream, py::str(text)));
}

// Waits (a bounded time) for a module that is not loaded yet to be synced; false when it
// did not come.
Coro module_synced(Request stream) {
    const py::object self = stream.self;
    logf(Level::warning, "[Kernel] Module '%s' not in cache, requesting sync", stream.module_name);
    py::dict sync = reply_of("request_module_sync");
    sync["module_name"] = stream.module_name;
    sync["workbook_id"] = self.attr("workbook_id");
    co_await send(self, sync);
    double waited = 0.0;
    const auto cached = [&]() {
        return module_global("in_memory_loader").attr("source_cache").contains(stream.module_name);
    };
    while (!cached() && waited < kModuleSyncMaxWait) {
        co_await module_global("asyncio").attr("sleep")(kModuleSyncInterval);
        waited += kModuleSyncInterval;
    }
    co_return py::bool_(cached());
}

Coro serve(Request stream, double start) {
    const py::object self = stream.self;
    const std::string module_text = text_of(stream.module_name);
    logf(Level::debug, "[TIMING] Streaming execution started: request_id=%s, function=%s", stream.request_id,
         stream.qualified());
    logf(Level::info, "[Kernel] _execute_streaming_function: module=%s, function=%s, request_id=%s", stream.module_name,
         stream.function_name, stream.request_id);
    if (!is_json_scalar(stream.request_id)) {
        const std::string text = invalid_field_text("request_id", "a string, a number or null", stream.request_id);
        co_return co_await fail_with(stream, start, text, text);
    }
    bool available = module_global("in_memory_loader").attr("source_cache").contains(stream.module_name);
    if (!available) {
        const py::object synced = co_await module_synced(stream);
        available = py::bool_(synced);
    }
    if (!available) {
        logf(Level::error, "[TIMING] Streaming failed: request_id=%s, elapsed=%sms, error=Module not found after sync",
             stream.request_id, elapsed_ms(start));
        const std::string text = "Module '" + module_text + "' not found after sync attempt";
        log_error("[Kernel] " + text);
        co_return co_await send(self, failed_message(stream, py::str(text)));
    }
    stream.loop = module_global("asyncio").attr("get_running_loop")();
    auto result = std::make_shared<Result>();
    const py::object worker =
        worker_function("run_streaming_in_thread", [stream, result]() { *result = run_streaming_in_thread(stream); });
    co_await run_on_worker(stream, worker);
    const std::string elapsed = elapsed_ms(start);
    if (result->error && py::bool_(result->error)) {
        logf(Level::error, "[TIMING] Streaming failed: request_id=%s, elapsed=%sms, error=%s", stream.request_id,
             elapsed, result->error);
        co_return co_await send(self, failed_message(stream, result->error));
    }
    if (result->canceled) {
        logf(Level::debug, "[TIMING] Streaming canceled: request_id=%s, elapsed=%sms", stream.request_id, elapsed);
        co_return py::none();
    }
    logf(Level::debug, "[TIMING] Streaming completed: request_id=%s, elapsed=%sms, results=%s", stream.request_id,
         elapsed, std::to_string(result->result_count));
    co_return co_await send(self, result_message(stream, true, [](py::dict &) {}));
}

Coro fail(Request stream, double start, py::object failure) {
    logf(Level::error, "[TIMING] Streaming exception: request_id=%s, elapsed=%sms, error=%s", stream.request_id,
         elapsed_ms(start), failure);
    co_return co_await send(stream.self, failed_message(stream, failure_text(failure)));
}

Coro execute_streaming_function(py::object self, py::object request_id, py::object module_name,
                                py::object function_name, py::object args, py::object workbook_id, py::object source) {
    const double start = now();
    const Request stream{self, module_name, function_name, args, request_id, workbook_id, source};
    // However the stream ends, a cancellation that came too late is forgotten; an id
    // that cannot be in the set (an object) was never added to it.
    const AtExit forget([self, request_id]() {
        if (is_json_scalar(request_id)) {
            self.attr("_canceled_streaming_requests").attr("discard")(request_id);
        }
    });
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const py::object serving = serve(stream, start).to_python();
    const py::object on_failure =
        py::cpp_function([stream, start](py::object failure) { return fail(stream, start, failure); });
    co_return co_await guarded(serving, on_failure);
}

}  // namespace

void add_streaming_methods(ClassBuilder &cls) {
    cls.def("_execute_streaming_function", &execute_streaming_function, py::arg("request_id"), py::arg("module_name"),
            py::arg("function_name"), py::arg("args"), py::arg("workbook_id"), py::arg("source"));
}

}  // namespace tarnlet::kernel
