// The repeat rule on its own: pen-ups as (key, stamp), and what is typed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repeat_rule.h"

namespace {

struct pen_up {
  unsigned char key;  // 0: no key
  std::int32_t ms;
};
pen_up a(std::int32_t ms) { return {'a', ms}; }
pen_up b(std::int32_t ms) { return {'b', ms}; }
pen_up none(std::int32_t ms) { return {0, ms}; }

constexpr std::int32_t stamp_max = 2147483647, stamp_min = -2147483647 - 1;

TEST(RepeatRule, TypesWhatTheTableSays) {
  const struct {
    const char* name;
    std::vector<pen_up> pen_ups;
    const char* typed;
  } cases[] = {
      {"different keys type at once and clear the flag", {a(0), b(10), b(160)}, "ab"},
      {"repeats within 500 ms are dropped", {a(0), a(300), a(450), a(600), a(700)}, "aa"},
      {"fast repeat after 600 ms needs more than 100 ms", {a(0), a(300), a(450), a(600), a(701)}, "aaa"},
      {"exactly 500 ms is suppressed", {a(0), a(500)}, "a"},
      {"501 ms is typed", {a(0), a(501)}, "aa"},
      {"fast flag: exactly 100 ms is suppressed", {a(0), a(600), a(700)}, "aa"},
      {"fast flag: 101 ms is typed", {a(0), a(600), a(701)}, "aaa"},
      {"a repeat 1000 ms on leaves the flag clear", {a(0), a(1000), a(1150)}, "aa"},
      {"a repeat 999 ms on sets the flag", {a(0), a(999), a(1150)}, "aaa"},
      {"the flag stays while repeats come quickly", {a(0), a(600), a(750), a(850), a(851)}, "aaaa"},
      {"a no-key tap makes the next tap new", {a(0), none(50), a(100)}, "aa"},
      {"the first key after no-key taps is typed", {none(0), none(10), none(20), a(30)}, "a"},
      {"the first key at stamp 0 is typed", {a(0)}, "a"},
      {"suppressed taps still move the keys on", {a(0), a(100), b(200), a(300)}, "aba"},
      {"clock set back types and sets the flag", {a(1000), a(400), a(550)}, "aaa"},
      {"crossing the top of the stamp range", {a(stamp_max), a(stamp_min), a(stamp_min + 149)}, "aaa"},
      {"sums near the top wrap negative", {a(2147483600), a(2147483620)}, "aa"},
  };
  for (const auto& c : cases) {
    repeat_rule rule;
    std::string typed;
    for (const pen_up& p : c.pen_ups)
      if (repeat_rule_types(rule, p.key, p.ms))
        typed += static_cast<char>(p.key);
    EXPECT_EQ(typed, c.typed) << c.name;
  }
}

}  // namespace
