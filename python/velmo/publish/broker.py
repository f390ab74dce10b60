"""Where the broker is and how to log in: the URL, TLS settings and the password's source."""

from __future__ import annotations

import dataclasses
import os
import urllib.parse

SCHEMES = {"mqtt": (1883, False), "mqtts": (8883, True)}
PROTOCOLS = ("5", "3.1.1")


@dataclasses.dataclass(frozen=True)
class Broker:
    host: str
    port: int
    tls: bool
    username: str | None = None

    def __str__(self) -> str:
        return f"{'mqtts' if self.tls else 'mqtt'}://{self.host}:{self.port}"


def parse_broker_url(url: str) -> Broker:
    """``mqtt://host[:port]`` or ``mqtts://host[:port]`` (TLS), with an optional ``user@``.

    :raises ValueError: For another scheme, no host, a bad port, a path or a password in the URL
    """
    try:
        parts = urllib.parse.urlsplit(url)
        port_number = parts.port
    except ValueError as error:
        raise ValueError(f"{url!r} is not a broker URL ({error}); give one such as mqtt://host:1883") from None
    if parts.scheme not in SCHEMES:
        raise ValueError(f"{url!r} is not a broker URL: it starts with mqtt:// or mqtts:// (TLS)")
    if not parts.hostname:
        raise ValueError(f"{url!r} names no broker host; give one such as mqtt://host:1883")
    if parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ValueError(f"{url!r} has more than a host and a port; give one such as mqtt://host:1883")
    if parts.password is not None:
        raise ValueError(
            "a password in the broker URL would show in the process list: give it in an environment variable "
            "or a file instead"
        )
    default_port, tls = SCHEMES[parts.scheme]
    username = urllib.parse.unquote(parts.username) if parts.username else None
    return Broker(parts.hostname, default_port if port_number is None else port_number, tls, username)


def read_password(*, environment: str | None = None, file: str | os.PathLike[str] | None = None) -> str | None:
    """The password from an environment variable or the first line of a file; None for neither.

    :raises ValueError: If the variable is not set, or both sources are given
    :raises OSError: If the file cannot be read
    """
    if environment is not None and file is not None:
        raise ValueError("give the password in an environment variable or a file, not both")
    if environment is not None:
        if environment not in os.environ:
            raise ValueError(f"the environment variable {environment} holding the password is not set")
        return os.environ[environment]
    if file is not None:
        with open(file, encoding="utf-8") as stream:
            return stream.readline().rstrip("\r\n")
    return None
