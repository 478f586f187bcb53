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
// an error at once; a write waits at most write_timeout_ms for room.
// Where the touchscreen is a pty's slave, its reader sees only what goes into
// the master: write there with --stdout.
// Exit status: 0 typed, 1 the device failed, 2 bad usage or untypeable text.
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
#include <unistd.h>

#include "tap_records.h"

namespace {

constexpr int write_timeout_ms = 5000;

struct options {
  const char* device = "/dev/tsdev";
  bool to_stdout = false;
  long delay_ms = 0;
  bool at = false;
  std::int16_t at_x = 0, at_y = 0;
  std::string text;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "touchkey-tap: %s\n"
               "usage: touchkey-tap [--device PATH] [--stdout] [--delay MS] TEXT...\n"
               "       touchkey-tap [--device PATH] [--stdout] --at X,Y\n",
               why);
  std::exit(2);
}

[[noreturn]] void device_failure(const char* path, const char* what) {
  std::fprintf(stderr, "touchkey-tap: %s: %s\n", path, what);
  std::exit(1);
}

bool parse_number(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool parse_point(const std::string& text, std::int16_t& x, std::int16_t& y) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos)
    return false;
  long vx, vy;
  if (!parse_number(text.substr(0, comma).c_str(), INT16_MIN, INT16_MAX, vx) ||
      !parse_number(text.substr(comma + 1).c_str(), INT16_MIN, INT16_MAX, vy))
    return false;
  x = static_cast<std::int16_t>(vx);
  y = static_cast<std::int16_t>(vy);
  return true;
}

options parse_options(int argc, char** argv) {
  options opts;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--stdout") {
      opts.to_stdout = true;
      continue;
    }
    if (arg != "--device" && arg != "--delay" && arg != "--at")
      usage(("unknown option " + arg).c_str());
    if (i + 1 >= argc)
      usage((arg + " needs a value").c_str());
    const char* value = argv[++i];
    if (arg == "--device")
      opts.device = value;
    else if (arg == "--delay" && !parse_number(value, 0, 60000, opts.delay_ms))
      usage("--delay takes milliseconds from 0 to 60000");
    else if (arg == "--at" && !(opts.at = parse_point(value, opts.at_x, opts.at_y)))
      usage("--at takes X,Y in raw units from -32768 to 32767");
  }
  for (int first = i; i < argc; ++i)
    opts.text += (i > first ? " " : "") + std::string(argv[i]);
  if (opts.at && !opts.text.empty())
    usage("--at takes no TEXT");
  if (!opts.at && opts.text.empty())
    usage("nothing to type");
  return opts;
}

std::int16_t stamp_now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms =
      static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<std::int16_t>(ms & 0xFFFF);
}

int open_device(const char* path) {
  const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd != -1)
    return fd;
  if (errno == ENXIO)
    device_failure(path, "nothing is reading it (start its reader, such as touchkeyd, first)");
  device_failure(path, std::strerror(errno));
}

// One record, whole, in one write(); waits for room in the reader's queue,
// but not for ever.
void write_record(int fd, const char* path, touch_record record) {
  record.millisecs = stamp_now();
  for (;;) {
    pollfd room = {fd, POLLOUT, 0};
    const int ready = poll(&room, 1, write_timeout_ms);
    if (ready == -1 && errno == EINTR)
      continue;
    if (ready == 0)
      device_failure(path, "not being read (waited 5 s for room)");
    const ssize_t written = write(fd, &record, sizeof record);
    if (written == -1 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (written == -1)
      device_failure(path, std::strerror(errno));
    if (written != sizeof record)
      device_failure(path, "record written only in part");
    return;
  }
}

void pause_ms(long ms) {
  timespec left = {ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const options opts = parse_options(argc, argv);
  std::vector<touch_record> records;
  if (opts.at) {
    append_tap(records, opts.at_x, opts.at_y);
  } else {
    text_records typed = records_for_text(opts.text);
    if (!typed.error.empty()) {
      std::fprintf(stderr, "touchkey-tap: cannot type that: %s\n", typed.error.c_str());
      return 2;
    }
    records = std::move(typed.records);
  }

  // A reader that goes away must give an error, not kill the tool.
  signal(SIGPIPE, SIG_IGN);
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
