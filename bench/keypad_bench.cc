// Microbenchmark of keypad_key_at: a sweep of the whole signed 16-bit plane,
// and random points of it (which defeat the branch predictor a sweep trains).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "keypad.h"

namespace {

// An inverted rate: time per call, printed with its unit (e.g. 3.6ns).
benchmark::Counter time_per_call(double calls) {
  return benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every one of the 2^32 points once per iteration.
void whole_plane(benchmark::State& state) {
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable is the API
    unsigned sum = 0;
    for (int y = INT16_MIN; y <= INT16_MAX; ++y)
      for (int x = INT16_MIN; x <= INT16_MAX; ++x)
        sum += keypad_key_at(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    benchmark::DoNotOptimize(sum);
  }
  const double calls = 65536.0 * 65536.0 * static_cast<double>(state.iterations());
  state.counters["per_call"] = time_per_call(calls);
}
BENCHMARK(whole_plane)->Iterations(1)->Unit(benchmark::kSecond);

// Points drawn uniformly from the whole plane, a fixed million of them.
void random_points(benchmark::State& state) {
  // A fixed seed on purpose: every run times the same points.
  std::mt19937 draw(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  std::uniform_int_distribution<int> coordinate(INT16_MIN, INT16_MAX);
  std::vector<std::int16_t> xs(1 << 20);
  std::vector<std::int16_t> ys(1 << 20);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    xs[i] = static_cast<std::int16_t>(coordinate(draw));
    ys[i] = static_cast<std::int16_t>(coordinate(draw));
  }
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable is the API
    unsigned sum = 0;
    for (std::size_t i = 0; i < xs.size(); ++i)
      sum += keypad_key_at(xs[i], ys[i]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs.size()));
  state.counters["per_call"] =
      time_per_call(static_cast<double>(state.iterations()) * static_cast<double>(xs.size()));
}
BENCHMARK(random_points)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
