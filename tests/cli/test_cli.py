"""The velmo command through click's runner (and as a process where pipes and signals matter),
against simulated instruments, grouped by command."""

import csv
import io
import logging
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("click")
pytest.importorskip("rich")

from click.testing import CliRunner  # noqa: E402

from support.fake_serial import SerialException  # noqa: E402
from velmo.cli import capture, main  # noqa: E402
from velmo.simulator import SimulatedInstrument  # noqa: E402

MISSING_PORT = "/dev/velmo-no-such-port"
STEADY = ("--signal", "constant:100")
HDA_AND_RPX = ("--simulate-model", "HDA640", "--simulate-model", "RPX310")


def run(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


def table_rows(text):
    """The cells of each row of a rich table, whatever its box characters."""
    return [[cell.strip() for cell in line.strip("│ ").split("│")] for line in text.splitlines() if "│" in line]


def errors(result):
    return [line for line in result.stderr.splitlines() if line.startswith("Error:")]


@pytest.fixture
def hda():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


def interrupt_once_streaming(monkeypatch, simulator, packets=20):
    """Ctrl-C while a live command waits for data, once some has come."""

    def until(_seconds):
        deadline = time.monotonic() + 60
        while len(simulator.streamed_counts) < packets and time.monotonic() < deadline:
            time.sleep(0.01)
        yield 0.1
        raise KeyboardInterrupt

    monkeypatch.setattr(capture, "_until", until)


# -- scan ---------------------------------------------------------------------


def test_scan_lists_the_simulated_instruments_quietly():
    result = run("scan", "--simulate-model", "HDA640", "--simulate-model", "rpx310")
    assert result.exit_code == 0, result.output
    rows = [row for row in table_rows(result.stdout) if row[0].startswith("/dev/")]
    assert [row[1:5] for row in rows] == [
        ["2000000", "HDA640", "SIM-HDA640", "20240001"],
        ["320000", "RPX310", "SIM-RPX310", "20240002"],
    ]
    assert rows[0][6:] == ["N", "100 SPS"]
    assert "velmo_device_communication" not in result.stderr and "WARNING" not in result.stderr


def test_scan_keeps_the_serial_numbers_asked_for():
    result = run("scan", "--simulate-model", "HDA640", "--simulate-model", "GLS870", "--serial", 20240002)
    assert result.exit_code == 0, result.output
    assert [row[2] for row in table_rows(result.stdout) if row[0].startswith("/dev/")] == ["GLS870"]


@pytest.fixture
def forbidden_port(fake_serial):
    fake_serial.add_port("COM9").fail("open", SerialException("[Errno 13] Permission denied: 'COM9'"))
    return "COM9"


@pytest.mark.parametrize(
    "arguments, cause",
    [
        (("--port", MISSING_PORT), f"found: Could not open serial port {MISSING_PORT}"),
        (("--port", "COM9"), "found: Could not open serial port COM9 at 2000000 baud: [Errno 13] Permission denied"),
        (("--simulate", "--serial", 5), "No instrument with serial number 5 found: "),
    ],
)
def test_scan_finding_nothing_says_why(forbidden_port, arguments, cause):
    result = run("scan", *arguments)
    assert result.exit_code == 1
    [error] = errors(result)
    assert cause in error
    assert "velmo scan" not in error


@pytest.mark.parametrize(
    "arguments, listed, wanted, unwanted",
    [
        (("read", "--simulate", "--serial", 12345), None,
         ": the instrument there has serial number 20240001 (check the serial number asked for)",
         ("powered", "dialout")),
        (("read", "--port", MISSING_PORT), None,
         f"Error: Could not open serial port {MISSING_PORT} at 2000000 baud: [Errno 2] No such file or directory (",
         ("could not open port",)),
        (("monitor",), [MISSING_PORT],
         f"Error: No VELMO instrument found: Could not open serial port {MISSING_PORT} at 2000000 baud: [Errno 2] No ",
         ("could not open port",)),
    ],
    ids=["other-serial", "missing-port", "nothing-listed"],
)
def test_failure_messages_say_each_thing_once(monkeypatch, arguments, listed, wanted, unwanted):
    if listed is not None:
        monkeypatch.setattr("velmo.discovery.enumerated_ports", lambda: listed)
    result = run(*arguments)
    assert result.exit_code == 1
    [error] = errors(result)
    assert wanted in error
    assert not any(text in error for text in unwanted)
    assert error.count("[Errno") <= 1 and error.count(MISSING_PORT) <= 1


@pytest.mark.parametrize("command", sorted(main.commands))
def test_no_help_sends_the_reader_to_the_command_itself(command):
    result = run(command, "--help")
    assert result.exit_code == 0
    assert f"see 'velmo {command}'" not in " ".join(result.stdout.split())


def simulate_option(command):
    return [parameter for parameter in main.commands[command].params if "--simulate" in parameter.opts]


SIMULATING = sorted(command for command in main.commands if simulate_option(command))


@pytest.mark.parametrize("command", SIMULATING)
def test_simulate_is_a_flag_that_takes_no_word_after_it(command):
    [simulate] = simulate_option(command)
    assert simulate.is_flag


@pytest.mark.parametrize("simulate, model", [(("--simulate",), "HDA640"), (("--simulate-model", "rpx310"), "RPX310")])
def test_the_file_name_after_simulate_is_the_file(tmp_path, simulate, model):
    h5py = pytest.importorskip("h5py")
    result = run("record", "--seconds", 0.3, *simulate, tmp_path / "out.h5")
    assert result.exit_code == 0, result.output
    with h5py.File(tmp_path / "out.h5", "r") as recording:
        assert [name.split("_")[0] for name in recording["instruments"]] == [model]


# -- read ---------------------------------------------------------------------


def test_read_prints_loads_with_their_unit(hda):
    hda.instrument.set_signal(2, hda.instrument.live_count(0) + 25 * 1024)
    result = run("read", "--port", hda.port, "--channel", 2, "--count", 3, "--interval", 0)
    assert result.exit_code == 0, result.output
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    assert all(line.split()[-2:] == ["125.0000", "N"] for line in lines)


def test_read_among_several_says_which_it_took_and_how_to_choose():
    result = run("read", *HDA_AND_RPX, "--count", 1, *STEADY)
    assert result.exit_code == 0, result.output
    assert "2 instruments found: HDA640 20240001 on /dev/" in result.stderr
    assert ", RPX310 20240002 on /dev/" in result.stderr
    assert "; using the HDA640 20240001 on /dev/" in result.stderr
    assert "(choose with --serial N or --port PATH)" in result.stderr


def test_read_chooses_by_serial_number():
    result = run("read", *HDA_AND_RPX, "--serial", 20240002, "--count", 1, *STEADY)
    assert result.exit_code == 0, result.output
    assert "instruments found" not in result.stderr
    assert "RPX310 on /dev/" in result.stderr and result.stdout.split()[-2:] == ["100.0000", "N"]


def test_read_refuses_a_channel_the_instrument_lacks():
    result = run("read", "--simulate", "--channel", 200)
    assert result.exit_code == 2
    assert "has no channel 200" in result.stderr


def test_verbose_shows_the_module_records(hda):
    module_logger = logging.getLogger("velmo_device_communication")
    level, handlers = module_logger.level, list(logging.getLogger().handlers)
    quiet, verbose = run("read", "--port", hda.port, "--count", 1), run("read", "-v", "--port", hda.port, "--count", 1)
    assert quiet.exit_code == verbose.exit_code == 0
    # The command leaves the process's logging as it found it.
    assert (module_logger.level, logging.getLogger().handlers) == (level, handlers)
    assert "INFO velmo_device_communication: Successfully connected" not in quiet.stderr
    assert f"INFO velmo_device_communication: Successfully connected to {hda.port}" in verbose.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("read", "--port", MISSING_PORT), f"Error: Could not open serial port {MISSING_PORT}"),
        (("info", "--port", MISSING_PORT), f"Error: Could not open serial port {MISSING_PORT}"),
        (("teds", "--simulate-model", "RPX310"), "Error: TEDS is not supported on RPX310"),
    ],
)
def test_failures_end_in_one_line_with_what_to_do(arguments, message):
    result = run(*arguments)
    assert result.exit_code == 1
    [error] = errors(result)
    assert error.startswith(message)
    assert error.endswith(")")  # the hint in parentheses
    assert "Traceback" not in result.output


def test_debug_shows_the_traceback():
    result = run("read", "--debug", "--port", MISSING_PORT)
    assert result.exit_code == 1
    assert "Traceback" in result.stderr and "VelmoConnectionError" in result.stderr


@pytest.mark.parametrize(
    "arguments",
    [("read", "--count", 100_000, "--interval", 0), ("stream", "--seconds", 60, "--csv", "-")],
    ids=["read", "stream"],
)
def test_a_closed_pipe_ends_the_command_quietly(arguments):
    command = [sys.executable, "-m", "velmo", *map(str, arguments), "--simulate", *STEADY]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        lines = [process.stdout.readline() for _ in range(2)]
        process.stdout.close()  # as `| head -2` does
        status = process.wait(timeout=60)
        stderr = process.stderr.read()
    assert all(lines)
    assert status == 141
    assert "Error" not in stderr and "Traceback" not in stderr and "Exception" not in stderr


# -- monitor ------------------------------------------------------------------


def test_monitor_shows_one_row_per_instrument():
    result = run("monitor", *HDA_AND_RPX, "--all", "--seconds", 1, *STEADY)
    assert result.exit_code == 0, result.output
    rows = [row for row in table_rows(result.stdout) if row[0].startswith(("HDA640", "RPX310"))]
    assert [row[0].split()[:2] for row in rows] == [["HDA640", "20240001"], ["RPX310", "20240002"]]
    assert all(row[1] == "100.0000 N" and row[2] == "100.0000 / 100.0000 / 100.0000" for row in rows)
    assert all(50 <= float(row[3]) <= 150 for row in rows)


def test_monitor_interrupted_shows_its_last_view_and_exits_130(monkeypatch, hda):
    interrupt_once_streaming(monkeypatch, hda)
    result = run("monitor", "--port", hda.port)
    assert result.exit_code == 130
    assert any(row[0].startswith("HDA640 20240001") for row in table_rows(result.stdout))
    assert not hda.instrument.streaming


MONITOR_ROWS = [
    ("HDA640 20240001 on /dev/pts/0", "-1234.5678 kN", "-1.7500 / 502.2500 / 292.4410", "99", "496 / 0 / 0",
     "▂▄▆█" * 8),
    ("RPX310 20240002 on /dev/pts/1", "waiting for readings", "", "0", "0 / 0 / 0", ""),
]


@pytest.mark.parametrize("width", [40, 60, 80, 100, 160, 200])
def test_monitor_view_shows_the_load_in_full_at_any_width(width):
    from rich.console import Console

    out = Console(width=width, file=io.StringIO(), color_system=None)
    out.print(capture.MonitorView("Channel 0", MONITOR_ROWS))
    text = out.file.getvalue()
    assert "-1234.5678 kN" in text and "waiting for readings" in text
    assert max(map(len, text.splitlines())) <= width
    [header] = [line for line in text.splitlines() if "Instrument" in line]
    shown = [column for column in capture.MONITOR_COLUMNS if column in header]
    dropped = [column for column in capture.MONITOR_COLUMNS if column not in shown]
    # Whole columns go, in their order.
    assert capture.DROPPED_FIRST[: len(dropped)] == tuple(sorted(dropped, key=capture.DROPPED_FIRST.index))
    assert header.count("…") == 0
    if width == 200:
        assert not dropped


# -- stream -------------------------------------------------------------------


def read_capture(path):
    """The first comment line, and the header and rows after the comments."""
    with path.open(newline="") as stream:
        lines = stream.read().splitlines()
    comments = [line for line in lines if line.startswith("#")]
    return comments[0], list(csv.reader(lines[len(comments) :]))


def test_stream_writes_csv_and_plot_and_restores_the_instrument(hda, tmp_path):
    csv_path, plot_path = tmp_path / "capture.csv", tmp_path / "capture.png"
    rate_before = hda.instrument.profile_of_channel(0).rate_code
    result = run("stream", "--port", hda.port, "--rate", "1200", "--seconds", 1, "--csv", csv_path, "--plot", plot_path)
    assert result.exit_code == 0, result.output
    comment, rows = read_capture(csv_path)
    assert comment == f"# HDA640 20240001 on {hda.port}, channel 0, 1200 SPS"
    assert rows[0] == ["time (s)", "count", "load (N)"]
    samples = rows[1:]
    # Every sample written, in order, at exact times from its place in the stream, with its calibrated load.
    assert [int(count) for _, count, _ in samples] == hda.streamed_counts[: len(samples)]
    assert len(samples) > 600
    assert [time_s for time_s, _, _ in samples] == [f"{index / 1200:.9f}" for index in range(len(samples))]
    assert {float(load) for _, _, load in samples} == {100.0}
    assert result.stdout == ""  # the summary is for the user, on stderr
    assert f"{len(samples)} readings (" in result.stderr
    assert "invalid packets: 0, dropped samples: 0, lost on the line: 0" in result.stderr
    assert plot_path.read_bytes().startswith(b"\x89PNG") and plot_path.stat().st_size > 5000
    assert not hda.instrument.streaming
    assert hda.instrument.profile_of_channel(0).rate_code == rate_before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["capture.csv", "capture.png"]


def test_stream_to_stdout_keeps_the_data_apart_from_the_summary(hda):
    result = run("stream", "--port", hda.port, "--seconds", 0.5, "--csv", "-")
    assert result.exit_code == 0, result.output
    comment, start, header, *rows = result.stdout.splitlines()
    assert comment.startswith("# HDA640") and start.startswith("# time (s)") and header == "time (s),count,load (N)"
    assert rows and all(row.count(",") == 2 for row in rows)
    assert "readings (" in result.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("--rate", "7"), "7 is not a sampling rate of the HDA640 20240001 on "),
        (("--rate", "38400"), "it supports 2.5, 5, 10, 16.6, 20, 50, 60, 100, 400, 1200, 2400, 4800, 7200, 14000, 19200 SPS"),
        (("--seconds", "0"), "Invalid value for '--seconds'"),
        (("--plot", "no-such-folder/capture.png"), "no-such-folder does not exist"),
    ],
)
def test_stream_refuses_bad_requests_before_writing_anything(hda, tmp_path, monkeypatch, arguments, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "capture.csv").write_text("an older capture\n")
    result = run("stream", "--port", hda.port, "--csv", "capture.csv", *arguments)
    assert result.exit_code == 2
    assert message in result.stderr
    assert "SPS_38400" not in result.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["capture.csv"]
    assert (tmp_path / "capture.csv").read_text() == "an older capture\n"
    assert not hda.frames_received or not hda.instrument.streaming


def test_stream_several_instruments_writes_one_file_each(tmp_path):
    result = run(
        "stream", "--simulate-model", "HDA640", "--simulate-model", "TMV520", "--all", "--seconds", 0.5,
        "--csv", tmp_path / "run.csv", *STEADY,
    )
    assert result.exit_code == 0, result.output
    assert sorted(path.name for path in tmp_path.iterdir()) == ["run-20240001.csv", "run-20240002.csv"]
    for name, model in (("run-20240001.csv", "HDA640"), ("run-20240002.csv", "TMV520")):
        comment, rows = read_capture(tmp_path / name)
        assert comment.startswith(f"# {model} ") and len(rows) > 10


def unplug_once_streaming(simulator, packets=50):
    def unplug():
        deadline = time.monotonic() + 60
        while len(simulator.streamed_counts) < packets and time.monotonic() < deadline:
            time.sleep(0.01)
        simulator.unplug()

    thread = threading.Thread(target=unplug)
    thread.start()
    return thread


def test_stream_losing_the_instrument_says_so_once_and_keeps_that_error(hda, tmp_path):
    unplugging = unplug_once_streaming(hda)
    result = run("stream", "--port", hda.port, "--rate", "1200", "--seconds", 60, "--csv", tmp_path / "lost.csv")
    unplugging.join()
    assert result.exit_code == 1
    [error] = errors(result)
    assert error.startswith(f"Error: The HDA640 20240001 on {hda.port} stopped answering while streaming (")
    assert error.endswith("check its cable and power, then retry")
    assert "WARNING" not in result.stderr and "Unexpected" not in result.stderr
    assert "Nothing written to" in result.stderr and list(tmp_path.iterdir()) == []


def test_interrupted_stream_keeps_what_arrived_restores_the_instrument_and_exits_130(hda, monkeypatch, tmp_path):
    interrupt_once_streaming(monkeypatch, hda)
    rate_before = hda.instrument.profile_of_channel(0).rate_code
    result = run("stream", "--port", hda.port, "--rate", "2400", "--seconds", 5, "--csv", tmp_path / "part.csv")
    assert result.exit_code == 130
    assert "Traceback" not in result.output and "Aborted" not in result.output
    assert len(read_capture(tmp_path / "part.csv")[1]) > 1
    assert not hda.instrument.streaming
    assert hda.instrument.profile_of_channel(0).rate_code == rate_before


@pytest.mark.parametrize("gap", [0.0, 0.01, 0.3, "as the command exits"])
def test_two_quick_ctrl_c_during_stream_still_stop_the_instrument_and_exit_130(hda, tmp_path, gap):
    rate_before = hda.instrument.profile_of_channel(0).rate_code
    command = [sys.executable, "-m", "velmo", "stream", "--port", hda.port, "--rate", "2400", "--seconds", "60",
               "--csv", str(tmp_path / "run.csv")]
    with subprocess.Popen(command, stderr=subprocess.PIPE, text=True) as stream:
        try:
            deadline = time.monotonic() + 30
            while len(hda.streamed_counts) < 100 and time.monotonic() < deadline:
                time.sleep(0.01)
            stream.send_signal(signal.SIGINT)
            if gap == "as the command exits":
                assert stream.stderr is not None
                for line in stream.stderr:
                    if line.startswith("Wrote"):  # the summary's last line
                        break
            else:
                time.sleep(gap)
            stream.send_signal(signal.SIGINT)
            returncode = stream.wait(30)  # it must not hang
            assert returncode == 130, stream.stderr.read()
        finally:
            stream.kill()
    assert hda.host_closed.wait(5) and not hda.instrument.streaming
    assert hda.instrument.profile_of_channel(0).rate_code == rate_before
    assert len(read_capture(tmp_path / "run.csv")[1]) > 1


# -- info, teds, ports -----------------------------------------------------------


def test_info_shows_versions_and_the_calibration_table():
    result = run("info", "--simulate")
    assert result.exit_code == 0, result.output
    rows = table_rows(result.stdout)
    assert ["pyserial", __import__("serial").__version__] in rows
    points = [row for row in rows if len(row) == 4 and row[0].isdigit()]
    assert [(row[1], row[2]) for row in points] == [("1", f"{load:g}") for load in (0, 250, 500, 750, 1000)] + [
        ("2", f"{load:g}") for load in (0, 250, 500, 750, 1000)
    ]


def test_teds_shows_the_record_and_the_page_checksums():
    result = run("teds", "--simulate")
    assert result.exit_code == 0, result.output
    rows = {row[0]: row[1] for row in table_rows(result.stdout) if len(row) == 2}
    assert rows["Serial number"] == "12345"
    assert rows["Engineering unit"] == "4 (N)"
    assert rows["Maximum capacity"] == "1000"
    assert rows["Maximum electrical output (mV/V)"] == "2"
    assert rows["AutoTEDS"] == "on"
    assert [row for row in table_rows(result.stdout) if len(row) == 16] == [["ok"] * 16]


@pytest.mark.parametrize("image, holds", [(bytes(64), [True, True]), (bytes([1]) + bytes(62) + bytes([3]), [False, False])])
def test_page_checksum_is_the_byte_sum_of_the_page(image, holds):
    from velmo.cli.commands import page_checksums_hold

    assert page_checksums_hold(image) == holds


@pytest.mark.parametrize("arguments", [(), ("--serial", 20240002)])
def test_ports_lists_the_simulators(arguments):
    result = run("ports", "--simulate-model", "GLS870", "--simulate-model", "HDA640", *arguments)
    assert result.exit_code == 0, result.output
    listed = [row[1] for row in table_rows(result.stdout) if row[1:] in (["Simulated VELMO GLS870", "PTY"],
                                                                         ["Simulated VELMO HDA640", "PTY"])]
    assert listed == (["Simulated VELMO HDA640"] if arguments else ["Simulated VELMO GLS870", "Simulated VELMO HDA640"])


# -- simulate -----------------------------------------------------------------


def test_simulate_prints_the_port_and_how_to_reach_it():
    result = run("simulate", "--model", "rpx310", "--seconds", 0.2, "--signal", "sine:amplitude=50+noise:sigma=0.5")
    assert result.exit_code == 0, result.output
    port = result.stdout.strip()
    assert port.startswith("/dev/")
    assert f"velmo read --port {port} --model RPX310" in result.stderr
    assert "sine(center=0, amplitude=50, frequency=1) + noise(sigma=0.5, seed=0)" in result.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("--signal", "square:1"), "unknown signal kind 'square'; the kinds, with their defaults: constant:value=0;"),
        (("--model", "XYZ"), "Invalid value for '--model': 'XYZ' is not one of"),
        (("--firmware", "4.3"), "Invalid value for '--firmware': give three numbers such as 4.3.2"),
    ],
)
def test_simulate_refuses_what_it_cannot_serve(arguments, message):
    result = run("simulate", *arguments)
    assert result.exit_code == 2 and message in result.stderr


def test_simulate_replaying_a_recording_points_to_the_commands_that_show_it(tmp_path):
    pytest.importorskip("h5py")
    recorded = run("record", "--seconds", 0.3, "--simulate", tmp_path / "run.h5")
    assert recorded.exit_code == 0, recorded.output
    result = run("simulate", "--replay", tmp_path / "run.h5", "--seconds", 0.1)
    assert result.exit_code == 0, result.output
    assert f"velmo monitor --port {result.stdout.strip()} --model HDA640" in result.stderr
    assert "velmo read" not in result.stderr


def test_every_simulator_command_line_has_the_look_of_velmo():
    texts = [
        subprocess.run([sys.executable, "-m", module, *command, "--help"], capture_output=True, text=True, timeout=60)
        for module, command in (("velmo", ["simulate"]), ("velmo.simulator", []), ("velmo", ["read"]))
    ]
    assert [text.returncode for text in texts] == [0, 0, 0]
    simulate, module, read = (text.stdout.splitlines() for text in texts)
    assert simulate[0] == "Usage: velmo simulate [OPTIONS]"
    assert module[0] == "Usage: python -m velmo.simulator [OPTIONS]"
    assert simulate[1:] == module[1:]
    assert "Options:" in simulate and "Options:" in read
    for option in ("--model", "--item-number", "--serial-number", "--firmware", "--sensor", "--auto-teds",
                   "--signal", "--seconds", "--replay"):
        assert any(line.lstrip().startswith(option) for line in simulate)
    assert "[default: cycle:peak=500" in " ".join(simulate)


def test_the_velmo_command_runs_as_a_module():
    result = subprocess.run([sys.executable, "-m", "velmo", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.startswith("Usage: velmo ")
