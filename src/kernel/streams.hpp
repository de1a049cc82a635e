// Output routing. The process's sys.stdout and sys.stderr are routing streams (the kernel's
// KernelStreamHook pair, or a stand-in put over whatever else is there): each write goes to
// the capture registered for the writing thread, and only a thread without one writes
// process-wide. A request's capture keeps its text and streams it as "stdout"/"stderr"
// messages under the request's id; writes made while one of those messages is still
// waiting for the loop are joined into it, so printing costs the writer no loop round trip
// and the peer fewer, longer messages in the order written.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kernel.hpp"

namespace tarnlet::kernel::output {

enum Stream : int { out = 0, err = 1 };

// Where a request's output messages go.
struct Target {
    py::object self;
    py::object loop;
    py::object request_id;
    py::object workbook_id;
    py::object source;
};

// The text one run writes on its thread, and where each stream goes besides: to the
// thread's request (see RequestScope), to a Python callback, or nowhere.
class Capture {
public:
    Capture() = default;
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    void to_request(Stream stream) { sink_[stream] = Sink::request; }
    // A callback as CodeExecutor.execute takes one: None streams nowhere, the kernel's
    // _request_stdout/_request_stderr stream to the thread's request.
    void to_callback(Stream stream, const py::object &callback);

    // `text` is a str; a callback's ordinary exception is swallowed, as StreamCapture does.
    void write(Stream stream, const py::handle &text);
    // Everything written to the stream so far.
    py::str text(Stream stream) const;

private:
    enum class Sink { none, request, callback };
    std::string text_[2];  // UTF-8, lone surrogates kept (surrogatepass)
    Sink sink_[2] = {Sink::none, Sink::none};
    Stream route_[2] = {out, err};  // the request stream a request sink writes
    py::object callback_[2];
};

// Registers `capture` for the current thread while the scope lives (scopes nest). Where
// sys.stdout or sys.stderr is not a routing stream, a stand-in that routes and otherwise
// writes to the stream it covers is put there, and taken away by the last scope using it.
class CaptureScope {
public:
    explicit CaptureScope(Capture &capture);
    ~CaptureScope();
    CaptureScope(const CaptureScope &) = delete;
    CaptureScope &operator=(const CaptureScope &) = delete;

private:
    Capture *previous_;
    PyObject *previous_stand_in_[2] = {nullptr, nullptr};
    py::object stand_in_[2];  // the stand-ins this scope counts on, or null
};

// Addresses this thread's request output to `target` while the scope lives. At the end no
// later write joins a message of this request, so nothing goes out under its id after it.
class RequestScope {
public:
    explicit RequestScope(Target target);
    ~RequestScope();
    RequestScope(const RequestScope &) = delete;
    RequestScope &operator=(const RequestScope &) = delete;

private:
    std::shared_ptr<const Target> previous_;
};

}  // namespace tarnlet::kernel::output
