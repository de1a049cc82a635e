// Stopping a Python thread from another one with an asynchronous exception, shared by the
// language bridge's warm-up and the kernel's language worker.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnlet {

// Delivers `exception` into the thread `ident`, unless another thread state carries
// the same ident: a thread being started by that thread has its creator's ident until
// it runs, and would receive the exception too (and die before it signals that it
// started, leaving its creator waiting for ever). Returns whether it was delivered.
bool interrupt_thread(unsigned long ident, PyObject *exception);

// Withdraws a stop delivered into this thread that has not been raised yet, and says
// whether there was one. Raising it is the only clean way: clearing it by hand (or with
// SetAsyncExc(id, NULL)) would leave the interpreter's "pending" signal set, and traced
// code then spins on it.
bool withdraw_pending_stop();

// A new BaseException subclass of this module, for delivering into a thread to stop it:
// no `except Exception` on its way (ours, jedi's) keeps it. The caller keeps it for the
// life of the process.
PyObject *new_stop_exception_type(const char *name, const char *doc);

}  // namespace tarnlet
