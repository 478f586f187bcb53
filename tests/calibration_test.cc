// Tests of the calibration: the fit for every way a panel can be mounted,
// touchkey-calibrate's refusals, and touchkey-calibrate then touchkey-bridge
// putting taps on the keys that the calibration's picture shows.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <glob.h>
#include <linux/input.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "calibration.h"
#include "key_regions.h"
#include "keypad.h"
#include "test_support.h"
#include "touch_record.h"

namespace {

// How the screen lies on the panel: turned by quarter turns, mirrored, and
// seen through a window of the panel's range (inset on each side).
struct mounting {
  int quarter_turns;
  bool mirrored;
  double inset;
};

const mounting mountings[] = {{0, false, 0}, {1, false, 0}, {2, false, 0}, {3, false, 0},  {0, true, 0},
                              {1, true, 0},  {2, true, 0},  {3, true, 0},  {1, true, 0.12}};

// The panel's normalised position under the screen's (s, t).
normalised_point panel_of(const mounting& m, double s, double t) {
  if (m.mirrored)
    s = 1 - s;
  for (int i = 0; i < m.quarter_turns; ++i)
    std::tie(s, t) = std::make_pair(1 - t, s);
  return {m.inset + s * (1 - 2 * m.inset), m.inset / 2 + t * (1 - m.inset)};
}

const double corner_s[corner_count] = {0, 1, 1, 0}, corner_t[corner_count] = {0, 0, 1, 1};

TEST(CalibrationFit, EveryMountingMapsTheScreenOntoTheKeypadPicture) {
  for (const mounting& m : mountings) {
    for (const bool mirror : {false, true}) {
      normalised_point taps[corner_count];
      for (int i = 0; i < corner_count; ++i)
        taps[i] = panel_of(m, corner_s[i], corner_t[i]);
      SCOPED_TRACE(testing::Message() << m.quarter_turns << " turns, mirrored " << m.mirrored << ", inset "
                                      << m.inset << ", --mirror " << mirror);
      calibration_matrix matrix;
      const failure refused = fit_corners(taps, mirror, matrix);
      ASSERT_FALSE(refused) << refused.message;
      // Three points that are not on a line pin an affine map down.
      for (const auto& [s, t] : {std::pair{0.3, 0.7}, {0.9, 0.2}, {0.5, 0.5}}) {
        const normalised_point k = apply_matrix(matrix, panel_of(m, s, t));
        EXPECT_NEAR(k.x, mirror ? 1 - s : s, 1e-9);
        EXPECT_NEAR(k.y, t, 1e-9);
      }
      if (m.inset != 0)
        continue;
      // Without an inset the orientation options could serve the panel: the
      // fit is one of their matrices.
      char fitted[160], option[160] = "";
      format_matrix(matrix, fitted, sizeof fitted);
      for (int flags = 0; flags < 8 && std::strcmp(fitted, option) != 0; ++flags)
        format_matrix(orientation_matrix(flags & 1, flags & 2, flags & 4), option, sizeof option);
      EXPECT_STREQ(fitted, option);
    }
  }
}

// The file as the bridge reads it: one matrix line among comments and blank
// lines of any length; anything else is refused with the reason.
TEST(CalibrationFile, ReadsOneMatrixAmongCommentsAndRefusesTheRest) {
  temp_dir dir;
  const std::string squeezes = singular_matrix;
  const struct {
    const char* what;
    std::string content;  // empty: the path is a directory
    std::string read;     // the matrix read, or "refused: " and why
  } cases[] = {
      {"comments and blanks", "# made\n\n  0.5,0,0.25,0,1,0 \n# end\n", "0.5,0,0.25,0,1,0"},
      {"a comment longer than 255 bytes", "# " + std::string(300, 'x') + "\n0,1,0,1,0,0\n", "0,1,0,1,0,0"},
      {"six numbers past byte 255 of a comment", "# " + std::string(253, 'x') + "1,0,0,0,1,0\n",
       "refused: no line with the six numbers a,b,c,d,e,f"},
      {"a second matrix", "1,0,0,0,1,0\n0,1,0,1,0,0\n", "refused: line 2: a second matrix"},
      {"a singular matrix", "0,0,0.5,0,0,0.5\n",
       "refused: line 1: the matrix 0,0,0.5,0,0,0.5 is singular: it squeezes the whole panel onto a line of "
       "the keypad"},
      {"singular, off the diagonal", "0.5,1,0,1,2,0.5\n",
       "refused: line 1: the matrix 0.5,1,0,1,2,0.5 " + squeezes},
      {"x squeezed, y stretched", "1e-7,0,0,0,1e7,0\n",
       "refused: line 1: the matrix 1e-7,0,0,0,1e7,0 " + squeezes},
      // Turned by a quarter, x squeezed to just over a key of the keypad, then
      // just under; then a key stretched to just over a thousandth of the panel.
      {"squeezed to a key", "0,0.077,0,1,0,0\n", "0,0.077,0,1,0,0"},
      {"squeezed below a key", "0,0.076,0,1,0,0\n",
       "refused: line 1: the matrix 0,0.076,0,1,0,0 " + squeezes},
      {"stretched to a thousandth", "0,76.9,0,1,0,0\n", "0,76.9,0,1,0,0"},
      {"stretched beyond", "0,77,0,1,0,0\n", "refused: line 1: the matrix 0,77,0,1,0,0 " + squeezes},
      {"a directory", "", "refused: Is a directory"},
  };
  for (const auto& c : cases) {
    const std::string path = c.content.empty() ? dir.path : dir / "calibration";
    if (!c.content.empty())
      write_file(path, c.content);
    calibration_matrix matrix;
    const failure refused = read_calibration(path.c_str(), matrix);
    char text[160] = "";
    format_matrix(matrix, text, sizeof text);
    EXPECT_EQ(refused ? "refused: " + refused.message : std::string(text), c.read) << c.what;
  }
}

// The names in a directory, sorted.
std::vector<std::string> names_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Where replace_file's steps are written as they come ("fsync file;",
// "rename;", "fsync directory;"), and the step at which a stop request comes.
int steps_fd = -1;
std::string stop_at;
int stop_signal = 0;

void step(const std::string& name) {
  if (steps_fd != -1)
    (void)!write(steps_fd, (name + ";").data(), name.size() + 1);
  if (name == stop_at)
    raise(stop_signal);
}

}  // namespace

// The linker sends replace_file's rename and fsync here (-Wl,--wrap=...).
extern "C" int __real_rename(const char* from, const char* to);
extern "C" int __wrap_rename(const char* from, const char* to) {
  step("rename");
  return __real_rename(from, to);
}
// The linker's own names for the wrapped fsync.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __real_fsync(int fd);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name, as above
extern "C" int __wrap_fsync(int fd) {
  struct stat file = {};
  fstat(fd, &file);
  step(S_ISDIR(file.st_mode) ? "fsync directory" : "fsync file");
  return __real_fsync(fd);
}

namespace {

// A file that would be refused is never written over the old one, nothing
// that cannot be read back is printed as "inf", and a stop request at any
// step ends the program only once the new file is in place and durable, with
// no temporary file left.
TEST(CalibrationFile, IsCheckedBeforeItReplacesTheOldOneAndLeavesNothingBehind) {
  temp_dir dir;
  const std::string path = dir / "calibration";
  write_file(path, "old\n");
  for (const auto& [matrix, written] :
       {std::pair{calibration_matrix{0, 0, 0.5, 0, 0, 0.5}, "0,0,0.5,0,0,0.5"},
        {{1e300, 0, 0, 0, 1, 0}, "1e+300,0,0,0,1,0"}}) {
    EXPECT_EQ(write_calibration(path.c_str(), matrix, "# singular").message,
              "cannot write " + path + ": line 3: the matrix " + written + " " + singular_matrix);
    EXPECT_EQ(read_file(path), "old\n");
  }
  const struct {
    int signal;
    const char* at;
  } stops[] = {{SIGTERM, "rename"}, {SIGINT, "fsync file"}, {SIGHUP, "fsync directory"}};
  for (const auto& stop : stops) {
    write_file(path, "old\n");
    int order[2];
    ASSERT_EQ(pipe(order), 0);
    const pid_t child = fork();
    if (child == 0) {
      stop_signal = stop.signal, stop_at = stop.at, steps_fd = order[1];
      write_calibration(path.c_str(), {}, "# stopped");
      _exit(0);
    }
    close(order[1]);
    EXPECT_EQ(wait_exit(child), 128 + stop.signal) << stop.at;
    // Synced before it takes the old one's place, and its name synced after.
    EXPECT_EQ(read_all(order[0]), "fsync file;rename;fsync directory;") << stop.at;
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"calibration"}) << stop.at;
    EXPECT_EQ(read_file(path).substr(0, 10), "# stopped\n") << stop.at;
  }
}

// touchkey-calibrate on the recorded stream, in dir (as `device`), writing
// dir/calibration unless `more` says otherwise; an empty y range is not given.
finished calibrate(const temp_dir& dir, const std::string& stream, const std::string& x_range,
                   const std::string& y_range, std::vector<std::string> more = {},
                   const std::string& device = "corners") {
  write_file(dir / device, stream);
  spawn_request request = {
      {TOUCHKEY_CALIBRATE, "--device", dir / device, "--x-range", x_range, "--output", dir / "calibration"}};
  if (!y_range.empty())
    request.argv.insert(request.argv.end(), {"--y-range", y_range});
  request.argv.insert(request.argv.end(), more.begin(), more.end());
  return run_to_end(request);
}

TEST(CalibrationProgram, RefusesBadTapsAndKeepsTheOldFile) {
  struct refusal {
    std::vector<std::pair<int, int>> taps;
    const char* message;
    int status = 1;
    const char* output = "calibration";  // in the scratch directory
    const char* y_range = "0,999";       // empty: not given
  };
  const std::vector<std::pair<int, int>> good = {{100, 100}, {900, 100}, {900, 900}, {100, 900}};
  const refusal cases[] = {
      {{{100, 100}, {120, 110}, {900, 900}, {100, 900}},
       "the top-left and top-right taps are at the same place"},
      {{{100, 100}, {500, 500}, {900, 900}, {100, 900}}, "top-right and bottom-right taps lie on a line"},
      {{{100, 100}, {900, 100}, {100, 900}, {900, 900}}, "no rectangle's corners"},
      {{{100, 100}, {900, 100}, {600, 600}, {100, 900}}, "0.21 of the panel away from a rectangle's corners"},
      {{{100, 100}, {600, 100}, {900, 900}, {400, 900}}, "0.15 of the panel away from a rectangle's corners"},
      // A tenth of the panel off, from both sides: 105 and 95 units of 999.
      {{{100, 100}, {900, 100}, {900, 900}, {310, 900}}, "0.11 of the panel away from a rectangle's corners"},
      {{{100, 100}, {900, 100}, {900, 900}, {290, 900}}, "Written to", 0},
      {{{100, 100}, {900, 100}, {900, 900}}, "ended after 3 of the four taps"},
      {good, "new/: Not a directory", 1, "new/"},
      {good, "is not an evdev device; give --x-range and --y-range", 2, "calibration", ""},
  };
  for (const refusal& c : cases) {
    temp_dir dir;
    write_file(dir / "calibration", "old\n");
    std::string stream;
    for (const auto& [x, y] : c.taps)
      stream += tap_events(x, y);
    const finished result = calibrate(dir, stream, "0,999", c.y_range, {"--output", dir / c.output});
    EXPECT_EQ(result.status, c.status) << c.message;
    EXPECT_NE((result.out + result.err).find(c.message), std::string::npos) << result.err;
    if (c.status == 1 && c.output == std::string("calibration")) {
      EXPECT_NE(result.err.find("is left as it was"), std::string::npos) << result.err;
    }
    EXPECT_EQ(read_file(dir / "calibration").substr(0, 6), c.status == 0 ? "# made" : "old\n") << c.message;
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"calibration", "corners"})) << c.message;
  }
}

// What the program writes on a terminal of that size, the one it ends on.
std::string console_output(const std::vector<std::string>& argv, int columns, int rows,
                           const std::vector<std::string>* env = nullptr) {
  std::string terminal;
  const int master = open_raw_pty(terminal), slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const winsize size = {static_cast<unsigned short>(rows), static_cast<unsigned short>(columns), 0, 0};
  ioctl(slave, TIOCSWINSZ, &size);
  const spawned run = spawn({.argv = argv, .out = slave, .err = inherited, .env = env});
  close(slave);
  std::string out = read_all(master);
  EXPECT_EQ(wait_exit(run.pid), 0) << out;
  // What is on the screen after the last time it was cleared.
  const std::size_t cleared = out.rfind("\033[J");
  return cleared == std::string::npos ? out : out.substr(cleared + 3);
}

// The lines text takes on a terminal that wraps lines at `columns`.
int screen_lines(const std::string& text, int columns) {
  int lines = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines += std::max(1, static_cast<int>((line.size() + columns - 1) / columns));
  return lines;
}

// The picture touchkey-calibrate prints: one string per line of cells.
std::vector<std::string> picture_in(const std::string& out) {
  std::istringstream lines(out);
  std::vector<std::string> picture;
  std::string line;
  while (std::getline(lines, line) && line.rfind("The keypad on the screen", 0) != 0) {
  }
  while (std::getline(lines, line) && !line.empty())
    picture.push_back(line);
  return picture;
}

// For each column of the picture, the keys it crosses from top to bottom.
std::vector<std::string> column_keys(const std::vector<std::string>& picture) {
  std::vector<std::string> columns(picture.empty() ? 0 : picture[0].size());
  for (const std::string& row : picture)
    for (std::size_t c = 0; c < row.size() && c < columns.size(); ++c)
      if (columns[c].empty() || columns[c].back() != row[c])
        columns[c] += row[c];
  return columns;
}

// The keys in the picture's top-left, top-right, bottom-right and bottom-left cells.
std::string corner_cells(const std::vector<std::string>& picture) {
  if (picture.empty())
    return "";
  return {picture.front().front(), picture.front().back(), picture.back().back(), picture.back().front()};
}

// The keys under the pen-up records that touchkey-bridge writes for stream,
// drawn as the picture draws them.
std::string keys_typed(const temp_dir& dir, const std::string& stream, const std::string& x_range,
                       const std::string& y_range, std::size_t taps) {
  write_file(dir / "taps", stream);
  const std::string fifo_path = dir / "tsdev";
  mkfifo(fifo_path.c_str(), 0600);
  const int fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
  spawn_request request = {{TOUCHKEY_BRIDGE, "--device", dir / "taps", "--x-range", x_range, "--y-range",
                            y_range, "--calibration", dir / "calibration", "--output", fifo_path}};
  request.out = inherited;
  const spawned bridge = spawn(request);
  // Read as they come: records left unread for 250 ms are taken back.
  std::string keys;
  const std::int64_t deadline = monotonic_ms() + default_timeout_ms;
  for (pollfd readable = {fifo, POLLIN, 0}; keys.size() < taps && poll_until(readable, deadline) == 1;) {
    touch_record record;
    if (read(fifo, &record, sizeof record) == sizeof record && record.pressure == 0)
      keys += key_glyph(keypad_key_at(record.x, record.y));
  }
  EXPECT_EQ(wait_exit(bridge.pid), 0);
  EXPECT_EQ(read_all(bridge.err), "");
  close(fifo);
  return keys;
}

TEST(CalibrationProgram, TheCalibratedBridgeTypesWhatThePictureShowsForEveryMounting) {
  // Ranges unlike each other, so that swapped axes show.
  const auto tap_at = [](const mounting& m, double s, double t) {
    const normalised_point p = panel_of(m, s, t);
    return tap_events(static_cast<int>(std::lround(-300 + p.x * 4095)),
                      static_cast<int>(std::lround(100 + p.y * 2047)));
  };
  for (const mounting& m : mountings) {
    const bool mirror = m.quarter_turns == 1;
    temp_dir dir;
    std::string corners;
    for (int i = 0; i < corner_count; ++i)
      corners += tap_at(m, corner_s[i], corner_t[i]);
    // The device's path goes into the file's first line: a long one makes
    // that line longer than any buffer a reader might have.
    const finished calibrated =
        calibrate(dir, corners, "-300,3795", "100,2147",
                  mirror ? std::vector<std::string>{"--mirror"} : std::vector<std::string>{},
                  "corners-" + std::string(200, 'c'));
    ASSERT_EQ(calibrated.status, 0) << calibrated.err;
    const std::vector<std::string> picture = picture_in(calibrated.out);
    ASSERT_GE(picture.size(), 8u) << calibrated.out;
    EXPECT_EQ(corner_cells(picture), mirror ? "am|0" : "ma0|") << calibrated.out;
    // --show draws it again from the file alone, as many rows as the text
    // around it leaves: the same keys from top to bottom in every column.
    const finished again = run_to_end({{TOUCHKEY_CALIBRATE, "--show", "--calibration", dir / "calibration"}});
    EXPECT_EQ(column_keys(picture_in(again.out)), column_keys(picture)) << again.out;

    // Taps in the middle of cells whose neighbours show the same key: a
    // cell on a key's edge may go either way.
    std::string stream, shown;
    const int rows = static_cast<int>(picture.size()), columns = static_cast<int>(picture[0].size());
    for (int r = 0; r < rows; r += 2)
      for (int c = 0; c < columns; c += 3) {
        const char cell = picture[r][c];
        if (picture[std::max(r - 1, 0)][c] != cell || picture[std::min(r + 1, rows - 1)][c] != cell ||
            picture[r][std::max(c - 1, 0)] != cell || picture[r][std::min(c + 1, columns - 1)] != cell)
          continue;
        stream += tap_at(m, (c + 0.5) / columns, (r + 0.5) / rows);
        shown += cell;
      }
    // Down the middle of the screen, whatever the mounting: a key of each row.
    for (const double t : {0.1, 0.35, 0.6, 0.9})
      stream += tap_at(m, 0.5, t);
    shown += "gt~6";
    EXPECT_EQ(keys_typed(dir, stream, "-300,3795", "100,2147", shown.size()), shown)
        << m.quarter_turns << " turns, mirrored " << m.mirrored << ", inset " << m.inset;
  }
}

// A real panel's four corner taps, recorded (evemu's text), when present:
// through the calibration they made, they land on the keypad's corner keys.
TEST(CalibrationProgram, ARecordedPanelsCornerTapsLandOnTheCornerKeys) {
  glob_t found = {};
  if (glob(TOUCHKEY_RECORDINGS "/*4-corners.evemu", 0, nullptr, &found) != 0)
    GTEST_SKIP() << "no recording of corner taps in " TOUCHKEY_RECORDINGS;
  const recording corners = read_recording(found.gl_pathv[0]);
  globfree(&found);
  const std::string stream = event_bytes(corners.events);
  temp_dir dir;
  const finished calibrated = calibrate(dir, stream, corners.x_range, corners.y_range);
  ASSERT_EQ(calibrated.status, 0) << calibrated.err;
  EXPECT_EQ(keys_typed(dir, stream, corners.x_range, corners.y_range, 4), "ma0|");
}

// --show draws the picture from the file alone: the screen where its first
// comment records the corner taps, else over the panel's whole range.
TEST(CalibrationProgram, ShowDrawsTheKeypadThroughTheFile) {
  const struct {
    const char* what;
    std::string content;  // empty: no file
    int status;
    std::string corners;  // the picture's corner cells
    std::string says;
  } cases[] = {
      {"identity, by hand", "1,0,0,0,1,0\n", 0, "ma0|", "No corner taps recorded: the screen is taken"},
      {"axes swapped, by hand", "0,1,0,1,0,0\n", 0, "m|0a", "No corner taps recorded"},
      {"the screen on the panel's left half",
       "# /dev/(x 1) (x 0..999, y 0..9), corner taps 0,0 499,0 499,9 0,9\n1,0,0,0,1,0", 0, "mg6|",
       "The screen's place on the panel: (x 0..999, y 0..9), corner taps 0,0 499,0 499,9 0,9"},
      {"a record cut short", "# (x 0..999, y 0..9), corner taps 0,0 499,0\n1,0,0,0,1,0\n", 0, "ma0|",
       "No corner taps recorded"},
      {"no file", "", 1, "", ": No such file or directory"},
  };
  temp_dir dir;
  for (const auto& c : cases) {
    const std::string path = dir / c.what;
    if (!c.content.empty())
      write_file(path, c.content);
    const finished shown = run_to_end({{TOUCHKEY_CALIBRATE, "--show", "--calibration", path}});
    EXPECT_EQ(shown.status, c.status) << c.what << ": " << shown.err;
    EXPECT_EQ(corner_cells(picture_in(shown.out)), c.corners) << c.what << ":\n" << shown.out;
    EXPECT_NE((shown.out + shown.err).find(c.says), std::string::npos) << c.what << ":\n"
                                                                       << shown.out << shown.err;
  }
  // Sized to the terminal: all its columns but the last, and with the text
  // around it, lines longer than the terminal wrapped, all its rows but the
  // cursor's.
  for (const auto& [columns, rows] : {std::pair{100, 30}, {80, 24}}) {
    const std::string out = console_output(
        {TOUCHKEY_CALIBRATE, "--show", "--calibration", dir / "the screen on the panel's left half"}, columns,
        rows);
    const std::vector<std::string> picture = picture_in(out);
    ASSERT_FALSE(picture.empty()) << out;
    EXPECT_EQ(picture[0].size(), columns - 1u) << out;
    EXPECT_EQ(screen_lines(out, columns), rows - 1) << out;
  }
}

// As the first boot runs it, on a FIFO that stays open as a panel nobody
// touches does, with 0.2 s in place of the 30 s a tap may take; and by hand.
TEST(CalibrationProgram, FirstBootAsksOnceAndGoesOnWhenNobodyTaps) {
  const std::string last_three = tap_events(900, 900) + tap_events(100, 900);
  const std::string good = tap_events(100, 100) + tap_events(900, 100) + last_three;
  const std::string refused = tap_events(100, 100) + tap_events(120, 110) + last_three;
  // The top-right tap's frames lost midway, and the touch seen last far from
  // where it began: no tap at all, whatever it would have been.
  const std::string lost =
      tap_events(100, 100) +
      event_bytes({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 900), ev(EV_ABS, ABS_Y, 100),
                   ev(EV_SYN, SYN_REPORT, 0), ev(EV_SYN, SYN_DROPPED, 0), ev(EV_ABS, ABS_X, 500),
                   ev(EV_ABS, ABS_Y, 500), ev(EV_SYN, SYN_REPORT, 0), ev(EV_KEY, BTN_TOUCH, 0),
                   ev(EV_SYN, SYN_REPORT, 0)}) +
      tap_events(900, 100) + last_three;
  const std::string nobody = "asked at first boot; no tap for 0.2 s\n",
                    calibrated = "asked at first boot; calibrated\n";
  const char *fb = "--first-boot", *identity = "1,0,0,0,1,0\n", *made = "# made ";
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table, its columns in reading order
  const struct {
    const char* what;
    const char* mode;                // --first-boot, or by hand
    const char* calibration_before;  // nullptr: none
    const char* asked_before;        // nullptr: none
    std::string taps;
    int status;
    std::string says;                     // on standard output or error; "" for nothing at all
    std::string asked;                    // the record of it
    std::string written;                  // the calibration file's start
    const char* total_timeout = nullptr;  // with 10 s for each tap
    bool console = false;                 // run on a terminal of 80 by 24
  } cases[] = {
      {"a calibration exists", fb, identity, nullptr, good, 0, "", "", identity},
      {"asked before", fb, nullptr, "old\n", good, 0, "", "old\n", ""},
      {"a calibration the bridge refuses, asked before", fb, "1,0,0\n", calibrated.c_str(), good, 0,
       "line 1: not six numbers a,b,c,d,e,f; asking for the corners again", calibrated, made},
      {"nobody taps", fb, nullptr, nullptr, "", 0,
       "goes on uncalibrated, and no boot will ask again.\nTo calibrate it later, log in as root and type "
       "touchkey-calibrate and Enter on\nthe keypad",
       nobody, ""},
      {"refused, then nobody taps", fb, nullptr, nullptr, refused, 0, "That will not do", nobody, ""},
      {"refused, until the total is up", fb, nullptr, nullptr, refused, 0, "no four taps fit within 0.3 s",
       "asked at first boot; no four taps fit within 0.3 s\n", "", "0.3"},
      {"four taps", fb, nullptr, nullptr, good, 0, "from now on.\nTap the screen to go on.", calibrated,
       made},
      {"four taps, on the console", fb, nullptr, nullptr, good, 0, "", calibrated, made, nullptr, true},
      {"a tap's frames lost", fb, nullptr, nullptr, lost, 0,
       "  top-right: panel 900,100\nTouch the bottom-right", calibrated, made},
      // The old file kept, and said to be.
      {"by hand, two taps, then nobody", "--mirror", identity, nullptr,
       tap_events(100, 100) + tap_events(900, 100), 1, "no tap for 0.2 s; ", "", identity},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    if (c.calibration_before != nullptr)
      write_file(dir / "calibration", c.calibration_before);
    if (c.asked_before != nullptr)
      write_file(dir / "calibration-asked", c.asked_before);
    const std::string fifo_path = dir / "panel";
    mkfifo(fifo_path.c_str(), 0600);
    const int fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(write(fifo, c.taps.data(), c.taps.size()), static_cast<ssize_t>(c.taps.size()));
    std::vector<std::string> argv = {
        TOUCHKEY_CALIBRATE, "--device", fifo_path,  "--x-range",         "0,999", "--y-range", "0,999",
        "--tap-timeout",    "0.2",      "--output", dir / "calibration", c.mode};
    if (c.total_timeout != nullptr)
      argv.insert(argv.end(), {"--tap-timeout", "10", "--total-timeout", c.total_timeout});
    const std::vector<std::string> env = {"STATE_DIRECTORY=" + dir.path};
    const std::int64_t started = monotonic_ms();
    if (c.console) {
      // The picture and the text around it on the screen at once.
      const std::string screen = console_output(argv, 80, 24, &env);
      EXPECT_EQ(screen_lines(screen, 80), 23) << screen;
      EXPECT_EQ(corner_cells(picture_in(screen)), "ma0|") << screen;
    } else {
      const finished result = run_to_end({.argv = argv, .env = &env});
      EXPECT_EQ(result.status, c.status) << c.what << ": " << result.err;
      if (c.says.empty()) {
        EXPECT_EQ(result.out + result.err, "") << c.what;
      } else {
        EXPECT_NE((result.out + result.err).find(c.says), std::string::npos) << c.what << ":\n"
                                                                             << result.out << result.err;
        if (c.status == 1) {
          EXPECT_NE(result.err.find(dir / "calibration is left as it was"), std::string::npos) << result.err;
        }
      }
    }
    const std::int64_t took = monotonic_ms() - started;
    if (!c.says.empty()) {  // it asked, and waited for a tap that never came
      EXPECT_GE(took, 200) << c.what;
    }
    EXPECT_LT(took, 4000) << c.what;  // never the 10 s a tap may take where the total is 0.3 s
    close(fifo);
    EXPECT_EQ(read_file(dir / "calibration-asked"), c.asked) << c.what;
    EXPECT_EQ(read_file(dir / "calibration").substr(0, c.written.size()), c.written) << c.what;
    for (const std::string& name : names_in(dir.path))  // no temporary file left
      EXPECT_TRUE(name == "panel" || name == "calibration" || name == "calibration-asked") << name;
  }
}

}  // namespace
