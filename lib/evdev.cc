// Asking an evdev touch panel what it is and where it stands, by ioctl.
#include "evdev.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool read_axis_range(int fd, unsigned code, axis_range& range) {
  input_absinfo info = {};
  if (ioctl(fd, EVIOCGABS(code), &info) == -1)
    return false;
  range = {info.minimum, info.maximum};
  return true;
}

}  // namespace

bool has_bit(const unsigned long* bits, unsigned bit) {
  constexpr unsigned per_word = sizeof(unsigned long) * CHAR_BIT;
  return (bits[bit / per_word] >> (bit % per_word)) & 1ul;
}

bool is_evdev(int fd) {
  int version = 0;
  return ioctl(fd, EVIOCGVERSION, &version) != -1;
}

bool read_device_name(int fd, char* name, std::size_t size) {
  if (size == 0 || ioctl(fd, EVIOCGNAME(size - 1), name) == -1)
    return false;
  name[size - 1] = '\0';
  return true;
}

bool read_capabilities(int fd, evdev_capabilities& caps) {
  return ioctl(fd, EVIOCGBIT(0, sizeof caps.types), caps.types) != -1 &&
         ioctl(fd, EVIOCGBIT(EV_ABS, sizeof caps.abs), caps.abs) != -1 &&
         ioctl(fd, EVIOCGBIT(EV_KEY, sizeof caps.keys), caps.keys) != -1 &&
         ioctl(fd, EVIOCGPROP(sizeof caps.props), caps.props) != -1;
}

// Typing from a laptop's touchpad would surprise, hence the pointer test.
bool is_touchscreen(const evdev_capabilities& caps) {
  const bool single = has_bit(caps.abs, ABS_X) && has_bit(caps.abs, ABS_Y);
  const bool multi = has_bit(caps.abs, ABS_MT_POSITION_X) && has_bit(caps.abs, ABS_MT_POSITION_Y);
  return has_bit(caps.types, EV_ABS) && has_bit(caps.types, EV_KEY) && (single || multi) &&
         has_bit(caps.keys, BTN_TOUCH) && !has_bit(caps.props, INPUT_PROP_POINTER);
}

touchscreen_search find_touchscreen() {
  touchscreen_search found;
  DIR* dir = opendir("/dev/input");
  if (dir == nullptr)
    return found;
  long best_number = LONG_MAX;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    if (std::strncmp(entry->d_name, "event", 5) != 0)
      continue;
    const long number = std::strtol(entry->d_name + 5, &end, 10);
    if (end == entry->d_name + 5 || *end != '\0')
      continue;
    char candidate[sizeof found.path];
    std::snprintf(candidate, sizeof candidate, "/dev/input/%s", entry->d_name);
    const int fd = open(candidate, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
      if (found.unopenable++ == 0)
        found.open_errno = errno;
      continue;
    }
    evdev_capabilities caps;
    if (number >= best_number || !read_capabilities(fd, caps) || !is_touchscreen(caps)) {
      close(fd);
      continue;
    }
    if (found.fd != -1)
      close(found.fd);
    found.fd = fd;
    best_number = number;
    std::snprintf(found.path, sizeof found.path, "%s", candidate);
  }
  closedir(dir);
  return found;
}

bool grab_device(int fd) { return ioctl(fd, EVIOCGRAB, 1) != -1; }

bool read_panel_ranges(int fd, axis_range& x, axis_range& y, bool& multi_touch) {
  evdev_capabilities caps;
  read_capabilities(fd, caps);
  multi_touch = has_bit(caps.abs, ABS_MT_SLOT);
  return read_axis_range(fd, multi_touch ? ABS_MT_POSITION_X : ABS_X, x) &&
         read_axis_range(fd, multi_touch ? ABS_MT_POSITION_Y : ABS_Y, y);
}

bool read_snapshot(int device_fd, device_snapshot& snapshot) {
  if (!is_evdev(device_fd))
    return false;
  snapshot = device_snapshot{};

  evdev_capabilities state;  // EVIOCGKEY answers in the same words as EVIOCGBIT
  if (ioctl(device_fd, EVIOCGKEY(sizeof state.keys), state.keys) != -1)
    snapshot.touch_key = has_bit(state.keys, BTN_TOUCH);

  const auto abs_value = [device_fd](unsigned code, std::int32_t& value) {
    input_absinfo info = {};
    if (ioctl(device_fd, EVIOCGABS(code), &info) != -1)
      value = info.value;
  };
  abs_value(ABS_X, snapshot.x);
  abs_value(ABS_Y, snapshot.y);
  abs_value(ABS_PRESSURE, snapshot.pressure);
  abs_value(ABS_MT_SLOT, snapshot.slot);

  // EVIOCGMTSLOTS fills one value per slot after the code; slot 0 comes first.
  const auto slot0_value = [device_fd](unsigned code, std::int32_t& value) {
    struct {
      std::uint32_t code;
      std::int32_t values[64];
    } slots = {code, {}};
    if (ioctl(device_fd, EVIOCGMTSLOTS(sizeof slots), &slots) != -1)
      value = slots.values[0];
  };
  slot0_value(ABS_MT_TRACKING_ID, snapshot.slot0_tracking_id);
  slot0_value(ABS_MT_POSITION_X, snapshot.slot0_x);
  slot0_value(ABS_MT_POSITION_Y, snapshot.slot0_y);
  slot0_value(ABS_MT_PRESSURE, snapshot.slot0_pressure);
  return true;
}
