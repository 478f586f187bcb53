// Touch-to-keystroke loop: one read per record, one clock reading per pen-up,
// one TIOCSTI per key the repeat rule lets through.
#include "key_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include "keypad.h"
#include "repeat_rule.h"

void set_raw_calibration(int touch_fd) {
  calibration_record unity = {256, 0, 256, 0, 0};
  ioctl(touch_fd, calibration_request, &unity);
}

// From January 2038 a 32-bit clock fails to read; the build gives 32-bit
// targets a 64-bit time_t (_TIME_BITS=64).
static_assert(sizeof(time_t) >= 8, "touchkeyd needs a 64-bit time_t");

std::int32_t now_ms() {
  // Zero should the clock ever fail, never an indeterminate value.
  timeval now = {};
  gettimeofday(&now, nullptr);
  const std::uint32_t ms =
      static_cast<std::uint32_t>(now.tv_sec) * 1000u + static_cast<std::uint32_t>(now.tv_usec) / 1000u;
  return static_cast<std::int32_t>(ms);
}

void run_key_loop(int touch_fd, int tty_fd) {
  set_raw_calibration(touch_fd);
  repeat_rule repeats;

  for (;;) {
    touch_record record;
    const ssize_t got = read(touch_fd, &record, sizeof record);
    if (got == -1) {
      std::fprintf(stderr, "Reading from touchscreen: %s\n", std::strerror(errno));
      return;
    }
    // A short read (end of file included) is dropped and the next one follows.
    if (got != sizeof record || record.pressure != 0)
      continue;

    // The clock is read for every pen-up, keyed or not.
    unsigned char key = keypad_key_at(record.x, record.y);
    if (!repeat_rule_types(repeats, key, now_ms()))
      continue;
    // A failed injection counts as sent, so its immediate repeat is suppressed.
    if (ioctl(tty_fd, TIOCSTI, &key) == -1)
      std::fprintf(stderr, "Sending keystroke: %s\n", std::strerror(errno));
  }
}
