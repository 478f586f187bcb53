// Starting programs, deadlines, reading and scratch directories for the tests.
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child's end of one standard stream, and the test's end (or -1).
struct stream_ends {
  int child = -1;
  int test = -1;
};

stream_ends ends_for(int wanted, bool child_reads) {
  if (wanted != new_pipe)
    return {wanted, -1};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == -1)
    std::abort();
  return child_reads ? stream_ends{fds[0], fds[1]} : stream_ends{fds[1], fds[0]};
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  // The strings' own mutable char* is what exec wants, which a const
  // reference cannot give.
  // cppcheck-suppress constVariableReference
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

spawned spawn(const spawn_request& request) {
  const stream_ends in = ends_for(request.in, true);
  const stream_ends out = ends_for(request.out, false);
  const stream_ends err = ends_for(request.err, false);
  // Built before the fork: the child only execs.
  std::vector<std::string> args = request.argv;
  std::vector<char*> argv = pointers_to(args);
  std::vector<std::string> env = request.env != nullptr ? *request.env : std::vector<std::string>{};
  std::vector<char*> envp = pointers_to(env);
  if (request.empty_argv)
    argv = {nullptr};

  const pid_t pid = fork();
  if (pid == -1)
    std::abort();
  if (pid == 0) {
    const int streams[3] = {in.child, out.child, err.child};
    for (int fd = 0; fd < 3; ++fd)
      if (streams[fd] >= 0 && dup2(streams[fd], fd) == -1)
        _exit(126);
    if (request.in_child != nullptr)
      request.in_child();
    if (request.env != nullptr)
      execve(args[0].c_str(), argv.data(), envp.data());
    else
      execv(args[0].c_str(), argv.data());
    _exit(127);
  }
  for (const stream_ends& s : {in, out, err})
    if (s.test >= 0)
      close(s.child);
  return {pid, in.test, out.test, err.test};
}

bool ends_within(pid_t pid, int timeout_ms) {
  // By number: glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd == -1)
    return true;  // gone already, and reaped
  pollfd exited = {pidfd, POLLIN, 0};
  const bool ended = poll_until(exited, monotonic_ms() + timeout_ms) == 1;
  close(pidfd);
  return ended;
}

int wait_exit(pid_t pid, int timeout_ms) {
  const bool done = ends_within(pid, timeout_ms);
  if (!done)
    kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !done)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void close_pipes(spawned& run) {
  for (int* fd : {&run.in, &run.out, &run.err}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
}

finished run_to_end(const spawn_request& request, int timeout_ms) {
  spawned run = spawn(request);
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  auto left = [deadline] { return static_cast<int>(std::max<std::int64_t>(deadline - monotonic_ms(), 0)); };
  if (run.in >= 0)
    close(run.in);
  finished result;
  if (run.out >= 0)
    result.out = read_all(run.out, left());
  if (run.err >= 0)
    result.err = read_all(run.err, left());
  result.status = wait_exit(run.pid, left());
  return result;
}

std::string read_all(int fd, int timeout_ms) {
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  std::string text;
  for (;;) {
    pollfd readable = {fd, POLLIN, 0};
    if (poll_until(readable, deadline) != 1)
      break;
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == -1 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

std::string read_some(int fd, std::size_t want, bool line, int timeout_ms) {
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  std::string got;
  const auto line_ended = [&] { return line && !got.empty() && got.back() == '\n'; };
  while (got.size() < want && !line_ended()) {
    pollfd readable = {fd, POLLIN, 0};
    if (poll_until(readable, deadline) != 1)
      break;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n == -1 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      break;
    got += c;
  }
  return got;
}

pid_t reported_pid(const std::string& line, const std::string& name) {
  const std::string prefix = name + " sent into background with PID ";
  if (line.compare(0, prefix.size(), prefix) != 0)
    return -1;
  static const std::regex number("([1-9][0-9]*)\n");
  std::smatch m;
  const std::string rest = line.substr(prefix.size());
  return std::regex_match(rest, m, number) ? static_cast<pid_t>(std::stol(m[1])) : -1;
}

int poll_until(pollfd& fd, std::int64_t deadline_ms) {
  for (;;) {
    const std::int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0)
      return 0;
    const int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready != -1 || errno != EINTR)
      return ready;
  }
}

bool wait_for_inotify(int inotify_fd, std::uint32_t mask, std::int64_t deadline_ms) {
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

std::string read_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd == -1 ? std::string() : read_all(fd);
}

void write_file(const std::string& path, const std::string& bytes, unsigned mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd == -1 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  close(fd);
}

temp_dir::temp_dir() {
  char name[] = "/tmp/touchkey-test.XXXXXX";
  if (mkdtemp(name) == nullptr)
    std::abort();
  path = name;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

bool pushed_keys_arrive_intact(int console_fd) {
  const char probe = 'k';
  return ioctl(console_fd, TIOCSTI, &probe) == 0 && read_some(console_fd, 1) == "k";
}

input_event ev(std::uint16_t type, std::uint16_t code, std::int32_t value, long ms) {
  input_event event = {};
  event.input_event_sec = ms / 1000;
  event.input_event_usec = (ms % 1000) * 1000;
  event.type = type;
  event.code = code;
  event.value = value;
  return event;
}

std::string event_bytes(const std::vector<input_event>& events) {
  return {reinterpret_cast<const char*>(events.data()), events.size() * sizeof(input_event)};
}

std::string tap_events(std::int32_t x, std::int32_t y) {
  return event_bytes({ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, x), ev(EV_ABS, ABS_Y, y),
                      ev(EV_SYN, SYN_REPORT, 0), ev(EV_KEY, BTN_TOUCH, 0), ev(EV_SYN, SYN_REPORT, 0)});
}

recording read_recording(const std::string& path) {
  std::string text = read_file(path);
  const std::filesystem::path file = path;
  if (file.extension() == ".events") {
    const std::string name = file.filename();
    text = read_file(file.parent_path() / (name.substr(0, name.find('.')) + ".desc")) + text;
  }
  recording r;
  std::map<unsigned, std::string> ranges;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // "E: SECONDS.MICROSECONDS TYPE CODE VALUE" and "A: CODE MIN MAX ...", codes and types in hex.
    std::istringstream fields(line);
    std::string tag, stamp;
    unsigned type = 0, code = 0;
    int value = 0, max = 0;
    if (line.rfind("A:", 0) == 0 && fields >> tag >> std::hex >> code >> std::dec >> value >> max) {
      ranges[code] = std::to_string(value) + "," + std::to_string(max);
    } else if (line.rfind("E:", 0) == 0 &&
               fields >> tag >> stamp >> std::hex >> type >> code >> std::dec >> value) {
      const std::size_t dot = stamp.find('.');
      const long ms = std::stol(stamp.substr(0, dot)) * 1000 + std::stol(stamp.substr(dot + 1)) / 1000;
      r.events.push_back(ev(static_cast<std::uint16_t>(type), static_cast<std::uint16_t>(code), value, ms));
    }
  }
  const bool slots = ranges.contains(ABS_MT_SLOT);
  r.x_range = ranges[slots ? ABS_MT_POSITION_X : ABS_X];
  r.y_range = ranges[slots ? ABS_MT_POSITION_Y : ABS_Y];
  return r;
}

int open_raw_pty(std::string& slave_path) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master == -1 || grantpt(master) == -1 || unlockpt(master) == -1)
    return -1;
  slave_path = ptsname(master);
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool raw = slave != -1 && make_raw(slave);
  if (slave != -1)
    close(slave);
  if (!raw) {
    close(master);
    return -1;
  }
  return master;
}

bool make_raw(int terminal_fd, termios* before) {
  termios mode;
  if (tcgetattr(terminal_fd, &mode) == -1)
    return false;
  if (before != nullptr)
    *before = mode;
  cfmakeraw(&mode);
  return tcsetattr(terminal_fd, TCSANOW, &mode) == 0;
}
