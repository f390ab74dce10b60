"""Bringing a streaming instrument's line back to silence, so commands can follow.

The stop command's own answer may be read from stream packets still on the line,
so an instrument can stop (and answer) a little after the command returned. Only
a line that stays silent guarantees that no packet is taken for the next
command's answer; an instrument that keeps streaming is told again, and then
reported.
"""

from __future__ import annotations

import time
from typing import Any

import velmo_device_communication as vdc

# The line counts as silent after this long without a byte; one stop command is
# given STOP_TIMEOUT to take effect, and STOP_ATTEMPTS commands are sent at most.
QUIET_INTERVAL = 0.05
STOP_TIMEOUT = 1.0
STOP_ATTEMPTS = 3


def wait_for_silence(link: Any, timeout: float | None = None) -> tuple[bool, bytes]:
    """Read and keep what arrives until ``QUIET_INTERVAL`` passes without a byte.

    :param link: The instrument's ``_SerialCommunicationInterface``
    :param timeout: Seconds to wait at most; ``STOP_TIMEOUT`` by default
    :return: Whether the line fell silent in time, and the bytes read meanwhile
    """
    received = bytearray()
    deadline = time.monotonic() + (STOP_TIMEOUT if timeout is None else timeout)
    while True:
        time.sleep(QUIET_INTERVAL)
        data = link.read_buffer_data()
        if not data:
            return True, bytes(received)
        received += data
        if time.monotonic() > deadline:
            return False, bytes(received)


def stop_stream(link: Any, *, attempts: int | None = None) -> bytes:
    """Switch the stream off and wait until the line is silent.

    :param link: The instrument's ``_SerialCommunicationInterface``
    :param attempts: How many stop commands to send before giving up; ``STOP_ATTEMPTS`` by default
    :return: The stream bytes that arrived after the stop command
    :raises VelmoCommunicationError: If the instrument is still streaming after every attempt
    """
    attempts = STOP_ATTEMPTS if attempts is None else attempts
    drained = bytearray()
    for _ in range(attempts):
        link.set_streaming_state(0)
        silent, data = wait_for_silence(link)
        drained += data
        if silent:
            return bytes(drained)
    raise vdc.VelmoCommunicationError(
        f"The instrument on {link.comport} is still streaming after {attempts} stop commands; "
        "power it off and on again"
    )
