"""The scripted demo session: one kernel for the demo workbook, every capability in turn.

Each step prints the messages it exchanges ("->" from the host to the
kernel, "<-" from the kernel to the host) and a line with what it showed and
how long it took.  A step whose kernel side is missing (the kernel has no
handler for it, or it does not answer within the step's time-out) is
skipped with a line saying so; a step that gets a wrong answer is reported
as failed.  Either makes the demo end with a non-zero exit code.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from typing import Awaitable, Callable, List, Optional, Sequence, Tuple

from . import demo_workbook as wb
from .host import DevHost
from .session import KernelGone, KernelSession

STEP_TIMEOUT = 10.0


class StepFailed(Exception):
    """The kernel answered, but not as it should have."""


def expect(condition: bool, text: str) -> None:
    if not condition:
        raise StepFailed(text)


class Demo:
    def __init__(self, kernel: KernelSession, out: Callable[[str], None] = print, timeout: float = STEP_TIMEOUT):
        self.kernel = kernel
        self.out = out
        self.timeout = timeout
        self.kernel_methods: Optional[set] = None
        self.results: List[Tuple[str, str, str]] = []   # (step, "ok" | "skipped" | "FAILED", detail)
        self.seconds: List[float] = []                  # each step's time, beside results

    @property
    def failed(self) -> bool:
        return any(status == "FAILED" for _, status, _ in self.results)

    @property
    def complete(self) -> bool:
        """Every step ran and passed: nothing failed, nothing was skipped."""
        return bool(self.results) and all(status == "ok" for _, status, _ in self.results)

    async def run(self, probe: bool = True) -> List[Tuple[str, str, str]]:
        """Every step in turn; ``probe`` False keeps ``kernel_methods`` as set."""
        if probe:
            await self.probe()
        steps: Sequence[Tuple[str, Sequence[str], Callable[[], Awaitable[str]]]] = (
            ("Workbook modules (update_module)", (), self.step_modules),
            ("Console code with streamed output (execution_request)", ("_execute_code_async",), self.step_console),
            ("Worksheet function reading a range (custom_function_call + sys_request)",
             ("_handle_custom_function_call",), self.step_worksheet_function),
            ("Streaming function (execute_streaming_function)", ("_execute_streaming_function",),
             self.step_streaming),
            ("Streaming from a module the kernel asks for (request_module_sync)",
             ("_execute_streaming_function",), self.step_module_sync),
            ("Event handler (event_execution)", ("_handle_event_execution",), self.step_event),
            ("Python callable handed to Excel (python_function_call)",
             ("_handle_custom_function_call", "_handle_python_function_call"), self.step_callable),
            ("Object registry (save_object, get_object_registry)",
             ("_execute_code_async", "save_object", "get_object_registry"), self.step_registry),
            ("Completion", ("_handle_completion_request",), self.step_completion),
            ("Hover", ("_handle_hover_request",), self.step_hover),
            ("Signature help", ("_handle_signature_help_request",), self.step_signature),
            ("Diagnostics", ("_handle_diagnostic_request",), self.step_diagnostics),
            ("Debug run with a breakpoint (run_module debug)", ("_handle_debug_run_module",), self.step_debug),
        )
        for title, needs, body in steps:
            if not await self.step(title, needs, body):
                break
        self.out("\n== Summary")
        for (title, status, detail), seconds in zip(self.results, self.seconds):
            self.out(f"  {status:8} {seconds:6.2f} s  {title}" + (f": {detail}" if detail else ""))
        counts = {status: sum(1 for _, s, _ in self.results if s == status) for status in ("ok", "skipped", "FAILED")}
        self.out(f"{len(self.results)} steps in {sum(self.seconds):.2f} s: {counts['ok']} ok, "
                 f"{counts['skipped']} skipped, {counts['FAILED']} failed")
        return self.results

    async def probe(self) -> None:
        """Learn which handlers the running kernel has, by asking the kernel itself."""
        self.out("== Which handlers does this kernel have?")
        try:
            names = await self.kernel.evaluate(
                "sorted(n for n in dir(type(__import__('tarnlet')._kernel_instance)) if not n.startswith('__'))",
                timeout=self.timeout)
            self.kernel_methods = set(names)
            self.out(f"  {len(names)} methods on PythonKernel")
        except (asyncio.TimeoutError, RuntimeError) as error:
            self.out(f"  cannot tell ({type(error).__name__}); relying on time-outs")

    async def step(self, title: str, needs: Sequence[str], body: Callable[[], Awaitable[str]]) -> bool:
        self.out(f"\n== {title}")
        started = time.monotonic()
        missing = [n for n in needs if self.kernel_methods is not None and n not in self.kernel_methods]
        if missing:
            self.record(title, "skipped", f"the kernel has no {', '.join(missing)} yet", started)
            return True
        try:
            detail = await body()
        except asyncio.TimeoutError:
            self.record(title, "skipped", f"the kernel did not answer within {self.timeout:g} s", started)
        except StepFailed as error:
            self.record(title, "FAILED", str(error), started)
        except KernelGone as error:
            self.record(title, "FAILED", f"{error}; stopping", started)
            return False
        else:
            self.record(title, "ok", detail, started)
        return True

    def record(self, title: str, status: str, detail: str, started: Optional[float] = None) -> None:
        seconds = time.monotonic() - started if started is not None else 0.0
        self.results.append((title, status, detail))
        self.seconds.append(seconds)
        self.out(f"  {status} in {seconds:.2f} s: {detail}")

    # ------------------------------------------------------------- steps

    async def step_modules(self) -> str:
        for name, code in wb.MODULES.items():
            reply = await self.kernel.update_module(name, code, timeout=self.timeout)
            expect(reply.final.get("type") == "module_updated", f"update_module {name}: {reply.final}")
        self.kernel.modules.update(wb.STORE_ONLY)
        return f"sent {', '.join(wb.MODULES)}; kept {', '.join(wb.STORE_ONLY)} in the workbook's store only"

    async def step_console(self) -> str:
        code = "import time\nfor i in range(3):\n    print('line', i)\n    time.sleep(0.05)"
        reply = await self.kernel.execute(code, timeout=self.timeout)
        expect(reply.final["type"] == "execution_result", f"execution failed: {reply.final.get('error')}")
        expect(reply.text() == "line 0\nline 1\nline 2\n", f"output was {reply.text()!r}")
        streamed = reply.text().splitlines()
        # The namespace persists between requests; a trailing expression gives the result.
        reply = await self.kernel.execute("import prices; prices.label('tea', 3.5)", timeout=self.timeout)
        expect(reply.final["type"] == "execution_result", f"execution failed: {reply.final.get('error')}")
        expect(reply.text() == "labelling tea\n", f"output was {reply.text()!r}")
        expect(reply.final.get("result") == "'tea: 3.50'", f"result was {reply.final.get('result')!r}")
        return (f"{len(streamed)} lines of output ({', '.join(map(repr, streamed))}) streamed before the "
                f"result; then result {reply.final['result']}")

    async def step_worksheet_function(self) -> str:
        before = self.kernel.sys_requests_answered
        reply = await self.kernel.call_function("prices", "total", ["Prices!B2:B4"], timeout=self.timeout)
        final = reply.final
        expect(final.get("status") == "success", f"call failed: {final.get('error')}")
        expect(final.get("result") == wb.PRICE_TOTAL, f"total was {final.get('result')!r}")
        answered = self.kernel.sys_requests_answered - before
        expect(answered >= 1, "the function never read the workbook")
        return f"=TOTAL(\"Prices!B2:B4\") = {final['result']} after {answered} sys_request(s)"

    async def step_streaming(self) -> str:
        reply = await self.kernel.stream_function("prices", "countdown", [3], timeout=self.timeout)
        values = [m.get("result") for m in reply.of_type("streaming_function_result") if m.get("done") is False]
        expect(values == [3, 2, 1], f"streamed {values}")
        expect("error" not in reply.final, f"stream failed: {reply.final.get('error')}")
        return f"streamed {values}, then done"

    async def step_module_sync(self) -> str:
        syncs = self.kernel.module_syncs_answered
        reply = await self.kernel.stream_function("ticker", "ticks", [2], timeout=self.timeout)
        expect(reply.first("request_module_sync") is not None, "the kernel did not ask for the module")
        expect(self.kernel.module_syncs_answered == syncs + 1, "the host did not answer the sync")
        values = [m.get("result") for m in reply.of_type("streaming_function_result") if m.get("done") is False]
        expect(values == [{"tick": 0}, {"tick": 1}], f"streamed {values}, error {reply.final.get('error')}")
        return "the kernel asked for 'ticker', the host sent it, the stream ran"

    async def step_event(self) -> str:
        reply = await self.kernel.fire_event("prices", "on_change", [{"name": "target", "value": "B3"}],
                                             timeout=self.timeout)
        final = reply.final
        expect(final.get("status") == "success", f"handler failed: {final.get('error')}")
        expect("changed: B3" in final.get("logs", ""), f"logs were {final.get('logs')!r}")
        note = self.kernel.workbook.get_values("Prices", "D1")[0][0]
        expect(note == "changed B3", f"Prices!D1 holds {note!r}")
        return f"handler printed {final['logs'].strip()!r} and wrote Prices!D1 = {note!r}"

    async def step_callable(self) -> str:
        reply = await self.kernel.call_function("prices", "discount", [0.1], timeout=self.timeout)
        handed = reply.final.get("result")
        expect(isinstance(handed, dict) and handed.get("__type__") == "callable",
               f"discount returned {handed!r}")
        reply = await self.kernel.call_callable(handed["id"], [20], timeout=self.timeout)
        expect(reply.final.get("success") is True, f"callable failed: {reply.final.get('error')}")
        expect(reply.final.get("result") == 18.0, f"callable returned {reply.final.get('result')!r}")
        return f"callable {handed.get('name')} ({handed['id'][:8]}...) called back with 20 -> 18.0"

    async def step_registry(self) -> str:
        code = "import tarnlet\ntarnlet.save_object('basket', ['tea', 'jam'])\ntarnlet.save_object('count', 2)"
        with self.kernel.collect() as updates:
            reply = await self.kernel.execute(code, timeout=self.timeout)
            expect(reply.final["type"] == "execution_result", f"execution failed: {reply.final.get('error')}")
            for _ in range(2):
                await updates.until("object_registry_update", self.timeout)
        objects = await self.kernel.object_registry(timeout=self.timeout)
        keys = [entry.get("key") for entry in objects]
        expect(keys == ["basket", "count"], f"registry lists {objects}")
        expect(objects[0].get("repr") == "['tea', 'jam']", f"entry {objects[0]}")
        shown = ", ".join(f"{entry['key']}={entry['repr']}" for entry in objects)
        return f"registry: {shown}"

    def _edited(self) -> dict:
        return {wb.EDITED_MODULE: wb.EDITED_TEXT}

    async def step_completion(self) -> str:
        line, column = wb.position(wb.EDITED_TEXT, "tarnlet.excel.ra")
        answer = await self.kernel.language_request("completion", wb.EDITED_MODULE, line, column,
                                                    code=wb.EDITED_TEXT, dirty_files=self._edited(),
                                                    timeout=self.timeout)
        labels = [item.get("label") for item in answer.get("completions") or []]
        expect(answer.get("error") is None, f"error {answer.get('error')}")
        expect("range" in labels, f"completions {labels}")
        return f"after 'tarnlet.excel.ra': {labels}"

    async def step_hover(self) -> str:
        line, column = wb.position(wb.EDITED_TEXT, "    total", -2)
        answer = await self.kernel.language_request("hover", wb.EDITED_MODULE, line, column,
                                                    code=wb.EDITED_TEXT, dirty_files=self._edited(),
                                                    timeout=self.timeout)
        contents = answer.get("contents") or {}
        value = contents.get("value", "") if isinstance(contents, dict) else ""
        expect("total(address)" in value, f"hover was {answer}")
        return "hover on total: " + " ".join(line for line in value.splitlines() if not line.startswith("```"))

    async def step_signature(self) -> str:
        line, column = wb.position(wb.EDITED_TEXT, "    total(")
        answer = await self.kernel.language_request("signature_help", wb.EDITED_MODULE, line, column,
                                                    code=wb.EDITED_TEXT, dirty_files=self._edited(),
                                                    timeout=self.timeout)
        labels = [s.get("label") for s in answer.get("signatures") or []]
        expect(labels and "address" in labels[0], f"signatures {answer}")
        return f"inside total(: {labels[0]}, active parameter {answer.get('activeParameter')}"

    async def step_diagnostics(self) -> str:
        answer = await self.kernel.language_request("diagnostic", "broken", timeout=self.timeout)
        messages = [f"line {d.get('startLineNumber')}: {d.get('message')}" for d in answer.get("diagnostics") or []]
        expect(any("itemz" in m for m in messages), f"diagnostics {messages}")
        return "; ".join(messages)

    async def step_debug(self) -> str:
        line = wb.line_of(wb.DEBUG_TARGET, "result.append")
        request_id = self.kernel.new_request_id("debug-")
        with self.kernel.collect() as debug:
            await self.kernel.send({"type": "run_module", "workbook_id": self.kernel.workbook_id,
                                    "module_name": "debug_target", "function_name": "scaled",
                                    "args": [[1, 2, 3], 10], "debug": True,
                                    "breakpoints": [{"module": "debug_target", "line": line}],
                                    "request_id": request_id, "source": "ide"})
            paused = (await debug.until("debug_paused", self.timeout)).final
            expect(paused.get("line") == line, f"paused at {paused}")
            shown = {v.get("name"): v.get("value") for v in paused.get("locals") or []}
            evaluated = await self.kernel.request(
                {"type": "debug_evaluate", "expression": "value * factor", "request_id": request_id + "-eval"},
                until="debug_evaluate_result", timeout=self.timeout)
            expect(evaluated.final.get("result") == "10", f"evaluate gave {evaluated.final}")
            await self.kernel.send({"type": "debug_update_breakpoints", "breakpoints": []})
            await self.kernel.send({"type": "debug_continue"})
            done = await debug.until("debug_terminated", self.timeout, request_id)
        outputs = [m.get("content") for m in done.of_type("result_output")]
        expect("Out: [10, 20, 30]\n" in outputs, f"outputs {outputs}")
        return (f"paused at debug_target line {line} with value={shown.get('value')}, "
                f"evaluated value * factor = 10, continued to {outputs[-1].strip()}")


LEGEND = ("Lines starting with -> are messages the host sends to the kernel, <- those the kernel sends "
          "to the host.")


async def run_demo(out: Callable[[str], None] = print, *, show_messages: bool = True,
                   kernel_log: Optional[Callable[[str], None]] = None, timeout: float = STEP_TIMEOUT,
                   port: int = 0) -> Demo:
    log = (lambda line: out("    " + line)) if show_messages else None
    started = time.monotonic()
    async with DevHost(log=log, kernel_log=kernel_log, port=port) as host:
        out(f"Development host listening on {host.url}<workbook id>")
        if show_messages:
            out(LEGEND)
        kernel = await host.start_kernel(wb.WORKBOOK_ID, workbook=wb.make_workbook())
        out(f"Kernel for {wb.WORKBOOK_ID!r} connected {kernel.start_to_connected:.2f} s after its process started "
            f"(pid {kernel.process.pid})")
        demo = Demo(kernel, out, timeout)
        await demo.run()
    out(f"\nHost stopped; kernel process exited with code {kernel.process.returncode}; "
        f"{time.monotonic() - started:.2f} s in all")
    return demo


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", action="store_true", help="show only the steps, not every message")
    parser.add_argument("--kernel-log", action="store_true", help="show the kernel's own log lines")
    parser.add_argument("--timeout", type=float, default=STEP_TIMEOUT, help="seconds each answer may take "
                                                                            "(default: %(default)s)")
    parser.add_argument("--port", type=int, default=0,
                        help="port of the development host on 127.0.0.1 (default: a free one)")


def run(args: argparse.Namespace) -> int:
    """The demo; exit code 0 only when every step ran and passed."""
    kernel_log = (lambda line: print(line, file=sys.stderr)) if args.kernel_log else None
    try:
        demo = asyncio.run(run_demo(show_messages=not args.quiet, kernel_log=kernel_log, timeout=args.timeout,
                                    port=args.port))
    except (RuntimeError, TimeoutError, OSError) as error:
        print(f"The demo could not start: {error}", file=sys.stderr)
        return 1
    return 0 if demo.complete else 1


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarnlet_master.devhost demo",
                                     description="Run the scripted session against a real kernel.")
    add_arguments(parser)
    return run(parser.parse_args(list(argv)))
