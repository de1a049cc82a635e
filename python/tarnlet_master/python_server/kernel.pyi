"""The per-workbook kernel: one process per open workbook, connected to the
Business Layer over a WebSocket, running the workbook's Python code."""

import asyncio
import concurrent.futures
import importlib.abc
import importlib.machinery
import io
import logging
import threading
from collections.abc import Callable, Iterable, Sequence
from types import ModuleType
from typing import Any, ClassVar, Final, TextIO

from tarnlet_master.logging_config import get_logger as get_logger
from tarnlet_master.logging_config import setup_logging_subprocess as setup_logging_subprocess

from . import tarnlet as tarnlet
from .agent import Agent as Agent
from .debugger import TarnletDebugger as TarnletDebugger
from .sensewire import Sensewire as Sensewire
from .win32_event_manager import Win32ComEventRegistrar as Win32ComEventRegistrar
from .win32_event_manager import Win32ComWatcher as Win32ComWatcher
from .win32_event_manager import get_win32_events_dictionary as get_win32_events_dictionary
from .win32_event_manager import get_win32_workbook_tree as get_win32_workbook_tree

logger: logging.Logger
DEBUG_MESSAGE_SEND_TIMEOUT: Final[float]
"""Seconds a debug run waits for its exception report to be sent."""
MAX_MESSAGE_SIZE: Final[int]
"""Longest incoming frame, in characters, that the kernel accepts."""
CHUNK_SIZE: Final[int]
"""Characters of JSON text per outgoing chunk message."""
CHUNK_HEADER_TYPE: Final[str]
"""The ``type`` of a chunk message."""
WEBSOCKET_COMPRESSION: str | None
"""The ``compression`` the kernel's connection offers: None (the default) or "deflate"."""

def json_dumps(obj: Any) -> str:
    """The JSON text of an outgoing message."""

def extract_tracebak_string(e: BaseException) -> str:
    """The full formatted traceback of ``e``, chained exceptions included."""

def _parse_error_location(traceback_str: str, in_memory_modules: Iterable[str]) -> dict[str, Any]:
    """``module``, ``line`` and ``file`` of the innermost workbook frame, or {}."""

async def main(workbook_id: str, port: str, connection_args: dict[str, Any] | None = None) -> None:
    """Process entry: connect to the Business Layer and serve until the socket closes."""

class InMemoryModuleLoader(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Finder and loader of the workbook's modules, compiled as "<virtual:NAME>"."""

    source_cache: dict[str, str]
    def __init__(self) -> None: ...
    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None: ...
    def create_module(self, spec: importlib.machinery.ModuleSpec) -> None: ...
    def exec_module(self, module: ModuleType) -> None: ...
    def update_module(self, module_name: str, code: str) -> None:
        """Store or replace a module's source; the next import runs it afresh."""
    def delete_module(self, module_name: str) -> None:
        """Forget a module: its source, its import and its lines."""

in_memory_loader: Final[InMemoryModuleLoader]
"""The process's one loader, first in ``sys.meta_path``."""

class VirtualEnvironment:
    """The directories one workbook adds to ``sys.path``."""

    workbook_id: str
    original_path: list[str]
    custom_paths: list[str]
    def __init__(self, workbook_id: str) -> None: ...
    def add_path(self, path: str) -> None: ...
    def remove_path(self, path: str) -> None: ...
    def reset_path(self) -> None: ...
    def get_paths(self) -> list[str]: ...

class StreamCapture(io.TextIOBase):
    """Collects what user code writes, passing each write to ``on_write``."""

    _buffer: io.StringIO
    _on_write: Callable[[str], object] | None
    def __init__(self, on_write: Callable[[str], object] | None = None) -> None: ...
    def write(self, text: str) -> int: ...
    def getvalue(self) -> str: ...
    def flush(self) -> None: ...
    def readable(self) -> bool: ...
    def writable(self) -> bool: ...

class KernelStreamHook(io.TextIOBase):
    """Stands in for ``sys.stdout``/``sys.stderr``: echoes, then sends each write."""

    stream_type: str
    send_callback: Callable[[str, str], object]
    _original_stream: TextIO
    def __init__(self, stream_type: str, send_callback: Callable[[str, str], object]) -> None: ...
    def write(self, text: str) -> int: ...
    def flush(self) -> None: ...
    def readable(self) -> bool: ...
    def writable(self) -> bool: ...

class CodeExecutor:
    """Runs console code in a namespace that persists between requests."""

    globals: dict[str, Any]
    locals: dict[str, Any]
    def __init__(self) -> None: ...
    def reset_namespace(self) -> None: ...
    def execute(
        self,
        code: str,
        stdout_callback: Callable[[str], object] | None = None,
        stderr_callback: Callable[[str], object] | None = None,
    ) -> dict[str, Any]:
        """Run ``code``; the dict has ``success``, ``stdout``, ``stderr``, ``error``, ``result``."""

class MessageBatcher:
    """Gathers queued messages and sends them as one "batch" every ``FLUSH_INTERVAL``."""

    FLUSH_INTERVAL: ClassVar[float]
    _kernel: PythonKernel
    _queue: asyncio.Queue[dict[str, Any]]
    _flush_task: asyncio.Task[None] | None
    _running: bool
    def __init__(self, kernel: PythonKernel) -> None: ...
    async def start(self) -> None: ...
    async def stop(self) -> None:
        """Stop the flush loop and send what is still queued."""
    async def enqueue(self, message: dict[str, Any]) -> None: ...
    async def _flush_loop(self) -> None: ...
    async def _flush_now(self) -> None: ...

class PythonKernel:
    """The kernel of one workbook: connection, dispatch and the services user code calls."""

    WORKER_POOL_SIZE: ClassVar[int]
    # Seconds a language request may take from its arrival to its answer.
    LANGUAGE_REQUEST_TIMEOUT: ClassVar[float]
    workbook_id: str
    server_url: str
    websocket: Any | None
    executor: CodeExecutor
    virtual_env: VirtualEnvironment
    running: bool
    _loop: asyncio.AbstractEventLoop | None
    _thread_pool: concurrent.futures.ThreadPoolExecutor
    _sensewire: Sensewire
    agent: Agent
    connection_args: dict[str, Any]
    _win32_watcher: Win32ComWatcher | None
    _com_event_registrar: Win32ComEventRegistrar | None
    _object_keeper: dict[str, Any]
    _object_keeper_lock: threading.Lock
    _response_futures: dict[str, threading.Event]
    _response_data: dict[str, dict[str, Any]]
    _response_lock: threading.Lock
    _canceled_streaming_requests: set[Any]
    _chunk_buffers: dict[Any, dict[str, Any]]
    _socket_lock: asyncio.Lock | None
    _batcher: MessageBatcher | None
    _original_stdout: TextIO
    _original_stderr: TextIO
    def __init__(
        self,
        workbook_id: str,
        host: str = "127.0.0.1",
        port: str = "8000",
        connection_args: dict[str, Any] | None = None,
    ) -> None: ...
    @property
    def has_active_debugger(self) -> bool: ...

    # Lifecycle, on the event-loop thread.
    async def connect(self) -> None: ...
    async def listen(self) -> None: ...
    async def run(self) -> None:
        """Connect, listen until the socket closes, then disconnect."""
    async def disconnect(self) -> None: ...

    # Outgoing and incoming messages.
    async def send_message(self, message: dict[str, Any]) -> None: ...
    async def _send_message_direct(self, message: dict[str, Any]) -> None: ...
    async def _send_chunked_message(self, raw_json: str, message_type: str, request_id: Any) -> None: ...
    async def _handle_chunk_message(self, message: dict[str, Any]) -> dict[str, Any] | None: ...
    async def handle_message(self, message: dict[str, Any]) -> None: ...

    # Request handlers.
    async def _execute_code_async(
        self, code: str, request_id: str | None, function_name: str | None = None, source: str = "ide"
    ) -> None: ...
    async def _handle_run_module(self, message: dict[str, Any]) -> None: ...
    async def _handle_custom_function_call(self, message: dict[str, Any]) -> None: ...
    async def _handle_python_function_call(self, message: dict[str, Any]) -> None: ...
    def _deserialize_args(self, args: list[Any]) -> list[Any]: ...
    async def _execute_streaming_function(
        self, request_id: str, module_name: str, function_name: str, args: list[Any], workbook_id: str, source: str
    ) -> None: ...
    async def _handle_event_execution(self, message: dict[str, Any]) -> None: ...
    async def _handle_debug_run_module(
        self,
        module_name: str,
        function_name: str,
        args: list[Any],
        breakpoints: list[Any],
        request_id: str | None,
        workbook_id: str,
        source: str = "ide",
    ) -> None: ...
    async def _handle_completion_request(self, message: dict[str, Any]) -> None: ...
    async def _handle_signature_help_request(self, message: dict[str, Any]) -> None: ...
    async def _handle_hover_request(self, message: dict[str, Any]) -> None: ...
    async def _handle_diagnostic_request(self, message: dict[str, Any]) -> None: ...

    # Services user code reaches through tarnlet, from any thread.
    def set_enable_events(self, enable: bool) -> None: ...
    def save_object(self, key: str, value: Any) -> None: ...
    def get_object(self, key: str) -> Any: ...
    def clear_object(self, key: str) -> None: ...
    def clear_all_objects(self) -> None: ...
    def get_object_registry(self) -> list[dict[str, str]]:
        """One ``{"key", "type", "repr"}`` entry per saved object."""
    def show_message_box(self, message: str, title: str = "Tarnlet", type: str = "Info") -> None: ...
