"""Large messages both ways between the development host and a real kernel: the
host chunks what it sends exactly as the kernel does, and joins the kernel's chunks."""

import json

import pytest

from tarnlet_master.devhost import DevHost
from tarnlet_master.devhost.wire import CHUNK_SIZE, ChunkJoiner, encode, frames_for

pytestmark = pytest.mark.timeout(60)

T = 30.0


def message_of_length(length, **fields):
    """A message whose compact JSON text has exactly ``length`` characters."""
    message = {"type": "update_module", **fields, "code": ""}
    message["code"] = "#" * (length - len(encode(message)))
    assert len(encode(message)) == length
    return message


def test_host_chunks_at_the_kernels_boundary():
    assert frames_for(message_of_length(CHUNK_SIZE)) == [encode(message_of_length(CHUNK_SIZE))]
    chunks = [json.loads(f) for f in frames_for(message_of_length(CHUNK_SIZE + 1, request_id="r"))]
    assert [(c["chunk_index"], c["total_chunks"], len(c["data"])) for c in chunks] == [(0, 2, CHUNK_SIZE), (1, 2, 1)]
    assert list(chunks[0]) == ["type", "chunk_id", "chunk_index", "total_chunks", "data", "original_type",
                               "request_id"]
    assert chunks[0]["chunk_id"] == chunks[1]["chunk_id"] and len(chunks[0]["chunk_id"]) == 36
    assert (chunks[0]["original_type"], chunks[0]["request_id"]) == ("update_module", "r")
    exact = [json.loads(f) for f in frames_for(message_of_length(2 * CHUNK_SIZE))]
    assert [len(c["data"]) for c in exact] == [CHUNK_SIZE, CHUNK_SIZE]
    untyped = json.loads(frames_for({"code": "x" * CHUNK_SIZE})[0])
    assert (untyped["original_type"], untyped["request_id"]) == ("unknown", "N/A")


def test_joiner_takes_chunks_in_any_order_and_drops_bad_ones():
    original = {"type": "result", "text": "é" * 150000 + '"\\'}
    chunks = [json.loads(f) for f in frames_for(original)]
    assert len(chunks) == 3
    joiner = ChunkJoiner()
    assert joiner.add(chunks[2]) is None
    assert joiner.add(dict(chunks[0], chunk_index="0")) is None     # refused, buffer untouched
    assert joiner.add(dict(chunks[0], chunk_index=7)) is None
    assert joiner.add(chunks[0]) is None
    assert joiner.add(chunks[0]) is None                              # a repeat changes nothing
    assert joiner.add(chunks[1]) == original
    assert joiner.pending == 0
    assert joiner.add({"type": "chunk", "chunk_id": "x", "chunk_index": 0, "total_chunks": 1, "data": "[1]"}) is None


async def test_large_messages_in_both_directions():
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-large")

        # Host -> kernel: a module of ~600 KB goes in 10 chunks; the kernel joins and imports it.
        rows = "\n".join(f"ROW_{i} = {i!r}  # {'pad' * 20}" for i in range(8000))
        module = rows + "\n\ndef count(text):\n    return [len(text), text[:3], text[-3:]]\n"
        assert len(frames_for({"type": "update_module", "module_name": "big", "code": module})) > 5
        reply = await kernel.update_module("big", module, timeout=T)
        assert reply.final == {"type": "module_updated", "module_name": "big"}
        assert await kernel.evaluate("__import__('big').ROW_7999", timeout=T) == 7999

        # A 3 MB argument: more than the kernel accepts as one frame, so it only arrives in chunks.
        text = "αβγ" + "x" * 3_000_000 + "end"
        reply = await kernel.call_function("big", "count", [text], timeout=T)
        assert reply.final["status"] == "success"
        assert reply.final["result"] == [len(text), "αβγ", "end"]

        # Kernel -> host: a 2 MB result with non-ASCII text and quotes comes back in chunks.
        chunked_before = kernel.chunked_messages_received
        reply = await kernel.execute("'ü\"' * 700_000", function_name="big_result", timeout=T)
        assert reply.final["type"] == "execution_result"
        assert reply.final["result"] == 'ü"' * 700_000
        assert kernel.chunked_messages_received - chunked_before >= 2   # result_output and execution_result

        # Large streamed output arrives in order.
        reply = await kernel.execute("print('#' * 200_000)", timeout=T)
        assert reply.text() == "#" * 200_000 + "\n"
