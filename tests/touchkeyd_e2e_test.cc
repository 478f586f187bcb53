// The real touchkeyd binary, end to end, inside touchkey-sandbox: a FIFO or
// pty as /dev/tsdev and a pty (or the kernel's console) as /dev/tty0.
// The test process is a child subreaper, so every background daemon becomes
// its child once the foreground exits: it can be reaped, its status read, and
// it is killed at the end of every test.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "key_loop.h"

namespace {

constexpr int wait_ms = 5000;  // a deadline for events, never a pause

int env_fd(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : -1;
}

// Everything a started daemon left for the test to look at.
struct run {
  pid_t foreground = -1;
  int out = -1;  // read ends of its standard output and error
  int err = -1;
};

run start_daemon(std::vector<std::string> args, bool empty_argv = false) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1)
    std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> argv;
    if (!empty_argv)
      for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char* no_env[] = {nullptr};
    execve(args[0].c_str(), argv.data(), no_env);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}


// Reads from fd until `want` bytes or a line feed (when `line`) arrive, or
// the deadline passes.
std::string read_from(int fd, std::size_t want, bool line = false) {
  std::string got;
  while (got.size() < want && !(line && !got.empty() && got.back() == '\n')) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
      break;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0)
      break;
    got += c;
  }
  return got;
}

std::string read_line(int fd) { return read_from(fd, 4096, true); }

int exit_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid)
    return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The background PID named in the report line, or -1.
pid_t reported_pid(const std::string& line, const std::string& name) {
  std::smatch m;
  const std::regex report(std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          " sent into background with PID ([0-9]+)\n");
  return std::regex_match(line, m, report) ? std::stoi(m[1]) : -1;
}

bool has_children() {
  int status;
  return waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

void write_record(int fd, touch_record r) { ASSERT_EQ(write(fd, &r, sizeof r), 8); }

// Pen down then pen up at (x, y); a no-key pen-up after it lets the same key
// be typed again at once.
void tap(int fd, std::int16_t x, std::int16_t y) {
  write_record(fd, {200, x, y, 0});
  write_record(fd, {0, x, y, 0});
  write_record(fd, {0, 5000, 5000, 0});
}

struct key_point {
  char key;
  std::int16_t x, y;
};
// One key of each row and of each end, and the three wide keys.
constexpr key_point keys[] = {{'a', 3700, 1000}, {'m', 300, 1000}, {'n', 3700, 1500}, {'z', 300, 1500},
                              {'0', 3700, 3500}, {'|', 300, 3500}, {'5', 2300, 3500}, {' ', 2000, 2500},
                              {'\n', 500, 2500}, {'\b', 3000, 2500}};

void type_text(int fd, const std::string& text) {
  for (char c : text)
    for (const key_point& k : keys)
      if (k.key == c)
        tap(fd, k.x, k.y);
}

// A new raw pty bound onto /dev/tsdev, so that closing its master makes the
// daemon's next read fail. Returns the master.
int bind_touch_pty() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master == -1 || grantpt(master) == -1 || unlockpt(master) == -1)
    return -1;
  const std::string slave_path = ptsname(master);
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  close(slave);
  umount2("/dev/tsdev", MNT_DETACH);  // a pty bound earlier, if any
  if (mount(slave_path.c_str(), "/dev/tsdev", nullptr, MS_BIND, nullptr) == -1)
    return -1;
  return master;
}

class Touchkeyd : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(std::getenv("TOUCHKEY_CONSOLE"), nullptr) << "run this test inside touchkey-sandbox";
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    // The daemons must not inherit the pty masters, or a closed master
    // would stay open through them.
    for (const char* name : {"TOUCHKEY_TOUCH_MASTER_FD", "TOUCHKEY_CONSOLE_MASTER_FD"})
      if (env_fd(name) >= 0)
        fcntl(env_fd(name), F_SETFD, FD_CLOEXEC);
  }

  void SetUp() override {
    touch = env_fd("TOUCHKEY_TOUCH_MASTER_FD");
    if (touch < 0)
      touch = open("/dev/tsdev", O_RDWR | O_CLOEXEC);  // read-write: the daemon's open won't wait
    ASSERT_GE(touch, 0);
    console = open(std::getenv("TOUCHKEY_CONSOLE"), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(console, 0) << std::strerror(errno);
    ASSERT_EQ(tcgetattr(console, &console_mode), 0);
    termios raw = console_mode;
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(console, TCSANOW, &raw), 0);
    tcflush(console, TCIFLUSH);
  }

  // Whatever a test started, reported or not, ends with it.
  void TearDown() override {
    std::ifstream children("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (pid_t pid; children >> pid;)
      kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    tcflush(console, TCIFLUSH);
    tcsetattr(console, TCSANOW, &console_mode);
    close(console);
    if (touch >= 0 && touch != env_fd("TOUCHKEY_TOUCH_MASTER_FD"))
      close(touch);
  }

  // Starts the daemon and returns its background PID, checking the report.
  pid_t start_in_background(run& r, const std::string& name = TOUCHKEYD_PATH) {
    const std::string line = read_line(r.out);
    const pid_t pid = reported_pid(line, name);
    EXPECT_GT(pid, 0) << "report line: " << line;
    return pid;
  }

  int touch = -1;
  int console = -1;
  termios console_mode = {};
};

// The report names the background process, the foreground is gone while the
// background waits for touches, and taps arrive as typed keys.
TEST_F(Touchkeyd, TypesIntoTheConsole) {
  run r = start_daemon({TOUCHKEYD_PATH, "--extra", "arguments"});
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(exit_status(r.foreground), 0);
  ASSERT_GT(pid, 0);
  // Still there, and ours to reap: the very process the report named.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(name, "touchkeyd");

  const std::string text = "amnz0|5 \b\n";
  type_text(touch, text);
  EXPECT_EQ(read_from(console, text.size()), text);

  // Exactly one line was printed, by the foreground alone.
  kill(pid, SIGKILL);
  EXPECT_EQ(exit_status(pid), -SIGKILL);
  EXPECT_EQ(read_from(r.out, 4096), "");
  EXPECT_EQ(read_from(r.err, 4096), "");
}

// The name is argv[0] as given. An empty argument vector has a null argv[0],
// printed as "(null)"; kernels since 5.18 hand such a program an argv[0] of ""
// instead, so either name is right, and neither may crash the report.
TEST_F(Touchkeyd, ReportNamesArgvZero) {
  const struct {
    std::vector<std::string> args;
    bool empty_argv;
    std::vector<std::string> names;
  } cases[] = {
      {{TOUCHKEYD_PATH, "-x"}, false, {TOUCHKEYD_PATH}},
      {{TOUCHKEYD_PATH}, true, {"(null)", ""}},
  };
  for (const auto& c : cases) {
    run r = start_daemon(c.args, c.empty_argv);
    const std::string line = read_line(r.out);
    EXPECT_EQ(exit_status(r.foreground), 0);
    bool named = false;
    for (const std::string& name : c.names)
      named = named || reported_pid(line, name) > 0;
    EXPECT_TRUE(named) << line;
  }
}

// A device that cannot be opened, or a fork that fails, ends the program with
// its message and status 255, and leaves no process behind.
TEST_F(Touchkeyd, StartupFailures) {
  const struct {
    const char* name;
    const char* aside;  // this device is taken away for the run
    bool fork_fails;
    const char* message;
  } cases[] = {
      {"touchscreen missing", "/dev/tsdev", false, "Failed to open the touchscreen device: No such file or directory\n"},
      {"console missing", "/dev/tty0", false, "Failed to open the terminal device: No such file or directory\n"},
      {"fork fails", nullptr, true, "Failed to fork: Resource temporarily unavailable\n"},
  };
  for (const auto& c : cases) {
    const std::string moved = c.aside != nullptr ? std::string(c.aside) + ".aside" : "";
    // The console pty is bound onto /dev/tty0: unbound first, bound again after.
    const bool bound = c.aside != nullptr && umount2(c.aside, MNT_DETACH) == 0;
    if (c.aside != nullptr) {
      ASSERT_EQ(rename(c.aside, moved.c_str()), 0) << std::strerror(errno);
    }
    // strace makes every process-creating call fail; its own report goes nowhere.
    run r = c.fork_fails ? start_daemon({"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e",
                                         "inject=fork,vfork,clone,clone3:error=EAGAIN", TOUCHKEYD_PATH})
                         : start_daemon({TOUCHKEYD_PATH});
    EXPECT_EQ(exit_status(r.foreground), 255) << c.name;
    EXPECT_EQ(read_from(r.err, 4096), c.message) << c.name;
    EXPECT_EQ(read_from(r.out, 4096), "") << c.name;
    EXPECT_FALSE(has_children()) << c.name;
    if (c.aside != nullptr) {
      ASSERT_EQ(rename(moved.c_str(), c.aside), 0);
    }
    if (bound) {
      ASSERT_EQ(mount(std::getenv("TOUCHKEY_CONSOLE"), c.aside, nullptr, MS_BIND, nullptr), 0);
    }
  }
}

// A console that refuses TIOCSTI (a plain file) is reported per key and the
// loop goes on.
TEST_F(Touchkeyd, FailedInjectionIsReportedAndLoopGoesOn) {
  ASSERT_EQ(umount2("/dev/tty0", MNT_DETACH), 0) << "/dev/tty0 should be a bound pty";
  run r = start_daemon({TOUCHKEYD_PATH});
  const pid_t pid = start_in_background(r);
  const std::string refused = "Sending keystroke: Inappropriate ioctl for device\n";
  type_text(touch, "a");
  EXPECT_EQ(read_line(r.err), refused);
  type_text(touch, "a");
  EXPECT_EQ(read_line(r.err), refused);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the loop must still run";
  ASSERT_EQ(mount(std::getenv("TOUCHKEY_CONSOLE"), "/dev/tty0", nullptr, MS_BIND, nullptr), 0);
}

// With a pty as the touchscreen, closing its master makes the daemon's read
// fail: the background reports it and exits 0.
TEST_F(Touchkeyd, ReadFailureEndsBackground) {
  const int master = bind_touch_pty();
  ASSERT_GE(master, 0) << std::strerror(errno);
  touch = master;
  run r = start_daemon({TOUCHKEYD_PATH});
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(exit_status(r.foreground), 0);
  type_text(touch, "z");
  EXPECT_EQ(read_from(console, 1), "z");
  close(master);
  touch = -1;
  EXPECT_EQ(read_line(r.err), "Reading from touchscreen: Input/output error\n");
  EXPECT_EQ(exit_status(pid), 0);
}

}  // namespace
