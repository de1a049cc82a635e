"""Helpers shared by the bench_*.py scripts (this file is not a benchmark itself)."""

import os

# The kernel process, started through its real entry as the Business Layer starts it.
KERNEL_PEER = """\
import asyncio, sys
from tarnlet_master.python_server import kernel
asyncio.run(kernel.main(sys.argv[1], sys.argv[2], {"platform": "web"}))
"""


def log_level(default="INFO"):
    """The kernel log level of this run: TARNLET_LOG_LEVEL (set by run_all.py), else the kernel's default."""
    return os.environ.get("TARNLET_LOG_LEVEL") or default


def process_cpu_seconds(pid, thread=None):
    """User plus system CPU time so far, in seconds, of a process, or of one of its threads
    (`thread`: its id; the main thread's is the pid). Linux /proc, else psutil for a whole
    process, else None."""
    path = f"/proc/{pid}/stat" if thread is None else f"/proc/{pid}/task/{thread}/stat"
    try:
        with open(path) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        # Fields after the command name start at field 3 (state); utime and stime are fields 14 and 15.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        pass
    if thread is not None:
        return None
    try:
        import psutil
    except ImportError:
        return None
    try:
        times = psutil.Process(pid).cpu_times()
    except psutil.Error:
        return None
    return times.user + times.system


def result(name, value, unit, floor=None):
    """Prints one RESULT line (see README.md); ratio = value / floor."""
    floor_text = f"{floor:.3f}" if floor is not None else "-"
    ratio = f"{value / floor:.3f}" if floor else "-"
    print(f"RESULT {name} {value:.3f} {unit} {floor_text} {ratio}", flush=True)
