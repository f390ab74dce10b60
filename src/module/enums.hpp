#pragma once

#include "module/runtime.hpp"

namespace velmo {

void bind_teds_unit_mapping(nb::module_ &m);
void bind_unit_enum(nb::module_ &m);

} // namespace velmo
