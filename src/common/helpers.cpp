#include "helpers.hpp"

#include <frameobject.h>

#include <cstring>
#include <unordered_map>

namespace tarnlet {
namespace {
// Borrowed: an extension module lives until the interpreter ends, and an owning
// static would be released after the GIL is gone.
PyObject *g_module = nullptr;
}  // namespace

void set_this_module(py::handle module) { g_module = module.ptr(); }

py::handle this_module() { return py::handle(g_module); }

py::object interned(const char *name) {
    // Keyed by the pointer, checked by the text: a buffer reused for another name is
    // looked up afresh. Bounded, for callers that pass text made at run time.
    constexpr size_t kMostNames = 4096;
    static auto *names = new std::unordered_map<const char *, PyObject *>();
    const auto found = names->find(name);
    if (found != names->end() && std::strcmp(PyUnicode_AsUTF8(found->second), name) == 0) {
        return py::reinterpret_borrow<py::object>(found->second);
    }
    auto made = py::reinterpret_steal<py::object>(PyUnicode_InternFromString(name));
    if (!made) {
        throw py::error_already_set();
    }
    if (found != names->end()) {
        found->second = made.inc_ref().ptr();  // the one it replaces is kept: it may still be in use
    } else if (names->size() < kMostNames) {
        names->emplace(name, made.inc_ref().ptr());
    }
    return made;
}

py::object module_global(const char *name) {
    PyObject *dict = PyModule_GetDict(g_module);
    const py::object key = interned(name);
    PyObject *value = PyDict_GetItemWithError(dict, key.ptr());  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void set_module_global(const char *name, py::object value) { this_module().attr(name) = std::move(value); }

py::object import_relative_or_plain(const char *package, const char *name) {
    py::object importlib = py::module_::import("importlib");
    try {
        return importlib.attr("import_module")(std::string(".") + name, package);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
    }
    return importlib.attr("import_module")(name);
}

std::string text_of(const py::handle &obj) {
    auto text = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
    if (text) {
        // backslashreplace: a lone surrogate must not make the text unprintable.
        auto bytes =
            py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
        if (bytes) {
            return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        }
    }
    PyErr_Clear();
    return "<unprintable " + std::string(Py_TYPE(obj.ptr())->tp_name) + " object>";
}

py::object detail::log_text(const py::handle &value) {
    auto text = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
    if (text && PyUnicode_Check(text.ptr())) {
        if (PyUnicode_IS_ASCII(text.ptr()) || PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) != nullptr) {
            return text;
        }
    }
    PyErr_Clear();
    const std::string escaped = text_of(value);
    return py::str(escaped.data(), escaped.size());
}

std::string type_name(const py::handle &obj) { return text_of(py::type::handle_of(obj).attr("__name__")); }

bool is_ordinary(const py::error_already_set &error) { return error.matches(PyExc_Exception); }

py::object exception_of(const py::error_already_set &error) {
    py::object value = error.value();
    if (error.trace()) {
        PyException_SetTraceback(value.ptr(), error.trace().ptr());
    }
    return value;
}

std::string error_text(const py::error_already_set &error) { return text_of(error.value()); }

void reraise(const py::handle &exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

void raise_error(PyObject *type, const std::string &text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

void raise_error_in(const char *where, PyObject *type, const std::string &text) {
    const auto code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyCode_NewEmpty("<kernel>", where, 1)));
    if (!code) {
        throw py::error_already_set();
    }
    py::dict globals;
    globals["__builtins__"] = py::module_::import("builtins");
    const auto frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()), globals.ptr(), nullptr)));
    if (!frame) {
        throw py::error_already_set();
    }
    PyErr_SetString(type, text.c_str());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.ptr()));
    throw py::error_already_set();
}

bool log_enabled(Level level) {
    try {
        return py::bool_(module_global("logger").attr(interned("isEnabledFor"))(static_cast<int>(level)));
    } catch (py::error_already_set &e) {
        detail::report_logging_failure(e);
        return false;
    }
}

namespace detail {

const char *level_method(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warning:
            return "warning";
        case Level::error:
            break;
    }
    return "error";
}

void report_logging_failure(py::error_already_set &error) { error.discard_as_unraisable("tarnlet logging"); }

namespace {

// What the standard logging module's record path is made of, taken once. Owned for the
// life of the process (released never, so nothing is freed after the interpreter).
struct StandardLogging {
    PyObject *logger_class = nullptr;
    PyObject *methods[4] = {};  // Logger.debug, .info, .warning, .error
    PyObject *log = nullptr;    // Logger._log
    PyObject *make_record = nullptr;
    PyObject *handle = nullptr;
    PyObject *names[4] = {};  // "debug", ...
    PyObject *is_enabled_for = nullptr, *make_record_name = nullptr, *handle_name = nullptr, *name_name = nullptr;
    PyObject *unknown_file = nullptr, *unknown_function = nullptr, *zero = nullptr;
};

int level_index(Level level) {
    switch (level) {
        case Level::debug:
            return 0;
        case Level::info:
            return 1;
        case Level::warning:
            return 2;
        case Level::error:
            break;
    }
    return 3;
}

PyObject *class_entry(PyObject *cls, const char *name) {
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
    if (dict == nullptr) {
        return nullptr;
    }
    const py::object key = interned(name);
    PyObject *entry = PyDict_GetItemWithError(dict, key.ptr());  // borrowed
    if (entry == nullptr && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    return entry;
}

const StandardLogging &standard_logging() {
    static const StandardLogging *taken = [] {
        auto *s = new StandardLogging();
        py::object cls = py::module_::import("logging").attr("Logger");
        s->logger_class = cls.release().ptr();
        for (int i = 0; i < 4; ++i) {
            const char *name = level_method(static_cast<Level>(10 * (i + 1)));
            s->methods[i] = Py_XNewRef(class_entry(s->logger_class, name));
            s->names[i] = PyUnicode_InternFromString(name);
        }
        s->log = Py_XNewRef(class_entry(s->logger_class, "_log"));
        s->make_record = Py_XNewRef(class_entry(s->logger_class, "makeRecord"));
        s->handle = Py_XNewRef(class_entry(s->logger_class, "handle"));
        s->is_enabled_for = PyUnicode_InternFromString("isEnabledFor");
        s->make_record_name = PyUnicode_InternFromString("makeRecord");
        s->handle_name = PyUnicode_InternFromString("handle");
        s->name_name = PyUnicode_InternFromString("name");
        s->unknown_file = PyUnicode_InternFromString("(unknown file)");
        s->unknown_function = PyUnicode_InternFromString("(unknown function)");
        s->zero = PyLong_FromLong(0);
        return s;
    }();
    return *taken;
}

}  // namespace

bool is_standard_logger(const py::handle &logger, Level level) {
    const StandardLogging &s = standard_logging();
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(logger.ptr()));
    if (cls != s.logger_class) {
        return false;
    }
    const int i = level_index(level);
    if (s.methods[i] == nullptr || class_entry(cls, level_method(level)) != s.methods[i] ||
        class_entry(cls, "_log") != s.log || class_entry(cls, "makeRecord") != s.make_record ||
        class_entry(cls, "handle") != s.handle) {
        return false;
    }
    // A method set on the instance itself wins over the class's.
    PyObject **dict = _PyObject_GetDictPtr(logger.ptr());
    if (dict != nullptr && *dict != nullptr) {
        for (PyObject *name : {s.names[i], s.make_record_name, s.handle_name}) {
            if (PyDict_GetItemWithError(*dict, name) != nullptr) {
                return false;
            }
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
        }
    }
    return true;
}

bool enabled_for(const py::handle &logger, Level level) {
    const StandardLogging &s = standard_logging();
    const auto answer = py::reinterpret_steal<py::object>(
        PyObject_CallMethodObjArgs(logger.ptr(), s.is_enabled_for, py::int_(static_cast<int>(level)).ptr(), nullptr));
    if (!answer) {
        throw py::error_already_set();
    }
    const int on = PyObject_IsTrue(answer.ptr());
    if (on < 0) {
        throw py::error_already_set();
    }
    return on == 1;
}

void emit(const py::handle &logger, Level level, py::str fmt, py::tuple args) {
    const StandardLogging &s = standard_logging();
    const auto name = py::reinterpret_steal<py::object>(PyObject_GetAttr(logger.ptr(), s.name_name));
    if (!name) {
        throw py::error_already_set();
    }
    const py::int_ number(static_cast<int>(level));
    // makeRecord(name, level, fn, lno, msg, args, exc_info, func, extra, sinfo)
    const auto record = py::reinterpret_steal<py::object>(
        PyObject_CallMethodObjArgs(logger.ptr(), s.make_record_name, name.ptr(), number.ptr(), s.unknown_file, s.zero,
                                   fmt.ptr(), args.ptr(), Py_None, s.unknown_function, Py_None, Py_None, nullptr));
    if (!record) {
        throw py::error_already_set();
    }
    const auto handled = py::reinterpret_steal<py::object>(
        PyObject_CallMethodObjArgs(logger.ptr(), s.handle_name, record.ptr(), nullptr));
    if (!handled) {
        throw py::error_already_set();
    }
}

}  // namespace detail

ThreadLockGuard::ThreadLockGuard(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }

ThreadLockGuard::~ThreadLockGuard() {
    try {
        lock_.attr("release")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("releasing a lock");
    }
}

}  // namespace tarnlet
