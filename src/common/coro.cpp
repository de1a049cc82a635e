// The Python side of tarnlet::Coro: a GC-aware object with the coroutine protocol
// (send, throw, close, __await__, __iter__, __next__ and the am_send slot), so that
// collections.abc.Coroutine recognises it and asyncio.Task steps it either through
// PyIter_Send (C Task) or send(None) (pure-Python Task).
//
// This file is the one place that counts references by hand.
#include "coro.hpp"

#include <cstring>

#include "helpers.hpp"

namespace tarnlet {
namespace {

enum class State { created, suspended, running, done };

struct CoroObject {
    PyObject_HEAD void *frame;  // coroutine_handle address, null once destroyed
    PyObject *qualname;
    State state;
};

using Handle = Coro::handle_type;

Handle handle_of(CoroObject *self) { return Handle::from_address(self->frame); }

detail::CoroPromise &promise_of(CoroObject *self) { return handle_of(self).promise(); }

void destroy_frame(CoroObject *self) {
    if (self->frame != nullptr) {
        Handle h = handle_of(self);
        self->frame = nullptr;
        h.destroy();  // runs the destructors of the frame's py::objects
    }
}

// Takes the current Python error as a normalised exception instance (new reference).
PyObject *fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises `exc` (borrowed) as the current Python error.
void restore_exception(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(exc));
#else
    PyObject *tb = PyException_GetTraceback(exc);  // new reference or null
    Py_INCREF(Py_TYPE(exc));
    Py_INCREF(exc);
    PyErr_Restore(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc, tb);
#endif
}

// Sets the current Python error aside for one scope and puts it back on leaving, so a
// finaliser can run Python code without losing an error that is on its way.
class SavedError {
public:
    SavedError() : exc_(fetch_exception()) {}
    ~SavedError() {
        if (exc_ != nullptr) {
            restore_exception(exc_);
            Py_DECREF(exc_);
        }
    }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

private:
    PyObject *exc_;
};

// Turns the coroutine's escaped C++ exception into the current Python error.
void raise_coroutine_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (py::error_already_set &e) {
        restore_exception(exception_of(e).ptr());
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in coroutine");
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // As in a Python coroutine, a StopIteration escaping the body must not look
        // like a normal return to the driver.
        PyObject *cause = fetch_exception();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject *exc = fetch_exception();
        PyException_SetCause(exc, cause);  // steals cause
        restore_exception(exc);
        Py_DECREF(exc);
    }
}

PyObject *stop_iteration_value() {
    // Value of the pending StopIteration (new reference); clears it.
    PyObject *exc = fetch_exception();
    // Made once the pending error is fetched; lives as long as the process.
    static PyObject *const value_name = PyUnicode_InternFromString("value");
    PyObject *value = exc != nullptr && value_name != nullptr ? PyObject_GetAttr(exc, value_name) : nullptr;
    Py_XDECREF(exc);
    if (value == nullptr) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return value;
}

// The checks before a step; false with a Python error set when the step cannot run.
// `exc` (borrowed, may be null) is what a throw() delivers.
bool may_step(CoroObject *self, PyObject *value, PyObject *exc) {
    switch (self->state) {
        case State::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return false;
        case State::done:
            if (exc != nullptr) {
                restore_exception(exc);
            } else {
                PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            }
            return false;
        case State::created:
            if (exc != nullptr) {
                self->state = State::done;
                destroy_frame(self);
                restore_exception(exc);
                return false;
            }
            if (value != nullptr && value != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return false;
            }
            return true;
        case State::suspended:
            break;
    }
    return true;
}

// The delegate has finished: keep its return value (pending StopIteration) or its error
// for the co_await that is waiting on it.
void take_delegate_outcome(detail::CoroPromise &p) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        p.sent_value = py::reinterpret_steal<py::object>(stop_iteration_value());
    } else {
        p.pending_error = py::reinterpret_steal<py::object>(fetch_exception());
    }
    p.delegate = py::object();
}

// Resumes the C++ body and steps each new delegate it awaits, `value` (borrowed, may be
// null for None) going to the current delegate first. PYGEN_NEXT: *out is what a
// delegate yielded; PYGEN_RETURN: *out is the result; PYGEN_ERROR: a Python error is set.
PySendResult run_until_suspended(CoroObject *self, PyObject *value, PyObject **out) {
    detail::CoroPromise &p = promise_of(self);
    for (;;) {
        if (p.delegate) {
            PyObject *result = nullptr;
            const PySendResult r = PyIter_Send(p.delegate.ptr(), value != nullptr ? value : Py_None, &result);
            if (r == PYGEN_NEXT) {
                self->state = State::suspended;
                *out = result;
                return PYGEN_NEXT;
            }
            if (r == PYGEN_RETURN) {
                p.sent_value = py::reinterpret_steal<py::object>(result);
                p.delegate = py::object();
            } else {
                take_delegate_outcome(p);
            }
            value = nullptr;
        }
        Handle h = handle_of(self);
        h.resume();
        if (h.done()) {
            self->state = State::done;
            py::object result = std::move(p.result);
            std::exception_ptr error = std::move(p.error);
            destroy_frame(self);
            if (error) {
                raise_coroutine_error(error);
                return PYGEN_ERROR;
            }
            *out = result ? result.release().ptr() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        // Suspended on a new co_await: step its delegate at once, as yield from does.
    }
}

// The send half: deliver `value` (borrowed, may be null for None) at the suspension point.
PySendResult step_send(CoroObject *self, PyObject *value, PyObject **out) {
    *out = nullptr;
    if (!may_step(self, value, nullptr)) {
        return PYGEN_ERROR;
    }
    self->state = State::running;
    return run_until_suspended(self, value, out);
}

// The throw half: raise `exc` (borrowed) at the suspension point. A delegate that can
// take it gets it first, as yield from does; GeneratorExit closes the delegate instead.
PySendResult step_throw(CoroObject *self, PyObject *exc, PyObject **out) {
    *out = nullptr;
    if (!may_step(self, nullptr, exc)) {
        return PYGEN_ERROR;
    }
    self->state = State::running;
    detail::CoroPromise &p = promise_of(self);
    const py::object delegate = p.delegate;
    if (!delegate) {
        p.pending_error = py::reinterpret_borrow<py::object>(exc);
        return run_until_suspended(self, nullptr, out);
    }
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        p.pending_error = py::reinterpret_borrow<py::object>(exc);
        PyObject *close = PyObject_GetAttrString(delegate.ptr(), "close");
        if (close == nullptr) {
            PyErr_Clear();
        } else {
            PyObject *r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (r == nullptr) {
                p.pending_error = py::reinterpret_steal<py::object>(fetch_exception());
            } else {
                Py_DECREF(r);
            }
        }
        p.delegate = py::object();
        return run_until_suspended(self, nullptr, out);
    }
    PyObject *throw_method = PyObject_GetAttrString(delegate.ptr(), "throw");
    if (throw_method == nullptr) {
        PyErr_Clear();
        p.pending_error = py::reinterpret_borrow<py::object>(exc);
        p.delegate = py::object();
        return run_until_suspended(self, nullptr, out);
    }
    PyObject *yielded = PyObject_CallOneArg(throw_method, exc);
    Py_DECREF(throw_method);
    if (yielded != nullptr) {
        self->state = State::suspended;
        *out = yielded;
        return PYGEN_NEXT;
    }
    take_delegate_outcome(p);
    return run_until_suspended(self, nullptr, out);
}

// Converts a step result into the send()/__next__() convention.
PyObject *as_iteration(PySendResult r, PyObject *out) {
    if (r == PYGEN_NEXT) {
        return out;
    }
    if (r == PYGEN_RETURN) {
        // A StopIteration instance keeps a tuple result intact.
        PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, out);
        Py_DECREF(out);
        if (stop != nullptr) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    }
    return nullptr;
}

PyObject *coro_send(PyObject *self, PyObject *value) {
    PyObject *out = nullptr;
    const PySendResult r = step_send(reinterpret_cast<CoroObject *>(self), value, &out);
    return as_iteration(r, out);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *out = nullptr;
    const PySendResult r = step_send(reinterpret_cast<CoroObject *>(self), Py_None, &out);
    if (r == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);
        return nullptr;  // plain exhaustion
    }
    return as_iteration(r, out);
}

PySendResult coro_am_send(PyObject *self, PyObject *value, PyObject **result) {
    return step_send(reinterpret_cast<CoroObject *>(self), value, result);
}

// Builds the exception instance for throw(type[, value[, traceback]]) or throw(instance).
PyObject *make_thrown_exception(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : Py_None;
    PyObject *tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val)) {
            exc = Py_NewRef(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (exc != nullptr && tb != Py_None) {
        PyException_SetTraceback(exc, tb);
    }
    return exc;
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *exc = make_thrown_exception(args, nargs);
    if (exc == nullptr) {
        return nullptr;
    }
    PyObject *out = nullptr;
    const PySendResult r = step_throw(reinterpret_cast<CoroObject *>(self), exc, &out);
    Py_DECREF(exc);
    return as_iteration(r, out);
}

PyObject *coro_close(PyObject *self, PyObject *) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    if (co->state == State::created || co->state == State::done) {
        co->state = State::done;
        destroy_frame(co);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (exit == nullptr) {
        return nullptr;
    }
    PyObject *out = nullptr;
    const PySendResult r = step_throw(co, exit, &out);
    Py_DECREF(exit);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *coro_self(PyObject *self) { return Py_NewRef(self); }

void coro_finalize(PyObject *self) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    if (co->state != State::suspended) {
        return;
    }
    const SavedError saved;
    PyObject *r = coro_close(self, nullptr);
    if (r == nullptr) {
        PyErr_WriteUnraisable(self);
    } else {
        Py_DECREF(r);
    }
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->qualname);
    if (co->frame != nullptr) {
        detail::CoroPromise &p = promise_of(co);
        Py_VISIT(p.delegate.ptr());
        Py_VISIT(p.sent_value.ptr());
        Py_VISIT(p.pending_error.ptr());
        Py_VISIT(p.result.ptr());
    }
    return 0;
}

int coro_clear(PyObject *self) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    Py_CLEAR(co->qualname);
    if (co->frame != nullptr) {
        detail::CoroPromise &p = promise_of(co);
        p.delegate = py::object();
        p.sent_value = py::object();
        p.pending_error = py::object();
        p.result = py::object();
    }
    return 0;
}

void coro_dealloc(PyObject *self) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // resurrected
    }
    destroy_frame(co);
    Py_CLEAR(co->qualname);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coro_get_name(PyObject *self, void *) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    return Py_NewRef(co->qualname != nullptr ? co->qualname : Py_None);
}

PyObject *coro_get_running(PyObject *self, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroObject *>(self)->state == State::running);
}

PyObject *coro_get_await(PyObject *self, void *) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    if (co->frame != nullptr && promise_of(co).delegate) {
        return promise_of(co).delegate.inc_ref().ptr();
    }
    Py_RETURN_NONE;
}

PyObject *coro_repr(PyObject *self) {
    auto *co = reinterpret_cast<CoroObject *>(self);
    return PyUnicode_FromFormat("<coroutine object %S at %p>", co->qualname != nullptr ? co->qualname : Py_None, self);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next yielded value, or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise an exception at the suspension point."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit at the suspension point."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_name, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *coroutine_type() {
    // One type per extension module (this file is compiled into each of them).
    static PyTypeObject *type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
            {Py_tp_finalize, reinterpret_cast<void *>(coro_finalize)},
            {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
            {Py_tp_iter, reinterpret_cast<void *>(coro_self)},
            {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
            {Py_am_await, reinterpret_cast<void *>(coro_self)},
            {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
            {Py_tp_methods, coro_methods},
            {Py_tp_getset, coro_getset},
            {0, nullptr},
        };
        PyType_Spec spec = {
            "tarnlet_master.cpp_coroutine", sizeof(CoroObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots,
        };
        PyObject *t = PyType_FromSpec(&spec);
        if (t == nullptr) {
            throw py::error_already_set();
        }
        return reinterpret_cast<PyTypeObject *>(t);  // kept for the life of the process
    }();
    return type;
}

// The iterator that `await awaitable` would delegate to (new reference), or null
// with a TypeError set.
PyObject *awaitable_iterator(PyObject *awaitable) {
    if (PyCoro_CheckExact(awaitable)) {
        return Py_NewRef(awaitable);
    }
    PyTypeObject *type = Py_TYPE(awaitable);
    unaryfunc getter = type->tp_as_async != nullptr ? type->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject *it = getter(awaitable);
    if (it == nullptr) {
        return nullptr;
    }
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

}  // namespace

py::object Coro::to_python(const char *qualname) && {
    PyTypeObject *type = coroutine_type();
    auto *co = PyObject_GC_New(CoroObject, type);
    if (co == nullptr) {
        throw py::error_already_set();
    }
    co->frame = std::exchange(handle_, {}).address();
    co->qualname = PyUnicode_FromString(qualname != nullptr ? qualname : "cpp_coroutine");
    co->state = State::created;
    PyObject_GC_Track(co);
    if (co->qualname == nullptr) {
        Py_DECREF(co);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(co));
}

bool is_cancelled(const py::error_already_set &error) {
    static PyObject *cancelled = [] {
        py::object cls = py::module_::import("asyncio").attr("CancelledError");
        return cls.release().ptr();  // kept for the life of the process
    }();
    return PyErr_GivenExceptionMatches(error.type().ptr(), cancelled) != 0;
}

namespace detail {

PyAwaiter CoroPromise::await_transform(const py::handle &awaitable) {
    PyObject *it = awaitable_iterator(awaitable.ptr());
    if (it == nullptr) {
        // The error surfaces at the co_await, without suspending.
        pending_error = py::reinterpret_steal<py::object>(fetch_exception());
        return PyAwaiter{this, true};
    }
    delegate = py::reinterpret_steal<py::object>(it);
    return PyAwaiter{this, false};
}

PyAwaiter CoroPromise::await_transform(Coro &&coro) {
    py::object inner = std::move(coro).to_python();
    return await_transform(inner);
}

AnextAwaiter CoroPromise::await_transform(Anext next) {
    PyObject *awaitable = PyObject_CallMethod(next.iterator.ptr(), "__anext__", nullptr);
    if (awaitable == nullptr) {
        pending_error = py::reinterpret_steal<py::object>(fetch_exception());
        return AnextAwaiter{PyAwaiter{this, true}};
    }
    py::object owned = py::reinterpret_steal<py::object>(awaitable);
    return AnextAwaiter{await_transform(owned)};
}

py::object PyAwaiter::await_resume() const {
    if (promise->pending_error) {
        py::object exc = std::move(promise->pending_error);
        promise->sent_value = py::object();
        restore_exception(exc.ptr());
        throw py::error_already_set();
    }
    py::object value = std::move(promise->sent_value);
    return value ? value : py::none();
}

Attempted AttemptAwaiter::await_resume() const {
    try {
        return Attempted{inner.await_resume(), py::object()};
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return Attempted{py::object(), exception_of(e)};
    }
}

AttemptAwaiter CoroPromise::await_transform(Attempt attempt) {
    return AttemptAwaiter{await_transform(attempt.awaitable)};
}

std::optional<py::object> AnextAwaiter::await_resume() const {
    try {
        return inner.await_resume();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_StopAsyncIteration)) {
            return std::nullopt;
        }
        throw;
    }
}

}  // namespace detail
}  // namespace tarnlet
