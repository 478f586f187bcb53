// The keypad written out as its table of bands, independent of the layout's
// formulas, for the layout tests and fuzz targets to hold the layout against.
#pragma once

#include <cstddef>

namespace oracle {

struct band {
  int first;
  int last;
};

// Inclusive bands of raw units. The first band of each axis reaches into
// negative coordinates because the layout's division truncates toward zero.
constexpr band rows[] = {{-812, 1112}, {1113, 2074}, {2075, 3037}, {3038, 3999}};
constexpr band narrow_columns[] = {{-26, 526},   {527, 803},   {804, 1080},  {1081, 1357}, {1358, 1634},
                                   {1635, 1911}, {1912, 2188}, {2189, 2465}, {2466, 2742}, {2743, 3019},
                                   {3020, 3296}, {3297, 3573}, {3574, 3849}};
constexpr band wide_columns[] = {{-949, 1449}, {1450, 2649}, {2650, 3849}};

// Characters by row and column; row 2 is Enter (line feed), space, backspace.
constexpr const char* row_keys[] = {"mlkjihgfedcba", "zyxwvutsrqpon", "\n \b", "|_\\-/.6543210"};

template <std::size_t n>
int band_index(const band (&bands)[n], int v) {
  for (std::size_t i = 0; i < n; ++i)
    if (v >= bands[i].first && v <= bands[i].last)
      return static_cast<int>(i);
  return -1;
}

// The key byte under (x, y), 0 for none.
inline unsigned char key_at(int x, int y) {
  if (x == 0 || y == 0)
    return 0;
  const int row = band_index(rows, y);
  if (row < 0)
    return 0;
  const int column = row == 2 ? band_index(wide_columns, x) : band_index(narrow_columns, x);
  return column < 0 ? 0 : static_cast<unsigned char>(row_keys[row][column]);
}

// Any byte the keypad can type.
inline bool is_key(unsigned char c) {
  for (const char* row : row_keys)
    for (const char* k = row; *k != '\0'; ++k)
      if (static_cast<unsigned char>(*k) == c)
        return true;
  return false;
}

}  // namespace oracle
