"""interrupt_request: KeyboardInterrupt raised in the worker that runs a request's user code.

Every request kind that runs user code on a worker is interrupted while it spins; the reply
comes at once from the listener, the interrupted request answers with its own error, and the
kernel (its worker pool and the console namespace) serves the next request."""

import asyncio
import re
import sys
import weakref

import pytest

import tarnlet_master.python_server.debugger as debugger

import kernel_peer as ip

WORKBOOK = "wb-interrupt"

LOOPS = """\
def spin(label):
    print("spinning", label, flush=True)
    n = 0
    while True:
        n += 1

def values():
    yield 1
    while True:
        pass

def paused(n):
    total = 0
    for i in range(n):
        total += i
    return total

def quick(x):
    return x * 2

def spinner():
    return spin            # its wire form registers it

def nap(seconds):
    import time
    print("napping", flush=True)
    time.sleep(seconds)
"""
# The lines of spin's loop, and of its print: the peer can have the printed line while
# the print is still finishing, and an interrupt that comes then is raised there.
SPIN_LOOP = (2, 4, 5)
VALUES_LOOP = (9, 10)
PAUSED_LINE = 15

CONSOLE_SPIN = "n = 0\nprint('started')\nwhile True:\n    n += 1\n"
CONSOLE_LOOP = (2, 3, 4)  # as SPIN_LOOP: its print, and its loop


ABSENT = object()


@pytest.fixture
async def peer(peer):
    yield peer
    # A test that failed leaves its loops spinning in the worker pool, and they would hold
    # the test process at its exit.
    await peer.send({"type": "interrupt_request"})


async def interrupt(peer, request_id=ABSENT):
    """Sends an interrupt_request (without a request_id when ABSENT) and returns its answer."""
    message = {"type": "interrupt_request"}
    if request_id is not ABSENT:
        message["request_id"] = request_id
    before = len(peer.messages)
    await peer.send(message)
    # The listener answers it before it reads on: the probe's answer comes after it.
    await peer.probe()
    return [m for m in peer.messages[before:] if m.get("type") in ("interrupt_reply", "error")][0]


async def run_code(peer, code, request_id=None):
    request_id = request_id or ip.fresh("ex")
    await peer.send({"type": "execution_request", "code": code, "request_id": request_id})
    return request_id


async def started(peer, request_id, text):
    """Waits until the request has printed the line `text`: print writes each argument apart,
    and an interrupt that comes before its last write lands in the print."""
    line = text + "\n"
    async with peer.changed:
        await asyncio.wait_for(peer.changed.wait_for(lambda: line in ip.stream_text(peer.of(request_id), "stdout")),
                               peer.timeout)


async def start_call(peer, mod, function, args, request_id=None):
    request_id = request_id or ip.fresh("call")
    await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": function,
                     "args": list(args), "request_id": request_id, "workbook_id": WORKBOOK})
    return request_id


async def start_spin(peer, mod, label):
    request_id = await start_call(peer, mod, "spin", [label])
    await started(peer, request_id, f"spinning {label}")
    return request_id


def line_of(traceback, file, lines):
    """The line of the innermost frame of `file` in the traceback text, checked to be one of `lines`
    and to be the innermost frame of all: an interrupt never surfaces inside the kernel's own code."""
    found = re.findall(rf'File "{re.escape(file)}", line (\d+)', traceback)
    assert found, traceback
    assert int(found[-1]) in lines, traceback
    assert re.findall(r'File "([^"]+)", line \d+', traceback)[-1] == file, traceback
    return int(found[-1])


async def still_serving(peer):
    rid = await run_code(peer, "1+1")
    final = await peer.wait_type("execution_result", request_id=rid)
    assert final["result"] == "2"


async def test_console_loop_is_interrupted_and_its_namespace_survives(peer):
    rid = await run_code(peer, CONSOLE_SPIN)
    await started(peer, rid, "started")
    reply = await interrupt(peer, rid)
    assert reply == {"type": "interrupt_reply", "request_id": rid, "interrupted": True}
    error = await peer.wait_type("execution_error", request_id=rid)
    assert error["error"]["type"] == "KeyboardInterrupt"
    assert error["error"]["traceback"].endswith("KeyboardInterrupt\n")
    line_of(error["error"]["traceback"], "<string>", CONSOLE_LOOP)
    # The loop ran in the persistent namespace, and the next request sees what it did.
    check = await run_code(peer, "n > 0")
    assert (await peer.wait_type("execution_result", request_id=check))["result"] == "True"
    # The request is over: interrupting it again finds nothing.
    assert (await interrupt(peer, rid))["interrupted"] is False
    await still_serving(peer)


async def test_worksheet_function_is_interrupted_with_its_traceback(peer):
    mod = await peer.module(LOOPS)
    rid = await start_spin(peer, mod, "a")
    assert (await interrupt(peer, rid))["interrupted"] is True
    result = await peer.wait_type("function_execution_result", request_id=rid)
    assert result["status"] == "error"
    assert result["error"].endswith("KeyboardInterrupt\n")
    line_of(result["error"], f"<virtual:{mod}>", SPIN_LOOP)
    assert "in spin" in result["error"]
    ide = [m for m in peer.of(rid) if m["type"] == "execution_error"]
    assert len(ide) == 1 and ide[0]["error"] == result["error"]
    assert result["logs"].startswith("spinning a\n")
    # The worker that ran it is back in the pool and runs the next calls cleanly.
    for n in range(3):
        messages = await peer.call(mod, "quick", [n])
        assert messages[-1]["status"] == "success" and messages[-1]["result"] == n * 2
    await still_serving(peer)


async def test_event_handler_and_registered_callable_are_interrupted(peer):
    mod = await peer.module(LOOPS)
    event = ip.fresh("ev")
    await peer.send({"type": "event_execution", "module_name": mod, "function_name": "spin",
                     "args": ["event"], "request_id": event})
    await started(peer, event, "spinning event")
    assert (await interrupt(peer, event))["interrupted"] is True
    result = await peer.wait_type("event_execution_result", request_id=event)
    assert result["status"] == "error" and result["error"].endswith("KeyboardInterrupt\n")
    line_of(result["error"], f"<virtual:{mod}>", SPIN_LOOP)

    wire = [m for m in await peer.call(mod, "spinner") if m["type"] == "function_execution_result"][0]["result"]
    callback = ip.fresh("pf")
    await peer.send({"type": "python_function_call", "callable_id": wire["id"], "args": ["callback"],
                     "request_id": callback, "workbook_id": WORKBOOK})
    await started(peer, callback, "spinning callback")
    assert (await interrupt(peer, callback))["interrupted"] is True
    result = await peer.wait_type("python_function_result", request_id=callback)
    assert result["success"] is False and result["error"].endswith("KeyboardInterrupt\n")
    line_of(result["error"], f"<virtual:{mod}>", SPIN_LOOP)
    await still_serving(peer)


async def test_stream_whose_generator_loops_fails_with_the_interrupt(peer):
    mod = await peer.module(LOOPS)
    rid = ip.fresh("st")
    await peer.send({"type": "execute_streaming_function", "request_id": rid, "module_name": mod,
                     "function_name": "values", "args": [], "workbook_id": WORKBOOK, "source": "addin"})
    await peer.wait_type("streaming_function_result", request_id=rid, result=1)
    # A cancellation is only seen between two values: the generator runs on past it.
    await peer.send({"type": "cancel_streaming_function", "request_id": rid})
    await asyncio.sleep(0.2)
    assert (await interrupt(peer, rid))["interrupted"] is True
    final = await peer.wait_type("streaming_function_result", request_id=rid, done=True)
    assert final["error"] == "KeyboardInterrupt"
    results = [m for m in peer.of(rid) if m["type"] == "streaming_function_result"]
    assert [m.get("result") for m in results] == [1, None]
    # Its traceback went out on the stream's stderr.
    stderr = ip.stream_text(peer.of(rid), "stderr")
    assert "in values" in stderr
    line_of(stderr, f"<virtual:{mod}>", VALUES_LOOP)
    await still_serving(peer)


async def test_debug_run_paused_at_a_breakpoint_is_interrupted(peer, monkeypatch):
    # The paused worker is woken for the interrupt, not left to notice it at its next poll.
    monkeypatch.setattr(debugger, "PAUSE_POLL_INTERVAL", 600)
    mod = await peer.module(LOOPS)
    rid = ip.fresh("dbg")
    await peer.send({"type": "run_module", "debug": True, "module_name": mod, "function_name": "paused",
                     "args": [3], "breakpoints": [{"module": mod, "line": PAUSED_LINE}], "request_id": rid,
                     "workbook_id": WORKBOOK})
    await peer.wait_type("debug_paused")
    assert (await interrupt(peer, rid))["interrupted"] is True
    await peer.wait_type("debug_terminated", request_id=rid)
    exception = await peer.wait_type("debug_exception")
    assert exception["exception_type"] == "KeyboardInterrupt"
    assert (exception["module"], exception["line"]) == (mod, PAUSED_LINE)
    assert exception["exception_traceback"].endswith("KeyboardInterrupt\n")
    assert peer.kernel.has_active_debugger is False
    # No debug_resumed: the run did not go on, it ended where it stood.
    assert not peer.matching(lambda m: m["type"] == "debug_resumed")
    await still_serving(peer)
    # The debugger slot is free for the next run.
    again = ip.fresh("dbg")
    await peer.send({"type": "run_module", "debug": True, "module_name": mod, "function_name": "quick",
                     "args": [4], "request_id": again, "workbook_id": WORKBOOK})
    await peer.wait_type("debug_terminated", request_id=again)
    assert [m.get("content") for m in peer.of(again) if m["type"] == "result_output"] == ["Out: 8\n"]


async def test_debug_run_running_under_the_debugger_is_interrupted(peer):
    mod = await peer.module(LOOPS)
    rid = ip.fresh("dbg")
    await peer.send({"type": "run_module", "debug": True, "module_name": mod, "function_name": "spin",
                     "args": ["d"], "request_id": rid, "workbook_id": WORKBOOK})
    await started(peer, rid, "spinning d")
    assert (await interrupt(peer, rid))["interrupted"] is True
    await peer.wait_type("debug_terminated", request_id=rid)
    exception = await peer.wait_type("debug_exception")
    assert exception["exception_type"] == "KeyboardInterrupt"
    assert exception["module"] == mod and exception["line"] in SPIN_LOOP
    await still_serving(peer)


async def test_an_interrupt_names_its_request_exactly(peer):
    mod = await peer.module(LOOPS)
    assert await interrupt(peer, "no-such-request") == {
        "type": "interrupt_reply", "request_id": "no-such-request", "interrupted": False}
    # Nothing runs: an interrupt of everything finds nothing either, and says so with a null id.
    assert await interrupt(peer) == {"type": "interrupt_reply", "request_id": None, "interrupted": False}
    first = await start_spin(peer, mod, "first")
    number_id = 7
    await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": "spin",
                     "args": ["seven"], "request_id": number_id, "workbook_id": WORKBOOK})
    await started(peer, number_id, "spinning seven")
    # Ids are told apart as the wire does: "7", 7.0 and true are not 7.
    for other in ("7", 7.0, True, first + "x"):
        assert (await interrupt(peer, other))["interrupted"] is False, other
    assert (await interrupt(peer, number_id))["interrupted"] is True
    await peer.wait_type("function_execution_result", request_id=number_id)
    # The other request was not touched and still runs.
    await asyncio.sleep(0.3)
    assert not [m for m in peer.of(first) if m["type"] == "function_execution_result"]
    assert (await interrupt(peer, first))["interrupted"] is True
    result = await peer.wait_type("function_execution_result", request_id=first)
    assert result["status"] == "error" and result["error"].endswith("KeyboardInterrupt\n")


async def test_an_interrupt_without_a_request_id_stops_every_running_request(peer):
    mod = await peer.module(LOOPS)
    calls = [await start_spin(peer, mod, label) for label in ("x", "y")]
    console = await run_code(peer, CONSOLE_SPIN)
    await started(peer, console, "started")
    reply = await interrupt(peer)
    assert reply == {"type": "interrupt_reply", "request_id": None, "interrupted": True}
    for rid in calls:
        result = await peer.wait_type("function_execution_result", request_id=rid)
        assert result["status"] == "error" and result["error"].endswith("KeyboardInterrupt\n")
    error = await peer.wait_type("execution_error", request_id=console)
    assert error["error"]["type"] == "KeyboardInterrupt"
    # An explicit null means the same as no id.
    assert (await interrupt(peer, None))["interrupted"] is False
    await still_serving(peer)


async def test_an_invalid_request_id_is_refused_and_nothing_is_interrupted(peer):
    mod = await peer.module(LOOPS)
    rid = await start_spin(peer, mod, "kept")
    for bad, name in (({"id": rid}, "dict"), ([rid], "list")):
        reply = await interrupt(peer, bad)
        assert reply == {"type": "error", "request_id": bad,
                         "message": "Invalid field 'request_id' in interrupt_request: expected a string, "
                                    f"a number or null, got {name}"}
    await asyncio.sleep(0.3)
    assert not [m for m in peer.of(rid) if m["type"] == "function_execution_result"]
    assert (await interrupt(peer, rid))["interrupted"] is True
    await peer.wait_type("function_execution_result", request_id=rid)


async def test_code_blocked_in_a_call_is_interrupted_when_the_call_returns(peer):
    # The blocking call is the last thing each runs: nothing of the user's code is left to
    # raise the interrupt in, and it still ends the request.
    rid = await run_code(peer, "import time\nprint('started')\ntime.sleep(0.6)")
    await started(peer, rid, "started")
    assert (await interrupt(peer, rid))["interrupted"] is True
    error = await peer.wait_type("execution_error", request_id=rid)
    assert error["error"]["type"] == "KeyboardInterrupt"
    mod = await peer.module(LOOPS)
    call = await start_call(peer, mod, "nap", [0.6])
    await started(peer, call, "napping")
    assert (await interrupt(peer, call))["interrupted"] is True
    result = await peer.wait_type("function_execution_result", request_id=call)
    assert result["status"] == "error" and result["error"].endswith("KeyboardInterrupt\n")
    await still_serving(peer)


async def test_interrupts_racing_the_end_of_requests_never_outlive_them(peer, monkeypatch):
    """Interrupts of everything fired while short requests come and go: each request answers
    (done or interrupted), the kernel's own code after a request sees no interrupt, and the
    workers run later requests cleanly."""
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    mod = await peer.module(LOOPS)
    ids = []  # (request id, the types that end it)
    for round_ in range(120):
        # Each ends in a call that lets the listener in.
        if round_ % 2:
            ids.append((await run_code(peer, "import time\ntime.sleep(0.001)"),
                        ("execution_result", "execution_error")))
        else:
            ids.append((await start_call(peer, mod, "nap", [0.001]), ("function_execution_result",)))
        await peer.send({"type": "interrupt_request"})
    outcomes = {"done": 0, "interrupted": 0}
    for rid, ends in ids:
        final = (await peer.wait_for(lambda m, rid=rid, ends=ends: m.get("request_id") == rid
                                     and m["type"] in ends))[0]
        if final["type"] == "execution_error":
            assert final["error"]["type"] == "KeyboardInterrupt"
            outcomes["interrupted"] += 1
        elif final.get("status") == "error":
            assert final["error"].endswith("KeyboardInterrupt\n")
            outcomes["interrupted"] += 1
        else:
            outcomes["done"] += 1
    assert outcomes["interrupted"] > 0, outcomes
    await peer.probe()
    # Every pool thread runs later requests untouched (the pool has 10 threads; 30 calls at
    # once reach each of them).
    later = [await start_call(peer, mod, "quick", [n]) for n in range(30)]
    for n, rid in enumerate(later):
        result = await peer.wait_type("function_execution_result", request_id=rid)
        assert (result["status"], result.get("result")) == ("success", n * 2), result
    await still_serving(peer)
    # An interrupt goes to whatever Python code its thread runs next: a finalizer or weakref
    # callback that a dropped object happens to run in the user's thread at that moment may
    # take it and report it as unraisable. That is CPython's delivery, not kernel code; any
    # other such report is.
    def in_finalizer(report):
        return (isinstance(report.object, weakref.finalize) or getattr(report.object, "__name__", "") == "__del__"
                or getattr(report.object, "__module__", "") in ("weakref", "_weakrefset"))
    assert not [u for u in unraisable if isinstance(u.exc_value, KeyboardInterrupt) and not in_finalizer(u)], \
        unraisable


async def test_an_interrupt_during_the_kernels_own_output_work_waits_for_its_end(peer, monkeypatch):
    """The kernel hands printed text to the loop by running asyncio's own Python code on the
    worker. An interrupt that comes meanwhile is raised when that is done, in the print: not
    inside asyncio (its traceback there, the loop perhaps never woken for the text)."""
    import threading
    import time
    import tarnlet_master.python_server.kernel as kmod

    handing_over, interrupted = threading.Event(), threading.Event()
    real = asyncio.run_coroutine_threadsafe

    def slow_handover(coro, loop):
        if not handing_over.is_set():
            handing_over.set()
            deadline = time.monotonic() + 10
            while not interrupted.is_set() and time.monotonic() < deadline:
                pass  # Python code of the kernel's: where a raised interrupt would land
            time.sleep(0.05)
        return real(coro, loop)

    class Asyncio:
        def __getattr__(self, name):
            return getattr(asyncio, name)

    patched = Asyncio()
    patched.run_coroutine_threadsafe = slow_handover
    monkeypatch.setattr(kmod, "asyncio", patched)
    mod = await peer.module(LOOPS)
    rid = await start_call(peer, mod, "spin", ["once"])
    await asyncio.to_thread(handing_over.wait, peer.timeout)
    assert (await interrupt(peer, rid))["interrupted"] is True
    interrupted.set()
    result = await peer.wait_type("function_execution_result", request_id=rid)
    assert result["status"] == "error" and result["error"].endswith("KeyboardInterrupt\n")
    assert "slow_handover" not in result["error"]
    assert line_of(result["error"], f"<virtual:{mod}>", SPIN_LOOP) == 2
    # The text it was handing over went out (the print's later writes never came), and the
    # next call runs cleanly.
    assert ip.stream_text(peer.of(rid), "stdout") == "spinning"
    monkeypatch.undo()
    messages = await peer.call(mod, "quick", [3])
    assert messages[-1]["status"] == "success" and messages[-1]["result"] == 6
