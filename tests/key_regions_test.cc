// The key regions the tools find must be exactly where the layout puts each
// key: checked against keypad_key_at across the plane and at every edge.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "key_regions.h"
#include "keypad.h"

namespace {

unsigned char key_at(int x, int y) {
  return keypad_key_at(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
}

bool inside(const key_region& r, int x, int y) {
  return x >= r.left && x <= r.right && y >= r.top && y <= r.bottom;
}

// The key whose region holds (x, y), or 0.
unsigned char region_key_at(int x, int y) {
  unsigned char found = 0;
  for (int k = 0; k < 256; ++k) {
    const key_region& r = key_regions()[k];
    if (r.key != 0 && inside(r, x, y)) {
      EXPECT_EQ(found, 0) << "regions of " << int(found) << " and " << k << " overlap at " << x << "," << y;
      found = r.key;
    }
  }
  return found;
}

TEST(KeyRegions, FindsEveryKeyOfTheKeypadAndNothingElse) {
  std::set<unsigned char> found;
  for (int k = 0; k < 256; ++k) {
    const key_region& r = key_regions()[k];
    if (r.key == 0)
      continue;
    EXPECT_EQ(r.key, k) << "region filed under the wrong byte";
    found.insert(r.key);
  }
  const std::string keypad = std::string("abcdefghijklmnopqrstuvwxyz0123456|_\\-/.") + "\n \b";
  EXPECT_EQ(found, std::set<unsigned char>(keypad.begin(), keypad.end()));
}

TEST(KeyRegions, AgreeWithTheLayoutAcrossThePositivePlane) {
  // A prime step so the sweep does not march in step with the key widths;
  // the area beyond 4500 holds no key, spot-checked along its edges.
  for (int y = 1; y <= 4500; y += 7)
    for (int x = 1; x <= 4500; x += 11)
      ASSERT_EQ(region_key_at(x, y), key_at(x, y)) << "at " << x << "," << y;
  for (int v = 4500; v <= 32767; v += 97) {
    EXPECT_EQ(region_key_at(v, 500), key_at(v, 500)) << v;
    EXPECT_EQ(region_key_at(500, v), key_at(500, v)) << v;
  }
}

TEST(KeyRegions, EdgesAreExact) {
  for (int k = 0; k < 256; ++k) {
    const key_region r = key_regions()[k];
    if (r.key == 0)
      continue;
    SCOPED_TRACE(k);
    for (const int x : {int(r.left), int(r.right)})
      for (const int y : {int(r.top), int(r.bottom)})
        EXPECT_EQ(key_at(x, y), r.key) << "corner " << x << "," << y;
    const int mid_x = (r.left + r.right) / 2;
    const int mid_y = (r.top + r.bottom) / 2;
    // Just outside each edge lies another key, no key, or the panel's edge.
    if (r.left > 1) {
      EXPECT_NE(key_at(r.left - 1, mid_y), r.key);
    }
    if (r.right < 32767) {
      EXPECT_NE(key_at(r.right + 1, mid_y), r.key);
    }
    if (r.top > 1) {
      EXPECT_NE(key_at(mid_x, r.top - 1), r.key);
    }
    if (r.bottom < 32767) {
      EXPECT_NE(key_at(mid_x, r.bottom + 1), r.key);
    }
  }
}

TEST(KeyRegions, CentresLieOnTheirKeysAndTheBlankOnNone) {
  for (int k = 0; k < 256; ++k) {
    std::int16_t x = 0, y = 0;
    const bool has = key_centre(static_cast<unsigned char>(k), x, y);
    EXPECT_EQ(has, key_regions()[k].key != 0) << k;
    if (has) {
      EXPECT_EQ(key_at(x, y), k) << "centre " << x << "," << y;
    }
  }
  std::int16_t x = 0, y = 0;
  no_key_point(x, y);
  EXPECT_GT(x, 0);
  EXPECT_GT(y, 0);
  EXPECT_EQ(key_at(x, y), 0);
}

}  // namespace
