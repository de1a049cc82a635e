"""Logging set-up shared by the kernel process and its companions.

A kernel runs as a child process of the Business Layer, which collects the
child's stderr.  So the process gets exactly one handler, on stderr, and every
module takes its logger from :func:`get_logger`.

The handler only hands each record to a queue; a listener thread formats the
records and writes them to stderr, several lines per write when they come in
a burst.  The event loop thread, which logs a few lines for every request,
never waits for a format or a pipe write.  The listener is stopped (and what
it holds written out) when the interpreter exits; records logged after that
are written on the spot.

The level comes from the environment variable ``TARNLET_LOG_LEVEL`` (a level
name such as ``DEBUG`` or a number); it defaults to ``INFO``.
"""

from __future__ import annotations

import atexit
import copy
import logging
import logging.handlers
import os
import queue
import sys
import threading
import time

LOG_LEVEL_ENV_VAR = "TARNLET_LOG_LEVEL"
DEFAULT_LEVEL = logging.INFO
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# The root logger carries the handler so that loggers of third-party
# libraries (websockets, jedi) end up on stderr too.
_HANDLER_MARK = "_tarnlet_subprocess_handler"
_setup_lock = threading.Lock()

# Lines the writer gathers before it writes them even though more are queued,
# so that a flood of records cannot hold text back for long.
_BATCH_LINES = 256

# How long the writer lets a burst gather after a quiet spell before it takes
# the first record up: one wake-up and one write for the lines of a request,
# instead of one each, on a thread that competes with the event loop for the GIL.
_GATHER_SECONDS = 0.002

# Arguments whose text cannot change between the logging call and the
# listener's formatting; any other argument is formatted on the caller's thread.
_FROZEN_ARG_TYPES = (str, int, float, bool, type(None), bytes)


def _level_from_env() -> int:
    raw = os.environ.get(LOG_LEVEL_ENV_VAR, "").strip()
    if not raw:
        return DEFAULT_LEVEL
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    # getLevelName answers "Level X" for unknown names instead of failing.
    return level if isinstance(level, int) else DEFAULT_LEVEL


class _Formatter(logging.Formatter):
    """logging.Formatter whose time text is made once per second of the clock."""

    def __init__(self, fmt):
        super().__init__(fmt)
        self._second = None
        self._second_text = ""

    def formatTime(self, record, datefmt=None):
        if datefmt is not None or self.converter is not time.localtime or not self.default_msec_format:
            return super().formatTime(record, datefmt)
        second = int(record.created)
        if second != self._second:
            self._second_text = time.strftime(self.default_time_format, self.converter(record.created))
            self._second = second
        return self.default_msec_format % (self._second_text, record.msecs)


class _BatchingStreamHandler(logging.StreamHandler):
    """Formats records as a StreamHandler does, but writes only on flush()."""

    def __init__(self, stream):
        super().__init__(stream)
        self._pending: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self._pending.append(self.format(record) + self.terminator)
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)
            return
        if len(self._pending) >= _BATCH_LINES:
            self.flush()

    def flush(self) -> None:
        self.acquire()
        try:
            text = "".join(self._pending)
            self._pending.clear()
            # Called from the listener's loop: it must not raise, or the
            # listener would end and every later record would stay queued.
            try:
                if text:
                    self.stream.write(text)
                self.stream.flush()
            except Exception:
                self.handleError(None)  # reports the failure on sys.stderr, if it can
        finally:
            self.release()

    def _drop_pending(self) -> None:
        # In a forked child: these lines are the parent's to write.
        self._pending.clear()


class _Listener(logging.handlers.QueueListener):
    """Writes out what it has gathered whenever the queue runs empty."""

    def __init__(self, records, writer: _BatchingStreamHandler):
        super().__init__(records, writer)
        self._writer = writer
        self.thread_ident: int | None = None

    def dequeue(self, block):
        self.thread_ident = threading.get_ident()
        try:
            return self.queue.get_nowait()
        except queue.Empty:
            self._writer.flush()
        record = self.queue.get(block)
        if _GATHER_SECONDS:
            time.sleep(_GATHER_SECONDS)
        return record


class _QueueHandler(logging.handlers.QueueHandler):
    """Hands records to the listener; writes them itself once it has stopped."""

    def __init__(self, stream):
        records = queue.SimpleQueue()
        super().__init__(records)
        self.writer = _BatchingStreamHandler(stream)
        self.writer.setFormatter(_Formatter(LOG_FORMAT))
        self._listener = _Listener(records, self.writer)
        self._listening = True
        self._listener.start()

    def prepare(self, record: logging.LogRecord) -> logging.LogRecord:
        # Formatting waits for the listener, except for what could change or
        # vanish in the meantime: arguments that are not plain values, and the
        # exception with its traceback.  The record is copied only then, as
        # other handlers may still read the original.
        args = record.args
        mutable_args = bool(args) and (
            not isinstance(args, tuple) or not all(isinstance(arg, _FROZEN_ARG_TYPES) for arg in args))
        if not (mutable_args or record.exc_info or not isinstance(record.msg, str)):
            return record
        record = copy.copy(record)
        record.msg = record.getMessage()
        record.args = None
        if record.exc_info:
            if not record.exc_text:
                record.exc_text = self.writer.formatter.formatException(record.exc_info)
            record.exc_info = None
        return record

    def handle(self, record: logging.LogRecord):
        if self._listener.thread_ident == threading.get_ident():
            # Logged while the listener formats or writes (a failing write, a
            # replaced sys.stderr): written at once, as the listener cannot
            # wait for itself, and stop() holds this handler's lock meanwhile.
            return self.writer.handle(record)
        return super().handle(record)

    def emit(self, record: logging.LogRecord) -> None:
        # Runs under this handler's lock, as does stop(): a record is either
        # queued before the listener's stop mark or written here after it.
        if not self._listening:
            self.writer.handle(record)
            self.writer.flush()
        else:
            super().emit(record)

    def stop(self) -> None:
        """Write out every queued record and stop the listener thread."""
        self.acquire()
        try:
            if self._listening:
                self._listening = False
                self._listener.stop()
                self.writer.flush()
        finally:
            self.release()

    def _after_fork_in_child(self) -> None:
        # The listener thread does not exist in a forked child.
        self._listening = False
        self.writer._drop_pending()


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
            handler = _QueueHandler(sys.__stderr__ or sys.stderr)
            setattr(handler, _HANDLER_MARK, True)
            atexit.register(handler.stop)
            if hasattr(os, "register_at_fork"):
                os.register_at_fork(after_in_child=handler._after_fork_in_child)
            root.addHandler(handler)
        handler.setLevel(logging.NOTSET)
        root.setLevel(level)
    return handler


def get_logger(name: str) -> logging.Logger:
    """The standard logger called ``name``."""
    return logging.getLogger(name)
