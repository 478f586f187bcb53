// touchkey-keypad-svg: draws the keypad over the raw touch plane as an SVG,
// from the key regions the layout code itself yields.
//   touchkey-keypad-svg [--output FILE]      (default: standard output)
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
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

constexpr cli_program program = {"touchkey-keypad-svg", "touchkey-keypad-svg [--output FILE]",
                                 "Draws touchkeyd's keypad over the raw touch plane as an SVG picture, from\n"
                                 "the daemon's own layout code.\n"
                                 "\n"
                                 "  --output FILE  write the picture to FILE (default: standard output)\n"
                                 "  -h, --help     this help\n"
                                 "      --version  the version\n"};

// The file named by --output, or nullptr for standard output.
const char* parse_options(int argc, char** argv) {
  enum : int { output = 1 };
  static const option long_options[] = {{"output", required_argument, nullptr, output},
                                        {nullptr, 0, nullptr, 0}};
  const char* path = nullptr;
  while (cli_next_option(argc, argv, "", long_options) == output)
    path = optarg;
  if (optind < argc)
    cli_usage_error("takes no operands, not '%s'", argv[optind]);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const char* path = parse_options(argc, argv);
  const char* name = path != nullptr ? path : "standard output";
  std::FILE* out = path != nullptr ? std::fopen(path, "w") : stdout;
  if (out == nullptr)
    cli_fail(1, "cannot create %s: %s", path, std::strerror(errno));

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
  std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  std::fprintf(out,
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"%d %d %d %d\" "
               "font-family=\"sans-serif\" text-anchor=\"middle\">\n",
               view_width / 5, view_height / 5, -margin_left, -margin_top, view_width, view_height);
  std::fprintf(out, "<title>touchkeyd keypad over the raw touch plane</title>\n");
  std::fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"white\"/>\n", -margin_left,
               -margin_top, view_width, view_height);
  std::fprintf(
      out,
      "<text x=\"%d\" y=\"%d\" font-size=\"110\" text-anchor=\"start\">touchkeyd keypad: raw touch units, "
      "x to the right, y downwards</text>\n",
      -margin_left + margin, -margin_top + 180);
  std::fprintf(
      out,
      "<text x=\"%d\" y=\"%d\" font-size=\"80\" text-anchor=\"start\" fill=\"#555\">Each key types when the "
      "pen is lifted inside it; x or y equal to 0 is no key. Under each character: its x range.</text>\n",
      -margin_left + margin, -margin_top + 330);

  int last_row_top = -1;
  for (const key_region& r : keys) {
    if (r.top != last_row_top) {
      std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-size=\"80\" text-anchor=\"end\">y %d&#8211;%d</text>\n",
                   -60, (r.top + r.bottom) / 2 + 28, r.top, r.bottom);
      last_row_top = r.top;
    }
    const int width = r.right - r.left + 1;
    const int height = r.bottom - r.top + 1;
    const int centre_x = r.left + width / 2;
    const int centre_y = r.top + height / 2;
    std::fprintf(out,
                 "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" stroke=\"#333\" "
                 "stroke-width=\"8\"/>\n",
                 r.left, r.top, width, height, is_wide(r) ? "#fde8c8" : "#dbe9f8");
    std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-size=\"%d\">%s</text>\n", centre_x, centre_y + 40,
                 is_wide(r) ? 150 : 190, label_of(r.key).c_str());
    // On two lines, so that the ranges of narrow keys do not run together.
    std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-size=\"50\" fill=\"#555\">%d&#8211;</text>\n", centre_x,
                 centre_y + 190, r.left);
    std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-size=\"50\" fill=\"#555\">%d</text>\n", centre_x,
                 centre_y + 250, r.right);
  }
  std::fprintf(out, "</svg>\n");
  // A picture cut short must not pass for a whole one (a full disk, a closed pipe).
  if (std::fflush(out) != 0 || std::ferror(out) != 0 || (out != stdout && std::fclose(out) != 0))
    cli_fail(1, "writing %s: %s", name, std::strerror(errno));
  return 0;
}
