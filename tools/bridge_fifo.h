// touchkey-bridge's output: the FIFO that stands in for the touchscreen device,
// and the bookkeeping that keeps taps nobody read from being typed later.
#pragma once

#include <cstddef>
#include <cstdint>

// Records left unread longer than this were tapped while no daemon was
// reading; they are taken back out of the FIFO.
constexpr std::int64_t stale_after_ms = 250;

// Enough for a default FIFO (64 KiB) full of 8-byte records.
constexpr std::size_t pending_capacity = 8192;

// When each of the latest records was written, oldest first (a ring).
struct pending_log {
  std::int64_t written_ms[pending_capacity];
  std::uint64_t total = 0;
};

// Opens path read-write and non-blocking as the output FIFO, creating it with
// mode 0600 when absent. Refuses, with a message on standard error, a path
// that is not a FIFO or a FIFO that other users could open. Returns -1 then.
int open_output_fifo(const char* path);

// The FIFO a service manager passed by socket activation (touchkey-bridge.socket:
// LISTEN_PID and LISTEN_FDS, descriptor 3), made non-blocking. Returns -1 when
// none was passed, -2 (after a message) when what was passed is not a FIFO only
// its owner can open.
int adopt_passed_fifo();

void note_written(pending_log& log, std::int64_t now_ms);

// How many of the unread records (the newest `unread` written) are stale at
// now_ms. Unread records the log does not know (written by someone else, or
// more than it holds) count as stale.
std::size_t stale_count(const pending_log& log, std::size_t unread, std::int64_t now_ms);

// Milliseconds until the oldest unread record turns stale (0 if it already
// is), or -1 when nothing is unread.
int ms_until_stale(const pending_log& log, std::size_t unread, std::int64_t now_ms);

// Whole records waiting in the FIFO.
std::size_t unread_records(int fifo_fd);

// Reads stale records back out of the FIFO; returns how many.
std::size_t discard_stale(int fifo_fd, const pending_log& log, std::int64_t now_ms);
