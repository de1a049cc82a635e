#include "sync_requests.hpp"

#include "dispatch.hpp"
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

[[noreturn]] void throw_connection_error(const std::string &text) { raise_error(PyExc_ConnectionError, text); }

}  // namespace

py::object make_send_stream_message(py::object kernel) {
    return py::cpp_function(
        [kernel](py::object stream_type, py::object content) {
            try {
                py::dict message;
                message["type"] = stream_type;
                message["content"] = content;
                message["workbook_id"] = kernel.attr("workbook_id");
                schedule_send(kernel, kernel.attr("_loop"), message);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) {
                    throw;
                }
                log_debug("[Kernel] " + text_of(stream_type) + " streaming error: " + error_text(e));
            }
        },
        py::name("send_stream_message"), py::arg("stream_type"), py::arg("content"));
}

py::object make_send_sys_request(py::object kernel) {
    return py::cpp_function(
        [kernel](py::object payload, py::object timeout) -> py::object {
            const py::object request_id = field(payload, "requestId", py::none());
            const std::string id_text = text_of(request_id);
            const std::string thread_name = current_thread_name();
            const py::object loop_thread = tarnlet_module().attr("messaging").attr("loop_thread");
            if (!loop_thread.is_none() && loop_thread.is(module_global("threading").attr("current_thread")())) {
                // The loop thread would wait for an answer that only it can receive.
                throw std::runtime_error(
                    "send_sys_request must not be called from the async event loop thread to avoid deadlock");
            }
            const std::string prefix = "[Kernel] [Worker Thread " + thread_name + "] ";
            log_debug(prefix + "Sending sys_request: " + id_text);

            py::object event = module_global("threading").attr("Event")();
            py::object lock = kernel.attr("_response_lock");
            {
                // Registered before the send, so a fast answer cannot be missed. `running` is
                // read under the lock that disconnect takes to fail the waits: a request either
                // is registered in time to be failed there, or sees the closed connection here.
                ThreadLockGuard guard(lock);
                if (!py::bool_(kernel.attr("running"))) {
                    throw_connection_error("connection closed, sys_request not sent: " + id_text);
                }
                kernel.attr("_response_futures")[request_id] = event;
            }
            py::dict message;
            message["type"] = "sys_request";
            message["payload"] = payload;
            try {
                schedule_send(kernel, kernel.attr("_loop"), message);
            } catch (py::error_already_set &) {
                ThreadLockGuard guard(lock);
                kernel.attr("_response_futures").attr("pop")(request_id, py::none());
                throw;
            }
            log_debug(prefix + "Waiting for sys_response: " + id_text);
            const bool answered = py::bool_(event.attr("wait")(py::arg("timeout") = timeout));
            if (answered) {
                log_debug(prefix + "Received sys_response: " + id_text);
                py::object response;
                {
                    ThreadLockGuard guard(lock);
                    response = kernel.attr("_response_data").attr("pop")(request_id, py::none());
                    kernel.attr("_response_futures").attr("pop")(request_id, py::none());
                }
                if (PyExceptionInstance_Check(response.ptr())) {
                    // Woken by disconnect: the answer can no longer arrive.
                    log_error(prefix + "sys_request failed, connection closed: " + id_text);
                    throw_connection_error("connection closed while waiting for sys_response: " + id_text);
                }
                if (response.is_none()) {
                    const std::string text = "sys_response data missing for request_id: " + id_text;
                    log_error("[Kernel] " + text);
                    throw std::runtime_error(text);
                }
                return response;
            }
            {
                ThreadLockGuard guard(lock);
                kernel.attr("_response_futures").attr("pop")(request_id, py::none());
                kernel.attr("_response_data").attr("pop")(request_id, py::none());
            }
            log_error(prefix + "sys_request timeout: " + id_text);
            const std::string seconds = timeout.is_none() ? "None" : text_of(py::float_(timeout));
            PyErr_SetString(PyExc_TimeoutError, ("sys_request timeout after " + seconds + "s: " + id_text).c_str());
            throw py::error_already_set();
        },
        py::name("send_sys_request"), py::arg("payload"), py::arg("timeout") = 30.0);
}

py::object make_new_send_request_sync(py::object send_sys_request) {
    return py::cpp_function(
        [send_sys_request](py::object req, py::object timeout) {
            const py::object request_id = module_global("uuid").attr("uuid4")().attr("hex");
            // A copy (py::dict(req) would only borrow a dict): the caller's dict keeps its keys.
            py::dict payload = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyDict_Type))(req);
            payload["requestId"] = request_id;
            payload["kind"] = "request";
            return send_sys_request(payload, py::arg("timeout") = timeout);
        },
        py::name("new_send_request_sync"), py::arg("req"), py::arg("timeout") = 30.0);
}

std::string deliver_sys_response(py::object kernel, py::object message) {
    py::object payload = field(message, "payload", py::none());
    if (!py::bool_(payload)) {
        payload = message;
    }
    if (!is_dict(payload)) {
        return "Invalid field 'payload' in sys_response: expected an object, got " + type_name(payload);
    }
    const py::object request_id = field(payload, "requestId", py::none());
    if (!request_id.is_none() && !is_str(request_id)) {
        return "Invalid field 'requestId' in sys_response: expected a string, got " + type_name(request_id);
    }
    const std::string id_text = text_of(request_id);
    log_debug("[Kernel] [Listener Thread] Received sys_response for request_id: " + id_text + ", unblocking worker");
    if (!py::bool_(request_id)) {
        log_warning("[Kernel] Received sys_response without requestId");
        return {};
    }
    bool found = false;
    {
        ThreadLockGuard guard(kernel.attr("_response_lock"));
        py::object event = kernel.attr("_response_futures").attr("get")(request_id);
        // Only an answer that some worker waits for is kept: a late or unknown one would
        // stay in the table for good, since no worker ever collects it.
        if (!event.is_none()) {
            kernel.attr("_response_data")[request_id] = payload;
            event.attr("set")();
            found = true;
        }
    }
    if (found) {
        log_debug("[Kernel] [Listener Thread] Worker unblocked for request_id: " + id_text);
    } else {
        log_warning("[Kernel] Received sys_response for unknown request_id: " + id_text);
    }
    return {};
}

size_t fail_pending_sys_requests(py::object kernel) {
    ThreadLockGuard guard(kernel.attr("_response_lock"));
    py::dict waiting = kernel.attr("_response_futures");
    py::object data = kernel.attr("_response_data");
    size_t failed = 0;
    for (auto item : waiting) {
        if (data.contains(item.first)) {
            continue;  // answered, and the worker is about to collect it
        }
        // The worker finds the error in place of a payload and raises ConnectionError.
        data[item.first] = py::reinterpret_borrow<py::object>(PyExc_ConnectionError)("connection closed");
        item.second.attr("set")();
        ++failed;
    }
    return failed;
}

Coro handle_sys_response(py::object self, py::object message) {
    const std::string error = deliver_sys_response(self, message);
    if (error.empty()) {
        co_return py::none();
    }
    py::dict reply = reply_of("error");
    reply["message"] = error;
    if (message.contains("request_id")) {
        reply["request_id"] = message["request_id"];
    }
    co_return co_await send(self, reply);
}

}  // namespace tarnlet::kernel
