// The module's state and the plumbing every subsystem uses to talk to Python: globals looked
// up at call time, method calls, log records and exceptions whose text is built by the C API.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <type_traits>

namespace nb = nanobind;

namespace velmo {

// The names the module looks up or calls at run time, interned once into its state. NAME
// gives a name spelled as its field; NAMED a field and the name it holds, for names that are
// not fit to be C++ identifiers.
#define VELMO_NAMES(NAME, NAMED)                                                                   \
    NAME(ADCConverter)                                                                             \
    NAME(Enum)                                                                                     \
    NAME(Serial)                                                                                   \
    NAME(SerialException)                                                                          \
    NAME(SerialTimeoutException)                                                                   \
    NAME(StreamDataConverter)                                                                      \
    NAME(TEDSData)                                                                                 \
    NAME(UnitOfMeasureEnum)                                                                        \
    NAME(VelmoDevice)                                                                              \
    NAME(_answer_awaited)                                                                          \
    NAME(_answers_owed)                                                                            \
    NAME(_cached_item_number)                                                                      \
    NAME(_cached_model_number)                                                                     \
    NAME(_cached_sampling_rate_for_teds)                                                           \
    NAME(_firmware_version)                                                                        \
    NAME(_internal_token)                                                                          \
    NAME(_item_number)                                                                             \
    NAME(_load_teds_calibration_hda640)                                                            \
    NAME(_model_number)                                                                            \
    NAME(_set_midpoint_offset)                                                                     \
    NAME(_should_use_auto_teds_v1)                                                                 \
    NAME(_slotnames)                                                                               \
    NAME(_teds_data)                                                                               \
    NAME(_validate_teds_support)                                                                   \
    NAME(adc_converter)                                                                            \
    NAME(append)                                                                                   \
    NAME(arguments_length)                                                                         \
    NAME(baud_rate)                                                                                \
    NAME(baudrate)                                                                                 \
    NAME(calculate_checksum)                                                                       \
    NAME(calculate_for_direction_1)                                                                \
    NAME(calculate_for_direction_2)                                                                \
    NAME(close)                                                                                    \
    NAME(command_high_byte)                                                                        \
    NAME(command_length)                                                                           \
    NAME(command_low_byte)                                                                         \
    NAME(commands)                                                                                 \
    NAME(communication_interface)                                                                  \
    NAME(comport)                                                                                  \
    NAME(comports)                                                                                 \
    NAME(connect)                                                                                  \
    NAME(convert_adc)                                                                              \
    NAME(convert_payload)                                                                          \
    NAME(debug)                                                                                    \
    NAME(decode)                                                                                   \
    NAME(device)                                                                                   \
    NAME(direction_1_fullscale_load)                                                               \
    NAME(direction_1_fullscale_value)                                                              \
    NAME(direction_1_offset_load)                                                                  \
    NAME(direction_1_offset_value)                                                                 \
    NAME(direction_2_fullscale_load)                                                               \
    NAME(direction_2_fullscale_value)                                                              \
    NAME(direction_2_offset_load)                                                                  \
    NAME(direction_2_offset_value)                                                                 \
    NAME(disconnect)                                                                               \
    NAME(encode)                                                                                   \
    NAME(engineering_unit)                                                                         \
    NAME(error)                                                                                    \
    NAME(extend)                                                                                   \
    NAME(from_bytes)                                                                               \
    NAME(generate_all_teds_data)                                                                   \
    NAME(get)                                                                                      \
    NAME(getLogger)                                                                                \
    NAME(get_auto_teds)                                                                            \
    NAME(get_auto_teds_v1)                                                                         \
    NAME(get_board_temperature)                                                                    \
    NAME(get_command_byte_array)                                                                   \
    NAME(get_device_channel_selected_profile)                                                      \
    NAME(get_firmware_version_with_patch)                                                          \
    NAME(get_instrument_serial_number)                                                             \
    NAME(get_item_number)                                                                          \
    NAME(get_load_of_loading_point)                                                                \
    NAME(get_loading_point_value)                                                                  \
    NAME(get_model_number)                                                                         \
    NAME(get_ndr)                                                                                  \
    NAME(get_number_of_directions)                                                                 \
    NAME(get_number_of_loading_points)                                                             \
    NAME(get_sampling_rate)                                                                        \
    NAME(get_sensor_serial_number)                                                                 \
    NAME(get_teds_data)                                                                            \
    NAME(get_teds_laser)                                                                           \
    NAME(get_unit_of_measure)                                                                      \
    NAME(hashlib)                                                                                  \
    NAME(hex)                                                                                      \
    NAME(hexdigest)                                                                                \
    NAME(in_waiting)                                                                               \
    NAME(info)                                                                                     \
    NAME(is_open)                                                                                  \
    NAME(list_ports)                                                                               \
    NAME(load_adc_converter)                                                                       \
    NAME(logger)                                                                                   \
    NAME(logging)                                                                                  \
    NAME(max_capacity)                                                                             \
    NAME(max_electrical)                                                                           \
    NAME(midpoint_offset)                                                                          \
    NAME(monotonic)                                                                                \
    NAME(min_capacity)                                                                             \
    NAME(ndr_command)                                                                              \
    NAME(number_of_directions)                                                                     \
    NAME(number_of_loading_points)                                                                 \
    NAME(offset)                                                                                   \
    NAME(pack)                                                                                     \
    NAME(parse_from_bytes)                                                                         \
    NAME(payload_length)                                                                           \
    NAME(payload_type)                                                                             \
    NAME(port)                                                                                     \
    NAME(read)                                                                                     \
    NAME(read_buffer_data)                                                                         \
    NAME(receive_length)                                                                           \
    NAME(reload_teds_data)                                                                         \
    NAME(replace)                                                                                  \
    NAME(reset_input_buffer)                                                                       \
    NAME(retry_on_timeout)                                                                         \
    NAME(reverse_max_electrical)                                                                   \
    NAME(reverse_scaling_enabled)                                                                  \
    NAME(scale_factor)                                                                             \
    NAME(send_command_with_response)                                                               \
    NAME(send_convert_return_sequence)                                                             \
    NAME(send_sequence)                                                                            \
    NAME(serial)                                                                                   \
    NAME(serial_connection)                                                                        \
    NAME(serial_number)                                                                            \
    NAME(set_adc_of_loading_point)                                                                 \
    NAME(set_load_of_loading_point)                                                                \
    NAME(set_number_of_directions)                                                                 \
    NAME(set_auto_teds)                                                                            \
    NAME(set_auto_teds_v1)                                                                         \
    NAME(set_device_channel_selected_profile)                                                      \
    NAME(set_sampling_rate)                                                                        \
    NAME(set_sampling_rate_value)                                                                  \
    NAME(set_streaming_state)                                                                      \
    NAME(set_unit_of_measure)                                                                      \
    NAME(sha256)                                                                                   \
    NAME(size)                                                                                     \
    NAME(sleep)                                                                                    \
    NAME(split)                                                                                    \
    NAME(supports_teds)                                                                            \
    NAME(teds_is_connected)                                                                        \
    NAME(time)                                                                                     \
    NAME(timeout)                                                                                  \
    NAME(toByteArray)                                                                              \
    NAME(to_bytes)                                                                                 \
    NAME(tools)                                                                                    \
    NAME(unpack)                                                                                   \
    NAME(upper)                                                                                    \
    NAME(validate_response_checksum)                                                               \
    NAME(value)                                                                                    \
    NAME(warning)                                                                                  \
    NAME(wraps)                                                                                    \
    NAME(write)                                                                                    \
    NAME(Get_Auto_TEDS_Command)                                                                    \
    NAME(Get_Auto_TEDS_V1_Command)                                                                 \
    NAME(Get_Board_Temperature)                                                                    \
    NAME(Get_Device_Channel_Selected_Profile_Command)                                              \
    NAME(Get_Device_Unit_Of_Measure_Command)                                                       \
    NAME(Get_Firmware_Version_With_Patch_Command)                                                  \
    NAME(Get_Instrument_Serial_Number_Command)                                                     \
    NAME(Get_Item_Number_Command)                                                                  \
    NAME(Get_Load_Of_Loading_Point_Command)                                                        \
    NAME(Get_Loading_Point_Value_Command)                                                          \
    NAME(Get_Model_Number_Command)                                                                 \
    NAME(Get_Ndr_Command)                                                                          \
    NAME(Get_Number_Of_Directions_Command)                                                         \
    NAME(Get_Number_Of_Loading_Points_Command)                                                     \
    NAME(Get_Sampling_Rate_Command)                                                                \
    NAME(Get_Sensor_Serial_Number_Command)                                                         \
    NAME(Get_TEDS_Data_Command)                                                                    \
    NAME(Get_TEDS_Laser_Command)                                                                   \
    NAME(Set_Auto_TEDS_Command)                                                                    \
    NAME(Set_Auto_TEDS_V1_Command)                                                                 \
    NAME(Set_Device_Channel_Selected_Profile_Command)                                              \
    NAME(Set_Device_Unit_Of_Measure_Command)                                                       \
    NAME(Set_Load_Of_Loading_Point_Command)                                                        \
    NAME(Set_Loading_Point_Value_Command)                                                          \
    NAME(Set_Number_Of_Directions_Command)                                                         \
    NAME(Set_Sampling_Rate_Command)                                                                \
    NAME(Set_Streaming_State_Command)                                                              \
    NAME(TEDS_Is_Connected_Command)                                                                \
    NAMED(DEVICE_CREATION_TOKEN, "_DEVICE_CREATION_TOKEN")                                         \
    NAMED(SerialCommunicationInterface, "_SerialCommunicationInterface")                           \
    NAMED(TEDS_UNIT_MAPPING, "_TEDS_UNIT_MAPPING")                                                 \
    NAMED(dunder_annotations, "__annotations__")                                                   \
    NAMED(dunder_dict, "__dict__")                                                                 \
    NAMED(dunder_name, "__name__")                                                                 \
    NAMED(dunder_newobj, "__newobj__")                                                             \
    NAMED(dunder_qualname, "__qualname__")                                                         \
    NAMED(struct_, "struct")                                                                       \
    NAMED(template_, "template")

struct Names {
#define VELMO_NAME_FIELD(field) PyObject *field;
#define VELMO_NAMED_FIELD(field, text) PyObject *field;
    VELMO_NAMES(VELMO_NAME_FIELD, VELMO_NAMED_FIELD)
#undef VELMO_NAME_FIELD
#undef VELMO_NAMED_FIELD
};

// The objects the module creates while it executes and keeps for its functions, each with
// the type it is used as.
#define VELMO_STATE_OBJECTS(OBJECT)                                                                \
    OBJECT(PyObject, device_error)                                                                 \
    OBJECT(PyObject, connection_error)                                                             \
    OBJECT(PyObject, communication_error)                                                          \
    OBJECT(PyObject, timeout_error)                                                                \
    OBJECT(PyObject, protocol_error)                                                               \
    OBJECT(PyObject, invalid_parameter_error)                                                      \
    OBJECT(PyObject, device_not_found_error)                                                       \
    OBJECT(PyObject, calibration_error)                                                            \
    OBJECT(PyObject, teds_error)                                                                   \
    OBJECT(PyObject, teds_not_supported_error)                                                     \
    OBJECT(PyObject, teds_not_connected_error)                                                     \
    OBJECT(PyObject, teds_data_corrupted_error)                                                    \
    OBJECT(PyTypeObject, adc_converter_type)                                                       \
    OBJECT(PyTypeObject, teds_data_type)                                                           \
    OBJECT(PyTypeObject, stream_reading_type)                                                      \
    OBJECT(PyTypeObject, stream_conversion_result_type)                                            \
    /* function-like types of the retry policy and of methods held like Python functions */        \
    OBJECT(PyTypeObject, decorator_type)                                                           \
    OBJECT(PyTypeObject, wrapper_type)                                                             \
    OBJECT(PyTypeObject, function_method_type)                                                     \
    OBJECT(PyObject, command_class)                                                                \
    OBJECT(PyObject, command_operations_class)                                                     \
    /* the empty argument bytes that the transactions and frames default to; never modified */     \
    OBJECT(PyObject, empty_arguments)

// The state of one module object, kept in the module itself (PEP 489 and 573): the collector
// sees every reference in it, and it is released with the module, also when the module's
// execution fails.
struct ModuleState {
    // The module and its dictionary, not owned: the state lives inside the module.
    PyObject *module;
    PyObject *dict;
#define VELMO_STATE_FIELD(type, field) type *field;
    VELMO_STATE_OBJECTS(VELMO_STATE_FIELD)
#undef VELMO_STATE_FIELD
    Names names;
};

extern PyModuleDef module_definition;

inline constexpr const char *module_name = "velmo_device_communication";

// Fills a new module's state with its module and the interned names.
void initialise_state(ModuleState &state, PyObject *module);
int traverse_state(const ModuleState &state, visitproc visit, void *arg);
void clear_state(ModuleState &state);

// The state of the module whose function runs on this thread, found from what the function
// was called on (see CallScope).
ModuleState &state();

inline const Names &names() {
    return state().names;
}

// Every entry from Python (a method, a function, a slot that needs the module) opens one for
// the duration of the call: `owner` is what the function is called on, the module, one of its
// classes or an instance of one. The module is found from the owner's class through
// PyType_GetModuleByDef, once per call and only when the call needs it; nested entries, from
// Python code that the call runs, restore the outer one when they end.
class CallScope {
  public:
    explicit CallScope(PyObject *owner) noexcept;
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

  private:
    PyObject *owner_;
    ModuleState *state_;
};

// Runs a CPython call result check: a NULL result means an exception is pending.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// The interned string of a name given as text, made on each call: for the few names that
// the state does not hold. The overloads below taking text use it.
nb::object name_of(const char *name);

// A module attribute as it is now: tests and callers may replace `serial`, `time` or `logger`.
nb::object module_global(nb::handle name);
inline nb::object module_global(const char *name) {
    return module_global(name_of(name));
}

// `object.name`.
inline nb::object attribute(nb::handle object, nb::handle name) {
    return checked(PyObject_GetAttr(object.ptr(), name.ptr()));
}

// `self.name(*args)`, looked up on the instance so that overrides apply. `stack` holds self
// followed by the arguments.
nb::object call_method_with(nb::handle name, PyObject *const *stack, size_t count);

template <typename... Args> nb::object call_method(nb::handle self, nb::handle name, Args... args) {
    PyObject *stack[] = {self.ptr(), nb::handle(args).ptr()...};
    return call_method_with(name, stack, 1 + sizeof...(Args));
}

// `callable(*arguments)` where the last arguments are passed by the names in `keywords`.
nb::object call_with_keywords(nb::handle callable, std::initializer_list<nb::handle> arguments,
                              std::initializer_list<nb::handle> keywords);

template <typename... Args>
nb::object call_method(nb::handle self, const char *name, Args... args) {
    return call_method(self, name_of(name), args...);
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
