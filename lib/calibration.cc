// The calibration matrix: applying and composing it, its file, and the
// least-squares fit that finds it from the screen's four corners.
#include "calibration.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "numbers.h"

namespace {

// Tolerances in parts of the panel's range: a finger is far more precise,
// and a real screen's corners lie far further apart.
constexpr double same_place = 0.05;
constexpr double on_a_line = 0.05;
constexpr double off_rectangle = 0.1;

double distance(normalised_point p, normalised_point q) { return std::hypot(p.x - q.x, p.y - q.y); }

// Where the fit puts each corner on the keypad, 0..1 over its area.
normalised_point keypad_corner(int corner, bool mirror) {
  const bool right = corner == top_right || corner == bottom_right;
  const bool bottom = corner == bottom_right || corner == bottom_left;
  return {right != mirror ? 1.0 : 0.0, bottom ? 1.0 : 0.0};
}

// The shortest height of the triangle: the distance of the vertex opposite
// its longest side from the line through the other two.
double least_height(normalised_point p, normalised_point q, normalised_point r) {
  const double twice_area = std::fabs((q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x));
  return twice_area / std::max({distance(p, q), distance(q, r), distance(r, p)});
}

// How far the taps are from the corners of the nearest rectangle whose sides
// run along the panel's axes, as a screen's do however the panel is turned
// (an affine fit matches any parallelogram exactly, so it cannot tell): the
// worst tap's distance from its corner. Going round the corners, the first
// side runs along x or, on a panel turned by a quarter, along y; the two
// corners on a side share the mean of their taps' coordinate across it.
double off_rectangle_by(const normalised_point taps[corner_count]) {
  // Corners whose taps share an x when the first side runs along x; when it
  // runs along y, these share a y and the others an x.
  constexpr int sides[2][2] = {{top_left, bottom_left}, {top_right, bottom_right}};
  constexpr int across[2][2] = {{top_left, top_right}, {bottom_right, bottom_left}};
  double nearest = INFINITY;
  for (const bool along_x : {true, false}) {
    normalised_point corners[corner_count];
    for (int side = 0; side < 2; ++side) {
      const int* same_x = along_x ? sides[side] : across[side];
      const int* same_y = along_x ? across[side] : sides[side];
      corners[same_x[0]].x = corners[same_x[1]].x = (taps[same_x[0]].x + taps[same_x[1]].x) / 2;
      corners[same_y[0]].y = corners[same_y[1]].y = (taps[same_y[0]].y + taps[same_y[1]].y) / 2;
    }
    double worst = 0;
    for (int i = 0; i < corner_count; ++i)
      worst = std::max(worst, distance(corners[i], taps[i]));
    nearest = std::min(nearest, worst);
  }
  return nearest;
}

// Least squares of one keypad axis against the centred taps: solves the 2x2
// normal equations for the factors of x and y; the offset follows from the means.
void fit_axis(const normalised_point centred[corner_count], const double target[corner_count],
              double target_mean, normalised_point mean, double& of_x, double& of_y, double& offset) {
  double xx = 0, xy = 0, yy = 0, tx = 0, ty = 0;
  for (int i = 0; i < corner_count; ++i) {
    const normalised_point q = centred[i];
    xx += q.x * q.x;
    xy += q.x * q.y;
    yy += q.y * q.y;
    tx += q.x * (target[i] - target_mean);
    ty += q.y * (target[i] - target_mean);
  }
  const double det = xx * yy - xy * xy;
  of_x = (tx * yy - ty * xy) / det;
  of_y = (xx * ty - xy * tx) / det;
  offset = target_mean - of_x * mean.x - of_y * mean.y;
}

// Six decimals, and no "-0"; a number too large for them is left whole
// rather than made infinite.
double rounded(double value) { return std::fabs(value) < 1e15 ? std::round(value * 1e6) / 1e6 + 0.0 : value; }

// describe_screen's record, each '#' standing for one of its integers, which
// screen_fields lists in that order.
constexpr const char* screen_pattern = "(x #..#, y #..#), corner taps #,# #,# #,# #,#";

std::array<std::int32_t*, 12> screen_fields(screen_corners& s) {
  return {&s.x.min,      &s.x.max,      &s.y.min,      &s.y.max,      &s.taps[0][0], &s.taps[0][1],
          &s.taps[1][0], &s.taps[1][1], &s.taps[2][0], &s.taps[2][1], &s.taps[3][0], &s.taps[3][1]};
}

// The record of the screen's corners at the end of a comment. It follows the
// device's path, which may hold anything: it starts at the last "(x ".
bool parse_screen(const char* comment, screen_corners& screen) {
  const char* at = nullptr;
  for (const char* found = comment; (found = std::strstr(found, "(x ")) != nullptr; ++found)
    at = found;
  if (at == nullptr)
    return false;
  screen_corners s;
  const auto fields = screen_fields(s);
  std::size_t next = 0;
  for (const char* c = screen_pattern; *c != '\0'; ++c) {
    if (*c != '#') {
      if (*at++ != *c)
        return false;
      continue;
    }
    if (*at != '-' && std::isdigit(static_cast<unsigned char>(*at)) == 0)
      return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(at, &end, 10);
    if (end == at || errno != 0 || value < INT32_MIN || value > INT32_MAX)
      return false;
    *fields[next++] = static_cast<std::int32_t>(value);
    at = end;
  }
  if (at[std::strspn(at, " \t\r\n")] != '\0' || s.x.min >= s.x.max || s.y.min >= s.y.max)
    return false;
  s.known = true;
  screen = s;
  return true;
}

}  // namespace

std::string describe_screen(const screen_corners& screen) {
  screen_corners s = screen;
  const auto fields = screen_fields(s);
  std::string text;
  std::size_t next = 0;
  for (const char* c = screen_pattern; *c != '\0'; ++c)
    text += *c == '#' ? std::to_string(*fields[next++]) : std::string(1, *c);
  return text;
}

const char* const corner_names[corner_count] = {"top-left", "top-right", "bottom-right", "bottom-left"};

normalised_point apply_matrix(const calibration_matrix& m, normalised_point p) {
  return {m.a * p.x + m.b * p.y + m.c, m.d * p.x + m.e * p.y + m.f};
}

calibration_matrix compose(const calibration_matrix& then, const calibration_matrix& first) {
  calibration_matrix m;
  m.a = then.a * first.a + then.b * first.d;
  m.b = then.a * first.b + then.b * first.e;
  m.c = then.a * first.c + then.b * first.f + then.c;
  m.d = then.d * first.a + then.e * first.d;
  m.e = then.d * first.b + then.e * first.e;
  m.f = then.d * first.c + then.e * first.f + then.f;
  return m;
}

calibration_matrix orientation_matrix(bool swap_xy, bool invert_x, bool invert_y) {
  calibration_matrix m;
  if (swap_xy)
    m = {0, 1, 0, 1, 0, 0};
  calibration_matrix invert;
  if (invert_x)
    invert.a = -1, invert.c = 1;
  if (invert_y)
    invert.e = -1, invert.f = 1;
  return compose(invert, m);
}

void format_matrix(const calibration_matrix& m, char* text, std::size_t size) {
  std::snprintf(text, size, "%.10g,%.10g,%.10g,%.10g,%.10g,%.10g", rounded(m.a), rounded(m.b), rounded(m.c),
                rounded(m.d), rounded(m.e), rounded(m.f));
}

failure fit_corners(const normalised_point taps[corner_count], bool mirror, calibration_matrix& m) {
  for (int i = 0; i < corner_count; ++i)
    for (int j = i + 1; j < corner_count; ++j)
      if (distance(taps[i], taps[j]) < same_place)
        return failure_of("the %s and %s taps are at the same place", corner_names[i], corner_names[j]);
  // The triples are the four ways of leaving one corner out.
  for (int left_out = 0; left_out < corner_count; ++left_out) {
    const int i = (left_out + 1) % corner_count, j = (left_out + 2) % corner_count,
              k = (left_out + 3) % corner_count;
    if (least_height(taps[i], taps[j], taps[k]) < on_a_line)
      return failure_of("the %s, %s and %s taps lie on a line", corner_names[i], corner_names[j],
                        corner_names[k]);
  }

  normalised_point mean, centred[corner_count];
  double target_x[corner_count], target_y[corner_count];
  for (int i = 0; i < corner_count; ++i) {
    mean.x += taps[i].x / corner_count;
    mean.y += taps[i].y / corner_count;
    target_x[i] = keypad_corner(i, mirror).x;
    target_y[i] = keypad_corner(i, mirror).y;
  }
  for (int i = 0; i < corner_count; ++i)
    centred[i] = {taps[i].x - mean.x, taps[i].y - mean.y};
  fit_axis(centred, target_x, 0.5, mean, m.a, m.b, m.c);
  fit_axis(centred, target_y, 0.5, mean, m.d, m.e, m.f);

  if (is_singular(m))
    return failure_of("the taps are no rectangle's corners (were the corners touched in the order asked?)");
  const double worst = off_rectangle_by(taps);
  if (worst > off_rectangle)
    return failure_of(
        "the taps are %.2f of the panel away from a rectangle's corners (were the corners "
        "touched in the order asked?)",
        worst);
  return {};
}

bool is_singular(const calibration_matrix& m) {
  // Bounded first, so that the squares below stay finite.
  for (const double v : {m.a, m.b, m.c, m.d, m.e, m.f})
    if (!(std::fabs(v) <= 1e6))
      return true;
  // The largest and smallest factor by which the matrix scales any direction
  // of the panel (its singular values): the square roots of the eigenvalues
  // of M^T M, from its trace and determinant.
  const double det = std::fabs(m.a * m.e - m.b * m.d);
  const double trace = m.a * m.a + m.b * m.b + m.d * m.d + m.e * m.e;
  const double greatest = std::sqrt((trace + std::sqrt(std::max(trace * trace - 4 * det * det, 0.0))) / 2);
  // Not from the difference, which cancels: the product of the two is det.
  const double least = greatest > 0 ? det / greatest : 0;
  const bool keys_fit = least >= least_scale && greatest <= greatest_scale;
  return !keys_fit;
}

failure read_calibration(const char* path, calibration_matrix& matrix, screen_corners* screen) {
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr)
    return {std::strerror(errno), errno};
  // Lines of any length: a comment is a comment however long, and no part of
  // one may pass for the matrix.
  char* line = nullptr;
  std::size_t capacity = 0;
  int number = 0, found = 0;
  failure why;
  while (!why && getline(&line, &capacity, file) != -1) {
    ++number;
    char* text = line + std::strspn(line, " \t");
    if (text[0] == '#' && screen != nullptr && !screen->known)
      parse_screen(text, *screen);
    text[std::strcspn(text, " \t\r\n")] = '\0';
    if (text[0] == '\0' || text[0] == '#')
      continue;
    double v[6];
    if (found++ > 0)
      why = failure_of("line %d: a second matrix", number);
    else if (!parse_number_list(text, v, 6))
      why = failure_of("line %d: not six numbers a,b,c,d,e,f", number);
    else if (is_singular({v[0], v[1], v[2], v[3], v[4], v[5]}))
      why = failure_of("line %d: the matrix %s %s", number, text, singular_matrix);
    else
      matrix = {v[0], v[1], v[2], v[3], v[4], v[5]};
  }
  // getline ends on an error as on the end; only the error indicator tells.
  if (!why && std::ferror(file) != 0)
    why = {std::strerror(errno), errno};
  std::free(line);
  std::fclose(file);
  if (!why && found == 0)
    why = failure_of("no line with the six numbers a,b,c,d,e,f");
  return why;
}

namespace {

// Syncs the directory that holds path, which makes a rename or a new name in
// it durable.
failure sync_directory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1 || fsync(fd) == -1) {
    failure why = system_failure("cannot sync %s", directory.c_str());
    if (fd != -1)
      close(fd);
    return why;
  }
  close(fd);
  return {};
}

// replace_file with the stop requests held back.
failure replace_checked(const char* path, const std::string& content, failure (*check)(const char*)) {
  const char* slash = std::strrchr(path, '/');
  const std::string directory = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
  bool made_directory = false;
  if (slash != nullptr && slash != path) {
    made_directory = mkdir(directory.c_str(), 0755) == 0;
    if (!made_directory && errno != EEXIST)
      return system_failure("cannot write %s", path);
  }
  // A temporary file beside it, so the rename that replaces it is atomic and
  // a reader never sees half a file.
  std::string temporary = std::string(path) + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd == -1) {
    failure why = system_failure("cannot write %s", path);
    if (made_directory)
      rmdir(directory.c_str());
    return why;
  }
  std::size_t done = 0;
  bool written = fchmod(fd, 0644) == 0;
  while (written && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    written = n > 0 || (n == -1 && errno == EINTR);
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  // Its data on the disk before its name: a rename that outlives a power cut
  // must not name an empty file.
  failure why = written && fsync(fd) == 0 ? failure{} : system_failure("cannot write %s", path);
  close(fd);
  if (!why && check != nullptr)
    if (const failure refused = check(temporary.c_str()))
      why = failure_of("cannot write %s: %s", path, refused.message.c_str());
  if (!why && std::rename(temporary.c_str(), path) == -1)
    why = system_failure("cannot write %s", path);
  if (why) {
    unlink(temporary.c_str());
    if (made_directory)
      rmdir(directory.c_str());
    return why;
  }
  // The rename, and a directory made for it, last only once their
  // directories are synced.
  why = sync_directory(directory);
  if (!why && made_directory) {
    const std::size_t parent_end = directory.rfind('/');
    why = sync_directory(parent_end == 0 ? "/" : directory.substr(0, parent_end));
  }
  return why;
}

// Read back as the bridge will read it: a file it would refuse must not take
// the place of one it serves today.
failure reads_as_calibration(const char* written) {
  calibration_matrix read_back;
  return read_calibration(written, read_back);
}

}  // namespace

failure replace_file(const char* path, const std::string& content, failure (*check)(const char* written)) {
  // Stop requests wait until the temporary file has been renamed or removed,
  // so that none leaves it behind.
  sigset_t stops, before;
  sigemptyset(&stops);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&stops, stop);
  sigprocmask(SIG_BLOCK, &stops, &before);
  failure why = replace_checked(path, content, check);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return why;
}

failure write_calibration(const char* path, const calibration_matrix& matrix, const char* comment) {
  char numbers[160];
  format_matrix(matrix, numbers, sizeof numbers);
  return replace_file(
      path, std::string(comment) + "\n# the mapping a,b,c,d,e,f; see touchkey-bridge(8)\n" + numbers + "\n",
      reads_as_calibration);
}
