// The link's connection lifecycle and its three transactions. The port is a pyserial
// `serial.Serial`, reached through the module's `serial` global at call time.
#include "link/link.hpp"

#include "link/late_answers.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "module/retry.hpp"
#include "protocol/protocol.hpp"

namespace velmo {

namespace {

// The open port, or an empty object when there is none or it was closed elsewhere.
nb::object open_port(nb::handle self) {
    nb::object port = self.attr(names().serial_connection);
    int present = PyObject_IsTrue(port.ptr());
    if (present < 0)
        throw nb::python_error();
    if (!present)
        return nb::object();
    int open = PyObject_IsTrue(port.attr(names().is_open).ptr());
    if (open < 0)
        throw nb::python_error();
    return open ? port : nb::object();
}

bool matches_serial(const CaughtError &error, PyObject *Names::*exception_name) {
    const Names &known = names();
    nb::object exception_class = attribute(module_global(known.serial), known.*exception_name);
    return error.matches(exception_class.ptr());
}

const Method init{
    "__init__", nullptr,
    parameters(required("comport"), optional("baud_rate", "9600"), optional("timeout", "1")),
    [](nb::handle self, PyObject **args) -> nb::object {
        const Names &known = names();
        self.attr(known.comport) = nb::handle(args[0]);
        self.attr(known.baud_rate) = args[1] ? nb::borrow(args[1]) : new_int(9600);
        self.attr(known.timeout) = args[2] ? nb::borrow(args[2]) : new_int(1);
        self.attr(known.serial_connection) = nb::none();
        self.attr(known.commands) = new_command_operations();
        self.attr(known._cached_model_number) = nb::none();
        self.attr(known._cached_item_number) = nb::none();
        return nb::none();
    }};

void open_serial_port(nb::handle self) {
    const ModuleState &module_state = state();
    const Names &known = module_state.names;
    try {
        nb::object serial_class = attribute(module_global(known.serial), known.Serial);
        nb::object port =
            call_with_keywords(serial_class,
                               {attribute(self, known.comport), attribute(self, known.baud_rate),
                                attribute(self, known.timeout)},
                               {known.port, known.baudrate, known.timeout});
        self.attr(known.serial_connection) = port;
        log_info("Successfully connected to %S at %S baud", attribute(self, known.comport),
                 attribute(self, known.baud_rate));
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        nb::object comport = attribute(self, known.comport);
        if (matches_serial(e, &Names::SerialException)) {
            log_error("Failed to connect to %S: %S", comport, e.value());
            raise_from(module_state.connection_error, e,
                       "Could not open serial port %S at %S baud: %S", comport,
                       attribute(self, known.baud_rate), e.value());
        }
        log_error("Unexpected error connecting to %S: %S", comport, e.value());
        raise_from(module_state.connection_error, e, "Unexpected connection error: %S", e.value());
    }
}

// A silent or foreign instrument does not make connecting fail: the port stays open.
void cache_identity(nb::handle self) {
    try {
        const Names &known = names();
        self.attr(known._cached_model_number) = call_method(self, known.get_model_number);
        self.attr(known._cached_item_number) = call_method(self, known.get_item_number);
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        log_warning("Failed to cache device info during connect: %S", e.value());
        self.attr(names()._cached_model_number) = nb::none();
        self.attr(names()._cached_item_number) = nb::none();
    }
}

const Method connect{"connect",
                     "Connect to the VELMO device.\n\n"
                     ":return: None\n"
                     ":raises VelmoConnectionError: If the port cannot be opened",
                     parameters(), [](nb::handle self, PyObject **) -> nb::object {
                         open_serial_port(self);
                         cache_identity(self);
                         return nb::none();
                     }};

const Method disconnect{"disconnect",
                        "Disconnect from the VELMO device.\n\n"
                        ":return: None",
                        parameters(), [](nb::handle self, PyObject **) -> nb::object {
                            nb::object port = open_port(self);
                            if (!port.is_valid())
                                return nb::none();
                            try {
                                nb::object name = port.attr(names().port);
                                call_method(port, names().close);
                                log_info("Disconnected from %S", name);
                            } catch (nb::python_error &raised) {
                                CaughtError e(raised);
                                self.attr(names().serial_connection) = nb::none();
                                if (!e.is_ordinary())
                                    e.rethrow();
                                log_warning("Error during disconnect: %S", e.value());
                            }
                            self.attr(names().serial_connection) = nb::none();
                            return nb::none();
                        }};

const Method get_model_number{"get_model_number",
                              "Get device model number.\n\n"
                              ":return: Model text, for example HDA640",
                              parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                  nb::object model = convert_transaction(
                                      self, &Names::Get_Model_Number_Command, nullptr);
                                  log_debug("Device model: %S", model);
                                  return model;
                              }};

const Method get_item_number{
    "get_item_number",
    "Get device item number (e.g., \"QKT08812\" for HDA640 Zeph Orvale).\n\n"
    ":return: Item number text",
    parameters(), [](nb::handle self, PyObject **) -> nb::object {
        return convert_transaction(self, &Names::Get_Item_Number_Command, nullptr);
    }};

const Method read_buffer_data{"read_buffer_data",
                              "Read all available data from serial buffer.\n\n"
                              ":return: The bytes waiting in the input buffer\n"
                              ":raises VelmoCommunicationError: If no port is open",
                              parameters(), [](nb::handle self, PyObject **) -> nb::object {
                                  nb::object port = open_port(self);
                                  if (!port.is_valid())
                                      raise(state().communication_error,
                                            "Cannot read buffer: serial connection not open");
                                  nb::object waiting = port.attr(names().in_waiting);
                                  log_debug("Reading %S bytes from buffer", waiting);
                                  return call_method(port, names().read, waiting);
                              }};

nb::object exchange(nb::handle self, nb::handle port, nb::handle command_bytes,
                    nb::handle command_length) {
    const ModuleState &module_state = state();
    const Names &known = module_state.names;
    OwedAnswers owed(self, port, command_bytes);
    call_method(port, known.reset_input_buffer);
    nb::object written = call_method(port, known.write, command_bytes);
    const Py_ssize_t length = PyObject_Length(command_bytes.ptr());
    if (length < 0)
        throw nb::python_error();
    nb::object size = new_int(length);
    if (!written.equal(size))
        log_warning("Incomplete write: sent %S/%S bytes", written, size);
    nb::object response =
        call_with_keywords(attribute(port, known.read), {command_length}, {known.size});
    Py_ssize_t received = PyObject_Length(response.ptr());
    if (received < 0)
        throw nb::python_error();
    bool complete = new_int(received) >= nb::borrow(command_length);
    owed.answered(complete);
    if (received == 0) {
        log_error("Timeout waiting for response (expected %S bytes)", command_length);
        raise(module_state.timeout_error, "No response received within %Ss timeout",
              attribute(self, known.timeout));
    }
    if (!complete) {
        log_warning("Incomplete response: received %zd/%S bytes", received, command_length);
        raise(module_state.communication_error, "Incomplete response: expected %S bytes, got %zd",
              command_length, received);
    }
    return response;
}

const Method send_command_with_response{
    "send_command_with_response",
    "Send command and wait for response with proper error handling.\n\n"
    ":param command_bytes: The complete command frame\n"
    ":param command_length: Exact number of answer bytes to read\n"
    ":return: The answer\n"
    ":raises VelmoCommunicationError: If the port fails or the answer is incomplete\n"
    ":raises VelmoTimeoutError: If no answer arrives in time",
    parameters(required("command_bytes"), required("command_length")),
    [](nb::handle self, PyObject **args) -> nb::object {
        const ModuleState &module_state = state();
        nb::object port = open_port(self);
        if (!port.is_valid()) {
            log_error("Attempted to send command on closed connection");
            raise(module_state.communication_error, "Serial connection not open");
        }
        try {
            return exchange(self, port, args[0], args[1]);
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            if (!e.is_ordinary())
                e.rethrow();
            // pyserial's write time-out is a subclass of its general exception.
            if (matches_serial(e, &Names::SerialTimeoutException)) {
                log_error("Serial timeout: %S", e.value());
                raise_from(module_state.timeout_error, e, "Command timed out after %Ss",
                           attribute(self, module_state.names.timeout));
            }
            if (e.matches(module_state.communication_error))
                e.rethrow();
            if (matches_serial(e, &Names::SerialException)) {
                log_error("Serial communication error: %S", e.value());
                raise_from(module_state.communication_error, e,
                           "Serial error during command transmission: %S", e.value());
            }
            log_error("Unexpected error during communication: %S", e.value());
            raise_from(module_state.communication_error, e, "Unexpected communication error: %S",
                       e.value());
        }
    }};

nb::object transaction(nb::handle self, nb::handle command, nb::handle arguments) {
    const ModuleState &module_state = state();
    const Names &known = module_state.names;
    nb::object commands = self.attr(known.commands);
    nb::object frame =
        build_frame(commands, command, arguments ? arguments : module_state.empty_arguments);
    return call_method(self, known.send_command_with_response, frame,
                       command.attr(known.receive_length));
}

const Method send_convert_return_sequence{
    "send_convert_return_sequence",
    "Send command, validate response, and convert payload.\n\n"
    ":param command: Command descriptor of a read command\n"
    ":param arguments: Argument bytes\n"
    ":return: The converted payload\n"
    ":raises VelmoProtocolError: If the frame, checksum or payload is invalid\n"
    ":raises VelmoCommunicationError: If the port fails\n"
    ":raises VelmoTimeoutError: If no answer arrives in time",
    parameters(required("command"), optional("arguments", "b''")),
    [](nb::handle self, PyObject **args) -> nb::object {
        nb::object response = transaction(self, args[0], args[1]);
        const Names &known = names();
        nb::object commands = self.attr(known.commands);
        validate_response(commands, response);
        nb::handle command = args[0];
        return convert_response(commands, command.attr(known.payload_length),
                                command.attr(known.payload_type), response);
    }};

const Method send_sequence{
    "send_sequence",
    "Send command without expecting converted response (for set operations).\n\n"
    ":param command: Command descriptor of a write command\n"
    ":param arguments: Argument bytes\n"
    ":return: None\n"
    ":raises VelmoProtocolError: If the frame cannot be built\n"
    ":raises VelmoCommunicationError: If the port fails\n"
    ":raises VelmoTimeoutError: If no answer arrives in time",
    parameters(required("command"), optional("arguments", "b''")),
    [](nb::handle self, PyObject **args) -> nb::object {
        transaction(self, args[0], args[1]);
        return nb::none();
    }};

void add_retried_method(nb::handle cls, PyMethodDef *def) {
    add_method(cls, def);
    nb::object method = cls.attr(def->ml_name);
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, retry_with_defaults(method).ptr()) < 0)
        throw nb::python_error();
}

} // namespace

nb::object argument_bytes(PyObject *const *values, size_t count) {
    nb::object list = checked(PyList_New((Py_ssize_t)count));
    for (size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.ptr(), i, Py_NewRef(values[i]));
    return checked(PyObject_CallOneArg((PyObject *)&PyByteArray_Type, list.ptr()));
}

nb::object command_of(nb::handle self, PyObject *Names::*property) {
    const Names &known = names();
    return attribute(attribute(self, known.commands), known.*property);
}

nb::object convert_transaction(nb::handle self, PyObject *Names::*command_property,
                               nb::handle arguments) {
    nb::object command = command_of(self, command_property);
    nb::handle method = names().send_convert_return_sequence;
    if (arguments)
        return call_method(self, method, command, arguments);
    return call_method(self, method, command);
}

void send_transaction(nb::handle self, PyObject *Names::*command_property, nb::handle arguments) {
    nb::object command = command_of(self, command_property);
    call_method(self, names().send_sequence, command, arguments);
}

void bind_connection(nb::handle cls) {
    add_initializer(cls, method_def<init>());
    add_method(cls, method_def<connect>());
    add_method(cls, method_def<disconnect>());
    add_method(cls, method_def<get_model_number>());
    add_method(cls, method_def<get_item_number>());
    add_method(cls, method_def<read_buffer_data>());
    add_method(cls, method_def<send_command_with_response>());
    add_retried_method(cls, method_def<send_convert_return_sequence>());
    add_retried_method(cls, method_def<send_sequence>());
}

void bind_link(nb::module_ &m) {
    nb::object cls = make_class(m, "_SerialCommunicationInterface",
                                "Serial link to one VELMO instrument on one port.");
    bind_connection(cls);
    bind_parameters(cls);
    bind_teds_operations(cls);
}

} // namespace velmo
