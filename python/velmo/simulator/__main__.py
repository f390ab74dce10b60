"""``python -m velmo.simulator``: serve a simulated instrument (see ``velmo.simulator.command``)."""

import sys

from .command import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m velmo.simulator"))
