// tarnlet_master.python_server.bridge_selftest: small C++ coroutines and a class built
// with ClassBuilder, so the coroutine bridge and the shared helpers can be exercised from
// Python exactly as the modules use them. Built only for the tests (TARNLET_BUILD_TESTS).
#include <stdexcept>

#include "../../src/common/coro.hpp"
#include "../../src/common/helpers.hpp"
#include "../../src/common/pyclass.hpp"

namespace tarnlet::selftest {
namespace {

Coro await_value(py::object awaitable) { co_return co_await awaitable; }

Coro identity(py::object value) { co_return value; }

Coro await_each(py::list awaitables) {
    py::list results;
    for (py::handle awaitable : awaitables) {
        results.append(co_await awaitable);
    }
    co_return results;
}

// Reports how the await ended: ("ok", value), ("error", type name, text) or
// ("cancelled",) after calling on_cancel; a cancellation is re-raised.
Coro await_guarded(py::object awaitable, py::object on_cancel) {
    try {
        py::object value = co_await awaitable;
        co_return py::make_tuple("ok", value);
    } catch (py::error_already_set &e) {
        if (is_cancelled(e)) {
            on_cancel();
            throw;
        }
        co_return py::make_tuple("error", py::str(e.type().attr("__name__")), py::str(e.value()));
    }
}

// Awaits, then raises `error` (a Python exception instance) from C++.
Coro await_then_raise(py::object awaitable, py::object error) {
    co_await awaitable;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// Calls on_exit when GeneratorExit reaches the suspension point (close()).
Coro await_with_exit_hook(py::object awaitable, py::object on_exit) {
    try {
        co_await awaitable;
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_GeneratorExit)) {
            on_exit();
        }
        throw;
    }
    co_return py::none();
}

// Awaits `awaitable` through `depth` nested C++ coroutines.
Coro nested(int depth, py::object awaitable) {
    if (depth <= 0) {
        co_return co_await awaitable;
    }
    py::object inner = co_await nested(depth - 1, awaitable);
    co_return py::make_tuple(depth, inner);
}

Coro collect_async(py::object iterable) {
    py::list items;
    py::object it = aiter(iterable);
    while (auto item = co_await anext(it)) {
        items.append(*item);
    }
    co_return items;
}

Coro exchange(py::object ws, py::list messages, int expected) {
    py::list received;
    for (py::handle message : messages) {
        co_await ws.attr("send")(message);
    }
    py::object it = aiter(ws);
    while (py::len(received) < static_cast<size_t>(expected)) {
        auto frame = co_await anext(it);
        if (!frame) {
            break;
        }
        received.append(*frame);
    }
    co_return received;
}

// Connects to a WebSocket server, sends each message, collects `expected` frames
// with `async for`, then closes.
Coro websocket_exchange(py::object uri, py::list messages, int expected) {
    py::object websockets = py::module_::import("websockets");
    py::object ws = co_await websockets.attr("connect")(uri);
    const Attempted exchanged = co_await attempt(exchange(ws, messages, expected));
    co_await ws.attr("close")();
    if (!exchanged.ok()) {
        reraise(exchanged.failure);
    }
    co_return exchanged.value;
}

// Throws a C++ standard exception out of a coroutine body.
Coro raise_cpp(std::string text) {
    co_await py::module_::import("asyncio").attr("sleep")(0);
    throw std::runtime_error(text);
}

// A class made by ClassBuilder: greet() reaches prefix() through the instance, so a
// subclass or a patch of prefix is honoured.
py::object make_greeter_class(py::module_ &m, py::list bases) {
    std::vector<py::object> base_list;
    for (py::handle base : bases) {
        base_list.push_back(py::reinterpret_borrow<py::object>(base));
    }
    ClassBuilder cls("Greeter", m, base_list);
    cls.def_init([](py::object self, py::object name) { self.attr("name") = name; }, py::arg("name") = "world");
    cls.def("prefix", [](py::object) { return py::str("Hello, "); });
    cls.def("greet", [](py::object self) { return py::str(self.attr("prefix")()) + py::str(self.attr("name")); });
    cls.def("greet_later", [](py::object self, py::object delay) -> Coro {
        co_await py::module_::import("asyncio").attr("sleep")(delay);
        co_return self.attr("greet")();
    });
    cls.def_static("shout", [](std::string text) { return text + "!"; });
    cls.def_classmethod("create", [](py::object klass) { return klass("class"); });
    cls.def_property_readonly("length", [](py::object self) { return py::len(self.attr("name")); });
    cls.attr("KIND", py::str("greeter"));
    return cls.build();
}

Level level_named(const std::string &name) {
    if (name == "debug") {
        return Level::debug;
    }
    if (name == "info") {
        return Level::info;
    }
    if (name == "warning") {
        return Level::warning;
    }
    return Level::error;
}

}  // namespace
}  // namespace tarnlet::selftest

PYBIND11_MODULE(bridge_selftest, b) {
    using namespace tarnlet;
    using namespace tarnlet::selftest;
    set_this_module(b);
    b.attr("logger") = py::module_::import("logging").attr("getLogger")(b.attr("__name__"));
    b.def("await_value", &await_value);
    b.def("identity", &identity);
    b.def("await_each", &await_each);
    b.def("await_guarded", &await_guarded);
    b.def("await_then_raise", &await_then_raise);
    b.def("await_with_exit_hook", &await_with_exit_hook);
    b.def("nested", &nested);
    b.def("collect_async", &collect_async);
    b.def("websocket_exchange", &websocket_exchange);
    b.def("raise_cpp", &raise_cpp);
    b.def(
        "make_greeter_class", [b](py::list bases) mutable { return make_greeter_class(b, bases); },
        py::arg("bases") = py::list());
    b.def("text_of", [](py::object value) { return text_of(value); });
    b.def("type_name", [](py::object value) { return type_name(value); });
    b.def("module_global", [](std::string name) { return module_global(name.c_str()); });
    b.def("log", [](std::string level, std::string text) { log(level_named(level), text); });
    b.def("logf", [](std::string level, std::string fmt, py::object arg) { logf(level_named(level), fmt, arg); });
    b.def("raise_error_in",
          [](std::string where, std::string text) { raise_error_in(where.c_str(), PyExc_ValueError, text); });
    b.def("attempt_value", [](py::object awaitable) -> Coro {
        const Attempted outcome = co_await attempt(awaitable);
        if (outcome.ok()) {
            co_return py::make_tuple("ok", outcome.value);
        }
        co_return py::make_tuple("failed", outcome.failure);
    });
}
