// How a fuzz target reports a broken property: on standard output, because
// fuzzing runs close standard error (which the daemon's own messages would
// otherwise flood), and then it stops.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fault(const char* what) {
  std::printf("%s: %s\n", program_invocation_short_name, what);
  std::fflush(stdout);
  std::abort();
}
