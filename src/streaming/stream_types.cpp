// The value types of a parsed stream: one reading, and the result of one parser call.
#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "module/value_types.hpp"
#include "streaming/streaming.hpp"

#include <cstddef>

namespace velmo {

namespace {

StreamReadingObject *reading_of(PyObject *self) {
    return reinterpret_cast<StreamReadingObject *>(self);
}
StreamConversionResultObject *result_of(PyObject *self) {
    return reinterpret_cast<StreamConversionResultObject *>(self);
}

PyObject *get_calibrated_value(PyObject *self, void *) noexcept {
    return PyFloat_FromDouble(reading_of(self)->calibrated_value);
}

int set_calibrated_value(PyObject *self, PyObject *value, void *) noexcept {
    return set_field<double, to_double>(reading_of(self)->calibrated_value, value);
}

PyObject *get_adc_value(PyObject *self, void *) noexcept {
    return PyLong_FromUnsignedLong(reading_of(self)->adc_value);
}

int set_adc_value(PyObject *self, PyObject *value, void *) noexcept {
    return set_field<uint32_t, to_uint32>(reading_of(self)->adc_value, value);
}

PyGetSetDef reading_getset[] = {
    {"calibrated_value", get_calibrated_value, set_calibrated_value, "calibrated_value: 'double'",
     nullptr},
    {"adc_value", get_adc_value, set_adc_value, "adc_value: 'unsigned long'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const Parameters reading_parameters =
    parameters(required("calibrated_value"), required("adc_value"));

// Positional and keyword arguments of a constructor, parsed like a fast call.
void parse_constructor(const char *name, const Parameters &parameters, PyObject *args,
                       PyObject *kwargs, PyObject **out) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    PyObject *stack[max_parameters * 2];
    if (positional + keywords > (Py_ssize_t)(max_parameters * 2))
        raise(PyExc_TypeError, "%s() takes %zu arguments", name, parameters.count);
    for (Py_ssize_t i = 0; i < positional; ++i)
        stack[i] = PyTuple_GET_ITEM(args, i);
    nb::object kwnames;
    if (keywords) {
        kwnames = checked(PyTuple_New(keywords));
        Py_ssize_t position = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.ptr(), k, Py_NewRef(key));
            stack[positional + k++] = value;
        }
    }
    parse_arguments(name, parameters, stack, positional, kwnames.ptr(), out);
}

PyObject *reading_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    return type->tp_alloc(type, 0);
}

int reading_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guarded_slot([&] {
        PyObject *parsed[max_parameters] = {};
        parse_constructor("StreamReading", reading_parameters, args, kwargs, parsed);
        const double calibrated_value = to_double(parsed[0]);
        const uint32_t adc_value = to_uint32(parsed[1]);
        reading_of(self)->calibrated_value = calibrated_value;
        reading_of(self)->adc_value = adc_value;
    });
}

// The exact-type rule of the result's fields: the named type or None, no subclass.
void check_field(PyObject *value, PyTypeObject *type) {
    if (value != Py_None && Py_TYPE(value) != type)
        raise(PyExc_TypeError, "Expected %s, got %s", type->tp_name, Py_TYPE(value)->tp_name);
}

template <PyObject *StreamConversionResultObject::*Field>
PyObject *get_result_field(PyObject *self, void *) noexcept {
    return field_or_none(result_of(self)->*Field);
}

template <PyObject *StreamConversionResultObject::*Field>
int set_result_field(PyObject *self, PyObject *value, void *closure) noexcept {
    // Deleting a field of a result sets it to None.
    PyObject *assigned = value ? value : Py_None;
    return guarded_slot([&] {
        check_field(assigned, static_cast<PyTypeObject *>(closure));
        Py_XSETREF(result_of(self)->*Field, Py_NewRef(assigned));
    });
}

PyGetSetDef result_getset[] = {
    {"readings", get_result_field<&StreamConversionResultObject::readings>,
     set_result_field<&StreamConversionResultObject::readings>, "readings: list", &PyList_Type},
    {"remainder", get_result_field<&StreamConversionResultObject::remainder>,
     set_result_field<&StreamConversionResultObject::remainder>, "remainder: bytearray",
     &PyByteArray_Type},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

nb::object new_result_of_type(PyTypeObject *type, nb::handle readings, nb::handle remainder) {
    nb::object self = checked(type->tp_alloc(type, 0));
    result_of(self.ptr())->readings = Py_NewRef(readings.ptr());
    result_of(self.ptr())->remainder = Py_NewRef(remainder.ptr());
    return self;
}

const Parameters result_parameters = parameters(required("readings"), required("remainder"));

PyObject *result_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    return type->tp_alloc(type, 0);
}

int result_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guarded_slot([&] {
        PyObject *parsed[max_parameters] = {};
        parse_constructor("StreamConversionResult", result_parameters, args, kwargs, parsed);
        check_field(parsed[0], &PyList_Type);
        check_field(parsed[1], &PyByteArray_Type);
        Py_XSETREF(result_of(self)->readings, Py_NewRef(parsed[0]));
        Py_XSETREF(result_of(self)->remainder, Py_NewRef(parsed[1]));
    });
}

int result_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(result_of(self)->readings);
    Py_VISIT(result_of(self)->remainder);
    return 0;
}

int result_clear(PyObject *self) {
    Py_CLEAR(result_of(self)->readings);
    Py_CLEAR(result_of(self)->remainder);
    return 0;
}

} // namespace

nb::object new_stream_conversion_result(nb::handle readings, nb::handle remainder) {
    return new_result_of_type(state().stream_conversion_result_type, readings, remainder);
}

void bind_stream_types(nb::module_ &m) {
    static PyMethodDef reading_methods[] = {
        *method_def<reduce_method<reading_getset, reading_parameters>>(),
        {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot reading_slots[] = {
        {Py_tp_new, (void *)reading_new},
        {Py_tp_init, (void *)reading_init},
        {Py_tp_dealloc, (void *)dealloc_plain_value},
        {Py_tp_getset, reading_getset},
        {Py_tp_methods, reading_methods},
        {0, nullptr},
    };
    state().stream_reading_type =
        add_value_type(m,
                       {"velmo_device_communication.StreamReading", sizeof(StreamReadingObject), 0,
                        0, reading_slots},
                       "StreamReading", reading_parameters, "Single reading from stream data.");

    static PyMethodDef result_methods[] = {
        *method_def<reduce_method<result_getset, result_parameters>>(),
        {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot result_slots[] = {
        {Py_tp_new, (void *)result_new},
        {Py_tp_init, (void *)result_init},
        {Py_tp_dealloc, (void *)dealloc_collected<result_clear>},
        {Py_tp_traverse, (void *)result_traverse},
        {Py_tp_clear, (void *)result_clear},
        {Py_tp_getset, result_getset},
        {Py_tp_methods, result_methods},
        {0, nullptr},
    };
    state().stream_conversion_result_type = add_value_type(
        m,
        {"velmo_device_communication.StreamConversionResult", sizeof(StreamConversionResultObject),
         0, Py_TPFLAGS_HAVE_GC, result_slots},
        "StreamConversionResult", result_parameters, "Result from stream data conversion.");
}

} // namespace velmo
