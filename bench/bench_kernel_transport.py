"""The kernel's transport: round trips and large replies, against a floor measured in the same run.

The bench process plays the Business Layer: a websockets server at "/ws/kernel/<id>". Three peers
connect to it in turn, each in a process of its own:

* the kernel, started through its real entry `main` (platform "web");
* the floor: a bare websockets client that decodes each request and sends the same replies
  (same keys, same encoder, the same chunking of texts over 65536 characters), and nothing else;
* the hop floor: the floor, evaluating the code on a worker of a 10-thread pool as the kernel
  does (its "1+1" figure only).

Measured, for each peer:

1. sequential round trips of "add_path" -> "path_added": p50 and p99 latency;
2. sequential round trips of "execution_request" "1+1" -> "execution_result": p50 and p99;
   and the peer process's CPU time per execution (user + system, from /proc or psutil);
3. a reply of about 10 MB: "execution_request" of a 10,000,000-character string, whose
   "result_output" and "execution_result" (about 10 MB each) arrive in chunks: MB/s of frames
   received until both are reassembled.

Floor and kernel alternate for --rounds rounds; the best figure of each is kept.
The kernel runs at TARNLET_LOG_LEVEL (default INFO, the kernel's own default).

Run: python bench/bench_kernel_transport.py [--trips N] [--size CHARS] [--rounds N]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import json
import statistics
import sys
import tempfile
import textwrap
import time
import uuid

import websockets

from benchlib import FLOOR_PRELUDE, KERNEL_PEER, end_process, process_cpu_seconds, result, start_peer_process

WORKBOOK = "wb-transport"

FLOOR_PEER = "import asyncio, json, sys, uuid\n" + FLOOR_PRELUDE + textwrap.dedent("""\
    CHUNK_SIZE = 65536

    async def send(ws, message):
        raw = dumps(message)
        if len(raw) <= CHUNK_SIZE:
            await ws.send(raw)
            return
        chunk_id, total = str(uuid.uuid4()), -(-len(raw) // CHUNK_SIZE)
        for i in range(total):
            await ws.send(dumps({"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": total,
                                 "data": raw[i * CHUNK_SIZE:(i + 1) * CHUNK_SIZE],
                                 "original_type": message.get("type", "unknown"),
                                 "request_id": message.get("request_id", "N/A")}))

    async def main(workbook_id, port):
        async with websockets.connect(f"ws://127.0.0.1:{port}/ws/kernel/{workbook_id}", max_size=None) as ws:
            async for raw in ws:
                m = json.loads(raw)
                kind = m.get("type")
                if kind == "add_path":
                    path = m.get("path", "")
                    if path not in sys.path:
                        sys.path.insert(0, path)
                    await send(ws, {"type": "path_added", "path": path, "current_paths": sys.path})
                elif kind == "execution_request":
                    value = eval(m.get("code", ""))
                    rid, source = m.get("request_id"), m.get("source", "ide")
                    text = repr(value)
                    await send(ws, {"type": "result_output", "content": "Out: " + text + "\\n", "request_id": rid,
                                    "workbook_id": workbook_id, "source": source})
                    await send(ws, {"type": "execution_result", "success": True, "result": text,
                                    "request_id": rid, "function_name": None, "workbook_id": workbook_id,
                                    "source": source})

    asyncio.run(main(sys.argv[1], sys.argv[2]))
""")


# The floor with the worker hop of the kernel's design: the code is evaluated on a worker of a
# 10-thread pool (loop.run_in_executor) instead of on the loop. Nothing else changes.
HOP_FLOOR_PEER = FLOOR_PEER.replace(
    "import asyncio, json, sys, uuid\n", "import asyncio, concurrent.futures, json, sys, uuid\n", 1).replace(
    "async def main(workbook_id, port):\n",
    "async def main(workbook_id, port):\n"
    "    pool = concurrent.futures.ThreadPoolExecutor(max_workers=10)\n", 1).replace(
    'value = eval(m.get("code", ""))',
    'value = await asyncio.get_running_loop().run_in_executor(pool, eval, m.get("code", ""))', 1)
assert HOP_FLOOR_PEER.count("run_in_executor") == 1 and "pool = " in HOP_FLOOR_PEER


class Receiver:
    """Reads frames and hands back whole messages, joining chunks as the Business Layer would."""

    def __init__(self, ws):
        self.ws, self.buffers, self.bytes = ws, {}, 0

    async def message(self):
        while True:
            raw = await self.ws.recv()
            self.bytes += len(raw)
            msg = json.loads(raw)
            if msg.get("type") != "chunk":
                return msg
            buf = self.buffers.setdefault(msg["chunk_id"], [None] * msg["total_chunks"])
            buf[msg["chunk_index"]] = msg["data"]
            if all(piece is not None for piece in buf):
                del self.buffers[msg["chunk_id"]]
                return json.loads("".join(buf))

    async def until(self, kind, request_id=None):
        while True:
            msg = await self.message()
            if msg.get("type") == kind and (request_id is None or msg.get("request_id") == request_id):
                return msg


def percentiles(samples):
    ordered = sorted(samples)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


async def measure(ws, trips, size, pid):
    rx = Receiver(ws)
    for i in range(50):  # warm-up: imports, first compile, the encoder
        await ws.send(json.dumps({"type": "add_path", "path": "/bench-path"}))
        await rx.until("path_added")
        await ws.send(json.dumps({"type": "execution_request", "code": "1+1", "request_id": f"w{i}"}))
        await rx.until("execution_result", f"w{i}")
    results = {}
    samples = []
    for _ in range(trips):
        start = time.perf_counter()
        await ws.send(json.dumps({"type": "add_path", "path": "/bench-path"}))
        await rx.until("path_added")
        samples.append(time.perf_counter() - start)
    results["add_path"] = percentiles(samples)
    samples = []
    cpu_before = process_cpu_seconds(pid)
    for i in range(trips):
        rid = f"e{i}"
        start = time.perf_counter()
        await ws.send(json.dumps({"type": "execution_request", "code": "1+1", "request_id": rid}))
        await rx.until("execution_result", rid)
        samples.append(time.perf_counter() - start)
    results["execution 1+1"] = percentiles(samples)
    cpu_after = process_cpu_seconds(pid)
    results["cpu per execution"] = (cpu_after - cpu_before) / trips if cpu_before is not None else None

    rid = uuid.uuid4().hex
    rx.bytes = 0
    start = time.perf_counter()
    await ws.send(json.dumps({"type": "execution_request", "code": f"'x' * {size}", "request_id": rid}))
    output = await rx.until("result_output", rid)
    result = await rx.until("execution_result", rid)
    elapsed = time.perf_counter() - start
    assert len(output["content"]) == size + 8 and len(result["result"]) == size + 2
    results["large reply"] = (rx.bytes / 1e6 / elapsed, rx.bytes)
    return results


async def run_peer(code, trips, size):
    connected = asyncio.get_running_loop().create_future()
    done = asyncio.Event()

    async def handler(ws):
        connected.set_result(ws)
        await done.wait()

    async with websockets.serve(handler, "127.0.0.1", 0, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        # The log goes to a file, as cheap a reader as the Business Layer's pipe, and out of this output.
        with tempfile.TemporaryFile() as log:
            proc = start_peer_process(code, WORKBOOK, port, log)
            try:
                ws = await asyncio.wait_for(connected, 60)
                results = await measure(ws, trips, size, proc.pid)
                await ws.close()
                done.set()
                end_process(proc, timeout=30)
            except BaseException:
                log.seek(0)
                sys.stderr.write(log.read()[-4000:].decode("utf-8", "replace"))
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                raise
    return results


def better(key, new, old):
    if old is None:
        return True
    if key == "large reply":
        return new[0] > old[0]
    if key == "cpu per execution":
        return new is not None and (old is None or new < old)
    return new[0] < old[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trips", type=int, default=2000, help="sequential round trips per message type")
    parser.add_argument("--size", type=int, default=10_000_000, help="characters of the large reply")
    parser.add_argument("--rounds", type=int, default=3, help="alternating kernel/floor rounds; the best is kept")
    args = parser.parse_args()
    best = {"kernel": {}, "floor": {}, "hop floor": {}}
    for round_no in range(args.rounds):
        floor = asyncio.run(run_peer(FLOOR_PEER, args.trips, args.size))
        hop = asyncio.run(run_peer(HOP_FLOOR_PEER, args.trips, args.size))
        kernel = asyncio.run(run_peer(KERNEL_PEER, args.trips, args.size))
        print(f"round {round_no + 1}: {args.trips} sequential round trips, reply of {args.size:,} characters")
        for name in ("add_path", "execution 1+1"):
            (kp50, kp99), (fp50, fp99) = kernel[name], floor[name]
            print(f"  {name:<14} kernel p50 {kp50 * 1e6:7.0f} us  p99 {kp99 * 1e6:7.0f} us | "
                  f"floor p50 {fp50 * 1e6:7.0f} us  p99 {fp99 * 1e6:7.0f} us | "
                  f"ratio p50 {kp50 / fp50:4.2f}  p99 {kp99 / fp99:4.2f}")
        hp50, hp99 = hop["execution 1+1"]
        print(f"  {'  with a hop':<14} hop floor p50 {hp50 * 1e6:7.0f} us  p99 {hp99 * 1e6:7.0f} us | "
              f"ratio kernel/hop floor p50 {kernel['execution 1+1'][0] / hp50:4.2f}")
        kcpu, fcpu = kernel["cpu per execution"], floor["cpu per execution"]
        if kcpu is not None and fcpu:
            print(f"  {'CPU per 1+1':<14} kernel {kcpu * 1e6:7.0f} us | floor {fcpu * 1e6:7.0f} us | "
                  f"ratio {kcpu / fcpu:4.2f}")
        (krate, kbytes), (frate, _) = kernel["large reply"], floor["large reply"]
        print(f"  {'large reply':<14} kernel {krate:7.1f} MB/s | floor {frate:7.1f} MB/s | "
              f"ratio {frate / krate:4.2f} (floor/kernel)  [{kbytes / 1e6:.1f} MB of frames]")
        for name, figures in (("kernel", kernel), ("floor", floor), ("hop floor", hop)):
            for key, value in figures.items():
                if better(key, value, best[name].get(key)):
                    best[name][key] = value
    kb, fb = best["kernel"], best["floor"]
    result("transport.add_path_p50", kb["add_path"][0] * 1e6, "us", fb["add_path"][0] * 1e6)
    result("transport.execute_1plus1_p50", kb["execution 1+1"][0] * 1e6, "us", fb["execution 1+1"][0] * 1e6)
    if kb.get("cpu per execution") is not None and fb.get("cpu per execution"):
        result("transport.cpu_per_execute", kb["cpu per execution"] * 1e6, "us", fb["cpu per execution"] * 1e6)
    result("transport.large_reply", kb["large reply"][0], "MB/s", fb["large reply"][0])
    # Against the floor that evaluates on a pool worker too: the kernel's own cost.
    hb = best["hop floor"]
    result("transport.execute_1plus1_p50_vs_hop_floor", kb["execution 1+1"][0] * 1e6, "us",
           hb["execution 1+1"][0] * 1e6)


if __name__ == "__main__":
    main()
