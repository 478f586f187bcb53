// Tests of touchkey-bridge: recorded evdev streams decoded into touchscreen
// records, the output FIFO's rules, stale taps, and the program's failures.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "bridge_events.h"
#include "bridge_fifo.h"
#include "deadline_wait.h"
#include "keypad.h"

namespace {

input_event ev(std::uint16_t type, std::uint16_t code, std::int32_t value, long ms = 0) {
  input_event event = {};
  event.input_event_sec = ms / 1000;
  event.input_event_usec = (ms % 1000) * 1000;
  event.type = type;
  event.code = code;
  event.value = value;
  return event;
}

input_event syn(long ms = 0) { return ev(EV_SYN, SYN_REPORT, 0, ms); }

// (pressure, x, y) of a record; the time stamp has a test of its own.
using point = std::tuple<int, int, int>;

std::vector<point> decode(const std::vector<input_event>& events, const panel_mapping& mapping,
                          panel_state& state) {
  std::vector<touch_record> records(events.size());
  std::size_t used = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(events.data());
  const std::size_t count =
      decode_events(state, mapping, nullptr, -1, bytes, events.size() * sizeof(input_event), records.data(),
                    records.size(), &used);
  EXPECT_EQ(used, events.size() * sizeof(input_event));
  std::vector<point> points;
  for (std::size_t i = 0; i < count; ++i)
    points.emplace_back(records[i].pressure, records[i].x, records[i].y);
  return points;
}

std::vector<point> decode(const std::vector<input_event>& events, const panel_mapping& mapping) {
  panel_state state;
  return decode(events, mapping, state);
}

// Panel ranges chosen so that keypad x = 250 + panel x and y = 150 + panel y.
panel_mapping identity_mapping() {
  panel_mapping mapping;
  mapping.x = {0, 3599};
  mapping.y = {0, 3849};
  return mapping;
}

TEST(BridgeDecode, SingleTouchTapGivesTouchingRecordsThenOnePenUpAtTheLastPosition) {
  const std::vector<input_event> taps = {
      ev(EV_KEY, BTN_TOUCH, 1),
      ev(EV_ABS, ABS_X, 3450),
      ev(EV_ABS, ABS_Y, 850),
      ev(EV_ABS, ABS_PRESSURE, 70),
      syn(),
      ev(EV_ABS, ABS_X, 3440),
      syn(),
      ev(EV_KEY, BTN_TOUCH, 0),
      ev(EV_ABS, ABS_PRESSURE, 0),
      syn(),
      // Frames while nobody touches (a hovering pen) write nothing.
      ev(EV_ABS, ABS_X, 100),
      syn(),
  };
  const std::vector<point> expected = {{70, 3700, 1000}, {70, 3690, 1000}, {0, 3690, 1000}};
  EXPECT_EQ(decode(taps, identity_mapping()), expected);
}

TEST(BridgeDecode, PressureIsClampedToOneAndUpWhileTouching) {
  struct pressure_case {
    std::vector<input_event> reports;  // before BTN_TOUCH and the frame's end
    int expected;
  };
  const pressure_case cases[] = {
      {{}, 1},  // the panel reports none
      {{ev(EV_ABS, ABS_PRESSURE, 0)}, 1},
      {{ev(EV_ABS, ABS_PRESSURE, 1)}, 1},
      {{ev(EV_ABS, ABS_PRESSURE, 32767)}, 32767},
      {{ev(EV_ABS, ABS_PRESSURE, 40000)}, 32767},
      {{ev(EV_ABS, ABS_PRESSURE, -5)}, 1},
  };
  for (const pressure_case& c : cases) {
    std::vector<input_event> events = c.reports;
    events.push_back(ev(EV_KEY, BTN_TOUCH, 1));
    events.push_back(syn());
    const std::vector<point> records = decode(events, identity_mapping());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::get<0>(records[0]), c.expected);
  }
}

TEST(BridgeDecode, MultiTouchFollowsSlotZeroOnly) {
  // As a type B panel sends it, with the emulated single-touch events too.
  const std::vector<input_event> events = {
      ev(EV_ABS, ABS_MT_SLOT, 0),
      ev(EV_ABS, ABS_MT_TRACKING_ID, 7),
      ev(EV_ABS, ABS_MT_POSITION_X, 3450),
      ev(EV_ABS, ABS_MT_POSITION_Y, 850),
      ev(EV_KEY, BTN_TOUCH, 1),
      ev(EV_ABS, ABS_X, 3450),
      ev(EV_ABS, ABS_Y, 850),
      syn(),
      // A second finger in slot 1 moves nothing.
      ev(EV_ABS, ABS_MT_SLOT, 1),
      ev(EV_ABS, ABS_MT_TRACKING_ID, 8),
      ev(EV_ABS, ABS_MT_POSITION_X, 50),
      ev(EV_ABS, ABS_MT_POSITION_Y, 50),
      syn(),
      // Slot 0 moves; the emulated ABS_X is ignored.
      ev(EV_ABS, ABS_MT_SLOT, 0),
      ev(EV_ABS, ABS_MT_POSITION_X, 1523),
      ev(EV_ABS, ABS_X, 9),
      syn(),
      // Slot 0 lifts while slot 1 stays down (BTN_TOUCH stays 1): a pen-up.
      ev(EV_ABS, ABS_MT_TRACKING_ID, -1),
      syn(),
      // Slot 1 lifting later writes nothing more.
      ev(EV_ABS, ABS_MT_SLOT, 1),
      ev(EV_ABS, ABS_MT_TRACKING_ID, -1),
      ev(EV_KEY, BTN_TOUCH, 0),
      syn(),
  };
  const std::vector<point> expected = {{1, 3700, 1000}, {1, 3700, 1000}, {1, 1773, 1000}, {0, 1773, 1000}};
  EXPECT_EQ(decode(events, identity_mapping()), expected);
}

TEST(BridgeDecode, MultiTouchPressureComesFromSlotZero) {
  const std::vector<input_event> events = {
      ev(EV_ABS, ABS_MT_TRACKING_ID, 1),
      ev(EV_ABS, ABS_MT_PRESSURE, 90),
      ev(EV_ABS, ABS_MT_POSITION_X, 0),
      ev(EV_ABS, ABS_MT_POSITION_Y, 0),
      syn(),
  };
  const std::vector<point> expected = {{90, 250, 150}};
  EXPECT_EQ(decode(events, identity_mapping()), expected);
}

TEST(BridgeDecode, RangesMapOntoTheKeypadAreaAtBothEnds) {
  struct range_case {
    axis_range range;
    std::int32_t value;
    std::int32_t x, y;  // mapped onto 250..3849 and 150..3999
  };
  const range_case cases[] = {
      {{0, 4095}, 0, 250, 150},
      {{0, 4095}, 4095, 3849, 3999},
      {{0, 4095}, 2048, 2049, 2074},
      {{0, 4095}, -10, 250, 150},
      {{0, 4095}, 5000, 3849, 3999},
      {{-100, 100}, -100, 250, 150},
      {{-100, 100}, 100, 3849, 3999},
      {{-100, 100}, 0, 2049, 2074},
      {{200, 3900}, 200, 250, 150},
      {{200, 3900}, 3900, 3849, 3999},
      {{0, 1}, 1, 3849, 3999},
      {{INT32_MIN, INT32_MAX}, INT32_MAX, 3849, 3999},
      {{INT32_MIN, INT32_MAX}, INT32_MIN, 250, 150},
  };
  for (const range_case& c : cases) {
    EXPECT_EQ(map_axis(c.value, c.range, keypad_x_first, keypad_x_last), c.x)
        << c.range.min << ".." << c.range.max << " at " << c.value;
    EXPECT_EQ(map_axis(c.value, c.range, keypad_y_first, keypad_y_last), c.y)
        << c.range.min << ".." << c.range.max << " at " << c.value;
  }
}

TEST(BridgeDecode, ThePanelsCornersAndEdgesAreKeys) {
  panel_mapping mapping;
  mapping.x = {0, 4095};
  mapping.y = {0, 4095};
  struct corner_case {
    std::int32_t x, y;
    unsigned char key;
  };
  const corner_case corners[] = {
      {0, 0, 'm'}, {4095, 0, 'a'}, {0, 4095, '|'}, {4095, 4095, '0'}, {0, 2600, '\n'}, {4095, 2600, '\b'},
  };
  for (const corner_case& c : corners) {
    const std::vector<point> records =
        decode({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, c.x), ev(EV_ABS, ABS_Y, c.y), syn()}, mapping);
    ASSERT_EQ(records.size(), 1u);
    const auto [pressure, x, y] = records[0];
    EXPECT_EQ(keypad_key_at(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y)), c.key)
        << "panel " << c.x << "," << c.y << " gave " << x << "," << y;
  }
}

TEST(BridgeDecode, OrientationOptionsSwapFirstThenInvertTheKeypadAxes) {
  struct orientation_case {
    bool swap_xy, invert_x, invert_y;
    int x, y;
  };
  // Panel x range 0..100, y range 0..1000; the touch is at panel (0, 1000).
  const orientation_case cases[] = {
      {false, false, false, 250, 3999}, {false, true, false, 3849, 3999}, {false, false, true, 250, 150},
      {false, true, true, 3849, 150},   {true, false, false, 3849, 150},  {true, true, false, 250, 150},
      {true, false, true, 3849, 3999},
  };
  for (const orientation_case& c : cases) {
    panel_mapping mapping;
    mapping.x = {0, 100};
    mapping.y = {0, 1000};
    mapping.swap_xy = c.swap_xy;
    mapping.invert_x = c.invert_x;
    mapping.invert_y = c.invert_y;
    const std::vector<point> records =
        decode({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 0), ev(EV_ABS, ABS_Y, 1000), syn()}, mapping);
    const std::vector<point> expected = {{1, c.x, c.y}};
    EXPECT_EQ(records, expected) << "swap " << c.swap_xy << " invert x " << c.invert_x << " invert y "
                                 << c.invert_y;
  }
}

TEST(BridgeDecode, MillisecsAreTheEventTimesLow16Bits) {
  panel_state state;
  touch_record record;
  state.single.down = true;
  ASSERT_TRUE(take_record(state, identity_mapping(), timeval{70, 123999}, record));
  EXPECT_EQ(record.millisecs, static_cast<std::int16_t>(70123 - 65536));
  ASSERT_TRUE(take_record(state, identity_mapping(), timeval{1700000000, 999999}, record));
  EXPECT_EQ(record.millisecs, static_cast<std::int16_t>((1700000000999ull) & 0xffff));
}

TEST(BridgeDecode, SynDroppedSkipsTheBrokenFrameAndResyncsFromTheDevice) {
  panel_state state;
  const panel_mapping mapping = identity_mapping();
  ASSERT_EQ(decode({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 3450), ev(EV_ABS, ABS_Y, 850), syn()},
                   mapping, state)
                .size(),
            1u);
  // The release is among the lost events; what follows up to the next
  // SYN_REPORT is part of a broken frame and is skipped.
  const input_event lost[] = {ev(EV_SYN, SYN_DROPPED, 0), ev(EV_ABS, ABS_X, 5), ev(EV_KEY, BTN_TOUCH, 1)};
  for (const input_event& event : lost)
    EXPECT_EQ(feed_event(state, event), event_outcome::none);
  ASSERT_EQ(feed_event(state, syn()), event_outcome::resync);
  EXPECT_EQ(state.single.x, 3450);

  device_snapshot device;  // the finger is up, last seen at panel (1523, 850)
  device.x = 1523;
  device.y = 850;
  apply_snapshot(state, device);
  touch_record record;
  ASSERT_TRUE(take_record(state, mapping, timeval{}, record));
  EXPECT_EQ(point(record.pressure, record.x, record.y), point(0, 1773, 1000));
  EXPECT_FALSE(take_record(state, mapping, timeval{}, record));
}

TEST(BridgeDecode, SynDroppedResyncsSlotZeroOfAMultiTouchPanel) {
  panel_state state;
  state.multi_touch = true;
  ASSERT_EQ(feed_event(state, ev(EV_SYN, SYN_DROPPED, 0)), event_outcome::none);
  ASSERT_EQ(feed_event(state, syn()), event_outcome::resync);
  device_snapshot device;  // slot 0 down at (3450, 850), slot 1 addressed
  device.slot = 1;
  device.slot0_tracking_id = 3;
  device.slot0_x = 3450;
  device.slot0_y = 850;
  device.slot0_pressure = 12;
  apply_snapshot(state, device);
  touch_record record;
  ASSERT_TRUE(take_record(state, identity_mapping(), timeval{}, record));
  EXPECT_EQ(point(record.pressure, record.x, record.y), point(12, 3700, 1000));
  // The slot read back decides where the next ABS_MT_ events go.
  feed_event(state, ev(EV_ABS, ABS_MT_TRACKING_ID, -1));
  EXPECT_TRUE(state.slot0.down);
}

TEST(BridgeDecode, SynDroppedWithoutADeviceEndsTheTouchWithoutTypingIt) {
  panel_state state;
  const panel_mapping mapping = identity_mapping();
  const std::vector<point> records =
      decode({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 3450), ev(EV_ABS, ABS_Y, 850), syn(),
              ev(EV_SYN, SYN_DROPPED, 0), ev(EV_KEY, BTN_TOUCH, 0), syn(),
              // Nothing is stuck: the next tap is a tap of its own.
              ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 50), syn(), ev(EV_KEY, BTN_TOUCH, 0), syn()},
             mapping, state);
  const std::vector<point> expected = {{1, 3700, 1000}, {1, 300, 1000}, {0, 300, 1000}};
  EXPECT_EQ(records, expected);
}

TEST(BridgeDecode, APartialEventWaitsForTheRestOfItsBytes) {
  const input_event events[] = {ev(EV_KEY, BTN_TOUCH, 1), syn()};
  panel_state state;
  touch_record records[2];
  std::size_t used = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(events);
  EXPECT_EQ(
      decode_events(state, identity_mapping(), nullptr, -1, bytes, sizeof events - 1, records, 2, &used), 0u);
  EXPECT_EQ(used, sizeof(input_event));
  EXPECT_EQ(decode_events(state, identity_mapping(), nullptr, -1, bytes + used, sizeof events - used, records,
                          2, &used),
            1u);
}

// A fresh directory for FIFOs and files, removed with what it holds.
struct temp_dir {
  std::string path;
  temp_dir() {
    char name[] = "/tmp/touchkey-bridge-test.XXXXXX";
    path = mkdtemp(name);
  }
  ~temp_dir() {
    // The tests leave only plain files and FIFOs in it.
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
          unlink((path + "/" + entry->d_name).c_str());
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  std::string operator/(const char* name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const char* text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
  close(fd);
}

std::string read_file(const std::string& path) {
  char text[256] = {};
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd == -1)
    return "";
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  return std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0);
}

TEST(BridgeFifo, CreatesAMissingFifoRootOnlyAndReusesAPrivateOne) {
  temp_dir dir;
  const std::string path = dir / "tsdev";
  const mode_t old_umask = umask(0277);  // even a stingy umask leaves 0600
  int fd = open_output_fifo(path.c_str());
  umask(old_umask);
  ASSERT_NE(fd, -1);
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  // Opened read-write and non-blocking: no end of file, and no waiting.
  EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
  close(fd);

  fd = open_output_fifo(path.c_str());
  EXPECT_NE(fd, -1);
  close(fd);
}

TEST(BridgeFifo, RefusesWhatItWouldNotHaveCreated) {
  struct refusal_case {
    const char* what;
    void (*make)(const std::string& path, const std::string& dir);
    const char* message;
  };
  const refusal_case cases[] = {
      {"regular file", [](const std::string& p, const std::string&) { write_file(p, "keep me"); },
       "exists and is not a FIFO"},
      {"directory", [](const std::string& p, const std::string&) { mkdir(p.c_str(), 0700); },
       "exists and is not a FIFO"},
      {"symlink to a FIFO",
       [](const std::string& p, const std::string& d) {
         mkfifo((d + "/real").c_str(), 0600);
         ASSERT_EQ(symlink((d + "/real").c_str(), p.c_str()), 0);
       },
       "exists and is not a FIFO"},
      {"FIFO others can write",
       [](const std::string& p, const std::string&) {
         mkfifo(p.c_str(), 0600);
         chmod(p.c_str(), 0622);
       },
       "other users"},
      {"missing directory", [](const std::string&, const std::string&) {}, "cannot create the FIFO"},
  };
  for (const refusal_case& c : cases) {
    temp_dir dir;
    const std::string path = std::string(c.what) == "missing directory" ? dir / "none/tsdev" : dir / "tsdev";
    c.make(path, dir.path);
    testing::internal::CaptureStderr();
    const int fd = open_output_fifo(path.c_str());
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fd, -1) << c.what;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
    EXPECT_NE(message.find(path), std::string::npos) << c.what << ": " << message;
  }
  temp_dir dir;
  write_file(dir / "tsdev", "keep me");
  testing::internal::CaptureStderr();
  open_output_fifo((dir / "tsdev").c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_file(dir / "tsdev"), "keep me");
}

TEST(BridgeStale, RecordsUnreadForMoreThan250MsAreStale) {
  static pending_log log;
  log.total = 0;
  note_written(log, 1000);
  note_written(log, 1100);
  note_written(log, 1300);
  struct stale_case {
    std::size_t unread;
    std::int64_t now;
    std::size_t stale;
    int wait_ms;
  };
  const stale_case cases[] =
      {
          {0, 5000, 0, -1}, {3, 1250, 0, 1}, {3, 1251, 1, 0}, {3, 1350, 1, 0},
          {3, 1351, 2, 0},  {3, 1551, 3, 0}, {2, 1351, 1, 0}, {2, 1300, 0, 51},
          {1, 1550, 0, 1},  {5, 1000, 2, 0},  // two unread records the log never saw
      };
  for (const stale_case& c : cases) {
    EXPECT_EQ(stale_count(log, c.unread, c.now), c.stale) << c.unread << " unread at " << c.now;
    EXPECT_EQ(ms_until_stale(log, c.unread, c.now), c.wait_ms) << c.unread << " unread at " << c.now;
  }
}

TEST(BridgeStale, DiscardTakesOnlyTheStaleRecordsOutOfTheFifo) {
  temp_dir dir;
  const int fd = open_output_fifo((dir / "tsdev").c_str());
  ASSERT_NE(fd, -1);
  static pending_log log;
  log.total = 0;
  for (std::int16_t i = 1; i <= 3; ++i) {
    const touch_record record = {0, i, i, 0};
    ASSERT_EQ(write(fd, &record, sizeof record), 8);
    note_written(log, 1000 + 100 * i);
  }
  EXPECT_EQ(discard_stale(fd, log, 1350), 0u);
  EXPECT_EQ(discard_stale(fd, log, 1451), 2u);
  EXPECT_EQ(unread_records(fd), 1u);
  touch_record left;
  ASSERT_EQ(read(fd, &left, sizeof left), 8);
  EXPECT_EQ(left.x, 3);
  close(fd);
}

// The real program, its standard error, and its exit.
struct bridge_run {
  pid_t pid = -1;
  int stderr_fd = -1;
};

bridge_run start_bridge(const std::vector<std::string>& args, int stdin_fd) {
  int err[2];
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_fd != -1)
    posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv = {const_cast<char*>(TOUCHKEY_BRIDGE)};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  bridge_run run;
  EXPECT_EQ(posix_spawn(&run.pid, TOUCHKEY_BRIDGE, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  run.stderr_fd = err[0];
  return run;
}

// The exit status (128 + signal for a signal), or -1 when the program is
// still running at the deadline; it is killed then.
int wait_for_exit(const bridge_run& run, int deadline_ms) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0));
  pollfd exited = {pidfd, POLLIN, 0};
  const bool done = poll(&exited, 1, deadline_ms) == 1;
  close(pidfd);
  if (!done)
    kill(run.pid, SIGKILL);
  int status = 0;
  waitpid(run.pid, &status, 0);
  if (!done)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_all(int fd) {
  std::string text;
  char chunk[512];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<std::size_t>(got));
  close(fd);
  return text;
}

void write_events(int fd, const std::vector<input_event>& events) {
  const auto size = static_cast<ssize_t>(events.size() * sizeof(input_event));
  ASSERT_EQ(write(fd, events.data(), static_cast<std::size_t>(size)), size);
}

// Waits for count records in the FIFO, up to deadline_ms.
std::vector<point> read_records(int fifo_fd, std::size_t count, int deadline_ms) {
  std::vector<point> points;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (points.size() < count) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long left =
        deadline_ms - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
    pollfd fifo = {fifo_fd, POLLIN, 0};
    if (left <= 0 || poll(&fifo, 1, static_cast<int>(left)) != 1)
      break;
    touch_record record;
    if (read(fifo_fd, &record, sizeof record) == sizeof record)
      points.emplace_back(record.pressure, record.x, record.y);
  }
  return points;
}

TEST(BridgeProgram, ServesARecordedStreamAndLeavesTheFifoOnSigint) {
  temp_dir dir;
  const std::string fifo_path = dir / "tsdev";
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
  // Held open here so the records outlive nobody reading them.
  const int fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const bridge_run run = start_bridge({"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599",
                                       "--y-range", "0,3849", "--invert-y"},
                                      input[0]);
  close(input[0]);
  write_events(input[1], {ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 3450), ev(EV_ABS, ABS_Y, 850), syn(),
                          ev(EV_KEY, BTN_TOUCH, 0), syn()});
  const std::vector<point> expected = {{1, 3700, 3149}, {0, 3700, 3149}};
  EXPECT_EQ(read_records(fifo, 2, 5000), expected);

  kill(run.pid, SIGINT);
  EXPECT_EQ(wait_for_exit(run, 5000), 0);
  EXPECT_EQ(read_all(run.stderr_fd), "");
  struct stat st;
  ASSERT_EQ(lstat(fifo_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  close(input[1]);
  close(fifo);
}

TEST(BridgeProgram, CreatesTheFifoAndEndsWithARecordedStream) {
  temp_dir dir;
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  close(input[1]);
  const bridge_run run = start_bridge(
      {"--device", "/dev/stdin", "--output", dir / "tsdev", "--x-range", "0,10", "--y-range", "0,10"},
      input[0]);
  close(input[0]);
  EXPECT_EQ(wait_for_exit(run, 5000), 0);
  EXPECT_EQ(read_all(run.stderr_fd), "");
  struct stat st;
  ASSERT_EQ(lstat((dir / "tsdev").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(BridgeProgram, FailsClearlyOnBadDevicesOutputsAndOptions) {
  temp_dir dir;
  write_file(dir / "file", "keep me");
  mkdir((dir / "directory").c_str(), 0700);
  struct failure_case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string ranges_x = "--x-range", ranges_y = "--y-range";
  const failure_case cases[] = {
      {{"--device", dir / "missing", "--output", dir / "out"}, 1, "cannot open"},
      {{"--device", dir / "directory", "--output", dir / "out", ranges_x, "0,9", ranges_y, "0,9"},
       1,
       "cannot read"},
      {{"--device", "/dev/stdin", "--output", dir / "out"}, 2, "not an evdev device; give --x-range"},
      {{"--device", "/dev/stdin", "--output", dir / "file", ranges_x, "0,9", ranges_y, "0,9"},
       1,
       "exists and is not a FIFO"},
      {{"--device", "/dev/stdin", ranges_x, "9,9"}, 2, "MIN < MAX"},
      {{"--device", "/dev/stdin", ranges_y, "1,x"}, 2, "MIN,MAX"},
      {{"--rotate"}, 2, "unknown option"},
      {{"--device"}, 2, "missing value"},
  };
  for (const failure_case& c : cases) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const bridge_run run = start_bridge(c.args, input[0]);
    close(input[0]);
    const int status = wait_for_exit(run, 5000);
    const std::string message = read_all(run.stderr_fd);
    close(input[1]);
    EXPECT_EQ(status, c.status) << c.args[0] << " " << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
  EXPECT_EQ(read_file(dir / "file"), "keep me");
}

TEST(BridgeProgram, NeverBlocksOnAFullFifoAndWritesOnlyWholeRecords) {
  temp_dir dir;
  const std::string fifo_path = dir / "tsdev";
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
  const int fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_EQ(fcntl(fifo, F_SETPIPE_SZ, 4096), 4096);  // room for 512 records
  // 2000 taps give 4000 records, far more than fit before any turns stale.
  std::vector<input_event> taps;
  for (int i = 0; i < 2000; ++i) {
    for (const input_event& event : {ev(EV_KEY, BTN_TOUCH, 1), syn(), ev(EV_KEY, BTN_TOUCH, 0), syn()})
      taps.push_back(event);
  }
  const std::string stream_path = dir / "taps";
  const int stream = open(stream_path.c_str(), O_WRONLY | O_CREAT, 0600);
  write_events(stream, taps);
  close(stream);

  const bridge_run run = start_bridge(
      {"--device", stream_path, "--output", fifo_path, "--x-range", "0,9", "--y-range", "0,9"}, -1);
  // A recorded file ends the bridge once it is read: only a blocked write
  // could keep it.
  EXPECT_EQ(wait_for_exit(run, 10000), 0);
  EXPECT_EQ(read_all(run.stderr_fd), "");
  int bytes = 0;
  ASSERT_EQ(ioctl(fifo, FIONREAD, &bytes), 0);
  EXPECT_GT(bytes, 0);
  EXPECT_EQ(bytes % 8, 0);
  touch_record first;
  ASSERT_EQ(read(fifo, &first, sizeof first), 8);
  EXPECT_EQ(std::make_pair(first.x, first.y), std::make_pair(std::int16_t{250}, std::int16_t{150}));
  close(fifo);
}

TEST(BridgeProgram, TakesBackATapThatNobodyReadWithin250Ms) {
  temp_dir dir;
  const std::string fifo_path = dir / "tsdev";
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
  const int fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
  // The bridge's writes and its reading back show as modify and access.
  const int inotify = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(inotify, fifo_path.c_str(), IN_MODIFY | IN_ACCESS), -1);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const bridge_run run = start_bridge(
      {"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599", "--y-range", "0,3849"},
      input[0]);
  close(input[0]);
  write_events(input[1], {ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 3450), ev(EV_ABS, ABS_Y, 850), syn(),
                          ev(EV_KEY, BTN_TOUCH, 0), syn()});

  ASSERT_TRUE(wait_for_inotify(inotify, IN_MODIFY, monotonic_ms() + 5000));
  const std::int64_t written = monotonic_ms();
  ASSERT_TRUE(wait_for_inotify(inotify, IN_ACCESS, written + 5000));
  const std::int64_t first_taken = monotonic_ms();
  EXPECT_GE(first_taken - written, stale_after_ms);
  // Both records of the tap go, one read each.
  while (unread_records(fifo) > 0 && wait_for_inotify(inotify, IN_ACCESS, first_taken + 5000)) {
  }
  EXPECT_EQ(unread_records(fifo), 0u);

  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_for_exit(run, 5000), 0);
  close(input[1]);
  close(inotify);
  close(fifo);
}

}  // namespace
