#pragma once

#include "module/runtime.hpp"

namespace velmo {

// _Command and _CommandOperations: the command table and the byte-level protocol.
void bind_protocol(nb::module_ &m);

// A new _CommandOperations instance.
nb::object new_command_operations();

// The byte-level steps of a transaction, run on a _CommandOperations (or a subclass, whose
// overrides are honoured).
nb::object build_frame(nb::handle commands, nb::handle command, nb::handle arguments);
void validate_response(nb::handle commands, nb::handle response);
// Whether the last of an answer's `size` (at least 2) bytes is the checksum of the others.
bool checksum_holds(nb::handle commands, nb::handle response, Py_ssize_t size);
nb::object convert_response(nb::handle commands, nb::handle length, nb::handle payload_type,
                            nb::handle response);

} // namespace velmo
