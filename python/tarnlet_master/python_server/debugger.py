"""Step debugger for workbook functions, built on :mod:`bdb`.

One :class:`TarnletDebugger` serves one debug run.  The debugged function runs
on a kernel worker thread inside :meth:`TarnletDebugger.runcall`; the kernel's
listener thread drives it with :meth:`continue_execution`, :meth:`step_over`,
:meth:`step_into`, :meth:`step_out`, :meth:`stop_debugging` and
:meth:`evaluate_expression` while the worker waits, and :meth:`wake` wakes a paused
worker so that it raises an interrupt delivered into its thread at once.

Only frames of the workbook's in-memory modules are traced (code compiled
under the file name "<virtual:NAME>"), so the standard library and
third-party code run at full speed and are stepped over as a whole.

Breakpoints
-----------

:meth:`set_breakpoints` takes a list of dicts, as the IDE sends them::

    {"module": "report", "line": 12}
    {"module": "report", "line": 12, "condition": "n > 3"}   # stop only if true
    {"module": "report", "lines": [3, 9]}
    {"module": "report", "line": 5, "enabled": False}        # ignored

``module`` may also be given as ``module_name``, ``moduleName``, ``file``,
``filename``, ``path``, ``source`` or ``uri``; a value like "report.py",
"/some/dir/report.py" or "<virtual:report>" names the module "report".
``line`` may also be ``lineNumber``, ``line_number`` or ``lineno`` (1-based).
Entries that do not make sense are skipped.  Each call replaces all
breakpoints, also while the function runs.

Start mode
----------

``step_mode`` None (or "continue") runs to the first breakpoint;
"step_into" (also "step", "into", "entry") pauses at the first traced line.

Messages to the IDE
-------------------

Sent with ``asyncio.run_coroutine_threadsafe(send_message(msg), loop)``,
without waiting, and only while ``loop`` is set and open:

``{"type": "debug_paused", "workbook_id", "module", "file", "line", "function",
"reason", "locals", "call_stack"}``
    the worker stopped; ``reason`` is "breakpoint", "step" or "entry";
    ``locals`` is a list of ``{"name", "type", "value"}`` (``value`` a
    shortened repr); ``call_stack`` lists ``{"module", "line", "function"}``
    of the traced frames, innermost first.
``{"type": "debug_resumed", "workbook_id", "mode"}``
    the worker goes on; ``mode`` is "continue", "step_over", "step_into" or
    "step_out".

:meth:`evaluate_expression` returns ``{"result": repr or None, "value_type": type
name or None, "error": None or text}``; the kernel copies these keys into its reply
message, so none of them may be called "type".
"""

from __future__ import annotations

import asyncio
import bdb
import os
import sys
import threading
from typing import Any, Callable, Dict, Iterable, List, Optional

from tarnlet_master.logging_config import get_logger

logger = get_logger(__name__)

VIRTUAL_PREFIX = "<virtual:"
MAX_REPR_LENGTH = 500
MAX_LOCALS = 200
# How often a paused worker checks whether the kernel's loop has gone away
# (the session could never be resumed then, and the worker would pin the
# process).
PAUSE_POLL_INTERVAL = 0.5

_MODULE_KEYS = ("module", "module_name", "moduleName", "file", "filename", "path", "source", "uri")
_LINE_KEYS = ("line", "lineNumber", "line_number", "lineno")
_STEP_START_MODES = {"step_into", "step", "into", "entry"}


def virtual_filename(module_name: str) -> str:
    return f"{VIRTUAL_PREFIX}{module_name}>"


def module_of_filename(filename: str) -> Optional[str]:
    """"<virtual:NAME>" -> NAME, anything else -> None."""
    if filename.startswith(VIRTUAL_PREFIX) and filename.endswith(">"):
        return filename[len(VIRTUAL_PREFIX):-1]
    return None


def _module_from_ref(ref: Any) -> Optional[str]:
    if not isinstance(ref, str) or not ref.strip():
        return None
    ref = ref.strip()
    virtual = module_of_filename(ref)
    if virtual:
        return virtual
    if ref.startswith("file://"):
        ref = ref[len("file://"):]
    if "/" in ref or "\\" in ref or ref.endswith(".py"):
        base = ref.replace("\\", "/").rsplit("/", 1)[-1]
        name = base[:-3] if base.endswith(".py") else base
        return name or None
    return ref


def _line_from_value(value: Any) -> Optional[int]:
    if isinstance(value, bool):
        return None
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, str):
        # isdigit() also holds for "²", which int() refuses, and int() refuses more than
        # the interpreter's digit limit: neither may fail a breakpoint update.
        text = value.strip()
        if not (text.isascii() and text.isdigit()):
            return None
        try:
            value = int(text)
        except ValueError:
            return None
    if isinstance(value, int) and value >= 1:
        return value
    return None


def _safe_repr(value: Any) -> str:
    try:
        text = repr(value)
    except Exception as exc:
        text = f"<repr failed: {type(exc).__name__}: {exc}>"
    if len(text) > MAX_REPR_LENGTH:
        text = text[:MAX_REPR_LENGTH - 3] + "..."
    return text


class TarnletDebugger(bdb.Bdb):
    def __init__(self, send_message: Callable[[dict], Any], workbook_id: str):
        super().__init__()
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.step_mode: Optional[str] = None

        self._in_memory_modules: frozenset = frozenset()
        self._traced_cache: Dict[str, bool] = {}
        # filename -> {line: condition text or None}; replaced whole, never
        # mutated, so the worker can read it without a lock.
        self._breakpoints: Dict[str, Dict[int, Optional[str]]] = {}

        self._cond = threading.Condition()  # RLock inside: evaluate may re-enter
        self._command: Optional[str] = None
        self._paused_frame = None
        self._paused_locals: Optional[dict] = None
        self._stop_requested = False
        self._run_frame = None
        self._first_stop = True

    # ------------------------------------------------------------ set-up
    def set_in_memory_modules(self, names: Iterable[str]) -> None:
        """The modules whose code is traced; empty means every "<virtual:...>" file."""
        self._in_memory_modules = frozenset(n for n in (names or []) if isinstance(n, str))
        self._traced_cache = {}

    def set_breakpoints(self, breakpoints: Any) -> int:
        """Replace all breakpoints; returns how many lines were accepted."""
        table: Dict[str, Dict[int, Optional[str]]] = {}
        count = 0
        for entry in breakpoints if isinstance(breakpoints, (list, tuple)) else []:
            if not isinstance(entry, dict) or entry.get("enabled", True) is False:
                continue
            module = next((m for m in (_module_from_ref(entry.get(k)) for k in _MODULE_KEYS) if m), None)
            if module is None:
                logger.debug("[Debugger] Breakpoint without module ignored: %r", entry)
                continue
            raw_lines = entry.get("lines")
            if not isinstance(raw_lines, (list, tuple)):
                raw_lines = [next((entry[k] for k in _LINE_KEYS if k in entry), None)]
            condition = entry.get("condition")
            condition = condition.strip() if isinstance(condition, str) and condition.strip() else None
            lines = table.setdefault(virtual_filename(module), {})
            for raw in raw_lines:
                line = _line_from_value(raw)
                if line is None:
                    logger.debug("[Debugger] Breakpoint with invalid line ignored: %r", entry)
                    continue
                if line not in lines:
                    count += 1
                lines[line] = condition
        self._breakpoints = {f: lines for f, lines in table.items() if lines}
        logger.debug("[Debugger] %d breakpoints set", count)
        return count

    def get_breakpoints(self) -> Dict[str, List[int]]:
        """Module name -> sorted breakpoint lines."""
        return {module_of_filename(f): sorted(lines) for f, lines in self._breakpoints.items()}

    # ------------------------------------------------------------ state
    @property
    def is_paused(self) -> bool:
        return self._paused_frame is not None

    @property
    def paused_location(self) -> Optional[dict]:
        """{"module", "line", "function"} of the paused frame, or None."""
        frame = self._paused_frame
        if frame is None:
            return None
        return self._frame_info(frame)

    @property
    def stop_requested(self) -> bool:
        return self._stop_requested

    # ------------------------------------------------------------ running
    def runcall(self, func: Callable, *args: Any, **kwds: Any) -> Any:
        """Run ``func(*args, **kwds)`` under the debugger on this thread.

        Returns its value, or None when the session was stopped; exceptions
        of ``func`` propagate.
        """
        if self._stop_requested:
            return None
        previous_trace = sys.gettrace()
        self.reset()
        self._run_frame = sys._getframe()
        mode = self.step_mode.lower() if isinstance(self.step_mode, str) else self.step_mode
        if mode in _STEP_START_MODES or mode is True:
            self._set_stopinfo(None, None)
        else:
            self._continue()
        sys.settrace(self.trace_dispatch)
        try:
            result = func(*args, **kwds)
        except bdb.BdbQuit:
            result = None
        finally:
            self.quitting = True
            sys.settrace(previous_trace)
            self._run_frame = None
        # User code may have swallowed BdbQuit with a broad except.
        return None if self._stop_requested else result

    def _continue(self) -> None:
        # Stop frame = runcall's own frame, which is never traced: no frame
        # stops until a breakpoint is hit.
        self._set_stopinfo(self._run_frame, None, -1)

    def _is_traced(self, filename: str) -> bool:
        traced = self._traced_cache.get(filename)
        if traced is None:
            module = module_of_filename(filename)
            traced = module is not None and (not self._in_memory_modules or module in self._in_memory_modules)
            self._traced_cache[filename] = traced
        return traced

    def trace_dispatch(self, frame, event, arg):
        if self.quitting or not self._is_traced(frame.f_code.co_filename):
            return None
        if self._stop_requested:
            self.set_quit()
            raise bdb.BdbQuit
        if event == "line":
            self.dispatch_line(frame)
        elif event == "call":
            self.dispatch_call(frame, arg)
        elif event == "return":
            self.dispatch_return(frame, arg)
        elif event == "exception":
            self.dispatch_exception(frame, arg)
        # Traced frames keep their local trace even without breakpoints, so
        # breakpoints set while they run and stop requests still take effect.
        return self.trace_dispatch

    # bdb keeps its own breakpoint table keyed by canonical file names and
    # checks lines against linecache; ours is simpler and thread-safe.
    def break_here(self, frame) -> bool:
        lines = self._breakpoints.get(frame.f_code.co_filename)
        if not lines or frame.f_lineno not in lines:
            return False
        condition = lines[frame.f_lineno]
        if condition is None:
            return True
        try:
            return bool(eval(condition, frame.f_globals, frame.f_locals))
        except Exception:
            return True  # a broken condition stops, so the user sees it

    def break_anywhere(self, frame) -> bool:
        return frame.f_code.co_filename in self._breakpoints

    def user_call(self, frame, argument_list) -> None:
        pass  # the first line event of the frame pauses when stepping

    def user_return(self, frame, return_value) -> None:
        pass

    def user_exception(self, frame, exc_info) -> None:
        pass  # the kernel reports uncaught exceptions itself

    def user_line(self, frame) -> None:
        if self._stop_requested:
            self.set_quit()
            return
        lines = self._breakpoints.get(frame.f_code.co_filename)
        if lines and frame.f_lineno in lines:
            reason = "breakpoint"
        elif self.botframe is not None and frame.f_back is self.botframe and self._first_stop:
            reason = "entry"
        else:
            reason = "step"
        self._first_stop = False
        self._pause(frame, reason)

    def reset(self) -> None:
        super().reset()
        self._first_stop = True

    # ------------------------------------------------------------ pausing
    def _pause(self, frame, reason: str) -> None:
        # f_locals is the dict CPython writes back into the frame when this
        # trace call returns, so assignments made by evaluate_expression stick.
        f_locals = frame.f_locals
        with self._cond:
            self._paused_frame = frame
            self._paused_locals = f_locals
            self._command = None
        info = self._frame_info(frame)
        logger.info("[Debugger] Paused at %s:%s (%s)", info["module"], info["line"], reason)
        self._send({
            "type": "debug_paused",
            "workbook_id": self.workbook_id,
            "module": info["module"],
            "file": frame.f_code.co_filename,
            "line": info["line"],
            "function": info["function"],
            "reason": reason,
            "locals": self._locals_view(f_locals),
            "call_stack": self._call_stack(frame),
        })
        with self._cond:
            while self._command is None and not self._stop_requested:
                self._cond.wait(PAUSE_POLL_INTERVAL)
                loop = self.loop
                if loop is not None and loop.is_closed():
                    logger.warning("[Debugger] Event loop closed while paused, stopping session")
                    self._stop_requested = True
            command = "stop" if self._stop_requested else self._command
            self._command = None
            self._paused_frame = None
            self._paused_locals = None

        if command == "stop":
            self.set_quit()  # dispatch_line raises BdbQuit once we return
            return
        if command == "step_over":
            self.set_next(frame)
        elif command == "step_into":
            self.set_step()
        elif command == "step_out":
            self.set_return(frame)
        else:
            self._continue()
        self._send({"type": "debug_resumed", "workbook_id": self.workbook_id, "mode": command})

    def _resume(self, mode: str) -> bool:
        with self._cond:
            if self._paused_frame is None or self._command is not None:
                return False
            self._command = mode
            self._cond.notify_all()
            return True

    def continue_execution(self) -> bool:
        """Run on to the next breakpoint; False when nothing was paused."""
        return self._resume("continue")

    def step_over(self) -> bool:
        return self._resume("step_over")

    def step_into(self) -> bool:
        return self._resume("step_into")

    def step_out(self) -> bool:
        return self._resume("step_out")

    def stop_debugging(self) -> None:
        """End the session: runcall returns None at the next traced line or at once if paused."""
        with self._cond:
            self._stop_requested = True
            self._cond.notify_all()
        logger.info("[Debugger] Debug session stop requested")

    def wake(self) -> None:
        """Wake a paused worker at once, so that it raises what was delivered into its thread
        (an interrupt) now rather than at its next poll; it pauses on otherwise."""
        with self._cond:
            self._cond.notify_all()

    # --------------------------------------------------------- inspection
    def evaluate_expression(self, expression: Any) -> dict:
        """Evaluate (or execute) ``expression`` in the paused frame; never raises."""
        try:
            if not isinstance(expression, str) or not expression.strip():
                return {"result": None, "value_type": None, "error": "Empty expression"}
            with self._cond:  # keeps the worker paused while we evaluate
                frame, f_locals = self._paused_frame, self._paused_locals
                if frame is None:
                    return {"result": None, "value_type": None, "error": "Debugger is not paused"}
                try:
                    code = compile(expression, "<debug-evaluate>", "eval")
                    is_expression = True
                except SyntaxError:
                    code = compile(expression, "<debug-evaluate>", "exec")
                    is_expression = False
                value = eval(code, frame.f_globals, f_locals)
            if not is_expression:
                value = None
            return {"result": _safe_repr(value), "value_type": type(value).__name__, "error": None}
        except BaseException as exc:
            # The expression is user code: whatever it raises (KeyboardInterrupt, GeneratorExit
            # included) is its result, never the end of the loop thread that evaluates it.
            return {"result": None, "value_type": None, "error": f"{type(exc).__name__}: {exc}"}

    def _frame_info(self, frame) -> dict:
        filename = frame.f_code.co_filename
        return {
            "module": module_of_filename(filename) or os.path.splitext(os.path.basename(filename))[0],
            "line": frame.f_lineno,
            "function": frame.f_code.co_name,
        }

    def _call_stack(self, frame) -> List[dict]:
        stack = []
        while frame is not None and len(stack) < 100:
            if self._is_traced(frame.f_code.co_filename):
                stack.append(self._frame_info(frame))
            frame = frame.f_back
        return stack

    @staticmethod
    def _locals_view(f_locals: dict) -> List[dict]:
        view = []
        for name, value in list(f_locals.items())[:MAX_LOCALS]:
            if name == "__builtins__":
                continue
            view.append({"name": str(name), "type": type(value).__name__, "value": _safe_repr(value)})
        return view

    # ------------------------------------------------------------ messages
    def _send(self, message: dict) -> bool:
        loop = self.loop
        if loop is None or loop.is_closed() or self.send_message is None:
            return False
        try:
            coro = self.send_message(message)
        except Exception as exc:
            logger.debug("[Debugger] Could not build %s message: %s", message.get("type"), exc)
            return False
        try:
            asyncio.run_coroutine_threadsafe(coro, loop)
            return True
        except Exception as exc:  # loop closed between the check and the call
            close = getattr(coro, "close", None)
            if close is not None:
                close()
            logger.debug("[Debugger] Could not send %s message: %s", message.get("type"), exc)
            return False
