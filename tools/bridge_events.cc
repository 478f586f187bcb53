// Decoding of evdev touch events into touchscreen records: the state of the
// followed contact, the frame-by-frame records and the resync after lost events.
#include "bridge_events.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

void set_contact_axis(contact& c, unsigned code, std::int32_t value) {
  if (code == ABS_X || code == ABS_MT_POSITION_X)
    c.x = value;
  else if (code == ABS_Y || code == ABS_MT_POSITION_Y)
    c.y = value;
  else if (code == ABS_PRESSURE || code == ABS_MT_PRESSURE)
    c.pressure = value;
}

void feed_abs(panel_state& state, unsigned code, std::int32_t value) {
  switch (code) {
    case ABS_X:
    case ABS_Y:
    case ABS_PRESSURE: set_contact_axis(state.single, code, value); return;
    // Slots and tracking ids are what type B panels send; type A panels
    // (positions only) are followed through their BTN_TOUCH and ABS_X/ABS_Y.
    case ABS_MT_SLOT:
      state.multi_touch = true;
      state.slot = value;
      return;
    case ABS_MT_TRACKING_ID:
      state.multi_touch = true;
      if (state.slot == 0)
        state.slot0.down = value >= 0;
      return;
    case ABS_MT_POSITION_X:
    case ABS_MT_POSITION_Y:
    case ABS_MT_PRESSURE:
      if (state.slot == 0)
        set_contact_axis(state.slot0, code, value);
      return;
    default: return;
  }
}

std::int16_t record_pressure(std::int32_t pressure) {
  // A panel that reports no pressure still needs a non-zero one while touching.
  return static_cast<std::int16_t>(pressure < 0 ? 1 : std::clamp(pressure, 1, 32767));
}

// The event time's milliseconds, low 16 bits, wrapping on purpose.
std::int16_t record_millisecs(const timeval& time) {
  const std::uint64_t ms =
      static_cast<std::uint64_t>(time.tv_sec) * 1000u + static_cast<std::uint64_t>(time.tv_usec) / 1000u;
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(ms));
}

}  // namespace

event_outcome feed_event(panel_state& state, const input_event& event) {
  if (event.type == EV_SYN && event.code == SYN_DROPPED) {
    state.dropping = true;
    return event_outcome::none;
  }
  // After lost events the frame in progress is incomplete: skip to its end.
  if (state.dropping) {
    if (event.type != EV_SYN || event.code != SYN_REPORT)
      return event_outcome::none;
    state.dropping = false;
    return event_outcome::resync;
  }
  if (event.type == EV_SYN && event.code == SYN_REPORT)
    return event_outcome::report;
  if (event.type == EV_KEY && event.code == BTN_TOUCH)
    state.single.down = event.value != 0;
  else if (event.type == EV_ABS)
    feed_abs(state, event.code, event.value);
  return event_outcome::none;
}

void apply_snapshot(panel_state& state, const device_snapshot& snapshot) {
  state.single.down = snapshot.touch_key;
  state.single.x = snapshot.x;
  state.single.y = snapshot.y;
  state.single.pressure = snapshot.pressure;
  state.slot = snapshot.slot;
  state.slot0.down = snapshot.slot0_tracking_id >= 0;
  state.slot0.x = snapshot.slot0_x;
  state.slot0.y = snapshot.slot0_y;
  state.slot0.pressure = snapshot.slot0_pressure;
}

void forget_touch(panel_state& state) {
  state.single.down = false;
  state.slot0.down = false;
  state.reported_down = false;
}

std::int32_t map_axis(std::int32_t value, axis_range from, std::int32_t first, std::int32_t last) {
  if (from.max <= from.min)
    return first;
  const std::int64_t offset = std::int64_t{std::clamp(value, from.min, from.max)} - from.min;
  const std::int64_t span = std::int64_t{from.max} - from.min;
  return static_cast<std::int32_t>(first + offset * (last - first) / span);
}

bool take_record(panel_state& state, const panel_mapping& mapping, const timeval& time,
                 touch_record& record) {
  const contact& c = state.multi_touch ? state.slot0 : state.single;
  if (!c.down && !state.reported_down)
    return false;
  state.reported_down = c.down;

  std::int32_t x = c.x, y = c.y;
  axis_range x_range = mapping.x, y_range = mapping.y;
  if (mapping.swap_xy) {
    std::swap(x, y);
    std::swap(x_range, y_range);
  }
  x = map_axis(x, x_range, keypad_x_first, keypad_x_last);
  y = map_axis(y, y_range, keypad_y_first, keypad_y_last);
  if (mapping.invert_x)
    x = keypad_x_first + keypad_x_last - x;
  if (mapping.invert_y)
    y = keypad_y_first + keypad_y_last - y;

  record.pressure = c.down ? record_pressure(c.pressure) : std::int16_t{0};
  record.x = static_cast<std::int16_t>(x);
  record.y = static_cast<std::int16_t>(y);
  record.millisecs = record_millisecs(time);
  return true;
}

std::size_t decode_events(panel_state& state, const panel_mapping& mapping, snapshot_reader reread,
                          int device_fd, const unsigned char* bytes, std::size_t length,
                          touch_record* records, std::size_t max_records, std::size_t* used) {
  std::size_t count = 0;
  std::size_t offset = 0;
  for (; length - offset >= sizeof(input_event); offset += sizeof(input_event)) {
    input_event event;
    std::memcpy(&event, bytes + offset, sizeof event);
    const event_outcome outcome = feed_event(state, event);
    if (outcome == event_outcome::none)
      continue;
    if (outcome == event_outcome::resync) {
      device_snapshot snapshot;
      if (reread != nullptr && reread(device_fd, snapshot))
        apply_snapshot(state, snapshot);
      else
        forget_touch(state);
    }
    const timeval time = {event.input_event_sec, event.input_event_usec};
    touch_record record;
    if (take_record(state, mapping, time, record) && count < max_records)
      records[count++] = record;
  }
  *used = offset;
  return count;
}
