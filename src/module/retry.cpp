// The retry policy: a decorator factory whose wrappers repeat a call that times out.
// Decorator and wrapper are function-like objects, so that functools.wraps can copy names
// onto the wrapper and it binds as a method when stored on a class.
#include "module/retry.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"

#include <optional>

namespace velmo {

namespace {

// held[0] and held[1]: the policy's max_attempts and delay; held[2]: the wrapped function.
enum Held { max_attempts_held, delay_held, function_held };

nb::object new_policy(PyTypeObject *type, vectorcallfunc call,
                      std::initializer_list<nb::handle> held, const char *name,
                      const char *qualname) {
    nb::object result = new_function_like(type, call, held);
    result.attr(names().dunder_name) = nb::str(name);
    result.attr(names().dunder_qualname) = nb::str(qualname);
    return result;
}

// One call of the wrapper: the algorithm of the retry policy.
nb::object call_with_retries(FunctionLike *policy, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    long long max_attempts = PyLong_AsLongLong(policy->held[max_attempts_held]);
    if (max_attempts == -1 && PyErr_Occurred())
        throw nb::python_error();
    std::optional<CaughtError> remembered;
    for (long long attempt = 1; attempt <= max_attempts; ++attempt) {
        PyObject *result = PyObject_Vectorcall(policy->held[function_held], args, nargsf, kwnames);
        if (result)
            return nb::steal(result);
        nb::python_error raised;
        CaughtError error(raised);
        if (!error.matches(state().timeout_error))
            error.rethrow();
        remembered = error;
        if (attempt < max_attempts) {
            log_warning("Attempting Retry");
            call_method(module_global(names().time), names().sleep, policy->held[delay_held]);
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
    CallScope scope(self);
    return guarded_call(
        [&] { return call_with_retries((FunctionLike *)self, args, nargsf, kwnames); });
}

PyObject *decorator_call(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) noexcept {
    static const Parameters func_parameter = parameters(required("func"));
    CallScope scope(self);
    return guarded_call([&] {
        PyObject *parsed[max_parameters] = {};
        parse_arguments("decorator", func_parameter, args, PyVectorcall_NARGS(nargsf), kwnames,
                        parsed);
        FunctionLike *policy = (FunctionLike *)self;
        nb::object wrapper =
            new_policy(state().wrapper_type, wrapper_call,
                       {policy->held[max_attempts_held], policy->held[delay_held], parsed[0]},
                       "wrapper", "retry_on_timeout.<locals>.decorator.<locals>.wrapper");
        nb::object wraps = module_global(names().wraps);
        nb::object apply_wraps = checked(PyObject_CallOneArg(wraps.ptr(), parsed[0]));
        return checked(PyObject_CallOneArg(apply_wraps.ptr(), wrapper.ptr()));
    });
}

nb::object make_decorator(PyObject *max_attempts, PyObject *delay) {
    return new_policy(state().decorator_type, decorator_call, {max_attempts, delay}, "decorator",
                      "retry_on_timeout.<locals>.decorator");
}

const Method retry_on_timeout{"retry_on_timeout", "Decorator to retry operations that may timeout.",
                              parameters(optional("max_attempts", "3"), optional("delay", "0.1")),
                              [](nb::handle, PyObject **args) -> nb::object {
                                  nb::object max_attempts =
                                      args[0] ? nb::borrow(args[0]) : new_int(3);
                                  nb::object delay = args[1] ? nb::borrow(args[1]) : new_float(0.1);
                                  return make_decorator(max_attempts.ptr(), delay.ptr());
                              },
                              Receiver::none};

} // namespace

void bind_retry(nb::module_ &m) {
    ModuleState &module_state = state();
    module_state.decorator_type =
        make_function_like_type("velmo_device_communication.decorator", false);
    module_state.wrapper_type = make_function_like_type("velmo_device_communication.wrapper", true);
    add_function(m, method_def<retry_on_timeout>());
}

nb::object retry_with_defaults(nb::handle function) {
    nb::object decorator = call_method(state().module, names().retry_on_timeout);
    return checked(PyObject_CallOneArg(decorator.ptr(), function.ptr()));
}

} // namespace velmo
