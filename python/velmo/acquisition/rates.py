"""Sampling rates: the module's enumeration members and what they stand for."""

from __future__ import annotations

import enum

import velmo_device_communication as vdc

from .. import models

ENUMERATION_SUFFIX = "SamplingRateEnum"


def rate_enumeration(model: str) -> type[enum.Enum]:
    """The sampling-rate enumeration of an instrument model such as ``"HDA640"``."""
    enumeration: type[enum.Enum] | None = getattr(vdc, f"{model.strip().upper()}{ENUMERATION_SUFFIX}", None)
    if enumeration is None:
        raise ValueError(f"No sampling rates are known for the instrument model {model!r}")
    return enumeration


def model_of(rate: enum.Enum) -> models.Model:
    """The model whose enumeration ``rate`` is a member of."""
    return models.model(type(rate).__name__.removesuffix(ENUMERATION_SUFFIX))


def samples_per_second(rate: enum.Enum) -> float:
    """The rate a member stands for: ``SPS_16_6`` is 16.6."""
    return model_of(rate).samples_per_second(rate.value)


def packet_size(rate: enum.Enum) -> int:
    """Bytes per stream packet at ``rate``."""
    return model_of(rate).packet_size(rate.value)


def resolve_rate(model: str, rate: str | enum.Enum) -> enum.Enum:
    """The member of the model's enumeration that ``rate`` (a name or member) names.

    :raises ValueError: If the model has no such rate
    """
    enumeration = rate_enumeration(model)
    if isinstance(rate, enumeration):
        return rate
    if isinstance(rate, str) and rate in enumeration.__members__:
        return enumeration[rate]
    allowed = ", ".join(enumeration.__members__)
    raise ValueError(f"{rate!r} is not a sampling rate of the {model}; allowed: {allowed}")
