"""A Mosquitto broker of its own on loopback, for the publisher's tests and benchmark."""

import getpass
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

from .waiting import PATIENCE

MOSQUITTO = shutil.which("mosquitto") or next(
    (path for path in ("/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto") if os.access(path, os.X_OK)), None
)
MOSQUITTO_PASSWD = shutil.which("mosquitto_passwd")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Mosquitto:
    """One broker process on 127.0.0.1 with its own configuration, persistence and log in ``folder``."""

    def __init__(self, folder, extra_config=""):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.log = self.folder / "mosquitto.log"
        self.tls = "certfile" in extra_config
        self.config = self.folder / "mosquitto.conf"
        self.config.write_text(
            f"listener {self.port} 127.0.0.1\n"
            f"persistence true\npersistence_location {self.folder}/\n"
            f"log_dest file {self.log}\nlog_type all\n"
            # Run as root (CI), the broker would switch to the mosquitto user, who cannot write here.
            f"user {getpass.getuser()}\n"
            f"{extra_config or 'allow_anonymous true'}\n"
        )
        self.process = None

    @property
    def url(self):
        return f"{'mqtts' if self.tls else 'mqtt'}://127.0.0.1:{self.port}"

    def start(self):
        self.process = subprocess.Popen(
            [MOSQUITTO, "-c", str(self.config)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
        )
        deadline = time.monotonic() + PATIENCE
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"mosquitto exited: {self.process.stderr.read().decode(errors='replace')}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"mosquitto did not accept on port {self.port}") from None
                time.sleep(0.05)

    def stop(self):
        """A clean stop: the broker writes its persistence file on the way out."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(PATIENCE)
        if self.process is not None:
            self.process.stderr.close()
        self.process = None
