"""Waiting for an event with a generous bound, never for a fixed time."""

import time

# CI is a loaded two-core machine.
PATIENCE = 30.0


def wait_for(condition, what, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)
