"""The velmo command through click's runner, against simulated instruments."""

import csv
import logging
import subprocess
import sys

import pytest

pytest.importorskip("click")
pytest.importorskip("rich")

from click.testing import CliRunner  # noqa: E402

from velmo.cli import main  # noqa: E402
from velmo.simulator import SimulatedInstrument  # noqa: E402

MISSING_PORT = "/dev/velmo-no-such-port"


def run(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


def table_rows(text):
    """The cells of each row of a rich table, whatever its box characters."""
    return [[cell.strip() for cell in line.strip("│ ").split("│")] for line in text.splitlines() if "│" in line]


@pytest.fixture
def hda():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


def test_scan_lists_the_simulated_instrument():
    result = run("scan", "--simulate")
    assert result.exit_code == 0, result.output
    [row] = [row for row in table_rows(result.stdout) if row[0].startswith("/dev/")]
    assert row[1:5] == ["2000000", "HDA640", "SIM-HDA640", "20240001"]
    assert row[6:] == ["N", "100 SPS"]
    # The probes' expected failures and the module's records stay out of the way.
    assert "velmo_device_communication" not in result.stderr


def test_verbose_shows_the_module_records(hda):
    module_logger = logging.getLogger("velmo_device_communication")
    level, handlers = module_logger.level, list(logging.getLogger().handlers)
    quiet, verbose = run("read", "--port", hda.port, "--count", 1), run("read", "-v", "--port", hda.port, "--count", 1)
    assert quiet.exit_code == verbose.exit_code == 0
    # The command leaves the process's logging as it found it.
    assert (module_logger.level, logging.getLogger().handlers) == (level, handlers)
    assert "INFO velmo_device_communication: Successfully connected" not in quiet.stderr
    assert f"INFO velmo_device_communication: Successfully connected to {hda.port}" in verbose.stderr


def test_read_prints_loads_with_their_unit(hda):
    hda.instrument.set_signal(2, hda.instrument.live_count(0) + 25 * 1024)
    result = run("read", "--port", hda.port, "--channel", 2, "--count", 3, "--interval", 0)
    assert result.exit_code == 0, result.output
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    assert all(line.split()[-2:] == ["125.0000", "N"] for line in lines)


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("read", "--port", MISSING_PORT), f"Error: Could not open serial port {MISSING_PORT}"),
        (("info", "--port", MISSING_PORT), f"Error: Could not open serial port {MISSING_PORT}"),
        (("stream", "--simulate", "--rate", "SPS_3"), "Error: 'SPS_3' is not a sampling rate of the HDA640; allowed:"),
        (("teds", "--simulate", "RPX310"), "Error: TEDS is not supported on RPX310"),
    ],
)
def test_failures_end_in_one_line_with_what_to_do(arguments, message):
    result = run(*arguments)
    assert result.exit_code == 1
    errors = [line for line in result.stderr.splitlines() if line.startswith("Error:")]
    assert len(errors) == 1 and errors[0].startswith(message)
    assert errors[0].endswith(")")  # the hint in parentheses
    assert "Traceback" not in result.output


def test_debug_shows_the_traceback():
    result = run("read", "--debug", "--port", MISSING_PORT)
    assert result.exit_code == 1
    assert "Traceback" in result.stderr and "VelmoConnectionError" in result.stderr


def test_stream_writes_csv_and_plot_and_restores_the_instrument(hda, tmp_path):
    csv_path, plot_path = tmp_path / "capture.csv", tmp_path / "capture.png"
    rate_before = hda.instrument.profile_of_channel(0).rate_code
    result = run("stream", "--port", hda.port, "--rate", "1200", "--seconds", 1, "--csv", csv_path, "--plot", plot_path)
    assert result.exit_code == 0, result.output
    with csv_path.open(newline="") as stream:
        rows = list(csv.reader(stream))
    assert rows[0] == ["time_s", "count", "load"]
    samples = rows[1:]
    # Every sample written, in order, at the requested rate, with its calibrated load.
    assert [int(count) for _, count, _ in samples] == hda.streamed_counts[: len(samples)]
    assert len(samples) > 600
    assert float(samples[1][0]) == pytest.approx(1 / 1200, abs=1e-9)
    assert {float(load) for _, _, load in samples} == {100.0}
    assert f"{len(samples)} readings" in result.stdout
    assert "invalid packets: 0, dropped samples: 0" in result.stdout
    assert plot_path.read_bytes().startswith(b"\x89PNG") and plot_path.stat().st_size > 5000
    assert not hda.instrument.streaming
    assert hda.instrument.profile_of_channel(0).rate_code == rate_before


def test_interrupted_stream_still_restores_the_instrument(hda, monkeypatch):
    from rich.progress import Progress

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(Progress, "update", interrupt)
    rate_before = hda.instrument.profile_of_channel(0).rate_code
    result = run("stream", "--port", hda.port, "--model", "HDA640", "--rate", "2400", "--seconds", 5)
    assert result.exit_code == 1 and "Aborted" in result.stderr
    assert "Traceback" not in result.output
    assert not hda.instrument.streaming
    assert hda.instrument.profile_of_channel(0).rate_code == rate_before


def test_monitor_shows_the_summary():
    result = run("monitor", "--simulate", "--seconds", 1)
    assert result.exit_code == 0, result.output
    rows = {row[0]: row[1] for row in table_rows(result.stdout) if len(row) == 2}
    assert rows["Load"] == "100.0000 N"
    assert rows["Min / max / mean"] == "100.0000 / 100.0000 / 100.0000 N"
    assert 50 <= float(rows["Readings per second"]) <= 150


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


def test_ports_lists_the_simulator():
    result = run("ports", "--simulate", "GLS870")
    assert result.exit_code == 0, result.output
    assert any(row[1:] == ["Simulated VELMO GLS870", "PTY"] for row in table_rows(result.stdout))


def test_simulate_prints_the_port_and_how_to_reach_it():
    result = run("simulate", "--model", "RPX310", "--seconds", 0.2)
    assert result.exit_code == 0, result.output
    port = result.stdout.strip()
    assert port.startswith("/dev/")
    assert f"velmo read --port {port}" in result.stderr


@pytest.mark.parametrize("module, usage", [("velmo", "Usage: velmo "), ("velmo.simulator", "usage: python -m velmo.simulator ")])
def test_module_entry_points(module, usage):
    result = subprocess.run([sys.executable, "-m", module, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(usage)


def test_simulator_command_documents_every_option_with_its_default(capsys):
    from velmo.simulator.__main__ import main as simulator_main

    with pytest.raises(SystemExit):
        simulator_main(["--help"])
    text = capsys.readouterr().out
    assert text.startswith("usage: velmo-simulator ")
    options: list[str] = []
    for line in text.split("options:")[1].splitlines():
        if line.startswith("  -"):
            options.append(line)
        elif options:
            options[-1] += line
    documented = [option.split()[0] for option in options if "(default: " in option or "default: " in option]
    assert documented == ["--model", "--item-number", "--baud-rate", "--firmware", "--sensor", "--auto-teds"]
