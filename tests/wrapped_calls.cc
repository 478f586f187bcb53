// The linker's ioctl wrapper for the tests that fake ioctl: the call is
// variadic, the fakes are not.
#include <cstdarg>

#include "wrapped_calls.h"

extern "C" int wrapped_ioctl(int fd, unsigned long request, ...) __asm__("__wrap_" TOUCHKEY_IOCTL_NAME);

// ioctl's own signature, which the wrapper must have. NOLINTNEXTLINE(cert-dcl50-cpp)
extern "C" int wrapped_ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return fake_ioctl(fd, request, argument);
}
