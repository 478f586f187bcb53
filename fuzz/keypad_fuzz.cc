// Fuzz target: the layout against the key rectangles it exports, which the
// layout test holds against its band table, at arbitrary raw points.
// Each 4 bytes of input are one point, x then y, little-endian.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "keypad.h"

namespace {

// The key whose rectangle holds (x, y), where neither is 0.
unsigned char rectangle_key_at(std::int32_t x, std::int32_t y) {
  static const std::array<key_rectangle, keypad_key_count> keys = keypad_rectangles();
  for (const key_rectangle& k : keys)
    if (x != 0 && y != 0 && x >= k.left && x <= k.right && y >= k.top && y <= k.bottom)
      return k.key;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    const std::int16_t x = int16_le(data + at);
    const std::int16_t y = int16_le(data + at + 2);
    const unsigned char got = keypad_key_at(x, y);
    fuzz_effects += got != 0;
    const unsigned char want = rectangle_key_at(x, y);
    if (got != want) {
      std::printf("keypad_key_at(%d, %d) = 0x%02x, its rectangles say 0x%02x\n", x, y, got, want);
      std::fflush(stdout);
      std::abort();
    }
  }
  return 0;
}
