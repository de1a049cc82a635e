"""The console's terminal: line input on the main thread, output from any thread.

Lines are read with ``input()`` on the main thread, so GNU readline gives
line editing, history and Tab, and Ctrl-C at the prompt raises
KeyboardInterrupt there with the half-typed line discarded, as at Python's
prompt.  Output arrives from the event loop's thread; what arrives while a
prompt is waiting (a kernel that died, a log line, late output) is printed
above the prompt, which is then drawn again with what was typed so far.
"""

from __future__ import annotations

import os
import sys
import threading
from pathlib import Path
from typing import Any, Callable, List, Optional, TextIO

HISTORY_LENGTH = 1000
INDENT = "    "


def history_path() -> Path:
    """The history file, under the user's state directory."""
    if sys.platform == "win32":
        base = Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local")
    else:
        base = Path(os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state")
    return base / "tarnlet" / "console_history"


class Terminal:
    def __init__(self, stdin: TextIO = sys.stdin, stdout: TextIO = sys.stdout):
        self.stdin = stdin
        self.stdout = stdout
        self.interactive = _isatty(stdin) and _isatty(stdout)
        self._lock = threading.RLock()
        self._prompt: Optional[str] = None      # set while a line is being read
        self._at_line_start = True
        self._readline: Any = None
        self._history: Optional[Path] = None
        self._prefill: Optional[str] = None
        self._held: List[str] = []              # shown text waiting for the output's line to end

    # ------------------------------------------------------------ set-up

    def setup(self, completer: Optional[Callable[[str, int], Optional[str]]] = None,
              history: Optional[Path] = None) -> None:
        """readline with Tab completion and a history file (interactive use only)."""
        if not self.interactive:
            return
        try:
            import readline
        except ImportError:  # no line editing on this platform
            return
        self._readline = readline
        if completer is not None:
            readline.set_completer(completer)
            readline.set_completer_delims(_delims())
            if "libedit" in (readline.__doc__ or ""):
                readline.parse_and_bind("bind ^I rl_complete")
            else:
                readline.parse_and_bind("tab: complete")
        readline.set_pre_input_hook(self._insert_prefill)
        if history is not None:
            self._history = history
            readline.set_history_length(HISTORY_LENGTH)
            try:
                readline.read_history_file(str(history))
            except (OSError, UnicodeDecodeError):
                pass  # no history yet, or one we cannot read

    def save_history(self) -> None:
        if self._readline is None or self._history is None:
            return
        try:
            self._history.parent.mkdir(parents=True, exist_ok=True)
            self._readline.write_history_file(str(self._history))
        except OSError as error:
            self.write(f"(history not saved: {error})\n")

    # ------------------------------------------------------------- input

    def read(self, prompt: str, prefill: Optional[str] = None) -> str:
        """One line; EOFError at the end of input, KeyboardInterrupt on Ctrl-C."""
        with self._lock:
            if not self._at_line_start:
                self.stdout.write("\n")
            self._release_held()
            self.stdout.flush()
            self._prompt = prompt
            self._prefill = prefill if self._readline is not None else None
        try:
            line = input(prompt)
        finally:
            with self._lock:
                self._prompt = None
                self._at_line_start = True
        return line

    def _insert_prefill(self) -> None:
        if self._prefill:
            self._readline.insert_text(self._prefill)
            self._readline.redisplay()
        self._prefill = None

    def line_buffer(self) -> str:
        return self._readline.get_line_buffer() if self._readline is not None else ""

    def cursor(self) -> int:
        """Where the word being completed ends in the line buffer."""
        return self._readline.get_endidx() if self._readline is not None else 0

    def insert(self, text: str) -> None:
        if self._readline is not None:
            self._readline.insert_text(text)
            self._readline.redisplay()

    # ------------------------------------------------------------ output

    def write(self, text: str) -> None:
        """Output of the running request, or of the console itself."""
        if not text:
            return
        with self._lock:
            end = text.rfind("\n") + 1
            if self._held and end:
                # Text shown meanwhile goes after the line it arrived in, not into its middle.
                self.stdout.write(text[:end])
                self._release_held()
                text = text[end:]
            self.stdout.write(text)
            self.stdout.flush()
            self._at_line_start = text.endswith("\n") if text else True

    def _release_held(self) -> None:
        if self._held:
            self.stdout.write("".join(self._held))
            self._held.clear()

    def show(self, text: str) -> None:
        """Output that arrives by itself: above the prompt when one is waiting."""
        if not text:
            return
        if not text.endswith("\n"):
            text += "\n"
        with self._lock:
            if self._prompt is None:
                if not self._at_line_start:
                    self._held.append(text)  # written once the running output's line ends
                    return
                self.stdout.write(text)
                self._at_line_start = True
            elif self.interactive:
                # Clear the prompt's line, print, and draw the prompt with the typed text again.
                self.stdout.write("\r\x1b[K" + text + self._prompt + self.line_buffer())
            else:
                self.stdout.write("\n" + text)
            self.stdout.flush()


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _delims() -> str:
    from .console_complete import WORD_DELIMS

    return WORD_DELIMS


__all__: List[str] = ["INDENT", "Terminal", "history_path"]
