// touchkey-bridge's re-reading of the device after lost events, against an
// evdev device faked at its ioctls (the build wraps ioctl: wrapped_calls.h).
// The kernel answers EVIOCGKEY with an array of unsigned long, so on a
// big-endian machine a byte-wise reading of it finds the wrong bits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "evdev.h"
#include "wrapped_calls.h"

namespace {

constexpr int fake_device_fd = 1000;

// What the faked device reports.
struct device {
  std::vector<unsigned> keys_down;
  std::int32_t x, y, slot0_tracking_id;
};
device faked;

// The key bitmap as the kernel lays it out: bit k of word k / bits_per_word.
void copy_key_bitmap(void* argument, std::size_t size) {
  constexpr unsigned bits_per_word = sizeof(unsigned long) * CHAR_BIT;
  std::vector<unsigned long> words(KEY_MAX / bits_per_word + 1);
  for (unsigned key : faked.keys_down)
    words[key / bits_per_word] |= 1ul << (key % bits_per_word);
  std::memcpy(argument, words.data(), std::min(size, words.size() * sizeof(unsigned long)));
}

}  // namespace

extern "C" int fake_ioctl(int fd, unsigned long request, void* argument) {
  if (fd != fake_device_fd)
    return real_ioctl(fd, request, argument);
  if (request == EVIOCGVERSION) {
    *static_cast<int*>(argument) = EV_VERSION;
    return 0;
  }
  if (_IOC_TYPE(request) == 'E' && _IOC_NR(request) == _IOC_NR(EVIOCGKEY(0))) {
    copy_key_bitmap(argument, _IOC_SIZE(request));
    return 0;
  }
  const auto abs_answer = [&](unsigned code, std::int32_t value) {
    if (request != EVIOCGABS(code))
      return false;
    input_absinfo info = {};
    info.value = value;
    std::memcpy(argument, &info, sizeof info);
    return true;
  };
  if (abs_answer(ABS_X, faked.x) || abs_answer(ABS_Y, faked.y) || abs_answer(ABS_PRESSURE, 0) ||
      abs_answer(ABS_MT_SLOT, 0))
    return 0;
  if (_IOC_TYPE(request) == 'E' && _IOC_NR(request) == _IOC_NR(EVIOCGMTSLOTS(0))) {
    std::uint32_t code;
    std::memcpy(&code, argument, sizeof code);
    const std::int32_t slot0 = code == ABS_MT_TRACKING_ID ? faked.slot0_tracking_id : 7;
    std::memcpy(static_cast<char*>(argument) + sizeof code, &slot0, sizeof slot0);
    return 0;
  }
  errno = EINVAL;
  return -1;
}

namespace {

TEST(BridgeSnapshot, ReadsTheKeyBitmapAsTheKernelLaysItOut) {
  const struct {
    const char* name;
    std::vector<unsigned> keys_down;
    bool touching;
  } cases[] = {
      {"nothing down", {}, false},
      {"BTN_TOUCH alone", {BTN_TOUCH}, true},
      {"BTN_TOUCH among its neighbours", {BTN_TOOL_FINGER, BTN_TOUCH, BTN_STYLUS, KEY_MAX}, true},
      {"neighbours only", {BTN_TOOL_FINGER, BTN_STYLUS, BTN_LEFT}, false},
      // Where a byte-wise reading of BTN_TOUCH lands in a big-endian word.
      {"a key in BTN_TOUCH's word, other byte", {BTN_TOUCH / 64 * 64 + (BTN_TOUCH % 64) % 8 + 48}, false},
      {"a key in BTN_TOUCH's word, other half", {BTN_TOUCH / 32 * 32 + (BTN_TOUCH % 32) % 8 + 16}, false},
  };
  for (const auto& c : cases) {
    faked = {c.keys_down, 1234, 567, 3};
    device_snapshot snapshot;
    ASSERT_TRUE(read_snapshot(fake_device_fd, snapshot)) << c.name;
    EXPECT_EQ(snapshot.touch_key, c.touching) << c.name;
    EXPECT_EQ(snapshot.x, 1234) << c.name;
    EXPECT_EQ(snapshot.y, 567) << c.name;
    EXPECT_EQ(snapshot.slot0_tracking_id, 3) << c.name;
    EXPECT_EQ(snapshot.slot0_x, 7) << c.name;
  }
}

}  // namespace
