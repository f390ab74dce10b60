"""Module surface: exception hierarchy, logger, import behaviour."""

import importlib
import importlib.util
import logging

import pytest
import serial

import velmo_device_communication as vdc

HIERARCHY = [
    ("VelmoDeviceError", "Exception", "Base exception for all VELMO device errors"),
    ("VelmoConnectionError", "VelmoDeviceError", "Raised when connection/disconnection fails"),
    ("VelmoCommunicationError", "VelmoDeviceError", "Raised when serial communication fails"),
    ("VelmoTimeoutError", "VelmoCommunicationError", "Raised when a command times out"),
    ("VelmoProtocolError", "VelmoDeviceError", "Raised when protocol/checksum validation fails"),
    ("VelmoInvalidParameterError", "VelmoDeviceError", "Raised when invalid parameters are provided"),
    ("VelmoDeviceNotFoundError", "VelmoDeviceError", "Raised when device discovery fails"),
    ("VelmoCalibrationError", "VelmoDeviceError", "Raised when calibration data is invalid or missing"),
    ("VelmoTEDSError", "VelmoDeviceError", "Base exception for TEDS-related errors"),
    ("VelmoTEDSNotSupportedError", "VelmoTEDSError", "Raised when device doesn't support TEDS"),
    ("VelmoTEDSNotConnectedError", "VelmoTEDSError", "Raised when TEDS sensor is not physically connected"),
    ("VelmoTEDSDataCorruptedError", "VelmoTEDSError", "Raised when TEDS data checksum/parsing fails"),
]


@pytest.mark.parametrize("name, base, doc", HIERARCHY, ids=[row[0] for row in HIERARCHY])
def test_exception_class(name, base, doc):
    cls = getattr(vdc, name)
    assert cls.__bases__ == (getattr(vdc, base, Exception),)
    assert (cls.__doc__, cls.__module__, cls.__qualname__) == (doc, "velmo_device_communication", name)
    # Plain subclasses: nothing of their own besides the docstring, no pyserial ancestry.
    assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}
    assert not issubclass(cls, serial.SerialException)


def test_logger_is_the_named_module_logger():
    assert vdc.logger is logging.getLogger("velmo_device_communication")
    assert vdc.logger.handlers == [] and vdc.logger.level == logging.NOTSET  # the application's business


def test_import_runs_the_body_once():
    token = vdc._DEVICE_CREATION_TOKEN
    assert importlib.import_module("velmo_device_communication") is vdc and vdc._DEVICE_CREATION_TOKEN is token
    spec = importlib.util.find_spec("velmo_device_communication")
    with pytest.raises(RuntimeError) as info:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    assert str(info.value) == (
        "Module 'velmo_device_communication' has already been imported. Re-initialisation is not supported.")
    assert importlib.import_module("velmo_device_communication") is vdc and vdc._DEVICE_CREATION_TOKEN is token
