"""python -m tarnlet_master.devhost demo

Until the kernel can serve a workbook, the demo loads the three extension modules and
prints what each one provides.
"""
import importlib
import sys

MODULES = (
    "tarnlet_master.python_server.kernel",
    "tarnlet_master.python_server.sensewire",
    "tarnlet_master.business_layer.packages.feedscout",
)


def show_modules() -> None:
    for name in MODULES:
        module = importlib.import_module(name)
        public = sorted(n for n in vars(module) if not n.startswith("__"))
        print(f"{name} ({module.__file__})")
        print("    " + (", ".join(public) or "(no names yet)"))


def main(argv: list[str]) -> int:
    command = argv[0] if argv else "demo"
    if command != "demo":
        print(f"unknown command: {command}", file=sys.stderr)
        return 2
    show_modules()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
