// ADCConverter: a value type with unboxed fields whose conversion runs on native doubles.
#include "calibration/calibration.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "module/value_types.hpp"

#include <cstddef>

namespace velmo {

namespace {

AdcCalibration &calibration_of(PyObject *self) {
    return reinterpret_cast<AdcConverterObject *>(self)->calibration;
}

using AdcFields = NumberFields<AdcCalibration, calibration_of>;

PyGetSetDef adc_getset[] = {
    VELMO_INT_FIELD(AdcFields, number_of_loading_points),
    VELMO_DOUBLE_FIELD(AdcFields, direction_1_offset_load),
    VELMO_DOUBLE_FIELD(AdcFields, direction_1_fullscale_load),
    VELMO_DOUBLE_FIELD(AdcFields, direction_1_offset_value),
    VELMO_DOUBLE_FIELD(AdcFields, direction_1_fullscale_value),
    VELMO_DOUBLE_FIELD(AdcFields, direction_2_offset_load),
    VELMO_DOUBLE_FIELD(AdcFields, direction_2_fullscale_load),
    VELMO_DOUBLE_FIELD(AdcFields, direction_2_offset_value),
    VELMO_DOUBLE_FIELD(AdcFields, direction_2_fullscale_value),
    VELMO_DOUBLE_FIELD(AdcFields, scale_factor),
    VELMO_DOUBLE_FIELD(AdcFields, offset),
    VELMO_INT_FIELD(AdcFields, number_of_directions),
    VELMO_DOUBLE_FIELD(AdcFields, midpoint_offset),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The converter's direction line through the instance, so that a subclass's override runs.
double line_through_instance(nb::handle self, nb::handle method, uint32_t count) {
    nb::object argument = checked(PyLong_FromUnsignedLong(count));
    return to_double(call_method(self, method, argument));
}

double convert(nb::handle self, double ndr_adc) {
    const AdcCalibration &calibration = calibration_of(self.ptr());
    const uint32_t count = low_32_bits_of(ndr_adc);
    if (is_exact_adc_converter(self))
        return convert_count(calibration, count);
    switch (line_for(calibration, count)) {
    case Line::direction_1:
        return line_through_instance(self, names().calculate_for_direction_1, count);
    case Line::direction_2:
        return line_through_instance(self, names().calculate_for_direction_2, count);
    case Line::none:
        break;
    }
    return 0.0;
}

PyObject *adc_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        new (&calibration_of(self)) AdcCalibration();
    return self;
}

int adc_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", Py_TYPE(self)->tp_name);
        return -1;
    }
    calibration_of(self) = AdcCalibration();
    return 0;
}

const Method set_midpoint{"_set_midpoint_offset",
                          "Set the midpoint between the two direction offset counts.", parameters(),
                          [](nb::handle self, PyObject **) -> nb::object {
                              AdcCalibration &calibration = calibration_of(self.ptr());
                              calibration.midpoint_offset = midpoint_of(calibration);
                              return nb::none();
                          }};

const Method calculate_for_direction_1{
    "calculate_for_direction_1",
    "Calculate the load of a count on the direction 1 line.\n\n"
    ":param ndr_adc: ADC count (unsigned 32-bit)\n"
    ":return: Load",
    parameters(required("ndr_adc")), [](nb::handle self, PyObject **args) -> nb::object {
        return new_float(direction_1_load(calibration_of(self.ptr()), to_uint32(args[0])));
    }};

const Method calculate_for_direction_2{
    "calculate_for_direction_2",
    "Calculate the load of a count on the direction 2 line.\n\n"
    ":param ndr_adc: ADC count (unsigned 32-bit)\n"
    ":return: Load, negated",
    parameters(required("ndr_adc")), [](nb::handle self, PyObject **args) -> nb::object {
        return new_float(direction_2_load(calibration_of(self.ptr()), to_uint32(args[0])));
    }};

const Method convert_adc{"convert_adc",
                         "Convert a raw ADC count into a calibrated load.\n\n"
                         ":param ndr_adc: ADC count\n"
                         ":return: Calibrated load",
                         parameters(required("ndr_adc")),
                         [](nb::handle self, PyObject **args) -> nb::object {
                             return new_float(convert(self, to_double(args[0])));
                         }};

const Parameters no_parameters = parameters();

} // namespace

nb::object new_adc_converter() {
    return checked(PyObject_CallNoArgs((PyObject *)state().adc_converter_type));
}

void set_midpoint_offset(nb::handle converter) {
    if (is_exact_adc_converter(converter)) {
        AdcCalibration &calibration = calibration_of(converter.ptr());
        calibration.midpoint_offset = midpoint_of(calibration);
        return;
    }
    call_method(converter, names()._set_midpoint_offset);
}

void bind_calibration(nb::module_ &m) {
    static PyMethodDef methods[] = {*method_def<set_midpoint>(),
                                    *method_def<calculate_for_direction_1>(),
                                    *method_def<calculate_for_direction_2>(),
                                    *method_def<convert_adc>(),
                                    *method_def<reduce_method<adc_getset, no_parameters>>(),
                                    {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_new, (void *)adc_new},
        {Py_tp_init, (void *)adc_init},
        {Py_tp_dealloc, (void *)dealloc_plain_value},
        {Py_tp_getset, adc_getset},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    state().adc_converter_type = add_value_type(
        m, {"velmo_device_communication.ADCConverter", sizeof(AdcConverterObject), 0, 0, slots},
        "ADCConverter", no_parameters,
        "Converts raw ADC counts of a channel into calibrated loads.\n\n"
        "Obtain instances filled with calibration data from\n"
        "VelmoDevice.get_adc_converter() or VelmoDevice.get_adc_for_profile().");
}

} // namespace velmo
