// The companions' one clock reading: nanoseconds, or milliseconds, on a clock
// of clock_gettime, for deadlines and ages.
#pragma once

#include <cstdint>
#include <ctime>

inline std::int64_t clock_ns(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

inline std::int64_t clock_ms(clockid_t clock) { return clock_ns(clock) / 1000000; }

// What tests and touchkey-tap time their deadlines by.
inline std::int64_t monotonic_ms() { return clock_ms(CLOCK_MONOTONIC); }
