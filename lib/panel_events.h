// touchkey-bridge's decoding of evdev touch events into touchscreen records,
// kept apart from the program's I/O so that tests and fuzzers can feed bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/input.h>

#include "calibration.h"
#include "evdev.h"
#include "keypad.h"
#include "touch_record.h"

// How panel coordinates become keypad coordinates: normalised over the
// panel's ranges, through the calibration matrix, clamped to the keypad.
// Then axes are swapped; the inversions apply to the keypad's x and y.
struct panel_mapping {
  axis_range x;  // range of the panel's own x axis
  axis_range y;  // range of the panel's own y axis
  calibration_matrix matrix;
  bool swap_xy = false;
  bool invert_x = false;
  bool invert_y = false;
};

// The contact the bridge follows: BTN_TOUCH with ABS_X/ABS_Y on a
// single-touch panel, slot 0 on a multi-touch (type B) panel.
struct contact {
  bool down = false;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t pressure = -1;  // -1 while the panel has reported none
};

struct panel_state {
  bool multi_touch = false;             // set by the device's capabilities or the first ABS_MT_ event
  bool type_a = false;                  // contacts come between SYN_MT_REPORTs, without slots
  contact single;                       // BTN_TOUCH, ABS_X, ABS_Y, ABS_PRESSURE
  contact slot0;                        // slot 0's tracking id, position and pressure
  std::int32_t slot0_tracking_id = -1;  // -1: no contact in slot 0
  std::int32_t slot = 0;                // the slot that ABS_MT_ events currently address
  bool dropping = false;                // events are being discarded after SYN_DROPPED
  bool reported_down = false;           // the last record written was a touching one
  // Slot 0 took a new tracking id while its contact was reported down: that
  // contact is gone, and its pen-up, at its last position, is still owed.
  bool pen_up_owed = false;
  contact replaced_contact;
};

enum class event_outcome {
  none,    // nothing to write
  report,  // a frame is complete: call take_record
  resync,  // a frame after lost events is complete: re-read the device, then take_record
};

// The contact whose records are written: slot 0 on a multi-touch (type B)
// panel, else the single-touch one (type A panels included).
const contact& followed_contact(const panel_state& state);

// Folds one event into the state.
event_outcome feed_event(panel_state& state, const input_event& event);

// Puts the device's own state in place of what lost events left behind.
void apply_snapshot(panel_state& state, const device_snapshot& snapshot);

// Without a device to ask after lost events, any touch in progress is ended
// without a pen-up: its position cannot be trusted, and a finger must never
// stay down for good.
void forget_touch(panel_state& state);

// The record for a completed frame, if one is due: a touching record while the
// contact is down, one pen-up record (at the last position) when it has just
// been lifted, nothing otherwise. Called first, it gives the pen-up a replaced
// contact owes; it is then called again for the frame's own record.
bool take_record(panel_state& state, const panel_mapping& mapping, const timeval& time, touch_record& record);

// Maps value linearly from the panel's range onto first..last, clamping values
// outside the range to its ends.
std::int32_t map_axis(std::int32_t value, axis_range from, std::int32_t first, std::int32_t last);

// The value as a part of the range: 0 at min, 1 at max, beyond them outside
// it; 0 for an empty range.
double normalise(std::int32_t value, axis_range range);

struct keypad_point {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Where the panel's point (x, y) lands on the keypad's area.
keypad_point map_point(const panel_mapping& mapping, std::int32_t x, std::int32_t y);

// Re-reads a device's own state after lost events; false when it cannot
// (the input is a pipe or a file, not a device).
using snapshot_reader = bool (*)(int device_fd, device_snapshot& snapshot);

// Where feed_frame stopped.
struct frame_end {
  bool ended = false;     // a frame ended; else the whole events ran out first
  bool resynced = false;  // events were lost before its end: the state was read anew
  timeval time = {};      // the time of the event that ended it
};

// Folds the whole input_events in bytes into the state up to the end of the
// next frame. After lost events it asks reread (when not null) for
// device_fd's state, or else forgets the touch. Returns the bytes consumed.
std::size_t feed_frame(panel_state& state, snapshot_reader reread, int device_fd, const unsigned char* bytes,
                       std::size_t length, frame_end& end);

// Decodes the whole input_events in bytes, frame by frame (feed_frame), into
// records. Stores up to max_records records and returns how many; *used gets
// the bytes consumed, so the caller keeps a trailing partial event for the
// next read.
std::size_t decode_events(panel_state& state, const panel_mapping& mapping, snapshot_reader reread,
                          int device_fd, const unsigned char* bytes, std::size_t length,
                          touch_record* records, std::size_t max_records, std::size_t* used);
