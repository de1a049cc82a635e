// Text streams that stand in for sys.stdout and sys.stderr: StreamCapture keeps a
// run's output and streams each write; KernelStreamHook forwards process-wide output
// to the Business Layer. Neither lets a failing callback reach the code that printed.
#include "messages.hpp"
#include "kernel.hpp"

namespace tarnlet::kernel {
namespace {

void init_base(const py::object &self) { py::module_::import("io").attr("TextIOBase").attr("__init__")(self); }

void capture_init(py::object self, py::object on_write) {
    init_base(self);
    self.attr("_buffer") = py::module_::import("io").attr("StringIO")();
    self.attr("_on_write") = on_write;
}

py::int_ capture_write(py::object self, py::object text) {
    require_str(text, "write() argument");
    const size_t length = py::len(text);
    if (length == 0) {
        return py::int_(0);
    }
    self.attr("_buffer").attr("write")(text);
    const py::object on_write = self.attr("_on_write");
    if (py::bool_(on_write)) {
        try {
            on_write(text);
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
        }
    }
    return py::int_(length);
}

void hook_init(py::object self, py::object stream_type, py::object send_callback) {
    init_base(self);
    self.attr("stream_type") = stream_type;
    self.attr("send_callback") = send_callback;
    const py::object sys = py::module_::import("sys");
    self.attr("_original_stream") = stream_type.equal(py::str("stdout")) ? sys.attr("stdout") : sys.attr("stderr");
}

py::int_ hook_write(py::object self, py::object text) {
    require_str(text, "write() argument");
    const size_t length = py::len(text);
    if (length == 0) {
        return py::int_(0);
    }
    const py::object original = self.attr("_original_stream");
    try {
        original.attr("write")(text);
        original.attr("flush")();
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
    try {
        self.attr("send_callback")(self.attr("stream_type"), text);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        const std::string report = "[KernelStreamHook Error] " + text_of(exception_of(e)) + "\n";
        try {
            original.attr("write")(report);
        } catch (py::error_already_set &inner) {
            if (!is_ordinary(inner)) {
                throw;
            }
        }
    }
    return py::int_(length);
}

void hook_flush(py::object self) {
    try {
        self.attr("_original_stream").attr("flush")();
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
}

}  // namespace

void register_streams(py::module_ &m) {
    const py::object text_io = py::module_::import("io").attr("TextIOBase");
    auto readable = [](py::object) { return false; };
    auto writable = [](py::object) { return true; };

    ClassBuilder capture("StreamCapture", m, {text_io});
    capture.attr("__doc__", py::str("Keeps everything written to it and hands each write to a callback."));
    capture.def_init(&capture_init, py::arg("on_write") = py::none());
    capture.def("write", &capture_write, py::arg("text"));
    capture.def("getvalue", [](py::object self) { return self.attr("_buffer").attr("getvalue")(); });
    capture.def("flush", [](py::object) {});
    capture.def("readable", readable);
    capture.def("writable", writable);
    m.attr("StreamCapture") = capture.build();

    ClassBuilder hook("KernelStreamHook", m, {text_io});
    hook.attr("__doc__", py::str("Process-wide stdout/stderr: writes through to the replaced stream and sends each write."));
    hook.def_init(&hook_init, py::arg("stream_type"), py::arg("send_callback"));
    hook.def("write", &hook_write, py::arg("text"));
    hook.def("flush", &hook_flush);
    hook.def("readable", readable);
    hook.def("writable", writable);
    m.attr("KernelStreamHook") = hook.build();
}

}  // namespace tarnlet::kernel
