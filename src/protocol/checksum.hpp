// The protocol's weighted checksum: the k-th byte (counting from 1) weighs k, and the low
// eight bits of the sum close every frame in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

inline uint8_t weighted_checksum(const uint8_t *data, size_t size) {
    // Unsigned wrap-around keeps the low eight bits exact.
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += static_cast<uint32_t>(i + 1) * data[i];
    return static_cast<uint8_t>(sum);
}

// Payload values of an answer, decoded from the wire's byte orders.
inline uint64_t big_endian_unsigned(const uint8_t *data, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | data[i];
    return value;
}

float little_endian_float(const uint8_t *data);

} // namespace velmo
