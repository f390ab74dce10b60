#include "module/conversions.hpp"

namespace velmo {

nb::object integer_of(nb::handle value) {
    PyObject *object = value.ptr();
    if (PyLong_Check(object))
        return nb::borrow(object);
    PyNumberMethods *number = Py_TYPE(object)->tp_as_number;
    if (number && number->nb_int) {
        nb::object result = checked(number->nb_int(object));
        if (!PyLong_Check(result.ptr()))
            raise(PyExc_TypeError, "__int__ returned non-int (type %s)",
                  Py_TYPE(result.ptr())->tp_name);
        return result;
    }
    if (number && number->nb_index)
        return checked(PyNumber_Index(object));
    raise(PyExc_TypeError, "an integer is required");
}

Range range_of(nb::handle integer, long long low, long long high, long long &value) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && value < low))
        return Range::below;
    if (overflow > 0 || value > high)
        return Range::above;
    return Range::inside;
}

// An integer argument in the range of a C type, with the OverflowError texts of that type.
static long long bounded(nb::handle value, const char *type_name, long long low, long long high) {
    long long result = 0;
    switch (range_of(integer_of(value), low, high, result)) {
    case Range::inside:
        return result;
    case Range::below:
        if (low == 0)
            raise(PyExc_OverflowError, "can't convert negative value to %s", type_name);
        raise(PyExc_OverflowError, "value too small to convert to %s", type_name);
    case Range::above:
        break;
    }
    raise(PyExc_OverflowError, "value too large to convert to %s", type_name);
}

uint8_t to_uint8(nb::handle value) {
    return (uint8_t)bounded(value, "unsigned char", 0, 255);
}

int32_t to_int32(nb::handle value) {
    return (int32_t)bounded(value, "int", INT32_MIN, INT32_MAX);
}

uint32_t to_uint32(nb::handle value) {
    return (uint32_t)bounded(value, "unsigned long", 0, UINT32_MAX);
}

double to_double(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

nb::object new_float(double value) {
    return checked(PyFloat_FromDouble(value));
}

nb::object new_int(long long value) {
    return checked(PyLong_FromLongLong(value));
}

nb::object new_text(const std::string &text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
}

nb::object new_empty_arguments() {
    return checked(PyByteArray_FromStringAndSize(nullptr, 0));
}

bool exact_byte_buffer(nb::handle value, const uint8_t *&data, size_t &size) {
    PyObject *object = value.ptr();
    if (PyBytes_CheckExact(object)) {
        data = (const uint8_t *)PyBytes_AS_STRING(object);
        size = (size_t)PyBytes_GET_SIZE(object);
        return true;
    }
    if (PyByteArray_CheckExact(object)) {
        data = (const uint8_t *)PyByteArray_AS_STRING(object);
        size = (size_t)PyByteArray_GET_SIZE(object);
        return true;
    }
    return false;
}

bool truth_of(nb::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth != 0;
}

bool python_equal(nb::handle left, nb::handle right) {
    const int equal = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal != 0;
}

} // namespace velmo
