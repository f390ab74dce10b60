#include "module/methods.hpp"
#include "module/value_types.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace velmo {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': CPython's list of missing arguments.
static std::string quoted_list(const std::vector<const char *> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0 && i + 1 < names.size())
            text += ", ";
        else if (i > 0)
            text += names.size() == 2 ? " and " : ", and ";
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

void parse_arguments(const char *function, const Parameters &parameters, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    const size_t positional = (size_t)nargs;
    const size_t max_positional = parameters.count - parameters.keyword_only;
    if (!kwnames && positional >= parameters.required && positional <= max_positional) {
        for (size_t i = 0; i < positional; ++i)
            out[i] = args[i];
        return;
    }
    if (positional > max_positional) {
        const size_t least = std::min(parameters.required, max_positional);
        const char *plural = max_positional == 1 ? "" : "s";
        const char *verb = positional == 1 ? "was" : "were";
        if (least == max_positional)
            raise(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                  function, max_positional, plural, positional, verb);
        raise(PyExc_TypeError, "%s() takes from %zu to %zu positional argument%s but %zu %s given",
              function, least, max_positional, plural, positional, verb);
    }
    for (size_t i = 0; i < positional; ++i)
        out[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t index = 0;
        while (index < parameters.count &&
               PyUnicode_CompareWithASCIIString(keyword, parameters.name(index)) != 0)
            ++index;
        if (index == parameters.count)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                  nb::handle(keyword));
        if (out[index])
            raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                  parameters.name(index));
        out[index] = args[nargs + k];
    }
    std::vector<const char *> missing;
    for (size_t i = 0; i < parameters.required; ++i)
        if (!out[i])
            missing.push_back(parameters.name(i));
    if (!missing.empty())
        raise(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
              missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
}

std::string signature_doc(const char *name, const Parameters &parameters, Receiver receiver,
                          const char *doc) {
    std::string text = std::string(name) + "(";
    const char *separator = "";
    if (receiver != Receiver::none) {
        text += receiver == Receiver::instance ? "$self" : "$type";
        separator = ", ";
    }
    for (size_t i = 0; i < parameters.count; ++i) {
        const Parameter &parameter = parameters.list[i];
        text += separator;
        if (parameter.keyword_only && (i == 0 || !parameters.list[i - 1].keyword_only))
            text += "*, ";
        text += parameter.name;
        if (parameter.default_text)
            text += std::string("=") + parameter.default_text;
        separator = ", ";
    }
    text += ")\n--\n\n";
    if (doc)
        text += doc;
    return text;
}

PyTypeObject *add_value_type(nb::module_ &m, const PyType_Spec &type_spec, const char *name,
                             const Parameters &constructor, const char *doc) {
    const std::string signed_doc = signature_doc(name, constructor, Receiver::none, doc);
    std::vector<PyType_Slot> slots;
    for (PyType_Slot *slot = type_spec.slots; slot->slot != 0; ++slot)
        slots.push_back(*slot);
    slots.push_back({Py_tp_doc, (void *)signed_doc.c_str()});
    slots.push_back({0, nullptr});
    PyType_Spec complete = type_spec;
    complete.flags |= Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
    complete.slots = slots.data();
    // The docstring is copied into the type.
    nb::object type = checked(PyType_FromModuleAndSpec(m.ptr(), &complete, nullptr));
    if (PyObject_SetAttrString(m.ptr(), name, type.ptr()) < 0)
        throw nb::python_error();
    return (PyTypeObject *)type.release().ptr();
}

// `object.name`, or an empty object when it is not set.
static nb::object attribute_if_set(nb::handle object, nb::handle name) {
    PyObject *value = PyObject_GetAttr(object.ptr(), name.ptr());
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

nb::object reduce_value(nb::handle self, const PyGetSetDef *fields, const Parameters &constructor) {
    nb::object new_arguments = checked(PyTuple_New((Py_ssize_t)constructor.count + 1));
    PyTuple_SET_ITEM(new_arguments.ptr(), 0, Py_NewRef((PyObject *)Py_TYPE(self.ptr())));
    for (size_t i = 0; i < constructor.count; ++i) {
        nb::object value = checked(PyObject_GetAttrString(self.ptr(), constructor.name(i)));
        PyTuple_SET_ITEM(new_arguments.ptr(), (Py_ssize_t)i + 1, value.release().ptr());
    }
    nb::object field_values = checked(PyDict_New());
    for (const PyGetSetDef *field = fields; field->name; ++field) {
        nb::object value = checked(field->get(self.ptr(), field->closure));
        if (PyDict_SetItemString(field_values.ptr(), field->name, value.ptr()) < 0)
            throw nb::python_error();
    }
    // The __slots__ of a Python subclass that are set, found as object.__reduce_ex__ finds them.
    const Names &known = names();
    nb::object copyreg = checked(PyImport_ImportModule("copyreg"));
    nb::object slot_names = call_method(copyreg, known._slotnames, nb::handle(Py_TYPE(self.ptr())));
    for (nb::handle slot_name : slot_names) {
        nb::object value = attribute_if_set(self, slot_name);
        if (value.is_valid() &&
            PyDict_SetItem(field_values.ptr(), slot_name.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }
    // Only a Python subclass without __slots__, or with a __dict__ slot, has an instance dict.
    nb::object dict = attribute_if_set(self, known.dunder_dict);
    nb::object instance_dict = dict.is_valid() ? dict : nb::none();
    nb::object newobj = attribute(copyreg, known.dunder_newobj);
    return checked(Py_BuildValue("(OO(OO))", newobj.ptr(), new_arguments.ptr(), instance_dict.ptr(),
                                 field_values.ptr()));
}

bool OriginalMethod::resolves(nb::handle self) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    nb::handle name = names().*name_;
    if (type != type_ || version_ == 0 || type->tp_version_tag != version_) {
        nb::object found = checked(PyObject_GetAttr((PyObject *)type, name.ptr()));
        // An attribute hook of the class (__getattribute__, __getattr__) may answer the name
        // differently on an instance.
        original_ = Py_IS_TYPE(found.ptr(), &PyMethodDescr_Type) &&
                    reinterpret_cast<PyMethodDescrObject *>(found.ptr())->d_method == def_ &&
                    type->tp_getattro == PyObject_GenericGetAttr;
        // The look-up above gave the type a valid tag if it can have one.
        type_ = type;
        version_ = type->tp_version_tag;
    }
    if (!original_)
        return false;
    if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return true;
    nb::object dict = checked(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject *shadowing = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!shadowing && PyErr_Occurred())
        throw nb::python_error();
    return !shadowing;
}

// Sets an attribute of a class while the module is built. An immutable value type refuses
// setattr, so its dictionary is written directly, before any code can have looked it up.
static void set_class_attribute(nb::handle cls, const char *name, nb::handle value) {
    PyTypeObject *type = (PyTypeObject *)cls.ptr();
    if (!(type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) {
        if (PyObject_SetAttrString(cls.ptr(), name, value.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    if (PyDict_SetItemString(type->tp_dict, name, value.ptr()) < 0)
        throw nb::python_error();
    PyType_Modified(type);
}

void add_method(nb::handle cls, PyMethodDef *def) {
    nb::object descriptor = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
    set_class_attribute(cls, def->ml_name, descriptor);
}

void add_class_method(nb::handle cls, PyMethodDef *def) {
    nb::object descriptor = checked(PyDescr_NewClassMethod((PyTypeObject *)cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor.ptr()) < 0)
        throw nb::python_error();
}

namespace {

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

} // namespace

PyTypeObject *make_function_like_type(const char *name, bool binds_as_method) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)dealloc_collected<function_like_clear>},
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
    return (PyTypeObject *)checked(PyType_FromModuleAndSpec(state().module, &type_spec, nullptr))
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

// A method of `cls` held by a function-like object, as a Python function would be: it binds
// to whatever its descriptor protocol is given and can carry attributes.
static nb::object add_function_method(nb::handle cls, PyMethodDef *def) {
    ModuleState &module_state = state();
    if (!module_state.function_method_type)
        module_state.function_method_type =
            make_function_like_type("velmo_device_communication.method", true);
    nb::object descriptor = checked(PyDescr_NewMethod((PyTypeObject *)cls.ptr(), def));
    nb::object function =
        new_function_like(module_state.function_method_type, forward_to_method, {descriptor});
    for (const char *name : {"__name__", "__qualname__", "__doc__", "__text_signature__"})
        function.attr(name) = descriptor.attr(name);
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, function.ptr()) < 0)
        throw nb::python_error();
    return function;
}

void add_annotated_method(nb::handle cls, PyMethodDef *def, nb::handle annotations) {
    add_function_method(cls, def).attr(names().dunder_annotations) = annotations;
}

void add_initializer(nb::handle cls, PyMethodDef *def) {
    add_function_method(cls, def);
}

// Functions carry the module's name, not the module, as `__module__`. A static method's
// function holds its class as `__self__`, which gives it its qualified name and lets pickle
// find it as an attribute of the class; a module function holds the module, as the built-in
// functions do. Either is what the call's module state is found from.
static nb::object new_module_function(PyMethodDef *def, nb::handle owner) {
    nb::object name = checked(PyUnicode_FromString(module_name));
    return checked(PyCFunction_NewEx(def, owner.ptr(), name.ptr()));
}

void add_static_method(nb::handle cls, PyMethodDef *def) {
    nb::object function = new_module_function(def, cls);
    nb::object descriptor = checked(PyStaticMethod_New(function.ptr()));
    set_class_attribute(cls, def->ml_name, descriptor);
}

void add_function(nb::handle module, PyMethodDef *def) {
    nb::object function = new_module_function(def, module);
    if (PyObject_SetAttrString(module.ptr(), def->ml_name, function.ptr()) < 0)
        throw nb::python_error();
}

nb::object make_class(nb::handle module, const char *name, const char *doc) {
    nb::object namespace_ = checked(PyDict_New());
    nb::object module_text = checked(PyUnicode_FromString(module_name));
    if (PyDict_SetItemString(namespace_.ptr(), "__module__", module_text.ptr()) < 0)
        throw nb::python_error();
    if (doc) {
        nb::object doc_text = checked(PyUnicode_FromString(doc));
        if (PyDict_SetItemString(namespace_.ptr(), "__doc__", doc_text.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object cls =
        checked(PyObject_CallFunction((PyObject *)&PyType_Type, "s()O", name, namespace_.ptr()));
    // A class made by calling `type` has no module; given this one, its methods reach the
    // module state through it as those of the value types do (PyType_GetModuleByDef). The
    // class releases it and shows it to the collector as it does for any heap type.
    reinterpret_cast<PyHeapTypeObject *>(cls.ptr())->ht_module = Py_NewRef(module.ptr());
    if (PyObject_SetAttrString(module.ptr(), name, cls.ptr()) < 0)
        throw nb::python_error();
    return cls;
}

} // namespace velmo
