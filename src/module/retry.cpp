// The retry policy: a decorator factory whose wrappers repeat a call that times out.
// Decorator and wrapper are small callable types with an instance dictionary, so that
// functools.wraps can copy names onto them, and the wrapper binds as a method like a
// function does when it is stored on a class.
#include "module/retry.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"

#include <structmember.h>

#include <optional>

namespace velmo {

namespace {

struct Policy {
    PyObject_HEAD PyObject *dict;
    vectorcallfunc vectorcall;
    PyObject *max_attempts;
    PyObject *delay;
    PyObject *function; // the wrapped function; nullptr in a decorator
};

PyTypeObject *decorator_type = nullptr;
PyTypeObject *wrapper_type = nullptr;

int policy_traverse(PyObject *self, visitproc visit, void *arg) {
    Policy *policy = (Policy *)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(policy->dict);
    Py_VISIT(policy->max_attempts);
    Py_VISIT(policy->delay);
    Py_VISIT(policy->function);
    return 0;
}

int policy_clear(PyObject *self) {
    Policy *policy = (Policy *)self;
    Py_CLEAR(policy->dict);
    Py_CLEAR(policy->max_attempts);
    Py_CLEAR(policy->delay);
    Py_CLEAR(policy->function);
    return 0;
}

void policy_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    policy_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

nb::object new_policy(PyTypeObject *type, PyObject *max_attempts, PyObject *delay,
                      PyObject *function, vectorcallfunc call, const char *name,
                      const char *qualname) {
    Policy *policy = PyObject_GC_New(Policy, type);
    if (!policy)
        throw nb::python_error();
    policy->dict = nullptr;
    policy->vectorcall = call;
    policy->max_attempts = Py_NewRef(max_attempts);
    policy->delay = Py_NewRef(delay);
    policy->function = Py_XNewRef(function);
    PyObject_GC_Track((PyObject *)policy);
    nb::object result = nb::steal((PyObject *)policy);
    result.attr("__name__") = nb::str(name);
    result.attr("__qualname__") = nb::str(qualname);
    return result;
}

// One call of the wrapper: the algorithm of the retry policy.
nb::object call_with_retries(Policy *policy, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    long max_attempts = PyLong_AsLong(policy->max_attempts);
    if (max_attempts == -1 && PyErr_Occurred())
        throw nb::python_error();
    std::optional<CaughtError> remembered;
    for (long attempt = 1; attempt < max_attempts + 1; ++attempt) {
        PyObject *result = PyObject_Vectorcall(policy->function, args, nargsf, kwnames);
        if (result)
            return nb::steal(result);
        nb::python_error raised;
        CaughtError error(raised);
        if (!error.matches(objects.timeout_error))
            error.rethrow();
        remembered = error;
        if (attempt < max_attempts) {
            log_warning("Attempting Retry");
            call_method(module_global("time"), "sleep", policy->delay);
        } else {
            log_error("Retries failed after ");
        }
    }
    if (!remembered)
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    remembered->rethrow();
}

PyObject *wrapper_call(PyObject *self, PyObject *const *args, size_t nargsf,
                       PyObject *kwnames) noexcept {
    try {
        return call_with_retries((Policy *)self, args, nargsf, kwnames).release().ptr();
    } catch (...) {
        restore_exception(std::current_exception());
        return nullptr;
    }
}

PyObject *wrapper_get(PyObject *self, PyObject *instance, PyObject *) noexcept {
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *decorator_call(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) noexcept {
    static const Parameters parameters{{"func"}, 1, 1};
    PyObject *parsed[max_parameters] = {};
    try {
        parse_arguments("decorator", parameters, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        Policy *policy = (Policy *)self;
        nb::object wrapper =
            new_policy(wrapper_type, policy->max_attempts, policy->delay, parsed[0], wrapper_call,
                       "wrapper", "retry_on_timeout.<locals>.decorator.<locals>.wrapper");
        nb::object wraps = module_global("wraps");
        nb::object apply_wraps = checked(PyObject_CallOneArg(wraps.ptr(), parsed[0]));
        return checked(PyObject_CallOneArg(apply_wraps.ptr(), wrapper.ptr())).release().ptr();
    } catch (...) {
        restore_exception(std::current_exception());
        return nullptr;
    }
}

PyMemberDef policy_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Policy, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Policy, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef policy_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *make_policy_type(const char *name, descrgetfunc descriptor_get) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)policy_dealloc},
        {Py_tp_traverse, (void *)policy_traverse},
        {Py_tp_clear, (void *)policy_clear},
        {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_members, policy_members},
        {Py_tp_getset, policy_getset},
        {descriptor_get ? Py_tp_descr_get : 0, (void *)descriptor_get},
        {0, nullptr},
    };
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    if (descriptor_get)
        flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
    PyType_Spec spec = {name, sizeof(Policy), 0, flags, slots};
    PyObject *type = PyType_FromModuleAndSpec(objects.module, &spec, nullptr);
    if (!type)
        throw nb::python_error();
    return (PyTypeObject *)type;
}

nb::object make_decorator(PyObject *max_attempts, PyObject *delay) {
    return new_policy(decorator_type, max_attempts, delay, nullptr, decorator_call, "decorator",
                      "retry_on_timeout.<locals>.decorator");
}

const Method retry_on_timeout{"retry_on_timeout",
                              "Decorator to retry operations that may timeout.",
                              {{"max_attempts", "delay"}, 2, 0},
                              [](nb::handle, PyObject **args) -> nb::object {
                                  nb::object max_attempts =
                                      args[0] ? nb::borrow(args[0]) : new_int(3);
                                  nb::object delay = args[1] ? nb::borrow(args[1]) : new_float(0.1);
                                  return make_decorator(max_attempts.ptr(), delay.ptr());
                              }};

} // namespace

void bind_retry(nb::module_ &m) {
    decorator_type = make_policy_type("velmo_device_communication.decorator", nullptr);
    wrapper_type = make_policy_type("velmo_device_communication.wrapper", wrapper_get);
    add_function(m, method_def<retry_on_timeout>());
}

nb::object retry_with_defaults(nb::handle function) {
    nb::object decorator = call_method(objects.module, "retry_on_timeout");
    return checked(PyObject_CallOneArg(decorator.ptr(), function.ptr()));
}

} // namespace velmo
