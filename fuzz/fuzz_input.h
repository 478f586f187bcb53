// What the fuzz targets share: fields read from the input in one byte order
// on every machine, so that a seed or a kept reproducer means the same input
// wherever it is replayed, and the count of what an input made the code do.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint16_t uint16_le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::int16_t int16_le(const std::uint8_t* p) { return static_cast<std::int16_t>(uint16_le(p)); }
inline std::int32_t int32_le(const std::uint8_t* p) {
  return static_cast<std::int32_t>(uint16_le(p) | std::uint32_t{uint16_le(p + 2)} << 16);
}

// Keys typed, records written, points on a key: the replay driver refuses an
// input that made none, since its replay would test nothing.
inline std::size_t fuzz_effects = 0;
