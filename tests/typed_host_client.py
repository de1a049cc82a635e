"""A host written against the three modules' type stubs, the way the Business Layer uses them.

`test_stubs.py` type-checks this file with ``mypy --strict`` and then runs it: it serves one
workbook over a WebSocket on 127.0.0.1, starts a kernel process for it (this file again, with
the argument "kernel"), sends it messages, asks the language bridge and queries a package
index that it serves itself. On success it prints one JSON line of what it saw.
"""

from __future__ import annotations

import asyncio
import json
import socket
import sys
from typing import Any

from aiohttp import web
from websockets.asyncio.server import ServerConnection, serve

from tarnlet_master.business_layer.packages import feedscout
from tarnlet_master.business_layer.packages.feedscout import Feedscout
from tarnlet_master.python_server import kernel
from tarnlet_master.python_server.kernel import PythonKernel
from tarnlet_master.python_server.sensewire import Sensewire

WORKBOOK_ID = "typed-host"
MODULE_SOURCE = "def double(x):\n    return 2 * x\n"
TIMEOUT = 60.0


def kernel_process(workbook_id: str, port: str) -> None:
    """The kernel's process entry, as the Business Layer runs it."""
    asyncio.run(kernel.main(workbook_id, port, {"platform": "web"}))


class Workbook:
    """The Business Layer's end of one kernel's connection."""

    def __init__(self) -> None:
        self.connected: asyncio.Future[ServerConnection] = asyncio.get_running_loop().create_future()
        self.closed = asyncio.Event()
        self.inbox: asyncio.Queue[dict[str, Any]] = asyncio.Queue()

    async def handler(self, connection: ServerConnection) -> None:
        self.connected.set_result(connection)
        async for frame in connection:
            message = json.loads(frame)
            # A batch carries several messages; a host handles them one by one.
            parts = message["messages"] if message.get("type") == "batch" else [message]
            for part in parts:
                await self.inbox.put(part)
        self.closed.set()

    async def reply(self, wanted: str, request_id: str) -> dict[str, Any]:
        while True:
            message = await asyncio.wait_for(self.inbox.get(), TIMEOUT)
            if message.get("type") == wanted and message.get("request_id") == request_id:
                return message


async def kernel_session() -> dict[str, Any]:
    workbook = Workbook()
    async with serve(workbook.handler, "127.0.0.1", 0) as server:
        port = str(server.sockets[0].getsockname()[1])
        process = await asyncio.create_subprocess_exec(sys.executable, __file__, "kernel", WORKBOOK_ID, port)
        try:
            connection = await asyncio.wait_for(workbook.connected, TIMEOUT)

            async def send(message: dict[str, Any]) -> None:
                await connection.send(json.dumps(message))

            await send({"type": "execution_request", "code": "6 * 7", "request_id": "exec-1"})
            executed = await workbook.reply("execution_result", "exec-1")

            await send({"type": "update_module", "module_name": "typed_mod", "code": MODULE_SOURCE})
            await send(
                {
                    "type": "custom_function_call",
                    "module_name": "typed_mod",
                    "function_name": "double",
                    "args": [21],
                    "request_id": "call-1",
                    "workbook_id": WORKBOOK_ID,
                }
            )
            called = await workbook.reply("function_execution_result", "call-1")

            await send({"type": "completion_request", "code": "import typed_mod\ntyped_mod.dou",
                        "line": 2, "column": 13, "request_id": "comp-1", "workbook_id": WORKBOOK_ID})
            completed = await workbook.reply("completion_response", "comp-1")

            await connection.close()
            exit_code = await asyncio.wait_for(process.wait(), TIMEOUT)
        finally:
            if process.returncode is None:
                process.kill()
                await process.wait()
    return {
        "execution_result": executed["result"],
        "function_status": called["status"],
        "function_result": called["result"],
        "completions": [item["label"] for item in completed["completions"]],
        "kernel_exit_code": exit_code,
    }


def kernel_in_process() -> dict[str, Any]:
    """What the host may touch on a kernel object without a connection."""
    k = PythonKernel(WORKBOOK_ID, port="1", connection_args={"platform": "web"})
    k.save_object("answer", 42)
    registry = k.get_object_registry()
    outcome = k.executor.execute("print('out')\n", stdout_callback=None)
    kernel.in_memory_loader.update_module("typed_inproc", "VALUE = 1\n")
    known = "typed_inproc" in kernel.in_memory_loader.source_cache
    kernel.in_memory_loader.delete_module("typed_inproc")
    k._thread_pool.shutdown(wait=False)
    k._sensewire.cleanup()
    return {
        "registry": registry,
        "stdout": outcome["stdout"],
        "debugger": k.has_active_debugger,
        "module_known": known,
        "chunk_size": kernel.CHUNK_SIZE,
    }


def language_requests() -> dict[str, Any]:
    bridge = Sensewire()
    try:
        modules = {"helpers": "def greet(name: str) -> str:\n    return 'hi ' + name\n"}
        completion = bridge.get_completions("import helpers\nhelpers.gr", 2, 10, modules=modules)
        hover = bridge.get_hover("import helpers\nhelpers.greet", 2, 10, modules=modules)
        signature = bridge.get_signature_help("import helpers\nhelpers.greet(", 2, 14, modules=modules)
        diagnostics = bridge.get_diagnostics("import os\nundefined_name\n", module_name="scratch")
    finally:
        bridge.cleanup()
    contents = hover["contents"]
    return {
        "completions": [item["label"] for item in completion["completions"]],
        "hover": contents["value"] if contents else None,
        "signatures": [s["label"] for s in signature["signatures"]],
        "diagnostics": [d["message"] for d in diagnostics["diagnostics"]],
    }


class Settings:
    """The Business Layer's settings manager, as far as the package client reads it."""

    def __init__(self, values: dict[str, Any]) -> None:
        self.values = values

    def get(self, key: str, default: Any = None) -> Any:
        return self.values.get(key, default)


async def package_queries() -> dict[str, Any]:
    # Each release has a file: releases with none are left out, as pip leaves them out.
    releases: dict[str, list[Any]] = {
        v: [{"filename": f"typedpkg-{v}.tar.gz", "yanked": False}] for v in ("1.0", "1.10", "2.0rc1")
    }
    requires = ["attrs>=20", "rich ; extra == 'cli'"]

    async def package_json(request: web.Request) -> web.Response:
        return web.json_response({"info": {"name": "typedpkg"}, "releases": releases})

    async def version_json(request: web.Request) -> web.Response:
        return web.json_response({"info": {"name": "typedpkg", "requires_dist": requires}})

    app = web.Application()
    app.router.add_get("/pypi/typedpkg/json", package_json)
    app.router.add_get("/pypi/typedpkg/{version}/json", version_json)
    runner = web.AppRunner(app)
    await runner.setup()
    listening = socket.create_server(("127.0.0.1", 0))
    await web.SockSite(runner, listening).start()
    try:
        base = f"http://127.0.0.1:{listening.getsockname()[1]}"
        settings = Settings(
            {
                "package_management.pip.index_urls": [{"url": base + "/simple/", "primary": True}],
                "package_management.pip_api": [
                    {"index_url": base + "/simple", "api_pattern": base + "/pypi/{package_name}/{version}/json"}
                ],
            }
        )
        client = Feedscout(settings)
        try:
            versions = await client.get_versions("typedpkg")
            extras = await client.get_extras("typedpkg", "1.10")
            dependencies = await client.get_dependencies("typedpkg", "1.10")
            repo = await client.find_repo_for_package("typedpkg")
        finally:
            await client.close()
        installed = Feedscout(None).check_specifier_in_dist("aiohttp", ">=1")
    finally:
        await runner.cleanup()
    return {
        "versions": versions,
        "extras": extras,
        "dependencies": [d["name"] for d in dependencies],
        "repo": repo,
        "aiohttp_installed": installed,
        "unearth": feedscout.UNEARTH_AVAILABLE,
    }


async def host() -> dict[str, Any]:
    return {
        "kernel": await kernel_session(),
        "in_process": kernel_in_process(),
        "language": language_requests(),
        "packages": await package_queries(),
    }


if __name__ == "__main__":
    if sys.argv[1:2] == ["kernel"]:
        kernel_process(sys.argv[2], sys.argv[3])
    else:
        print(json.dumps(asyncio.run(host())))
