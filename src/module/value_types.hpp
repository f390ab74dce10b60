// Slots of the raw value types: fixed native fields that convert on assignment.
#pragma once

#include "module/conversions.hpp"
#include "module/methods.hpp"

namespace velmo {

// The value types' fields cannot be deleted.
inline int refuse_deletion() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// The setter of a native field: `value` converted, deletion refused.
template <typename Field, Field (*Convert)(nb::handle)>
int set_field(Field &field, PyObject *value) noexcept {
    if (!value)
        return refuse_deletion();
    return guarded_slot([&] { field = Convert(value); });
}

// Getters and setters of a value type's native number fields: `Numbers` is the struct of
// numbers inside an instance, found by `numbers_of`.
template <typename NumberStruct, NumberStruct &(*numbers_of)(PyObject *)> struct NumberFields {
    using Numbers = NumberStruct;

    template <double Numbers::*Field> static PyObject *get_double(PyObject *self, void *) noexcept {
        return PyFloat_FromDouble(numbers_of(self).*Field);
    }
    template <double Numbers::*Field>
    static int set_double(PyObject *self, PyObject *value, void *) noexcept {
        return set_field<double, to_double>(numbers_of(self).*Field, value);
    }
    template <int32_t Numbers::*Field> static PyObject *get_int(PyObject *self, void *) noexcept {
        return PyLong_FromLong(numbers_of(self).*Field);
    }
    template <int32_t Numbers::*Field>
    static int set_int(PyObject *self, PyObject *value, void *) noexcept {
        return set_field<int32_t, to_int32>(numbers_of(self).*Field, value);
    }
};

// The getset entry of a number field of `Fields` (a NumberFields) named as its member, with
// the C type in its docstring.
#define VELMO_DOUBLE_FIELD(Fields, name)                                                           \
    {#name, Fields::get_double<&Fields::Numbers::name>,                                            \
     Fields::set_double<&Fields::Numbers::name>, #name ": 'double'", nullptr}
#define VELMO_INT_FIELD(Fields, name)                                                              \
    {#name, Fields::get_int<&Fields::Numbers::name>, Fields::set_int<&Fields::Numbers::name>,      \
     #name ": 'int'", nullptr}

// Deallocation of a value type that holds no Python state.
inline void dealloc_plain_value(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Deallocation of a type the collector tracks: untracked first, so that a collection run
// by the frees below never visits a half-freed object. These objects can hold their own
// kind (a record as another's raw data, a wrapper around a wrapper): the trashcan defers
// the frees of a long chain instead of recursing once per link.
template <int (*Clear)(PyObject *)> void dealloc_collected(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc_collected<Clear>)
    Clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// Creates a value type and binds it as a module attribute. Every value type is subclassable
// from Python and, as compiled classes are, immutable: a fast path that reads native fields
// can then never disagree with a patched class. The docstring gets the constructor's text
// signature. `type_spec` lists the slots other than Py_tp_doc; its flags need only name
// what the type adds (Py_TPFLAGS_HAVE_GC).
PyTypeObject *add_value_type(nb::module_ &m, const PyType_Spec &type_spec, const char *name,
                             const Parameters &constructor, const char *doc);

// Pickling of a value type: `copyreg.__newobj__(type(self), *constructor fields)` (so a
// subclass's __init__ is not called), with the instance __dict__ and the set __slots__ of a
// Python subclass and every field of `fields` as state, restored by pickle's default setattr
// of each field and slot.
//
// Every value type builds its fields in __init__; its __new__ takes the constructor's
// arguments and ignores them, as object.__new__ does, so that a subclass may add its own.
nb::object reduce_value(nb::handle self, const PyGetSetDef *fields, const Parameters &constructor);

template <const PyGetSetDef *Fields, const Parameters &Constructor>
const Method reduce_method{"__reduce__", "Helper for pickle.", parameters(),
                           [](nb::handle self, PyObject **) -> nb::object {
                               return reduce_value(self, Fields, Constructor);
                           }};

// A getter of an object field that tp_clear may have emptied: the field reads as None.
inline PyObject *field_or_none(PyObject *field) {
    return Py_NewRef(field ? field : Py_None);
}

} // namespace velmo
