#include "thread_stop.hpp"

#include "helpers.hpp"

namespace tarnlet {
namespace py = pybind11;

bool interrupt_thread(unsigned long ident, PyObject *exception) {
    int matches = 0;
    for (PyThreadState *state = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); state != nullptr;
         state = PyThreadState_Next(state)) {
        if (state->thread_id == ident) {
            ++matches;
        }
    }
    if (matches != 1) {
        return false;
    }
    PyThreadState_SetAsyncExc(ident, exception);
    return true;
}

bool withdraw_pending_stop() {
    if (PyThreadState_Get()->async_exc == nullptr) {
        return false;
    }
    static PyObject *noop = py::module_::import("builtins").attr("eval")("lambda: None").release().ptr();
    // Its first instruction raises the stop; whatever it raises is dropped.
    const auto result = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(noop));
    if (!result) {
        PyErr_Clear();
    }
    return true;
}

PyObject *new_stop_exception_type(const char *name, const char *doc) {
    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = this_module().attr("__name__");
    ns["__doc__"] = doc;
    return builtins.attr("type")(name, py::make_tuple(builtins.attr("BaseException")), ns).release().ptr();
}

}  // namespace tarnlet
