// The TEDS half of VelmoDevice: support and AutoTEDS version decisions, loading the attached
// sensor's record, and the calibration derived from it.
#include "device/device.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"

namespace velmo {

namespace {

bool call_truth(nb::handle self, PyObject *Names::*method) {
    return truth_of(call_method(self, names().*method));
}

[[noreturn]] void raise_not_supported(nb::handle self) {
    nb::object model = call_method(self, names().get_model_number);
    raise(state().teds_not_supported_error, "TEDS is not supported on %S", model);
}

void require_support(nb::handle self) {
    if (!call_truth(self, &Names::supports_teds))
        raise_not_supported(self);
}

nb::object loaded_record(nb::handle self) {
    nb::object record = self.attr(names()._teds_data);
    if (record.is_none())
        raise(state().teds_not_connected_error,
              "No TEDS data loaded. Ensure TEDS sensor is connected and AutoTEDS is enabled.");
    return record;
}

// Runs `body`; an ordinary exception is handed to `on_error` instead of propagating.
template <typename Body, typename OnError> void handling_errors(Body body, OnError on_error) {
    try {
        body();
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        on_error(e);
    }
}

const Method initialize_teds{
    "initialize_teds",
    "Initialize TEDS support during device discovery.\n\n"
    "Loads the attached sensor's TEDS record and calibration when the instrument supports\n"
    "TEDS, AutoTEDS is on and a sensor is connected. Failures are logged, never raised; the\n"
    "device then keeps its calibration.",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        handling_errors(
            [&] {
                if (!call_truth(self, &Names::supports_teds)) {
                    log_debug("Device does not support TEDS - skipping TEDS initialization");
                    return;
                }
                if (!call_truth(self, &Names::get_auto_teds)) {
                    log_debug("AutoTEDS is disabled - TEDS data will not be auto-loaded");
                    return;
                }
                if (!call_truth(self, &Names::teds_is_connected)) {
                    log_warning("AutoTEDS enabled but no TEDS sensor connected");
                    return;
                }
                log_info("AutoTEDS enabled - automatically loading TEDS calibration");
                call_method(self, names().reload_teds_data);
            },
            [](const CaughtError &e) {
                log_warning("Failed to auto-load TEDS data during initialization: %S", e.value());
                log_warning("Device will use manual calibration");
            });
        return nb::none();
    }};

const Method teds_is_connected{
    "teds_is_connected",
    "Check whether a TEDS sensor is connected to the instrument.\n\n"
    ":return: True if a sensor is connected\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS support",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        require_support(self);
        return call_method(interface_of(self), names().teds_is_connected);
    }};

const Method get_teds_template{"get_teds_template",
                               "Get the TEDS template number of the loaded record.\n\n"
                               ":return: Template number\n"
                               ":raises VelmoTEDSNotConnectedError: If no record is loaded",
                               parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                   return loaded_record(self).attr(names().template_);
                               }};

const Method get_teds_serial_number{"get_teds_serial_number",
                                    "Get the sensor serial number of the loaded record.\n\n"
                                    ":return: Serial number text\n"
                                    ":raises VelmoTEDSNotConnectedError: If no record is loaded",
                                    parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                        return loaded_record(self).attr(names().serial_number);
                                    }};

const Method get_teds_engineering_unit{
    "get_teds_engineering_unit",
    "Get the engineering unit of the loaded record as text.\n\n"
    ":return: Unit text, or Unknown (code) for a code without a name\n"
    ":raises VelmoTEDSNotConnectedError: If no record is loaded",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        nb::object unit_code = loaded_record(self).attr(names().engineering_unit);
        nb::object fallback = format_text("Unknown (%S)", unit_code);
        return call_method(module_global(names().TEDS_UNIT_MAPPING), names().get, unit_code,
                           fallback);
    }};

const Method get_teds_max_capacity{"get_teds_max_capacity",
                                   "Get the sensor capacity of the loaded record.\n\n"
                                   ":return: Maximum capacity, in the sensor's units\n"
                                   ":raises VelmoTEDSNotConnectedError: If no record is loaded",
                                   parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                       return loaded_record(self).attr(names().max_capacity);
                                   }};

// The AutoTEDS command pair that the instrument's firmware knows.
nb::handle auto_teds_method(nb::handle self, PyObject *Names::*old_name,
                            PyObject *Names::*v1_name) {
    const bool v1 = call_truth(self, &Names::_should_use_auto_teds_v1);
    return names().*(v1 ? v1_name : old_name);
}

const Method get_auto_teds{
    "get_auto_teds",
    "Read the instrument's AutoTEDS switch.\n\n"
    ":return: True if AutoTEDS is on\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS support",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        require_support(self);
        nb::handle method = auto_teds_method(self, &Names::get_auto_teds, &Names::get_auto_teds_v1);
        return call_method(interface_of(self), method);
    }};

const Method set_auto_teds{
    "set_auto_teds",
    "Switch the instrument's AutoTEDS on or off.\n\n"
    "Switching on loads the sensor's TEDS record and calibration; switching off reverts to\n"
    "the instrument's calibration of the profile selected on channel 0.\n\n"
    ":param enabled: True switches AutoTEDS on, False off\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS support",
    parameters(required("enabled")), [](nb::handle self, PyObject **args) -> nb::object {
        require_support(self);
        nb::handle enabled = args[0];
        nb::object interface = interface_of(self);
        call_method(interface,
                    auto_teds_method(self, &Names::set_auto_teds, &Names::set_auto_teds_v1),
                    enabled);
        if (truth_of(enabled)) {
            call_method(self, names().reload_teds_data);
            return nb::none();
        }
        self.attr(names()._teds_data) = nb::none();
        nb::object profile =
            call_method(self, names().get_device_channel_selected_profile, new_int(0));
        self.attr(names().adc_converter) =
            call_method(interface, names().load_adc_converter, profile);
        log_info("AutoTEDS disabled - reverted to manual calibration");
        return nb::none();
    }};

// The template number is the first byte of the laser data.
nb::object template_of(nb::handle laser_data) {
    if (PyBytes_Check(laser_data.ptr()) || PyByteArray_Check(laser_data.ptr()))
        return checked(PySequence_GetItem(laser_data.ptr(), 0));
    return new_int(0);
}

void load_record_and_calibration(nb::handle self) {
    nb::object interface = interface_of(self);
    nb::object laser_data = call_method(interface, names().get_teds_laser);
    if (laser_data.is_none())
        raise(state().teds_not_connected_error,
              "Failed to read TEDS template - sensor may be disconnected");
    nb::object template_number = template_of(laser_data);
    nb::object raw_teds = call_method(interface, names().generate_all_teds_data);
    nb::object record = call_method(module_global(names().TEDSData), names().parse_from_bytes,
                                    raw_teds, template_number);
    self.attr(names()._teds_data) = record;
    log_info("TEDS data loaded: SN=%S, Template=%S, Max Capacity=%S",
             attribute(record, names().serial_number), attribute(record, names().template_),
             attribute(record, names().max_capacity));
    call_method(self, names()._load_teds_calibration_hda640, record, new_int(0));
}

const Method reload_teds_data{
    "reload_teds_data",
    "Read the sensor's TEDS record again and rebuild the calibration from it.\n\n"
    "Failures after the support and sensor checks are logged, not raised.\n\n"
    ":raises VelmoTEDSNotSupportedError: If the instrument has no TEDS support\n"
    ":raises VelmoTEDSNotConnectedError: If no TEDS sensor is connected",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        require_support(self);
        if (!call_truth(self, &Names::teds_is_connected))
            raise(state().teds_not_connected_error, "No TEDS sensor connected to device");
        log_info("Reloading TEDS data from sensor");
        handling_errors(
            [&] { load_record_and_calibration(self); },
            [](const CaughtError &e) { log_error("Error loading teds %S", e.value()); });
        return nb::none();
    }};

const Method supports_teds{
    "supports_teds",
    "Check whether the instrument supports TEDS (HDA640 with item number QKT08812).\n\n"
    "The model and item number are asked once and kept.\n\n"
    ":return: True if TEDS is supported",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        if (self.attr(names()._model_number).is_none())
            self.attr(names()._model_number) = call_method(self, names().get_model_number);
        if (self.attr(names()._item_number).is_none()) {
            nb::object item_number = nb::str("");
            handling_errors(
                [&] { item_number = call_method(interface_of(self), names().get_item_number); },
                [](const CaughtError &) {});
            self.attr(names()._item_number) = item_number;
        }
        return nb::bool_(python_equal(self.attr(names()._model_number), nb::str("HDA640")) &&
                         python_equal(self.attr(names()._item_number), nb::str("QKT08812")));
    }};

constexpr long pre_teds_rate_code = 0;
constexpr long teds_channel = 0;
constexpr long post_teds_pause_seconds = 3;

const Method pre_teds_operations{
    "pre_teds_operations",
    "Save the sampling rate of channel 0 and set the lowest rate for TEDS work.", parameters(),
    [](nb::handle self, PyObject **) -> nb::object {
        self.attr(names()._cached_sampling_rate_for_teds) =
            call_method(self, names().get_sampling_rate, new_int(teds_channel));
        call_method(self, names().set_sampling_rate_value, new_int(pre_teds_rate_code),
                    new_int(teds_channel));
        log_debug("Pre-TEDS operations: sampling rate cached and set to 2.5 SPS");
        return nb::none();
    }};

const Method post_teds_operations{
    "post_teds_operations",
    "Wait 3 seconds, then restore the sampling rate saved before TEDS work.", parameters(),
    [](nb::handle self, PyObject **) -> nb::object {
        call_method(module_global(names().time), names().sleep, new_int(post_teds_pause_seconds));
        nb::object saved = self.attr(names()._cached_sampling_rate_for_teds);
        if (!saved.is_none()) {
            call_method(self, names().set_sampling_rate_value, saved, new_int(teds_channel));
            self.attr(names()._cached_sampling_rate_for_teds) = nb::none();
        }
        log_debug("Post-TEDS operations: sampling rate restored");
        return nb::none();
    }};

// The firmware version, asked once; "0.0.0" when the instrument cannot tell.
nb::object firmware_version(nb::handle self) {
    nb::object version = self.attr(names()._firmware_version);
    if (!version.is_none())
        return version;
    handling_errors(
        [&] {
            self.attr(names()._firmware_version) =
                call_method(interface_of(self), names().get_firmware_version_with_patch);
            log_debug("Retrieved firmware version: %S", attribute(self, names()._firmware_version));
        },
        [&](const CaughtError &e) {
            log_warning("Failed to retrieve firmware version: %S, assuming old version", e.value());
            self.attr(names()._firmware_version) = nb::str("0.0.0");
        });
    return self.attr(names()._firmware_version);
}

// Firmware 4.3.2 and later know only the V1 AutoTEDS commands.
const long first_v1_firmware[] = {4, 3, 2};

bool firmware_uses_v1(nb::handle version) {
    nb::object parts = call_method(version, names().split, nb::str("."));
    const Py_ssize_t count = PyObject_Length(parts.ptr());
    if (count < 0)
        throw nb::python_error();
    nb::object numbers[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
        numbers[i] = new_int(0);
        if (i < count)
            numbers[i] = checked(PyNumber_Long(checked(PySequence_GetItem(parts.ptr(), i)).ptr()));
    }
    for (size_t i = 0; i < 3; ++i) {
        nb::object threshold = new_int(first_v1_firmware[i]);
        if (numbers[i] > threshold)
            return true;
        if (numbers[i] < threshold)
            return false;
    }
    return true;
}

const Method should_use_auto_teds_v1{
    "_should_use_auto_teds_v1",
    "Decide the AutoTEDS command version from the firmware version.\n\n"
    ":return: True for firmware 4.3.2 and later, which use the V1 commands",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        nb::object version = firmware_version(self);
        bool uses_v1 = false;
        handling_errors([&] { uses_v1 = firmware_uses_v1(version); },
                        [&](const CaughtError &e) {
                            log_warning("Failed to parse firmware version '%S': %S", version,
                                        e.value());
                        });
        return nb::bool_(uses_v1);
    }};

// Python arithmetic on the numbers read from the converters and the record.
nb::object subtract(nb::handle a, nb::handle b) {
    return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}
nb::object add(nb::handle a, nb::handle b) {
    return checked(PyNumber_Add(a.ptr(), b.ptr()));
}
nb::object multiply(nb::handle a, nb::handle b) {
    return checked(PyNumber_Multiply(a.ptr(), b.ptr()));
}
nb::object divide(nb::handle a, nb::handle b) {
    return checked(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
// int(): toward zero.
nb::object truncate(nb::handle value) {
    return checked(PyNumber_Long(value.ptr()));
}

void build_teds_calibration(nb::handle self, nb::handle teds_data, nb::handle profile) {
    log_debug("Loading TEDS calibration for HDA640 (profile %S)", profile);
    nb::object current = call_method(interface_of(self), names().load_adc_converter, profile);
    nb::object teds = module_global(names().ADCConverter)();
    const Names &known = names();
    auto field = [&](nb::handle object, PyObject *Names::*name) {
        return attribute(object, known.*name);
    };
    teds.attr(known.number_of_loading_points) = new_int(2);
    teds.attr(known.direction_1_offset_load) = field(teds_data, &Names::min_capacity);
    nb::object offset_1 = field(current, &Names::direction_1_offset_value);
    teds.attr(known.direction_1_offset_value) = offset_1;
    // Counts per load unit of the instrument's direction-1 line, with its sign.
    nb::object slope =
        divide(subtract(field(current, &Names::direction_1_fullscale_value), offset_1),
               subtract(field(current, &Names::direction_1_fullscale_load),
                        field(current, &Names::direction_1_offset_load)));
    teds.attr(known.direction_1_fullscale_value) =
        truncate(add(multiply(slope, field(teds_data, &Names::max_electrical)), offset_1));
    teds.attr(known.direction_1_fullscale_load) = field(teds_data, &Names::max_capacity);
    teds.attr(known.number_of_directions) = new_int(0);
    if (truth_of(field(teds_data, &Names::reverse_scaling_enabled))) {
        // A two-direction instrument calibration has direction 2 mirror direction 1; otherwise
        // direction 2 follows the instrument's own direction-2 line, falling from its offset.
        const bool mirrored =
            python_equal(field(current, &Names::number_of_directions), new_int(1));
        nb::object offset_2 = field(current, mirrored ? &Names::direction_1_offset_value
                                                      : &Names::direction_2_offset_value);
        teds.attr(known.direction_2_offset_value) = offset_2;
        teds.attr(known.direction_2_offset_load) = field(teds_data, &Names::min_capacity);
        nb::object slope_2 =
            mirrored ? slope
                     : checked(PyNumber_Absolute(
                           divide(subtract(field(current, &Names::direction_2_offset_value),
                                           field(current, &Names::direction_2_fullscale_value)),
                                  subtract(field(current, &Names::direction_2_offset_load),
                                           field(current, &Names::direction_2_fullscale_load)))
                               .ptr()));
        teds.attr(known.direction_2_fullscale_value) = truncate(subtract(
            offset_2, multiply(slope_2, field(teds_data, &Names::reverse_max_electrical))));
        teds.attr(known.direction_2_fullscale_load) = field(teds_data, &Names::max_capacity);
        teds.attr(known.number_of_directions) = new_int(1);
    }
    teds.attr(known.scale_factor) = new_float(1.0);
    teds.attr(known.offset) = new_float(0.0);
    self.attr(names().adc_converter) = teds;
    log_info("TEDS calibration loaded: %S to %S, Reverse scaling: %S",
             field(teds_data, &Names::min_capacity), field(teds_data, &Names::max_capacity),
             field(teds_data, &Names::reverse_scaling_enabled));
}

const Method load_teds_calibration_hda640{
    "_load_teds_calibration_hda640",
    "Derive a calibration from a TEDS record and install it as the device's converter.\n\n"
    "Keeps the offset count of the instrument's calibration of the profile, scales its\n"
    "counts-per-load slope by the sensor's electrical full-scale output, and pairs the counts\n"
    "with the sensor's capacities; a sensor with reverse scaling gets a second direction.\n\n"
    ":param teds_data: TEDSData record\n"
    ":param profile: Profile whose instrument calibration supplies the counts\n"
    ":raises VelmoCalibrationError: If the calibration cannot be derived",
    parameters(required("teds_data"), required("profile")),
    [](nb::handle self, PyObject **args) -> nb::object {
        handling_errors([&] { build_teds_calibration(self, args[0], args[1]); },
                        [](const CaughtError &e) {
                            log_error("Failed to load TEDS calibration: %S", e.value());
                            raise_from(state().calibration_error, e,
                                       "Error loading TEDS calibration: %S", e.value());
                        });
        return nb::none();
    }};

} // namespace

void bind_device_teds(nb::handle cls) {
    PyMethodDef *definitions[] = {
        method_def<initialize_teds>(),
        method_def<teds_is_connected>(),
        method_def<get_teds_template>(),
        method_def<get_teds_serial_number>(),
        method_def<get_teds_engineering_unit>(),
        method_def<get_teds_max_capacity>(),
        method_def<get_auto_teds>(),
        method_def<set_auto_teds>(),
        method_def<reload_teds_data>(),
        method_def<supports_teds>(),
        method_def<pre_teds_operations>(),
        method_def<post_teds_operations>(),
        method_def<should_use_auto_teds_v1>(),
        method_def<load_teds_calibration_hda640>(),
    };
    for (PyMethodDef *definition : definitions)
        add_method(cls, definition);
}

} // namespace velmo
