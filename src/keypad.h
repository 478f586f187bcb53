// Keypad layout: the key that lies under a raw touchscreen point.
#pragma once

#include <cstdint>

// The key byte under the raw point (x, y): a character to type, or 0 where no
// key lies. Pure; callable at any time.
unsigned char keypad_key_at(std::int16_t x, std::int16_t y);
