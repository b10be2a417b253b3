// Replays inputs through a fuzz target's body without libFuzzer, so builds
// with any compiler can run the regression corpora:
//   velk_fuzz_replay TARGET PATH...
// Each PATH is an input file or a directory of them (not recursive, sorted by
// name). A fault aborts the process; otherwise it prints how many inputs ran.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s compile|tokens|image|interp|sim|sched PATH...\n", argv[0]);
    return 2;
  }
  const VelkFuzzBody body = velkFuzz_find(argv[1]);
  if (body == nullptr) {
    std::fprintf(stderr, "%s: unknown target '%s'\n", argv[0], argv[1]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int k = 2; k < argc; k++) {
    std::error_code error;
    if (fs::is_directory(argv[k], error)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(argv[k]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else if (fs::is_regular_file(argv[k], error)) {
      inputs.emplace_back(argv[k]);
    } else {
      std::fprintf(stderr, "%s: no input at '%s'\n", argv[0], argv[k]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& input : inputs) {
    std::fprintf(stderr, "replay %s\n", input.c_str());
    std::ifstream file(input, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed through %s\n", inputs.size(), argv[1]);
  return 0;
}
