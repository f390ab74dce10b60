"""What velmo knows of each instrument model, in one table.

Discovery takes the line rates to try from here, the acquisition the sampling rates
and packet sizes, the simulator all of it. The module's ``<MODEL>SamplingRateEnum``
enumerations name the same rates by code; the test suite holds the two together.
"""

from __future__ import annotations

import dataclasses

# The stream's fastest rate, on the one variant of the HDA640 that has it, comes in
# 3-byte packets; every other rate in 4-byte packets.
HIGH_RATE_SPS = 38400.0
HIGH_RATE_PACKET_SIZE = 3
STANDARD_PACKET_SIZE = 4
# The HDA640 Zeph Orvale: TEDS support and the 38 400 SPS stream.
ORVALE_ITEM_NUMBER = "QKT08812"


@dataclasses.dataclass(frozen=True)
class Model:
    """One instrument model.

    ``baud_rates``: the line rates an instrument of the model may speak, in the order
    they are tried; the first is its factory setting. ``sampling_rates``: samples per
    second by rate code. ``high_rate_code``: the code of the 38 400 SPS rate, on the
    model that has it (only its Zeph Orvale variant streams at it).
    """

    name: str
    baud_rates: tuple[int, ...]
    sampling_rates: tuple[float, ...]
    high_rate_code: int | None = None

    @property
    def default_baud_rate(self) -> int:
        return self.baud_rates[0]

    def samples_per_second(self, code: int) -> float:
        """The rate of ``code``.

        :raises ValueError: If the model has no such code
        """
        if not 0 <= code < len(self.sampling_rates):
            raise ValueError(f"{code!r} is not a sampling rate code of the {self.name}")
        return self.sampling_rates[code]

    def packet_size(self, code: int) -> int:
        """Bytes per stream packet at rate ``code``."""
        return HIGH_RATE_PACKET_SIZE if code == self.high_rate_code else STANDARD_PACKET_SIZE


_TRANSDUCER_RATES = (4.0, 20.0, 50.0, 100.0, 200.0, 500.0, 850.0, 1300.0)

MODELS: dict[str, Model] = {
    model.name: model
    for model in (
        Model(
            "HDA640",
            (2_000_000,),
            (2.5, 5.0, 10.0, 16.6, 20.0, 50.0, 60.0, 100.0, 400.0, 1200.0, 2400.0, 4800.0, 7200.0, 14000.0,
             19200.0, HIGH_RATE_SPS),
            high_rate_code=15,
        ),
        Model("RPX310", (320_000, 115_200), _TRANSDUCER_RATES),
        Model("TMV520", (320_000, 115_200), _TRANSDUCER_RATES),
        Model("GLS870", (320_000, 115_200), _TRANSDUCER_RATES),
    )
}
MODEL_NAMES = tuple(MODELS)


def model(name: str) -> Model:
    """The model called ``name``, in any case and with surrounding blanks.

    :raises ValueError: If no such model is known
    """
    found = MODELS.get(name.strip().upper())
    if found is None:
        raise ValueError(f"unknown model {name!r}; known models: {', '.join(MODEL_NAMES)}")
    return found
