// The incoming frame limit: the kernel's WebSocket client reads frames itself, so that a
// message over the byte cap is skipped piece by piece (inflated and thrown away when it
// is compressed) instead of being held whole, and the connection stays open. The
// listener then answers the refused message like any other that is too large.
//
// The client protocol of the websockets library parses its handshake and then hands over
// to Protocol.parse; the kernel's protocol class puts its own frame parser in that place.
#include "frame_limit.hpp"

#include <string>
#include <vector>

#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

constexpr Py_ssize_t kPiece = 65536;                      // bytes read or inflated at a time
constexpr const char kEmptyBlock[] = "\x00\x00\xff\xff";  // ends each deflated message
// The payload of the stand-in message by which the parser tells the listener about a
// refused one; the listener matches it only while a refusal is pending.
constexpr const char kRefusedMarker[] = "tarnlet: message refused, too large";

enum Opcode : int { kCont = 0, kText = 1, kBinary = 2 };

py::object import(const char *name) { return py::module_::import(name); }

// `co_await yield_from(gen)` delegates to a generator-based coroutine, as `yield from gen`.
py::object yield_from(py::object generator) {
    static PyObject *cls = [] {
        ClassBuilder builder("_YieldFrom", this_module());
        builder.def_init([](py::object self, py::object gen) { self.attr("_gen") = gen; });
        builder.def("__await__", [](py::object self) { return self.attr("_gen"); });
        return builder.build().release().ptr();  // kept for the life of the process
    }();
    return py::reinterpret_borrow<py::object>(cls)(std::move(generator));
}

// The first `n` bytes of the reader's buffer, taken off it as read_exact would, when they
// are there already; else a null object, and the caller awaits read_exact. Most frames are
// in the buffer whole, and this spares them a generator per read.
py::object take_buffered(const py::object &buffer, Py_ssize_t n) {
    if (!PyByteArray_Check(buffer.ptr()) || PyByteArray_GET_SIZE(buffer.ptr()) < n) {
        return py::object();
    }
    PyObject *head = PyBytes_FromStringAndSize(PyByteArray_AS_STRING(buffer.ptr()), n);
    if (head == nullptr || PySequence_DelSlice(buffer.ptr(), 0, n) != 0) {
        Py_XDECREF(head);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(head);
}

// Suspends once, as a bare `yield` would.
py::object yield_once() { return import("asyncio").attr("sleep")(0); }

// bytes(data) for the bytearray pieces the reader hands out.
py::object to_bytes(const py::object &data) {
    PyObject *copy = PyBytes_FromObject(data.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(copy);
}

const unsigned char *bytes_of(const py::object &data) {
    if (PyByteArray_Check(data.ptr())) {
        return reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(data.ptr()));
    }
    return reinterpret_cast<const unsigned char *>(PyBytes_AsString(data.ptr()));
}

// Inflates `data` with the message's decoder, kPiece bytes of output at a time. Output is
// appended to `kept` while the total stays within `limit`; beyond it `kept` is emptied
// and `overflow` set. Returns the number of bytes the data inflated to.
Py_ssize_t inflate(const py::object &decoder, py::object data, Py_ssize_t limit, std::vector<py::object> &kept,
                   bool &overflow, const py::object &protocol_error) {
    Py_ssize_t total = 0;
    try {
        for (;;) {
            py::object out = decoder.attr("decompress")(data, kPiece);
            const Py_ssize_t produced = static_cast<Py_ssize_t>(py::len(out));
            total += produced;
            if (!overflow) {
                if (total <= limit) {
                    kept.push_back(out);
                } else {
                    overflow = true;
                    kept.clear();
                }
            }
            py::object tail = decoder.attr("unconsumed_tail");
            if (py::len(tail) > 0) {
                data = tail;
            } else if (produced == kPiece) {
                data = py::bytes("");  // output may still be pending with all input taken
            } else {
                break;
            }
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(import("zlib").attr("error"))) {
            throw;
        }
        raise_error(protocol_error.ptr(), "decompression failed");
    }
    return total;
}

// The permessage-deflate extension of the connection, or None.
py::object deflate_extension(const py::object &protocol) {
    py::object cls = import("websockets.extensions.permessage_deflate").attr("PerMessageDeflate");
    for (py::handle extension : protocol.attr("extensions")) {
        if (py::isinstance(extension, cls)) {
            return py::reinterpret_borrow<py::object>(extension);
        }
    }
    return py::none();
}

Py_ssize_t byte_cap() { return 4 * module_global("MAX_MESSAGE_SIZE").cast<Py_ssize_t>(); }

// Hands a stand-in message to the library in place of a refused one and records its size.
void report_refused(const py::object &self, const py::object &frame_cls, Py_ssize_t size) {
    self.attr("refused_sizes").attr("append")(size);
    py::object marker = self.attr("refused_marker");
    self.attr("recv_frame")(frame_cls(import("websockets.frames").attr("Opcode")(static_cast<int>(kBinary)), marker));
}

// Protocol.parse with a bounded message size; failures end the connection exactly as the
// library's own parser ends it.
Coro parse(py::object self) {
    py::object frames = import("websockets.frames");
    py::object Frame = frames.attr("Frame");
    py::object OpcodeCls = frames.attr("Opcode");
    py::object CloseCode = frames.attr("CloseCode");
    py::object protocol_error = import("websockets.exceptions").attr("ProtocolError");
    py::object reader = self.attr("reader");
    py::object read_exact = reader.attr("read_exact");
    self.attr("refused_sizes") = import("collections").attr("deque")();
    self.attr("refused_marker") = py::bytes(kRefusedMarker);
    const py::object deflate = deflate_extension(self);

    // The message being received: its frames' data while within the cap, or its size so
    // far while it is being skipped.
    bool in_message = false;
    bool refusing = false;
    bool compressed = false;
    int message_opcode = kText;
    std::vector<py::object> held;
    Py_ssize_t held_size = 0;
    Py_ssize_t refused_size = 0;

    try {
        for (;;) {
            const py::object buffer = reader.attr("buffer");
            const bool buffered = PyByteArray_Check(buffer.ptr()) && PyByteArray_GET_SIZE(buffer.ptr()) > 0;
            if (!buffered && py::bool_(co_await yield_from(reader.attr("at_eof")()))) {
                raise_error(PyExc_EOFError, "unexpected end of stream");
            }
            py::object head = take_buffered(reader.attr("buffer"), 2);
            if (!head) {
                head = co_await yield_from(read_exact(2));
            }
            const unsigned char head1 = bytes_of(head)[0];
            const unsigned char head2 = bytes_of(head)[1];
            const bool fin = (head1 & 0x80) != 0;
            const bool rsv1 = (head1 & 0x40) != 0;
            const bool rsv23 = (head1 & 0x30) != 0;
            const int opcode = head1 & 0x0F;
            py::object opcode_obj;
            try {
                opcode_obj = OpcodeCls(opcode);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError)) {
                    throw;
                }
                raise_error(protocol_error.ptr(), "invalid opcode");
            }
            if ((head2 & 0x80) != 0) {
                raise_error(protocol_error.ptr(), "incorrect masking");  // a server never masks
            }
            uint64_t length = head2 & 0x7F;
            if (length >= 126) {
                const int extra = length == 126 ? 2 : 8;
                py::object ext = take_buffered(reader.attr("buffer"), extra);
                if (!ext) {
                    ext = co_await yield_from(read_exact(extra));
                }
                const unsigned char *b = bytes_of(ext);
                length = 0;
                for (int i = 0; i < extra; ++i) {
                    length = (length << 8) | b[i];
                }
            }

            if (opcode >= 8) {
                // Control frames are small by rule; anything longer is refused before reading.
                if (length > 125) {
                    raise_error(protocol_error.ptr(), "control frame too long");
                }
                py::object data = take_buffered(reader.attr("buffer"), static_cast<Py_ssize_t>(length));
                if (!data) {
                    data = co_await yield_from(read_exact(static_cast<Py_ssize_t>(length)));
                }
                py::object frame =
                    Frame(opcode_obj, to_bytes(data), fin, rsv1, (head1 & 0x20) != 0, (head1 & 0x10) != 0);
                frame.attr("check")();
                if (py::bool_(self.attr("debug"))) {
                    self.attr("logger").attr("debug")("< %s", frame);
                }
                self.attr("recv_frame")(frame);
                continue;
            }

            if (rsv23) {
                raise_error(protocol_error.ptr(), "reserved bits must be 0");
            }
            if (opcode == kCont) {
                if (!in_message && !refusing) {
                    raise_error(protocol_error.ptr(), "unexpected continuation frame");
                }
                if (rsv1) {
                    raise_error(protocol_error.ptr(),
                                compressed ? "RSV1 bit set in continuation frame" : "reserved bits must be 0");
                }
                if (compressed && fin) {
                    deflate.attr("decode_cont_data") = false;
                }
            } else {
                if (in_message || refusing) {
                    raise_error(protocol_error.ptr(), "expected a continuation frame");
                }
                if (rsv1 && deflate.is_none()) {
                    raise_error(protocol_error.ptr(), "reserved bits must be 0");
                }
                compressed = rsv1;
                message_opcode = opcode;
                refused_size = 0;
                if (compressed) {
                    // What the extension's decode does for the first frame of a message.
                    if (py::bool_(deflate.attr("remote_no_context_takeover"))) {
                        deflate.attr("decoder") = import("zlib").attr("decompressobj")(
                            py::arg("wbits") = -deflate.attr("remote_max_window_bits").cast<int>());
                    }
                    if (!fin) {
                        deflate.attr("decode_cont_data") = true;
                    }
                }
            }

            const Py_ssize_t cap = byte_cap();
            const Py_ssize_t allowance = refusing ? 0 : cap - held_size;
            if (!refusing && length > static_cast<uint64_t>(allowance)) {
                refusing = true;
                in_message = false;
                refused_size = held_size;
                held.clear();
                held_size = 0;
            }
            py::object decoder = compressed ? py::object(deflate.attr("decoder")) : py::none();
            std::vector<py::object> kept;
            bool overflow = refusing;
            if (refusing) {
                // Skip the payload without holding it; inflate it all the same, since the
                // decoder's window must stay in step with the peer's encoder.
                uint64_t remaining = length;
                while (remaining > 0) {
                    const Py_ssize_t n = static_cast<Py_ssize_t>(std::min<uint64_t>(remaining, kPiece));
                    py::object piece = take_buffered(reader.attr("buffer"), n);
                    if (!piece) {
                        piece = co_await yield_from(read_exact(n));
                    }
                    remaining -= static_cast<uint64_t>(n);
                    refused_size += compressed ? inflate(decoder, piece, 0, kept, overflow, protocol_error) : n;
                }
                if (compressed && fin) {
                    refused_size += inflate(decoder, py::bytes(kEmptyBlock, 4), 0, kept, overflow, protocol_error);
                }
            } else {
                py::object data = take_buffered(reader.attr("buffer"), static_cast<Py_ssize_t>(length));
                if (!data) {
                    data = co_await yield_from(read_exact(static_cast<Py_ssize_t>(length)));
                }
                if (compressed) {
                    Py_ssize_t total = inflate(decoder, data, allowance, kept, overflow, protocol_error);
                    if (fin) {
                        total += inflate(decoder, py::bytes(kEmptyBlock, 4), allowance - total, kept, overflow,
                                         protocol_error);
                    }
                    if (overflow) {
                        refusing = true;
                        in_message = false;
                        refused_size = held_size + total;
                        held.clear();
                        held_size = 0;
                    }
                } else {
                    kept.push_back(to_bytes(data));
                }
            }
            if (compressed && fin && py::bool_(deflate.attr("remote_no_context_takeover"))) {
                py::delattr(deflate, "decoder");
            }
            if (refusing) {
                if (fin) {
                    refusing = false;
                    report_refused(self, Frame, refused_size);
                }
                continue;
            }
            for (auto &part : kept) {
                held_size += static_cast<Py_ssize_t>(py::len(part));
                held.push_back(std::move(part));
            }
            in_message = true;
            if (!fin) {
                continue;
            }
            // The whole message goes to the library as one frame.
            py::list parts;
            for (const auto &part : held) {
                parts.append(part);
            }
            py::object data = py::bytes("").attr("join")(parts);
            py::object frame = Frame(OpcodeCls(message_opcode), data, true);
            held.clear();
            held_size = 0;
            in_message = false;
            if (py::bool_(self.attr("debug"))) {
                self.attr("logger").attr("debug")("< %s", frame);
            }
            self.attr("recv_frame")(frame);
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;  // GeneratorExit when the parser is dropped
        }
        py::object exc = e.value();
        if (e.matches(protocol_error)) {
            self.attr("fail")(CloseCode.attr("PROTOCOL_ERROR"), py::str(exc));
        } else if (e.matches(PyExc_EOFError)) {
            self.attr("fail")(CloseCode.attr("ABNORMAL_CLOSURE"), py::str(exc));
        } else if (e.matches(PyExc_UnicodeDecodeError)) {
            self.attr("fail")(CloseCode.attr("INVALID_DATA"),
                              py::str("{} at position {}").format(exc.attr("reason"), exc.attr("start")));
        } else {
            self.attr("logger").attr("error")("parser failed", py::arg("exc_info") = exc);
            self.attr("fail")(CloseCode.attr("INTERNAL_ERROR"));
        }
        self.attr("parser_exc") = exc;
    }
    // After a failure fail() has put discard() in the parser's place; stay suspended.
    co_await yield_once();
    raise_error(PyExc_AssertionError, "parse() shouldn't step after error");
}

}  // namespace

py::object bounded_connection_factory() {
    py::object protocol_cls = import("websockets.protocol").attr("Protocol");
    ClassBuilder limited("FrameLimitedProtocol", this_module(), {protocol_cls});
    limited.attr("__doc__", py::str("Protocol.parse that skips messages over the byte cap instead of holding them."));
    limited.def("parse", &parse);
    py::object client_cls = import("websockets.client").attr("ClientProtocol");
    // ClientProtocol.parse reads the handshake, then calls super().parse(): the next class
    // in this MRO is the limited parser.
    ClassBuilder bounded("BoundedClientProtocol", this_module(), {client_cls, limited.build()});
    py::object bounded_cls = bounded.build();
    py::object connection_cls = import("websockets.asyncio.client").attr("ClientConnection");
    return py::cpp_function(
        [bounded_cls, connection_cls](py::object protocol, py::kwargs kwargs) {
            protocol.attr("__class__") = bounded_cls;
            return connection_cls(protocol, **kwargs);
        },
        py::name("create_connection"));
}

py::object refused_message_size(const py::object &websocket, const py::object &raw) {
    if (!PyBytes_Check(raw.ptr())) {
        return py::none();
    }
    py::object protocol = py::getattr(websocket, "protocol", py::none());
    py::object sizes = py::getattr(protocol, "refused_sizes", py::none());
    if (sizes.is_none() || !py::bool_(sizes) || !raw.equal(py::getattr(protocol, "refused_marker", py::none()))) {
        return py::none();
    }
    return sizes.attr("popleft")();
}

}  // namespace tarnlet::kernel
