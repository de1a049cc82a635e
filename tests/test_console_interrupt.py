"""Ctrl-C in the console: at the prompt it clears what was typed; while a request runs it
interrupts it (a stream: cancels it), and a second Ctrl-C stops waiting for it."""

import json
import pathlib
import sys
import time

import pytest

import console_pty as cp

pytestmark = pytest.mark.timeout(120)

LOOPS = '''\
import time


def spin():
    n = 0
    while True:
        n += 1


def slow_values():
    yield 1
    while True:
        pass


def ticks():
    n = 0
    while True:
        time.sleep(0.02)
        n += 1
        yield n
'''


@pytest.fixture
def console(tmp_path):
    (tmp_path / "mods").mkdir()
    (tmp_path / "mods" / "loops.py").write_text(LOOPS)
    session = cp.ConsolePty(tmp_path, "--load", str(tmp_path / "mods"))
    yield session
    session.close()


def test_ctrl_c_at_the_prompt_discards_the_line_and_the_open_block(console):
    console.send("1/0")
    time.sleep(0.3)
    console.interrupt()
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out
    # A statement left open over several lines goes too.
    console.send("for i in range(3):\r")
    console.expect_text("... ")
    console.send("    print('never', i)\r")
    console.expect_text("... ")
    console.interrupt()
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out
    out = console.run("print('after', 6 * 7)")
    assert "after 42" in out
    assert "never" not in out and "ZeroDivisionError" not in out
    assert cp.kernel_alive(console.pid)
    text, status = console.quit()
    assert status == 0


def test_cancelling_a_stream_leaves_the_console_serving(console):
    console.send(":stream loops.ticks\r")
    console.expect(r"<- 3\b")
    console.interrupt()
    out = console.expect_prompt()
    assert "(stream cancelled)" in out
    assert "no longer waiting" not in out
    assert "4" in console.run("2 + 2")


def test_second_ctrl_c_abandons_and_late_output_is_labelled(console):
    console.run("import time")
    console.send("time.sleep(1.5); print('late output')\r")
    time.sleep(0.5)
    console.interrupt()
    time.sleep(0.2)
    console.interrupt()
    out = console.expect_prompt()
    assert "no longer waiting for In[2]" in out
    # What the next request prints is its own, whatever the abandoned one still does.
    out = console.run("print('next one')")
    assert out.strip().splitlines()[0] == "next one"
    assert "late output" not in out.split("next one")[0]
    # The abandoned request's end shows up marked with its cell.
    later = console.expect(r"\[In\[2\]\] (late output|ended with KeyboardInterrupt)", timeout=10)
    assert "next one" not in later
    if console.child.match.group(1) == "late output":
        console.expect_text("[In[2]] finished")
    console.expect_prompt()                          # drawn again below what arrived
    assert "6" in console.run("3 + 3")


def test_ctrl_c_interrupts_a_busy_loop_and_the_namespace_survives(console):
    console.run("n = 0")
    console.send("while True:\r    n += 1\r\r")
    time.sleep(1.0)
    console.interrupt()
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out
    assert "Cell In[2], line" in out           # it points at the loop that was running
    assert "no longer waiting" not in out
    assert "True" in console.run("n > 0")


def test_ctrl_c_interrupts_a_worksheet_function_and_a_blocked_stream(console):
    console.send(":call loops.spin\r")
    time.sleep(1.0)
    console.interrupt()
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out and "no longer waiting" not in out
    # A generator busy between two values does not see the cancellation: the interrupt stops it.
    console.send(":stream loops.slow_values\r")
    console.expect(r"<- 1\b")
    console.interrupt()
    out = console.expect_prompt()
    assert "no longer waiting" not in out
    assert "KeyboardInterrupt" in out or "(stream cancelled)" in out
    # Log lines of the failed stream may still come, each drawing the prompt again: wait for
    # the answer itself.
    console.send("1 + 1\r")
    console.expect(r"\n2\r\n")
    console.expect_prompt()
    assert cp.kernel_alive(console.pid)


@pytest.fixture
def answering_peer(tmp_path):
    """A console whose "kernel" is a stand-in that answers interrupt_request, and that peer's log."""
    log = tmp_path / "peer.jsonl"
    log.touch()
    wrapper = tmp_path / "peer-python"
    peer = pathlib.Path(__file__).with_name("interrupting_peer.py")
    wrapper.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{peer}" "$@"\n')
    wrapper.chmod(0o755)
    session = cp.ConsolePty(tmp_path, "--python", str(wrapper), env={"PEER_LOG": str(log)})

    def received(kind):
        return [m for m in map(json.loads, log.read_text().splitlines()) if m.get("type") == kind]

    yield session, received
    session.close()


def test_console_speaks_the_interrupt_protocol(answering_peer):
    console, received = answering_peer
    console.send("while True:\r    n += 1\r\r")
    console.expect_text("spinning")
    console.interrupt()
    out = console.expect_prompt()
    assert "Cell In[1], line 2, in <module>\n    n += 1\nKeyboardInterrupt" in out
    assert "no longer waiting" not in out and "does not answer" not in out
    execution = received("execution_request")[-1]
    assert received("interrupt_request") == [{"type": "interrupt_request", "request_id": execution["request_id"]}]

    console.send(":call m.spin\r")
    console.expect_text("calling")
    console.interrupt()
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out and "no longer waiting" not in out
    assert received("interrupt_request")[-1]["request_id"] == received("custom_function_call")[-1]["request_id"]

    # A stream is cancelled first; one that runs on past the cancellation is interrupted.
    console.send(":stream m.busy\r")
    console.expect(r"<- 1\b")
    console.interrupt()
    out = console.expect_prompt()
    assert "stream failed: KeyboardInterrupt" in out
    stream_id = received("execute_streaming_function")[-1]["request_id"]
    assert received("cancel_streaming_function") == [{"type": "cancel_streaming_function", "request_id": stream_id}]
    assert received("interrupt_request")[-1]["request_id"] == stream_id


def test_nothing_to_interrupt_then_a_second_ctrl_c_stops_waiting(answering_peer):
    console, received = answering_peer
    console.send("deaf = 1\r")
    time.sleep(0.5)
    console.interrupt()
    console.expect_text("the kernel found nothing to interrupt")
    console.interrupt()
    out = console.expect_prompt()
    assert "no longer waiting for In[1]" in out
    assert len(received("interrupt_request")) == 1      # the second Ctrl-C only stops waiting


def test_an_interrupted_request_that_runs_on_gets_a_note(answering_peer):
    console, received = answering_peer
    console.send("blocked = 1\r")
    console.expect_text("spinning")
    console.interrupt()
    console.expect_text("stops when the call returns")
    out = console.expect_prompt()
    assert "KeyboardInterrupt" in out and "no longer waiting" not in out
