"""The Business Layer's end for the invocation tests: a real websockets server on
127.0.0.1 that one real kernel connects to, with helpers to send workbook modules and
requests and to wait for the kernel's answers.

Test files load it with load() below (pytest runs with --import-mode=importlib, so the
tests directory is not on sys.path).
"""

import asyncio
import json
import sys
import textwrap
import threading
import uuid

import pytest
import websockets

import tarnlet_master.python_server.kernel as kmod

TIMEOUT = 15
WORKBOOK = "wb-invoke"
KERNEL_LOGGER = "tarnlet_master.python_server.kernel"


def fresh(prefix="m"):
    return f"{prefix}_{uuid.uuid4().hex[:10]}"


class Peer:
    def __init__(self):
        self.messages = []
        self.changed = asyncio.Condition()
        self.connection = asyncio.get_running_loop().create_future()
        # Answers "sys_request" payloads: payload -> reply dict, or None to leave it to the test.
        self.answer_sys_request = None
        self.modules = []

    async def handler(self, ws):
        self.connection.set_result(ws)
        try:
            async for frame in ws:
                message = json.loads(frame)
                if message.get("type") == "sys_request" and self.answer_sys_request is not None:
                    reply = self.answer_sys_request(message["payload"])
                    if reply is not None:
                        await ws.send(json.dumps({"type": "sys_response", "payload": reply}))
                async with self.changed:
                    self.messages.append(message)
                    self.changed.notify_all()
        except websockets.ConnectionClosed:
            pass

    async def ws(self):
        return await asyncio.wait_for(asyncio.shield(self.connection), TIMEOUT)

    async def send(self, message):
        await (await self.ws()).send(json.dumps(message))

    def matching(self, pred):
        return [m for m in self.messages if pred(m)]

    async def wait_for(self, pred, count=1, timeout=TIMEOUT):
        """The first `count` received messages for which pred holds (waits until there are that many)."""
        async with self.changed:
            await asyncio.wait_for(self.changed.wait_for(lambda: len(self.matching(pred)) >= count), timeout)
        return self.matching(pred)[:count]

    async def wait_type(self, type_, timeout=TIMEOUT, **fields):
        def pred(m):
            return m.get("type") == type_ and all(m.get(k) == v for k, v in fields.items())

        return (await self.wait_for(pred, timeout=timeout))[0]

    def of(self, request_id):
        """Every message of one request, in arrival order."""
        return [m for m in self.messages if m.get("request_id") == request_id]

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
                         "workbook_id": WORKBOOK, **extra})
        await self.wait_type("function_execution_result", request_id=request_id)
        return self.of(request_id)

    async def probe(self):
        """A round trip through the listener: everything sent before it has been dispatched."""
        tag = fresh("probe")
        await self.send({"type": "debug_evaluate", "expression": "x", "request_id": tag})
        await self.wait_type("debug_evaluate_result", request_id=tag)


def types(messages):
    return [m["type"] for m in messages]


def without_streams(messages):
    return [m for m in messages if m["type"] not in ("stdout", "stderr")]


def stream_text(messages, stream):
    return "".join(m["content"] for m in messages if m["type"] == stream)


async def start(connection_args=None):
    """A peer with a connected kernel; stop() it afterwards."""
    p = Peer()
    p.server = await websockets.serve(p.handler, "127.0.0.1", 0)
    p.port = p.server.sockets[0].getsockname()[1]
    p.saved_path = list(sys.path)
    p.kernel = kmod.PythonKernel(WORKBOOK, port=str(p.port), connection_args=connection_args)
    p.task = asyncio.create_task(p.kernel.run())
    await p.ws()
    return p


async def stop(p):
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


def join_bridge_threads():
    """The language bridge of every kernel warms jedi up on a thread of its own; jedi is
    not thread-safe, so let those finish before another test's kernel uses jedi."""
    for thread in threading.enumerate():
        if thread.name.startswith("LSP-"):
            thread.join(TIMEOUT)


@pytest.fixture
async def peer():
    p = await start()
    yield p
    await stop(p)


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]
