"""Invocation throughput of the kernel, against a floor measured in the same run.

The bench process plays the Business Layer: a websockets server at "/ws/kernel/<id>".
Three peers connect to it, one after the other, each in a process of its own:

* the kernel, started through its real entry `main` (platform "web");
* the floor: a bare websockets client that answers the same messages with the same
  replies (decode, build the three answers of a call, encode with the kernel's encoder,
  send), and does nothing else: no task, no worker thread, no import, no output capture;
* the hop floor: the floor, with each call run as a task of its own on a worker of a
  10-thread pool, as the kernel's design runs it; what the kernel costs beyond it is its
  own work (the checks, the log, the capture, the serialiser).

Measured:

1. 20,000 "custom_function_call" requests for a two-argument workbook function, pipelined
   (a window of requests in flight, and all sent at once): calls/s, the p50 and p99 latency
   from a request's send to its "function_execution_result", and the peer process's CPU
   time per call (user + system, from /proc or psutil), in all and on its main thread, which
   runs the event loop.
2. 2,000 sequential calls (one in flight): p50 and p99 latency.
3. A streaming generator of 100,000 values: values/s from the request to the final message.

The kernel runs at TARNLET_LOG_LEVEL (default INFO, the kernel's own default).

Run: python bench/bench_invocation.py [--calls N] [--sequential N] [--values N] [--window N] [--rounds N]
                                      [--log-level L] [--compression deflate|none]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import json
import os
import statistics
import tempfile
import textwrap
import time

import websockets

from benchlib import (FLOOR_PRELUDE, KERNEL_PEER, end_process, log_level, process_cpu_seconds, result,
                      start_peer_process)

WORKBOOK = "wb-bench"
MODULE = "bench_functions"
SOURCE = """\
def add(a, b):
    return a + b

def values(n):
    for i in range(n):
        yield i
"""

# A peer's loop: `on_call(ws, m)` answers a call, by way of `reply(ws, m, value)`.
PEER_LOOP = textwrap.dedent("""
    async def reply(ws, m, value):
        rid, wb, source = m.get("request_id"), m.get("workbook_id"), m.get("source", "addin")
        await ws.send(dumps({"type": "result_output", "content": "Out: " + repr(value) + "\\n",
                             "request_id": rid, "workbook_id": wb, "source": source}))
        await ws.send(dumps({"type": "execution_result", "success": True, "result": value,
                             "logs": "", "request_id": rid, "module_name": m["module_name"],
                             "function_name": m["function_name"], "workbook_id": wb, "source": source}))
        await ws.send(dumps({"type": "function_execution_result", "request_id": rid,
                             "status": "success", "result": value, "logs": ""}))

    async def main(workbook_id, port):
        async with websockets.connect(f"ws://127.0.0.1:{port}/ws/kernel/{workbook_id}") as ws:
            async for raw in ws:
                m = json.loads(raw)
                kind = m.get("type")
                if kind == "update_module":
                    await ws.send(dumps({"type": "module_updated", "module_name": m["module_name"]}))
                elif kind == "custom_function_call":
                    await on_call(ws, m)
                elif kind == "execute_streaming_function":
                    rid = m["request_id"]
                    for i in range(m["args"][0]):
                        await ws.send(dumps({"type": "streaming_function_result", "request_id": rid,
                                             "result": i, "done": False, "workbook_id": workbook_id}))
                    await ws.send(dumps({"type": "streaming_function_result", "request_id": rid,
                                         "done": True, "workbook_id": workbook_id}))

    asyncio.run(main(sys.argv[1], sys.argv[2]))
    """)

FLOOR_PEER = "import asyncio, json, sys\n" + FLOOR_PRELUDE + textwrap.dedent("""
    async def on_call(ws, m):
        a, b = m["args"]
        await reply(ws, m, a + b)
    """) + PEER_LOOP

# The floor with the one thing the kernel's design adds to every call: the call runs as a
# task of its own, on a worker of a 10-thread pool (loop.run_in_executor), and its three
# replies go out together under a lock once it is back on the loop. Still no logging, no
# capture, no import, no checks: what is left between it and the kernel is the kernel's own work.
HOP_FLOOR_PEER = "import asyncio, concurrent.futures, json, sys\n" + FLOOR_PRELUDE + textwrap.dedent("""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=10)
    tasks = set()
    lock = asyncio.Lock()  # bound to the loop on first use

    async def call(ws, m):
        value = await asyncio.get_running_loop().run_in_executor(pool, lambda: m["args"][0] + m["args"][1])
        async with lock:
            await reply(ws, m, value)

    async def on_call(ws, m):
        task = asyncio.create_task(call(ws, m))
        tasks.add(task)
        task.add_done_callback(tasks.discard)
    """) + PEER_LOOP


class Driver:
    """The Business Layer's end of one peer's connection."""

    def __init__(self):
        self.connected = asyncio.get_running_loop().create_future()
        self.handlers = []  # (predicate, callback) pairs for incoming messages

    async def handler(self, ws):
        self.connected.set_result(ws)
        async for raw in ws:
            message = json.loads(raw)
            for callback in list(self.handlers):
                callback(message)

    async def expect(self, predicate, timeout=60):
        future = asyncio.get_running_loop().create_future()

        def on_message(message):
            if not future.done() and predicate(message):
                future.set_result(message)

        self.handlers.append(on_message)
        try:
            return await asyncio.wait_for(future, timeout)
        finally:
            self.handlers.remove(on_message)


async def run_calls(driver, ws, calls, window, pid=None):
    """Sends `calls` requests with at most `window` in flight (0: no limit).

    Returns (elapsed seconds, latencies in seconds, (CPU seconds of process `pid` meanwhile, of its main
    thread, the event loop's) or None).
    """
    sent_at, latencies = {}, []
    done = asyncio.Event()
    slots = asyncio.Semaphore(window) if window else None
    wrong = []

    def on_message(message):
        if message.get("type") != "function_execution_result":
            return
        rid = message["request_id"]
        latencies.append(time.perf_counter() - sent_at.pop(rid))
        index = int(rid[1:])
        if message.get("result") != index + 1:
            wrong.append(message)
        if slots is not None:
            slots.release()
        if len(latencies) == calls:
            done.set()

    driver.handlers.append(on_message)
    cpu_before = (process_cpu_seconds(pid), process_cpu_seconds(pid, pid)) if pid else None
    start = time.perf_counter()
    for i in range(calls):
        if slots is not None:
            await slots.acquire()
        rid = f"c{i}"
        sent_at[rid] = time.perf_counter()
        await ws.send(json.dumps({"type": "custom_function_call", "module_name": MODULE, "function_name": "add",
                                  "args": [i, 1], "request_id": rid, "workbook_id": WORKBOOK}))
    await asyncio.wait_for(done.wait(), 600)
    elapsed = time.perf_counter() - start
    cpu_after = (process_cpu_seconds(pid), process_cpu_seconds(pid, pid)) if pid else None
    driver.handlers.remove(on_message)
    if wrong:
        raise AssertionError(f"{len(wrong)} wrong results, e.g. {wrong[0]}")
    cpu = None
    if cpu_before is not None and None not in cpu_before + cpu_after:
        cpu = (cpu_after[0] - cpu_before[0], cpu_after[1] - cpu_before[1])
    return elapsed, latencies, cpu


async def run_stream(driver, ws, values):
    count = 0
    done = asyncio.Event()

    def on_message(message):
        nonlocal count
        if message.get("type") == "streaming_function_result" and message.get("request_id") == "stream":
            if message.get("done"):
                done.set()
            else:
                count += 1

    driver.handlers.append(on_message)
    start = time.perf_counter()
    await ws.send(json.dumps({"type": "execute_streaming_function", "request_id": "stream", "module_name": MODULE,
                              "function_name": "values", "args": [values], "workbook_id": WORKBOOK,
                              "source": "addin"}))
    await asyncio.wait_for(done.wait(), 600)
    elapsed = time.perf_counter() - start
    driver.handlers.remove(on_message)
    if count != values:
        raise AssertionError(f"stream delivered {count} of {values} values")
    return elapsed


class Peer:
    """One peer process connected to a driver of its own.

    compression "none": the driver refuses permessage-deflate, so the peer's frames go uncompressed.
    """

    def __init__(self, name, source, args, log_path, compression="deflate"):
        self.name, self.source, self.args, self.log_path = name, source, args, log_path
        self.compression = compression

    async def __aenter__(self):
        self.driver = Driver()
        options = {"compression": None} if self.compression == "none" else {}
        self.server = await websockets.serve(self.driver.handler, "127.0.0.1", 0, max_size=None, **options)
        port = self.server.sockets[0].getsockname()[1]
        self.log = open(self.log_path, "w")
        self.process = start_peer_process(self.source, WORKBOOK, port, self.log, self.args.log_level)
        self.ws = await asyncio.wait_for(self.driver.connected, 60)
        await self.ws.send(json.dumps({"type": "update_module", "module_name": MODULE, "code": SOURCE}))
        await self.driver.expect(lambda m: m.get("type") == "module_updated")
        await run_calls(self.driver, self.ws, min(1000, self.args.calls), self.args.window or 100)  # warm-up
        return self

    async def __aexit__(self, *exc):
        await self.ws.close()
        end_process(self.process)
        self.log.close()
        self.server.close()
        await self.server.wait_closed()

    async def round(self, windows):
        """{window: (elapsed, latencies, cpu)} for each window, plus "stream": elapsed."""
        pid = self.process.pid
        results = {window: await run_calls(self.driver, self.ws, self.args.calls, window, pid) for window in windows}
        if self.args.sequential:
            results["sequential"] = await run_calls(self.driver, self.ws, self.args.sequential, 1, pid)
        results["stream"] = await run_stream(self.driver, self.ws, self.args.values)
        return results


def p50(latencies):
    return statistics.median(latencies)


def p99(latencies):
    return statistics.quantiles(latencies, n=100, method="inclusive")[98]


def score(key, value):
    """What "best" means for a figure: the shortest time, or for sequential calls the lowest p50."""
    if key == "sequential":
        return p50(value[1])
    return value[0] if isinstance(value, tuple) else value


def keep_best(best, results):
    for key, value in results.items():
        if key not in best or score(key, value) < score(key, best[key]):
            best[key] = value


def call_line(label, elapsed, latencies, cpu, calls):
    cpu_text = (f"   CPU {cpu[0] / calls * 1e6:6.0f} us/call (loop thread {cpu[1] / calls * 1e6:4.0f})"
                if cpu is not None else "")
    return (f"  {label:<7} {calls / elapsed:9.0f} calls/s   p50 {p50(latencies) * 1e3:8.2f} ms"
            f"   p99 {p99(latencies) * 1e3:8.2f} ms{cpu_text}")


def add_arguments(parser):
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--sequential", type=int, default=2000, help="sequential calls (one in flight); 0: none")
    parser.add_argument("--values", type=int, default=100000)
    parser.add_argument("--window", type=int, default=100, help="requests in flight; 0: all at once")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds; the best of each is kept")
    parser.add_argument("--log-level", default=log_level(), help="TARNLET_LOG_LEVEL of the kernel process")


async def main():
    parser = argparse.ArgumentParser()
    add_arguments(parser)
    parser.add_argument("--compression", choices=("deflate", "none"), default="deflate",
                        help="whether the host accepts permessage-deflate (websockets' default: it does)")
    args = parser.parse_args()

    windows = sorted({args.window, 0}, reverse=True)
    log_dir = tempfile.mkdtemp(prefix="bench_invocation_")
    kernel_log = os.path.join(log_dir, "kernel.log")
    best = {"kernel": {}, "floor": {}, "hop floor": {}}
    async with Peer("floor", FLOOR_PEER, args, os.path.join(log_dir, "floor.log"), args.compression) as floor, \
            Peer("hop floor", HOP_FLOOR_PEER, args, os.path.join(log_dir, "hop.log"), args.compression) as hop, \
            Peer("kernel", KERNEL_PEER, args, kernel_log, args.compression) as kernel:
        for _ in range(args.rounds):
            # Alternating rounds, so that load from elsewhere on the machine hits all alike.
            for peer in (floor, hop, kernel):
                keep_best(best[peer.name], await peer.round(windows))
    with open(kernel_log) as log:
        log_lines = sum(1 for _ in log)

    kb, fb, hb = best["kernel"], best["floor"], best["hop floor"]
    print(f"custom_function_call, {args.calls} calls of add(a, b), best of {args.rounds} alternating rounds "
          f"(kernel log level {args.log_level}, {log_lines} kernel log lines, compression {args.compression})")
    for window in windows:
        print(f" {'window ' + str(window) if window else 'all sent at once'}:")
        print(call_line("kernel", *kb[window], args.calls))
        print(call_line("floor", *fb[window], args.calls))
        print(call_line("hop", *hb[window], args.calls))
        print(f"  kernel throughput = {fb[window][0] / kb[window][0]:.2f} x the floor's, "
              f"{hb[window][0] / kb[window][0]:.2f} x the hop floor's")
    if args.sequential:
        print(f" sequential, {args.sequential} calls one at a time:")
        print(call_line("kernel", *kb["sequential"], args.sequential))
        print(call_line("floor", *fb["sequential"], args.sequential))
        print(call_line("hop", *hb["sequential"], args.sequential))
        print(f"  kernel p50 = {p50(kb['sequential'][1]) / p50(fb['sequential'][1]):.2f} x the floor's, "
              f"{p50(kb['sequential'][1]) / p50(hb['sequential'][1]):.2f} x the hop floor's")
    print(f"streaming generator, {args.values} values")
    print(f"  kernel  {args.values / kb['stream']:9.0f} values/s")
    print(f"  floor   {args.values / fb['stream']:9.0f} values/s")
    print(f"  kernel = {fb['stream'] / kb['stream']:.2f} x the floor's rate")

    window = windows[0]
    result("invocation.pipelined_calls", args.calls / kb[window][0], "calls/s", args.calls / fb[window][0])
    if window:
        result("invocation.all_at_once_calls", args.calls / kb[0][0], "calls/s", args.calls / fb[0][0])
    if kb[window][2] is not None and fb[window][2]:
        # The floor is single-threaded: its process time is its loop thread's.
        result("invocation.cpu_per_call", kb[window][2][0] / args.calls * 1e6, "us",
               fb[window][2][0] / args.calls * 1e6)
        result("invocation.loop_cpu_per_call", kb[window][2][1] / args.calls * 1e6, "us",
               fb[window][2][1] / args.calls * 1e6)
    if args.sequential:
        result("invocation.sequential_call_p50", p50(kb["sequential"][1]) * 1e3, "ms", p50(fb["sequential"][1]) * 1e3)
    # Against the floor that runs each call on a pool worker too: the kernel's own cost.
    result("invocation.pipelined_calls_vs_hop_floor", args.calls / kb[window][0], "calls/s",
           args.calls / hb[window][0])
    if kb[window][2] is not None and hb[window][2]:
        result("invocation.cpu_per_call_vs_hop_floor", kb[window][2][0] / args.calls * 1e6, "us",
               hb[window][2][0] / args.calls * 1e6)
    if args.sequential:
        result("invocation.sequential_call_p50_vs_hop_floor", p50(kb["sequential"][1]) * 1e3, "ms",
               p50(hb["sequential"][1]) * 1e3)
    result("invocation.stream_values", args.values / kb["stream"], "values/s", args.values / fb["stream"])


if __name__ == "__main__":
    asyncio.run(main())
