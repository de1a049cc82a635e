"""The devhost's two commands as a person runs them: the demo and the console."""

import subprocess
import sys

import pytest

pytestmark = pytest.mark.timeout(90)


def run(args, stdin=None, timeout=60):
    return subprocess.run([sys.executable, "-m", "tarnlet_master.devhost", *args], input=stdin,
                          capture_output=True, text=True, timeout=timeout)


def test_demo_runs_every_step():
    done = run(["demo"])
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    summary = done.stdout[done.stdout.index("== Summary"):]
    statuses = [line.split()[0] for line in summary.splitlines()[1:] if line.startswith("  ")]
    assert len(statuses) == 13 and "FAILED" not in statuses
    assert "-> execution_request" in done.stdout and "<- sys_request" in done.stdout   # messages are shown
    assert "kernel process exited with code 0" in done.stdout


def test_console_runs_code_and_commands(tmp_path):
    (tmp_path / "tools.py").write_text("def double(x):\n    print('doubling', x)\n    return 2 * x\n")
    lines = [
        "x = 6 * 7",
        "for i in range(2):",
        "    print('row', i)",
        "",
        "x",
        f":load {tmp_path}",
        ":call tools.double 21",
        ":complete tools 2 6",
        ":nonsense",
        "1/0",
        ":quit",
    ]
    done = run(["console"], stdin="\n".join(lines) + "\n")
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "row 0\nrow 1\n" in out
    assert "\n42\n" in out.replace(">>> ", "\n")
    assert "loaded 1 module(s): tools" in out
    assert "doubling 21" in out and "= 42" in out
    assert "  print" in out                      # a completion for "pr"
    assert "unknown command :nonsense" in out
    assert "ZeroDivisionError: division by zero" in out
    assert "Kernel stopped (exit code 0)" in out


def test_console_ends_at_end_of_input():
    done = run(["console"], stdin="print('bye')\n")
    assert done.returncode == 0
    assert "bye" in done.stdout and "Kernel stopped (exit code 0)" in done.stdout
