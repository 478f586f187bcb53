// Fuzz target: the daemon's own loop on an arbitrary touchscreen stream, with
// arbitrary read sizes, clock readings, console switches and injection
// results. The linker redirects the loop's read, ioctl, gettimeofday, open
// and close (-Wl,--wrap) to the fakes below, which serve descriptors of their
// own and pass every other call on.
//
// The input is consumed as the loop asks for it:
//   read          1 control byte: low nibble = bytes returned (8 and above: a
//                 whole record); bit 4 set = a pen-up on the key numbered by
//                 the next byte, else the record's bytes follow in the input:
//                 pressure, x, y, millisecs, 16-bit little-endian each
//   gettimeofday  1 byte: below 0xF0 the clock moves on by that many ms, else
//                 8 bytes follow, a wall-clock reading anywhere in its range
//   VT_GETSTATE   1 byte, the console as the key is typed: with bit 7 clear
//                 or 0xFF it is a pty (the query fails), and 0xFF makes the
//                 injection fail; otherwise a virtual console, the one in
//                 front numbered 1 + bits 0-2, and bit 3 switches to the next
//                 one during an open of /dev/tty0, bit 4 makes TIOCGDEV fail,
//                 bit 5 the injection and bit 6 the open
// Once the input runs out, reads fail and the loop returns.
//
// Checked: the calibration is asked for once, with unity, before any read;
// every injected byte is the layout's key under the latest pen-up record;
// at most one injection per record; a key that differs from the previous
// pen-up's key is always typed, unless /dev/tty0 failed to open; the clock is
// read once per pen-up record; on a virtual console each key goes to the one
// in front, /dev/tty0 is opened again (flags 0) only when the one the loop
// holds is not known to be that one, the loop holds one console descriptor
// at a time and returns it.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/vt.h>
#include <map>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include "fault.h"
#include "fuzz_input.h"
#include "key_loop.h"
#include "keypad.h"
#include "wrapped_calls.h"

namespace {

struct run_state {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t at = 0;
  bool active = false;

  bool calibrated = false;
  std::uint64_t clock_us = 0;  // unsigned: the fuzzer may put it anywhere
  // The record the loop is handling now.
  bool pen_up = false;
  unsigned char key = 0;
  unsigned char previous_key = 'X';  // what the loop starts from
  bool clock_read = false;
  bool injected = false;
  // The console: the descriptors the loop holds, each bound to a virtual
  // console (0 before it is one), and what the key being typed found.
  std::map<int, unsigned> consoles;
  int binding_of = -1;  // the descriptor whose binding the loop learnt last
  bool queried = false;
  std::uint8_t console_byte = 0;
  unsigned front = 0;  // 0: a pty
  bool refused = false;
};
run_state run;
int touch_fd = -1;
int tty_fd = -1;

bool is_vt() { return run.console_byte >= 0x80 && run.console_byte != 0xFF; }

bool input_left() { return run.at < run.size; }
std::uint8_t take_byte() { return input_left() ? run.data[run.at++] : 0; }

// Real descriptors of our own, so the fakes never shadow one the process uses.
void open_fake_descriptors() {
  if (touch_fd == -1) {
    touch_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    tty_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (touch_fd == -1 || tty_fd == -1)
      fault("cannot open /dev/null");
  }
}

// The centre of the key numbered k, among the layout's rectangles.
touch_record pen_up_on_key(std::uint8_t k) {
  static const std::array<key_rectangle, keypad_key_count> keys = keypad_rectangles();
  const key_rectangle& key = keys[k % keys.size()];
  return {0, static_cast<std::int16_t>((key.left + key.right) / 2),
          static_cast<std::int16_t>((key.top + key.bottom) / 2), 0};
}

// Any byte the keypad can type.
bool is_key(unsigned char c) {
  const std::array<key_rectangle, keypad_key_count> keys = keypad_rectangles();
  return std::any_of(keys.begin(), keys.end(), [c](const key_rectangle& key) { return key.key == c; });
}

// Before the next read: what the loop owed the record it has just handled.
void settle_record() {
  if (!run.pen_up)
    return;
  if (!run.clock_read)
    fault("a pen-up record was handled without reading the clock");
  if (run.key != 0 && run.key != run.previous_key && !run.injected && !run.refused)
    fault("a key differing from the previous one was not typed");
  run.previous_key = run.key;
  run.pen_up = false;
}

ssize_t serve_read(void* buffer, std::size_t size) {
  if (!run.calibrated)
    fault("read before the calibration request");
  if (size != sizeof(touch_record))
    fault("the loop asked for other than one record");
  settle_record();
  if (!input_left()) {
    errno = EIO;
    return -1;
  }
  const std::uint8_t control = take_byte();
  const std::size_t count = (control & 0x0F) >= sizeof(touch_record) ? sizeof(touch_record) : control & 0x0F;
  touch_record record = {};
  if ((control & 0x10) != 0) {
    record = pen_up_on_key(take_byte());
  } else {
    std::uint8_t raw[sizeof record] = {};
    for (std::size_t i = 0; i < count; ++i)
      raw[i] = take_byte();
    record = {int16_le(raw), int16_le(raw + 2), int16_le(raw + 4), int16_le(raw + 6)};
  }
  std::memcpy(buffer, &record, count);
  run.pen_up = count == sizeof record && record.pressure == 0;
  run.key = run.pen_up ? keypad_key_at(record.x, record.y) : 0;
  run.clock_read = false;
  run.injected = false;
  run.queried = false;
  run.refused = false;
  return static_cast<ssize_t>(count);
}

int serve_clock(timeval* tv) {
  if (!run.pen_up || run.clock_read)
    fault("the clock was read other than once per pen-up record");
  run.clock_read = true;
  const std::uint8_t step = take_byte();
  if (step < 0xF0) {
    run.clock_us += std::uint64_t{step} * 1000u;
  } else {
    std::uint64_t wall = 0;
    for (int i = 0; i < 8; ++i)
      wall = (wall << 8) | take_byte();
    run.clock_us = wall;
  }
  // Seconds anywhere in time_t's range; microseconds as gettimeofday gives them.
  tv->tv_sec = static_cast<time_t>(run.clock_us / 1000000u);
  tv->tv_usec = static_cast<suseconds_t>(run.clock_us % 1000000u);
  return 0;
}

int serve_calibration(unsigned long request, const void* argument) {
  if (request != calibration_request || run.calibrated)
    fault("unexpected request on the touchscreen");
  calibration_record asked;
  std::memcpy(&asked, argument, sizeof asked);
  if (asked.x_scale != 256 || asked.x_offset != 0 || asked.y_scale != 256 || asked.y_offset != 0 ||
      asked.swap_xy != 0)
    fault("the calibration is not unity");
  run.calibrated = true;
  return 0;
}

// The one console descriptor the loop may hold, or a fault.
int held_console() {
  if (run.consoles.size() != 1)
    fault("the loop holds other than one console descriptor");
  return run.consoles.begin()->first;
}

int serve_query(int fd, void* argument) {
  if (!run.pen_up || !run.clock_read || run.queried || run.injected)
    fault("the console in front was asked for other than once per key, before it was typed");
  if (fd != held_console())
    fault("asked a console descriptor the loop no longer holds");
  run.queried = true;
  run.console_byte = take_byte();
  if (!is_vt()) {
    errno = ENOTTY;
    return -1;
  }
  run.front = (run.console_byte & 7) + 1;
  const vt_stat state = {static_cast<unsigned short>(run.front), 0, 0xffff};
  std::memcpy(argument, &state, sizeof state);
  return 0;
}

int serve_binding(int fd, void* argument) {
  if (!run.queried || !is_vt())
    fault("asked for the binding other than after finding a virtual console");
  if ((run.console_byte & 0x10) != 0) {
    errno = EINVAL;
    return -1;
  }
  run.binding_of = fd;
  const auto device = static_cast<unsigned int>(makedev(4, run.consoles[fd]));
  std::memcpy(argument, &device, sizeof device);
  return 0;
}

int serve_injection(int fd, const void* argument) {
  const unsigned char key = *static_cast<const unsigned char*>(argument);
  if (!is_key(key))
    fault("injected a byte that is no key");
  if (!run.pen_up || !run.clock_read || !run.queried || run.injected || key != run.key)
    fault("injected other than the key under the latest pen-up record, once, after asking for the console");
  if (fd != held_console() || (is_vt() && run.consoles[fd] != run.front))
    fault("injected into other than the console in front, through the descriptor held");
  run.injected = true;
  ++fuzz_effects;
  if (run.console_byte == 0xFF || (is_vt() && (run.console_byte & 0x20) != 0)) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int serve_open(const char* path, int flags) {
  if (std::strcmp(path, "/dev/tty0") != 0 || flags != 0)
    fault("opened other than /dev/tty0 with flags 0");
  if (!run.queried || !is_vt() || run.injected || run.consoles.size() != 1)
    fault("opened /dev/tty0 other than once per key, after finding a virtual console");
  if (run.binding_of == held_console() && run.consoles[run.binding_of] == run.front)
    fault("opened /dev/tty0 again while the console in front was the one held");
  if ((run.console_byte & 0x40) != 0) {
    run.refused = true;
    errno = EACCES;
    return -1;
  }
  if ((run.console_byte & 0x08) != 0)
    run.front = run.front % 8 + 1;
  const int fd = real_open("/dev/null", O_RDONLY | O_CLOEXEC, 0);
  if (fd == -1)
    fault("cannot open /dev/null");
  run.consoles[fd] = run.front;
  // Whatever the loop knew was of another descriptor, maybe of this number.
  run.binding_of = -1;
  return fd;
}

}  // namespace

extern "C" int fake_open(const char* path, int flags, mode_t mode) {
  if (!run.active)
    return real_open(path, flags, mode);
  return serve_open(path, flags);
}

extern "C" int fake_close(int fd) {
  if (run.active && run.consoles.erase(fd) != 0 && run.consoles.size() != 1)
    fault("closed a console descriptor other than the one replaced");
  return real_close(fd);
}

extern "C" ssize_t fake_read(int fd, void* buffer, size_t size) {
  if (!run.active || fd != touch_fd)
    return real_read(fd, buffer, size);
  return serve_read(buffer, size);
}

extern "C" int fake_ioctl(int fd, unsigned long request, void* argument) {
  if (run.active && fd == touch_fd)
    return serve_calibration(request, argument);
  if (!run.active || !run.consoles.contains(fd))
    return real_ioctl(fd, request, argument);
  if (request == VT_GETSTATE)
    return serve_query(fd, argument);
  if (request == TIOCGDEV)
    return serve_binding(fd, argument);
  if (request == TIOCSTI)
    return serve_injection(fd, argument);
  fault("unexpected request on the console");
}

extern "C" int fake_gettimeofday(timeval* tv, void* tz) {
  if (!run.active)
    return real_gettimeofday(tv, tz);
  return serve_clock(tv);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  open_fake_descriptors();
  run = run_state{};
  run.data = data;
  run.size = size;
  // The loop starts on an open of /dev/tty0 bound to tty1, once it asks.
  run.consoles[tty_fd] = 1;
  run.active = true;
  const int returned = run_key_loop(touch_fd, tty_fd);
  run.active = false;
  if (input_left())
    fault("the loop returned before the touchscreen failed");
  if (returned != held_console())
    fault("the loop returned other than the console descriptor it holds");
  tty_fd = returned;
  return 0;
}
