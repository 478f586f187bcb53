// The keypad layout checked against its band table: every band edge, the
// listed points, and sweeps over the whole signed 16-bit plane.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "keypad.h"
#include "keypad_bands.h"

namespace {

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

}  // namespace
