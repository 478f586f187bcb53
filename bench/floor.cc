// The floor of the daemon's cost: only the system calls the daemon cannot do
// without, one read per record and, per key typed, one question for the
// console in front (VT_GETSTATE) and one TIOCSTI. The benchmark
// marks each record that types a key by putting the key byte in its time
// stamp, which the daemon never reads, so the floor needs no layout.
// usage: touchkey-floor TOUCH_PATH CONSOLE_PATH
#include <cstdio>
#include <fcntl.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "touch_record.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: touchkey-floor TOUCH_PATH CONSOLE_PATH\n");
    return 2;
  }
  const int touch_fd = open(argv[1], O_RDONLY);
  const int tty_fd = open(argv[2], O_RDONLY);
  if (touch_fd == -1 || tty_fd == -1) {
    std::perror("touchkey-floor: open");
    return 1;
  }
  touch_record record;
  while (read(touch_fd, &record, sizeof record) != -1) {
    if (record.pressure != 0 || record.millisecs == 0)
      continue;
    auto key = static_cast<unsigned char>(record.millisecs);
    vt_stat state = {};
    ioctl(tty_fd, VT_GETSTATE, &state);
    ioctl(tty_fd, TIOCSTI, &key);
  }
  return 0;
}
