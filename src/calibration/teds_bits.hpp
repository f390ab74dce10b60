// The bit fields of a sensor's 512-byte IEEE 1451.4 TEDS memory image. Plain arithmetic, no
// Python: the binding code hands in bytes and reads fields out.
//
// The image is 16 pages of 32 bytes; byte 0 of each page is that page's checksum. The other 31
// bytes of every page, in order, form one stream of 3968 bits, least significant bit of each
// byte first, in which the fields sit at fixed positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmo::teds {

inline constexpr size_t image_size = 512;
inline constexpr size_t page_size = 32;
inline constexpr size_t page_count = image_size / page_size;
inline constexpr size_t stream_size = page_count * (page_size - 1);
inline constexpr size_t stream_bits = stream_size * 8;

inline bool is_page_checksum(size_t image_index) {
    return image_index % page_size == 0;
}

// One more set bit at `position` of a little-endian field. Fields are read into 32 bits, so a
// field longer than that wraps around modulo 2^32.
inline uint32_t with_bit(uint32_t sum, uint64_t position) {
    return sum + (uint32_t{1} << (position % 32));
}

// The single-precision number whose IEEE 754 bit pattern is `bits`.
inline float single_of_bits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The data bytes of an image, page checksums dropped.
class BitStream {
  public:
    // Takes the bytes of the image one by one, checksums included; `image_byte(i)` is called
    // only for the data bytes, in order.
    template <typename ImageByte> static BitStream of_image(ImageByte image_byte) {
        BitStream stream;
        size_t kept = 0;
        for (size_t i = 0; i < image_size; ++i)
            if (!is_page_checksum(i))
                stream.bytes_[kept++] = image_byte(i);
        return stream;
    }

    bool bit(size_t position) const {
        return position < stream_bits && ((bytes_[position / 8] >> (position % 8)) & 1) != 0;
    }

    uint32_t unsigned_field(size_t first_bit, size_t length) const {
        uint32_t sum = 0;
        for (size_t i = 0; i < length; ++i)
            if (bit(first_bit + i))
                sum = with_bit(sum, i);
        return sum;
    }

    double single_field(size_t first_bit) const {
        return single_of_bits(unsigned_field(first_bit, 32));
    }

  private:
    std::array<uint8_t, stream_size> bytes_{};
};

// Electrical outputs are stored in volts per volt and held in millivolts per volt.
inline constexpr double millivolts_per_volt = 1000.0;
// Flag byte value that marks a calibration in the reverse direction too.
inline constexpr uint32_t reverse_scaling_mark = 0x55;

// The numeric fields of a record, zero in a new one. Electrical outputs in millivolts per volt.
struct RecordNumbers {
    int32_t template_number = 0; // from the memory's laser data, not from the image
    int32_t engineering_unit = 0;
    double min_capacity = 0.0;
    double max_capacity = 0.0;
    double min_electrical = 0.0;
    double max_electrical = 0.0;
    bool reverse_scaling_enabled = false;
    double reverse_max_electrical = 0.0;
};

struct SensorFields {
    uint32_t serial_number;
    RecordNumbers numbers;
};

inline SensorFields sensor_fields(const BitStream &stream) {
    SensorFields fields{};
    fields.serial_number = stream.unsigned_field(40, 24);
    RecordNumbers &numbers = fields.numbers;
    numbers.engineering_unit = (int32_t)stream.unsigned_field(74, 6);
    numbers.min_capacity = stream.single_field(80);
    numbers.max_capacity = stream.single_field(112);
    numbers.min_electrical = stream.single_field(146) * millivolts_per_volt;
    numbers.max_electrical = stream.single_field(178) * millivolts_per_volt;
    numbers.reverse_scaling_enabled = stream.unsigned_field(568, 8) == reverse_scaling_mark;
    numbers.reverse_max_electrical = stream.single_field(576) * millivolts_per_volt;
    return fields;
}

// The two reads of each page that fill the image: the first brings page bytes 0 to 15, the
// second 16 to 31. Pages 0 to 7 lie at high address 0, pages 8 to 15 at high address 1.
struct PageRead {
    uint8_t page;
    uint8_t high_address;
    uint8_t low_start;
    uint8_t low_end;

    size_t first_image_offset() const { return (size_t)high_address * 256 + low_start; }
    size_t first_page_byte() const { return low_start % page_size; }
    size_t length() const { return (size_t)low_end - low_start + 1; }
};

inline constexpr std::array<PageRead, 2 * page_count> page_reads() {
    std::array<PageRead, 2 * page_count> reads{};
    for (size_t page = 0; page < page_count; ++page) {
        const uint8_t high = page < 8 ? 0 : 1;
        const uint8_t low = (uint8_t)(page_size * (page % 8));
        reads[2 * page] = {(uint8_t)page, high, low, (uint8_t)(low + 15)};
        reads[2 * page + 1] = {(uint8_t)page, high, (uint8_t)(low + 16), (uint8_t)(low + 31)};
    }
    return reads;
}

} // namespace velmo::teds
