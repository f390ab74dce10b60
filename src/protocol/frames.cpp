// Frame assembly, checksum, answer validation and payload conversion: the byte-level half
// of the protocol, as methods of _CommandOperations.
#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "protocol/checksum.hpp"
#include "protocol/commands.hpp"
#include "protocol/protocol.hpp"

#include <cstring>

namespace velmo {

float little_endian_float(const uint8_t *data) {
    uint32_t bits = (uint32_t)data[0] | ((uint32_t)data[1] << 8) | ((uint32_t)data[2] << 16) |
                    ((uint32_t)data[3] << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

namespace {

uint8_t checksum_of(nb::handle byte_array) {
    const uint8_t *data;
    size_t size;
    if (exact_byte_buffer(byte_array, data, size))
        return weighted_checksum(data, size);
    nb::object iterator = checked(PyObject_GetIter(byte_array.ptr()));
    uint32_t sum = 0;
    uint32_t weight = 1;
    while (PyObject *item = PyIter_Next(iterator.ptr())) {
        nb::object element = nb::steal(item);
        sum += weight++ * to_uint8(element);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return (uint8_t)sum;
}

const Method calculate_checksum{
    "calculate_checksum",
    "Calculate checksum for a byte array.\n\n"
    ":param byte_array: Iterable of byte values\n"
    ":return: Weighted sum of the bytes modulo 256",
    parameters(required("byte_array")),
    [](nb::handle, PyObject **args) -> nb::object { return new_int(checksum_of(args[0])); }};

bool checksum_is_original(nb::handle commands) {
    static OriginalMethod original(method_def<calculate_checksum>(), &Names::calculate_checksum);
    return original.resolves(commands);
}

// The checksum as the commands object computes it: natively unless it is overridden.
nb::object checksum_through(nb::handle commands, nb::handle byte_array) {
    if (checksum_is_original(commands))
        return new_int(checksum_of(byte_array));
    return call_method(commands, names().calculate_checksum, byte_array);
}

nb::object frame_of(nb::handle self, nb::handle command, nb::handle arguments) {
    const ModuleState &module_state = state();
    const Names &known = module_state.names;
    int is_command = PyObject_IsInstance(command.ptr(), module_state.command_class);
    if (is_command < 0)
        throw nb::python_error();
    if (!is_command)
        raise(module_state.protocol_error, "Invalid command type: %S",
              attribute((PyObject *)Py_TYPE(command.ptr()), known.dunder_name));
    try {
        nb::object frame = call_method(command, known.toByteArray);
        call_method(frame, known.extend, arguments);
        nb::object checksum = checksum_through(self, frame);
        call_method(frame, known.append, checksum);
        return frame;
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (e.matches(module_state.protocol_error) || !e.is_ordinary())
            e.rethrow();
        log_error("Error constructing command: %S", e.value());
        raise_from(module_state.protocol_error, e, "Failed to construct command: %S", e.value());
    }
}

void validate(nb::handle self, nb::handle response) {
    Py_ssize_t size = PyObject_Length(response.ptr());
    if (size < 0)
        throw nb::python_error();
    if (size < 2)
        raise(state().protocol_error, "Response too short for checksum validation");
    if (!checksum_holds(self, response, size)) {
        log_error("Checksum mismatch");
        raise(state().protocol_error, "Invalid checksum in response");
    }
}

bool text_equals(nb::handle value, const char *text) {
    if (PyUnicode_CheckExact(value.ptr()))
        return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
    nb::object other = nb::str(text);
    int equal = PyObject_RichCompareBool(value.ptr(), other.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal != 0;
}

nb::object converted_payload(int32_t length, nb::handle return_type, nb::handle answer) {
    if (text_equals(return_type, "raw"))
        return checked(PySequence_GetSlice(answer.ptr(), 4, PY_SSIZE_T_MAX));
    Py_ssize_t size = PyObject_Length(answer.ptr());
    if (size < 0)
        throw nb::python_error();
    const long long expected = (long long)length + 4;
    if (size < expected)
        raise(state().protocol_error, "Payload too short: expected %lld bytes, got %zd", expected,
              size);
    // The numeric answers of every reading are decoded in place.
    const uint8_t *data = nullptr;
    size_t data_size = 0;
    if (PyUnicode_CheckExact(return_type.ptr()) && exact_byte_buffer(answer, data, data_size) &&
        data_size >= (size_t)expected) {
        if (text_equals(return_type, "int") && length >= 0 && length <= 8)
            return checked(PyLong_FromUnsignedLongLong(big_endian_unsigned(data + 4, length)));
        if (text_equals(return_type, "float") && length == 4)
            return new_float(little_endian_float(data + 4));
    }
    nb::object payload = checked(PySequence_GetSlice(answer.ptr(), 4, (Py_ssize_t)expected));
    const Names &known = names();
    if (text_equals(return_type, "hex_string"))
        return call_method(payload, known.hex);
    if (text_equals(return_type, "ascii")) {
        nb::object text = call_method(payload, known.decode, nb::str("ascii"));
        return call_method(text, known.replace, nb::str("\0", 1), nb::str(""));
    }
    if (text_equals(return_type, "int"))
        return call_method((PyObject *)&PyLong_Type, known.from_bytes, payload, nb::str("big"));
    if (text_equals(return_type, "float")) {
        const Py_ssize_t payload_size = PyObject_Length(payload.ptr());
        if (payload_size < 0)
            throw nb::python_error();
        if (payload_size != 4)
            raise(state().protocol_error, "Float conversion requires 4 bytes, got %zd",
                  payload_size);
        nb::object values =
            call_method(module_global(known.struct_), known.unpack, nb::str("<f"), payload);
        return checked(PySequence_GetItem(values.ptr(), 0));
    }
    raise(state().protocol_error, "Unknown payload type: %S", return_type);
}

nb::object convert(nb::handle length, nb::handle return_type, nb::handle answer) {
    int32_t payload_length = to_int32(length);
    try {
        return converted_payload(payload_length, return_type, answer);
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        PyObject *protocol_error = state().protocol_error;
        if (e.matches(protocol_error) || !e.is_ordinary())
            e.rethrow();
        log_error("Payload conversion failed: %S", e.value());
        raise_from(protocol_error, e, "Failed to convert payload: %S", e.value());
    }
}

const Method get_command_byte_array{
    "get_command_byte_array",
    "Construct command byte array with checksum.\n\n"
    ":param command: Command descriptor\n"
    ":param arguments: Argument bytes sent after the header\n"
    ":return: The complete frame, checksum included\n"
    ":raises VelmoProtocolError: If the frame cannot be built",
    // The shared default is an empty bytearray; inspect
    // shows the equal b''.
    parameters(required("command"), optional("arguments", "b''")),
    [](nb::handle self, PyObject **args) -> nb::object {
        return frame_of(self, args[0], args[1] ? args[1] : state().empty_arguments);
    }};

const Method validate_response_checksum{
    "validate_response_checksum",
    "Validate response checksum.\n\n"
    ":param response_bytes: Complete answer, checksum byte last\n"
    ":raises VelmoProtocolError: If the answer is too short or its checksum differs",
    parameters(required("response_bytes")), [](nb::handle self, PyObject **args) -> nb::object {
        validate(self, args[0]);
        return nb::none();
    }};

const Method convert_payload{
    "convert_payload",
    "Convert raw payload bytes to appropriate Python type.\n\n"
    ":param length: Payload length of the command\n"
    ":param return_type: Payload type of the command\n"
    ":param payload_byte_array: Complete answer, header and checksum included\n"
    ":return: The converted payload\n"
    ":raises VelmoProtocolError: If the payload cannot be converted",
    parameters(required("length"), required("return_type"), required("payload_byte_array")),
    [](nb::handle, PyObject **args) -> nb::object { return convert(args[0], args[1], args[2]); }};

} // namespace

bool checksum_holds(nb::handle commands, nb::handle response, Py_ssize_t size) {
    nb::object last = checked(PySequence_GetItem(response.ptr(), size - 1));
    uint8_t received = to_uint8(last);
    const uint8_t *data;
    size_t data_size;
    // The buffer is read after the override check, which may run Python code, and only if
    // its size is still the one the caller saw.
    if (checksum_is_original(commands) && exact_byte_buffer(response, data, data_size) &&
        data_size == (size_t)size)
        return received == weighted_checksum(data, data_size - 1);
    nb::object head = checked(PySequence_GetSlice(response.ptr(), 0, size - 1));
    return received == to_uint8(checksum_through(commands, head));
}

void bind_frames(nb::handle command_operations) {
    add_method(command_operations, method_def<get_command_byte_array>());
    add_method(command_operations, method_def<calculate_checksum>());
    add_method(command_operations, method_def<validate_response_checksum>());
    add_method(command_operations, method_def<convert_payload>());
}

void bind_protocol(nb::module_ &m) {
    bind_commands(m);
}

nb::object build_frame(nb::handle commands, nb::handle command, nb::handle arguments) {
    static OriginalMethod original(method_def<get_command_byte_array>(),
                                   &Names::get_command_byte_array);
    if (original.resolves(commands))
        return frame_of(commands, command, arguments);
    return call_method(commands, names().get_command_byte_array, command, arguments);
}

void validate_response(nb::handle commands, nb::handle response) {
    static OriginalMethod original(method_def<validate_response_checksum>(),
                                   &Names::validate_response_checksum);
    if (original.resolves(commands))
        validate(commands, response);
    else
        call_method(commands, names().validate_response_checksum, response);
}

nb::object convert_response(nb::handle commands, nb::handle length, nb::handle payload_type,
                            nb::handle response) {
    static OriginalMethod original(method_def<convert_payload>(), &Names::convert_payload);
    if (original.resolves(commands))
        return convert(length, payload_type, response);
    return call_method(commands, names().convert_payload, length, payload_type, response);
}

} // namespace velmo
