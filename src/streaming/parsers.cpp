// StreamDataConverter: the stream parsers. One pass over the buffer in place; damaged
// packets are skipped one byte at a time until a window's checksum matches again.
#include "calibration/calibration.hpp"
#include "module/conversions.hpp"
#include "module/exported_buffer.hpp"
#include "module/methods.hpp"
#include "streaming/packets.hpp"
#include "streaming/streaming.hpp"

namespace velmo {

namespace {

// Bytes are copied into a new bytearray; anything but a bytearray (or None, which fails
// at the length step) is refused.
nb::object normalised_data(nb::handle data) {
    PyObject *object = data.ptr();
    if (PyBytes_Check(object))
        return checked(PyByteArray_FromObject(object));
    if (object != Py_None && !PyByteArray_CheckExact(object))
        raise(PyExc_TypeError, "Argument 'data' has incorrect type (expected bytearray, got %s)",
              Py_TYPE(object)->tp_name);
    return nb::borrow(object);
}

struct ParseProgress {
    int32_t position = 0;
    int32_t invalid = 0;
};

// The exact ADCConverter: no Python call per packet. Readings go into a list sized for the
// best case and trimmed afterwards.
template <typename Packet>
nb::object parse_native(const uint8_t *data, int32_t n, const AdcCalibration &calibration,
                        PyTypeObject *reading_type, ParseProgress &progress) {
    const Py_ssize_t capacity = n / (int32_t)Packet::size;
    nb::object readings = checked(PyList_New(capacity));
    PyObject **items = reinterpret_cast<PyListObject *>(readings.ptr())->ob_item;
    Py_ssize_t count = 0;
    const PacketScan scan = scan_packets<Packet>(data, n, [&](uint32_t adc_value, size_t) {
        PyObject *reading =
            new_stream_reading(reading_type, convert_count(calibration, adc_value), adc_value);
        if (!reading) {
            if (PyList_SetSlice(readings.ptr(), count, capacity, nullptr) < 0)
                PyErr_Clear();
            throw nb::python_error();
        }
        items[count++] = reading;
        return true;
    });
    if (PyList_SetSlice(readings.ptr(), count, capacity, nullptr) < 0)
        throw nb::python_error();
    progress.position = (int32_t)scan.position;
    progress.invalid = (int32_t)scan.invalid;
    return readings;
}

bool is_tolerated_conversion_failure(const CaughtError &error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_ZeroDivisionError) ||
           error.matches(PyExc_AttributeError);
}

// Any other converter: `convert_adc` is called through Python with the count as an int.
template <typename Packet>
nb::object parse_through_python(const uint8_t *data, int32_t n, nb::handle converter,
                                ParseProgress &progress) {
    nb::object readings = checked(PyList_New(0));
    const ModuleState &module_state = state();
    const nb::handle convert_adc = module_state.names.convert_adc;
    PyTypeObject *reading_type = module_state.stream_reading_type;
    const PacketScan scan = scan_packets<Packet>(data, n, [&](uint32_t adc_value, size_t position) {
        try {
            nb::object count = checked(PyLong_FromUnsignedLong(adc_value));
            PyObject *stack[] = {converter.ptr(), count.ptr()};
            nb::object load = call_method_with(convert_adc, stack, 2);
            nb::object reading =
                checked(new_stream_reading(reading_type, to_double(load), adc_value));
            if (PyList_Append(readings.ptr(), reading.ptr()) < 0)
                throw nb::python_error();
            return true;
        } catch (nb::python_error &raised) {
            CaughtError error(raised);
            if (!is_tolerated_conversion_failure(error))
                error.rethrow();
            log_warning("ADC conversion failed at index %zu: %S", position, error.value());
            return false;
        }
    });
    progress.position = (int32_t)scan.position;
    progress.invalid = (int32_t)scan.invalid;
    return readings;
}

template <typename Packet> nb::object parse(nb::handle data_argument, nb::handle converter) {
    nb::object data = normalised_data(data_argument);
    const Py_ssize_t length = PyObject_Length(data.ptr());
    if (length < 0)
        throw nb::python_error();
    if (length < (Py_ssize_t)Packet::size)
        return new_stream_conversion_result(checked(PyList_New(0)), data);
    if (length > INT32_MAX)
        raise(PyExc_OverflowError, "stream data longer than 2147483647 bytes");
    const int32_t n = (int32_t)length;

    ParseProgress progress;
    nb::object readings;
    nb::object remainder;
    {
        // Exported for the whole parse, so that a converter written in Python cannot resize it.
        ExportedBuffer buffer(data, PyBUF_SIMPLE);
        if (is_exact_adc_converter(converter))
            readings = parse_native<Packet>(
                buffer.data(), n,
                reinterpret_cast<AdcConverterObject *>(converter.ptr())->calibration,
                state().stream_reading_type, progress);
        else
            readings = parse_through_python<Packet>(buffer.data(), n, converter, progress);
        // Copied while the export pins the buffer: a logging handler may resize it below.
        remainder = checked(PyByteArray_FromStringAndSize(
            reinterpret_cast<const char *>(buffer.data()) + progress.position,
            n - progress.position));
    }
    if (progress.invalid > 0)
        log_warning("Stream conversion: %d invalid/corrupted packets detected",
                    (int)progress.invalid);
    log_debug("Converted %zd readings, %d remainder bytes", PyList_GET_SIZE(readings.ptr()),
              (int)(n - progress.position));
    return new_stream_conversion_result(readings, remainder);
}

const Method convert_standard{
    "convert_stream_data_to_reading",
    "Convert stream data with validation and error logging.\n\n"
    ":param data: Raw stream data\n"
    ":param adc_converter: ADC converter instance or callable\n"
    ":return: StreamConversionResult containing readings and remainder bytes",
    parameters(required("data"), required("adc_converter")),
    [](nb::handle, PyObject **args) -> nb::object {
        return parse<StandardPacket>(args[0], args[1]);
    },
    Receiver::none};

const Method convert_high_rate{
    "convert_stream_data_to_reading_38_kHz",
    "Convert stream data for HDA640 at 38.4kHz with validation and error logging.\n\n"
    ":param data: Raw stream data\n"
    ":param adc_converter: ADC converter instance or callable\n"
    ":return: StreamConversionResult containing readings and remainder bytes",
    parameters(required("data"), required("adc_converter")),
    [](nb::handle, PyObject **args) -> nb::object {
        return parse<HighRatePacket>(args[0], args[1]);
    },
    Receiver::none};

} // namespace

void bind_stream_parsers(nb::module_ &m) {
    nb::object converter = make_class(
        m, "StreamDataConverter",
        "\n"
        "    Utility class for converting raw streaming data into calibrated readings.\n"
        "\n"
        "    Provides methods to parse and validate streaming data packets from VELMO devices,\n"
        "    converting raw byte streams into tuples of (calibrated_reading, adc_value).\n"
        "    Implements checksum validation to detect corrupted packets and handles partial\n"
        "    data buffers for continuous streaming operations.\n"
        "\n"
        "    ");
    add_static_method(converter, method_def<convert_standard>());
    add_static_method(converter, method_def<convert_high_rate>());
}

void bind_streaming(nb::module_ &m) {
    bind_stream_types(m);
    bind_stream_parsers(m);
}

} // namespace velmo
