// The touch panel as touchkey-bridge and touchkey-calibrate take it: the
// touchscreen named or found among /dev/input/event*, or a recorded stream;
// its ranges and its name; and its events, read through the bridge's decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/input.h>
#include <string>

#include "failure.h"
#include "panel_events.h"

// The ranges the command line gives in place of what the panel reports.
struct given_ranges {
  axis_range x, y;
  bool x_given = false, y_given = false;
};

struct panel {
  int fd = -1;
  std::string path;
  bool is_device = false;   // an evdev device, not a recorded stream
  axis_range x, y;          // the ranges its positions are normalised over
  std::string description;  // its own name and the contact followed, or "recorded events"
  panel_state state;
  // Bytes read and not yet decoded: a trailing partial event waits for its rest.
  unsigned char bytes[64 * sizeof(input_event)] = {};
  std::size_t pending = 0;
  // next_tap's touch in progress, at its last frame.
  bool touching = false;
  std::int32_t touch_x = 0, touch_y = 0;
};

// Opens device, or else the lowest-numbered touchscreen among
// /dev/input/event*. Reads wait for input when `blocking` (a person at the
// panel), else they return at once.
failure open_panel(const char* device, bool blocking, panel& p);

// With no touchscreen yet (open_panel found none), waits until one is plugged
// in, or the event devices' permissions change, and opens it non-blocking.
// Returns without a failure but with p.fd still -1 once stop_fd (-1: none) is
// readable or timeout_ms (-1: no limit) have passed.
failure wait_for_panel(int stop_fd, panel& p, int timeout_ms = -1);

// The same wait in pieces, for a caller that polls other things meanwhile:
// an inotify descriptor (non-blocking) that turns readable when a panel may
// have come, for device (nullptr: any touchscreen in /dev/input; else that
// path, which may come back as a new node or link); -1 with why set when none
// can be had. Each time it is readable, look_for_panel empties it and opens
// the panel non-blocking if there is one now (p.fd stays -1 if not). Look
// once right after the watch is set: a panel that came just before it made
// no event.
int watch_for_panel(const char* device, failure& why);
void look_for_panel(int watch_fd, const char* device, panel& p);

// Whether a panel that read as it did has gone: an evdev device fails with
// ENODEV once unplugged; a device that hangs up (poll's POLLERR, as a
// terminal standing in for a panel does when its other side closes) reads
// as ended, or fails with EIO beside POLLHUP while the hangup is under way.
// The end of a pipe or file is no loss but the end of the input.
bool panel_gone(const failure& read_failed, bool ended, short revents);

// Takes the panel's ranges, those given in their place, and an evdev
// device's name and the contact followed. A recorded stream needs both
// ranges: without them, a usage failure.
failure set_up_panel(panel& p, const given_ranges& given);

// Reads what the panel has into p.bytes; `ended` at the end of a recorded
// stream. Nothing new, and no failure, when a non-blocking read finds nothing.
failure read_panel(panel& p, bool& ended);

// Decodes the events read so far into at most max_records records.
std::size_t take_records(panel& p, const panel_mapping& mapping, touch_record* records,
                         std::size_t max_records);

// How a wait for a tap ended.
enum class tap_wait { tapped, ended, timed_out, failed };

// Reads up to the next lift of the followed contact: tapped, with where it
// was at the last frame before the lift, in the panel's own units; ended when
// the input ends first; timed_out when none came within timeout_ms (-1: no
// limit); failed when a read fails (why says so). A touch whose frames were
// lost is no tap.
tap_wait next_tap(panel& p, std::int32_t& x, std::int32_t& y, failure& why, int timeout_ms = -1);
