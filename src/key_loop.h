// Touch-to-keystroke loop: reads touchscreen records and types the key under
// each pen-up into the console.
#pragma once

#include <cstdint>

#include "touch_record.h"

// The touchscreen's calibration; 256 stands for a scale of 1.0.
struct calibration_record {
  std::int32_t x_scale;
  std::int32_t x_offset;
  std::int32_t y_scale;
  std::int32_t y_offset;
  std::int32_t swap_xy;
};
static_assert(sizeof(calibration_record) == 20);

// A plain request number, not one with encoded direction and size.
constexpr unsigned long calibration_request = 11;

// Asks the touchscreen driver for raw coordinates (unity calibration). The
// result is ignored: the loop reads either way.
void set_raw_calibration(int touch_fd);

// Low 32 bits of the wall clock in milliseconds, read as signed. Wraps every
// 2^32 ms and follows changes of the system clock.
std::int32_t now_ms();

// Types keys until a read from touch_fd fails, then reports it on standard
// error and returns. Borrows touch_fd. Takes tty_fd, an open of /dev/tty0:
// each key goes to the virtual console in front at that moment, and when
// another one has come in front the loop opens /dev/tty0 again and closes
// the descriptor it replaces. Returns the console descriptor it ends with,
// which the caller closes.
int run_key_loop(int touch_fd, int tty_fd);
