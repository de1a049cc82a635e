"""Run every bench/bench_*.py and gather their figures into one table.

Each script runs as its own process with this interpreter; its output is shown
under a heading as it comes.  Lines of the form

    RESULT name value unit floor ratio

(see bench/README.md) are collected into the table printed at the end.

Run: python bench/run_all.py [NAME ...]      (NAME: e.g. startup or bench_startup.py; default all)
"""

import argparse
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


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


def run(script, timeout):
    """Run one script, echoing its output; returns (exit code or None on time-out, RESULT rows)."""
    rows = []
    fired = threading.Event()
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, bufsize=1) as process:

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


def table(rows):
    headers = ("benchmark", "figure", "value", "unit", "floor", "ratio")
    cells = [headers] + [(script, name, value, unit, floor, ratio) for script, (name, value, unit, floor, ratio)
                         in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for index, row in enumerate(cells):
        lines.append("  ".join(cell.ljust(w) if i < 2 or i == 3 else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))))
        if index == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description="Run the benchmarks and print one table.")
    parser.add_argument("names", nargs="*", help="benchmarks to run (default: all)")
    parser.add_argument("--timeout", type=float, default=900, help="seconds each script may take")
    args = parser.parse_args()

    gathered, problems = [], []
    for script in select(args.names):
        print(f"\n=== {script.name}", flush=True)
        started = time.monotonic()
        code, rows = run(script, args.timeout)
        print(f"=== {script.name}: {'timed out' if code is None else f'exit code {code}'}, "
              f"{time.monotonic() - started:.0f} s, {len(rows)} RESULT lines")
        if code != 0:
            problems.append(f"{script.name}: {'timed out' if code is None else f'exit code {code}'}")
        if not rows and code == 0:
            problems.append(f"{script.name}: no RESULT lines (figures only in its own output above)")
        gathered.extend((script.stem[len("bench_"):], row) for row in rows)

    print("\n=== All figures (ratio = value / floor)")
    print(table(gathered) if gathered else "  (no RESULT lines)")
    for problem in problems:
        print(f"  note: {problem}")
    return 1 if any("exit code" in p or "timed out" in p for p in problems) else 0


if __name__ == "__main__":
    sys.exit(main())
