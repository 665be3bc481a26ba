// Conversions between host-side values (double, long) and the vendor library's
// fixed-width integers.
//
// Host values come from properties that the host may set to anything the
// property accepts, and from the host's own calls (exposure in milliseconds).
// A plain static_cast of an out-of-range double to an integer is undefined
// behaviour, and a narrowing integer cast silently wraps; both can send a
// nonsensical value to the camera. Every handler therefore converts through
// these helpers, which saturate at the limits of the target type.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace camera {

// Truncates toward zero and saturates to the range of To. NaN becomes 0.
template <typename To>
To SaturateCast(double value) {
  static_assert(std::is_integral<To>::value, "integer target");
  if (std::isnan(value)) return To{0};
  // The limits of To are exactly representable as doubles only up to 2^53;
  // compare against them as doubles and decide on the saturated side first.
  constexpr double kLowest = static_cast<double>(std::numeric_limits<To>::lowest());
  constexpr double kHighest = static_cast<double>(std::numeric_limits<To>::max());
  const double truncated = std::trunc(value);
  if (truncated <= kLowest) return std::numeric_limits<To>::lowest();
  if (truncated >= kHighest) return std::numeric_limits<To>::max();
  return static_cast<To>(truncated);
}

// Saturates an integer of any width and signedness to the range of To.
template <typename To, typename From>
To SaturateIntCast(From value) {
  static_assert(std::is_integral<To>::value && std::is_integral<From>::value, "integers");
  using Lim = std::numeric_limits<To>;
  if constexpr (std::is_signed<From>::value) {
    if (value < 0) {
      if constexpr (!std::is_signed<To>::value) {
        return To{0};
      } else {
        if (static_cast<intmax_t>(value) < static_cast<intmax_t>(Lim::lowest())) {
          return Lim::lowest();
        }
        return static_cast<To>(value);
      }
    }
  }
  // value >= 0 from here.
  if (static_cast<uintmax_t>(value) > static_cast<uintmax_t>(Lim::max())) return Lim::max();
  return static_cast<To>(value);
}

// Truncates a scaled host value toward zero, except that a value within
// rounding error of an integer is that integer: 4.35 ms times 1000 is
// 4349.999999999999 in binary floating point and means 4350 us, not 4349.
inline double TruncateScaled(double value) {
  const double nearest = std::round(value);
  if (std::fabs(value - nearest) <= 1e-9 * std::max(1.0, std::fabs(value))) return nearest;
  return std::trunc(value);
}

// Exposure: the host speaks milliseconds (double), the camera unsigned 32-bit
// microseconds. Returns false for values the camera cannot represent: NaN,
// negative values and values whose microseconds exceed 32 bits. On success
// *microseconds is the value times 1000 truncated toward zero (TruncateScaled).
inline bool MillisecondsToMicroseconds(double milliseconds, uint32_t* microseconds) {
  if (std::isnan(milliseconds) || milliseconds < 0.0) return false;
  const double us = TruncateScaled(milliseconds * 1000.0);
  if (us > static_cast<double>(std::numeric_limits<uint32_t>::max())) return false;
  *microseconds = static_cast<uint32_t>(us);
  return true;
}

inline double MicrosecondsToMilliseconds(uint32_t microseconds) {
  return static_cast<double>(microseconds) / 1000.0;
}

}  // namespace camera
