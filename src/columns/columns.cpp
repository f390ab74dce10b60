// velmo._columns: stream packets parsed straight into two typed arrays, loads and counts,
// with no reading object per packet. Validation, resynchronisation, invalid count and
// remainder are those of the module's parsers: the same packet and calibration code.
#include <nanobind/nanobind.h>

#include "calibration/adc_lines.hpp"
#include "columns/reader.hpp"
#include "streaming/packets.hpp"

#include <cstring>

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
        double *load_items = load_column.data<double>();
        uint32_t *count_items = count_column.data<uint32_t>();
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
    nb::list readings = nb::borrow<nb::list>(result.attr("readings"));
    nb::object remainder = result.attr("remainder");
    const size_t length = nb::len(readings);
    nb::object array_type = nb::module_::import_("array").attr("array");
    nb::object loads = new_array(array_type, "d", length);
    nb::object counts = new_array(array_type, "I", length);
    {
        Buffer load_column(loads, PyBUF_WRITABLE);
        Buffer count_column(counts, PyBUF_WRITABLE);
        for (size_t i = 0; i < length; ++i) {
            nb::handle reading = PyList_GET_ITEM(readings.ptr(), i);
            load_column.data<double>()[i] = nb::cast<double>(reading.attr("calibrated_value"));
            count_column.data<uint32_t>()[i] = nb::cast<uint32_t>(reading.attr("adc_value"));
        }
    }
    Buffer rest(remainder, PyBUF_SIMPLE);
    const size_t consumed = nb::len(input) - rest.size();
    return columns(loads, counts, length, rest.data<const uint8_t>(), rest.size(),
                   consumed - length * Packet::size);
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
    bind_reader(m);
}
