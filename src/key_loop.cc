// Touch-to-keystroke loop: one read per record, one TIOCSTI per typed key, and
// the repeat suppression that keeps a lingering or bouncing tap from typing twice.
#include "key_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include "keypad.h"

namespace {

// A byte the layout never yields, so the first key is never a repeat.
constexpr unsigned char no_key_yet = 'X';

// stamp + ms with 32-bit wrap-around. Signed overflow is undefined, so the sum
// is formed on unsigned values; near the top of the range it wraps negative.
std::int32_t stamp_plus(std::int32_t stamp, std::uint32_t ms) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(stamp) + ms);
}

}  // namespace

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
  unsigned char current_key = no_key_yet;
  unsigned char previous_key = no_key_yet;
  bool fast_repeat = false;
  std::int32_t last_send = 0;  // consulted only once a key has been sent

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

    // The keys move on for every pen-up, keyed or not: a tap on no key between
    // two taps of one key makes the second a new key.
    previous_key = current_key;
    current_key = keypad_key_at(record.x, record.y);
    const std::int32_t now = now_ms();
    if (current_key == 0)
      continue;

    const bool repeat = current_key == previous_key;
    const std::uint32_t quiet_ms = fast_repeat ? 100 : 500;
    if (repeat && last_send <= now && now <= stamp_plus(last_send, quiet_ms))
      continue;

    if (ioctl(tty_fd, TIOCSTI, &current_key) == -1)
      std::fprintf(stderr, "Sending keystroke: %s\n", std::strerror(errno));
    // A failed injection counts as sent, so its immediate repeat is suppressed.
    fast_repeat = repeat && now < stamp_plus(last_send, 1000);
    last_send = now;
  }
}
