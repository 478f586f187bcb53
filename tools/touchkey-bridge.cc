// touchkey-bridge: serves the touchscreen device that touchkeyd reads, a FIFO
// of 8-byte touch records, from an evdev touchscreen of a current kernel.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calibration.h"
#include "cli.h"
#include "clock.h"
#include "evdev.h"
#include "numbers.h"
#include "panel.h"
#include "tsdev_fifo.h"

namespace {

constexpr int failure_status = 1;

struct options {
  const char* device = nullptr;  // nullptr: find the first touchscreen
  const char* output = "/dev/tsdev";
  given_ranges ranges;
  const char* calibration = nullptr;  // --calibration FILE
  bool matrix_given = false;
  panel_mapping mapping;
};

constexpr cli_program program = {
    "touchkey-bridge",
    "touchkey-bridge [--device PATH] [--output PATH] [--x-range MIN,MAX] [--y-range MIN,MAX]\n"
    "                [--matrix A,B,C,D,E,F | --calibration FILE] [--swap-xy] [--invert-x] [--invert-y]",
    "Serves touchkeyd's touchscreen FIFO from an evdev touchscreen.\n"
    "\n"
    "  --device PATH      the touchscreen (default: the first in /dev/input/event*);\n"
    "                     a pipe or file of recorded events needs both ranges\n"
    "  --output PATH      the FIFO to serve (default /dev/tsdev)\n"
    "  --x-range MIN,MAX  the panel's x range, in place of what it reports\n"
    "  --y-range MIN,MAX  the panel's y range, in place of what it reports\n"
    "  --matrix A,B,C,D,E,F\n"
    "                     the calibration matrix: normalised panel x, y to keypad\n"
    "  --calibration FILE the matrix's file (default " TOUCHKEY_CALIBRATION_FILE
    ",\n"
    "                     read when it exists)\n"
    "  --swap-xy          the panel's y is the keypad's x, and its x the keypad's y\n"
    "  --invert-x         the keypad's x runs the other way (after any swap)\n"
    "  --invert-y         the keypad's y runs the other way (after any swap)\n"
    "  -h, --help         this help\n"
    "      --version      the version\n"};

options parse_options(int argc, char** argv) {
  enum : int { device = 1, output, x_range, y_range, swap_xy, invert_x, invert_y, matrix, calibration };
  static const option long_options[] = {
      {"device", required_argument, nullptr, device},
      {"output", required_argument, nullptr, output},
      {"x-range", required_argument, nullptr, x_range},
      {"y-range", required_argument, nullptr, y_range},
      {"swap-xy", no_argument, nullptr, swap_xy},
      {"invert-x", no_argument, nullptr, invert_x},
      {"invert-y", no_argument, nullptr, invert_y},
      {"matrix", required_argument, nullptr, matrix},
      {"calibration", required_argument, nullptr, calibration},
      {nullptr, 0, nullptr, 0},
  };
  options opts;
  for (int chosen; (chosen = cli_next_option(argc, argv, "", long_options)) != -1;) {
    switch (chosen) {
      case device: opts.device = optarg; break;
      case output: opts.output = optarg; break;
      case x_range:
        parse_range_option("--x-range", optarg, opts.ranges.x.min, opts.ranges.x.max);
        opts.ranges.x_given = true;
        break;
      case y_range:
        parse_range_option("--y-range", optarg, opts.ranges.y.min, opts.ranges.y.max);
        opts.ranges.y_given = true;
        break;
      case swap_xy: opts.mapping.swap_xy = true; break;
      case invert_x: opts.mapping.invert_x = true; break;
      case invert_y: opts.mapping.invert_y = true; break;
      case matrix: {
        double m[6];
        if (!parse_number_list(optarg, m, 6))
          cli_usage_error("--matrix wants six numbers a,b,c,d,e,f, not '%s'", optarg);
        opts.mapping.matrix = {m[0], m[1], m[2], m[3], m[4], m[5]};
        if (is_singular(opts.mapping.matrix))
          cli_usage_error("--matrix %s %s", optarg, singular_matrix);
        opts.matrix_given = true;
        break;
      }
      case calibration: opts.calibration = optarg; break;
      default: break;
    }
  }
  if (optind < argc)
    cli_usage_error("takes no operands, not '%s'", argv[optind]);
  if (opts.matrix_given && opts.calibration != nullptr)
    cli_usage_error("--matrix and --calibration exclude each other");
  return opts;
}

// Takes the matrix from the calibration file: the one named, or the default
// one when it exists. Says in `source` where the matrix came from.
void load_calibration(options& opts, char* source, std::size_t size) {
  if (opts.matrix_given) {
    std::snprintf(source, size, "from --matrix");
    return;
  }
  const char* path = opts.calibration != nullptr ? opts.calibration : TOUCHKEY_CALIBRATION_FILE;
  const failure why = read_calibration(path, opts.mapping.matrix);
  if (!why) {
    std::snprintf(source, size, "from %s", path);
    return;
  }
  if (why.error == ENOENT && opts.calibration == nullptr) {
    std::snprintf(source, size, "none (%s absent)", path);
    return;
  }
  cli_fail(failure_status, "calibration %s: %s", path, why.message.c_str());
}

// The one line that says at start what is served from what, and how, so that
// a log shows which panel and mapping a wrong key came from. The calibration
// and the orientation options show as the one matrix they make.
void announce(const options& opts, const panel& p, const char* calibration_source) {
  const panel_mapping& m = opts.mapping;
  char orientation[64] = " as is";
  if (m.swap_xy || m.invert_x || m.invert_y)
    std::snprintf(orientation, sizeof orientation, "%s%s%s", m.swap_xy ? " --swap-xy" : "",
                  m.invert_x ? " --invert-x" : "", m.invert_y ? " --invert-y" : "");
  char matrix[160];
  format_matrix(compose(orientation_matrix(m.swap_xy, m.invert_x, m.invert_y), m.matrix), matrix,
                sizeof matrix);
  std::printf("%s: serving %s from %s (%s), x %d..%d, y %d..%d, orientation%s, calibration %s, mapping %s\n",
              program.name, opts.output, p.path.c_str(), p.description.c_str(), m.x.min, m.x.max, m.y.min,
              m.y.max, orientation, calibration_source, matrix);
  std::fflush(stdout);
}

// Counts time asleep too: a tap made before a suspend is stale after it.
std::int64_t boot_ms() { return clock_ms(CLOCK_BOOTTIME); }

// Writes each record whole; a full FIFO drops the record rather than block.
void write_records(int fifo_fd, const char* output, const touch_record* records, std::size_t count,
                   pending_log& log) {
  for (std::size_t i = 0; i < count; ++i) {
    const ssize_t written = write(fifo_fd, &records[i], sizeof records[i]);
    if (written == sizeof records[i]) {
      note_written(log, boot_ms());
    } else if (written == -1 && errno != EAGAIN) {
      cli_fail(failure_status, "writing to %s: %s", output, std::strerror(errno));
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
  if (stop_fd == -1)
    cli_fail(failure_status, "cannot receive stop requests: %s", std::strerror(errno));
  return stop_fd;
}

// The panel, opened, found or waited for, and set up; p.fd is -1 when a stop
// was requested while waiting.
panel take_panel(const options& opts, bool as_service, int stop_fd) {
  panel p;
  failure why = open_panel(opts.device, false, p);
  // As a service, exiting for want of a panel would only start a restart loop
  // that fills the journal; by hand, saying so at once serves better.
  if (why && as_service && opts.device == nullptr) {
    cli_warn("%s; waiting for one", why.message.c_str());
    why = wait_for_panel(stop_fd, p);
    if (!why && p.fd == -1)
      return p;
  }
  if (!why)
    why = set_up_panel(p, opts.ranges);
  if (why)
    cli_fail(why);
  device_snapshot snapshot;
  if (read_snapshot(p.fd, snapshot))
    apply_snapshot(p.state, snapshot);
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  options opts = parse_options(argc, argv);
  char calibration_source[PATH_MAX + 64];
  load_calibration(opts, calibration_source, sizeof calibration_source);
  umask(077);

  const int stop_fd = stop_requests();

  // touchkey-bridge.socket passes /dev/tsdev; started by hand, the bridge
  // makes it (below, once the panel is known).
  failure why;
  const int passed_fifo = adopt_passed_fifo(why);
  if (why)
    cli_fail(why);
  panel p = take_panel(opts, passed_fifo >= 0, stop_fd);
  if (p.fd == -1)
    return 0;  // stopped while waiting
  opts.mapping.x = p.x;
  opts.mapping.y = p.y;

  const int fifo_fd = passed_fifo >= 0 ? passed_fifo : open_output_fifo(opts.output, why);
  if (fifo_fd == -1)
    cli_fail(why);
  announce(opts, p, calibration_source);

  // Without a watch, others' records and reads are seen only at the bridge's
  // own wake-ups, later than they happen.
  const int watch_fd = watch_fifo(opts.output);
  static pending_log log;
  constexpr std::size_t batch = sizeof p.bytes / sizeof(input_event);
  touch_record records[batch]{};
  for (;;) {
    const std::int64_t now = boot_ms();
    note_unread(log, unread_records(fifo_fd), reads_reported(watch_fd), now);
    if (discard_stale(fifo_fd, log, now) > 0)
      reads_reported(watch_fd);  // the bridge's own reads: no reader's progress
    pollfd waits[] = {{stop_fd, POLLIN, 0}, {p.fd, POLLIN, 0}, {watch_fd, POLLIN, 0}};
    if (poll(waits, 3, ms_until_stale(log, now)) == -1 && errno != EINTR)
      cli_fail(failure_status, "waiting for %s: %s", p.path.c_str(), std::strerror(errno));
    if (waits[0].revents != 0)
      break;  // looked at first, so that no input load can keep it waiting
    if (waits[1].revents == 0)
      continue;
    bool ended = false;
    if (const failure read_failed = read_panel(p, ended))
      cli_fail(read_failed);
    if (ended)
      break;
    const std::size_t taken = take_records(p, opts.mapping, records, batch);
    write_records(fifo_fd, opts.output, records, taken, log);
  }
  // The FIFO stays: a daemon that holds it open keeps reading once a new
  // bridge serves it again.
  if (watch_fd != -1)
    close(watch_fd);
  close(fifo_fd);
  close(p.fd);
  close(stop_fd);
  return 0;
}
