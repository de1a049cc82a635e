"""Whose output is whose: a real kernel process runs overlapping requests that print, and every
line must arrive under its own request's id (and in its own reply's `logs`), in order, with
nothing lost, nothing sent under an id after its request ended, and threads that have no
request of their own writing process-wide."""

import asyncio
import textwrap

import pytest
import pytest_asyncio

from tarnlet_master.devhost import DevHost

pytestmark = [pytest.mark.asyncio(loop_scope="module"), pytest.mark.timeout(120)]

T = 30.0
WORKERS = 10
LINES = 60

CHATTER = textwrap.dedent("""
    import sys
    import threading
    import time

    gate = threading.Barrier(10, timeout=20)

    def chatter(tag, lines):
        # All ten calls print at once, each line apart, so their writes interleave.
        gate.wait()
        for i in range(lines):
            print(tag, "line", i)
            time.sleep(0.001)
        print(tag, "done", file=sys.stderr)
        return tag
""")


def expected_lines(tag, lines=LINES):
    return "".join(f"{tag} line {i}\n" for i in range(lines))


def text_of(messages, request_id, stream="stdout"):
    return "".join(m["content"] for m in messages if m.get("type") == stream and m.get("request_id") == request_id)


def process_wide(messages, stream="stdout"):
    return "".join(m["content"] for m in messages if m.get("type") == stream and "request_id" not in m)


@pytest_asyncio.fixture(loop_scope="module", scope="module")
async def kernel():
    async with DevHost() as host:
        session = await host.start_kernel("wb-output-routing")
        await session.update_module("chatter", CHATTER, timeout=T)
        yield session


async def gather_finals(kernel, messages, finals):
    """Sends `messages` at once and collects until each has its final message (`finals`: types)."""
    ids = {m["request_id"] for m in messages}
    with kernel.collect() as collector:
        for message in messages:
            await kernel.send(message)
        done = set()
        while done != ids:
            message = await collector.next(timeout=T)
            if message.get("type") in finals and message.get("request_id") in ids:
                done.add(message["request_id"])
        return collector.messages


def after_final(messages, request_id, finals):
    """The messages of `request_id` that came after its first final message."""
    mine = [m for m in messages if m.get("request_id") == request_id]
    last = next(i for i, m in enumerate(mine) if m["type"] in finals)
    return mine[last + 1:]


async def test_overlapping_console_runs_keep_their_own_output(kernel):
    await kernel.execute("import threading, time\nconsole_gate = threading.Barrier(10, timeout=20)", timeout=T)
    code = ("console_gate.wait()\n"
            "for i in range({lines}):\n"
            "    print({tag!r}, 'line', i)\n"
            "    time.sleep(0.001)\n")
    requests = [{"type": "execution_request", "request_id": f"console-{n}", "source": "ide",
                 "code": code.format(lines=LINES, tag=f"c{n}")} for n in range(WORKERS)]
    messages = await gather_finals(kernel, requests, ("execution_result", "execution_error"))
    for n in range(WORKERS):
        request_id = f"console-{n}"
        final = [m for m in messages if m.get("request_id") == request_id and m["type"].startswith("execution_")]
        assert [m["type"] for m in final] == ["execution_result"], final
        assert text_of(messages, request_id) == expected_lines(f"c{n}")
        assert text_of(messages, request_id, "stderr") == ""
        # The reply closes the request's output: nothing of it comes later.
        assert after_final(messages, request_id, ("execution_result",)) == []
    assert process_wide(messages) == ""


async def test_overlapping_worksheet_calls_keep_their_own_output_and_logs(kernel):
    requests = [{"type": "custom_function_call", "module_name": "chatter", "function_name": "chatter",
                 "args": [f"f{n}", LINES], "request_id": f"call-{n}", "workbook_id": kernel.workbook_id,
                 "source": "addin"} for n in range(WORKERS)]
    messages = await gather_finals(kernel, requests, ("function_execution_result",))
    for n in range(WORKERS):
        request_id, tag = f"call-{n}", f"f{n}"
        out, err = expected_lines(tag), f"{tag} done\n"
        assert text_of(messages, request_id) == out
        assert text_of(messages, request_id, "stderr") == err
        mine = [m for m in messages if m.get("request_id") == request_id]
        ide = next(m for m in mine if m["type"] == "execution_result")
        answer = next(m for m in mine if m["type"] == "function_execution_result")
        assert answer["status"] == "success" and answer["result"] == ide["result"]
        # logs: the captured stdout text, then the stderr text.
        assert ide["logs"] == answer["logs"] == out + err
        assert after_final(messages, request_id, ("function_execution_result",)) == []
        streamed = [i for i, m in enumerate(mine) if m["type"] in ("stdout", "stderr")]
        assert max(streamed) < mine.index(ide)
    assert process_wide(messages) == "" and process_wide(messages, "stderr") == ""


async def test_a_thread_without_a_request_writes_process_wide(kernel):
    await kernel.execute("import threading, time\nlate_lines = threading.Event()", timeout=T)
    with kernel.collect() as collector:
        # One line while the request still runs (it waits for it), one after its reply.
        reply = await kernel.execute(textwrap.dedent("""
            def background():
                print("while running")
                late_lines.set()
                time.sleep(0.5)
                print("after the end")
            threading.Thread(target=background).start()
            late_lines.wait(10)
            print("own line")
        """), timeout=T)
        assert reply.final["type"] == "execution_result"
        request_id = reply.final["request_id"]
        while "after the end\n" not in process_wide(collector.messages):
            await collector.next(timeout=T)
        messages = collector.messages
    assert text_of(messages, request_id) == "own line\n"
    assert process_wide(messages) == "while running\nafter the end\n"
    assert all(m["workbook_id"] == kernel.workbook_id for m in messages if m["type"] == "stdout")
    assert after_final(messages, request_id, ("execution_result",)) == []


async def test_redirect_stdout_inside_a_request_still_captures_while_others_print(kernel):
    await kernel.execute(textwrap.dedent("""
        import contextlib, io, sys, threading
        redirected = threading.Event()
        other_printed = threading.Event()
    """), timeout=T)
    holder = textwrap.dedent("""
        buffer = io.StringIO()
        print("before")
        with contextlib.redirect_stdout(buffer):
            redirected.set()
            print("into the buffer")
            other_printed.wait(10)
            print("still the buffer")
        print("after:", buffer.getvalue().replace(chr(10), "|"))
    """)
    # The other request starts once the first one's redirection is in place. (One that was
    # already running would print into the buffer: a redirection is process-wide in Python.)
    other = "print('other request')\nother_printed.set()\n"
    with kernel.collect() as collector:
        await kernel.send({"type": "execution_request", "request_id": "redirecting", "code": holder})
        assert (await kernel.execute("redirected.wait(10)", timeout=T)).final["type"] == "execution_result"
        assert (await kernel.execute(other, request_id="other", timeout=T)).final["type"] == "execution_result"
        await collector.until("execution_result", timeout=T, request_id="redirecting")
        messages = collector.messages
    assert text_of(messages, "redirecting") == "before\nafter: into the buffer|still the buffer|\n"
    assert text_of(messages, "other") == "other request\n"
    assert process_wide(messages) == ""


async def test_streams_keep_their_order_and_text(kernel):
    code = textwrap.dedent("""
        import sys
        for i in range(200):
            print("out", i)
            if i % 50 == 49:
                print("err", i, file=sys.stderr)
        sys.stdout.write("é ✓ 😀 \\udc80 end")
    """)
    reply = await kernel.execute(code, timeout=T)
    assert reply.final["type"] == "execution_result"
    runs = []
    for m in reply.of_type("stdout", "stderr"):
        if runs and runs[-1][0] == m["type"]:
            runs[-1][1] += m["content"]
        else:
            runs.append([m["type"], m["content"]])
    expected = []
    for block in range(4):
        expected.append(["stdout", "".join(f"out {i}\n" for i in range(block * 50, block * 50 + 50))])
        expected.append(["stderr", f"err {block * 50 + 49}\n"])
    expected.append(["stdout", "é ✓ 😀 \udc80 end"])
    assert runs == expected


async def test_a_flood_of_writes_arrives_whole_in_fewer_messages(kernel):
    lines = 20_000
    reply = await kernel.execute(f"for i in range({lines}):\n    print('line', i)\n", timeout=T)
    assert reply.final["type"] == "execution_result"
    assert reply.text() == "".join(f"line {i}\n" for i in range(lines))
    # Four writes a line; writes made while a message waits for the loop join it.
    assert len(reply.of_type("stdout")) < lines


async def test_a_burst_of_quiet_and_printing_calls_keeps_each_reply_behind_its_output(kernel):
    # Many calls end while the loop is busy, and their ends go to it together; a call that
    # printed last thing before returning must still have its output out before its reply.
    await kernel.update_module("burst", textwrap.dedent("""
        def burst(n):
            if n % 3 == 0:
                print("from", n)
            return n * 2
    """), timeout=T)
    calls = 300
    requests = [{"type": "custom_function_call", "module_name": "burst", "function_name": "burst", "args": [n],
                 "request_id": f"burst-{n}", "workbook_id": kernel.workbook_id, "source": "addin"}
                for n in range(calls)]
    messages = await gather_finals(kernel, requests, ("function_execution_result",))
    for n in range(calls):
        request_id = f"burst-{n}"
        mine = [m for m in messages if m.get("request_id") == request_id]
        answers = [m for m in mine if m["type"] == "function_execution_result"]
        assert [(a["status"], a["result"]) for a in answers] == [("success", n * 2)], answers
        assert text_of(messages, request_id) == (f"from {n}\n" if n % 3 == 0 else "")
        if n % 3 == 0:
            streamed = [i for i, m in enumerate(mine) if m["type"] == "stdout"]
            assert max(streamed) < mine.index(answers[0])
