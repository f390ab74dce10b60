"""``python -m velmo.simulator``: serve a simulated instrument (see ``velmo.simulator.command``)."""

from .command import main

if __name__ == "__main__":
    main(prog="python -m velmo.simulator")
