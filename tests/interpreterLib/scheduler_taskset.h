// Random task sets for the scheduler: a generator that builds a program of
// periodic, triggered and gated instances with the host calls to drive it, and
// a runner that plays the calls on an environment, indexed or through the
// walking reference, and returns everything a user or host could observe
// (trace lines, callbacks, next hits, records). The randomized comparison
// test and the scheduler fuzz target both use them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image_builder.h"
#include "interp_env.h"

namespace sched_taskset {

enum class Call { RunUntil, RunFor, Step, NextHit, Pause, Policy, ReadRecord, WritePriority };
struct HostCall {
  Call call;
  u64 value;
  u32 instance;
};

struct TaskSet {
  std::vector<HostCall> calls;
  bool forcesWalk = false;
};

// Where the generator's choices come from: the given bytes, eight at a time,
// while they last (a fuzzer steers the set through them), then a generator
// seeded with `seed`.
class Draws {
 public:
  explicit Draws(u64 seed, const uint8_t* bytes = nullptr, size_t size = 0)
      : rng_(seed), bytes_(bytes), size_(size) {}
  u64 operator()();

 private:
  std::mt19937_64 rng_;
  const uint8_t* bytes_;
  size_t size_;
};

// The number of instances of set `seed`: mostly a few, sometimes the
// library's whole capacity.
u32 instancesOf(u64 seed);
// Node capacity an image builder needs for a set of n instances.
inline u32 capacityFor(u32 n) { return 12000 + 60 * n; }

// Builds a program of n instances into b, its choices drawn from draw, and
// returns its host calls.
TaskSet generate(ImageBuilder& b, u32 n, Draws& draw);

// Runs the set on env, through the walking reference or not, and returns
// everything observed.
std::string runSet(InterpEnv* env, const TaskSet& set, bool reference);

// Both runs of a set, each on a fresh load of the builder's image.
struct SetRuns {
  std::string indexed;
  std::string reference;
  bool wasIndexed = false;  // whether the scheduler kept its index
};
// Runs the set indexed, then through the walking reference; with
// treeReference the reference also evaluates on the tree walker, which enters
// every activation the general way, so the shortcuts the indexed run takes for
// repeated activations are checked against it too.
SetRuns runBoth(ImageBuilder& b, const TaskSet& set, bool treeReference);

// The first line where two outputs differ, for a failure message.
std::string firstDifference(const std::string& indexed, const std::string& reference);

}  // namespace sched_taskset
