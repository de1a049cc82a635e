"""Desktop Excel (COM) companions of the kernel.

On desktop Windows the kernel starts a :class:`Win32ComWatcher` and a
:class:`Win32ComEventRegistrar` when it connects, handing each the function
``tarnlet._get_win32`` that returns the running Excel application (or None).
On other platforms ``_get_win32`` returns None and both objects stay idle.

* :func:`get_win32_events_dictionary` - the Excel object events that can be
  bound to workbook functions, sent to the IDE as "win32_event_definitions".
* :class:`Win32ComWatcher` - polls Excel on a daemon thread and reports the
  workbook's structure ("win32_workbook_tree") whenever it changes.
* :class:`Win32ComEventRegistrar` - keeps the event bindings sent by the IDE
  ("com_event_config_update") and runs a bound handler for a COM event: it
  hands the kernel an "event_execution" with ``is_com`` set and blocks the
  COM thread until the kernel answers through :meth:`deliver_com_response`
  with ``{"status": "ok", "return_value": v}`` or ``{"status": "nok"}``.

Event binding config (``apply_config``)::

    {"bindings": [{"object_type": "Worksheet", "object_name": "Sheet1",
                   "event_type": "Change", "module_name": "handlers",
                   "function_name": "on_change"}, ...]}

``object_name`` "*" (or missing) matches every object of that type.
"""

from __future__ import annotations

import asyncio
import threading
import uuid
from typing import Any, Callable, Dict, List, Optional

from tarnlet_master.logging_config import get_logger

logger = get_logger(__name__)

# Event name -> argument names, per Excel object type.
_EVENTS: Dict[str, Dict[str, List[str]]] = {
    "Application": {
        "NewWorkbook": ["Wb"],
        "SheetActivate": ["Sh"],
        "SheetChange": ["Sh", "Target"],
        "SheetSelectionChange": ["Sh", "Target"],
        "WorkbookOpen": ["Wb"],
        "WorkbookBeforeClose": ["Wb", "Cancel"],
        "WorkbookBeforeSave": ["Wb", "SaveAsUI", "Cancel"],
    },
    "Workbook": {
        "Activate": [],
        "Deactivate": [],
        "BeforeClose": ["Cancel"],
        "BeforeSave": ["SaveAsUI", "Cancel"],
        "NewSheet": ["Sh"],
        "Open": [],
        "SheetActivate": ["Sh"],
        "SheetCalculate": ["Sh"],
        "SheetChange": ["Sh", "Target"],
        "SheetSelectionChange": ["Sh", "Target"],
    },
    "Worksheet": {
        "Activate": [],
        "Deactivate": [],
        "BeforeDoubleClick": ["Target", "Cancel"],
        "BeforeRightClick": ["Target", "Cancel"],
        "Calculate": [],
        "Change": ["Target"],
        "SelectionChange": ["Target"],
    },
    "Chart": {
        "Activate": [],
        "Deactivate": [],
        "Calculate": [],
        "Select": ["ElementID", "Arg1", "Arg2"],
    },
}


def get_win32_events_dictionary() -> Dict[str, Dict[str, List[str]]]:
    """Excel object type -> event name -> argument names (a fresh copy)."""
    return {obj: {ev: list(args) for ev, args in events.items()} for obj, events in _EVENTS.items()}


def _com_items(collection: Any) -> List[Any]:
    try:
        return list(collection)
    except Exception:
        return []


def get_win32_workbook_tree(application: Any = None) -> Optional[dict]:
    """The active workbook's structure read over COM, or None without Excel.

    ``{"workbook": name, "sheets": [{"name": n, "charts": [names]}, ...]}``
    """
    if application is None:
        return None
    try:
        wb = application.ActiveWorkbook
        if wb is None:
            return None
        sheets = []
        for ws in _com_items(wb.Worksheets):
            charts = [str(c.Name) for c in _com_items(getattr(ws, "ChartObjects", lambda: [])())]
            sheets.append({"name": str(ws.Name), "charts": charts})
        return {"workbook": str(wb.Name), "sheets": sheets}
    except Exception as exc:  # COM calls fail while Excel is busy or closing
        logger.debug("[COM] Could not read workbook tree: %s", exc)
        return None


def _schedule(kernel: Any, coro_factory: Callable[[], Any]) -> Optional["asyncio.Future"]:
    """Run a kernel coroutine on the kernel's loop from a foreign thread."""
    loop = getattr(kernel, "_loop", None)
    if loop is None or loop.is_closed():
        return None
    coro = coro_factory()
    try:
        return asyncio.run_coroutine_threadsafe(coro, loop)
    except RuntimeError:
        coro.close()
        return None


class Win32ComWatcher:
    """Reports the workbook structure to the IDE when it changes."""

    POLL_INTERVAL = 2.0

    def __init__(self, kernel: Any):
        self.kernel = kernel
        self._get_win32: Optional[Callable[[], Any]] = None
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._last_tree: Optional[dict] = None

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self, get_win32: Optional[Callable[[], Any]]) -> None:
        if self.running or get_win32 is None:
            return
        self._get_win32 = get_win32
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, name="Win32ComWatcher", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        thread, self._thread = self._thread, None
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=self.POLL_INTERVAL + 1.0)

    def poll_once(self) -> Optional[dict]:
        """Read the tree once and report it when it changed; returns the tree."""
        try:
            app = self._get_win32() if self._get_win32 else None
        except Exception as exc:
            logger.debug("[COM] get_win32 failed: %s", exc)
            app = None
        tree = get_win32_workbook_tree(app)
        if tree is not None and tree != self._last_tree:
            self._last_tree = tree
            message = {"type": "win32_workbook_tree", "tree": tree,
                       "workbook_id": getattr(self.kernel, "workbook_id", None)}
            _schedule(self.kernel, lambda: self.kernel.send_message(message))
        return tree

    def _run(self) -> None:
        while not self._stop.is_set():
            self.poll_once()
            self._stop.wait(self.POLL_INTERVAL)


class _Pending:
    __slots__ = ("event", "response")

    def __init__(self):
        self.event = threading.Event()
        self.response: Optional[dict] = None


NOK = {"status": "nok"}


class Win32ComEventRegistrar:
    """Event bindings for COM events and the hand-over of their results."""

    DEFAULT_TIMEOUT = 30.0

    def __init__(self, kernel: Any):
        self.kernel = kernel
        self._get_win32: Optional[Callable[[], Any]] = None
        self._lock = threading.Lock()
        self._pending: Dict[str, _Pending] = {}
        self._bindings: List[dict] = []
        self.started = False

    def start(self, get_win32: Optional[Callable[[], Any]]) -> None:
        self._get_win32 = get_win32
        self.started = True

    def stop(self) -> None:
        """Stop and release every COM thread still waiting, with "nok"."""
        self.started = False
        # Entries stay until their waiter collects them, so a waiter that has
        # not started waiting yet still finds its answer.
        with self._lock:
            for entry in self._pending.values():
                if not entry.event.is_set():
                    entry.response = dict(NOK)
                    entry.event.set()

    # -------------------------------------------------------------- config
    def apply_config(self, com_config: Any) -> int:
        """Replace the bindings; returns how many were accepted."""
        raw = com_config.get("bindings", com_config.get("events", [])) if isinstance(com_config, dict) else []
        bindings = []
        for entry in raw if isinstance(raw, list) else []:
            if not isinstance(entry, dict):
                continue
            needed = ("object_type", "event_type", "module_name", "function_name")
            if not all(isinstance(entry.get(k), str) and entry.get(k) for k in needed):
                logger.warning("[COM] Ignoring incomplete event binding: %r", entry)
                continue
            bindings.append({k: entry[k] for k in needed} | {"object_name": entry.get("object_name") or "*"})
        with self._lock:
            self._bindings = bindings
        logger.info("[COM] Applied %d event bindings", len(bindings))
        return len(bindings)

    @property
    def bindings(self) -> List[dict]:
        with self._lock:
            return [dict(b) for b in self._bindings]

    def find_binding(self, object_type: str, object_name: str, event_type: str) -> Optional[dict]:
        with self._lock:
            for b in self._bindings:
                if b["object_type"] == object_type and b["event_type"] == event_type \
                        and b["object_name"] in ("*", object_name):
                    return dict(b)
        return None

    # ----------------------------------------------------------- responses
    def expect_response(self, request_id: str) -> None:
        """Register a request whose response will come through deliver_com_response."""
        with self._lock:
            self._pending[request_id] = _Pending()

    def wait_response(self, request_id: str, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Block until the response of ``request_id`` arrives; "nok" on time-out."""
        with self._lock:
            entry = self._pending.get(request_id)
        if entry is None:
            raise KeyError(f"No pending COM request: {request_id}")
        arrived = entry.event.wait(timeout)
        with self._lock:
            self._pending.pop(request_id, None)
        if not arrived or entry.response is None:
            logger.warning("[COM] No response for COM event %s within %ss", request_id, timeout)
            return dict(NOK)
        return entry.response

    def deliver_com_response(self, request_id: Any, response: Any) -> bool:
        """Resolve the waiting COM request; False when nobody waits for it."""
        if not isinstance(response, dict) or response.get("status") not in ("ok", "nok"):
            raise ValueError(f"Invalid COM response: {response!r}")
        with self._lock:
            entry = self._pending.get(request_id) if isinstance(request_id, str) else None
            if entry is None or entry.event.is_set():
                logger.warning("[COM] Response for unknown COM request: %s", request_id)
                return False
            entry.response = dict(response)
            entry.event.set()
        return True

    # --------------------------------------------------------------- events
    def fire_event(self, object_type: str, object_name: str, event_type: str,
                   args: Optional[List[dict]] = None, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Run the handler bound to a COM event and wait for its outcome.

        Called on the COM thread.  ``args`` are wire items ``{"name", "value"}``.
        Returns the kernel's response, or "nok" when nothing is bound, the
        kernel's loop is gone, or the handler does not finish in time.
        """
        binding = self.find_binding(object_type, object_name, event_type)
        if binding is None:
            return dict(NOK)
        request_id = uuid.uuid4().hex
        message = {
            "type": "event_execution",
            "module_name": binding["module_name"],
            "function_name": binding["function_name"],
            "request_id": request_id,
            "workbook_id": getattr(self.kernel, "workbook_id", None),
            "is_com": True,
            "args": list(args or []),
            "object_name": object_name,
            "event_type": event_type,
            "object_type": object_type,
        }
        self.expect_response(request_id)
        future = _schedule(self.kernel, lambda: self.kernel._handle_event_execution(message))
        if future is None:
            with self._lock:
                self._pending.pop(request_id, None)
            return dict(NOK)
        return self.wait_response(request_id, timeout)
