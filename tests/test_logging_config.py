"""The process's log handler: records go through a queue to a writer thread, and
every line still reaches stderr with its text, level and format, in order, up
to the last one before the process exits."""

import io
import logging
import re
import threading

import pytest

from tarnlet_master import logging_config
from tarnlet_master.devhost import DevHost

pytestmark = pytest.mark.timeout(60)

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (?P<level>[A-Z]+) (?P<name>\S+): (?P<message>.*)$")


@pytest.fixture
def queued():
    """A queue handler writing to a StringIO, on a logger of its own; stopped afterwards."""
    stream = io.StringIO()
    handler = logging_config._QueueHandler(stream)
    logger = logging.getLogger(f"test.queued.{id(handler)}")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield logger, handler, stream
    handler.stop()
    logger.removeHandler(handler)


def parsed(stream):
    return [LINE.match(line) for line in stream.getvalue().splitlines()]


def test_lines_from_many_threads_keep_text_level_and_order(queued):
    logger, handler, stream = queued
    threads = [threading.Thread(target=lambda t=t: [logger.warning("thread %d line %d", t, i) for i in range(2000)])
               for t in range(4)]
    for thread in threads:
        thread.start()
    logger.debug("debug %s", "text")
    for thread in threads:
        thread.join()
    handler.stop()
    lines = parsed(stream)
    assert all(lines), stream.getvalue()[:500]
    by_thread = {}
    for line in lines:
        found = re.fullmatch(r"thread (\d) line (\d+)", line["message"])
        if found:
            assert line["level"] == "WARNING" and line["name"] == logger.name
            by_thread.setdefault(int(found[1]), []).append(int(found[2]))
    assert by_thread == {t: list(range(2000)) for t in range(4)}
    assert [(m["level"], m["message"]) for m in lines if m["level"] == "DEBUG"] == [("DEBUG", "debug text")]


def test_what_could_change_later_is_taken_at_the_call(queued):
    logger, handler, stream = queued
    seen = []
    other = logging.Handler()
    other.emit = seen.append
    logger.addHandler(other)

    class Shifting:
        text = "first"

        def __str__(self):
            return self.text

    items, shifting, error = [1], Shifting(), ValueError("before")
    logger.info("items %s", items)
    logger.info(shifting)
    logger.error("failed", exc_info=error)
    items.append(2)
    shifting.text = "second"
    error.args = ("after",)
    handler.stop()
    text = stream.getvalue()
    assert "items [1]\n" in text and ": first\n" in text
    assert "ValueError: before" in text and "after" not in text
    # The other handler still gets the records as they were logged.
    assert [r.args for r in seen] == [(items,), (), ()]
    assert seen[2].exc_info[1] is error


def test_records_logged_while_and_after_it_stops_are_all_written_in_order(queued):
    logger, handler, stream = queued
    go = threading.Event()

    def flood(t):
        go.wait()
        for i in range(3000):
            logger.info("t%d %d", t, i)

    threads = [threading.Thread(target=flood, args=(t,)) for t in range(3)]
    for thread in threads:
        thread.start()
    go.set()
    handler.stop()  # while the threads are still logging
    for thread in threads:
        thread.join()
    logger.info("last")
    messages = [m["message"] for m in parsed(stream)]
    assert messages[-1] == "last"
    for t in range(3):
        assert [m for m in messages if m.startswith(f"t{t} ")] == [f"t{t} {i}" for i in range(3000)]


def wait_for(condition, timeout=10.0):
    done = threading.Event()
    for _ in range(int(timeout / 0.005)):
        if condition():
            return
        done.wait(0.005)
    raise AssertionError("condition not met in time")


class FailingOnce(io.StringIO):
    def __init__(self):
        super().__init__()
        self.writes = 0

    def write(self, text):
        self.writes += 1
        if self.writes == 1:
            raise OSError("pipe full")
        return super().write(text)


def test_the_writer_survives_a_failed_write(capsys):
    stream = FailingOnce()
    handler = logging_config._QueueHandler(stream)
    logger = logging.getLogger("test.failing")
    logger.propagate = False
    logger.addHandler(handler)
    try:
        logger.warning("lost with the failed write")
        wait_for(lambda: stream.writes >= 1)
        for i in range(50):
            logger.warning("next %d", i)
        handler.stop()
    finally:
        logger.removeHandler(handler)
        handler.stop()
    assert [m["message"] for m in parsed(stream)] == [f"next {i}" for i in range(50)]
    assert "--- Logging error ---" in capsys.readouterr().err


class LoggingStream(io.StringIO):
    """Its first write waits for `release`, then logs a line of its own (on the writer thread)."""

    def __init__(self, logger):
        super().__init__()
        self.logger, self.writes = logger, 0
        self.entered, self.release = threading.Event(), threading.Event()

    def write(self, text):
        self.writes += 1
        if self.writes == 1:
            self.entered.set()
            self.release.wait(10)
            self.logger.warning("logged by the stream")
        return super().write(text)


def test_logging_from_the_writer_while_it_stops_neither_blocks_nor_loses_the_line():
    logger = logging.getLogger("test.reentrant")
    logger.propagate = False
    stream = LoggingStream(logger)
    handler = logging_config._QueueHandler(stream)
    logger.addHandler(handler)
    try:
        logger.warning("first")
        assert stream.entered.wait(10)
        logger.warning("queued behind")
        stopper = threading.Thread(target=handler.stop)
        stopper.start()
        # Until stop() holds the handler's lock and waits for the writer.
        while handler.lock.acquire(blocking=False):
            handler.lock.release()
            threading.Event().wait(0.001)
        stream.release.set()
        stopper.join(10)
        assert not stopper.is_alive(), "stop() waits for a writer that waits for stop()"
    finally:
        stream.release.set()
        logger.removeHandler(handler)
    assert [m["message"] for m in parsed(stream)] == ["first", "logged by the stream", "queued behind"]


FLOOD = """
import atexit, logging
flood = logging.getLogger("user.flood")
for i in range(3000):
    flood.warning("flood %d", i)
# Megabytes to write when the interpreter exits: more than a pipe takes at once.
atexit.register(lambda: [logging.getLogger("user.atexit").warning("at exit %d %s", i, "x" * 20000)
                         for i in range(300)])
"""


async def test_a_kernel_writes_every_line_to_stderr_up_to_its_exit():
    async with DevHost(kernel_log_level="INFO") as host:
        kernel = await host.start_kernel("wb-log")
        reply = await kernel.execute(FLOOD, timeout=30)
        assert reply.final.get("type") == "execution_result", reply.final
        code = await host.stop_kernel("wb-log")
    assert code == 0
    lines = [LINE.match(line) for line in kernel.stderr_lines]
    assert all(lines), [line for line in kernel.stderr_lines if not LINE.match(line)][:5]
    flood = [m["message"] for m in lines if m["name"] == "user.flood"]
    assert flood == [f"flood {i}" for i in range(3000)]
    assert all(m["level"] == "WARNING" for m in lines if m["name"] == "user.flood")
    kernel_lines = [(m["level"], m["message"]) for m in lines if m["name"] == "tarnlet_master.python_server.kernel"]
    assert ("INFO", "Kernel connected for workbook: wb-log") in kernel_lines
    assert kernel_lines[-1] == ("INFO", "Kernel disconnected for workbook: wb-log")
    messages = [m["message"] for m in lines]
    assert messages.index("flood 2999") < messages.index("Kernel disconnected for workbook: wb-log")
    # Logged by an exit hook, after the kernel's last line: the writer thread is stopped after it.
    after = lines[messages.index("Kernel disconnected for workbook: wb-log"):]
    assert [m["message"] for m in after if m["name"] == "user.atexit"] == [f"at exit {i} {'x' * 20000}"
                                                                           for i in range(300)]
