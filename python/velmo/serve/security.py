"""Who may do what on the server: users with salted password hashes, the permissions of
anonymous and authenticated sessions, and the server's own certificate."""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import os
import secrets
import socket
import tempfile
from pathlib import Path
from typing import Any, NamedTuple

from asyncua import ua
from asyncua.crypto.permission_rules import USER_TYPES, User, UserRole

APPLICATION_URI = "urn:velmo:server"
CERTIFICATE_FILE = "velmo-server-cert.pem"
PRIVATE_KEY_FILE = "velmo-server-key.pem"
CERTIFICATE_DAYS = 3650
# scrypt's interactive-login cost: about 50 ms and 16 MiB per check.
SCRYPT_N, SCRYPT_R, SCRYPT_P = 2**14, 8, 1
SALT_BYTES = 16


class UserFileError(ValueError):
    """A users file that cannot be read as one."""


class PasswordHash(NamedTuple):
    n: int
    r: int
    p: int
    salt: bytes
    digest: bytes

    def text(self) -> str:
        return f"scrypt${self.n}${self.r}${self.p}${self.salt.hex()}${self.digest.hex()}"

    def matches(self, password: str) -> bool:
        digest = _scrypt(password, self.salt, self.n, self.r, self.p)
        return hmac.compare_digest(digest, self.digest)


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode(), salt=salt, n=n, r=r, p=p, maxmem=256 * n * r, dklen=32)


def hash_password(password: str) -> PasswordHash:
    """A new salted hash of ``password``."""
    salt = secrets.token_bytes(SALT_BYTES)
    return PasswordHash(SCRYPT_N, SCRYPT_R, SCRYPT_P, salt, _scrypt(password, salt, SCRYPT_N, SCRYPT_R, SCRYPT_P))


def _parse_hash(text: str) -> PasswordHash:
    kind, n, r, p, salt, digest = text.split("$")
    if kind != "scrypt":
        raise ValueError(f"unknown hash kind {kind!r}")
    return PasswordHash(int(n), int(r), int(p), bytes.fromhex(salt), bytes.fromhex(digest))


def read_users(path: str | os.PathLike[str]) -> dict[str, PasswordHash]:
    """The users of a users file: ``name:hash`` per line; blank lines and ``#`` comments skipped.

    :raises UserFileError: If a line is not a user and a hash
    :raises OSError: If the file cannot be read
    """
    users = {}
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), start=1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, _, stored = line.partition(":")
        try:
            users[name] = _parse_hash(stored)
        except ValueError as error:
            raise UserFileError(f"{path}, line {number}: not a user name and a password hash ({error})") from None
        if not name:
            raise UserFileError(f"{path}, line {number}: no user name")
    return users


def add_user(path: str | os.PathLike[str], name: str, password: str) -> None:
    """Add ``name`` to the users file (created if need be), or give it a new password.

    The file is replaced whole and readable by its owner only.

    :raises ValueError: For an empty name or password, or a name with ``:`` or blanks
    """
    if not name or ":" in name or name != name.strip() or any(character.isspace() for character in name):
        raise ValueError(f"a user name is a word without ':' or blanks, not {name!r}")
    if not password:
        raise ValueError("the password is empty")
    target = Path(path)
    lines = target.read_text(encoding="utf-8").splitlines() if target.exists() else []
    if target.exists():
        read_users(target)  # refuse to rewrite a file that is not a users file
    kept = [line for line in lines if line.partition(":")[0].strip() != name]
    kept.append(f"{name}:{hash_password(password).text()}")
    fd, temporary = tempfile.mkstemp(dir=target.parent if str(target.parent) else ".", prefix=f".{target.name}.")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write("\n".join(kept) + "\n")
        os.chmod(temporary, 0o600)
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


class Users:
    """The server's user manager: anonymous sessions read; a user name with its password
    authenticates; anything else is refused."""

    def __init__(self, users: dict[str, PasswordHash]) -> None:
        self._users = users

    def get_user(
        self, iserver: Any, username: str | None = None, password: str | None = None, certificate: Any = None
    ) -> User | None:
        if username is None:
            return User(role=UserRole.Anonymous)
        stored = self._users.get(username)
        if stored is None or password is None or not stored.matches(password):
            return None
        return User(role=UserRole.User, name=username)


_CALL = ua.NodeId(ua.ObjectIds.CallRequest_Encoding_DefaultBinary)
_WRITE = ua.NodeId(ua.ObjectIds.WriteRequest_Encoding_DefaultBinary)
_READING = frozenset(ua.NodeId(type_id) for type_id in USER_TYPES) - {_CALL, _WRITE}


class Permissions:
    """Everyone reads, browses and subscribes; only authenticated users call methods; nobody
    writes or changes the address space. A refused request is answered BadUserAccessDenied.
    The server's permission ruleset."""

    def check_validity(self, user: User, action_type_id: ua.NodeId, body: Any) -> bool:
        if action_type_id in _READING:
            return True
        return bool(action_type_id == _CALL and user.role == UserRole.User)


def is_loopback(host: str) -> bool:
    """Whether ``host`` (a name or an address) means this machine only."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def make_certificate(directory: str | os.PathLike[str], host: str | None = None) -> tuple[Path, Path]:
    """A self-signed certificate and its private key for the server, in PEM files in ``directory``.

    The certificate names the server's application URI, this machine's host name, ``host``
    when given, and localhost.

    :return: The certificate's path and the key's path
    :raises FileExistsError: If either file exists already
    """
    from asyncua.crypto.cert_gen import (
        dump_private_key_as_pem,
        generate_private_key,
        generate_self_signed_app_certificate,
    )
    from cryptography import x509
    from cryptography.hazmat.primitives.serialization import Encoding
    from cryptography.x509.oid import ExtendedKeyUsageOID

    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    certificate_path, key_path = folder / CERTIFICATE_FILE, folder / PRIVATE_KEY_FILE
    for path in (certificate_path, key_path):
        if path.exists():
            raise FileExistsError(f"{path} exists; remove it first or choose another folder")
    names: list[x509.GeneralName] = [x509.UniformResourceIdentifier(APPLICATION_URI)]
    for name in dict.fromkeys((socket.gethostname(), "localhost", host or "localhost")):
        try:
            names.append(x509.IPAddress(ipaddress.ip_address(name)))
        except ValueError:
            names.append(x509.DNSName(name))
    names.append(x509.IPAddress(ipaddress.ip_address("127.0.0.1")))
    key = generate_private_key()
    certificate = generate_self_signed_app_certificate(
        key,
        "velmo OPC UA server",
        {"organizationName": "velmo"},
        names,
        extended=[ExtendedKeyUsageOID.SERVER_AUTH, ExtendedKeyUsageOID.CLIENT_AUTH],
        days=CERTIFICATE_DAYS,
    )
    descriptor = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as stream:
        stream.write(dump_private_key_as_pem(key))
    certificate_path.write_bytes(certificate.public_bytes(Encoding.PEM))
    return certificate_path, key_path

