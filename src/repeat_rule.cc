// The repeat rule on wrapping 32-bit millisecond stamps.
#include "repeat_rule.h"

namespace {

// stamp + ms with 32-bit wrap-around. Signed overflow is undefined, so the sum
// is formed on unsigned values; near the top of the range it wraps negative.
std::int32_t stamp_plus(std::int32_t stamp, std::uint32_t ms) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(stamp) + ms);
}

}  // namespace

bool repeat_rule_types(repeat_rule& rule, unsigned char key, std::int32_t now) {
  // The keys move on for every pen-up, keyed or not: a tap on no key between
  // two taps of one key makes the second a new key.
  const bool repeat = key == rule.previous_key;
  rule.previous_key = key;
  if (key == 0)
    return false;

  const std::uint32_t quiet_ms = rule.fast_repeat ? 100 : 500;
  if (repeat && rule.last_send <= now && now <= stamp_plus(rule.last_send, quiet_ms))
    return false;
  rule.fast_repeat = repeat && now < stamp_plus(rule.last_send, 1000);
  rule.last_send = now;
  return true;
}
