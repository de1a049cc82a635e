"""Kernel start-up and idle memory, against two references measured in the same run.

1. Kernel start: from starting the kernel process to its WebSocket connection being
   accepted by the development host, p50 of N starts.  Floor: a bare Python process
   that imports websockets and connects, started and accepted by the same host code.
2. Idle memory: RSS of a connected kernel after it settled and answered the
   round trips below, against the bare process's RSS.
3. The same against a Jupyter ipykernel driven by jupyter_client (the project's
   "bench" extra): start to ready (p50 of N), idle RSS, and the sequential "1+1"
   execute round trip (p50) of both kernels.

The starts alternate (bare, kernel, ipykernel, bare, ...), so that load from elsewhere
on the machine hits all three alike.  The kernel runs at TARNLET_LOG_LEVEL (default INFO).

Run: python bench/bench_startup.py [--starts N] [--trips N]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import importlib.util
import statistics
import subprocess
import time


from benchlib import log_level, result
from tarnlet_master.devhost import DevHost

SETTLE = 2.0   # seconds a fresh kernel may spend warming up before it is measured

# Started as the host starts a kernel: the workbook id, the port and the connection arguments.
BARE_CLIENT = (
    "import asyncio, sys, websockets\n"
    "async def main():\n"
    "    async with websockets.connect(f'ws://127.0.0.1:{sys.argv[2]}/ws/kernel/{sys.argv[1]}') as ws:\n"
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


class HostedStarts:
    """Starts of processes through the development host: kernels, or with `launcher` the
    bare client, started and accepted by the same host code. The last start settles and
    is measured: its RSS, and `trips` sequential "1+1" round trips (a kernel's)."""

    def __init__(self, trips=0, launcher=None):
        self.trips, self.launcher = trips, launcher
        self.times, self.rss, self.round_trips = [], None, []

    async def __aenter__(self):
        self.host = DevHost(kernel_log_level=log_level(), launcher=self.launcher)
        await self.host.__aenter__()
        return self

    async def __aexit__(self, *exc):
        await self.host.__aexit__(*exc)

    async def start(self, last):
        session = await self.host.start_kernel(f"start-{len(self.times)}")
        self.times.append(session.start_to_connected)
        if last:
            await asyncio.sleep(SETTLE)
            for _ in range(self.trips):
                t0 = time.perf_counter()
                reply = await session.execute("1+1", timeout=30)
                self.round_trips.append(time.perf_counter() - t0)
                assert reply.final.get("result") == "2", reply.final
            self.rss = rss_mb(session.process.pid)
        await self.host.stop_kernel(session.workbook_id)


class JupyterKernels:
    def __init__(self, trips):
        self.trips, self.times, self.rss, self.round_trips = trips, [], None, []

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        pass

    async def start(self, last):
        from jupyter_client.manager import start_new_async_kernel

        started = time.monotonic()
        manager, client = await start_new_async_kernel(kernel_name="python3", startup_timeout=60,
                                                       stderr=subprocess.DEVNULL)
        self.times.append(time.monotonic() - started)
        try:
            if last:
                await asyncio.sleep(SETTLE)
                for _ in range(self.trips):
                    t0 = time.perf_counter()
                    reply = await client.execute_interactive("1+1", timeout=30, output_hook=lambda msg: None)
                    self.round_trips.append(time.perf_counter() - t0)
                    assert reply["content"]["status"] == "ok", reply["content"]
                self.rss = rss_mb(manager.provisioner.process.pid)
        finally:
            client.stop_channels()
            await manager.shutdown_kernel(now=True)


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

    missing = [name for name in ("ipykernel", "jupyter_client") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"ipykernel comparison skipped: {', '.join(missing)} not installed (pip install '.[bench]')")
    async with HostedStarts(launcher=BARE_CLIENT) as bare, HostedStarts(args.trips) as ours, \
            JupyterKernels(args.trips) as theirs:
        for i in range(args.starts):
            for starter in (bare, ours) if missing else (bare, ours, theirs):
                await starter.start(last=i == args.starts - 1)
    bare_times, bare_rss = bare.times, bare.rss
    times, rss, trips = ours.times, ours.rss, ours.round_trips
    jupyter = None if missing else (theirs.times, theirs.rss, theirs.round_trips)

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
