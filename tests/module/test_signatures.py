"""What inspect and a wrong call show of every public callable: its documented parameters."""

import inspect

import pytest

import velmo_device_communication as vdc

# Each callable with its documented parameter list, `self` and `cls` left out.
PARAMETER_LISTS = {
    "retry_on_timeout": "(max_attempts=3, delay=0.1)",
    "_Command": "(command_high_byte, command_low_byte, command_length, arguments_length, payload_length, "
                "receive_length, payload_type='NA')",
    "_Command.toByteArray": "()",
    "_CommandOperations": "()",
    # The shared default is an empty bytearray; inspect can only show the equal b''.
    "_CommandOperations.get_command_byte_array": "(command, arguments=b'')",
    "_CommandOperations.calculate_checksum": "(byte_array)",
    "_CommandOperations.validate_response_checksum": "(response_bytes)",
    "_CommandOperations.convert_payload": "(length, return_type, payload_byte_array)",
    "_SerialCommunicationInterface": "(comport, baud_rate=9600, timeout=1)",
    "_SerialCommunicationInterface.connect": "()",
    "_SerialCommunicationInterface.disconnect": "()",
    "_SerialCommunicationInterface.get_model_number": "()",
    "_SerialCommunicationInterface.get_item_number": "()",
    "_SerialCommunicationInterface.read_buffer_data": "()",
    "_SerialCommunicationInterface.send_command_with_response": "(command_bytes, command_length)",
    "_SerialCommunicationInterface.send_convert_return_sequence": "(command, arguments=b'')",
    "_SerialCommunicationInterface.send_sequence": "(command, arguments=b'')",
    "_SerialCommunicationInterface.get_number_of_loading_points": "(profile_number)",
    "_SerialCommunicationInterface.get_board_temperature": "()",
    "_SerialCommunicationInterface.get_load_of_loading_point": "(profile_number, point_index)",
    "_SerialCommunicationInterface.get_loading_point_value": "(profile_number, point_index)",
    "_SerialCommunicationInterface.get_ndr": "(channel_number)",
    "_SerialCommunicationInterface.set_load_of_loading_point": "(profile_number, point_index, load_value)",
    "_SerialCommunicationInterface.set_adc_of_loading_point": "(profile_number, point_index, adc_value)",
    "_SerialCommunicationInterface.get_number_of_directions": "(profile_number)",
    "_SerialCommunicationInterface.set_number_of_directions": "(profile_number, number_of_directions)",
    "_SerialCommunicationInterface.set_streaming_state": "(stream_enabled)",
    "_SerialCommunicationInterface.get_sampling_rate": "(profile_number)",
    "_SerialCommunicationInterface.set_sampling_rate": "(profile_number, samples_per_second)",
    "_SerialCommunicationInterface.get_instrument_serial_number": "()",
    "_SerialCommunicationInterface.get_sensor_serial_number": "(profile)",
    "_SerialCommunicationInterface.get_device_channel_selected_profile": "(channel_number)",
    "_SerialCommunicationInterface.set_device_channel_selected_profile": "(channel_number, profile_number)",
    "_SerialCommunicationInterface.get_unit_of_measure": "(profile_number)",
    "_SerialCommunicationInterface.set_unit_of_measure": "(profile_number, unit_of_measure)",
    "_SerialCommunicationInterface.load_adc_converter": "(profile)",
    "_SerialCommunicationInterface._validate_teds_support": "()",
    "_SerialCommunicationInterface.teds_is_connected": "()",
    "_SerialCommunicationInterface.get_teds_laser": "()",
    "_SerialCommunicationInterface.get_auto_teds": "()",
    "_SerialCommunicationInterface.get_auto_teds_v1": "()",
    "_SerialCommunicationInterface.get_firmware_version_with_patch": "()",
    "_SerialCommunicationInterface.generate_all_teds_data": "()",
    "_SerialCommunicationInterface.get_teds_data": "(page_number)",
    "_SerialCommunicationInterface.set_auto_teds": "(is_set)",
    "_SerialCommunicationInterface.set_auto_teds_v1": "(is_set)",
    "TEDSData": "()",
    "TEDSData.bytes_to_bits": "(byte_array, skip_checksums=False)",
    "TEDSData.bits_to_int": "(bit_array, start_index, length)",
    "TEDSData.bits_to_float": "(bit_array, start_index)",
    "TEDSData.parse_from_bytes": "(raw_bytes, template_byte)",
    "VelmoDevice.initialize_teds": "()",
    "VelmoDevice.teds_is_connected": "()",
    "VelmoDevice.get_teds_template": "()",
    "VelmoDevice.get_teds_serial_number": "()",
    "VelmoDevice.get_teds_engineering_unit": "()",
    "VelmoDevice.get_teds_max_capacity": "()",
    "VelmoDevice.get_auto_teds": "()",
    "VelmoDevice.reload_teds_data": "()",
    "VelmoDevice.supports_teds": "()",
    "VelmoDevice.pre_teds_operations": "()",
    "VelmoDevice.post_teds_operations": "()",
    "VelmoDevice._should_use_auto_teds_v1": "()",
    "VelmoDevice.set_auto_teds": "(enabled)",
    "VelmoDevice._load_teds_calibration_hda640": "(teds_data, profile)",
    "ADCConverter": "()",
    "ADCConverter._set_midpoint_offset": "()",
    "ADCConverter.calculate_for_direction_1": "(ndr_adc)",
    "ADCConverter.calculate_for_direction_2": "(ndr_adc)",
    "ADCConverter.convert_adc": "(ndr_adc)",
    "StreamReading": "(calibrated_value, adc_value)",
    "StreamConversionResult": "(readings, remainder)",
    "StreamDataConverter": "()",
    "StreamDataConverter.convert_stream_data_to_reading": "(data, adc_converter)",
    "StreamDataConverter.convert_stream_data_to_reading_38_kHz": "(data, adc_converter)",
    "VelmoDevice": "(communication_interface, *, _internal_token=None)",
    "VelmoDevice.get_ndr": "(channel_number=0)",
    "VelmoDevice.get_model_number": "()",
    "VelmoDevice.disconnect": "()",
    "VelmoDevice.get_number_of_loading_points": "(channel_number=0)",
    "VelmoDevice.get_reading": "(channel_number=0)",
    "VelmoDevice.get_load_of_loading_point": "(point_index, channel_number=0)",
    "VelmoDevice.get_loading_point_value": "(point_index, channel_number=0)",
    "VelmoDevice.set_adc_of_loading_point": "(point_index, adc_value, calibration_direction=None, channel_number=0)",
    "VelmoDevice.set_load_of_loading_point": "(point_index, load_value, channel_number=0)",
    "VelmoDevice.get_number_of_directions": "(channel_number=0)",
    "VelmoDevice.set_number_of_directions": "(number_of_directions, channel_number=0)",
    "VelmoDevice.set_stream_state": "(stream_enabled)",
    "VelmoDevice.get_stream_data": "()",
    "VelmoDevice.get_sampling_rate": "(channel_number=0)",
    "VelmoDevice.set_sampling_rate": "(samples_per_second, channel_number=0)",
    "VelmoDevice.set_sampling_rate_value": "(samples_per_second, channel_number=0)",
    "VelmoDevice.get_instrument_serial_number": "()",
    "VelmoDevice.get_sensor_serial_number": "(channel_number=0)",
    "VelmoDevice.get_device_channel_selected_profile": "(channel_number=0)",
    "VelmoDevice.set_device_channel_selected_profile": "(channel_number, profile_number)",
    "VelmoDevice.get_unit_of_measure": "(channel_number=0)",
    "VelmoDevice.set_unit_of_measure": "(unit_of_measure, channel_number=0)",
    "VelmoDevice.get_board_temperature": "()",
    "VelmoDevice.get_adc_converter": "()",
    "VelmoDevice.get_adc_for_profile": "(profile_number)",
    "VelmoDevice.__enter__": "()",
    "VelmoDevice.__exit__": "(exc_type, exc_val, exc_tb)",
    "VelmoSerialScanner": "()",
    "VelmoSerialScanner.discover_devices": "(device_models=None, comports=None)",
}


def lookup(path):
    target = vdc
    for part in path.split("."):
        target = getattr(target, part)
    return target


def documented_form(signature):
    """The signature as the documentation writes it: no receiver, no positional-only marker."""
    parameters = [p for p in signature.parameters.values() if p.name not in ("self", "cls")]
    parameters = [p.replace(kind=inspect.Parameter.POSITIONAL_OR_KEYWORD)
                  if p.kind is inspect.Parameter.POSITIONAL_ONLY else p for p in parameters]
    return str(signature.replace(parameters=parameters))


@pytest.mark.parametrize("path, expected", PARAMETER_LISTS.items(), ids=list(PARAMETER_LISTS))
def test_signature_is_the_documented_parameter_list(path, expected):
    target = lookup(path)
    assert documented_form(inspect.signature(target)) == expected
    if not isinstance(target, type):
        # The signature line is not part of the docstring.
        assert target.__doc__ is None or not target.__doc__.startswith(target.__name__ + "(")


def test_bound_methods_and_retried_wrappers_show_the_parameters_after_self():
    link = vdc._SerialCommunicationInterface("COM1")
    assert str(inspect.signature(link.send_sequence)) == "(command, arguments=b'')"
    assert str(inspect.signature(link.commands.convert_payload)) == "(length, return_type, payload_byte_array)"
    assert vdc.StreamReading.__doc__ == "Single reading from stream data."


def test_every_public_callable_of_the_module_is_covered():
    public = set()
    for name, value in vars(vdc).items():
        if name.startswith("__") or getattr(value, "__module__", None) != vdc.__name__:
            continue
        if isinstance(value, type) and issubclass(value, BaseException) or not callable(value):
            continue
        if isinstance(value, type) and hasattr(value, "__members__"):  # enumerations
            continue
        public.add(name)
        if isinstance(value, type):
            public.update(f"{name}.{attribute}" for attribute, member in vars(value).items()
                          if callable(getattr(value, attribute)) and not attribute.startswith("__")
                          and not isinstance(member, property))
    assert public - set(PARAMETER_LISTS) == set()


def python_twin(signature):
    namespace = {}
    exec(f"def f{signature}: pass", namespace)
    return namespace["f"]


def message_tail(call):
    with pytest.raises(TypeError) as raised:
        call()
    return str(raised.value).split("() ", 1)[1]


@pytest.mark.parametrize("callable_, signature, args, kwargs", [
    (vdc._Command, "(a, b, c, d, e, f, g='NA')", (), {}),
    (vdc._Command, "(a, b, c, d, e, f, g='NA')", (1, 2), {}),
    (vdc._Command, "(a, b, c, d, e, f, g='NA')", (1, 2, 3, 4), {"e": 5}),
    (vdc.StreamReading, "(calibrated_value, adc_value)", (), {}),
    (vdc.StreamReading, "(calibrated_value, adc_value)", (), {"adc_value": 1}),
    (vdc.StreamDataConverter.convert_stream_data_to_reading, "(data, adc_converter)", (), {}),
    (vdc.retry_on_timeout, "(max_attempts=3, delay=0.1)", (1, 2, 3), {}),
    (vdc.retry_on_timeout, "(max_attempts=3, delay=0.1)", (), {"attempts": 1}),
    (vdc.retry_on_timeout, "(max_attempts=3, delay=0.1)", (1,), {"max_attempts": 1}),
])
def test_call_errors_read_as_cpython_writes_them(callable_, signature, args, kwargs):
    twin = python_twin(signature)
    twin_message = message_tail(lambda: twin(*args, **kwargs))
    names = dict(zip("abcdefg", ["command_high_byte", "command_low_byte", "command_length", "arguments_length",
                                 "payload_length", "receive_length", "payload_type"]))
    if callable_ is vdc._Command:
        for short, full in names.items():
            twin_message = twin_message.replace(f"'{short}'", f"'{full}'")
        kwargs = {names[k]: v for k, v in kwargs.items()}
    assert message_tail(lambda: callable_(*args, **kwargs)) == twin_message
