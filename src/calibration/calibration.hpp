#pragma once

#include "calibration/adc_converter_object.hpp"
#include "module/runtime.hpp"

namespace velmo {

// ADCConverter.
void bind_calibration(nb::module_ &m);
// TEDSData.
void bind_teds_data(nb::module_ &m);

inline bool is_exact_adc_converter(nb::handle object) {
    return Py_TYPE(object.ptr()) == state().adc_converter_type;
}

// A new ADCConverter with the defaults.
nb::object new_adc_converter();
// `converter._set_midpoint_offset()`, honouring a subclass's override.
void set_midpoint_offset(nb::handle converter);

} // namespace velmo
