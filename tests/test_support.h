// Support shared by the tests that drive real programs: starting them with
// pipes, waiting with deadlines (never pauses), reading what they wrote, and
// scratch directories that clean up after themselves.
#pragma once

#include <cstdint>
#include <linux/input.h>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

#include "clock.h"

// A deadline for events in every test: long enough for a loaded machine,
// short enough that a hang fails instead of stalling the run.
constexpr int default_timeout_ms = 5000;

// For spawn_request's in, out and err: a new pipe whose other end comes back
// in spawned, or the test's own descriptor left as it is.
constexpr int new_pipe = -2;
constexpr int inherited = -1;

struct spawn_request {
  std::vector<std::string> argv;  // argv[0] is the program's path
  int in = inherited;             // new_pipe, inherited, or a descriptor to give it
  int out = new_pipe;
  int err = new_pipe;
  // Replaces the environment when set; otherwise the test's is passed on.
  const std::vector<std::string>* env = nullptr;
  bool empty_argv = false;       // exec with no arguments at all, not even argv[0]
  void (*in_child)() = nullptr;  // runs in the child just before exec
};

struct spawned {
  pid_t pid = -1;
  int in = -1;  // the test's ends of the pipes asked for, else -1
  int out = -1;
  int err = -1;
};

spawned spawn(const spawn_request& request);

// Whether the process, a child or not, has ended by the deadline.
bool ends_within(pid_t pid, int timeout_ms = default_timeout_ms);

// The exit status, 128 + the signal's number when a signal ended it, or -1
// when it is still running at the deadline (it is killed and reaped then).
int wait_exit(pid_t pid, int timeout_ms = default_timeout_ms);

// Closes the pipes a spawn left open.
void close_pipes(spawned& run);

// A program run to its end: its status as wait_exit gives it, and all it
// wrote on the pipes that were asked for.
struct finished {
  int status = -1;
  std::string out, err;
};
// A standard input pipe is closed at once. Output is read to its end before
// error: the programs under test write far too little on error to fill a pipe.
finished run_to_end(const spawn_request& request, int timeout_ms = default_timeout_ms);

// Everything until end of file or the deadline; closes fd.
std::string read_all(int fd, int timeout_ms = default_timeout_ms);

// Up to `want` bytes, or through the first line feed when `line` is set; stops
// early at end of file or the deadline. One byte per read: nothing past what
// is asked for is taken from the descriptor.
std::string read_some(int fd, std::size_t want, bool line = false, int timeout_ms = default_timeout_ms);
inline std::string read_line(int fd, int timeout_ms = default_timeout_ms) {
  return read_some(fd, 1 << 16, true, timeout_ms);
}

// The PID in touchkeyd's report "NAME sent into background with PID N\n", or
// -1 when the line is anything else.
pid_t reported_pid(const std::string& line, const std::string& name);

// poll() on one descriptor until the deadline (monotonic_ms); 0 once passed.
int poll_until(pollfd& fd, std::int64_t deadline_ms);

// Waits for an inotify event matching mask, up to the deadline.
bool wait_for_inotify(int inotify_fd, std::uint32_t mask, std::int64_t deadline_ms);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);

// A new directory under /tmp, removed with everything in it at scope end.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Whether a byte pushed into the console (a raw pty) with TIOCSTI arrives as
// itself. qemu-user 7.2 passes TIOCSTI's one-byte argument as an int, so on a
// big-endian guest the kernel gets another byte: typing cannot be checked there.
bool pushed_keys_arrive_intact(int console_fd);
constexpr const char* pushed_keys_broken =
    "qemu-user passes TIOCSTI's byte as an int: on this big-endian guest the console gets other keys";

// An evdev event as a panel sends it, stamped ms milliseconds after the epoch.
// Fields by name: the time's layout differs between architectures.
input_event ev(std::uint16_t type, std::uint16_t code, std::int32_t value, long ms = 0);

// Events as the bytes their reader gets.
std::string event_bytes(const std::vector<input_event>& events);

// The bytes of one tap at (x, y) on a single-touch panel: pen down there, a
// frame, pen up, a frame.
std::string tap_events(std::int32_t x, std::int32_t y);

// A real panel's recording in evemu's text: its events, stamped as recorded,
// and its x and y ranges ("MIN,MAX") as the bridge takes them from the
// device: the multi-touch axes' where the panel has slots. A recording of
// events alone (NAME.WHAT.events) takes its ranges from its panel's NAME.desc.
struct recording {
  std::vector<input_event> events;
  std::string x_range, y_range;
};
recording read_recording(const std::string& path);

// A new pty whose slave is raw (no line discipline touches what passes it):
// the master, or -1; slave_path gets the slave's path.
int open_raw_pty(std::string& slave_path);

// Puts a terminal in raw mode; `before`, when given, gets the mode it had.
bool make_raw(int terminal_fd, termios* before = nullptr);
