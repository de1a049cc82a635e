// PythonKernel's life: construction, connect, the listener loop, run and disconnect,
// and the process entry `main`.
#include <exception>

#include "frame_limit.hpp"
#include "messages.hpp"
#include "sync_requests.hpp"

namespace tarnlet::kernel {
namespace {

py::object asyncio() { return module_global("asyncio"); }

void init(py::object self, py::object workbook_id, py::object host, py::object port, py::object connection_args) {
    py::object sys = module_global("sys");
    py::object tarnlet = tarnlet_module();
    self.attr(interned("workbook_id")) = workbook_id;
    // Python's `+`: a port that is not a string fails as it would there.
    self.attr(interned("server_url")) = py::str("ws://") + host + py::str(":") + port;
    self.attr(interned("websocket")) = py::none();
    self.attr(interned("executor")) = module_global("CodeExecutor")();
    self.attr(interned("virtual_env")) = module_global("VirtualEnvironment")(workbook_id);
    self.attr(interned("running")) = false;
    self.attr(interned("_loop")) = py::none();
    self.attr(interned("_thread_pool")) =
        module_global("concurrent")
            .attr(interned("futures"))
            .attr(interned("ThreadPoolExecutor"))(py::arg("max_workers") = self.attr(interned("WORKER_POOL_SIZE")));
    self.attr(interned("_sensewire")) = module_global("Sensewire")();
    self.attr(interned("agent")) =
        module_global("Agent")(tarnlet.attr(interned("excel")), tarnlet.attr(interned("context")));
    self.attr(interned("connection_args")) = py::bool_(connection_args) ? connection_args : py::dict();
    self.attr(interned("_win32_watcher")) = py::none();
    self.attr(interned("_com_event_registrar")) = py::none();
    self.attr(interned("_object_keeper")) = py::dict();
    self.attr(interned("_object_keeper_lock")) = module_global("threading").attr(interned("Lock"))();
    self.attr(interned("_response_futures")) = py::dict();
    self.attr(interned("_response_data")) = py::dict();
    self.attr(interned("_response_lock")) = module_global("threading").attr(interned("Lock"))();
    self.attr(interned("_canceled_streaming_requests")) = py::set();
    self.attr(interned("_chunk_buffers")) = py::dict();
    self.attr(interned("_socket_lock")) = py::none();
    self.attr(interned("_batcher")) = py::none();
    self.attr(interned("_original_stdout")) = sys.attr(interned("stdout"));
    self.attr(interned("_original_stderr")) = sys.attr(interned("stderr"));

    py::object loader = module_global("in_memory_loader");
    py::list meta_path = sys.attr(interned("meta_path"));
    if (!meta_path.contains(loader)) {
        meta_path.insert(0, loader);
        log_debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
    }
}

bool has_active_debugger(py::object self) { return !py::getattr(self, "_debugger", py::none()).is_none(); }

Coro connect(py::object self) {
    const py::object uri = py::object(self.attr(interned("server_url"))) + py::str("/ws/kernel/") +
                           py::object(self.attr(interned("workbook_id")));
    // No frame-size limit in the library: with it an oversized frame would close the
    // connection instead of being answered, and multi-byte text would be refused below the
    // limit. The kernel's own parser skips a message over its byte cap without holding it,
    // and listen() answers it.
    // Keepalive pings still go out, but a late pong does not close the connection: under
    // heavy output the pong waits behind megabytes that the peer has yet to read, and would
    // time out while the peer is busy reading them. A peer that is gone closes the socket.
    // permessage-deflate is offered only when WEBSOCKET_COMPRESSION asks for it: on the
    // loopback link to the Business Layer, compressing every small frame costs both ends
    // more CPU than the bytes it saves.
    self.attr(interned("websocket")) =
        co_await module_global("websockets")
            .attr(interned("connect"))(uri, py::arg("max_size") = py::none(), py::arg("ping_timeout") = py::none(),
                                       py::arg("compression") = module_global("WEBSOCKET_COMPRESSION"),
                                       py::arg("create_connection") = bounded_connection_factory());
    self.attr(interned("running")) = true;
    self.attr(interned("_loop")) = asyncio().attr(interned("get_running_loop"))();
    self.attr(interned("_socket_lock")) = asyncio().attr(interned("Lock"))();

    py::object tarnlet = tarnlet_module();
    py::object messaging = tarnlet.attr(interned("messaging"));
    messaging.attr(interned("loop")) = self.attr(interned("_loop"));
    messaging.attr(interned("loop_thread")) = module_global("threading").attr(interned("current_thread"))();
    tarnlet.attr(interned("connection_args")) = self.attr(interned("connection_args"));
    tarnlet.attr(interned("_kernel_instance")) = self;

    self.attr(interned("_batcher")) = module_global("MessageBatcher")(self);
    co_await self.attr(interned("_batcher")).attr(interned("start"))();

    if (self.attr(interned("connection_args")).attr(interned("get"))("platform").equal(py::str("win32"))) {
        try {
            py::object get_win32 = tarnlet.attr(interned("_get_win32"));
            py::dict definitions;
            definitions[interned("type")] = "win32_event_definitions";
            definitions[interned("definitions")] = module_global("get_win32_events_dictionary")();
            co_await self.attr(interned("send_message"))(definitions);
            self.attr(interned("_win32_watcher")) = module_global("Win32ComWatcher")(self);
            self.attr(interned("_win32_watcher")).attr(interned("start"))(get_win32);
            self.attr(interned("_com_event_registrar")) = module_global("Win32ComEventRegistrar")(self);
            self.attr(interned("_com_event_registrar")).attr(interned("start"))(get_win32);
            log_info("[Kernel] Win32 COM watcher started");
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            log_warning("[Kernel] Could not start Win32 COM watcher: " + error_text(e));
        }
    }

    py::object send_stream_message = make_send_stream_message(self);
    py::object sys = module_global("sys");
    py::object hook = module_global("KernelStreamHook");
    sys.attr(interned("stdout")) = hook("stdout", send_stream_message);
    sys.attr(interned("stderr")) = hook("stderr", send_stream_message);

    py::object send_sys_request = make_send_sys_request(self);
    messaging.attr(interned("send_request_sync")) = make_new_send_request_sync(send_sys_request);
    co_return py::none();
}

py::dict error_reply(const char *text) {
    py::dict reply;
    reply[interned("type")] = "error";
    reply[interned("message")] = text;
    return reply;
}

// True when the error means the frame's text is not readable JSON.
bool is_undecodable(const py::error_already_set &e) {
    // Besides JSONDecodeError, json.loads raises ValueError for an integer longer than
    // the interpreter converts (4300 digits by default), UnicodeDecodeError (a ValueError
    // too) for a binary frame that is not UTF-8, and RecursionError for nesting too deep
    // for the decoder. None is a message, and none may end the kernel.
    return e.matches(PyExc_ValueError) || e.matches(PyExc_RecursionError);
}

Coro listen(py::object self) {
    py::object closed_error = module_global("websockets").attr(interned("ConnectionClosed"));
    // A normal close ends the iteration, an abnormal one (or a send to a closed peer)
    // raises ConnectionClosed: both mean the connection is over.
    try {
        py::object frames = aiter(self.attr(interned("websocket")));
        while (auto raw = co_await anext(frames)) {
            py::object refused = refused_message_size(self.attr(interned("websocket")), *raw);
            if (!refused.is_none()) {
                log_warning("Message too large: " + text_of(refused) + " bytes");
                co_await self.attr(interned("send_message"))(error_reply("Message too large"));
                continue;
            }
            const size_t length = py::len(*raw);
            if (length > module_global("MAX_MESSAGE_SIZE").cast<size_t>()) {
                log_warning("Message too large: " + std::to_string(length) + " bytes");
                co_await self.attr(interned("send_message"))(error_reply("Message too large"));
                continue;
            }
            py::object decoded;
            bool undecodable = false;
            try {
                decoded = module_global("json").attr(interned("loads"))(*raw);
            } catch (py::error_already_set &e) {
                if (!is_undecodable(e)) {
                    throw;
                }
                undecodable = true;
            }
            if (undecodable) {
                co_await self.attr(interned("send_message"))(error_reply("Invalid JSON received"));
                continue;
            }
            // Valid JSON that is not an object is no message; refuse it and go on.
            if (!is_dict(decoded)) {
                co_await self.attr(interned("send_message"))(error_reply("Invalid message: expected a JSON object"));
                continue;
            }
            co_await self.attr(interned("handle_message"))(decoded);
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(closed_error)) {
            throw;
        }
    }
    self.attr(interned("running")) = false;
    co_return py::none();
}

// The language bridge's warm-up waits until the kernel is connected, so that importing
// jedi does not compete with the connection for the GIL.
void release_bridge_warmup(const py::object &self) {
    try {
        const py::object release =
            py::getattr(py::getattr(self, "_sensewire", py::none()), "_warmup_release", py::none());
        if (!release.is_none()) {
            release.attr("set")();
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        log_debug("[Kernel] Could not release the language bridge's warm-up: " + error_text(e));
    }
}

Coro run(py::object self) {
    const std::string workbook_id = text_of(self.attr(interned("workbook_id")));
    std::exception_ptr escaping;  // not an Exception (cancellation): re-raised after disconnect
    try {
        co_await self.attr(interned("connect"))();
        log_info("Kernel connected for workbook: " + workbook_id);
        release_bridge_warmup(self);
        co_await self.attr(interned("listen"))();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_Exception)) {
            log_error("Kernel error: " + error_text(e));
        } else {
            escaping = std::current_exception();
        }
    } catch (const std::exception &e) {
        log_error(std::string("Kernel error: ") + e.what());
    }
    co_await self.attr(interned("disconnect"))();
    log_info("Kernel disconnected for workbook: " + workbook_id);
    if (escaping) {
        std::rethrow_exception(escaping);
    }
    co_return py::none();
}

// One step of disconnect. A failure is logged and the later steps still run, so a close
// that breaks one step cannot leave the kernel half torn down; a BaseException that is no
// Exception (cancellation) is kept for the caller and raised after the last step.
class DisconnectSteps {
public:
    template <typename F>
    void run(const char *step, F &&f) {
        try {
            f();
        } catch (py::error_already_set &e) {
            note(step, e);
        } catch (const std::exception &e) {
            log_error(std::string("[Kernel] Disconnect step failed (") + step + "): " + e.what());
        }
    }
    void note(const char *step, py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            if (!escaping_) {
                escaping_ = std::current_exception();
            }
            return;
        }
        log_error(std::string("[Kernel] Disconnect step failed (") + step + "): " + type_name(e.value()) + ": " +
                  error_text(e));
    }
    void rethrow() const {
        if (escaping_) {
            std::rethrow_exception(escaping_);
        }
    }

private:
    std::exception_ptr escaping_;
};

Coro disconnect(py::object self) {
    DisconnectSteps steps;
    steps.run("running", [&] { self.attr(interned("running")) = false; });
    // Before anything that may wait: a worker blocked on an answer that can no longer
    // come would otherwise hold the process until its time-out.
    steps.run("pending sys_requests", [&] {
        const size_t failed = fail_pending_sys_requests(self);
        if (failed > 0) {
            log_warning("[Kernel] Connection closed: failed " + std::to_string(failed) + " waiting sys_request(s)");
        }
    });
    steps.run("win32 watcher", [&] {
        if (py::bool_(self.attr(interned("_win32_watcher")))) {
            self.attr(interned("_win32_watcher")).attr(interned("stop"))();
            self.attr(interned("_win32_watcher")) = py::none();
        }
    });
    steps.run("com event registrar", [&] {
        if (py::bool_(self.attr(interned("_com_event_registrar")))) {
            self.attr(interned("_com_event_registrar")).attr(interned("stop"))();
            self.attr(interned("_com_event_registrar")) = py::none();
        }
    });
    try {
        if (py::bool_(self.attr(interned("_batcher")))) {
            co_await self.attr(interned("_batcher")).attr(interned("stop"))();
        }
    } catch (py::error_already_set &e) {
        steps.note("batcher", e);
    }
    steps.run("tarnlet module", [&] {
        py::object tarnlet = tarnlet_module();
        try {
            tarnlet.attr(interned("messaging")).attr(interned("reset"))();
        } catch (py::error_already_set &) {
            tarnlet.attr(interned("_kernel_instance")) = py::none();
            throw;
        }
        tarnlet.attr(interned("_kernel_instance")) = py::none();
    });
    steps.run("standard streams", [&] {
        py::object sys = module_global("sys");
        sys.attr(interned("stdout")) = self.attr(interned("_original_stdout"));
        sys.attr(interned("stderr")) = self.attr(interned("_original_stderr"));
    });
    try {
        if (py::bool_(self.attr(interned("websocket")))) {
            co_await self.attr(interned("websocket")).attr(interned("close"))();
        }
    } catch (py::error_already_set &e) {
        steps.note("websocket close", e);
    }
    steps.run("worker pool",
              [&] { self.attr(interned("_thread_pool")).attr(interned("shutdown"))(py::arg("wait") = false); });
    steps.rethrow();
    co_return py::none();
}

// Looks up init_excel_host package-relative, then by its plain name; None when neither works.
py::object find_init_excel_host() {
    py::object importlib = py::module_::import("importlib");
    for (const bool relative : {true, false}) {
        try {
            py::object old_com =
                relative ? importlib.attr(interned("import_module"))(".tarnlet.old_com", "tarnlet_master.python_server")
                         : importlib.attr(interned("import_module"))("tarnlet.old_com");
            return old_com.attr(interned("init_excel_host"));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    return py::none();
}

}  // namespace

Coro kernel_main(py::object workbook_id, py::object port, py::object connection_args) {
    py::object sys = module_global("sys");
    py::object args = connection_args.is_none() ? py::dict() : connection_args;
    const py::object platform = sys.attr(interned("platform"));
    if (platform.equal(py::str("win32")) && !args.attr(interned("get"))("platform", "").equal(py::str("web"))) {
        py::object init_excel_host = find_init_excel_host();
        if (!init_excel_host.is_none()) {
            init_excel_host("tarnlet_id", workbook_id);
        }
    }
    py::object kernel = module_global("PythonKernel")(workbook_id, py::arg("port") = port,
                                                      py::arg("connection_args") = connection_args);
    co_await kernel.attr(interned("run"))();
    co_return py::none();
}

void add_lifecycle_methods(ClassBuilder &cls) {
    cls.attr("WORKER_POOL_SIZE", py::int_(10));
    cls.def_init(&init, py::arg("workbook_id"), py::arg("host") = "127.0.0.1", py::arg("port") = "8000",
                 py::arg("connection_args") = py::none());
    cls.def("connect", &connect);
    cls.def("listen", &listen);
    cls.def("run", &run);
    cls.def("disconnect", &disconnect);
    cls.def_property_readonly("has_active_debugger", &has_active_debugger);
}

}  // namespace tarnlet::kernel
