// Parameter operations of the link: one request each, the argument bytes built from the
// caller's values, and the loading of a profile's calibration into an ADCConverter.
#include "calibration/calibration.hpp"
#include "link/link.hpp"
#include "module/conversions.hpp"
#include "module/methods.hpp"

namespace velmo {

namespace {

// How the last parameter travels behind the one-byte arguments.
enum class Value { none, load_float32_le, count_uint32_be };

enum class Arguments { from_parameters, explicit_empty, command_default };

struct ParameterOperation {
    const char *name;
    const char *doc;
    Parameters parameters;
    PyObject *Names::*command_property;
    bool converts;
    Arguments arguments = Arguments::from_parameters;
    Value value = Value::none;

    constexpr ParameterOperation with_arguments(Arguments given) const {
        ParameterOperation changed = *this;
        changed.arguments = given;
        return changed;
    }
    constexpr ParameterOperation last_parameter_as(Value encoding) const {
        ParameterOperation changed = *this;
        changed.value = encoding;
        return changed;
    }
};

// An operation whose answer is converted and returned.
constexpr ParameterOperation reading(const char *name, const char *doc, Parameters parameters,
                                     PyObject *Names::*command_property) {
    return {name, doc, parameters, command_property, true};
}

// An operation that sends its arguments and returns None.
constexpr ParameterOperation writing(const char *name, const char *doc, Parameters parameters,
                                     PyObject *Names::*command_property) {
    return {name, doc, parameters, command_property, false};
}

nb::object encoded_value(Value value, nb::handle parameter) {
    const Names &known = names();
    if (value == Value::load_float32_le)
        return call_method(module_global(known.struct_), known.pack, nb::str("<f"), parameter);
    return call_method(parameter, known.to_bytes, new_int(4));
}

template <const ParameterOperation &Op> nb::object run_operation(nb::handle self, PyObject **args) {
    nb::object arguments;
    if (Op.arguments == Arguments::explicit_empty) {
        arguments = new_empty_arguments();
    } else if (Op.arguments == Arguments::from_parameters) {
        const size_t byte_count = Op.parameters.count - (Op.value == Value::none ? 0 : 1);
        arguments = argument_bytes(args, byte_count);
        if (Op.value != Value::none)
            call_method(arguments, names().extend, encoded_value(Op.value, args[byte_count]));
    }
    if (Op.converts)
        return convert_transaction(self, Op.command_property, arguments);
    send_transaction(self, Op.command_property, arguments);
    return nb::none();
}

template <const ParameterOperation &Op>
const Method operation_method{Op.name, Op.doc, Op.parameters, run_operation<Op>};

constexpr ParameterOperation get_number_of_loading_points =
    reading("get_number_of_loading_points",
            "Get the number of loading points per direction of a profile.\n\n"
            ":param profile_number: Profile number\n"
            ":return: Loading points per direction",
            parameters(required("profile_number")), &Names::Get_Number_Of_Loading_Points_Command);
constexpr ParameterOperation get_board_temperature =
    reading("get_board_temperature",
            "Get the raw board temperature count.\n\n"
            ":return: Raw temperature count",
            parameters(), &Names::Get_Board_Temperature)
        .with_arguments(Arguments::command_default);
constexpr ParameterOperation get_load_of_loading_point =
    reading("get_load_of_loading_point",
            "Get the load of a loading point.\n\n"
            ":param profile_number: Profile number\n"
            ":param point_index: Index in the profile's loading-point table\n"
            ":return: Load at the point",
            parameters(required("profile_number"), required("point_index")),
            &Names::Get_Load_Of_Loading_Point_Command);
constexpr ParameterOperation get_loading_point_value =
    reading("get_loading_point_value",
            "Get the ADC count of a loading point.\n\n"
            ":param profile_number: Profile number\n"
            ":param point_index: Index in the profile's loading-point table\n"
            ":return: ADC count at the point",
            parameters(required("profile_number"), required("point_index")),
            &Names::Get_Loading_Point_Value_Command);
constexpr ParameterOperation get_ndr =
    reading("get_ndr",
            "Get the current raw ADC count of a channel (normal data request).\n\n"
            ":param channel_number: Channel number\n"
            ":return: Raw ADC count",
            parameters(required("channel_number")), &Names::Get_Ndr_Command);
constexpr ParameterOperation set_load_of_loading_point =
    writing("set_load_of_loading_point",
            "Set the load of a loading point (sent as a little-endian float32).\n\n"
            ":param profile_number: Profile number\n"
            ":param point_index: Index in the profile's loading-point table\n"
            ":param load_value: Load at the point",
            parameters(required("profile_number"), required("point_index"), required("load_value")),
            &Names::Set_Load_Of_Loading_Point_Command)
        .last_parameter_as(Value::load_float32_le);
constexpr ParameterOperation set_adc_of_loading_point =
    writing("set_adc_of_loading_point",
            "Set the ADC count of a loading point (sent as a big-endian uint32).\n\n"
            ":param profile_number: Profile number\n"
            ":param point_index: Index in the profile's loading-point table\n"
            ":param adc_value: ADC count at the point",
            parameters(required("profile_number"), required("point_index"), required("adc_value")),
            &Names::Set_Loading_Point_Value_Command)
        .last_parameter_as(Value::count_uint32_be);
constexpr ParameterOperation get_number_of_directions =
    reading("get_number_of_directions",
            "Get the direction code of a profile (0 one direction, 1 two).\n\n"
            ":param profile_number: Profile number\n"
            ":return: Direction code",
            parameters(required("profile_number")), &Names::Get_Number_Of_Directions_Command);
constexpr ParameterOperation set_number_of_directions =
    writing("set_number_of_directions",
            "Set the direction code of a profile.\n\n"
            ":param profile_number: Profile number\n"
            ":param number_of_directions: Direction code (0 one direction, 1 two)",
            parameters(required("profile_number"), required("number_of_directions")),
            &Names::Set_Number_Of_Directions_Command);
constexpr ParameterOperation set_streaming_state =
    writing("set_streaming_state",
            "Switch the measurement stream on (1) or off (0).\n\n"
            ":param stream_enabled: 1 starts, 0 stops the stream",
            parameters(required("stream_enabled")), &Names::Set_Streaming_State_Command);
constexpr ParameterOperation get_sampling_rate =
    reading("get_sampling_rate",
            "Get the sampling-rate code of a profile.\n\n"
            ":param profile_number: Profile number\n"
            ":return: Sampling-rate code",
            parameters(required("profile_number")), &Names::Get_Sampling_Rate_Command);
constexpr ParameterOperation get_instrument_serial_number =
    reading("get_instrument_serial_number",
            "Get the instrument's serial number.\n\n"
            ":return: Instrument serial number",
            parameters(), &Names::Get_Instrument_Serial_Number_Command)
        .with_arguments(Arguments::explicit_empty);
constexpr ParameterOperation get_sensor_serial_number =
    reading("get_sensor_serial_number",
            "Get the sensor serial number of a profile.\n\n"
            ":param profile: Profile number\n"
            ":return: Sensor serial number",
            parameters(required("profile")), &Names::Get_Sensor_Serial_Number_Command);
constexpr ParameterOperation get_device_channel_selected_profile = reading(
    "get_device_channel_selected_profile",
    "Get the profile selected on a channel.\n\n"
    ":param channel_number: Channel number\n"
    ":return: Profile number",
    parameters(required("channel_number")), &Names::Get_Device_Channel_Selected_Profile_Command);
constexpr ParameterOperation set_device_channel_selected_profile =
    writing("set_device_channel_selected_profile",
            "Select the profile of a channel.\n\n"
            ":param channel_number: Channel number\n"
            ":param profile_number: Profile number",
            parameters(required("channel_number"), required("profile_number")),
            &Names::Set_Device_Channel_Selected_Profile_Command);
constexpr ParameterOperation get_unit_of_measure =
    reading("get_unit_of_measure",
            "Get the unit code of a profile.\n\n"
            ":param profile_number: Profile number\n"
            ":return: Unit code (a UnitOfMeasureEnum value)",
            parameters(required("profile_number")), &Names::Get_Device_Unit_Of_Measure_Command);
constexpr ParameterOperation set_unit_of_measure =
    writing("set_unit_of_measure",
            "Set the unit code of a profile.\n\n"
            ":param profile_number: Profile number\n"
            ":param unit_of_measure: Unit code (a UnitOfMeasureEnum value)",
            parameters(required("profile_number"), required("unit_of_measure")),
            &Names::Set_Device_Unit_Of_Measure_Command);

constexpr long highest_rate_code = 15;

const Method set_sampling_rate{
    "set_sampling_rate",
    "Set the sampling-rate code of a profile.\n\n"
    ":param profile_number: Profile number\n"
    ":param samples_per_second: Sampling-rate code (the value of a sampling-rate enumeration "
    "member)\n"
    ":raises VelmoInvalidParameterError: If the rate is not available on this instrument",
    parameters(required("profile_number"), required("samples_per_second")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object item =
            convert_transaction(self, &Names::Get_Item_Number_Command, new_empty_arguments());
        nb::object model =
            convert_transaction(self, &Names::Get_Model_Number_Command, new_empty_arguments());
        nb::object digest = item_number_digest(item);
        nb::handle rate = args[1];
        if (python_equal(model, nb::str("HDA640")) &&
            python_equal(rate, new_int(highest_rate_code)) &&
            !python_equal(digest, nb::str(orvale_item_digest))) {
            log_error("Sampling rate %S not supported for HDA640 Zeph", rate);
            raise(state().invalid_parameter_error,
                  "Sampling rate 38400 SPS is not available for HDA640 Zeph");
        }
        PyObject *rate_arguments[] = {args[0], rate.ptr()};
        send_transaction(self, &Names::Set_Sampling_Rate_Command,
                         argument_bytes(rate_arguments, 2));
        return nb::none();
    }};

constexpr int32_t max_loading_points = 21;

void load_points(nb::handle self, nb::handle profile, AdcCalibration &calibration) {
    const Names &known = names();
    nb::object count = call_method(self, known.get_number_of_loading_points, profile);
    const int32_t n = to_int32(count);
    calibration.number_of_loading_points = n;
    if (n <= 0 || n > max_loading_points)
        raise(state().calibration_error, "Invalid number of loading points: %d", (int)n);
    auto load = [&](int32_t index) {
        return to_double(
            call_method(self, known.get_load_of_loading_point, profile, new_int(index)));
    };
    auto value = [&](int32_t index) {
        return to_double(call_method(self, known.get_loading_point_value, profile, new_int(index)));
    };
    // Only the first and last point of each direction: direction 2 follows direction 1.
    calibration.direction_1_offset_load = load(0);
    calibration.direction_1_fullscale_load = load(n - 1);
    calibration.direction_1_offset_value = value(0);
    calibration.direction_1_fullscale_value = value(n - 1);
    calibration.direction_2_offset_load = load(n);
    calibration.direction_2_fullscale_load = load(2 * n - 1);
    calibration.direction_2_offset_value = value(n);
    calibration.direction_2_fullscale_value = value(2 * n - 1);
    calibration.scale_factor = 1.0;
    calibration.offset = 0.0;
    calibration.number_of_directions =
        to_int32(call_method(self, known.get_number_of_directions, profile));
}

const Method load_adc_converter{
    "load_adc_converter",
    "Load the calibration of a profile from the instrument into an ADC converter.\n\n"
    ":param profile: Profile number\n"
    ":return: ADCConverter filled with the profile's calibration\n"
    ":raises VelmoCommunicationError: If the link fails\n"
    ":raises VelmoCalibrationError: If the calibration data is invalid",
    parameters(required("profile")), [](nb::handle self, PyObject **args) -> nb::object {
        nb::object converter = new_adc_converter();
        try {
            load_points(self, args[0],
                        reinterpret_cast<AdcConverterObject *>(converter.ptr())->calibration);
            set_midpoint_offset(converter);
            log_debug("Loaded ADC converter for profile %S", nb::handle(args[0]));
            return converter;
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            const ModuleState &module_state = state();
            if (e.matches(module_state.communication_error) ||
                e.matches(module_state.calibration_error) || !e.is_ordinary())
                e.rethrow();
            log_error("Failed to load ADC converter: %S", e.value());
            raise_from(module_state.calibration_error, e, "Error loading calibration data: %S",
                       e.value());
        }
    }};

} // namespace

void bind_parameters(nb::handle cls) {
    PyMethodDef *definitions[] = {
        method_def<operation_method<get_number_of_loading_points>>(),
        method_def<operation_method<get_board_temperature>>(),
        method_def<operation_method<get_load_of_loading_point>>(),
        method_def<operation_method<get_loading_point_value>>(),
        method_def<operation_method<get_ndr>>(),
        method_def<operation_method<set_load_of_loading_point>>(),
        method_def<operation_method<set_adc_of_loading_point>>(),
        method_def<operation_method<get_number_of_directions>>(),
        method_def<operation_method<set_number_of_directions>>(),
        method_def<operation_method<set_streaming_state>>(),
        method_def<operation_method<get_sampling_rate>>(),
        method_def<set_sampling_rate>(),
        method_def<operation_method<get_instrument_serial_number>>(),
        method_def<operation_method<get_sensor_serial_number>>(),
        method_def<operation_method<get_device_channel_selected_profile>>(),
        method_def<operation_method<set_device_channel_selected_profile>>(),
        method_def<operation_method<get_unit_of_measure>>(),
        method_def<operation_method<set_unit_of_measure>>(),
        method_def<load_adc_converter>(),
    };
    for (PyMethodDef *definition : definitions)
        add_method(cls, definition);
}

} // namespace velmo
