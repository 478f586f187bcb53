// LD_PRELOAD library for the benchmark: counts heap allocations, reads and
// ioctls of a process and its forked children into a shared file, splitting
// the allocations at the first read (where the key loop starts). The counts
// live in a MAP_SHARED page of the file named by TOUCHKEY_ALLOC_COUNT_FILE,
// so the benchmark reads them while the daemon runs on.
//
// The allocator entry points pass on to glibc's own (__libc_malloc and kin),
// and read and ioctl go straight to the system call, so nothing here
// allocates or recurses.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "alloc_count.h"

// glibc's own allocator entry points: reserved names, which the interposer
// has to use. NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* old, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

alloc_counts early;  // until the shared page is mapped
alloc_counts* counts = &early;
std::atomic<bool> loop_started{false};

void count_allocation() {
  if (loop_started.load(std::memory_order_relaxed))
    __atomic_add_fetch(&counts->after_start, 1, __ATOMIC_RELAXED);
  else
    __atomic_add_fetch(&counts->before_start, 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) void map_counts() {
  const char* path = std::getenv("TOUCHKEY_ALLOC_COUNT_FILE");
  if (path == nullptr)
    return;
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd == -1 || ftruncate(fd, sizeof(alloc_counts)) == -1)
    return;
  void* page = mmap(nullptr, sizeof(alloc_counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (page == MAP_FAILED)
    return;
  auto* shared = static_cast<alloc_counts*>(page);
  shared->before_start += early.before_start;
  counts = shared;
}

}  // namespace

// The libc headers name these parameters with reserved names, which this file
// does not copy. NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

void* malloc(std::size_t size) {
  count_allocation();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  count_allocation();
  return __libc_calloc(count, size);
}

void* realloc(void* old, std::size_t size) {
  count_allocation();
  return __libc_realloc(old, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  count_allocation();
  *block = __libc_memalign(alignment, size);
  return *block == nullptr ? ENOMEM : 0;
}

void free(void* block) { __libc_free(block); }

ssize_t read(int fd, void* buffer, std::size_t size) {
  if (!loop_started.exchange(true))
    counts->loop_pid = getpid();
  __atomic_add_fetch(&counts->reads, 1, __ATOMIC_RELAXED);
  return syscall(SYS_read, fd, buffer, size);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  if (loop_started.load(std::memory_order_relaxed))
    __atomic_add_fetch(&counts->ioctls_after_start, 1, __ATOMIC_RELAXED);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
