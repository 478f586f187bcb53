// touchkeyd: opens the touchscreen and the console, forks, and leaves the
// child typing keys into the console while the parent reports and returns.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "key_loop.h"

int main(int /*argc*/, char** argv) {
  // Flags 0 (read-only, blocking): both devices are opened before the fork,
  // so a failure is reported by the foreground and leaves no child behind.
  const int touch_fd = open("/dev/tsdev", O_RDONLY);
  if (touch_fd == -1) {
    std::fprintf(stderr, "Failed to open the touchscreen device: %s\n", std::strerror(errno));
    return -1;
  }
  int tty_fd = open("/dev/tty0", O_RDONLY);
  if (tty_fd == -1) {
    std::fprintf(stderr, "Failed to open the terminal device: %s\n", std::strerror(errno));
    close(touch_fd);
    return -1;
  }

  const pid_t child = fork();
  if (child == -1) {
    std::fprintf(stderr, "Failed to fork: %s\n", std::strerror(errno));
    close(tty_fd);
    close(touch_fd);
    return -1;
  }
  if (child == 0) {
    // Typing is the job: a message that cannot be written (standard error a
    // pipe nobody reads any more) is lost, and must not end the loop.
    signal(SIGPIPE, SIG_IGN);
    // The loop follows the console in front with new opens of /dev/tty0.
    tty_fd = run_key_loop(touch_fd, tty_fd);
  } else {
    // With an empty argument vector argv[0] is null; printf must not see it.
    const char* name = argv[0] != nullptr ? argv[0] : "(null)";
    std::printf("%s sent into background with PID %i\n", name, child);
  }
  close(tty_fd);
  close(touch_fd);
  return 0;
}
