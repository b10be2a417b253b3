// Scheduler throughput: 10, 100 and 1000 periodic instances of a process
// whose only state increments a global, run in simulated time until about a
// million activations have happened for each size. Prints activations per
// second of host time. Usage: scheduler_bench [activations per size].
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.h"
#include "interp_api.h"
#include "scheduler.h"

namespace {

constexpr u64 kPeriod = 1000000000ull;  // 1 ms in ps

u64 gActivations = 0;

void countActivation(InterpEnv*, TaggedValue, u32 phase) {
  if (phase == 0) ++gActivations;
}

// n instances with a 1 ms period, their offsets spread over the period so
// that each choice sees a different mix of due and pending instances.
InterpEnv* buildProgram(ImageBuilder& b, u32 n) {
  const u32 counter = b.global("counter", TypeUInt64);
  AST* increment =
      b.assign(b.globalRef(counter),
               b.binary(PLUS_OP, TypeUInt64, b.globalRef(counter), b.integer(1)));
  const u32 definition = b.processDefinition(
      "Work", {.states = b.list({b.state("run", b.block(nullptr, b.list({increment})))})});
  for (u32 i = 0; i < n; ++i) {
    std::string name = "w";
    name += std::to_string(i);
    b.globalInstance(name, definition, b.node(FREQUENCY_OP, kPeriod),
                     b.node(FREQUENCY_OP, kPeriod / n * i));
  }
  InterpEnv* env = b.writeAndLoad();
  env_on_any_task_activation(env, countActivation);
  interp_init(env);
  if (env->ctx->scheduler == nullptr) scheduler_startup(env);
  return env;
}

void runSize(u32 n, u64 target) {
  ImageBuilder b;
  InterpEnv* env = buildProgram(b, n);
  gActivations = 0;
  const u64 periods = (target + n - 1) / n;
  const auto begin = std::chrono::steady_clock::now();
  // Each period is its own host call, as a host stepping in real time would do.
  for (u64 k = 1; k <= periods; ++k) interp_run_until(env, k * kPeriod - 1);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
  std::printf("%5u instances: %9" PRIu64 " activations in %7.3f s: %12.0f activations/s\n", n,
              gActivations, seconds.count(), static_cast<double>(gActivations) / seconds.count());
  scheduler_free(env);
  interp_stop(env);
}

}  // namespace

int main(int argc, char** argv) {
  u64 target = 1000000;
  if (argc > 1) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || value == 0) {
      std::fprintf(stderr, "usage: %s [activations per size]\n", argv[0]);
      return 2;
    }
    target = value;
  }
  for (u32 n : {10u, 100u, 1000u}) runSize(n, target);
  return 0;
}
