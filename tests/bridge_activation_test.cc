// touchkey-bridge as a service runs it: serving the FIFO that systemd passes
// (socket activation) and watching it behind the link that names it, refusing
// one it would not have made or that the daemon's path does not lead to, and
// then waiting for a panel rather than failing when there is none (run in
// touchkey-sandbox, whose private /dev has no input devices).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "touch_record.h"
#include "tsdev_fifo.h"

namespace {

int passed_fd = -1;

// As systemd does: the FIFO as descriptor 3, LISTEN_PID naming the program.
void pass_as_descriptor_3() {
  dup2(passed_fd, 3);
  setenv("LISTEN_FDS", "1", 1);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
}

// The --output path is where the daemon opens the FIFO: the socket unit's
// link /dev/tsdev. A FIFO left there (made by hand) keeps systemd from
// making the link, and the daemon would read that one, which nobody serves.
TEST(BridgeActivation, ServesThePassedFifoOnlyWhenPrivateAndWhereTheOutputLeads) {
  temp_dir dir;
  write_file(dir / "stream", tap_events(5, 5));
  enum output_path : unsigned char { link_to_it, missing, another_fifo };
  struct passed_case {
    const char* what;
    bool fifo;
    bool another_owner;  // nobody's (65534), which only root can arrange
    output_path output;
    unsigned mode;
    int status;
    const char* message;
  };
  const char *elsewhere = "does not lead to the FIFO passed by the service manager; refusing",
             *open_to_others = "open to other users or belongs to another user; refusing";
  const passed_case cases[] = {
      {"root-only FIFO", true, false, link_to_it, 0600, 0, ""},
      {"FIFO others can write", true, false, link_to_it, 0622, 1, open_to_others},
      {"FIFO its group can read", true, false, link_to_it, 0640, 1, open_to_others},
      {"FIFO of another user", true, true, link_to_it, 0600, 1, open_to_others},
      {"regular file", false, false, link_to_it, 0600, 1, "passed something other than one FIFO"},
      {"FIFO the output misses", true, false, missing, 0600, 1, elsewhere},
      {"FIFO with another at the output", true, false, another_fifo, 0600, 1, elsewhere},
  };
  for (const passed_case& c : cases) {
    if (c.another_owner && geteuid() != 0)
      continue;
    const std::string path = dir / c.what;
    const std::string output = path + " output";
    ASSERT_EQ(c.fifo ? mkfifo(path.c_str(), 0600) : close(open(path.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    // In a user namespace that maps root alone (the cross tests') nobody has
    // no number: the row cannot be arranged there.
    if (c.another_owner && chown(path.c_str(), 65534, 65534) == -1) {
      ASSERT_EQ(errno, EINVAL) << std::strerror(errno);
      unlink(path.c_str());
      continue;
    }
    ASSERT_EQ(c.output == link_to_it     ? symlink(path.c_str(), output.c_str())
              : c.output == another_fifo ? mkfifo(output.c_str(), 0600)
                                         : 0,
              0);
    passed_fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    spawned run = spawn({.argv = {TOUCHKEY_BRIDGE, "--device", dir / "stream", "--output", output,
                                  "--x-range", "0,9", "--y-range", "0,9"},
                         .in_child = pass_as_descriptor_3});
    const std::string message = read_all(run.err);
    EXPECT_EQ(wait_exit(run.pid), c.status) << c.what << ": " << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
    EXPECT_EQ(unread_records(passed_fd), c.status == 0 ? 2u : 0u) << c.what;
    EXPECT_EQ(access(output.c_str(), F_OK) == 0, c.output != missing) << c.what << ": made its own FIFO";
    close_pipes(run);
    close(passed_fd);
  }
}

// As the units set it up: the FIFO lives elsewhere and the --output path
// (/dev/tsdev) is a link to it. The bridge must watch the FIFO itself: a
// record another program writes once the bridge sleeps, with nothing of its
// own pending, is seen only through the watch, and taken back 250 ms later.
TEST(BridgeActivation, WatchesThePassedFifoNotTheLinkToIt) {
  temp_dir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir / "fifo").c_str(), (dir / "tsdev").c_str()), 0);
  passed_fd = open((dir / "fifo").c_str(), O_RDWR | O_NONBLOCK);
  spawned run = spawn({.argv = {TOUCHKEY_BRIDGE, "--device", "/dev/stdin", "--output", dir / "tsdev",
                                "--x-range", "0,9", "--y-range", "0,9"},
                       .in = new_pipe,
                       .in_child = pass_as_descriptor_3});
  // Its own tap, unread and taken back: the bridge is past setting up its
  // watch, and then waits for nothing but its input and the watch.
  const int own = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(own, (dir / "fifo").c_str(), IN_ACCESS), -1);
  const std::string tap = tap_events(5, 5);
  ASSERT_EQ(write(run.in, tap.data(), tap.size()), static_cast<ssize_t>(tap.size()));
  while (wait_for_inotify(own, IN_ACCESS, monotonic_ms() + default_timeout_ms) &&
         unread_records(passed_fd) > 0) {
  }
  ASSERT_EQ(unread_records(passed_fd), 0u);

  const int other = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(other, (dir / "fifo").c_str(), IN_ACCESS), -1);
  const int writer = open((dir / "tsdev").c_str(), O_WRONLY | O_NONBLOCK);  // through the link
  const std::int64_t written = monotonic_ms();
  const touch_record record = {0, 1, 2, 3};
  ASSERT_EQ(write(writer, &record, sizeof record), 8);
  EXPECT_TRUE(wait_for_inotify(other, IN_ACCESS, written + default_timeout_ms)) << "never taken back";
  EXPECT_GE(monotonic_ms() - written, stale_after_ms);
  EXPECT_EQ(unread_records(passed_fd), 0u);

  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  for (const int fd : {writer, other, own, passed_fd})
    close(fd);
  close_pipes(run);
}

// Started by hand it fails at once instead (cli_test).
TEST(BridgeActivation, WaitsForAPanelUntilStopped) {
  temp_dir dir;
  ASSERT_EQ(mkfifo((dir / "tsdev").c_str(), 0600), 0);
  passed_fd = open((dir / "tsdev").c_str(), O_RDWR | O_NONBLOCK);
  spawned run =
      spawn({.argv = {TOUCHKEY_BRIDGE, "--output", dir / "tsdev"}, .in_child = pass_as_descriptor_3});
  EXPECT_NE(read_line(run.err).find("no touchscreen found among /dev/input/event*; waiting for one"),
            std::string::npos);
  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  close_pipes(run);
  close(passed_fd);
}

}  // namespace
