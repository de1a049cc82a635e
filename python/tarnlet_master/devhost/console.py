"""python -m tarnlet_master.devhost console: a Python prompt whose code runs in a kernel.

Lines are gathered like the Python prompt does (">>> ", then "... " while a
statement is incomplete) and sent as one "execution_request"; what the code
prints appears as it streams in.  Lines starting with ":" are commands
(":help" lists them).

Two threads: the main thread reads lines (readline: editing, history, Tab)
and waits for each request, so Ctrl-C reaches it as KeyboardInterrupt; the
development host, the kernel's connection and everything shown while a
request runs live on an event loop in a second thread (``Console``).
"""

from __future__ import annotations

import argparse
import asyncio
import codeop
import logging
import shlex
import signal
import sys
import threading
from typing import Any, Awaitable, List, Optional, Sequence

from .console_kernel import (COMMANDS, COMPLETION_TIMEOUT, DEFAULT_WORKBOOK, HELP, Console, UsageError,
                             describe_exit, markdown_as_text, parse_value)
from .console_terminal import INDENT, Terminal, history_path
from .host import DevHost
from .kernel_log import console_level
from .session import KernelSession

__all__ = ["COMMANDS", "HELP", "Console", "ConsoleApp", "UsageError", "main", "markdown_as_text", "parse_value",
           "run"]


class ConsoleApp:
    """Reads lines on the main thread and hands them to the ``Console`` on the loop's thread."""

    def __init__(self, args: argparse.Namespace, terminal: Optional[Terminal] = None):
        self.args = args
        self.terminal = terminal if terminal is not None else Terminal()
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, name="console-loop", daemon=True)
        self.console: Optional[Console] = None
        self.block: List[str] = []       # lines of the statement being typed
        self._waiting = False            # a request is being waited for
        self._interrupts = 0             # Ctrl-C presses while waiting
        self._matches: List[str] = []

    def call(self, work: Awaitable[Any], timeout: Optional[float] = None) -> Any:
        return asyncio.run_coroutine_threadsafe(work, self.loop).result(timeout)

    def run(self) -> int:
        self._thread.start()
        try:
            previous = signal.signal(signal.SIGINT, self._on_sigint)
        except ValueError:  # not the main thread: Ctrl-C keeps Python's own behaviour
            previous = None
        try:
            return self._run()
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(10)
            if not self._thread.is_alive():
                self.loop.close()

    def _run(self) -> int:
        args = self.args
        level = console_level(args.log_level or ("INFO" if args.kernel_log else None))
        terminal = self.terminal
        console_box: List[Console] = []

        def trace(line: str) -> None:
            if console_box:
                console_box[0].trace(line)

        def kernel_output(session: KernelSession, stream: str, line: str) -> None:
            if console_box:
                console_box[0].on_kernel_output(session, stream, line)

        level_name = logging.getLevelName(level)
        host = DevHost(port=args.port, log=trace, kernel_output=kernel_output, python=args.python,
                       kernel_log_level=str(level) if level_name.startswith("Level ") else level_name)
        try:
            self.call(host.start())
        except OSError as error:
            terminal.write(f"The development host cannot listen on port {args.port}: {error}\n")
            return 1
        console = Console(host, args.workbook, terminal.show, terminal.write, log_level=level)
        console.show_messages = args.log
        console_box.append(console)
        self.console = console
        code = 0
        try:
            try:
                kernel = self.call(console.start())
            except (RuntimeError, TimeoutError, OSError) as error:
                terminal.write(f"{error}\n")
                return 1
            terminal.write(f"Kernel for workbook {args.workbook!r} connected (pid {kernel.process.pid}). "
                           ":help for commands.\n")
            if args.load:
                self.wait(console.command(f":load {shlex.quote(args.load)}"))
            terminal.setup(completer=self.complete, history=history_path())
            try:
                self.repl()
            finally:
                terminal.save_history()
            if not terminal.interactive and console.failures:
                code = 1
        except KeyboardInterrupt:
            terminal.write("\nKeyboardInterrupt\n")
            code = 130
        finally:
            exit_code = self.wait(console.stop())     # Ctrl-C now does not cut the kernel's stop short
            self.wait(host.stop())
            terminal.write(f"Kernel stopped ({describe_exit(exit_code)}).\n")
        return code

    def repl(self) -> None:
        compiler = codeop.CommandCompiler()
        while True:
            try:
                if not self.step(compiler):
                    return
            except KeyboardInterrupt:
                # As at Python's prompt: the half-typed statement is gone (and what was kept for a new kernel).
                self.terminal.write("\nKeyboardInterrupt\n")
                self.block = []
                self.console.kept = []
            except UnicodeError as error:  # a line the terminal's encoding cannot read
                self.terminal.write(f"error: {error}\n")
                self.block = []

    def step(self, compiler: codeop.CommandCompiler) -> bool:
        """Read one line and act on it; False means leave."""
        console = self.console
        prefill = console.kept.pop(0) if console.kept and console.alive and self.terminal.interactive else None
        try:
            line = self.terminal.read("... " if self.block else ">>> ", prefill)
        except EOFError:
            self.terminal.write("\n")
            return False
        if not self.block and line.strip().startswith(":"):
            return self.wait(console.command(line.strip()))
        self.block.append(line)
        source = "\n".join(self.block)
        try:
            complete = compiler(source, "<console>", "single") is not None
        except (SyntaxError, ValueError, OverflowError):
            complete = True  # the kernel reports the error like any other
        if complete or (len(self.block) > 1 and not line.strip()):
            self.block = []
            if source.strip():
                self.wait(console.run_code(source))
        return True

    def wait(self, work: Awaitable[Any]) -> Any:
        """Wait for the loop to finish ``work``; Ctrl-C interrupts it, a second Ctrl-C abandons it."""
        self._interrupts = 0
        self._waiting = True
        try:
            return asyncio.run_coroutine_threadsafe(work, self.loop).result()
        finally:
            self._waiting = False

    def _on_sigint(self, signum: int, frame: Any) -> None:
        # While a request is waited for, Ctrl-C is handled here and raises nothing: a
        # KeyboardInterrupt could land anywhere in the waiting code, even before the wait.
        # At the prompt it raises, so that readline drops the half-typed line.
        if not self._waiting:
            raise KeyboardInterrupt
        self._interrupts += 1
        if self._interrupts == 1:
            asyncio.run_coroutine_threadsafe(self._interrupt(), self.loop)
        else:
            self.loop.call_soon_threadsafe(self.console.abandon)

    async def _interrupt(self) -> None:
        try:
            await self.console.interrupt()
        except Exception as error:  # the connection went meanwhile; a second Ctrl-C still abandons
            self.terminal.write(f"\n(could not ask the kernel to interrupt: {type(error).__name__})\n")

    def complete(self, text: str, state: int) -> Optional[str]:
        """readline's completer: called with state 0, 1, ... until it answers None."""
        try:
            if state == 0:
                line = self.terminal.line_buffer()
                cursor = self.terminal.cursor()
                if not line[:cursor].strip():
                    self.terminal.insert(INDENT)
                    self._matches = []
                    return None
                self._matches = self.call(self.console.completions(line, cursor, list(self.block)),
                                          COMPLETION_TIMEOUT * 2 + 1)
            return self._matches[state] if state < len(self._matches) else None
        except Exception:  # readline would swallow it anyway; no completion, the terminal rings
            return None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workbook", default=DEFAULT_WORKBOOK, metavar="NAME",
                        help="workbook name; any text, spaces too (default: %(default)s)")
    parser.add_argument("--port", type=int, default=0,
                        help="port of the development host on 127.0.0.1 (default: a free one)")
    parser.add_argument("--load", metavar="DIR", help="send DIR/*.py as workbook modules at start")
    parser.add_argument("--python", metavar="PATH", default=sys.executable,
                        help="the Python that runs the kernel (default: this one)")
    parser.add_argument("--log", action="store_true", help="show every message exchanged with the kernel")
    parser.add_argument("--log-level", metavar="LEVEL",
                        help="show the kernel's log lines at LEVEL and above (default: WARNING, or "
                             "TARNLET_LOG_LEVEL when set)")
    parser.add_argument("--kernel-log", action="store_true", help="show the kernel's log from INFO up "
                                                                  "(as --log-level INFO)")


def parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(prog="python -m tarnlet_master.devhost console",
                                     description="Type Python that runs in a kernel for one workbook.")
    add_arguments(result)
    return result


def run(args: argparse.Namespace) -> int:
    return ConsoleApp(args).run()


def main(argv: Sequence[str]) -> int:
    return run(parser().parse_args(list(argv)))
