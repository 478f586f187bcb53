// The keypad layout checked against its band table: every band edge, the
// listed points, and sweeps over the whole signed 16-bit plane.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "keypad.h"

namespace {

struct band {
  int first, last;
};

// The layout's documented bands, written out as ranges rather than formulas.
constexpr band row_bands[] = {{-812, 1112}, {1113, 2074}, {2075, 3037}, {3038, 3999}};
constexpr band narrow_bands[] = {{-26, 526},   {527, 803},   {804, 1080},  {1081, 1357}, {1358, 1634},
                                 {1635, 1911}, {1912, 2188}, {2189, 2465}, {2466, 2742}, {2743, 3019},
                                 {3020, 3296}, {3297, 3573}, {3574, 3849}};
constexpr band wide_bands[] = {{-949, 1449}, {1450, 2649}, {2650, 3849}};
const std::string row_keys[] = {"mlkjihgfedcba", "zyxwvutsrqpon", std::string("\n \b", 3), "|_\\-/.6543210"};

template <std::size_t n>
int band_of(const band (&bands)[n], int v) {
  for (std::size_t i = 0; i < n; ++i)
    if (v >= bands[i].first && v <= bands[i].last)
      return static_cast<int>(i);
  return -1;
}

// The key the band table gives for (x, y).
unsigned char key_from_bands(int x, int y) {
  if (x == 0 || y == 0)
    return 0;
  const int row = band_of(row_bands, y);
  if (row < 0)
    return 0;
  const int column = row == 2 ? band_of(wide_bands, x) : band_of(narrow_bands, x);
  return column < 0 ? 0 : static_cast<unsigned char>(row_keys[row][column]);
}

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
  for (const band& row : row_bands) {
    for (int y : {row.first - 1, row.first, row.last, row.last + 1}) {
      for (const band& column : narrow_bands)
        for (int x : {column.first - 1, column.first, column.last, column.last + 1})
          EXPECT_EQ(key(x, y), key_from_bands(x, y)) << "at (" << x << ", " << y << ")";
      for (const band& column : wide_bands)
        for (int x : {column.first - 1, column.first, column.last, column.last + 1})
          EXPECT_EQ(key(x, y), key_from_bands(x, y)) << "at (" << x << ", " << y << ")";
    }
  }
}

// Every x of the 16-bit range on every row, and every y under every column:
// the layout is a row band crossed with a column band, so this covers each
// band's whole extent, including the far negative and positive ends.
TEST(KeypadLayout, SweepWholeRange) {
  const int probe_y[] = {row_bands[0].first, 1000, 1500, 2500, 3500, row_bands[3].last};
  const int probe_x[] = {-949, -26, 300, 527, 1449, 1450, 2000, 2649, 2650, 3849};
  int mismatches = 0;
  for (int v = INT16_MIN; v <= INT16_MAX; ++v) {
    for (int y : probe_y)
      mismatches += key(v, y) != key_from_bands(v, y);
    for (int x : probe_x)
      mismatches += key(x, v) != key_from_bands(x, v);
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

}  // namespace
