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
import os
import subprocess
import sys
import threading
import uuid

import pytest
import websockets.sync.server
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kernel_peer

pytestmark = pytest.mark.timeout(600)

T = 30
WORKBOOK = "wb-hostile"
KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
MODULE = "k1h_mod"
MODULE_CODE = """\
def f(*args, **kwargs):
    print("f ran")
    return list(args)

def g(*args):
    yield from args[:3]

def on_event(*args):
    return None
"""


class Deep:
    """A nesting of `depth` lists or dicts, built when used: hypothesis prints the drawn
    values of a failing example, and the repr of the real thing would exhaust recursion."""

    def __init__(self, kind, depth):
        self.kind, self.depth = kind, depth

    def __repr__(self):
        return f"Deep({self.kind!r}, {self.depth})"

    def build(self):
        value = [] if self.kind == "list" else {}
        for _ in range(self.depth):
            value = [value] if self.kind == "list" else {"k": value}
        return value

    def text(self):
        if self.kind == "list":
            return "[" * self.depth + "[]" + "]" * self.depth
        return '{"k": ' * self.depth + "{}" + "}" * self.depth


class Digits:
    """An integer literal of `count` digits: past 4300 the interpreter refuses to convert
    it, so json.loads raises ValueError (not JSONDecodeError) for the frame."""

    def __init__(self, count):
        self.count = count

    def __repr__(self):
        return f"Digits({self.count})"

    def text(self):
        return "9" * self.count


HOSTILE_TEXTS = ["\ud800", "a\udfffb", "\udc80\ud800", "\x00", "k1\x00h"]
# What a peer can put in a field beyond a wrong type: each is a value json.loads returns.
SPECIAL = HOSTILE_TEXTS + [math.nan, math.inf, -math.inf, 10 ** 400,
           -(10 ** 400), 2 ** 64, -(2 ** 64) - 1, 2 ** 63, Deep("list", 10000), Deep("dict", 10000),
           Deep("list", 900), Deep("dict", 900)]
WRONG = [None, True, False, 0, -1, 1.5, "", "k1~h", [], {}, ["\ud800"], {"\ud800": 1}, [math.nan, 10 ** 400],
         {"k": [math.inf, "\x00"]}, [Deep("list", 10000)]]
HOSTILE = SPECIAL + WRONG


def build(value):
    if isinstance(value, Deep):
        return value.build()
    if isinstance(value, list):
        return [build(v) for v in value]
    if isinstance(value, dict):
        return {k: build(v) for k, v in value.items()}
    return value


def frame_text(value):
    """The JSON text of a value that may hold deep nestings, which json.dumps cannot write."""
    marks = {}

    def marked(v):
        if isinstance(v, (Deep, Digits)):
            mark = f"k1deep{len(marks)}"
            marks[mark] = v.text()
            return mark
        if isinstance(v, list):
            return [marked(x) for x in v]
        if isinstance(v, dict):
            return {k: marked(x) for k, x in v.items()}
        return v

    text = json.dumps(marked(value))
    for mark, deep in marks.items():
        text = text.replace(json.dumps(mark), deep)
    return text


# Plausible values, so that a hostile one in another field gets past the first checks.
GOOD = {
    "code": "x = 1\nx.", "module_name": MODULE, "function_name": "f", "args": [1, "a"], "path": "/k1-hostile/p",
    "old_paths": ["/k1-hostile/old"], "new_paths": ["/k1-hostile/new"], "paths": ["/k1-hostile/gone"],
    "line": 2, "column": 2, "dirty_files": {MODULE: "y = 2\n"}, "workbook_id": WORKBOOK, "source": "ide",
    "com_config": {}, "callable_id": "k1h-none", "expression": "1", "breakpoints": [], "debug": False,
    "payload": {"requestId": "k1h-nobody"}, "requestId": "k1h-nobody", "mode": "compact",
    "object_type": "Worksheet", "object_name": "Sheet1", "event_type": "Change", "is_com": False,
    "chunk_id": "k1h-chunk", "chunk_index": 0, "total_chunks": 1, "data": '{"type": "k1h_nothing"}',
}
POSITION = ["code", "line", "column", "path", "workbook_id", "module_name", "dirty_files"]
CALL = ["module_name", "function_name", "args", "workbook_id", "source"]
# Every field that the kernel reads, per message type ("shutdown" ends the connection by design).
FIELDS = {
    "execution_request": ["code", "function_name", "source"],
    "add_path": ["path"], "remove_path": ["path"], "reset_namespace": [], "reset_path": [],
    "set_package_paths": ["old_paths", "new_paths"], "set_python_paths": ["old_paths", "new_paths"],
    "unload_and_clear_paths": ["paths"], "update_module": ["module_name", "code"], "delete_module": ["module_name"],
    "completion_request": POSITION, "signature_help_request": POSITION, "hover_request": POSITION,
    "diagnostic_request": ["code", "workbook_id", "module_name"],
    "custom_function_call": CALL, "run_module": CALL + ["debug", "breakpoints"],
    "event_execution": ["module_name", "function_name", "args", "workbook_id", "object_type", "object_name",
                        "event_type", "is_com"],
    "com_event_config_update": ["com_config"], "python_function_call": ["callable_id", "args", "workbook_id"],
    "execute_streaming_function": CALL, "cancel_streaming_function": [],
    "debug_continue": [], "debug_step_over": [], "debug_step_into": [], "debug_step_out": [], "debug_stop": [],
    "debug_evaluate": ["expression"], "debug_update_breakpoints": ["breakpoints"],
    "sys_response": ["payload", "requestId"], "get_object_registry": [], "set_hover_mode": ["mode"],
    "chunk": ["chunk_id", "chunk_index", "total_chunks", "data"],
}
# The types whose answer carries the request's id: any message but stream output counts.
ANSWERED_BY_ID = {"execution_request", "completion_request", "signature_help_request", "hover_request",
                  "diagnostic_request", "custom_function_call", "run_module", "event_execution",
                  "python_function_call", "execute_streaming_function", "debug_evaluate"}
# The types answered inline, before the next message is read, by one of these (or "error").
ANSWERED_INLINE = {
    "add_path": "path_added", "remove_path": "path_removed", "reset_namespace": "namespace_reset",
    "reset_path": "path_reset", "set_package_paths": "package_paths_updated",
    "set_python_paths": "python_paths_updated", "unload_and_clear_paths": "modules_unloaded",
    "update_module": "module_updated", "delete_module": "module_deleted",
    "get_object_registry": "object_registry_response", "set_hover_mode": "hover_mode_updated",
}


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


def strict_json(text):
    """json.loads that refuses the NaN and Infinity literals. A lone surrogate may come as
    a \\u escape, which is what the json module writes for one and what it reads back."""
    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")
    text.encode("utf-8")  # a raw lone surrogate could not even have been sent
    return json.loads(text, parse_constant=refuse)


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


def expects_answer(message):
    """Whether the request's own id must come back: an event without a module or function
    name is dropped with a log line, and a frame too deep to decode has no id to answer."""
    if message["type"] not in ANSWERED_BY_ID or not str(message.get("request_id")).startswith("k1h-"):
        return False
    if message["type"] == "event_execution":
        return bool(build(message.get("module_name", ""))) and bool(build(message.get("function_name", "")))
    return True


def is_answer(message, request_id):
    return message.get("request_id") == request_id and message.get("type") not in kernel_peer.STREAMS


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

KERNEL_MAIN = ("import asyncio, sys; from tarnlet_master.python_server.kernel import main; "
               "asyncio.run(main('wb-hostile-proc', sys.argv[1], {'platform': 'web'}))")


@contextlib.contextmanager
def kernel_process(tmp_path):
    connections = []
    connected, stop = threading.Event(), threading.Event()

    def handler(ws):
        connections.append(ws)
        connected.set()
        stop.wait()

    server = websockets.sync.server.serve(handler, "127.0.0.1", 0, max_size=None)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    log_path = tmp_path / "kernel.log"
    # Started in a directory of its own, where "" and "." on sys.path hold nothing; so the
    # import path has to be absolute.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([sys.executable, "-c", KERNEL_MAIN, str(server.socket.getsockname()[1])],
                                stdout=subprocess.DEVNULL, stderr=log, cwd=tmp_path, env=env)
    try:
        assert connected.wait(60)
        yield connections[0], proc, log_path
    finally:
        stop.set()
        with contextlib.suppress(Exception):
            connections[0].close()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        server.shutdown()


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
    cases += [{"type": kind, "request_id": f"k1h-digits-{kind}", name: Digits(5000)}
              for kind in sorted(FIELDS) for name in FIELDS[kind][:1]]
    cases += [{"type": "chunk", "chunk_id": "k1h-digits", "chunk_index": 0, "total_chunks": 1,
               "data": '{"type": "add_path", "path": ' + "9" * 5000 + "}"}]
    undecodable = [c for c in cases
                   if any(isinstance(v, Digits) or isinstance(v, Deep) and v.depth > 1000 for v in c.values())]
    expected = {c["request_id"] for c in cases if c not in undecodable and expects_answer(c)}
    with kernel_process(tmp_path) as (ws, proc, log_path):
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
