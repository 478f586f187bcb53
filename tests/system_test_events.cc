// Writes the evdev events of a single-touch panel tapping TEXT on the keypad
// to standard output, for a bridge started with the keypad's own ranges
// (--x-range 250,3849 --y-range 150,3999), so panel and keypad points agree.
#include <cstdio>
#include <linux/input.h>
#include <vector>

#include "tap_records.h"

int main(int argc, char** argv) {
  const text_records taps = records_for_text(argc == 2 ? argv[1] : "");
  if (argc != 2 || taps.refused) {
    std::fprintf(stderr, "system_test_events: usage: system_test_events TEXT (%s)\n",
                 taps.refused.message.c_str());
    return 2;
  }
  std::vector<input_event> events;
  auto add = [&events](unsigned short type, unsigned short code, int value) {
    input_event event = {};
    event.type = type;
    event.code = code;
    event.value = value;
    events.push_back(event);
  };
  for (const touch_record& record : taps.records) {
    add(EV_KEY, BTN_TOUCH, record.pressure != 0);
    add(EV_ABS, ABS_X, record.x);
    add(EV_ABS, ABS_Y, record.y);
    add(EV_SYN, SYN_REPORT, 0);
  }
  return std::fwrite(events.data(), sizeof events[0], events.size(), stdout) == events.size() ? 0 : 1;
}
