"""A kernel that dies under the console is noticed at once, even at an idle prompt, and
:restart gives a fresh kernel for the same workbook with the :load modules sent again."""

import os
import signal

import pytest

import console_pty as cp

pytestmark = pytest.mark.timeout(120)


@pytest.fixture
def mods(tmp_path):
    directory = tmp_path / "mods"
    directory.mkdir()
    (directory / "tools.py").write_text("def double(x):\n    return 2 * x\n")
    return directory


def test_kernel_killed_at_an_idle_prompt_is_reported_and_restarted(tmp_path, mods):
    console = cp.ConsolePty(tmp_path, "--load", str(mods))
    try:
        console.send("x = 4")                         # typed, not sent
        os.kill(console.pid, signal.SIGKILL)
        out = console.expect(r"has stopped \(killed by SIGKILL\)")   # without pressing Enter
        console.expect_text(":restart starts a fresh kernel.")
        console.expect_text(">>> x = 4")              # the prompt is drawn again with the typed text
        out = console.run("")
        assert "your input is kept" in out
        assert "Traceback" not in out

        (mods / "tools.py").write_text("def double(x):\n    return 20 * x\n")   # edited meanwhile
        console.send(":restart\r")
        out = console.expect(r"Kernel restarted \(pid (\d+)\)")
        new_pid = int(console.child.match.group(1))
        assert new_pid != console.pid and cp.kernel_alive(new_pid)
        console.expect_text("loaded 1 module(s) again: tools.")
        console.expect_text(">>> x = 4")              # the kept line, ready to send
        console.send("\r")
        console.expect_prompt()
        assert "8" in console.run("x * 2")
        assert "= 60" in console.run(":call tools.double 3")   # read again from the directory
        _, status = console.quit()
        assert status == 0
        assert not cp.kernel_alive(new_pid)
    finally:
        console.close()


def test_exit_from_user_code_and_restart_by_hand(tmp_path, mods):
    console = cp.ConsolePty(tmp_path)
    try:
        console.run("y = 1")
        console.send("import os; os._exit(3)\r")
        out = console.expect(r"has stopped \(exit code 3\)")
        console.expect_prompt()
        out = console.run(":call tools.double 1")
        assert "The kernel is not running" in out
        console.send(":restart\r")
        console.expect(r"Kernel restarted \(pid (\d+)\); the namespace is empty\.")
        first = int(console.child.match.group(1))
        console.expect_prompt()
        assert "NameError" in console.run("y")
        console.run("y = 2")
        # :restart on a live kernel: that one is stopped, a fresh one takes its place.
        console.send(":restart\r")
        console.expect(r"Kernel restarted \(pid (\d+)\)")
        second = int(console.child.match.group(1))
        console.expect_prompt()
        assert second != first and not cp.kernel_alive(first)
        assert "NameError" in console.run("y")
        assert "has stopped" not in console.run("1 + 1")   # stopping it on purpose is not a death
    finally:
        console.close()
