"""``velmo serve``: the instruments on OPC UA until Ctrl-C (needs the ``serve`` extra)."""

from __future__ import annotations

import contextlib
import logging
import time
from collections.abc import Iterator
from typing import Any

import click

from .. import discovery
from .._requirements import asyncua_missing, h5py_missing
from ..acquisition import Acquisition
from .common import Target, check_channel, instrument_options, instruments, logging_options, note, settings

logger = logging.getLogger("velmo.serve")

DEFAULT_LISTEN = "127.0.0.1:4840"
ENDPOINT_PATH = "/velmo"
POLL_SECONDS = 0.2


def _server_package() -> Any:
    """velmo.serve, or a one-line error saying how to install it."""
    hint = asyncua_missing() or h5py_missing()  # instruments are described and recorded through velmo.recording
    if hint is not None:
        raise click.ClickException(hint)
    from .. import serve

    return serve


def _host_and_port(listen: str) -> tuple[str, int]:
    host, _, port = listen.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")
    if not host or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise click.BadParameter(f"give HOST:PORT, such as 0.0.0.0:4840, not {listen!r}", param_hint="--listen")
    return host, int(port)


@contextlib.contextmanager
def _asyncua_logs(debug: bool) -> Iterator[None]:
    """asyncua's own records only with --debug: it logs every refused request as an error."""
    asyncua_logger = logging.getLogger("asyncua")
    level = asyncua_logger.level
    asyncua_logger.setLevel(logging.DEBUG if debug else logging.CRITICAL)
    try:
        yield
    finally:
        asyncua_logger.setLevel(level)


def _reopener(info: Any, channel: int) -> Any:
    """Opens the instrument again where it was, checking that it is the same one."""

    def reopen(stack: contextlib.ExitStack) -> Acquisition:
        device = stack.enter_context(
            discovery.open_device(info.port, models=[info.model], serial_number=info.serial_number)
        )
        return stack.enter_context(Acquisition(device, channel=channel))

    return reopen


def _add_user(serve: Any, users: str | None, name: str) -> None:
    if users is None:
        raise click.UsageError("--add-user needs --users FILE, the file to add the user to")
    password = click.prompt(f"Password for {name}", hide_input=True, confirmation_prompt=True, err=True)
    try:
        serve.add_user(users, name, password)
    except ValueError as error:
        raise click.BadParameter(str(error), param_hint="--add-user") from None
    note(f"{name} can now call methods of servers started with --users {users}")


@click.command()
@instrument_options(several=True)
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to serve.")
@click.option(
    "--listen",
    default=DEFAULT_LISTEN,
    show_default=True,
    metavar="HOST:PORT",
    help="Address to listen on; anything but a loopback address needs --certificate/--private-key or --no-security.",
)
@click.option(
    "--update-interval",
    type=click.FloatRange(min=0.01),
    default=0.1,
    show_default=True,
    help="Seconds between two updates of the values; each update covers the samples of its interval.",
)
@click.option(
    "--certificate",
    type=click.Path(exists=True, dir_okay=False),
    help="The server's certificate (PEM or DER): enables Basic256Sha256 Sign and SignAndEncrypt.",
)
@click.option(
    "--private-key", type=click.Path(exists=True, dir_okay=False), help="The certificate's private key (PEM)."
)
@click.option(
    "--users",
    type=click.Path(dir_okay=False),
    help="File of user names and salted password hashes (made with --add-user): they may call the methods.",
)
@click.option(
    "--no-security",
    is_flag=True,
    help="Also serve without encryption where that is not the default: on a non-loopback address, or with "
    "a certificate.",
)
@click.option(
    "--record-dir",
    type=click.Path(file_okay=False),
    default=".",
    show_default=True,
    help="The folder StartRecording writes in; paths leading outside it are refused.",
)
@click.option(
    "--make-certificate",
    type=click.Path(file_okay=False),
    metavar="DIR",
    help="Write a self-signed certificate and its key for the server into DIR, then exit.",
)
@click.option("--add-user", metavar="NAME", help="Add NAME to the --users file (asks for the password), then exit.")
@logging_options
def serve(
    target: Target,
    channel: int,
    listen: str,
    update_interval: float,
    certificate: str | None,
    private_key: str | None,
    users: str | None,
    no_security: bool,
    record_dir: str,
    make_certificate: str | None,
    add_user: str | None,
) -> None:
    """Serve the instruments on OPC UA until Ctrl-C: live load, statistics, counters and state.

    Listens on 127.0.0.1 by default; anonymous clients read, users of --users may also
    start and stop recordings.
    """
    package = _server_package()
    host, port = _host_and_port(listen)
    if make_certificate is not None:
        certificate_path, key_path = package.make_certificate(make_certificate, host)
        note(f"Wrote {certificate_path} and {key_path}")
        click.echo(f"--certificate {certificate_path} --private-key {key_path}")
        return
    if add_user is not None:
        _add_user(package, users, add_user)
        return
    if (certificate is None) != (private_key is None):
        raise click.UsageError("give --certificate and --private-key together")
    loopback = package.security.is_loopback(host)
    if not loopback and certificate is None and not no_security:
        raise click.UsageError(
            f"listening on {host} lets everyone on the network in: give --certificate and --private-key "
            "(make them with --make-certificate DIR), or --no-security to serve without encryption"
        )
    user_hashes = {}
    if users is not None:
        try:
            user_hashes = package.read_users(users)
        except (OSError, ValueError) as error:
            raise click.BadParameter(str(error), param_hint="--users") from None
    if not loopback and no_security:
        logger.warning(
            "Serving without encryption on %s: anyone on the network reads the instruments%s",
            host,
            ", and user passwords cross it readable" if user_hashes else "",
        )
    netloc = f"[{host}]" if ":" in host else host
    interrupted = False
    with _asyncua_logs(settings().debug), instruments(target, several=True) as devices, contextlib.ExitStack() as stack:
        for device in devices:
            check_channel(device, channel)
        served = [package.instrument(device, channel=channel) for device in devices]
        for item in served:
            item.reopen = _reopener(item.info, channel)
            stack.enter_context(item.acquisition)
        server = package.OpcUaServer(
            served,
            endpoint=f"opc.tcp://{netloc}:{port}{ENDPOINT_PATH}",
            update_interval=update_interval,
            certificate=certificate,
            private_key=private_key,
            users=user_hashes,
            allow_unencrypted=no_security,
            record_dir=record_dir,
        )
        stack.enter_context(server)
        click.echo(f"Serving {', '.join(server.names)} on {server.endpoint}")
        click.echo(f"Namespace URI: {server.namespace_uri}")
        try:
            while True:
                time.sleep(POLL_SECONDS)
        except KeyboardInterrupt:
            interrupted = True
    if interrupted:
        raise KeyboardInterrupt
