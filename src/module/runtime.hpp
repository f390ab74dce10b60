// The module's state and the plumbing every subsystem uses to talk to Python: globals looked
// up at call time, method calls, log records and exceptions whose text is built by the C API.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace nb = nanobind;

namespace velmo {

// Everything the module creates while it executes, in one place. The module is loaded into
// one interpreter only and never re-initialised, so these references are owned for the life
// of the process and never released.
struct ModuleState {
    PyObject *module = nullptr;
    PyObject *dict = nullptr;

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

    // Value types.
    PyTypeObject *adc_converter_type = nullptr;
    PyTypeObject *teds_data_type = nullptr;
    PyTypeObject *stream_reading_type = nullptr;
    PyTypeObject *stream_conversion_result_type = nullptr;

    // Function-like types of the retry policy and of methods held like Python functions.
    PyTypeObject *decorator_type = nullptr;
    PyTypeObject *wrapper_type = nullptr;
    PyTypeObject *function_method_type = nullptr;

    PyObject *command_class = nullptr;
    PyObject *command_operations_class = nullptr;

    // The empty argument bytes that the transactions and frames default to; never modified.
    PyObject *empty_arguments = nullptr;

    // Interned attribute names, keyed by their text (the key views the interned string).
    std::unordered_map<std::string_view, PyObject *> names;
};

extern ModuleState state;

inline constexpr const char *module_name = "velmo_device_communication";

// Runs a CPython call result check: a NULL result means an exception is pending.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// The interned Python string of a name; made once per distinct text.
nb::handle name_of(const char *name);

// A module attribute as it is now: tests and callers may replace `serial`, `time` or `logger`.
nb::object module_global(const char *name);

// `object.name`.
inline nb::object attribute(nb::handle object, const char *name) {
    return checked(PyObject_GetAttr(object.ptr(), name_of(name).ptr()));
}

// `self.name(*args)`, looked up on the instance so that overrides apply. `stack` holds self
// followed by the arguments.
nb::object call_method_with(nb::handle name, PyObject *const *stack, size_t count);

template <typename... Args>
nb::object call_method(nb::handle self, const char *name, Args... args) {
    PyObject *stack[] = {self.ptr(), nb::handle(args).ptr()...};
    return call_method_with(name_of(name), stack, 1 + sizeof...(Args));
}

// Arguments of PyUnicode_FromFormat: Python objects (for %S, %R, %U) pass as PyObject *.
template <typename T> auto format_argument(const T &value) {
    static_assert(std::is_base_of_v<nb::handle, T> || std::is_arithmetic_v<T> ||
                      std::is_pointer_v<T>,
                  "format an object, a number or a C string");
    if constexpr (std::is_base_of_v<nb::handle, T>)
        return value.ptr();
    else
        return value;
}

nb::object format_text_of(const char *format, ...);

// Text from a PyUnicode_FromFormat template: %S inserts str() of an object, %d, %ld, %zd
// numbers. Never goes through UTF-8, so undecodable port names survive.
template <typename... Args> nb::object format_text(const char *format, const Args &...args) {
    return format_text_of(format, format_argument(args)...);
}

enum class LogLevel { debug, info, warning, error };

// Hands finished text to the module global `logger` as the only argument.
void log_text(LogLevel level, nb::handle text);

template <typename... Args> void log_debug(const char *format, const Args &...args) {
    log_text(LogLevel::debug, format_text(format, args...));
}
template <typename... Args> void log_info(const char *format, const Args &...args) {
    log_text(LogLevel::info, format_text(format, args...));
}
template <typename... Args> void log_warning(const char *format, const Args &...args) {
    log_text(LogLevel::warning, format_text(format, args...));
}
template <typename... Args> void log_error(const char *format, const Args &...args) {
    log_text(LogLevel::error, format_text(format, args...));
}

// A caught Python exception as a normalised exception object, whatever the interpreter
// version left in the error indicator.
class CaughtError {
  public:
    explicit CaughtError(nb::python_error &error);
    bool matches(PyObject *type) const;
    // Ordinary failures; KeyboardInterrupt, SystemExit and other BaseException subclasses
    // are never swallowed or translated.
    bool is_ordinary() const { return matches(PyExc_Exception); }
    // The exception object; %S of it gives its text.
    nb::handle value() const { return value_; }
    [[noreturn]] void rethrow() const;

  private:
    nb::object value_;
};

[[noreturn]] void raise_text(PyObject *type, nb::handle message);
// Raises `type(message)` with the caught exception as its __cause__ and __context__.
[[noreturn]] void raise_text_from(PyObject *type, nb::handle message, const CaughtError &cause);

template <typename... Args>
[[noreturn]] void raise(PyObject *type, const char *format, const Args &...args) {
    raise_text(type, format_text(format, args...));
}

template <typename... Args>
[[noreturn]] void raise_from(PyObject *type, const CaughtError &cause, const char *format,
                             const Args &...args) {
    raise_text_from(type, format_text(format, args...), cause);
}

} // namespace velmo
