// touchkey-bridge's output: the FIFO that stands in for the touchscreen device,
// and the bookkeeping that keeps taps nobody read from being typed later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "failure.h"

// Records another program can read are left alone; a record that has sat
// unread this long with no reader taking any is taken back out of the FIFO:
// whoever wrote it, nobody reads the FIFO, and it must not be typed later.
constexpr std::int64_t stale_after_ms = 250;

// Enough for a default FIFO (64 KiB) full of 8-byte records.
constexpr std::size_t pending_capacity = 8192;

// What the bridge knows of the records waiting in its FIFO, whoever wrote
// them: when each arrived (its own when written, others' when first seen),
// oldest first in a ring, and when a reader was last seen taking records.
struct pending_log {
  std::int64_t arrived_ms[pending_capacity];
  std::uint64_t total = 0;                   // records that ever arrived
  std::uint64_t taken = 0;                   // records that ever left, by any reader
  std::int64_t progress_ms = INT64_MIN / 2;  // none seen yet
};

// Opens path read-write and non-blocking as the output FIFO, creating it with
// mode 0600 when absent. Refuses a path that is not a FIFO or a FIFO that
// other users could open: returns -1 then, and why says so.
int open_output_fifo(const char* path, failure& why);

// The FIFO a service manager passed by socket activation (touchkey-bridge.socket:
// LISTEN_PID and LISTEN_FDS, descriptor 3), made non-blocking. Returns -1 when
// none was passed, and also, with why set, when what was passed is not a FIFO
// only its owner can open, or when path (where the daemon opens it, the
// socket's link) does not lead to it.
int adopt_passed_fifo(const char* path, failure& why);

// An inotify descriptor (non-blocking) that reports reads and writes on the
// FIFO open as fifo_fd, whoever makes them; -1 when none can be had.
int watch_fifo(int fifo_fd);

// Empties the watch; whether it reported a read (or lost events).
bool reads_reported(int watch_fd);

void note_written(pending_log& log, std::int64_t now_ms);

// Brings the log in line with the records the FIFO holds: fewer than it knows
// means a reader took the oldest, more means another program wrote some.
// read_seen: a read was reported although the count may not show it.
void note_unread(pending_log& log, std::size_t unread, bool read_seen, std::int64_t now_ms);

// How many of the oldest unread records are stale at now_ms.
std::size_t stale_count(const pending_log& log, std::int64_t now_ms);

// Milliseconds until the oldest unread record turns stale (0 if it already
// is), or -1 when nothing is unread.
int ms_until_stale(const pending_log& log, std::int64_t now_ms);

// Whole records waiting in the FIFO.
std::size_t unread_records(int fifo_fd);

// Reads stale records back out of the FIFO; returns how many.
std::size_t discard_stale(int fifo_fd, pending_log& log, std::int64_t now_ms);
