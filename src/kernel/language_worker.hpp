// The language worker: one thread that runs the bridge's analyses in arrival order,
// so the listener on the loop thread never waits for jedi [language_worker.cpp].
#pragma once

#include <functional>
#include <memory>

#include "kernel.hpp"

namespace tarnlet::kernel {

struct LanguageJob;

// Queues `work` for the worker thread (started when it is not running) and returns
// the job. `work` runs with the GIL held and returns the bridge's result dict; what it
// raises becomes {"error": text}.
std::shared_ptr<LanguageJob> submit_language_job(std::function<py::object()> work);

// Waits at most `timeout` seconds for the job's result dict. On time-out (or when the
// awaiting task is cancelled) the job is abandoned: skipped if it has not started,
// stopped inside the bridge if it runs. Returns None on time-out.
Coro await_language_job(std::shared_ptr<LanguageJob> job, double timeout);

}  // namespace tarnlet::kernel
