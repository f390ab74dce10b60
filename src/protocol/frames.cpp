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

PyObject *shared_empty_arguments = nullptr;

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

bool is_exact_operations(nb::handle commands) {
    return (PyObject *)Py_TYPE(commands.ptr()) == command_operations_class;
}

// The checksum as the commands object computes it: natively unless a subclass overrides it.
nb::object checksum_through(nb::handle commands, nb::handle byte_array) {
    if (is_exact_operations(commands))
        return new_int(checksum_of(byte_array));
    return call_method(commands, "calculate_checksum", byte_array);
}

nb::object frame_of(nb::handle self, nb::handle command, nb::handle arguments) {
    int is_command = PyObject_IsInstance(command.ptr(), command_class);
    if (is_command < 0)
        throw nb::python_error();
    if (!is_command)
        raise(objects.protocol_error,
              "Invalid command type: " +
                  str_of(nb::handle((PyObject *)Py_TYPE(command.ptr())).attr(name_of("__name__"))));
    try {
        nb::object frame = call_method(command, "toByteArray");
        call_method(frame, "extend", arguments);
        nb::object checksum = checksum_through(self, frame);
        call_method(frame, "append", checksum);
        return frame;
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (e.matches(objects.protocol_error) || !e.is_ordinary())
            e.rethrow();
        std::string text = e.text();
        log_error("Error constructing command: " + text);
        raise_from(objects.protocol_error, "Failed to construct command: " + text, e);
    }
}

void validate(nb::handle self, nb::handle response) {
    Py_ssize_t size = PyObject_Length(response.ptr());
    if (size < 0)
        throw nb::python_error();
    if (size < 2)
        raise(objects.protocol_error, "Response too short for checksum validation");
    nb::object last = checked(PySequence_GetItem(response.ptr(), size - 1));
    uint8_t received = to_uint8(last);
    uint8_t computed;
    const uint8_t *data;
    size_t data_size;
    if (is_exact_operations(self) && exact_byte_buffer(response, data, data_size)) {
        computed = weighted_checksum(data, data_size - 1);
    } else {
        nb::object head = checked(PySequence_GetSlice(response.ptr(), 0, size - 1));
        computed = to_uint8(checksum_through(self, head));
    }
    if (received != computed) {
        log_error("Checksum mismatch");
        raise(objects.protocol_error, "Invalid checksum in response");
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
        raise(objects.protocol_error, "Payload too short: expected " + std::to_string(expected) +
                                          " bytes, got " + std::to_string(size));
    // The numeric answers of every reading are decoded in place.
    const uint8_t *data = nullptr;
    size_t data_size = 0;
    if (PyUnicode_CheckExact(return_type.ptr()) && exact_byte_buffer(answer, data, data_size)) {
        if (text_equals(return_type, "int") && length >= 0 && length <= 8)
            return checked(PyLong_FromUnsignedLongLong(big_endian_unsigned(data + 4, length)));
        if (text_equals(return_type, "float") && length == 4)
            return new_float(little_endian_float(data + 4));
    }
    nb::object payload = checked(PySequence_GetSlice(answer.ptr(), 4, (Py_ssize_t)expected));
    if (text_equals(return_type, "hex_string"))
        return call_method(payload, "hex");
    if (text_equals(return_type, "ascii")) {
        nb::object text = call_method(payload, "decode", nb::str("ascii"));
        return call_method(text, "replace", nb::str("\0", 1), nb::str(""));
    }
    if (text_equals(return_type, "int"))
        return nb::handle((PyObject *)&PyLong_Type).attr(name_of("from_bytes"))(payload, "big");
    if (text_equals(return_type, "float")) {
        const Py_ssize_t payload_size = PyObject_Length(payload.ptr());
        if (payload_size < 0)
            throw nb::python_error();
        if (payload_size != 4)
            raise(objects.protocol_error,
                  "Float conversion requires 4 bytes, got " + std::to_string(payload_size));
        nb::object values = call_method(module_global("struct"), "unpack", nb::str("<f"), payload);
        return checked(PySequence_GetItem(values.ptr(), 0));
    }
    raise(objects.protocol_error, "Unknown payload type: " + str_of(return_type));
}

nb::object convert(nb::handle length, nb::handle return_type, nb::handle answer) {
    int32_t payload_length = to_int32(length);
    try {
        return converted_payload(payload_length, return_type, answer);
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (e.matches(objects.protocol_error) || !e.is_ordinary())
            e.rethrow();
        std::string text = e.text();
        log_error("Payload conversion failed: " + text);
        raise_from(objects.protocol_error, "Failed to convert payload: " + text, e);
    }
}

const Method get_command_byte_array{"get_command_byte_array",
                                    "Construct command byte array with checksum.\n\n"
                                    ":param command: Command descriptor\n"
                                    ":param arguments: Argument bytes sent after the header\n"
                                    ":return: The complete frame, checksum included\n"
                                    ":raises VelmoProtocolError: If the frame cannot be built",
                                    {{"command", "arguments"}, 2, 1},
                                    [](nb::handle self, PyObject **args) -> nb::object {
                                        return frame_of(self, args[0],
                                                        args[1] ? args[1] : shared_empty_arguments);
                                    }};

const Method calculate_checksum{
    "calculate_checksum",
    "Calculate checksum for a byte array.\n\n"
    ":param byte_array: Iterable of byte values\n"
    ":return: Weighted sum of the bytes modulo 256",
    {{"byte_array"}, 1, 1},
    [](nb::handle, PyObject **args) -> nb::object { return new_int(checksum_of(args[0])); }};

const Method validate_response_checksum{
    "validate_response_checksum",
    "Validate response checksum.\n\n"
    ":param response_bytes: Complete answer, checksum byte last\n"
    ":raises VelmoProtocolError: If the answer is too short or its checksum differs",
    {{"response_bytes"}, 1, 1},
    [](nb::handle self, PyObject **args) -> nb::object {
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
    {{"length", "return_type", "payload_byte_array"}, 3, 3},
    [](nb::handle, PyObject **args) -> nb::object { return convert(args[0], args[1], args[2]); }};

} // namespace

void bind_frames(nb::handle command_operations) {
    shared_empty_arguments = checked(PyByteArray_FromStringAndSize(nullptr, 0)).release().ptr();
    add_method(command_operations, method_def<get_command_byte_array>());
    add_method(command_operations, method_def<calculate_checksum>());
    add_method(command_operations, method_def<validate_response_checksum>());
    add_method(command_operations, method_def<convert_payload>());
}

void bind_protocol(nb::module_ &m) {
    bind_commands(m);
}

nb::object build_frame(nb::handle commands, nb::handle command, nb::handle arguments) {
    if (is_exact_operations(commands))
        return frame_of(commands, command, arguments);
    return call_method(commands, "get_command_byte_array", command, arguments);
}

void validate_response(nb::handle commands, nb::handle response) {
    if (is_exact_operations(commands))
        validate(commands, response);
    else
        call_method(commands, "validate_response_checksum", response);
}

nb::object convert_response(nb::handle commands, nb::handle length, nb::handle payload_type,
                            nb::handle response) {
    if (is_exact_operations(commands))
        return convert(length, payload_type, response);
    PyObject *args[] = {commands.ptr(), length.ptr(), payload_type.ptr(), response.ptr()};
    nb::object method = checked(PyObject_GetAttrString(commands.ptr(), "convert_payload"));
    return checked(PyObject_Vectorcall(method.ptr(), args + 1, 3, nullptr));
}

} // namespace velmo
