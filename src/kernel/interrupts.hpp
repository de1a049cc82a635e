// Interrupting running user code: a worker registers the request whose user code it runs,
// and "interrupt_request" raises KeyboardInterrupt in that worker's thread [interrupts.cpp].
#pragma once

#include <cstdint>

#include "kernel.hpp"

namespace tarnlet::kernel {

// From its start to end(), the request `request_id` of the kernel `self` runs user code
// on this thread, and an interrupt_request that names it (or names none) raises
// KeyboardInterrupt here. No interrupt for it can surface in kernel code afterwards:
// one delivered but not raised yet is withdrawn. Scope it to the user code, inside the
// code that catches what that code raises:
//   InterruptibleRun running(self, request_id);
//   ...user code...
//   failure = running.end();
class InterruptibleRun {
public:
    InterruptibleRun(const py::object &self, const py::object &request_id);
    // Without end() (the user code raised): a withdrawn interrupt is dropped.
    ~InterruptibleRun();
    InterruptibleRun(const InterruptibleRun &) = delete;
    InterruptibleRun &operator=(const InterruptibleRun &) = delete;

    // The run is over. An interrupt delivered as it ended, too late to be raised in its
    // code, is withdrawn and given back as the KeyboardInterrupt to report: its reply said
    // "interrupted", so the request ends interrupted. Null otherwise.
    py::object end();

private:
    bool leave();  // whether an interrupt was pending
    std::uint64_t token_ = 0;
    bool ended_ = false;
};

// Kernel work on a worker thread that runs Python code of its own (handing a message to
// the loop through asyncio) is no place for the user's interrupt: raised in there, it
// would leave asyncio's frames in the user's traceback, or a message scheduled without the
// loop being woken for it. An interrupt that comes during such a scope is held back, and
// end() raises it once the outermost scope is done, in the code that called into the
// kernel. A scope left by an exception drops it: that exception already ends the call.
class DeferredInterrupts {
public:
    DeferredInterrupts();
    ~DeferredInterrupts();
    DeferredInterrupts(const DeferredInterrupts &) = delete;
    DeferredInterrupts &operator=(const DeferredInterrupts &) = delete;

    // Raises the KeyboardInterrupt that was held back, if any.
    void end();

private:
    bool ended_ = false;
};

}  // namespace tarnlet::kernel
