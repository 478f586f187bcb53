// touchkey-tap: plays the touchscreen. Types text on the keypad by writing a
// pen-down and a pen-up record at the centre of each character's key.
//
//   touchkey-tap [--device PATH] [--stdout] [--delay MS] TEXT...
//   touchkey-tap [--device PATH] [--stdout] --at X,Y
//
// The words of TEXT are joined with single blanks; \n is Enter, \b backspace
// and \\ a backslash. Text that has a character no key types is refused
// before anything is written. Each record goes out in one write(), so a FIFO
// never carries a torn record. Opening does not wait: a FIFO nobody reads is
// an error at once; a record waits at most write_timeout_ms for room.
// Where the touchscreen is a pty's slave, its reader sees only what goes into
// the master: write there with --stdout.
// Exit status: 0 typed, 1 the device failed, 2 bad usage or untypeable text.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#include "cli.h"
#include "clock.h"
#include "numbers.h"
#include "tap_records.h"

namespace {

constexpr int write_timeout_ms = 5000;
// The pause before a write that found no room is tried again.
constexpr int retry_ms = 20;

struct options {
  const char* device = "/dev/tsdev";
  bool to_stdout = false;
  long delay_ms = 0;
  bool at = false;
  std::int16_t at_x = 0, at_y = 0;
  std::string text;
};

constexpr cli_program program = {"touchkey-tap",
                                 "touchkey-tap [--device PATH] [--stdout] [--delay MS] TEXT...\n"
                                 "touchkey-tap [--device PATH] [--stdout] --at X,Y",
                                 "Types TEXT on touchkeyd's keypad by writing touch records: \\n is Enter,\n"
                                 "\\b backspace, \\\\ a backslash. Options end at the first word of TEXT.\n"
                                 "\n"
                                 "  --device PATH  where to write (default /dev/tsdev)\n"
                                 "  --stdout       write to standard output instead\n"
                                 "  --delay MS     pause between taps, 0 to 60000 ms\n"
                                 "  --at X,Y       one tap at the raw point X,Y instead of TEXT\n"
                                 "  -h, --help     this help\n"
                                 "      --version  the version\n"};

[[noreturn]] void device_failure(const char* path, const char* what) { cli_fail(1, "%s: %s", path, what); }

options parse_options(int argc, char** argv) {
  enum : int { device = 1, to_stdout, delay, at };
  static const option long_options[] = {
      {"device", required_argument, nullptr, device},
      {"stdout", no_argument, nullptr, to_stdout},
      {"delay", required_argument, nullptr, delay},
      {"at", required_argument, nullptr, at},
      {nullptr, 0, nullptr, 0},
  };
  options opts;
  std::int64_t value[2];
  // "+": the text starts at the first operand, and may hold words like "-a".
  for (int chosen; (chosen = cli_next_option(argc, argv, "+", long_options)) != -1;) {
    switch (chosen) {
      case device: opts.device = optarg; break;
      case to_stdout: opts.to_stdout = true; break;
      case delay:
        if (!parse_integer(optarg, 0, 60000, value[0]))
          cli_usage_error("--delay takes milliseconds from 0 to 60000");
        opts.delay_ms = static_cast<long>(value[0]);
        break;
      case at:
        if (!parse_integer_list(optarg, INT16_MIN, INT16_MAX, value, 2))
          cli_usage_error("--at takes X,Y in raw units from -32768 to 32767");
        opts.at = true;
        opts.at_x = static_cast<std::int16_t>(value[0]);
        opts.at_y = static_cast<std::int16_t>(value[1]);
        break;
      default: break;
    }
  }
  for (int i = optind; i < argc; ++i)
    opts.text += (i > optind ? " " : "") + std::string(argv[i]);
  if (opts.at && !opts.text.empty())
    cli_usage_error("--at takes no TEXT");
  if (!opts.at && opts.text.empty())
    cli_usage_error("nothing to type");
  return opts;
}

// The low 16 bits of the monotonic milliseconds, as a driver stamps records.
std::int16_t stamp_now() { return static_cast<std::int16_t>(monotonic_ms() & 0xFFFF); }

int open_device(const char* path) {
  const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd != -1)
    return fd;
  if (errno == ENXIO)
    device_failure(path, "nothing is reading it (start its reader, such as touchkeyd, first)");
  device_failure(path, std::strerror(errno));
}

void pause_ms(std::int64_t ms) {
  timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

// Its only work is to make a write() that blocks return with EINTR.
void interrupt_write(int /*signal*/) {}

// SIGALRM in ms, then every retry_ms until disarmed with 0: an alarm that
// lands just before a write() starts must not leave that write blocked.
void arm_alarm(std::int64_t ms) {
  itimerval timer = {};
  if (ms > 0) {
    timer.it_value = {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    timer.it_interval = {0, static_cast<suseconds_t>(retry_ms) * 1000};
  }
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// One record, whole, in one write(), within write_timeout_ms whatever the
// descriptor. poll()'s word on room is only a hint: the master of a pty whose
// slave nobody holds reports room it never takes, so a non-blocking write
// finds none (it is tried again after a pause, not at once), and one opened
// blocking (standard output, say) would block for ever but for the alarm.
void write_record(int fd, const char* path, touch_record record) {
  record.millisecs = stamp_now();
  const std::int64_t deadline = monotonic_ms() + write_timeout_ms;
  for (std::int64_t left; (left = deadline - monotonic_ms()) > 0;) {
    pollfd room = {fd, POLLOUT, 0};
    const int ready = poll(&room, 1, static_cast<int>(left));
    if (ready == -1 && errno != EINTR)
      device_failure(path, std::strerror(errno));
    if (ready != 1)
      continue;
    arm_alarm(left);
    const ssize_t written = write(fd, &record, sizeof record);
    const int write_errno = errno;
    arm_alarm(0);
    if (written == sizeof record)
      return;
    if (written > 0)
      device_failure(path, "record written only in part");
    if (written == 0 || write_errno == EAGAIN)
      pause_ms(std::min<std::int64_t>(retry_ms, left));
    else if (write_errno != EINTR)
      device_failure(path, std::strerror(write_errno));
  }
  device_failure(path, "not being read (waited 5 s for room)");
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const options opts = parse_options(argc, argv);
  std::vector<touch_record> records;
  if (opts.at) {
    append_tap(records, opts.at_x, opts.at_y);
  } else {
    text_records typed = records_for_text(opts.text);
    if (typed.refused)
      cli_fail(usage_status, "cannot type that: %s", typed.refused.message.c_str());
    records = std::move(typed.records);
  }

  // A reader that goes away must give an error, not kill the tool.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction on_alarm = {};  // no SA_RESTART: the alarm must end a blocked write
  on_alarm.sa_handler = interrupt_write;
  sigaction(SIGALRM, &on_alarm, nullptr);
  const char* path = opts.to_stdout ? "standard output" : opts.device;
  const int fd = opts.to_stdout ? STDOUT_FILENO : open_device(opts.device);
  for (std::size_t i = 0; i < records.size(); ++i) {
    write_record(fd, path, records[i]);
    // Records come in taps of two, pen down then pen up.
    if (opts.delay_ms > 0 && i % 2 == 1 && i + 1 < records.size())
      pause_ms(opts.delay_ms);
  }
  if (!opts.to_stdout && close(fd) == -1)
    device_failure(path, std::strerror(errno));
  return 0;
}
