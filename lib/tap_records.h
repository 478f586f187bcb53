// Turns text into the touchscreen records that type it on the keypad: the
// part of touchkey-tap that needs no device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "touch_record.h"

// Pressure of a pen-down record; any value other than 0 means the pen is down.
constexpr std::int16_t pen_down_pressure = 255;

// The records of one tap at (x, y): pen down, then pen up, stamps left 0.
void append_tap(std::vector<touch_record>& records, std::int16_t x, std::int16_t y);

// The key bytes that `text` asks for, with its escapes \n (Enter), \b
// (backspace) and \\ decoded; a refusal names the first character that
// cannot be typed and its position (from 1).
struct decoded_text {
  std::string keys;
  failure refused;
};
decoded_text decode_text(std::string_view text);

// One tap at the centre of each key's region, in order. Between two taps of
// the same key goes a tap on no key, so the daemon types the second one too
// rather than taking it for a repeat. Nothing at all when the text is refused.
struct text_records {
  std::vector<touch_record> records;
  failure refused;
};
text_records records_for_text(std::string_view text);
