"""python -m tarnlet_master.devhost console: a Python prompt whose code runs in a kernel.

Lines are gathered like the Python prompt does (">>> ", then "... " while a
statement is incomplete) and sent as one "execution_request"; what the code
prints appears as it streams in.  Lines starting with ":" are commands
(":help" lists them).
"""

from __future__ import annotations

import argparse
import ast
import asyncio
import codeop
import importlib
import importlib.util
import json
import shlex
import signal
import sys
from pathlib import Path
from typing import Any, Awaitable, Callable, List, Optional, Sequence

from .host import DevHost
from .session import KernelGone, KernelSession, Reply
from .workbook import InMemoryWorkbook

LANGUAGE_TIMEOUT = 30.0
CALL_TIMEOUT = 3600.0

HELP = """\
Python typed here runs in the kernel (the namespace persists; tarnlet, excel, context are defined).
Commands:
  :load DIR                       send every DIR/*.py to the kernel as a workbook module
  :modules                        the workbook's modules
  :call MODULE.FUNC [ARG ...]     call a worksheet function (ARGs are JSON or Python literals, else text)
  :stream MODULE.FUNC [ARG ...]   run a streaming (generator) function
  :complete MODULE LINE COL       completions at a position (LINE from 1, COL from 0) of a module
  :hover MODULE LINE COL          hover text at a position
  :diag MODULE                    diagnostics of a module
  :cells SHEET!RANGE              show cells of the in-memory workbook
  :set SHEET!CELL VALUE           write a cell of the in-memory workbook (VALUE as for :call)
  :registry                       the kernel's saved objects
  :reset                          forget the names defined so far
  :log on|off                     show every message exchanged with the kernel
  :help                           this text
  :quit                           stop the kernel and leave (Ctrl-D too)"""


def parse_value(text: str) -> Any:
    """A command argument: JSON, else a Python literal, else the text itself."""
    try:
        return json.loads(text)
    except ValueError:
        pass
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text


def _stdout_write(text: str) -> None:
    sys.stdout.write(text)


class Console:
    def __init__(self, kernel: KernelSession, write: Optional[Callable[[str], Any]] = None):
        self.kernel = kernel
        self._write = write if write is not None else _stdout_write
        self.show_messages = False
        self._current: Optional[asyncio.Task] = None

    def write(self, text: str) -> None:
        self._write(text)
        if self._write is _stdout_write:
            sys.stdout.flush()

    def log(self, line: str) -> None:
        if self.show_messages:
            self.write(f"  {line}\n")

    # ------------------------------------------------------------ input

    async def interact(self, read_line: Callable[[str], Awaitable[Optional[str]]]) -> None:
        """Read and run until :quit or the end of input."""
        compiler = codeop.CommandCompiler()
        lines: List[str] = []
        while self.kernel.connected:
            line = await read_line("... " if lines else ">>> ")
            if line is None:
                self.write("\n")
                return
            if not lines and line.strip().startswith(":"):
                if not await self.command(line.strip()):
                    return
                continue
            lines.append(line)
            source = "\n".join(lines)
            try:
                complete = compiler(source, "<console>", "single") is not None
            except (SyntaxError, ValueError, OverflowError):
                complete = True  # the kernel reports the error like any other
            if complete or (len(lines) > 1 and not line.strip()):
                lines = []
                if source.strip():
                    await self.guarded(self.run_code(source))

    async def guarded(self, work: Awaitable[Any]) -> None:
        """Run one request; Ctrl-C stops waiting for it (the kernel may carry on)."""
        self._current = asyncio.ensure_future(work)
        try:
            await self._current
        except asyncio.CancelledError:
            self.write("\nKeyboardInterrupt: no longer waiting (the kernel may still be running it)\n")
        except asyncio.TimeoutError:
            self.write("(no answer from the kernel in time)\n")
        except KernelGone as error:
            self.write(f"{error}\n")
        except (TypeError, ValueError) as error:  # a command's arguments
            self.write(f"error: {error}\n")
        finally:
            self._current = None

    def interrupt(self) -> None:
        if self._current is not None and not self._current.done():
            self._current.cancel()
        else:
            self.write("\n(:quit or Ctrl-D to leave)\n>>> ")

    # ------------------------------------------------------------ code

    def _stream_printer(self, request_id_prefix: str) -> Callable[[dict], None]:
        def show(message: dict) -> None:
            if message.get("type") in ("stdout", "stderr"):
                if str(message.get("request_id")).startswith(request_id_prefix):
                    self.write(str(message.get("content", "")))
        return show

    async def run_code(self, code: str) -> Reply:
        printer = self._stream_printer("exec-")
        reply = await self.kernel.execute(code, timeout=CALL_TIMEOUT, on_message=printer)
        final = reply.final
        if final.get("type") == "execution_result":
            if final.get("result") is not None:
                self.write(f"{final['result']}\n")
        else:
            self.show_error(final.get("error"))
        return reply

    def show_error(self, error: Any) -> None:
        if isinstance(error, dict):
            text = error.get("traceback") or f"{error.get('type')}: {error.get('message')}"
        else:
            text = str(error)
        self.write(text if text.endswith("\n") else text + "\n")

    # -------------------------------------------------------- commands

    async def command(self, line: str) -> bool:
        """Run one ":" command; False means leave."""
        try:
            words = shlex.split(line[1:])
        except ValueError as error:
            self.write(f"{error}\n")
            return True
        if not words:
            return True
        name, args = words[0], words[1:]
        if name in ("quit", "q", "exit"):
            return False
        handler = getattr(self, f"cmd_{name}", None)
        if handler is None:
            self.write(f"unknown command :{name} (:help lists them)\n")
            return True
        try:
            work = handler(*args)
        except TypeError as error:  # wrong number of arguments
            self.write(f":{name}: {error}\n")
            return True
        await self.guarded(work)
        return True

    async def cmd_help(self) -> None:
        self.write(HELP + "\n")

    async def cmd_load(self, directory: str) -> None:
        if not Path(directory).is_dir():
            self.write(f"not a directory: {directory}\n")
            return
        names = await self.kernel.load_directory(directory, timeout=LANGUAGE_TIMEOUT)
        self.write(f"loaded {len(names)} module(s): {', '.join(names) or '(none)'}\n")

    async def cmd_modules(self) -> None:
        for name, code in sorted(self.kernel.modules.items()):
            self.write(f"  {name} ({code.count(chr(10)) + 1} lines)\n")

    @staticmethod
    def _target(dotted: str) -> Sequence[str]:
        module, _, function = dotted.rpartition(".")
        if not module or not function:
            raise ValueError(f"expected MODULE.FUNCTION, got {dotted!r}")
        return module, function

    async def cmd_call(self, dotted: str, *args: str) -> None:
        try:
            module, function = self._target(dotted)
        except ValueError as error:
            self.write(f"{error}\n")
            return
        reply = await self.kernel.call_function(module, function, [parse_value(a) for a in args],
                                                timeout=CALL_TIMEOUT, on_message=self._stream_printer("call-"))
        final = reply.final
        if final.get("status") == "success":
            self.write(f"= {json.dumps(final.get('result'), ensure_ascii=False)}\n")
        elif str(final.get("error")) not in reply.text("stderr"):  # else it was shown as it streamed
            self.show_error(final.get("error"))

    async def cmd_stream(self, dotted: str, *args: str) -> None:
        try:
            module, function = self._target(dotted)
        except ValueError as error:
            self.write(f"{error}\n")
            return

        def show(message: dict) -> None:
            self._stream_printer("stream-")(message)
            if message.get("type") == "streaming_function_result" and message.get("done") is False:
                self.write(f"<- {json.dumps(message.get('result'), ensure_ascii=False)}\n")

        reply = await self.kernel.stream_function(module, function, [parse_value(a) for a in args],
                                                  timeout=CALL_TIMEOUT, on_message=show)
        if reply.final.get("error"):
            self.write(f"stream failed: {reply.final['error']}\n")
        else:
            self.write("(stream done)\n")

    async def _position_request(self, kind: str, module: str, line: str, column: str) -> Optional[dict]:
        if module not in self.kernel.modules:
            self.write(f"no module {module!r} (:modules lists them)\n")
            return None
        answer = await self.kernel.language_request(kind, module, int(line), int(column), timeout=LANGUAGE_TIMEOUT)
        if answer.get("error"):
            self.write(f"error: {answer['error']}\n")
        return answer

    async def cmd_complete(self, module: str, line: str, column: str) -> None:
        answer = await self._position_request("completion", module, line, column)
        if answer is None:
            return
        items = answer.get("completions") or []
        for item in items[:40]:
            detail = item.get("detail") or ""
            self.write(f"  {item.get('label')}  {detail}\n")
        if len(items) > 40:
            self.write(f"  ... {len(items) - 40} more\n")
        if not items:
            self.write("  (no completions)\n")

    async def cmd_hover(self, module: str, line: str, column: str) -> None:
        answer = await self._position_request("hover", module, line, column)
        if answer is None:
            return
        contents = answer.get("contents")
        self.write((contents.get("value", "") if isinstance(contents, dict) else "(nothing)") + "\n")

    async def cmd_diag(self, module: str) -> None:
        if module not in self.kernel.modules:
            self.write(f"no module {module!r} (:modules lists them)\n")
            return
        answer = await self.kernel.language_request("diagnostic", module, timeout=LANGUAGE_TIMEOUT)
        for d in answer.get("diagnostics") or []:
            severity = "error" if d.get("severity") == 8 else "warning"
            self.write(f"  {module}:{d.get('startLineNumber')}:{d.get('startColumn')}: {severity}: "
                       f"{d.get('message')}\n")
        if not answer.get("diagnostics"):
            self.write("  (no diagnostics)\n")

    async def cmd_cells(self, address: str) -> None:
        sheet, _, cells = address.rpartition("!")
        workbook = self.kernel.workbook
        try:
            rows = workbook.get_values(sheet or workbook.active_sheet, cells)
        except (KeyError, ValueError) as error:
            self.write(f"{error}\n")
            return
        for row in rows:
            self.write("  " + " | ".join("" if v is None else json.dumps(v, ensure_ascii=False) for v in row) + "\n")

    async def cmd_set(self, address: str, value: str) -> None:
        sheet, _, cell = address.rpartition("!")
        workbook = self.kernel.workbook
        try:
            workbook.set_values(sheet or workbook.active_sheet, cell, [[parse_value(value)]])
        except ValueError as error:
            self.write(f"{error}\n")

    async def cmd_registry(self) -> None:
        objects = await self.kernel.object_registry(timeout=LANGUAGE_TIMEOUT)
        for entry in objects:
            self.write(f"  {entry.get('key')}: {entry.get('type')} {entry.get('repr')}\n")
        if not objects:
            self.write("  (no saved objects)\n")

    async def cmd_reset(self) -> None:
        await self.kernel.request({"type": "reset_namespace"}, until="namespace_reset", timeout=LANGUAGE_TIMEOUT)
        self.write("namespace reset\n")

    async def cmd_log(self, state: str = "on") -> None:
        self.show_messages = state.lower() in ("on", "1", "yes", "true")
        self.write(f"message log {'on' if self.show_messages else 'off'}\n")

    def on_unsolicited(self, message: dict) -> None:
        """Messages user code sends by itself that a person should see."""
        if message.get("type") == "show_message_box":
            self.write(f"\n[{message.get('msg_type')} box: {message.get('title')}] {message.get('message')}\n")


async def _read_line(prompt: str) -> Optional[str]:
    loop = asyncio.get_running_loop()
    try:
        return await loop.run_in_executor(None, input, prompt)
    except EOFError:
        return None


async def run_console(args: argparse.Namespace) -> int:
    console_ref: List[Console] = []

    def log(line: str) -> None:
        if console_ref:
            console_ref[0].log(line)

    kernel_log = (lambda line: print(line, file=sys.stderr)) if args.kernel_log else None
    async with DevHost(log=log, kernel_log=kernel_log) as host:
        kernel = await host.start_kernel(args.workbook, workbook=InMemoryWorkbook())
        console = Console(kernel)
        console.show_messages = args.log
        console_ref.append(console)
        print(f"Kernel for workbook {args.workbook!r} connected (pid {kernel.process.pid}). :help for commands.")
        if args.load:
            await console.command(f":load {shlex.quote(args.load)}")
        loop = asyncio.get_running_loop()
        try:
            loop.add_signal_handler(signal.SIGINT, console.interrupt)
        except (NotImplementedError, RuntimeError):  # not on this platform
            pass
        with kernel.collect(on_message=console.on_unsolicited):
            await console.interact(_read_line)
        if not kernel.connected:
            print("The kernel has disconnected.")
    print(f"Kernel stopped (exit code {kernel.process.returncode}).")
    return 0


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarnlet_master.devhost console",
                                     description="Type Python that runs in a kernel for one workbook.")
    parser.add_argument("--workbook", default="console-workbook", help="workbook id (default: %(default)s)")
    parser.add_argument("--load", metavar="DIR", help="send DIR/*.py as workbook modules at start")
    parser.add_argument("--log", action="store_true", help="show every message exchanged with the kernel")
    parser.add_argument("--kernel-log", action="store_true", help="show the kernel's own log lines")
    args = parser.parse_args(list(argv))
    if importlib.util.find_spec("readline") is not None:
        importlib.import_module("readline")  # line editing and history for input()
    return asyncio.run(run_console(args))
