// VelmoSerialScanner: finds instruments by probing every port at the baud rates of the
// requested models, and hands over each one that answers as a VelmoDevice.
#include "device/device.hpp"
#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "protocol/protocol.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace velmo {

namespace {

struct ModelBauds {
    const char *model;
    std::vector<long> bauds;
};

// Built on every call, in the order rates are tried.
std::vector<ModelBauds> models_and_bauds() {
    return {{"HDA640", {2000000}},
            {"RPX310", {320000, 115200}},
            {"TMV520", {320000, 115200}},
            {"GLS870", {320000, 115200}}};
}

void add_once(std::vector<long> &bauds, const std::vector<long> &more) {
    for (long baud : more)
        if (std::find(bauds.begin(), bauds.end(), baud) == bauds.end())
            bauds.push_back(baud);
}

std::vector<long> bauds_to_find(const std::vector<nb::object> &models) {
    const std::vector<ModelBauds> table = models_and_bauds();
    std::vector<long> bauds;
    if (models.empty()) {
        for (const ModelBauds &entry : table)
            add_once(bauds, entry.bauds);
        return bauds;
    }
    for (const nb::object &model : models) {
        auto entry = std::find_if(table.begin(), table.end(), [&](const ModelBauds &known) {
            return PyUnicode_Check(model.ptr()) &&
                   PyUnicode_CompareWithASCIIString(model.ptr(), known.model) == 0;
        });
        if (entry == table.end()) {
            log_warning("Unknown device model: %S, skipping", model);
            continue;
        }
        add_once(bauds, entry->bauds);
    }
    return bauds;
}

nb::object described(nb::handle filter) {
    int present = PyObject_IsTrue(filter.ptr());
    if (present < 0)
        throw nb::python_error();
    return present ? checked(PyObject_Str(filter.ptr())) : nb::str("all");
}

std::vector<nb::object> upper_case_models(nb::handle device_models) {
    std::vector<nb::object> models;
    nb::object iterator = checked(PyObject_GetIter(device_models.ptr()));
    while (PyObject *item = PyIter_Next(iterator.ptr())) {
        nb::object model = nb::steal(item);
        models.push_back(checked(PyObject_Str(call_method(model, names().upper).ptr())));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return models;
}

void disconnect_quietly(nb::handle link) {
    int present = PyObject_IsTrue(link.ptr());
    if (present < 0)
        throw nb::python_error();
    if (!present)
        return;
    try {
        call_method(link, names().disconnect);
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
    }
}

// One port at one rate; returns the device, or an empty object when nothing usable answered.
nb::object probe(nb::handle port_name, long baud) {
    const ModuleState &module_state = state();
    const Names &known = module_state.names;
    nb::object link = nb::none();
    try {
        link = module_global(known.SerialCommunicationInterface)(port_name, new_int(baud));
        call_method(link, known.connect);
        nb::object model = call_method(link, known.get_model_number);
        int answered = PyObject_IsTrue(model.ptr());
        if (answered < 0)
            throw nb::python_error();
        if (!answered) {
            log_debug("%S at %ld baud: no response", port_name, baud);
            call_method(link, known.disconnect);
            return nb::object();
        }
        log_info("Found %S on %S at %ld baud )", model, port_name, baud);
        return call_with_keywords(module_global(known.VelmoDevice),
                                  {link, module_global(known.DEVICE_CREATION_TOKEN)},
                                  {known._internal_token});
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        if (e.matches(module_state.communication_error) || e.matches(module_state.connection_error))
            log_debug("%S at %ld baud: communication error - %S", port_name, baud, e.value());
        else
            log_warning("Unexpected error scanning %S at %ld baud: %S", port_name, baud, e.value());
        disconnect_quietly(link);
        return nb::object();
    }
}

nb::object discover(nb::handle device_models_argument, nb::handle comports_argument) {
    nb::object device_models =
        device_models_argument.is_none() ? nb::list() : nb::borrow(device_models_argument);
    nb::object comports = comports_argument.is_none() ? nb::list() : nb::borrow(comports_argument);
    log_info("Starting device discovery (models: %S, ports: %S)", described(device_models),
             described(comports));

    nb::object ports;
    try {
        const Names &known = names();
        nb::object list_ports =
            attribute(attribute(module_global(known.serial), known.tools), known.list_ports);
        ports = call_method(list_ports, known.comports);
        Py_ssize_t count = PyObject_Length(ports.ptr());
        if (count < 0)
            throw nb::python_error();
        log_debug("Found %zd COM ports to scan", count);
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        log_error("Failed to enumerate COM ports: %S", e.value());
        return nb::list();
    }

    const std::vector<nb::object> models = upper_case_models(device_models);
    Py_ssize_t filter_size = PyObject_Length(comports.ptr());
    if (filter_size < 0)
        throw nb::python_error();
    const bool do_look_for_comports = filter_size > 0;
    nb::list devices;
    const std::vector<long> bauds = bauds_to_find(models);

    nb::object iterator = checked(PyObject_GetIter(ports.ptr()));
    while (PyObject *item = PyIter_Next(iterator.ptr())) {
        nb::object record = nb::steal(item);
        nb::object port_name = record.attr(names().device);
        if (do_look_for_comports) {
            int requested = PySequence_Contains(comports.ptr(), port_name.ptr());
            if (requested < 0)
                throw nb::python_error();
            if (!requested) {
                log_debug("Skipping %S (not in requested list)", port_name);
                continue;
            }
        }
        log_debug("Scanning %S", port_name);
        for (long baud : bauds) {
            nb::object device = probe(port_name, baud);
            if (device.is_valid()) {
                devices.append(device);
                break;
            }
        }
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    log_info("Discovery complete: found %zd device(s)", PyList_GET_SIZE(devices.ptr()));
    return devices;
}

const Method init{"__init__", nullptr, parameters(),
                  [](nb::handle self, PyObject **) -> nb::object {
                      self.attr(names().commands) = new_command_operations();
                      return nb::none();
                  }};

const Method discover_devices{
    "discover_devices",
    "Discovers Velmo serial devices.\n"
    "\n"
    ":param device_models: Device model types to search for.\n"
    ":param comports: Specific comports to scan.\n"
    ":return: Velmo devices discovered during scan.",
    parameters(optional("device_models", "None"), optional("comports", "None")),
    [](nb::handle, PyObject **args) -> nb::object {
        return discover(args[0] ? args[0] : Py_None, args[1] ? args[1] : Py_None);
    },
    Receiver::type};

} // namespace

void bind_scanner(nb::module_ &m) {
    nb::object cls = make_class(
        m, "VelmoSerialScanner",
        "\n    VELMOSerialScanner handles discovery operations for VELMO devices.\n    ");
    add_initializer(cls, method_def<init>());
    add_class_method(cls, method_def<discover_devices>());
}

void bind_device(nb::module_ &m) {
    bind_velmo_device(m);
    bind_scanner(m);
}

} // namespace velmo
