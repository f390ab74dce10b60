// Functions and methods with Python's own calling conventions: argument names, defaults
// supplied by the body, plain docstrings. Each is a PyMethodDef bound as a method
// descriptor (so a Python subclass may override it) or as a static method.
#pragma once

#include "module/runtime.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>

namespace velmo {

inline constexpr size_t max_parameters = 8;

struct Parameters {
    std::array<const char *, max_parameters> names;
    size_t count;
    size_t required;
    // The last `keyword_only` parameters cannot be given by position.
    size_t keyword_only = 0;
};

// Fills `out[0..count)` with borrowed arguments; an optional argument not given is nullptr.
void parse_arguments(const char *function, const Parameters &parameters, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

using MethodBody = nb::object (*)(nb::handle self, PyObject **args);

struct Method {
    const char *name;
    const char *doc;
    Parameters parameters;
    MethodBody body;
};

// Turns a C++ exception into a pending Python error.
void restore_exception(std::exception_ptr error) noexcept;

// A C entry point whose C++ exceptions become a pending Python error and a NULL result.
template <typename Body> PyObject *guarded_call(Body body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        restore_exception(std::current_exception());
        return nullptr;
    }
}

template <const Method &M>
PyObject *method_trampoline(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                            PyObject *kwnames) noexcept {
    return guarded_call([&] {
        PyObject *parsed[max_parameters] = {};
        parse_arguments(M.name, M.parameters, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        return M.body(self, parsed);
    });
}

template <const Method &M> PyMethodDef *method_def() {
    static PyMethodDef def = {M.name, (PyCFunction)(void (*)(void))method_trampoline<M>,
                              METH_FASTCALL | METH_KEYWORDS, M.doc};
    return &def;
}

// A method of `cls`, bound like a Python function defined in the class body.
void add_method(nb::handle cls, PyMethodDef *def);
// A callable with an instance dictionary, like a Python function: functools.wraps can copy
// names onto it, and a type made with `binds_as_method` turns into a bound method when read
// from an instance, as functions stored on a class do.
struct FunctionLike {
    PyObject_HEAD PyObject *dict;
    vectorcallfunc vectorcall;
    PyObject *held[3]; // the objects the call works with
};

PyTypeObject *make_function_like_type(const char *name, bool binds_as_method);
nb::object new_function_like(PyTypeObject *type, vectorcallfunc call,
                             std::initializer_list<nb::handle> held);

// A method of `cls` whose function object carries `__annotations__`.
void add_annotated_method(nb::handle cls, PyMethodDef *def, nb::handle annotations);
// A class method of `cls`.
void add_class_method(nb::handle cls, PyMethodDef *def);
// A static method of `cls`.
void add_static_method(nb::handle cls, PyMethodDef *def);
// A module-level function.
void add_function(nb::handle module, PyMethodDef *def);

// An ordinary class with an instance dictionary, like one written in Python.
nb::object make_class(nb::handle module, const char *name, const char *doc);

} // namespace velmo
