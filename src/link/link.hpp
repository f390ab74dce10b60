#pragma once

#include "module/runtime.hpp"

namespace velmo {

// _SerialCommunicationInterface: connection, transactions and parameter operations.
void bind_link(nb::module_ &m);

void bind_connection(nb::handle cls);
void bind_parameters(nb::handle cls);
void bind_teds_operations(nb::handle cls);

// `self.commands.<property>`, a command descriptor.
nb::object command_of(nb::handle self, PyObject *Names::*property);

// `self.send_convert_return_sequence(self.commands.<property>, arguments)`, through the
// instance so that the retry policy and any override apply; arguments may be null.
nb::object convert_transaction(nb::handle self, PyObject *Names::*command_property,
                               nb::handle arguments);
void send_transaction(nb::handle self, PyObject *Names::*command_property, nb::handle arguments);

// A new bytearray from the given values, with the bytearray constructor's own errors.
nb::object argument_bytes(PyObject *const *values, size_t count);

// SHA-256 of the item number of the HDA640 Zeph Orvale, the HDA640 variant with TEDS support
// and 38 400 SPS.
inline constexpr const char *orvale_item_digest =
    "bd10a29e2271e9e53e2495684b8e51f082158f297ddf62097f447169f8b8c9d1";

// The lowercase hexadecimal SHA-256 digest of an item number's UTF-8 encoding, through the
// module's `hashlib`.
nb::object item_number_digest(nb::handle item_number);

} // namespace velmo
