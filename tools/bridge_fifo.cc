// The bridge's output FIFO: created root-only, refused when it is anything
// else, and kept free of taps that no daemon read in time.
#include "bridge_fifo.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "touch_record.h"

namespace {

int refuse(const char* path, const char* why) {
  std::fprintf(stderr, "touchkey-bridge: %s %s; refusing to use it\n", path, why);
  return -1;
}

int fail(const char* what, const char* path) {
  std::fprintf(stderr, "touchkey-bridge: %s %s: %s\n", what, path, std::strerror(errno));
  return -1;
}

// Whoever can write the FIFO can type into the console, so only a FIFO that
// nobody but its owner (this process's user) can open will do.
bool private_fifo(const struct stat& st) {
  return S_ISFIFO(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

std::int64_t written_at(const pending_log& log, std::uint64_t index) {
  return log.written_ms[index % pending_capacity];
}

}  // namespace

int open_output_fifo(const char* path) {
  struct stat st;
  if (lstat(path, &st) == -1) {
    if (errno != ENOENT)
      return fail("cannot examine", path);
    if (mkfifo(path, 0600) == -1 && errno != EEXIST)
      return fail("cannot create the FIFO", path);
    // The umask may have taken bits away; the owner needs read and write.
    if (chmod(path, 0600) == -1 || lstat(path, &st) == -1)
      return fail("cannot set up the FIFO", path);
  }
  if (!S_ISFIFO(st.st_mode))
    return refuse(path, "exists and is not a FIFO");
  if (!private_fifo(st))
    return refuse(path, "is a FIFO that other users can open or that belongs to another user");

  const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1)
    return fail("cannot open", path);
  // The path could have been replaced between the check and the open.
  struct stat opened;
  if (fstat(fd, &opened) == -1 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
      !private_fifo(opened)) {
    close(fd);
    return refuse(path, "changed while it was being opened");
  }
  return fd;
}

// The protocol of sd_listen_fds(3), read by hand: it is a few stable lines, and
// libsystemd would add a library (and its development files for every
// architecture the bridge is cross-built for) for one call.
int adopt_passed_fifo() {
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
    std::fprintf(stderr, "touchkey-bridge: the service manager passed something other than one FIFO\n");
    return -2;
  }
  if (!private_fifo(st)) {
    std::fprintf(stderr,
                 "touchkey-bridge: the FIFO passed by the service manager is open to other users; "
                 "refusing to use it\n");
    return -2;
  }
  if (fcntl(first_passed_fd, F_SETFD, FD_CLOEXEC) == -1 ||
      fcntl(first_passed_fd, F_SETFL, fcntl(first_passed_fd, F_GETFL) | O_NONBLOCK) == -1) {
    std::fprintf(stderr, "touchkey-bridge: cannot set up the passed FIFO: %s\n", std::strerror(errno));
    return -2;
  }
  return first_passed_fd;
}

void note_written(pending_log& log, std::int64_t now_ms) {
  log.written_ms[log.total % pending_capacity] = now_ms;
  ++log.total;
}

std::size_t stale_count(const pending_log& log, std::size_t unread, std::int64_t now_ms) {
  const std::uint64_t known = std::min<std::uint64_t>({unread, log.total, pending_capacity});
  std::size_t stale = unread - static_cast<std::size_t>(known);
  // Oldest first; times only grow, so the first fresh record ends the count.
  for (std::uint64_t i = log.total - known; i < log.total; ++i) {
    if (now_ms - written_at(log, i) <= stale_after_ms)
      break;
    ++stale;
  }
  return stale;
}

int ms_until_stale(const pending_log& log, std::size_t unread, std::int64_t now_ms) {
  if (unread == 0)
    return -1;
  if (stale_count(log, unread, now_ms) > 0)
    return 0;
  const std::int64_t oldest = written_at(log, log.total - unread);
  return static_cast<int>(oldest + stale_after_ms + 1 - now_ms);
}

std::size_t unread_records(int fifo_fd) {
  int bytes = 0;
  if (ioctl(fifo_fd, FIONREAD, &bytes) == -1 || bytes < 0)
    return 0;
  return static_cast<std::size_t>(bytes) / sizeof(touch_record);
}

std::size_t discard_stale(int fifo_fd, const pending_log& log, std::int64_t now_ms) {
  // One record at a time, counting again before each: a reader that wakes up
  // meanwhile takes the oldest records itself, and the fresh ones stay.
  std::size_t discarded = 0;
  while (stale_count(log, unread_records(fifo_fd), now_ms) > 0) {
    touch_record record;
    if (read(fifo_fd, &record, sizeof record) != sizeof record)
      break;
    ++discarded;
  }
  return discarded;
}
