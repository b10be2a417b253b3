// The indexed scheduler against the walking reference on randomly generated
// task sets: both run the same image under the same host calls, and their
// trace lines, activations, next hits and final records must be identical
// byte for byte.
//
// A set: 2 to 1024 instances (the system library's capacity), periods equal,
// harmonic, co-prime or random, offsets on a coarse grid so that ties are
// frequent, priorities, deadlines and execution times from a start-up
// annotation, jitter (and the instance's own priority) from per-instance
// timing annotations, triggered and gated instances whose conditions read a
// counter the bodies advance, bodies writing their own record through `self`,
// sometimes a body writing another instance's priority (the walking
// fallback), the three policies (from `system.sched_policy` or set by the
// host), and host calls of every kind with pauses, record reads and writes
// between them.
//
// On odd seeds the reference runs on the tree walker as well.
//
// CTest runs a bounded number of sets; VELK_SCHED_SETS=N and
// VELK_SCHED_SEED=S run more (the seed of a failing set is printed).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.h"
#include "scheduler_taskset.h"

namespace {

using namespace sched_taskset;

u64 envNumber(const char* name, u64 fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : std::strtoull(text, nullptr, 10);
}

TEST(SchedulerCompareTest, IndexedMatchesWalkingOnRandomTaskSets) {
  const u64 sets = envNumber("VELK_SCHED_SETS", 60);
  const u64 first = envNumber("VELK_SCHED_SEED", 1);
  u64 indexedSets = 0;
  u64 activations = 0;
  for (u64 seed = first; seed < first + sets; ++seed) {
    // Room for the library and about 60 nodes per instance.
    const u32 n = instancesOf(seed);
    ImageBuilder b(true, capacityFor(n));
    Draws draw(seed);
    const TaskSet set = generate(b, n, draw);
    // On odd seeds the reference also runs on the tree walker.
    const SetRuns runs = runBoth(b, set, seed % 2 == 1);
    const std::string& got = runs.indexed;
    const std::string& expected = runs.reference;
    ASSERT_EQ(runs.wasIndexed, !set.forcesWalk) << "seed " << seed;
    if (runs.wasIndexed) ++indexedSets;
    for (size_t at = got.find("STARTING_TASK"); at != std::string::npos;
         at = got.find("STARTING_TASK", at + 1)) {
      ++activations;
    }
    ASSERT_TRUE(got == expected) << "seed " << seed << ": " << firstDifference(got, expected);
  }
  std::printf("%llu sets compared (%llu indexed), %llu activations\n",
              static_cast<unsigned long long>(sets), static_cast<unsigned long long>(indexedSets),
              static_cast<unsigned long long>(activations));
}

}  // namespace
