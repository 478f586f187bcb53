// The evdev ioctls the tools use on a touch panel: what it can report, its
// axis ranges, its present state, and finding the first touchscreen.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <linux/input.h>

// An axis's range of values, both ends included.
struct axis_range {
  std::int32_t min = 0;
  std::int32_t max = 0;
};

// The device's state as read back with ioctls after events were lost.
struct device_snapshot {
  bool touch_key = false;  // BTN_TOUCH
  std::int32_t x = 0, y = 0, pressure = -1;
  std::int32_t slot = 0;
  std::int32_t slot0_tracking_id = -1;
  std::int32_t slot0_x = 0, slot0_y = 0, slot0_pressure = -1;
};

// Whether bit is set in a kernel bit map. The kernel fills these as arrays of
// unsigned long, so they are read by words: read by bytes, a big-endian
// machine would find every bit in the wrong place.
bool has_bit(const unsigned long* bits, unsigned bit);

// Bit maps sized for the largest kind of code a device can report.
struct evdev_capabilities {
  unsigned long types[EV_MAX / (sizeof(unsigned long) * CHAR_BIT) + 1] = {};
  unsigned long abs[ABS_MAX / (sizeof(unsigned long) * CHAR_BIT) + 1] = {};
  unsigned long keys[KEY_MAX / (sizeof(unsigned long) * CHAR_BIT) + 1] = {};
  unsigned long props[INPUT_PROP_MAX / (sizeof(unsigned long) * CHAR_BIT) + 1] = {};
};

// False when fd is not an evdev device.
bool is_evdev(int fd);
// The name the device gives itself ("... Touchscreen"), cut to fit size.
bool read_device_name(int fd, char* name, std::size_t size);
bool read_capabilities(int fd, evdev_capabilities& caps);

// A touchscreen reports absolute positions and touch contact, and is no
// pointer: touchpads say the same but drive a pointer.
bool is_touchscreen(const evdev_capabilities& caps);

// The outcome of looking through /dev/input/event*.
struct touchscreen_search {
  int fd = -1;  // the lowest-numbered touchscreen, read-only and non-blocking; -1 if none
  char path[sizeof "/dev/input/" + NAME_MAX] = {};
  int unopenable = 0;  // event devices that could not be opened (permissions, say)
  int open_errno = 0;  // why the first of them could not
};
touchscreen_search find_touchscreen();

// Takes the device for this process alone (EVIOCGRAB) until it is closed, so
// that no other reader (a running bridge) acts on its events meanwhile.
bool grab_device(int fd);

// The panel's x and y ranges: those of slot positions on a multi-touch panel
// (which multi_touch then says), else of ABS_X and ABS_Y. False when the
// device reports no such axes.
bool read_panel_ranges(int fd, axis_range& x, axis_range& y, bool& multi_touch);

// Reads the device's state with EVIOCGKEY, EVIOCGABS and EVIOCGMTSLOTS; false
// when device_fd is not an evdev device.
bool read_snapshot(int device_fd, device_snapshot& snapshot);
