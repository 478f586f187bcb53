// Waiting for events up to a deadline on the monotonic clock, for the tests
// that watch the bridge's FIFO: never a pause, only a bound.
#pragma once

#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

inline std::int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// poll() on one descriptor until the deadline; 0 once it has passed.
inline int poll_until(pollfd& fd, std::int64_t deadline_ms) {
  const std::int64_t left = deadline_ms - monotonic_ms();
  return left <= 0 ? 0 : poll(&fd, 1, static_cast<int>(left));
}

// Waits for an inotify event of the given kind, up to the deadline.
inline bool wait_for_inotify(int inotify_fd, std::uint32_t mask, std::int64_t deadline_ms) {
  for (;;) {
    pollfd watch = {inotify_fd, POLLIN, 0};
    if (poll_until(watch, deadline_ms) != 1)
      return false;
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = read(inotify_fd, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & mask)
        return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}
