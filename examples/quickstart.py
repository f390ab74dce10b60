"""Find VELMO instruments, read a few loads from each and stream for a second.

    python examples/quickstart.py             # instruments on this machine's serial ports
    python examples/quickstart.py --simulate  # two simulated instruments on pseudo-terminals
"""

import argparse
import contextlib
import sys
import time
from collections.abc import Iterator

import velmo_device_communication as vdc
from velmo.line import stop_stream

STREAM_SECONDS = 1.0
STANDARD_RATES = {
    "HDA640": vdc.HDA640SamplingRateEnum.SPS_1200,
    "RPX310": vdc.RPX310SamplingRateEnum.SPS_500,
    "TMV520": vdc.TMV520SamplingRateEnum.SPS_500,
    "GLS870": vdc.GLS870SamplingRateEnum.SPS_500,
}


@contextlib.contextmanager
def simulated_ports() -> Iterator[list[str]]:
    """Two simulated instruments, listed among the serial ports; yields their paths."""
    from velmo.simulator import SimulatedInstrument

    with contextlib.ExitStack() as stack:
        instruments = [stack.enter_context(SimulatedInstrument(model)) for model in ("HDA640", "RPX310")]
        for instrument in instruments:
            stack.enter_context(instrument.visible_to_discovery())
        yield [instrument.port for instrument in instruments]


def stream(device: vdc.VelmoDevice, model: str) -> tuple[list[vdc.StreamReading], float]:
    """Stream for a while at a standard rate; returns (readings, seconds).

    The instrument keeps its sampling rate across power cycles, so the rate it
    had is put back afterwards.
    """
    previous_rate = device.get_sampling_rate()
    if model in STANDARD_RATES:
        device.set_sampling_rate(STANDARD_RATES[model])
    converter = device.get_adc_converter()
    if converter is None:
        raise vdc.VelmoCalibrationError("The instrument has no calibration to convert the stream with")
    parse = vdc.StreamDataConverter.convert_stream_data_to_reading
    readings: list[vdc.StreamReading] = []
    remainder = bytearray()
    start = time.monotonic()
    try:
        device.set_stream_state(True)
        while time.monotonic() - start < STREAM_SECONDS:
            time.sleep(0.05)
            result = parse(remainder + device.get_stream_data(), converter)
            readings.extend(result.readings or [])
            remainder = result.remainder or bytearray()
    finally:
        stop_stream(device.communication_interface)  # so that no late packet is read as the next answer
        device.set_sampling_rate_value(previous_rate)
    return readings, time.monotonic() - start


def show(device: vdc.VelmoDevice) -> None:
    model = device.get_model_number()
    port = device.communication_interface.comport
    print(f"{model} on {port}")
    for _ in range(3):
        print(f"  load {device.get_reading():12.4f} {device.get_unit_of_measure().name}")
    readings, seconds = stream(device, model)
    print(f"  streamed {len(readings)} readings in {seconds:.2f} s: {len(readings) / seconds:.0f} readings/s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulate", action="store_true", help="use simulated instruments")
    arguments = parser.parse_args()

    with contextlib.ExitStack() as stack:
        ports = stack.enter_context(simulated_ports()) if arguments.simulate else None
        devices = vdc.VelmoSerialScanner.discover_devices(comports=ports)
        if not devices:
            from velmo.discovery import USUAL_CAUSES, enumerated_ports

            print(f"No VELMO instrument found on the ports {', '.join(ports or enumerated_ports()) or '(none)'}:")
            print(USUAL_CAUSES)
            return 1
        for device in devices:
            with device:
                show(device)
    return 0


if __name__ == "__main__":
    sys.exit(main())
