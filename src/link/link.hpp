#pragma once

#include "module/runtime.hpp"

namespace velmo {

// _SerialCommunicationInterface: connection, transactions and parameter operations.
void bind_link(nb::module_ &m);

void bind_connection(nb::handle cls);
void bind_parameters(nb::handle cls);

// `self.send_convert_return_sequence(self.commands.<property>, arguments)`, through the
// instance so that the retry policy and any override apply; arguments may be null.
nb::object convert_transaction(nb::handle self, const char *command_property, nb::handle arguments);
void send_transaction(nb::handle self, const char *command_property, nb::handle arguments);

// A new bytearray from the given values, with the bytearray constructor's own errors.
nb::object argument_bytes(PyObject *const *values, size_t count);

} // namespace velmo
