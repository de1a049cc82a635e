"""Calls of registered Python callables, and the argument decoding all invocation paths share."""

import datetime

import pytest

import tarnlet_master.python_server.kernel as kmod

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

MAKERS = """\
import tarnlet

def make_scaler(factor):
    def scale(x):
        print("scaling", x)
        return x * factor
    return scale            # its wire form registers it

def register_quiet():
    return tarnlet.register_callable(lambda *a: None)

def register_weekday():
    return tarnlet.register_callable(lambda day: day.strftime("%A"))
"""


async def call_callable(peer, callable_id, args=(), request_id=None, **extra):
    request_id = request_id or ip.fresh("pf")
    await peer.send({"type": "python_function_call", "callable_id": callable_id, "args": list(args),
                     "request_id": request_id, "workbook_id": WB, **extra})
    await peer.wait_type("python_function_result", request_id=request_id)
    return peer.of(request_id)


async def test_callable_handed_to_excel_is_called_back(peer):
    mod = await peer.module(MAKERS)
    wire = ip.without_streams(await peer.call(mod, "make_scaler", [3]))[-1]["result"]
    assert wire["__type__"] == "callable" and wire["name"].endswith("scale")

    msgs = await call_callable(peer, wire["id"], [14], request_id="r-cb")
    assert [m for m in msgs if m["type"] == "stdout"][0]["source"] == "addin"
    assert ip.stream_text(msgs, "stdout") == "scaling 14\n"
    output, result = ip.without_streams(msgs)
    # The add-in alone gets a callable's answer: no `source` in it.
    assert output == {"type": "result_output", "content": "Out: 42\n", "request_id": "r-cb", "workbook_id": WB}
    assert result == {"type": "python_function_result", "success": True, "result": 42, "logs": "scaling 14\n",
                      "request_id": "r-cb", "workbook_id": WB}
    assert list(result) == ["type", "success", "result", "logs", "request_id", "workbook_id"]


async def test_callable_returning_none_and_wire_arguments(peer):
    mod = await peer.module(MAKERS)
    quiet = ip.without_streams(await peer.call(mod, "register_quiet"))[-1]["result"]
    msgs = await call_callable(peer, quiet, [1, 2])
    assert ip.types(msgs) == ["python_function_result"] and msgs[0]["result"] is None

    weekday = ip.without_streams(await peer.call(mod, "register_weekday"))[-1]["result"]
    msgs = await call_callable(peer, weekday, [{"__type__": "date", "value": "2024-01-01"}])
    assert msgs[-1]["result"] == "Monday"


async def test_unknown_callable_streams_the_traceback(peer):
    msgs = await call_callable(peer, "no-such-id", request_id="r-unknown")
    stderr = ip.stream_text(msgs, "stderr")
    assert "ValueError: Callable 'no-such-id' not found in registry" in stderr
    result = ip.without_streams(msgs)[0]
    assert list(result) == ["type", "success", "error", "logs", "request_id", "workbook_id"]
    assert result["success"] is False and result["error"].startswith("Traceback (most recent call last)")
    assert result["error"].endswith("ValueError: Callable 'no-such-id' not found in registry\n")
    assert result["logs"] == stderr


async def test_failures_of_the_callable_and_its_arguments(peer):
    mod = await peer.module(MAKERS)
    scale = ip.without_streams(await peer.call(mod, "make_scaler", [2]))[-1]["result"]["id"]
    msgs = await call_callable(peer, scale, [{"__type__": "no-such-tag"}])
    assert msgs[-1]["success"] is False and "ValueError" in msgs[-1]["error"]
    msgs = await call_callable(peer, scale, ["a", "b"])
    assert "TypeError" in msgs[-1]["error"]


async def test_missing_or_wrongly_typed_fields(peer):
    msgs = await call_callable(peer, "", request_id="r-missing")
    assert msgs == [{"type": "python_function_result", "success": False,
                     "error": {"type": "ValidationError", "message": "Missing callable_id", "traceback": ""},
                     "request_id": "r-missing", "workbook_id": WB}]
    rid = ["an", "array"]
    msgs = await call_callable(peer, "x", request_id=rid)
    assert msgs[-1]["error"]["message"] == "Invalid request_id: expected a string, a number or null, got list"
    msgs = await call_callable(peer, {"not": "hashable"})
    assert "not found in registry" in msgs[-1]["error"]
    await peer.send({"type": "python_function_call", "callable_id": "x", "args": "text",
                     "request_id": "r-str-args"})
    result = await peer.wait_type("python_function_result", request_id="r-str-args")
    assert result["success"] is False and "not found in registry" in result["error"]
    assert not peer.task.done()


def test_deserialize_args():
    kernel = kmod.PythonKernel("wb-args")
    try:
        empty = []
        first, second = kernel._deserialize_args(empty), kernel._deserialize_args(empty)
        assert first == [] and first is not empty and first is not second
        assert kernel._deserialize_args([3, "a", None, {"__type__": "date", "value": "2024-02-03"}]) == [
            3, "a", None, datetime.date(2024, 2, 3)]
        assert kernel._deserialize_args(None) == []
        for bad in ("abc", {"a": 1}, 5):
            with pytest.raises(TypeError, match="args must be a list"):
                kernel._deserialize_args(bad)
        with pytest.raises(ValueError):
            kernel._deserialize_args([{"__type__": "unknown-tag"}])
    finally:
        kernel._thread_pool.shutdown(wait=False)
        ip.join_bridge_threads()
