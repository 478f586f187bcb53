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
