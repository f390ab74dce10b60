#pragma once

#include "module/runtime.hpp"

namespace velmo {

void bind_commands(nb::module_ &m);
void bind_frames(nb::handle command_operations);

} // namespace velmo
