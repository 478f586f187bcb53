// Keypad layout: the key that lies under a raw touchscreen point.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The keypad's area in raw units, inclusive: every key lies inside it, and
// the layout's bands are cut from it. Panels are mapped onto it whole.
constexpr std::int32_t keypad_x_first = 250;
constexpr std::int32_t keypad_x_last = 3849;
constexpr std::int32_t keypad_y_first = 150;
constexpr std::int32_t keypad_y_last = 3999;

// The key byte under the raw point (x, y): a character to type, or 0 where no
// key lies. Pure; callable at any time.
unsigned char keypad_key_at(std::int16_t x, std::int16_t y);

// A key's rectangle of raw points, both ends included, as the layout's bands
// cut it: keypad_key_at gives `key` at every point of it but those with x or
// y equal to 0. The first band of each axis reaches into negative values.
struct key_rectangle {
  unsigned char key;
  std::int32_t left, top, right, bottom;
};

constexpr std::size_t keypad_key_count = 42;

// Every key's rectangle, from the constants keypad_key_at cuts its bands
// from: row by row from the top, each row from small x to large x.
std::array<key_rectangle, keypad_key_count> keypad_rectangles();
