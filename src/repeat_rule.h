// The repeat rule: which pen-ups on a key are typed, so that a lingering or
// bouncing tap does not type its key twice.
#pragma once

#include <cstdint>

struct repeat_rule {
  unsigned char previous_key = 'X';  // the last pen-up's key; the layout never yields 'X'
  bool fast_repeat = false;          // the last send repeated its key within a second
  std::int32_t last_send = 0;        // stamp of the last send; consulted only once one was made
};

// Whether a pen-up on key (0: no key) at the millisecond stamp now is typed.
// Every pen-up moves the previous key on; a typed one is recorded as the
// last send. A repeat of the previous key needs more than 500 ms since the
// last send, or more than 100 ms once its key was sent twice within a second.
// Stamps are now_ms()'s, wrapping; a clock set back makes any repeat typed.
bool repeat_rule_types(repeat_rule& rule, unsigned char key, std::int32_t now);
