// Finds the keypad's key regions by scanning the raw plane with the layout
// function: a coarse grid first, then each edge walked to the exact unit.
#include "key_regions.h"

#include "keypad.h"

namespace {

constexpr std::int32_t lowest = 1;  // 0 is what a panel reports without a position
constexpr std::int32_t highest = 32767;
// Far narrower than any key, so the grid lands inside every one of them.
constexpr std::int32_t grid_step = 16;

struct plane_scan {
  key_region regions[256] = {};
  std::int16_t no_key_x = 0, no_key_y = 0;
};

unsigned char key_at(std::int32_t x, std::int32_t y) {
  return keypad_key_at(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
}

// Moves each edge of a grid-found box outwards while the key goes on. Keys are
// rectangles, so walking along the box's middle lines finds the true edges.
void widen_to_exact_edges(key_region& r) {
  const std::int32_t mid_x = (r.left + r.right) / 2;
  const std::int32_t mid_y = (r.top + r.bottom) / 2;
  while (r.left > lowest && key_at(r.left - 1, mid_y) == r.key)
    --r.left;
  while (r.right < highest && key_at(r.right + 1, mid_y) == r.key)
    ++r.right;
  while (r.top > lowest && key_at(mid_x, r.top - 1) == r.key)
    --r.top;
  while (r.bottom < highest && key_at(mid_x, r.bottom + 1) == r.key)
    ++r.bottom;
}

plane_scan scan_plane() {
  plane_scan scan;
  bool found_no_key = false;
  for (std::int32_t y = lowest; y <= highest; y += grid_step) {
    for (std::int32_t x = lowest; x <= highest; x += grid_step) {
      const unsigned char key = key_at(x, y);
      if (key == 0) {
        if (!found_no_key) {
          scan.no_key_x = static_cast<std::int16_t>(x);
          scan.no_key_y = static_cast<std::int16_t>(y);
          found_no_key = true;
        }
        continue;
      }
      key_region& r = scan.regions[key];
      const auto px = static_cast<std::int16_t>(x);
      const auto py = static_cast<std::int16_t>(y);
      if (r.key == 0) {
        r = {key, px, py, px, py};
        continue;
      }
      if (px < r.left)
        r.left = px;
      if (px > r.right)
        r.right = px;
      if (py < r.top)
        r.top = py;
      if (py > r.bottom)
        r.bottom = py;
    }
  }
  for (key_region& r : scan.regions)
    if (r.key != 0)
      widen_to_exact_edges(r);
  return scan;
}

const plane_scan& the_scan() {
  static const plane_scan scan = scan_plane();
  return scan;
}

}  // namespace

const key_region* key_regions() { return the_scan().regions; }

bool key_centre(unsigned char key, std::int16_t& x, std::int16_t& y) {
  const key_region& r = key_regions()[key];
  if (r.key == 0)
    return false;
  x = static_cast<std::int16_t>((r.left + r.right) / 2);
  y = static_cast<std::int16_t>((r.top + r.bottom) / 2);
  // A region that is not a plain rectangle could have its middle elsewhere.
  return key_at(x, y) == key;
}

void no_key_point(std::int16_t& x, std::int16_t& y) {
  x = the_scan().no_key_x;
  y = the_scan().no_key_y;
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
