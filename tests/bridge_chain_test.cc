// The whole chain on a current kernel's terms: recorded evdev events into
// touchkey-bridge, /dev/tsdev, the real touchkeyd, and the text arriving on
// the console. Runs inside touchkey-sandbox, which provides /dev/tsdev (FIFO),
// /dev/tty0 (a pty) and kills whatever is left when the test ends.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

// One tap at a panel point, as a single-touch panel reports it.
void tap(int panel_fd, int x, int y) {
  const std::string events = tap_events(x, y);
  ASSERT_EQ(write(panel_fd, events.data(), events.size()), static_cast<ssize_t>(events.size()));
}

std::string visible(const std::string& text) {
  std::string shown;
  for (const char c : text)
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown;
}

TEST(BridgeChain, TapsOnThePanelArriveAsTextOnTheConsoleAndStaleTapsNever) {
  const char* console_path = std::getenv("TOUCHKEY_CONSOLE");
  if (console_path == nullptr || std::getenv("TOUCHKEY_CONSOLE_MASTER_FD") == nullptr)
    GTEST_SKIP() << "runs only inside touchkey-sandbox, which stands in for /dev/tsdev and /dev/tty0";

  // Raw, so each typed byte can be read at once and none is echoed back.
  const int console = open(console_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_NE(console, -1) << console_path << ": " << std::strerror(errno);
  ASSERT_TRUE(make_raw(console));
  if (!pushed_keys_arrive_intact(console))
    GTEST_SKIP() << pushed_keys_broken;

  // Panel ranges under which keypad x = 250 + panel x and y = 150 + panel y.
  const int null_fd = open("/dev/null", O_RDWR);
  spawned bridge = spawn(
      {.argv = {TOUCHKEY_BRIDGE, "--device", "/dev/stdin", "--x-range", "0,3599", "--y-range", "0,3849"},
       .in = new_pipe,
       .out = null_fd,
       .err = inherited});

  // A tap on 'z' while no daemon reads: the bridge writes it, then takes it back.
  const int inotify = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(inotify, "/dev/tsdev", IN_MODIFY | IN_ACCESS), -1);
  const std::int64_t sent = monotonic_ms();  // the bridge can write it no earlier
  tap(bridge.in, 50, 1350);
  ASSERT_TRUE(wait_for_inotify(inotify, IN_MODIFY, monotonic_ms() + 5000)) << "the bridge wrote nothing";
  const std::int64_t written = monotonic_ms();
  ASSERT_TRUE(wait_for_inotify(inotify, IN_ACCESS, written + 5000)) << "the stale tap stayed";
  const std::int64_t taken = monotonic_ms();
  const int tsdev = open("/dev/tsdev", O_RDWR | O_NONBLOCK);
  int unread = -1;
  while (ioctl(tsdev, FIONREAD, &unread) == 0 && unread > 0 &&
         wait_for_inotify(inotify, IN_ACCESS, taken + 5000)) {
  }
  EXPECT_EQ(unread, 0);
  // The test sees the write later than it happens, and both clocks count
  // whole milliseconds: 250 ms unread is at least 249 from before the tap.
  EXPECT_GE(taken - sent, 249);
  std::printf("stale tap on 'z' written, taken back after %lld ms unread\n",
              static_cast<long long>(taken - written));
  close(tsdev);
  close(inotify);

  // The daemon goes into the background with its one line.
  spawned daemon = spawn({.argv = {TOUCHKEYD}, .in = null_fd, .err = inherited});
  ASSERT_EQ(wait_exit(daemon.pid), 0);
  const std::string line = read_line(daemon.out);
  close_pipes(daemon);
  const pid_t background_pid = reported_pid(line, TOUCHKEYD);
  ASSERT_GT(background_pid, 0) << line;
  std::printf("touchkeyd: %s", line.c_str());

  // "hi", Enter: h and i in the top row, Enter at the left of the third.
  tap(bridge.in, 1523, 850);
  tap(bridge.in, 1250, 850);
  tap(bridge.in, 450, 2350);
  const std::string typed = read_some(console, 3);
  std::printf("typed on the console: \"%s\"\n", visible(typed).c_str());
  // The stale 'z' would have come first: the FIFO keeps its order.
  EXPECT_EQ(typed, "hi\n");

  kill(background_pid, SIGTERM);
  kill(bridge.pid, SIGTERM);
  EXPECT_EQ(wait_exit(bridge.pid), 0);
  struct stat st;
  ASSERT_EQ(lstat("/dev/tsdev", &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  close_pipes(bridge);
  close(null_fd);
  close(console);
}

}  // namespace
