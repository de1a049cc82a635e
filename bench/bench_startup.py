"""Kernel start-up and idle memory, against two references measured in the same run.

1. Kernel start: from starting the kernel process to its WebSocket connection being
   accepted by the development host, p50 of N starts.  Floor: a bare Python process
   that imports websockets and connects to a bare websockets server.
2. Idle memory: RSS of a connected kernel after it settled and answered the
   round trips below, against the bare process's RSS.
3. The same against a Jupyter ipykernel driven by jupyter_client (the project's
   "bench" extra): start to ready (p50 of N), idle RSS, and the sequential "1+1"
   execute round trip (p50) of both kernels.

Run: python bench/bench_startup.py [--starts N] [--trips N]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import importlib.util
import statistics
import subprocess
import sys
import time

from websockets.asyncio.server import serve

from tarnlet_master.devhost import DevHost

SETTLE = 2.0   # seconds a fresh kernel may spend warming up before it is measured

BARE_CLIENT = (
    "import asyncio, sys, websockets\n"
    "async def main():\n"
    "    async with websockets.connect(sys.argv[1]) as ws:\n"
    "        await ws.wait_closed()\n"
    "asyncio.run(main())\n"
)


def rss_mb(pid):
    """Resident set size of a process in MB (Linux /proc, else psutil, else None)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    try:
        import psutil
    except ImportError:
        return None
    return psutil.Process(pid).memory_info().rss / 2**20


def result(name, value, unit, floor):
    floor_text = f"{floor:.3f}" if floor is not None else "-"
    ratio = f"{value / floor:.3f}" if floor else "-"
    print(f"RESULT {name} {value:.3f} {unit} {floor_text} {ratio}")


async def bare_floor(starts):
    """Start times and RSS of a bare websockets client process."""
    arrived = asyncio.Queue()

    async def handler(connection):
        await arrived.put(time.monotonic())
        await connection.wait_closed()

    times, rss = [], None
    async with serve(handler, "127.0.0.1", 0) as server:
        url = f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}/ws/kernel/bare"
        for i in range(starts):
            started = time.monotonic()
            process = await asyncio.create_subprocess_exec(sys.executable, "-c", BARE_CLIENT, url)
            connected = await asyncio.wait_for(arrived.get(), 30)
            times.append(connected - started)
            if i == starts - 1:
                await asyncio.sleep(SETTLE)
                rss = rss_mb(process.pid)
            for connection in list(server.connections):
                await connection.close()
            await asyncio.wait_for(process.wait(), 10)
    return times, rss


async def tarnlet_kernel(starts, trips):
    times, rss, round_trips = [], None, []
    # Info-level lines for every request would cost the kernel and the host a pipe write and read each.
    async with DevHost(kernel_log_level="WARNING") as host:
        for i in range(starts):
            kernel = await host.start_kernel(f"bench-{i}")
            times.append(kernel.start_to_connected)
            if i == starts - 1:
                await asyncio.sleep(SETTLE)
                for _ in range(trips):
                    t0 = time.perf_counter()
                    reply = await kernel.execute("1+1", timeout=30)
                    round_trips.append(time.perf_counter() - t0)
                    assert reply.final.get("result") == "2", reply.final
                rss = rss_mb(kernel.process.pid)
            await host.stop_kernel(kernel.workbook_id)
    return times, rss, round_trips


async def jupyter_kernel(starts, trips):
    from jupyter_client.manager import start_new_async_kernel

    times, rss, round_trips = [], None, []
    for i in range(starts):
        started = time.monotonic()
        manager, client = await start_new_async_kernel(kernel_name="python3", startup_timeout=60,
                                                       stderr=subprocess.DEVNULL)
        times.append(time.monotonic() - started)
        try:
            if i == starts - 1:
                await asyncio.sleep(SETTLE)
                for _ in range(trips):
                    t0 = time.perf_counter()
                    reply = await client.execute_interactive("1+1", timeout=30, output_hook=lambda msg: None)
                    round_trips.append(time.perf_counter() - t0)
                    assert reply["content"]["status"] == "ok", reply["content"]
                rss = rss_mb(manager.provisioner.process.pid)
        finally:
            client.stop_channels()
            await manager.shutdown_kernel(now=True)
    return times, rss, round_trips


def p50(values):
    return statistics.median(values)


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--starts", type=int, default=10)
    parser.add_argument("--trips", type=int, default=200)
    args = parser.parse_args()

    bare_times, bare_rss = await bare_floor(args.starts)
    times, rss, trips = await tarnlet_kernel(args.starts, args.trips)
    missing = [name for name in ("ipykernel", "jupyter_client") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"ipykernel comparison skipped: {', '.join(missing)} not installed (pip install '.[bench]')")
        jupyter = None
    else:
        jupyter = await jupyter_kernel(args.starts, args.trips)

    print(f"kernel start, process start to connected, {args.starts} starts")
    print(f"  tarnlet kernel  p50 {p50(times) * 1e3:7.1f} ms   min {min(times) * 1e3:7.1f} ms")
    print(f"  bare websockets p50 {p50(bare_times) * 1e3:7.1f} ms   (floor: interpreter + websockets import)")
    if jupyter:
        print(f"  ipykernel       p50 {p50(jupyter[0]) * 1e3:7.1f} ms   (start to ready)")
    print("idle RSS")
    print(f"  tarnlet kernel  {rss:7.1f} MB" if rss else "  tarnlet kernel  (unknown)")
    print(f"  bare websockets {bare_rss:7.1f} MB" if bare_rss else "  bare websockets (unknown)")
    if jupyter and jupyter[1]:
        print(f"  ipykernel       {jupyter[1]:7.1f} MB")
    print(f"sequential '1+1' execute round trip, {args.trips} trips")
    print(f"  tarnlet kernel  p50 {p50(trips) * 1e6:7.0f} us   p99 {p99(trips) * 1e6:7.0f} us")
    if jupyter:
        print(f"  ipykernel       p50 {p50(jupyter[2]) * 1e6:7.0f} us   p99 {p99(jupyter[2]) * 1e6:7.0f} us")

    result("startup.kernel_start_p50", p50(times) * 1e3, "ms", p50(bare_times) * 1e3)
    if rss and bare_rss:
        result("startup.kernel_idle_rss", rss, "MB", bare_rss)
    if jupyter:
        result("startup.kernel_start_p50_vs_ipykernel", p50(times) * 1e3, "ms", p50(jupyter[0]) * 1e3)
        if rss and jupyter[1]:
            result("startup.kernel_idle_rss_vs_ipykernel", rss, "MB", jupyter[1])
        result("startup.execute_1plus1_p50_vs_ipykernel", p50(trips) * 1e6, "us", p50(jupyter[2]) * 1e6)


if __name__ == "__main__":
    asyncio.run(main())
