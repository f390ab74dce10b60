"""Fixtures of the publisher's tests, to import into a test module: real Mosquitto brokers on
loopback with configurations of their own, a paho subscriber that collects what the publisher
sends, and a simulated instrument streaming."""

import contextlib
import subprocess
import threading
import time
from pathlib import Path

import pytest

mqtt = pytest.importorskip("paho.mqtt.client", reason="the publish tests need paho-mqtt (the test extra)")
from paho.mqtt.enums import CallbackAPIVersion  # noqa: E402

from .mosquitto import MOSQUITTO, MOSQUITTO_PASSWD, Mosquitto  # noqa: E402
from .waiting import PATIENCE  # noqa: E402

import velmo  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.publish import instrument_info  # noqa: E402
from velmo.simulator import SimulatedInstrument, constant  # noqa: E402
from velmo.simulator.instrument import counts_of_loads  # noqa: E402

def need_mosquitto():
    if MOSQUITTO is None:
        pytest.skip("mosquitto is not installed (apt-get install mosquitto; .ci/run installs it)")


@pytest.fixture(scope="session")
def broker(tmp_path_factory):
    need_mosquitto()
    server = Mosquitto(tmp_path_factory.mktemp("mosquitto")).start()
    yield server
    server.stop()


@pytest.fixture
def own_broker(tmp_path):
    """A broker of this test's own, to stop and start."""
    need_mosquitto()
    server = Mosquitto(tmp_path / "mosquitto").start()
    yield server
    server.stop()


@pytest.fixture
def prefix(request):
    """A topic prefix no other test uses."""
    return f"test/{request.node.name.replace('[', '_').replace(']', '').replace('/', '_')}"


class Subscriber:
    """Subscribes to ``topic`` (QoS 1, MQTT 5) and keeps every message, in order of arrival."""

    def __init__(self, port, topic, *, session=None, tls=None):
        self.messages = []
        self.condition = threading.Condition()
        self.topic = topic
        self.client = mqtt.Client(
            callback_api_version=CallbackAPIVersion.VERSION2, client_id=session or "", protocol=mqtt.MQTTv5
        )
        if tls:
            self.client.tls_set(ca_certs=tls["ca"])
            self.client.username_pw_set(tls["username"], tls["password"])
        self.subscribed = threading.Event()
        self.client.on_connect = self._on_connect
        self.client.on_subscribe = lambda *_args: self.subscribed.set()
        self.client.on_message = self._on_message
        properties = None
        if session is not None:  # a session the broker keeps (and persists) while we are away
            from paho.mqtt.packettypes import PacketTypes
            from paho.mqtt.properties import Properties

            properties = Properties(PacketTypes.CONNECT)
            properties.SessionExpiryInterval = 3600
        self.client.connect("127.0.0.1", port, clean_start=session is None, properties=properties)
        self.client.loop_start()
        assert self.subscribed.wait(PATIENCE), "the subscription was not acknowledged"

    def _on_connect(self, client, _userdata, _flags, reason, _properties):
        if not reason.is_failure:
            client.subscribe(self.topic, qos=1)

    def _on_message(self, _client, _userdata, message):
        with self.condition:
            self.messages.append((message.topic, message.payload, message.retain, time.time()))
            self.condition.notify_all()

    def on(self, topic):
        with self.condition:
            return [payload for message_topic, payload, *_ in self.messages if message_topic == topic]

    def wait(self, condition, what, timeout=PATIENCE):
        deadline = time.monotonic() + timeout
        with self.condition:
            while not condition():
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    topics = sorted({topic for topic, *_ in self.messages})
                    raise AssertionError(f"timed out waiting for {what}; topics seen: {topics}")
                self.condition.wait(min(remaining, 0.2))

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


@pytest.fixture
def subscribe():
    subscribers = []

    def start(port, topic, **options):
        subscriber = Subscriber(port, topic, **options)
        subscribers.append(subscriber)
        return subscriber

    yield start
    for subscriber in subscribers:
        subscriber.close()


@pytest.fixture
def streaming():
    """A simulated HDA640 measuring ``signal`` (in newtons), its device, its info, a started acquisition."""
    with contextlib.ExitStack() as stack:

        def start(signal=constant(0.0)):
            simulator = stack.enter_context(SimulatedInstrument("HDA640", instrument_serial=20240001))
            simulator.instrument.set_signal(0, counts_of_loads(signal))
            device = stack.enter_context(velmo.open_device(simulator.port, models=["HDA640"]))
            info = instrument_info(device)
            acquisition = stack.enter_context(Acquisition(device, rate="SPS_1200"))
            return simulator, acquisition, info

        yield start


def make_certificates(folder):
    """A CA and a server certificate for 127.0.0.1 signed by it, as PEM files in ``folder``."""
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, key, issuer, issuer_key, *, ca, names=()):
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
            .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
        )
        if names:
            builder = builder.add_extension(x509.SubjectAlternativeName(list(names)), critical=False)
        return builder.sign(issuer_key, hashes.SHA256())

    def write(name, data):
        path = Path(folder) / name
        path.write_bytes(data)
        path.chmod(0o600)
        return path

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("velmo test CA", ca_key, "velmo test CA", ca_key, ca=True)
    server_key = ec.generate_private_key(ec.SECP256R1())
    names = [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]
    server = certificate("127.0.0.1", server_key, "velmo test CA", ca_key, ca=False, names=names)
    pem = serialization.Encoding.PEM
    unencrypted = (pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    return (
        write("ca.pem", ca.public_bytes(pem)),
        write("server.pem", server.public_bytes(pem)),
        write("server.key", server_key.private_bytes(*unencrypted)),
    )




@pytest.fixture(scope="session")
def secure_broker(tmp_path_factory):
    """A broker that speaks TLS only and wants ``.username`` and ``.password``; ``.ca`` is its CA file."""
    need_mosquitto()
    pytest.importorskip("cryptography", reason="the TLS tests make their certificates with cryptography")
    if MOSQUITTO_PASSWD is None:
        pytest.skip("mosquitto_passwd is not installed (it comes with Debian's mosquitto)")
    folder = tmp_path_factory.mktemp("mosquitto-tls")
    ca, certificate, key = make_certificates(folder)
    passwords = folder / "passwords"
    username, password = "bench7", "s3cret with spaces"
    subprocess.run([MOSQUITTO_PASSWD, "-c", "-b", str(passwords), username, password], check=True, capture_output=True)
    passwords.chmod(0o600)
    server = Mosquitto(
        folder,
        f"cafile {ca}\ncertfile {certificate}\nkeyfile {key}\nallow_anonymous false\npassword_file {passwords}",
    ).start()
    server.ca, server.username, server.password = str(ca), username, password
    yield server
    server.stop()
