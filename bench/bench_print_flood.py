"""Console output end to end: a loop of prints, against a Jupyter ipykernel in the same run.

The code `for i in range(N): print("line", i)` (N = 100,000) is executed

* by the kernel: the bench process plays the Business Layer (a websockets server at
  "/ws/kernel/<id>"), sends one "execution_request" and gathers the "stdout" messages of that
  request until its "execution_result";
* by an ipykernel driven by jupyter_client (the project's "bench" extra): `execute_interactive`
  with an output hook that gathers the "stream" messages.

Measured: seconds from sending the request to holding the final reply with all of the output,
and the kernel process's CPU seconds meanwhile. The gathered text must be every byte the loop
printed, in order; anything else fails the run. The kernels alternate for --rounds rounds and
the best time of each is kept. The kernel runs at TARNLET_LOG_LEVEL (default INFO).

Run: python bench/bench_print_flood.py [--lines N] [--rounds N] [--timeout S]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import importlib.util
import json
import subprocess
import sys
import tempfile
import time

import websockets

from benchlib import KERNEL_PEER, end_process, log_level, process_cpu_seconds, result, start_peer_process

WORKBOOK = "wb-print-flood"


def flood_code(lines):
    return f'for i in range({lines}):\n    print("line", i)\n'


def expected_text(lines):
    return "".join(f"line {i}\n" for i in range(lines))


class Gathered:
    """Output of one run: its text pieces in arrival order, and how many messages carried them."""

    def __init__(self):
        self.pieces, self.messages = [], 0

    def add(self, text):
        self.pieces.append(text)
        self.messages += 1

    def check(self, who, lines):
        text = "".join(self.pieces)
        expected = expected_text(lines)
        if text != expected:
            at = next((i for i, (a, b) in enumerate(zip(text, expected)) if a != b), min(len(text), len(expected)))
            raise AssertionError(f"{who}: output differs from what was printed at character {at} of "
                                 f"{len(expected)} (got {len(text)} characters): {text[max(0, at - 40):at + 40]!r}")


class TarnletKernel:
    """A kernel process connected to a websockets server of this process."""

    async def __aenter__(self):
        self.frames = asyncio.Queue()
        connected = asyncio.get_running_loop().create_future()
        self.closed = asyncio.Event()

        async def handler(ws):
            connected.set_result(ws)
            async for raw in ws:
                self.frames.put_nowait(raw)
            self.closed.set()

        self.server = await websockets.serve(handler, "127.0.0.1", 0, max_size=None)
        port = self.server.sockets[0].getsockname()[1]
        self.log = tempfile.TemporaryFile()  # as cheap a reader of the log as the Business Layer's pipe
        self.process = start_peer_process(KERNEL_PEER, WORKBOOK, port, self.log)
        self.ws = await asyncio.wait_for(connected, 60)
        self.chunks = {}
        await self.flood(10, "warm-up", timeout=60)
        return self

    async def __aexit__(self, *exc):
        await self.ws.close()
        end_process(self.process)
        if exc[0] is not None:
            self.log.seek(0)
            sys.stderr.write(self.log.read()[-4000:].decode("utf-8", "replace"))
        self.log.close()
        self.server.close()
        await self.server.wait_closed()

    def messages(self, raw):
        """The messages of one frame: itself, the members of a "batch", or a reassembled chunked message."""
        message = json.loads(raw)
        kind = message.get("type")
        if kind == "batch":
            return message.get("messages", [])
        if kind == "chunk":
            parts = self.chunks.setdefault(message["chunk_id"], [None] * message["total_chunks"])
            parts[message["chunk_index"]] = message["data"]
            if any(part is None for part in parts):
                return []
            del self.chunks[message["chunk_id"]]
            return self.messages("".join(parts))
        return [message]

    async def flood(self, lines, request_id, timeout):
        """(seconds, kernel CPU seconds, Gathered) of one run of the loop."""
        gathered = Gathered()
        cpu_before = process_cpu_seconds(self.process.pid)
        start = time.perf_counter()
        await self.ws.send(json.dumps({"type": "execution_request", "code": flood_code(lines),
                                       "request_id": request_id}))
        deadline = start + timeout
        while True:
            try:
                raw = await asyncio.wait_for(self.frames.get(), max(0.0, deadline - time.perf_counter()))
            except asyncio.TimeoutError:
                arrived = "".join(gathered.pieces).count("\n")
                raise AssertionError(f"kernel: did not finish in {timeout:.0f} s; {arrived} of {lines} lines "
                                     f"arrived in {gathered.messages} stdout messages") from None
            final = None
            for message in self.messages(raw):
                if message.get("request_id") != request_id:
                    continue
                kind = message.get("type")
                if kind == "stdout":
                    gathered.add(message.get("content", ""))
                elif kind in ("execution_result", "execution_error"):
                    final = message
            if final is not None:
                break
        elapsed = time.perf_counter() - start
        cpu_after = process_cpu_seconds(self.process.pid)
        if final.get("type") != "execution_result":
            raise AssertionError(f"kernel: the loop failed: {final}")
        gathered.check("kernel", lines)
        cpu = cpu_after - cpu_before if cpu_before is not None and cpu_after is not None else None
        return elapsed, cpu, gathered


class JupyterKernel:
    async def __aenter__(self):
        from jupyter_client.manager import start_new_async_kernel

        self.manager, self.client = await start_new_async_kernel(kernel_name="python3", startup_timeout=60,
                                                                 stderr=subprocess.DEVNULL)
        await self.flood(10, timeout=60)
        return self

    async def __aexit__(self, *exc):
        self.client.stop_channels()
        await self.manager.shutdown_kernel(now=True)

    async def flood(self, lines, timeout):
        gathered = Gathered()

        def on_output(message):
            if message["msg_type"] == "stream" and message["content"].get("name") == "stdout":
                gathered.add(message["content"]["text"])

        pid = self.manager.provisioner.process.pid
        cpu_before = process_cpu_seconds(pid)
        start = time.perf_counter()
        reply = await self.client.execute_interactive(flood_code(lines), timeout=timeout, output_hook=on_output)
        elapsed = time.perf_counter() - start
        cpu_after = process_cpu_seconds(pid)
        if reply["content"]["status"] != "ok":
            raise AssertionError(f"ipykernel: the loop failed: {reply['content']}")
        gathered.check("ipykernel", lines)
        cpu = cpu_after - cpu_before if cpu_before is not None and cpu_after is not None else None
        return elapsed, cpu, gathered


def line(label, figures, lines):
    elapsed, cpu, gathered = figures
    cpu_text = f"   CPU {cpu:7.2f} s" if cpu is not None else ""
    return (f"  {label:<10} {elapsed:8.2f} s   {lines / elapsed:9.0f} lines/s{cpu_text}   "
            f"{gathered.messages} stdout messages")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=1, help="alternating kernel/ipykernel rounds; the best is kept")
    parser.add_argument("--timeout", type=float, default=600, help="seconds one run of the loop may take")
    args = parser.parse_args()

    missing = [name for name in ("ipykernel", "jupyter_client") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"ipykernel comparison skipped: {', '.join(missing)} not installed (pip install '.[bench]')")
    best = {}
    async with TarnletKernel() as kernel:
        jupyter = JupyterKernel() if not missing else None
        if jupyter is not None:
            await jupyter.__aenter__()
        try:
            for round_no in range(args.rounds):
                runs = [("kernel", lambda: kernel.flood(args.lines, f"flood-{round_no}", args.timeout))]
                if jupyter is not None:
                    runs.append(("ipykernel", lambda: jupyter.flood(args.lines, args.timeout)))
                for name, run in runs:
                    figures = await run()
                    print(line(name, figures, args.lines), flush=True)
                    if name not in best or figures[0] < best[name][0]:
                        best[name] = figures
            # Still connected and answering after the floods: a short run goes through whole.
            await kernel.flood(10, "after-the-floods", timeout=60)
            print(f"kernel still connected after {args.rounds} flood(s) of {args.lines:,} lines", flush=True)
        finally:
            if jupyter is not None:
                await jupyter.__aexit__(None, None, None)

    print(f"{args.lines:,} print(\"line\", i) end to end, every byte in order, best of {args.rounds} "
          f"(kernel log level {log_level()})")
    for name, figures in best.items():
        print(line(name, figures, args.lines))
    floor = best["ipykernel"][0] if "ipykernel" in best else None
    result("print_flood.seconds", best["kernel"][0], "s", floor)
    if best["kernel"][1] is not None:
        cpu_floor = best["ipykernel"][1] if "ipykernel" in best else None
        result("print_flood.kernel_cpu", best["kernel"][1], "s", cpu_floor)


if __name__ == "__main__":
    asyncio.run(main())
