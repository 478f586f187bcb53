// The counts that the allocation counter (alloc_count.cc) keeps in its shared
// file, as the benchmark reads them.
#pragma once

#include <cstdint>

struct alloc_counts {
  std::uint64_t before_start;        // allocations before the first read
  std::uint64_t after_start;         // allocations from the first read on
  std::uint64_t reads;               // read calls
  std::uint64_t ioctls_after_start;  // ioctl calls from the first read on
  std::int64_t loop_pid;             // the process that made the first read
};
