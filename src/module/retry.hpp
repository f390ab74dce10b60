#pragma once

#include "module/runtime.hpp"

namespace velmo {

void bind_retry(nb::module_ &m);

// `retry_on_timeout()(function)` with the default policy, as the serial link applies it.
nb::object retry_with_defaults(nb::handle function);

} // namespace velmo
