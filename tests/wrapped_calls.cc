// The linker's wrappers of the variadic calls, ioctl and open, for the tests
// that fake them: the calls are variadic, the fakes are not.
#include <cstdarg>

#include "wrapped_calls.h"

#ifdef TOUCHKEY_WRAP_IOCTL
extern "C" int wrapped_ioctl(int fd, unsigned long request, ...) __asm__("__wrap_" TOUCHKEY_IOCTL_NAME);

// ioctl's own signature, which the wrapper must have. NOLINTNEXTLINE(cert-dcl50-cpp)
extern "C" int wrapped_ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return fake_ioctl(fd, request, argument);
}
#endif

#ifdef TOUCHKEY_WRAP_OPEN
namespace {

// The mode is there only when the flags ask for one.
bool gives_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

}  // namespace

extern "C" int wrapped_open(const char* path, int flags, ...) __asm__("__wrap_open");

// open's own signature, which the wrapper must have. NOLINTNEXTLINE(cert-dcl50-cpp)
extern "C" int wrapped_open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  // va_start has just set it; the analyzer loses that where va_arg is
  // conditional. NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const mode_t mode = gives_mode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return fake_open(path, flags, mode);
}

// Code built with other file offsets than ours (a static library) may call
// open64. NOLINTNEXTLINE(cert-dcl50-cpp)
extern "C" int wrapped_open64(const char* path, int flags, ...) __asm__("__wrap_open64")
    __attribute__((alias("__wrap_open")));
#endif
