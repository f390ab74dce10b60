"""Answers that arrive after the port's time-out must never be read as another command's."""

import time

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import velmo_device_communication as vdc
from support.bare_port import BarePort
from support.fuzzing import fuzz_settings
from velmo.simulator import InstrumentModel, SimulatedInstrument
from velmo.simulator.faults import AnswerFaults

TIMEOUT = 0.2
LATENESS = [1.05, 1.5, 2.1, 2.5, 3.0, 4.0]  # in read time-outs


class InOrderPort(BarePort):
    """An instrument on a virtual clock: it answers in order, each answer spoilt by the
    simulator's `faults` (late, dropped, cut, corrupted, garbage in front, silent) and never
    before the one ahead of it; a read returns when its bytes are in, or after `timeout`."""

    def __init__(self, instrument, timeout=TIMEOUT):
        self.instrument, self.timeout = instrument, timeout
        self.now, self.arrived, self.coming = 0.0, bytearray(), []
        self.faults, self.frames, self.delays = AnswerFaults(), [], []  # delays: of the next answers, in turn

    # The module's `time`: its pauses and its clock are this port's.
    def sleep(self, seconds):
        self.now += seconds

    def monotonic(self):
        return self.now

    def _deliver(self, until):
        while self.coming and self.coming[0][0] <= until:
            self.arrived += self.coming.pop(0)[1]

    def reset_input_buffer(self):
        self._deliver(self.now)
        self.arrived.clear()

    @property
    def in_waiting(self):
        self._deliver(self.now)
        return len(self.arrived)

    def write(self, data):
        data = bytes(data)
        self.frames.append(data)
        answer = self.instrument.handle_frame(data, responsive=not self.faults.silent)
        answer = self.faults.shape(answer) if answer else None
        if answer:
            due = self.now + (self.delays.pop(0) if self.delays else self.faults.answer_delay())
            self.coming.append((max([due] + [when for when, _ in self.coming[-1:]]), answer))
        return len(data)

    def read(self, size=1):
        deadline = self.now + self.timeout
        self._deliver(self.now)
        while len(self.arrived) < size and self.coming and self.coming[0][0] <= deadline:
            self.now = max(self.now, self.coming[0][0])
            self._deliver(self.now)
        if len(self.arrived) < size:
            self.now = deadline
        answer = bytes(self.arrived[:size])
        del self.arrived[:size]
        return answer


# What each command must return; anything else is another command's value.
CALLS = {
    "ndr 0": (lambda link: link.get_ndr(0), lambda instrument: instrument.live_count(0)),
    "ndr 1": (lambda link: link.get_ndr(1), lambda instrument: instrument.live_count(1)),
    "serial": (lambda link: link.get_instrument_serial_number(), lambda instrument: instrument.instrument_serial),
    "model": (lambda link: link.get_model_number(), lambda instrument: instrument.model),
    "item": (lambda link: link.get_item_number(), lambda instrument: instrument.item_number),
    "rate": (lambda link: link.get_sampling_rate(0), lambda instrument: instrument.profiles[0].rate_code),
}


def scripted_link(monkeypatch, connected=True):
    instrument = InstrumentModel("HDA640", signals=[1000, 2000, 3000, 4000])
    port = InOrderPort(instrument)
    monkeypatch.setattr(vdc, "time", port)
    link = vdc._SerialCommunicationInterface("COM3", 2_000_000, TIMEOUT)
    link.serial_connection = port
    if connected:
        link._cached_model_number, link._cached_item_number = instrument.model, instrument.item_number
    return link, port, instrument


def call(link, instrument, name):
    """The command's value, or None when it timed out; never another command's value."""
    run, expected = CALLS[name]
    try:
        value = run(link)
    except vdc.VelmoTimeoutError:
        return None
    assert value == expected(instrument), f"{name} returned {value!r}"
    return value


@pytest.mark.parametrize("lateness", LATENESS)
@pytest.mark.parametrize("first", ["ndr 0", "serial", "model"])
def test_a_late_answer_at_any_delay_is_never_another_commands_value(monkeypatch, first, lateness):
    link, port, instrument = scripted_link(monkeypatch)
    port.faults.delay_next(lateness * TIMEOUT)  # one answer late, the rest prompt
    call(link, instrument, first)
    # The first command of another kind gets its own answer, or a time-out while the late
    # answer is still on its way: never the late answer.
    values = [call(link, instrument, name) for name in ["serial", "ndr 1", "ndr 0", "model", "item", "rate"]]
    assert values[-1] is not None  # in sync again once the late answer is in


@fuzz_settings
@given(
    calls=st.lists(st.sampled_from(sorted(CALLS)), min_size=1, max_size=12),
    delays=st.lists(st.floats(min_value=0, max_value=6 * TIMEOUT), max_size=12),
)
def test_no_schedule_of_late_answers_yields_another_commands_value(calls, delays):
    with pytest.MonkeyPatch.context() as monkeypatch:
        link, port, instrument = scripted_link(monkeypatch)
        port.delays = list(delays)
        for name in calls:
            call(link, instrument, name)


def test_the_normal_path_sends_only_the_commands(monkeypatch):
    link, port, instrument = scripted_link(monkeypatch)
    for name in ["ndr 0", "serial", "model"]:
        call(link, instrument, name)
    assert len(port.frames) == 3 and "_answers_owed" not in vars(link)


def frame_of(link, command, *arguments):
    commands = link.commands
    return bytes(commands.get_command_byte_array(getattr(commands, command), bytearray(arguments)))


def owed_attempts(link):
    return sum(attempts for _, attempts in vars(link).get("_answers_owed", {}).values())


def test_another_command_resynchronises_with_a_known_answer_first(monkeypatch, module_log):
    link, port, instrument = scripted_link(monkeypatch)
    port.delays = [2.5 * TIMEOUT]
    # The retry reads the first attempt's answer, its own arrives with it and is discarded.
    assert call(link, instrument, "ndr 0") is not None and owed_attempts(link) == 1
    assert call(link, instrument, "serial") == instrument.instrument_serial
    ndr, model, serial = (frame_of(link, name, *args) for name, args in
                          [("Get_Ndr_Command", [0]), ("Get_Model_Number_Command", []),
                           ("Get_Instrument_Serial_Number_Command", [])])
    assert port.frames == [ndr, ndr, model, serial] and "_answers_owed" not in vars(link)
    assert [m for _, m in module_log() if m.startswith("In step")] == [
        "In step again after 1 owed answers: 9 bytes discarded, 0 ms waited"]
    assert call(link, instrument, "ndr 1") is not None and len(port.frames) == 5  # in sync: no resynchronising


def test_a_reused_frame_buffer_is_taken_for_the_command_it_now_holds(monkeypatch):
    link, port, instrument = scripted_link(monkeypatch)
    frame = bytearray(frame_of(link, "Get_Ndr_Command", 0))
    port.delays = [1.5 * TIMEOUT]
    with pytest.raises(vdc.VelmoTimeoutError):
        link.send_command_with_response(frame, 9)
    # The caller writes its next, different command into the same buffer.
    frame[:] = frame_of(link, "Get_Instrument_Serial_Number_Command")
    answer = link.send_command_with_response(frame, 9)
    assert link.commands.convert_payload(4, "int", answer) == instrument.instrument_serial


def test_without_a_known_answer_the_link_waits_until_no_owed_answer_can_come(monkeypatch):
    link, port, instrument = scripted_link(monkeypatch, connected=False)
    port.delays = [4.5 * TIMEOUT]  # later than the retry's read: both attempts' answers owed
    with pytest.raises(vdc.VelmoTimeoutError):
        link.get_ndr(0)
    assert call(link, instrument, "serial") == instrument.instrument_serial
    assert port.now >= 3 * TIMEOUT + 5 * TIMEOUT and "_answers_owed" not in vars(link)


def test_an_answer_owed_for_five_time_outs_is_taken_as_never_coming(monkeypatch):
    link, port, instrument = scripted_link(monkeypatch)
    port.faults.silent = True
    with pytest.raises(vdc.VelmoTimeoutError):
        link.get_ndr(0)
    assert owed_attempts(link) == 3
    port.sleep(5.5 * TIMEOUT)
    port.faults.silent = False
    assert call(link, instrument, "serial") == instrument.instrument_serial
    assert port.frames[3:] == [frame_of(link, "Get_Instrument_Serial_Number_Command")]


def test_a_failure_while_answers_are_owed_says_so(monkeypatch):
    link, port, instrument = scripted_link(monkeypatch)
    port.faults.silent = True
    call(link, instrument, "ndr 0")
    with pytest.raises(vdc.VelmoTimeoutError, match=r"within 0.2s timeout \(answers to \d+ earlier attempts are still owed\)"):
        CALLS["serial"][0](link)


@pytest.mark.parametrize("lateness", [1.05, 1.5, 3.5])
def test_the_link_comes_back_at_the_first_call_after_a_spell_of_late_answers(monkeypatch, lateness):
    link, port, instrument = scripted_link(monkeypatch)
    port.faults.delay = lateness * TIMEOUT
    for name in ["ndr 0", "serial", "ndr 0", "serial", "model", "serial"]:
        call(link, instrument, name)  # each times out, or reads its own late answer
    port.faults.clear()
    port.sleep(4 * TIMEOUT)
    assert call(link, instrument, "serial") == instrument.instrument_serial
    assert call(link, instrument, "ndr 0") == instrument.live_count(0)


# One fault of the simulator's kinds, armed on the port.
FAULTS = st.one_of(
    st.tuples(st.just("delay"), st.floats(0.2, 3.5)),
    st.tuples(st.just("delay_next"), st.floats(0.2, 3.5), st.integers(1, 3)),
    st.tuples(st.just("drop_next"), st.integers(1, 3)),
    st.tuples(st.just("cut_next"), st.integers(1, 8), st.integers(1, 2)),
    st.tuples(st.just("corrupt_next_checksum"), st.integers(1, 2)),
    st.tuples(st.just("garbage_before_next"), st.binary(min_size=1, max_size=12), st.integers(1, 2)),
    st.tuples(st.just("silent")),
)


def arm(faults, fault):
    kind, *parameters = fault
    if kind == "delay":
        faults.delay = parameters[0] * TIMEOUT
    elif kind == "silent":
        faults.silent = True
    elif kind == "delay_next":
        faults.delay_next(parameters[0] * TIMEOUT, parameters[1])
    else:
        getattr(faults, kind)(*parameters)


def outcome(link, instrument, name):
    """The right value, or None for a failure; another command's value fails the test."""
    try:
        return call(link, instrument, name)
    except (vdc.VelmoCommunicationError, vdc.VelmoProtocolError):
        return None


def forges_an_answer(link, instrument, garbage):
    """Whether garbage in front of some answer reads as a whole answer with a valid checksum:
    a one-byte checksum lets one such read in 256 through, a fault no link can tell."""
    frames = [frame_of(link, "Get_Ndr_Command", 0), frame_of(link, "Get_Ndr_Command", 1),
              frame_of(link, "Get_Instrument_Serial_Number_Command"), frame_of(link, "Get_Model_Number_Command"),
              frame_of(link, "Get_Item_Number_Command"), frame_of(link, "Get_Sampling_Rate_Command", 0)]
    for frame in frames:
        answer = instrument.handle_frame(frame)
        read = (garbage + answer)[:len(answer)]
        if read != answer and link.commands.calculate_checksum(read[:-1]) == read[-1]:
            return True
    return False


@fuzz_settings
@given(episodes=st.lists(
    st.tuples(st.lists(FAULTS, min_size=1, max_size=3),
              st.lists(st.sampled_from(sorted(CALLS)), min_size=1, max_size=4),
              st.lists(st.sampled_from(sorted(CALLS)), min_size=2, max_size=2)),
    min_size=1, max_size=6))
def test_after_any_faults_the_link_is_right_within_two_calls(episodes):
    with pytest.MonkeyPatch.context() as monkeypatch:
        link, port, instrument = scripted_link(monkeypatch)
        assume(not any(fault[0] == "garbage_before_next" and forges_an_answer(link, instrument, fault[1])
                       for faults, _, _ in episodes for fault in faults))
        for faults, during, after in episodes:
            for fault in faults:
                arm(port.faults, fault)
            for name in during:
                outcome(link, instrument, name)
            port.faults.clear()
            port.sleep(4 * TIMEOUT)  # every late answer has landed
            first = outcome(link, instrument, after[0])
            assert first is not None or outcome(link, instrument, after[1]) is not None


# -- over a pseudo-terminal -------------------------------------------------


@pytest.mark.parametrize("lateness", [1.05, 2.1, 4.0])
def test_a_late_answer_on_a_real_line_is_never_another_commands_value(lateness):
    with SimulatedInstrument("HDA640") as sim:
        link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate, TIMEOUT)
        link.connect()
        instrument = sim.instrument
        sim.delay_next_answer(TIMEOUT * lateness)
        for name in ["ndr 0", "serial", "ndr 1", "model", "serial"]:
            call(link, instrument, name)
        assert call(link, instrument, "rate") is not None
        link.disconnect()


def test_the_link_comes_back_after_a_spell_of_late_answers_on_a_real_line():
    with SimulatedInstrument("HDA640") as sim:
        link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate, TIMEOUT)
        link.connect()
        instrument = sim.instrument
        sim.faults.delay = 1.05 * TIMEOUT
        for name in ["ndr 0", "serial", "ndr 0", "serial", "model", "serial"]:
            outcome(link, instrument, name)
        sim.faults.clear()
        time.sleep(4 * TIMEOUT)
        assert call(link, instrument, "serial") == instrument.instrument_serial
        link.disconnect()
