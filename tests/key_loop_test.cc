// The touch loop run on scripted reads, clock readings and injection results.
// The loop's object code is the daemon's own: the linker redirects its read,
// ioctl, gettimeofday, open and close calls (-Wl,--wrap) to the fakes below,
// which serve made-up descriptors (the touchscreen, and the console's opens,
// bound to virtual consoles) and pass every other call through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/vt.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "key_loop.h"
#include "wrapped_calls.h"

namespace {

constexpr int fake_touch_fd = 1000;
constexpr int fake_tty_fd = 1001;  // bound to tty1; later opens count up from it

enum class read_kind { record, partial, error };

struct step {
  read_kind kind;
  touch_record record;
  std::int32_t clock;  // what the clock reads while this record is handled
  int count_or_errno;  // bytes of a partial read, errno of an error
  bool inject_fails;
  unsigned short front = 0;  // the console switched to in front before this read; 0: none
};

// Where the test puts taps.
struct point {
  std::int16_t x, y;
};
constexpr point at_a = {3700, 1000}, at_b = {3450, 1000}, at_c = {3150, 1000}, off_keys = {5000, 1000};

step tap(point p, std::int32_t ms, bool inject_fails = false) {
  return {read_kind::record, {0, p.x, p.y, 0}, ms, 0, inject_fails};
}
step a(std::int32_t ms) { return tap(at_a, ms); }
step b(std::int32_t ms) { return tap(at_b, ms); }
step c(std::int32_t ms) { return tap(at_c, ms); }
step none(std::int32_t ms) { return tap(off_keys, ms); }
step down(point p) { return {read_kind::record, {100, p.x, p.y, 0}, 0, 0, false}; }
step partial(int bytes) { return {read_kind::partial, {0, at_b.x, at_b.y, 0}, 0, bytes, false}; }
step read_fails(int error) { return {read_kind::error, {}, 0, error, false}; }
// s read after a switch to console vt.
step after_switch(unsigned short vt, step s) {
  s.front = vt;
  return s;
}

// What the fakes serve and what they saw.
struct fake_system {
  std::vector<step> script;
  std::size_t next = 0;
  timeval wall = {};
  std::string injected;  // every TIOCSTI byte, failed ones included
  std::vector<std::string> calls;
  calibration_record calibration = {};
  int clock_reads = 0;
  bool active = false;
  // The console: a pty unless vt, where fake_tty_fd and every open of
  // /dev/tty0 are bound to a virtual console (the one in front at the open).
  bool vt = false;
  unsigned short front = 1;
  unsigned short switch_at_open = 0;  // a switch to it races the next open
  int open_failures = 0;              // the next opens that fail
  std::map<int, unsigned short> bound = {{fake_tty_fd, 1}};
};
fake_system fake;

bool is_console(int fd) { return fake.bound.contains(fd); }

}  // namespace

extern "C" ssize_t fake_read(int fd, void* buffer, size_t size) {
  if (!fake.active || fd != fake_touch_fd)
    return real_read(fd, buffer, size);
  fake.calls.push_back("read");
  // Past the script the touchscreen has gone away.
  if (fake.next == fake.script.size()) {
    errno = EIO;
    return -1;
  }
  const step& s = fake.script[fake.next++];
  if (s.front != 0)
    fake.front = s.front;
  // Any second count will do as long as the low 32 bits of the millisecond
  // count are the scripted stamp; this one is in the far future, and the
  // microseconds carry a remainder that must be truncated away.
  const std::uint64_t ms = (std::uint64_t{7} << 32) + static_cast<std::uint32_t>(s.clock);
  fake.wall = {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000 + 999)};
  if (s.kind == read_kind::error) {
    errno = s.count_or_errno;
    return -1;
  }
  const std::size_t bytes = std::min(
      s.kind == read_kind::partial ? static_cast<std::size_t>(s.count_or_errno) : sizeof(touch_record), size);
  std::memcpy(buffer, &s.record, bytes);
  return static_cast<ssize_t>(bytes);
}

extern "C" int fake_ioctl(int fd, unsigned long request, void* argument) {
  if (!fake.active || (fd != fake_touch_fd && !is_console(fd)))
    return real_ioctl(fd, request, argument);
  if (fd == fake_touch_fd && request == calibration_request) {
    fake.calls.push_back("calibrate");
    std::memcpy(&fake.calibration, argument, sizeof fake.calibration);
    errno = ENOTTY;  // a failed calibration must not stop the loop
    return -1;
  }
  if (is_console(fd) && request == VT_GETSTATE) {
    fake.calls.push_back("query");
    if (!fake.vt) {
      errno = ENOTTY;  // a pty answers no virtual console's request
      return -1;
    }
    vt_stat state = {fake.front, 0, 0xffff};
    std::memcpy(argument, &state, sizeof state);
    return 0;
  }
  if (is_console(fd) && request == TIOCGDEV) {
    fake.calls.push_back("device of " + std::to_string(fd));
    // The kernel's 32-bit encoding, which glibc's minor() reads.
    const auto device = static_cast<unsigned int>(makedev(4, fake.bound[fd]));
    std::memcpy(argument, &device, sizeof device);
    return 0;
  }
  if (is_console(fd) && request == TIOCSTI) {
    const char key = *static_cast<const char*>(argument);
    fake.calls.push_back(std::string("inject ") + key + " on " + std::to_string(fd));
    fake.injected += key;
    if (fake.script[fake.next - 1].inject_fails) {
      errno = EPERM;
      return -1;
    }
    return 0;
  }
  fake.calls.push_back("unexpected ioctl " + std::to_string(request) + " on " + std::to_string(fd));
  errno = EINVAL;
  return -1;
}

extern "C" int fake_open(const char* path, int flags, mode_t mode) {
  if (!fake.active)
    return real_open(path, flags, mode);
  fake.calls.push_back(std::string("open ") + path + " flags " + std::to_string(flags));
  if (fake.open_failures > 0) {
    --fake.open_failures;
    errno = EACCES;
    return -1;
  }
  if (fake.switch_at_open != 0)
    fake.front = std::exchange(fake.switch_at_open, 0);
  const int fd = fake.bound.rbegin()->first + 1;
  fake.bound[fd] = fake.front;
  return fd;
}

extern "C" int fake_close(int fd) {
  if (!fake.active || !is_console(fd))
    return real_close(fd);
  fake.calls.push_back("close " + std::to_string(fd));
  return 0;
}

extern "C" int fake_gettimeofday(timeval* tv, void* tz) {
  if (!fake.active)
    return real_gettimeofday(tv, tz);
  ++fake.clock_reads;
  *tv = fake.wall;
  return 0;
}

namespace {

struct loop_result {
  std::string injected;
  std::string errors;
  int console_fd;  // the one the loop returned
};

// Runs the loop on the script, with standard error caught; the console is
// a pty unless `system` says otherwise.
loop_result run_script(std::vector<step> script, fake_system system = {}) {
  fake = std::move(system);
  fake.script = std::move(script);
  testing::internal::CaptureStderr();
  fake.active = true;
  const int console_fd = run_key_loop(fake_touch_fd, fake_tty_fd);
  fake.active = false;
  return {fake.injected, testing::internal::GetCapturedStderr(), console_fd};
}

const std::string end_of_script = "Reading from touchscreen: Input/output error\n";

// Every whole pen-up record, keyed or not, reaches the repeat rule (tested on
// its own) with one clock reading; nothing else does.
TEST(KeyLoop, PenUpsReachTheRepeatRule) {
  const struct {
    const char* name;
    std::vector<step> script;
    const char* typed;
  } cases[] = {
      {"the clock decides repeats", {a(0), a(300), a(501)}, "aa"},
      {"a no-key tap makes the next tap new", {a(0), none(50), a(100)}, "aa"},
      {"pen-down records change nothing", {a(0), down(at_b), down(off_keys), down(at_a), a(100)}, "a"},
      {"pen-down on a key types nothing", {down(at_a), down(at_b)}, ""},
      {"short and empty reads are dropped",
       {partial(0), partial(3), partial(7), a(0), partial(0), b(5)},
       "ab"},
  };
  for (const auto& c : cases) {
    const loop_result got = run_script(c.script);
    EXPECT_EQ(got.injected, c.typed) << c.name;
    EXPECT_EQ(got.errors, end_of_script) << c.name;
    // One clock reading per pen-up record, keyed or not, none for the rest.
    int pen_ups = 0;
    for (const step& s : c.script)
      pen_ups += s.kind == read_kind::record && s.record.pressure == 0;
    EXPECT_EQ(fake.clock_reads, pen_ups) << c.name;
  }
}

TEST(KeyLoop, FailuresAndCalls) {
  const struct {
    const char* name;
    std::vector<step> script;
    const char* attempted;
    std::string errors;
    std::size_t reads;
  } cases[] = {
      {"a failed injection is reported, counts as sent, and the loop goes on",
       {tap(at_a, 0, true), a(10), b(20)},
       "ab",
       "Sending keystroke: Operation not permitted\n" + end_of_script,
       4},
      {"a read failure ends the loop with its message",
       {a(0), read_fails(EBADF), b(10)},
       "a",
       "Reading from touchscreen: Bad file descriptor\n",
       2},
      {"an immediate read failure ends the loop before any key", {read_fails(EIO)}, "", end_of_script, 1},
  };
  for (const auto& c : cases) {
    const loop_result got = run_script(c.script);
    EXPECT_EQ(got.injected, c.attempted) << c.name;
    EXPECT_EQ(got.errors, c.errors) << c.name;
    EXPECT_EQ(fake.next, std::min(c.reads, c.script.size())) << c.name;
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "read"), static_cast<long>(c.reads)) << c.name;
  }
}

// Calibration goes out once, before the first read, as unity: 256, 0, 256, 0, 0.
TEST(KeyLoop, CalibratesOnceBeforeReading) {
  run_script({a(0), b(10)});
  const std::vector<std::string> want = {
      "calibrate", "read", "query", "inject a on 1001", "read", "query", "inject b on 1001", "read"};
  EXPECT_EQ(fake.calls, want);
  EXPECT_EQ(fake.calibration.x_scale, 256);
  EXPECT_EQ(fake.calibration.x_offset, 0);
  EXPECT_EQ(fake.calibration.y_scale, 256);
  EXPECT_EQ(fake.calibration.y_offset, 0);
  EXPECT_EQ(fake.calibration.swap_xy, 0);
}

// Each key goes to the virtual console in front as it is typed: /dev/tty0 is
// opened again, flags 0, when another console has come in front, and only
// then (the binding of each descriptor asked once); the descriptor it replaces
// is closed, and the loop returns the last. A failed open refuses the key, and
// the next key opens again; a switch racing an open leaves the key where the
// open is bound. A pty has nothing to follow (CalibratesOnceBeforeReading).
TEST(KeyLoop, FollowsTheConsoleInFront) {
  fake_system vt;
  vt.vt = true;
  vt.open_failures = 1;
  vt.switch_at_open = 3;
  const loop_result got =
      run_script({a(0), b(10), none(20), after_switch(2, c(30)), a(40), b(50), after_switch(1, c(60))}, vt);
  std::string calls;  // one line per read below
  for (const std::string& call : fake.calls)
    calls += call + "; ";
  EXPECT_EQ(calls,
            "calibrate; read; query; device of 1001; inject a on 1001; "
            "read; query; inject b on 1001; "
            "read; "
            "read; query; open /dev/tty0 flags 0; "
            "read; query; open /dev/tty0 flags 0; device of 1002; close 1001; inject a on 1002; "
            "read; query; inject b on 1002; "
            "read; query; open /dev/tty0 flags 0; device of 1003; close 1002; inject c on 1003; "
            "read; ");
  EXPECT_EQ(got.errors, "Sending keystroke: Permission denied\n" + end_of_script);
  EXPECT_EQ(got.console_fd, 1003);
}

// The stamp is the low 32 bits of the wall clock's millisecond count, signed.
TEST(KeyLoop, MillisecondStamp) {
  const struct {
    time_t seconds;
    suseconds_t micros;
    std::int32_t want;
  } cases[] = {
      {0, 999, 0},
      {1, 999999, 1999},
      {2147483, 647000, 2147483647},
      {2147483, 648000, -2147483647 - 1},
      {4294967, 301999, 5},
      {1765000000, 123456, -231558533},
      // Past January 2038, and past the range of 32-bit seconds altogether.
      {2524608000, 250000, -832769798},
      {4294967296, 1000, 1},
  };
  for (const auto& c : cases) {
    fake = {};
    fake.wall = {c.seconds, c.micros};
    fake.active = true;
    const std::int32_t got = now_ms();
    fake.active = false;
    EXPECT_EQ(got, c.want) << c.seconds << " s " << c.micros << " us";
  }
}

}  // namespace
