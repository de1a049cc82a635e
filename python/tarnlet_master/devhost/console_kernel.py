"""The console's side on the event loop: its kernel, the requests it runs, its commands.

``Console`` starts and watches one kernel for one workbook, runs typed
code and ":" commands as requests, shows what arrives while a request runs
(through ``write``) or by itself (through ``show``, above a waiting
prompt), interrupts or abandons the running request, restarts the kernel,
and answers Tab.
"""

from __future__ import annotations

import ast
import asyncio
import inspect
import json
import logging
import shlex
import signal
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple

from . import console_complete as completion
from .console_traceback import Cells, rewrite_traceback
from .host import DevHost
from .kernel_log import KernelLogView
from .session import KernelGone, KernelSession, Reply
from .workbook import InMemoryWorkbook

LANGUAGE_TIMEOUT = 30.0
CALL_TIMEOUT = 3600.0
COMPLETION_TIMEOUT = 5.0
INTERRUPT_REPLY_TIMEOUT = 2.0
INTERRUPT_NOTE_DELAY = 1.0      # an interrupted request still running after this gets a note
STREAM_CANCEL_GRACE = 0.5       # a cancelled stream usually ends at its next value
LOG_QUIET = 0.2                 # seconds without kernel log lines before a record's extra lines are summed up
DEFAULT_WORKBOOK = "console-workbook"

# name: (arguments, what it does); the order is the order of :help.
COMMANDS: Dict[str, Tuple[str, str]] = {
    "load": ("DIR", "send every DIR/*.py to the kernel as a workbook module"),
    "modules": ("", "the workbook's modules"),
    "call": ("MODULE.FUNC [ARG ...]", "call a worksheet function (ARGs are JSON or Python literals, else text)"),
    "stream": ("MODULE.FUNC [ARG ...]", "run a streaming (generator) function; Ctrl-C cancels it"),
    "complete": ("MODULE LINE COL", "completions at a position (LINE from 1, COL from 0) of a module"),
    "hover": ("MODULE LINE COL", "hover text at a position"),
    "diag": ("MODULE", "diagnostics of a module"),
    "cells": ("SHEET!RANGE", "show cells of the in-memory workbook"),
    "set": ("SHEET!CELL VALUE", "write a cell of the in-memory workbook (VALUE as for :call)"),
    "registry": ("", "the kernel's saved objects"),
    "reset": ("", "forget the names defined so far"),
    "restart": ("", "stop the kernel, start a fresh one, load the :load directories again"),
    "kernellog": ("[N]", "the last N lines (default 20) the kernel wrote to its log"),
    "log": ("on|off", "show every message exchanged with the kernel"),
    "help": ("", "this text"),
    "quit": ("", "stop the kernel and leave (Ctrl-D too)"),
}
ALIASES = {"q": "quit", "exit": "quit"}
INTERRUPTIBLE = {"exec", "call", "stream"}   # requests whose code runs in a kernel worker
LOCAL_COMMANDS = {"modules", "cells", "set", "restart", "kernellog", "log", "help", "quit"}


def _help_text() -> str:
    width = max(len(f":{name} {args}") for name, (args, _) in COMMANDS.items())
    lines = [
        "Python typed here runs in the kernel (the namespace persists; tarnlet, excel, context are defined).",
        "Tab completes, Ctrl-C interrupts the running request (again: stop waiting for it) or clears the",
        "line being typed; up and down arrows walk the history, kept across runs.",
        "Commands:",
    ]
    for name, (args, text) in COMMANDS.items():
        lines.append(f"  {f':{name} {args}'.ljust(width)}  {text}")
    return "\n".join(lines)


HELP = _help_text()


class UsageError(ValueError):
    """A command's arguments are not what it takes."""


def usage(name: str) -> str:
    args = COMMANDS[name][0]
    return f"usage: :{name}{' ' + args if args else ''}"


def parse_value(text: str) -> Any:
    """A command argument: JSON, else a Python literal, else the text itself."""
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        pass
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return text


def describe_exit(code: Optional[int]) -> str:
    if code is None:
        return "exit code unknown"
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit code {code}"


class Console:
    """The console's side on the event loop: one kernel at a time for one workbook."""

    def __init__(self, host: DevHost, name: str, show: Callable[[str], None], write: Callable[[str], None], *,
                 log_level: int = logging.WARNING, workbook: Optional[InMemoryWorkbook] = None):
        self.host = host
        self.name = name
        self.workbook = workbook if workbook is not None else InMemoryWorkbook()
        self.show = show            # output that arrives by itself (above the prompt)
        self.write = write          # output of the request being waited for
        self.log_level = log_level
        self.kernel: Optional[KernelSession] = None
        self.show_messages = False
        self.cells = Cells()
        self.loaded: List[str] = []     # directories given to :load, in order
        self.failures = 0
        self.kept: List[str] = []       # input typed while the kernel was gone
        self._current: Optional[asyncio.Task] = None
        self._current_request: Optional[Tuple[str, str]] = None    # (request id, kind)
        self._labels: Dict[str, str] = {}                          # request id -> "In[n]" or ":call ..."
        self._abandoned: set = set()
        self._abandoning = False
        self._stopping = False
        self._unsolicited: Any = None
        self._log_view = KernelLogView(log_level)
        self._log_timer: Optional[asyncio.TimerHandle] = None

    # ------------------------------------------------------- the kernel

    @property
    def alive(self) -> bool:
        return self.kernel is not None and self.kernel.connected

    async def start(self) -> KernelSession:
        """Start a kernel for the workbook and watch it."""
        self._log_view = KernelLogView(self.log_level)
        session = await self.host.start_kernel(self.name, workbook=self.workbook)
        self.kernel = session
        self._unsolicited = session.collect(on_message=self.on_unsolicited)
        asyncio.get_running_loop().create_task(self._watch(session))
        # The editor's hover is compact; a person at the console wants the docstring too.
        # The reply ("hover_mode_updated") is not waited for.
        try:
            await session.send({"type": "set_hover_mode", "mode": "detailed"})
        except KernelGone:
            pass  # gone already: the watcher says so
        return session

    async def stop(self) -> Optional[int]:
        self._stopping = True
        if self.kernel is None:
            return None
        return await self.host.stop_kernel(self.kernel.workbook_id)

    async def _watch(self, session: KernelSession) -> None:
        """Say at once when the kernel goes away by itself, even while nobody waits for it."""
        await session.wait_closed(None)
        if session is not self.kernel or self._stopping:
            return
        code = None
        if session.process is not None:
            try:
                code = await asyncio.wait_for(session.process.wait(), 3.0)
            except asyncio.TimeoutError:
                pass
        self._flush_log()
        lines = [f"The kernel for {self.name!r} has stopped ({describe_exit(code)})."]
        tail = [line for line in session.stderr_lines[-3:] if line.strip()]
        if code not in (0, None) and tail:
            lines.append("Its last log lines:")
            lines.extend(f"  {line}" for line in tail)
        lines.append("Your input is kept; :restart starts a fresh kernel.")
        self.show("\n".join(lines))

    async def restart(self) -> None:
        old = self.kernel
        self._stopping = True
        try:
            if old is not None:
                await self.host.stop_kernel(old.workbook_id)
                if self._unsolicited is not None:
                    self._unsolicited.close()
        finally:
            self._stopping = False
        self.cells.forget()
        self._abandoned.clear()
        self.write(f"Starting a fresh kernel for {self.name!r}...\n")
        try:
            session = await self.start()
        except (RuntimeError, TimeoutError, OSError) as error:
            self.failures += 1
            self.write(f"The kernel did not start: {error}\n")
            return
        reloaded = []
        for directory in self.loaded:
            names = await self._load(directory)
            reloaded.extend(names)
        text = f"Kernel restarted (pid {session.process.pid}); the namespace is empty"
        if self.loaded:
            text += f"; loaded {len(reloaded)} module(s) again: {', '.join(reloaded) or '(none)'}"
        self.write(text + ".\n")

    # --------------------------------------------------- running requests

    async def guarded(self, work: Awaitable[Any], request: Optional[Tuple[str, str]] = None) -> None:
        """Run one request; ``abandon`` stops waiting for it (the kernel may carry on)."""
        self._current = asyncio.ensure_future(work)
        self._current_request = request
        self._abandoning = False
        try:
            await self._current
        except asyncio.CancelledError:
            if not self._abandoning:
                raise  # the console itself is being stopped
            self.failures += 1
            if request is not None:
                self._abandoned.add(request[0])
            label = self._labels.get(request[0], "it") if request else "it"
            self.write(f"\nKeyboardInterrupt: no longer waiting for {label}; what it still sends is shown "
                       f"marked [{label}]\n")
        except asyncio.TimeoutError:
            self.failures += 1
            self.write("(no answer from the kernel in time)\n")
        except KernelGone:
            self.failures += 1
            self.write("(the request was lost with the kernel)\n")
        except UsageError as error:
            self.failures += 1
            self.write(f"{error}\n")
        except Exception as error:  # the console goes on, whatever its input did
            self.failures += 1
            self.write(f"error: {type(error).__name__}: {error}\n")
        finally:
            self._current = None
            self._current_request = None

    def abandon(self) -> None:
        if self._current is not None and not self._current.done():
            self._abandoning = True
            self._current.cancel()

    async def interrupt(self) -> None:
        """Ctrl-C while a request runs: ask the kernel to interrupt it (a stream: cancel it first)."""
        request = self._current_request
        if request is None or not self.alive:
            return
        request_id, kind = request
        if kind not in INTERRUPTIBLE:
            # Nothing of it runs as user code in a worker: there is nothing to interrupt, only to leave.
            self.abandon()
            return
        kernel = self.kernel
        if kind == "stream":
            await kernel.send({"type": "cancel_streaming_function", "request_id": request_id})
            await asyncio.sleep(STREAM_CANCEL_GRACE)
            if self._current_request != request:
                return
        answer = await kernel.interrupt(request_id, timeout=INTERRUPT_REPLY_TIMEOUT)
        if self._current_request != request:
            return
        if answer is None:
            self.write("\n(this kernel does not answer interrupt requests: the code runs on; "
                       "Ctrl-C again stops waiting for it)\n")
        elif answer is False:
            self.write("\n(the kernel found nothing to interrupt; Ctrl-C again stops waiting)\n")
        else:
            await asyncio.sleep(INTERRUPT_NOTE_DELAY)
            if self._current_request == request:
                self.write("\n(interrupted; code blocked inside a call such as time.sleep stops when the call "
                           "returns; Ctrl-C again stops waiting)\n")

    def _printer(self, request_id: str) -> Callable[[dict], None]:
        def show(message: dict) -> None:
            if message.get("type") in ("stdout", "stderr") and message.get("request_id") == request_id:
                self.write(str(message.get("content", "")))
        return show

    def on_unsolicited(self, message: dict) -> None:
        """Messages nobody waits for: message boxes, output of abandoned or background work."""
        kind = message.get("type")
        request_id = message.get("request_id")
        if self._current_request is not None and request_id == self._current_request[0]:
            return
        label = self._labels.get(request_id) if isinstance(request_id, str) else None
        if kind == "show_message_box":
            self.show(f"[{message.get('msg_type')} box: {message.get('title')}] {message.get('message')}")
        elif kind in ("stdout", "stderr"):
            content = str(message.get("content", ""))
            if content.strip():
                self.show(f"[{label}] {content.rstrip()}" if label else content.rstrip())
        elif request_id in self._abandoned and (
                kind in ("execution_result", "execution_error", "function_execution_result")
                or (kind == "streaming_function_result" and message.get("done") is True)):
            self._abandoned.discard(request_id)
            error = message.get("error")
            last = self._error_text(error, None).strip().splitlines() if error else []
            self.show(f"[{label}] ended with {last[-1]}" if last else f"[{label}] finished")

    # ------------------------------------------------------------- code

    async def run_code(self, code: str) -> None:
        if not self.alive:
            self._keep(code.split("\n"))
            return
        number = self.cells.add(code)
        request_id = self.kernel.new_request_id("exec-")
        self._labels[request_id] = f"In[{number}]"
        await self.guarded(self._run_code(code, number, request_id), (request_id, "exec"))

    async def _run_code(self, code: str, number: int, request_id: str) -> Reply:
        reply = await self.kernel.execute(code, timeout=CALL_TIMEOUT, on_message=self._printer(request_id),
                                          request_id=request_id)
        final = reply.final
        if final.get("type") == "execution_result":
            if final.get("result") is not None:
                self.write(f"{final['result']}\n")
        else:
            self.failures += 1
            self.write(self._error_text(final.get("error"), number))
        return reply

    def _error_text(self, error: Any, number: Optional[int]) -> str:
        if isinstance(error, dict):
            text = error.get("traceback") or f"{error.get('type')}: {error.get('message')}"
            text = rewrite_traceback(str(text), self.cells, number)
        else:
            text = str(error)
        return text if text.endswith("\n") else text + "\n"

    def _keep(self, lines: List[str]) -> None:
        self.failures += 1
        self.kept = list(lines)
        self.write("The kernel is not running; your input is kept: :restart starts a fresh kernel "
                   "and gives it back to you.\n")

    # --------------------------------------------------------- commands

    async def command(self, line: str) -> bool:
        """Run one ":" command; False means leave."""
        try:
            words = shlex.split(line[1:])
        except ValueError as error:
            self.failures += 1
            self.write(f"{error}\n")
            return True
        if not words:
            return True
        name, args = ALIASES.get(words[0], words[0]), words[1:]
        if name == "quit":
            return False
        handler = getattr(self, f"cmd_{name}", None)
        if name not in COMMANDS or handler is None:
            self.failures += 1
            self.write(f"unknown command :{name} (:help lists them)\n")
            return True
        try:
            inspect.signature(handler).bind(name, *args)
        except TypeError:
            self.failures += 1
            self.write(usage(name) + "\n")
            return True
        if name not in LOCAL_COMMANDS and not self.alive:
            self.failures += 1
            self.write("The kernel is not running: :restart starts a fresh one.\n")
            return True
        request_id = self.kernel.new_request_id(f"{name}-") if self.kernel is not None else name
        self._labels[request_id] = f":{name}"
        await self.guarded(self._usage_on_error(name, handler(request_id, *args)), (request_id, name))
        return True

    async def _usage_on_error(self, name: str, work: Awaitable[Any]) -> Any:
        try:
            return await work
        except UsageError as error:
            raise UsageError(f"{error}\n{usage(name)}" if str(error) else usage(name)) from None

    async def cmd_help(self, request_id: str) -> None:
        self.write(HELP + "\n")

    async def cmd_load(self, request_id: str, directory: str) -> None:
        if not Path(directory).is_dir():
            raise UsageError(f"not a directory: {directory}")
        path = str(Path(directory).resolve())
        names = await self._load(path)
        if path not in self.loaded:
            self.loaded.append(path)
        self.write(f"loaded {len(names)} module(s): {', '.join(names) or '(none)'}\n")

    async def _load(self, directory: str) -> List[str]:
        names = []
        for path in sorted(Path(directory).glob("*.py")):
            try:
                code = path.read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError) as error:
                self.write(f"  warning: {path.name} not loaded: {error}\n")
                continue
            try:
                compile(code, f"<virtual:{path.stem}>", "exec")
            except (SyntaxError, ValueError, OverflowError, RecursionError, MemoryError) as error:
                where = f" (line {error.lineno})" if getattr(error, "lineno", None) else ""
                self.write(f"  warning: {path.name} does not compile: {type(error).__name__}: "
                           f"{getattr(error, 'msg', None) or error}{where}\n")
            reply = await self.kernel.update_module(path.stem, code, timeout=LANGUAGE_TIMEOUT)
            if reply.final.get("type") == "module_updated":
                names.append(path.stem)
            else:
                self.write(f"  warning: the kernel refused {path.name}: {reply.final.get('message')}\n")
        return names

    async def cmd_modules(self, request_id: str) -> None:
        modules = self.kernel.modules if self.kernel is not None else {}
        for name, code in sorted(modules.items()):
            self.write(f"  {name} ({code.count(chr(10)) + 1} lines)\n")
        if not modules:
            self.write("  (no modules; :load DIR sends some)\n")

    @staticmethod
    def _target(dotted: str) -> Sequence[str]:
        module, _, function = dotted.rpartition(".")
        if not module or not function:
            raise UsageError(f"expected MODULE.FUNC, got {dotted!r}")
        return module, function

    async def cmd_call(self, request_id: str, dotted: str, *args: str) -> None:
        module, function = self._target(dotted)
        reply = await self.kernel.call_function(module, function, [parse_value(a) for a in args],
                                                timeout=CALL_TIMEOUT, on_message=self._printer(request_id),
                                                request_id=request_id)
        final = reply.final
        if final.get("status") == "success":
            self.write(f"= {json.dumps(final.get('result'), ensure_ascii=False)}\n")
            return
        self.failures += 1
        if str(final.get("error")) not in reply.text("stderr"):  # else it was shown as it streamed
            self.write(self._error_text(final.get("error"), None))

    async def cmd_stream(self, request_id: str, dotted: str, *args: str) -> None:
        module, function = self._target(dotted)
        printer = self._printer(request_id)

        def show(message: dict) -> None:
            printer(message)
            if (message.get("type") == "streaming_function_result" and message.get("done") is False
                    and message.get("request_id") == request_id):
                self.write(f"<- {json.dumps(message.get('result'), ensure_ascii=False)}\n")

        reply = await self.kernel.stream_function(module, function, [parse_value(a) for a in args],
                                                  timeout=CALL_TIMEOUT, on_message=show, request_id=request_id)
        if reply.final.get("error"):
            self.failures += 1
            self.write(f"stream failed: {reply.final['error']}\n")
        elif reply.final.get("result") == "Canceled":
            self.write("(stream cancelled)\n")
        else:
            self.write("(stream done)\n")

    async def _position_request(self, kind: str, module: str, line: str, column: str) -> dict:
        try:
            line_number, column_number = int(line), int(column)
        except ValueError:
            raise UsageError(f"LINE and COL are numbers, got {line!r} {column!r}") from None
        if module not in self.kernel.modules:
            raise UsageError(f"no module {module!r} (:modules lists them)")
        answer = await self.kernel.language_request(kind, module, line_number, column_number,
                                                    timeout=LANGUAGE_TIMEOUT)
        if answer.get("error"):
            self.failures += 1
            self.write(f"error: {answer['error']}\n")
        return answer

    async def cmd_complete(self, request_id: str, module: str, line: str, column: str) -> None:
        answer = await self._position_request("completion", module, line, column)
        items = answer.get("completions") or []
        for item in items[:40]:
            detail = item.get("detail") or ""
            self.write(f"  {item.get('label')}  {detail}\n")
        if len(items) > 40:
            self.write(f"  ... {len(items) - 40} more\n")
        if not items:
            self.write("  (no completions)\n")

    async def cmd_hover(self, request_id: str, module: str, line: str, column: str) -> None:
        answer = await self._position_request("hover", module, line, column)
        contents = answer.get("contents")
        text = markdown_as_text(contents.get("value", "")) if isinstance(contents, dict) else ""
        self.write((text or "(nothing to show)") + "\n")

    async def cmd_diag(self, request_id: str, module: str) -> None:
        if module not in self.kernel.modules:
            raise UsageError(f"no module {module!r} (:modules lists them)")
        answer = await self.kernel.language_request("diagnostic", module, timeout=LANGUAGE_TIMEOUT)
        for d in answer.get("diagnostics") or []:
            severity = "error" if d.get("severity") == 8 else "warning"
            self.write(f"  {module}:{d.get('startLineNumber')}:{d.get('startColumn')}: {severity}: "
                       f"{d.get('message')}\n")
        if not answer.get("diagnostics"):
            self.write("  (no diagnostics)\n")

    async def cmd_cells(self, request_id: str, address: str) -> None:
        sheet, _, cells = address.rpartition("!")
        try:
            rows = self.workbook.get_values(sheet or self.workbook.active_sheet, cells)
        except (KeyError, ValueError) as error:
            raise UsageError(str(error)) from None
        for row in rows:
            self.write("  " + " | ".join("" if v is None else json.dumps(v, ensure_ascii=False) for v in row) + "\n")

    async def cmd_set(self, request_id: str, address: str, value: str) -> None:
        sheet, _, cell = address.rpartition("!")
        try:
            self.workbook.set_values(sheet or self.workbook.active_sheet, cell, [[parse_value(value)]])
        except ValueError as error:
            raise UsageError(str(error)) from None

    async def cmd_registry(self, request_id: str) -> None:
        objects = await self.kernel.object_registry(timeout=LANGUAGE_TIMEOUT)
        for entry in objects:
            self.write(f"  {entry.get('key')}: {entry.get('type')} {entry.get('repr')}\n")
        if not objects:
            self.write("  (no saved objects)\n")

    async def cmd_reset(self, request_id: str) -> None:
        await self.kernel.request({"type": "reset_namespace"}, until="namespace_reset", timeout=LANGUAGE_TIMEOUT)
        self.write("namespace reset\n")

    async def cmd_restart(self, request_id: str) -> None:
        await self.restart()

    async def cmd_kernellog(self, request_id: str, count: str = "20") -> None:
        try:
            number = int(count)
        except ValueError:
            raise UsageError(f"N is a number, got {count!r}") from None
        lines = self.kernel.stderr_lines[-number:] if self.kernel is not None and number > 0 else []
        for line in lines:
            self.write(f"  {line}\n")
        if not lines:
            self.write("  (the kernel has written no log lines)\n")

    async def cmd_log(self, request_id: str, state: str = "on") -> None:
        self.show_messages = state.lower() in ("on", "1", "yes", "true")
        self.write(f"message log {'on' if self.show_messages else 'off'}\n")

    # --------------------------------------------------- the kernel's log

    def trace(self, line: str) -> None:
        """One message exchanged with the kernel (:log on)."""
        if self.show_messages:
            self.show(f"  {line}")

    def on_kernel_output(self, session: KernelSession, stream: str, line: str) -> None:
        if self._stopping:
            return  # a kernel being stopped on purpose: its farewell lines are noise
        if stream == "stdout":
            self.show(f"kernel stdout: {line}")
            return
        for text in self._log_view.feed(line):
            self.show(text)
        if self._log_timer is not None:
            self._log_timer.cancel()
        self._log_timer = asyncio.get_running_loop().call_later(LOG_QUIET, self._flush_log)

    def _flush_log(self) -> None:
        self._log_timer = None
        for text in self._log_view.flush():
            self.show(text)

    # ------------------------------------------------------- completion

    async def completions(self, line: str, cursor: int, block: Sequence[str]) -> List[str]:
        """What Tab offers for the text before ``cursor`` in ``line``."""
        before = line[:cursor]
        word = completion.word_before(before)
        if not block and before.lstrip().startswith(":"):
            return self._command_completions(before)
        if not self.alive:
            return []
        request = completion.analysis_request(list(self.cells.sources.values()), block, line, cursor)
        message = {"type": "completion_request", "request_id": self.kernel.new_request_id("tab-"),
                   "workbook_id": self.kernel.workbook_id, "module_name": None, "path": None,
                   "dirty_files": None, **request}
        names: List[str] = []
        analysed: List[str] = []
        try:
            reply = await self.kernel.request(message, until="completion_response", timeout=COMPLETION_TIMEOUT)
            analysed = [item.get("label") for item in reply.final.get("completions") or []
                        if isinstance(item, dict)]
        except (asyncio.TimeoutError, KernelGone):
            pass
        expression = completion.namespace_expression(word)
        if expression is not None:
            try:
                reply = await self.kernel.execute(expression, function_name="complete",
                                                  timeout=COMPLETION_TIMEOUT)
                if reply.final.get("type") == "execution_result" and isinstance(reply.final.get("result"), list):
                    names = reply.final["result"]
            except (asyncio.TimeoutError, KernelGone):
                pass
        return completion.merge(word, analysed, names)

    def _command_completions(self, before: str) -> List[str]:
        words = before.lstrip()[1:].split(" ")
        if len(words) == 1:
            # ":" ends a word for readline: the name alone replaces what follows it.
            return [f"{name} " if COMMANDS[name][0] else name for name in COMMANDS if name.startswith(words[0])]
        if words[0] in ("call", "stream") and len(words) == 2 and self.kernel is not None:
            targets = []
            for module, code in self.kernel.modules.items():
                targets.extend(f"{module}.{function}" for function in _functions(code))
            return sorted(t for t in targets if t.startswith(words[1]))
        if words[0] in ("complete", "hover", "diag") and len(words) == 2 and self.kernel is not None:
            return sorted(m for m in self.kernel.modules if m.startswith(words[1]))
        return []


def _functions(code: str) -> List[str]:
    try:
        tree = ast.parse(code)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return []
    return [node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))]


def markdown_as_text(markdown: str) -> str:
    """The hover's Markdown for a terminal: code fences and rules dropped, one blank line between parts."""
    out: List[str] = []
    for line in markdown.split("\n"):
        stripped = line.strip()
        if stripped.startswith("```") or stripped == "---":
            continue
        if not stripped and (not out or not out[-1].strip()):
            continue
        out.append(line.rstrip())
    return "\n".join(out).strip("\n")
