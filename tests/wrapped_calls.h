// The test seam of the loop and the bridge: the build wraps read, ioctl and
// gettimeofday (touchkey_wrap_system_calls), so the code's calls come to the
// fakes declared here, and the real functions stay reachable behind them.
// With a 64-bit time_t on a 32-bit glibc target the headers call ioctl and
// gettimeofday by their time64 names, so the fakes take whichever name the
// code under test calls. glibc 2.39 and later say so with
// __USE_TIME64_REDIRECTS, and define __USE_TIME_BITS64 for every 64-bit
// time_t (64-bit targets too); earlier ones define only the latter, and only
// where the redirects apply.
#pragma once

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

extern "C" {
ssize_t real_read(int fd, void* buffer, size_t size) __asm__("__real_read");
int real_ioctl(int fd, unsigned long request, void* argument) __asm__("__real_" TOUCHKEY_IOCTL_NAME);
int real_gettimeofday(timeval* tv, void* tz) __asm__("__real_" TOUCHKEY_GETTIMEOFDAY_NAME);

// Each test defines the fakes it needs. ioctl's fake gets the one pointer
// every request of this code passes: wrapped_calls.cc, which the build adds
// where ioctl is wrapped, takes it from the variadic call.
ssize_t fake_read(int fd, void* buffer, size_t size) __asm__("__wrap_read");
int fake_ioctl(int fd, unsigned long request, void* argument);
int fake_gettimeofday(timeval* tv, void* tz) __asm__("__wrap_" TOUCHKEY_GETTIMEOFDAY_NAME);
}
