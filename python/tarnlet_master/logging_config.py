"""Logging set-up shared by the kernel process and its companions.

A kernel runs as a child process of the Business Layer, which collects the
child's stderr.  So the process gets exactly one handler, on stderr, and every
module takes its logger from :func:`get_logger`.

The level comes from the environment variable ``TARNLET_LOG_LEVEL`` (a level
name such as ``DEBUG`` or a number); it defaults to ``INFO``.
"""

from __future__ import annotations

import logging
import os
import sys
import threading

LOG_LEVEL_ENV_VAR = "TARNLET_LOG_LEVEL"
DEFAULT_LEVEL = logging.INFO
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# The root logger carries the handler so that loggers of third-party
# libraries (websockets, jedi) end up on stderr too.
_HANDLER_MARK = "_tarnlet_subprocess_handler"
_setup_lock = threading.Lock()


def _level_from_env() -> int:
    raw = os.environ.get(LOG_LEVEL_ENV_VAR, "").strip()
    if not raw:
        return DEFAULT_LEVEL
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    # getLevelName answers "Level X" for unknown names instead of failing.
    return level if isinstance(level, int) else DEFAULT_LEVEL


def setup_logging_subprocess() -> logging.Handler:
    """Install the stderr handler on the root logger, once per process.

    Calling it again does not add a second handler; it only re-reads the
    level from the environment.  Returns the handler in use.
    """
    level = _level_from_env()
    root = logging.getLogger()
    with _setup_lock:
        handler = next((h for h in root.handlers if getattr(h, _HANDLER_MARK, False)), None)
        if handler is None:
            # sys.__stderr__: the kernel later replaces sys.stderr with a hook
            # that forwards to the IDE; log lines must not travel that way.
            handler = logging.StreamHandler(sys.__stderr__ or sys.stderr)
            handler.setFormatter(logging.Formatter(LOG_FORMAT))
            setattr(handler, _HANDLER_MARK, True)
            root.addHandler(handler)
        handler.setLevel(logging.NOTSET)
        root.setLevel(level)
    return handler


def get_logger(name: str) -> logging.Logger:
    """The standard logger called ``name``."""
    return logging.getLogger(name)
