// VelmoDevice: the public object for one instrument. It owns a connected link, keeps the
// converter of the profile selected on channel 0, and maps channels to their profiles.
#include "device/device.hpp"
#include "module/conversions.hpp"
#include "module/methods.hpp"

#include <array>

namespace velmo {

namespace {

nb::object channel_or_default(PyObject *channel) {
    return channel ? nb::borrow(channel) : new_int(0);
}

// Per-profile settings are addressed by the profile selected on the channel.
nb::object profile_of_channel(nb::handle self, PyObject *channel) {
    return call_method(self, names().get_device_channel_selected_profile,
                       channel_or_default(channel));
}

// A method that forwards to the link: the channel (mapped to its profile where the
// instrument stores the value per profile) first, then the forwarded parameters, by index.
struct DeviceOperation {
    const char *name;
    const char *doc;
    Parameters parameters;
    PyObject *Names::*interface_method;
    int channel = -1;
    bool profiled = false;
    std::array<int, 2> forwarded{};
    size_t forwarded_count = 0;

    constexpr DeviceOperation passing_channel(int index) const {
        DeviceOperation changed = *this;
        changed.channel = index;
        return changed;
    }
    constexpr DeviceOperation passing_profile_of_channel(int index) const {
        DeviceOperation changed = passing_channel(index);
        changed.profiled = true;
        return changed;
    }
    constexpr DeviceOperation then_passing(int index) const {
        DeviceOperation changed = *this;
        changed.forwarded[changed.forwarded_count++] = index;
        return changed;
    }
};

constexpr DeviceOperation forwarding(const char *name, const char *doc, Parameters parameters,
                                     PyObject *Names::*interface_method) {
    return {name, doc, parameters, interface_method};
}

template <const DeviceOperation &Op> nb::object forward(nb::handle self, PyObject **args) {
    nb::object interface = interface_of(self);
    nb::object first;
    if (Op.profiled)
        first = profile_of_channel(self, args[Op.channel]);
    else if (Op.channel >= 0)
        first = channel_or_default(args[Op.channel]);
    PyObject *stack[4] = {interface.ptr()};
    size_t count = 1;
    if (first.is_valid())
        stack[count++] = first.ptr();
    for (size_t i = 0; i < Op.forwarded_count; ++i)
        stack[count++] = args[Op.forwarded[i]];
    return call_method_with(names().*Op.interface_method, stack, count);
}

template <const DeviceOperation &Op>
const Method device_method{Op.name, Op.doc, Op.parameters, forward<Op>};

constexpr DeviceOperation get_ndr =
    forwarding("get_ndr",
               "Get the raw ADC count of a channel.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Raw ADC count",
               parameters(optional("channel_number", "0")), &Names::get_ndr)
        .passing_channel(0);
constexpr DeviceOperation get_model_number =
    forwarding("get_model_number",
               "Get the instrument's model, read from the instrument.\n\n"
               ":return: Model text",
               parameters(), &Names::get_model_number);
constexpr DeviceOperation disconnect =
    forwarding("disconnect", "Close the link to the instrument.", parameters(), &Names::disconnect);
constexpr DeviceOperation get_number_of_loading_points =
    forwarding("get_number_of_loading_points",
               "Get the loading points per direction of the channel's profile.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Loading points per direction",
               parameters(optional("channel_number", "0")), &Names::get_number_of_loading_points)
        .passing_profile_of_channel(0);
constexpr DeviceOperation get_load_of_loading_point =
    forwarding("get_load_of_loading_point",
               "Get the load of a loading point of the channel's profile.\n\n"
               ":param point_index: Index in the loading-point table\n"
               ":param channel_number: Channel number\n"
               ":return: Load at the point",
               parameters(required("point_index"), optional("channel_number", "0")),
               &Names::get_load_of_loading_point)
        .passing_profile_of_channel(1)
        .then_passing(0);
constexpr DeviceOperation get_loading_point_value =
    forwarding("get_loading_point_value",
               "Get the ADC count of a loading point of the channel's profile.\n\n"
               ":param point_index: Index in the loading-point table\n"
               ":param channel_number: Channel number\n"
               ":return: ADC count at the point",
               parameters(required("point_index"), optional("channel_number", "0")),
               &Names::get_loading_point_value)
        .passing_profile_of_channel(1)
        .then_passing(0);
constexpr DeviceOperation set_adc_of_loading_point =
    forwarding("set_adc_of_loading_point",
               "Set the ADC count of a loading point of the channel's profile.\n\n"
               ":param point_index: Index in the loading-point table\n"
               ":param adc_value: ADC count at the point\n"
               ":param calibration_direction: Accepted for compatibility; not used\n"
               ":param channel_number: Channel number",
               parameters(required("point_index"), required("adc_value"),
                          optional("calibration_direction", "None"),
                          optional("channel_number", "0")),
               &Names::set_adc_of_loading_point)
        .passing_profile_of_channel(3)
        .then_passing(0)
        .then_passing(1);
constexpr DeviceOperation set_load_of_loading_point =
    forwarding("set_load_of_loading_point",
               "Set the load of a loading point of the channel's profile.\n\n"
               ":param point_index: Index in the loading-point table\n"
               ":param load_value: Load at the point\n"
               ":param channel_number: Channel number",
               parameters(required("point_index"), required("load_value"),
                          optional("channel_number", "0")),
               &Names::set_load_of_loading_point)
        .passing_profile_of_channel(2)
        .then_passing(0)
        .then_passing(1);
constexpr DeviceOperation get_number_of_directions =
    forwarding("get_number_of_directions",
               "Get the direction code of the channel's profile.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Direction code (0 one direction, 1 two)",
               parameters(optional("channel_number", "0")), &Names::get_number_of_directions)
        .passing_profile_of_channel(0);
constexpr DeviceOperation set_number_of_directions =
    forwarding("set_number_of_directions",
               "Set the direction code of the channel's profile.\n\n"
               ":param number_of_directions: Direction code (0 one direction, 1 two)\n"
               ":param channel_number: Channel number",
               parameters(required("number_of_directions"), optional("channel_number", "0")),
               &Names::set_number_of_directions)
        .passing_profile_of_channel(1)
        .then_passing(0);
constexpr DeviceOperation get_stream_data =
    forwarding("get_stream_data",
               "Read the stream bytes waiting in the port's input buffer.\n\n"
               ":return: The raw bytes received",
               parameters(), &Names::read_buffer_data);
constexpr DeviceOperation get_sampling_rate =
    forwarding("get_sampling_rate",
               "Get the sampling-rate code of the channel's profile.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Sampling-rate code",
               parameters(optional("channel_number", "0")), &Names::get_sampling_rate)
        .passing_profile_of_channel(0);
constexpr DeviceOperation set_sampling_rate_value =
    forwarding("set_sampling_rate_value",
               "Set the sampling rate of the channel's profile by its raw code.\n\n"
               ":param samples_per_second: Sampling-rate code\n"
               ":param channel_number: Channel number",
               parameters(required("samples_per_second"), optional("channel_number", "0")),
               &Names::set_sampling_rate)
        .passing_profile_of_channel(1)
        .then_passing(0);
constexpr DeviceOperation get_instrument_serial_number =
    forwarding("get_instrument_serial_number",
               "Get the instrument's serial number.\n\n"
               ":return: Serial number",
               parameters(), &Names::get_instrument_serial_number);
constexpr DeviceOperation get_sensor_serial_number =
    forwarding("get_sensor_serial_number",
               "Get the sensor serial number of the channel's profile.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Serial number",
               parameters(optional("channel_number", "0")), &Names::get_sensor_serial_number)
        .passing_profile_of_channel(0);
constexpr DeviceOperation get_device_channel_selected_profile =
    forwarding("get_device_channel_selected_profile",
               "Get the profile selected on a channel.\n\n"
               ":param channel_number: Channel number\n"
               ":return: Profile number",
               parameters(optional("channel_number", "0")),
               &Names::get_device_channel_selected_profile)
        .passing_channel(0);
constexpr DeviceOperation get_adc_for_profile =
    forwarding("get_adc_for_profile",
               "Read the calibration of a profile into a new converter.\n\n"
               ":param profile_number: Profile number\n"
               ":return: A new ADCConverter; the device's own converter is unchanged",
               parameters(required("profile_number")), &Names::load_adc_converter)
        .then_passing(0);

const char *const creation_refused =
    "VelmoDevice cannot be instantiated directly. Use VelmoSerialScanner.discover_devices() to "
    "obtain VelmoDevice instances.";

const Method init{
    "__init__", nullptr,
    parameters(required("communication_interface"), keyword_only("_internal_token", "None")),
    [](nb::handle self, PyObject **args) -> nb::object {
        PyObject *token = args[1] ? args[1] : Py_None;
        const Names &known = names();
        if (!module_global(known.DEVICE_CREATION_TOKEN).is(token))
            raise(PyExc_TypeError, creation_refused);
        nb::handle interface = args[0];
        self.attr(known.communication_interface) = interface;
        nb::object profile =
            call_method(interface, known.get_device_channel_selected_profile, new_int(0));
        for (PyObject *name :
             {known._teds_data, known._model_number, known._item_number, known._firmware_version,
              known._cached_sampling_rate_for_teds, known.adc_converter})
            self.attr(name) = nb::none();
        self.attr(known.adc_converter) = call_method(interface, known.load_adc_converter, profile);
        return nb::none();
    }};

const Method get_reading{"get_reading",
                         "Read a channel and convert its count into a calibrated load.\n\n"
                         ":param channel_number: Channel number\n"
                         ":return: Calibrated load\n"
                         ":raises VelmoCalibrationError: If the device has no converter",
                         parameters(optional("channel_number", "0")),
                         [](nb::handle self, PyObject **args) -> nb::object {
                             nb::object converter = self.attr(names().adc_converter);
                             if (converter.is_none())
                                 raise(state().calibration_error,
                                       "ADC converter not initialized. Cannot convert reading.");
                             nb::object count = call_method(interface_of(self), names().get_ndr,
                                                            channel_or_default(args[0]));
                             return call_method(converter, names().convert_adc, count);
                         }};

const Method set_stream_state{
    "set_stream_state",
    "Switch the measurement stream on or off.\n\n"
    ":param stream_enabled: True or 1 starts, False or 0 stops",
    parameters(required("stream_enabled")), [](nb::handle self, PyObject **args) -> nb::object {
        nb::object enabled =
            PyLong_CheckExact(args[0]) ? nb::borrow(args[0]) : checked(PyNumber_Long(args[0]));
        call_method(interface_of(self), names().set_streaming_state, enabled);
        return nb::none();
    }};

const Method set_sampling_rate{
    "set_sampling_rate",
    "Set the sampling rate of the channel's profile.\n\n"
    ":param samples_per_second: Member of the model's sampling-rate enumeration\n"
    ":param channel_number: Channel number\n"
    ":raises VelmoInvalidParameterError: If the rate is not available on this instrument",
    parameters(required("samples_per_second"), optional("channel_number", "0")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object channel = channel_or_default(args[1]);
        nb::object channel_number;
        if (PyLong_CheckExact(channel.ptr()))
            channel_number = channel;
        else if (PyNumber_Check(channel.ptr()))
            channel_number = checked(PyNumber_Long(channel.ptr()));
        else
            raise(PyExc_TypeError,
                  "Argument 'channel_number' has incorrect type (expected int, got %s)",
                  Py_TYPE(channel.ptr())->tp_name);
        nb::object profile = profile_of_channel(self, channel_number.ptr());
        nb::object code = nb::handle(args[0]).attr(names().value);
        call_method(interface_of(self), names().set_sampling_rate, profile, code);
        return nb::none();
    }};

const Method set_device_channel_selected_profile{
    "set_device_channel_selected_profile",
    "Select the profile of a channel and reload the converter of channel 0's profile.\n\n"
    ":param channel_number: Channel number\n"
    ":param profile_number: Profile number",
    parameters(required("channel_number"), required("profile_number")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object interface = interface_of(self);
        call_method(interface, names().set_device_channel_selected_profile, args[0], args[1]);
        nb::object profile = call_method(self, names().get_device_channel_selected_profile);
        self.attr(names().adc_converter) =
            call_method(interface, names().load_adc_converter, profile);
        return nb::none();
    }};

const Method get_unit_of_measure{"get_unit_of_measure",
                                 "Get the unit of measure of the channel's profile.\n\n"
                                 ":param channel_number: Channel number\n"
                                 ":return: UnitOfMeasureEnum member",
                                 parameters(optional("channel_number", "0")),
                                 [](nb::handle self, PyObject **args) -> nb::object {
                                     nb::object profile = profile_of_channel(self, args[0]);
                                     nb::object code = call_method(interface_of(self),
                                                                   "get_unit_of_measure", profile);
                                     return module_global(names().UnitOfMeasureEnum)(code);
                                 }};

const Method set_unit_of_measure{
    "set_unit_of_measure",
    "Set the unit of measure of the channel's profile.\n\n"
    ":param unit_of_measure: UnitOfMeasureEnum member\n"
    ":param channel_number: Channel number",
    parameters(required("unit_of_measure"), optional("channel_number", "0")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object profile = profile_of_channel(self, args[1]);
        nb::object code = nb::handle(args[0]).attr(names().value);
        call_method(interface_of(self), names().set_unit_of_measure, profile, code);
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
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        nb::object adc = call_method(interface_of(self), names().get_board_temperature);
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

const Method get_adc_converter{"get_adc_converter",
                               "Get the device's current converter, without a transaction.\n\n"
                               ":return: ADCConverter",
                               parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                   return self.attr(names().adc_converter);
                               }};

const Method enter{"__enter__", nullptr, parameters(),
                   [](nb::handle self, PyObject **) -> nb::object {
                       log_debug("Entering VelmoDevice context");
                       return nb::borrow(self);
                   }};

const Method exit{"__exit__", nullptr,
                  parameters(required("exc_type"), required("exc_val"), required("exc_tb")),
                  [](nb::handle self, PyObject **) -> nb::object {
                      log_debug("Exiting VelmoDevice context");
                      try {
                          call_method(self, names().disconnect);
                      } catch (nb::python_error &raised) {
                          CaughtError e(raised);
                          if (!e.is_ordinary())
                              e.rethrow();
                          log_error("Error during context manager cleanup: %S", e.value());
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
    add_initializer(cls, method_def<init>());
    PyMethodDef *definitions[] = {
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
