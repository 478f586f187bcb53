// touchkey-bridge as a service runs it: serving the FIFO that systemd passes
// (socket activation), refusing one it would not have made, and then waiting
// for a panel rather than failing when there is none (run in touchkey-sandbox,
// whose private /dev has no input devices).
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tsdev_fifo.h"

namespace {

int passed_fd = -1;

// As systemd does: the FIFO as descriptor 3, LISTEN_PID naming the program.
void pass_as_descriptor_3() {
  dup2(passed_fd, 3);
  setenv("LISTEN_FDS", "1", 1);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
}

TEST(BridgeActivation, ServesThePassedFifoOnlyWhenOnlyItsOwnerCanOpenIt) {
  temp_dir dir;
  write_file(dir / "stream", tap_events(5, 5));
  struct passed_case {
    const char* what;
    bool fifo;
    unsigned mode;
    int status;
    const char* message;
  };
  const passed_case cases[] = {
      {"root-only FIFO", true, 0600, 0, ""},
      {"FIFO others can write", true, 0622, 1, "open to other users; refusing"},
      {"regular file", false, 0600, 1, "passed something other than one FIFO"},
  };
  for (const passed_case& c : cases) {
    const std::string path = dir / c.what;
    ASSERT_EQ(c.fifo ? mkfifo(path.c_str(), 0600) : close(open(path.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    passed_fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    spawned run = spawn({.argv = {TOUCHKEY_BRIDGE, "--device", dir / "stream", "--output", dir / "unused",
                                  "--x-range", "0,9", "--y-range", "0,9"},
                         .in_child = pass_as_descriptor_3});
    const std::string message = read_all(run.err);
    EXPECT_EQ(wait_exit(run.pid), c.status) << c.what << ": " << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
    EXPECT_EQ(unread_records(passed_fd), c.status == 0 ? 2u : 0u) << c.what;
    EXPECT_NE(access((dir / "unused").c_str(), F_OK), 0) << c.what << ": made its own FIFO";
    close_pipes(run);
    close(passed_fd);
  }
}

// Started by hand it fails at once instead (cli_test).
TEST(BridgeActivation, WaitsForAPanelUntilStopped) {
  temp_dir dir;
  ASSERT_EQ(mkfifo((dir / "tsdev").c_str(), 0600), 0);
  passed_fd = open((dir / "tsdev").c_str(), O_RDWR | O_NONBLOCK);
  spawned run = spawn({.argv = {TOUCHKEY_BRIDGE}, .in_child = pass_as_descriptor_3});
  EXPECT_NE(read_line(run.err).find("no touchscreen found among /dev/input/event*; waiting for one"),
            std::string::npos);
  kill(run.pid, SIGTERM);
  EXPECT_EQ(wait_exit(run.pid), 0);
  close_pipes(run);
  close(passed_fd);
}

}  // namespace
