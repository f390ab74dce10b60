"""Enumerations and the TEDS unit table."""

import enum

import pytest

import velmo_device_communication as vdc

UNITS = (
    "atm bar dyn ft_H2O ft_lb gram g_cm g_mm inch_H2O inch_lb inch_oz k_dyn kg kg_cm kg_cm_sq kg_m k_lb k_N "
    "k_Pa k_P_si lb m_dyn mm_Hg m_Nm M_Pa MT N Ncm Nm Nmm oz psi Pa ST mVV uA mA A mm cm dm m km inch ft yd "
    "mi ug mg LT mbar C F K Ra kNm gm nV uV mV V kV none mN"
).split() + ["Ohms", "Undefined"]
HDA640 = ("SPS_2_5 SPS_5 SPS_10 SPS_16_6 SPS_20 SPS_50 SPS_60 SPS_100 SPS_400 SPS_1200 SPS_2400 SPS_4800 "
          "SPS_7200 SPS_14000 SPS_19200 SPS_38400").split()
EIGHT = "SPS_4 SPS_20 SPS_50 SPS_100 SPS_200 SPS_500 SPS_850 SPS_1300".split()
EXPECTED = {
    "UnitOfMeasureEnum": list(zip(UNITS, [*range(64), 254, 255])),
    "HDA640SamplingRateEnum": list(zip(HDA640, range(16))),
    **{f"{model}SamplingRateEnum": list(zip(EIGHT, range(8))) for model in ("RPX310", "TMV520", "GLS870")},
}


@pytest.mark.parametrize("name", EXPECTED)
def test_members_in_definition_order(name):
    cls = getattr(vdc, name)
    assert [(m.name, m.value) for m in cls] == EXPECTED[name]
    assert list(cls.__members__) == [n for n, _ in EXPECTED[name]]  # no aliases
    # Plain enumeration: members are not integers and do not equal their codes.
    assert cls.__bases__ == (enum.Enum,) and all(type(m.value) is int and m != m.value for m in cls)


@pytest.mark.parametrize("code, member", [(56, "gm"), (62, "none"), (254, "Ohms"), (64, None), (253, None), (256, None)])
def test_unit_lookup(code, member):
    if member is None:
        with pytest.raises(ValueError):
            vdc.UnitOfMeasureEnum(code)
    else:
        assert vdc.UnitOfMeasureEnum(code) is vdc.UnitOfMeasureEnum[member]


@pytest.mark.parametrize("model", ["RPX310", "TMV520", "GLS870"])
def test_eight_rate_docstrings(model):
    assert getattr(vdc, f"{model}SamplingRateEnum").__doc__ == (
        f"\n    Sampling rates available for {model} devices.\n\n    Supports rates from 4 SPS to 1300 SPS.\n\n"
        "    Available rates: 4, 20, 50, 100, 200, 500, 850, 1300 samples per second.\n    ")


def test_teds_unit_mapping():
    assert type(vdc._TEDS_UNIT_MAPPING) is dict
    assert list(vdc._TEDS_UNIT_MAPPING.items()) == [
        (0, "\u00b0K"), (1, "\u00b0C"), (4, "N"), (5, "lb"), (10, "N-m"), (11, "in-oz"), (12, "Pa"),
        (13, "psi"), (14, "kg"), (15, "g"), (16, "m"), (17, "mm"), (18, "in")]
