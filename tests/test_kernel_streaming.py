"""Streaming (generator) functions: one message per value, cancellation, module sync."""

import asyncio
import logging

import pytest

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

GENERATORS = """\
import datetime
import tarnlet

produced = 0

def count(n):
    global produced
    for i in range(n):
        produced += 1
        yield i

def gated(n, gate):
    # Waits for Excel before value `gate`, so the test can cancel at a known point.
    global produced
    for i in range(n):
        if i == gate:
            tarnlet.excel.range("A1").value
        produced += 1
        yield i

def how_many():
    return produced

def dates():
    yield datetime.date(2024, 5, 6)

def listing():
    return [1, 2]

def breaks():
    yield 1
    yield 2
    print("about to fail")
    raise RuntimeError("generator broke")
"""


async def stream(peer, module_name, function_name, args=(), request_id=None, **extra):
    request_id = request_id or ip.fresh("st")
    await peer.send({"type": "execute_streaming_function", "request_id": request_id, "module_name": module_name,
                     "function_name": function_name, "args": list(args), "workbook_id": "wb-request",
                     "source": "addin", **extra})
    return request_id


def results(peer, request_id):
    return [m for m in peer.of(request_id) if m["type"] == "streaming_function_result"]


async def finished(peer, request_id):
    await peer.wait_for(lambda m: m.get("request_id") == request_id and m.get("done") is True)
    return results(peer, request_id)


async def test_each_value_is_sent_then_the_end(peer, caplog):
    caplog.set_level(logging.DEBUG, logger=ip.KERNEL_LOGGER)
    mod = await peer.module(GENERATORS)
    rid = await stream(peer, mod, "count", [3])
    msgs = await finished(peer, rid)
    assert msgs == [
        {"type": "streaming_function_result", "request_id": rid, "result": 0, "done": False, "workbook_id": WB},
        {"type": "streaming_function_result", "request_id": rid, "result": 1, "done": False, "workbook_id": WB},
        {"type": "streaming_function_result", "request_id": rid, "result": 2, "done": False, "workbook_id": WB},
        {"type": "streaming_function_result", "request_id": rid, "done": True, "workbook_id": WB},
    ]
    assert any(line.startswith(f"[TIMING] Streaming completed: request_id={rid}, elapsed=")
               and line.endswith("ms, results=3") for line in ip.kernel_lines(caplog))

    rid = await stream(peer, mod, "dates")
    assert (await finished(peer, rid))[0]["result"] == {"__type__": "date", "value": "2024-05-06"}


async def test_not_a_generator_and_a_generator_that_raises(peer):
    mod = await peer.module(GENERATORS)
    rid = await stream(peer, mod, "listing")
    assert await finished(peer, rid) == [
        {"type": "streaming_function_result", "request_id": rid,
         "error": "Function listing is not a generator function", "done": True, "workbook_id": WB}]

    rid = await stream(peer, mod, "breaks")
    msgs = await finished(peer, rid)
    assert [m.get("result") for m in msgs[:2]] == [1, 2]
    assert msgs[2]["error"] == "generator broke" and len(msgs) == 3
    everything = peer.of(rid)
    printed = [m for m in everything if m["type"] == "stdout"]
    assert printed and all(m == {"type": "stdout", "content": m["content"], "request_id": rid,
                                 "workbook_id": "wb-request", "source": "addin"} for m in printed)
    assert ip.stream_text(everything, "stdout") == "about to fail\n"
    assert "RuntimeError: generator broke" in ip.stream_text(everything, "stderr")

    rid = await stream(peer, mod, "missing")
    assert (await finished(peer, rid))[0]["error"] == "Function not found: missing"


async def test_cancel_half_way_through_a_thousand_values(peer):
    mod = await peer.module(GENERATORS)
    rid = await stream(peer, mod, "gated", [1000, 500])
    request = (await peer.wait_for(lambda m: m["type"] == "sys_request"))[0]
    await peer.send({"type": "cancel_streaming_function", "request_id": rid})
    await peer.probe()
    await peer.send({"type": "sys_response",
                     "payload": {"requestId": request["payload"]["requestId"], "status": "ok", "values": [[0]]}})
    msgs = await finished(peer, rid)
    assert msgs[-1] == {"type": "streaming_function_result", "request_id": rid, "result": "Canceled",
                        "done": True, "workbook_id": WB}
    assert [m["result"] for m in msgs[:-1]] == list(range(500))
    assert all(m["done"] is False for m in msgs[:-1])

    # Value 500 met the cancellation and was dropped; the generator was not resumed after it.
    produced = ip.without_streams(await peer.call(mod, "how_many"))[-1]["result"]
    assert produced == 501
    await peer.probe()
    assert results(peer, rid) == msgs
    assert peer.kernel._canceled_streaming_requests == set()


async def test_module_that_arrives_after_the_sync_request(peer):
    name = ip.fresh("late")
    rid = await stream(peer, name, "count", [2])
    sync = await peer.wait_type("request_module_sync", module_name=name)
    assert sync == {"type": "request_module_sync", "module_name": name, "workbook_id": WB}
    await peer.update_module(name, GENERATORS)
    msgs = await finished(peer, rid)
    assert [m.get("result") for m in msgs] == [0, 1, None] and msgs[-1]["done"] is True


async def test_module_that_never_arrives(peer):
    name = ip.fresh("absent")
    rid = await stream(peer, name, "count", [2])
    msgs = await finished(peer, rid)
    assert msgs == [{"type": "streaming_function_result", "request_id": rid,
                     "error": f"Module '{name}' not found after sync attempt", "done": True, "workbook_id": WB}]
    assert len(peer.matching(lambda m: m.get("type") == "request_module_sync" and m["module_name"] == name)) == 1


async def test_wrongly_typed_fields_end_the_stream_not_the_kernel(peer):
    mod = await peer.module(GENERATORS)
    rid = {"an": "object"}
    await stream(peer, mod, "count", [2], request_id=rid)
    msgs = await finished(peer, rid)
    assert msgs[0]["error"] == "Invalid request_id: expected a string, a number or null, got dict"

    await peer.send({"type": "execute_streaming_function", "request_id": "st-dict-args", "module_name": mod,
                     "function_name": "count", "args": {"n": 2}})
    assert (await finished(peer, "st-dict-args"))[0]["error"] == "args must be a list, not dict"

    await peer.send({"type": "execute_streaming_function", "request_id": "st-bad-module",
                     "module_name": ["not", "hashable"], "function_name": "count", "args": []})
    assert "unhashable" in (await finished(peer, "st-bad-module"))[0]["error"]

    # A late cancellation of a finished stream leaves nothing behind once the next one ends.
    await peer.send({"type": "cancel_streaming_function", "request_id": "st-late"})
    await peer.probe()
    await stream(peer, mod, "count", [0], request_id="st-late")
    assert (await finished(peer, "st-late"))[-1]["done"] is True
    assert peer.kernel._canceled_streaming_requests == set()
    assert not peer.task.done()


FLOODING = """\
import base64, os

def flood(n, size):
    # Random text: the connection compresses, and repeated text would hardly fill a buffer.
    for i in range(n):
        yield base64.b64encode(os.urandom(size)).decode()
"""


async def test_a_peer_that_stops_reading_ends_the_stream_as_failed_by_the_send_time_out(peer):
    mod = await peer.module(FLOODING)
    peer.reading.clear()  # frames back up until the kernel's send waits longer than its second
    rid = await stream(peer, mod, "flood", [200, 750000])
    await asyncio.sleep(5)
    peer.reading.set()
    msgs = await finished(peer, rid)
    assert msgs[-1] == {"type": "streaming_function_result", "request_id": rid, "error": "TimeoutError",
                        "done": True, "workbook_id": WB}
    sent = msgs[:-1]
    assert 0 < len(sent) < 200 and all(m["done"] is False for m in sent)
    await peer.probe()
    assert results(peer, rid) == msgs  # nothing of the stream comes after its end


@pytest.mark.parametrize("failure", [ConnectionResetError(), TimeoutError(), RuntimeError("send broke")])
async def test_any_failed_send_ends_the_stream_as_failed_never_as_done(peer, failure):
    mod = await peer.module(GENERATORS)
    original = peer.kernel.send_message

    async def send_message(message):
        if message.get("type") == "streaming_function_result" and message.get("result") == 1:
            raise failure
        await original(message)

    peer.kernel.send_message = send_message  # the worker looks it up on the kernel for each value
    try:
        rid = await stream(peer, mod, "count", [3])
        msgs = await finished(peer, rid)
    finally:
        del peer.kernel.send_message
    assert [m.get("result") for m in msgs] == [0, None]
    assert msgs[-1]["error"] == (str(failure) or type(failure).__name__) and msgs[-1]["done"] is True
