// touchkey-bridge: serves the touchscreen device that touchkeyd reads, a FIFO
// of 8-byte touch records, from an evdev touchscreen of a current kernel.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
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
  calibration_matrix matrix;  // --matrix's
  bool swap_xy = false, invert_x = false, invert_y = false;
};

// The mapping the keys are typed through, and where its calibration came
// from, as the start line says.
struct mapping_in_force {
  panel_mapping mapping;  // its ranges are the served panel's
  bool calibrated = false;
  std::string calibration;  // "from FILE", "none (FILE absent)", ...
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
    "                     read again whenever it changes; absent or refused: none)\n"
    "  --swap-xy          the panel's y is the keypad's x, and its x the keypad's y\n"
    "                     (this and the inversions only while there is no calibration)\n"
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
      case swap_xy: opts.swap_xy = true; break;
      case invert_x: opts.invert_x = true; break;
      case invert_y: opts.invert_y = true; break;
      case matrix: {
        double m[6];
        if (!parse_number_list(optarg, m, 6))
          cli_usage_error("--matrix wants six numbers a,b,c,d,e,f, not '%s'", optarg);
        opts.matrix = {m[0], m[1], m[2], m[3], m[4], m[5]};
        if (is_singular(opts.matrix))
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

const char* calibration_path(const options& opts) {
  return opts.calibration != nullptr ? opts.calibration : TOUCHKEY_CALIBRATION_FILE;
}

// The calibration as it stands: --matrix, else the file named or the default
// one. A file that is absent or refused, named or not, leaves the panel
// uncalibrated rather than the keypad dead: on a keypad-only device a bridge
// that fails at every start locks its user out for good. The start line says
// why.
mapping_in_force take_calibration(const options& opts) {
  mapping_in_force in_force;
  panel_mapping& m = in_force.mapping;
  calibration_matrix matrix;
  const char* path = calibration_path(opts);
  const failure why = opts.matrix_given ? failure{} : read_calibration(path, matrix);
  if (opts.matrix_given) {
    m.matrix = opts.matrix;
    in_force.calibration = "from --matrix";
  } else if (!why) {
    m.matrix = matrix;
    in_force.calibration = std::string("from ") + path;
  } else if (why.error == ENOENT) {
    in_force.calibration = std::string("none (") + path + " absent)";
  } else {
    in_force.calibration = std::string("none (") + path + ": " + why.message + "; typing uncalibrated)";
  }
  in_force.calibrated = opts.matrix_given || !why;
  // touchkey-calibrate fits the matrix to the panel's own axes and shows the
  // keys as that matrix alone places them: orientation options on top would
  // turn the keys away from that picture. They are for an uncalibrated panel.
  m.swap_xy = opts.swap_xy && !in_force.calibrated;
  m.invert_x = opts.invert_x && !in_force.calibrated;
  m.invert_y = opts.invert_y && !in_force.calibrated;
  return in_force;
}

// "orientation ..., calibration ..., mapping ...", the part of the start line
// that a new calibration changes. The calibration and the orientation options
// in force show as the one matrix they make.
std::string describe_mapping(const options& opts, const mapping_in_force& in_force) {
  const panel_mapping& m = in_force.mapping;
  char orientation[96] = " as is";
  if (opts.swap_xy || opts.invert_x || opts.invert_y)
    std::snprintf(orientation, sizeof orientation, "%s%s%s%s", opts.swap_xy ? " --swap-xy" : "",
                  opts.invert_x ? " --invert-x" : "", opts.invert_y ? " --invert-y" : "",
                  in_force.calibrated ? " (superseded by the calibration)" : "");
  char matrix[160];
  format_matrix(compose(orientation_matrix(m.swap_xy, m.invert_x, m.invert_y), m.matrix), matrix,
                sizeof matrix);
  return std::string("orientation") + orientation + ", calibration " + in_force.calibration + ", mapping " +
         matrix;
}

// The one line that says what is served from what, and how, so that a log
// shows which panel and mapping a wrong key came from; said again whenever a
// panel is served anew.
void announce(const options& opts, const panel& p, const mapping_in_force& in_force) {
  const panel_mapping& m = in_force.mapping;
  std::printf("%s: serving %s from %s (%s), x %d..%d, y %d..%d, %s\n", program.name, opts.output,
              p.path.c_str(), p.description.c_str(), m.x.min, m.x.max, m.y.min, m.y.max,
              describe_mapping(opts, in_force).c_str());
  std::fflush(stdout);
}

// Watches the calibration file for touchkey-calibrate's rename into place (or
// an edit, or its removal), and the directory above for the file's directory
// being made: a first calibration may make it. -1 when nothing can be watched.
int watch_calibration(const char* path) {
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd == -1)
    return -1;
  std::string directory = path;
  const std::size_t slash = directory.find_last_of('/');
  directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
  const std::size_t above = directory.find_last_of('/');
  const std::string parent = above == std::string::npos ? "." : above == 0 ? "/" : directory.substr(0, above);
  constexpr std::uint32_t changes = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR;
  const bool watched = inotify_add_watch(watch_fd, directory.c_str(), changes) != -1;
  if (inotify_add_watch(watch_fd, parent.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) == -1 && !watched) {
    close(watch_fd);
    return -1;
  }
  return watch_fd;
}

// After the watch reported something: reads the calibration again and says so
// when the mapping changed. The watch is set anew, since the directory may
// have been made (or removed) meanwhile.
void reload_calibration(const options& opts, int& watch_fd, mapping_in_force& in_force) {
  close(watch_fd);
  watch_fd = watch_calibration(calibration_path(opts));
  mapping_in_force now = take_calibration(opts);
  now.mapping.x = in_force.mapping.x;
  now.mapping.y = in_force.mapping.y;
  const std::string described = describe_mapping(opts, now);
  if (described == describe_mapping(opts, in_force))
    return;  // the same numbers again change no key
  in_force = now;
  std::printf("%s: calibration changed: %s\n", program.name, described.c_str());
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

// Takes the panel's ranges and state once it is open; a panel that cannot be
// served is a fault for the service manager to restart the bridge on.
void set_up(panel& p, const options& opts, mapping_in_force& in_force) {
  if (const failure why = set_up_panel(p, opts.ranges))
    cli_fail(why);
  device_snapshot snapshot;
  if (read_snapshot(p.fd, snapshot))
    apply_snapshot(p.state, snapshot);
  in_force.mapping.x = p.x;
  in_force.mapping.y = p.y;
}

// Starts the wait for a panel: the watch to poll, after one more look.
int wait_for(const options& opts, panel& p) {
  failure why;
  const int watch_fd = watch_for_panel(opts.device, why);
  if (watch_fd == -1)
    cli_fail(why);
  look_for_panel(watch_fd, opts.device, p);
  return watch_fd;
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const options opts = parse_options(argc, argv);
  // Watched before it is read, so that no change between the two goes unseen.
  int calibration_watch = opts.matrix_given ? -1 : watch_calibration(calibration_path(opts));
  if (!opts.matrix_given && calibration_watch == -1)
    cli_warn("cannot watch %s (%s): restart the bridge after a new calibration", calibration_path(opts),
             std::strerror(errno));
  mapping_in_force in_force = take_calibration(opts);
  umask(077);

  const int stop_fd = stop_requests();

  // touchkey-bridge.socket passes its FIFO (/dev/tsdev links to it); started
  // by hand, the bridge makes --output (below, once the panel is known).
  failure why;
  const int passed_fifo = adopt_passed_fifo(opts.output, why);
  if (why)
    cli_fail(why);
  panel p;
  int panel_watch = -1;  // while waiting for a panel
  why = open_panel(opts.device, false, p);
  // As a service, exiting for want of a panel would only start a restart loop
  // that fills the journal; by hand, saying so at once serves better.
  if (why && passed_fifo >= 0 && opts.device == nullptr) {
    cli_warn("%s; waiting for one", why.message.c_str());
    panel_watch = wait_for(opts, p);
  } else if (why) {
    cli_fail(why);
  } else {
    set_up(p, opts, in_force);
  }

  // Started by hand, the bridge has its panel here.
  const int fifo_fd = passed_fifo >= 0 ? passed_fifo : open_output_fifo(opts.output, why);
  if (fifo_fd == -1)
    cli_fail(why);
  if (panel_watch == -1)
    announce(opts, p, in_force);

  // Without a watch, others' records and reads are seen only at the bridge's
  // own wake-ups, later than they happen.
  const int watch_fd = watch_fifo(fifo_fd);
  static pending_log log;
  constexpr std::size_t batch = sizeof p.bytes / sizeof(input_event);
  touch_record records[batch]{};
  for (;;) {
    if (p.fd != -1 && panel_watch != -1) {  // found
      close(panel_watch);
      panel_watch = -1;
      set_up(p, opts, in_force);
      announce(opts, p, in_force);
    }
    // Counted first, then the time: a record that arrives in between is
    // never stamped as older than it is.
    const std::size_t unread = unread_records(fifo_fd);
    const bool read_seen = reads_reported(watch_fd);
    const std::int64_t now = boot_ms();
    note_unread(log, unread, read_seen, now);
    if (discard_stale(fifo_fd, log, now) > 0) {
      // The bridge's own reads are no reader's progress. Counting again
      // catches a record written while their events were drained.
      reads_reported(watch_fd);
      continue;
    }
    pollfd waits[] = {{stop_fd, POLLIN, 0},
                      {p.fd, POLLIN, 0},
                      {panel_watch, POLLIN, 0},
                      {watch_fd, POLLIN, 0},
                      {calibration_watch, POLLIN, 0}};
    if (poll(waits, 5, ms_until_stale(log, now)) == -1 && errno != EINTR)
      cli_fail(failure_status, "waiting for %s: %s", p.path.c_str(), std::strerror(errno));
    if (waits[0].revents != 0)
      break;  // looked at first, so that no input load can keep it waiting
    if (waits[4].revents != 0)
      reload_calibration(opts, calibration_watch, in_force);
    if (waits[2].revents != 0)
      look_for_panel(panel_watch, opts.device, p);
    if (waits[1].revents == 0)
      continue;
    bool ended = false;
    const failure read_failed = read_panel(p, ended);
    if (panel_gone(read_failed, ended, waits[1].revents)) {
      // The FIFO stays open meanwhile: the daemon sees no end of file, only
      // no taps, and types again as soon as a panel is back.
      const std::string lost = read_failed.error == ENODEV ? read_failed.message : p.path + " hung up";
      cli_warn("lost the panel: %s; waiting for %s", lost.c_str(),
               opts.device != nullptr ? opts.device : "one to be plugged in");
      close(p.fd);
      p = panel{};
      panel_watch = wait_for(opts, p);
      continue;
    }
    if (read_failed)
      cli_fail(read_failed);
    if (ended)
      break;
    const std::size_t taken = take_records(p, in_force.mapping, records, batch);
    write_records(fifo_fd, opts.output, records, taken, log);
  }
  // The FIFO stays: a daemon that holds it open keeps reading once a new
  // bridge serves it again.
  if (watch_fd != -1)
    close(watch_fd);
  if (calibration_watch != -1)
    close(calibration_watch);
  if (panel_watch != -1)
    close(panel_watch);
  close(fifo_fd);
  if (p.fd != -1)
    close(p.fd);
  close(stop_fd);
  return 0;
}
