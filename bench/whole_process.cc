// Whole-process benchmark of touchkeyd, run inside touchkey-sandbox: feeds
// the real background process a fixed mixed workload through the FIFO on
// /dev/tsdev, reads every typed key back from the console so none is
// dropped, and charges the process its own CPU time (/proc/PID/schedstat).
// The floor (touchkey-floor: one read per record, one VT_GETSTATE and one
// TIOCSTI per key) runs
// the same workload in alternating rounds from a FIFO of its own.
// usage: touchkey-bench TOUCHKEYD FLOOR ALLOC_COUNT_LIB [ROUNDS [RECORDS]]
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "alloc_count.h"
#include "clock.h"
#include "keypad.h"
#include "touch_record.h"

namespace {

constexpr const char* floor_fifo = "/dev/floor-tsdev";
constexpr const char* alloc_file = "/dev/shm/touchkey-alloc-counts";
// Records per write: they fit the FIFO (64 KiB) and the keys they type (a
// third of them) fit the console's input queue (4 KiB) until read back.
constexpr std::size_t batch_records = 3072;
constexpr int key_timeout_ms = 5000;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "touchkey-bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// The workload: for each key, a pen-down on it, the pen-up that types it and
// a pen-up on no key. Keys cycle through the letter rows, so no key follows
// itself and none is suppressed. The stamp field carries the key for the floor.
struct workload {
  std::vector<touch_record> records;
  std::string keys;
};

workload make_workload(std::size_t records) {
  // The letter rows are the layout's first 26 keys.
  const std::array<key_rectangle, keypad_key_count> keys = keypad_rectangles();
  constexpr std::size_t letters = 26;
  workload w;
  for (std::size_t i = 0; w.records.size() < records; ++i) {
    const key_rectangle& k = keys[i % letters];
    const auto x = static_cast<std::int16_t>((k.left + k.right) / 2);
    const auto y = static_cast<std::int16_t>((k.top + k.bottom) / 2);
    const auto key = static_cast<char>(k.key);
    w.records.push_back({100, x, y, 0});
    w.records.push_back({0, x, y, key});
    w.records.push_back({0, keypad_x_last + 1, y, 0});
    w.keys += key;
  }
  return w;
}

int open_console() {
  const char* path = std::getenv("TOUCHKEY_CONSOLE");
  if (path == nullptr)
    fail("TOUCHKEY_CONSOLE is not set (run inside touchkey-sandbox)");
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode;
  if (fd == -1 || tcgetattr(fd, &mode) == -1)
    fail(path);
  cfmakeraw(&mode);
  if (tcsetattr(fd, TCSANOW, &mode) == -1)
    fail(path);
  return fd;
}

// Waits until the console holds exactly the keys expected, then reads and
// compares them: a dropped or extra key would make the CPU figures
// meaningless. It waits by sleeping rather than in poll, so that the process
// under test never has a reader to wake with its keys.
void expect_keys(int console, const char* want, std::size_t count) {
  const std::int64_t deadline = clock_ns(CLOCK_MONOTONIC) + std::int64_t{key_timeout_ms} * 1000000;
  int queued = 0;
  while (ioctl(console, FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) < count) {
    if (clock_ns(CLOCK_MONOTONIC) > deadline)
      fail("keys missing on the console: " + std::to_string(queued) + " of " + std::to_string(count));
    usleep(100);
  }
  std::string got(count + 1, '\0');
  const ssize_t n = read(console, got.data(), got.size());
  if (n != static_cast<ssize_t>(count) || got.compare(0, count, want, count) != 0)
    fail("the console got other keys than the workload types");
}

// Whether the process sleeps in read(2): /proc/PID/syscall names the system
// call a blocked process is in, by this machine's number, and says "running" else.
bool sleeps_in_read(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  FILE* f = std::fopen(path.c_str(), "re");
  char line[256] = {};
  if (f == nullptr || std::fgets(line, sizeof line, f) == nullptr)
    fail(path);
  std::fclose(f);
  return std::strtol(line, nullptr, 10) == SYS_read && line[0] != 'r';
}

void feed(int touch, int console, const workload& w, pid_t reader) {
  for (std::size_t at = 0; at < w.records.size(); at += batch_records) {
    const std::size_t n = std::min(batch_records, w.records.size() - at);
    const auto bytes = static_cast<ssize_t>(n * sizeof(touch_record));
    if (write(touch, &w.records[at], static_cast<std::size_t>(bytes)) != bytes)
      fail("write records");
    expect_keys(console, w.keys.data() + at / 3, n / 3);
  }
  // The records after the last key are handled once the reader sleeps in its
  // next read.
  const std::int64_t deadline = clock_ns(CLOCK_MONOTONIC) + std::int64_t{key_timeout_ms} * 1000000;
  while (!sleeps_in_read(reader)) {
    if (clock_ns(CLOCK_MONOTONIC) > deadline)
      fail("the process under test did not go back to sleep");
    usleep(100);
  }
}

std::int64_t cpu_ns(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
  FILE* f = std::fopen(path.c_str(), "re");
  char line[256] = {};
  if (f == nullptr || std::fgets(line, sizeof line, f) == nullptr)
    fail(path);
  std::fclose(f);
  return std::strtoll(line, nullptr, 10);
}

// The value of a "Name:   N kB" line of /proc/PID/status.
long status_kib(pid_t pid, const char* name) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr)
    fail(path);
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, name, std::strlen(name)) == 0 && line[std::strlen(name)] == ':')
      kib = std::strtol(line + std::strlen(name) + 1, nullptr, 10);
  std::fclose(f);
  return kib;
}

// Starts touchkeyd as a shell would and waits for its foreground to exit.
// Returns the background process's PID; *took_ns is start-to-exit time.
pid_t start_daemon(const char* daemon, const char* preload, std::int64_t* took_ns) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) == -1)
    fail("pipe");
  const std::int64_t start = clock_ns(CLOCK_MONOTONIC);
  const pid_t fg = fork();
  if (fg == -1)
    fail("fork");
  if (fg == 0) {
    dup2(out[1], STDOUT_FILENO);
    if (preload != nullptr) {
      setenv("LD_PRELOAD", preload, 1);
      setenv("TOUCHKEY_ALLOC_COUNT_FILE", alloc_file, 1);
    }
    execl(daemon, daemon, static_cast<char*>(nullptr));
    fail(daemon);
  }
  close(out[1]);
  int status = 0;
  if (waitpid(fg, &status, 0) == -1)
    fail("waitpid");
  *took_ns = clock_ns(CLOCK_MONOTONIC) - start;
  char line[256] = {};
  const ssize_t n = read(out[0], line, sizeof line - 1);
  close(out[0]);
  const char* pid_text = n > 0 ? std::strstr(line, "with PID ") : nullptr;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || pid_text == nullptr)
    fail(std::string("touchkeyd did not start: ") + line);
  return static_cast<pid_t>(std::strtol(pid_text + 9, nullptr, 10));
}

void end_process(pid_t pid) {
  kill(pid, SIGKILL);
  // Our child (the floor) is reaped here; the daemon belongs to the
  // namespace's init, which reaps it.
  waitpid(pid, nullptr, WNOHANG);
}

// Both processes under test share one CPU and the driver keeps to another,
// so that neither is measured on a different core or disturbed by the driver.
void pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(pid, sizeof set, &set) == -1)
    fail("sched_setaffinity");
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// One round: the workload through one process; its CPU ns per record.
double round_ns_per_record(pid_t pid, int touch, int console, const workload& w) {
  const std::int64_t before = cpu_ns(pid);
  feed(touch, console, w, pid);
  return static_cast<double>(cpu_ns(pid) - before) / static_cast<double>(w.records.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: touchkey-bench TOUCHKEYD FLOOR ALLOC_COUNT_LIB [ROUNDS [RECORDS]]\n");
    return 2;
  }
  const char* daemon = argv[1];
  const char* floor = argv[2];
  const char* alloc_lib = argv[3];
  const int rounds = argc > 4 ? static_cast<int>(std::strtol(argv[4], nullptr, 10)) : 21;
  const std::size_t records = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 60000;
  const workload w = make_workload(records);
  const int console = open_console();

  // Both FIFOs are held open for writing before their readers open them.
  const int touch = open("/dev/tsdev", O_RDWR | O_CLOEXEC);
  if (touch == -1)
    fail("/dev/tsdev");
  if (mkfifo(floor_fifo, 0600) == -1)
    fail(floor_fifo);
  const int floor_touch = open(floor_fifo, O_RDWR | O_CLOEXEC);
  if (floor_touch == -1)
    fail(floor_fifo);

  // Start-to-exit of the foreground, over several starts; every background
  // process but the last is ended at once.
  constexpr int starts = 9;
  std::vector<double> start_ms;
  pid_t daemon_pid = 0;
  for (int i = 0; i < starts; ++i) {
    std::int64_t took = 0;
    const pid_t pid = start_daemon(daemon, nullptr, &took);
    start_ms.push_back(static_cast<double>(took) / 1e6);
    if (i + 1 < starts)
      end_process(pid);
    else
      daemon_pid = pid;
  }

  const pid_t floor_pid = fork();
  if (floor_pid == -1)
    fail("fork");
  if (floor_pid == 0) {
    execl(floor, floor, floor_fifo, "/dev/tty0", static_cast<char*>(nullptr));
    fail(floor);
  }

  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus > 1) {
    pin(0, 0);
    pin(daemon_pid, static_cast<int>(cpus - 1));
    pin(floor_pid, static_cast<int>(cpus - 1));
  }
  std::printf("workload: %zu records per round (%zu typed keys, the rest pen-downs and pen-ups on no key)\n",
              w.records.size(), w.keys.size());
  // A warm-up round each, then alternating measured rounds.
  round_ns_per_record(daemon_pid, touch, console, w);
  round_ns_per_record(floor_pid, floor_touch, console, w);
  std::vector<double> daemon_ns;
  std::vector<double> floor_ns;
  std::vector<double> ratios;
  for (int r = 0; r < rounds; ++r) {
    const bool daemon_first = r % 2 == 0;
    const double first = round_ns_per_record(daemon_first ? daemon_pid : floor_pid,
                                             daemon_first ? touch : floor_touch, console, w);
    const double second = round_ns_per_record(daemon_first ? floor_pid : daemon_pid,
                                              daemon_first ? floor_touch : touch, console, w);
    const double d = daemon_first ? first : second;
    const double f = daemon_first ? second : first;
    daemon_ns.push_back(d);
    floor_ns.push_back(f);
    ratios.push_back(d / f);
    std::printf("round %d: touchkeyd %.0f ns/record, floor %.0f ns/record, ratio %.3f\n", r + 1, d, f, d / f);
  }
  const double daemon_median = median(daemon_ns);
  const double floor_median = median(floor_ns);
  std::printf(
      "CPU per record (median of %d rounds): touchkeyd %.0f ns, floor %.0f ns, ratio %.3f "
      "(median of per-round ratios %.3f; target <= 1.10)\n",
      rounds, daemon_median, floor_median, daemon_median / floor_median, median(ratios));

  const std::int64_t idle_before = cpu_ns(daemon_pid);
  sleep(1);
  const double idle_ms = static_cast<double>(cpu_ns(daemon_pid) - idle_before) / 1e6;
  std::printf("CPU while idle for 1 s: %.3f ms (target < 1 ms)\n", idle_ms);

  std::printf(
      "resident memory of the background process: VmRSS %ld KiB (RssAnon %ld KiB, RssFile %ld "
      "KiB), peak VmHWM %ld KiB (target <= 1024 KiB)\n",
      status_kib(daemon_pid, "VmRSS"), status_kib(daemon_pid, "RssAnon"), status_kib(daemon_pid, "RssFile"),
      status_kib(daemon_pid, "VmHWM"));
  std::printf("foreground start-to-exit: median %.3f ms, min %.3f ms over %d starts\n", median(start_ms),
              *std::min_element(start_ms.begin(), start_ms.end()), starts);
  end_process(floor_pid);
  end_process(daemon_pid);

  // The same workload once more through a daemon under the allocation counter.
  std::int64_t took = 0;
  const pid_t counted_pid = start_daemon(daemon, alloc_lib, &took);
  feed(touch, console, w, counted_pid);
  // The loop is now blocked in its next read: every record read, every key sent.
  alloc_counts counts = {};
  const int fd = open(alloc_file, O_RDONLY | O_CLOEXEC);
  if (fd == -1 || read(fd, &counts, sizeof counts) != sizeof counts)
    fail(alloc_file);
  close(fd);
  std::printf(
      "heap allocations (LD_PRELOAD counter): %llu before the loop's first read, %llu after it "
      "(target 0); loop in PID %lld (background PID %d); %llu reads for %zu records, %llu ioctls "
      "after the first read (VT_GETSTATE and TIOCSTI) for %zu keys\n",
      static_cast<unsigned long long>(counts.before_start),
      static_cast<unsigned long long>(counts.after_start), static_cast<long long>(counts.loop_pid),
      counted_pid, static_cast<unsigned long long>(counts.reads), w.records.size(),
      static_cast<unsigned long long>(counts.ioctls_after_start), w.keys.size());
  end_process(counted_pid);
  return 0;
}
