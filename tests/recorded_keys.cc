// The keys each real panel's recording types by the recorded-stream road, for
// the board test to compare with what the same recording types when it is
// replayed as a kernel device: touchkey-bridge reads the recorded events from
// a file, with the ranges of the recording's A: lines (the multi-touch axes'
// for a panel with slots, as the bridge takes them from a device), and its
// pen-ups go through the daemon's keypad and repeat rule on the recording's
// own clock.
//   recorded_keys FOLDER
// One line per recording (*.evemu, or *.events with its panel's .desc): the
// events' file, the description's file and the keys in hexadecimal.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "keypad.h"
#include "repeat_rule.h"
#include "test_support.h"
#include "touch_record.h"

namespace {

// Reads the bridge's records as they come (unread ones would be taken back)
// until it has ended and the FIFO is empty; the keys the daemon types for them.
std::string keys_typed(int fifo, pid_t bridge) {
  repeat_rule rule;
  std::string keys;
  std::uint16_t last_stamp = 0;
  std::int32_t clock = 0;  // the stamps' 16 bits, unwrapped
  int status = 0;
  for (bool ended = false;;) {
    touch_record record;
    if (read(fifo, &record, sizeof record) == sizeof record) {
      const auto stamp = static_cast<std::uint16_t>(record.millisecs);
      clock += static_cast<std::uint16_t>(stamp - last_stamp);
      last_stamp = stamp;
      const unsigned char key = keypad_key_at(record.x, record.y);
      if (record.pressure == 0 && repeat_rule_types(rule, key, clock))
        keys += static_cast<char>(key);
    } else if (ended) {
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "recorded_keys: touchkey-bridge failed (status %d)\n", status);
        std::exit(1);
      }
      return keys;
    } else {
      ended = waitpid(bridge, &status, WNOHANG) == bridge;
      pollfd readable = {fifo, POLLIN, 0};
      poll_until(readable, monotonic_ms() + 10);
    }
  }
}

void print_keys(const std::filesystem::path& events) {
  const recording recorded = read_recording(events);
  temp_dir dir;
  write_file(dir / "events", event_bytes(recorded.events));
  mkfifo((dir / "tsdev").c_str(), 0600);
  const int fifo = open((dir / "tsdev").c_str(), O_RDWR | O_NONBLOCK);
  spawn_request request = {{TOUCHKEY_BRIDGE, "--device", dir / "events", "--output", dir / "tsdev",
                            "--x-range", recorded.x_range, "--y-range", recorded.y_range, "--matrix",
                            "1,0,0,0,1,0"}};
  request.out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const std::string keys = keys_typed(fifo, spawn(request).pid);
  close(request.out);
  close(fifo);
  // A .evemu describes its panel itself; NAME.WHAT.events has NAME.desc.
  const std::string name = events.filename();
  const std::string description =
      events.extension() == ".evemu" ? name : name.substr(0, name.find('.')) + ".desc";
  std::printf("%s %s ", name.c_str(), description.c_str());
  for (const char key : keys)
    std::printf("%02x", static_cast<unsigned char>(key));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: recorded_keys FOLDER\n");
    return 2;
  }
  std::vector<std::filesystem::path> recordings;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
    if (entry.path().extension() == ".evemu" || entry.path().extension() == ".events")
      recordings.push_back(entry.path());
  std::sort(recordings.begin(), recordings.end());
  for (const auto& events : recordings)
    print_keys(events);
  return 0;
}
