// touchkey-tap, the built program, against real paths: FIFOs with and without
// a reader, ptys nobody reads, missing and unwritable paths, standard output,
// and its statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
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

struct run_result : finished {
  std::int64_t elapsed_ms = 0;
};

// Runs touchkey-tap with `args`. Without DAC override even root must respect
// a file's mode bits, which is how "not writable" is made for root too.
run_result run_tap(const std::vector<std::string>& args, bool without_dac_override = false) {
  spawn_request request{.argv = {TAP_PATH}};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  if (without_dac_override)
    request.in_child = [] {
      if (getuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == -1)
        _exit(125);
    };
  const std::int64_t start = monotonic_ms();
  run_result result = {run_to_end(request, hang_deadline_ms)};
  result.elapsed_ms = monotonic_ms() - start;
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

struct TapTool : testing::Test {
  std::string make_fifo() const {
    EXPECT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    return dir / "fifo";
  }
  std::string make_file(const char* name, mode_t mode) const {
    write_file(dir / name, "", mode);
    return dir / name;
  }
  temp_dir dir;
};

TEST_F(TapTool, TypesIntoAFifoThatHasAReader) {
  const std::string fifo = make_fifo();
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_NE(reader, -1);
  const run_result r = run_tap({"--device", fifo, "hello", "world\\n"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(records_in(read_all(reader)), records_for_text("hello world\\n").records)
      << "the words join with one blank";
}

TEST_F(TapTool, WritesRecordsToStandardOutputAndFiles) {
  const run_result piped = run_tap({"--stdout", "--", "-a"});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(records_in(piped.out), records_for_text("-a").records);

  const std::string file = make_file("file", 0600);
  const run_result filed = run_tap({"--device", file, "--at", "3700,-5"});
  EXPECT_EQ(filed.status, 0) << filed.err;
  const std::vector<touch_record> tap = {{pen_down_pressure, 3700, -5, 0}, {0, 3700, -5, 0}};
  EXPECT_EQ(records_in(read_file(file)), tap);
}

TEST_F(TapTool, FailsClearlyOnPathsItCannotWrite) {
  struct case_ {
    std::string path;
    const char* says;
  };
  const case_ cases[] = {
      {dir / "missing", "No such file or directory"},
      {dir.path, "Is a directory"},
      {make_fifo(), "nothing is reading it"},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.path);
    const run_result r = run_tap({"--device", c.path, "abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.path + ": " + c.says), std::string::npos) << r.err;
  }
}

TEST_F(TapTool, FailsOnAFileWithoutWritePermission) {
  const std::string path = make_file("readonly", 0400);
  const run_result r = run_tap({"--device", path, "abc"}, true);
  if (r.status == 125)
    GTEST_SKIP() << "cannot drop the DAC override capability here";
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(path + ": Permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(path), "");
}

// The master of a raw pty whose slave nobody holds, as the sandbox's
// --touch pty is without a daemon: poll() reports room it never takes.
int pty_master_nobody_reads(bool non_blocking) {
  std::string slave_path;
  const int master = open_raw_pty(slave_path);
  EXPECT_NE(master, -1);
  if (non_blocking)
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return master;
}

// Whatever the touchscreen, a record that finds no room for 5 s fails the
// tool. The cases run side by side, so the test pays the wait once.
TEST_F(TapTool, GivesUpAfter5SOnATouchscreenNobodyReads) {
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

TEST_F(TapTool, RefusesBadTextAndUsageBeforeWritingAnything) {
  const std::string file = make_file("file", 0600);
  struct case_ {
    std::vector<std::string> args;
    const char* says;
  };
  const case_ cases[] = {
      {{"--device", file, "echo", "Hi"}, "'H' at position 6"},
      {{"--device", file, "abc789"}, "'7' at position 4"},
      {{"--device", dir / "missing", "A"}, "'A' at position 1"},  // the text is judged first
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
  EXPECT_EQ(read_file(file), "");
}

TEST_F(TapTool, DelayPacesTheTaps) {
  // Three taps, two pauses between them.
  const run_result r = run_tap({"--stdout", "--delay", "150", "abc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(records_in(r.out), records_for_text("abc").records);
  EXPECT_GE(r.elapsed_ms, 300);
}

}  // namespace
