#pragma once

#include "module/runtime.hpp"

namespace velmo {

// The classes, set while the module executes.
extern PyObject *command_class;
extern PyObject *command_operations_class;

void bind_commands(nb::module_ &m);
void bind_frames(nb::handle command_operations);

} // namespace velmo
