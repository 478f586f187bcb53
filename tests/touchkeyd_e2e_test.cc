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
#include <filesystem>
#include <fstream>
#include <linux/vt.h>
#include <map>
#include <regex>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "key_regions.h"
#include "test_support.h"
#include "touch_record.h"

namespace {

// strace's fault injection: every process-creating call fails.
constexpr const char* forks_fail = "inject=fork,vfork,clone,clone3:error=EAGAIN";

int env_fd(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<int>(std::strtol(value, nullptr, 10)) : -1;
}

// The program with nothing from the test's environment: a sanitizer build's
// leak check cannot run under strace and would add its complaint to standard error.
spawn_request without_env(std::vector<std::string> args, bool empty_argv = false) {
  static const std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};
  return {.argv = std::move(args), .env = &env, .empty_argv = empty_argv};
}

// Waits until pid sleeps (state S) in the system call the kernel numbers
// `want`, or in any one when it is empty; returns the number, or "" at the
// deadline. /proc/PID/syscall starts with the number, or says "running".
std::string wait_until_sleeping(pid_t pid, const std::string& want = "") {
  for (int ms = 0; ms < default_timeout_ms; ++ms) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, stat_line;
    syscall >> number;
    std::getline(stat, stat_line);
    const std::size_t state = stat_line.rfind(") ");
    if (state != std::string::npos && stat_line[state + 2] == 'S' && number != "running" &&
        (want.empty() || number == want))
      return number;
    usleep(1000);
  }
  return "";
}

// The number the kernel shows for a read of ours: SYS_read natively, but under
// qemu-user the read the kernel sees is the emulator's own, numbered as on
// the machine. Learnt from a child that sleeps reading an empty pipe.
const std::string& kernel_read_number() {
  static const std::string number = [] {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == -1)
      std::abort();
    const pid_t child = fork();
    if (child == 0) {
      close(ends[1]);
      char c;
      _exit(static_cast<int>(read(ends[0], &c, 1)));
    }
    std::string seen = wait_until_sleeping(child);
    close(ends[1]);
    waitpid(child, nullptr, 0);
    close(ends[0]);
    return seen;
  }();
  return number;
}

// Whether the kernel sees this program's system calls as they are made: not
// when an emulator translates them, and then strace would follow the emulator's.
bool calls_seen_as_made() { return kernel_read_number() == std::to_string(SYS_read); }

// Waits until pid sleeps inside read(2). Closing a pty master fails a read
// that is under way with EIO; a read begun after the hang-up sees end of file
// instead, and the daemon re-reads that without end.
bool blocked_in_read(pid_t pid) { return !wait_until_sleeping(pid, kernel_read_number()).empty(); }

// Every orphaned daemon must become the test's child. qemu-user 7.2 has no
// PR_SET_CHILD_SUBREAPER; there the test goes on as the init of new PID and
// mount namespaces (with their own /proc), which adopts orphans just the same.
const bool adopts_orphans = [] {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) == 0)
    return true;
  if (unshare(CLONE_NEWPID | CLONE_NEWNS) == -1)
    return false;
  const pid_t init = fork();
  if (init > 0) {
    int status = 0;
    waitpid(init, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return init == 0 && mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
}();

bool has_children() {
  int status;
  return waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

void write_record(int fd, touch_record r) { ASSERT_EQ(write(fd, &r, sizeof r), 8); }

// The record of a pen-up in the middle of key's region.
touch_record pen_up_on(char key) {
  touch_record up = {};
  key_centre(static_cast<unsigned char>(key), up.x, up.y);
  return up;
}

// Pen down then pen up in the middle of each key; a no-key pen-up after each
// lets the same key be typed again at once.
void type_text(int fd, const std::string& text) {
  touch_record blank = {};
  no_key_point(blank.x, blank.y);
  for (const char key : text) {
    touch_record up = pen_up_on(key);
    write_record(fd, {200, up.x, up.y, 0});
    write_record(fd, up);
    write_record(fd, blank);
  }
}

// A new raw pty bound onto /dev/tsdev, over whatever is there, so that
// closing its master makes the daemon's next read fail. Returns the master.
int bind_touch_pty() {
  std::string slave_path;
  const int master = open_raw_pty(slave_path);
  if (master == -1 || mount(slave_path.c_str(), "/dev/tsdev", nullptr, MS_BIND, nullptr) == -1)
    return -1;
  return master;
}

// A device taken away: opening its path fails with ENOENT until it is put
// back. A pty slave bound on it is bound again afterwards.
struct hidden_device {
  std::string path;
  std::string bound_from;  // the pty slave that was bound on it, if any
};

// The pty slave bound on `path` last, from the mount table.
std::string bound_pty(const std::string& path) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string bound;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mount_point;
    fields >> id >> parent >> device >> root >> mount_point;
    if (mount_point == path && line.find(" - devpts ") != std::string::npos)
      bound = "/dev/pts" + root;
  }
  return bound;
}

hidden_device hide_device(const std::string& path) {
  hidden_device h = {path, bound_pty(path)};
  while (umount2(path.c_str(), MNT_DETACH) == 0) {
  }
  if (rename(path.c_str(), (path + ".aside").c_str()) == -1)
    ADD_FAILURE() << path << ": " << std::strerror(errno);
  return h;
}

void restore_device(const hidden_device& h) {
  unlink(h.path.c_str());  // whatever a test put there meanwhile
  EXPECT_EQ(rename((h.path + ".aside").c_str(), h.path.c_str()), 0) << h.path;
  if (!h.bound_from.empty()) {
    EXPECT_EQ(mount(h.bound_from.c_str(), h.path.c_str(), nullptr, MS_BIND, nullptr), 0) << h.bound_from;
  }
}

class Touchkeyd : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(std::getenv("TOUCHKEY_CONSOLE"), nullptr) << "run this test inside touchkey-sandbox";
    ASSERT_TRUE(adopts_orphans);
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
    const char* console_path = std::getenv("TOUCHKEY_CONSOLE");
    ASSERT_NE(console_path, nullptr);
    console = open(console_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(console, 0) << std::strerror(errno);
    ASSERT_TRUE(make_raw(console, &console_mode));
    tcflush(console, TCIFLUSH);
  }

  // Whatever a test started, reported or not, ends with it.
  void TearDown() override {
    std::ifstream children("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (pid_t pid; children >> pid;)
      kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    // Back to the sandbox's own touchscreen.
    for (; touch_ptys > 0; --touch_ptys)
      umount2("/dev/tsdev", MNT_DETACH);
    tcflush(console, TCIFLUSH);
    tcsetattr(console, TCSANOW, &console_mode);
    close(console);
    if (touch >= 0 && touch != env_fd("TOUCHKEY_TOUCH_MASTER_FD"))
      close(touch);
  }

  // The background PID from a started daemon's report line, checked.
  static pid_t start_in_background(const spawned& r) {
    const std::string line = read_line(r.out);
    const pid_t pid = reported_pid(line, TOUCHKEYD_PATH);
    EXPECT_GT(pid, 0) << "report line: " << line;
    return pid;
  }

  int bind_touch_pty_for_test() {
    const int master = bind_touch_pty();
    touch_ptys += master >= 0;
    return master;
  }

  int touch = -1;
  int touch_ptys = 0;
  int console = -1;
  termios console_mode = {};
};

// The report names the background process, the foreground is gone while the
// background waits for touches, and taps arrive as typed keys.
TEST_F(Touchkeyd, TypesIntoTheConsole) {
  if (!pushed_keys_arrive_intact(console))
    GTEST_SKIP() << pushed_keys_broken;
  spawned r = spawn(without_env({TOUCHKEYD_PATH, "--extra", "arguments"}));
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(wait_exit(r.pid), 0);
  ASSERT_GT(pid, 0);
  // Still there, and ours to reap: the very process the report named.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
  EXPECT_EQ(read_file("/proc/" + std::to_string(pid) + "/comm"), "touchkeyd\n");

  const std::string text = "amnz0|5 \b\n";
  type_text(touch, text);
  EXPECT_EQ(read_some(console, text.size()), text);

  // Exactly one line was printed, by the foreground alone.
  kill(pid, SIGKILL);
  EXPECT_EQ(wait_exit(pid), 128 + SIGKILL);
  EXPECT_EQ(read_all(r.out), "");
  EXPECT_EQ(read_all(r.err), "");
}

// Puts the console that was in front back in front, however the test ends.
struct console_in_front_restored {
  int fd;
  unsigned short vt;
  ~console_in_front_restored() {
    ioctl(fd, VT_ACTIVATE, vt);
    ioctl(fd, VT_WAITACTIVE, vt);
  }
};

// Keys follow the virtual console in front: after a switch to a free console
// the next key goes there, and after the switch back the one after goes to
// the first console again. Only on the machine's own console.
TEST_F(Touchkeyd, FollowsTheConsoleInFront) {
  vt_stat state = {};
  if (ioctl(console, VT_GETSTATE, &state) == -1)
    GTEST_SKIP() << "the console is no virtual console";
  if (!pushed_keys_arrive_intact(console))
    GTEST_SKIP() << pushed_keys_broken;
  // A console nobody has open, in the sandbox's own /dev.
  int free_vt = 0;
  ASSERT_EQ(ioctl(console, VT_OPENQRY, &free_vt), 0) << std::strerror(errno);
  ASSERT_GT(free_vt, 0);
  const std::string other_path = "/dev/tty" + std::to_string(free_vt);
  ASSERT_EQ(mknod(other_path.c_str(), S_IFCHR | 0600, makedev(4, free_vt)), 0) << std::strerror(errno);
  const int other = open(other_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0) << std::strerror(errno);
  termios other_mode = {};
  ASSERT_TRUE(make_raw(other, &other_mode));

  spawned r = spawn(without_env({TOUCHKEYD_PATH}));
  start_in_background(r);
  EXPECT_EQ(wait_exit(r.pid), 0);
  type_text(touch, "a");
  EXPECT_EQ(read_some(console, 1), "a");
  {
    const console_in_front_restored restored = {console, state.v_active};
    ASSERT_EQ(ioctl(console, VT_ACTIVATE, free_vt), 0) << std::strerror(errno);
    ASSERT_EQ(ioctl(console, VT_WAITACTIVE, free_vt), 0) << std::strerror(errno);
    type_text(touch, "b");
    EXPECT_EQ(read_some(other, 1), "b");
  }
  type_text(touch, "c");
  EXPECT_EQ(read_some(console, 1), "c");
  EXPECT_EQ(read_some(other, 1, false, 100), "");
  EXPECT_EQ(read_some(r.err, 1, false, 100), "");

  tcsetattr(other, TCSANOW, &other_mode);
  close(other);
  unlink(other_path.c_str());
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
    spawned r = spawn(without_env(c.args, c.empty_argv));
    const std::string line = read_line(r.out);
    close_pipes(r);
    EXPECT_EQ(wait_exit(r.pid), 0);
    bool named = false;
    for (const std::string& name : c.names)
      named = named || reported_pid(line, name) > 0;
    EXPECT_TRUE(named) << line;
  }
}

// A console that refuses TIOCSTI (a plain file) is reported per key and the
// loop goes on.
TEST_F(Touchkeyd, FailedInjectionIsReportedAndLoopGoesOn) {
  const hidden_device console_device = hide_device("/dev/tty0");
  const int plain_file = open("/dev/tty0", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(plain_file, 0);
  close(plain_file);
  spawned r = spawn(without_env({TOUCHKEYD_PATH}));
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(wait_exit(r.pid), 0);  // the background is the test's own child from here on
  const std::string refused = "Sending keystroke: Inappropriate ioctl for device\n";
  type_text(touch, "a");
  EXPECT_EQ(read_line(r.err), refused);
  type_text(touch, "a");
  EXPECT_EQ(read_line(r.err), refused);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the loop must still run";
  restore_device(console_device);
  close_pipes(r);
}

// With nobody left to read its standard error, a failed keystroke's message
// must not end the daemon (SIGPIPE): it reads every record after it. A FIFO
// touchscreen shows what was read.
TEST_F(Touchkeyd, OutlivesTheReaderOfItsStandardError) {
  if (env_fd("TOUCHKEY_TOUCH_MASTER_FD") >= 0)
    GTEST_SKIP() << "needs a FIFO touchscreen";
  const hidden_device console_device = hide_device("/dev/tty0");
  write_file("/dev/tty0", "", 0600);  // a plain file refuses every keystroke
  spawned r = spawn(without_env({TOUCHKEYD_PATH}));
  close(r.err);
  r.err = -1;
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(wait_exit(r.pid), 0);  // the background is the test's own child from here on
  const int reads = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(inotify_add_watch(reads, "/dev/tsdev", IN_ACCESS), -1);
  type_text(touch, "aa");
  const std::int64_t deadline = monotonic_ms() + default_timeout_ms;
  int unread = -1;
  while (ioctl(touch, FIONREAD, &unread) == 0 && unread > 0 && wait_for_inotify(reads, IN_ACCESS, deadline)) {
  }
  EXPECT_EQ(unread, 0);
  // Back in its read: both keystrokes were refused and their messages written.
  EXPECT_TRUE(blocked_in_read(pid));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the daemon has ended";
  close(reads);
  restore_device(console_device);
  close_pipes(r);
}

// With a pty as the touchscreen, closing its master makes the daemon's read
// fail: the background reports it and exits 0.
TEST_F(Touchkeyd, ReadFailureEndsBackground) {
  if (!pushed_keys_arrive_intact(console))
    GTEST_SKIP() << pushed_keys_broken;
  const int master = bind_touch_pty_for_test();
  ASSERT_GE(master, 0) << std::strerror(errno);
  touch = master;
  spawned r = spawn(without_env({TOUCHKEYD_PATH}));
  const pid_t pid = start_in_background(r);
  EXPECT_EQ(wait_exit(r.pid), 0);
  type_text(touch, "z");
  EXPECT_EQ(read_some(console, 1), "z");
  ASSERT_TRUE(blocked_in_read(pid));
  close(master);
  touch = -1;
  EXPECT_EQ(read_line(r.err), "Reading from touchscreen: Input/output error\n");
  EXPECT_EQ(wait_exit(pid), 0);
  close_pipes(r);
}

}  // namespace

namespace {

// The calls on the two devices, in order, from one process's strace log,
// with descriptors named by what they were opened on. `open_fds` starts with
// what the process inherited; `at_fork` gets what it had open when it forked.
std::vector<std::string> device_calls(const std::string& log_path, std::map<int, std::string> open_fds,
                                      std::map<int, std::string>& at_fork) {
  const std::regex open_call(R"re(^open(at)?\((AT_FDCWD, )?"(/dev/\w+)", (\w+)\) = (-?\d+).*)re");
  const std::regex fd_call(R"(^(close|ioctl|read)\((\d+)(, ([^,]*))?.* = (-?\d+)( (\w+))?.*)");
  std::vector<std::string> calls;
  std::ifstream log(log_path);
  for (std::string line; std::getline(log, line);) {
    std::smatch m;
    if (std::regex_match(line, m, open_call)) {
      const int fd = std::stoi(m[5]);
      calls.push_back("open " + m[3].str() + " " + m[4].str() + (fd < 0 ? " failed" : ""));
      if (fd >= 0)
        open_fds[fd] = m[3];
    } else if (std::regex_match(line, m, fd_call) && open_fds.contains(std::stoi(m[2]))) {
      const int fd = std::stoi(m[2]);
      std::string call = m[1].str() + " " + open_fds[fd];
      // A request number that several drivers share is named with all its
      // names ("VBG_IOCTL_VMMDEV_REQUEST_BIG or VT_GETSTATE"); the console's comes last.
      if (m[1] == "ioctl") {
        const std::string name = m[4];
        const std::size_t last = name.rfind(" or ");
        call += " " + (last == std::string::npos ? name : name.substr(last + 4));
      }
      if (m[1] == "read")
        call += m[5] == "-1" ? " " + m[7].str() : " " + m[5].str();
      calls.push_back(call);
      if (m[1] == "close")
        open_fds.erase(fd);
    } else if (line.rfind("clone", 0) == 0 || line.rfind("fork", 0) == 0) {
      calls.push_back(line.find("= -1") != std::string::npos ? "fork failed" : "fork");
      at_fork = open_fds;
    } else if (line.rfind("exit_group(", 0) == 0) {
      calls.push_back("exit " + line.substr(11, line.find(')') - 11));
    }
  }
  return calls;
}

// On every way out, the calls as the kernel saw them in both processes: the
// opens (flags 0 and nothing else), the fork, the calibration before the first
// read, the question for the console in front (failing on the sandbox's pty,
// which is typed into as it is) and the injection on the console, and the
// closes (console first). A device
// that cannot be opened, or a fork that fails, ends the program with its
// message and status 255; none leaves a process behind.
TEST_F(Touchkeyd, SystemCallsInOrder) {
  if (!calls_seen_as_made())
    GTEST_SKIP() << "under an emulator strace sees the emulator's system calls, not the daemon's";
  const std::vector<std::string> opened = {"open /dev/tsdev O_RDONLY", "open /dev/tty0 O_RDONLY"};
  const std::vector<std::string> closed = {"close /dev/tty0", "close /dev/tsdev"};
  auto join = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts)
      all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const struct {
    const char* name;
    const char* aside;  // this device is taken away for the run
    bool fork_fails;
    int status;
    const char* message;
    // The initializer lets cases leave background out without gcc's
    // -Wmissing-field-initializers.
    std::vector<std::string> foreground, background = {};  // NOLINT(readability-redundant-member-init)
  } cases[] = {
      {"touchscreen missing",
       "/dev/tsdev",
       false,
       255,
       "Failed to open the touchscreen device: No such file or directory\n",
       {"open /dev/tsdev O_RDONLY failed", "exit -1"}},
      {"console missing",
       "/dev/tty0",
       false,
       255,
       "Failed to open the terminal device: No such file or directory\n",
       {"open /dev/tsdev O_RDONLY", "open /dev/tty0 O_RDONLY failed", "close /dev/tsdev", "exit -1"}},
      {"fork fails", nullptr, true, 255, "Failed to fork: Resource temporarily unavailable\n",
       join({opened, {"fork failed"}, closed, {"exit -1"}})},
      {"typing until a read fails", nullptr, false, 0, "Reading from touchscreen: Input/output error\n",
       join({opened, {"fork"}, closed, {"exit 0"}}),
       join({{"ioctl /dev/tsdev _IOC(_IOC_NONE", "read /dev/tsdev 8", "ioctl /dev/tty0 VT_GETSTATE",
              "ioctl /dev/tty0 TIOCSTI", "read /dev/tsdev EIO"},
             closed,
             {"exit 0"}})},
  };
  for (const auto& c : cases) {
    const temp_dir logs;
    const hidden_device hidden = c.aside != nullptr ? hide_device(c.aside) : hidden_device{};
    const std::string log = logs / "log";
    std::vector<std::string> args = {"/usr/bin/strace", "-ff", "-qq", "-o", log};
    if (c.fork_fails)
      args.insert(args.end(), {"-e", forks_fail});
    args.push_back(TOUCHKEYD_PATH);
    // A background daemon needs a touchscreen whose end strace can wait for.
    const int master = c.background.empty() ? -1 : bind_touch_pty_for_test();
    spawned r = spawn(without_env(args));
    const pid_t pid = reported_pid(read_line(r.out), TOUCHKEYD_PATH);
    if (master >= 0) {
      write_record(master, pen_up_on('a'));
      EXPECT_EQ(read_some(console, 1), "a");
      EXPECT_TRUE(blocked_in_read(pid));
      close(master);  // the background's read fails; strace then ends
    }
    // strace ends with the foreground's status once every process it follows has ended.
    EXPECT_EQ(wait_exit(r.pid), c.status) << c.name;
    EXPECT_EQ(read_all(r.err), c.message) << c.name;
    EXPECT_EQ(read_all(r.out), "") << c.name;
    if (pid > 0) {
      EXPECT_EQ(wait_exit(pid), 0) << c.name;  // the background: ours, as the subreaper
    }
    EXPECT_FALSE(has_children()) << c.name;
    if (c.aside != nullptr)
      restore_device(hidden);

    // One log per process: the foreground's, and the background's if any.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logs.path))
      names.push_back(entry.path());
    const std::string background_log = log + "." + std::to_string(pid);
    std::map<int, std::string> handed_down;  // open in the foreground when it forked
    std::vector<std::string> foreground, background;
    for (const std::string& name : names)
      if (name != background_log)
        foreground = device_calls(name, {}, handed_down);
    if (pid > 0) {
      std::map<int, std::string> forked_again;  // the background never forks
      background = device_calls(background_log, handed_down, forked_again);
    }
    EXPECT_EQ(foreground, c.foreground) << c.name;
    EXPECT_EQ(background, c.background) << c.name;
    EXPECT_EQ(names.size(), pid > 0 ? 2u : 1u) << c.name;
  }
}

}  // namespace
