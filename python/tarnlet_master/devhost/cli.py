"""The development host's command line: ``python -m tarnlet_master.devhost COMMAND [options]``."""

from __future__ import annotations

import argparse
import sys
from typing import List, Sequence

PROG = "python -m tarnlet_master.devhost"

COMMANDS = {
    "demo": "the scripted session that shows every capability of the kernel",
    "console": "type Python that runs in a kernel, with output as it streams",
}

ENVIRONMENT = """\
environment:
  TARNLET_LOG_LEVEL   level of the kernel's own log (DEBUG, INFO, WARNING, ERROR or a number; the
                      kernel's default is INFO); the console shows the kernel's log lines at WARNING
                      and above unless this or --log-level says otherwise"""


def build_parser() -> argparse.ArgumentParser:
    from . import console, demo

    parser = argparse.ArgumentParser(prog=PROG, add_help=False,
                                     description="The development host: plays the Business Layer's part "
                                                 "for a real kernel process.",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-h", "--help", action="store_true", help="show this help and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, adder in (("demo", demo.add_arguments), ("console", console.add_arguments)):
        sub = commands.add_parser(name, help=COMMANDS[name], description=COMMANDS[name], epilog=ENVIRONMENT,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        adder(sub)
    return parser


def full_help(parser: argparse.ArgumentParser) -> str:
    """The top-level help with every command's options, so one --help shows them all."""
    parts: List[str] = [parser.format_help().rstrip()]
    subparsers = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    for name, sub in subparsers.choices.items():
        options = [a for a in sub._actions if a.option_strings and a.dest != "help"]
        lines = [f"\n{name}: {COMMANDS[name]}", f"  usage: {sub.format_usage().strip()[len('usage: '):]}"]
        formatter = sub._get_formatter()
        formatter.start_section(None)
        formatter.add_arguments(options)
        formatter.end_section()
        lines.append(formatter.format_help().rstrip("\n"))
        parts.append("\n".join(lines))
    parts.append("\n" + ENVIRONMENT)
    return "\n".join(parts) + "\n"


def main(argv: Sequence[str]) -> int:
    parser = build_parser()
    args = parser.parse_args(list(argv))
    if args.help or args.command is None:
        # No command: say what there is rather than start something.
        print(full_help(parser), end="")
        return 0 if args.help else 2
    if args.command == "demo":
        from .demo import run

        return run(args)
    from .console import run

    return run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
