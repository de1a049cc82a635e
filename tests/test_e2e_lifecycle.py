"""A real kernel process under the development host: malformed input, closing,
shutting down, and processes that must not outlive the host."""

import asyncio
import json
import os
import sys

import pytest
import websockets

from tarnlet_master.devhost import DevHost, KernelGone

pytestmark = pytest.mark.timeout(60)

T = 15.0
TOO_LARGE = 1048577


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


async def answers_one_plus_one(kernel):
    reply = await kernel.execute("1+1", timeout=T)
    return reply.final.get("result") == "2"


async def test_kernel_survives_a_burst_of_malformed_messages():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-bad")
        with kernel.collect() as replies:
            for text in ("{not json", "", "[1, 2]", "42", "null", '"text"', "x" * TOO_LARGE,
                         '{"type": "update_module", "module_name": "' + "é" * TOO_LARGE + '"}'):
                await kernel.send_raw(text)
            for message in (
                {"type": "chunk", "chunk_id": "c1", "chunk_index": "0", "total_chunks": 2, "data": "{"},
                {"type": "chunk", "chunk_index": 0, "total_chunks": 1},
                {"type": "chunk", "chunk_id": "c2", "chunk_index": 5, "total_chunks": 2, "data": "x"},
                {"type": "chunk", "chunk_id": "c3", "chunk_index": 0, "total_chunks": 1, "data": 7},
                {"type": "chunk", "chunk_id": "c4", "chunk_index": 0, "total_chunks": 1, "data": "[1]"},
                {"type": "chunk", "chunk_id": "c5", "chunk_index": 0, "total_chunks": 1,
                 "data": json.dumps({"type": "chunk", "chunk_id": "c6", "chunk_index": 0, "total_chunks": 1,
                                     "data": "{}"})},
                {"type": "no_such_type", "request_id": "q"},
                {"no_type": True},
                {"type": "sys_response", "payload": {"requestId": "nobody-waits"}},
                {"type": "debug_continue"},
            ):
                await kernel.send(message)
            wrong_fields = [
                ({"type": "update_module", "module_name": 5, "code": "x = 1"}, "module_name"),
                ({"type": "unload_and_clear_paths", "paths": "x"}, "paths"),
                ({"type": "set_package_paths", "old_paths": [], "new_paths": None}, "new_paths"),
                ({"type": "execution_request", "code": ["print(1)"], "request_id": "bad-code"}, "code"),
            ]
            for message, _ in wrong_fields:
                await kernel.send(message)
            assert await answers_one_plus_one(kernel)
        errors = [m["message"] for m in replies.messages if m.get("type") == "error"]
        assert errors.count("Invalid JSON received") == 2
        assert errors.count("Message too large") == 2
        assert errors.count("Invalid message: expected a JSON object") == 4
        for _, field in wrong_fields:
            assert any(f"'{field}'" in text for text in errors), (field, errors)
        assert kernel.process.returncode is None
    assert "Kernel error: " not in kernel.stderr_text()


async def test_host_closing_the_connection_ends_the_kernel_process():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-close")
        assert await answers_one_plus_one(kernel)
        pid = kernel.process.pid
        code = await host.stop_kernel("wb-close")
        assert code == 0
        assert not process_alive(pid)
    log = kernel.stderr_text()
    assert "Kernel connected for workbook: wb-close" in log
    assert "Kernel disconnected for workbook: wb-close" in log
    assert log.index("Kernel connected for workbook: wb-close") < log.index("Kernel disconnected for workbook")
    assert "Kernel error: " not in log


async def test_shutdown_message_makes_the_kernel_leave_by_itself():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-shutdown")
        await kernel.shutdown()
        await kernel.wait_closed(T)
        assert await asyncio.wait_for(kernel.process.wait(), T) == 0
        with pytest.raises(KernelGone):
            await kernel.execute("1+1", timeout=T)
    assert "Kernel disconnected for workbook: wb-shutdown" in kernel.stderr_text()


async def test_waiting_for_a_reply_ends_when_the_kernel_goes():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-gone")
        with kernel.collect() as messages:
            await kernel.send({"type": "execution_request", "code": "import os; os._exit(3)", "request_id": "x"})
            with pytest.raises(KernelGone):
                await messages.until("execution_result", T)
        assert await asyncio.wait_for(kernel.process.wait(), T) == 3


async def test_stopping_the_host_ends_a_kernel_stuck_in_user_code():
    async with DevHost(exit_timeout=0.5) as host:
        kernel = await host.start_kernel("wb-stuck")
        with kernel.collect() as messages:
            await kernel.send({"type": "execution_request", "code": "import time\nprint('sleeping')\n"
                               "time.sleep(600)", "request_id": "stuck"})
            await messages.until("stdout", T, "stuck")
        pid = kernel.process.pid
    assert kernel.process.returncode is not None
    assert not process_alive(pid)


@pytest.mark.skipif(sys.platform == "win32", reason="needs /bin/false")
async def test_a_kernel_that_cannot_start_is_reported():
    async with DevHost(python="/bin/false") as host:
        with pytest.raises(RuntimeError, match="exited with code 1 before connecting"):
            await host.start_kernel("wb-broken", timeout=T)
        assert host.kernels == {}
        host.python = "/no/such/python"
        with pytest.raises(OSError):
            await host.start_kernel("wb-missing", timeout=T)
        assert host.kernels == {}


async def test_a_host_starts_the_process_its_launcher_names_with_the_kernel_arguments():
    # The launcher gets the workbook id, the port and the connection arguments, as the
    # kernel's entry does; this one only connects, and when asked reports what it was given.
    launcher = ("import asyncio, json, sys, websockets\n"
                "async def main(workbook_id, port, args):\n"
                "    async with websockets.connect(f'ws://127.0.0.1:{port}/ws/kernel/{workbook_id}') as ws:\n"
                "        await ws.recv()\n"
                "        await ws.send(json.dumps({'type': 'launched', 'args': args}))\n"
                "        await ws.wait_closed()\n"
                "asyncio.run(main(sys.argv[1], sys.argv[2], json.loads(sys.argv[3])))\n")
    async with DevHost(launcher=launcher) as host:
        session = await host.start_kernel("wb-launched", connection_args={"platform": "web", "n": 1}, timeout=T)
        assert session.start_to_connected > 0
        launched = await session.request({"type": "report"}, until="launched", timeout=T)
        assert launched.final["args"] == {"platform": "web", "n": 1}
        assert await host.stop_kernel(session.workbook_id) == 0


async def test_host_refuses_unknown_endpoints():
    async with DevHost() as host:
        base = f"ws://127.0.0.1:{host.port}"
        for path in ("/ws/kernel/never-started", "/other"):
            with pytest.raises(websockets.InvalidStatus) as refused:
                async with websockets.connect(base + path, open_timeout=T):
                    pass
            assert refused.value.response.status_code == 404


async def test_two_workbooks_get_two_kernels_with_their_own_state():
    async with DevHost() as host:
        first = await host.start_kernel("wb-a")
        second = await host.start_kernel("wb-b")
        assert first.process.pid != second.process.pid
        await first.execute("owner = 'a'", timeout=T)
        reply = await second.execute("owner", timeout=T)
        assert reply.final["type"] == "execution_error" and reply.final["error"]["type"] == "NameError"
        assert await first.evaluate("__import__('tarnlet').context.workbook_id", timeout=T) == "wb-a"
        with pytest.raises(ValueError):
            await host.start_kernel("wb-a")
