// "execute_streaming_function": a workbook generator runs on one worker for its whole
// life and every value it yields goes out as its own "streaming_function_result".
// The worker waits for each send, so a fast generator cannot queue without bound, and
// it looks for a cancellation before sending each value.
#include <cstdio>
#include <exception>

#include "invocation_helpers.hpp"

namespace tarnlet::kernel {
namespace {
using namespace invocation;

constexpr double kModuleSyncMaxWait = 5.0;
constexpr double kModuleSyncInterval = 0.1;
constexpr double kValueSendTimeout = 1.0;

struct Stream {
    py::object self;
    py::object request_id;
    py::object module_name;
    py::object function_name;
    py::object args;
    py::object workbook_id;  // the request's, for the output streams
    py::object source;

    std::string rid() const { return str_of(request_id); }
};

double now() { return module_global("time").attr("time")().cast<double>(); }

std::string elapsed_since(double start) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", (now() - start) * 1000.0);
    return text;
}

// A "streaming_function_result"; the caller adds `result` or `error` between the id
// and `done` through `fill`.
template <typename Fill>
py::dict result_message(const Stream &stream, bool done, Fill &&fill) {
    py::dict message;
    message["type"] = "streaming_function_result";
    message["request_id"] = stream.request_id;
    fill(message);
    message["done"] = done;
    message["workbook_id"] = stream.self.attr("workbook_id");
    return message;
}

py::dict failed_message(const Stream &stream, py::object error) {
    return result_message(stream, true, [&](py::dict &m) { m["error"] = error; });
}

py::dict outcome(const char *key, py::object value) {
    py::dict result;
    result[key] = std::move(value);
    return result;
}

// The first 20 names of sys.modules that do not begin with "_".
std::string sample_of_modules() {
    py::list names;
    for (const py::handle name : module_global("sys").attr("modules")) {
        if (py::len(names) >= 20) {
            break;
        }
        if (!py::bool_(name.attr("startswith")("_"))) {
            names.append(name);
        }
    }
    return str_of(names);
}

std::string public_names(const py::object &module) {
    py::list names;
    for (const py::handle name : py::list(py::module_::import("builtins").attr("dir")(module))) {
        if (!py::bool_(name.attr("startswith")("_"))) {
            names.append(name);
        }
    }
    return str_of(names);
}

// run_streaming_in_thread: iterates the generator on this worker.
py::dict run_streaming_in_thread(const Stream &stream, const py::object &loop) {
    log_debug("[TIMING] Streaming worker started: thread=" + current_thread_name() + ", request_id=" + stream.rid());
    const py::object self = stream.self;
    CapturedOutput output(stream_callback("stdout", loop, self, stream.request_id, stream.workbook_id, stream.source),
                          stream_callback("stderr", loop, self, stream.request_id, stream.workbook_id, stream.source));
    py::object failure;
    try {
        const std::string module_text = str_of(stream.module_name);
        const std::string function_text = str_of(stream.function_name);
        const py::object module = load_module(stream.module_name);
        if (module.is_none()) {
            log_error("[Kernel] Module not found in sys.modules: " + module_text);
            log_error("[Kernel] Sample of available modules: " + sample_of_modules());
            log_error("[Kernel] in_memory_loader.source_cache keys: " +
                      str_of(py::list(module_global("in_memory_loader").attr("source_cache").attr("keys")())));
            return outcome("error", py::str("Module not found: " + module_text));
        }
        log_debug("[Kernel] Found module in sys.modules: " + module_text);
        const py::object func = function_of(module, stream.function_name);
        if (!func) {
            log_error("[Kernel] Function not found in module: " + function_text);
            log_error("[Kernel] Available functions in module: " + public_names(module));
            return outcome("error", py::str("Function not found: " + function_text));
        }
        log_debug("[Kernel] Found function: " + function_text);
        const py::object generator = func(*self.attr("_deserialize_args")(stream.args));
        if (!py::bool_(module_global("inspect").attr("isgenerator")(generator))) {
            log_error("[Kernel] Function " + function_text + " is not a generator function");
            return outcome("error", py::str("Function " + function_text + " is not a generator function"));
        }
        log_info("[Kernel] Starting to stream results from generator: " + function_text);
        const py::object to_wire = module_global("tarnlet").attr("Serializer").attr("to_wire");
        long result_count = 0;
        while (true) {
            PyObject *next = PyIter_Next(generator.ptr());
            if (next == nullptr) {
                if (PyErr_Occurred() != nullptr) {
                    throw py::error_already_set();
                }
                break;
            }
            const py::object value = py::reinterpret_steal<py::object>(next);
            // Cancellation is seen between two values; the generator is not resumed after it.
            const py::object canceled = self.attr("_canceled_streaming_requests");
            if (canceled.contains(stream.request_id)) {
                canceled.attr("discard")(stream.request_id);
                schedule_send(self, loop, result_message(stream, true, [](py::dict &m) { m["result"] = "Canceled"; }));
                return outcome("canceled", py::bool_(true));
            }
            const py::object wire = to_wire(value);
            schedule_send(self, loop, result_message(stream, false, [&](py::dict &m) { m["result"] = wire; }))
                .attr("result")(py::arg("timeout") = kValueSendTimeout);
            ++result_count;
            if (result_count % 10 == 0) {
                module_global("time").attr("sleep")(0.001);
            }
        }
        py::dict done;
        done["success"] = true;
        done["result_count"] = result_count;
        return done;
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = exception_of(e);
    }
    output.print_exception(failure);
    log_error("[TIMING] Streaming error: request_id=" + stream.rid() + ", error=" + str_of(failure));
    py::dict failed;
    failed["error"] = py::str(failure);
    failed["traceback"] = traceback_text(failure);
    return failed;
}

// Steps up to the final message; exceptions are reported by the caller.
Coro stream_values(Stream stream, double start) {
    const py::object self = stream.self;
    const std::string rid = stream.rid();
    const std::string module_text = str_of(stream.module_name);
    log_debug("[TIMING] Streaming execution started: request_id=" + rid + ", function=" + module_text + "." +
              str_of(stream.function_name));
    log_info("[Kernel] _execute_streaming_function: module=" + module_text +
             ", function=" + str_of(stream.function_name) + ", request_id=" + rid);
    if (!is_json_scalar(stream.request_id)) {
        const std::string text = invalid_field_text("request_id", "a string, a number or null", stream.request_id);
        log_error("[TIMING] Streaming failed: request_id=" + rid + ", elapsed=" + elapsed_since(start) +
                  "ms, error=" + text);
        co_await self.attr("send_message")(failed_message(stream, py::str(text)));
        co_return py::none();
    }

    const py::object cache = module_global("in_memory_loader").attr("source_cache");
    if (!cache.contains(stream.module_name)) {
        log_warning("[Kernel] Module '" + module_text + "' not in cache, requesting sync");
        py::dict sync;
        sync["type"] = "request_module_sync";
        sync["module_name"] = stream.module_name;
        sync["workbook_id"] = self.attr("workbook_id");
        co_await self.attr("send_message")(sync);
        double waited = 0.0;
        while (!module_global("in_memory_loader").attr("source_cache").contains(stream.module_name) &&
               waited < kModuleSyncMaxWait) {
            co_await module_global("asyncio").attr("sleep")(kModuleSyncInterval);
            waited += kModuleSyncInterval;
        }
        if (!module_global("in_memory_loader").attr("source_cache").contains(stream.module_name)) {
            log_error("[TIMING] Streaming failed: request_id=" + rid + ", elapsed=" + elapsed_since(start) +
                      "ms, error=Module not found after sync");
            log_error("[Kernel] Module '" + module_text + "' not found after sync attempt");
            co_await self.attr("send_message")(
                failed_message(stream, py::str("Module '" + module_text + "' not found after sync attempt")));
            co_return py::none();
        }
    }

    const py::object loop = module_global("asyncio").attr("get_running_loop")();
    const py::object worker = py::cpp_function([stream, loop]() { return run_streaming_in_thread(stream, loop); },
                                               py::name("run_streaming_in_thread"));
    const py::object result = co_await loop.attr("run_in_executor")(self.attr("_thread_pool"), worker);
    const std::string elapsed = elapsed_since(start);

    const py::object error = get(result, "error", py::none());
    if (py::bool_(error)) {
        log_error("[TIMING] Streaming failed: request_id=" + rid + ", elapsed=" + elapsed +
                  "ms, error=" + str_of(error));
        co_await self.attr("send_message")(failed_message(stream, error));
    } else if (py::bool_(get(result, "canceled", py::bool_(false)))) {
        log_debug("[TIMING] Streaming canceled: request_id=" + rid + ", elapsed=" + elapsed + "ms");
    } else {
        log_debug("[TIMING] Streaming completed: request_id=" + rid + ", elapsed=" + elapsed +
                  "ms, results=" + str_of(get(result, "result_count", py::int_(0))));
        co_await self.attr("send_message")(result_message(stream, true, [](py::dict &) {}));
    }
    co_return py::none();
}

Coro execute_streaming_function(py::object self, py::object request_id, py::object module_name,
                                py::object function_name, py::object args, py::object workbook_id, py::object source) {
    const double start = now();
    const Stream stream{self, request_id, module_name, function_name, args, workbook_id, source};
    py::object failure;
    std::exception_ptr escaping;  // CancelledError and the like: still clean up first
    try {
        co_await stream_values(stream, start);
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
        log_error("[TIMING] Streaming exception: request_id=" + stream.rid() + ", elapsed=" + elapsed_since(start) +
                  "ms, error=" + str_of(failure));
        try {
            co_await self.attr("send_message")(failed_message(stream, py::str(failure)));
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                escaping = std::current_exception();
            } else {
                log_error("[Kernel] Failed to send error message: " + str_of(exception_of(e)));
            }
        }
    }
    // An id that cannot be in the set (an object) was never added to it.
    if (is_json_scalar(request_id)) {
        self.attr("_canceled_streaming_requests").attr("discard")(request_id);
    }
    if (escaping) {
        std::rethrow_exception(escaping);
    }
    co_return py::none();
}

}  // namespace

void add_streaming_methods(ClassBuilder &cls) {
    cls.def("_execute_streaming_function", &execute_streaming_function, py::arg("request_id"), py::arg("module_name"),
            py::arg("function_name"), py::arg("args"), py::arg("workbook_id"), py::arg("source"));
}

}  // namespace tarnlet::kernel
