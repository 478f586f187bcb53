// Finding, opening and naming the touch panel, and reading its events, for
// the bridge and touchkey-calibrate alike.
#include "panel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "clock.h"
#include "evdev.h"

namespace {

failure none_found(const touchscreen_search& found) {
  // Without permission to open them, the touchscreen may well be among the
  // devices: "none found" would send the user looking for hardware.
  if (found.unopenable > 0)
    return failure_of("cannot open %d of /dev/input/event*: %s; a touchscreen may be among them",
                      found.unopenable, std::strerror(found.open_errno));
  return failure_of("no touchscreen found among /dev/input/event*");
}

void take_found(const touchscreen_search& found, bool blocking, panel& p) {
  p.fd = found.fd;
  p.path = found.path;
  if (blocking)
    fcntl(p.fd, F_SETFL, fcntl(p.fd, F_GETFL) & ~O_NONBLOCK);
}

// The deadline timeout_ms from now, or -1 for none; and the milliseconds
// left until it, as poll takes them.
std::int64_t deadline_in(int timeout_ms) { return timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms; }
int ms_left(std::int64_t deadline) {
  return deadline < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(deadline - monotonic_ms(), 0));
}

// Looks for a touchscreen again; when there is one, opens it non-blocking.
void look_again(panel& p) {
  const touchscreen_search found = find_touchscreen();
  if (found.fd != -1)
    take_found(found, false, p);
}

// Watches the directory a panel's node or link appears in (/dev/input when
// any touchscreen will do), or, while it is absent, the nearest directory
// above it that exists: by-id links' directory goes with the last of them.
// Node modes are set after creation, hence IN_ATTRIB; links come by rename.
bool watch_nearest(int watch_fd, const char* device) {
  std::string directory = device != nullptr ? device : "/dev/input/";
  for (;;) {
    const std::size_t slash = directory.find_last_of('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    if (inotify_add_watch(watch_fd, directory.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_ONLYDIR) !=
        -1)
      return true;
    if (directory == "/" || directory == ".")
      return false;
  }
}

// Forgets the bytes decoded.
void drop_bytes(panel& p, std::size_t used) {
  p.pending -= used;
  std::memmove(p.bytes, p.bytes + used, p.pending);
}

}  // namespace

failure open_panel(const char* device, bool blocking, panel& p) {
  if (device == nullptr) {
    const touchscreen_search found = find_touchscreen();
    if (found.fd == -1)
      return none_found(found);
    take_found(found, blocking, p);
    return {};
  }
  p.fd = open(device, O_RDONLY | O_CLOEXEC | O_NOCTTY | (blocking ? 0 : O_NONBLOCK));
  if (p.fd == -1)
    return system_failure("cannot open %s", device);
  p.path = device;
  return {};
}

failure wait_for_panel(int stop_fd, panel& p, int timeout_ms) {
  const std::int64_t deadline = deadline_in(timeout_ms);
  failure why;
  const int watch_fd = watch_for_panel(nullptr, why);
  if (watch_fd == -1)
    return why;
  look_again(p);
  while (p.fd == -1) {
    pollfd waits[] = {{stop_fd, POLLIN, 0}, {watch_fd, POLLIN, 0}};
    const int ready = poll(waits, 2, ms_left(deadline));
    if (ready == -1 && errno != EINTR) {
      why = system_failure("waiting for /dev/input");
      break;
    }
    if (waits[0].revents != 0 || ready == 0)
      break;  // a stop request, or the time is up
    if (waits[1].revents != 0)
      look_for_panel(watch_fd, nullptr, p);
  }
  close(watch_fd);
  return why;
}

int watch_for_panel(const char* device, failure& why) {
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd == -1 || !watch_nearest(watch_fd, device)) {
    why = system_failure("cannot watch %s", device != nullptr ? device : "/dev/input");
    if (watch_fd != -1)
      close(watch_fd);
    return -1;
  }
  return watch_fd;
}

void look_for_panel(int watch_fd, const char* device, panel& p) {
  alignas(inotify_event) char drained[4096];
  while (read(watch_fd, drained, sizeof drained) > 0) {
  }
  watch_nearest(watch_fd, device);  // the directory itself may just have appeared
  if (device == nullptr) {
    look_again(p);
    return;
  }
  // A terminal standing in for a panel must not become the controlling one.
  p.fd = open(device, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (p.fd != -1)
    p.path = device;
}

bool panel_gone(const failure& read_failed, bool ended, short revents) {
  const bool hanging_up = read_failed.error == EIO && (revents & POLLHUP) != 0;
  return read_failed.error == ENODEV || hanging_up || (ended && (revents & POLLERR) != 0);
}

failure set_up_panel(panel& p, const given_ranges& given) {
  p.is_device = is_evdev(p.fd);
  const bool both_given = given.x_given && given.y_given;
  if (!p.is_device) {
    if (!both_given) {
      failure why = failure_of("%s is not an evdev device; give --x-range and --y-range", p.path.c_str());
      why.usage = true;
      return why;
    }
    p.x = given.x;
    p.y = given.y;
    p.description = "recorded events";
    return {};
  }
  if (!read_panel_ranges(p.fd, p.x, p.y, p.state.multi_touch) && !both_given)
    return failure_of("%s reports no x and y axes", p.path.c_str());
  if (given.x_given)
    p.x = given.x;
  if (given.y_given)
    p.y = given.y;
  if (p.x.min >= p.x.max || p.y.min >= p.y.max)
    return failure_of("%s reports empty axis ranges (x %d..%d, y %d..%d); give --x-range and --y-range",
                      p.path.c_str(), p.x.min, p.x.max, p.y.min, p.y.max);
  char name[128] = "unnamed";
  read_device_name(p.fd, name, sizeof name);
  p.description = std::string(name) + (p.state.multi_touch ? ", multi-touch, slot 0" : ", single touch");
  return {};
}

failure read_panel(panel& p, bool& ended) {
  ended = false;
  const ssize_t got = read(p.fd, p.bytes + p.pending, sizeof p.bytes - p.pending);
  if (got > 0)
    p.pending += static_cast<std::size_t>(got);
  ended = got == 0;  // the end of a recorded stream; an evdev device never ends
  if (got != -1 || errno == EAGAIN || errno == EINTR)
    return {};
  if (errno == ENODEV)
    return system_failure("%s is gone (unplugged?)", p.path.c_str());
  return system_failure("cannot read %s", p.path.c_str());
}

std::size_t take_records(panel& p, const panel_mapping& mapping, touch_record* records,
                         std::size_t max_records) {
  std::size_t used = 0;
  const std::size_t count =
      decode_events(p.state, mapping, read_snapshot, p.fd, p.bytes, p.pending, records, max_records, &used);
  drop_bytes(p, used);
  return count;
}

tap_wait next_tap(panel& p, std::int32_t& x, std::int32_t& y, failure& why, int timeout_ms) {
  const std::int64_t deadline = deadline_in(timeout_ms);
  for (;;) {
    std::size_t used = 0;
    bool lifted = false;
    while (!lifted) {
      frame_end end;
      used += feed_frame(p.state, read_snapshot, p.fd, p.bytes + used, p.pending - used, end);
      if (!end.ended)
        break;
      // A touch whose frames were lost may have been anywhere.
      if (end.resynced)
        p.touching = false;
      const contact& c = followed_contact(p.state);
      lifted = p.touching && !c.down;
      p.touching = c.down;
      if (c.down) {
        p.touch_x = c.x;
        p.touch_y = c.y;
      }
    }
    drop_bytes(p, used);
    if (lifted) {
      x = p.touch_x;
      y = p.touch_y;
      return tap_wait::tapped;
    }
    pollfd readable = {p.fd, POLLIN, 0};
    const int ready = poll(&readable, 1, ms_left(deadline));
    if (ready == 0)
      return tap_wait::timed_out;
    if (ready == -1 && errno == EINTR)
      continue;
    if (ready == -1) {
      why = system_failure("waiting for %s", p.path.c_str());
      return tap_wait::failed;
    }
    bool ended = false;
    why = read_panel(p, ended);
    if (why)
      return tap_wait::failed;
    if (ended)
      return tap_wait::ended;
  }
}
