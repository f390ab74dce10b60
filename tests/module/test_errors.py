"""Module surface: exception hierarchy, logger, import behaviour."""

import gc
import importlib
import importlib.util
import logging
import sys

import pytest
import serial

import velmo_device_communication as vdc
from support.isolated import last_line, run_python

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


# --- the module's state lives in the module object --------------------------------------

STATE_HOLDS = ["ADCConverter", "TEDSData", "StreamReading", "StreamConversionResult", "VelmoDeviceError",
               "VelmoTEDSDataCorruptedError", "_Command", "_CommandOperations"]


def test_the_module_state_is_visible_to_the_collector():
    referents = gc.get_referents(vdc)
    assert [name for name in STATE_HOLDS if not any(r is getattr(vdc, name) for r in referents)] == []


def test_a_failed_import_leaves_nothing_behind_and_the_next_one_succeeds():
    assert last_line("""
        import functools
        import gc

        real_wraps = functools.wraps

        def failing_wraps(wrapped, *arguments, **keywords):
            if getattr(wrapped, "__name__", None) == "send_sequence":  # while the link class is made
                raise RuntimeError("no wrappers today")
            return real_wraps(wrapped, *arguments, **keywords)

        def module_types():
            gc.collect()
            return [t.__name__ for t in gc.get_objects()
                    if isinstance(t, type) and t.__module__ == "velmo_device_communication"]

        functools.wraps = failing_wraps
        try:
            import velmo_device_communication
        except RuntimeError as error:
            print(error)
        left = module_types()
        functools.wraps = real_wraps
        import velmo_device_communication as vdc

        assert vdc.ADCConverter().convert_adc(1) == 0.0
        print(left, module_types().count("ADCConverter"))
    """) == "[] 1"


GUARD_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
SUBINTERPRETERS = {
    # An interpreter that shares its modules reaches the module's own guard.
    "shared": ("import _testcapi\n"
               "_testcapi.run_in_subinterp('import velmo_device_communication')", GUARD_MESSAGE),
    # One that isolates them is refused by the interpreter itself, from the module's slots
    # (3.12 on); 3.11 has no such slot and leaves it to the guard.
    "isolated": ("try:\n    import _interpreters as interpreters\n"
                 "except ImportError:\n    import _xxsubinterpreters as interpreters\n"
                 # 3.13 returns the failure, earlier versions raise it.
                 "failure = interpreters.run_string(interpreters.create(), 'import velmo_device_communication')\n"
                 "if failure:\n    raise SystemExit(failure.formatted)",
                 "does not support loading in subinterpreters" if sys.version_info >= (3, 12) else GUARD_MESSAGE),
}


@pytest.mark.parametrize("run, message", SUBINTERPRETERS.values(), ids=SUBINTERPRETERS.keys())
def test_a_second_interpreter_cannot_load_the_module(run, message):
    pytest.importorskip("_testcapi")  # a build without the test modules has no interpreters to make
    result = run_python("import velmo_device_communication\n" + run)
    assert "ImportError" in result.stderr and message in result.stderr
