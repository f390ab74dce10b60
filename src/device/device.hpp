#pragma once

#include "module/runtime.hpp"

namespace velmo {

// VelmoDevice and VelmoSerialScanner.
void bind_device(nb::module_ &m);

void bind_velmo_device(nb::module_ &m);
void bind_scanner(nb::module_ &m);

} // namespace velmo
