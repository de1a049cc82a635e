// Reassembly of messages that the peer split into "chunk" frames. Problems are only
// logged: a chunk is never answered.
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// A reassembled message needs one list slot per chunk up front; a hostile total
// must not be able to exhaust memory (65536 chunks of 64 KiB hold 4 GiB of text).
constexpr long long kMaxTotalChunks = 65536;

bool is_int(const py::handle &obj) { return PyLong_Check(obj.ptr()) != 0; }

// A chunk id has to work as a dict key.
bool is_valid_chunk_id(const py::handle &obj) { return is_str(obj) || is_int(obj) || PyFloat_Check(obj.ptr()) != 0; }

Coro handle_chunk_message(py::object self, py::object message) {
    py::object chunk_id = field(message, "chunk_id", py::none());
    py::object index = field(message, "chunk_index", py::none());
    py::object total = field(message, "total_chunks", py::none());
    py::object data = field(message, "data", py::str(""));

    if (index.is_none() || total.is_none() || chunk_id.is_none()) {
        log_error("[Kernel] Invalid chunk message: missing required fields");
        co_return py::none();
    }
    if (!is_int(index) || !is_int(total)) {
        log_error("[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers");
        co_return py::none();
    }
    if (py::int_(0) > index || index >= total) {
        log_error("[Kernel] Invalid chunk_index " + text_of(index) + " for total_chunks " + text_of(total));
        co_return py::none();
    }
    if (total > py::int_(kMaxTotalChunks)) {
        log_error("[Kernel] Invalid total_chunks " + text_of(total) + ": more than " + std::to_string(kMaxTotalChunks));
        co_return py::none();
    }
    if (!is_valid_chunk_id(chunk_id)) {
        log_error("[Kernel] Invalid chunk message: chunk_id must be a string, not " + type_name(chunk_id));
        co_return py::none();
    }
    if (!data.is_none() && !is_str(data)) {
        log_error("[Kernel] Invalid chunk message: data must be a string, not " + type_name(data));
        co_return py::none();
    }

    py::dict buffers = self.attr("_chunk_buffers");
    const Py_ssize_t slot = index.cast<Py_ssize_t>();
    if (!buffers.contains(chunk_id)) {
        py::list slots;
        for (Py_ssize_t i = 0, n = total.cast<Py_ssize_t>(); i < n; ++i) {
            slots.append(py::none());
        }
        py::dict buffer;
        buffer["chunks"] = slots;
        buffer["received"] = 0;
        buffer["total"] = total;
        buffers[chunk_id] = buffer;
    }
    py::object buffer = buffers[chunk_id];
    py::list slots = buffer["chunks"];
    // A peer that changes total_chunks within one message cannot grow the buffer.
    if (slot >= static_cast<Py_ssize_t>(py::len(slots))) {
        log_error("[Kernel] Invalid chunk_index " + text_of(index) + " for the buffer of chunk_id " +
                  text_of(chunk_id) + ", which holds " + std::to_string(py::len(slots)) + " chunks");
        co_return py::none();
    }
    if (slots[slot].is_none()) {
        slots[slot] = data;
        buffer["received"] = py::object(buffer["received"]) + py::int_(1);
    }
    if (!buffer["received"].equal(buffer["total"])) {
        co_return py::none();
    }
    for (py::handle piece : slots) {
        if (piece.is_none()) {
            log_error("[Kernel] Incomplete chunk buffer for chunk_id " + text_of(chunk_id));
            buffers.attr("pop")(chunk_id, py::none());
            co_return py::none();
        }
    }
    py::object text = py::str("").attr("join")(slots);
    buffers.attr("pop")(chunk_id, py::none());

    py::object decoded;
    try {
        decoded = module_global("json").attr("loads")(text);
    } catch (py::error_already_set &e) {
        // Nesting deep enough to exhaust the decoder's recursion, or an integer longer than
        // the interpreter converts (a ValueError), is as unreadable as bad JSON.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) {
            throw;
        }
        log_error("[Kernel] Failed to parse reassembled message: " + error_text(e));
        co_return py::none();
    }
    if (!is_dict(decoded)) {
        log_error("[Kernel] Reassembled message for chunk_id " + text_of(chunk_id) + " is not a JSON object (" +
                  type_name(decoded) + "), rejecting");
        co_return py::none();
    }
    if (field(decoded, "type", py::none()).equal(module_global("CHUNK_HEADER_TYPE"))) {
        log_error("[Kernel] Nested chunk message detected for chunk_id " + text_of(chunk_id) + ", rejecting");
        co_return py::none();
    }
    co_return decoded;
}

}  // namespace

void add_chunk_methods(ClassBuilder &cls) {
    cls.def("_handle_chunk_message", &handle_chunk_message, py::arg("message"));
}

}  // namespace tarnlet::kernel
