"""Debug runs: "run_module" with debug on, driving the real TarnletDebugger."""

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

CODE = """\
def work(n):
    total = 0
    for i in range(n):
        total += i
    print("total", total)
    return total

def seven():
    return 7

def letters():
    yield "a"
    yield "b"

def divide(a, b):
    x = a + 1
    return x / b
"""
# Line numbers in CODE used below.
LOOP_BODY = 4
GENERATOR_SECOND_YIELD = 13
DIVISION = 17


async def debug_run(peer, mod, function, args=(), breakpoints=(), request_id=None, **extra):
    request_id = request_id or ip.fresh("dbg")
    await peer.send({"type": "run_module", "debug": True, "module_name": mod, "function_name": function,
                     "args": list(args), "breakpoints": list(breakpoints), "request_id": request_id,
                     "workbook_id": "wb-debug", **extra})
    return request_id


async def ended(peer, request_id):
    await peer.wait_type("debug_terminated", request_id=request_id)
    return ip.without_streams(peer.of(request_id))


async def test_plain_run_and_generator_run(peer):
    mod = await peer.module(CODE)
    rid = await debug_run(peer, mod, "seven")
    assert await ended(peer, rid) == [
        {"type": "result_output", "content": "Out: 7\n", "request_id": rid, "workbook_id": "wb-debug",
         "source": "ide"},
        {"type": "debug_terminated", "request_id": rid, "workbook_id": "wb-debug"},
    ]
    rid = await debug_run(peer, mod, "letters", source="addin")
    msgs = await ended(peer, rid)
    assert [m.get("content") for m in msgs] == [
        "Yield [1]: 'a'\n", "Yield [2]: 'b'\n", "Out: Generator completed with 2 yields\n", None]
    assert msgs[0]["source"] == "addin"
    assert peer.kernel.has_active_debugger is False


async def test_breakpoint_step_evaluate_and_stop(peer):
    mod = await peer.module(CODE)
    rid = await debug_run(peer, mod, "work", [5], breakpoints=[{"module": mod, "line": LOOP_BODY}])
    paused = await peer.wait_type("debug_paused")
    assert (paused["module"], paused["line"], paused["reason"]) == (mod, LOOP_BODY, "breakpoint")
    assert peer.kernel.has_active_debugger is True

    await peer.send({"type": "debug_step_over"})
    await peer.wait_for(lambda m: m["type"] == "debug_paused", count=2)
    stepped = peer.matching(lambda m: m["type"] == "debug_paused")[1]
    assert stepped["reason"] in ("step", "breakpoint") and stepped["line"] != LOOP_BODY

    await peer.send({"type": "debug_evaluate", "expression": "total + 100", "request_id": "ev-1"})
    evaluated = (await peer.wait_for(lambda m: m.get("request_id") == "ev-1"))[0]
    assert evaluated["type"] == "debug_evaluate_result" and evaluated["value_type"] == "int"
    assert evaluated["result"] == "100" and evaluated["error"] is None

    await peer.send({"type": "debug_stop"})
    await peer.wait_type("debug_terminated", request_id=None)
    msgs = await ended(peer, rid)
    assert msgs[-1] == {"type": "debug_terminated", "request_id": rid, "workbook_id": "wb-debug"}
    assert msgs[-2]["content"] == "Out: None\n"
    # The stopped function never got to its print.
    assert "total" not in ip.stream_text(peer.of(rid), "stdout")
    assert peer.kernel.has_active_debugger is False


async def test_continue_to_the_end_streams_output(peer):
    mod = await peer.module(CODE)
    rid = await debug_run(peer, mod, "work", [3], breakpoints=[{"module": mod, "line": LOOP_BODY}])
    for _ in range(3):
        await peer.wait_type("debug_paused")
        peer.messages = [m for m in peer.messages if m["type"] != "debug_paused"]
        await peer.send({"type": "debug_continue"})
    msgs = await ended(peer, rid)
    assert [m["content"] for m in msgs if m["type"] == "result_output"] == ["Out: 3\n"]
    assert ip.stream_text(peer.of(rid), "stdout") == "total 3\n"


async def test_generator_stopped_before_its_end(peer):
    mod = await peer.module(CODE)
    rid = await debug_run(peer, mod, "letters", breakpoints=[{"module": mod, "line": GENERATOR_SECOND_YIELD}])
    await peer.wait_type("debug_paused")
    await peer.send({"type": "debug_stop"})
    msgs = await ended(peer, rid)
    assert [m.get("content") for m in msgs] == [
        "Yield [1]: 'a'\n", "Out: Generator stoped before ending\n", None]


async def test_exception_places_the_ide_at_the_line(peer):
    mod = await peer.module(CODE)
    rid = await debug_run(peer, mod, "divide", [1, 0])
    await peer.wait_type("debug_terminated", request_id=rid)
    exception = await peer.wait_type("debug_exception")
    assert list(exception) == ["type", "workbook_id", "module", "line", "file", "exception_type",
                               "exception_message", "exception_traceback", "locals", "globals", "call_stack"]
    assert (exception["module"], exception["line"], exception["file"]) == (mod, DIVISION, f"<virtual:{mod}>")
    assert exception["exception_type"] == "ZeroDivisionError"
    assert exception["exception_message"] == "division by zero"
    assert exception["exception_traceback"].endswith("ZeroDivisionError: division by zero\n")
    assert exception["locals"] == exception["globals"] == exception["call_stack"] == []
    assert exception["workbook_id"] == "wb-debug"
    # "debug_exception" went out before the run's end.
    order = [m["type"] for m in peer.messages if m["type"] in ("debug_exception", "debug_terminated")]
    assert order == ["debug_exception", "debug_terminated"]


async def test_bad_names_and_arguments_end_in_debug_exception(peer):
    mod = await peer.module(CODE)
    for name, function, args, text in [
            ('os; print("hi")', "f", [], "ImportError: Module 'os; print(\"hi\")' not found"),
            (mod, "missing", [], f"AttributeError: Function 'missing' not found in module '{mod}'"),
            (mod, "seven", {"not": "a list"}, "TypeError: args must be a list, not dict")]:
        peer.messages.clear()
        rid = ip.fresh("dbg")
        await peer.send({"type": "run_module", "debug": True, "module_name": name, "function_name": function,
                         "args": args, "request_id": rid, "workbook_id": "wb-debug"})
        await peer.wait_type("debug_terminated", request_id=rid)
        exception = peer.matching(lambda m: m["type"] == "debug_exception")[0]
        assert exception["exception_traceback"].strip().endswith(text)
        assert exception["module"] == name and exception["line"] == 1 and exception["file"] == ""
    assert not peer.task.done()
