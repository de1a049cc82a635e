"""The Business Layer's end for the kernel tests: a real websockets server on 127.0.0.1
that one real kernel connects to, with helpers to send requests and wait for answers.

A test module sets WORKBOOK to name its kernel's workbook (and RAW_CHUNKS = True to see
"chunk" frames as they come instead of reassembled); `peer` is a connected kernel that
is closed and cleaned up after the test. The helpers are imported from here as
`kernel_peer` (the tests run with --import-mode=importlib, so tests/ is not on sys.path).

TARNLET_TEST_TIMEOUT_SCALE (a factor, default 1) stretches the waits here, scaled()
ones, and every test's timeout, for slow runs such as the sanitized build's.
"""

import asyncio
import contextlib
import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import uuid

import pytest
import websockets

TIME_SCALE = float(os.environ.get("TARNLET_TEST_TIMEOUT_SCALE") or 1)


def scaled(seconds):
    """A wait's limit, stretched for a slow run."""
    return seconds * TIME_SCALE


TIMEOUT = scaled(15)
KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
STREAMS = ("stdout", "stderr")


def fresh(prefix="m"):
    return f"{prefix}_{uuid.uuid4().hex[:10]}"


class Peer:
    """Every frame the kernel sends is kept in `frames` and decoded (chunked ones
    reassembled) into `messages`. raw() and recv() read the frames in order; wait_for()
    and of() look at all the messages."""

    def __init__(self, workbook="wb-test", raw_chunks=False, timeout=TIMEOUT):
        self.workbook = workbook
        self.timeout = timeout
        self.raw_chunks = raw_chunks
        self.reading = asyncio.Event()  # cleared: frames back up into the kernel's socket
        self.reading.set()
        self.messages = []
        self.frames = []  # the raw text frames, in arrival order
        self.changed = asyncio.Condition()
        self.connection = asyncio.get_running_loop().create_future()
        self.closed = asyncio.Event()
        # Answers "sys_request" payloads: payload -> reply dict, or None to leave it to the test.
        self.answer_sys_request = None
        self.modules = []
        self._raw_read = 0
        self._chunks = {}  # of the frames received
        self._recv_chunks = {}  # of the frames recv() read

    async def handler(self, ws):
        if not self.connection.done():
            self.connection.set_result(ws)
        try:
            async for frame in ws:
                await self.reading.wait()
                await self._received(ws, frame)
        except websockets.ConnectionClosed:
            pass
        finally:
            self.closed.set()
            async with self.changed:
                self.changed.notify_all()

    async def _received(self, ws, frame):
        async with self.changed:
            self.frames.append(frame)
            self.changed.notify_all()
        message = self._reassembled(json.loads(frame), self._chunks)
        if message is None:
            return
        if message.get("type") == "sys_request" and self.answer_sys_request is not None:
            reply = self.answer_sys_request(message["payload"])
            if reply is not None:
                await ws.send(json.dumps({"type": "sys_response", "payload": reply}))
        async with self.changed:
            self.messages.append(message)
            self.changed.notify_all()

    async def ws(self):
        return await asyncio.wait_for(asyncio.shield(self.connection), self.timeout)

    async def send(self, message):
        """A message (a dict, or a text frame as it stands)."""
        await (await self.ws()).send(message if isinstance(message, str) else json.dumps(message))

    async def raw(self, timeout=None):
        """The next text frame, as it came (frames and messages are read apart)."""
        async def next_frame():
            async with self.changed:
                await self.changed.wait_for(lambda: self._raw_read < len(self.frames) or self.closed.is_set())
                if self._raw_read >= len(self.frames):
                    raise ConnectionError("the kernel closed the connection")
                self._raw_read += 1
                return self.frames[self._raw_read - 1]

        return await asyncio.wait_for(next_frame(), timeout or self.timeout)

    async def recv(self, wanted=None, timeout=None):
        """The next message read from the frames: of type `wanted`, or any but stream output."""
        while True:
            msg = self._reassembled(json.loads(await self.raw(timeout)), self._recv_chunks)
            if msg is None:
                continue
            if wanted is None and msg.get("type") not in STREAMS or msg.get("type") == wanted:
                return msg

    def _reassembled(self, message, buffers):
        """The message, the whole one once its last chunk came, or None for a chunk before that."""
        if self.raw_chunks or not isinstance(message, dict) or message.get("type") != "chunk":
            return message
        parts = buffers.setdefault(message["chunk_id"], {})
        parts[message["chunk_index"]] = message["data"]
        if len(parts) < message["total_chunks"]:
            return None
        del buffers[message["chunk_id"]]
        return json.loads("".join(parts[i] for i in range(message["total_chunks"])))

    async def ask(self, message, wanted=None):
        await self.send(message)
        return await self.recv(wanted)

    def matching(self, pred):
        return [m for m in self.messages if pred(m)]

    async def wait_for(self, pred, count=1, timeout=None):
        """The first `count` received messages for which pred holds (waits until there are that many)."""
        async with self.changed:
            await asyncio.wait_for(self.changed.wait_for(lambda: len(self.matching(pred)) >= count),
                                   timeout or self.timeout)
        return self.matching(pred)[:count]

    async def wait_type(self, type_, timeout=None, **fields):
        def pred(m):
            return m.get("type") == type_ and all(m.get(k) == v for k, v in fields.items())

        return (await self.wait_for(pred, timeout=timeout))[0]

    def of(self, request_id):
        """Every message of one request, in arrival order."""
        return [m for m in self.messages if m.get("request_id") == request_id]

    async def until(self, request_id, *final_types):
        """Every message of `request_id` in arrival order, up to and including one of `final_types`."""
        def done(m):
            return m.get("request_id") == request_id and m.get("type") in final_types

        final = (await self.wait_for(done))[0]
        seen = self.of(request_id)
        return seen[:seen.index(final) + 1]

    async def probe(self, tag=None):
        """A round trip through the listener: everything sent before it has been dispatched."""
        tag = tag or fresh("probe")
        await self.send({"type": "debug_evaluate", "expression": "x", "request_id": tag})
        await self.wait_type("debug_evaluate_result", request_id=tag)

    async def probe_next(self, tag=None):
        """The same, where the probe's answer must be the next reply recv() reads: nothing
        was answered for what went before it."""
        tag = tag or fresh("probe")
        reply = await self.ask({"type": "debug_evaluate", "expression": "x", "request_id": tag})
        assert (reply["type"], reply["request_id"]) == ("debug_evaluate_result", tag)

    async def update_module(self, name, code):
        self.modules.append(name)
        await self.send({"type": "update_module", "module_name": name, "code": textwrap.dedent(code)})
        await self.wait_type("module_updated", module_name=name)

    async def module(self, code, prefix="m"):
        name = fresh(prefix)
        await self.update_module(name, code)
        return name

    async def call(self, module_name, function_name, args=(), request_id=None, **extra):
        """A "custom_function_call" and all its messages up to "function_execution_result"."""
        request_id = request_id or fresh("req")
        await self.send({"type": "custom_function_call", "module_name": module_name,
                         "function_name": function_name, "args": list(args), "request_id": request_id,
                         "workbook_id": self.workbook, **extra})
        await self.wait_type("function_execution_result", request_id=request_id)
        return self.of(request_id)


KERNEL_MAIN = ("import asyncio, json, sys; from tarnlet_master.python_server.kernel import main; "
               "asyncio.run(main(sys.argv[1], sys.argv[2], json.loads(sys.argv[3])))")


@contextlib.contextmanager
def kernel_process(workbook, log_path, connection_args=None, cwd=None):
    """A kernel process started through main and connected to a synchronous websockets
    server: yields (connection, process); the kernel's log goes to `log_path`. Started in
    `cwd`, it gets an absolute import path."""
    import websockets.sync.server

    connections, connected, stop = [], threading.Event(), threading.Event()

    def handler(ws):
        connections.append(ws)
        connected.set()
        stop.wait()

    server = websockets.sync.server.serve(handler, "127.0.0.1", 0, max_size=None)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    args = [workbook, str(server.socket.getsockname()[1]), json.dumps(connection_args or {})]
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([sys.executable, "-c", KERNEL_MAIN, *args], stdout=subprocess.DEVNULL,
                                stderr=log, cwd=cwd, env=env)
    try:
        assert connected.wait(60), "the kernel did not connect"
        yield connections[0], proc
    finally:
        stop.set()
        for ws in connections:
            with contextlib.suppress(Exception):
                ws.close()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        server.shutdown()


def join_bridge_threads():
    """The language bridge of every kernel warms jedi up on a thread of its own; jedi is
    not thread-safe, so let those finish before another test's kernel uses jedi."""
    for thread in threading.enumerate():
        if thread.name.startswith("LSP-"):
            thread.join(TIMEOUT)


async def start_peer(workbook="wb-test", connection_args=None, raw_chunks=False, timeout=TIMEOUT):
    """A peer with a connected kernel; stop_peer() it afterwards."""
    import tarnlet_master.python_server.kernel as kmod

    p = Peer(workbook, raw_chunks, timeout)
    p.server = await websockets.serve(p.handler, "127.0.0.1", 0)
    p.port = p.server.sockets[0].getsockname()[1]
    p.saved_path = list(sys.path)
    p.kernel = kmod.PythonKernel(workbook, port=str(p.port), connection_args=connection_args)
    p.task = asyncio.create_task(p.kernel.run())
    await p.ws()
    return p


async def stop_peer(p):
    import tarnlet_master.python_server.kernel as kmod

    p.reading.set()
    ws = await p.ws()
    ws.close_timeout = 1
    await ws.close()
    await asyncio.wait_for(p.task, TIMEOUT)
    p.server.close()
    await p.server.wait_closed()
    for name in p.modules:
        kmod.in_memory_loader.delete_module(name)
    sys.path[:] = p.saved_path
    await asyncio.to_thread(join_bridge_threads)


@pytest.fixture
async def peer(request):
    p = await start_peer(getattr(request.module, "WORKBOOK", "wb-test"),
                         raw_chunks=getattr(request.module, "RAW_CHUNKS", False),
                         timeout=max(TIMEOUT, scaled(getattr(request.module, "TIMEOUT", 0))))
    yield p
    await stop_peer(p)


@pytest.fixture(scope="module")
def bridge():
    """One language bridge for a test module."""
    from tarnlet_master.python_server import sensewire

    sw = sensewire.Sensewire()
    yield sw
    sw.cleanup()


@pytest.fixture
def logs(caplog, request):
    """The lines logged by the test module's LOGGER (the kernel's when it names none), debug level up."""
    logger = getattr(request.module, "LOGGER", KERNEL_LOGGER)
    caplog.set_level(logging.DEBUG, logger=logger)
    return lambda: [r.getMessage() for r in caplog.records if r.name == logger]


def pytest_collection_modifyitems(config, items):
    """Every test's timeout (its own mark's, else the configured one) times TIME_SCALE."""
    if TIME_SCALE == 1:
        return
    default = config.getoption("timeout", None) or config.getini("timeout")
    for item in items:
        mark = item.get_closest_marker("timeout")
        args, kwargs = (list(mark.args), dict(mark.kwargs)) if mark else ([], {})
        base = args.pop(0) if args else kwargs.pop("timeout", default)
        if base:
            item.add_marker(pytest.mark.timeout(scaled(float(base)), *args, **kwargs), append=False)


def types(messages):
    return [m["type"] for m in messages]


def without_streams(messages):
    return [m for m in messages if m["type"] not in STREAMS]


def stream_text(messages, stream):
    return "".join(m["content"] for m in messages if m["type"] == stream)


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]


sys.modules.setdefault("kernel_peer", sys.modules[__name__])



def _register_console_pty():
    """The console's pseudo-terminal helpers (tests/console_pty.py), importable as
    `console_pty`. Loaded lazily: the module skips where pexpect is missing, and that skip
    belongs to the tests that use it, not to every test."""
    import importlib.util
    import pathlib

    spec = importlib.util.spec_from_file_location("console_pty", pathlib.Path(__file__).with_name("console_pty.py"))
    spec.loader = importlib.util.LazyLoader(spec.loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules["console_pty"] = module
    spec.loader.exec_module(module)


if "console_pty" not in sys.modules:
    _register_console_pty()
