// touchkey-sandbox from outside: the command's status comes back, and nothing
// it started, nor any mount, outlives it, however the sandbox ends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// Host PIDs of the processes whose name is `name`.
std::vector<pid_t> processes_named(const std::string& name) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (const dirent* e = readdir(proc))
    if (e->d_name[0] >= '1' && e->d_name[0] <= '9' &&
        read_file(std::string("/proc/") + e->d_name + "/comm") == name + "\n")
      found.push_back(static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10)));
  closedir(proc);
  return found;
}

// Waits until the process has gone, by its pidfd; false after 5 s.
bool ends(pid_t pid) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd == -1)
    return true;  // already gone
  pollfd p = {fd, POLLIN, 0};
  const bool gone = poll(&p, 1, 5000) == 1;
  close(fd);
  return gone;
}

struct sandbox_run {
  pid_t pid;
  int in;   // the command's standard input
  int out;  // and output
};

sandbox_run start_sandbox(const std::string& script) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1)
    std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl(SANDBOX_PATH, SANDBOX_PATH, "--", "/bin/sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  return {pid, in[1], out[0]};
}

std::string read_line(int fd) {
  std::string line;
  char c;
  pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, 5000) == 1 && read(fd, &c, 1) == 1 && c != '\n')
    line += c;
  return line;
}

int status_of(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Sandbox : public testing::Test {
 protected:
  void SetUp() override {
    // The daemon under a name no other process has, to find it from outside.
    dir = std::string(testing::TempDir()) + "sandbox-test-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    name = "tkd" + std::to_string(getpid() % 1000000);
    daemon = dir + "/" + name;
    ASSERT_EQ(symlink(TOUCHKEYD_PATH, daemon.c_str()), 0);
    mounts_before = read_file("/proc/self/mountinfo");
    had_tsdev = access("/dev/tsdev", F_OK) == 0;
  }
  void TearDown() override {
    unlink(daemon.c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before) << "a mount was left behind";
    EXPECT_EQ(access("/dev/tsdev", F_OK) == 0, had_tsdev) << "the machine's /dev was touched";
  }

  // Starts the daemon in the sandbox and says "ready" once it runs.
  std::string start_daemon_then(const std::string& rest) {
    return "exec 7<>/dev/tsdev; " + daemon + " >/dev/null && echo ready; " + rest;
  }

  std::string dir, name, daemon, mounts_before;
  bool had_tsdev = false;
};

TEST_F(Sandbox, CommandStatusComesBack) {
  const struct {
    const char* script;
    int status;
  } cases[] = {{"exit 0", 0},
               {"exit 3", 3},
               {"kill -TERM $$", 128 + SIGTERM},
               {"test -p /dev/tsdev && test -c /dev/tty0 && test -c /dev/null", 0},
               {"test \"$(stat -c %a /dev/tsdev)\" = 600", 0},
               {"exec /nonexistent", 127}};
  for (const auto& c : cases) {
    const sandbox_run r = start_sandbox(c.script);
    close(r.in);
    EXPECT_EQ(status_of(r.pid), c.status) << c.script;
    close(r.out);
  }
}

// A command run in another sandbox has that one's variables; they name its
// descriptors and shell, none of which exist in a new sandbox.
TEST_F(Sandbox, PassesOnNoneOfAnOuterSandboxsVariables) {
  setenv("TOUCHKEY_TOUCH_MASTER_FD", "0", 1);
  setenv("TOUCHKEY_SHELL_PID", "1", 1);
  const sandbox_run r =
      start_sandbox("echo \"${TOUCHKEY_TOUCH_MASTER_FD-unset} ${TOUCHKEY_SHELL_PID-unset}\"");
  unsetenv("TOUCHKEY_TOUCH_MASTER_FD");
  unsetenv("TOUCHKEY_SHELL_PID");
  close(r.in);
  EXPECT_EQ(read_line(r.out), "unset unset");
  EXPECT_EQ(status_of(r.pid), 0);
  close(r.out);
}

// However the sandbox ends, the daemon the command started ends with it.
TEST_F(Sandbox, NothingOutlivesIt) {
  const struct {
    const char* how;
    std::string script;
    int signal;  // sent to the sandbox once the daemon runs; 0: the command is let go
    int status;
  } cases[] = {
      {"the command returns", start_daemon_then("read go; exit 5"), 0, 5},
      {"the sandbox is interrupted", start_daemon_then("read go"), SIGINT, 128 + SIGKILL},
      {"the sandbox is terminated", start_daemon_then("read go"), SIGTERM, 128 + SIGKILL},
      {"the sandbox is killed", start_daemon_then("read go"), SIGKILL, 128 + SIGKILL},
  };
  for (const auto& c : cases) {
    const sandbox_run r = start_sandbox(c.script);
    ASSERT_EQ(read_line(r.out), "ready") << c.how;
    const std::vector<pid_t> daemons = processes_named(name);
    EXPECT_EQ(daemons.size(), 1u) << c.how;
    if (c.signal != 0)
      kill(r.pid, c.signal);
    else
      EXPECT_EQ(write(r.in, "go\n", 3), 3);
    close(r.in);
    EXPECT_EQ(status_of(r.pid), c.signal == SIGKILL ? 128 + SIGKILL : c.status) << c.how;
    for (pid_t pid : daemons)
      EXPECT_TRUE(ends(pid)) << c.how;
    EXPECT_TRUE(processes_named(name).empty()) << c.how;
    close(r.out);
  }
}

}  // namespace
