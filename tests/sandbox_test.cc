// touchkey-sandbox from outside: the command's status comes back, and nothing
// it started, nor any mount, outlives it, however the sandbox ends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_support.h"

namespace {

// Host PIDs of the processes whose name is `name`.
std::vector<pid_t> processes_named(const std::string& name) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid[0] >= '1' && pid[0] <= '9' && read_file(entry.path() / "comm") == name + "\n")
      found.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return found;
}

// The shell script in the sandbox, with pipes to its standard input and output.
spawn_request sandboxed(const std::string& script) {
  return {.argv = {SANDBOX_PATH, "--", "/bin/sh", "-c", script}, .in = new_pipe, .err = inherited};
}

struct Sandbox : testing::Test {
  void SetUp() override {
    // The daemon under a name no other process has, to find it from outside.
    ASSERT_EQ(symlink(TOUCHKEYD_PATH, daemon.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before) << "a mount was left behind";
    EXPECT_EQ(access("/dev/tsdev", F_OK) == 0, had_tsdev) << "the machine's /dev was touched";
  }

  // Starts the daemon in the sandbox and says "ready" once it runs.
  std::string start_daemon_then(const std::string& rest) const {
    return "exec 7<>/dev/tsdev; " + daemon + " >/dev/null && echo ready; " + rest;
  }

  temp_dir dir;
  std::string name = "tkd" + std::to_string(getpid() % 1000000);
  std::string daemon = dir / name;
  std::string mounts_before = read_file("/proc/self/mountinfo");
  bool had_tsdev = access("/dev/tsdev", F_OK) == 0;
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
  for (const auto& c : cases)
    EXPECT_EQ(run_to_end(sandboxed(c.script)).status, c.status) << c.script;
}

// A command run in another sandbox has that one's variables; they name its
// descriptors and shell, none of which exist in a new sandbox.
TEST_F(Sandbox, PassesOnNoneOfAnOuterSandboxsVariables) {
  setenv("TOUCHKEY_TOUCH_MASTER_FD", "0", 1);
  setenv("TOUCHKEY_SHELL_PID", "1", 1);
  const finished r =
      run_to_end(sandboxed("echo \"${TOUCHKEY_TOUCH_MASTER_FD-unset} ${TOUCHKEY_SHELL_PID-unset}\""));
  unsetenv("TOUCHKEY_TOUCH_MASTER_FD");
  unsetenv("TOUCHKEY_SHELL_PID");
  EXPECT_EQ(r.out, "unset unset\n");
  EXPECT_EQ(r.status, 0);
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
    spawned r = spawn(sandboxed(c.script));
    ASSERT_EQ(read_line(r.out), "ready\n") << c.how;
    const std::vector<pid_t> daemons = processes_named(name);
    EXPECT_EQ(daemons.size(), 1u) << c.how;
    if (c.signal != 0)
      kill(r.pid, c.signal);
    else
      EXPECT_EQ(write(r.in, "go\n", 3), 3);
    EXPECT_EQ(wait_exit(r.pid), c.status) << c.how;
    close_pipes(r);
    for (pid_t pid : daemons)
      EXPECT_TRUE(ends_within(pid)) << c.how;
    EXPECT_TRUE(processes_named(name).empty()) << c.how;
  }
}

}  // namespace
