#include "module/errors.hpp"

namespace velmo {

namespace {

struct ErrorClass {
    PyObject *ModuleState::*slot;
    const char *name;
    PyObject *ModuleState::*base; // nullptr: Exception
    const char *doc;
};

const ErrorClass error_classes[] = {
    {&ModuleState::device_error, "VelmoDeviceError", nullptr,
     "Base exception for all VELMO device errors"},
    {&ModuleState::connection_error, "VelmoConnectionError", &ModuleState::device_error,
     "Raised when connection/disconnection fails"},
    {&ModuleState::communication_error, "VelmoCommunicationError", &ModuleState::device_error,
     "Raised when serial communication fails"},
    {&ModuleState::timeout_error, "VelmoTimeoutError", &ModuleState::communication_error,
     "Raised when a command times out"},
    {&ModuleState::protocol_error, "VelmoProtocolError", &ModuleState::device_error,
     "Raised when protocol/checksum validation fails"},
    {&ModuleState::invalid_parameter_error, "VelmoInvalidParameterError",
     &ModuleState::device_error, "Raised when invalid parameters are provided"},
    {&ModuleState::device_not_found_error, "VelmoDeviceNotFoundError", &ModuleState::device_error,
     "Raised when device discovery fails"},
    {&ModuleState::calibration_error, "VelmoCalibrationError", &ModuleState::device_error,
     "Raised when calibration data is invalid or missing"},
    {&ModuleState::teds_error, "VelmoTEDSError", &ModuleState::device_error,
     "Base exception for TEDS-related errors"},
    {&ModuleState::teds_not_supported_error, "VelmoTEDSNotSupportedError", &ModuleState::teds_error,
     "Raised when device doesn't support TEDS"},
    {&ModuleState::teds_not_connected_error, "VelmoTEDSNotConnectedError", &ModuleState::teds_error,
     "Raised when TEDS sensor is not physically connected"},
    {&ModuleState::teds_data_corrupted_error, "VelmoTEDSDataCorruptedError",
     &ModuleState::teds_error, "Raised when TEDS data checksum/parsing fails"},
};

} // namespace

void bind_errors(nb::module_ &m) {
    for (const ErrorClass &error : error_classes) {
        ModuleState &module_state = state();
        PyObject *base = error.base ? module_state.*(error.base) : PyExc_Exception;
        std::string qualified = std::string(module_name) + "." + error.name;
        PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), error.doc, base, nullptr);
        if (!type)
            throw nb::python_error();
        module_state.*(error.slot) = type;
        if (PyObject_SetAttrString(m.ptr(), error.name, type) < 0)
            throw nb::python_error();
    }
}

} // namespace velmo
