// What went wrong in the companions' library, in words: library code returns
// it, and the program reports it once, after its own name.
#pragma once

#include <string>

struct failure {
  std::string message;  // empty while nothing went wrong
  int error = 0;        // the errno behind it, where a system call failed
  bool usage = false;   // the command line asked for what cannot be: a usage error

  explicit operator bool() const { return !message.empty(); }
};

// The failure worded printf-style.
failure failure_of(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same, then ": " and errno's description; error keeps errno.
failure system_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
