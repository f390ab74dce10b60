// VelmoDevice: the public object for one instrument. It owns a connected link, keeps the
// converter of the profile selected on channel 0, and maps channels to their profiles.
#include "device/device.hpp"
#include "module/conversions.hpp"
#include "module/methods.hpp"

#include <array>
#include <vector>

namespace velmo {

namespace {

nb::object call_with(nb::handle target, const char *method, const std::vector<PyObject *> &args) {
    nb::object name = checked(PyUnicode_InternFromString(method));
    std::vector<PyObject *> stack;
    stack.reserve(args.size() + 1);
    stack.push_back(target.ptr());
    stack.insert(stack.end(), args.begin(), args.end());
    return checked(PyObject_VectorcallMethod(name.ptr(), stack.data(), stack.size(), nullptr));
}

nb::object interface_of(nb::handle self) {
    return self.attr(name_of("communication_interface"));
}

PyObject *channel_or_default(PyObject *channel) {
    static PyObject *zero = PyLong_FromLong(0);
    return channel ? channel : zero;
}

// Per-profile settings are addressed by the profile selected on the channel.
nb::object profile_of_channel(nb::handle self, PyObject *channel) {
    return call_method(self, "get_device_channel_selected_profile", channel_or_default(channel));
}

// A method that forwards to the link: the channel (mapped to its profile where the
// instrument stores the value per profile) first, then the forwarded parameters.
struct DeviceOperation {
    const char *name;
    const char *doc;
    Parameters parameters;
    const char *interface_method;
    int channel; // index of channel_number among the parameters, -1 for none
    bool profiled;
    std::array<int, 2> forwarded;
    size_t forwarded_count;
};

template <const DeviceOperation &Op> nb::object forward(nb::handle self, PyObject **args) {
    std::vector<PyObject *> call_args;
    nb::object profile;
    if (Op.profiled) {
        profile = profile_of_channel(self, args[Op.channel]);
        call_args.push_back(profile.ptr());
    } else if (Op.channel >= 0) {
        call_args.push_back(channel_or_default(args[Op.channel]));
    }
    for (size_t i = 0; i < Op.forwarded_count; ++i)
        call_args.push_back(args[Op.forwarded[i]]);
    return call_with(interface_of(self), Op.interface_method, call_args);
}

template <const DeviceOperation &Op>
const Method device_method{Op.name, Op.doc, Op.parameters, forward<Op>};

#define VELMO_DEVICE_OPERATION(variable, ...) const DeviceOperation variable{__VA_ARGS__};

VELMO_DEVICE_OPERATION(get_ndr, "get_ndr",
                       "Get the raw ADC count of a channel.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Raw ADC count",
                       {{"channel_number"}, 1, 0}, "get_ndr", 0, false, {}, 0)
VELMO_DEVICE_OPERATION(get_model_number, "get_model_number",
                       "Get the instrument's model, read from the instrument.\n\n"
                       ":return: Model text",
                       {{}, 0, 0}, "get_model_number", -1, false, {}, 0)
VELMO_DEVICE_OPERATION(disconnect, "disconnect", "Close the link to the instrument.", {{}, 0, 0},
                       "disconnect", -1, false, {}, 0)
VELMO_DEVICE_OPERATION(get_number_of_loading_points, "get_number_of_loading_points",
                       "Get the loading points per direction of the channel's profile.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Loading points per direction",
                       {{"channel_number"}, 1, 0}, "get_number_of_loading_points", 0, true, {}, 0)
VELMO_DEVICE_OPERATION(get_load_of_loading_point, "get_load_of_loading_point",
                       "Get the load of a loading point of the channel's profile.\n\n"
                       ":param point_index: Index in the loading-point table\n"
                       ":param channel_number: Channel number\n"
                       ":return: Load at the point",
                       {{"point_index", "channel_number"}, 2, 1}, "get_load_of_loading_point", 1,
                       true, {0}, 1)
VELMO_DEVICE_OPERATION(get_loading_point_value, "get_loading_point_value",
                       "Get the ADC count of a loading point of the channel's profile.\n\n"
                       ":param point_index: Index in the loading-point table\n"
                       ":param channel_number: Channel number\n"
                       ":return: ADC count at the point",
                       {{"point_index", "channel_number"}, 2, 1}, "get_loading_point_value", 1,
                       true, {0}, 1)
VELMO_DEVICE_OPERATION(set_adc_of_loading_point, "set_adc_of_loading_point",
                       "Set the ADC count of a loading point of the channel's profile.\n\n"
                       ":param point_index: Index in the loading-point table\n"
                       ":param adc_value: ADC count at the point\n"
                       ":param calibration_direction: Accepted for compatibility; not used\n"
                       ":param channel_number: Channel number",
                       {{"point_index", "adc_value", "calibration_direction", "channel_number"},
                        4,
                        2},
                       "set_adc_of_loading_point", 3, true, {0, 1}, 2)
VELMO_DEVICE_OPERATION(set_load_of_loading_point, "set_load_of_loading_point",
                       "Set the load of a loading point of the channel's profile.\n\n"
                       ":param point_index: Index in the loading-point table\n"
                       ":param load_value: Load at the point\n"
                       ":param channel_number: Channel number",
                       {{"point_index", "load_value", "channel_number"}, 3, 2},
                       "set_load_of_loading_point", 2, true, {0, 1}, 2)
VELMO_DEVICE_OPERATION(get_number_of_directions, "get_number_of_directions",
                       "Get the direction code of the channel's profile.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Direction code (0 one direction, 1 two)",
                       {{"channel_number"}, 1, 0}, "get_number_of_directions", 0, true, {}, 0)
VELMO_DEVICE_OPERATION(set_number_of_directions, "set_number_of_directions",
                       "Set the direction code of the channel's profile.\n\n"
                       ":param number_of_directions: Direction code (0 one direction, 1 two)\n"
                       ":param channel_number: Channel number",
                       {{"number_of_directions", "channel_number"}, 2, 1},
                       "set_number_of_directions", 1, true, {0}, 1)
VELMO_DEVICE_OPERATION(get_stream_data, "get_stream_data",
                       "Read the stream bytes waiting in the port's input buffer.\n\n"
                       ":return: The raw bytes received",
                       {{}, 0, 0}, "read_buffer_data", -1, false, {}, 0)
VELMO_DEVICE_OPERATION(get_sampling_rate, "get_sampling_rate",
                       "Get the sampling-rate code of the channel's profile.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Sampling-rate code",
                       {{"channel_number"}, 1, 0}, "get_sampling_rate", 0, true, {}, 0)
VELMO_DEVICE_OPERATION(set_sampling_rate_value, "set_sampling_rate_value",
                       "Set the sampling rate of the channel's profile by its raw code.\n\n"
                       ":param samples_per_second: Sampling-rate code\n"
                       ":param channel_number: Channel number",
                       {{"samples_per_second", "channel_number"}, 2, 1}, "set_sampling_rate", 1,
                       true, {0}, 1)
VELMO_DEVICE_OPERATION(get_instrument_serial_number, "get_instrument_serial_number",
                       "Get the instrument's serial number.\n\n"
                       ":return: Serial number",
                       {{}, 0, 0}, "get_instrument_serial_number", -1, false, {}, 0)
VELMO_DEVICE_OPERATION(get_sensor_serial_number, "get_sensor_serial_number",
                       "Get the sensor serial number of the channel's profile.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Serial number",
                       {{"channel_number"}, 1, 0}, "get_sensor_serial_number", 0, true, {}, 0)
VELMO_DEVICE_OPERATION(get_device_channel_selected_profile, "get_device_channel_selected_profile",
                       "Get the profile selected on a channel.\n\n"
                       ":param channel_number: Channel number\n"
                       ":return: Profile number",
                       {{"channel_number"}, 1, 0}, "get_device_channel_selected_profile", 0, false,
                       {}, 0)
VELMO_DEVICE_OPERATION(get_adc_for_profile, "get_adc_for_profile",
                       "Read the calibration of a profile into a new converter.\n\n"
                       ":param profile_number: Profile number\n"
                       ":return: A new ADCConverter; the device's own converter is unchanged",
                       {{"profile_number"}, 1, 1}, "load_adc_converter", -1, false, {0}, 1)

const char *const creation_refused =
    "VelmoDevice cannot be instantiated directly. Use VelmoSerialScanner.discover_devices() to "
    "obtain VelmoDevice instances.";

const Method init{
    "__init__",
    nullptr,
    {{"communication_interface", "_internal_token"}, 2, 1, 1},
    [](nb::handle self, PyObject **args) -> nb::object {
        PyObject *token = args[1] ? args[1] : Py_None;
        if (!module_global("_DEVICE_CREATION_TOKEN").is(token))
            raise(PyExc_TypeError, creation_refused);
        nb::handle interface = args[0];
        self.attr(name_of("communication_interface")) = interface;
        nb::object profile =
            call_method(interface, "get_device_channel_selected_profile", new_int(0));
        for (const char *name : {"_teds_data", "_model_number", "_item_number", "_firmware_version",
                                 "_cached_sampling_rate_for_teds", "adc_converter"})
            self.attr(name) = nb::none();
        self.attr(name_of("adc_converter")) = call_method(interface, "load_adc_converter", profile);
        return nb::none();
    }};

const Method get_reading{"get_reading",
                         "Read a channel and convert its count into a calibrated load.\n\n"
                         ":param channel_number: Channel number\n"
                         ":return: Calibrated load\n"
                         ":raises VelmoCalibrationError: If the device has no converter",
                         {{"channel_number"}, 1, 0},
                         [](nb::handle self, PyObject **args) -> nb::object {
                             nb::object converter = self.attr(name_of("adc_converter"));
                             if (converter.is_none())
                                 raise(objects.calibration_error,
                                       "ADC converter not initialized. Cannot convert reading.");
                             nb::object count = call_method(interface_of(self), "get_ndr",
                                                            channel_or_default(args[0]));
                             return call_method(converter, "convert_adc", count);
                         }};

const Method set_stream_state{"set_stream_state",
                              "Switch the measurement stream on or off.\n\n"
                              ":param stream_enabled: True or 1 starts, False or 0 stops",
                              {{"stream_enabled"}, 1, 1},
                              [](nb::handle self, PyObject **args) -> nb::object {
                                  nb::object state = PyLong_CheckExact(args[0])
                                                         ? nb::borrow(args[0])
                                                         : checked(PyNumber_Long(args[0]));
                                  call_method(interface_of(self), "set_streaming_state", state);
                                  return nb::none();
                              }};

const Method set_sampling_rate{
    "set_sampling_rate",
    "Set the sampling rate of the channel's profile.\n\n"
    ":param samples_per_second: Member of the model's sampling-rate enumeration\n"
    ":param channel_number: Channel number\n"
    ":raises VelmoInvalidParameterError: If the rate is not available on this instrument",
    {{"samples_per_second", "channel_number"}, 2, 1},
    [](nb::handle self, PyObject **args) -> nb::object {
        PyObject *channel = channel_or_default(args[1]);
        nb::object channel_number;
        if (PyLong_CheckExact(channel))
            channel_number = nb::borrow(channel);
        else if (PyNumber_Check(channel))
            channel_number = checked(PyNumber_Long(channel));
        else
            raise(PyExc_TypeError, std::string("Argument 'channel_number' has incorrect type "
                                               "(expected int, got ") +
                                       Py_TYPE(channel)->tp_name + ")");
        nb::object profile = profile_of_channel(self, channel_number.ptr());
        nb::object code = nb::handle(args[0]).attr(name_of("value"));
        call_method(interface_of(self), "set_sampling_rate", profile, code);
        return nb::none();
    }};

const Method set_device_channel_selected_profile{
    "set_device_channel_selected_profile",
    "Select the profile of a channel and reload the converter of channel 0's profile.\n\n"
    ":param channel_number: Channel number\n"
    ":param profile_number: Profile number",
    {{"channel_number", "profile_number"}, 2, 2},
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object interface = interface_of(self);
        call_method(interface, "set_device_channel_selected_profile", args[0], args[1]);
        nb::object profile = call_method(self, "get_device_channel_selected_profile");
        self.attr(name_of("adc_converter")) = call_method(interface, "load_adc_converter", profile);
        return nb::none();
    }};

const Method get_unit_of_measure{"get_unit_of_measure",
                                 "Get the unit of measure of the channel's profile.\n\n"
                                 ":param channel_number: Channel number\n"
                                 ":return: UnitOfMeasureEnum member",
                                 {{"channel_number"}, 1, 0},
                                 [](nb::handle self, PyObject **args) -> nb::object {
                                     nb::object profile = profile_of_channel(self, args[0]);
                                     nb::object code = call_method(interface_of(self),
                                                                   "get_unit_of_measure", profile);
                                     return module_global("UnitOfMeasureEnum")(code);
                                 }};

const Method set_unit_of_measure{"set_unit_of_measure",
                                 "Set the unit of measure of the channel's profile.\n\n"
                                 ":param unit_of_measure: UnitOfMeasureEnum member\n"
                                 ":param channel_number: Channel number",
                                 {{"unit_of_measure", "channel_number"}, 2, 1},
                                 [](nb::handle self, PyObject **args) -> nb::object {
                                     nb::object profile = profile_of_channel(self, args[1]);
                                     nb::object code = nb::handle(args[0]).attr(name_of("value"));
                                     call_method(interface_of(self), "set_unit_of_measure", profile,
                                                 code);
                                     return nb::none();
                                 }};

// The board's temperature sensor: a 24-bit count on a 2400-step reference scale.
constexpr long temp_adc_max = 16777215;
constexpr long temp_ref = 1200;
constexpr double temp_slope = 6990.506666666667;
constexpr long temp_offset_degc = -40;
constexpr long temp_base_y1 = 80;
constexpr double temp_m2 = 0.28;

const Method get_board_temperature{
    "get_board_temperature",
    "Get the board temperature in degrees Celsius.\n\n"
    ":return: Temperature in degrees Celsius",
    {{}, 0, 0},
    [](nb::handle self, PyObject **) -> nb::object {
        nb::object adc = call_method(interface_of(self), "get_board_temperature");
        // Python arithmetic, so that the count's own type rules apply as they would in Python.
        nb::object below_max = checked(PyNumber_Subtract(new_int(temp_adc_max).ptr(), adc.ptr()));
        nb::object steps =
            checked(PyNumber_TrueDivide(below_max.ptr(), new_float(temp_slope).ptr()));
        nb::object output = checked(PyNumber_Subtract(new_int(temp_ref).ptr(), steps.ptr()));
        nb::object above_base =
            checked(PyNumber_Subtract(output.ptr(), new_int(temp_base_y1).ptr()));
        nb::object degrees =
            checked(PyNumber_TrueDivide(above_base.ptr(), new_float(temp_m2).ptr()));
        return checked(PyNumber_Add(new_int(temp_offset_degc).ptr(), degrees.ptr()));
    }};

const Method get_adc_converter{
    "get_adc_converter",
    "Get the device's current converter, without a transaction.\n\n"
    ":return: ADCConverter",
    {{}, 0, 0},
    [](nb::handle self, PyObject **) -> nb::object { return self.attr(name_of("adc_converter")); }};

const Method enter{
    "__enter__", nullptr, {{}, 0, 0}, [](nb::handle self, PyObject **) -> nb::object {
        log_debug("Entering VelmoDevice context");
        return nb::borrow(self);
    }};

const Method exit{"__exit__",
                  nullptr,
                  {{"exc_type", "exc_val", "exc_tb"}, 3, 3},
                  [](nb::handle self, PyObject **) -> nb::object {
                      log_debug("Exiting VelmoDevice context");
                      try {
                          call_method(self, "disconnect");
                      } catch (nb::python_error &raised) {
                          CaughtError e(raised);
                          if (!e.is_ordinary())
                              e.rethrow();
                          log_error("Error during context manager cleanup: " + e.text());
                      }
                      return nb::bool_(false);
                  }};

const char *const device_doc =
    "\n"
    "    One VELMO instrument on a serial port.\n"
    "\n"
    "    Do not instantiate this class directly: instances come from\n"
    "    VelmoSerialScanner.discover_devices(), and direct instantiation raises TypeError.\n"
    "\n"
    "    Example:\n"
    "        devices = VelmoSerialScanner.discover_devices()\n"
    "        device = devices[0]\n"
    "        print(device.get_reading())\n"
    "    ";

} // namespace

void bind_velmo_device(nb::module_ &m) {
    nb::object cls = make_class(m, "VelmoDevice", device_doc);
    PyMethodDef *definitions[] = {
        method_def<init>(),
        method_def<device_method<get_ndr>>(),
        method_def<device_method<get_model_number>>(),
        method_def<device_method<disconnect>>(),
        method_def<device_method<get_number_of_loading_points>>(),
        method_def<get_reading>(),
        method_def<device_method<get_load_of_loading_point>>(),
        method_def<device_method<get_loading_point_value>>(),
        method_def<device_method<set_adc_of_loading_point>>(),
        method_def<device_method<set_load_of_loading_point>>(),
        method_def<device_method<get_number_of_directions>>(),
        method_def<device_method<set_number_of_directions>>(),
        method_def<set_stream_state>(),
        method_def<device_method<get_stream_data>>(),
        method_def<device_method<get_sampling_rate>>(),
    };
    for (PyMethodDef *definition : definitions)
        add_method(cls, definition);
    nb::dict annotations;
    annotations["samples_per_second"] =
        "Union['HDA640SamplingRateEnum', 'RPX310SamplingRateEnum', 'TMV520SamplingRateEnum', "
        "'GLS870SamplingRateEnum']";
    annotations["channel_number"] = "int";
    annotations["return"] = "None";
    add_annotated_method(cls, method_def<set_sampling_rate>(), annotations);
    PyMethodDef *later_definitions[] = {
        method_def<device_method<set_sampling_rate_value>>(),
        method_def<device_method<get_instrument_serial_number>>(),
        method_def<device_method<get_sensor_serial_number>>(),
        method_def<device_method<get_device_channel_selected_profile>>(),
        method_def<set_device_channel_selected_profile>(),
        method_def<get_unit_of_measure>(),
        method_def<set_unit_of_measure>(),
        method_def<get_board_temperature>(),
        method_def<get_adc_converter>(),
        method_def<device_method<get_adc_for_profile>>(),
    };
    for (PyMethodDef *definition : later_definitions)
        add_method(cls, definition);
    bind_device_teds(cls);
    add_method(cls, method_def<enter>());
    add_method(cls, method_def<exit>());
}

} // namespace velmo
