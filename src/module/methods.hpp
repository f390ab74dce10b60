// Functions and methods with Python's own calling conventions: argument names, defaults
// supplied by the body, plain docstrings. Each is a PyMethodDef bound as a method
// descriptor (so a Python subclass may override it) or as a static method.
#pragma once

#include "module/guarded.hpp"
#include "module/runtime.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string>

namespace velmo {

inline constexpr size_t max_parameters = 8;

struct Parameter {
    const char *name;
    // The default as Python source for the text signature; nullptr for a required parameter.
    // The body supplies the value itself when the argument is not given.
    const char *default_text;
    bool keyword_only;
};

constexpr Parameter required(const char *name) {
    return {name, nullptr, false};
}
constexpr Parameter optional(const char *name, const char *default_text) {
    return {name, default_text, false};
}
constexpr Parameter keyword_only(const char *name, const char *default_text) {
    return {name, default_text, true};
}

// A parameter list: required parameters first, then optional ones, then keyword-only ones.
struct Parameters {
    std::array<Parameter, max_parameters> list{};
    size_t count = 0;
    size_t required = 0;
    size_t keyword_only = 0;
    const char *name(size_t index) const { return list[index].name; }
};

template <typename... Given> constexpr Parameters parameters(Given... given) {
    static_assert(sizeof...(Given) <= max_parameters, "too many parameters");
    Parameters result{{{given...}}, sizeof...(Given), 0, 0};
    for (size_t i = 0; i < result.count; ++i) {
        if (!result.list[i].default_text)
            ++result.required;
        if (result.list[i].keyword_only)
            ++result.keyword_only;
    }
    return result;
}

// Fills `out[0..count)` with borrowed arguments; an optional argument not given is nullptr.
void parse_arguments(const char *function, const Parameters &parameters, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

using MethodBody = nb::object (*)(nb::handle self, PyObject **args);

// What the callable is bound to, which its text signature names first.
enum class Receiver { instance, type, none };

struct Method {
    const char *name;
    const char *doc;
    Parameters parameters;
    MethodBody body;
    Receiver receiver = Receiver::instance;
};

// CPython's docstring form `name($self, a, b=0)\n--\n\n<doc>`: inspect.signature reads the
// first line, and __doc__ shows only the text after it.
std::string signature_doc(const char *name, const Parameters &parameters, Receiver receiver,
                          const char *doc);

template <const Method &M>
PyObject *method_trampoline(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                            PyObject *kwnames) noexcept {
    CallScope scope(self);
    return guarded_call([&] {
        PyObject *parsed[max_parameters] = {};
        parse_arguments(M.name, M.parameters, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        return M.body(self, parsed);
    });
}

template <const Method &M> PyMethodDef *method_def() {
    static const std::string doc = signature_doc(M.name, M.parameters, M.receiver, M.doc);
    static PyMethodDef def = {M.name, (PyCFunction)(void (*)(void))method_trampoline<M>,
                              METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    return &def;
}

// Whether `self.<name>` still resolves to the method `def` that this module bound on its
// class. A fast path that skips the Python call is taken only then: an override on a
// subclass, a patch of the class or an attribute of the instance is called through Python.
// The class half is cached on the type's version tag, which CPython resets whenever the type
// or one of its bases changes; the cache holds no reference (a tag is never reused).
class OriginalMethod {
  public:
    OriginalMethod(PyMethodDef *def, PyObject *Names::*name) : def_(def), name_(name) {}
    bool resolves(nb::handle self);

  private:
    PyMethodDef *def_;
    PyObject *Names::*name_;
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    bool original_ = false;
};

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
// The `__init__` of an ordinary class. Held like a Python function, so that inspect (which
// since 3.13 binds a class's `__init__` to the class) reads the constructor's signature.
void add_initializer(nb::handle cls, PyMethodDef *def);
// A class method of `cls`.
void add_class_method(nb::handle cls, PyMethodDef *def);
// A static method of `cls`.
void add_static_method(nb::handle cls, PyMethodDef *def);
// A module-level function; it is called on the module.
void add_function(nb::handle module, PyMethodDef *def);

// An ordinary class with an instance dictionary, like one written in Python.
nb::object make_class(nb::handle module, const char *name, const char *doc);

} // namespace velmo
