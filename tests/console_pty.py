"""The console as a person uses it: a real terminal (a pseudo-terminal), a real kernel."""

import io
import os
import re
import sys

import pytest

pexpect = pytest.importorskip("pexpect")
if not hasattr(pexpect, "spawn"):   # no pseudo-terminals on this platform
    pytest.skip("pexpect cannot spawn a pseudo-terminal here", allow_module_level=True)

PROMPT = ">>> "
T = 30

_ESCAPES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x07|\r")


def clean(text):
    """Terminal output as plain text: escape sequences, bells and carriage returns removed."""
    return _ESCAPES.sub("", text)


class ConsolePty:
    """``python -m tarnlet_master.devhost console`` in a pseudo-terminal."""

    def __init__(self, cwd, *args, env=None):
        environment = dict(os.environ, XDG_STATE_HOME=str(cwd / "state"), TERM="xterm", **(env or {}))
        # The console runs in a directory of its own: keep an import path given relative to ours.
        if environment.get("PYTHONPATH"):
            environment["PYTHONPATH"] = os.pathsep.join(
                os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep) if p)
        self.child = pexpect.spawn(sys.executable, ["-m", "tarnlet_master.devhost", "console", *args],
                                   env=environment, encoding="utf-8", timeout=T, cwd=str(cwd),
                                   dimensions=(50, 250))
        self.transcript = io.StringIO()
        self.child.logfile_read = self.transcript
        self.child.expect(r"connected \(pid (\d+)\)")
        self.pid = int(self.child.match.group(1))
        self.expect_prompt()

    def expect(self, pattern, timeout=T):
        """Wait for a regular expression; returns the text before it, cleaned."""
        self.child.expect(pattern, timeout=timeout)
        return clean(self.child.before)

    def expect_text(self, text, timeout=T):
        self.child.expect_exact(text, timeout=timeout)
        return clean(self.child.before)

    def expect_prompt(self, timeout=T):
        return self.expect_text(PROMPT, timeout)

    def run(self, line, timeout=T):
        """Type a line and Enter; the output it produced up to the next prompt (without the echo)."""
        self.child.send(line + "\r")
        out = self.expect_prompt(timeout)
        echoed = line.split("\n")[-1]
        index = out.find(echoed)
        return out[index + len(echoed):].lstrip("\n") if index >= 0 else out

    def everything(self):
        """All the console printed so far, cleaned."""
        return clean(self.transcript.getvalue())

    def send(self, text):
        self.child.send(text)

    def interrupt(self):
        self.child.sendintr()

    def quit(self):
        self.child.send(":quit\r")
        self.child.expect(pexpect.EOF, timeout=T)
        self.child.close()
        return clean(self.child.before), self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)


def kernel_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True
