#pragma once

#include <nanobind/nanobind.h>

namespace velmo {

// Standard modules, logger, construction token, TEDS unit table, exceptions, retry policy
// and the enumerations, in the module's import order.
void bind_module(nanobind::module_ &m);
// The sampling-rate enumerations come after the serial link class.
void bind_sampling_rate_enums(nanobind::module_ &m);

} // namespace velmo
