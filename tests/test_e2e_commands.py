"""The devhost's two commands as a person runs them: the demo and the console."""

import socket
import subprocess
import sys

import pytest

import console_pty

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
    assert "-> are messages the host sends to the kernel, <- those the kernel sends" in done.stdout
    assert "3 lines of output ('line 0', 'line 1', 'line 2') streamed before the result" in done.stdout
    assert "stdout messages" not in done.stdout
    assert "<- stdout line 'line 1' request_id=" in done.stdout     # the message log shows lines too
    assert "<- stdout content=" not in done.stdout
    times = [float(line.split()[1]) for line in summary.splitlines()[1:14]]
    assert all(t >= 0 for t in times) and len(times) == 13
    assert "13 steps in " in summary and "13 ok, 0 skipped, 0 failed" in summary


def test_demo_fails_when_steps_are_skipped():
    # No kernel answers within a millisecond: every step is skipped, and that is no success.
    done = run(["demo", "--quiet", "--timeout", "0.001"])
    assert done.returncode == 1, done.stdout[-3000:]
    summary = done.stdout[done.stdout.index("== Summary"):]
    statuses = [line.split()[0] for line in summary.splitlines()[1:] if line.startswith("  ")]
    assert "skipped" in statuses and "FAILED" not in statuses


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
    assert done.returncode == 1, out + done.stderr      # a script whose requests failed
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


@pytest.mark.parametrize("failing", ["1/0", ":call nowhere.nothing", ":nonsense", ":call", "import no_such_mod"])
def test_piped_script_exit_code_tells_a_failed_request(failing):
    done = run(["console"], stdin=f"x = 1\n{failing}\nprint('still runs', x)\n")
    assert done.returncode == 1, done.stdout + done.stderr
    assert "still runs 1" in done.stdout                    # the script goes on after the failure


def test_help_lists_every_command_and_option():
    done = run(["--help"])
    assert done.returncode == 0
    for text in ("demo", "console", "--workbook", "--port", "--load", "--log-level", "--timeout", "--quiet",
                 "TARNLET_LOG_LEVEL"):
        assert text in done.stdout, text
    bare = run([])
    assert bare.returncode == 2
    assert "--workbook" in bare.stdout and "Development host" not in bare.stdout   # nothing was started
    assert "TARNLET_LOG_LEVEL" in run(["console", "--help"]).stdout


def test_workbook_name_with_spaces_and_a_chosen_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    script = "import sys, tarnlet\nprint('port', sys.argv[2])\nprint('id', tarnlet._kernel_instance.workbook_id)\n"
    done = run(["console", "--workbook", "my book/ü", "--port", str(port)], stdin=script)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Kernel for workbook 'my book/ü' connected" in done.stdout
    assert f"port {port}" in done.stdout
    assert "id my%20book%2F%C3%BC" in done.stdout


def test_command_errors_print_their_usage(tmp_path):
    (tmp_path / "good.py").write_text("def one():\n    return 1\n")
    (tmp_path / "broken.py").write_text("def f(:\n    pass\n")
    lines = [":call", ":complete good 1", ":hover good x 0", ":load", f":load {tmp_path / 'missing'}",
             f":load {tmp_path}", ":call good", ":kernellog many"]
    out = run(["console"], stdin="\n".join(lines) + "\n").stdout
    assert "usage: :call MODULE.FUNC [ARG ...]" in out
    assert "usage: :complete MODULE LINE COL" in out
    assert "LINE and COL are numbers" in out and "usage: :hover MODULE LINE COL" in out
    assert out.count("usage: :load DIR") == 2 and "not a directory" in out
    assert "expected MODULE.FUNC, got 'good'" in out
    assert "usage: :kernellog [N]" in out
    assert "positional argument" not in out and "cmd_" not in out
    # A module that does not compile is sent, with a warning.
    assert "warning: broken.py does not compile: SyntaxError: invalid syntax (line 1)" in out
    assert "loaded 2 module(s): broken, good" in out


@pytest.mark.timeout(120)
def test_history_persists_across_runs(tmp_path):
    cp = console_pty
    console = cp.ConsolePty(tmp_path)
    try:
        console.run("history_marker = 11")
        console.quit()
    finally:
        console.close()
    history = tmp_path / "state" / "tarnlet" / "console_history"
    assert "history_marker = 11" in history.read_text()
    console = cp.ConsolePty(tmp_path)
    try:
        console.send("\x1b[A\x1b[A")                   # up arrow twice: the line before :quit in the last run
        console.expect_text("history_marker = 11")
        console.run("")
        assert "11" in console.run("history_marker")
    finally:
        console.close()


@pytest.mark.timeout(120)
def test_command_line_items_at_a_terminal(tmp_path):
    cp = console_pty
    (tmp_path / "mods").mkdir()
    (tmp_path / "mods" / "broken.py").write_text("def f(:\n")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    console = cp.ConsolePty(tmp_path, "--workbook", "my book", "--port", str(port))
    try:
        assert "'my book'" in console.everything()
        assert "usage: :stream MODULE.FUNC [ARG ...]" in console.run(":stream")
        out = console.run(f":load {tmp_path / 'mods'}")
        assert "warning: broken.py does not compile" in out and "loaded 1 module(s): broken" in out
        assert f"'{port}'" in console.run("import sys; sys.argv[2]")
        _, status = console.quit()
        assert status == 0                   # at a terminal, failed commands do not set the exit code
    finally:
        console.close()


def test_console_survives_arguments_it_cannot_use(tmp_path):
    (tmp_path / "echo.py").write_text("def size(x):\n    return len(x)\n")
    lines = [f":load {tmp_path}", ":call echo.size " + "[" * 100000, ':call echo.size \'"\\ud800x"\'',
             ":call echo.size 'ab'", "print('went on')"]
    done = run(["console"], stdin="\n".join(lines) + "\n")
    assert "Traceback" not in done.stderr, done.stderr[-2000:]
    assert "= 100000" in done.stdout            # too deep for JSON and Python literals: taken as text
    assert done.stdout.count("= 2") == 2        # the lone surrogate arrived as one character beside "x"
    assert "went on" in done.stdout
    assert done.returncode == 0, done.stdout
