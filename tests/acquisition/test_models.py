"""velmo.models: the one table of model facts agrees with the module's enumerations and is what the others read."""

import pytest

import velmo_device_communication as vdc
from velmo import discovery, models
from velmo.acquisition import packet_size, rate_enumeration, samples_per_second
from velmo.simulator import protocol


@pytest.mark.parametrize("name", models.MODEL_NAMES)
def test_the_table_names_the_rates_of_the_modules_enumeration(name):
    model = models.model(name.lower())
    enumeration = rate_enumeration(name)
    assert [member.value for member in enumeration] == list(range(len(model.sampling_rates)))
    for member in enumeration:
        assert member.name == "SPS_" + f"{model.sampling_rates[member.value]:g}".replace(".", "_")
        assert samples_per_second(member) == model.sampling_rates[member.value]
    assert discovery.MODEL_BAUD_RATES[name] == model.baud_rates
    assert protocol.default_baud_rate(name) == model.baud_rates[0]
    assert protocol.SAMPLING_RATES[name] == model.sampling_rates


def test_only_the_hda640s_fastest_rate_streams_three_byte_packets():
    rates = vdc.HDA640SamplingRateEnum
    assert packet_size(rates.SPS_38400) == 3 and samples_per_second(rates.SPS_38400) == models.HIGH_RATE_SPS
    assert {packet_size(rate) for rate in rates if rate is not rates.SPS_38400} == {4}
    assert all(packet_size(rate) == 4 for rate in vdc.RPX310SamplingRateEnum)


def test_an_unknown_model_is_refused_naming_the_known_ones():
    with pytest.raises(ValueError, match="unknown model 'XYZ'; known models: HDA640, RPX310, TMV520, GLS870"):
        models.model("XYZ")
