// Interrupting running user code: a worker registers the request whose user code it runs,
// and "interrupt_request" raises KeyboardInterrupt in that worker's thread [interrupts.cpp].
#pragma once

#include <cstdint>

#include "kernel.hpp"

namespace tarnlet::kernel {

// While it lives, the request `request_id` of the kernel `self` runs user code on this
// thread, and an interrupt_request that names it (or names none) raises KeyboardInterrupt
// here. Its end withdraws an interrupt that came too late to be raised, so none can
// surface in kernel code after the user code returned. Scope it to the user code and keep
// it inside the code that catches what that code raises.
class InterruptibleRun {
public:
    InterruptibleRun(const py::object &self, const py::object &request_id);
    ~InterruptibleRun();
    InterruptibleRun(const InterruptibleRun &) = delete;
    InterruptibleRun &operator=(const InterruptibleRun &) = delete;

private:
    std::uint64_t token_ = 0;
};

}  // namespace tarnlet::kernel
