// The bridge's output FIFO: created root-only, refused when it is anything
// else, and kept free of taps that no daemon read in time, whoever wrote them.
#include "tsdev_fifo.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "touch_record.h"

namespace {

int refuse(failure& why, const char* path, const char* what) {
  why = failure_of("%s %s; refusing to use it", path, what);
  return -1;
}

int fail(failure& why, const char* what, const char* path) {
  why = system_failure("%s %s", what, path);
  return -1;
}

// Whoever can write the FIFO can type into the console, so only a FIFO that
// nobody but its owner (this process's user) can open will do.
bool private_fifo(const struct stat& st) {
  return S_ISFIFO(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

std::int64_t arrived_at(const pending_log& log, std::uint64_t index) {
  return log.arrived_ms[index % pending_capacity];
}

}  // namespace

int open_output_fifo(const char* path, failure& why) {
  struct stat st;
  if (lstat(path, &st) == -1) {
    if (errno != ENOENT)
      return fail(why, "cannot examine", path);
    // Created with exactly 0600, whatever the caller's umask: a mode set by
    // name afterwards would follow a link swapped in meanwhile. What the path
    // holds then is checked below, and the opened FIFO once more.
    const mode_t caller_umask = umask(077);
    const int made = mkfifo(path, 0600);
    umask(caller_umask);
    if (made == -1 && errno != EEXIST)
      return fail(why, "cannot create the FIFO", path);
    if (lstat(path, &st) == -1)
      return fail(why, "cannot set up the FIFO", path);
  }
  if (!S_ISFIFO(st.st_mode))
    return refuse(why, path, "exists and is not a FIFO");
  if (!private_fifo(st))
    return refuse(why, path, "is a FIFO that other users can open or that belongs to another user");

  const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1)
    return fail(why, "cannot open", path);
  // The path could have been replaced between the check and the open.
  struct stat opened;
  if (fstat(fd, &opened) == -1 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
      !private_fifo(opened)) {
    close(fd);
    return refuse(why, path, "changed while it was being opened");
  }
  return fd;
}

// The protocol of sd_listen_fds(3), read by hand: it is a few stable lines, and
// libsystemd would add a library (and its development files for every
// architecture the bridge is cross-built for) for one call.
int adopt_passed_fifo(const char* path, failure& why) {
  const char* listen_pid = std::getenv("LISTEN_PID");
  const char* listen_fds = std::getenv("LISTEN_FDS");
  const bool passed = listen_pid != nullptr && listen_fds != nullptr &&
                      std::strtol(listen_pid, nullptr, 10) == static_cast<long>(getpid());
  const bool just_one = passed && std::strcmp(listen_fds, "1") == 0;
  // Not for the children of this process, were it ever to start any.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!passed)
    return -1;
  constexpr int first_passed_fd = 3;  // SD_LISTEN_FDS_START
  struct stat st;
  if (!just_one || fstat(first_passed_fd, &st) == -1 || !S_ISFIFO(st.st_mode)) {
    why = failure_of("the service manager passed something other than one FIFO");
    return -1;
  }
  if (!private_fifo(st)) {
    why = failure_of(
        "the FIFO passed by the service manager is open to other users or belongs to another user; "
        "refusing to use it");
    return -1;
  }
  // systemd makes no link over a FIFO left at path (one made by hand, say):
  // the daemon would read that one, which nobody serves.
  struct stat named;
  if (stat(path, &named) == -1 || named.st_dev != st.st_dev || named.st_ino != st.st_ino) {
    why =
        failure_of("%s does not lead to the FIFO passed by the service manager; refusing to serve it", path);
    return -1;
  }
  if (fcntl(first_passed_fd, F_SETFD, FD_CLOEXEC) == -1 ||
      fcntl(first_passed_fd, F_SETFL, fcntl(first_passed_fd, F_GETFL) | O_NONBLOCK) == -1) {
    why = system_failure("cannot set up the passed FIFO");
    return -1;
  }
  return first_passed_fd;
}

// Through the descriptor's own link in /proc, which leads to the very FIFO
// that was checked and opened, by whatever path: a name that is a symbolic
// link (/dev/tsdev made by the socket unit) would otherwise be watched itself,
// or followed to whatever it points to by then.
int watch_fifo(int fifo_fd) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fifo_fd);
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd != -1 && inotify_add_watch(watch_fd, path, IN_ACCESS | IN_MODIFY) == -1) {
    close(watch_fd);
    return -1;
  }
  return watch_fd;
}

bool reads_reported(int watch_fd) {
  bool reported = false;
  alignas(inotify_event) char events[4096];
  ssize_t got = 0;
  while (watch_fd != -1 && (got = read(watch_fd, events, sizeof events)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      reported = reported || (event->mask & (IN_ACCESS | IN_Q_OVERFLOW)) != 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return reported;
}

void note_written(pending_log& log, std::int64_t now_ms) {
  log.arrived_ms[log.total % pending_capacity] = now_ms;
  ++log.total;
}

void note_unread(pending_log& log, std::size_t unread, bool read_seen, std::int64_t now_ms) {
  const std::uint64_t known = log.total - log.taken;
  if (unread < known) {
    log.taken += known - unread;
    read_seen = true;
  }
  for (std::uint64_t arrived = known; arrived < unread; ++arrived)
    note_written(log, now_ms);
  if (read_seen)
    log.progress_ms = now_ms;
}

std::size_t stale_count(const pending_log& log, std::int64_t now_ms) {
  if (now_ms - log.progress_ms <= stale_after_ms)
    return 0;
  // Oldest first; times only grow, so the first fresh record ends the count.
  // Records the ring no longer holds are older than every one it does.
  std::size_t stale = 0;
  for (std::uint64_t i = log.taken; i < log.total; ++i) {
    if (i + pending_capacity >= log.total && now_ms - arrived_at(log, i) <= stale_after_ms)
      break;
    ++stale;
  }
  return stale;
}

int ms_until_stale(const pending_log& log, std::int64_t now_ms) {
  if (log.taken == log.total)
    return -1;
  std::int64_t since = log.progress_ms;
  if (log.taken + pending_capacity >= log.total)
    since = std::max(since, arrived_at(log, log.taken));
  return static_cast<int>(std::max<std::int64_t>(0, since + stale_after_ms + 1 - now_ms));
}

std::size_t unread_records(int fifo_fd) {
  int bytes = 0;
  if (ioctl(fifo_fd, FIONREAD, &bytes) == -1 || bytes < 0)
    return 0;
  return static_cast<std::size_t>(bytes) / sizeof(touch_record);
}

std::size_t discard_stale(int fifo_fd, pending_log& log, std::int64_t now_ms) {
  // One record at a time, counting again before each: a reader that wakes up
  // meanwhile takes the oldest records itself, and that is reading progress.
  // Records that arrive meanwhile are left for the next count, which stamps
  // them with a later time: stamped with now_ms, taken before they came, they
  // would be taken back before they had waited their 250 ms.
  std::size_t discarded = 0;
  for (;;) {
    const std::size_t known = log.total - log.taken;
    note_unread(log, std::min(unread_records(fifo_fd), known), false, now_ms);
    if (stale_count(log, now_ms) == 0)
      break;
    touch_record record;
    if (read(fifo_fd, &record, sizeof record) != sizeof record)
      break;
    ++log.taken;
    ++discarded;
  }
  return discarded;
}
