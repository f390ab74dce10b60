// The memory of an ADCConverter instance. velmo._columns reads the calibration of an exact
// ADCConverter from it too, built from this same header.
#pragma once

#include <Python.h>

#include "calibration/adc_lines.hpp"

namespace velmo {

struct AdcConverterObject {
    PyObject_HEAD AdcCalibration calibration;
};

} // namespace velmo
