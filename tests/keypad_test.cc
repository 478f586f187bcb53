// The keypad layout checked against its band table, written out here rather
// than from the layout's formulas: every band edge, the listed points, sweeps
// over the whole signed 16-bit plane, and the key rectangles it exports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "keypad.h"

namespace {

namespace oracle {

struct band {
  int first;
  int last;
};

// Inclusive bands of raw units. The first band of each axis reaches into
// negative coordinates because the layout's division truncates toward zero.
constexpr band rows[] = {{-812, 1112}, {1113, 2074}, {2075, 3037}, {3038, 3999}};
constexpr band narrow_columns[] = {{-26, 526},   {527, 803},   {804, 1080},  {1081, 1357}, {1358, 1634},
                                   {1635, 1911}, {1912, 2188}, {2189, 2465}, {2466, 2742}, {2743, 3019},
                                   {3020, 3296}, {3297, 3573}, {3574, 3849}};
constexpr band wide_columns[] = {{-949, 1449}, {1450, 2649}, {2650, 3849}};

// Characters by row and column; row 2 is Enter (line feed), space, backspace.
constexpr const char* row_keys[] = {"mlkjihgfedcba", "zyxwvutsrqpon", "\n \b", "|_\\-/.6543210"};

template <std::size_t n>
int band_index(const band (&bands)[n], int v) {
  for (std::size_t i = 0; i < n; ++i)
    if (v >= bands[i].first && v <= bands[i].last)
      return static_cast<int>(i);
  return -1;
}

// The key byte under (x, y), 0 for none.
unsigned char key_at(int x, int y) {
  if (x == 0 || y == 0)
    return 0;
  const int row = band_index(rows, y);
  if (row < 0)
    return 0;
  const int column = row == 2 ? band_index(wide_columns, x) : band_index(narrow_columns, x);
  return column < 0 ? 0 : static_cast<unsigned char>(row_keys[row][column]);
}

}  // namespace oracle

using oracle::band;

unsigned char key(int x, int y) {
  return keypad_key_at(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
}

TEST(KeypadLayout, NamedPoints) {
  const struct {
    int x, y;
    unsigned char want;
  } cases[] = {
      {0, 2000, 0},        {2000, 0, 0},      {0, 0, 0},          {300, 1000, 'm'},   {3700, 1000, 'a'},
      {300, 1500, 'z'},    {3700, 1500, 'n'}, {526, 1112, 'm'},   {527, 1113, 'y'},   {3849, 3999, '0'},
      {3850, 3999, 0},     {3849, 4000, 0},   {1449, 2500, '\n'}, {1450, 2500, ' '},  {2650, 2500, '\b'},
      {3850, 2500, 0},     {-26, 500, 'm'},   {-27, 500, 0},      {-949, 2500, '\n'}, {-950, 2500, 0},
      {300, -812, 'm'},    {300, -813, 0},    {300, 3500, '|'},   {2000, 3500, '6'},  {32767, 32767, 0},
      {-32768, -32768, 0}, {-32768, 1000, 0}, {300, 32767, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(key(c.x, c.y), c.want) << "at (" << c.x << ", " << c.y << ")";
}

// Both sides of every band edge, on every row.
TEST(KeypadLayout, BandEdges) {
  for (const band& row : oracle::rows) {
    for (int y : {row.first - 1, row.first, row.last, row.last + 1}) {
      for (const band& column : oracle::narrow_columns)
        for (int x : {column.first - 1, column.first, column.last, column.last + 1})
          EXPECT_EQ(key(x, y), oracle::key_at(x, y)) << "at (" << x << ", " << y << ")";
      for (const band& column : oracle::wide_columns)
        for (int x : {column.first - 1, column.first, column.last, column.last + 1})
          EXPECT_EQ(key(x, y), oracle::key_at(x, y)) << "at (" << x << ", " << y << ")";
    }
  }
}

// Every x of the 16-bit range on every row, and every y under every column:
// the layout is a row band crossed with a column band, so this covers each
// band's whole extent, including the far negative and positive ends.
TEST(KeypadLayout, SweepWholeRange) {
  const int probe_y[] = {oracle::rows[0].first, 1000, 1500, 2500, 3500, oracle::rows[3].last};
  const int probe_x[] = {-949, -26, 300, 527, 1449, 1450, 2000, 2649, 2650, 3849};
  int mismatches = 0;
  for (int v = INT16_MIN; v <= INT16_MAX; ++v) {
    for (int y : probe_y)
      mismatches += key(v, y) != oracle::key_at(v, y);
    for (int x : probe_x)
      mismatches += key(x, v) != oracle::key_at(x, v);
  }
  EXPECT_EQ(mismatches, 0);
}

// Reading each row with x decreasing spells the keypad's characters in order.
TEST(KeypadLayout, RowsSpellInDescendingX) {
  const struct {
    int y;
    std::string want;
  } rows[] = {{1000, "abcdefghijklm"},
              {1500, "nopqrstuvwxyz"},
              {3500, "0123456./-\\_|"},
              {2500, std::string("\b \n", 3)}};
  for (const auto& row : rows) {
    std::string spelled;
    for (int x = 3849; x >= -949; --x) {
      const unsigned char k = key(x, row.y);
      if (k != 0 && (spelled.empty() || spelled.back() != static_cast<char>(k)))
        spelled += static_cast<char>(k);
    }
    EXPECT_EQ(spelled, row.want) << "row at y = " << row.y;
  }
}

// The rectangles the layout exports for the tools are its bands, key for key.
TEST(KeypadLayout, RectanglesAreTheBandsRowByRow) {
  using rectangle = std::tuple<char, int, int, int, int>;
  std::vector<rectangle> bands, exported;
  for (int row = 0; row < 4; ++row)
    for (int column = 0; oracle::row_keys[row][column] != '\0'; ++column) {
      const band across = row == 2 ? oracle::wide_columns[column] : oracle::narrow_columns[column];
      bands.emplace_back(oracle::row_keys[row][column], across.first, oracle::rows[row].first, across.last,
                         oracle::rows[row].last);
    }
  for (const key_rectangle& r : keypad_rectangles())
    exported.emplace_back(static_cast<char>(r.key), r.left, r.top, r.right, r.bottom);
  EXPECT_EQ(exported, bands);
}

}  // namespace
