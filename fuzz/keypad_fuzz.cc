// Fuzz target: the layout against its band table at arbitrary raw points.
// Each 4 bytes of input are one point, x then y, little-endian.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "keypad.h"
#include "keypad_bands.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    const std::int16_t x = int16_le(data + at);
    const std::int16_t y = int16_le(data + at + 2);
    const unsigned char got = keypad_key_at(x, y);
    fuzz_effects += got != 0;
    const unsigned char want = oracle::key_at(x, y);
    if (got != want) {
      std::printf("keypad_key_at(%d, %d) = 0x%02x, band table says 0x%02x\n", x, y, got, want);
      std::fflush(stdout);
      std::abort();
    }
  }
  return 0;
}
