// Writes the evdev events of a single-touch panel tapping TEXT on the keypad
// to standard output, for a bridge started with the keypad's own ranges
// (--x-range 250,3849 --y-range 150,3999), so panel and keypad points agree;
// with --corners, taps on their corners in touchkey-calibrate's order.
#include <cstdio>
#include <cstring>
#include <linux/input.h>
#include <utility>
#include <vector>

#include "tap_records.h"

int main(int argc, char** argv) {
  const bool corners = argc == 2 && std::strcmp(argv[1], "--corners") == 0;
  text_records taps = records_for_text(argc == 2 && !corners ? argv[1] : "");
  if (argc != 2 || taps.refused) {
    std::fprintf(stderr, "system_test_events: usage: system_test_events TEXT|--corners (%s)\n",
                 taps.refused.message.c_str());
    return 2;
  }
  if (corners)
    for (const auto& [x, y] : {std::pair{250, 150}, {3849, 150}, {3849, 3999}, {250, 3999}})
      for (const std::int16_t pressure : {std::int16_t{255}, std::int16_t{0}})
        taps.records.push_back({pressure, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0});
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
