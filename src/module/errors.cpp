#include "module/errors.hpp"

namespace velmo {

namespace {

struct ErrorClass {
    PyObject *ModuleObjects::*slot;
    const char *name;
    PyObject *ModuleObjects::*base; // nullptr: Exception
    const char *doc;
};

const ErrorClass error_classes[] = {
    {&ModuleObjects::device_error, "VelmoDeviceError", nullptr,
     "Base exception for all VELMO device errors"},
    {&ModuleObjects::connection_error, "VelmoConnectionError", &ModuleObjects::device_error,
     "Raised when connection/disconnection fails"},
    {&ModuleObjects::communication_error, "VelmoCommunicationError", &ModuleObjects::device_error,
     "Raised when serial communication fails"},
    {&ModuleObjects::timeout_error, "VelmoTimeoutError", &ModuleObjects::communication_error,
     "Raised when a command times out"},
    {&ModuleObjects::protocol_error, "VelmoProtocolError", &ModuleObjects::device_error,
     "Raised when protocol/checksum validation fails"},
    {&ModuleObjects::invalid_parameter_error, "VelmoInvalidParameterError",
     &ModuleObjects::device_error, "Raised when invalid parameters are provided"},
    {&ModuleObjects::device_not_found_error, "VelmoDeviceNotFoundError",
     &ModuleObjects::device_error, "Raised when device discovery fails"},
    {&ModuleObjects::calibration_error, "VelmoCalibrationError", &ModuleObjects::device_error,
     "Raised when calibration data is invalid or missing"},
    {&ModuleObjects::teds_error, "VelmoTEDSError", &ModuleObjects::device_error,
     "Base exception for TEDS-related errors"},
    {&ModuleObjects::teds_not_supported_error, "VelmoTEDSNotSupportedError",
     &ModuleObjects::teds_error, "Raised when device doesn't support TEDS"},
    {&ModuleObjects::teds_not_connected_error, "VelmoTEDSNotConnectedError",
     &ModuleObjects::teds_error, "Raised when TEDS sensor is not physically connected"},
    {&ModuleObjects::teds_data_corrupted_error, "VelmoTEDSDataCorruptedError",
     &ModuleObjects::teds_error, "Raised when TEDS data checksum/parsing fails"},
};

} // namespace

void bind_errors(nb::module_ &m) {
    for (const ErrorClass &error : error_classes) {
        PyObject *base = error.base ? objects.*(error.base) : PyExc_Exception;
        std::string qualified = std::string(module_name) + "." + error.name;
        PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), error.doc, base, nullptr);
        if (!type)
            throw nb::python_error();
        objects.*(error.slot) = type;
        if (PyObject_SetAttrString(m.ptr(), error.name, type) < 0)
            throw nb::python_error();
    }
}

} // namespace velmo
