// Keypad layout: the key that lies under a raw touchscreen point.
#pragma once

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
