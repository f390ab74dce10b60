// velmo._columns: stream packets parsed straight into two typed arrays, loads and counts,
// with no reading object per packet. Validation, resynchronisation, invalid count and
// remainder are those of the module's parsers: the same packet and calibration code.
#include <nanobind/nanobind.h>

#include "calibration/adc_lines.hpp"
#include "streaming/packets.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

static_assert(sizeof(unsigned int) == sizeof(uint32_t), "array typecode 'I' must hold a count");

constexpr const char *module_name = "velmo_device_communication";

nb::object module() {
    return nb::module_::import_(module_name);
}

// The converter's fields, read once through its public attributes.
velmo::AdcCalibration calibration_of(nb::handle converter) {
    static const std::pair<const char *, double velmo::AdcCalibration::*> doubles[] = {
        {"direction_1_offset_load", &velmo::AdcCalibration::direction_1_offset_load},
        {"direction_1_fullscale_load", &velmo::AdcCalibration::direction_1_fullscale_load},
        {"direction_1_offset_value", &velmo::AdcCalibration::direction_1_offset_value},
        {"direction_1_fullscale_value", &velmo::AdcCalibration::direction_1_fullscale_value},
        {"direction_2_offset_load", &velmo::AdcCalibration::direction_2_offset_load},
        {"direction_2_fullscale_load", &velmo::AdcCalibration::direction_2_fullscale_load},
        {"direction_2_offset_value", &velmo::AdcCalibration::direction_2_offset_value},
        {"direction_2_fullscale_value", &velmo::AdcCalibration::direction_2_fullscale_value},
        {"scale_factor", &velmo::AdcCalibration::scale_factor},
        {"offset", &velmo::AdcCalibration::offset},
        {"midpoint_offset", &velmo::AdcCalibration::midpoint_offset},
    };
    static const std::pair<const char *, int32_t velmo::AdcCalibration::*> integers[] = {
        {"number_of_loading_points", &velmo::AdcCalibration::number_of_loading_points},
        {"number_of_directions", &velmo::AdcCalibration::number_of_directions},
    };
    velmo::AdcCalibration calibration;
    for (const auto &[name, field] : doubles)
        calibration.*field = nb::cast<double>(converter.attr(name));
    for (const auto &[name, field] : integers)
        calibration.*field = nb::cast<int32_t>(converter.attr(name));
    return calibration;
}

// A zero-filled array.array of `length` items; `array * n` allocates once.
nb::object new_array(nb::handle array_type, const char *typecode, size_t length) {
    nb::object one = array_type(typecode, nb::make_tuple(0));
    return one * nb::int_(length);
}

class Buffer {
  public:
    Buffer(nb::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) < 0)
            throw nb::python_error();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    template <typename T> T *data() const { return static_cast<T *>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

  private:
    Py_buffer view_;
};

// The writable items of a new column, which must hold exactly `length` items of T: an
// array type that is not what it claims must fail here, not be written past its end.
template <typename T> T *column_items(const Buffer &column, nb::handle array, size_t length) {
    if (column.size() != length * sizeof(T)) {
        PyErr_Format(PyExc_TypeError,
                     "a column of %zu items exported %zu bytes instead of %zu (%s)", length,
                     column.size(), length * sizeof(T), Py_TYPE(array.ptr())->tp_name);
        throw nb::python_error();
    }
    return column.data<T>();
}

// Drops the unused tail of an array filled up to `length` items.
void trim(nb::handle array, size_t length) {
    if (PyObject_DelItem(array.ptr(), nb::slice(nb::int_(length), nb::none(), nb::none()).ptr()) <
        0)
        throw nb::python_error();
}

nb::tuple columns(nb::handle loads, nb::handle counts, size_t length, const uint8_t *rest,
                  size_t rest_size, size_t invalid) {
    trim(loads, length);
    trim(counts, length);
    nb::object remainder = nb::steal(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char *>(rest), static_cast<Py_ssize_t>(rest_size)));
    if (!remainder.is_valid())
        throw nb::python_error();
    return nb::make_tuple(loads, counts, remainder, nb::int_(invalid));
}

template <typename Packet>
nb::tuple parse_native(nb::handle data, const velmo::AdcCalibration &calibration) {
    nb::object array_type = nb::module_::import_("array").attr("array");
    // Exported from here on, so the input cannot be resized while it is parsed.
    Buffer input(data, PyBUF_C_CONTIGUOUS);
    const uint8_t *bytes = input.data<const uint8_t>();
    const size_t n = input.size();
    const size_t capacity = n / Packet::size;
    nb::object loads = new_array(array_type, "d", capacity);
    nb::object counts = new_array(array_type, "I", capacity);
    size_t length = 0;
    velmo::PacketScan scan;
    {
        Buffer load_column(loads, PyBUF_WRITABLE);
        Buffer count_column(counts, PyBUF_WRITABLE);
        double *load_items = column_items<double>(load_column, loads, capacity);
        uint32_t *count_items = column_items<uint32_t>(count_column, counts, capacity);
        scan = velmo::scan_packets<Packet>(bytes, n, [&](uint32_t count, size_t) {
            load_items[length] = velmo::convert_count(calibration, count);
            count_items[length] = count;
            ++length;
            return true;
        });
    }
    return columns(loads, counts, length, bytes + scan.position, n - scan.position, scan.invalid);
}

// Any converter but an exact ADCConverter: the module's own parser, its readings copied
// into the columns. Every skipped window advanced the parser by one byte, so the bytes it
// consumed tell how many it skipped.
template <typename Packet>
nb::tuple parse_through_module(nb::handle data, nb::handle converter, const char *parser) {
    nb::object input = nb::borrow(data);
    if (!PyBytes_Check(data.ptr()) && !PyByteArray_CheckExact(data.ptr()))
        input = nb::steal(PyBytes_FromObject(data.ptr()));
    if (!input.is_valid())
        throw nb::python_error();
    nb::object result = module().attr("StreamDataConverter").attr(parser)(input, converter);
    nb::object readings = result.attr("readings");
    nb::object remainder = result.attr("remainder");
    if (!PyList_Check(readings.ptr())) {
        PyErr_Format(PyExc_TypeError, "readings must be a list, got %s",
                     Py_TYPE(readings.ptr())->tp_name);
        throw nb::python_error();
    }
    // Reading an attribute runs Python code that may change the list: each item is held while
    // it is read, and the size is taken again at every step.
    std::vector<double> load_values;
    std::vector<uint32_t> count_values;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(readings.ptr()); ++i) {
        nb::object reading = nb::borrow(PyList_GET_ITEM(readings.ptr(), i));
        load_values.push_back(nb::cast<double>(reading.attr("calibrated_value")));
        count_values.push_back(nb::cast<uint32_t>(reading.attr("adc_value")));
    }
    const size_t length = load_values.size();
    nb::object array_type = nb::module_::import_("array").attr("array");
    nb::object loads = new_array(array_type, "d", length);
    nb::object counts = new_array(array_type, "I", length);
    {
        Buffer load_column(loads, PyBUF_WRITABLE);
        Buffer count_column(counts, PyBUF_WRITABLE);
        std::copy(load_values.begin(), load_values.end(),
                  column_items<double>(load_column, loads, length));
        std::copy(count_values.begin(), count_values.end(),
                  column_items<uint32_t>(count_column, counts, length));
    }
    Buffer rest(remainder, PyBUF_SIMPLE);
    // A replaced parser may report more than it consumed: no skipped windows then.
    const size_t input_size = nb::len(input);
    const size_t consumed = input_size - std::min(input_size, rest.size());
    const size_t parsed = length * Packet::size;
    return columns(loads, counts, length, rest.data<const uint8_t>(), rest.size(),
                   consumed > parsed ? consumed - parsed : 0);
}

template <typename Packet>
nb::tuple parse(nb::handle data, nb::handle converter, const char *parser) {
    if (Py_TYPE(converter.ptr()) ==
        reinterpret_cast<PyTypeObject *>(module().attr("ADCConverter").ptr()))
        return parse_native<Packet>(data, calibration_of(converter));
    return parse_through_module<Packet>(data, converter, parser);
}

} // namespace

NB_MODULE(_columns, m) {
    m.doc() = "Stream packets parsed into columns of loads and counts.";
    m.def(
        "parse_standard",
        [](nb::handle data, nb::handle converter) {
            return parse<velmo::StandardPacket>(data, converter, "convert_stream_data_to_reading");
        },
        nb::arg("data"), nb::arg("converter"),
        "Parse 4-byte stream packets into columns.\n\n"
        ":param data: Raw stream bytes (any contiguous buffer)\n"
        ":param converter: ADC converter; an exact ADCConverter is applied natively\n"
        ":return: (loads, counts, remainder, invalid): array('d'), array('I'), the bytearray "
        "of an incomplete last packet, and the number of windows skipped");
    m.def(
        "parse_high_rate",
        [](nb::handle data, nb::handle converter) {
            return parse<velmo::HighRatePacket>(data, converter,
                                                "convert_stream_data_to_reading_38_kHz");
        },
        nb::arg("data"), nb::arg("converter"),
        "Parse the 3-byte packets of the 38 400 SPS stream into columns.\n\n"
        ":param data: Raw stream bytes (any contiguous buffer)\n"
        ":param converter: ADC converter; an exact ADCConverter is applied natively\n"
        ":return: (loads, counts, remainder, invalid): array('d'), array('I'), the bytearray "
        "of an incomplete last packet, and the number of windows skipped");
}
