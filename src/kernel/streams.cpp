// Text streams that stand in for sys.stdout and sys.stderr: StreamCapture keeps a
// run's output and streams each write; KernelStreamHook is the process-wide pair, which
// hands a write to the capture of the thread that made it and forwards any other write
// to the Business Layer. None lets a failing callback reach the code that printed.
// The routing itself (streams.hpp) lives here too.
#include "streams.hpp"

#include <mutex>

#include "interrupts.hpp"
#include "messages.hpp"

namespace tarnlet::kernel {
namespace output {
namespace {

const char *stream_name(Stream stream) { return stream == out ? "stdout" : "stderr"; }

// The text of a str as UTF-8, lone surrogates included; `holder` keeps the bytes when the
// str's own UTF-8 form cannot hold them.
std::string_view utf8_of(const py::handle &text, py::object &holder) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        holder = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
        if (!holder) {
            throw py::error_already_set();
        }
        data = PyBytes_AS_STRING(holder.ptr());
        size = PyBytes_GET_SIZE(holder.ptr());
    }
    return {data, static_cast<size_t>(size)};
}

py::str decoded(const std::string &text) {
    PyObject *value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (value == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(value);
}

// One "stdout"/"stderr" message on its way: scheduled on the loop with its first write,
// it takes every write made before the loop starts it. The lock guards text and taken
// between the writer and the loop; nothing under it touches Python.
struct Slot {
    Slot(Stream stream_, std::shared_ptr<const Target> target_, std::string_view first)
        : stream(stream_), target(std::move(target_)), text(first) {}
    const Stream stream;
    const std::shared_ptr<const Target> target;
    std::mutex mutex;
    std::string text;
    bool taken = false;
};

// What a thread is doing with its output. Python references live here only while a scope
// holds them, so a thread that ends drops nothing without the GIL.
struct ThreadState {
    Capture *capture = nullptr;
    PyObject *stand_in[2] = {nullptr, nullptr};  // the capture's own stand-ins (held by its scope)
    std::shared_ptr<const Target> target;        // the request this thread runs
    std::shared_ptr<Slot> open;                  // its latest message, while it may still join writes
};
thread_local ThreadState state;

Coro send_slot(std::shared_ptr<Slot> slot) {
    std::string text;
    {
        const std::lock_guard<std::mutex> held(slot->mutex);
        slot->taken = true;
        text.swap(slot->text);
    }
    const Target &target = *slot->target;
    py::dict message;
    message[interned("type")] = stream_name(slot->stream);
    message[interned("content")] = decoded(text);
    message[interned("request_id")] = target.request_id;
    message[interned("workbook_id")] = target.workbook_id;
    message[interned("source")] = target.source;
    const py::object sending = target.self.attr(interned("send_message"))(message);
    co_await sending;
    co_return py::none();
}

// Hands the slot to the loop without waiting; a loop that cannot take it loses the text
// for the peer (it stays in the capture) and logs, as a failed stream callback does.
// The slot is held by value: the thread's own reference to it is dropped on failure.
void schedule(std::shared_ptr<Slot> slot) {
    DeferredInterrupts deferred;
    try {
        py::object coro = send_slot(slot).to_python();
        try {
            ++worker_schedules();
            module_global("asyncio").attr(interned("run_coroutine_threadsafe"))(coro, slot->target->loop);
        } catch (py::error_already_set &) {
            coro.attr(interned("close"))();
            throw;
        }
    } catch (py::error_already_set &e) {
        // Never joined into again: its text would never leave.
        state.open.reset();
        if (!is_ordinary(e)) {
            throw;
        }
        logf(Level::debug, "[Kernel] %s streaming error: %s", stream_name(slot->stream), error_text(e));
    }
    deferred.end();
}

// Streams text of the thread's request: joined into its latest message when that is of the
// same stream and not yet taken by the loop, else a new message.
void emit(Stream stream, std::string_view text) {
    if (!state.target) {
        return;
    }
    if (state.open && state.open->stream == stream) {
        const std::lock_guard<std::mutex> held(state.open->mutex);
        if (!state.open->taken) {
            state.open->text.append(text);
            return;
        }
    }
    state.open = std::make_shared<Slot>(stream, state.target, text);
    schedule(state.open);
}

// "stdout" routes to stdout, any other stream_type to stderr (as the hook picks the stream
// it replaces).
Stream stream_of(const py::handle &routing_stream) {
    const py::object type = routing_stream.attr(interned("stream_type"));
    if (is_str(type)) {
        return PyUnicode_CompareWithASCIIString(type.ptr(), "stdout") == 0 ? out : err;
    }
    return type.equal(py::str("stdout")) ? out : err;
}

// The capture that takes a write to `routing_stream` on this thread, or null. The kernel's
// hooks take every captured thread's writes; a stand-in only those of the captures that
// counted on it, so a thread writing to a stream that its own code redirected to still
// writes there.
Capture *capture_for(const py::handle &routing_stream, Stream stream, bool is_hook) {
    Capture *capture = state.capture;
    if (capture == nullptr || is_hook || state.stand_in[stream] == routing_stream.ptr()) {
        return capture;
    }
    return nullptr;
}

const char *sys_name(Stream stream) { return stream == out ? "stdout" : "stderr"; }

bool is_instance(const py::handle &obj, const char *class_name) {
    const int found = PyObject_IsInstance(obj.ptr(), module_global(class_name).ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

// The stand-in this scope counts on for sys.<stream>, putting one there when the current
// stream does not route; null when it is the kernel's hook.
py::object count_on_stand_in(Stream stream) {
    const py::object sys = module_global("sys");
    const py::object current = sys.attr(sys_name(stream));
    if (is_instance(current, "KernelStreamHook")) {
        return py::object();
    }
    if (is_instance(current, "_RoutedStream")) {
        current.attr(interned("_users")) = py::int_(current.attr(interned("_users")).cast<long>() + 1);
        return current;
    }
    py::object stand_in = module_global("_RoutedStream")(sys_name(stream), current);
    stand_in.attr(interned("_users")) = py::int_(1);
    sys.attr(sys_name(stream)) = stand_in;
    return stand_in;
}

// The last scope using a stand-in puts back the stream it covers, unless someone replaced
// the stand-in meanwhile.
void release_stand_in(Stream stream, const py::object &stand_in) {
    if (!stand_in) {
        return;
    }
    const long users = stand_in.attr(interned("_users")).cast<long>() - 1;
    stand_in.attr(interned("_users")) = py::int_(users);
    const py::object sys = module_global("sys");
    if (users == 0 && py::object(sys.attr(sys_name(stream))).is(stand_in)) {
        sys.attr(sys_name(stream)) = stand_in.attr(interned("_fallback"));
    }
}

}  // namespace

void Capture::to_callback(Stream stream, const py::object &callback) {
    if (callback.is_none()) {
        sink_[stream] = Sink::none;
    } else if (callback.is(module_global("_request_stdout"))) {
        sink_[stream] = Sink::request;
        route_[stream] = out;
    } else if (callback.is(module_global("_request_stderr"))) {
        sink_[stream] = Sink::request;
        route_[stream] = err;
    } else {
        sink_[stream] = py::bool_(callback) ? Sink::callback : Sink::none;
        callback_[stream] = callback;
    }
}

void Capture::write(Stream stream, const py::handle &text) {
    py::object holder;
    const std::string_view utf8 = utf8_of(text, holder);
    text_[stream].append(utf8);
    switch (sink_[stream]) {
        case Sink::request:
            emit(route_[stream], utf8);
            break;
        case Sink::callback:
            try {
                callback_[stream](text);
            } catch (py::error_already_set &e) {
                if (!is_ordinary(e)) {
                    throw;
                }
            }
            break;
        case Sink::none:
            break;
    }
}

py::str Capture::text(Stream stream) const { return decoded(text_[stream]); }

CaptureScope::CaptureScope(Capture &capture) : previous_(state.capture) {
    stand_in_[out] = count_on_stand_in(out);
    try {
        stand_in_[err] = count_on_stand_in(err);
    } catch (py::error_already_set &) {
        release_stand_in(out, stand_in_[out]);
        throw;
    }
    previous_stand_in_[out] = state.stand_in[out];
    previous_stand_in_[err] = state.stand_in[err];
    state.capture = &capture;
    state.stand_in[out] = stand_in_[out].ptr();
    state.stand_in[err] = stand_in_[err].ptr();
}

CaptureScope::~CaptureScope() {
    state.capture = previous_;
    state.stand_in[out] = previous_stand_in_[out];
    state.stand_in[err] = previous_stand_in_[err];
    try {
        release_stand_in(err, stand_in_[err]);
        release_stand_in(out, stand_in_[out]);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("restoring sys.stdout and sys.stderr");
    }
}

// A message of another request never takes this one's writes, nor one of this request
// the writes after it.
RequestScope::RequestScope(Target target) : previous_(std::move(state.target)) {
    state.open.reset();
    state.target = std::make_shared<const Target>(std::move(target));
}

RequestScope::~RequestScope() {
    state.open.reset();
    state.target = std::move(previous_);
}

}  // namespace output

namespace {
using output::Stream;

void init_base(const py::object &self) {
    py::module_::import("io").attr(interned("TextIOBase")).attr(interned("__init__"))(self);
}

void capture_init(py::object self, py::object on_write) {
    init_base(self);
    self.attr(interned("_buffer")) = py::module_::import("io").attr(interned("StringIO"))();
    self.attr(interned("_on_write")) = on_write;
}

py::int_ capture_write(py::object self, py::object text) {
    require_str(text, "write() argument");
    const size_t length = py::len(text);
    if (length == 0) {
        return py::int_(0);
    }
    self.attr(interned("_buffer")).attr(interned("write"))(text);
    const py::object on_write = self.attr(interned("_on_write"));
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
    self.attr(interned("stream_type")) = stream_type;
    self.attr(interned("send_callback")) = send_callback;
    const py::object sys = py::module_::import("sys");
    self.attr(interned("_original_stream")) =
        stream_type.equal(py::str("stdout")) ? sys.attr(interned("stdout")) : sys.attr(interned("stderr"));
}

py::int_ hook_write(py::object self, py::object text) {
    require_str(text, "write() argument");
    const size_t length = py::len(text);
    if (length == 0) {
        return py::int_(0);
    }
    const Stream stream = output::stream_of(self);
    if (output::Capture *capture = output::capture_for(self, stream, true)) {
        capture->write(stream, text);
        return py::int_(length);
    }
    const py::object original = self.attr(interned("_original_stream"));
    try {
        original.attr(interned("write"))(text);
        original.attr(interned("flush"))();
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
    try {
        self.attr(interned("send_callback"))(self.attr(interned("stream_type")), text);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        const std::string report = "[KernelStreamHook Error] " + text_of(exception_of(e)) + "\n";
        try {
            original.attr(interned("write"))(report);
        } catch (py::error_already_set &inner) {
            if (!is_ordinary(inner)) {
                throw;
            }
        }
    }
    return py::int_(length);
}

void hook_flush(py::object self) {
    // A captured thread's text is with its capture already: nothing waits here.
    if (output::capture_for(self, output::stream_of(self), true) != nullptr) {
        return;
    }
    try {
        self.attr(interned("_original_stream")).attr(interned("flush"))();
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
    }
}

// _RoutedStream: where sys.stdout or sys.stderr is not the kernel's hook when a capture
// starts (no kernel connected, or user code replaced the stream for good), one of these is
// put over it for the time captures need it; a write of a thread whose capture counts on
// it is routed, any other goes to the stream it covers, as if it were not there.
void routed_init(py::object self, py::object stream_type, py::object fallback) {
    init_base(self);
    self.attr(interned("stream_type")) = stream_type;
    self.attr(interned("_fallback")) = fallback;
    self.attr(interned("_users")) = py::int_(0);
}

py::object routed_write(py::object self, py::object text) {
    require_str(text, "write() argument");
    const Stream stream = output::stream_of(self);
    if (output::Capture *capture = output::capture_for(self, stream, false)) {
        const size_t length = py::len(text);
        if (length > 0) {
            capture->write(stream, text);
        }
        return py::int_(length);
    }
    return self.attr(interned("_fallback")).attr(interned("write"))(text);
}

py::object routed_flush(py::object self) {
    if (output::capture_for(self, output::stream_of(self), false) != nullptr) {
        return py::none();
    }
    return self.attr(interned("_fallback")).attr(interned("flush"))();
}

// _request_stdout(text) / _request_stderr(text): the stream callbacks of a console run,
// the same two objects for every request: they stream to the request the calling thread
// runs (CodeExecutor.execute recognises them and skips the call).
py::object request_stream_function(Stream stream) {
    return py::cpp_function(
        [stream](py::object text) {
            require_str(text, "text");
            py::object holder;
            output::emit(stream, output::utf8_of(text, holder));
        },
        py::name(stream == output::out ? "_request_stdout" : "_request_stderr"), py::arg("text"));
}

}  // namespace

void register_streams(py::module_ &m) {
    const py::object text_io = py::module_::import("io").attr(interned("TextIOBase"));
    auto readable = [](py::object) { return false; };
    auto writable = [](py::object) { return true; };

    ClassBuilder capture("StreamCapture", m, {text_io});
    capture.attr("__doc__", py::str("Keeps everything written to it and hands each write to a callback."));
    capture.def_init(&capture_init, py::arg("on_write") = py::none());
    capture.def("write", &capture_write, py::arg("text"));
    capture.def("getvalue",
                [](py::object self) { return self.attr(interned("_buffer")).attr(interned("getvalue"))(); });
    capture.def("flush", [](py::object) {});
    capture.def("readable", readable);
    capture.def("writable", writable);
    m.attr(interned("StreamCapture")) = capture.build();

    ClassBuilder hook("KernelStreamHook", m, {text_io});
    hook.attr("__doc__",
              py::str("Process-wide stdout/stderr: writes through to the replaced stream and sends each write."));
    hook.def_init(&hook_init, py::arg("stream_type"), py::arg("send_callback"));
    hook.def("write", &hook_write, py::arg("text"));
    hook.def("flush", &hook_flush);
    hook.def("readable", readable);
    hook.def("writable", writable);
    m.attr(interned("KernelStreamHook")) = hook.build();

    ClassBuilder routed("_RoutedStream", m, {text_io});
    routed.attr("__doc__",
                py::str("Covers a stream while captures run: routes their threads' writes, passes on the rest."));
    routed.def_init(&routed_init, py::arg("stream_type"), py::arg("fallback"));
    routed.def("write", &routed_write, py::arg("text"));
    routed.def("flush", &routed_flush);
    routed.def("readable", readable);
    routed.def("writable", writable);
    m.attr(interned("_RoutedStream")) = routed.build();

    m.attr(interned("_request_stdout")) = request_stream_function(output::out);
    m.attr(interned("_request_stderr")) = request_stream_function(output::err);
}

}  // namespace tarnlet::kernel
