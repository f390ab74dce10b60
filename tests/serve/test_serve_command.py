"""``velmo serve``: runs until Ctrl-C and exits 130 after a clean stop; its refusals and helpers."""

import signal
import socket
import subprocess
import sys

import pytest

pytest.importorskip("asyncua")
pytest.importorskip("click")

from asyncua import Client  # noqa: E402
from click.testing import CliRunner  # noqa: E402
from support.opcua import instrument_node, run, wait_until  # noqa: E402
from velmo.cli import main  # noqa: E402
from velmo.cli import serve as serve_command  # noqa: E402
from velmo.serve import read_users  # noqa: E402
from velmo.serve.security import CERTIFICATE_FILE, PRIVATE_KEY_FILE  # noqa: E402


def invoke(*arguments, **options):
    return CliRunner().invoke(main, ["serve", *map(str, arguments)], **options)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_serves_until_ctrl_c_then_exits_130():
    port = free_port()
    command = [sys.executable, "-m", "velmo", "serve", "--simulate", "--listen", f"127.0.0.1:{port}"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as server:
        try:
            assert server.stdout.readline() == f"Serving HDA640_20240001 on opc.tcp://127.0.0.1:{port}/velmo\n"
            assert server.stdout.readline() == "Namespace URI: urn:velmo:instruments\n"

            async def client():
                async with Client(f"opc.tcp://127.0.0.1:{port}/velmo") as client:
                    index, node = await instrument_node(client, "HDA640_20240001")
                    load = await node.get_child(f"{index}:Load")

                    async def good():
                        return (await load.read_data_value(raise_on_bad_status=False)).StatusCode.is_good()

                    await wait_until(good, "the first load")

            run(client())
            server.send_signal(signal.SIGINT)
            assert server.wait(30) == 130
            errors = server.stderr.read()
            assert "Error" not in errors and "Traceback" not in errors, errors
        finally:
            server.kill()


def test_without_asyncua_it_says_what_to_install(monkeypatch):
    monkeypatch.setattr(serve_command, "asyncua_missing", lambda: "the OPC UA server needs asyncua: pip install x")
    result = invoke("--simulate")
    assert result.exit_code == 1 and "needs asyncua: pip install x" in result.output


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--listen", "0.0.0.0:4840"], "--no-security"),
        (["--listen", "4840"], "HOST:PORT"),
        (["--listen", "127.0.0.1:99999"], "HOST:PORT"),
        (["--certificate", __file__], "together"),
        (["--add-user", "ana"], "--users FILE"),
    ],
)
def test_refuses_before_opening_anything(arguments, message):
    result = invoke(*arguments, "--simulate")
    assert result.exit_code == 2 and message in result.output, result.output


def test_add_user_writes_a_salted_hash_and_replaces_a_password(tmp_path):
    users = tmp_path / "users"
    for password in ("first", "second"):
        result = invoke("--users", users, "--add-user", "ana", input=f"{password}\n{password}\n")
        assert result.exit_code == 0, result.output
    assert invoke("--users", users, "--add-user", "bo", input="x\nx\n").exit_code == 0
    stored = read_users(users)
    assert sorted(stored) == ["ana", "bo"]
    assert stored["ana"].matches("second") and not stored["ana"].matches("first")
    assert "second" not in users.read_text() and users.stat().st_mode & 0o077 == 0


def test_make_certificate_writes_a_key_and_a_certificate_once(tmp_path):
    result = invoke("--make-certificate", tmp_path / "pki")
    assert result.exit_code == 0, result.output
    assert (tmp_path / "pki" / CERTIFICATE_FILE).read_bytes().startswith(b"-----BEGIN CERTIFICATE")
    assert (tmp_path / "pki" / PRIVATE_KEY_FILE).stat().st_mode & 0o077 == 0
    again = invoke("--make-certificate", tmp_path / "pki")
    assert again.exit_code == 1 and "exists" in again.output
