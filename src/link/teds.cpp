// The link's TEDS operations: the support check, the sensor memory read page by page, the
// AutoTEDS switch in both command versions, and the firmware version with its patch number.
#include "link/link.hpp"

#include "calibration/teds_bits.hpp"
#include "module/conversions.hpp"
#include "module/methods.hpp"

#include <array>
#include <cstring>

namespace velmo {

namespace {

// Waits on the TEDS exchanges; the link's own time-out is put back after each.
constexpr double teds_read_timeout = 0.05;
constexpr double auto_teds_write_timeout = 0.1;
constexpr long last_teds_page = (long)teds::page_count - 1;
// AutoTEDS replies of 255 mean "on", like 1.
constexpr long auto_teds_on_alternative = 255;

nb::object read_reply(nb::handle self, nb::handle command, nb::handle arguments) {
    return call_method(self, names().send_convert_return_sequence, command, arguments);
}

// Runs `exchange` with the link's `timeout` attribute at `seconds`, and puts the previous value
// back whether the exchange returns or raises.
template <typename Exchange>
nb::object with_timeout(nb::handle self, double seconds, Exchange exchange) {
    nb::handle timeout = names().timeout;
    nb::object previous = self.attr(timeout);
    self.attr(timeout) = new_float(seconds);
    nb::object result;
    try {
        result = exchange();
    } catch (...) {
        self.attr(timeout) = previous;
        throw;
    }
    self.attr(timeout) = previous;
    return result;
}

void check_support(nb::handle self) {
    call_method(self, names()._validate_teds_support);
}

bool python_compare(nb::handle left, long right, int operation) {
    const int result = PyObject_RichCompareBool(left.ptr(), new_int(right).ptr(), operation);
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

const Method validate_teds_support{
    "_validate_teds_support",
    "Check that the connected instrument supports TEDS (HDA640 Zeph Orvale).\n\n"
    ":raises VelmoCommunicationError: If the instrument's identity was not cached at connect\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS support",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        const ModuleState &module_state = state();
        nb::object model = self.attr(module_state.names._cached_model_number);
        nb::object item_number = self.attr(module_state.names._cached_item_number);
        if (model.is_none() || item_number.is_none()) {
            log_error("Cannot validate TEDS support: device info not cached");
            raise(module_state.communication_error,
                  "Device info not available. Ensure device is connected.");
        }
        if (!python_equal(model, nb::str("HDA640"))) {
            log_debug("TEDS not supported: model is %S, not HDA640", model);
            raise(module_state.teds_not_supported_error, "TEDS is not supported on %S. ", model);
        }
        // The item number is compared through its digest.
        if (!python_equal(item_number_digest(item_number), nb::str(orvale_item_digest))) {
            log_debug("TEDS not supported: item number is %S, not QKT08812", item_number);
            raise(module_state.teds_not_supported_error, "TEDS is only supported on Zeph Orvale ");
        }
        return nb::none();
    }};

const Method teds_is_connected{"teds_is_connected",
                               "Ask the instrument whether a TEDS sensor is connected.\n\n"
                               ":return: True if a sensor is connected\n"
                               ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
                               parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                   check_support(self);
                                   nb::object reply = read_reply(
                                       self, command_of(self, &Names::TEDS_Is_Connected_Command),
                                       new_empty_arguments());
                                   return nb::bool_(python_equal(reply, new_int(1)));
                               }};

bool all_zero(nb::handle reply) {
    if (!PyBytes_Check(reply.ptr()) && !PyByteArray_Check(reply.ptr()))
        return false;
    nb::object bytes = checked(PyBytes_FromObject(reply.ptr()));
    const char *data = PyBytes_AS_STRING(bytes.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes.ptr());
    for (Py_ssize_t i = 0; i < size; ++i)
        if (data[i] != 0)
            return false;
    return true;
}

const Method get_teds_laser{
    "get_teds_laser",
    "Read the TEDS laser data, the identification of the sensor memory.\n\n"
    ":return: The raw reply (8 laser bytes and the checksum byte), or None without a sensor\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        check_support(self);
        nb::object command = command_of(self, &Names::Get_TEDS_Laser_Command);
        try {
            nb::object laser_data = with_timeout(self, teds_read_timeout, [&] {
                return read_reply(self, command, new_empty_arguments());
            });
            if (all_zero(laser_data))
                return nb::none();
            return laser_data;
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            if (!e.matches(state().timeout_error))
                e.rethrow();
            log_debug("TEDS laser timeout - no TEDS sensor detected");
            return nb::none();
        }
    }};

const Method get_teds_data{
    "get_teds_data",
    "Read one 32-byte page of the sensor's TEDS memory.\n\n"
    ":param page_number: Page number, 0 to 15\n"
    ":return: The raw reply (the 32 page bytes and the checksum byte)\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS\n"
    ":raises VelmoInvalidParameterError: If the page number is outside 0 to 15",
    parameters(required("page_number")), [](nb::handle self, PyObject **args) -> nb::object {
        check_support(self);
        nb::handle page = args[0];
        if (python_compare(page, 0, Py_LT) || python_compare(page, last_teds_page, Py_GT))
            raise(state().invalid_parameter_error, "TEDS page number must be 0-15, got %S", page);
        nb::object command = command_of(self, &Names::Get_TEDS_Data_Command);
        nb::object arguments = argument_bytes(args, 1);
        return with_timeout(self, teds_read_timeout,
                            [&] { return read_reply(self, command, arguments); });
    }};

template <PyObject *Names::*Property> nb::object auto_teds_state(nb::handle self, PyObject **) {
    check_support(self);
    nb::object reply = read_reply(self, command_of(self, Property), new_empty_arguments());
    return nb::bool_(python_equal(reply, new_int(1)) ||
                     python_equal(reply, new_int(auto_teds_on_alternative)));
}

template <PyObject *Names::*Property>
nb::object switch_auto_teds(nb::handle self, PyObject **args) {
    check_support(self);
    nb::object command = command_of(self, Property);
    nb::object value = new_int(truth_of(args[0]) ? 1 : 0);
    PyObject *value_argument[] = {value.ptr()};
    nb::object arguments = argument_bytes(value_argument, 1);
    with_timeout(self, auto_teds_write_timeout, [&] {
        call_method(self, names().send_sequence, command, arguments);
        return nb::none();
    });
    return nb::none();
}

const Method get_auto_teds{"get_auto_teds",
                           "Read the AutoTEDS switch (firmware before 4.3.2).\n\n"
                           ":return: True if AutoTEDS is on\n"
                           ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
                           parameters(), auto_teds_state<&Names::Get_Auto_TEDS_Command>};

const Method get_auto_teds_v1{"get_auto_teds_v1",
                              "Read the AutoTEDS switch (firmware 4.3.2 and later).\n\n"
                              ":return: True if AutoTEDS is on\n"
                              ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
                              parameters(), auto_teds_state<&Names::Get_Auto_TEDS_V1_Command>};

const Method set_auto_teds{"set_auto_teds",
                           "Switch AutoTEDS on or off (firmware before 4.3.2).\n\n"
                           ":param is_set: True switches AutoTEDS on, False off\n"
                           ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
                           parameters(required("is_set")),
                           switch_auto_teds<&Names::Set_Auto_TEDS_Command>};

const Method set_auto_teds_v1{"set_auto_teds_v1",
                              "Switch AutoTEDS on or off (firmware 4.3.2 and later).\n\n"
                              ":param is_set: True switches AutoTEDS on, False off\n"
                              ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS",
                              parameters(required("is_set")),
                              switch_auto_teds<&Names::Set_Auto_TEDS_V1_Command>};

// response[0:2], response[2:4] and response[4:6] joined by full stops.
nb::object version_text(nb::handle response) {
    nb::object parts[3];
    for (long i = 0; i < 3; ++i) {
        nb::object slice =
            checked(PySlice_New(new_int(2 * i).ptr(), new_int(2 * i + 2).ptr(), nullptr));
        parts[i] = checked(PyObject_GetItem(response.ptr(), slice.ptr()));
    }
    return checked(
        PyUnicode_FromFormat("%S.%S.%S", parts[0].ptr(), parts[1].ptr(), parts[2].ptr()));
}

const Method get_firmware_version_with_patch{
    "get_firmware_version_with_patch",
    "Get the firmware version with its patch number.\n\n"
    ":return: Version text major.minor.patch, two digits each, for example 04.03.02",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        nb::object response =
            read_reply(self, command_of(self, &Names::Get_Firmware_Version_With_Patch_Command),
                       new_empty_arguments());
        try {
            return version_text(response);
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            if (!e.is_ordinary())
                e.rethrow();
            log_debug("Error parsing firmware version: %S", e.value());
            return nb::str("0.0.0");
        }
    }};

// A reply element stored into the image as bytearray item assignment stores it.
uint8_t image_byte(nb::handle element) {
    long long value = 0;
    if (range_of(checked(PyNumber_Index(element.ptr())), 0, 255, value) != Range::inside)
        raise(PyExc_ValueError, "byte must be in range(0, 256)");
    return (uint8_t)value;
}

using Image = std::array<uint8_t, teds::image_size>;

void copy_page_bytes(nb::handle reply, const teds::PageRead &read, Image &image) {
    const size_t first = read.first_page_byte();
    uint8_t *target = image.data() + read.first_image_offset();
    const uint8_t *data;
    size_t size;
    if (exact_byte_buffer(reply, data, size) && size >= first + read.length()) {
        std::memcpy(target, data + first, read.length());
        return;
    }
    for (size_t i = 0; i < read.length(); ++i) {
        nb::object element =
            checked(PyObject_GetItem(reply.ptr(), new_int((long long)(first + i)).ptr()));
        target[i] = image_byte(element);
    }
}

const Method generate_all_teds_data{
    "generate_all_teds_data",
    "Read the sensor's whole 512-byte TEDS memory, two reads per page.\n\n"
    ":return: The TEDS image (bytes of length 512)\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS\n"
    ":raises VelmoTEDSDataCorruptedError: If any page cannot be read",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        check_support(self);
        try {
            Image image{};
            for (const teds::PageRead &read : teds::page_reads()) {
                nb::object reply = call_method(self, names().get_teds_data, new_int(read.page));
                copy_page_bytes(reply, read, image);
            }
            log_debug("Successfully read all 512 bytes of TEDS data");
            return checked(PyBytes_FromStringAndSize((const char *)image.data(), image.size()));
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            if (!e.is_ordinary())
                e.rethrow();
            log_error("Failed to read TEDS data: %S", e.value());
            raise_from(state().teds_data_corrupted_error, e, "Error reading TEDS data: %S",
                       e.value());
        }
    }};

} // namespace

nb::object item_number_digest(nb::handle item_number) {
    const Names &known = names();
    nb::object encoded = call_method(item_number, known.encode, nb::str("utf-8"));
    nb::object digest = call_method(module_global(known.hashlib), known.sha256, encoded);
    return call_method(digest, known.hexdigest);
}

void bind_teds_operations(nb::handle cls) {
    PyMethodDef *definitions[] = {
        method_def<validate_teds_support>(),
        method_def<teds_is_connected>(),
        method_def<get_teds_laser>(),
        method_def<get_teds_data>(),
        method_def<get_auto_teds>(),
        method_def<get_auto_teds_v1>(),
        method_def<set_auto_teds>(),
        method_def<set_auto_teds_v1>(),
        method_def<get_firmware_version_with_patch>(),
        method_def<generate_all_teds_data>(),
    };
    for (PyMethodDef *definition : definitions)
        add_method(cls, definition);
}

} // namespace velmo
