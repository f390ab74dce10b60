"""Command descriptors and the command table."""

import pytest

import velmo_device_communication as vdc

FIELDS = ("command_high_byte", "command_low_byte", "command_length", "arguments_length",
          "payload_length", "receive_length", "payload_type")

# property: (high, low, command_length, arguments_length, payload_length, receive_length, payload_type)
TABLE = {
    "Get_Model_Number_Command": (1, 1, 5, 0, 10, 15, "ascii"),
    "Get_Board_Temperature": (0, 7, 5, 0, 4, 9, "int"),
    "Get_Ndr_Command": (0, 5, 6, 1, 4, 9, "int"),
    "Slave_Activity_Inquiry_Command": (0, 1, 5, 0, 5, 0, 5),
    "Get_Sampling_Rate_Command": (3, 30, 6, 1, 1, 6, "int"),
    "Set_Sampling_Rate_Command": (4, 30, 7, 2, 0, 5, "NA"),
    "Get_Number_Of_Loading_Points_Command": (3, 23, 6, 1, 1, 6, "int"),
    "Get_Load_Of_Loading_Point_Command": (3, 24, 7, 2, 4, 9, "float"),
    "Get_Loading_Point_Value_Command": (3, 25, 7, 2, 4, 9, "int"),
    "Get_Number_Of_Directions_Command": (3, 11, 6, 1, 1, 6, "int"),
    "Set_Load_Of_Loading_Point_Command": (4, 24, 11, 2, 4, 5, "int"),
    "Set_Loading_Point_Value_Command": (4, 25, 11, 2, 4, 5, "int"),
    "Set_Number_Of_Directions_Command": (4, 11, 7, 2, 0, 5, "int"),
    "Set_Streaming_State_Command": (0, 12, 6, 1, 0, 5, "raw"),
    "Get_Instrument_Serial_Number_Command": (1, 0, 5, 0, 4, 9, "int"),
    "Get_Sensor_Serial_Number_Command": (3, 0, 6, 1, 4, 9, "int"),
    "Get_Item_Number_Command": (1, 2, 5, 0, 10, 15, "ascii"),
    "Get_Device_Channel_Selected_Profile_Command": (1, 10, 6, 1, 1, 6, "int"),
    "Set_Device_Channel_Selected_Profile_Command": (2, 10, 7, 2, 0, 5, "NA"),
    "Get_Device_Unit_Of_Measure_Command": (3, 12, 6, 1, 1, 6, "int"),
    "Set_Device_Unit_Of_Measure_Command": (4, 12, 7, 2, 0, 5, "NA"),
    "Get_TEDS_Laser_Command": (1, 31, 5, 0, 8, 13, "raw"),
    "Get_TEDS_Data_Command": (1, 30, 6, 1, 32, 37, "raw"),
    "TEDS_Is_Connected_Command": (1, 32, 5, 0, 1, 6, "int"),
    "Get_Auto_TEDS_Command": (1, 33, 5, 0, 1, 6, "int"),
    "Get_Auto_TEDS_V1_Command": (1, 34, 5, 0, 1, 6, "int"),
    "Set_Auto_TEDS_Command": (2, 33, 6, 1, 0, 5, "NA"),
    "Set_Auto_TEDS_V1_Command": (2, 34, 6, 1, 0, 5, "NA"),
    "Set_All_TEDS_Data_Command": (2, 29, 5, 0, 0, 5, "NA"),
    "Get_Firmware_Version_With_Patch_Command": (1, 4, 5, 0, 3, 8, "hex_string"),
}


def attributes(command):
    return tuple(getattr(command, name) for name in FIELDS)


@pytest.mark.parametrize("name, row", TABLE.items(), ids=list(TABLE))
def test_command_row(name, row):
    ops = vdc._CommandOperations()
    command = getattr(ops, name)
    assert type(command) is vdc._Command and not callable(command)
    assert attributes(command) == row
    assert [type(v) for v in attributes(command)] == [int] * 6 + [type(row[6])]
    # Read-only: assignment and deletion are refused and the table stays as it was.
    for change in (lambda: setattr(ops, name, vdc._Command(9, 9, 9, 9, 9, 9)), lambda: delattr(ops, name)):
        with pytest.raises(AttributeError):
            change()
    assert attributes(getattr(ops, name)) == row


def test_table_is_complete_and_in_order():
    properties = [n for n, v in vars(vdc._CommandOperations).items() if isinstance(v, property)]
    assert properties == list(TABLE)


def test_only_the_ndr_descriptor_is_shared():
    ops = vdc._CommandOperations()
    assert ops.Get_Ndr_Command is ops.Get_Ndr_Command is ops.ndr_command
    assert vdc._CommandOperations().Get_Ndr_Command is not ops.ndr_command
    first, second = ops.Get_Model_Number_Command, ops.Get_Model_Number_Command
    assert first is not second and attributes(first) == attributes(second)
    first.command_length = 99  # a fresh descriptor is the caller's to change
    assert ops.Get_Model_Number_Command.command_length == 5


@pytest.mark.parametrize(
    "args, expected",
    [((1, 2, 3, 4, 5, 6), (1, 2, 3, 4, 5, 6, "NA")), ((300, -1, "x", None, 2.5, [1], 7), (300, -1, "x", None, 2.5, [1], 7))],
)
def test_command_constructor_stores_values_unvalidated(args, expected):
    command = vdc._Command(*args)
    assert attributes(command) == expected
    assert list(vars(command)) == list(FIELDS[:5]) + ["payload_type", "receive_length"]
    assert attributes(vdc._Command(**dict(zip(FIELDS, expected)))) == expected
    for arity in (5, 8):
        with pytest.raises(TypeError):
            vdc._Command(*range(arity))


def test_to_byte_array():
    header = vdc._CommandOperations().Get_Model_Number_Command.toByteArray()
    assert type(header) is bytearray and header == b"\x00\x05\x01\x01"
    assert vdc._Command(255, 0, 255, 0, 0, 5).toByteArray() == b"\x00\xff\xff\x00"
    for values in ((1, 1, 256), (1, -1, 5)):
        with pytest.raises(ValueError):
            vdc._Command(*values, 0, 0, 5).toByteArray()
