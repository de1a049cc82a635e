"""The demo session's steps as assertions: the development host against one real
kernel process over a real WebSocket, with the demo workbook loaded."""

import pytest
import pytest_asyncio

from tarnlet_master.devhost import DevHost
from tarnlet_master.devhost import demo_workbook as wb
from tarnlet_master.devhost.demo import Demo

pytestmark = [pytest.mark.asyncio(loop_scope="module"), pytest.mark.timeout(60)]

T = 15.0


@pytest_asyncio.fixture(loop_scope="module", scope="module")
async def kernel():
    async with DevHost() as host:
        session = await host.start_kernel(wb.WORKBOOK_ID, workbook=wb.make_workbook())
        names = await session.evaluate(
            "sorted(n for n in dir(type(__import__('tarnlet')._kernel_instance)) if not n.startswith('__'))",
            timeout=T)
        session.methods = set(names)
        for name, code in wb.MODULES.items():
            await session.update_module(name, code, timeout=T)
        session.modules.update(wb.STORE_ONLY)
        yield session


def needs(kernel, *methods):
    missing = [m for m in methods if m not in kernel.methods]
    if missing:
        pytest.skip(f"the kernel has no {', '.join(missing)} yet")


def values_of(reply):
    return [m.get("result") for m in reply.of_type("streaming_function_result") if m.get("done") is False]


async def test_update_module_answers_and_refuses_a_missing_name(kernel):
    reply = await kernel.update_module("scratch", "X = 1\n", timeout=T)
    assert reply.final == {"type": "module_updated", "module_name": "scratch"}
    reply = await kernel.request({"type": "update_module", "module_name": "", "code": "x"}, until="error",
                                 timeout=T)
    assert reply.final["message"] == "update_module requires module_name"
    assert await kernel.evaluate("__import__('scratch').X", timeout=T) == 1


async def test_console_output_streams_before_the_result_and_names_persist(kernel):
    needs(kernel, "_execute_code_async")
    reply = await kernel.execute("total_seen = 0\nfor i in range(3):\n    print('line', i)", timeout=T)
    types = [m["type"] for m in reply.messages]
    # The output may come in fewer, longer "stdout" messages, all before the result.
    assert types[-1] == "execution_result" and "stdout" in types
    assert "execution_result" not in types[:-1]
    assert reply.text() == "line 0\nline 1\nline 2\n"

    reply = await kernel.execute("total_seen = 41; total_seen + 1", timeout=T)
    assert reply.first("result_output")["content"] == "Out: 42\n"
    assert reply.final["result"] == "42"

    reply = await kernel.execute("1/0", timeout=T)
    assert reply.final["type"] == "execution_error"
    assert reply.final["error"]["type"] == "ZeroDivisionError"
    assert reply.final["error"]["traceback"].rstrip().endswith("ZeroDivisionError: division by zero")


async def test_worksheet_function_reads_a_range_through_the_workbook(kernel):
    needs(kernel, "_handle_custom_function_call")
    before = len(kernel.workbook.requests)
    reply = await kernel.call_function("prices", "total", ["Prices!B2:B4"], timeout=T)
    assert reply.final["status"] == "success"
    assert reply.final["result"] == wb.PRICE_TOTAL
    execution = reply.first("execution_result")
    assert execution["module_name"] == "prices" and execution["result"] == wb.PRICE_TOTAL
    asked = kernel.workbook.requests[before:]
    assert [(r["action"], r["sheet"], r["address"]) for r in asked] == [("get_range", "Prices", "B2:B4")]
    assert len(asked[0]["requestId"]) == 32 and asked[0]["kind"] == "request"


async def test_worksheet_function_failure_streams_its_traceback(kernel):
    needs(kernel, "_handle_custom_function_call")
    reply = await kernel.call_function("prices", "total", ["NoSuchSheet!A1"], timeout=T)
    assert reply.final["status"] == "error"
    assert "No sheet named 'NoSuchSheet'" in reply.final["error"]
    assert "ExcelRequestError" in reply.text("stderr")
    reply = await kernel.call_function("prices", "missing", [], timeout=T)
    assert "Function 'missing' not found in module 'prices'" in reply.final["error"]


async def test_user_code_writes_reads_and_clears_cells(kernel):
    needs(kernel, "_execute_code_async")
    code = (
        "import tarnlet\n"
        "notes = tarnlet.excel.sheets['Notes']\n"
        "notes['B2'].values = [[1, 'two'], [None, 4.5]]\n"
        "seen = notes.range('B2:C3').values\n"
        "notes.range('B2').clear()\n"
        "after = notes.range('B2:C2').values\n"
        "names = tarnlet.excel.sheets.names()\n"
        "active = tarnlet.excel.active_sheet.name\n"
        "column = notes.range('C:C').values"
    )
    reply = await kernel.execute(code, timeout=T)
    assert reply.final["type"] == "execution_result", reply.final.get("error")
    result = await kernel.evaluate("[seen, after, names, active, column]", timeout=T)
    assert result == [[[1, "two"], [None, 4.5]], [[None, "two"]], ["Prices", "Notes"], "Prices",
                      [[None], ["two"], [4.5]]]
    assert kernel.workbook.get_values("Notes", "B2:C3") == [[None, "two"], [None, 4.5]]


async def test_streaming_function_sends_each_value_then_done(kernel):
    needs(kernel, "_execute_streaming_function")
    reply = await kernel.stream_function("prices", "countdown", [3], timeout=T)
    assert values_of(reply) == [3, 2, 1]
    assert reply.final == {"type": "streaming_function_result", "request_id": reply.final["request_id"],
                           "done": True, "workbook_id": wb.WORKBOOK_ID}


async def test_streaming_function_stops_when_cancelled(kernel):
    needs(kernel, "_execute_streaming_function")
    await kernel.update_module("endless", "import time\n\ndef forever():\n    n = 0\n    while True:\n"
                                          "        time.sleep(0.02)\n        n += 1\n        yield n\n", timeout=T)
    request_id = kernel.new_request_id("stream-")
    with kernel.collect() as messages:
        await kernel.send({"type": "execute_streaming_function", "request_id": request_id,
                           "module_name": "endless", "function_name": "forever", "args": [],
                           "workbook_id": wb.WORKBOOK_ID})
        await messages.until("streaming_function_result", T, request_id)
        await kernel.send({"type": "cancel_streaming_function", "request_id": request_id})
        reply = await messages.until(lambda m: m.get("request_id") == request_id and m.get("done") is True, T)
    assert reply.final["result"] == "Canceled"
    values = [m["result"] for m in messages.messages if m.get("request_id") == request_id and not m.get("done")]
    assert values == list(range(1, len(values) + 1))


async def test_kernel_asks_the_module_store_for_a_missing_module(kernel):
    needs(kernel, "_execute_streaming_function")
    syncs = kernel.module_syncs_answered
    reply = await kernel.stream_function("ticker", "ticks", [2], timeout=T)
    assert reply.first("request_module_sync") == {"type": "request_module_sync", "module_name": "ticker",
                                                  "workbook_id": wb.WORKBOOK_ID}
    assert kernel.module_syncs_answered == syncs + 1
    assert values_of(reply) == [{"tick": 0}, {"tick": 1}]


async def test_event_handler_runs_and_writes_back(kernel):
    needs(kernel, "_handle_event_execution")
    reply = await kernel.fire_event("prices", "on_change", [{"name": "target", "value": "C4"}], timeout=T)
    final = reply.final
    assert final["status"] == "success" and final["error"] is None
    assert "changed: C4" in final["logs"]
    assert kernel.workbook.get_values("Prices", "D1") == [["changed C4"]]


async def test_callable_handed_to_excel_is_called_back(kernel):
    needs(kernel, "_handle_custom_function_call", "_handle_python_function_call")
    reply = await kernel.call_function("prices", "discount", [0.25], timeout=T)
    handed = reply.final["result"]
    assert handed["__type__"] == "callable"
    reply = await kernel.call_callable(handed["id"], [8], timeout=T)
    assert reply.final["success"] is True and reply.final["result"] == 6.0
    reply = await kernel.call_callable("no-such-id", [], timeout=T)
    assert reply.final["success"] is False and "not found in registry" in reply.final["error"]


async def test_object_registry_follows_saves_and_clears(kernel):
    needs(kernel, "_execute_code_async", "save_object", "get_object_registry")
    with kernel.collect() as updates:
        reply = await kernel.execute("import tarnlet\ntarnlet.save_object('basket', ['tea'])\n"
                                     "tarnlet.save_object('n', 2)\ntarnlet.clear_object('n')", timeout=T)
        assert reply.final["type"] == "execution_result"
        for _ in range(3):
            await updates.until("object_registry_update", T)
    seen = [(m["action"], m["key"]) for m in updates.messages if m["type"] == "object_registry_update"]
    assert seen == [("update", "basket"), ("update", "n"), ("delete", "n")]
    assert await kernel.object_registry(timeout=T) == [{"key": "basket", "type": "list", "repr": "['tea']"}]


async def test_language_requests_on_an_edited_module(kernel):
    needs(kernel, "_handle_completion_request", "_handle_hover_request", "_handle_signature_help_request")
    edited = {wb.EDITED_MODULE: wb.EDITED_TEXT}

    async def ask(kind, needle, offset=0):
        line, column = wb.position(wb.EDITED_TEXT, needle, offset)
        return await kernel.language_request(kind, wb.EDITED_MODULE, line, column, code=wb.EDITED_TEXT,
                                             dirty_files=edited, timeout=T)

    completion = await ask("completion", "tarnlet.excel.ra")
    assert completion["error"] is None
    assert "range" in [item["label"] for item in completion["completions"]]
    hover = await ask("hover", "    total", -2)
    assert "total(address)" in hover["contents"]["value"]
    signature = await ask("signature_help", "    total(")
    assert signature["signatures"][0]["label"] == "total(address)"
    assert signature["request_id"].startswith("signature_help-")


async def test_diagnostics_name_the_faulty_lines(kernel):
    needs(kernel, "_handle_diagnostic_request")
    answer = await kernel.language_request("diagnostic", "broken", timeout=T)
    found = {(d["startLineNumber"], d["message"]) for d in answer["diagnostics"]}
    assert (5, "undefined name 'itemz'") in found
    assert (1, "'os' imported but unused") in found
    assert answer["module_name"] == "broken"


async def test_debug_run_pauses_evaluates_steps_and_finishes(kernel):
    needs(kernel, "_handle_debug_run_module")
    line = wb.line_of(wb.DEBUG_TARGET, "result.append")
    request_id = kernel.new_request_id("debug-")
    with kernel.collect() as debug:
        await kernel.send({"type": "run_module", "workbook_id": wb.WORKBOOK_ID, "module_name": "debug_target",
                           "function_name": "scaled", "args": [[1, 2], 3], "debug": True,
                           "breakpoints": [{"module": "debug_target", "line": line}], "request_id": request_id})
        paused = (await debug.until("debug_paused", T)).final
        assert (paused["module"], paused["line"], paused["reason"]) == ("debug_target", line, "breakpoint")
        assert {"name": "value", "type": "int", "value": "1"} in paused["locals"]
        evaluated = await kernel.request({"type": "debug_evaluate", "expression": "value * factor",
                                          "request_id": "eval-1"}, until="debug_evaluate_result", timeout=T)
        assert evaluated.final["result"] == "3" and evaluated.final["error"] is None
        await kernel.send({"type": "debug_step_over"})
        stepped = (await debug.until("debug_paused", T)).final
        assert stepped["reason"] == "step" and stepped["line"] == line - 1   # back to the loop header
        await kernel.send({"type": "debug_update_breakpoints", "breakpoints": []})
        await kernel.send({"type": "debug_continue"})
        done = await debug.until("debug_terminated", T, request_id)
    assert [m["content"] for m in done.of_type("result_output")] == ["Out: [3, 6]\n"]
    assert done.final == {"type": "debug_terminated", "request_id": request_id, "workbook_id": wb.WORKBOOK_ID}


async def test_debug_run_reports_an_exception_at_its_line(kernel):
    needs(kernel, "_handle_debug_run_module")
    request_id = kernel.new_request_id("debug-")
    with kernel.collect() as debug:
        await kernel.send({"type": "run_module", "workbook_id": wb.WORKBOOK_ID, "module_name": "broken",
                           "function_name": "report", "args": [[1]], "debug": True, "request_id": request_id})
        done = await debug.until("debug_terminated", T, request_id)
    exception = done.first("debug_exception")
    assert (exception["module"], exception["line"], exception["exception_type"]) == ("broken", 5, "NameError")


async def test_demo_skips_what_the_kernel_lacks(kernel):
    lines = []
    demo = Demo(kernel, out=lines.append, timeout=T)
    demo.kernel_methods = {"_execute_code_async"}
    results = await demo.run(probe=False)
    status = {title: state for title, state, _ in results}
    assert status["Workbook modules (update_module)"] == "ok"
    assert status["Console code with streamed output (execution_request)"] == "ok"
    skipped = [title for title, state, _ in results if state == "skipped"]
    assert len(skipped) == len(results) - 2
    assert any("the kernel has no _handle_debug_run_module yet" in line for line in lines)


async def test_a_silent_kernel_side_counts_as_skipped(kernel):
    demo = Demo(kernel, out=lambda line: None, timeout=0.3)

    async def never_answers():
        await kernel.request({"type": "no_such_request"}, until="never", timeout=0.3)
        return "answered"

    assert await demo.step("silent", (), never_answers)
    assert demo.results == [("silent", "skipped", "the kernel did not answer within 0.3 s")]
    assert not demo.failed
