"""velmo record, show, export and simulate --replay; reading recordings back."""

import csv
import datetime
import json
import re
import subprocess
import sys
import textwrap

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
from velmo.recording import NotARecordingError, Recorder, UnreadableRecordingError, load  # noqa: E402
from velmo.recording import reader  # noqa: E402
from velmo.recording.recorder import INTERRUPTED, RUN_ENDED  # noqa: E402
from velmo.simulator import protocol  # noqa: E402
from velmo.simulator.replay import ReplayedInstrument, replay  # noqa: E402


def run(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Two simulated instruments recorded through velmo record, with metadata of the user's."""
    path = tmp_path_factory.mktemp("record") / "run.h5"
    result = run("record", path, "--simulate-model", "HDA640", "--simulate-model", "RPX310", "--signal", "constant:100",
                 "--rate", "100", "--seconds", 1, "--meta", "operator=ana", "--meta", "bench=B 2=left")
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
    refused = run("export", path, "--csv", tmp_path / "csv")
    assert refused.exit_code == 2 and "give --mkdir" in refused.stderr and not (tmp_path / "csv").exists()
    result = run("export", path, "--csv", tmp_path / "csv", "--mkdir")
    assert result.exit_code == 0, result.output
    recording = load(path)
    for name, instrument in recording.instruments.items():
        preamble, rows = read_csv(tmp_path / "csv" / f"{name}.csv")
        assert f"({instrument.t0:.6f} s since the epoch)" in preamble[1]
        assert [int(row[1]) for row in rows] == instrument.counts.tolist()
        assert [row[0] for row in rows] == [f"{number / 100:.9f}" for number in instrument.sample_numbers()]


def read_csv(path):
    """The comment lines before the header, and the rows after it; checks the header."""
    with open(path, newline="") as stream:
        lines = stream.read().splitlines()
    preamble = [line for line in lines if line.startswith("#")]
    assert lines[len(preamble)] == "time (s),count,load (N)"
    return preamble, list(csv.reader(lines[len(preamble) + 1 :]))


@pytest.mark.parametrize("command", ["stream", "export"])
def test_stream_and_export_write_one_csv_shape(recorded, tmp_path, command):
    path, _ = recorded
    if command == "export":
        result = run("export", path, "--csv", tmp_path)
        written = tmp_path / "HDA640_20240001.csv"
    else:
        written = tmp_path / "capture.csv"
        result = run("stream", "--simulate", "--signal", "constant:100", "--rate", 100, "--seconds", 0.5, "--csv", written)
    assert result.exit_code == 0, result.output
    preamble, rows = read_csv(written)
    assert re.fullmatch(r"# HDA640 20240001 on \S+, channel 0, 100 SPS", preamble[0])
    started = re.fullmatch(r"# time \(s\) counts from the start of streaming at (\S+) \(([\d.]+) s since the epoch\)",
                           preamble[1])
    assert started and len(preamble) == 2
    assert datetime.datetime.fromisoformat(started[1]).timestamp() == pytest.approx(float(started[2]), abs=1e-6)
    assert rows[0] == ["0.000000000", rows[0][1], "100.0"] and rows[1][0] == "0.010000000"


LEAVE_OPEN = textwrap.dedent(
    """
    import os, sys, h5py
    file = h5py.File(sys.argv[1], "a", libver=("v110", "v110"))
    file.swmr_mode = True
    file.flush()
    os._exit(0)  # as a recorder that dies: HDF5's writer mark stays in the file
    """
)


@pytest.mark.parametrize("marked_open", [True, False], ids=["writer-mark", "no-mark"])
def test_show_says_how_plain_tools_open_a_file_left_open(tmp_path, marked_open):
    path = tmp_path / "open.h5"
    make_recording(path, counts=[5, 6, 7])
    with h5py.File(path, "a") as file:
        file["instruments/HDA640_1"].attrs.modify("end_reason", b"")
    if marked_open:
        subprocess.run([sys.executable, "-c", LEAVE_OPEN, str(path)], check=True, timeout=60)
    result = run("show", path)
    assert result.exit_code == 0, result.output
    text = " ".join(result.stdout.split())
    assert "not closed" in text and load(path).instruments["HDA640_1"].counts.tolist() == [5, 6, 7]
    # h5clear is advised exactly where a plain open refuses the file.
    try:
        h5py.File(path, "r").close()
    except OSError:
        plain_opens = False
    else:
        plain_opens = True
    assert plain_opens != marked_open
    assert (f"h5clear -s {path}" in text) == marked_open
    assert ("plain HDF5 tools open it as it is" in text) == plain_opens


def test_ctrl_c_ends_the_recording_cleanly_with_status_130(tmp_path, monkeypatch):
    waits = []

    def interrupted_wait(self, timeout=None):
        waits.append(timeout)
        if self.stats and next(iter(self.stats.values())).written > 5:
            raise KeyboardInterrupt
        return self._done.wait(timeout)

    monkeypatch.setattr(Recorder, "wait", interrupted_wait)
    result = run("record", tmp_path / "run.h5", "--simulate-model", "TMV520")
    assert result.exit_code == 130 and "Interrupted" in result.stderr
    [instrument] = load(tmp_path / "run.h5").instruments.values()
    assert instrument.end_reason == INTERRUPTED and len(instrument.counts) > 5
    assert INTERRUPTED in run("show", tmp_path / "run.h5").stdout


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
    arguments = {"record": ("new.h5",), "show": (path,), "export": (path, "--csv", "."), "simulate": ("--replay", path)}
    result = run(command, *arguments[command])
    assert result.exit_code == 2 and "pip install 'velmo-device-communication[record]'" in result.stderr


@pytest.mark.parametrize(
    "convert, text, value",
    [(DURATION, "90", 90), (DURATION, "1.5h", 5400), (DURATION, "15m", 900), (DURATION, " 2 D ", 172800),
     (SIZE, "500MB", 500e6), (SIZE, "2GiB", 2 * 2**30), (SIZE, "64k", 64000), (SIZE, "1000000", 1e6)],
)
def test_durations_and_sizes_read_with_their_units(convert, text, value):
    assert convert(None, None, text) == value


def make_recording(path, counts, gaps=(), first_sample=0, appends=1):
    """A closed recording of an HDA640 at 1200 SPS holding ``counts`` and ``gaps``, written in ``appends`` steps."""
    from velmo.recording.layout import (
        BLOCK_DTYPE, GAP_DTYPE, Calibration, InstrumentInfo, add_instrument, create_file,
    )

    calibration = Calibration(0, 2, (0.0, 1000.0, 0.0, 1000.0), (0, 1000, 0, 2000), "instrument")
    info = InstrumentInfo("HDA640", "X", 1, "04.03.02", "N", 0, "/dev/null", 2_000_000, 9, calibration, None)
    with create_file(str(path), {}, 1, overwrite=False) as file:
        writer = add_instrument(file, "HDA640_1", info, 1200.0, 1e9, first_sample)
        file.swmr_mode = True  # as the recorder writes: the layout first, then the samples
        counts = np.array(counts, dtype=np.uint32)
        for number, part in enumerate(np.array_split(counts, appends)):
            rows = np.array(list(gaps) if number == 0 else [], dtype=GAP_DTYPE)
            writer.append(part * 0.5, part, np.zeros(0, dtype=BLOCK_DTYPE), rows)
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
    "content, error, message",
    [
        (b"time (s),count\n", UnreadableRecordingError, "x.h5 is not an HDF5 file, so not a velmo recording"),
        (b"", UnreadableRecordingError, "x.h5 is not an HDF5 file (it is empty), so not a velmo recording"),
        ("empty hdf5", NotARecordingError, "x.h5 is not a velmo recording: it has no /instruments group"),
    ],
)
def test_what_is_not_a_recording_is_refused_in_one_line(tmp_path, content, error, message):
    path = tmp_path / "x.h5"
    if content == "empty hdf5":
        h5py.File(path, "w").close()
    else:
        path.write_bytes(content)
    with pytest.raises(error, match=re.escape(message)):
        load(path)
    result = run("show", path)
    assert result.exit_code == 1 and result.stderr == f"Error: {path.parent / message}\n"
    with pytest.raises(FileNotFoundError):
        load(tmp_path / "missing.h5")


READ_CUT_IN_CHILD = textwrap.dedent(
    """
    import json, sys
    from velmo.recording import UnreadableRecordingError, load
    try:
        recording = load(sys.argv[1])
    except UnreadableRecordingError as error:
        print(json.dumps({"error": str(error)}))
    else:
        [instrument] = recording.instruments.values()
        print(json.dumps({"counts": instrument.counts.tolist(), "unwritten": instrument.unwritten,
                          "cut_short": recording.cut_short}))
    """
)


@pytest.mark.parametrize("keep", [0, 100, 5000, 0.5, 0.99])
def test_a_file_cut_short_is_never_read_as_whole_and_never_hangs(tmp_path, keep):
    whole = tmp_path / "whole.h5"
    make_recording(whole, counts=range(1, 20001), appends=20)
    data = whole.read_bytes()
    cut = tmp_path / "cut.h5"
    size = keep if isinstance(keep, int) else int(len(data) * keep)
    cut.write_bytes(data[:size])
    # In children with a time limit: HDF5 used to retry the metadata of such files forever.
    read = json.loads(subprocess.run([sys.executable, "-c", READ_CUT_IN_CHILD, str(cut)],
                                     capture_output=True, text=True, timeout=60, check=True).stdout)
    shown = subprocess.run([sys.executable, "-m", "velmo", "show", str(cut)],
                           capture_output=True, text=True, timeout=60)
    if "error" in read:
        assert re.match(rf"{re.escape(str(cut))} is (not an HDF5 file|cut short: it ends after {size} of the)",
                        read["error"])
        assert shown.returncode == 1 and shown.stderr == f"Error: {read['error']}\n"
    else:
        assert read["cut_short"] and read["counts"] == list(range(1, len(read["counts"]) + 1))
        assert len(read["counts"]) + read["unwritten"] == 20000
        assert shown.returncode == 0 and "cut short" in shown.stdout
        assert f"{len(read['counts'])} ({read['unwritten']} more counted" in shown.stdout or not read["unwritten"]


@pytest.mark.parametrize("busy_opens", [2, 1000])
def test_load_waits_a_moment_for_a_writers_lock(tmp_path, monkeypatch, busy_opens):
    make_recording(tmp_path / "new.h5", counts=[1, 2])
    opened, open_file = [], h5py.h5f.open

    def locked_open(*arguments, **options):
        opened.append(1)
        if len(opened) <= busy_opens:
            raise BlockingIOError(11, "Unable to synchronously open file (unable to lock file)")
        return open_file(*arguments, **options)

    monkeypatch.setattr(h5py.h5f, "open", locked_open)
    monkeypatch.setattr(reader.time, "sleep", lambda seconds: None)
    if busy_opens < 10:
        assert load(tmp_path / "new.h5").instruments["HDA640_1"].counts.tolist() == [1, 2]
    else:
        with pytest.raises(UnreadableRecordingError, match="is locked by a program that is writing it"):
            load(tmp_path / "new.h5")


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
