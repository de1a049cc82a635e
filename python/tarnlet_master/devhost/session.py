"""One kernel as the host sees it: its process, its connection and its messages.

Every message that arrives (chunks joined, batches unwrapped) is handed to
the collectors that are open at that moment, so a caller opens a collector
before it sends a request and cannot miss a fast reply.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import logging
import os
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

from .wire import ChunkJoiner, describe, frames_for, unwrap
from .workbook import InMemoryWorkbook

logger = logging.getLogger(__name__)

Predicate = Callable[[dict], bool]
Until = Union[str, Sequence[str], Predicate]

DEFAULT_TIMEOUT = 10.0


class KernelGone(ConnectionError):
    """The kernel's connection closed while a reply was awaited."""


class Reply:
    """The messages received for one request, the last one being the answer."""

    def __init__(self, messages: List[dict]):
        self.messages = messages

    @property
    def final(self) -> dict:
        return self.messages[-1]

    def of_type(self, *types: str) -> List[dict]:
        return [m for m in self.messages if m.get("type") in types]

    def first(self, message_type: str) -> Optional[dict]:
        found = self.of_type(message_type)
        return found[0] if found else None

    def text(self, stream: str = "stdout") -> str:
        """Everything streamed on "stdout" or "stderr" for this request, joined."""
        request_id = self.final.get("request_id")
        return "".join(str(m.get("content", "")) for m in self.of_type(stream)
                       if request_id is None or m.get("request_id") == request_id)

    def __repr__(self) -> str:
        return f"<Reply {[m.get('type') for m in self.messages]}>"


class Collector:
    """Receives every message the session gets while it is open.

    ``messages`` holds all of them as they arrive; ``next`` and ``until``
    take them one by one, in order.
    """

    def __init__(self, session: "KernelSession", on_message: Optional[Callable[[dict], None]] = None):
        self._session = session
        self._queue: asyncio.Queue = asyncio.Queue()
        self._on_message = on_message
        self.messages: List[dict] = []

    def _deliver(self, message: Optional[dict]) -> None:
        # None marks the end of the connection.
        if message is not None:
            self.messages.append(message)
            if self._on_message is not None:
                try:
                    self._on_message(message)
                except Exception:
                    logger.exception("Message callback failed")
        self._queue.put_nowait(message)

    async def next(self, timeout: float = DEFAULT_TIMEOUT) -> dict:
        message = await asyncio.wait_for(self._queue.get(), timeout)
        if message is None:
            self._queue.put_nowait(None)
            raise KernelGone(f"Kernel for {self._session.workbook_id} disconnected")
        return message

    async def until(self, until: Until, timeout: float = DEFAULT_TIMEOUT, request_id: Any = None) -> Reply:
        """Take messages until one matches ``until``; TimeoutError after ``timeout`` seconds in all."""
        predicate = as_predicate(until, request_id)
        taken: List[dict] = []
        deadline = time.monotonic() + timeout
        while True:
            message = await self.next(max(deadline - time.monotonic(), 0.0))
            taken.append(message)
            if predicate(message):
                return Reply(taken)

    def close(self) -> None:
        self._session._collectors.discard(self)

    def __enter__(self) -> "Collector":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def as_predicate(until: Until, request_id: Any = None) -> Predicate:
    """A type name or names (matched with ``request_id`` when one is given), or a predicate."""
    if callable(until):
        return until
    types = {until} if isinstance(until, str) else set(until)

    def matches(message: dict) -> bool:
        if message.get("type") not in types:
            return False
        return request_id is None or message.get("request_id", request_id) == request_id

    return matches


class KernelSession:
    """A kernel process for one workbook and the host's end of its WebSocket."""

    def __init__(self, workbook_id: str, *, workbook: Optional[InMemoryWorkbook] = None,
                 log: Optional[Callable[[str], None]] = None):
        self.workbook_id = workbook_id
        self.name = workbook_id             # the workbook's name, when its id had to be encoded
        self.workbook = workbook if workbook is not None else InMemoryWorkbook()
        self.modules: Dict[str, str] = {}   # the workbook's module store
        self.process: Optional[asyncio.subprocess.Process] = None
        self.connection: Any = None
        self.stderr_lines: List[str] = []
        self.stdout_lines: List[str] = []
        self.received: List[dict] = []      # every message, for inspection
        self.sys_requests_answered = 0
        self.module_syncs_answered = 0
        self.frames_received = 0
        self.chunked_messages_received = 0
        self.started_at: Optional[float] = None
        self.connected_at: Optional[float] = None
        self._log = log
        self._partial_output: Dict[tuple, str] = {}   # (request_id, stream) -> text after the last newline
        self._joiner = ChunkJoiner()
        self._collectors: set = set()
        self._connected = asyncio.get_running_loop().create_future()
        self._closed = asyncio.Event()
        self._send_lock = asyncio.Lock()
        self._ids = itertools.count(1)
        self.readers: List[asyncio.Task] = []   # drain the process's stdout and stderr

    # ------------------------------------------------------------ state

    @property
    def connected(self) -> bool:
        return self.connection is not None and not self._closed.is_set()

    @property
    def start_to_connected(self) -> Optional[float]:
        """Seconds from starting the process to its connection being accepted."""
        if self.started_at is None or self.connected_at is None:
            return None
        return self.connected_at - self.started_at

    def new_request_id(self, prefix: str = "r") -> str:
        return f"{prefix}{next(self._ids)}"

    def stderr_text(self) -> str:
        return "\n".join(self.stderr_lines)

    async def wait_connected(self, timeout: float) -> None:
        await asyncio.wait_for(asyncio.shield(self._connected), timeout)

    async def wait_closed(self, timeout: float) -> None:
        await asyncio.wait_for(self._closed.wait(), timeout)

    # ---------------------------------------------------------- sending

    async def send(self, message: dict) -> None:
        """Send one message, in chunks when its JSON text is over 65536 characters."""
        if not self.connected:
            raise KernelGone(f"Kernel for {self.workbook_id} is not connected")
        frames = frames_for(message)
        self._trace("->", message, len(frames))
        async with self._send_lock:
            for frame in frames:
                await self.connection.send(frame)

    async def send_raw(self, text: str) -> None:
        """Send one text frame as it is (for malformed input)."""
        if not self.connected:
            raise KernelGone(f"Kernel for {self.workbook_id} is not connected")
        if self._log is not None:
            self._log(f"[{self.workbook_id}] -> raw frame of {len(text)} chars: {text[:80]!r}")
        async with self._send_lock:
            await self.connection.send(text)

    def collect(self, on_message: Optional[Callable[[dict], None]] = None) -> Collector:
        collector = Collector(self, on_message)
        if self._closed.is_set():
            collector._deliver(None)
        self._collectors.add(collector)
        return collector

    async def request(self, message: dict, until: Until, timeout: float = DEFAULT_TIMEOUT,
                      on_message: Optional[Callable[[dict], None]] = None) -> Reply:
        """Send ``message`` and collect what arrives until ``until`` matches.

        A type name (or names) in ``until`` is matched together with the
        message's ``request_id`` when it has one.
        """
        with self.collect(on_message) as collector:
            await self.send(message)
            return await collector.until(until, timeout, message.get("request_id"))

    # -------------------------------------------------------- receiving

    async def serve(self, connection: Any) -> None:
        """Read the kernel's frames until the connection closes."""
        self.connection = connection
        self.connected_at = time.monotonic()
        if not self._connected.done():
            self._connected.set_result(None)
        try:
            async for raw in connection:
                await self._on_frame(raw)
        except Exception as error:  # a broken connection ends the session like a closed one
            if not _is_connection_closed(error):
                logger.exception("Reading from kernel %s failed", self.workbook_id)
        finally:
            self._closed.set()
            for collector in list(self._collectors):
                collector._deliver(None)

    async def _on_frame(self, raw: Union[str, bytes]) -> None:
        self.frames_received += 1
        try:
            decoded = json.loads(raw)
        except (json.JSONDecodeError, UnicodeDecodeError):
            logger.warning("Kernel %s sent a frame that is not JSON: %.200r", self.workbook_id, raw)
            return
        if not isinstance(decoded, dict):
            logger.warning("Kernel %s sent a frame that is not an object: %.200r", self.workbook_id, raw)
            return
        if decoded.get("type") == "chunk":
            decoded = self._joiner.add(decoded)
            if decoded is None:
                return
            self.chunked_messages_received += 1
        if decoded.get("type") == "batch" and self._log is not None:
            self._log(f"[{self.workbook_id}] <- batch of {len(decoded.get('messages') or [])} messages")
        for message in unwrap(decoded):
            await self._on_message(message)

    async def _on_message(self, message: dict) -> None:
        self._trace("<-", message)
        self.received.append(message)
        for collector in list(self._collectors):
            collector._deliver(message)
        kind = message.get("type")
        if kind == "sys_request":
            await self._answer_sys_request(message)
        elif kind == "request_module_sync":
            await self._answer_module_sync(message)

    async def _answer_sys_request(self, message: dict) -> None:
        payload = message.get("payload")
        if not isinstance(payload, dict):
            logger.warning("sys_request without payload from %s", self.workbook_id)
            return
        reply = dict(self.workbook.handle(payload))
        reply["requestId"] = payload.get("requestId")
        self.sys_requests_answered += 1
        await self.send({"type": "sys_response", "payload": reply})

    async def _answer_module_sync(self, message: dict) -> None:
        name = message.get("module_name")
        if name in self.modules:
            self.module_syncs_answered += 1
            await self.send({"type": "update_module", "module_name": name, "code": self.modules[name]})
        else:
            logger.warning("Kernel %s asked for module %r, which the workbook does not have",
                           self.workbook_id, name)

    def _trace(self, direction: str, message: dict, frames: int = 1) -> None:
        if self._log is None:
            return
        kind = message.get("type")
        request_id = message.get("request_id")
        if direction == "<-" and kind in ("stdout", "stderr"):
            # The kernel streams every write (often word by word): trace whole lines.
            key = (request_id, kind)
            *lines, rest = (self._partial_output.pop(key, "") + str(message.get("content", ""))).split("\n")
            for line in lines:
                self._log(f"[{self.workbook_id}] <- {kind} line {line!r} request_id={request_id!r}")
            if rest:
                self._partial_output[key] = rest
            return
        for key in [k for k in self._partial_output if k[0] == request_id]:
            self._log(f"[{self.workbook_id}] <- {key[1]} text {self._partial_output.pop(key)!r} "
                      f"request_id={request_id!r} (no newline)")
        suffix = f" [{frames} chunks]" if frames > 1 else ""
        self._log(f"[{self.workbook_id}] {direction} {describe(message)}{suffix}")

    # ----------------------------------------------------------- helpers
    # The steps a Business Layer takes most often, each waiting for its answer.

    async def update_module(self, name: str, code: str, timeout: float = DEFAULT_TIMEOUT) -> Reply:
        self.modules[name] = code
        return await self.request({"type": "update_module", "module_name": name, "code": code},
                                  until=_module_reply(name), timeout=timeout)

    async def load_directory(self, directory: Union[str, os.PathLike],
                             timeout: float = DEFAULT_TIMEOUT) -> List[str]:
        """Send every ``*.py`` file of a directory as a workbook module; returns their names."""
        names = []
        for path in sorted(Path(directory).glob("*.py")):
            await self.update_module(path.stem, path.read_text(encoding="utf-8"), timeout)
            names.append(path.stem)
        return names

    async def execute(self, code: str, *, function_name: Optional[str] = None, source: str = "ide",
                      timeout: float = DEFAULT_TIMEOUT,
                      on_message: Optional[Callable[[dict], None]] = None,
                      request_id: Optional[str] = None) -> Reply:
        """Run console code; ``on_message`` sees the streamed output as it arrives."""
        request_id = request_id or self.new_request_id("exec-")
        message = {"type": "execution_request", "code": code, "request_id": request_id, "source": source}
        if function_name is not None:
            message["function_name"] = function_name
        return await self.request(message, until=("execution_result", "execution_error"),
                                  timeout=timeout, on_message=on_message)

    async def evaluate(self, expression: str, timeout: float = DEFAULT_TIMEOUT) -> Any:
        """The value of an expression in the console namespace (raises on an error reply)."""
        reply = await self.execute(expression, function_name="evaluate", timeout=timeout)
        if reply.final["type"] != "execution_result":
            error = reply.final.get("error") or {}
            raise RuntimeError(f"{error.get('type')}: {error.get('message')}")
        return reply.final.get("result")

    async def call_function(self, module_name: str, function_name: str, args: Iterable[Any] = (), *,
                            source: str = "addin", timeout: float = DEFAULT_TIMEOUT,
                            on_message: Optional[Callable[[dict], None]] = None,
                            request_id: Optional[str] = None) -> Reply:
        request_id = request_id or self.new_request_id("call-")
        message = {"type": "custom_function_call", "module_name": module_name, "function_name": function_name,
                   "args": list(args), "request_id": request_id, "workbook_id": self.workbook_id,
                   "source": source}
        return await self.request(message, until="function_execution_result", timeout=timeout,
                                  on_message=on_message)

    async def call_callable(self, callable_id: str, args: Iterable[Any] = (),
                            timeout: float = DEFAULT_TIMEOUT) -> Reply:
        message = {"type": "python_function_call", "callable_id": callable_id, "args": list(args),
                   "request_id": self.new_request_id("callable-"), "workbook_id": self.workbook_id}
        return await self.request(message, until="python_function_result", timeout=timeout)

    async def stream_function(self, module_name: str, function_name: str, args: Iterable[Any] = (), *,
                              timeout: float = DEFAULT_TIMEOUT,
                              on_message: Optional[Callable[[dict], None]] = None,
                              request_id: Optional[str] = None) -> Reply:
        request_id = request_id or self.new_request_id("stream-")
        message = {"type": "execute_streaming_function", "request_id": request_id, "module_name": module_name,
                   "function_name": function_name, "args": list(args), "workbook_id": self.workbook_id,
                   "source": "addin"}
        return await self.request(message, until=_stream_end(request_id), timeout=timeout,
                                  on_message=on_message)

    async def fire_event(self, module_name: str, function_name: str, args: Iterable[Any] = (), *,
                         object_name: str = "Sheet1", event_type: str = "change", object_type: str = "Worksheet",
                         timeout: float = DEFAULT_TIMEOUT) -> Reply:
        message = {"type": "event_execution", "module_name": module_name, "function_name": function_name,
                   "request_id": self.new_request_id("event-"), "workbook_id": self.workbook_id,
                   "args": list(args), "object_name": object_name, "event_type": event_type,
                   "object_type": object_type}
        return await self.request(message, until="event_execution_result", timeout=timeout)

    async def object_registry(self, timeout: float = DEFAULT_TIMEOUT) -> List[dict]:
        reply = await self.request({"type": "get_object_registry"}, until="object_registry_response",
                                   timeout=timeout)
        return reply.final.get("objects", [])

    async def language_request(self, kind: str, module_name: str, line: int = 1, column: int = 0, *,
                               code: Optional[str] = None, dirty_files: Optional[dict] = None,
                               timeout: float = DEFAULT_TIMEOUT) -> dict:
        """A "completion", "hover", "signature_help" or "diagnostic" request on a module's text."""
        if code is None:
            code = self.modules.get(module_name, "")
        request_id = self.new_request_id(f"{kind}-")
        message = {"type": f"{kind}_request", "request_id": request_id, "code": code,
                   "workbook_id": self.workbook_id, "module_name": module_name}
        if kind != "diagnostic":
            message.update({"line": line, "column": column, "path": f"{module_name}.py",
                            "dirty_files": dirty_files})
        reply = await self.request(message, until=f"{kind}_response", timeout=timeout)
        return reply.final

    async def interrupt(self, request_id: Any = None, timeout: float = DEFAULT_TIMEOUT) -> Optional[bool]:
        """Ask the kernel to raise KeyboardInterrupt in the request (all requests
        when ``request_id`` is None); True or False as it answers, None when no
        answer came within ``timeout`` (a kernel that does not know the message)."""
        message: Dict[str, Any] = {"type": "interrupt_request"}
        if request_id is not None:
            message["request_id"] = request_id
        try:
            reply = await self.request(message, until="interrupt_reply", timeout=timeout)
        except asyncio.TimeoutError:
            return None
        return reply.final.get("interrupted") is True

    async def shutdown(self) -> None:
        """Ask the kernel to disconnect by itself."""
        await self.send({"type": "shutdown"})


def _module_reply(name: str) -> Predicate:
    def matches(message: dict) -> bool:
        if message.get("type") == "module_updated":
            return message.get("module_name") == name
        return message.get("type") == "error"
    return matches


def _stream_end(request_id: str) -> Predicate:
    def matches(message: dict) -> bool:
        return (message.get("type") == "streaming_function_result" and message.get("request_id") == request_id
                and message.get("done") is True)
    return matches


def _is_connection_closed(error: BaseException) -> bool:
    import websockets

    return isinstance(error, websockets.ConnectionClosed)
