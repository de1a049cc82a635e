// Real Python classes with C++ methods.
//
// The class object is made by calling the metaclass of the first base with
// (name, bases, namespace), so it can derive from io.TextIOBase or the importlib
// ABCs, keeps its state in the instance __dict__, and every method stays an ordinary
// attribute that Python code can replace.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace tarnlet {
namespace py = pybind11;

class ClassBuilder {
public:
    // `module` names the class's __module__; `bases` are Python classes (empty: object).
    ClassBuilder(std::string name, py::handle module, std::vector<py::object> bases = {})
        : name_(std::move(name)), module_(py::reinterpret_borrow<py::object>(module)), bases_(std::move(bases)) {
        namespace_["__module__"] = module_.attr("__name__");
        namespace_["__qualname__"] = name_;
    }

    // An instance method; `f` takes the instance as its first argument.
    template <typename F, typename... Extra>
    ClassBuilder &def(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = py::cpp_function(std::forward<F>(f), py::name(name), py::is_method(module_), extra...);
        return *this;
    }

    // __init__ under another internal name: pybind11 would take a method called
    // __init__ for one of its own constructors.
    template <typename F, typename... Extra>
    ClassBuilder &def_init(F &&f, const Extra &...extra) {
        namespace_["__init__"] =
            py::cpp_function(std::forward<F>(f), py::name("init"), py::is_method(module_), extra...);
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &def_static(const char *name, F &&f, const Extra &...extra) {
        py::object fn = py::cpp_function(std::forward<F>(f), py::name(name), py::scope(module_), extra...);
        namespace_[name] = py::module_::import("builtins").attr("staticmethod")(fn);
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &def_classmethod(const char *name, F &&f, const Extra &...extra) {
        py::object fn = py::cpp_function(std::forward<F>(f), py::name(name), py::scope(module_), extra...);
        namespace_[name] = py::module_::import("builtins").attr("classmethod")(fn);
        return *this;
    }

    template <typename Get>
    ClassBuilder &def_property_readonly(const char *name, Get &&get) {
        py::object fget = py::cpp_function(std::forward<Get>(get), py::is_method(module_));
        namespace_[name] = py::module_::import("builtins").attr("property")(fget);
        return *this;
    }

    // A class attribute (constant, docstring, nested value).
    ClassBuilder &attr(const char *name, py::object value) {
        namespace_[name] = std::move(value);
        return *this;
    }

    py::object build() const {
        py::tuple bases(bases_.size());
        for (size_t i = 0; i < bases_.size(); ++i) {
            bases[i] = bases_[i];
        }
        py::object metaclass = bases_.empty()
                                   ? py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))
                                   : py::type::of(bases_.front());
        if (bases_.empty()) {
            bases =
                py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
        } else {
            // The most derived metaclass among the bases, as the class statement picks it.
            for (const auto &base : bases_) {
                py::object meta = py::type::of(base);
                if (PyObject_IsSubclass(meta.ptr(), metaclass.ptr()) == 1) {
                    metaclass = meta;
                }
            }
        }
        return metaclass(name_, bases, namespace_);
    }

private:
    std::string name_;
    py::object module_;
    std::vector<py::object> bases_;
    py::dict namespace_;
};

}  // namespace tarnlet
