// Text to touch records: what the daemon would type from them, escapes,
// refusals, and the taps on no key that keep repeats apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "keypad.h"
#include "tap_records.h"

namespace {

// What the daemon types from records that all arrive at once: pen-up records
// only, and a key equal to the previous pen-up's key is a repeat within
// 500 ms, so it is dropped.
std::string typed_by_daemon(const std::vector<touch_record>& records) {
  std::string typed;
  unsigned char previous = 'X';
  for (const touch_record& r : records) {
    if (r.pressure != 0)
      continue;
    const unsigned char key = keypad_key_at(r.x, r.y);
    if (key != 0 && key != previous)
      typed.push_back(static_cast<char>(key));
    previous = key;
  }
  return typed;
}

TEST(TapRecords, EveryKeyRoundTripsThroughTheLayout) {
  struct case_ {
    const char* text;
    std::string typed;
  };
  const case_ cases[] = {
      {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvwxyz"},
      {"0123456|_-/.", "0123456|_-/."},
      {"a b\\nc\\bd\\\\e", "a b\nc\bd\\e"},
      {"echo hello from the touch keypad\\n", "echo hello from the touch keypad\n"},
      {"aaa", "aaa"},
      {"\\\\\\\\", "\\\\"},
      {"\\n\\n\\b\\b  ", "\n\n\b\b  "},
      {"\\\\n", "\\n"},  // an escaped backslash, then the letter n
      {"", ""},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.text);
    const text_records out = records_for_text(c.text);
    ASSERT_FALSE(out.refused) << out.refused.message;
    EXPECT_EQ(typed_by_daemon(out.records), c.typed);
  }
}

TEST(TapRecords, EachTapIsPenDownThenPenUpOnOnePoint) {
  const text_records out = records_for_text("hello\\n");
  ASSERT_EQ(out.records.size() % 2, 0u);
  for (std::size_t i = 0; i < out.records.size(); i += 2) {
    const touch_record& down = out.records[i];
    const touch_record& up = out.records[i + 1];
    EXPECT_NE(down.pressure, 0) << i;
    EXPECT_EQ(up.pressure, 0) << i;
    EXPECT_EQ(down.x, up.x) << i;
    EXPECT_EQ(down.y, up.y) << i;
  }
}

// Taps, as keys: '.' stands for a tap on no key.
std::string taps_of(const char* text) {
  std::string taps;
  const text_records out = records_for_text(text);
  for (std::size_t i = 1; i < out.records.size(); i += 2) {
    const unsigned char key = keypad_key_at(out.records[i].x, out.records[i].y);
    taps.push_back(key == 0 ? '.' : static_cast<char>(key));
  }
  return taps;
}

TEST(TapRecords, ATapOnNoKeySeparatesRepeatsOnly) {
  EXPECT_EQ(taps_of("ab"), "ab");
  EXPECT_EQ(taps_of("aba"), "aba");
  EXPECT_EQ(taps_of("aa"), "a.a");
  EXPECT_EQ(taps_of("hello"), "hel.lo");
  EXPECT_EQ(taps_of("   "), " . . ");
  EXPECT_EQ(taps_of("\\n\\n"), "\n.\n");
}

TEST(TapRecords, RefusesWhatNoKeyTypesNamingItAndItsPlace) {
  struct case_ {
    const char* text;
    const char* names;  // must appear in the message
  };
  const case_ cases[] = {
      {"Hello", "'H' at position 1"},
      {"abc7", "'7' at position 4"},
      {"8", "'8' at position 1"},
      {"9!", "'9' at position 1"},
      {"hi!", "'!' at position 3"},
      {"tab\there", "byte 0x09 at position 4"},
      {"cr\r", "byte 0x0D at position 3"},
      {"caf\xc3\xa9", "byte 0xC3 at position 4"},
      {"a\\tb", "'\\t' (known: \\n \\b \\\\) at position 2"},
      {"ab\\", "lone '\\' (write \\\\ for a backslash) at position 3"},
      {"\\nA", "'A' at position 3"},  // an escape counts as the two characters it is written with
      {"ok\x7f", "byte 0x7F at position 3"},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.text);
    const text_records out = records_for_text(c.text);
    EXPECT_NE(out.refused.message.find(c.names), std::string::npos) << out.refused.message;
    EXPECT_TRUE(out.records.empty()) << "nothing may be half-typed";
  }
}

}  // namespace
