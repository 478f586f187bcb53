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
#include <sys/inotify.h>
#include <sys/ioctl.h>
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

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int /*signal*/) { stop_requested = 1; }

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

// With no touchscreen yet, waits for one to be plugged in instead of failing:
// a service manager would otherwise restart the bridge in a loop on every
// machine without a panel. Its fd is -1 when a stop was requested meanwhile.
touchscreen_search wait_for_touchscreen(const sigset_t* waiting_mask) {
  touchscreen_search found = find_touchscreen();
  if (found.fd != -1)
    return found;
  if (found.unopenable > 0)
    std::fprintf(stderr, "touchkey-bridge: %d of /dev/input/event* could not be opened (%s); ",
                 found.unopenable, std::strerror(found.open_errno));
  else
    std::fprintf(stderr, "touchkey-bridge: ");
  std::fprintf(stderr, "no touchscreen found among /dev/input/event*; waiting for one\n");
  // New nodes in /dev/input (or /dev/input itself appearing); their modes are
  // set after creation, hence IN_ATTRIB.
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd == -1 || (inotify_add_watch(watch_fd, "/dev/input", IN_CREATE | IN_ATTRIB) == -1 &&
                         inotify_add_watch(watch_fd, "/dev", IN_CREATE) == -1)) {
    std::fprintf(stderr, "touchkey-bridge: cannot watch /dev/input: %s\n", std::strerror(errno));
    std::exit(failure_status);
  }
  while (found.fd == -1 && !stop_requested) {
    pollfd events = {watch_fd, POLLIN, 0};
    if (ppoll(&events, 1, nullptr, waiting_mask) == 1) {
      alignas(inotify_event) char drained[4096];
      while (read(watch_fd, drained, sizeof drained) > 0) {
      }
      inotify_add_watch(watch_fd, "/dev/input", IN_CREATE | IN_ATTRIB);  // in case it has just appeared
      found = find_touchscreen();
    }
  }
  close(watch_fd);
  return found;
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

  // The signals are let in only while waiting, so a stop request is never
  // missed between a check and the wait.
  sigset_t stop_signals, waiting_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
  sigdelset(&waiting_mask, SIGTERM);
  sigdelset(&waiting_mask, SIGINT);
  struct sigaction on_stop = {};
  on_stop.sa_handler = request_stop;
  sigaction(SIGTERM, &on_stop, nullptr);
  sigaction(SIGINT, &on_stop, nullptr);

  touchscreen_search found;
  int device_fd = -1;
  if (opts.device != nullptr) {
    device_fd = open(opts.device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (device_fd == -1) {
      std::fprintf(stderr, "touchkey-bridge: cannot open %s: %s\n", opts.device, std::strerror(errno));
      return failure_status;
    }
  } else {
    found = wait_for_touchscreen(&waiting_mask);
    device_fd = found.fd;
    if (device_fd == -1)
      return 0;  // stopped while waiting
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

  // touchkey-bridge.socket passes /dev/tsdev; started by hand, the bridge makes it.
  int fifo_fd = adopt_passed_fifo();
  if (fifo_fd == -1)
    fifo_fd = open_output_fifo(opts.output);
  if (fifo_fd < 0)
    return failure_status;

  static pending_log log;
  constexpr std::size_t batch = 64;
  unsigned char bytes[batch * sizeof(input_event)];
  std::size_t kept = 0;  // a partial event from the last read (pipes and files only)
  touch_record records[batch];
  while (!stop_requested) {
    const std::int64_t now = boot_ms();
    discard_stale(fifo_fd, log, now);
    const int wait_ms = ms_until_stale(log, unread_records(fifo_fd), now);
    timespec timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000000L};
    pollfd device = {device_fd, POLLIN, 0};
    const int ready = ppoll(&device, 1, wait_ms < 0 ? nullptr : &timeout, &waiting_mask);
    if (ready == -1 && errno != EINTR) {
      std::fprintf(stderr, "touchkey-bridge: waiting for %s: %s\n", opts.device, std::strerror(errno));
      return failure_status;
    }
    if (ready <= 0)
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
  close(fifo_fd);
  close(device_fd);
  return 0;
}
