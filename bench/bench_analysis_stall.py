"""Console latency while a pathological language analysis runs.

A real kernel process is asked to complete 50,000 open parentheses, which keeps jedi busy
until the kernel's time limit; meanwhile "1+1" is executed again and again. The floor is
the same "1+1" with no analysis running, in the same kernel. The goal: answered within
100 ms throughout (the p99 and the worst figure).

Run: PYTHONPATH=build/NAME/tree python bench/bench_analysis_stall.py [--rounds 3]
"""

import argparse
import asyncio
import statistics
import time

from benchlib import result
from tarnlet_master.devhost import DevHost

PARENS = 50000


async def one_plus_one(kernel, samples, pause):
    times = []
    for _ in range(samples):
        started = time.monotonic()
        reply = await kernel.execute("1+1", timeout=60)
        times.append((time.monotonic() - started) * 1000)
        assert reply.final.get("result") == "2", reply.final
        await asyncio.sleep(pause)
    return times


async def main(rounds):
    async with DevHost() as host:
        kernel = await host.start_kernel("wb-stall")
        for attempt in range(5):  # jedi's first use may itself run past the time limit
            warm = await kernel.request({"type": "completion_request", "request_id": f"warm{attempt}",
                                         "code": "import os\nos.pa", "line": 2, "column": 5},
                                        until="completion_response", timeout=60)
            if warm.final["error"] is None:
                break
        idle = await one_plus_one(kernel, 30, 0.05)
        busy = []
        code = "(" * PARENS
        for round_no in range(rounds):
            with kernel.collect() as answers:
                await kernel.send({"type": "completion_request", "request_id": f"slow{round_no}", "code": code,
                                   "line": 1, "column": len(code)})
                await asyncio.sleep(0.3)  # the analysis is under way
                busy += await one_plus_one(kernel, 15, 0.2)
                slow = await answers.until("completion_response", 120, f"slow{round_no}")
                print(f"round {round_no}: completion answered with error={slow.final.get('error')!r}")
    busy.sort()
    idle_p50 = statistics.median(idle)
    p99 = busy[min(len(busy) - 1, int(len(busy) * 0.99))]
    print(f"1+1 during the analysis: p50 {statistics.median(busy):.1f} ms, p99 {p99:.1f} ms, "
          f"worst {busy[-1]:.1f} ms over {len(busy)}; idle p50 {idle_p50:.1f} ms")
    result("analysis_stall.execute_p50", statistics.median(busy), "ms", idle_p50)
    result("analysis_stall.execute_p99", p99, "ms", idle_p50)
    result("analysis_stall.execute_worst", busy[-1], "ms", idle_p50)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    asyncio.run(main(parser.parse_args().rounds))
