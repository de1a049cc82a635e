"""The sanitizer reports in log files (or captured output) that pass through the project's code.

    python dev/sanitizer_reports.py FILE...

Prints each such report and exits with 1 when there is one, else 0. A report counts when
any of its stacks has a frame in our sources or our modules: an ASan report with all its
stacks (the access may be the interpreter's while the free was ours), each leak of a
LeakSanitizer run on its own, and a UBSan report with its location and stack. Reports in
the interpreter or third-party libraries alone are not ours and are left out.
"""

import re
import sys

# A frame or location in our sources (compiled from the tree, so the path may be relative
# when ccache rewrote it) or in one of our built modules (a frame without debug info).
OURS = re.compile(
    r"(?:^|[\s(/])(?:src/(?:common|kernel|sensewire|feedscout)|tests/native)/[\w.-]+\.[ch]pp\b"
    r"|tarnlet_master/\S*/(?:kernel|sensewire|feedscout|bridge_selftest)\.[\w.-]*\.so\b"
)

# The lines that open a report. An ASan report runs over blank lines (its access, free and
# allocation stacks) up to its SUMMARY; a leak or a UBSan report ends at a blank line.
ASAN_START = re.compile(r"ERROR: AddressSanitizer|AddressSanitizer: CHECK failed")
BLOCK_START = re.compile(r"^(?:Direct|Indirect) leak of |: runtime error: ")
# The header of a leak run (its leaks are reports of their own), and the end of an ASan report.
END = re.compile(r"ERROR: LeakSanitizer|^SUMMARY: |^==\d+==ABORTING")


def reports(text):
    """Each report in the text, as a list of its lines."""
    current, until_blank = None, False
    for line in text.splitlines():
        opens_asan, opens_block = ASAN_START.search(line), BLOCK_START.search(line)
        if opens_asan or opens_block or END.search(line) or (until_blank and not line.strip()):
            if current:
                yield current
            current, until_blank = ([line], bool(opens_block)) if opens_asan or opens_block else (None, False)
        elif current is not None:
            current.append(line)
    if current:
        yield current


def ours(report):
    return any(OURS.search(line) for line in report)


def project_reports(text):
    return ["\n".join(r).strip() for r in reports(text) if ours(r)]


def main(paths):
    found = 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        for report in project_reports(text):
            found += 1
            print(f"--- {path}\n{report}\n")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
