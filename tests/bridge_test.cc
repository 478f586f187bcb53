// Tests of touchkey-bridge: recorded evdev streams decoded into touchscreen
// records, the output FIFO's rules, stale taps, and the program's failures.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "keypad.h"
#include "panel.h"
#include "panel_events.h"
#include "test_support.h"
#include "tsdev_fifo.h"

namespace {

input_event syn(long ms = 0) { return ev(EV_SYN, SYN_REPORT, 0, ms); }

input_event axis(std::uint16_t code, std::int32_t value) { return ev(EV_ABS, code, value); }
input_event touch(std::int32_t value) { return ev(EV_KEY, BTN_TOUCH, value); }
input_event id(std::int32_t value) { return ev(EV_ABS, ABS_MT_TRACKING_ID, value); }
const input_event mt_report = ev(EV_SYN, SYN_MT_REPORT, 0);

// The events, each list ended by SYN_REPORT as one frame.
std::vector<input_event> frames(std::initializer_list<std::initializer_list<input_event>> list) {
  std::vector<input_event> events;
  for (const auto& frame : list) {
    events.insert(events.end(), frame);
    events.push_back(syn());
  }
  return events;
}

// A single-touch panel's frame that puts the pen down at (x, y).
std::vector<input_event> press(std::int32_t x, std::int32_t y) {
  return frames({{touch(1), axis(ABS_X, x), axis(ABS_Y, y)}});
}

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
  points.reserve(count);
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

// Streams as panels send them, and the records the bridge writes for them.
TEST(BridgeDecode, StreamsGiveTheRecordsOfTheOneContactFollowed) {
  const struct {
    const char* name;
    std::vector<input_event> events;
    std::vector<point> records;
  } cases[] = {
      {"single touch: touching records, then one pen-up at the last position; a hovering pen writes nothing",
       frames({{touch(1), axis(ABS_X, 3450), axis(ABS_Y, 850), axis(ABS_PRESSURE, 70)},
               {axis(ABS_X, 3440)},
               {touch(0), axis(ABS_PRESSURE, 0)},
               {axis(ABS_X, 100)}}),
       {{70, 3700, 1000}, {70, 3690, 1000}, {0, 3690, 1000}}},
      // As a type B panel sends it, with the emulated single-touch events too.
      {"multi-touch: slot 0 alone moves and lifts, whatever slot 1 and the emulated ABS_X do",
       frames({{axis(ABS_MT_SLOT, 0), axis(ABS_MT_TRACKING_ID, 7), axis(ABS_MT_POSITION_X, 3450),
                axis(ABS_MT_POSITION_Y, 850), touch(1), axis(ABS_X, 3450), axis(ABS_Y, 850)},
               {axis(ABS_MT_SLOT, 1), axis(ABS_MT_TRACKING_ID, 8), axis(ABS_MT_POSITION_X, 50),
                axis(ABS_MT_POSITION_Y, 50)},
               {axis(ABS_MT_SLOT, 0), axis(ABS_MT_POSITION_X, 1523), axis(ABS_X, 9)},
               // Slot 0 lifts while slot 1 stays down (BTN_TOUCH stays 1): a pen-up;
               // slot 1 lifting later writes nothing more.
               {axis(ABS_MT_TRACKING_ID, -1)},
               {axis(ABS_MT_SLOT, 1), axis(ABS_MT_TRACKING_ID, -1), touch(0)}}),
       {{1, 3700, 1000}, {1, 3700, 1000}, {1, 1773, 1000}, {0, 1773, 1000}}},
      {"multi-touch pressure comes from slot 0",
       frames({{axis(ABS_MT_TRACKING_ID, 1), axis(ABS_MT_PRESSURE, 90), axis(ABS_MT_POSITION_X, 0),
                axis(ABS_MT_POSITION_Y, 0)}}),
       {{90, 250, 150}}},
      {"lost events without a device to ask end the touch untyped; the next tap is a tap of its own",
       frames({{touch(1), axis(ABS_X, 3450), axis(ABS_Y, 850)},
               {ev(EV_SYN, SYN_DROPPED, 0), touch(0)},
               {touch(1), axis(ABS_X, 50)},
               {touch(0)}}),
       {{1, 3700, 1000}, {1, 300, 1000}, {0, 300, 1000}}},
      // Contacts also end without tracking id -1: type A panels leave them
      // out (ids or not), and a new id in slot 0 is a new contact.
      {"type A with tracking ids: BTN_TOUCH 0 ends the contact",
       frames({{touch(1), axis(ABS_X, 3450), axis(ABS_Y, 850), id(5), axis(ABS_MT_POSITION_X, 3450),
                axis(ABS_MT_POSITION_Y, 850), mt_report},
               {touch(0), mt_report}}),
       {{1, 3700, 1000}, {0, 3700, 1000}}},
      {"a new tracking id in slot 0 lifts the contact before it",
       frames({{id(7), axis(ABS_MT_POSITION_X, 3450), axis(ABS_MT_POSITION_Y, 850)},
               {id(8), axis(ABS_MT_POSITION_X, 50)},
               {id(-1)}}),
       {{1, 3700, 1000}, {0, 3700, 1000}, {1, 300, 1000}, {0, 300, 1000}}},
      {"a contact replaced before it was reported owes nothing",
       frames({{id(7), axis(ABS_MT_POSITION_X, 3450), axis(ABS_MT_POSITION_Y, 850), id(8),
                axis(ABS_MT_POSITION_X, 50)},
               {id(-1)}}),
       {{1, 300, 1000}, {0, 300, 1000}}},
      {"the same tracking id again is the same contact",
       frames({{id(7), axis(ABS_MT_POSITION_X, 3450), axis(ABS_MT_POSITION_Y, 850)},
               {id(7), axis(ABS_MT_POSITION_X, 50)},
               {id(-1)}}),
       {{1, 3700, 1000}, {1, 300, 1000}, {0, 300, 1000}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decode(c.events, identity_mapping()), c.records) << c.name;
}

// Real panels' recordings (evemu text), where present: each contact the
// bridge follows (slot 0's tracking ids, else BTN_TOUCH) ends in one pen-up.
TEST(BridgeDecode, RecordedPanelsLiftEveryContact) {
  const std::filesystem::path folder = TOUCHKEY_RECORDINGS;
  if (!std::filesystem::is_directory(folder))
    GTEST_SKIP() << folder << " is absent";
  int recordings = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".ev") == std::string::npos)
      continue;
    const std::vector<input_event> events = read_recording(entry.path()).events;
    int slot0_contacts = 0, touches = 0;
    // The slot addressed lasts from event to event: not the loop's own.
    // cppcheck-suppress variableScope
    int slot = 0;
    for (const input_event& e : events) {
      slot = e.type == EV_ABS && e.code == ABS_MT_SLOT ? e.value : slot;
      slot0_contacts += e.type == EV_ABS && e.code == ABS_MT_TRACKING_ID && slot == 0 && e.value >= 0;
      touches += e.type == EV_KEY && e.code == BTN_TOUCH && e.value == 1;
    }
    panel_mapping mapping;
    mapping.x = mapping.y = {0, 32767};
    int pen_ups = 0;
    for (const point& p : decode(events, mapping))
      pen_ups += std::get<0>(p) == 0;
    EXPECT_EQ(pen_ups, slot0_contacts > 0 ? slot0_contacts : touches) << entry.path();
    ++recordings;
  }
  EXPECT_GT(recordings, 0);
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
    const std::vector<point> records = decode(press(c.x, c.y), mapping);
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
    const std::vector<point> records = decode(press(0, 1000), mapping);
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
  ASSERT_EQ(decode(press(3450, 850), mapping, state).size(), 1u);
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

std::string link_swapped_in_after_mkfifo;  // the link's target; empty: no swap

}  // namespace

// A user who can write the output's directory swaps a symbolic link in for
// the new FIFO, right after its creation (the linker sends mkfifo here).
extern "C" int __real_mkfifo(const char* path, mode_t mode);
extern "C" int __wrap_mkfifo(const char* path, mode_t mode) {
  const int made = __real_mkfifo(path, mode);
  if (made == 0 && !link_swapped_in_after_mkfifo.empty() &&
      (unlink(path) == -1 || symlink(link_swapped_in_after_mkfifo.c_str(), path) == -1))
    std::abort();
  return made;
}

namespace {

TEST(BridgeFifo, ALinkSwappedInForTheNewFifoIsNotFollowed) {
  temp_dir dir;
  const std::string victim = dir / "victim";
  write_file(victim, "keep me", 0644);
  link_swapped_in_after_mkfifo = victim;
  failure why;
  const int fd = open_output_fifo((dir / "tsdev").c_str(), why);
  link_swapped_in_after_mkfifo.clear();
  EXPECT_EQ(fd, -1);
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(BridgeFifo, CreatesAMissingFifoRootOnlyAndReusesAPrivateOne) {
  temp_dir dir;
  const std::string path = dir / "tsdev";
  const mode_t old_umask = umask(0277);  // even a stingy umask leaves 0600
  failure why;
  int fd = open_output_fifo(path.c_str(), why);
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

  fd = open_output_fifo(path.c_str(), why);
  EXPECT_NE(fd, -1);
  close(fd);
}

// A FIFO made private, then given `mode`.
template <mode_t mode>
void fifo_with_mode(const std::string& path, const std::string& /*dir*/) {
  mkfifo(path.c_str(), 0600);
  chmod(path.c_str(), mode);
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
      {"FIFO others can write", fifo_with_mode<0622>, "other users"},
      // Other users' bits alone, the group's left closed.
      {"FIFO only others can write", fifo_with_mode<0602>, "other users"},
      {"FIFO only others can read", fifo_with_mode<0604>, "other users"},
      {"missing directory", [](const std::string&, const std::string&) {}, "cannot create the FIFO"},
  };
  for (const refusal_case& c : cases) {
    temp_dir dir;
    const std::string path = std::string(c.what) == "missing directory" ? dir / "none/tsdev" : dir / "tsdev";
    c.make(path, dir.path);
    failure why;
    const int fd = open_output_fifo(path.c_str(), why);
    const std::string& message = why.message;
    EXPECT_EQ(fd, -1) << c.what;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
    EXPECT_NE(message.find(path), std::string::npos) << c.what << ": " << message;
  }
  temp_dir dir;
  write_file(dir / "tsdev", "keep me");
  failure why;
  open_output_fifo((dir / "tsdev").c_str(), why);
  EXPECT_EQ(read_file(dir / "tsdev"), "keep me");
}

// Own records written at 1000, 1100 and 1300; then what the FIFO showed at a
// look, and what is stale at `now`.
TEST(BridgeStale, RecordsUnreadFor250MsWithNoReaderTakingAnyAreStale) {
  struct look {
    std::size_t unread;
    bool read_seen;
    std::int64_t at;
  };
  const struct {
    const char* name;
    std::vector<look> looks;
    std::int64_t now;
    std::size_t stale;
    int wait_ms;
  } cases[] = {
      {"none stale yet", {}, 1250, 0, 1},
      {"the oldest after 250 ms", {}, 1251, 1, 0},
      {"all three", {}, 1551, 3, 0},
      {"a reader took one: the rest wait for 250 ms after", {{2, false, 1200}}, 1450, 0, 1},
      {"then the next is stale", {{2, false, 1200}}, 1451, 1, 0},
      {"a reported read counts although the count stays", {{3, true, 1300}}, 1550, 0, 1},
      {"others' records arrive when seen", {{5, false, 1400}}, 1650, 3, 0},
      {"and turn stale 250 ms later", {{5, false, 1400}}, 1651, 5, 0},
      {"all read: nothing to wait for", {{0, false, 1200}}, 5000, 0, -1},
  };
  static pending_log log;
  for (const auto& c : cases) {
    log = pending_log{};
    for (const std::int64_t ms : {1000, 1100, 1300})
      note_written(log, ms);
    for (const look& l : c.looks)
      note_unread(log, l.unread, l.read_seen, l.at);
    EXPECT_EQ(stale_count(log, c.now), c.stale) << c.name;
    EXPECT_EQ(ms_until_stale(log, c.now), c.wait_ms) << c.name;
  }
}

TEST(BridgeStale, DiscardTakesOnlyTheStaleRecordsOutOfTheFifo) {
  temp_dir dir;
  failure why;
  const int fd = open_output_fifo((dir / "tsdev").c_str(), why);
  ASSERT_NE(fd, -1);
  static pending_log log;
  log.total = 0;
  for (std::int16_t i = 1; i <= 3; ++i) {
    const touch_record record = {0, i, i, 0};
    ASSERT_EQ(write(fd, &record, sizeof record), 8);
    note_written(log, 1000 + 100 * i);
  }
  EXPECT_EQ(discard_stale(fd, log, 1350), 0u);
  // One more, not yet counted: left for the next count, not stamped 1451.
  const touch_record late = {0, 4, 4, 0};
  ASSERT_EQ(write(fd, &late, sizeof late), 8);
  EXPECT_EQ(discard_stale(fd, log, 1451), 2u);
  EXPECT_EQ(log.total, 3u);
  EXPECT_EQ(unread_records(fd), 2u);
  touch_record left;
  ASSERT_EQ(read(fd, &left, sizeof left), 8);
  EXPECT_EQ(left.x, 3);
  close(fd);
}

// The real program, with a pipe for the events it reads on standard input.
spawn_request bridge(std::vector<std::string> args) {
  args.insert(args.begin(), TOUCHKEY_BRIDGE);
  return {.argv = args, .in = new_pipe, .out = inherited};
}

void write_events(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The records that reach the FIFO within the deadline, up to count.
std::vector<point> read_records(int fifo_fd, std::size_t count) {
  const std::string bytes = read_some(fifo_fd, count * sizeof(touch_record));
  std::vector<point> points;
  for (std::size_t at = 0; at + sizeof(touch_record) <= bytes.size(); at += sizeof(touch_record)) {
    touch_record record;
    std::memcpy(&record, bytes.data() + at, sizeof record);
    points.emplace_back(record.pressure, record.x, record.y);
  }
  return points;
}

// A scratch directory, and in it the FIFO a bridge can serve, held open here
// so that records outlive nobody reading them.
struct BridgeProgram : testing::Test {
  void SetUp() override {
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
    fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
  }
  void TearDown() override { close(fifo); }
  temp_dir dir;
  std::string fifo_path = dir / "tsdev";
  int fifo = -1;
};

TEST_F(BridgeProgram, ServesARecordedStreamAndLeavesTheFifoOnSigint) {
  spawned run = spawn(bridge({"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599",
                              "--y-range", "0,3849", "--invert-y"}));
  write_events(run.in, tap_events(3450, 850));
  const std::vector<point> expected = {{1, 3700, 3149}, {0, 3700, 3149}};
  EXPECT_EQ(read_records(fifo, 2), expected);

  kill(run.pid, SIGINT);
  EXPECT_EQ(wait_exit(run.pid), 0);
  EXPECT_EQ(read_all(run.err), "");
  struct stat st;
  ASSERT_EQ(lstat(fifo_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  close(run.in);
}

TEST_F(BridgeProgram, CreatesTheFifoAndEndsWithARecordedStream) {
  const finished run = run_to_end(
      bridge({"--device", "/dev/stdin", "--output", dir / "new", "--x-range", "0,10", "--y-range", "0,10"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  struct stat st;
  ASSERT_EQ(lstat((dir / "new").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(BridgeProgram, FailsClearlyOnBadDevicesOutputsAndOptions) {
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
      {{"--matrix", "0,0,0,0,0,0"},
       2,
       "--matrix 0,0,0,0,0,0 is singular: it squeezes the whole panel onto a line"},
      {{"--rotate"}, 2, "unknown option"},
      {{"--device"}, 2, "--device needs a value"},
  };
  for (const failure_case& c : cases) {
    const finished run = run_to_end(bridge(c.args));
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  EXPECT_EQ(read_file(dir / "file"), "keep me");
}

TEST_F(BridgeProgram, NeverBlocksOnAFullFifoAndWritesOnlyWholeRecords) {
  ASSERT_EQ(fcntl(fifo, F_SETPIPE_SZ, 4096), 4096);  // room for 512 records
  // 2000 taps give 4000 records, far more than fit before any turns stale.
  std::vector<input_event> taps;
  for (int i = 0; i < 2000; ++i)
    taps.insert(taps.end(), {touch(1), syn(), touch(0), syn()});
  write_file(dir / "taps", event_bytes(taps));

  // A recorded file ends the bridge once it is read: only a blocked write
  // could keep it.
  const finished run = run_to_end(
      bridge({"--device", dir / "taps", "--output", fifo_path, "--x-range", "0,9", "--y-range", "0,9"}),
      10000);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  int bytes = 0;
  ASSERT_EQ(ioctl(fifo, FIONREAD, &bytes), 0);
  EXPECT_GT(bytes, 0);
  EXPECT_EQ(bytes % 8, 0);
  touch_record first;
  ASSERT_EQ(read(fifo, &first, sizeof first), 8);
  EXPECT_EQ(std::make_pair(first.x, first.y), std::make_pair(std::int16_t{250}, std::int16_t{150}));
}

TEST_F(BridgeProgram, TakesBackATapThatNobodyReadWithin250Ms) {
  // The bridge's writes and its reading back show as modify and access.
  const int inotify = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(inotify, fifo_path.c_str(), IN_MODIFY | IN_ACCESS), -1);
  spawned run = spawn(bridge(
      {"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599", "--y-range", "0,3849"}));
  // The bridge writes no earlier than this; a later reading would depend on
  // how soon this process wakes up.
  const std::int64_t written = monotonic_ms();
  write_events(run.in, tap_events(3450, 850));

  ASSERT_TRUE(wait_for_inotify(inotify, IN_MODIFY, written + 5000));
  ASSERT_TRUE(wait_for_inotify(inotify, IN_ACCESS, written + 5000));
  const std::int64_t first_taken = monotonic_ms();
  EXPECT_GE(first_taken - written, stale_after_ms);
  // Both records of the tap go, one read each.
  while (unread_records(fifo) > 0 && wait_for_inotify(inotify, IN_ACCESS, first_taken + 5000)) {
  }
  EXPECT_EQ(unread_records(fifo), 0u);

  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  close_pipes(run);
  close(inotify);
}

// A tap at panel (3450, 850), and the two records it gave.
std::vector<point> tap_and_read(int panel_fd, int fifo_fd) {
  write_events(panel_fd, tap_events(3450, 850));
  return read_records(fifo_fd, 2);
}

// The calibration file as it changes under a running bridge (touchkey-calibrate
// renames it into place): each change is said in a line, and the next tap
// goes through it. Absent or refused, it leaves the panel uncalibrated, with
// the orientation option; in force, it supersedes that.
TEST_F(BridgeProgram, TypesThroughTheCalibrationInForceFromItsNextTapAndSaysWhich) {
  const std::string cal = dir / "etc/calibration", refused = "none (" + cal + ": line 1: ";
  ASSERT_EQ(mkdir((dir / "etc").c_str(), 0755), 0);
  const struct {
    const char* content;  // renamed into place beside it; nullptr: removed
    std::string says;
    int x, y;  // where the tap lands
  } steps[] = {
      {"0,1,0\n",
       "serving " + fifo_path +
           " from /dev/stdin (recorded events), x 0..3599, y 0..3849, orientation --invert-x, calibration " +
           refused + "not six numbers a,b,c,d,e,f; typing uncalibrated), mapping -1,0,1,0,1,0",
       399, 1000},
      {"# made by hand\n0,1,0,1,0,0\n",
       "calibration changed: orientation --invert-x (superseded by the calibration), calibration from " +
           cal + ", mapping 0,1,0,1,0,0",
       1044, 3839},
      {"0,0,0,0,0,0\n", "--invert-x, calibration " + refused + "the matrix 0,0,0,0,0,0 is singular", 399,
       1000},
      {"0,-1,1,1,0,0\n", "from " + cal + ", mapping 0,-1,1,1,0,0", 3054, 3839},
      {"1e-7,0,0,0,1e7,0\n", "--invert-x, calibration " + refused + "the matrix 1e-7,0,0,0,1e7,0 is singular",
       399, 1000},
      {nullptr, "none (" + cal + " absent), mapping -1,0,1,0,1,0", 399, 1000},
  };
  spawn_request request = bridge({"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599",
                                  "--y-range", "0,3849", "--calibration", cal, "--invert-x"});
  request.out = new_pipe;
  spawned run{};
  for (const auto& step : steps) {
    if (step.content == nullptr) {
      unlink(cal.c_str());
    } else {  // as touchkey-calibrate does: a new file beside it, then renamed
      write_file(cal + ".new", step.content);
      ASSERT_EQ(rename((cal + ".new").c_str(), cal.c_str()), 0);
    }
    if (run.pid == -1)
      run = spawn(request);
    const std::string line = read_line(run.out);
    EXPECT_NE(line.find(step.says), std::string::npos) << line;
    EXPECT_EQ(line.find("inf"), std::string::npos) << line;
    const std::vector<point> expected = {{1, step.x, step.y}, {0, step.x, step.y}};
    EXPECT_EQ(tap_and_read(run.in, fifo), expected) << step.says;
  }
  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  EXPECT_EQ(read_all(run.err), "");
  close_pipes(run);
}

// Lost, to be waited for, or not: an end of input or a fault of the device.
TEST(BridgePanel, GoneOnlyWhenUnpluggedOrHungUp) {
  const struct {
    int error;  // of the read, 0: none
    bool ended;
    short revents;
    bool gone;
  } cases[] = {
      {ENODEV, false, POLLIN, true},
      {0, true, POLLIN | POLLERR | POLLHUP, true},
      {EIO, false, POLLIN | POLLHUP, true},
      {EIO, false, POLLIN, false},
      {0, true, POLLHUP, false},  // a pipe's end: the recording is over
      {EBADF, false, POLLIN | POLLHUP, false},
  };
  for (const auto& c : cases) {
    const failure read_failed = c.error != 0 ? failure{"cannot read", c.error} : failure{};
    EXPECT_EQ(panel_gone(read_failed, c.ended, c.revents), c.gone) << c.error << " " << c.revents;
  }
}

// A terminal stands in for the panel, hanging up when its other side closes
// as an unplugged evdev device fails its reads; it comes back as a link
// renamed into place, as udev makes by-id links. The bridge serves it again
// and holds the FIFO open meanwhile: its reader sees no end of file.
TEST_F(BridgeProgram, APanelUnpluggedAndPluggedInAgainIsServedAgainWithoutEndOfFile) {
  const std::string link = dir / "panel";
  int master = -1;
  const auto plug_in = [&] {
    std::string slave;
    master = open_raw_pty(slave);
    ASSERT_EQ(symlink(slave.c_str(), (dir / "new").c_str()), 0);
    ASSERT_EQ(rename((dir / "new").c_str(), link.c_str()), 0);
  };
  plug_in();
  close(fifo);
  unlink(fifo_path.c_str());  // the bridge makes it: the reader below is its only other end
  spawn_request request =
      bridge({"--device", link, "--output", fifo_path, "--x-range", "0,3599", "--y-range", "0,3849"});
  request.out = new_pipe;
  spawned run = spawn(request);
  const std::string serving = "touchkey-bridge: serving " + fifo_path + " from " + link + " (recorded";
  EXPECT_EQ(read_line(run.out).rfind(serving, 0), 0u);
  fifo = open(fifo_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const std::vector<point> typed = {{1, 3700, 1000}, {0, 3700, 1000}};
  EXPECT_EQ(tap_and_read(master, fifo), typed);
  close(master);
  EXPECT_NE(read_line(run.err).find("lost the panel: " + link + " hung up; waiting for " + link),
            std::string::npos);
  char byte;
  EXPECT_EQ(read(fifo, &byte, 1), -1) << "end of file";
  plug_in();
  EXPECT_EQ(read_line(run.out).rfind(serving, 0), 0u);
  EXPECT_EQ(tap_and_read(master, fifo), typed);
  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  close(master);
  close_pipes(run);
}

// /dev/zero is always readable (as empty frames): a stop request must still
// end the bridge at once, with status 0.
TEST_F(BridgeProgram, StopsOnSigtermOrSigintUnderEndlessInput) {
  for (const int stop : {SIGTERM, SIGINT}) {
    const int created = inotify_init1(IN_CLOEXEC);
    ASSERT_NE(inotify_add_watch(created, dir.path.c_str(), IN_CREATE), -1);
    unlink((dir / "new").c_str());
    spawned run = spawn(
        bridge({"--device", "/dev/zero", "--output", dir / "new", "--x-range", "0,9", "--y-range", "0,9"}));
    // The FIFO is created once the bridge is ready for signals.
    ASSERT_TRUE(wait_for_inotify(created, IN_CREATE, monotonic_ms() + default_timeout_ms));
    kill(run.pid, stop);
    EXPECT_EQ(wait_exit(run.pid), 0) << strsignal(stop);
    close_pipes(run);
    close(created);
  }
}

// Records another program writes into the FIFO: kept while they may still be
// read (the bridge wakes for its own input meanwhile), and taken back once
// they have sat unread for 250 ms with no reader taking any.
TEST_F(BridgeProgram, RecordsOfAnotherWriterAreTakenBackOnlyWhenNobodyReads) {
  for (const bool reader : {true, false}) {
    spawned run = spawn(bridge(
        {"--device", "/dev/stdin", "--output", fifo_path, "--x-range", "0,3599", "--y-range", "0,3849"}));
    const touch_record other = {0, 1, 2, 3};
    const std::int64_t written = monotonic_ms();  // or a little earlier
    ASSERT_EQ(write(fifo, &other, sizeof other), 8);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_NE(inotify_add_watch(watch, fifo_path.c_str(), IN_MODIFY | IN_ACCESS), -1);
    if (reader) {
      write_events(run.in, event_bytes(press(3450, 850)));
      ASSERT_TRUE(wait_for_inotify(watch, IN_MODIFY, written + default_timeout_ms));
      EXPECT_FALSE(wait_for_inotify(watch, IN_ACCESS, written + 100)) << "taken back at once";
      const std::vector<point> expected = {{0, 1, 2}, {1, 3700, 1000}};
      if (monotonic_ms() - written < stale_after_ms) {
        EXPECT_EQ(read_records(fifo, 2), expected);
      }
    } else {
      ASSERT_TRUE(wait_for_inotify(watch, IN_ACCESS, written + default_timeout_ms)) << "never taken back";
      EXPECT_GE(monotonic_ms() - written, stale_after_ms);
      EXPECT_EQ(unread_records(fifo), 0u);
    }
    kill(run.pid, SIGTERM);
    EXPECT_EQ(wait_exit(run.pid), 0);
    close_pipes(run);
    close(watch);
  }
}

}  // namespace
