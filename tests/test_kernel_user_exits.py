"""User code that raises SystemExit, KeyboardInterrupt or another BaseException is answered
as that request's error by a real kernel process, which then goes on serving."""

import pytest

from tarnlet_master.devhost import DevHost

pytestmark = pytest.mark.timeout(120)

T = 20.0

RAISERS = {
    "sys_exit": "import sys\n    sys.exit()",
    "exit": "exit()",
    "system_exit_5": "raise SystemExit(5)",
    "keyboard_interrupt": "raise KeyboardInterrupt",
    "base_exception": "raise Stop('odd')",
}

MODULE = "class Stop(BaseException):\n    pass\n\n" + "".join(
    f"def {name}(*args):\n    {body}\n\n" for name, body in RAISERS.items()
) + "".join(
    f"def {name}_stream():\n    yield 1\n    {body}\n\n" for name, body in RAISERS.items()
)


async def alive(kernel):
    reply = await kernel.execute("1+1", timeout=T)
    assert reply.final.get("result") == "2", reply.final


async def test_console_code_raising_base_exceptions_is_answered_and_the_kernel_serves_on():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-exits-console")
        for code, kind in (("import sys; sys.exit()", "SystemExit"), ("exit()", "SystemExit"),
                           ("raise SystemExit(5)", "SystemExit"), ("raise KeyboardInterrupt", "KeyboardInterrupt"),
                           ("class Stop(BaseException): pass\nraise Stop('x')", "Stop")):
            reply = await kernel.execute(code, timeout=T)
            assert reply.final["type"] == "execution_error", (code, reply.final)
            assert reply.final["error"]["type"] == kind
            await alive(kernel)
        # The namespace survived too.
        await kernel.execute("kept = 41", timeout=T)
        assert (await kernel.execute("kept + 1", timeout=T)).final.get("result") == "42"


async def test_module_functions_raising_base_exceptions_are_answered_on_every_path():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-exits-calls")
        await kernel.update_module("exits", MODULE, timeout=T)
        for name in RAISERS:
            call = await kernel.call_function("exits", name, timeout=T)
            assert call.final["status"] == "error", (name, call.final)
            assert call.first("execution_error") is not None

            event = await kernel.fire_event("exits", name, timeout=T)
            assert event.final["status"] == "error", (name, event.final)

            stream = await kernel.stream_function("exits", f"{name}_stream", timeout=T)
            # A failure whose text is empty still ends the stream as failed, named by its class.
            assert stream.final.get("error"), (name, stream.messages)

            run = await kernel.request(
                {"type": "run_module", "module_name": "exits", "function_name": name, "args": [],
                 "request_id": f"run-{name}", "workbook_id": kernel.workbook_id},
                until="function_execution_result", timeout=T)
            assert run.final["status"] == "error", (name, run.final)

            debug = await kernel.request(
                {"type": "run_module", "module_name": "exits", "function_name": name, "args": [], "debug": True,
                 "request_id": f"debug-{name}", "workbook_id": kernel.workbook_id},
                until="debug_terminated", timeout=T)
            assert debug.first("debug_exception") is not None, (name, debug.messages)
            await alive(kernel)


BROKEN_REPR = '''
import tarnlet, time

class Broken:
    def __repr__(self):
        raise ValueError("no repr")

def keep():
    try:
        tarnlet.save_object("broken", Broken())  # stored; the failing repr reaches the saver
    except ValueError:
        return 1
    return 0

def value():
    return Broken()

def slow():
    time.sleep(1.5)
    return 2
'''


async def test_a_raising_repr_neither_fails_a_call_nor_the_registry():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-broken-repr")
        await kernel.update_module("broken_repr", BROKEN_REPR, timeout=T)
        kept = await kernel.call_function("broken_repr", "keep", timeout=T)
        assert kept.final["status"] == "success" and kept.final["result"] == 1, kept.final
        entries = await kernel.object_registry(timeout=T)
        assert [e["key"] for e in entries] == ["broken"]
        assert "repr failed: no repr" in entries[0]["repr"]
        call = await kernel.call_function("broken_repr", "value", timeout=T)
        assert call.final["status"] == "success", call.final
        assert "repr failed" in call.first("result_output")["content"]
        await alive(kernel)


async def test_a_second_debug_run_is_refused_while_one_is_active():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-two-debug")
        await kernel.update_module("broken_repr", BROKEN_REPR, timeout=T)
        with kernel.collect() as replies:
            await kernel.send({"type": "run_module", "module_name": "broken_repr", "function_name": "slow",
                               "args": [], "debug": True, "request_id": "first", "workbook_id": kernel.workbook_id})
            second = await kernel.request(
                {"type": "run_module", "module_name": "broken_repr", "function_name": "slow", "args": [],
                 "debug": True, "request_id": "second", "workbook_id": kernel.workbook_id},
                until="execution_error", timeout=T)
            assert second.final["request_id"] == "second"
            assert "Another debug run is active" in second.final["error"]["message"]
            # The first run still owns the debugger and ends normally.
            await replies.until(lambda m: m.get("type") == "debug_terminated", timeout=T)
        await alive(kernel)
