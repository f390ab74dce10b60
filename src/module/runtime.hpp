// Module-wide objects and the plumbing every subsystem uses to talk to Python: globals
// looked up at call time, the logger helpers and raising with a chained cause.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace nb = nanobind;

namespace velmo {

// Created once while the module executes. The module is loaded into one interpreter only and
// never re-initialised, so these references are owned for the life of the process.
struct ModuleObjects {
    PyObject *module = nullptr;
    PyObject *dict = nullptr;
    PyObject *logger = nullptr;
    PyObject *device_error = nullptr;
    PyObject *connection_error = nullptr;
    PyObject *communication_error = nullptr;
    PyObject *timeout_error = nullptr;
    PyObject *protocol_error = nullptr;
    PyObject *invalid_parameter_error = nullptr;
    PyObject *device_not_found_error = nullptr;
    PyObject *calibration_error = nullptr;
    PyObject *teds_error = nullptr;
    PyObject *teds_not_supported_error = nullptr;
    PyObject *teds_not_connected_error = nullptr;
    PyObject *teds_data_corrupted_error = nullptr;
};

extern ModuleObjects objects;

inline constexpr const char *module_name = "velmo_device_communication";

// A module attribute as it is now: tests and callers may replace `serial` or `time`.
nb::object module_global(const char *name);

void log_debug(const std::string &text);
void log_info(const std::string &text);
void log_warning(const std::string &text);
void log_error(const std::string &text);

// str() of an object as UTF-8 text.
std::string str_of(nb::handle value);
std::string type_name_of(nb::handle value);

// A caught Python exception as a normalised exception object, whatever the interpreter
// version left in the error indicator.
class CaughtError {
  public:
    explicit CaughtError(nb::python_error &error);
    bool matches(PyObject *type) const;
    // Ordinary failures; KeyboardInterrupt, SystemExit and other BaseException subclasses
    // are never swallowed or translated.
    bool is_ordinary() const { return matches(PyExc_Exception); }
    nb::handle value() const { return value_; }
    std::string text() const;
    [[noreturn]] void rethrow() const;

  private:
    nb::object value_;
};

[[noreturn]] void raise(PyObject *type, const std::string &message);
// Raises `type(message)` with the caught exception as its __cause__.
[[noreturn]] void raise_from(PyObject *type, const std::string &message, const CaughtError &cause);

// Runs a CPython call result check: a NULL result means an exception is pending.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// The interned Python string of a name written in the source; made once per name.
nb::handle name_of(const char *name);

nb::object call_method(nb::handle self, const char *name);
nb::object call_method(nb::handle self, const char *name, nb::handle arg);
nb::object call_method(nb::handle self, const char *name, nb::handle arg1, nb::handle arg2);

} // namespace velmo
