#include "module/methods.hpp"
#include "module/value_types.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>

namespace velmo {

static std::string plural(size_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void parse_arguments(const char *function, const Parameters &parameters, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    const size_t positional = (size_t)nargs;
    const size_t max_positional = parameters.count - parameters.keyword_only;
    if (positional > max_positional) {
        const size_t least = std::min(parameters.required, max_positional);
        std::string expected = least == max_positional ? std::to_string(max_positional)
                                                       : "from " + std::to_string(least) + " to " +
                                                             std::to_string(max_positional);
        raise(PyExc_TypeError, std::string(function) + "() takes " + expected +
                                   " positional argument" + (max_positional == 1 ? "" : "s") +
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

PyTypeObject *add_value_type(nb::module_ &m, PyType_Spec *type_spec, const char *name) {
    nb::object type = checked(PyType_FromModuleAndSpec(m.ptr(), type_spec, nullptr));
    if (PyObject_SetAttrString(m.ptr(), name, type.ptr()) < 0)
        throw nb::python_error();
    return (PyTypeObject *)type.release().ptr();
}

void add_method(nb::handle cls, PyMethodDef *def) {
    nb::object descriptor = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor.ptr()) < 0)
        throw nb::python_error();
}

void add_class_method(nb::handle cls, PyMethodDef *def) {
    nb::object descriptor = checked(PyDescr_NewClassMethod((PyTypeObject *)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor.ptr()) < 0)
        throw nb::python_error();
}

namespace {

void function_like_dealloc(PyObject *self);

int function_like_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionLike *function = (FunctionLike *)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->dict);
    for (PyObject *held : function->held)
        Py_VISIT(held);
    return 0;
}

int function_like_clear(PyObject *self) {
    FunctionLike *function = (FunctionLike *)self;
    Py_CLEAR(function->dict);
    for (PyObject *&held : function->held)
        Py_CLEAR(held);
    return 0;
}

void function_like_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_like_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *bind_to_instance(PyObject *self, PyObject *instance, PyObject *) noexcept {
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyMemberDef function_like_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionLike, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionLike, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_like_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *forward_to_method(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) noexcept {
    return PyObject_Vectorcall(((FunctionLike *)self)->held[0], args, nargsf, kwnames);
}

PyTypeObject *annotated_method_type = nullptr;

} // namespace

PyTypeObject *make_function_like_type(const char *name, bool binds_as_method) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)function_like_dealloc},
        {Py_tp_traverse, (void *)function_like_traverse},
        {Py_tp_clear, (void *)function_like_clear},
        {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_members, function_like_members},
        {Py_tp_getset, function_like_getset},
        {binds_as_method ? Py_tp_descr_get : 0, (void *)bind_to_instance},
        {0, nullptr},
    };
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    if (binds_as_method)
        flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
    PyType_Spec type_spec = {name, sizeof(FunctionLike), 0, flags, slots};
    return (PyTypeObject *)checked(PyType_FromModuleAndSpec(objects.module, &type_spec, nullptr))
        .release()
        .ptr();
}

nb::object new_function_like(PyTypeObject *type, vectorcallfunc call,
                             std::initializer_list<nb::handle> held) {
    FunctionLike *function = PyObject_GC_New(FunctionLike, type);
    if (!function)
        throw nb::python_error();
    function->dict = nullptr;
    function->vectorcall = call;
    size_t i = 0;
    for (PyObject *&slot : function->held)
        slot = i < held.size() ? Py_XNewRef(held.begin()[i++].ptr()) : nullptr;
    PyObject_GC_Track((PyObject *)function);
    return nb::steal((PyObject *)function);
}

void add_annotated_method(nb::handle cls, PyMethodDef *def, nb::handle annotations) {
    if (!annotated_method_type)
        annotated_method_type = make_function_like_type("velmo_device_communication.method", true);
    nb::object descriptor = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
    nb::object function = new_function_like(annotated_method_type, forward_to_method, {descriptor});
    for (const char *name : {"__name__", "__qualname__", "__doc__"})
        function.attr(name) = descriptor.attr(name);
    function.attr(name_of("__annotations__")) = annotations;
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, function.ptr()) < 0)
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
