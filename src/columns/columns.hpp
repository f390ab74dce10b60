// velmo._columns: stream packets parsed straight into two typed arrays, loads (array 'd') and
// counts (array 'I'), with no reading object per packet. Validation, resynchronisation,
// invalid count and remainder are those of the module's parsers: the same packet and
// calibration code. What the extension's parsers and any other of its sources share.
#pragma once

#include "calibration/adc_converter_object.hpp"
#include "module/exported_buffer.hpp"
#include "streaming/packets.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmo::columns {

namespace nb = nanobind;

static_assert(sizeof(unsigned int) == sizeof(uint32_t), "array typecode 'I' must hold a count");

// The names the extension uses at run time, interned once into its state.
#define VELMO_COLUMNS_NAMES(NAME)                                                                  \
    NAME(StreamDataConverter)                                                                      \
    NAME(adc_value)                                                                                \
    NAME(calibrated_value)                                                                         \
    NAME(convert_stream_data_to_reading)                                                           \
    NAME(convert_stream_data_to_reading_38_kHz)                                                    \
    NAME(converter)                                                                                \
    NAME(data)                                                                                     \
    NAME(readings)                                                                                 \
    NAME(remainder)

// The state of the extension module, kept in the module object.
struct State {
    // velmo_device_communication, whose parsers are looked up on it at call time.
    PyObject *device_module;
    // The module's ADCConverter, whose calibration is read natively; null when the class
    // bound as velmo_device_communication.ADCConverter at import was not the module's own.
    PyTypeObject *adc_converter_type;
    // array.array as imported, and one array of a single zero per column type: a column is
    // that array repeated.
    PyObject *array_type;
    PyObject *load_template;
    PyObject *count_template;
#define VELMO_COLUMNS_NAME_FIELD(name) PyObject *name;
    VELMO_COLUMNS_NAMES(VELMO_COLUMNS_NAME_FIELD)
#undef VELMO_COLUMNS_NAME_FIELD
};

extern PyModuleDef definition;

// The state of the module object `module` of this extension.
inline State &state_of(PyObject *module) {
    return *static_cast<State *>(PyModule_GetState(module));
}

// The calibration of `converter` when it is exactly the module's ADCConverter: a copy, so
// that it can be used without the GIL. Empty for any other converter (a subclass, a duck-typed
// object), which only the module's own parsers may call.
inline std::optional<AdcCalibration> exact_calibration(const State &state, nb::handle converter) {
    if (!state.adc_converter_type || Py_TYPE(converter.ptr()) != state.adc_converter_type)
        return std::nullopt;
    return reinterpret_cast<AdcConverterObject *>(converter.ptr())->calibration;
}

// Scans `data` for packets and writes each one's load and count at `loads[length]` and
// `counts[length]`, advancing `length`: room for n / Packet::size items is enough. Plain
// arithmetic on caller-owned memory, so it may run without the GIL.
template <typename Packet>
PacketScan scan_into(const uint8_t *data, size_t n, const AdcCalibration &calibration,
                     double *loads, uint32_t *counts, size_t &length) {
    return scan_packets<Packet>(data, n, [&](uint32_t count, size_t) {
        loads[length] = convert_count(calibration, count);
        counts[length] = count;
        ++length;
        return true;
    });
}

// How many packets the scan of `data` finds: every byte it passed was a packet's or a skipped
// window's.
template <typename Packet> size_t count_packets(const uint8_t *data, size_t n) {
    const PacketScan scan = scan_packets<Packet>(data, n, [](uint32_t, size_t) { return true; });
    return (scan.position - scan.invalid) / Packet::size;
}

// Raises TypeError unless `view` is `length` items of `typecode`.
void verify_column(const Py_buffer &view, nb::handle array, const char *typecode, size_t itemsize,
                   size_t length);

template <typename Item> struct ColumnType;
template <> struct ColumnType<double> {
    static constexpr const char *typecode = "d";
    static PyObject *State::*const one_item;
};
template <> struct ColumnType<uint32_t> {
    static constexpr const char *typecode = "I";
    static PyObject *State::*const one_item;
};

// One output column: a new array.array of `length` zero items of `Item`, exported writable for
// as long as this lives, so that it cannot be resized and `items()` stays valid without the
// GIL; it is made, finished and destroyed with the GIL. An array type that makes anything but
// exactly those items is refused with TypeError before a byte is written.
//
// A column is made at its final length, once the packets are counted (count_packets), and is
// never trimmed: shrinking a large array gives its pages back to the system, and the next
// column made would fault them in again, which costs more per reading than the count.
template <typename Item> class Column {
  public:
    Column(const State &state, size_t length)
        : array_(nb::steal(PySequence_Repeat(state.*ColumnType<Item>::one_item,
                                             static_cast<Py_ssize_t>(length)))),
          length_(length) {
        if (!array_.is_valid())
            throw nb::python_error();
        export_.emplace(array_, PyBUF_WRITABLE | PyBUF_FORMAT);
        verify();
    }

    Item *items() const { return export_->template data<Item>(); }
    size_t length() const { return length_; }

    // Ends the export and returns the array.
    nb::object finish() {
        export_.reset();
        return array_;
    }

  private:
    void verify() const;

    nb::object array_;
    size_t length_;
    std::optional<ExportedBuffer> export_;
};

template <typename Item> void Column<Item>::verify() const {
    verify_column(export_->view(), array_, ColumnType<Item>::typecode, sizeof(Item), length_);
}

} // namespace velmo::columns
