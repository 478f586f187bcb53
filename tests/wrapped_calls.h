// The test seam of the loop and the bridge: the build wraps read, ioctl,
// gettimeofday, open and close (touchkey_wrap_system_calls), so the code's
// calls come to the fakes declared here, and the real functions stay
// reachable behind them.
// With a 64-bit time_t on a 32-bit glibc target the headers call ioctl and
// gettimeofday by their time64 names, so the fakes take whichever name the
// code under test calls. glibc 2.39 and later say so with
// __USE_TIME64_REDIRECTS, and define __USE_TIME_BITS64 for every 64-bit
// time_t (64-bit targets too); earlier ones define only the latter, and only
// where the redirects apply. With 64-bit file offsets open is open64.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#if defined(__USE_TIME64_REDIRECTS) || (defined(__USE_TIME_BITS64) && __TIMESIZE == 32)
#define TOUCHKEY_IOCTL_NAME "__ioctl_time64"
#define TOUCHKEY_GETTIMEOFDAY_NAME "__gettimeofday64"
#else
#define TOUCHKEY_IOCTL_NAME "ioctl"
#define TOUCHKEY_GETTIMEOFDAY_NAME "gettimeofday"
#endif

#ifdef __USE_FILE_OFFSET64
#define TOUCHKEY_OPEN_NAME "open64"
#else
#define TOUCHKEY_OPEN_NAME "open"
#endif

extern "C" {
ssize_t real_read(int fd, void* buffer, size_t size) __asm__("__real_read");
int real_ioctl(int fd, unsigned long request, void* argument) __asm__("__real_" TOUCHKEY_IOCTL_NAME);
int real_gettimeofday(timeval* tv, void* tz) __asm__("__real_" TOUCHKEY_GETTIMEOFDAY_NAME);
int real_open(const char* path, int flags, mode_t mode) __asm__("__real_" TOUCHKEY_OPEN_NAME);
int real_close(int fd) __asm__("__real_close");

// Each test defines the fakes it needs. ioctl's fake gets the one pointer
// every request of this code passes, and open's the mode (0 when the call
// gave none): wrapped_calls.cc, which the build adds where either is
// wrapped, takes them from the variadic call.
ssize_t fake_read(int fd, void* buffer, size_t size) __asm__("__wrap_read");
int fake_ioctl(int fd, unsigned long request, void* argument);
int fake_gettimeofday(timeval* tv, void* tz) __asm__("__wrap_" TOUCHKEY_GETTIMEOFDAY_NAME);
int fake_open(const char* path, int flags, mode_t mode);
int fake_close(int fd) __asm__("__wrap_close");
}
