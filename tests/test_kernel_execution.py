"""Code execution and module runs end to end: a real kernel connected to a real websockets peer."""

import asyncio
import logging
import uuid

import pytest

import tarnlet_master.python_server.kernel as kmod

KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
TIMEOUT = 10
WB = "wb-exec"


WORKBOOK = WB


async def execute(peer, code, request_id=None, **fields):
    request_id = request_id or uuid.uuid4().hex
    await peer.send({"type": "execution_request", "code": code, "request_id": request_id, **fields})
    return await peer.until(request_id, "execution_result", "execution_error")


def items(msg):
    return list(msg.items())


class TestExecutionRequest:
    async def test_expression_gives_output_line_then_repr_result(self, peer):
        out, result = await execute(peer, "1+1", request_id="r1")
        assert items(out) == [("type", "result_output"), ("content", "Out: 2\n"), ("request_id", "r1"),
                              ("workbook_id", WB), ("source", "ide")]
        assert items(result) == [("type", "execution_result"), ("success", True), ("result", "2"),
                                 ("request_id", "r1"), ("function_name", None), ("workbook_id", WB),
                                 ("source", "ide")]

    async def test_labelled_run_gives_the_value_itself(self, peer):
        *_, result = await execute(peer, "[1+1, 'x']", function_name="f", source="addin")
        assert result["result"] == [2, "x"] and result["function_name"] == "f" and result["source"] == "addin"
        *_, result = await execute(peer, "7", function_name="")
        assert result["result"] == "7"

    async def test_statement_gives_no_output_line(self, peer):
        messages = await execute(peer, "x = 1")
        assert [m["type"] for m in messages] == ["execution_result"]
        assert messages[0]["result"] is None

    async def test_print_streams_each_write_before_the_result(self, peer):
        messages = await execute(peer, "print('hi')", request_id="p1", source="addin")
        # Writes made while a message waits for the loop join it: one or more "stdout" messages.
        *streamed, final = messages
        assert streamed and all(
            items(m) == [("type", "stdout"), ("content", m["content"]), ("request_id", "p1"), ("workbook_id", WB),
                         ("source", "addin")] for m in streamed)
        assert "".join(m["content"] for m in streamed) == "hi\n"
        assert final["type"] == "execution_result" and final["result"] is None

    async def test_many_lines_arrive_in_order_and_all_before_the_result(self, peer):
        code = "import sys\nfor i in range(300):\n    print(i)\n    sys.stderr.write(f'e{i}')"
        messages = await execute(peer, code)
        assert messages[-1]["type"] == "execution_result"
        stdout = "".join(m["content"] for m in messages if m["type"] == "stdout")
        stderr = [m["content"] for m in messages if m["type"] == "stderr"]
        assert stdout == "".join(f"{i}\n" for i in range(300))
        assert stderr == [f"e{i}" for i in range(300)]

    async def test_user_error_is_an_execution_error_with_the_error_dict(self, peer):
        messages = await execute(peer, "print('before')\n1/0", request_id="z", function_name="g")
        # The output comes first, in one or more "stdout" messages.
        assert {m["type"] for m in messages[:-1]} == {"stdout"} and messages[-1]["type"] == "execution_error"
        assert "".join(m["content"] for m in messages[:-1]) == "before\n"
        error = messages[-1]
        assert [k for k, _ in items(error)] == ["type", "success", "error", "request_id", "function_name",
                                               "workbook_id", "source"]
        assert error["success"] is False and error["function_name"] == "g" and error["workbook_id"] == WB
        assert error["error"]["type"] == "ZeroDivisionError"
        assert error["error"]["message"] == "division by zero"
        assert error["error"]["traceback"].endswith("ZeroDivisionError: division by zero\n")

    async def test_namespace_persists_and_console_faults_are_mended(self, peer):
        await execute(peer, 's = "a; b"')
        *_, result = await execute(peer, "s")
        assert result["result"] == "'a; b'"
        await execute(peer, "import math")
        await execute(peer, "def f():\n    return math.pi")
        *_, result = await execute(peer, "f()")
        assert result["result"] == repr(__import__("math").pi)

    async def test_executions_run_concurrently(self, peer):
        await execute(peer, "import threading; gate = threading.Event()")
        await peer.send({"type": "execution_request", "code": "gate.wait(10)", "request_id": "A"})
        # A blocks a worker until B, sent after it, opens the gate.
        b = await execute(peer, "gate.set(); 'B'", request_id="B")
        assert b[-1]["result"] == "'B'"
        a = await peer.until("A", "execution_result", "execution_error")
        assert a[-1]["result"] == "True"

    async def test_handler_failure_sends_the_short_error(self, peer):
        # The value's repr is fine, but it cannot be encoded as the labelled result.
        messages = await execute(peer, "object()", request_id="bad", function_name="f")
        assert messages[0]["type"] == "result_output"
        error = messages[-1]
        assert [k for k, _ in items(error)] == ["type", "success", "error", "request_id", "source"]
        assert error["success"] is False and set(error["error"]) == {"type", "message", "traceback"}
        *_, ok = await execute(peer, "1+1")
        assert ok["result"] == "2"

    async def test_shut_down_pool_is_reported_not_raised(self, peer, caplog):
        peer.kernel._thread_pool.shutdown(wait=True)
        with caplog.at_level(logging.ERROR, logger=KERNEL_LOGGER):
            (error,) = await execute(peer, "1+1", request_id="gone", source="addin")
        assert items(error)[:2] == [("type", "execution_error"), ("success", False)]
        assert error["error"]["type"] == "RuntimeError"
        assert (error["request_id"], error["source"]) == ("gone", "addin")
        messages = [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]
        assert any(m.startswith("[TIMING] Execution failed: request_id=gone, elapsed=") for m in messages)
        assert any(m.startswith("[Kernel] Unexpected error in _execute_code_async: ") for m in messages)

    async def test_an_error_reply_that_cannot_be_sent_is_logged_and_the_kernel_goes_on(self, peer, caplog,
                                                                                        monkeypatch):
        sent = peer.kernel.send_message

        async def refusing(message):
            if message.get("request_id") == "lost":
                raise OSError("peer went away")
            return await sent(message)

        monkeypatch.setattr(peer.kernel, "send_message", refusing)
        given_up = "[Kernel] Failed to send error message: peer went away"
        with caplog.at_level(logging.ERROR, logger=KERNEL_LOGGER):
            await peer.send({"type": "execution_request", "code": "1+1", "request_id": "lost"})
            for _ in range(TIMEOUT * 100):  # the request has no answer to wait for: its log line
                messages = [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]
                if given_up in messages:
                    break
                await asyncio.sleep(0.01)
            *_, ok = await execute(peer, "2+2")
        assert ok["result"] == "4"
        assert "[Kernel] Unexpected error in _execute_code_async: peer went away" in messages
        assert given_up in messages

    async def test_log_lines(self, peer, caplog):
        with caplog.at_level(logging.DEBUG, logger=KERNEL_LOGGER):
            await execute(peer, "1/0", request_id="L", function_name="fn")
            await execute(peer, "2", request_id="M")
        messages = [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]
        assert "[TIMING] Execution started: request_id=L, function=fn" in messages
        assert "[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=L)" in messages
        assert any(m.startswith("[Kernel] [Worker Thread ") and m.endswith("] Executing code (request_id=L)")
                   for m in messages)
        assert any(m.startswith("[Kernel] [Worker Thread ") and m.endswith("] Execution completed (request_id=L)")
                   for m in messages)
        assert any(m.startswith("[TIMING] Execution completed: request_id=L, elapsed=") and m.endswith("ms")
                   for m in messages)
        assert "[Kernel] [Async Task] Execution finished, success=False (request_id=L)" in messages
        assert any(m.startswith("[Kernel] Sending execution_error for request_id=L: {'type': 'ZeroDivisionError'")
                   for m in messages)
        assert "[Kernel] Sending execution_result (success) for request_id=M" in messages


class TestRunModule:
    @pytest.fixture
    async def module(self, peer):
        name = f"runmod_{uuid.uuid4().hex[:8]}"
        await peer.send({"type": "update_module", "module_name": name,
                         "code": "def add(a, b):\n    print('adding')\n    return a + b\n"})
        yield name
        await peer.send({"type": "delete_module", "module_name": name})

    async def test_run_without_debug_is_a_custom_function_call(self, peer, module, caplog):
        with caplog.at_level(logging.INFO, logger=KERNEL_LOGGER):
            await peer.send({"type": "run_module", "workbook_id": WB, "module_name": module, "function_name": "add",
                             "args": [2, 3], "request_id": "run1", "source": "ide", "breakpoints": [{"line": 2}]})
            messages = await peer.until("run1", "function_execution_result")
        types = [m["type"] for m in messages]
        assert types[0] == "stdout" and "execution_result" in types
        result = next(m for m in messages if m["type"] == "execution_result")
        assert (result["module_name"], result["function_name"], result["source"]) == (module, "add", "ide")
        assert messages[-1]["status"] == "success"
        assert (f"[Kernel] Received run_module: {module}.add (workbook_id={WB}, debug=False, source=ide, "
                f"request_id=run1)") in caplog.messages

    async def test_run_with_debug_is_a_debug_run(self, peer, module):
        await peer.send({"type": "run_module", "workbook_id": WB, "module_name": module, "function_name": "add",
                         "args": [2, 3], "debug": True, "breakpoints": [], "request_id": "dbg1"})
        messages = await peer.until("dbg1", "debug_terminated", "execution_error")
        assert messages[-1]["type"] == "debug_terminated"
        assert {"type": "result_output", "content": "Out: 5\n", "request_id": "dbg1", "workbook_id": WB,
                "source": "ide"} in messages


class TestRunModuleRouting:
    """The message each route receives, recorded by replacing the handler on the instance."""

    @pytest.fixture
    def kernel(self):
        k = kmod.PythonKernel(WB)
        yield k
        k._thread_pool.shutdown(wait=False)

    async def test_custom_function_call_message(self, kernel):
        calls = []

        async def record(message):
            calls.append(message)

        kernel._handle_custom_function_call = record
        await kernel._handle_run_module({"type": "run_module", "workbook_id": "w", "module_name": "m",
                                         "function_name": "f", "args": [1], "debug": 0, "breakpoints": [3],
                                         "request_id": "q", "source": "addin"})
        assert [items(c) for c in calls] == [[("type", "custom_function_call"), ("module_name", "m"),
                                              ("function_name", "f"), ("args", [1]), ("request_id", "q"),
                                              ("workbook_id", "w"), ("source", "addin")]]
        await kernel._handle_run_module({})
        assert calls[1] == {"type": "custom_function_call", "module_name": "", "function_name": "", "args": [],
                            "request_id": None, "workbook_id": "", "source": "ide"}

    async def test_debug_route_arguments(self, kernel):
        calls = []

        async def record(*args):
            calls.append(args)

        kernel._handle_debug_run_module = record
        await kernel._handle_run_module({"module_name": "m", "function_name": "f", "debug": True, "request_id": 9})
        assert calls == [("m", "f", [], [], 9, "", "ide")]
