"""``velmo publish``: live readings to an MQTT broker, on ``velmo.publish``."""

from __future__ import annotations

import contextlib
from types import ModuleType

import click

from ..acquisition import Acquisition
from .capture import _until, capture_rate, until_seconds_option
from .common import Target, check_channel, instrument_options, instruments, logging_options, note


def _publishing() -> ModuleType:
    """velmo.publish; a usage error when paho-mqtt is missing."""
    try:
        from .. import publish
    except ImportError:
        raise click.UsageError("publishing needs paho-mqtt: pip install 'velmo-device-communication[publish]'") from None
    return publish


@click.command()
@instrument_options(several=True)
@click.option("--broker", required=True, metavar="URL", help="mqtt://host[:port], or mqtts://host[:port] for TLS.")
@click.option("--prefix", metavar="P", help="First levels of every topic [default: velmo/<hostname>].")
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to publish.")
@click.option("--rate", default=None, metavar="NAME", help="Sampling rate, such as 1200; put back afterwards.")
@click.option(
    "--interval",
    type=click.FloatRange(min=0, min_open=True),
    default=0.1,
    show_default=True,
    help="Seconds between two load messages.",
)
@click.option("--samples", is_flag=True, help="Publish every sample too, in binary batches.")
@click.option("--qos", type=click.IntRange(0, 2), default=1, show_default=True, help="MQTT quality of service.")
@click.option(
    "--outbox",
    type=click.IntRange(min=1),
    default=None,
    help="Messages per instrument held while the broker is away [default: 60 s worth].",
)
@click.option("--mqtt", "protocol", type=click.Choice(["5", "3.1.1"]), default="5", show_default=True,
              help="MQTT protocol version.")
@click.option("--tls", is_flag=True, help="Connect with TLS (mqtts:// implies it).")
@click.option("--ca", type=click.Path(exists=True, dir_okay=False), help="CA file that signed the broker's certificate.")
@click.option("--cert", type=click.Path(exists=True, dir_okay=False), help="Client certificate (PEM).")
@click.option("--key", type=click.Path(exists=True, dir_okay=False), help="The client certificate's key (PEM).")
@click.option("--username", metavar="NAME", help="User name to log in with.")
@click.option("--password-env", metavar="VARIABLE", help="Environment variable holding the password.")
@click.option(
    "--password-file", type=click.Path(exists=True, dir_okay=False), help="File whose first line is the password."
)
@until_seconds_option
@logging_options
def publish(
    target: Target,
    broker: str,
    prefix: str | None,
    channel: int,
    rate: str | None,
    interval: float,
    samples: bool,
    qos: int,
    outbox: int | None,
    protocol: str,
    tls: bool,
    ca: str | None,
    cert: str | None,
    key: str | None,
    username: str | None,
    password_env: str | None,
    password_file: str | None,
    seconds: float | None,
) -> None:
    """Publish each instrument's info, status and load (and with --samples every sample) to an MQTT broker.

    Runs until Ctrl-C; each instrument's status is then set to offline. The password
    comes from an environment variable or a file, never from the command line.
    """
    publishing = _publishing()
    try:
        location = publishing.parse_broker_url(broker)
    except ValueError as error:
        raise click.BadParameter(str(error), param_hint="--broker") from None
    try:
        password = publishing.read_password(environment=password_env, file=password_file)
    except ValueError as error:
        raise click.UsageError(str(error)) from None
    if password is not None and username is None and location.username is None:
        raise click.UsageError("a password needs a user name: give --username")
    if key is not None and cert is None:
        raise click.UsageError("--key goes with a client certificate: give --cert too")
    if prefix is not None:
        try:
            publishing.payloads.check_prefix(prefix)
        except ValueError as error:
            raise click.BadParameter(str(error), param_hint="--prefix") from None
    interrupted = False
    with instruments(target, several=True) as devices, contextlib.ExitStack() as stack:
        for device in devices:
            check_channel(device, channel)
        rates = [capture_rate(device, rate) for device in devices]
        infos = [publishing.instrument_info(device, channel) for device in devices]
        acquisitions = [Acquisition(device, channel=channel, rate=chosen) for device, chosen in zip(devices, rates)]
        publisher = publishing.MqttPublisher(
            acquisitions,
            broker=broker,
            instruments=infos,
            prefix=prefix,
            interval=interval,
            samples=samples,
            qos=qos,
            outbox=outbox,
            protocol=protocol,
            tls=tls or ca is not None or cert is not None,
            ca=ca,
            certfile=cert,
            keyfile=key,
            username=username,
            password=password,
        )
        # Closed in the reverse order: the streams are switched off first, then the publisher
        # publishes what they read up to the end and says offline.
        stack.callback(publisher.stop)
        for acquisition in acquisitions:
            stack.enter_context(acquisition)
        try:
            publisher.start()
        except publishing.PublishError as error:
            raise click.ClickException(str(error)) from None
        note(f"Publishing to {location} under {publisher.prefix}/: {', '.join(publisher.names)} (Ctrl-C to stop)")
        try:
            for _ in _until(seconds):
                pass
        except KeyboardInterrupt:
            interrupted = True
        stack.close()
        stats = publisher.stats
        note(f"Published {stats.sent} messages; {stats.queued} unsent, {stats.dropped} dropped by a full outbox")
    if interrupted:
        raise KeyboardInterrupt
