#include "module/runtime.hpp"

#include <cstdarg>
#include <stdexcept>

namespace velmo {

namespace {

// The call that runs on this thread: what it was called on, and its module's state once a
// part of the call asked for it.
struct RunningCall {
    PyObject *owner;
    ModuleState *state;
};

thread_local RunningCall running_call = {nullptr, nullptr};

ModuleState &state_of_owner(PyObject *owner) {
    if (!owner) {
        PyErr_SetString(PyExc_SystemError, "velmo_device_communication: no module state here");
        throw nb::python_error();
    }
    PyObject *module = owner;
    if (!PyModule_Check(owner)) {
        PyTypeObject *type = PyType_Check(owner) ? (PyTypeObject *)owner : Py_TYPE(owner);
        module = PyType_GetModuleByDef(type, &module_definition);
        if (!module)
            throw nb::python_error();
    }
    void *state = PyModule_GetState(module);
    if (!state)
        throw nb::python_error();
    return *static_cast<ModuleState *>(state);
}

} // namespace

CallScope::CallScope(PyObject *owner) noexcept
    : owner_(running_call.owner), state_(running_call.state) {
    running_call = {owner, nullptr};
}

CallScope::~CallScope() {
    running_call = {owner_, state_};
}

ModuleState &state() {
    if (!running_call.state)
        running_call.state = &state_of_owner(running_call.owner);
    return *running_call.state;
}

void initialise_state(ModuleState &state, PyObject *module) {
    state.module = module;
    state.dict = PyModule_GetDict(module);
#define VELMO_INTERN(field, text)                                                                  \
    state.names.field = checked(PyUnicode_InternFromString(text)).release().ptr();
#define VELMO_INTERN_NAME(field) VELMO_INTERN(field, #field)
    VELMO_NAMES(VELMO_INTERN_NAME, VELMO_INTERN)
#undef VELMO_INTERN_NAME
#undef VELMO_INTERN
}

int traverse_state(const ModuleState &state, visitproc visit, void *arg) {
#define VELMO_VISIT(type, field) Py_VISIT(state.field);
    VELMO_STATE_OBJECTS(VELMO_VISIT)
#undef VELMO_VISIT
    return 0;
}

void clear_state(ModuleState &state) {
#define VELMO_CLEAR(type, field) Py_CLEAR(state.field);
#define VELMO_CLEAR_NAME(field) Py_CLEAR(state.names.field);
#define VELMO_CLEAR_NAMED(field, text) VELMO_CLEAR_NAME(field)
    VELMO_STATE_OBJECTS(VELMO_CLEAR)
    VELMO_NAMES(VELMO_CLEAR_NAME, VELMO_CLEAR_NAMED)
#undef VELMO_CLEAR_NAMED
#undef VELMO_CLEAR_NAME
#undef VELMO_CLEAR
}

nb::object name_of(const char *name) {
    return checked(PyUnicode_InternFromString(name));
}

nb::object module_global(nb::handle name) {
    PyObject *value = PyDict_GetItemWithError(state().dict, name.ptr());
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object call_method_with(nb::handle name, PyObject *const *stack, size_t count) {
    return checked(PyObject_VectorcallMethod(name.ptr(), stack, count, nullptr));
}

nb::object call_with_keywords(nb::handle callable, std::initializer_list<nb::handle> arguments,
                              std::initializer_list<nb::handle> keywords) {
    constexpr size_t most = 8;
    PyObject *stack[most];
    if (arguments.size() > most || keywords.size() > arguments.size())
        throw std::invalid_argument("call_with_keywords: argument list");
    size_t count = 0;
    for (nb::handle argument : arguments)
        stack[count++] = argument.ptr();
    nb::object names = checked(PyTuple_New((Py_ssize_t)keywords.size()));
    Py_ssize_t index = 0;
    for (nb::handle keyword : keywords)
        PyTuple_SET_ITEM(names.ptr(), index++, Py_NewRef(keyword.ptr()));
    return checked(
        PyObject_Vectorcall(callable.ptr(), stack, count - keywords.size(), names.ptr()));
}

nb::object format_text_of(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyObject *text = PyUnicode_FromFormatV(format, arguments);
    va_end(arguments);
    return checked(text);
}

void log_text(LogLevel level, nb::handle text) {
    static PyObject *Names::*const methods[] = {&Names::debug, &Names::info, &Names::warning,
                                                &Names::error};
    const Names &known = names();
    call_method(module_global(known.logger), known.*methods[static_cast<int>(level)], text);
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
