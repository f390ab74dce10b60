// The command descriptor and the table of every command of the instrument protocol.
#include "protocol/commands.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "protocol/protocol.hpp"

#include <utility>

namespace velmo {

namespace {

PyObject *Names::*const command_fields[7] = {&Names::command_high_byte, &Names::command_low_byte,
                                             &Names::command_length,    &Names::arguments_length,
                                             &Names::payload_length,    &Names::payload_type,
                                             &Names::receive_length};

const Method command_init{
    "__init__", nullptr,
    parameters(required("command_high_byte"), required("command_low_byte"),
               required("command_length"), required("arguments_length"), required("payload_length"),
               required("receive_length"), optional("payload_type", "'NA'")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object payload_type = args[6] ? nb::borrow(args[6]) : nb::str("NA");
        // Stored in the descriptor's own attribute order, which differs from the parameters'.
        PyObject *values[] = {args[0], args[1], args[2], args[3], args[4], payload_type.ptr(),
                              args[5]};
        const Names &known = names();
        for (size_t i = 0; i < 7; ++i)
            if (PyObject_SetAttr(self.ptr(), known.*command_fields[i], values[i]) < 0)
                throw nb::python_error();
        return nb::none();
    }};

const Method to_byte_array{
    "toByteArray", "Return the four header bytes of the command frame.", parameters(),
    [](nb::handle self, PyObject **) -> nb::object {
        nb::object header = checked(PyList_New(4));
        const Names &known = names();
        PyObject *parts[] = {known.command_length, known.command_high_byte, known.command_low_byte};
        PyList_SET_ITEM(header.ptr(), 0, new_int(0).release().ptr());
        for (size_t i = 0; i < 3; ++i)
            PyList_SET_ITEM(header.ptr(), i + 1, attribute(self, parts[i]).release().ptr());
        return checked(PyObject_CallOneArg((PyObject *)&PyByteArray_Type, header.ptr()));
    }};

struct CommandRow {
    const char *property;
    int high, low, command_length, arguments_length, payload_length, receive_length;
    const char *payload_type; // nullptr: the descriptor's default
};

constexpr CommandRow command_table[] = {
    {"Get_Model_Number_Command", 1, 1, 5, 0, 10, 15, "ascii"},
    {"Get_Board_Temperature", 0, 7, 5, 0, 4, 9, "int"},
    {"Get_Ndr_Command", 0, 5, 6, 1, 4, 9, "int"},
    // The only row whose payload type is a number, and which expects no answer.
    {"Slave_Activity_Inquiry_Command", 0, 1, 5, 0, 5, 0, nullptr},
    {"Get_Sampling_Rate_Command", 3, 30, 6, 1, 1, 6, "int"},
    {"Set_Sampling_Rate_Command", 4, 30, 7, 2, 0, 5, nullptr},
    {"Get_Number_Of_Loading_Points_Command", 3, 23, 6, 1, 1, 6, "int"},
    {"Get_Load_Of_Loading_Point_Command", 3, 24, 7, 2, 4, 9, "float"},
    {"Get_Loading_Point_Value_Command", 3, 25, 7, 2, 4, 9, "int"},
    {"Get_Number_Of_Directions_Command", 3, 11, 6, 1, 1, 6, "int"},
    {"Set_Load_Of_Loading_Point_Command", 4, 24, 11, 2, 4, 5, "int"},
    {"Set_Loading_Point_Value_Command", 4, 25, 11, 2, 4, 5, "int"},
    {"Set_Number_Of_Directions_Command", 4, 11, 7, 2, 0, 5, "int"},
    {"Set_Streaming_State_Command", 0, 12, 6, 1, 0, 5, "raw"},
    {"Get_Instrument_Serial_Number_Command", 1, 0, 5, 0, 4, 9, "int"},
    {"Get_Sensor_Serial_Number_Command", 3, 0, 6, 1, 4, 9, "int"},
    {"Get_Item_Number_Command", 1, 2, 5, 0, 10, 15, "ascii"},
    {"Get_Device_Channel_Selected_Profile_Command", 1, 10, 6, 1, 1, 6, "int"},
    {"Set_Device_Channel_Selected_Profile_Command", 2, 10, 7, 2, 0, 5, nullptr},
    {"Get_Device_Unit_Of_Measure_Command", 3, 12, 6, 1, 1, 6, "int"},
    {"Set_Device_Unit_Of_Measure_Command", 4, 12, 7, 2, 0, 5, nullptr},
    {"Get_TEDS_Laser_Command", 1, 31, 5, 0, 8, 13, "raw"},
    {"Get_TEDS_Data_Command", 1, 30, 6, 1, 32, 37, "raw"},
    {"TEDS_Is_Connected_Command", 1, 32, 5, 0, 1, 6, "int"},
    {"Get_Auto_TEDS_Command", 1, 33, 5, 0, 1, 6, "int"},
    {"Get_Auto_TEDS_V1_Command", 1, 34, 5, 0, 1, 6, "int"},
    {"Set_Auto_TEDS_Command", 2, 33, 6, 1, 0, 5, nullptr},
    {"Set_Auto_TEDS_V1_Command", 2, 34, 6, 1, 0, 5, nullptr},
    {"Set_All_TEDS_Data_Command", 2, 29, 5, 0, 0, 5, nullptr},
    {"Get_Firmware_Version_With_Patch_Command", 1, 4, 5, 0, 3, 8, "hex_string"},
};

constexpr size_t ndr_row = 2;
constexpr size_t slave_activity_row = 3;

nb::object new_command(const CommandRow &row) {
    PyObject *command_class = state().command_class;
    nb::object payload_type;
    if (row.payload_type)
        payload_type = nb::str(row.payload_type);
    else if (&row == &command_table[slave_activity_row])
        payload_type = new_int(5);
    if (payload_type.is_valid())
        return checked(PyObject_CallFunction(
            command_class, "iiiiiiO", row.high, row.low, row.command_length, row.arguments_length,
            row.payload_length, row.receive_length, payload_type.ptr()));
    return checked(PyObject_CallFunction(command_class, "iiiiii", row.high, row.low,
                                         row.command_length, row.arguments_length,
                                         row.payload_length, row.receive_length));
}

template <size_t Row> PyObject *command_getter(PyObject *self, PyObject *) noexcept {
    CallScope scope(self);
    return guarded_call([&] {
        if constexpr (Row == ndr_row)
            return attribute(self, names().ndr_command);
        else
            return new_command(command_table[Row]);
    });
}

template <size_t Row> PyMethodDef *getter_def() {
    static PyMethodDef def = {command_table[Row].property, command_getter<Row>, METH_NOARGS,
                              nullptr};
    return &def;
}

template <size_t... Rows>
void add_command_properties(nb::handle cls, std::index_sequence<Rows...>) {
    PyMethodDef *getters[] = {getter_def<Rows>()...};
    for (PyMethodDef *def : getters) {
        nb::object getter = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
        nb::object property =
            checked(PyObject_CallOneArg((PyObject *)&PyProperty_Type, getter.ptr()));
        if (PyObject_SetAttrString(cls.ptr(), def->ml_name, property.ptr()) < 0)
            throw nb::python_error();
    }
}

const Method command_operations_init{"__init__", nullptr, parameters(),
                                     [](nb::handle self, PyObject **) -> nb::object {
                                         nb::object ndr = new_command(command_table[ndr_row]);
                                         self.attr(names().ndr_command) = ndr;
                                         return nb::none();
                                     }};

} // namespace

void bind_commands(nb::module_ &m) {
    nb::object command = make_class(m, "_Command", nullptr);
    add_initializer(command, method_def<command_init>());
    add_method(command, method_def<to_byte_array>());
    state().command_class = command.release().ptr();

    nb::object operations = make_class(m, "_CommandOperations", nullptr);
    add_initializer(operations, method_def<command_operations_init>());
    add_command_properties(operations, std::make_index_sequence<std::size(command_table)>());
    bind_frames(operations);
    state().command_operations_class = operations.release().ptr();
}

nb::object new_command_operations() {
    return checked(PyObject_CallNoArgs(state().command_operations_class));
}

} // namespace velmo
