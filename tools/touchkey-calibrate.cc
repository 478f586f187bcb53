// touchkey-calibrate: fits touchkey-bridge's calibration matrix to four taps
// on the screen's corners and writes the file the bridge reads at start.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calibration.h"
#include "cli.h"
#include "clock.h"
#include "evdev.h"
#include "key_regions.h"
#include "numbers.h"
#include "panel.h"

// Where the first boot records that it asked for the corners (see
// touchkey-calibrate.service): in the service's state directory.
#define TOUCHKEY_ASKED_NAME "calibration-asked"
#define TOUCHKEY_ASKED_FILE "/var/lib/touchkey/" TOUCHKEY_ASKED_NAME

namespace {

constexpr int failure_status = 1;

// At first boot: how long a panel may take to appear (USB, say), how long a
// tap may take before the keypad goes on uncalibrated, and how long refused
// taps may keep asking: the login prompt waits meanwhile, and the unit's
// TimeoutStartSec (5 min) must never be what ends it.
constexpr int first_boot_panel_wait_ms = 5000;
constexpr int first_boot_tap_timeout_ms = 30000;
constexpr int first_boot_total_timeout_ms = 120000;
// By hand, started from a keypad that may be the only keyboard: with nobody
// tapping it ends by itself, changing nothing.
constexpr int idle_timeout_ms = 60000;

const cli_program program = {
    "touchkey-calibrate",
    "touchkey-calibrate [--device PATH] [--x-range MIN,MAX --y-range MIN,MAX] [--output FILE] [--mirror]\n"
    "                   [--first-boot] [--panel-wait SECONDS] [--tap-timeout SECONDS]\n"
    "                   [--total-timeout SECONDS]\n"
    "touchkey-calibrate --show [--calibration FILE]",
    "Asks for a tap on each corner of the screen and fits touchkey-bridge's mapping to them;\n"
    "with --show, draws the keypad as the bridge types it through the calibration.\n"
    "\n"
    "  --device PATH          the touchscreen, or a file or FIFO of recorded input events\n"
    "                         (default: the first touchscreen)\n"
    "  --x-range MIN,MAX      the panel's x range (needed for recorded events)\n"
    "  --y-range MIN,MAX      the panel's y range (needed for recorded events)\n"
    "  --output FILE          the file to write (default " TOUCHKEY_CALIBRATION_FILE
    ")\n"
    "  --mirror               the keypad mirrored: a..m reads left to right\n"
    "  --first-boot           as the boot runs it: nothing to do once FILE holds a calibration,\n"
    "                         or is absent and a boot has asked (" TOUCHKEY_ASKED_FILE
    ");\n"
    "                         waits 5 s for a panel, 30 s for each tap and 120 s in all,\n"
    "                         then goes on uncalibrated\n"
    "  --panel-wait SECONDS   wait that long for a touchscreen to be plugged in (default 0: look\n"
    "                         once; not for a --device)\n"
    "  --tap-timeout SECONDS  give up when no tap comes for that long (default 60, 0: never)\n"
    "  --total-timeout SECONDS\n"
    "                         give up when no four taps fit within that long (default 0: never)\n"
    "  --show                 draw the keypad through the calibration; ask for no taps\n"
    "  --calibration FILE     the file --show draws (default " TOUCHKEY_CALIBRATION_FILE
    ")\n"
    "  -h, --help             this help\n"
    "      --version          the version\n"};

struct options {
  const char* device = nullptr;  // nullptr: find the first touchscreen
  const char* output = TOUCHKEY_CALIBRATION_FILE;
  given_ranges ranges;
  bool mirror = false;
  bool first_boot = false;
  int panel_wait_ms = 0;
  int tap_timeout_ms = idle_timeout_ms;  // -1: no limit
  int total_timeout_ms = -1;             // -1: no limit
  bool show = false;
  const char* calibration = nullptr;  // --show's file, when named
};

// SECONDS, a decimal number up to an hour, in milliseconds.
int parse_seconds_option(const char* option, const char* text) {
  double seconds = 0;
  if (!parse_number_list(text, &seconds, 1) || seconds < 0 || seconds > 3600)
    cli_usage_error("%s takes seconds from 0 to 3600, not '%s'", option, text);
  return static_cast<int>(std::lround(seconds * 1000));
}

options parse_options(int argc, char** argv) {
  enum : int {
    device = 1,
    x_range,
    y_range,
    output,
    mirror,
    first_boot,
    panel_wait,
    tap_timeout,
    total_timeout,
    show,
    calibration
  };
  static const option long_options[] = {
      {"device", required_argument, nullptr, device},
      {"x-range", required_argument, nullptr, x_range},
      {"y-range", required_argument, nullptr, y_range},
      {"output", required_argument, nullptr, output},
      {"mirror", no_argument, nullptr, mirror},
      {"first-boot", no_argument, nullptr, first_boot},
      {"panel-wait", required_argument, nullptr, panel_wait},
      {"tap-timeout", required_argument, nullptr, tap_timeout},
      {"total-timeout", required_argument, nullptr, total_timeout},
      {"show", no_argument, nullptr, show},
      {"calibration", required_argument, nullptr, calibration},
      {nullptr, 0, nullptr, 0},
  };
  options opts;
  int panel_wait_ms = -1, tap_timeout_ms = -1, total_timeout_ms = -1;
  bool calibrating_option = false;  // one that only asking for taps takes
  for (int c; (c = cli_next_option(argc, argv, "", long_options)) != -1;) {
    calibrating_option |= c != show && c != calibration;
    switch (c) {
      case device: opts.device = optarg; break;
      case output: opts.output = optarg; break;
      case mirror: opts.mirror = true; break;
      case x_range:
        parse_range_option("--x-range", optarg, opts.ranges.x.min, opts.ranges.x.max);
        opts.ranges.x_given = true;
        break;
      case y_range:
        parse_range_option("--y-range", optarg, opts.ranges.y.min, opts.ranges.y.max);
        opts.ranges.y_given = true;
        break;
      case first_boot: opts.first_boot = true; break;
      case panel_wait: panel_wait_ms = parse_seconds_option("--panel-wait", optarg); break;
      case tap_timeout: tap_timeout_ms = parse_seconds_option("--tap-timeout", optarg); break;
      case total_timeout: total_timeout_ms = parse_seconds_option("--total-timeout", optarg); break;
      case show: opts.show = true; break;
      case calibration: opts.calibration = optarg; break;
      default: cli_usage_error("unknown option");
    }
  }
  if (optind < argc)
    cli_usage_error("unexpected argument '%s'", argv[optind]);
  if (opts.show && calibrating_option)
    cli_usage_error("--show asks for no taps: it takes --calibration alone");
  if (opts.calibration != nullptr && !opts.show)
    cli_usage_error("--calibration names the file --show draws; the file written is --output");
  if (opts.first_boot) {
    opts.panel_wait_ms = first_boot_panel_wait_ms;
    opts.tap_timeout_ms = first_boot_tap_timeout_ms;
    opts.total_timeout_ms = first_boot_total_timeout_ms;
  }
  if (panel_wait_ms >= 0)
    opts.panel_wait_ms = panel_wait_ms;
  if (tap_timeout_ms >= 0)
    opts.tap_timeout_ms = tap_timeout_ms == 0 ? -1 : tap_timeout_ms;
  if (total_timeout_ms >= 0)
    opts.total_timeout_ms = total_timeout_ms == 0 ? -1 : total_timeout_ms;
  return opts;
}

// Opens the panel as the bridge does, waiting --panel-wait for one to be
// plugged in, and takes it for this program alone: a running bridge must type
// nothing while the corners are tapped. False when none came in that time
// and it runs at first boot, where a machine without a panel is no fault.
bool take_panel(const options& opts, panel& p) {
  failure why = open_panel(opts.device, true, p);
  if (why && opts.device == nullptr && (opts.panel_wait_ms > 0 || opts.first_boot)) {
    const failure none = why;
    why = wait_for_panel(-1, p, opts.panel_wait_ms);
    if (!why && p.fd == -1)
      why = failure_of("%s within %g s", none.message.c_str(), opts.panel_wait_ms / 1000.0);
    if (p.fd == -1 && opts.first_boot) {
      cli_warn("%s; the keypad goes on uncalibrated", why.message.c_str());
      return false;
    }
  }
  if (!why)
    why = set_up_panel(p, opts.ranges);
  if (why)
    cli_fail(why);
  if (p.is_device && !grab_device(p.fd))
    cli_fail(failure_status, "cannot take %s for calibrating: %s", p.path.c_str(), std::strerror(errno));
  return true;
}

// The console's size, or the text console's usual one when it has none.
winsize terminal_size() {
  winsize size = {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == -1 || size.ws_col == 0 || size.ws_row == 0)
    size = {24, 80, 0, 0};
  return size;
}

// text broken at blanks into lines shorter than the terminal, so that no line
// wraps there; as it is for a pipe or file.
std::string wrapped(const std::string& text) {
  if (isatty(STDOUT_FILENO) != 1)
    return text;
  const std::size_t width = terminal_size().ws_col - 1u;
  std::string out;
  std::size_t line_start = 0, last_blank = std::string::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\n') {
      line_start = out.size(), last_blank = std::string::npos;
      continue;
    }
    if (text[i] == ' ')
      last_blank = out.size() - 1;
    if (out.size() - line_start > width && last_blank != std::string::npos) {
      out[last_blank] = '\n';
      line_start = last_blank + 1, last_blank = std::string::npos;
    }
  }
  return out;
}

// The lines text takes on the terminal, a line longer than it wrapping.
int screen_lines(const std::string& text, int columns) {
  int lines = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines += std::max(1, static_cast<int>((end - start + columns - 1) / columns));
    start = end + 1;
  }
  return lines;
}

// At first boot on the console, each step starts on a cleared screen: the
// boot's messages, and earlier refusals, would push the prompts off it.
void clear_console(const options& opts) {
  if (opts.first_boot && isatty(STDOUT_FILENO) == 1)
    std::printf("\033[H\033[J");
}

// How asking for the corners ended.
enum class asking { fitted, idle, out_of_time };

// Asks for a tap on each corner until the four fit: fitted, with the matrix,
// and the taps (panel units) in screen; idle when no tap came for
// --tap-timeout; out_of_time when no four taps fit within --total-timeout.
// A person, or a FIFO, can tap again; a file of recorded taps gets one try,
// and its end ends the program.
asking fit_taps(panel& p, const options& opts, screen_corners& screen, calibration_matrix& fitted) {
  struct stat input = {};
  const bool taps_again = p.is_device || (fstat(p.fd, &input) == 0 && !S_ISREG(input.st_mode));
  const std::int64_t deadline = opts.total_timeout_ms < 0 ? -1 : monotonic_ms() + opts.total_timeout_ms;
  std::string refusal;
  for (bool first_round = true;; first_round = false) {
    if (first_round || (opts.first_boot && isatty(STDOUT_FILENO) == 1)) {
      clear_console(opts);
      if (opts.first_boot && opts.tap_timeout_ms >= 0)
        std::printf("The touch keypad is not calibrated yet (with no tap for %g s it goes on so).\n",
                    opts.tap_timeout_ms / 1000.0);
      else if (opts.first_boot)
        std::printf("The touch keypad is not calibrated yet.\n");
      std::printf(
          "Calibrating %s (x %d..%d, y %d..%d).\n"
          "Touch each corner of the screen where asked, as close as you can, and lift.\n",
          p.path.c_str(), p.x.min, p.x.max, p.y.min, p.y.max);
    }
    std::printf("%s", wrapped(refusal).c_str());
    normalised_point points[corner_count];
    for (int i = 0; i < corner_count; ++i) {
      std::printf("Touch the %s corner of the screen, then lift.\n", corner_names[i]);
      std::fflush(stdout);
      // The wait for this tap, cut short where the total ends first.
      int timeout_ms = opts.tap_timeout_ms;
      bool total_first = false;
      if (deadline >= 0) {
        const int left = static_cast<int>(std::max<std::int64_t>(deadline - monotonic_ms(), 0));
        total_first = timeout_ms < 0 || left < timeout_ms;
        timeout_ms = total_first ? left : timeout_ms;
      }
      failure why;
      switch (next_tap(p, screen.taps[i][0], screen.taps[i][1], why, timeout_ms)) {
        case tap_wait::tapped: break;
        case tap_wait::timed_out: return total_first ? asking::out_of_time : asking::idle;
        case tap_wait::failed: cli_fail(why);
        case tap_wait::ended:
          cli_fail(failure_status, "%s ended after %d of the four taps; %s is left as it was", p.path.c_str(),
                   i, opts.output);
      }
      std::printf("  %s: panel %d,%d\n", corner_names[i], screen.taps[i][0], screen.taps[i][1]);
      std::fflush(stdout);  // before any refusal on standard error
      points[i] = {normalise(screen.taps[i][0], p.x), normalise(screen.taps[i][1], p.y)};
    }
    const failure refused = fit_corners(points, opts.mirror, fitted);
    if (!refused)
      return asking::fitted;
    if (!taps_again)
      cli_fail(failure_status, "refused: %s; %s is left as it was", refused.message.c_str(), opts.output);
    refusal = "That will not do: " + refused.message + ". Once more, from the first corner.\n";
  }
}

// The keys as the calibrated bridge will type them, one character per cell
// of the terminal, between the text before and after it, all of which fits
// the terminal: each cell's place on the screen, found between the screen's
// corners on the panel, goes through the bridge's own mapping and the
// daemon's layout.
void print_picture(const calibration_matrix& matrix, const screen_corners& screen, const std::string& before,
                   const std::string& after) {
  panel_mapping mapping;
  mapping.x = screen.x;
  mapping.y = screen.y;
  mapping.matrix = matrix;
  const winsize size = terminal_size();
  const std::string legend = "The keypad on the screen (< backspace, ~ space, > Enter):\n";
  const std::string text_before = wrapped(before) + legend, text_after = "\n" + wrapped(after);
  // The last column left free, as the last line, where the cursor ends up;
  // never so small that keys vanish.
  const int columns = size.ws_col > 27 ? size.ws_col - 1 : 26;
  const int rows = std::max(
      8, size.ws_row - screen_lines(text_before, size.ws_col) - screen_lines(text_after, size.ws_col) - 1);
  std::printf("%s", text_before.c_str());
  char line[1024];
  for (int row = 0; row < rows; ++row) {
    const double t = (row + 0.5) / rows;
    int n = 0;
    for (int column = 0; column < columns && n + 1 < static_cast<int>(sizeof line); ++column) {
      const double s = (column + 0.5) / columns;
      const double weight[corner_count] = {(1 - s) * (1 - t), s * (1 - t), s * t, (1 - s) * t};
      double x = 0, y = 0;
      for (int i = 0; i < corner_count; ++i) {
        x += weight[i] * screen.taps[i][0];
        y += weight[i] * screen.taps[i][1];
      }
      const keypad_point k = map_point(mapping, static_cast<std::int32_t>(std::lround(x)),
                                       static_cast<std::int32_t>(std::lround(y)));
      line[n++] = key_glyph(keypad_key_at(static_cast<std::int16_t>(k.x), static_cast<std::int16_t>(k.y)));
    }
    line[n] = '\0';
    std::printf("%s\n", line);
  }
  std::printf("%s", text_after.c_str());
}

// The picture at the end of a calibration, for the calibration in force:
// the file the bridge reads, or none. Where the file does not record the
// screen's corners, the screen can only be taken to cover the panel's whole
// range along the panel's own axes, and the picture says so.
void show_calibration(const options& opts) {
  const char* path = opts.calibration != nullptr ? opts.calibration : TOUCHKEY_CALIBRATION_FILE;
  calibration_matrix matrix;
  screen_corners screen;
  const failure why = read_calibration(path, matrix, &screen);
  // No calibration at the default place is the uncalibrated panel, not a fault.
  const bool uncalibrated = why.error == ENOENT && opts.calibration == nullptr;
  if (why && !uncalibrated)
    cli_fail(failure_status, "calibration %s: %s", path, why.message.c_str());
  char numbers[160];
  format_matrix(matrix, numbers, sizeof numbers);
  std::string before =
      "Matrix: " + std::string(numbers) + (why ? ", none (" : ", from ") + path + (why ? " absent)\n" : "\n");
  if (screen.known) {
    before += "The screen's place on the panel: " + describe_screen(screen) + "\n";
  } else {
    before +=
        "No corner taps recorded: the screen is taken to cover the panel's whole range, its x to the right "
        "and its y downwards.\n";
    constexpr std::int32_t whole = 32767;  // a range fine enough for any terminal's cells
    screen.x = screen.y = {0, whole};
    const std::int32_t corners[corner_count][2] = {{0, 0}, {whole, 0}, {whole, whole}, {0, whole}};
    std::memcpy(screen.taps, corners, sizeof corners);
  }
  print_picture(matrix, screen, before,
                "The bridge's --swap-xy, --invert-x and --invert-y, if it is given any, apply on top of "
                "this.\n");
}

// Where --first-boot records that it asked: the service's state directory.
std::string asked_file() {
  const char* directory = std::getenv("STATE_DIRECTORY");
  return directory != nullptr ? std::string(directory) + "/" TOUCHKEY_ASKED_NAME : TOUCHKEY_ASKED_FILE;
}

// Records, durably, that the first boot asked for the corners and what came
// of it, so that no later boot asks again while the calibration file is
// absent.
void record_asked(const std::string& outcome) {
  const std::string path = asked_file();
  if (const failure why = replace_file(path.c_str(), outcome + "\n"))
    cli_fail(failure_status, "cannot record that it asked: %s", why.message.c_str());
}

// At first boot, once is enough: nothing to do with a calibration the bridge
// takes, nor without one after a boot that asked. A file there that the
// bridge refuses (cut short, corrupt, singular) is a calibration lost,
// whatever was recorded: the keypad types through none, so it asks again.
bool needs_asking(const options& opts) {
  calibration_matrix matrix;
  const failure why = read_calibration(opts.output, matrix);
  if (!why)
    return false;
  if (why.error == ENOENT)
    return access(asked_file().c_str(), F_OK) != 0;
  cli_warn("%s: %s; asking for the corners again", opts.output, why.message.c_str());
  return true;
}

// The end of a first boot that got no calibration: it says so on the
// console and records it. By hand, nothing is changed and it fails.
int go_on_uncalibrated(const options& opts, asking outcome) {
  char why[96];
  if (outcome == asking::idle)
    std::snprintf(why, sizeof why, "no tap for %g s", opts.tap_timeout_ms / 1000.0);
  else
    std::snprintf(why, sizeof why, "no four taps fit within %g s", opts.total_timeout_ms / 1000.0);
  if (!opts.first_boot)
    cli_fail(failure_status, "%s; %s is left as it was", why, opts.output);
  cli_warn("%s; the keypad goes on uncalibrated", why);
  // A file the bridge refuses is still there: the next boot asks again.
  const bool asks_again = access(opts.output, F_OK) == 0;
  const std::string text = std::string(1, static_cast<char>(std::toupper(why[0]))) + (why + 1) +
                           ": the keypad goes on uncalibrated, and " +
                           (asks_again ? "the next boot asks again." : "no boot will ask again.") +
                           "\nTo calibrate it later, log in as root and type touchkey-calibrate and Enter on"
                           "\nthe keypad: every letter of it and the hyphen are keys.\n";
  std::printf("\n%s", wrapped(text).c_str());
  cli_finish_output();
  record_asked(std::string("asked at first boot; ") + why);
  return 0;
}

// The comment that opens the file: when, from which device, and the taps.
std::string made_comment(const options& opts, const panel& p, const screen_corners& screen) {
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  return std::string("# made ") + when + " by touchkey-calibrate" + (opts.mirror ? " --mirror" : "") +
         " from " + p.path + " " + describe_screen(screen);
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const options opts = parse_options(argc, argv);
  if (opts.show) {
    show_calibration(opts);
    cli_finish_output();
    return 0;
  }
  if (opts.first_boot && !needs_asking(opts))
    return 0;
  panel p;
  if (!take_panel(opts, p))
    return 0;
  screen_corners screen;
  screen.x = p.x;
  screen.y = p.y;
  calibration_matrix fitted;
  const asking outcome = fit_taps(p, opts, screen, fitted);
  if (outcome != asking::fitted)
    return go_on_uncalibrated(opts, outcome);

  // Synced, with its directory, before anything says it is written.
  if (const failure why = write_calibration(opts.output, fitted, made_comment(opts, p, screen).c_str()))
    cli_fail(why);
  // The picture shows what the bridge will make of the file, so it is drawn
  // from the file as written, numbers rounded and all.
  calibration_matrix written;
  if (const failure why = read_calibration(opts.output, written))
    cli_fail(failure_status, "%s, just written: %s", opts.output, why.message.c_str());
  char matrix[160];
  format_matrix(written, matrix, sizeof matrix);
  const std::string before = "Matrix: " + std::string(matrix) + "\n";
  if (opts.first_boot) {
    record_asked("asked at first boot; calibrated");
    clear_console(opts);
    // The login prompt clears the screen: the picture stays until a tap.
    print_picture(written, screen, before,
                  "Written to " + std::string(opts.output) +
                      ": the keypad types through it from now on.\nTap the screen to go on.\n");
    std::fflush(stdout);
    failure ignored;
    next_tap(p, screen.taps[0][0], screen.taps[0][1], ignored, opts.tap_timeout_ms);
    close(p.fd);
    return 0;
  }
  print_picture(written, screen, before,
                "Written to " + std::string(opts.output) +
                    (std::strcmp(opts.output, TOUCHKEY_CALIBRATION_FILE) == 0
                         ? ": a running bridge types through it from its next tap.\n"
                         : ". To apply it, start touchkey-bridge with --calibration " +
                               std::string(opts.output) + ".\n") +
                    "The matrix replaces the bridge's --swap-xy, --invert-x and --invert-y: drop them.\n");
  close(p.fd);
  return 0;
}
