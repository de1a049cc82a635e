"""Helpers shared by the bench_*.py scripts (this file is not a benchmark itself)."""

import os
import subprocess
import sys

# The kernel process, started through its real entry as the Business Layer starts it.
KERNEL_PEER = """\
import asyncio, sys
from tarnlet_master.python_server import kernel
asyncio.run(kernel.main(sys.argv[1], sys.argv[2], {"platform": "web"}))
"""


# The start of a floor peer's source: the websockets client and the fastest JSON encoder there is.
FLOOR_PRELUDE = """\
import websockets
try:
    import orjson
    def dumps(obj):
        return orjson.dumps(obj).decode()
except ImportError:
    dumps = json.dumps
"""


def start_peer_process(source, workbook, port, log, level=None):
    """A peer process (a kernel or a floor peer) running `source` with the workbook id and
    the port as its arguments, at kernel log level `level` (this run's by default); its
    stderr goes to `log`."""
    return subprocess.Popen([sys.executable, "-c", source, workbook, str(port)],
                            env=dict(os.environ, TARNLET_LOG_LEVEL=level or log_level()),
                            stdout=subprocess.DEVNULL, stderr=log)


def end_process(process, timeout=10):
    """Waits for a process whose connection was closed; kills it when it has not ended in `timeout` seconds."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


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
