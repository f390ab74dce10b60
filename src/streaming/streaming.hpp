#pragma once

#include "module/runtime.hpp"

#include <cstdint>

namespace velmo {

// StreamReading, StreamConversionResult and StreamDataConverter.
void bind_streaming(nb::module_ &m);

struct StreamReadingObject {
    PyObject_HEAD double calibrated_value;
    uint32_t adc_value;
};

struct StreamConversionResultObject {
    PyObject_HEAD PyObject *readings;
    PyObject *remainder;
};

void bind_stream_types(nb::module_ &m);
void bind_stream_parsers(nb::module_ &m);

// A new StreamReading of `type` (the module's), made without a Python call.
inline PyObject *new_stream_reading(PyTypeObject *type, double calibrated_value,
                                    uint32_t adc_value) {
    auto *reading = PyObject_New(StreamReadingObject, type);
    if (reading) {
        reading->calibrated_value = calibrated_value;
        reading->adc_value = adc_value;
    }
    return reinterpret_cast<PyObject *>(reading);
}

nb::object new_stream_conversion_result(nb::handle readings, nb::handle remainder);

} // namespace velmo
