// The calibration lines of an instrument channel: pure arithmetic on native doubles,
// evaluated in exactly the order the instrument's calibration defines.
#pragma once

#include <cstdint>

namespace velmo {

struct AdcCalibration {
    int32_t number_of_loading_points = 0;
    double direction_1_offset_load = 0.0;
    double direction_1_fullscale_load = 0.0;
    double direction_1_offset_value = 0.0;
    double direction_1_fullscale_value = 0.0;
    double direction_2_offset_load = 0.0;
    double direction_2_fullscale_load = 0.0;
    double direction_2_offset_value = 0.0;
    double direction_2_fullscale_value = 0.0;
    double scale_factor = 1.0;
    double offset = 0.0;
    int32_t number_of_directions = 1;
    double midpoint_offset = 0.0;
};

inline double midpoint_of(const AdcCalibration &c) {
    return c.direction_1_offset_value -
           (c.direction_1_offset_value - c.direction_2_offset_value) * 0.5;
}

// A double truncated toward zero to a 64-bit integer, of which the low 32 bits are kept;
// NaN and values outside the 64-bit range give 0.
inline uint32_t low_32_bits_of(double value) {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
}

inline double direction_1_load(const AdcCalibration &c, uint32_t count) {
    double t = static_cast<double>(count) - c.direction_1_offset_value;
    t = t * c.direction_1_fullscale_load;
    t = t / (c.direction_1_fullscale_value - c.direction_1_offset_value);
    t = t * c.scale_factor;
    return t + c.offset;
}

inline double direction_2_load(const AdcCalibration &c, uint32_t count) {
    double t = static_cast<double>(count) - c.direction_2_offset_value;
    t = t * c.direction_2_fullscale_load;
    t = t / (c.direction_2_fullscale_value - c.direction_2_offset_value);
    t = t * c.scale_factor;
    t = t + c.offset;
    return -t;
}

enum class Line { direction_1, direction_2, none };

// Which line converts `count`; `none` is the falling calibration whose second direction
// lies above the first offset, which converts every count to 0.0.
inline Line line_for(const AdcCalibration &c, uint32_t count) {
    if (c.number_of_directions != 1)
        return Line::direction_1;
    const double o1 = c.direction_1_offset_value;
    const double f1 = c.direction_1_fullscale_value;
    const double o2 = c.direction_2_offset_value;
    const double f2 = c.direction_2_fullscale_value;
    const uint32_t m = low_32_bits_of(c.midpoint_offset);
    const double e = static_cast<double>(count);
    if (!(o1 >= f1)) {
        if (o2 > o1)
            return count < m ? Line::direction_2 : Line::direction_1;
        if (e >= o1)
            return Line::direction_1;
        if (!(e > o2))
            return Line::direction_2;
        return count < m ? Line::direction_2 : Line::direction_1;
    }
    if (!(o1 > f2))
        return Line::none;
    if ((e <= o1 && e >= f2) || e < f1)
        return Line::direction_1;
    if (e > o1 && e < o2)
        return count > m ? Line::direction_2 : Line::direction_1;
    return Line::direction_2;
}

inline double convert_count(const AdcCalibration &c, uint32_t count) {
    switch (line_for(c, count)) {
    case Line::direction_1:
        return direction_1_load(c, count);
    case Line::direction_2:
        return direction_2_load(c, count);
    case Line::none:
        break;
    }
    return 0.0;
}

} // namespace velmo
