#pragma once

#include "module/runtime.hpp"

namespace velmo {

// VelmoDevice and VelmoSerialScanner.
void bind_device(nb::module_ &m);

void bind_velmo_device(nb::module_ &m);
// The TEDS methods of VelmoDevice, added to the class in their place among its methods.
void bind_device_teds(nb::handle cls);
void bind_scanner(nb::module_ &m);

// The device's link, `self.communication_interface`.
inline nb::object interface_of(nb::handle self) {
    return attribute(self, names().communication_interface);
}

} // namespace velmo
