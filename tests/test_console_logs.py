"""The kernel's log in the console: from WARNING up by default, one short line per record,
printed above a waiting prompt without losing what was typed."""

import logging

import pytest

from tarnlet_master.devhost.kernel_log import KernelLogView, console_level, parse_level
from tarnlet_master.devhost.session import KernelSession
import console_pty as cp

STAMP = "2026-12-09 03:20:34,977"


def test_records_at_or_above_the_level_become_short_lines():
    view = KernelLogView(logging.WARNING)
    assert view.feed(f"{STAMP} INFO tarnlet_master.python_server.kernel: [Kernel] Sending result") == []
    assert view.feed(f"{STAMP} WARNING tarnlet_master.python_server.kernel: [Kernel] odd: a: b") == \
        ["kernel WARNING: [Kernel] odd: a: b"]
    assert view.feed(f"{STAMP} ERROR x.y: failed") == ["kernel ERROR: failed"]
    # The traceback under a shown record is counted, then summed up once.
    assert view.feed("Traceback (most recent call last):") == []
    assert view.feed("ValueError: nope") == []
    assert view.flush() == ["kernel   (+2 more lines; :kernellog shows them)"]
    assert view.flush() == []
    # Lines under a hidden record stay hidden; the next record sums up the previous one's first.
    view.feed(f"{STAMP} WARNING a: one")
    view.feed("detail")
    assert view.feed(f"{STAMP} DEBUG a: two") == ["kernel   (+1 more line; :kernellog shows them)"]
    assert view.feed("hidden detail") == [] and view.flush() == []


def test_a_log_line_arriving_mid_line_waits_for_the_line_to_end(monkeypatch):
    import io
    from tarnlet_master.devhost.console_terminal import Terminal
    out = io.StringIO()
    terminal = Terminal(stdin=io.StringIO(""), stdout=out)
    terminal.write("still runs")
    terminal.show("kernel ERROR: late")
    terminal.write(" 1\npartial")
    assert out.getvalue() == "still runs 1\nkernel ERROR: late\npartial"
    terminal.show("kernel WARNING: held until the prompt")
    def end_of_input(prompt):
        out.write(prompt)
        raise EOFError
    monkeypatch.setattr("builtins.input", end_of_input)
    with pytest.raises(EOFError):
        terminal.read(">>> ")
    assert out.getvalue().endswith("partial\nkernel WARNING: held until the prompt\n>>> ")


def test_output_that_is_no_log_record_is_shown_before_the_first_record():
    view = KernelLogView(logging.ERROR)
    assert view.feed("Fatal Python error: Segmentation fault") == ["kernel: Fatal Python error: Segmentation fault"]
    assert view.feed(f"{STAMP} Level 35 a: custom") == []
    assert KernelLogView(30).feed(f"{STAMP} Level 35 a: custom") == ["kernel Level 35: custom"]


def test_level_comes_from_the_option_then_the_environment(monkeypatch):
    monkeypatch.delenv("TARNLET_LOG_LEVEL", raising=False)
    assert console_level() == logging.WARNING
    monkeypatch.setenv("TARNLET_LOG_LEVEL", "debug")
    assert console_level() == logging.DEBUG
    assert console_level("error") == logging.ERROR
    monkeypatch.setenv("TARNLET_LOG_LEVEL", "loud")          # not a level: the default stands
    assert console_level() == logging.WARNING
    assert parse_level("15") == 15 and parse_level("nonsense") is None


@pytest.mark.timeout(120)
def test_console_shows_warnings_above_the_prompt(tmp_path):
    console = cp.ConsolePty(tmp_path, env={"TARNLET_LOG_LEVEL": ""})
    try:
        console.run("import logging, threading; log = logging.getLogger('user.code')")
        console.send("log.warning('careful now'); log.info('quiet info')\r")
        console.expect_text("kernel WARNING: careful now")
        console.expect_prompt()     # after the result, or drawn again below the line
        # A record that arrives while the prompt waits: printed above it, the typed text kept.
        console.run("threading.Timer(1.0, lambda: log.error('from a timer')).start()")
        console.send("6 * ")
        console.expect_text("kernel ERROR: from a timer")
        console.expect_text(">>> 6 * ")
        assert "42" in console.run("7")
        out = console.run(":kernellog 5")
        assert "ERROR user.code: from a timer" in out      # the full line, time stamp and logger
        assert "kernel INFO" not in console.everything()
    finally:
        console.close()


@pytest.mark.timeout(120)
def test_log_level_option_shows_more(tmp_path):
    console = cp.ConsolePty(tmp_path, "--log-level", "INFO")
    try:
        console.send("import logging; logging.getLogger('user.code').info('now visible')\r")
        console.expect_text("kernel INFO: now visible")
    finally:
        console.close()


async def test_message_log_shows_streamed_writes_as_lines():
    traced = []
    session = KernelSession("wb", log=traced.append)
    for part in ("li", "ne 1\nline", " 2\n", "tail"):
        session._trace("<-", {"type": "stdout", "content": part, "request_id": "r1"})
    session._trace("<-", {"type": "stderr", "content": "oops\n", "request_id": "r2"})
    session._trace("<-", {"type": "execution_result", "request_id": "r1"})
    assert traced[:3] == ["[wb] <- stdout line 'line 1' request_id='r1'",
                          "[wb] <- stdout line 'line 2' request_id='r1'",
                          "[wb] <- stderr line 'oops' request_id='r2'"]
    # What was left without a newline comes out before the request's next message.
    assert traced[3] == "[wb] <- stdout text 'tail' request_id='r1' (no newline)"
    assert traced[4].startswith("[wb] <- execution_result")
