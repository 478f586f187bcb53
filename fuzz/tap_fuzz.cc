// Fuzz target: touchkey-tap's text conversion on arbitrary text. Text it
// accepts must turn into taps that the daemon types as exactly the decoded
// keys, even with every tap at the same instant (so no repeat may follow its
// key directly); text it refuses must give no records at all.
#include <cstdint>
#include <string>
#include <string_view>

#include "fault.h"
#include "fuzz_input.h"
#include "keypad.h"
#include "tap_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const decoded_text decoded = decode_text(text);
  const text_records taps = records_for_text(text);
  ++fuzz_effects;  // every text is accepted or refused, whatever the machine
  if (decoded.refused || taps.refused) {
    if (!decoded.refused || !taps.refused || !taps.records.empty())
      fault("refused text gave records, or only one of the two refused it");
    return 0;
  }
  if (taps.records.size() % 2 != 0)
    fault("records do not come in pen-down, pen-up pairs");

  // The daemon's view with its clock standing still: a key equal to the
  // previous pen-up's key is a repeat and would not be typed.
  unsigned char previous = 'X';
  std::string typed;
  for (std::size_t i = 0; i < taps.records.size(); i += 2) {
    const touch_record& down = taps.records[i];
    const touch_record& up = taps.records[i + 1];
    if (down.pressure == 0 || up.pressure != 0 || down.x != up.x || down.y != up.y)
      fault("a tap is not a pen-down and a pen-up at one point");
    const unsigned char key = keypad_key_at(up.x, up.y);
    if (key != 0 && key == previous)
      fault("a key directly follows itself and would be taken for a repeat");
    if (key != 0)
      typed += static_cast<char>(key);
    previous = key;
  }
  if (typed != decoded.keys)
    fault("the taps type other keys than the text asks for");
  return 0;
}
