#include "module/runtime.hpp"

#include <unordered_map>

namespace velmo {

ModuleObjects objects;

nb::object module_global(const char *name) {
    PyObject *value = PyDict_GetItemWithError(objects.dict, name_of(name).ptr());
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

static void log_at(const char *level, const std::string &text) {
    nb::object message = checked(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
    call_method(objects.logger, level, message);
}

void log_debug(const std::string &text) {
    log_at("debug", text);
}
void log_info(const std::string &text) {
    log_at("info", text);
}
void log_warning(const std::string &text) {
    log_at("warning", text);
}
void log_error(const std::string &text) {
    log_at("error", text);
}

std::string str_of(nb::handle value) {
    nb::object text = checked(PyObject_Str(value.ptr()));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t)size);
}

std::string type_name_of(nb::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

static nb::object make_exception(PyObject *type, const std::string &message) {
    nb::object text =
        checked(PyUnicode_FromStringAndSize(message.data(), (Py_ssize_t)message.size()));
    return checked(PyObject_CallOneArg(type, text.ptr()));
}

void raise(PyObject *type, const std::string &message) {
    nb::object error = make_exception(type, message);
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
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

std::string CaughtError::text() const {
    return str_of(value_);
}

void CaughtError::rethrow() const {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(value_.ptr()));
#else
    PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(value_.ptr())), Py_NewRef(value_.ptr()),
                  PyException_GetTraceback(value_.ptr()));
#endif
    throw nb::python_error();
}

void raise_from(PyObject *type, const std::string &message, const CaughtError &cause) {
    nb::object error = make_exception(type, message);
    PyObject *cause_value = cause.value().ptr();
    PyException_SetCause(error.ptr(), Py_NewRef(cause_value));
    PyException_SetContext(error.ptr(), Py_NewRef(cause_value));
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
}

nb::handle name_of(const char *name) {
    // Keyed by the literal's address: the same call site always passes the same pointer.
    static std::unordered_map<const char *, PyObject *> names;
    auto found = names.find(name);
    if (found != names.end())
        return found->second;
    PyObject *interned = checked(PyUnicode_InternFromString(name)).release().ptr();
    names.emplace(name, interned);
    return interned;
}

nb::object call_method(nb::handle self, const char *name) {
    return checked(PyObject_CallMethodNoArgs(self.ptr(), name_of(name).ptr()));
}

nb::object call_method(nb::handle self, const char *name, nb::handle arg) {
    return checked(PyObject_CallMethodOneArg(self.ptr(), name_of(name).ptr(), arg.ptr()));
}

nb::object call_method(nb::handle self, const char *name, nb::handle arg1, nb::handle arg2) {
    PyObject *args[] = {self.ptr(), arg1.ptr(), arg2.ptr()};
    return checked(PyObject_VectorcallMethod(name_of(name).ptr(), args, 3, nullptr));
}

} // namespace velmo
