// touchkey-keypad-svg: draws the keypad over the raw touch plane as an SVG,
// from the key regions the layout code itself yields.
//   touchkey-keypad-svg > docs/keypad.svg
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "key_regions.h"

namespace {

constexpr int margin_left = 900;  // room for the rows' y ranges
constexpr int margin_top = 500;   // room for the caption
constexpr int margin = 150;

std::string label_of(unsigned char key) {
  switch (key) {
    case '\n': return "Enter";
    case ' ': return "space";
    case '\b': return "backspace";
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return std::string(1, static_cast<char>(key));
  }
}

bool is_wide(const key_region& r) { return label_of(r.key).size() > 1; }

}  // namespace

int main() {
  std::vector<key_region> keys;
  int right = 0, bottom = 0;
  for (int k = 0; k < 256; ++k) {
    const key_region& r = key_regions()[k];
    if (r.key == 0)
      continue;
    keys.push_back(r);
    right = std::max<int>(right, r.right);
    bottom = std::max<int>(bottom, r.bottom);
  }
  std::sort(keys.begin(), keys.end(), [](const key_region& a, const key_region& b) {
    return a.top != b.top ? a.top < b.top : a.left < b.left;
  });

  const int view_width = margin_left + right + margin;
  const int view_height = margin_top + bottom + margin;
  std::printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  std::printf(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"%d %d %d %d\" "
      "font-family=\"sans-serif\" text-anchor=\"middle\">\n",
      view_width / 5, view_height / 5, -margin_left, -margin_top, view_width, view_height);
  std::printf("<title>touchkeyd keypad over the raw touch plane</title>\n");
  std::printf("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"white\"/>\n", -margin_left,
              -margin_top, view_width, view_height);
  std::printf(
      "<text x=\"%d\" y=\"%d\" font-size=\"110\" text-anchor=\"start\">touchkeyd keypad: raw touch units, "
      "x to the right, y downwards</text>\n",
      -margin_left + margin, -margin_top + 180);
  std::printf(
      "<text x=\"%d\" y=\"%d\" font-size=\"80\" text-anchor=\"start\" fill=\"#555\">Each key types when the "
      "pen is lifted inside it; x or y equal to 0 is no key. Under each character: its x range.</text>\n",
      -margin_left + margin, -margin_top + 330);

  int last_row_top = -1;
  for (const key_region& r : keys) {
    if (r.top != last_row_top) {
      std::printf("<text x=\"%d\" y=\"%d\" font-size=\"80\" text-anchor=\"end\">y %d&#8211;%d</text>\n", -60,
                  (r.top + r.bottom) / 2 + 28, r.top, r.bottom);
      last_row_top = r.top;
    }
    const int width = r.right - r.left + 1;
    const int height = r.bottom - r.top + 1;
    const int centre_x = r.left + width / 2;
    const int centre_y = r.top + height / 2;
    std::printf(
        "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" stroke=\"#333\" "
        "stroke-width=\"8\"/>\n",
        r.left, r.top, width, height, is_wide(r) ? "#fde8c8" : "#dbe9f8");
    std::printf("<text x=\"%d\" y=\"%d\" font-size=\"%d\">%s</text>\n", centre_x, centre_y + 40,
                is_wide(r) ? 150 : 190, label_of(r.key).c_str());
    // On two lines, so that the ranges of narrow keys do not run together.
    std::printf("<text x=\"%d\" y=\"%d\" font-size=\"50\" fill=\"#555\">%d&#8211;</text>\n", centre_x,
                centre_y + 190, r.left);
    std::printf("<text x=\"%d\" y=\"%d\" font-size=\"50\" fill=\"#555\">%d</text>\n", centre_x,
                centre_y + 250, r.right);
  }
  std::printf("</svg>\n");
  return 0;
}
