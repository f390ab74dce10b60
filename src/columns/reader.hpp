// The native port reader of velmo._columns (POSIX only; elsewhere nothing is bound and
// the acquisition reads the port through pyserial).
#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_reader(nb::handle module);
