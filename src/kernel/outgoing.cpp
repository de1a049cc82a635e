// The outgoing path: every message is encoded once and written as one text frame,
// or as a run of "chunk" frames when its text is longer than CHUNK_SIZE.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// A wait for the socket lock of more than 5 ms since `start` (the encoding included) is logged.
void report_lock_wait(std::chrono::steady_clock::time_point start, const py::handle &msg_type) {
    const double waited_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (waited_ms > 5.0) {
        log_warning("[TIMING] Socket lock waited " + format_1f(waited_ms) + "ms for: type=" + text_of(msg_type));
    }
}

// Writes `text` under the socket lock; the lock is released however the write ends.
Coro locked_send(py::object self, py::object text, std::chrono::steady_clock::time_point start, py::object msg_type) {
    py::object lock = self.attr(interned("_socket_lock"));
    co_await lock.attr(interned("acquire"))();
    const AcquiredLock held(lock);
    report_lock_wait(start, msg_type);
    co_await self.attr(interned("websocket")).attr(interned("send"))(text);
    co_return py::none();
}

Coro send_message(py::object self, py::object message) {
    message.attr(interned("get"))("type", "");
    co_return co_await self.attr(interned("_send_message_direct"))(message);
}

Coro send_message_direct(py::object self, py::object message) {
    py::object msg_type = field(message, "type", py::str("unknown"));
    py::object request_id = field(message, "request_id", py::str("N/A"));
    const std::string type_text = text_of(msg_type);
    if (!py::bool_(self.attr(interned("websocket")))) {
        log_warning("[Kernel] Cannot send message type '" + type_text + "': WebSocket not connected");
        co_return py::none();
    }
    if (self.attr(interned("_socket_lock")).is_none()) {
        log_warning("[Kernel] Cannot send message type '" + type_text + "': Socket lock not initialized");
        co_return py::none();
    }
    const bool debug = log_enabled(Level::debug);
    const std::string id_text = debug ? text_of(request_id) : std::string();
    if (debug) {
        log_debug("[TIMING] Acquiring socket lock for: type=" + type_text + ", request_id=" + id_text);
    }
    // Taken before encoding, so a reported wait includes the encoding time.
    const auto start = std::chrono::steady_clock::now();
    py::object raw_json = module_global("json_dumps")(message);
    const auto size = py::len(raw_json);
    if (size > module_global("CHUNK_SIZE").cast<size_t>()) {
        co_await self.attr(interned("_send_chunked_message"))(raw_json, msg_type, request_id);
    } else {
        co_await locked_send(self, raw_json, start, msg_type);
    }
    if (debug) {
        log_debug("[TIMING] Message sent: type=" + type_text + ", request_id=" + id_text);
    }
    co_return py::none();
}

// The functions PythonKernel's class was built with (the underlying function of each
// method), so a send can tell whether an instance still uses them. Owned for the life of
// the process.
PyObject *g_send_message = nullptr;
PyObject *g_send_message_direct = nullptr;

// True when self.<name> is the class's own method `original`, bound to self.
bool is_own_method(const py::object &self, const char *name, PyObject *original) {
    if (original == nullptr) {
        return false;
    }
    PyObject *bound = PyObject_GetAttr(self.ptr(), interned(name).ptr());
    if (bound == nullptr) {
        PyErr_Clear();  // the ordinary path raises it where it always did
        return false;
    }
    const bool own =
        PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == original && PyMethod_GET_SELF(bound) == self.ptr();
    Py_DECREF(bound);
    return own;
}

// The library's own Connection.send, taken at import: a connection that still uses it
// can have several frames written at once (below); any other `send` (a replaced one,
// a test's stand-in) is called once per frame.
PyObject *g_library_send = nullptr;

bool sends_as_the_library(const py::object &ws) {
    if (g_library_send == nullptr) {
        return false;
    }
    if (!py::getattr(py::type::of(ws), "send", py::none()).is(py::handle(g_library_send))) {
        return false;
    }
    const py::object dict = py::getattr(ws, "__dict__", py::none());
    return !PyDict_Check(dict.ptr()) || !py::reinterpret_borrow<py::dict>(dict).contains("send");
}

// Several text frames written as the library's send writes one, but with one write to
// the transport, so one system call and one wake-up of the peer instead of one per
// frame. Inside the library's send context (its state checks, the drain, closing on
// failure); nothing awaits between the frames, so nothing else can write in between.
Coro write_frames(py::object ws, std::vector<py::object> texts) {
    // As the library's send: a fragmented message going out is finished first.
    for (py::object pending = ws.attr(interned("send_in_progress")); !pending.is_none();
         pending = ws.attr(interned("send_in_progress"))) {
        co_await module_global("asyncio").attr(interned("shield"))(pending);
    }
    py::object context = ws.attr(interned("send_context"))();
    co_await context.attr(interned("__aenter__"))();
    // A failure inside goes to the context as it would from the library's own body.
    std::optional<py::error_already_set> failure;
    try {
        py::object protocol = ws.attr(interned("protocol"));
        py::object send_text = protocol.attr(interned("send_text"));
        for (const py::object &text : texts) {
            PyObject *encoded = PyUnicode_AsUTF8String(text.ptr());
            if (encoded == nullptr) {
                throw py::error_already_set();
            }
            send_text(py::reinterpret_steal<py::object>(encoded));
        }
        // Sending text never yields the empty piece that stands for the end of the stream.
        const py::list pieces = protocol.attr(interned("data_to_send"))();
        if (py::len(pieces) > 0) {
            ws.attr(interned("transport")).attr(interned("write"))(py::bytes("").attr(interned("join"))(pieces));
        }
    } catch (py::error_already_set &e) {
        failure = e;
    }
    const py::object exiting =
        failure ? context.attr(interned("__aexit__"))(failure->type(), failure->value(), failure->trace())
                : context.attr(interned("__aexit__"))(py::none(), py::none(), py::none());
    const py::object suppressed = co_await exiting;
    if (failure && !py::bool_(suppressed)) {
        throw *failure;
    }
    co_return py::none();
}

// A message of send_all, encoded before the socket lock is taken.
struct Encoded {
    py::object type;
    py::object request_id;
    py::object raw_json;
    bool chunked = false;
    std::chrono::steady_clock::time_point start;
};

Coro send_chunked_message(py::object self, py::object raw_json, py::object message_type, py::object request_id) {
    const std::string chunk_id = text_of(module_global("uuid").attr(interned("uuid4"))());
    const Py_ssize_t chunk_size = module_global("CHUNK_SIZE").cast<Py_ssize_t>();
    const Py_ssize_t length = PyUnicode_GetLength(raw_json.ptr());
    if (length < 0) {
        throw py::error_already_set();
    }
    const Py_ssize_t total = (length + chunk_size - 1) / chunk_size;
    const std::string type_text = text_of(message_type);
    log_info("[Kernel] Chunking large message: type=" + type_text + ", size=" + std::to_string(length) +
             ", chunks=" + std::to_string(total));

    py::object dumps = module_global("json_dumps");
    py::object header_type = module_global("CHUNK_HEADER_TYPE");
    py::object lock = self.attr(interned("_socket_lock"));
    py::object send = self.attr(interned("websocket")).attr(interned("send"));
    // One lock for the whole run: chunks of one message go out back to back.
    co_await lock.attr(interned("acquire"))();
    {
        const AcquiredLock held(lock);
        for (Py_ssize_t i = 0; i < total; ++i) {
            const Py_ssize_t begin = i * chunk_size;
            const Py_ssize_t end = std::min(begin + chunk_size, length);
            py::object data = py::reinterpret_steal<py::object>(PyUnicode_Substring(raw_json.ptr(), begin, end));
            if (!data) {
                throw py::error_already_set();
            }
            py::dict chunk;
            chunk[interned("type")] = header_type;
            chunk[interned("chunk_id")] = chunk_id;
            chunk[interned("chunk_index")] = i;
            chunk[interned("total_chunks")] = total;
            chunk[interned("data")] = data;
            chunk[interned("original_type")] = message_type;
            chunk[interned("request_id")] = request_id;
            co_await send(dumps(chunk));
        }
    }
    log_debug("[Kernel] Sent " + std::to_string(total) + " chunks for message: type=" + type_text +
              ", chunk_id=" + chunk_id);
    co_return py::none();
}

py::object decode_utf8(const py::handle &bytes) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        throw py::error_already_set();
    }
    PyObject *text = PyUnicode_DecodeUTF8(data, size, "strict");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(text);
}

// Containers nested deeper than this go out as null. orjson stops at 255 levels and the
// json module at the interpreter's recursion limit, so an echoed field nested deeper
// (a peer's request_id of 10,000 lists) could otherwise not be written at all.
constexpr size_t kMaxEncodedDepth = 200;

// A copy of `obj` with every NaN or infinite float replaced by None, as orjson writes them,
// and every container deeper than kMaxEncodedDepth replaced by None too.
// Dict keys stay: the json module writes a float key as the text "NaN", which is valid JSON.
// A container already on the path is left as it is, so the encoder still reports a cycle.
py::object finite_copy(const py::handle &obj, std::vector<PyObject *> &path) {
    if (PyFloat_Check(obj.ptr())) {
        return std::isfinite(PyFloat_AS_DOUBLE(obj.ptr())) ? py::reinterpret_borrow<py::object>(obj) : py::none();
    }
    const bool is_dict = PyDict_Check(obj.ptr()) != 0;
    const bool is_sequence = PyList_Check(obj.ptr()) != 0 || PyTuple_Check(obj.ptr()) != 0;
    if ((!is_dict && !is_sequence) || std::find(path.begin(), path.end(), obj.ptr()) != path.end()) {
        return py::reinterpret_borrow<py::object>(obj);
    }
    if (path.size() >= kMaxEncodedDepth) {
        return py::none();
    }
    path.push_back(obj.ptr());
    py::object copy;
    if (is_dict) {
        py::dict out;
        for (auto item : py::reinterpret_borrow<py::dict>(obj)) {
            out[item.first] = finite_copy(item.second, path);
        }
        copy = out;
    } else {
        py::list out;
        for (py::handle item : py::reinterpret_borrow<py::iterable>(obj)) {
            out.append(finite_copy(item, path));
        }
        copy = out;
    }
    path.pop_back();
    return copy;
}

// json.dumps with the module's defaults, except that NaN and infinities become null (the
// bare literals NaN and Infinity are not JSON, and the peer's parser would refuse the
// frame), and so does nesting too deep to encode.
py::object json_module_dumps(const py::object &obj) {
    py::object dumps = module_global("json").attr(interned("dumps"));
    try {
        return dumps(obj, py::arg("allow_nan") = false);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) {
            throw;
        }
    }
    std::vector<PyObject *> path;
    return dumps(finite_copy(obj, path), py::arg("allow_nan") = false);
}

// What one message of send_all costs before the lock: the checks and the encoding of
// _send_message_direct. False when the message is dropped (and logged) as it would be there.
bool encode_for_send(const py::object &self, const py::object &message, bool debug, Encoded &out) {
    field(message, "type", py::str(""));  // send_message's own read
    out.type = field(message, "type", py::str("unknown"));
    out.request_id = field(message, "request_id", py::str("N/A"));
    if (!py::bool_(self.attr(interned("websocket")))) {
        logf(Level::warning, "[Kernel] Cannot send message type '%s': WebSocket not connected", out.type);
        return false;
    }
    if (self.attr(interned("_socket_lock")).is_none()) {
        logf(Level::warning, "[Kernel] Cannot send message type '%s': Socket lock not initialized", out.type);
        return false;
    }
    if (debug) {
        logf(Level::debug, "[TIMING] Acquiring socket lock for: type=%s, request_id=%s", out.type, out.request_id);
    }
    out.start = std::chrono::steady_clock::now();
    out.raw_json = module_global("json_dumps")(message);
    out.chunked = py::len(out.raw_json) > module_global("CHUNK_SIZE").cast<size_t>();
    return true;
}

}  // namespace

Coro send_all(py::object self, py::list messages) {
    if (!is_own_method(self, "send_message", g_send_message) ||
        !is_own_method(self, "_send_message_direct", g_send_message_direct)) {
        for (const py::handle message : messages) {
            co_await self.attr(interned("send_message"))(message);
        }
        co_return py::none();
    }
    // The messages go out as _send_message_direct sends each, but the frames of one
    // answer are written under one hold of the socket lock. Each is encoded before the
    // lock is taken; a message that fails to encode fails the send after those before it
    // went out, as one send after another would.
    const bool debug = log_enabled(Level::debug);
    std::vector<Encoded> encoded;
    encoded.reserve(py::len(messages));
    std::exception_ptr failure;
    for (const py::handle message : messages) {
        Encoded next;
        try {
            if (encode_for_send(self, py::reinterpret_borrow<py::object>(message), debug, next)) {
                encoded.push_back(std::move(next));
            }
        } catch (py::error_already_set &) {
            failure = std::current_exception();
            break;
        }
    }
    const auto sent = [debug](const Encoded &message) {
        if (debug) {
            logf(Level::debug, "[TIMING] Message sent: type=%s, request_id=%s", message.type, message.request_id);
        }
    };
    size_t i = 0;
    while (i < encoded.size()) {
        if (encoded[i].chunked) {
            co_await self.attr(interned("_send_chunked_message"))(encoded[i].raw_json, encoded[i].type,
                                                                  encoded[i].request_id);
            sent(encoded[i]);
            ++i;
            continue;
        }
        // The run of unchunked messages from i on goes out under one hold of the lock.
        size_t end = i + 1;
        while (end < encoded.size() && !encoded[end].chunked) {
            ++end;
        }
        py::object lock = self.attr(interned("_socket_lock"));
        co_await lock.attr(interned("acquire"))();
        const AcquiredLock held(lock);
        report_lock_wait(encoded[i].start, encoded[i].type);
        const py::object ws = self.attr(interned("websocket"));
        if (end - i > 1 && sends_as_the_library(ws)) {
            std::vector<py::object> texts;
            for (size_t k = i; k < end; ++k) {
                texts.push_back(encoded[k].raw_json);
            }
            co_await write_frames(ws, std::move(texts));
            for (; i < end; ++i) {
                sent(encoded[i]);
            }
        } else {
            const py::object send = ws.attr(interned("send"));
            for (; i < end; ++i) {
                co_await send(encoded[i].raw_json);
                sent(encoded[i]);
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return py::none();
}

namespace {
// The underlying function of a method as the class holds it (pybind11 wraps it as an
// instancemethod), kept for the life of the process.
PyObject *own_function(const py::object &method) {
    PyObject *function =
        PyInstanceMethod_Check(method.ptr()) ? PyInstanceMethod_GET_FUNCTION(method.ptr()) : method.ptr();
    return Py_NewRef(function);
}
}  // namespace

void add_outgoing_methods(ClassBuilder &cls) {
    const py::object send =
        py::cpp_function(&send_message, py::name("send_message"), py::is_method(this_module()), py::arg("message"));
    const py::object direct = py::cpp_function(&send_message_direct, py::name("_send_message_direct"),
                                               py::is_method(this_module()), py::arg("message"));
    g_send_message = own_function(send);
    g_send_message_direct = own_function(direct);
    cls.attr("send_message", send);
    cls.attr("_send_message_direct", direct);
    cls.def("_send_chunked_message", &send_chunked_message, py::arg("raw_json"), py::arg("message_type"),
            py::arg("request_id"));
}

void register_outgoing(py::module_ &m) {
    py::object library_send =
        py::module_::import("websockets.asyncio.connection").attr(interned("Connection")).attr(interned("send"));
    g_library_send = library_send.release().ptr();  // kept for the life of the process
    // orjson when it is there (compact, UTF-8 as is); else the standard json module's defaults.
    bool have_orjson = true;
    try {
        m.attr(interned("orjson")) = py::module_::import("orjson");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        have_orjson = false;
    }
    if (have_orjson) {
        // orjson refuses some values that the peer's JSON can carry and a reply may echo
        // (integers beyond 64 bits, lone surrogates); those go out through the json module,
        // so an echoed field cannot end the kernel. What neither can encode still raises.
        m.def(
            "json_dumps",
            [](py::object obj) {
                py::object orjson = module_global("orjson");
                try {
                    return decode_utf8(orjson.attr(interned("dumps"))(obj));
                } catch (py::error_already_set &e) {
                    if (!e.matches(orjson.attr(interned("JSONEncodeError")))) {
                        throw;
                    }
                }
                return json_module_dumps(obj);
            },
            py::arg("obj"));
    } else {
        m.def("json_dumps", &json_module_dumps, py::arg("obj"));
    }
}

}  // namespace tarnlet::kernel
