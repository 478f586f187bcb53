// The whole chain on a current kernel's terms: recorded evdev events into
// touchkey-bridge, /dev/tsdev, the real touchkeyd, and the text arriving on
// the console. Runs inside touchkey-sandbox, which provides /dev/tsdev (FIFO),
// /dev/tty0 (a pty) and kills whatever is left when the test ends.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "deadline_wait.h"

namespace {

// Starts program with args; its standard input and output are the given fds.
pid_t start(const char* program, const std::vector<const char*>& args, int stdin_fd, int stdout_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  std::vector<char*> argv = {const_cast<char*>(program)};
  for (const char* arg : args)
    argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Exit status, or -1 when the process is still running at the deadline.
int wait_for_exit(pid_t pid, int deadline_ms) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd exited = {pidfd, POLLIN, 0};
  const bool done = poll(&exited, 1, deadline_ms) == 1;
  close(pidfd);
  if (!done)
    return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

input_event ev(std::uint16_t type, std::uint16_t code, std::int32_t value) {
  input_event event = {};
  event.type = type;
  event.code = code;
  event.value = value;
  return event;
}

// One tap at a panel point, as a single-touch panel reports it.
void tap(int panel_fd, int x, int y) {
  const input_event events[] = {
      ev(EV_KEY, BTN_TOUCH, 1),  ev(EV_ABS, ABS_X, x),     ev(EV_ABS, ABS_Y, y),
      ev(EV_SYN, SYN_REPORT, 0), ev(EV_KEY, BTN_TOUCH, 0), ev(EV_SYN, SYN_REPORT, 0),
  };
  ASSERT_EQ(write(panel_fd, events, sizeof events), static_cast<ssize_t>(sizeof events));
}

// Everything that reaches the console until it holds `want` bytes or the
// deadline passes.
std::string read_console(int console_fd, std::size_t want, std::int64_t deadline_ms) {
  std::string text;
  while (text.size() < want) {
    pollfd console = {console_fd, POLLIN, 0};
    if (poll_until(console, deadline_ms) != 1)
      break;
    char chunk[64];
    const ssize_t got = read(console_fd, chunk, sizeof chunk);
    if (got <= 0)
      break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
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
  termios mode;
  ASSERT_EQ(tcgetattr(console, &mode), 0);
  cfmakeraw(&mode);
  ASSERT_EQ(tcsetattr(console, TCSANOW, &mode), 0);

  // Panel ranges under which keypad x = 250 + panel x and y = 150 + panel y.
  int panel[2];
  ASSERT_EQ(pipe(panel), 0);
  const int null_fd = open("/dev/null", O_RDWR);
  const pid_t bridge =
      start(TOUCHKEY_BRIDGE, {"--device", "/dev/stdin", "--x-range", "0,3599", "--y-range", "0,3849"},
            panel[0], null_fd);
  close(panel[0]);

  // A tap on 'z' while no daemon reads: the bridge writes it, then takes it back.
  const int inotify = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(inotify, "/dev/tsdev", IN_MODIFY | IN_ACCESS), -1);
  tap(panel[1], 50, 1350);
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
  EXPECT_GE(taken - written, 250);
  std::printf("stale tap on 'z' written, taken back after %lld ms unread\n",
              static_cast<long long>(taken - written));
  close(tsdev);
  close(inotify);

  // The daemon goes into the background with its one line.
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t daemon = start(TOUCHKEYD, {}, null_fd, report[1]);
  close(report[1]);
  ASSERT_EQ(wait_for_exit(daemon, 5000), 0);
  char line[128] = {};
  ASSERT_GT(read(report[0], line, sizeof line - 1), 0);
  close(report[0]);
  const char* pid_text = std::strstr(line, "with PID ");
  ASSERT_NE(pid_text, nullptr) << line;
  const auto background_pid =
      static_cast<pid_t>(std::strtol(pid_text + std::strlen("with PID "), nullptr, 10));
  ASSERT_GT(background_pid, 0) << line;
  std::printf("touchkeyd: %s", line);

  // "hi", Enter: h and i in the top row, Enter at the left of the third.
  tap(panel[1], 1523, 850);
  tap(panel[1], 1250, 850);
  tap(panel[1], 450, 2350);
  const std::string typed = read_console(console, 3, monotonic_ms() + 5000);
  std::printf("typed on the console: \"%s\"\n", visible(typed).c_str());
  // The stale 'z' would have come first: the FIFO keeps its order.
  EXPECT_EQ(typed, "hi\n");

  kill(background_pid, SIGTERM);
  kill(bridge, SIGTERM);
  EXPECT_EQ(wait_for_exit(bridge, 5000), 0);
  struct stat st;
  ASSERT_EQ(lstat("/dev/tsdev", &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  close(panel[1]);
  close(null_fd);
  close(console);
}

}  // namespace
