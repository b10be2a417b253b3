// The scheduler target: the input steers a random task set (its first eight
// bytes give the number of instances and the seed that takes over when the
// rest runs out; the rest feeds the generator's choices one by one). The
// indexed scheduler and the walking reference run the same set under the
// same host calls; any difference in what they print, call back or leave in
// the records is a finding.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "image_builder.h"
#include "scheduler_taskset.h"

namespace {

// Small sets keep an input to a few milliseconds; size effects are the
// randomized comparison test's job.
constexpr u64 kMaxInstances = 40;

}  // namespace

int velkFuzz_sched(const uint8_t* data, size_t size) {
  using namespace sched_taskset;
  velkfuzz::setUp();
  u64 seed = 0;
  const size_t head = size < sizeof seed ? size : sizeof seed;
  if (head > 0) std::memcpy(&seed, data, head);
  const u32 n = 2 + static_cast<u32>(seed % (kMaxInstances - 1));
  ImageBuilder b(true, capacityFor(n));
  Draws draw(seed, data + head, size - head);
  const TaskSet set = generate(b, n, draw);

  // The reference evaluates on the tree walker for odd seeds.
  const SetRuns runs = runBoth(b, set, seed % 2 == 1);
  const std::string& got = runs.indexed;
  const std::string& expected = runs.reference;
  if (got != expected) {
    std::fprintf(stderr, "the indexed scheduler and the walking reference differ at %s\n",
                 firstDifference(got, expected).c_str());
    std::abort();
  }
  return 0;
}
