"""Whether permessage-deflate pays for itself on the kernel's small frames.

websockets offers permessage-deflate by default and accepts it when the other side offers it,
so a connection compresses every frame, also on loopback. The kernel offers it only when its
WEBSOCKET_COMPRESSION is "deflate"; here it is set so for both of the kernel's connections. The
host (this process) accepts it for one connection and refuses it for the other
(compression=None), for two kinds of peer, each in a process of its own:

* the kernel, started through its real entry `main`, offering permessage-deflate;
* the bare websockets client of bench_invocation.py, which sends the same replies and does
  nothing else (the same traffic without the kernel's work).

Measured for each, in alternating rounds (the best of each kept): pipelined
"custom_function_call" throughput (a window of 100 in flight), the peer's and this host
process's CPU time per call, and the p50 of sequential calls. A RESULT ratio below 1 for
throughput, or above 1 for CPU and latency, means compression costs more than it saves (each
RESULT line's floor is the same peer with compression refused).

Run: python bench/bench_deflate.py [--calls N] [--sequential N] [--rounds N] [--log-level L]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import os
import statistics
import tempfile
import time

from bench_invocation import FLOOR_PEER, Peer, add_arguments, run_calls
from benchlib import KERNEL_PEER, result

WINDOW = 100

# The kernel as KERNEL_PEER starts it, but offering permessage-deflate.
DEFLATE_KERNEL_PEER = KERNEL_PEER.replace(
    "from tarnlet_master.python_server import kernel\n",
    "from tarnlet_master.python_server import kernel\nkernel.WEBSOCKET_COMPRESSION = 'deflate'\n")
assert DEFLATE_KERNEL_PEER != KERNEL_PEER


async def measure(peer, args):
    """(calls/s, peer CPU s per call, host CPU s per call, sequential p50 s) of one round."""
    host_before = time.process_time()
    elapsed, _, cpu = await run_calls(peer.driver, peer.ws, args.calls, WINDOW, peer.process.pid)
    host = time.process_time() - host_before
    _, latencies, _ = await run_calls(peer.driver, peer.ws, args.sequential, 1)
    return args.calls / elapsed, cpu[0] / args.calls if cpu is not None else None, host / args.calls, \
        statistics.median(latencies)


def better(new, old):
    """The best of each figure: the highest rate, the lowest CPU times and latency."""
    if old is None:
        return new
    cpus = [cpu for cpu in (new[1], old[1]) if cpu is not None]
    return max(new[0], old[0]), min(cpus) if cpus else None, min(new[2], old[2]), min(new[3], old[3])


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    args = parser.parse_args()
    args.window, args.values = WINDOW, 0
    log_dir = tempfile.mkdtemp(prefix="bench_deflate_")

    best = {}
    peers = [(kind, compression, source) for kind, source in (("kernel", DEFLATE_KERNEL_PEER), ("bare", FLOOR_PEER))
             for compression in ("deflate", "none")]
    opened = []
    try:
        for kind, compression, source in peers:
            peer = Peer(f"{kind}-{compression}", source, args, os.path.join(log_dir, f"{kind}-{compression}.log"),
                        compression)
            opened.append(await peer.__aenter__())
        for _ in range(args.rounds):
            # Alternating rounds, so that load from elsewhere on the machine hits all alike.
            for peer in opened:
                best[peer.name] = better(await measure(peer, args), best.get(peer.name))
    finally:
        for peer in opened:
            await peer.__aexit__(None, None, None)

    print(f"permessage-deflate accepted or refused by the host; {args.calls} pipelined calls (window {WINDOW}), "
          f"{args.sequential} sequential, best of {args.rounds} alternating rounds (kernel log level {args.log_level})")
    for name, (rate, cpu, host, p50) in best.items():
        cpu_text = f"{cpu * 1e6:6.0f} us" if cpu is not None else "     ?"
        print(f"  {name:<14} {rate:7.0f} calls/s   peer CPU {cpu_text}/call   host CPU {host * 1e6:6.0f} us/call   "
              f"sequential p50 {p50 * 1e3:6.2f} ms")
    for kind in ("kernel", "bare"):
        on, off = best[f"{kind}-deflate"], best[f"{kind}-none"]
        result(f"deflate.{kind}_pipelined_calls", on[0], "calls/s", off[0])
        if on[1] is not None and off[1]:
            result(f"deflate.{kind}_cpu_per_call", on[1] * 1e6, "us", off[1] * 1e6)
        result(f"deflate.{kind}_host_cpu_per_call", on[2] * 1e6, "us", off[2] * 1e6)
        result(f"deflate.{kind}_sequential_p50", on[3] * 1e3, "ms", off[3] * 1e3)


if __name__ == "__main__":
    asyncio.run(main())
