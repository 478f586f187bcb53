// Fuzz target: touchkey-bridge's decoding of evdev events on an arbitrary
// byte stream, under an arbitrary panel mapping, read in arbitrary pieces as
// the bridge reads its device (a partial event is kept for the next piece).
// The input is 10 bytes of set-up, then the event stream:
//   byte 0     bit 0 swap x and y, bit 1 invert x, bit 2 invert y,
//              bit 3 start as a multi-touch panel
//   byte 1     bytes per read, 1 to 256
//   bytes 2-9  the panel's x and y ranges: min, max as 16-bit values
// Each event is 8 bytes: type, code (16 bits), value (32 bits), little-endian
// all; it becomes the machine's own struct input_event, whose size and byte
// order differ between machines, before the stream is cut into reads.
// Every record must lie on the keypad's area, and all whole events must be
// consumed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fault.h"
#include "fuzz_input.h"
#include "panel_events.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t setup = 10;
  if (size < setup)
    return 0;
  panel_mapping mapping;
  mapping.swap_xy = (data[0] & 1) != 0;
  mapping.invert_x = (data[0] & 2) != 0;
  mapping.invert_y = (data[0] & 4) != 0;
  panel_state state;
  state.multi_touch = (data[0] & 8) != 0;
  const std::size_t piece = std::size_t{data[1]} + 1;
  mapping.x = {int16_le(data + 2), int16_le(data + 4)};
  mapping.y = {int16_le(data + 6), int16_le(data + 8)};

  constexpr std::size_t event_bytes = 8;
  std::vector<unsigned char> events;
  for (std::size_t at = setup; at + event_bytes <= size; at += event_bytes) {
    input_event event = {};
    event.type = uint16_le(data + at);
    event.code = uint16_le(data + at + 2);
    event.value = int32_le(data + at + 4);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&event);
    events.insert(events.end(), bytes, bytes + sizeof event);
  }
  const unsigned char* stream = events.data();
  const std::size_t length = events.size();
  std::vector<unsigned char> pending;
  std::vector<touch_record> records(length / sizeof(input_event) + 1);
  for (std::size_t at = 0; at < length; at += piece) {
    const std::size_t n = std::min(piece, length - at);
    pending.insert(pending.end(), stream + at, stream + at + n);
    std::size_t used = 0;
    // Not an evdev device: lost events make the bridge forget the touch.
    const std::size_t count = decode_events(state, mapping, nullptr, -1, pending.data(), pending.size(),
                                            records.data(), records.size(), &used);
    if (used > pending.size() || used % sizeof(input_event) != 0 ||
        pending.size() - used >= sizeof(input_event))
      fault("whole events were left undecoded, or a partial one was taken");
    if (count > records.size())
      fault("more records than room");
    fuzz_effects += count;
    for (std::size_t i = 0; i < count; ++i) {
      const touch_record& r = records[i];
      if (r.x < keypad_x_first || r.x > keypad_x_last || r.y < keypad_y_first || r.y > keypad_y_last)
        fault("a record lies off the keypad's area");
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
  }
  return 0;
}
