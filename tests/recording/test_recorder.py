"""velmo.recording over ptys: the file, reading it while it grows, crashes, splits, lost
instruments, files that cannot be written."""

import datetime
import errno
import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")

from support.instruments import instruments  # noqa: E402, F401  (a fixture)
from support.waiting import wait_for  # noqa: E402
from click.testing import CliRunner  # noqa: E402
from velmo.cli import main  # noqa: E402
from velmo.recording import Recorder, RecordingError, load  # noqa: E402
from velmo.recording import recorder as recorder_module  # noqa: E402
from velmo.recording.layout import InstrumentWriter  # noqa: E402
from velmo.recording.recorder import FILE_REMOVED, RUN_ENDED  # noqa: E402
from velmo.simulator import TEDSSensor  # noqa: E402


def written(recorder, at_least):
    return lambda: all(stats.written >= at_least for stats in recorder.stats.values())


def assert_prefix_of_sent(counts, simulator):
    sent = simulator.streamed_counts
    assert len(counts) and list(counts) == sent[: len(counts)]


def test_layout_metadata_and_every_sample(instruments, tmp_path):
    (orvale, orvale_device), (rpx, rpx_device) = instruments("ORVALE", "RPX310")
    path = tmp_path / "run.h5"
    with Recorder(path, [orvale_device, rpx_device], rate="SPS_100", metadata={"bench": "B2", "run": 7}) as recorder:
        wait_for(written(recorder, 60), "samples of both instruments")
    stats = recorder.stats

    # Closed cleanly: a plain HDF5 open (no SWMR) works.
    with h5py.File(path, "r") as file:
        assert file.attrs["bench"] == "B2" and file.attrs["run"] == 7 and file.attrs["part"] == 1
        assert {"velmo_version", "module_version", "host", "created"} <= set(file.attrs)
        assert list(file["instruments"]) == ["HDA640_20240001", "RPX310_20240002"]
        group = file["instruments/HDA640_20240001"]
        for name, dtype in (("load", "<f8"), ("count", "<u4")):
            dataset = group[name]
            assert dataset.dtype == np.dtype(dtype) and dataset.maxshape == (None,) and dataset.chunks
            assert dataset.compression is None
        assert list(group["blocks"].dtype.names) == ["index", "steady_time", "wall_time"]
        assert list(group["gaps"].dtype.names) == ["index", "missing", "reason"]
        assert h5py.check_enum_dtype(group["gaps"].dtype["reason"]) == {"dropped": 0, "lost": 1}

    recording = load(path)
    assert recording.closed and recording.metadata["bench"] == "B2"
    for simulator, name in ((orvale, "HDA640_20240001"), (rpx, "RPX310_20240002")):
        instrument = recording.instruments[name]
        metadata = instrument.metadata
        model = simulator.instrument
        assert (metadata["model"], metadata["item_number"], metadata["serial_number"]) == (
            model.model, model.item_number, model.instrument_serial
        )
        assert metadata["firmware"] == "04.03.02" and metadata["unit"] == "N" and metadata["channel"] == 0
        assert metadata["port"] == simulator.port and metadata["baud_rate"] == simulator.baud_rate
        assert metadata["sampling_rate"] == 100 and metadata["interval"] == 0.01
        t0 = datetime.datetime.fromisoformat(metadata["t0_iso"]).timestamp()
        assert t0 == pytest.approx(metadata["t0"], abs=1e-6)
        profile = model.profile_of_channel(0)
        assert list(metadata["calibration_loads"]) == [point.load for point in profile.points]
        assert list(metadata["calibration_counts"]) == [point.count for point in profile.points]
        assert metadata["calibration_directions"] == 2 and metadata["calibration_source"] == "instrument"
        assert instrument.end_reason == RUN_ENDED and stats[name].ended == RUN_ENDED

        # Every sample received, in order, with its calibrated load and exact time.
        assert_prefix_of_sent(instrument.counts, simulator)
        assert stats[name].written == len(instrument.counts) == stats[name].received
        assert list(instrument.loads) == [model.expected_load(count) for count in instrument.counts]
        assert not instrument.gaps and instrument.duration == pytest.approx(len(instrument.counts) / 100)
        assert np.array_equal(instrument.times(), np.arange(len(instrument.counts)) / 100)

        # One row per read: positions rise from 0; both clocks tell the same arrivals.
        blocks = instrument.blocks
        assert blocks["index"][0] == 0 and np.all(np.diff(blocks["index"].astype(np.int64)) > 0)
        assert np.all(np.diff(blocks["steady_time"]) >= 0)
        offsets = blocks["wall_time"] - blocks["steady_time"]
        assert np.ptp(offsets) < 1e-6
    assert not orvale.instrument.streaming and not rpx.instrument.streaming


def test_teds_record_and_its_calibration_are_kept(instruments, tmp_path):
    sensor = TEDSSensor(serial_number=4711, max_capacity=500.0)
    [(simulator, device)] = instruments("ORVALE", sensor=sensor, auto_teds_v1=True)
    device.initialize_teds()
    with Recorder(tmp_path / "teds.h5", [device]) as recorder:
        wait_for(written(recorder, 1), "a sample")
    metadata = load(tmp_path / "teds.h5").instruments["HDA640_20240001"].metadata
    assert metadata["calibration_source"] == "TEDS record"
    assert metadata["teds_serial_number"] == "4711" and metadata["teds_max_capacity"] == 500.0
    assert bytes(metadata["teds_raw"]) == simulator.instrument.teds_image


RECORD_IN_CHILD = textwrap.dedent(
    """
    import sys, time, velmo
    from velmo.recording import Recorder
    port, model, path = sys.argv[1:]
    device = velmo.open_device(port, models=[model])
    with Recorder(path, [device], rate="SPS_1200") as recorder:
        flushed = 0
        while True:
            time.sleep(0.01)
            if recorder.stats[next(iter(recorder.stats))].written != flushed:
                flushed = recorder.stats[next(iter(recorder.stats))].written
                print(flushed, flush=True)
    """
)

READ_IN_CHILD = textwrap.dedent(
    """
    import json, sys
    from velmo.recording import load
    recording = load(sys.argv[1])
    [instrument] = recording.instruments.values()
    print(json.dumps({"counts": instrument.counts.tolist(), "closed": recording.closed}))
    """
)


def read_in_child(path):
    result = subprocess.run([sys.executable, "-c", READ_IN_CHILD, str(path)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_kill_9_keeps_every_flushed_sample_and_the_file_is_read_while_written(instruments, tmp_path):
    [(simulator, device)] = instruments("HDA640")
    device.disconnect()  # the recorder in the child opens it
    path = tmp_path / "crash.h5"
    child = subprocess.Popen(
        [sys.executable, "-c", RECORD_IN_CHILD, simulator.port, "HDA640", str(path)], stdout=subprocess.PIPE, text=True
    )
    try:
        flushed = [int(next(child.stdout))]
        # Another process reads the file while it grows: what was flushed, no more.
        live = read_in_child(path)
        assert not live["closed"] and len(live["counts"]) >= flushed[0]
        assert_prefix_of_sent(live["counts"], simulator)
        while flushed[-1] < len(live["counts"]) + 600:
            flushed.append(int(next(child.stdout)))
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    recording = load(path)
    [instrument] = recording.instruments.values()
    assert not recording.closed and instrument.end_reason is None
    assert len(instrument.counts) >= flushed[-1]
    assert_prefix_of_sent(instrument.counts, simulator)
    shown = subprocess.run([sys.executable, "-m", "velmo", "show", str(path)], capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0 and f"h5clear -s {path}" in " ".join(shown.stdout.split())


@pytest.mark.parametrize("split", [{"split_every": 0.5}, {"split_size": 64 * 1024}], ids=["every", "size"])
def test_split_loses_and_repeats_no_sample_across_the_boundary(instruments, tmp_path, split):
    [(simulator, device)] = instruments("ORVALE")
    with Recorder(tmp_path / "run.h5", [device], rate="SPS_38400", **split) as recorder:
        wait_for(lambda: len(recorder.paths) >= 3, "three parts")
    assert recorder.paths[:3] == [str(tmp_path / f"run-000{part}.h5") for part in (1, 2, 3)]
    parts = [load(path) for path in recorder.paths]
    instruments_by_part = [part.instruments["HDA640_20240001"] for part in parts]
    counts = np.concatenate([instrument.counts for instrument in instruments_by_part])
    assert_prefix_of_sent(counts, simulator)
    assert len(counts) == recorder.stats["HDA640_20240001"].written
    first = 0
    for number, (part, instrument) in enumerate(zip(parts, instruments_by_part), start=1):
        assert part.closed and part.metadata["part"] == number
        assert instrument.metadata["first_sample"] == first and instrument.sample_numbers()[0] == first
        first += len(instrument.counts)
        following = f"continued in run-{number + 1:04d}.h5"
        assert instrument.end_reason == (RUN_ENDED if number == len(parts) else following)


def test_lost_instrument_ends_its_datasets_while_the_others_go_on(instruments, tmp_path):
    (kept, kept_device), (unplugged, unplugged_device) = instruments("HDA640", "RPX310")
    with Recorder(tmp_path / "run.h5", [kept_device, unplugged_device], rate="SPS_100") as recorder:
        wait_for(written(recorder, 20), "samples of both instruments")
        unplugged.unplug()
        wait_for(lambda: recorder.stats["RPX310_20240002"].ended is not None, "the lost instrument to end")
        before = recorder.stats["HDA640_20240001"].written
        wait_for(lambda: recorder.stats["HDA640_20240001"].written > before + 20, "the other to go on")
        assert not recorder.wait(0)
        kept.unplug()
        assert recorder.wait(timeout=30)  # every instrument lost: the recording has ended
    recording = load(tmp_path / "run.h5")
    assert recording.closed
    lost, other = recording.instruments["RPX310_20240002"], recording.instruments["HDA640_20240001"]
    assert lost.end_reason.startswith("Lost the instrument on") and other.end_reason.startswith("Lost the instrument")
    assert len(lost.counts) >= 20 and len(other.counts) > len(lost.counts) + 20
    assert_prefix_of_sent(lost.counts, unplugged)
    assert_prefix_of_sent(other.counts, kept)


def test_write_made_to_fail_stops_the_run_with_one_error(instruments, tmp_path, monkeypatch):
    [(simulator, device)] = instruments("HDA640")
    appends = []
    original = InstrumentWriter.append

    def failing_append(self, *rows):
        appends.append(len(rows[0]))
        if len(appends) > 3:
            raise OSError(errno.ENOSPC, "No space left on device")
        original(self, *rows)

    monkeypatch.setattr(InstrumentWriter, "append", failing_append)
    pattern = r"^Could not write .*run\.h5: No space left on device\. The recording stopped; it holds the (\d+) samples"
    with pytest.raises(RecordingError, match=pattern) as raised:
        with Recorder(tmp_path / "run.h5", [device], rate="SPS_1200") as recorder:
            recorder.wait(timeout=30)
    assert not simulator.instrument.streaming
    [instrument] = load(tmp_path / "run.h5").instruments.values()
    assert 0 < len(instrument.counts) <= sum(appends[:3])
    assert_prefix_of_sent(instrument.counts, simulator)
    # The error, the stats and the file agree on what the file holds.
    [stats] = recorder.stats.values()
    assert int(re.match(pattern, str(raised.value))[1]) == stats.written == len(instrument.counts)
    assert stats.ended == "stopped: could not write the file (No space left on device)"


FILL_UP_IN_CHILD = textwrap.dedent(
    """
    import resource, signal, sys
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
    from velmo.cli import main
    main(["record", sys.argv[1], "--simulate", "--rate", "19200", "--seconds", "60"])
    """
)


@pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="file size limits are POSIX")
def test_a_file_system_that_refuses_writes_stops_velmo_record(tmp_path):
    path = tmp_path / "run.h5"
    result = subprocess.run(
        [sys.executable, "-c", FILL_UP_IN_CHILD, str(path)],
        capture_output=True, text=True, timeout=120,
    )
    errors = [line for line in result.stderr.splitlines() if line.startswith("Error:")]
    assert result.returncode == 1 and len(errors) == 1, result.stderr
    held = re.fullmatch(rf"Error: Could not write {re.escape(str(path))}: File too large\. The recording stopped; "
                        r"it holds the (\d+) samples written before", errors[0])
    assert held, errors[0]
    [instrument] = load(path).instruments.values()
    assert len(instrument.counts) == int(held[1]) > 0 and instrument.end_reason is None
    [last_row] = [line for line in result.stderr.splitlines() if line.startswith("│ HDA640")][-1:]
    assert "│ recording" not in last_row and "stopped: could not write the file (File too large)" in last_row
    # velmo show advises h5clear only where a plain open refuses the file for its writer mark.
    shown = " ".join(subprocess.run([sys.executable, "-m", "velmo", "show", str(path)], capture_output=True,
                                    text=True, timeout=60).stdout.split())
    try:
        h5py.File(path, "r").close()
    except OSError as error:
        refused_for_mark = "already open for write" in str(error)
    else:
        refused_for_mark = False
    assert ("h5clear" in shown) == refused_for_mark


@pytest.mark.parametrize("replaced", [False, True], ids=["removed", "replaced"])
def test_file_removed_stops_the_run_and_its_samples_are_saved_again(instruments, tmp_path, replaced):
    [(simulator, device)] = instruments("HDA640")
    path = tmp_path / "run.h5"
    with pytest.raises(RecordingError, match="was removed while it was being written") as raised:
        with Recorder(path, [device], rate="SPS_1200") as recorder:
            wait_for(written(recorder, 100), "samples")
            os.remove(path)
            if replaced:
                path.write_bytes(b"someone else's file")
            recorder.wait(timeout=30)
    restored = tmp_path / ("run.recovered.h5" if replaced else "run.h5")
    assert str(raised.value).endswith(f"saved again as {restored}")
    assert not simulator.instrument.streaming
    recording = load(restored)
    [instrument] = recording.instruments.values()
    assert recording.closed and instrument.end_reason == FILE_REMOVED
    assert len(instrument.counts) >= 100
    assert_prefix_of_sent(instrument.counts, simulator)


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"devices": []}, "at least one device"),
        ({"devices": [print, print]}, "a device is given twice"),
        ({"split_every": 0}, "split_every must be a positive number"),
        ({"split_size": 1000}, "split_size must be at least"),
        ({"metadata": {"host": "x"}}, "'host' is an attribute velmo writes itself"),
        ({"metadata": {"": "x"}}, "metadata keys must be non-empty strings"),
    ],
)
def test_bad_settings_are_refused_before_anything_starts(tmp_path, arguments, error):
    settings = {"devices": [object()], **arguments}
    with pytest.raises(ValueError, match=error):
        Recorder(tmp_path / "run.h5", **settings)
    assert not (tmp_path / "run.h5").exists()


def test_an_existing_file_is_kept(instruments, tmp_path):
    [(simulator, device)] = instruments("HDA640")
    path = tmp_path / "run.h5"
    path.write_bytes(b"precious")
    with pytest.raises(FileExistsError):
        Recorder(path, [device]).start()
    assert path.read_bytes() == b"precious" and not simulator.instrument.streaming


def run_cli(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


@pytest.mark.parametrize("second", ["Recorder", "velmo record"])
def test_a_file_being_recorded_is_never_replaced_by_another_recorder(instruments, tmp_path, second):
    (first_simulator, first_device), (_, other_device) = instruments("HDA640", "RPX310")
    path = tmp_path / "busy.h5"
    with Recorder(path, [first_device], rate="SPS_1200") as recorder:
        wait_for(written(recorder, 100), "samples")
        if second == "Recorder":
            with pytest.raises(RecordingError, match="busy.h5 is being written by another program"):
                Recorder(path, [other_device], overwrite=True).start()
        else:
            result = run_cli("record", path, "--simulate", "--overwrite", "--seconds", 1)
            assert result.exit_code == 1 and "busy.h5 is being written by another program" in result.stderr
        before = recorder.stats["HDA640_20240001"].written
        wait_for(written(recorder, before + 100), "the first recorder to go on")
    recording = load(path)
    assert list(recording.instruments) == ["HDA640_20240001"] and recording.closed
    assert_prefix_of_sent(recording.instruments["HDA640_20240001"].counts, first_simulator)


def test_a_part_of_an_earlier_run_is_found_before_anything_starts(instruments, tmp_path):
    [(simulator, device)] = instruments("HDA640")
    stale = tmp_path / "bench-0002.h5"
    stale.write_bytes(b"an earlier run")
    with pytest.raises(FileExistsError) as raised:
        Recorder(tmp_path / "bench.h5", [device], split_every=1).start()
    assert raised.value.filename == str(stale) and not simulator.instrument.streaming
    result = run_cli("record", tmp_path / "bench.h5", "--simulate", "--split-every", "1s")
    assert result.exit_code == 2 and f"{stale} exists (a part of an earlier run)" in result.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["bench-0002.h5"]


def test_a_part_that_appears_during_the_run_is_named_and_kept(instruments, tmp_path, monkeypatch):
    [(simulator, device)] = instruments("HDA640")
    monkeypatch.setattr(recorder_module, "check_output", lambda *arguments, **options: None)
    stale = tmp_path / "bench-0002.h5"
    stale.write_bytes(b"an earlier run")
    first = tmp_path / "bench-0001.h5"
    with pytest.raises(RecordingError) as raised:
        with Recorder(tmp_path / "bench.h5", [device], rate="SPS_1200", split_every=0.5) as recorder:
            recorder.wait(timeout=30)
    assert str(raised.value) == (
        f"Could not create {stale}: File exists. The recording stopped; {first} keeps every sample up to then"
    )
    assert stale.read_bytes() == b"an earlier run" and not simulator.instrument.streaming
    recording = load(first)
    [instrument] = recording.instruments.values()
    assert recording.closed and instrument.end_reason == "stopped: could not create bench-0002.h5"
    assert len(instrument.counts) == recorder.stats["HDA640_20240001"].written > 0


def test_a_file_gets_its_name_only_once_its_layout_is_in_it(instruments, tmp_path, monkeypatch):
    [(simulator, device)] = instruments("HDA640")
    path = tmp_path / "run.h5"
    published = []
    original = recorder_module._publish

    def checked_publish(temporary, target, overwrite):
        assert os.path.dirname(temporary) == str(tmp_path) and not path.exists()
        published.append(read_in_child(temporary))  # another process reads it completely before it has a name
        original(temporary, target, overwrite)

    monkeypatch.setattr(recorder_module, "_publish", checked_publish)
    with Recorder(path, [device]) as recorder:
        wait_for(written(recorder, 1), "a sample")
    assert published == [{"counts": [], "closed": False}]
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["run.h5"]


def test_a_file_that_cannot_be_created_is_named_with_the_reason(instruments, tmp_path):
    [(simulator, device)] = instruments("HDA640")
    (tmp_path / "notes.txt").write_text("a file, not a folder")
    path = tmp_path / "notes.txt" / "run.h5"
    with pytest.raises(RecordingError) as raised:
        Recorder(path, [device]).start()
    assert str(raised.value) == f"Could not create {path}: Not a directory"
    assert not simulator.instrument.streaming
