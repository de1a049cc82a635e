"""Run every bench/bench_*.py and gather their figures into one table.

Each script runs as its own process with this interpreter; its output is shown
under a heading as it comes.  Lines of the form

    RESULT name value unit floor ratio

(see bench/README.md) are collected into the table printed at the end, followed by the
speed goals, each beside its measured ratio.

The scripts that run a kernel process run once per kernel log level (TARNLET_LOG_LEVEL, by
default INFO, the kernel's default, and WARNING); the others run once.  With --runs N the
whole selection runs N times in turn and the table holds the median of each figure.

Run: python bench/run_all.py [NAME ...] [--runs N] [--levels INFO,WARNING] [--model [LEVEL:]NAME=VALUE ...]
     (NAME: e.g. startup or bench_startup.py; default all)
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Scripts whose figures depend on the kernel's log level.
LEVEL_DEPENDENT = {"bench_startup", "bench_kernel_transport", "bench_invocation", "bench_print_flood",
                   "bench_analysis_stall"}

MODEL = "the plain-Python model"


class Goal:
    """One speed goal: a RESULT figure compared with its floor, a given reference, or a fixed bound."""

    def __init__(self, label, name, op, bound, against="floor"):
        self.label, self.name, self.op, self.bound = label, name, op, bound
        self.against = against  # "floor", MODEL, or None for a bound on the value itself

    def met(self, measured):
        return measured >= self.bound if self.op == ">=" else measured <= self.bound


GOALS = [
    Goal("pipelined custom_function_call throughput, kernel / floor", "invocation.pipelined_calls", ">=", 0.7),
    Goal("sequential custom_function_call p50, kernel / floor", "invocation.sequential_call_p50", "<=", 1.5),
    Goal('sequential "1+1" execution p50, kernel / floor', "transport.execute_1plus1_p50", "<=", 1.5),
    Goal('100,000 print("line", i) end to end, every byte in order (floor: ipykernel)', "print_flood.seconds",
         "<=", 3.0, against=None),
    Goal("start, process start to connected, kernel / ipykernel", "startup.kernel_start_p50_vs_ipykernel", "<=", 0.2),
    Goal("start, kernel / a bare websockets client process", "startup.kernel_start_p50", "<=", 1.3),
    Goal('"1+1" while an analysis of 50,000 parentheses runs, worst (ms)', "analysis_stall.execute_worst",
         "<=", 100.0, against=None),
    Goal("CPU per worksheet call, kernel / " + MODEL, "invocation.cpu_per_call", "<=", 0.5, against=MODEL),
    Goal("pipelined calls, kernel / " + MODEL, "invocation.pipelined_calls", ">=", 1.5, against=MODEL),
]


def parse_result(line):
    """(name, value, unit, floor, ratio) of a RESULT line, or None."""
    parts = line.split()
    if len(parts) != 6 or parts[0] != "RESULT":
        return None
    return tuple(parts[1:])


def select(names):
    scripts = sorted(HERE.glob("bench_*.py"))
    if not names:
        return scripts
    wanted = {n if n.startswith("bench_") else f"bench_{n}" for n in (Path(n).stem for n in names)}
    unknown = wanted - {s.stem for s in scripts}
    if unknown:
        raise SystemExit(f"no such benchmark: {', '.join(sorted(unknown))}")
    return [s for s in scripts if s.stem in wanted]


def run(script, timeout, level=None):
    """Run one script, echoing its output; returns (exit code or None on time-out, RESULT rows)."""
    rows = []
    fired = threading.Event()
    env = dict(os.environ)
    if level is not None:
        env["TARNLET_LOG_LEVEL"] = level
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, bufsize=1, env=env) as process:

        def kill():
            fired.set()
            process.kill()

        watchdog = threading.Timer(timeout, kill)
        watchdog.start()
        try:
            for line in process.stdout:
                print("  " + line, end="", flush=True)
                row = parse_result(line)
                if row is not None:
                    rows.append(row)
            code = process.wait()
        finally:
            watchdog.cancel()
    return (None if fired.is_set() else code), rows


def number(text):
    try:
        return float(text)
    except ValueError:
        return None


def median_rows(samples):
    """{(benchmark, level, name): [row, ...]} -> rows of the median value, floor and ratio of each figure."""
    rows = []
    for (bench, level, name), found in samples.items():
        cells = []
        for index in (1, 3, 4):
            values = [v for v in (number(row[index]) for row in found) if v is not None]
            cells.append(f"{statistics.median(values):.3f}" if values else "-")
        rows.append((bench, level, name, cells[0], found[0][2], cells[1], cells[2]))
    return rows


def table(rows):
    headers = ("benchmark", "level", "figure", "value", "unit", "floor", "ratio")
    cells = [headers] + list(rows)
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for index, row in enumerate(cells):
        lines.append("  ".join(cell.ljust(w) if i < 3 or i == 4 else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))))
        if index == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def parse_model(entries):
    """["[LEVEL:]NAME=VALUE", ...] -> {(level or None, name): value}."""
    figures = {}
    for entry in entries:
        key, _, value = entry.partition("=")
        level, _, name = key.rpartition(":")
        if not name or number(value) is None:
            raise SystemExit(f"--model wants [LEVEL:]NAME=VALUE, not {entry!r}")
        figures[(level.upper() or None, name)] = float(value)
    return figures


def goal_table(rows, level, model):
    """(goal, measured, ratio, bound, met) of every goal at one kernel log level."""
    figures = {(row_level, name): (number(value), unit, number(floor), number(ratio))
               for _, row_level, name, value, unit, floor, ratio in rows}
    table_rows = []
    for goal in GOALS:
        value, unit, floor, ratio = figures.get((level, goal.name), (None, "", None, None))
        unit_text = ""  # a bound on the value itself is shown with its unit
        if value is None:
            table_rows.append((goal.label, "not measured", "-", f"{goal.op} {goal.bound:g}", "-"))
            continue
        if goal.against == MODEL:
            reference = model.get((level, goal.name), model.get((None, goal.name)))
            ratio = value / reference if reference else None
            # The model is kept outside this project; its figures come in through --model.
            measured = f"{value:.1f} {unit}" + (f" / {reference:g}" if reference else " (model figure: --model)")
        elif goal.against is None:
            ratio = value
            measured = f"{value:.2f} {unit}" + (f" (floor {floor:.2f} {unit})" if floor is not None else "")
            unit_text = f" {unit}"
        else:
            measured = f"{value:.1f} / {floor:.1f} {unit}" if floor is not None else f"{value:.1f} {unit}"
        table_rows.append((goal.label, measured, "-" if ratio is None else f"{ratio:.2f}{unit_text}",
                           f"{goal.op} {goal.bound:g}{unit_text}",
                           "-" if ratio is None else ("yes" if goal.met(ratio) else "no")))
    return table_rows


def goal_lines(rows, levels, model):
    """The goals beside the measured ratios, one block per kernel log level."""
    lines = []
    for level in levels:
        lines.append(f"\n=== Goals, kernel at TARNLET_LOG_LEVEL={level}")
        table_rows = [("goal", "measured", "ratio", "goal", "met")] + goal_table(rows, level, model)
        widths = [max(len(row[i]) for row in table_rows) for i in range(5)]
        for index, row in enumerate(table_rows):
            lines.append("  ".join(cell.ljust(w) if i in (0, 1) else cell.rjust(w)
                                   for i, (cell, w) in enumerate(zip(row, widths))))
            if index == 0:
                lines.append("  ".join("-" * w for w in widths))
    return lines


def main():
    parser = argparse.ArgumentParser(description="Run the benchmarks and print one table.")
    parser.add_argument("names", nargs="*", help="benchmarks to run (default: all)")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds each script may take")
    parser.add_argument("--runs", type=int, default=1, help="run the selection this many times; medians are kept")
    parser.add_argument("--levels", default="INFO,WARNING",
                        help="kernel log levels for the scripts that run a kernel, comma-separated")
    parser.add_argument("--model", action="append", default=[], metavar="[LEVEL:]NAME=VALUE",
                        help=f"a figure of {MODEL} for the goals that compare with it, "
                             "e.g. INFO:invocation.cpu_per_call=300")
    args = parser.parse_args()
    levels = [level.strip().upper() for level in args.levels.split(",") if level.strip()]
    model = parse_model(args.model)

    samples, problems = {}, []
    for run_no in range(args.runs):
        for script in select(args.names):
            for level in levels if script.stem in LEVEL_DEPENDENT else [None]:
                heading = script.name + (f" (TARNLET_LOG_LEVEL={level})" if level else "")
                if args.runs > 1:
                    heading += f", run {run_no + 1} of {args.runs}"
                print(f"\n=== {heading}", flush=True)
                started = time.monotonic()
                code, rows = run(script, args.timeout, level)
                print(f"=== {heading}: {'timed out' if code is None else f'exit code {code}'}, "
                      f"{time.monotonic() - started:.0f} s, {len(rows)} RESULT lines")
                if code != 0:
                    problems.append(f"{heading}: {'timed out' if code is None else f'exit code {code}'}")
                if not rows and code == 0:
                    problems.append(f"{heading}: no RESULT lines (figures only in its own output above)")
                for row in rows:
                    key = (script.stem[len("bench_"):], level or "-", row[0])
                    samples.setdefault(key, []).append(row)

    gathered = median_rows(samples)
    print(f"\n=== All figures (ratio = value / floor{f'; median of {args.runs} runs' if args.runs > 1 else ''})")
    print(table(gathered) if gathered else "  (no RESULT lines)")
    for line in goal_lines(gathered, levels, model):
        print(line)
    for problem in problems:
        print(f"  note: {problem}")
    return 1 if any("exit code" in p or "timed out" in p for p in problems) else 0


if __name__ == "__main__":
    sys.exit(main())
