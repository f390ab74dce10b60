"""Who may do what: anonymous reading, methods for users only, recordings kept inside their
folder, and Basic256Sha256 with certificates."""

import pytest

pytest.importorskip("asyncua")
h5py = pytest.importorskip("h5py")

from asyncua import Client, ua  # noqa: E402
from asyncua.crypto.permission_rules import UserRole  # noqa: E402
from asyncua.ua.uaerrors import BadInvalidArgument, BadInvalidState, BadUserAccessDenied  # noqa: E402
from support.opcua import instrument_node, run, serving, wait_until  # noqa: E402, F401
from velmo.recording import load  # noqa: E402
from velmo.serve import make_certificate, read_users  # noqa: E402
from velmo.serve.security import Users, UserFileError, add_user, hash_password, is_loopback  # noqa: E402

NAME = "HDA640_20240001"


@pytest.fixture
def users(tmp_path):
    path = tmp_path / "users"
    add_user(path, "ana", "secret")
    return read_users(path)


@pytest.mark.parametrize(
    "line", ["ana", "ana:", "ana:md5$1$2$3$aa$bb", "ana:scrypt$x$8$1$aa$bb", ":scrypt$16384$8$1$aa$bb", "ana:scrypt$1$2"]
)
def test_a_line_that_is_not_a_user_is_refused_with_its_number(tmp_path, line):
    path = tmp_path / "users"
    path.write_text(f"# users\n\n{line}\n")
    with pytest.raises(UserFileError, match="line 3"):
        read_users(path)


@pytest.mark.parametrize(
    ("name", "password", "role"), [(None, None, UserRole.Anonymous), ("ana", "secret", UserRole.User)]
)
def test_users_authenticate_with_their_password_only(name, password, role):
    manager = Users({"ana": hash_password("secret")})
    user = manager.get_user(None, username=name, password=password)
    assert (user.role, user.name) == (role, name)
    assert manager.get_user(None, username="ana", password="wrong") is None
    assert manager.get_user(None, username="bo", password="secret") is None


@pytest.mark.parametrize(
    ("host", "loopback"),
    [("127.0.0.1", True), ("127.0.0.2", True), ("::1", True), ("localhost", True), ("0.0.0.0", False),
     ("192.168.1.5", False), ("plant-pc", False)],
)
def test_loopback_addresses(host, loopback):
    assert is_loopback(host) is loopback


def test_methods_are_refused_to_anonymous_and_to_a_wrong_password(serving, users, tmp_path):
    server, _ = serving(users=users, record_dir=tmp_path)

    async def client():
        async with Client(server.endpoint) as client:
            index, node = await instrument_node(client, NAME)
            assert await (await node.get_child(f"{index}:Model")).read_value() == "HDA640"
            for method in ("StartRecording", "StopRecording"):
                arguments = [ua.Variant("run.h5", ua.VariantType.String)] if method == "StartRecording" else []
                with pytest.raises(BadUserAccessDenied):
                    await node.call_method(f"{index}:{method}", *arguments)
        refused = Client(server.endpoint)
        refused.set_user("ana")
        refused.set_password("wrong")
        with pytest.raises(ua.UaError):
            async with refused:
                pass

    run(client())
    assert not list(tmp_path.glob("*.h5"))


def test_a_user_records_inside_the_record_folder_only(serving, users, tmp_path):
    server, [simulator] = serving(users=users, record_dir=tmp_path)

    async def client():
        client = Client(server.endpoint)
        client.set_user("ana")
        client.set_password("secret")
        async with client:
            index, node = await instrument_node(client, NAME)
            start, stop = f"{index}:StartRecording", f"{index}:StopRecording"
            with pytest.raises(BadInvalidState):
                await node.call_method(stop)
            for outside in ("../escape.h5", str(tmp_path.parent / "escape.h5"), "", "."):
                with pytest.raises(BadInvalidArgument):
                    await node.call_method(start, ua.Variant(outside, ua.VariantType.String))
            with pytest.raises(BadInvalidArgument):  # not text at all: refused, and the server goes on
                await node.call_method(start, ua.Variant(7, ua.VariantType.Int32))

            path = await node.call_method(start, ua.Variant("run.h5", ua.VariantType.String))
            assert path == str(tmp_path / "run.h5")
            with pytest.raises(BadInvalidState):  # one recording at a time
                await node.call_method(start, ua.Variant("other.h5", ua.VariantType.String))
            received = await node.get_child(f"{index}:Received")
            first = await received.read_value()

            async def more_arrived():
                return await received.read_value() > first + 200

            # Two seconds of samples arrived; those the server had not read yet are not in the file.
            await wait_until(more_arrived, "two seconds of samples")
            return await node.call_method(stop)

    written = run(client())
    recording = load(tmp_path / "run.h5").instruments[NAME]
    assert written == len(recording.counts) >= 100
    # What the simulator sent, in order; a stretch the line lost on a loaded machine is a gap of the file.
    remaining = iter(simulator.streamed_counts)
    assert all(any(count == sent for sent in remaining) for count in recording.counts.tolist())
    assert sum(gap.missing for gap in recording.gaps) + written <= len(simulator.streamed_counts)
    assert not (tmp_path.parent / "escape.h5").exists()


@pytest.mark.parametrize("mode", ["Sign", "SignAndEncrypt"])
def test_basic256sha256_with_certificates(serving, tmp_path, mode):
    certificate, key = make_certificate(tmp_path / "server")
    client_certificate, client_key = make_certificate(tmp_path / "client")
    server, _ = serving(certificate=certificate, private_key=key)

    async def client():
        client = Client(server.endpoint)
        await client.set_security_string(f"Basic256Sha256,{mode},{client_certificate},{client_key}")
        async with client:
            policies = {
                (endpoint.SecurityPolicyUri.rpartition("#")[2], endpoint.SecurityMode.name)
                for endpoint in await client.get_endpoints()
            }
            assert {("Basic256Sha256", "Sign"), ("Basic256Sha256", "SignAndEncrypt")} <= policies
            index, node = await instrument_node(client, NAME)
            assert await (await node.get_child(f"{index}:SerialNumber")).read_value() == 20240001

    run(client())
