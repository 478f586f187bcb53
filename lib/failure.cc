// Wording what went wrong, printf-style, for the program to report.
#include "failure.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

// Both are printf-style, so that the compiler checks every format against its
// arguments (the attributes in failure.h).
// NOLINTNEXTLINE(cert-dcl50-cpp)
failure failure_of(const char* format, ...) {
  va_list args;
  va_start(args, format);
  failure f = {formatted(format, args)};
  va_end(args);
  return f;
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
failure system_failure(const char* format, ...) {
  const int error = errno;
  va_list args;
  va_start(args, format);
  failure f = {formatted(format, args) + ": " + std::strerror(error), error};
  va_end(args);
  return f;
}
