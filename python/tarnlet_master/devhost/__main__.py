"""python -m tarnlet_master.devhost {demo,console} [options]"""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
