// touchkey-bridge: serves the touchscreen device that touchkeyd reads, a FIFO
// of 8-byte touch records, from an evdev touchscreen of a current kernel.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge_events.h"
#include "bridge_fifo.h"
#include "evdev.h"

namespace {

constexpr int usage_status = 2;
constexpr int failure_status = 1;

struct options {
  const char* device = nullptr;  // nullptr: find the first touchscreen
  const char* output = "/dev/tsdev";
  bool x_range_given = false;
  bool y_range_given = false;
  panel_mapping mapping;
};

[[noreturn]] void usage(const char* problem) {
  if (problem != nullptr)
    std::fprintf(stderr, "touchkey-bridge: %s\n", problem);
  std::fprintf(stderr,
               "usage: touchkey-bridge [--device PATH] [--output PATH] [--x-range MIN,MAX]\n"
               "                       [--y-range MIN,MAX] [--swap-xy] [--invert-x] [--invert-y]\n");
  std::exit(usage_status);
}

bool parse_int(const char* text, char end, const char** rest, std::int32_t& value) {
  char* stop = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &stop, 10);
  if (stop == text || *stop != end || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX)
    return false;
  value = static_cast<std::int32_t>(parsed);
  *rest = stop + 1;
  return true;
}

axis_range parse_range(const char* option, const char* text) {
  axis_range range;
  const char* rest = text;
  if (!parse_int(rest, ',', &rest, range.min) || !parse_int(rest, '\0', &rest, range.max) ||
      range.min >= range.max) {
    std::fprintf(stderr, "touchkey-bridge: %s wants MIN,MAX with MIN < MAX, not '%s'\n", option, text);
    usage(nullptr);
  }
  return range;
}

options parse_options(int argc, char** argv) {
  options opts;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(arg, "--swap-xy") == 0) {
      opts.mapping.swap_xy = true;
    } else if (std::strcmp(arg, "--invert-x") == 0) {
      opts.mapping.invert_x = true;
    } else if (std::strcmp(arg, "--invert-y") == 0) {
      opts.mapping.invert_y = true;
    } else if (std::strcmp(arg, "--device") == 0 && has_value) {
      opts.device = argv[++i];
    } else if (std::strcmp(arg, "--output") == 0 && has_value) {
      opts.output = argv[++i];
    } else if (std::strcmp(arg, "--x-range") == 0 && has_value) {
      opts.mapping.x = parse_range(arg, argv[++i]);
      opts.x_range_given = true;
    } else if (std::strcmp(arg, "--y-range") == 0 && has_value) {
      opts.mapping.y = parse_range(arg, argv[++i]);
      opts.y_range_given = true;
    } else if (std::strcmp(arg, "--help") == 0) {
      usage(nullptr);
    } else {
      std::fprintf(stderr, "touchkey-bridge: unknown option or missing value: %s\n", arg);
      usage(nullptr);
    }
  }
  return opts;
}

// Takes the panel's ranges (unless given on the command line) and its present
// state from an evdev device. Exits when the ranges are unusable.
void set_up_evdev(int fd, const char* path, options& opts, panel_state& state) {
  axis_range x, y;
  if (!read_panel_ranges(fd, x, y, state.multi_touch) && (!opts.x_range_given || !opts.y_range_given)) {
    std::fprintf(stderr, "touchkey-bridge: %s reports no x and y axes\n", path);
    std::exit(failure_status);
  }
  if (!opts.x_range_given)
    opts.mapping.x = x;
  if (!opts.y_range_given)
    opts.mapping.y = y;
  if (opts.mapping.x.min >= opts.mapping.x.max || opts.mapping.y.min >= opts.mapping.y.max) {
    std::fprintf(stderr,
                 "touchkey-bridge: %s reports empty axis ranges (x %d..%d, y %d..%d); "
                 "give --x-range and --y-range\n",
                 path, opts.mapping.x.min, opts.mapping.x.max, opts.mapping.y.min, opts.mapping.y.max);
    std::exit(failure_status);
  }
  device_snapshot snapshot;
  if (read_snapshot(fd, snapshot))
    apply_snapshot(state, snapshot);
}

// Counts time asleep too: a tap made before a suspend is stale after it.
std::int64_t boot_ms() {
  timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Writes each record whole; a full FIFO drops the record rather than block.
void write_records(int fifo_fd, const char* output, const touch_record* records, std::size_t count,
                   pending_log& log) {
  for (std::size_t i = 0; i < count; ++i) {
    const ssize_t written = write(fifo_fd, &records[i], sizeof records[i]);
    if (written == sizeof records[i]) {
      note_written(log, boot_ms());
    } else if (written == -1 && errno != EAGAIN) {
      std::fprintf(stderr, "touchkey-bridge: writing to %s: %s\n", output, std::strerror(errno));
      std::exit(failure_status);
    }
  }
}

// SIGTERM and SIGINT come through a descriptor that is polled with the input,
// so a stop request is seen at the next wait however busy the input keeps it.
int stop_requests() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (stop_fd == -1) {
    std::fprintf(stderr, "touchkey-bridge: cannot receive stop requests: %s\n", std::strerror(errno));
    std::exit(failure_status);
  }
  return stop_fd;
}

[[noreturn]] void device_failed(const char* device) {
  if (errno == ENODEV)
    std::fprintf(stderr, "touchkey-bridge: %s is gone (unplugged?): %s\n", device, std::strerror(errno));
  else
    std::fprintf(stderr, "touchkey-bridge: cannot read %s: %s\n", device, std::strerror(errno));
  std::exit(failure_status);
}

}  // namespace

int main(int argc, char** argv) {
  options opts = parse_options(argc, argv);
  umask(077);

  const int stop_fd = stop_requests();

  touchscreen_search found;
  int device_fd = -1;
  if (opts.device != nullptr) {
    device_fd = open(opts.device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (device_fd == -1) {
      std::fprintf(stderr, "touchkey-bridge: cannot open %s: %s\n", opts.device, std::strerror(errno));
      return failure_status;
    }
  } else {
    found = find_touchscreen();
    device_fd = found.fd;
    if (device_fd == -1) {
      std::fprintf(stderr, "touchkey-bridge: no touchscreen found among /dev/input/event*\n");
      return failure_status;
    }
    opts.device = found.path;
  }

  panel_state state;
  if (is_evdev(device_fd)) {
    set_up_evdev(device_fd, opts.device, opts, state);
  } else if (!opts.x_range_given || !opts.y_range_given) {
    std::fprintf(stderr, "touchkey-bridge: %s is not an evdev device; give --x-range and --y-range\n",
                 opts.device);
    return usage_status;
  }

  const int fifo_fd = open_output_fifo(opts.output);
  if (fifo_fd == -1)
    return failure_status;

  // Without a watch, others' records and reads are seen only at the bridge's
  // own wake-ups, later than they happen.
  const int watch_fd = watch_fifo(opts.output);
  static pending_log log;
  constexpr std::size_t batch = 64;
  unsigned char bytes[batch * sizeof(input_event)];
  std::size_t kept = 0;  // a partial event from the last read (pipes and files only)
  touch_record records[batch];
  for (;;) {
    const std::int64_t now = boot_ms();
    note_unread(log, unread_records(fifo_fd), reads_reported(watch_fd), now);
    if (discard_stale(fifo_fd, log, now) > 0)
      reads_reported(watch_fd);  // the bridge's own reads: no reader's progress
    pollfd waits[] = {{stop_fd, POLLIN, 0}, {device_fd, POLLIN, 0}, {watch_fd, POLLIN, 0}};
    if (poll(waits, 3, ms_until_stale(log, now)) == -1 && errno != EINTR) {
      std::fprintf(stderr, "touchkey-bridge: waiting for %s: %s\n", opts.device, std::strerror(errno));
      return failure_status;
    }
    if (waits[0].revents != 0)
      break;  // looked at first, so that no input load can keep it waiting
    if (waits[1].revents == 0)
      continue;

    const ssize_t got = read(device_fd, bytes + kept, sizeof bytes - kept);
    if (got == -1 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (got == -1)
      device_failed(opts.device);
    if (got == 0)
      break;  // the end of a recorded stream; an evdev device never ends
    std::size_t used = 0;
    const std::size_t count = decode_events(state, opts.mapping, read_snapshot, device_fd, bytes,
                                            kept + static_cast<std::size_t>(got), records, batch, &used);
    kept = kept + static_cast<std::size_t>(got) - used;
    std::memmove(bytes, bytes + used, kept);
    write_records(fifo_fd, opts.output, records, count, log);
  }
  // The FIFO stays: a daemon that holds it open keeps reading once a new
  // bridge serves it again.
  if (watch_fd != -1)
    close(watch_fd);
  close(fifo_fd);
  close(device_fd);
  close(stop_fd);
  return 0;
}
