#pragma once

#include "module/runtime.hpp"

namespace velmo {

// The exception hierarchy rooted at VelmoDeviceError.
void bind_errors(nb::module_ &m);

} // namespace velmo
