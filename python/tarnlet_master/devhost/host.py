"""The development host: a WebSocket server at "/ws/kernel/" + workbook id
that starts kernel processes and plays the Business Layer's part for them.

    async with DevHost() as host:
        kernel = await host.start_kernel("wb1")
        reply = await kernel.execute("1+1")
        print(reply.final["result"])            # '2'

Stopping the host closes every connection, which makes each kernel's main
return; a kernel that does not exit in time is terminated, then killed.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import sys
import time
import urllib.parse
from http import HTTPStatus
from typing import Any, Callable, Dict, List, Optional

import websockets
from websockets.asyncio.server import serve

from .session import KernelGone, KernelSession
from .workbook import InMemoryWorkbook

logger = logging.getLogger(__name__)

KERNEL_PATH = "/ws/kernel/"
CONNECT_TIMEOUT = 30.0
EXIT_TIMEOUT = 5.0
TERMINATE_TIMEOUT = 3.0

# The kernel's entry, run as its own process: main(workbook_id, port, connection_args).
KERNEL_LAUNCHER = (
    "import asyncio, json, sys\n"
    "from tarnlet_master.python_server.kernel import main\n"
    "asyncio.run(main(sys.argv[1], sys.argv[2], json.loads(sys.argv[3])))\n"
)

# No desktop Excel to reach over COM: the kernel starts neither the Excel host
# nor the COM companions.
DEFAULT_CONNECTION_ARGS = {"platform": "web"}


def workbook_id_for(name: str) -> str:
    """The kernel's workbook id for a workbook name.

    The kernel puts its id into the path of the URL it connects to, as it
    is; a name with characters that cannot stand in a URL path ("my book")
    is therefore percent-encoded.  Names made of letters, digits and "-._~"
    are their own id.
    """
    return urllib.parse.quote(name, safe="")


def _own_process_group() -> dict:
    """Keep Ctrl-C at the host's terminal from reaching the kernel: the host ends it."""
    if sys.platform == "win32":
        import subprocess

        return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


class DevHost:
    """Serves kernels on 127.0.0.1; one ``KernelSession`` per workbook."""

    def __init__(self, *, host: str = "127.0.0.1", port: int = 0, log: Optional[Callable[[str], None]] = None,
                 kernel_log: Optional[Callable[[str], None]] = None, kernel_log_level: Optional[str] = None,
                 kernel_output: Optional[Callable[[KernelSession, str, str], None]] = None,
                 python: str = sys.executable, env: Optional[Dict[str, str]] = None,
                 exit_timeout: float = EXIT_TIMEOUT, launcher: Optional[str] = None):
        """``log`` receives one line per message in either direction; ``kernel_log``
        each line the kernel writes to its stderr (its log) or stdout, prefixed
        with the workbook and stream; ``kernel_output`` the same lines as
        (session, "stderr" | "stdout", line).  A kernel gets ``exit_timeout``
        seconds to end after its connection closed before it is terminated.
        ``launcher`` is the source each kernel process runs with ``python -c``
        (``KERNEL_LAUNCHER`` as it is when the kernel starts, by default); it gets the
        workbook id, the port and the connection arguments (JSON) as arguments."""
        self.host = host
        self.port = port
        self.log = log
        self.kernel_log = kernel_log
        self.kernel_log_level = kernel_log_level
        self.kernel_output = kernel_output
        self.python = python
        self.env = env
        self.exit_timeout = exit_timeout
        self.launcher = launcher
        self.kernels: Dict[str, KernelSession] = {}
        self._server: Any = None
        self._tasks: List[asyncio.Task] = []

    async def __aenter__(self) -> "DevHost":
        await self.start()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.stop()

    async def start(self) -> None:
        # Large messages arrive in chunks; a long pause in a busy kernel (a paused
        # debugger, a long analysis) must not cost it the connection.
        self._server = await serve(self._serve_connection, self.host, self.port,
                                   process_request=self._check_path, max_size=None, ping_interval=None)
        self.port = self._server.sockets[0].getsockname()[1]

    @property
    def url(self) -> str:
        return f"ws://{self.host}:{self.port}{KERNEL_PATH}"

    async def start_kernel(self, workbook_id: str, *, connection_args: Optional[dict] = None,
                           workbook: Optional[InMemoryWorkbook] = None,
                           timeout: float = CONNECT_TIMEOUT) -> KernelSession:
        """Start a kernel process for ``workbook_id`` and wait until it has connected.

        ``workbook_id`` may be any name: one that cannot stand in a URL path
        reaches the kernel percent-encoded (``workbook_id_for``), and the
        session's ``workbook_id`` is then that encoded id.
        """
        name, workbook_id = workbook_id, workbook_id_for(workbook_id)
        if self._server is None:
            raise RuntimeError("The host is not started")
        if workbook_id in self.kernels:
            raise ValueError(f"A kernel for workbook {workbook_id!r} is already running")
        session = KernelSession(workbook_id, workbook=workbook, log=self.log)
        session.name = name
        self.kernels[workbook_id] = session
        args = DEFAULT_CONNECTION_ARGS if connection_args is None else connection_args
        env = dict(os.environ if self.env is None else self.env)
        if self.kernel_log_level:
            env["TARNLET_LOG_LEVEL"] = self.kernel_log_level
        session.started_at = time.monotonic()
        try:
            session.process = await asyncio.create_subprocess_exec(
                self.python, "-c", self.launcher or KERNEL_LAUNCHER, workbook_id, str(self.port), json.dumps(args),
                stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE,
                env=env, **_own_process_group())
        except BaseException:
            del self.kernels[workbook_id]
            raise
        session.readers = [asyncio.create_task(self._drain(session, session.process.stderr, "stderr")),
                           asyncio.create_task(self._drain(session, session.process.stdout, "stdout"))]
        self._tasks.extend(session.readers)
        exited = asyncio.create_task(session.process.wait())
        connected = asyncio.create_task(session.wait_connected(timeout))
        try:
            await asyncio.wait({exited, connected}, return_when=asyncio.FIRST_COMPLETED)
        finally:
            exited.cancel()
        if not connected.done():
            connected.cancel()
            await asyncio.sleep(0.1)  # let the reader catch the last lines
            await self.stop_kernel(workbook_id)
            raise RuntimeError(f"Kernel for {workbook_id!r} exited with code {session.process.returncode} "
                               f"before connecting:\n{session.stderr_text()[-2000:]}")
        try:
            connected.result()
        except asyncio.TimeoutError:
            await self.stop_kernel(workbook_id)
            raise TimeoutError(f"Kernel for {workbook_id!r} did not connect within {timeout}s") from None
        return session

    async def stop_kernel(self, workbook_id: str) -> Optional[int]:
        """Close the kernel's connection and make sure its process has ended; returns its exit code."""
        session = self.kernels.pop(workbook_id_for(workbook_id), None) or self.kernels.pop(workbook_id, None)
        if session is None:
            return None
        if session.connection is not None:
            try:
                await asyncio.wait_for(session.connection.close(), self.exit_timeout)
            except (asyncio.TimeoutError, websockets.ConnectionClosed, OSError):
                pass
        code = await self._end_process(session)
        # The last lines of its log (the disconnect) are still in the pipe.
        if session.readers:
            await asyncio.wait(session.readers, timeout=TERMINATE_TIMEOUT)
        return code

    async def stop(self) -> None:
        for workbook_id in list(self.kernels):
            await self.stop_kernel(workbook_id)
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None
        tasks, self._tasks = self._tasks, []
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    # ----------------------------------------------------------- internals

    async def _end_process(self, session: KernelSession) -> Optional[int]:
        process = session.process
        if process is None:
            return None
        for action, wait in ((None, self.exit_timeout), (process.terminate, TERMINATE_TIMEOUT), (process.kill, None)):
            if process.returncode is not None:
                break
            if action is not None:
                try:
                    action()
                except ProcessLookupError:
                    break
            try:
                await asyncio.wait_for(process.wait(), wait)
            except asyncio.TimeoutError:
                logger.warning("Kernel %s did not exit in %ss", session.workbook_id, wait)
        return process.returncode

    async def _drain(self, session: KernelSession, stream: asyncio.StreamReader, name: str) -> None:
        lines = session.stderr_lines if name == "stderr" else session.stdout_lines
        while True:
            raw = await stream.readline()
            if not raw:
                return
            line = raw.decode("utf-8", "replace").rstrip("\n")
            lines.append(line)
            if self.kernel_log is not None:
                self.kernel_log(f"[{session.workbook_id} {name}] {line}")
            if self.kernel_output is not None:
                try:
                    self.kernel_output(session, name, line)
                except Exception:  # a display problem must not stop the draining
                    logger.exception("Kernel output callback failed")

    def _check_path(self, connection: Any, request: Any) -> Any:
        path = request.path
        if not path.startswith(KERNEL_PATH):
            return connection.respond(HTTPStatus.NOT_FOUND, f"No endpoint at {path}\n")
        workbook_id = path[len(KERNEL_PATH):]
        session = self.kernels.get(workbook_id)
        if session is None:
            return connection.respond(HTTPStatus.NOT_FOUND, f"No kernel was started for {workbook_id!r}\n")
        if session.connection is not None:
            return connection.respond(HTTPStatus.CONFLICT, f"Workbook {workbook_id!r} already has a kernel\n")
        return None

    async def _serve_connection(self, connection: Any) -> None:
        workbook_id = connection.request.path[len(KERNEL_PATH):]
        session = self.kernels.get(workbook_id)
        if session is None or session.connection is not None:
            await connection.close(1008, "unexpected kernel")
            return
        await session.serve(connection)


__all__ = ["DevHost", "KernelGone", "KernelSession", "InMemoryWorkbook"]
