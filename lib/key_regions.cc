// The keypad's key regions on the positive raw plane: the layout's own
// rectangles, cut to the points a panel reports.
#include "key_regions.h"

#include <algorithm>
#include <array>

#include "keypad.h"

namespace {

constexpr std::int32_t lowest = 1;  // 0 is what a panel reports without a position
constexpr std::int32_t highest = 32767;

std::int16_t on_plane(std::int32_t v) { return static_cast<std::int16_t>(std::clamp(v, lowest, highest)); }

}  // namespace

const key_region* key_regions() {
  static const std::array<key_region, 256> regions = [] {
    std::array<key_region, 256> by_key = {};
    for (const key_rectangle& r : keypad_rectangles())
      by_key[r.key] = {r.key, on_plane(r.left), on_plane(r.top), on_plane(r.right), on_plane(r.bottom)};
    return by_key;
  }();
  return regions.data();
}

bool key_centre(unsigned char key, std::int16_t& x, std::int16_t& y) {
  const key_region& r = key_regions()[key];
  if (r.key == 0)
    return false;
  x = static_cast<std::int16_t>((r.left + r.right) / 2);
  y = static_cast<std::int16_t>((r.top + r.bottom) / 2);
  return true;
}

void no_key_point(std::int16_t& x, std::int16_t& y) {
  // Just right of the keypad's top-right key.
  x = static_cast<std::int16_t>(keypad_x_last + 1);
  y = static_cast<std::int16_t>(keypad_y_first);
}

char key_glyph(unsigned char key) {
  switch (key) {
    case '\b': return '<';
    case ' ': return '~';
    case '\n': return '>';
    case 0: return ' ';
    default: return static_cast<char>(key);
  }
}
