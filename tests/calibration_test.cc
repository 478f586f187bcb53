// Tests of the calibration: the fit for every way a panel can be mounted,
// touchkey-calibrate's refusals, and touchkey-calibrate then touchkey-bridge
// putting taps on the keys that the calibration's picture shows.
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <linux/input.h>
#include <sstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "calibration.h"
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
      const corner_fit fit = fit_corners(taps, mirror);
      ASSERT_TRUE(fit.ok) << fit.problem;
      // Three points that are not on a line pin an affine map down.
      for (const auto& [s, t] : {std::pair{0.3, 0.7}, {0.9, 0.2}, {0.5, 0.5}}) {
        const normalised_point k = apply_matrix(fit.matrix, panel_of(m, s, t));
        EXPECT_NEAR(k.x, mirror ? 1 - s : s, 1e-9) << m.quarter_turns << " turns, mirrored " << m.mirrored;
        EXPECT_NEAR(k.y, t, 1e-9) << m.quarter_turns << " turns, mirrored " << m.mirrored;
      }
    }
  }
}

TEST(CalibrationFit, OrientationOptionsAreTheMatricesTheyName) {
  char text[160];
  format_matrix(orientation_matrix(true, true, false), text, sizeof text);
  EXPECT_STREQ(text, "0,-1,1,1,0,0");
  format_matrix(compose(orientation_matrix(false, false, true), calibration_matrix{2, 0, -0.5, 0, 1, 0}),
                text, sizeof text);
  EXPECT_STREQ(text, "2,0,-0.5,0,-1,1");
}

std::string tap_events(int x, int y) {
  input_event events[] = {{}, {}, {}, {}, {}, {}};
  const int fields[6][3] = {{EV_KEY, BTN_TOUCH, 1},  {EV_ABS, ABS_X, x},     {EV_ABS, ABS_Y, y},
                            {EV_SYN, SYN_REPORT, 0}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}};
  for (int i = 0; i < 6; ++i) {
    events[i].type = static_cast<std::uint16_t>(fields[i][0]);
    events[i].code = static_cast<std::uint16_t>(fields[i][1]);
    events[i].value = fields[i][2];
  }
  return std::string(reinterpret_cast<const char*>(events), sizeof events);
}

struct finished {
  int status;
  std::string out, err;
};

finished run(const std::vector<std::string>& argv) {
  const spawned p = spawn({argv});
  std::string out = read_all(p.out), err = read_all(p.err);
  return {wait_exit(p.pid), out, err};
}

finished calibrate(const temp_dir& dir, const std::string& stream, const std::string& x_range,
                   const std::string& y_range, bool mirror = false) {
  write_file(dir / "corners", stream);
  std::vector<std::string> argv = {
      TOUCHKEY_CALIBRATE, "--device", dir / "corners", "--x-range",        x_range,
      "--y-range",        y_range,    "--output",      dir / "calibration"};
  if (mirror)
    argv.push_back("--mirror");
  return run(argv);
}

TEST(CalibrationProgram, RefusesBadTapsAndKeepsTheOldFile) {
  struct refusal {
    std::vector<std::pair<int, int>> taps;
    int status;
    const char* message;
  };
  const refusal cases[] = {
      {{{100, 100}, {120, 110}, {900, 900}, {100, 900}},
       1,
       "the top-left and top-right taps are at the same place"},
      {{{100, 100}, {500, 500}, {900, 900}, {100, 900}}, 1, "top-right and bottom-right taps lie on a line"},
      {{{100, 100}, {900, 100}, {100, 900}, {900, 900}}, 1, "no rectangle's corners"},
      {{{100, 100}, {900, 100}, {600, 600}, {100, 900}},
       1,
       "0.17 of the panel away from a rectangle's corners"},
      {{{100, 100}, {900, 100}, {900, 900}}, 1, "ended after 3 of the four taps"},
  };
  for (const refusal& c : cases) {
    temp_dir dir;
    write_file(dir / "calibration", "old\n");
    std::string stream;
    for (const auto& [x, y] : c.taps)
      stream += tap_events(x, y);
    const finished result = calibrate(dir, stream, "0,999", "0,999");
    EXPECT_EQ(result.status, c.status) << c.message;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("is left as it was"), std::string::npos) << result.err;
    EXPECT_EQ(read_file(dir / "calibration"), "old\n");
  }
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

// The keys under the pen-up records that touchkey-bridge writes for stream.
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
      keys += static_cast<char>(keypad_key_at(record.x, record.y));
  }
  EXPECT_EQ(wait_exit(bridge.pid), 0);
  EXPECT_EQ(read_all(bridge.err), "");
  close(fifo);
  return keys;
}

char glyph(unsigned char key) { return key == '\b' ? '<' : key == ' ' ? '~' : key == '\n' ? '>' : char(key); }

TEST(CalibrationProgram, TheCalibratedBridgeTypesWhatThePictureShowsForEveryMounting) {
  const struct { int min, max; } x = {-300, 3795}, y = {100, 2147};  // different ranges catch swapped axes
  const auto panel_at = [&](const mounting& m, double s, double t) {
    const normalised_point p = panel_of(m, s, t);
    return std::make_pair(static_cast<int>(std::lround(x.min + p.x * (x.max - x.min))),
                          static_cast<int>(std::lround(y.min + p.y * (y.max - y.min))));
  };
  for (const mounting& m : mountings) {
    const bool mirror = m.quarter_turns == 1;
    temp_dir dir;
    std::string corners;
    for (int i = 0; i < corner_count; ++i)
      corners += tap_events(panel_at(m, corner_s[i], corner_t[i]).first,
                            panel_at(m, corner_s[i], corner_t[i]).second);
    const finished calibrated = calibrate(dir, corners, "-300,3795", "100,2147", mirror);
    ASSERT_EQ(calibrated.status, 0) << calibrated.err;
    const std::vector<std::string> picture = picture_in(calibrated.out);
    ASSERT_GE(picture.size(), 8u) << calibrated.out;
    const std::string corner_cells = {picture.front().front(), picture.front().back(), picture.back().back(),
                                      picture.back().front()};
    EXPECT_EQ(corner_cells, mirror ? "am|0" : "ma0|") << calibrated.out;

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
        const auto [px, py] = panel_at(m, (c + 0.5) / columns, (r + 0.5) / rows);
        stream += tap_events(px, py);
        shown += cell;
      }
    std::string typed;
    for (const char key : keys_typed(dir, stream, "-300,3795", "100,2147", shown.size()))
      typed += glyph(static_cast<unsigned char>(key));
    EXPECT_EQ(typed, shown) << m.quarter_turns << " turns, mirrored " << m.mirrored << ", inset " << m.inset;
  }
}

// A real panel's four corner taps, recorded (evemu's text), when present:
// through the calibration they made, they land on the keypad's corner keys.
TEST(CalibrationProgram, ARecordedPanelsCornerTapsLandOnTheCornerKeys) {
  glob_t found = {};
  if (glob(TOUCHKEY_RECORDINGS "/*4-corners.evemu", 0, nullptr, &found) != 0)
    GTEST_SKIP() << "no recording of corner taps in " TOUCHKEY_RECORDINGS;
  std::ifstream recording(found.gl_pathv[0]);
  globfree(&found);
  std::string stream, line, ranges[2];
  while (std::getline(recording, line)) {
    std::istringstream fields(line);
    std::string kind, stamp;
    unsigned code = 0, type = 0;
    int min = 0, max = 0;
    if (fields >> kind >> std::hex >> code >> std::dec >> min >> max; kind == "A:" && code < 2)
      ranges[code] = std::to_string(min) + "," + std::to_string(max);
    std::istringstream event(line);
    input_event e = {};
    if (event >> kind >> stamp >> std::hex >> type >> code >> std::dec >> e.value; kind == "E:") {
      e.type = static_cast<std::uint16_t>(type);
      e.code = static_cast<std::uint16_t>(code);
      stream.append(reinterpret_cast<const char*>(&e), sizeof e);
    }
  }
  temp_dir dir;
  const finished calibrated = calibrate(dir, stream, ranges[0], ranges[1]);
  ASSERT_EQ(calibrated.status, 0) << calibrated.err;
  EXPECT_EQ(keys_typed(dir, stream, ranges[0], ranges[1], 4), "ma0|");
}

}  // namespace
