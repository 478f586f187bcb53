// Decoding of evdev touch events into touchscreen records: the state of the
// followed contact, the frame-by-frame records and the resync after lost events.
#include "panel_events.h"

#include <algorithm>
#include <cmath>
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
      if (state.slot != 0 || state.type_a)
        return;
      // A new id in a slot means a new contact: the one before has gone.
      if (value >= 0 && state.slot0.down && value != state.slot0_tracking_id && state.reported_down) {
        state.replaced_contact = state.slot0;
        state.replaced_contact.down = false;
        state.pen_up_owed = true;
        state.reported_down = false;
      }
      state.slot0.down = value >= 0;
      state.slot0_tracking_id = value;
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

// part (clamped to 0..1) of the way from first to last, truncated as integer
// arithmetic would. The nudge absorbs floating-point error on points that are
// exact (under 1e-12 over a few thousand units) and stays far below the least
// step an integer point of a range up to 2^32 wide can take (2.3e-10), so an
// uncalibrated panel maps exactly as offset * (last - first) / span did.
std::int32_t scale(double part, std::int32_t first, std::int32_t last) {
  const double clamped = part > 0 ? std::min(part, 1.0) : 0.0;  // NaN too
  return first + static_cast<std::int32_t>(std::floor(clamped * (last - first) + 1e-10));
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
  // Type A panels end contacts by leaving them out, never with tracking id
  // -1, so they are followed through BTN_TOUCH and ABS_X/ABS_Y.
  if (event.type == EV_SYN && event.code == SYN_MT_REPORT)
    state.type_a = true;
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
  state.slot0_tracking_id = snapshot.slot0_tracking_id;
  state.slot0.x = snapshot.slot0_x;
  state.slot0.y = snapshot.slot0_y;
  state.slot0.pressure = snapshot.slot0_pressure;
}

void forget_touch(panel_state& state) {
  state.single.down = false;
  state.slot0.down = false;
  state.reported_down = false;
  state.pen_up_owed = false;
}

double normalise(std::int32_t value, axis_range range) {
  if (range.max <= range.min)
    return 0;
  return (static_cast<double>(value) - range.min) / (static_cast<double>(range.max) - range.min);
}

std::int32_t map_axis(std::int32_t value, axis_range from, std::int32_t first, std::int32_t last) {
  return scale(normalise(value, from), first, last);
}

keypad_point map_point(const panel_mapping& mapping, std::int32_t x, std::int32_t y) {
  normalised_point p = apply_matrix(mapping.matrix, {normalise(x, mapping.x), normalise(y, mapping.y)});
  if (mapping.swap_xy)
    std::swap(p.x, p.y);
  keypad_point k = {scale(p.x, keypad_x_first, keypad_x_last), scale(p.y, keypad_y_first, keypad_y_last)};
  // Reflected in whole keypad units, as the options always did.
  if (mapping.invert_x)
    k.x = keypad_x_first + keypad_x_last - k.x;
  if (mapping.invert_y)
    k.y = keypad_y_first + keypad_y_last - k.y;
  return k;
}

const contact& followed_contact(const panel_state& state) {
  return state.multi_touch && !state.type_a ? state.slot0 : state.single;
}

bool take_record(panel_state& state, const panel_mapping& mapping, const timeval& time,
                 touch_record& record) {
  const contact& c = state.pen_up_owed ? state.replaced_contact : followed_contact(state);
  if (state.pen_up_owed) {
    state.pen_up_owed = false;
  } else {
    if (!c.down && !state.reported_down)
      return false;
    state.reported_down = c.down;
  }

  const keypad_point k = map_point(mapping, c.x, c.y);
  record.pressure = c.down ? record_pressure(c.pressure) : std::int16_t{0};
  record.x = static_cast<std::int16_t>(k.x);
  record.y = static_cast<std::int16_t>(k.y);
  record.millisecs = record_millisecs(time);
  return true;
}

std::size_t feed_frame(panel_state& state, snapshot_reader reread, int device_fd, const unsigned char* bytes,
                       std::size_t length, frame_end& end) {
  end = {};
  std::size_t offset = 0;
  while (!end.ended && length - offset >= sizeof(input_event)) {
    input_event event;
    std::memcpy(&event, bytes + offset, sizeof event);
    offset += sizeof event;
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
    end = {true, outcome == event_outcome::resync, {event.input_event_sec, event.input_event_usec}};
  }
  return offset;
}

std::size_t decode_events(panel_state& state, const panel_mapping& mapping, snapshot_reader reread,
                          int device_fd, const unsigned char* bytes, std::size_t length,
                          touch_record* records, std::size_t max_records, std::size_t* used) {
  std::size_t count = 0;
  std::size_t offset = 0;
  for (;;) {
    frame_end end;
    offset += feed_frame(state, reread, device_fd, bytes + offset, length - offset, end);
    if (!end.ended)
      break;
    touch_record record;
    if (state.pen_up_owed && take_record(state, mapping, end.time, record) && count < max_records)
      records[count++] = record;
    if (take_record(state, mapping, end.time, record) && count < max_records)
      records[count++] = record;
  }
  *used = offset;
  return count;
}
