// Where each key of the keypad lies on the raw touch plane, as the daemon's
// own layout exports it (keypad_rectangles), so tools cannot drift from it.
#pragma once

#include <cstdint>

// One key's region: the inclusive rectangle of raw points that yield it.
struct key_region {
  unsigned char key;  // 0 when the layout has no such key
  std::int16_t left, top, right, bottom;
};

// Every key's region over the positive raw plane (1 to 32767 on both axes,
// the points a panel reports), indexed by key byte.
const key_region* key_regions();

// The point in the middle of the key's region; false for a byte no key yields.
bool key_centre(unsigned char key, std::int16_t& x, std::int16_t& y);

// A positive point that lies on no key.
void no_key_point(std::int16_t& x, std::int16_t& y);

// The key as one character in a terminal cell, as touchkey-calibrate draws the
// keypad: '<' backspace, '~' space, '>' Enter, ' ' no key.
char key_glyph(unsigned char key);
