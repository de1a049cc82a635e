// One total time limit per query, whichever way it asks the index. The JSON path gives
// aiohttp its total; the finder path runs in a worker thread, which cannot be interrupted,
// so the awaiting side stops waiting at the deadline and the thread's own HTTP client
// stops at the same deadline: each request gets the time that is left as its time-outs, and
// a response that trickles in is cut off at the first piece that arrives too late.
//
// The query's state (its deadline, and whether the dependencies it found are complete)
// travels to the worker thread in a context variable.
#include <algorithm>
#include <chrono>

#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

[[noreturn]] void raise_deadline(const py::object &limit) {
    py::object error = py::module_::import("asyncio").attr("TimeoutError");
    PyErr_SetObject(error.ptr(), py::str("no complete answer within " + text_of(limit) + " s").ptr());
    throw py::error_already_set();
}

double deadline_of(const py::object &state) { return state["deadline"].cast<double>(); }

// A byte stream that passes the wrapped stream's pieces on until the deadline has passed.
py::object deadline_stream_init(py::object self, py::object stream, double deadline, py::object limit) {
    self.attr("_stream") = stream;
    self.attr("_deadline") = deadline;
    self.attr("_limit") = limit;
    self.attr("_pieces") = py::none();
    return py::none();
}

py::object deadline_stream_iter(py::object self) {
    self.attr("_pieces") = py::iter(self.attr("_stream"));
    return self;
}

py::object deadline_stream_next(py::object self) {
    py::object pieces = self.attr("_pieces");
    if (pieces.is_none()) {
        pieces = deadline_stream_iter(self).attr("_pieces");
    }
    py::object piece = py::reinterpret_steal<py::object>(PyIter_Next(pieces.ptr()));
    if (!piece) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetNone(PyExc_StopIteration);
        }
        throw py::error_already_set();
    }
    if (now() > self.attr("_deadline").cast<double>()) {
        raise_deadline(self.attr("_limit"));
    }
    return piece;
}

py::object deadline_stream_close(py::object self) {
    self.attr("_stream").attr("close")();
    return py::none();
}

// The wrapped stream keeps the response's timing.
py::object deadline_stream_elapsed(py::object self) { return py::getattr(self.attr("_stream"), "elapsed", py::none()); }

// The stream class for the HTTP library at hand: the library checks that a response's
// stream is one of its own byte streams, so ours derives from that class (found in the
// stream's own ancestry). None when it cannot be found.
py::object deadline_stream_class(const py::object &stream) {
    py::object cached = module_global("_deadline_stream_class");
    if (!cached.is_none() && py::isinstance(stream, cached.attr("__mro__")[py::int_(1)])) {
        return cached;
    }
    for (py::handle base : py::type::of(stream).attr("__mro__")) {
        if (py::str(base.attr("__name__")).cast<std::string>() != "SyncByteStream") {
            continue;
        }
        ClassBuilder cls("_DeadlineStream", this_module(), {py::reinterpret_borrow<py::object>(base)});
        cls.def_init(&deadline_stream_init, py::arg("stream"), py::arg("deadline"), py::arg("limit"));
        cls.def("__iter__", &deadline_stream_iter);
        cls.def("__next__", &deadline_stream_next);
        cls.def("close", &deadline_stream_close);
        cls.def_property_readonly("elapsed", &deadline_stream_elapsed);
        py::object built = cls.build();
        set_module_global("_deadline_stream_class", built);
        return built;
    }
    return py::none();
}

}  // namespace

py::object query_timeout() { return module_global("QUERY_TIMEOUT"); }

py::object new_query_state() {
    py::dict state;
    state["deadline"] = now() + query_timeout().cast<double>();
    state["dependencies_known"] = true;
    return state;
}

py::object current_query_state() { return module_global("_query_state").attr("get")(); }

bool query_expired(const py::object &state) { return !state.is_none() && now() >= deadline_of(state); }

bool past_query_deadline() { return query_expired(current_query_state()); }

py::object limited_in_executor(const py::object &self, const char *method, const py::tuple &args,
                               const py::object &state) {
    py::object context = py::module_::import("contextvars").attr("copy_context")();
    context.attr("run")(module_global("_query_state").attr("set"), state);
    py::list call_args;
    call_args.append(py::none());
    call_args.append(context.attr("run"));
    call_args.append(self.attr(method));
    for (py::handle arg : args) {
        call_args.append(arg);
    }
    py::object asyncio = py::module_::import("asyncio");
    py::object future = asyncio.attr("get_event_loop")().attr("run_in_executor")(*py::tuple(call_args));
    const double remaining = std::max(0.0, deadline_of(state) - now());
    return asyncio.attr("wait_for")(future, remaining);
}

bool is_timeout(const py::error_already_set &error) {
    return error.matches(py::module_::import("asyncio").attr("TimeoutError")) || error.matches(PyExc_TimeoutError);
}

std::string timeout_text() { return "no complete answer within " + text_of(query_timeout()) + " s"; }

py::dict deadline_hooks() {
    py::object state = current_query_state();
    const double deadline = state.is_none() ? now() + query_timeout().cast<double>() : deadline_of(state);
    py::object limit = query_timeout();
    py::list request_hooks;
    request_hooks.append(py::cpp_function([deadline, limit](py::object request) {
        const double remaining = deadline - now();
        if (remaining <= 0) {
            raise_deadline(limit);
        }
        py::dict timeouts;
        for (const char *phase : {"connect", "read", "write", "pool"}) {
            timeouts[phase] = remaining;
        }
        py::object extensions = py::module_::import("builtins").attr("dict")(request.attr("extensions"));
        extensions["timeout"] = timeouts;
        request.attr("extensions") = extensions;
    }));
    py::list response_hooks;
    response_hooks.append(py::cpp_function([deadline, limit](py::object response) {
        py::object stream = response.attr("stream");
        py::object cls = deadline_stream_class(stream);
        if (!cls.is_none()) {
            response.attr("stream") = cls(stream, deadline, limit);
        }
    }));
    py::dict hooks;
    hooks["request"] = request_hooks;
    hooks["response"] = response_hooks;
    return hooks;
}

void register_query_limit(py::module_ &m) {
    m.attr("QUERY_TIMEOUT") = 10;
    m.attr("_query_state") =
        py::module_::import("contextvars").attr("ContextVar")("feedscout_query_state", py::arg("default") = py::none());
    m.attr("_deadline_stream_class") = py::none();
}

}  // namespace tarnlet::feedscout
