// touchkey-sandbox: runs a command with stand-ins for the touchscreen and the
// console, in private mount and PID namespaces that vanish with the command.
//
// The command runs as root with a fresh tmpfs over /dev holding
//   /dev/tsdev  a FIFO (mode 0600), or with --touch pty the raw slave of a pty
//   /dev/tty0   the slave of a pty, or with --console real the kernel's console
// and the basic nodes (null, zero, urandom, ptmx over a new devpts instance).
// It learns the rest from its environment:
//   TOUCHKEY_CONSOLE               path of the console to read typed keys from
//   TOUCHKEY_CONSOLE_MASTER_FD     fd of the console pty's master (pty console)
//   TOUCHKEY_TOUCH_MASTER_FD       fd of the touchscreen pty's master (pty touch)
//   TOUCHKEY_SHELL_PID             the console shell's PID (--shell)
// With --shell an interactive bash (no rc files, TERM=dumb) runs on the
// console pty as its controlling terminal, as at a real console: keys pushed
// into /dev/tty0 reach it, and what it prints is read from the pty's master.
// When the command ends, the namespace's init ends, the kernel kills whatever
// the command left running there, and the mounts go with the namespace. The
// outer process never enters the private mounts, so the machine's /dev is
// never touched, also when a step fails half-way or the sandbox is killed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "cli.h"

namespace {

// Exit status when the real console was asked for but cannot be had: CTest
// reports it as a skip.
constexpr int unavailable_status = 77;

struct options {
  bool touch_pty = false;
  bool real_console = false;
  bool shell = false;
  char** command = nullptr;
};

constexpr cli_program program = {
    "touchkey-sandbox",
    "touchkey-sandbox [--touch fifo|pty] [--console pty|real] [--shell] [--] COMMAND [ARG...]",
    "Runs COMMAND as root with a private /dev holding stand-ins for touchkeyd's\n"
    "touchscreen (/dev/tsdev) and console (/dev/tty0), in mount and PID namespaces\n"
    "that vanish with it. Options end at COMMAND.\n"
    "\n"
    "  --touch fifo|pty     /dev/tsdev is a FIFO (default) or a raw pty's slave\n"
    "  --console pty|real   /dev/tty0 is a pty's slave (default) or the kernel's\n"
    "                       console (status 77 when it cannot be had)\n"
    "  --shell              run an interactive bash on the pty console\n"
    "  -h, --help           this help\n"
    "      --version        the version\n"};

[[noreturn]] void fail(const char* what) { cli_fail(1, "%s: %s", what, std::strerror(errno)); }

options parse_options(int argc, char** argv) {
  enum : int { touch = 1, console, shell };
  static const option long_options[] = {
      {"touch", required_argument, nullptr, touch},
      {"console", required_argument, nullptr, console},
      {"shell", no_argument, nullptr, shell},
      {nullptr, 0, nullptr, 0},
  };
  options opts;
  // "+": the command's own options are its own.
  for (int chosen; (chosen = cli_next_option(argc, argv, "+", long_options)) != -1;) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (chosen) {
      case touch:
        if (value != "fifo" && value != "pty")
          cli_usage_error("--touch takes fifo or pty, not '%s'", optarg);
        opts.touch_pty = value == "pty";
        break;
      case console:
        if (value != "pty" && value != "real")
          cli_usage_error("--console takes pty or real, not '%s'", optarg);
        opts.real_console = value == "real";
        break;
      case shell: opts.shell = true; break;
      default: break;
    }
  }
  if (optind >= argc)
    cli_usage_error("no command to run");
  // The shell needs a pty to be its terminal.
  if (opts.shell && opts.real_console)
    cli_usage_error("--shell needs the pty console, not --console real");
  opts.command = argv + optind;
  return opts;
}

// The active virtual console ("tty1"), or an empty string.
std::string active_vt() {
  char name[32] = {};
  const int fd = open("/sys/class/tty/tty0/active", O_RDONLY | O_CLOEXEC);
  if (fd == -1)
    return "";
  const ssize_t got = read(fd, name, sizeof name - 1);
  close(fd);
  std::string vt(name, got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!vt.empty() && (vt.back() == '\n' || vt.back() == ' '))
    vt.pop_back();
  return vt.rfind("tty", 0) == 0 ? vt : "";
}

// A process that has the console open would read the keys a test expects.
bool anyone_holds(const std::string& path) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr)
    return false;
  bool held = false;
  while (const dirent* process = readdir(proc)) {
    if (process->d_name[0] < '0' || process->d_name[0] > '9')
      continue;
    const std::string fd_dir = std::string("/proc/") + process->d_name + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr)
      continue;
    while (const dirent* fd = readdir(fds)) {
      char target[PATH_MAX];
      const ssize_t n = readlink((fd_dir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && path == std::string(target, static_cast<std::size_t>(n)))
        held = true;
    }
    closedir(fds);
  }
  closedir(proc);
  return held;
}

// Whether this process lives in a user namespace other than the machine's
// (as under scripts/run-foreign.sh), whose uid map is not the whole range.
bool in_user_namespace() {
  std::ifstream map("/proc/self/uid_map");
  unsigned long inside = 0, outside = 0, count = 0;
  if (!(map >> inside >> outside >> count))
    return false;
  const bool machines_own = inside == 0 && outside == 0 && count == 4294967295ul;
  return !machines_own;
}

// Checked before anything is set up, from the machine's own /dev and /proc.
std::string real_console_or_exit() {
  // TIOCSTI into the machine's console needs CAP_SYS_ADMIN in its namespace.
  if (in_user_namespace())
    cli_fail(unavailable_status, "real console unavailable: in a user namespace");
  const int tty0 = open("/dev/tty0", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (tty0 == -1)
    cli_fail(unavailable_status, "real console unavailable: /dev/tty0: %s", std::strerror(errno));
  close(tty0);
  std::string vt = active_vt();
  if (vt.empty())
    cli_fail(unavailable_status, "real console unavailable: no active virtual console");
  if (anyone_holds("/dev/" + vt))
    cli_fail(unavailable_status, "real console unavailable: /dev/%s is in use", vt.c_str());
  return vt;
}

// An empty file to bind something onto.
void make_mount_point(const char* path) {
  const int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (fd == -1)
    fail(path);
  close(fd);
}

void bind(const char* source, const char* target) {
  make_mount_point(target);
  if (mount(source, target, nullptr, MS_BIND, nullptr) == -1)
    fail(target);
}

struct pty {
  int master;
  std::string slave_path;
};

pty open_pty() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master == -1 || grantpt(master) == -1 || unlockpt(master) == -1)
    fail("/dev/ptmx");
  const char* slave = ptsname(master);
  if (slave == nullptr)
    fail("ptsname");
  return {master, slave};
}

// The touchscreen stream is binary: no line discipline may touch it.
void make_raw(const std::string& slave_path) {
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode;
  if (slave == -1 || tcgetattr(slave, &mode) == -1)
    fail(slave_path.c_str());
  cfmakeraw(&mode);
  if (tcsetattr(slave, TCSANOW, &mode) == -1)
    fail(slave_path.c_str());
  close(slave);
}

// A device node of the machine's /dev, held open from before the private /dev
// covers it until it is bound there. Binding the machine's nodes works in a
// user namespace too, where creating device nodes does not.
struct machine_node {
  std::string path;
  int fd;
};

machine_node hold_machine_node(const std::string& name) {
  const std::string path = "/dev/" + name;
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd == -1)
    fail(path.c_str());
  return {path, fd};
}

void bind_machine_node(const machine_node& node) {
  bind(("/proc/self/fd/" + std::to_string(node.fd)).c_str(), node.path.c_str());
  close(node.fd);
}

// Lays out the private /dev; returns nothing the caller must undo, because
// all of it belongs to the namespace.
void build_dev(const options& opts, const std::string& vt) {
  if (unshare(CLONE_NEWNS) == -1)
    fail("unshare mount namespace");
  // Private first, so that nothing below propagates to the machine's mounts.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
    fail("make mounts private");
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == -1)
    fail("/proc");
  std::vector<machine_node> nodes;
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"})
    nodes.push_back(hold_machine_node(name));
  if (opts.real_console) {
    nodes.push_back(hold_machine_node("tty0"));
    nodes.push_back(hold_machine_node(vt));
  }
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=1m") == -1)
    fail("/dev");
  for (const machine_node& node : nodes)
    bind_machine_node(node);
  umask(0);
  if (mkdir("/dev/pts", 0755) == -1)
    fail("/dev/pts");
  if (mkdir("/dev/shm", 01777) == -1)
    fail("/dev/shm");
  const char* devpts_options = "newinstance,ptmxmode=0666,mode=0620";
  if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, devpts_options) == -1)
    fail("/dev/pts");
  if (symlink("pts/ptmx", "/dev/ptmx") == -1 || symlink("/proc/self/fd", "/dev/fd") == -1 ||
      symlink("/proc/self/fd/0", "/dev/stdin") == -1 || symlink("/proc/self/fd/1", "/dev/stdout") == -1 ||
      symlink("/proc/self/fd/2", "/dev/stderr") == -1)
    fail("/dev links");
  umask(022);

  if (opts.touch_pty) {
    const pty touch = open_pty();
    make_raw(touch.slave_path);
    bind(touch.slave_path.c_str(), "/dev/tsdev");
    setenv("TOUCHKEY_TOUCH_MASTER_FD", std::to_string(touch.master).c_str(), 1);
  } else if (mkfifo("/dev/tsdev", 0600) == -1) {
    fail("/dev/tsdev");
  }

  if (opts.real_console) {
    setenv("TOUCHKEY_CONSOLE", ("/dev/" + vt).c_str(), 1);
  } else {
    const pty console = open_pty();
    bind(console.slave_path.c_str(), "/dev/tty0");
    setenv("TOUCHKEY_CONSOLE", console.slave_path.c_str(), 1);
    setenv("TOUCHKEY_CONSOLE_MASTER_FD", std::to_string(console.master).c_str(), 1);
  }
}

void close_fd_named_by(const char* variable) {
  if (const char* fd = std::getenv(variable))
    close(static_cast<int>(std::strtol(fd, nullptr, 10)));
}

// In a user namespace TIOCSTI into a terminal other than the caller's
// controlling one is refused (it needs CAP_SYS_ADMIN in the machine's
// namespace), so there the console pty becomes the controlling terminal of
// init's session, which every process of the namespace shares: TIOCSTI into
// one's own controlling terminal needs no capability.
void share_console_as_controlling_terminal() {
  const char* console_path = std::getenv("TOUCHKEY_CONSOLE");
  if (console_path == nullptr || setsid() == -1)
    fail("setsid");
  const int console = open(console_path, O_RDWR | O_CLOEXEC);
  if (console == -1 || ioctl(console, TIOCSCTTY, 0) == -1)
    fail(console_path);
  // Left open for init's life: once its slave has been closed again, a pty's
  // master reads as hung up until the next open, which the shell may not
  // have made yet when the command first reads.
}

// A login-less interactive shell on the console pty, session leader with the
// pty as its controlling terminal (or, when init's session holds the pty, a
// member of that session). TERM=dumb keeps its screen plain text.
void start_console_shell(bool console_shared) {
  const pid_t shell = fork();
  if (shell == -1)
    fail("fork");
  if (shell == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    close_fd_named_by("TOUCHKEY_TOUCH_MASTER_FD");
    close_fd_named_by("TOUCHKEY_CONSOLE_MASTER_FD");
    unsetenv("TOUCHKEY_TOUCH_MASTER_FD");
    unsetenv("TOUCHKEY_CONSOLE_MASTER_FD");
    const char* console_path = std::getenv("TOUCHKEY_CONSOLE");
    if (console_path == nullptr || (!console_shared && setsid() == -1))
      fail("setsid");
    const int console = open(console_path, O_RDWR);
    if (console == -1 || (!console_shared && ioctl(console, TIOCSCTTY, 0) == -1))
      fail(console_path);
    for (int fd = 0; fd <= 2; ++fd)
      if (dup2(console, fd) == -1)
        fail("dup2");
    if (console > 2)
      close(console);
    setenv("TERM", "dumb", 1);
    execlp("bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
    fail("bash");
  }
  setenv("TOUCHKEY_SHELL_PID", std::to_string(shell).c_str(), 1);
}

// PID 1 of the namespace: sets up /dev, runs the command, reaps everything
// the command leaves behind, and ends with the command's status.
[[noreturn]] void run_init(const options& opts, const std::string& vt) {
  build_dev(opts, vt);
  const bool console_shared = in_user_namespace();
  if (console_shared)
    share_console_as_controlling_terminal();
  if (opts.shell)
    start_console_shell(console_shared);
  const pid_t command = fork();
  if (command == -1)
    fail("fork");
  if (command == 0) {
    // Signals go back to their defaults for the command; init ignores them.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    execvp(opts.command[0], opts.command);
    fail(opts.command[0]);
  }
  // Only the command holds the pty masters, so closing its copy closes the pty.
  close_fd_named_by("TOUCHKEY_TOUCH_MASTER_FD");
  close_fd_named_by("TOUCHKEY_CONSOLE_MASTER_FD");
  for (;;) {
    int status = 0;
    const pid_t ended = wait(&status);
    if (ended == -1 && errno != EINTR)
      fail("wait");
    if (ended == command)
      std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
}

// Read by the signal handler below, hence its type.
volatile sig_atomic_t init_pid = 0;
static_assert(sizeof(pid_t) <= sizeof(sig_atomic_t), "a PID fits a sig_atomic_t");

void kill_namespace(int /*signal*/) {
  if (init_pid > 0)
    kill(init_pid, SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
  cli_start(program);
  const options opts = parse_options(argc, argv);
  // Set by a sandbox this one runs in, they name descriptors and devices of
  // that one's /dev: passed on, the command would write into a descriptor
  // that is not what they say, and init would close it. Only what this
  // sandbox sets below may reach the command.
  for (const char* variable :
       {"TOUCHKEY_CONSOLE", "TOUCHKEY_CONSOLE_MASTER_FD", "TOUCHKEY_TOUCH_MASTER_FD", "TOUCHKEY_SHELL_PID"})
    unsetenv(variable);
  const std::string vt = opts.real_console ? real_console_or_exit() : "";
  std::fflush(stdout);

  // Only children go into the new PID namespace. Once init has ended it takes
  // no new processes, so the sandbox takes its own back before it exits:
  // checkers that run at exit (the sanitizers' leak check) start one.
  const int own_pids = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
  if (own_pids == -1)
    fail("/proc/self/ns/pid");
  if (unshare(CLONE_NEWPID) == -1)
    fail("unshare PID namespace");
  // Init watches the read end: it hangs up once the sandbox has gone.
  int alive[2];
  if (pipe2(alive, O_CLOEXEC) == -1)
    fail("pipe");
  const pid_t init = fork();
  if (init == -1)
    fail("fork");
  if (init == 0) {
    // If the sandbox itself is killed, init follows it and takes the whole
    // namespace along.
    close(alive[1]);
    pollfd sandbox = {alive[0], POLLIN, 0};
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || poll(&sandbox, 1, 0) != 0)
      std::_Exit(1);
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    // The hang-up of a console that is init's controlling terminal, too:
    // under an emulator a signal left at its default is fatal even to init.
    signal(SIGHUP, SIG_IGN);
    run_init(opts, vt);
  }

  init_pid = init;
  struct sigaction on_signal = {};
  on_signal.sa_handler = kill_namespace;
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaction(s, &on_signal, nullptr);
  int status = 0;
  while (waitpid(init, &status, 0) == -1)
    if (errno != EINTR)
      fail("wait");
  setns(own_pids, CLONE_NEWPID);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
