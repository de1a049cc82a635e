"""python -m tarnlet_master.devhost demo | console [options]

demo     the scripted session that shows every capability of the kernel
console  type Python that runs in a kernel, with output as it streams
"""

import sys


def main(argv: list) -> int:
    command = argv[0] if argv else "demo"
    if command in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if command == "demo":
        from .demo import main as demo_main

        return demo_main(argv[1:])
    if command == "console":
        from .console import main as console_main

        return console_main(argv[1:])
    print(f"unknown command: {command}\n\n{__doc__.strip()}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
