"""A device that streams scripted reads, for the acquisition's byte-exact cases."""

import contextlib
import threading

import velmo_device_communication as vdc
from velmo.acquisition import acquisition as acquisition_module, ports
from bench.reference import standard_packet
from velmo.acquisition import Acquisition

RATES = vdc.HDA640SamplingRateEnum


class ScriptedDevice:
    """Streams `reads` (byte strings, or exceptions to raise) one per get_stream_data call, then nothing."""

    comport = "scripted"

    def __init__(self, reads, model="HDA640", rate_code=RATES.SPS_1200.value):
        self.reads, self.model, self.rate_code = list(reads), model, rate_code
        self.calls, self.drained = [], threading.Event()

    @property
    def communication_interface(self):
        return self  # plays its own link too

    def set_streaming_state(self, on):
        self.set_stream_state(bool(on))

    def read_buffer_data(self):
        return self.get_stream_data()

    def get_adc_converter(self):
        return vdc.ADCConverter()

    # Who it is, as an acquisition asks at its start: one profile of two points.
    baud_rate = 2_000_000
    _teds_data = None

    def get_instrument_serial_number(self):
        return 20240001

    def get_item_number(self):
        return "SCRIPTED"

    def get_firmware_version_with_patch(self):
        return "04.03.02"

    def get_unit_of_measure(self, channel_number=0):
        return vdc.UnitOfMeasureEnum(26)

    def get_device_channel_selected_profile(self, channel_number=0):
        return 0

    def get_number_of_loading_points(self, profile):
        return 2

    def get_number_of_directions(self, profile):
        return 0

    def get_load_of_loading_point(self, profile, point):
        return 1000.0 * point

    def get_loading_point_value(self, profile, point):
        return 1 << (31 + point)

    def get_model_number(self):
        return self.model

    def get_sampling_rate(self, channel_number=0):
        return self.rate_code

    def set_sampling_rate(self, rate, channel_number=0):
        self.calls.append(("rate", rate))
        self.rate_code = rate.value

    def set_sampling_rate_value(self, code, channel_number=0):
        self.calls.append(("rate value", code))
        self.rate_code = code

    def set_stream_state(self, on):
        self.calls.append(("stream", on))

    def get_stream_data(self):
        if not self.reads:
            self.drained.set()
            return b""
        item = self.reads.pop(0)
        if isinstance(item, BaseException):
            self.drained.set()
            raise item
        return item


def packets(first, number):
    return b"".join(standard_packet((first + i) << 8) for i in range(number))


PER_READ = 12  # 10 ms of samples at 1200 SPS


class FakeTime:
    """velmo.acquisition's clock, advanced by the scripted device at each read."""

    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now

    def time(self):
        return 1_700_000_000.0 + self.now

    def sleep(self, _seconds):
        pass


class TimedDevice(ScriptedDevice):
    """Each read first advances the clock by its `seconds`, then returns its bytes."""

    def __init__(self, clock, reads):
        super().__init__([data for _seconds, data in reads])
        self.clock, self.advances = clock, [seconds for seconds, _data in reads]

    def get_stream_data(self):
        if self.advances:
            self.clock.now += self.advances.pop(0)
        return super().get_stream_data()


class Stream:
    """Builds the reads of a 1200 SPS stream; counts number the samples the instrument took."""

    def __init__(self):
        self.reads, self.taken = [], 0

    def steady(self, reads, per_read=PER_READ, seconds=0.01):
        for _ in range(reads):
            self.reads.append((seconds, packets(self.taken, per_read)))
            self.taken += per_read
        return self

    def silent(self, seconds, taken=0):
        """No byte for `seconds`, in 10 ms reads; the instrument took `taken` samples meanwhile."""
        self.reads += [(0.01, b"")] * round(seconds / 0.01)
        self.taken += taken
        return self

    def burst(self, parts):
        """The samples of the silence before, delivered in parts 1 ms apart."""
        for size in parts:
            self.reads.append((0.001, packets(self.taken, size)))
            self.taken += size
        return self


@contextlib.contextmanager
def timed_acquisition(monkeypatch, stream, **options):
    """A started acquisition of `stream`'s reads, on a clock the reads advance."""
    clock = FakeTime()
    for module in (acquisition_module, ports):
        monkeypatch.setattr(module, "time", clock)
    device = TimedDevice(clock, stream.reads)
    with Acquisition(device, poll_interval=0.001, **options) as acquisition:
        yield acquisition, device
