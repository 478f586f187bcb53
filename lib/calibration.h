// The panel-to-keypad calibration: a 2x3 affine matrix over normalised
// coordinates, its file, and its fit from four corner taps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "evdev.h"
#include "failure.h"

// As LIBINPUT_CALIBRATION_MATRIX has it: with the panel's position x, y
// normalised to 0..1 over its range, the keypad's position, 0..1 over its
// area, is x' = a*x + b*y + c and y' = d*x + e*y + f.
struct calibration_matrix {
  double a = 1, b = 0, c = 0;
  double d = 0, e = 1, f = 0;
};

struct normalised_point {
  double x = 0;
  double y = 0;
};

normalised_point apply_matrix(const calibration_matrix& m, normalised_point p);

// The matrix that applies `first`, then `then`.
calibration_matrix compose(const calibration_matrix& then, const calibration_matrix& first);

// --swap-xy, --invert-x and --invert-y as one matrix: swapping first, then
// the inversions of the keypad's axes.
calibration_matrix orientation_matrix(bool swap_xy, bool invert_x, bool invert_y);

// "a,b,c,d,e,f", as --matrix takes it and the file holds it; each number to
// six decimals, which is far finer than a key.
void format_matrix(const calibration_matrix& m, char* text, std::size_t size);

// The screen's corners in the order they are asked for.
enum corner { top_left, top_right, bottom_right, bottom_left };
constexpr int corner_count = 4;
extern const char* const corner_names[corner_count];

// The least-squares matrix that puts the four taps (normalised over the
// panel's range, in corner order) on the keypad's corners as its picture has
// them: 'm' top left, 'a' top right, '0' bottom right, '|' bottom left; with
// mirror, a..m reads left to right. Refuses two taps at one place, three on a
// line, and taps more than a tenth of the panel from the corners of any
// rectangle with sides along its axes: the failure says why.
failure fit_corners(const normalised_point taps[corner_count], bool mirror, calibration_matrix& matrix);

// A matrix that squeezes some direction of the panel to less than a key's
// width of the keypad (a key is 1/13 of it across) leaves whole rows or
// columns of keys out of reach: it is as good as singular. So is one that
// stretches a key to less than a thousandth of the panel, which puts every
// tap on the keypad's edge, and one with a number beyond a million, or not a
// number at all. Neither the fit, the file nor --matrix may give one.
constexpr double least_scale = 1.0 / 13;
constexpr double greatest_scale = 1000.0 / 13;
constexpr const char* singular_matrix = "is singular: it squeezes the whole panel onto a line of the keypad";
bool is_singular(const calibration_matrix& m);

// Where touchkey-calibrate writes the calibration and touchkey-bridge looks
// for it; a literal, so that the programs' help texts can name it too.
#define TOUCHKEY_CALIBRATION_FILE "/etc/touchkey/calibration"

// Where the screen lies on the panel: the panel's ranges, and the taps on the
// screen's corners in its units, in corner order.
struct screen_corners {
  axis_range x, y;
  std::int32_t taps[corner_count][2] = {};
  bool known = false;  // read_calibration found them recorded
};

// How the file's first comment records them, for a person and for
// read_calibration alike: "(x MIN..MAX, y MIN..MAX), corner taps X,Y X,Y X,Y X,Y".
std::string describe_screen(const screen_corners& screen);

// The calibration file: comment lines starting with '#', blank lines, and one
// line "a,b,c,d,e,f", not singular. Fails when it cannot be read (error
// ENOENT: it is absent) or holds no such matrix. With screen, a comment that
// ends in describe_screen's record also gives the screen's corners; nothing
// else in a comment is read.
failure read_calibration(const char* path, calibration_matrix& matrix, screen_corners* screen = nullptr);

// Writes the file durably: a temporary file beside it, synced, renamed over
// it, and the directory synced, so that a power cut once this has returned
// keeps the new file, and one before it the old. Mode 0644; a missing parent
// directory is created (not its parents). With check, the temporary file
// must pass it before it takes the place of the old one. SIGINT, SIGTERM and
// SIGHUP wait meanwhile. A failure before the rename leaves nothing new behind.
failure replace_file(const char* path, const std::string& content,
                     failure (*check)(const char* written) = nullptr);

// replace_file with comment as the first line and the matrix after it; the
// new file replaces the old one only if it reads back as a calibration.
failure write_calibration(const char* path, const calibration_matrix& matrix, const char* comment);
