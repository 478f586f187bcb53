// Keypad layout: four bands of the raw touch plane, three cut into 13 keys and
// one into 3 wide keys (Enter, space, backspace).
#include "keypad.h"

namespace {

// Shared by the three 13-key rows.
constexpr std::int32_t narrow_keys = 13;
constexpr std::int32_t wide_keys = 3;
constexpr std::int32_t rows = 4;
constexpr std::int32_t keypad_width = keypad_x_last + 1 - keypad_x_first;   // 3600
constexpr std::int32_t keypad_height = keypad_y_last + 1 - keypad_y_first;  // 3850

// The digit and punctuation row, by column; like the letter rows it runs in
// descending order as x grows.
constexpr unsigned char symbol_row[narrow_keys] = {
    0x7C, 0x5F, 0x5C, 0x2D, 0x2F, 0x2E, 0x36, 0x35, 0x34, 0x33, 0x32, 0x31, 0x30,
};

static_assert(keypad_key_count == (rows - 1) * narrow_keys + wide_keys);

// The first value of `band` of `count` bands over `length` units from `first`:
// the least v with count * (v - first) / length == band. Division truncates
// toward zero, so band 0 also takes the values below `first` down to where
// the quotient is still 0.
constexpr std::int32_t band_start(std::int32_t band, std::int32_t count, std::int32_t length,
                                  std::int32_t first) {
  return band == 0 ? first - (length - 1) / count : first + (band * length + count - 1) / count;
}

}  // namespace

unsigned char keypad_key_at(std::int16_t raw_x, std::int16_t raw_y) {
  // Widened first: 16-bit inputs keep every product below well inside 32 bits.
  const std::int32_t x = raw_x;
  const std::int32_t y = raw_y;
  // A coordinate of 0 is what a panel reports when it has no position, so it
  // is never a key, even inside a band.
  if (x == 0 || y == 0)
    return 0;

  // Division truncates toward zero, so the first band of each axis reaches a
  // little way into negative coordinates; that reach is part of the layout.
  const std::int32_t row = (rows * (y - keypad_y_first)) / keypad_height;
  const std::int32_t column = (narrow_keys * (x - keypad_x_first)) / keypad_width;
  const bool on_narrow_key = column >= 0 && column < narrow_keys;
  switch (row) {
    case 0: return on_narrow_key ? static_cast<unsigned char>(0x6D - column) : 0;
    case 1: return on_narrow_key ? static_cast<unsigned char>(0x7A - column) : 0;
    case 2:
      switch ((wide_keys * (x - keypad_x_first)) / keypad_width) {
        case 0: return 0x0A;  // Enter is line feed, not carriage return
        case 1: return 0x20;
        case 2: return 0x08;  // backspace, not delete
        default: return 0;
      }
    case 3: return on_narrow_key ? symbol_row[column] : 0;
    default: return 0;
  }
}

std::array<key_rectangle, keypad_key_count> keypad_rectangles() {
  std::array<key_rectangle, keypad_key_count> keys = {};
  std::size_t n = 0;
  for (std::int32_t row = 0; row < rows; ++row) {
    const std::int32_t top = band_start(row, rows, keypad_height, keypad_y_first);
    const std::int32_t bottom = band_start(row + 1, rows, keypad_height, keypad_y_first) - 1;
    const std::int32_t columns = row == 2 ? wide_keys : narrow_keys;
    for (std::int32_t column = 0; column < columns; ++column) {
      const std::int32_t left = band_start(column, columns, keypad_width, keypad_x_first);
      const std::int32_t right = band_start(column + 1, columns, keypad_width, keypad_x_first) - 1;
      // Its key is whatever the layout types in its middle, which lies off the axes.
      const unsigned char key = keypad_key_at(static_cast<std::int16_t>((left + right) / 2),
                                              static_cast<std::int16_t>((top + bottom) / 2));
      keys[n++] = {key, left, top, right, bottom};
    }
  }
  return keys;
}
