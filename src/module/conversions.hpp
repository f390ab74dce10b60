// Conversions of Python objects to the native field and argument types, with the texts
// callers see when a value does not fit.
#pragma once

#include "module/runtime.hpp"

#include <cstdint>
#include <string>

namespace velmo {

// Integer conversion as for a C integer argument: an int is used as it is, any other object
// through __int__ (a float truncates toward zero); without one, TypeError.
nb::object integer_of(nb::handle value);

// Where an int lies against the range [low, high]; `value` is set when it lies inside.
enum class Range { below, inside, above };
Range range_of(nb::handle integer, long long low, long long high, long long &value);

uint8_t to_uint8(nb::handle value);
int32_t to_int32(nb::handle value);
uint32_t to_uint32(nb::handle value);
double to_double(nb::handle value);

nb::object new_float(double value);
nb::object new_int(long long value);
nb::object new_text(const std::string &text);
// A new empty bytearray of command arguments.
nb::object new_empty_arguments();

// Bytes and bytearray items are bytes by construction, so their buffer can be read in place;
// nothing may run Python code between this call and the last read of `data`.
bool exact_byte_buffer(nb::handle value, const uint8_t *&data, size_t &size);

// Python's truth test of a value.
bool truth_of(nb::handle value);

// `left == right` as Python decides it.
bool python_equal(nb::handle left, nb::handle right);

} // namespace velmo
