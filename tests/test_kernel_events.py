"""Event handlers: "event_execution", the COM registrar's responses, and set_enable_events."""

import asyncio
import logging

import pytest

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

HANDLERS = """\
import tarnlet

def on_change(target, sheet):
    print("changed", target["value"], "on", sheet["value"])
    return 42

def noisy_failure():
    print("x")
    raise KeyError("missing cell")

def switch(on):
    tarnlet.set_enable_events(on)
"""


async def fire(peer, module_name, function_name, request_id=None, **extra):
    request_id = request_id or ip.fresh("ev")
    message = {"type": "event_execution", "module_name": module_name, "function_name": function_name,
               "request_id": request_id, **extra}
    await peer.send(message)
    await peer.wait_type("event_execution_result", request_id=request_id)
    return peer.of(request_id)


async def test_handler_runs_with_named_arguments(peer):
    mod = await peer.module(HANDLERS)
    msgs = await fire(peer, mod, "on_change", request_id="ev-1", object_name="Sheet1", event_type="Change",
                      object_type="Worksheet",
                      args=[{"name": "target", "value": "A1"}, {"name": "sheet", "value": "Sheet1"}])
    out = [m for m in msgs if m["type"] == "stdout"]
    # One or more "stdout" messages (writes waiting for the loop are joined), each of this shape.
    assert out and all(m == {"type": "stdout", "content": m["content"], "request_id": "ev-1", "workbook_id": WB,
                             "source": "addin"} for m in out)
    assert ip.stream_text(msgs, "stdout") == "changed A1 on Sheet1\n"
    result = ip.without_streams(msgs)
    # No workbook_id in the request: the kernel's own is used.
    assert result == [{"type": "event_execution_result", "status": "success", "logs": "changed A1 on Sheet1\n",
                       "error": None, "request_id": "ev-1", "module_name": mod, "function_name": "on_change",
                       "workbook_id": WB}]
    assert list(result[0]) == ["type", "status", "logs", "error", "request_id", "module_name", "function_name",
                               "workbook_id"]


async def test_failing_handler_reports_output_and_traceback(peer):
    mod = await peer.module(HANDLERS)
    msgs = await fire(peer, mod, "noisy_failure", workbook_id="wb-other")
    assert ip.stream_text(msgs, "stdout") == "x\n"
    stderr = ip.stream_text(msgs, "stderr")
    assert "KeyError: 'missing cell'" in stderr
    result = ip.without_streams(msgs)[0]
    assert result["status"] == "error" and result["workbook_id"] == "wb-other"
    assert result["logs"] == "x\n" + stderr
    assert result["error"].startswith("Traceback") and result["error"].endswith("KeyError: 'missing cell'\n")

    result = ip.without_streams(await fire(peer, ip.fresh("unknown"), "f"))[0]
    assert result["status"] == "error" and "No module named" in result["error"]
    result = ip.without_streams(await fire(peer, "os; print(1)", "f"))[0]
    assert "ImportError: Module 'os; print(1)' not found in sys.modules" in result["error"]
    result = ip.without_streams(await fire(peer, mod, "on_change", args="not a list"))[0]
    assert "TypeError: args must be a list, not str" in result["error"]


async def test_missing_names_send_nothing(peer, caplog):
    mod = await peer.module(HANDLERS)
    await peer.send({"type": "event_execution", "module_name": mod, "request_id": "ev-missing"})
    await peer.send({"type": "event_execution", "function_name": "f", "request_id": "ev-missing"})
    # Started after them, so its answer comes once the refused ones have been dealt with.
    await fire(peer, mod, "noisy_failure")
    assert peer.of("ev-missing") == []
    assert ip.kernel_lines(caplog).count("[Kernel] event_execution missing module_name or function_name") == 2


async def test_wrongly_typed_request_id_is_answered(peer):
    mod = await peer.module(HANDLERS)
    rid = {"an": "object"}
    msgs = await fire(peer, mod, "on_change", request_id=rid, is_com=True)
    assert msgs[0]["status"] == "error" and msgs[0]["logs"] == ""
    assert "Invalid request_id: expected a string, a number or null, got dict" in msgs[0]["error"]
    assert not peer.task.done()


async def test_user_code_switches_event_handling(peer):
    mod = await peer.module(HANDLERS)
    await peer.call(mod, "switch", [False])
    message = await peer.wait_type("set_enable_events")
    assert message == {"type": "set_enable_events", "enable": False, "workbook_id": WB}
    assert list(message) == ["type", "enable", "workbook_id"]


@pytest.fixture
async def com_peer():
    p = await ip.start_peer(WORKBOOK, connection_args={"platform": "win32"})
    yield p
    await ip.stop_peer(p)


async def test_com_events_answer_the_registrar(com_peer, caplog):
    caplog.set_level(logging.INFO, logger=ip.KERNEL_LOGGER)
    peer = com_peer
    await peer.wait_type("win32_event_definitions")
    mod = await peer.module(HANDLERS)
    await peer.send({"type": "com_event_config_update", "com_config": {"bindings": [
        {"object_type": "Worksheet", "object_name": "Sheet1", "event_type": "Change", "module_name": mod,
         "function_name": "on_change"},
        {"object_type": "Worksheet", "event_type": "Calculate", "module_name": mod,
         "function_name": "noisy_failure"}]}})
    await peer.probe()
    registrar = peer.kernel._com_event_registrar
    assert len(registrar.bindings) == 2

    args = [{"name": "target", "value": "B2"}, {"name": "sheet", "value": "Sheet1"}]
    response = await asyncio.to_thread(registrar.fire_event, "Worksheet", "Sheet1", "Change", args, 10)
    assert response == {"status": "ok", "return_value": 42}
    result = await peer.wait_type("event_execution_result", function_name="on_change")
    assert result["status"] == "success" and result["logs"] == "changed B2 on Sheet1\n"

    response = await asyncio.to_thread(registrar.fire_event, "Worksheet", "Any", "Calculate", [], 10)
    assert response == {"status": "nok"}
    result = await peer.wait_type("event_execution_result", function_name="noisy_failure")
    assert result["status"] == "error"

    # A registrar that fails to take the response: logged, retried with "nok", still answered.
    delivered = []

    def flaky(request_id, response):
        delivered.append(response)
        if len(delivered) == 1:
            raise RuntimeError("registrar busy")
        return True

    registrar.deliver_com_response = flaky
    msgs = await fire(peer, mod, "on_change", is_com=True,
                      args=[{"name": "target", "value": "C3"}, {"name": "sheet", "value": "S"}])
    assert delivered == [{"status": "ok", "return_value": 42}, {"status": "nok"}]
    assert ip.without_streams(msgs)[0]["status"] == "success"
    assert "[Kernel] Error delivering COM event response: registrar busy" in ip.kernel_lines(caplog)
