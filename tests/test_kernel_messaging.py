"""The kernel's messaging: chunked sending, incoming chunk reassembly, the batcher, sys_request/sys_response."""

import asyncio
import json
import logging
import base64
import contextlib
import os
import re
import sys
import threading

import pytest

import tarnlet_master.python_server.kernel as kmod
import kernel_peer as kp
from tarnlet_master.python_server import tarnlet

KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
TIMEOUT = 10
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


WORKBOOK = "wb-msg"
RAW_CHUNKS = True


@contextlib.asynccontextmanager
async def connected_kernel():
    p = await kp.start_peer(WORKBOOK, raw_chunks=True)
    await p.probe_next("ready")  # connect() has installed the stream hooks
    try:
        yield p
    finally:
        await kp.stop_peer(p)


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]


def message_of_length(length, **extra):
    """A message whose encoded text (with the kernel's encoder) is exactly `length` characters."""
    message = {**extra, "data": ""}
    message["data"] = "x" * (length - len(kmod.json_dumps(message)))
    assert len(kmod.json_dumps(message)) == length
    return message


async def read_chunks(peer):
    """All chunk frames of one chunked message, in arrival order."""
    first = await peer.recv("chunk")
    chunks = [first]
    while len(chunks) < first["total_chunks"]:
        chunks.append(await peer.recv("chunk"))
    return chunks


# -- outgoing ---------------------------------------------------------------------------


async def test_text_of_chunk_size_goes_in_one_frame(peer):
    message = message_of_length(kmod.CHUNK_SIZE, type="big", request_id="r1")
    await peer.kernel.send_message(message)
    assert await peer.raw() == kmod.json_dumps(message)


async def test_one_character_over_makes_two_chunks(peer, caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    message = message_of_length(kmod.CHUNK_SIZE + 1, type="big", request_id="r2")
    await peer.kernel.send_message(message)
    chunks = await read_chunks(peer)
    assert [list(c) for c in chunks] == [
        ["type", "chunk_id", "chunk_index", "total_chunks", "data", "original_type", "request_id"]] * 2
    assert [c["chunk_index"] for c in chunks] == [0, 1]
    assert {c["total_chunks"] for c in chunks} == {2}
    assert {(c["original_type"], c["request_id"]) for c in chunks} == {("big", "r2")}
    assert chunks[0]["chunk_id"] == chunks[1]["chunk_id"] and UUID4.match(chunks[0]["chunk_id"])
    assert len(chunks[1]["data"]) == 1
    assert "".join(c["data"] for c in chunks) == kmod.json_dumps(message)
    lines = kernel_lines(caplog)
    assert f"[Kernel] Chunking large message: type=big, size={kmod.CHUNK_SIZE + 1}, chunks=2" in lines
    assert f"[Kernel] Sent 2 chunks for message: type=big, chunk_id={chunks[0]['chunk_id']}" in lines
    assert lines.index("[TIMING] Message sent: type=big, request_id=r2") > lines.index(
        "[TIMING] Acquiring socket lock for: type=big, request_id=r2")


async def test_untyped_message_chunks_say_unknown_and_na(peer):
    message = message_of_length(2 * kmod.CHUNK_SIZE)
    await peer.kernel.send_message(message)
    chunks = await read_chunks(peer)
    assert [len(c["data"]) for c in chunks] == [kmod.CHUNK_SIZE] * 2
    assert {(c["original_type"], c["request_id"]) for c in chunks} == {("unknown", "N/A")}


async def test_split_multibyte_text_and_escapes_reassemble_exactly(peer):
    message = {"type": "mixed", "data": ("\u00e9\U0001f600\"\\\n" * 40000)}
    await peer.kernel.send_message(message)
    chunks = await read_chunks(peer)
    text = "".join(c["data"] for c in sorted(chunks, key=lambda c: c["chunk_index"]))
    assert text == kmod.json_dumps(message) and json.loads(text) == message


async def test_a_send_during_a_chunk_run_follows_its_last_chunk(peer):
    # The peer stops reading, so the run stalls on the full socket while holding the lock.
    peer.reading.clear()
    # Incompressible, and more than the loopback socket buffers hold (about 7 MB here).
    count = 256
    noise = base64.b64encode(os.urandom(count * kmod.CHUNK_SIZE * 3 // 4)).decode()
    big = {"type": "big", "data": noise[:count * kmod.CHUNK_SIZE - 30]}
    try:
        big_send = asyncio.create_task(peer.kernel.send_message(big))
        for _ in range(200):
            await asyncio.sleep(0.01)
            if peer.kernel._socket_lock.locked():
                break
        assert peer.kernel._socket_lock.locked()
        small_send = asyncio.create_task(peer.kernel.send_message({"type": "small"}))
        await asyncio.sleep(0.05)
        assert not small_send.done()
    finally:
        peer.reading.set()
    await asyncio.wait_for(asyncio.gather(big_send, small_send), TIMEOUT)
    types = [json.loads(await peer.raw())["type"] for _ in range(count + 1)]
    assert types == ["chunk"] * count + ["small"]


async def test_unencodable_message_raises_to_the_sender(peer):
    with pytest.raises(TypeError):
        await peer.kernel.send_message({"type": "bad", "value": object()})
    await peer.probe_next("after-bad-send")


# -- incoming chunks -----------------------------------------------------------------


def chunks_of(message, n, chunk_id="c1"):
    text = json.dumps(message)
    size = -(-len(text) // n)
    return [{"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": n,
             "data": text[i * size:(i + 1) * size], "original_type": message.get("type"), "request_id": "N/A"}
            for i in range(n)]


async def test_chunks_out_of_order_are_dispatched_whole_once(peer):
    parts = chunks_of({"type": "add_path", "path": "/k1-chunked"}, 3)
    await peer.send(parts[2])
    await peer.send(parts[0])
    await peer.probe_next("partial")
    assert peer.kernel._chunk_buffers["c1"]["received"] == 2
    await peer.send(parts[0])  # a repeat changes nothing
    await peer.send(parts[1])
    reply = await peer.recv()
    assert reply["type"] == "path_added" and reply["path"] == "/k1-chunked"
    assert peer.kernel._chunk_buffers == {}
    await peer.probe_next("no-second-reply")


async def test_repeated_first_chunk_counts_once(peer):
    parts = chunks_of({"type": "add_path", "path": "/k1-rep"}, 3)
    await peer.send(parts[0])
    await peer.send({**parts[0], "data": "other"})
    await peer.probe_next("repeat")
    buffer = peer.kernel._chunk_buffers["c1"]
    assert buffer["received"] == 1 and buffer["total"] == 3 and buffer["chunks"][0] == parts[0]["data"]


async def test_chunk_without_data_is_an_empty_piece(peer):
    text = json.dumps({"type": "add_path", "path": "/k1-nodata"})
    await peer.send({"type": "chunk", "chunk_id": "n", "chunk_index": 0, "total_chunks": 2, "data": text})
    await peer.send({"type": "chunk", "chunk_id": "n", "chunk_index": 1, "total_chunks": 2})
    assert (await peer.recv())["path"] == "/k1-nodata"


@pytest.mark.parametrize("chunk, line", [
    ({"chunk_index": 0, "total_chunks": 1}, "[Kernel] Invalid chunk message: missing required fields"),
    ({"chunk_id": "a", "chunk_index": None, "total_chunks": 1}, "[Kernel] Invalid chunk message: missing required fields"),
    ({"chunk_id": "a", "chunk_index": "0", "total_chunks": 1},
     "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers"),
    ({"chunk_id": "a", "chunk_index": 0, "total_chunks": 1.0},
     "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers"),
    ({"chunk_id": "a", "chunk_index": 2, "total_chunks": 2}, "[Kernel] Invalid chunk_index 2 for total_chunks 2"),
    ({"chunk_id": "a", "chunk_index": -1, "total_chunks": 2}, "[Kernel] Invalid chunk_index -1 for total_chunks 2"),
    ({"chunk_id": "a", "chunk_index": 0, "total_chunks": 0}, "[Kernel] Invalid chunk_index 0 for total_chunks 0"),
    # mended cases: a memory-exhausting total, an unusable id, data that is not text
    ({"chunk_id": "a", "chunk_index": 0, "total_chunks": 10 ** 15},
     "[Kernel] Invalid total_chunks 1000000000000000: more than 65536"),
    ({"chunk_id": ["a"], "chunk_index": 0, "total_chunks": 1},
     "[Kernel] Invalid chunk message: chunk_id must be a string, not list"),
    ({"chunk_id": "a", "chunk_index": 0, "total_chunks": 1, "data": 5},
     "[Kernel] Invalid chunk message: data must be a string, not int"),
])
async def test_bad_chunks_are_logged_and_leave_no_buffer(peer, caplog, chunk, line):
    await peer.send({"type": "chunk", **chunk})
    await peer.probe_next("after-bad-chunk")
    assert line in kernel_lines(caplog)
    assert peer.kernel._chunk_buffers == {}


@pytest.mark.parametrize("text, line", [
    ('{"type": "add_path"', "[Kernel] Failed to parse reassembled message: "),
    ('{"type": "chunk", "chunk_id": "z", "chunk_index": 0, "total_chunks": 1, "data": "{}"}',
     "[Kernel] Nested chunk message detected for chunk_id d, rejecting"),
    ('[{"type": "add_path", "path": "/k1"}]', "[Kernel] Reassembled message for chunk_id d is not a JSON object"),
    ('"add_path"', "[Kernel] Reassembled message for chunk_id d is not a JSON object"),
])
async def test_reassembled_text_that_is_no_message_is_rejected(peer, caplog, text, line):
    half = len(text) // 2
    for i, piece in enumerate([text[:half], text[half:]]):
        await peer.send({"type": "chunk", "chunk_id": "d", "chunk_index": i, "total_chunks": 2, "data": piece})
    await peer.probe_next("after-reassembly")
    assert any(entry.startswith(line) for entry in kernel_lines(caplog))
    assert peer.kernel._chunk_buffers == {}


async def test_index_outside_an_earlier_buffer_is_rejected_and_the_buffer_survives(peer, caplog):
    parts = chunks_of({"type": "add_path", "path": "/k1-grow"}, 2, chunk_id="g")
    await peer.send(parts[0])
    await peer.send({**parts[1], "chunk_index": 4, "total_chunks": 5})
    await peer.probe_next("after-grow")
    assert "[Kernel] Invalid chunk_index 4 for the buffer of chunk_id g, which holds 2 chunks" in kernel_lines(caplog)
    assert len(peer.kernel._chunk_buffers["g"]["chunks"]) == 2
    await peer.send(parts[1])
    assert (await peer.recv())["path"] == "/k1-grow"


async def test_null_data_completes_as_an_incomplete_buffer(peer, caplog):
    await peer.send({"type": "chunk", "chunk_id": "e", "chunk_index": 0, "total_chunks": 1, "data": None})
    await peer.probe_next("after-null")
    assert "[Kernel] Incomplete chunk buffer for chunk_id e" in kernel_lines(caplog)
    assert peer.kernel._chunk_buffers == {}


# -- batcher ---------------------------------------------------------------------------


async def test_one_queued_message_goes_out_as_itself(peer):
    await peer.kernel._batcher.enqueue({"type": "solo", "n": 1})
    assert await peer.recv() == {"type": "solo", "n": 1}


async def test_a_burst_becomes_one_batch_in_order(peer):
    batcher = peer.kernel._batcher
    for n in range(3):
        await batcher.enqueue({"type": "item", "n": n})
    assert await peer.recv() == {"type": "batch", "messages": [{"type": "item", "n": n} for n in range(3)]}


async def test_stop_right_after_enqueue_still_sends(peer):
    batcher = peer.kernel._batcher
    await batcher.enqueue({"type": "last"})
    await batcher.stop()
    assert batcher._running is False and batcher._flush_task.cancelled()
    assert await peer.recv() == {"type": "last"}


async def test_a_never_started_batcher_flushes_on_stop(peer):
    batcher = kmod.MessageBatcher(peer.kernel)
    assert (batcher._kernel, batcher._flush_task, batcher._running) == (peer.kernel, None, False)
    await batcher.enqueue({"type": "a"})
    await batcher.enqueue({"type": "b"})
    await batcher.stop()
    assert await peer.recv() == {"type": "batch", "messages": [{"type": "a"}, {"type": "b"}]}


async def test_a_failed_flush_loses_its_messages_but_the_loop_goes_on(peer, caplog):
    batcher = kmod.MessageBatcher(peer.kernel)
    await batcher.start()
    await batcher.enqueue({"type": "bad", "value": object()})
    for _ in range(200):
        if any("Batch send failed" in line for line in kernel_lines(caplog)):
            break
        await asyncio.sleep(0.01)
    assert "[Kernel] Batch send failed, 1 message(s) lost (bad): TypeError: " in "\n".join(kernel_lines(caplog))
    assert not batcher._flush_task.done()
    await batcher.enqueue({"type": "later"})
    assert await peer.recv() == {"type": "later"}
    await batcher.enqueue({"type": "bad", "value": object()})
    with pytest.raises(TypeError):
        await batcher.stop()


# -- sys_request / sys_response ----------------------------------------------------------


async def call_in_thread(func, *args, **kwargs):
    return await asyncio.get_running_loop().run_in_executor(None, lambda: func(*args, **kwargs))


async def test_a_worker_waits_for_its_answer(peer):
    request = {"action": "read", "requestId": "mine", "kind": "mine"}
    call = asyncio.ensure_future(call_in_thread(tarnlet.messaging.send_request_sync, request, timeout=TIMEOUT))
    sent = await peer.recv("sys_request")
    payload = sent["payload"]
    assert list(sent) == ["type", "payload"] and list(payload) == ["action", "requestId", "kind"]
    assert re.fullmatch(r"[0-9a-f]{32}", payload["requestId"]) and payload["kind"] == "request"
    assert request == {"action": "read", "requestId": "mine", "kind": "mine"}
    await peer.probe_next("still-waiting")  # the listener has moved on; the worker still waits
    assert not call.done()
    await peer.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "value": 42}})
    assert await asyncio.wait_for(call, TIMEOUT) == {"requestId": payload["requestId"], "value": 42}
    assert peer.kernel._response_futures == {} and peer.kernel._response_data == {}


async def test_response_without_payload_is_the_whole_message(peer):
    call = asyncio.ensure_future(call_in_thread(tarnlet.messaging.send_request_sync, {}, timeout=TIMEOUT))
    request_id = (await peer.recv("sys_request"))["payload"]["requestId"]
    answer = {"type": "sys_response", "requestId": request_id, "value": [1, 2]}
    await peer.send({**answer, "payload": {}})
    assert await asyncio.wait_for(call, TIMEOUT) == {**answer, "payload": {}}


async def test_two_waiting_workers_are_released_independently(peer):
    send = tarnlet.messaging.send_request_sync
    first = asyncio.ensure_future(call_in_thread(send, {"n": 1}, timeout=TIMEOUT))
    second = asyncio.ensure_future(call_in_thread(send, {"n": 2}, timeout=TIMEOUT))
    ids = {}
    for _ in range(2):
        payload = (await peer.recv("sys_request"))["payload"]
        ids[payload["n"]] = payload["requestId"]
    await peer.send({"type": "sys_response", "payload": {"requestId": ids[2], "v": "two"}})
    assert (await asyncio.wait_for(second, TIMEOUT))["v"] == "two"
    assert not first.done()
    await peer.send({"type": "sys_response", "payload": {"requestId": ids[1], "v": "one"}})
    assert (await asyncio.wait_for(first, TIMEOUT))["v"] == "one"


async def test_unanswered_request_times_out_and_cleans_up(peer, caplog):
    with pytest.raises(TimeoutError) as info:
        await call_in_thread(tarnlet.messaging.send_request_sync, {"a": 1}, timeout=0.5)
    request_id = (await peer.recv("sys_request"))["payload"]["requestId"]
    assert str(info.value) == f"sys_request timeout after 0.5s: {request_id}"
    assert peer.kernel._response_futures == {} and peer.kernel._response_data == {}
    assert any(line.endswith(f"] sys_request timeout: {request_id}") for line in kernel_lines(caplog))
    await peer.send({"type": "sys_response", "payload": {"requestId": request_id}})
    await peer.probe_next("late-answer")
    assert f"[Kernel] Received sys_response for unknown request_id: {request_id}" in kernel_lines(caplog)


async def test_the_loop_thread_may_not_block(peer):
    with pytest.raises(RuntimeError, match="must not be called from the async event loop thread"):
        tarnlet.messaging.send_request_sync({"a": 1})
    assert peer.kernel._response_futures == {}


async def test_event_set_without_data_is_an_error(peer):
    kernel = peer.kernel

    def worker():
        event_seen = threading.Event()

        def answer_without_data():
            while not kernel._response_futures:
                event_seen.wait(0.01)
            with kernel._response_lock:
                next(iter(kernel._response_futures.values())).set()

        threading.Thread(target=answer_without_data, daemon=True).start()
        return tarnlet.messaging.send_request_sync({}, timeout=TIMEOUT)

    with pytest.raises(RuntimeError, match="sys_response data missing for request_id: "):
        await call_in_thread(worker)


@pytest.mark.parametrize("response, line", [
    ({"type": "sys_response", "payload": {"value": 1}}, "[Kernel] Received sys_response without requestId"),
    ({"type": "sys_response", "requestId": "nobody"}, "[Kernel] Received sys_response for unknown request_id: nobody"),
])
async def test_unmatched_responses_only_warn(peer, caplog, response, line):
    await peer.send(response)
    await peer.probe_next("after-response")
    assert line in kernel_lines(caplog)


@pytest.mark.parametrize("response, field", [
    ({"type": "sys_response", "payload": [1, 2]}, "payload"),
    ({"type": "sys_response", "payload": "text", "request_id": "q"}, "payload"),
    ({"type": "sys_response", "payload": {"requestId": ["x"]}}, "requestId"),
    ({"type": "sys_response", "requestId": {"a": 1}}, "requestId"),
])
async def test_wrongly_typed_responses_are_answered_with_an_error(peer, response, field):
    await peer.send(response)
    reply = await peer.recv()
    assert reply["type"] == "error" and f"'{field}'" in reply["message"]
    assert reply.get("request_id") == response.get("request_id")
    await peer.probe_next("after-typed-response")


async def test_printing_from_a_worker_streams_without_blocking():
    # Connected here, not in a fixture: pytest puts its own sys.stdout back for each test phase.
    async with connected_kernel() as peer:
        assert isinstance(sys.stdout, kmod.KernelStreamHook)
        await call_in_thread(print, "from worker")
        first, second = await peer.recv("stdout"), await peer.recv("stdout")
    assert first == {"type": "stdout", "content": "from worker", "workbook_id": "wb-msg"}
    assert second["content"] == "\n"
