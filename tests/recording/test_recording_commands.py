"""velmo record, show, export and simulate --replay; reading recordings back."""

import csv
import subprocess
import sys

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("click")

import velmo  # noqa: E402
from click.testing import CliRunner  # noqa: E402

from support.instruments import instruments  # noqa: E402, F401  (a fixture)
from support.waiting import wait_for  # noqa: E402
from velmo.cli import main  # noqa: E402
from velmo.cli.recording import DURATION, SIZE  # noqa: E402
from velmo.recording import Recorder, load  # noqa: E402
from velmo.recording.recorder import RUN_ENDED  # noqa: E402
from velmo.simulator import protocol  # noqa: E402
from velmo.simulator.replay import ReplayedInstrument, replay  # noqa: E402


def run(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Two simulated instruments recorded through velmo record, with metadata of the user's."""
    path = tmp_path_factory.mktemp("record") / "run.h5"
    result = run("record", path, "--simulate", "--simulate", "RPX310", "--signal", "constant:100", "--rate", "100",
                 "--seconds", 1, "--meta", "operator=ana", "--meta", "bench=B 2=left")
    assert result.exit_code == 0, result.output
    return path, result


def test_record_writes_every_named_instrument_and_the_users_metadata(recorded):
    path, result = recorded
    recording = load(path)
    assert recording.closed and (recording.metadata["operator"], recording.metadata["bench"]) == ("ana", "B 2=left")
    assert list(recording.instruments) == ["HDA640_20240001", "RPX310_20240002"]
    for instrument in recording.instruments.values():
        assert instrument.metadata["sampling_rate"] == 100 and len(instrument.counts) > 20
        assert instrument.end_reason == RUN_ENDED
    # The progress on stderr, one row per instrument; nothing on stdout.
    assert result.stdout == ""
    assert "HDA640_20240001" in result.stderr and f"Wrote {path}" in result.stderr


def test_show_prints_metadata_and_a_summary_per_instrument(recorded, tmp_path):
    path, _ = recorded
    result = run("show", path, "--plot", tmp_path / "run.png")
    assert result.exit_code == 0, result.output
    rows = {line.split("│")[1].strip(): [cell.strip() for cell in line.split("│")[2:-1]]
            for line in result.stdout.splitlines() if line.count("│") >= 3}
    recording = load(path)
    hda = recording.instruments["HDA640_20240001"]
    assert rows["operator"] == ["ana"] and rows["State"] == ["closed"]
    assert rows["Samples"] == [str(len(instrument.counts)) for instrument in recording.instruments.values()]
    assert rows["Sampling rate"] == ["100 SPS", "100 SPS"] and rows["Gaps"] == ["none", "none"]
    assert rows["Load min / max / mean"][0] == "100.0000 / 100.0000 / 100.0000 N"
    assert rows["Duration"][0] == f"{len(hda.counts) / 100:.3f} s"
    assert "h5clear" not in result.stdout
    assert (tmp_path / "run.png").read_bytes().startswith(b"\x89PNG")


def test_export_writes_one_csv_per_instrument_with_exact_times(recorded, tmp_path):
    path, _ = recorded
    result = run("export", path, "--csv", tmp_path / "csv")
    assert result.exit_code == 0, result.output
    recording = load(path)
    for name, instrument in recording.instruments.items():
        with open(tmp_path / "csv" / f"{name}.csv", newline="") as stream:
            rows = list(csv.reader(stream))
        assert rows[0] == ["sample", f"time_s since {instrument.metadata['t0_iso']}", "count", "load (N)"]
        assert [int(row[2]) for row in rows[1:]] == instrument.counts.tolist()
        assert [row[1] for row in rows[1:4]] == ["0.000000000", "0.010000000", "0.020000000"]
        assert all(row[1] == f"{int(row[0]) / 100:.9f}" for row in rows[1:])


def test_show_reads_a_file_left_open_and_says_how_plain_tools_open_it(tmp_path):
    path = tmp_path / "open.h5"
    make_recording(path, counts=[5, 6, 7])
    with h5py.File(path, "a") as file:
        file["instruments/HDA640_1"].attrs.modify("end_reason", b"")
    result = run("show", path)
    assert result.exit_code == 0, result.output
    assert "not closed" in result.stdout and f"h5clear -s {path}" in " ".join(result.stdout.split())


def test_ctrl_c_ends_the_recording_cleanly_with_status_130(tmp_path, monkeypatch):
    waits = []

    def interrupted_wait(self, timeout=None):
        waits.append(timeout)
        if self.stats and next(iter(self.stats.values())).written > 5:
            raise KeyboardInterrupt
        return self._done.wait(timeout)

    monkeypatch.setattr(Recorder, "wait", interrupted_wait)
    result = run("record", tmp_path / "run.h5", "--simulate", "TMV520")
    assert result.exit_code == 130 and "Interrupted" in result.stderr
    [instrument] = load(tmp_path / "run.h5").instruments.values()
    assert instrument.end_reason == RUN_ENDED and len(instrument.counts) > 5


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("--meta", "operator"), "'operator' is not KEY=VALUE"),
        (("--split-size", "12 parsecs"), "'12 parsecs' is not a size such as"),
        (("--split-every", "0"), "'0' is not a duration such as"),
        (("--seconds", "0"), "--seconds"),
    ],
)
def test_bad_options_are_refused_before_anything_starts(tmp_path, arguments, message):
    result = run("record", tmp_path / "run.h5", "--simulate", *arguments)
    assert result.exit_code == 2 and message in result.stderr
    assert not (tmp_path / "run.h5").exists()


@pytest.mark.parametrize("existing", ["run.h5", "nowhere/run.h5"])
def test_an_output_that_cannot_be_a_new_file_is_refused(tmp_path, existing):
    (tmp_path / "run.h5").write_bytes(b"precious")
    result = run("record", tmp_path / existing, "--simulate", "--seconds", 1)
    assert result.exit_code == 2 and "OUT.h5" in result.stderr
    assert (tmp_path / "run.h5").read_bytes() == b"precious"


@pytest.mark.parametrize("command", ["record", "show", "export", "simulate"])
def test_without_h5py_the_commands_say_what_to_install(recorded, monkeypatch, command):
    import importlib.util

    find_spec = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *rest: None if name == "h5py" else find_spec(name, *rest))
    path, _ = recorded
    arguments = {"record": ("new.h5",), "show": (path,), "export": (path, "--csv", "csv"), "simulate": ("--replay", path)}
    result = run(command, *arguments[command])
    assert result.exit_code == 2 and "pip install 'velmo-device-communication[record]'" in result.stderr


@pytest.mark.parametrize(
    "convert, text, value",
    [(DURATION, "90", 90), (DURATION, "1.5h", 5400), (DURATION, "15m", 900), (DURATION, " 2 D ", 172800),
     (SIZE, "500MB", 500e6), (SIZE, "2GiB", 2 * 2**30), (SIZE, "64k", 64000), (SIZE, "1000000", 1e6)],
)
def test_durations_and_sizes_read_with_their_units(convert, text, value):
    assert convert(None, None, text) == value


def make_recording(path, counts, gaps=(), first_sample=0):
    """A closed recording of an HDA640 at 1200 SPS holding ``counts`` and ``gaps``."""
    from velmo.recording.layout import (
        BLOCK_DTYPE, GAP_DTYPE, Calibration, InstrumentInfo, add_instrument, create_file,
    )

    calibration = Calibration(0, 2, (0.0, 1000.0, 0.0, 1000.0), (0, 1000, 0, 2000), "instrument")
    info = InstrumentInfo("HDA640", "X", 1, "04.03.02", "N", 0, "/dev/null", 2_000_000, 9, calibration, None)
    with create_file(str(path), {}, 1, overwrite=False) as file:
        writer = add_instrument(file, "HDA640_1", info, 1200.0, 1e9, first_sample)
        counts = np.array(counts, dtype=np.uint32)
        writer.append(counts * 0.5, counts, np.zeros(0, dtype=BLOCK_DTYPE), np.array(list(gaps), dtype=GAP_DTYPE))
        writer.end("ended", 1e9 + 1)


def test_times_count_every_missing_sample(tmp_path):
    make_recording(tmp_path / "gaps.h5", range(6), gaps=[(2, 3, 1), (2, 1, 0), (5, 10, 1)], first_sample=100)
    instrument = load(tmp_path / "gaps.h5").instruments["HDA640_1"]
    assert [(gap.index, gap.missing, gap.reason) for gap in instrument.gaps] == [(2, 3, "lost"), (2, 1, "dropped"), (5, 10, "lost")]
    assert instrument.sample_numbers().tolist() == [100, 101, 106, 107, 108, 119]
    assert np.array_equal(instrument.times(), instrument.sample_numbers() / 1200)
    assert instrument.missing == 14 and instrument.duration == pytest.approx(20 / 1200)


def test_a_reader_between_two_appends_gets_the_samples_both_hold(tmp_path):
    make_recording(tmp_path / "torn.h5", counts=range(10), gaps=[(9, 2, 1)])
    with h5py.File(tmp_path / "torn.h5", "a") as file:
        file["instruments/HDA640_1/count"].resize((8,))
    instrument = load(tmp_path / "torn.h5").instruments["HDA640_1"]
    assert len(instrument.loads) == len(instrument.counts) == 8 and not instrument.gaps


def test_to_pandas_indexes_by_instrument_and_time(tmp_path):
    pandas = pytest.importorskip("pandas")
    make_recording(tmp_path / "p.h5", counts=[4, 5, 6], gaps=[(1, 1, 0)])
    frame = load(tmp_path / "p.h5").to_pandas()
    assert list(frame.index.names) == ["instrument", "time_s"]
    assert frame.loc["HDA640_1"]["count"].tolist() == [4, 5, 6]
    assert frame.loc["HDA640_1"].index.tolist() == pytest.approx([0, 2 / 1200, 3 / 1200])
    assert isinstance(frame, pandas.DataFrame)


def test_to_pandas_without_pandas_says_what_to_install(tmp_path, monkeypatch):
    make_recording(tmp_path / "p.h5", counts=[1])
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="to_pandas\\(\\) needs pandas"):
        load(tmp_path / "p.h5").to_pandas()


@pytest.mark.parametrize(
    "content, error", [(None, FileNotFoundError), (b"not hdf5", OSError), ("empty hdf5", ValueError)]
)
def test_what_is_not_a_recording_is_refused(tmp_path, content, error):
    path = tmp_path / "x.h5"
    if content == "empty hdf5":
        h5py.File(path, "w").close()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error):
        load(path)


def test_replayed_instrument_streams_the_counts_and_leaves_the_missing_ones_silent():
    clock = [100.0]
    instrument = ReplayedInstrument([0x100, 0x200, 0x300], {1: 2}, model="RPX310", clock=lambda: clock[0])
    instrument.handle_frame(protocol.build_frame(0, 12, b"\x01"))  # stream on
    period = 1 / instrument.stream_rate
    clock[0] += 9.5 * period  # nine sampling times; two stay silent before each 0x200
    assert [packet.count for packet in instrument.stream_packets_due()] == [0x100, 0x200, 0x300, 0x100, 0x200]
    assert instrument.live_count(0) == 0x200


def test_a_replayed_recording_records_the_same_samples(instruments, tmp_path):
    [(simulator, device)] = instruments("ORVALE")
    original = tmp_path / "field.h5"
    with Recorder(original, [device], rate="SPS_4800") as recorder:
        wait_for(lambda: recorder.stats["HDA640_20240001"].written > 3000, "samples")
    [field] = load(original).instruments.values()

    [replayed] = replay(original)
    with replayed, velmo.open_device(replayed.port, models=["HDA640"]) as again:
        assert replayed.instrument.item_number == field.metadata["item_number"]
        with Recorder(tmp_path / "replayed.h5", [again]) as recorder:
            wait_for(lambda: recorder.stats["HDA640_20240001"].written > 1000, "replayed samples")
    [copy] = load(tmp_path / "replayed.h5").instruments.values()
    assert copy.metadata["sampling_rate"] == 4800 and copy.metadata["serial_number"] == field.metadata["serial_number"]
    assert np.array_equal(copy.counts, field.counts[: len(copy.counts)])
    assert np.array_equal(copy.loads, field.loads[: len(copy.loads)])


def test_velmo_simulate_replay_serves_the_recording(recorded):
    path, _ = recorded
    child = subprocess.Popen([sys.executable, "-m", "velmo", "simulate", "--replay", str(path), "--seconds", "30"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ports = [child.stdout.readline().strip() for _ in range(2)]
        result = run("read", "--port", ports[1], "--model", "RPX310", "--count", 1)
        assert result.exit_code == 0, result.output
        assert result.stdout.split()[-2:] == ["100.0000", "N"]
    finally:
        child.terminate()
        child.wait()


def test_record_shows_the_live_view_of_each_instrument_beside_the_recording(recorded):
    _path, result = recorded
    rows = [line for line in result.stderr.splitlines() if line.count("│") >= 6]
    loads = {line.split("│")[1].strip().split()[0]: line.split("│")[2].strip() for line in rows if " on " in line}
    # The view's own tap saw the samples the recorder's tap wrote: a steady 100 N on both.
    assert loads == {"HDA640": "100.0000 N", "RPX310": "100.0000 N"}
    assert "Min / max / mean" in result.stderr and "Rate (SPS)" in result.stderr
