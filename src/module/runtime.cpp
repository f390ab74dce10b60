#include "module/runtime.hpp"

#include <cstdarg>

namespace velmo {

ModuleState state;

nb::handle name_of(const char *name) {
    auto found = state.names.find(name);
    if (found != state.names.end())
        return found->second;
    PyObject *interned = checked(PyUnicode_InternFromString(name)).release().ptr();
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(interned, &size);
    if (!text)
        throw nb::python_error();
    state.names.emplace(std::string_view(text, (size_t)size), interned);
    return interned;
}

nb::object module_global(const char *name) {
    PyObject *value = PyDict_GetItemWithError(state.dict, name_of(name).ptr());
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object call_method_with(nb::handle name, PyObject *const *stack, size_t count) {
    return checked(PyObject_VectorcallMethod(name.ptr(), stack, count, nullptr));
}

nb::object format_text_of(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyObject *text = PyUnicode_FromFormatV(format, arguments);
    va_end(arguments);
    return checked(text);
}

void log_text(LogLevel level, nb::handle text) {
    static const char *const methods[] = {"debug", "info", "warning", "error"};
    call_method(module_global("logger"), methods[static_cast<int>(level)], text);
}

CaughtError::CaughtError(nb::python_error &error) {
    error.restore();
#if PY_VERSION_HEX >= 0x030C0000
    value_ = nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    value_ = nb::steal(value);
#endif
}

bool CaughtError::matches(PyObject *type) const {
    return PyErr_GivenExceptionMatches(value_.ptr(), type) != 0;
}

// Raises an exception object as it is: unlike PyErr_SetObject, this does not make the
// exception that the caller is handling its __context__.
[[noreturn]] static void raise_as_is(nb::handle error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(error.ptr()));
#else
    PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(error.ptr())), Py_NewRef(error.ptr()),
                  PyException_GetTraceback(error.ptr()));
#endif
    throw nb::python_error();
}

void CaughtError::rethrow() const {
    raise_as_is(value_);
}

static nb::object make_exception(PyObject *type, nb::handle message) {
    return checked(PyObject_CallOneArg(type, message.ptr()));
}

void raise_text(PyObject *type, nb::handle message) {
    nb::object error = make_exception(type, message);
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
}

void raise_text_from(PyObject *type, nb::handle message, const CaughtError &cause) {
    nb::object error = make_exception(type, message);
    PyObject *cause_value = cause.value().ptr();
    PyException_SetCause(error.ptr(), Py_NewRef(cause_value));
    PyException_SetContext(error.ptr(), Py_NewRef(cause_value));
    raise_as_is(error);
}

} // namespace velmo
