// Replays fuzz inputs (files, or directories of them) through a fuzz target
// once each, so the seed corpus and every kept reproducer run as a plain test
// in any build, with or without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_under(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> found;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::directory_iterator(path))
      if (entry.is_regular_file())
        found.push_back(entry.path());
    std::sort(found.begin(), found.end());
  } else if (std::filesystem::is_regular_file(path)) {
    found.push_back(path);
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& input : inputs_under(argv[i])) {
      std::ifstream file(input, std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
      std::printf("%s\n", input.c_str());
      std::fflush(stdout);
      fuzz_effects = 0;
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      if (fuzz_effects == 0) {
        std::printf("%s made the target do nothing: a replay that tests nothing\n", input.c_str());
        return 1;
      }
      ++replayed;
    }
  }
  std::printf("replayed %d inputs\n", replayed);
  // An empty corpus would make this a test that cannot fail.
  return replayed > 0 ? 0 : 1;
}
