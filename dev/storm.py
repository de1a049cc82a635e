#!/usr/bin/env python
"""A storm against one kernel process: every message type with hostile values in its
fields (seeded, several thousand cases), while requests that print run side by side.

    PYTHONPATH=build/NAME/tree python dev/storm.py [--seed 1] [--cases 3000]

It runs a real kernel through DevHost on 127.0.0.1 and prints what it saw: frames sent
and received, kernel exits (the kernel is started again after one), requests that expect
an answer and got none within the time limit, and printed lines that arrived under
another request's id ("misrouted"), by the kind of request that printed them. Every loop
is bounded; nothing leaves the loopback interface.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import logging
import random
import re
import sys
import time
from typing import Any, Dict, List

from tarnlet_master.devhost import DevHost, KernelGone
from tarnlet_master.devhost.hostile import (FIELDS, GOOD, HOSTILE, MODULE, MODULE_CODE, WIRE_ONLY, expects_answer,
                                            frame_text, is_answer, strict_json)

WORKBOOK = "storm"
PRINT_LINES = 30
PRINTER_CODE = MODULE_CODE + f"""
import time

def printer(tag):
    for i in range({PRINT_LINES}):
        print(f"{{tag}} line {{i}}")  # one write for the text, one for the newline
        time.sleep(0.001)
    return {PRINT_LINES}
"""
PRINTED_LINE = re.compile(r"(storm-p[a-z]+\d+) line (\d+)")


def hostile_case(rng: random.Random, index: int) -> Dict[str, Any]:
    """One message: plausible fields, some missing, at least one hostile."""
    values = HOSTILE + WIRE_ONLY
    if rng.random() < 0.02:
        return {"type": rng.choice(values), "request_id": f"storm-{index}"}
    kind = rng.choice(sorted(FIELDS))
    message: Dict[str, Any] = {"type": kind}
    for name in FIELDS[kind]:
        roll = rng.random()
        if roll < 0.5:
            message[name] = GOOD[name]
        elif roll < 0.8:
            message[name] = rng.choice(values) if rng.random() < 0.8 else rng.sample(values, rng.randint(1, 3))
    target = rng.choice(FIELDS[kind] + ["request_id"])
    message[target] = rng.choice(values)
    if target != "request_id" and rng.random() < 0.9:
        message["request_id"] = f"storm-{index}"
    return message


class Storm:
    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.rng = random.Random(args.seed)
        self.host: Any = None
        self.kernel: Any = None
        self.sessions: List[Any] = []
        self.frames_sent = 0
        self.kernel_exits = 0
        self.expected: Dict[str, str] = {}   # request id -> type, per the current session
        self.lost_with_kernel = 0            # expected answers of a kernel that exited
        self.printers: Dict[str, str] = {}   # printer request id -> the kind of request
        self.invalid_frames = 0

    async def start_kernel(self) -> None:
        self.kernel = await self.host.start_kernel(WORKBOOK)
        self.sessions.append(self.kernel)
        await self.kernel.update_module(MODULE, PRINTER_CODE)
        self.kernel.modules[MODULE] = PRINTER_CODE  # so that a module sync request is answered

    async def restart_if_gone(self) -> bool:
        if self.kernel.connected and self.kernel.process.returncode is None:
            return False
        self.kernel_exits += 1
        self.lost_with_kernel += len(self.unanswered())
        await asyncio.sleep(0.5)  # the last lines of its log
        tail = "\n    ".join(line[:300] for line in self.kernel.stderr_lines[-self.args.exit_log_lines:])
        print(f"kernel exit {self.kernel_exits} (code {self.kernel.process.returncode}), its log ends:\n    {tail}")
        self.expected = {}
        await self.host.stop_kernel(WORKBOOK)
        await self.start_kernel()
        return True

    async def send(self, text: str) -> None:
        try:
            await self.kernel.send_raw(text)
            self.frames_sent += 1
        except (KernelGone, ConnectionError, OSError):
            await self.restart_if_gone()

    async def probe(self) -> bool:
        """True when the kernel still answers "1+1"."""
        try:
            reply = await self.kernel.execute("1+1", timeout=self.args.answer_timeout)
            return reply.final.get("result") == "2"
        except (KernelGone, asyncio.TimeoutError, TimeoutError, ConnectionError):
            return False

    async def printing(self, round_no: int) -> None:
        """Requests that print at the same time, on several workers."""
        sends = []
        for j in range(self.args.printers):
            kind = "custom_function_call" if j % 2 == 0 else "execution_request"
            rid = f"storm-p{'f' if j % 2 == 0 else 'x'}{round_no * 100 + j}"
            self.printers[rid] = kind
            self.expected[rid] = kind
            if kind == "custom_function_call":
                message = {"type": kind, "module_name": MODULE, "function_name": "printer", "args": [rid],
                           "request_id": rid, "workbook_id": WORKBOOK}
            else:
                code = (f"import time\nfor i in range({PRINT_LINES}):\n    print({rid!r} + ' line ' + str(i))\n"
                        "    time.sleep(0.001)\n")
                message = {"type": kind, "code": code, "request_id": rid}
            sends.append(self.send(json.dumps(message)))
        await asyncio.gather(*sends)

    def unanswered(self) -> List[str]:
        received = self.kernel.received
        answered = {m.get("request_id") for m in received
                    if isinstance(m.get("request_id"), str) and is_answer(m, m.get("request_id"))}
        return [r for r in self.expected if r not in answered]

    async def wait_for_answers(self) -> None:
        deadline = time.monotonic() + self.args.answer_timeout
        while self.unanswered() and time.monotonic() < deadline and self.kernel.connected:
            await asyncio.sleep(0.2)

    def misrouted(self) -> Dict[str, int]:
        """Printed lines that arrived under another id, by the kind of request that printed them."""
        counts: Dict[str, int] = collections.Counter()
        delivered = 0
        for session in self.sessions:
            text: Dict[Any, List[str]] = collections.defaultdict(list)
            for message in session.received:
                request_id = message.get("request_id")
                if message.get("type") == "stdout" and (request_id is None or isinstance(request_id, str)):
                    text[request_id].append(str(message.get("content", "")))
            for request_id, pieces in text.items():
                for tag, _ in PRINTED_LINE.findall("".join(pieces)):
                    if tag not in self.printers:
                        continue
                    if tag == request_id:
                        delivered += 1
                    else:
                        counts[f"{self.printers[tag]} -> {'process stdout' if request_id is None else 'another id'}"] += 1
        counts["delivered under their own id"] = delivered
        # A printer that failed before printing (the storm may have replaced its module or
        # cleared the namespace) printed nothing: its lines are not lost.
        failed = {m.get("request_id") for session in self.sessions for m in session.received
                  if isinstance(m.get("request_id"), str) and m["request_id"] in self.printers
                  and is_answer(m, m["request_id"])
                  and (m.get("success") is False or m.get("status") == "error"
                       or str(m.get("type", "")).endswith("error"))}
        printed = {tag for tag in self.printers if tag not in failed}
        counts["printers that failed (nothing printed)"] = len(failed)
        counts["lost (under no id at all)"] = len(printed) * PRINT_LINES - sum(
            count for key, count in counts.items() if not key.startswith("printers that failed"))
        return counts

    async def run(self) -> int:
        started = time.monotonic()
        async with DevHost(exit_timeout=10.0) as host:
            self.host = host
            await self.start_kernel()
            for index in range(self.args.cases):
                case = hostile_case(self.rng, index) if not self.args.calm else {"type": "get_object_registry"}
                if expects_answer(case, prefix="storm-"):
                    self.expected[case["request_id"]] = case["type"]
                await self.send(frame_text(case))
                if index % 250 == 0:
                    await self.printing(index // 250)
                if index % 100 == 99:
                    if not await self.probe():
                        await self.restart_if_gone()
                    await self.send(json.dumps({"type": "reset_path"}))
            await self.wait_for_answers()
            alive = await self.probe()
            unanswered = self.unanswered()
            frames_received = sum(s.frames_received for s in self.sessions)
            for session in self.sessions:
                for message in session.received:
                    try:
                        strict_json(json.dumps(message, allow_nan=False))
                    except ValueError:
                        self.invalid_frames += 1
            misrouted = self.misrouted()
            await host.stop()
        by_type = collections.Counter(self.expected[r] for r in unanswered)
        print(f"storm: seed {self.args.seed}, {self.args.cases} hostile cases, "
              f"{len(self.printers)} printing requests, {time.monotonic() - started:.1f} s")
        print(f"frames sent to the kernel:     {self.frames_sent}")
        print(f"frames received from it:       {frames_received}")
        print(f"kernel exits:                  {self.kernel_exits}")
        print(f"kernel answers 1+1 at the end: {alive}")
        print(f"unanswered requests:           {len(unanswered)} by the running kernel within "
              f"{self.args.answer_timeout:g} s{'' if not by_type else ' ' + repr(dict(by_type))}, "
              f"{self.lost_with_kernel} more lost with a kernel that exited")
        print(f"messages with NaN/Infinity:    {self.invalid_frames}")
        print(f"printed lines: {PRINT_LINES} per printing request")
        for key, count in sorted(misrouted.items()):
            print(f"  {key}: {count}")
        return 0 if alive and not self.kernel_exits and not unanswered else 1


def main(argv: List[str]) -> int:
    logging.getLogger("tarnlet_master.devhost").setLevel(logging.ERROR)  # its warnings about odd module names
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cases", type=int, default=3000)
    parser.add_argument("--printers", type=int, default=8, help="printing requests started side by side")
    parser.add_argument("--answer-timeout", type=float, default=30.0)
    parser.add_argument("--calm", action="store_true", help="harmless messages instead of hostile ones")
    parser.add_argument("--exit-log-lines", type=int, default=12, help="log lines shown for a kernel that exited")
    return asyncio.run(Storm(parser.parse_args(argv)).run())


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
