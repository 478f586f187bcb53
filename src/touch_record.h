// The touchscreen's record: what touchkeyd reads from /dev/tsdev and what the
// bridge and touchkey-tap write there.
#pragma once

#include <cstdint>

// One record of the touchscreen stream, in the machine's byte order.
struct touch_record {
  std::int16_t pressure;   // 0 marks pen up; any other value is ignored
  std::int16_t x;          // raw units
  std::int16_t y;          // raw units
  std::int16_t millisecs;  // driver's stamp; the loop keeps its own clock
};
static_assert(sizeof(touch_record) == 8);
