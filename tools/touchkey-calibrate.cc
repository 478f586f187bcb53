// touchkey-calibrate: fits touchkey-bridge's calibration matrix to four taps
// on the screen's corners and writes the file the bridge reads at start.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

#include "calibration.h"
#include "cli.h"
#include "evdev.h"
#include "key_regions.h"
#include "panel.h"

namespace {

constexpr int failure_status = 1;

const cli_program program = {
    "touchkey-calibrate",
    "touchkey-calibrate [--device PATH] [--x-range MIN,MAX --y-range MIN,MAX] [--output FILE] [--mirror]",
    "Asks for a tap on each corner of the screen and fits touchkey-bridge's mapping to them.\n"
    "\n"
    "  --device PATH        the touchscreen, or a file or FIFO of recorded input events\n"
    "                       (default: the first touchscreen)\n"
    "  --x-range MIN,MAX    the panel's x range (needed for recorded events)\n"
    "  --y-range MIN,MAX    the panel's y range (needed for recorded events)\n"
    "  --output FILE        the file to write (default " TOUCHKEY_CALIBRATION_FILE
    ")\n"
    "  --mirror             the keypad mirrored: a..m reads left to right\n"
    "  -h, --help           this help\n"
    "      --version        the version\n"};

struct options {
  const char* device = nullptr;  // nullptr: find the first touchscreen
  const char* output = TOUCHKEY_CALIBRATION_FILE;
  given_ranges ranges;
  bool mirror = false;
};

options parse_options(int argc, char** argv) {
  static const option long_options[] = {
      {"device", required_argument, nullptr, 'd'},  {"x-range", required_argument, nullptr, 'x'},
      {"y-range", required_argument, nullptr, 'y'}, {"output", required_argument, nullptr, 'o'},
      {"mirror", no_argument, nullptr, 'm'},        {nullptr, 0, nullptr, 0},
  };
  options opts;
  for (int c; (c = cli_next_option(argc, argv, "", long_options)) != -1;) {
    switch (c) {
      case 'd': opts.device = optarg; break;
      case 'o': opts.output = optarg; break;
      case 'm': opts.mirror = true; break;
      case 'x':
        parse_range_option("--x-range", optarg, opts.ranges.x.min, opts.ranges.x.max);
        opts.ranges.x_given = true;
        break;
      case 'y':
        parse_range_option("--y-range", optarg, opts.ranges.y.min, opts.ranges.y.max);
        opts.ranges.y_given = true;
        break;
      default: cli_usage_error("unknown option");
    }
  }
  if (optind < argc)
    cli_usage_error("unexpected argument '%s'", argv[optind]);
  return opts;
}

// Opens the panel as the bridge does, and takes it for this program alone: a
// running bridge must type nothing while the corners are tapped. Reads wait,
// for a person takes their time.
panel take_panel(const options& opts) {
  panel p;
  failure why = open_panel(opts.device, true, p);
  if (!why)
    why = set_up_panel(p, opts.ranges);
  if (why)
    cli_fail(why);
  if (p.is_device && !grab_device(p.fd))
    cli_fail(failure_status, "cannot take %s for calibrating: %s", p.path.c_str(), std::strerror(errno));
  return p;
}

// Asks for a tap on each corner until the four fit: the matrix, and the taps
// (panel units) in taps. A recording gets one try; its end ends the program.
calibration_matrix fit_taps(panel& p, const options& opts, std::int32_t taps[corner_count][2]) {
  for (;;) {
    normalised_point points[corner_count];
    for (int i = 0; i < corner_count; ++i) {
      std::printf("Touch the %s corner of the screen, then lift.\n", corner_names[i]);
      std::fflush(stdout);
      failure why;
      if (!next_tap(p, taps[i][0], taps[i][1], why)) {
        if (why)
          cli_fail(why);
        cli_fail(failure_status, "%s ended after %d of the four taps; %s is left as it was", p.path.c_str(),
                 i, opts.output);
      }
      std::printf("  %s: panel %d,%d\n", corner_names[i], taps[i][0], taps[i][1]);
      std::fflush(stdout);  // before any refusal on standard error
      points[i] = {normalise(taps[i][0], p.x), normalise(taps[i][1], p.y)};
    }
    calibration_matrix fitted;
    const failure refused = fit_corners(points, opts.mirror, fitted);
    if (!refused)
      return fitted;
    // A person can tap again; a recording cannot.
    if (!p.is_device)
      cli_fail(failure_status, "refused: %s; %s is left as it was", refused.message.c_str(), opts.output);
    std::printf("That will not do: %s. Once more, from the first corner.\n", refused.message.c_str());
  }
}

// The keys as the calibrated bridge will type them, one character per cell
// of the terminal: each cell's place on the screen, found between the four
// taps, goes through the bridge's own mapping and the daemon's layout.
void print_picture(const panel_mapping& mapping, const std::int32_t taps[corner_count][2]) {
  winsize size = {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == -1 || size.ws_col == 0 || size.ws_row == 0)
    size = {24, 80, 0, 0};
  // Room for the lines around it; never so small that keys vanish.
  const int columns = size.ws_col > 27 ? size.ws_col - 1 : 26;
  const int rows = size.ws_row > 12 ? size.ws_row - 4 : 8;
  std::printf("The keypad on the screen (< backspace, ~ space, > Enter):\n");
  char line[1024];
  for (int row = 0; row < rows; ++row) {
    const double t = (row + 0.5) / rows;
    int n = 0;
    for (int column = 0; column < columns && n + 1 < static_cast<int>(sizeof line); ++column) {
      const double s = (column + 0.5) / columns;
      const double weight[corner_count] = {(1 - s) * (1 - t), s * (1 - t), s * t, (1 - s) * t};
      double x = 0, y = 0;
      for (int i = 0; i < corner_count; ++i) {
        x += weight[i] * taps[i][0];
        y += weight[i] * taps[i][1];
      }
      const keypad_point k = map_point(mapping, static_cast<std::int32_t>(std::lround(x)),
                                       static_cast<std::int32_t>(std::lround(y)));
      line[n++] = key_glyph(keypad_key_at(static_cast<std::int16_t>(k.x), static_cast<std::int16_t>(k.y)));
    }
    line[n] = '\0';
    std::printf("%s\n", line);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const options opts = parse_options(argc, argv);
  panel p = take_panel(opts);
  std::printf(
      "Calibrating %s (x %d..%d, y %d..%d). Touch each corner of the screen where asked, as close to\n"
      "the corner as you can, and lift.\n",
      p.path.c_str(), p.x.min, p.x.max, p.y.min, p.y.max);
  std::int32_t taps[corner_count][2];
  const calibration_matrix fitted = fit_taps(p, opts, taps);

  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  char comment[PATH_MAX + 256];
  std::snprintf(
      comment, sizeof comment,
      "# made %s by touchkey-calibrate%s from %s (x %d..%d, y %d..%d), corner taps %d,%d %d,%d %d,%d %d,%d",
      when, opts.mirror ? " --mirror" : "", p.path.c_str(), p.x.min, p.x.max, p.y.min, p.y.max, taps[0][0],
      taps[0][1], taps[1][0], taps[1][1], taps[2][0], taps[2][1], taps[3][0], taps[3][1]);
  if (const failure why = write_calibration(opts.output, fitted, comment))
    cli_fail(why);

  // The picture shows what the bridge will make of the file, so it is drawn
  // from the file as written, numbers rounded and all.
  panel_mapping mapping;
  mapping.x = p.x;
  mapping.y = p.y;
  if (const failure why = read_calibration(opts.output, mapping.matrix))
    cli_fail(failure_status, "%s, just written: %s", opts.output, why.message.c_str());
  char matrix[160];
  format_matrix(mapping.matrix, matrix, sizeof matrix);
  std::printf("Matrix: %s\n", matrix);
  print_picture(mapping, taps);
  std::printf("Written to %s. To apply it, ", opts.output);
  if (std::strcmp(opts.output, TOUCHKEY_CALIBRATION_FILE) == 0)
    std::printf(
        "restart the bridge (systemctl restart touchkey-bridge): it reads the file when it starts.\n");
  else
    std::printf("start touchkey-bridge with --calibration %s.\n", opts.output);
  std::printf("The matrix replaces the bridge's --swap-xy, --invert-x and --invert-y: drop them.\n");
  close(p.fd);
  return 0;
}
