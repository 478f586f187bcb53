// touchkey-tap, the built program, against real paths: FIFOs with and without
// a reader, ptys nobody reads, missing and unwritable paths, standard output,
// and its statuses.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tap_records.h"
#include "test_support.h"

// Found by the vector comparisons below, so it lives beside touch_record.
bool operator==(const touch_record& a, const touch_record& b) {
  return a.pressure == b.pressure && a.x == b.x && a.y == b.y && a.millisecs == b.millisecs;
}

namespace {

// Longer than the tool ever waits on its own: past it, the tool has hung.
constexpr int hang_deadline_ms = 20000;

struct run_result {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out, err;
  long elapsed_ms = 0;
};

// Runs touchkey-tap with `args`. Without DAC override even root must respect
// a file's mode bits, which is how "not writable" is made for root too.
run_result run_tap(const std::vector<std::string>& args, bool without_dac_override = false) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) == -1 || pipe2(err_pipe, O_CLOEXEC) == -1)
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (without_dac_override && getuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == -1)
      _exit(125);
    std::vector<char*> argv = {const_cast<char*>(TAP_PATH)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TAP_PATH, argv.data());
    _exit(126);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  run_result result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const long spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    if (spent >= hang_deadline_ms || poll(fds, 2, static_cast<int>(hang_deadline_ms - spent)) <= 0) {
      ADD_FAILURE() << "touchkey-tap did not finish within " << hang_deadline_ms << " ms";
      kill(child, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (const pollfd& p : fds)
    if (p.fd >= 0)
      close(p.fd);
  int status = 0;
  waitpid(child, &status, 0);
  result.elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  return result;
}

// The records in `bytes`, with the stamps cleared (the tool stamps at write time).
std::vector<touch_record> records_in(const std::string& bytes) {
  EXPECT_EQ(bytes.size() % sizeof(touch_record), 0u);
  std::vector<touch_record> records(bytes.size() / sizeof(touch_record));
  std::memcpy(records.data(), bytes.data(), records.size() * sizeof(touch_record));
  for (touch_record& r : records)
    r.millisecs = 0;
  return records;
}

class tap_tool : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/touchkey-tap-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    for (const char* name : {"/fifo", "/file", "/readonly"})
      unlink((dir + name).c_str());
    rmdir(dir.c_str());
  }
  std::string make_fifo() {
    std::string path = dir + "/fifo";
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
  }
  std::string make_file(const char* name, mode_t mode) {
    std::string path = dir + name;
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, mode);
    EXPECT_NE(fd, -1);
    close(fd);
    return path;
  }
  static std::string contents(const std::string& path) {
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return bytes;
  }
  std::string dir;
};

TEST_F(tap_tool, types_into_a_fifo_that_has_a_reader) {
  const std::string fifo = make_fifo();
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_NE(reader, -1);
  const run_result r = run_tap({"--device", fifo, "hello", "world\\n"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(n));
  close(reader);
  EXPECT_EQ(records_in(bytes), records_for_text("hello world\\n").records) << "the words join with one blank";
}

TEST_F(tap_tool, writes_records_to_standard_output_and_files) {
  const run_result piped = run_tap({"--stdout", "--", "-a"});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(records_in(piped.out), records_for_text("-a").records);

  const std::string file = make_file("/file", 0600);
  const run_result filed = run_tap({"--device", file, "--at", "3700,-5"});
  EXPECT_EQ(filed.status, 0) << filed.err;
  const std::vector<touch_record> tap = {{pen_down_pressure, 3700, -5, 0}, {0, 3700, -5, 0}};
  EXPECT_EQ(records_in(contents(file)), tap);
}

TEST_F(tap_tool, fails_clearly_on_paths_it_cannot_write) {
  struct case_ {
    std::string path;
    const char* says;
  };
  const case_ cases[] = {
      {dir + "/missing", "No such file or directory"},
      {dir, "Is a directory"},
      {make_fifo(), "nothing is reading it"},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.path);
    const run_result r = run_tap({"--device", c.path, "abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.path + ": " + c.says), std::string::npos) << r.err;
  }
}

TEST_F(tap_tool, fails_on_a_file_without_write_permission) {
  const std::string path = make_file("/readonly", 0400);
  const run_result r = run_tap({"--device", path, "abc"}, true);
  if (r.status == 125)
    GTEST_SKIP() << "cannot drop the DAC override capability here";
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(path + ": Permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(contents(path), "");
}

// The master of a raw pty whose slave nobody holds, as the sandbox's
// --touch pty is without a daemon: poll() reports room it never takes.
int pty_master_nobody_reads(bool non_blocking) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode;
  const int slave =
      grantpt(master) == 0 && unlockpt(master) == 0 ? open(ptsname(master), O_RDWR | O_NOCTTY) : -1;
  EXPECT_EQ(tcgetattr(slave, &mode), 0);
  cfmakeraw(&mode);
  EXPECT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
  close(slave);
  if (non_blocking)
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return master;
}

// Whatever the touchscreen, a record that finds no room for 5 s fails the
// tool. The cases run side by side, so the test pays the wait once.
TEST_F(tap_tool, gives_up_after_5_s_on_a_touchscreen_nobody_reads) {
  const std::string fifo = make_fifo();
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_NE(reader, -1);
  // The smallest queue the kernel allows (one page): 512 records fill it.
  ASSERT_NE(fcntl(reader, F_SETPIPE_SZ, 4096), -1);
  const int masters[] = {pty_master_nobody_reads(false), pty_master_nobody_reads(true)};
  const std::string text(3000, 'a');  // 9000 records, more than a pty's queues hold
  const struct {
    const char* touchscreen;
    std::vector<std::string> args;
    int out;
    const char* path;
  } cases[] = {
      {"a FIFO whose reader stopped", {"--device", fifo, text}, new_pipe, fifo.c_str()},
      {"a pty's master, blocking", {"--stdout", text}, masters[0], "standard output"},
      {"a pty's master, non-blocking", {"--stdout", text}, masters[1], "standard output"},
  };
  const std::int64_t start = monotonic_ms();
  std::vector<spawned> runs;
  for (const auto& c : cases) {
    std::vector<std::string> argv = {TAP_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.push_back(spawn({.argv = argv, .out = c.out}));
  }
  const std::int64_t hung = start + hang_deadline_ms;  // for all of them at once
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].touchscreen);
    const std::string err = read_all(runs[i].err, static_cast<int>(hung - monotonic_ms()));
    EXPECT_EQ(wait_exit(runs[i].pid, static_cast<int>(hung - monotonic_ms())), 1) << "it hung";
    EXPECT_EQ(err,
              std::string("touchkey-tap: ") + cases[i].path + ": not being read (waited 5 s for room)\n");
    close_pipes(runs[i]);
  }
  // The first to end ended no sooner than its limit.
  EXPECT_GE(monotonic_ms() - start, 5000);
  for (const int fd : {reader, masters[0], masters[1]})
    close(fd);
}

TEST_F(tap_tool, refuses_bad_text_and_usage_before_writing_anything) {
  const std::string file = make_file("/file", 0600);
  struct case_ {
    std::vector<std::string> args;
    const char* says;
  };
  const case_ cases[] = {
      {{"--device", file, "echo", "Hi"}, "'H' at position 6"},
      {{"--device", file, "abc789"}, "'7' at position 4"},
      {{"--device", dir + "/missing", "A"}, "'A' at position 1"},  // the text is judged first
      {{"--device", file}, "nothing to type"},
      {{"--device", file, ""}, "nothing to type"},
      {{"--device", file, "--at", "1,1", "a"}, "--at takes no TEXT"},
      {{"--device", file, "--at", "1"}, "--at takes X,Y"},
      {{"--device", file, "--at", "1,40000"}, "--at takes X,Y"},
      {{"--device", file, "--at", "1,2x"}, "--at takes X,Y"},
      {{"--device", file, "--delay", "-1", "a"}, "--delay takes milliseconds"},
      {{"--device", file, "--delay"}, "--delay needs a value"},
      {{"--device", file, "--bogus", "a"}, "unknown option --bogus"},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.says);
    const run_result r = run_tap(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(contents(file), "");
}

TEST_F(tap_tool, delay_paces_the_taps) {
  // Three taps, two pauses between them.
  const run_result r = run_tap({"--stdout", "--delay", "150", "abc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(records_in(r.out), records_for_text("abc").records);
  EXPECT_GE(r.elapsed_ms, 300);
}

}  // namespace
