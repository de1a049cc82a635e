"""Language bridge latency, each against a floor measured in the same run.

A workbook of 20 modules of 200 lines each; every request carries all 20 saved texts, as
the kernel sends them. Warm latency (p50, p95) of:

1. get_completions after "Mod01.func_" in Mod00, against jedi called directly on the same
   text and project: complete() alone, and complete() plus the per-item signature and
   docstring lookups that the answer needs (the like-for-like floor).
2. get_hover on a sibling's function (compact mode), against infer() plus the signature
   lookup of each definition.
3. get_diagnostics of Mod00, against ast.parse plus pyflakes' check on the same text.

Bridge and floor calls alternate, in reversed order every other round, so drift of the
machine and order effects hit both alike; the garbage collector runs between calls only,
as timeit does it.

Run: python bench/bench_language.py [--rounds N]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import ast
import gc
import io
import os
import statistics
import time

import jedi
from pyflakes import api as pyflakes_api
from pyflakes import reporter as pyflakes_reporter

from benchlib import result
from tarnlet_master.python_server import sensewire

MODULES = 20
LINES = 200


def module_text(index):
    sibling = f"Mod{(index + 1) % MODULES:02d}"
    lines = [f'"""Workbook module {index}."""', "import math", f"import {sibling}", ""]
    k = 0
    while len(lines) < LINES - 8:
        lines += [
            f"def func_{k}(value, scale=2.0):",
            f'    """Scale value by {k} and the sibling\'s constant."""',
            f"    return math.sqrt(abs(value)) * scale + {sibling}.LIMIT + {k}",
            "",
        ]
        k += 1
    lines += [f"class Sheet{index}:", '    """A sheet model."""', "", "    def cell(self, row: int, col: int) -> float:",
              "        return float(row * col)", "", "LIMIT = 10", ""]
    return "\n".join(lines[:LINES])


def percentiles(samples):
    cuts = statistics.quantiles(samples, n=20, method="inclusive")
    return statistics.median(samples), cuts[18]


def report(name, ours, floors, key):
    """Prints the figures; the RESULT line compares with the first (like-for-like) floor."""
    p50, p95 = percentiles(ours)
    print(f"{name}")
    print(f"  bridge            p50 {p50 * 1e3:7.2f} ms   p95 {p95 * 1e3:7.2f} ms")
    for label, floor in floors:
        f50, f95 = percentiles(floor)
        print(f"  {label:<17} p50 {f50 * 1e3:7.2f} ms   p95 {f95 * 1e3:7.2f} ms   ratio p50 {p50 / f50:5.2f}x"
              f"   p95 {p95 / f95:5.2f}x")
    result(f"language.{key}_p50", p50 * 1e3, "ms", percentiles(floors[0][1])[0] * 1e3)


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def run_round(i, calls):
    """Times each call once; every other round in reversed order. Results in `calls` order."""
    order = list(range(len(calls)))
    if i % 2:
        order.reverse()
    results = [None] * len(calls)
    for k in order:
        results[k] = timed(calls[k])
    return results


def bench_completion(bridge, modules, rounds, warmup):
    code = modules["Mod00"] + "\nMod01.func_"
    line = code.count("\n") + 1
    column = len("Mod01.func_")
    script_path = os.path.join(bridge._temp_dir.name, "Mod00.py")

    def direct(details):
        script = jedi.Script(code=code, path=script_path, project=bridge._jedi_project)
        items = []
        for completion in script.complete(line=line, column=column):
            if completion.name.startswith("_"):
                continue
            if not details:
                items.append(completion.name)
                continue
            item = {"label": completion.name, "type": completion.type}
            if completion.type == "function":
                signatures = completion.get_signatures()
                if signatures:
                    item["detail"] = signatures[0].to_string()
            item["documentation"] = completion.docstring()
            items.append(item)
        return items

    ours, bare, same = [], [], []
    for i in range(warmup + rounds):
        (t_ours, result), (t_bare, _), (t_same, floor_items) = run_round(i, [
            lambda: bridge.get_completions(code, line, column, path="Mod00", modules=modules),
            lambda: direct(False),
            lambda: direct(True),
        ])
        assert result["error"] is None and len(result["completions"]) == len(floor_items) > 10
        if i >= warmup:
            ours.append(t_ours)
            bare.append(t_bare)
            same.append(t_same)
    report(f"completion ({len(floor_items)} items, 20 modules synced per request)", ours,
           [("jedi same calls", same), ("jedi complete()", bare)], "completion")


def bench_hover(bridge, modules, rounds, warmup):
    code = modules["Mod00"] + "\nMod01.func_3(1)"
    line = code.count("\n") + 1
    column = len("Mod01.func_")
    script_path = os.path.join(bridge._temp_dir.name, "Mod00.py")

    def direct():
        script = jedi.Script(code=code, path=script_path, project=bridge._jedi_project)
        return [(d.name, d.get_signatures()) for d in script.infer(line=line, column=column)]

    ours, floor = [], []
    for i in range(warmup + rounds):
        (t_ours, result), (t_floor, found) = run_round(i, [
            lambda: bridge.get_hover(code, line, column, path="Mod00", modules=modules),
            direct,
        ])
        assert result["error"] is None and result["contents"] and found
        if i >= warmup:
            ours.append(t_ours)
            floor.append(t_floor)
    report("hover (compact, 20 modules synced per request)", ours, [("jedi same calls", floor)], "hover")


def bench_diagnostics(bridge, modules, rounds, warmup):
    code = modules["Mod00"] + "\nimport os\nprint(undefined_name)\n"

    def direct():
        ast.parse(code, "<Mod00>")
        warnings, errors = io.StringIO(), io.StringIO()
        pyflakes_api.check(code, "<Mod00>", pyflakes_reporter.Reporter(warnings, errors))
        return warnings.getvalue().splitlines()

    ours, floor = [], []
    for i in range(warmup + rounds):
        (t_ours, result), (t_floor, lines) = run_round(i, [lambda: bridge.get_diagnostics(code, "Mod00"), direct])
        assert result["error"] is None and len(result["diagnostics"]) == len(lines) == 2
        if i >= warmup:
            ours.append(t_ours)
            floor.append(t_floor)
    report("diagnostics (syntax, pyflakes, import check)", ours, [("ast + pyflakes", floor)], "diagnostics")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--warmup", type=int, default=5)
    args = parser.parse_args()

    modules = {f"Mod{i:02d}": module_text(i) for i in range(MODULES)}
    assert all(text.count("\n") + 1 == LINES for text in modules.values())
    bridge = sensewire.Sensewire()
    bridge.preload_tarnlet_module()  # waits for the background warm-up, then warms once more
    gc.disable()
    try:
        bench_completion(bridge, modules, args.rounds, args.warmup)
        bench_hover(bridge, modules, args.rounds, args.warmup)
        bench_diagnostics(bridge, modules, args.rounds, args.warmup)
    finally:
        gc.enable()
        bridge.cleanup()


if __name__ == "__main__":
    main()
