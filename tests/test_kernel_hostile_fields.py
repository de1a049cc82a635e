"""Hostile values in every field of every message type the kernel takes: lone surrogates,
NUL characters, NaN and the infinities, integers far beyond 64 bits, 10,000-deep lists and
dicts, and the usual wrongly typed values. After each message the kernel still answers
"1+1", every request that expects an answer gets one, and every frame the kernel sent
is JSON that a strict reader takes.

The property test drives one in-process kernel, handing it the decoded messages directly,
so that values no frame decoder lets through (10,000-deep nesting) reach the handlers too.
One deterministic pass sends every hostile value in every field to a kernel process over
a real socket.
"""

import asyncio
import contextlib
import gc
import json
import logging
import math
import sys
import threading
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kernel_peer
from tarnlet_master.devhost.hostile import (ANSWERED_INLINE, FIELDS, GOOD, HOSTILE, HOSTILE_TEXTS, MODULE,
                                            MODULE_CODE, SPECIAL, WIRE_ONLY, Deep, build, expects_answer,
                                            frame_text, is_answer, is_undecodable, strict_json)

pytestmark = pytest.mark.timeout(600)

T = 30
WORKBOOK = "wb-hostile"
KERNEL_LOGGER = "tarnlet_master.python_server.kernel"


def test_nesting_too_deep_to_encode_goes_out_as_null_and_a_cycle_still_raises():
    import tarnlet_master.python_server.kernel as kmod

    sent = json.loads(kmod.json_dumps({"type": "error", "request_id": Deep("list", 10000).build(), "n": math.nan}))
    depth, value = 0, sent["request_id"]
    while isinstance(value, list):
        depth, value = depth + 1, value[0]
    assert value is None and 100 <= depth < 10000 and sent["n"] is None
    shallow = Deep("dict", 50).build()
    assert json.loads(kmod.json_dumps({"k": shallow})) == {"k": shallow}
    cycle = []
    cycle.append(cycle)
    with pytest.raises(ValueError):
        kmod.json_dumps({"k": cycle})


async def test_an_integer_too_long_to_convert_is_refused_as_invalid_json(peer, caplog):
    caplog.set_level(logging.ERROR, logger=KERNEL_LOGGER)
    long_int = "9" * 5000
    reply = await peer.ask('{"type": "add_path", "request_id": "k1h-long", "path": ' + long_int + "}")
    assert reply == {"type": "error", "message": "Invalid JSON received"}
    await peer.send({"type": "chunk", "chunk_id": "k1h-long", "chunk_index": 0, "total_chunks": 1,
                     "data": '{"type": "add_path", "path": ' + long_int + "}"})
    await peer.probe_next()
    assert any(line.startswith("[Kernel] Failed to parse reassembled message: Exceeds the limit")
               for line in kernel_peer.kernel_lines(caplog))


PAUSING = """\
def work():
    total = 1
    return total
"""


async def test_a_paused_debugger_takes_hostile_commands(peer):
    mod = await peer.module(PAUSING, prefix="k1hdbg")
    rid = "k1h-debug-run"
    await peer.send({"type": "run_module", "debug": True, "module_name": mod, "function_name": "work",
                     "args": [], "breakpoints": [{"module": mod, "line": 3}], "request_id": rid})
    await peer.wait_type("debug_paused")
    lines = ["\u00b2", "9" * 5000, "\ud800", "\x00", math.nan, math.inf, 10 ** 400, -(2 ** 64), [], {}, None]
    entries = [{"module": mod, "line": line} for line in lines] + [{"module": mod, "lines": lines}]
    entries += [{"module": text, "line": 2} for text in HOSTILE_TEXTS] + [{"condition": "\x00", "module": mod}]
    for breakpoints in [entries, [Deep("list", 10000).build()], [Deep("dict", 10000).build()], [math.nan]]:
        await peer.kernel.handle_message({"type": "debug_update_breakpoints", "breakpoints": breakpoints})
    for i, expression in enumerate(HOSTILE_TEXTS + ["raise KeyboardInterrupt", "raise SystemExit(3)",
                                                    "[" * 10000 + "]" * 10000, "9" * 5000]):
        await peer.send({"type": "debug_evaluate", "expression": expression, "request_id": f"k1h-ev-{i}"})
        reply = await peer.wait_type("debug_evaluate_result", request_id=f"k1h-ev-{i}")
        assert isinstance(reply["error"], str), reply
    for command in ["debug_step_over", "debug_step_into", "debug_step_out"]:
        await peer.kernel.handle_message({"type": command, "request_id": Deep("dict", 10000).build()})
    await peer.send({"type": "debug_continue"})
    await peer.wait_type("debug_terminated", request_id=rid)
    await peer.probe()
    assert not peer.task.done()


# -- the property test: one in-process kernel on a loop of its own ---------------------------


class HostedPeer:
    """The conftest peer and its kernel on an event loop in a thread of this test, so that
    one kernel takes every example and the answers can be checked after the last one."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="k1h-loop", daemon=True)
        self.thread.start()
        self.failures = []  # exception contexts that reached the loop's handler
        self.loop.set_exception_handler(lambda loop, context: self.failures.append(context))
        self.peer = self.run(kernel_peer.start_peer(WORKBOOK, connection_args={"platform": "web"}, timeout=T))
        self.expected = {}  # request id -> message type, for answers checked at the end

    def run(self, coro, timeout=T):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def handle(self, message):
        async def call():
            await self.peer.kernel.handle_message(message)
        self.run(call())

    def close(self):
        try:
            self.run(kernel_peer.stop_peer(self.peer), 60)
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(T)


@pytest.fixture(scope="module")
def hosted():
    saved_modules = set(sys.modules)
    h = HostedPeer()
    h.run(h.peer.update_module(MODULE, MODULE_CODE))
    yield h
    h.close()
    for name in set(sys.modules) - saved_modules:
        if name.startswith("k1"):
            del sys.modules[name]


def field_values(name):
    return st.one_of(st.sampled_from(HOSTILE), st.lists(st.sampled_from(HOSTILE), max_size=3))


@st.composite
def hostile_messages(draw):
    kind = draw(st.sampled_from(sorted(FIELDS)))
    names = FIELDS[kind]
    message = {"type": kind}
    for name in names:
        choice = draw(st.sampled_from(["good", "good", "absent", "hostile"]))
        if choice == "good":
            message[name] = GOOD[name]
        elif choice == "hostile":
            message[name] = draw(field_values(name))
    # At least one field is hostile: a type without fields gets it in request_id.
    target = draw(st.sampled_from(names + ["request_id"]))
    message[target] = draw(st.sampled_from(HOSTILE))
    if target != "request_id" and draw(st.integers(0, 3)) > 0:
        message["request_id"] = "k1h-" + uuid.uuid4().hex
    return message


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(message=hostile_messages())
def test_the_kernel_answers_after_any_hostile_message(hosted, message):
    peer = hosted.peer
    kind, request_id = message["type"], message.get("request_id")
    seen = len(peer.messages)
    hosted.handle(build(message))  # raises when the listener would have died of it
    tag = "k1h-probe-" + uuid.uuid4().hex
    hosted.run(peer.send({"type": "execution_request", "code": "1+1", "request_id": tag}))
    reply = hosted.run(peer.wait_type("execution_result", request_id=tag))
    assert reply["result"] == "2"
    if kind in ANSWERED_INLINE:
        between = [m.get("type") for m in peer.messages[seen:peer.messages.index(reply)]]
        assert ANSWERED_INLINE[kind] in between or "error" in between, (message, between)
    if expects_answer(message):
        hosted.expected[request_id] = kind
    hosted.run(peer.send({"type": "reset_path"}))  # undoes what the message did to sys.path
    hosted.run(peer.wait_type("path_reset"))


def test_every_hostile_request_was_answered_and_every_frame_is_strict_json(hosted):
    peer = hosted.peer
    assert hosted.expected, "the property run tracked no request"

    async def all_answered():
        async with peer.changed:
            await asyncio.wait_for(peer.changed.wait_for(
                lambda: not [r for r in hosted.expected if not peer.matching(lambda m: is_answer(m, r))]), T)

    try:
        hosted.run(all_answered(), T + 5)
    except (asyncio.TimeoutError, TimeoutError):
        pass
    unanswered = {r: k for r, k in hosted.expected.items() if not peer.matching(lambda m: is_answer(m, r))}
    assert unanswered == {}
    streams = [r for r, k in hosted.expected.items() if k == "execute_streaming_function"]
    assert all(peer.matching(lambda m: m.get("request_id") == r and m.get("done") is True) for r in streams)
    for frame in peer.frames:
        strict_json(frame)
    gc.collect()  # a task that died of its exception reports it when it is collected
    assert hosted.failures == []
    assert not hosted.peer.task.done()


# -- one pass over a real socket into a kernel process ---------------------------------------

class Reader:
    """Every frame of the kernel, read on a thread so that the kernel never waits on us."""

    def __init__(self, ws):
        self.ws, self.frames, self.changed = ws, [], threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        with contextlib.suppress(Exception):
            for frame in self.ws:
                with self.changed:
                    self.frames.append(frame)
                    self.changed.notify_all()

    def wait(self, pred, timeout=T):
        def found():
            for frame in self.frames:
                with contextlib.suppress(ValueError):
                    message = json.loads(frame)
                    if isinstance(message, dict) and pred(message):
                        return message
            return None
        with self.changed:
            assert self.changed.wait_for(found, timeout), "no such message"
            return found()


def test_a_kernel_process_takes_every_hostile_value_in_every_field(tmp_path):
    # One hostile field among plausible ones, so that it is the field that gets refused.
    cases = [{"type": kind, **{n: GOOD[n] for n in FIELDS[kind]}, "request_id": f"k1h-case-{kind}-{name}-{i}",
              name: value}
             for kind in sorted(FIELDS) for name in FIELDS[kind] + ["request_id"] for i, value in enumerate(SPECIAL)]
    cases += [{"type": value} for value in SPECIAL]
    cases += [{"type": kind, "request_id": f"k1h-long-{kind}", name: value}
              for kind in sorted(FIELDS) for name in FIELDS[kind][:1] for value in WIRE_ONLY]
    cases += [{"type": "chunk", "chunk_id": "k1h-long", "chunk_index": 0, "total_chunks": 1,
               "data": frame_text({"type": "add_path", "path": value})} for value in WIRE_ONLY]
    undecodable = [c for c in cases if is_undecodable(c)]
    expected = {c["request_id"] for c in cases if expects_answer(c)}
    log_path = tmp_path / "kernel.log"
    # In a directory of its own, where "" and "." on sys.path hold nothing of this test's.
    with kernel_peer.kernel_process("wb-hostile-proc", log_path, {"platform": "web"}, cwd=tmp_path) as (ws, proc):
        reader = Reader(ws)
        ws.send(json.dumps({"type": "update_module", "module_name": MODULE, "code": MODULE_CODE}))
        reader.wait(lambda m: m.get("type") == "module_updated")
        for i, case in enumerate(cases):
            ws.send(frame_text(case))
            if i % 40 == 39 or i == len(cases) - 1:
                tag = f"k1h-probe-{i}"
                ws.send(json.dumps({"type": "execution_request", "code": "1+1", "request_id": tag}))
                reply = reader.wait(lambda m: m.get("request_id") == tag and m.get("type") == "execution_result")
                assert reply["result"] == "2", case
                ws.send(json.dumps({"type": "reset_path"}))

        def unanswered():
            answered = set()
            for frame in list(reader.frames):
                message = json.loads(frame)
                if message.get("type") not in kernel_peer.STREAMS:
                    answered.add(str(message.get("request_id")))
            return expected - answered
        with reader.changed:
            reader.changed.wait_for(lambda: not unanswered(), 3 * T)
        assert unanswered() == set()
        refused = [m for m in map(json.loads, reader.frames) if m.get("message") == "Invalid JSON received"]
        assert len(refused) == len(undecodable)
        assert proc.poll() is None
        for frame in list(reader.frames):
            strict_json(frame)
    log = log_path.read_text(errors="replace")
    assert "Kernel error: " not in log and "Task exception was never retrieved" not in log
