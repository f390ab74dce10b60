#include "module/methods.hpp"

#include <cstring>

namespace velmo {

static std::string plural(size_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void parse_arguments(const char *function, const Parameters &parameters, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    const size_t positional = (size_t)nargs;
    if (positional > parameters.count) {
        std::string expected = parameters.required == parameters.count
                                   ? std::to_string(parameters.count)
                                   : "from " + std::to_string(parameters.required) + " to " +
                                         std::to_string(parameters.count);
        raise(PyExc_TypeError, std::string(function) + "() takes " + expected +
                                   " positional argument" + (parameters.count == 1 ? "" : "s") +
                                   " but " + std::to_string(positional) +
                                   (positional == 1 ? " was" : " were") + " given");
    }
    for (size_t i = 0; i < positional; ++i)
        out[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        const char *keyword = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!keyword)
            throw nb::python_error();
        size_t index = 0;
        while (index < parameters.count && std::strcmp(parameters.names[index], keyword) != 0)
            ++index;
        if (index == parameters.count)
            raise(PyExc_TypeError, std::string(function) +
                                       "() got an unexpected keyword argument '" + keyword + "'");
        if (out[index])
            raise(PyExc_TypeError,
                  std::string(function) + "() got multiple values for argument '" + keyword + "'");
        out[index] = args[nargs + k];
    }
    for (size_t i = 0; i < parameters.required; ++i) {
        if (!out[i]) {
            size_t missing = 0;
            for (size_t j = i; j < parameters.required; ++j)
                missing += out[j] ? 0 : 1;
            raise(PyExc_TypeError, std::string(function) + "() missing " +
                                       plural(missing, "required positional argument") + ": '" +
                                       parameters.names[i] + "'");
        }
    }
}

void restore_exception(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void add_method(nb::handle cls, PyMethodDef *def) {
    nb::object descriptor = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor.ptr()) < 0)
        throw nb::python_error();
}

void add_static_method(nb::handle cls, PyMethodDef *def) {
    nb::object function = checked(PyCFunction_NewEx(def, nullptr, objects.module));
    nb::object descriptor = checked(PyStaticMethod_New(function.ptr()));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor.ptr()) < 0)
        throw nb::python_error();
}

void add_function(nb::handle module, PyMethodDef *def) {
    nb::object name = checked(PyUnicode_FromString(module_name));
    nb::object function = checked(PyCFunction_NewEx(def, nullptr, name.ptr()));
    if (PyObject_SetAttrString(module.ptr(), def->ml_name, function.ptr()) < 0)
        throw nb::python_error();
}

nb::object make_class(nb::handle module, const char *name, const char *doc) {
    nb::object namespace_ = checked(PyDict_New());
    nb::object module_text = checked(PyUnicode_FromString(module_name));
    PyDict_SetItemString(namespace_.ptr(), "__module__", module_text.ptr());
    if (doc) {
        nb::object doc_text = checked(PyUnicode_FromString(doc));
        PyDict_SetItemString(namespace_.ptr(), "__doc__", doc_text.ptr());
    }
    nb::object cls =
        checked(PyObject_CallFunction((PyObject *)&PyType_Type, "s()O", name, namespace_.ptr()));
    if (PyObject_SetAttrString(module.ptr(), name, cls.ptr()) < 0)
        throw nb::python_error();
    return cls;
}

} // namespace velmo
