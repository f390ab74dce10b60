// The two stream packet formats: a big-endian sample closed by a weighted checksum, with
// no sync byte. The count sits on the top bits of a 32-bit word in both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

struct StandardPacket {
    static constexpr size_t size = 4;
    static bool valid(const uint8_t *p) {
        return static_cast<uint8_t>(p[0] + 2 * p[1] + 3 * p[2]) == p[3];
    }
    static uint32_t count(const uint8_t *p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8);
    }
};

// The 38 400 SPS stream of the HDA640 Zeph Orvale.
struct HighRatePacket {
    static constexpr size_t size = 3;
    static bool valid(const uint8_t *p) { return static_cast<uint8_t>(p[0] + 2 * p[1]) == p[2]; }
    static uint32_t count(const uint8_t *p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16);
    }
};

struct PacketScan {
    size_t position = 0; // where the unparsed rest of the buffer starts
    size_t invalid = 0;  // windows skipped: checksum mismatches and refused packets
};

// Slides over `data` packet by packet. A window whose checksum fails, or whose count
// `accept(count, position)` refuses, is counted and skipped by one byte only, so the
// stream resynchronises on the next matching window. Stops with less than a packet left.
template <typename Packet, typename Accept>
PacketScan scan_packets(const uint8_t *data, size_t n, Accept &&accept) {
    PacketScan scan;
    while (scan.position + Packet::size <= n) {
        const uint8_t *packet = data + scan.position;
        // Counted without a branch: damaged input makes this outcome unpredictable.
        const bool taken = Packet::valid(packet) && accept(Packet::count(packet), scan.position);
        scan.invalid += !taken;
        scan.position += taken ? Packet::size : 1;
    }
    return scan;
}

} // namespace velmo
