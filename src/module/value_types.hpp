// Slots of the raw value types: fixed native fields that convert on assignment.
#pragma once

#include "module/methods.hpp"

namespace velmo {

// The value types' fields cannot be deleted.
inline int refuse_deletion() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A slot body whose C++ exceptions become a pending Python error and a -1 result.
template <typename Body> int guarded_slot(Body body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        restore_exception(std::current_exception());
        return -1;
    }
}

// The setter of a native field: `value` converted, deletion refused.
template <typename Field, Field (*Convert)(nb::handle)>
int set_field(Field &field, PyObject *value) noexcept {
    if (!value)
        return refuse_deletion();
    return guarded_slot([&] { field = Convert(value); });
}

// Deallocation of a value type that holds no Python objects.
inline void dealloc_plain_value(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Creates a type from its slots and binds it as a module attribute.
PyTypeObject *add_value_type(nb::module_ &m, PyType_Spec *type_spec, const char *name);

} // namespace velmo
