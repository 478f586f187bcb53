// Touch-to-keystroke loop: one read per record, one clock reading per pen-up,
// one query of the console in front and one TIOCSTI per key the repeat rule
// lets through.
#include "key_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
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

namespace {

// The console the loop types into.
struct console {
  int fd;
  unsigned int bound;  // N of the ttyN fd is bound to; 0 while not known
};

// The virtual console an open of /dev/tty0 is bound to, told by the kernel
// itself rather than guessed from what was in front at the open; 0 when it
// cannot tell.
unsigned int bound_console(int fd) {
  unsigned int device = 0;
  if (ioctl(fd, TIOCGDEV, &device) == -1)
    return 0;
  return minor(device);
}

// /dev/tty0 stays bound to the console that was in front when it was opened;
// a key must go to the one in front now. So when another console has come in
// front, /dev/tty0 is opened again, which binds to that one. A switch after
// the query still lets the key reach the console in front at the query (or
// at the new open): each key goes to a console that was in front while it
// was handled, never to one left before its pen-up was read. Not a virtual
// console (a pty, a file): there is nothing to follow, and the key is typed
// into fd as it is. Returns false, with errno, when /dev/tty0 did not open;
// the old descriptor is kept then, and the next key tries again.
bool follow_console_in_front(console& tty) {
  vt_stat state = {};
  if (ioctl(tty.fd, VT_GETSTATE, &state) == -1)
    return true;
  if (tty.bound == 0)
    tty.bound = bound_console(tty.fd);
  if (state.v_active == tty.bound)
    return true;
  // Flags 0 as at the start: the unit's device policy allows this path alone,
  // read-only. The background process leads no session, so the open never
  // makes the console its controlling terminal.
  const int fresh = open("/dev/tty0", O_RDONLY);
  if (fresh == -1)
    return false;
  const unsigned int bound = bound_console(fresh);
  close(tty.fd);
  tty = {fresh, bound};
  return true;
}

}  // namespace

int run_key_loop(int touch_fd, int tty_fd) {
  set_raw_calibration(touch_fd);
  repeat_rule repeats;
  console tty = {tty_fd, 0};

  for (;;) {
    touch_record record;
    const ssize_t got = read(touch_fd, &record, sizeof record);
    if (got == -1) {
      std::fprintf(stderr, "Reading from touchscreen: %s\n", std::strerror(errno));
      return tty.fd;
    }
    // A short read (end of file included) is dropped and the next one follows.
    if (got != sizeof record || record.pressure != 0)
      continue;

    // The clock is read for every pen-up, keyed or not.
    unsigned char key = keypad_key_at(record.x, record.y);
    if (!repeat_rule_types(repeats, key, now_ms()))
      continue;
    // A failed injection counts as sent, so its immediate repeat is suppressed;
    // so does a key that could not follow the console in front.
    if (!follow_console_in_front(tty) || ioctl(tty.fd, TIOCSTI, &key) == -1)
      std::fprintf(stderr, "Sending keystroke: %s\n", std::strerror(errno));
  }
}
