"""The kernel's log as a person reads it in the console.

A kernel writes its log to stderr, one record per line in the format of
``tarnlet_master.logging_config`` ("2026-01-02 03:04:05,678 WARNING name:
text"), with the lines of a traceback following their record.  The console
shows records at a chosen level and above as one short line each
("kernel WARNING: text"); the lines that follow a record are not printed
but counted, and stay available in the session's ``stderr_lines``.
Anything else the process writes (a crash report, output of C code) is
shown as it comes.
"""

from __future__ import annotations

import logging
import os
import re
from typing import List, Optional, Union

from tarnlet_master.logging_config import LOG_LEVEL_ENV_VAR

DEFAULT_CONSOLE_LEVEL = logging.WARNING
PREFIX = "kernel"

RECORD = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ([A-Z]+|Level \d+) (\S+?): (.*)$")


def parse_level(text: Union[str, int, None]) -> Optional[int]:
    """A level name ("warning", "DEBUG") or number as a logging level; None when it is neither."""
    if text is None:
        return None
    if isinstance(text, int):
        return text
    raw = text.strip()
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    return level if isinstance(level, int) else None


def console_level(option: Optional[str] = None) -> int:
    """The level the console shows: the option, else TARNLET_LOG_LEVEL, else WARNING."""
    for candidate in (option, os.environ.get(LOG_LEVEL_ENV_VAR)):
        level = parse_level(candidate) if candidate else None
        if level is not None:
            return level
    return DEFAULT_CONSOLE_LEVEL


def _level_of(name: str) -> int:
    level = logging.getLevelName(name)
    if isinstance(level, int):
        return level
    match = re.fullmatch(r"Level (\d+)", name)
    return int(match.group(1)) if match else logging.WARNING


class KernelLogView:
    """Turns the kernel's stderr lines into the lines the console shows.

    ``feed`` takes one line and returns what to print now (possibly
    nothing).  A shown record's trailing lines are summed up by ``flush``,
    which the console calls when the kernel has been quiet for a moment or
    before it prints something else.
    """

    def __init__(self, level: int = DEFAULT_CONSOLE_LEVEL):
        self.level = level
        self._record_shown: Optional[bool] = None   # None: no record seen yet
        self._extra = 0                             # lines after the shown record so far

    def feed(self, line: str) -> List[str]:
        match = RECORD.match(line)
        if match is None:
            if self._record_shown is None:
                return [f"{PREFIX}: {line}"]        # not a log record: a crash report, C output
            if self._record_shown:
                self._extra += 1
            return []
        out = self.flush()
        level_name, _logger, text = match.groups()
        self._record_shown = _level_of(level_name) >= self.level
        if self._record_shown:
            out.append(f"{PREFIX} {level_name}: {text}")
        return out

    def flush(self) -> List[str]:
        """The note on lines that followed the last shown record, once."""
        if not self._extra:
            return []
        count, self._extra = self._extra, 0
        return [f"{PREFIX}   (+{count} more line{'s' if count != 1 else ''}; :kernellog shows them)"]
