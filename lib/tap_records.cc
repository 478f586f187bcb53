// Text to touchscreen records: escapes, refusals, key centres and the taps on
// no key that keep repeated characters from being swallowed.
#include "tap_records.h"

#include <cstdio>

#include "key_regions.h"

namespace {

// How a byte is shown in a message: printable as itself, the rest in hex.
std::string describe(unsigned char c) {
  char text[16];
  if (c > 0x20 && c < 0x7F)
    std::snprintf(text, sizeof text, "'%c'", c);
  else if (c == ' ')
    std::snprintf(text, sizeof text, "' '");
  else
    std::snprintf(text, sizeof text, "byte 0x%02X", c);
  return text;
}

failure refusal(const std::string& what, std::size_t index) {
  return failure_of("%s at position %zu", what.c_str(), index + 1);
}

}  // namespace

void append_tap(std::vector<touch_record>& records, std::int16_t x, std::int16_t y) {
  records.push_back({pen_down_pressure, x, y, 0});
  records.push_back({0, x, y, 0});
}

decoded_text decode_text(std::string_view text) {
  decoded_text out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto key = static_cast<unsigned char>(text[i]);
    const std::size_t start = i;
    if (key == '\\') {
      if (i + 1 == text.size())
        return {"", refusal("lone '\\' (write \\\\ for a backslash)", start)};
      const char escape = text[++i];
      if (escape == 'n')
        key = '\n';
      else if (escape == 'b')
        key = '\b';
      else if (escape == '\\')
        key = '\\';
      else
        return {"",
                refusal("unknown escape '\\" + std::string(1, escape) + "' (known: \\n \\b \\\\)", start)};
    }
    std::int16_t x, y;
    if (!key_centre(key, x, y))
      return {"", refusal("no key types " + describe(key), start)};
    out.keys.push_back(static_cast<char>(key));
  }
  return out;
}

text_records records_for_text(std::string_view text) {
  const decoded_text decoded = decode_text(text);
  if (decoded.refused)
    return {{}, decoded.refused};
  text_records out;
  std::int16_t blank_x, blank_y;
  no_key_point(blank_x, blank_y);
  char previous = 0;
  for (const char key : decoded.keys) {
    if (key == previous)
      append_tap(out.records, blank_x, blank_y);
    std::int16_t x, y;
    key_centre(static_cast<unsigned char>(key), x, y);
    append_tap(out.records, x, y);
    previous = key;
  }
  return out;
}
