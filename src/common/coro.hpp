// C++20 coroutines that Python sees as coroutine objects, and that can `co_await`
// any Python awaitable with the semantics of `yield from`.
//
//   tarnlet::Coro fetch(py::object session, py::object url) {
//       py::object response = co_await session.attr("get")(url);
//       co_return response;
//   }
//
// A function returning `Coro` that is bound with pybind11 returns a Python coroutine
// object; asyncio.Task, `await`, gather and asyncio.run drive it. Parameters must be
// taken by value: the frame outlives the call that created it.
//
// Inside the coroutine a failed await throws py::error_already_set carrying the
// Python exception (CancelledError included), which can be caught where Python code
// could catch it.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnlet {
namespace py = pybind11;

namespace detail {
struct CoroPromise;
}

class Coro {
public:
    using promise_type = detail::CoroPromise;
    using handle_type = std::coroutine_handle<promise_type>;

    Coro() = default;
    explicit Coro(handle_type h) : handle_(h) {}
    Coro(Coro &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Coro &operator=(Coro &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Coro(const Coro &) = delete;
    Coro &operator=(const Coro &) = delete;
    ~Coro() { reset(); }

    // Hands the frame over to a new Python coroutine object.
    py::object to_python(const char *qualname = nullptr) &&;

private:
    void reset() {
        if (handle_) {
            handle_.destroy();
            handle_ = {};
        }
    }
    handle_type handle_{};
};

// `co_await anext(iterator)` yields the next item of an async iterator, or nullopt
// once it raises StopAsyncIteration: the body of an `async for`.
struct Anext {
    py::object iterator;
};
inline Anext anext(py::object iterator) { return Anext{std::move(iterator)}; }
inline py::object aiter(const py::handle &iterable) { return iterable.attr("__aiter__")(); }

// `co_await attempt(awaitable)` gives the awaited value, or the ordinary exception (an
// Exception) it raised as a value: the failure can then be reported with co_await, which
// a catch handler does not allow. CancelledError and other BaseExceptions still propagate.
struct Attempted {
    py::object value;
    py::object failure;  // the exception instance, traceback attached
    bool ok() const { return !failure; }
};
struct Attempt {
    py::object awaitable;
};
inline Attempt attempt(py::object awaitable) { return Attempt{std::move(awaitable)}; }
inline Attempt attempt(Coro &&coro) { return Attempt{std::move(coro).to_python()}; }

// True when the error is an asyncio.CancelledError.
bool is_cancelled(const py::error_already_set &error);

namespace detail {

struct CoroPromise;

// Awaiter for a Python awaitable: the delegate is stored in the promise and the
// driving coroutine object forwards send/throw to it until it returns.
struct PyAwaiter {
    CoroPromise *promise;
    bool ready;
    bool await_ready() const noexcept { return ready; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    py::object await_resume() const;
};

struct AnextAwaiter {
    PyAwaiter inner;
    bool await_ready() const noexcept { return inner.await_ready(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept { inner.await_suspend(h); }
    std::optional<py::object> await_resume() const;
};

struct AttemptAwaiter {
    PyAwaiter inner;
    bool await_ready() const noexcept { return inner.await_ready(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept { inner.await_suspend(h); }
    Attempted await_resume() const;
};

struct CoroPromise {
    // User-declared on purpose: GCC 12 would otherwise aggregate-initialise the
    // promise from the coroutine's parameters.
    CoroPromise() {}

    Coro get_return_object() { return Coro(Coro::handle_type::from_promise(*this)); }
    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }

    template <typename T>
    void return_value(T &&value) {
        using V = std::decay_t<T>;
        if constexpr (std::is_base_of_v<py::object, V>) {
            result = std::forward<T>(value);
        } else if constexpr (std::is_base_of_v<py::handle, V>) {
            result = py::reinterpret_borrow<py::object>(value);
        } else {
            result = py::cast(std::forward<T>(value));
        }
    }
    void unhandled_exception() { error = std::current_exception(); }

    PyAwaiter await_transform(const py::handle &awaitable);
    PyAwaiter await_transform(Coro &&coro);
    AnextAwaiter await_transform(Anext next);
    AttemptAwaiter await_transform(Attempt attempt);

    // Set by await_transform; read and cleared by the driving coroutine object.
    py::object delegate;
    // What the delegate returned, or the exception delivered at the suspension point.
    py::object sent_value;
    py::object pending_error;  // a normalised exception instance
    // The coroutine's own outcome.
    py::object result;
    std::exception_ptr error;
};

}  // namespace detail
}  // namespace tarnlet

namespace pybind11::detail {
// Lets bound functions return tarnlet::Coro: the caller receives a coroutine object.
template <>
struct type_caster<tarnlet::Coro> {
public:
    PYBIND11_TYPE_CASTER(tarnlet::Coro, const_name("collections.abc.Coroutine"));
    bool load(handle, bool) { return false; }
    static handle cast(tarnlet::Coro &&src, return_value_policy, handle) {
        return std::move(src).to_python().release();
    }
};
}  // namespace pybind11::detail
