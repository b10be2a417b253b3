// Evaluator throughput: a user function whose loop does integer arithmetic,
// called through interp_callFunction over and over. Prints calls and loop
// iterations per second of host time. Usage: interp_bench [calls].
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "image_builder.h"
#include "interp_api.h"

namespace {

constexpr u64 kIterations = 1000;

// arith(out uint64 : r) {
//   var uint64 : i = 0; var uint64 : acc = 7;
//   while (i < 1000) { acc = acc * 3 + (acc >> 2) ^ i; i = i + 1; }
//   r = acc;
// }
u32 buildArith(ImageBuilder& b) {
  const u32 r = 0, i = 1, acc = 2;  // parameters come first among the locals
  auto local = [&](u32 id) { return b.localRef(id); };
  AST* step = b.binary(
      BIT_XOR_OP, TypeUInt64,
      b.binary(PLUS_OP, TypeUInt64, b.binary(MUL_OP, TypeUInt64, local(acc), b.integer(3)),
               b.binary(BIT_RSHIFT_OP, TypeUInt64, local(acc), b.integer(2))),
      local(i));
  AST* body = b.block(nullptr, b.list({b.assign(local(acc), step),
                                       b.assign(local(i), b.binary(PLUS_OP, TypeUInt64, local(i),
                                                                   b.integer(1)))}));
  AST* loop = b.whileStatement(b.binary(LT_OP, TypeUInt64, local(i), b.integer(kIterations)), body);
  AST* declarations = b.list({b.varDecl(TypeUInt64, "i", b.integer(0)),
                              b.varDecl(TypeUInt64, "acc", b.integer(7))});
  AST* function = b.block(declarations, b.list({loop, b.assign(local(r), local(acc))}));
  return b.function("arith", b.list({b.param(OUT_PARAM, TypeUInt64, "r")}), function);
}

}  // namespace

int main(int argc, char** argv) {
  const u64 calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
  ImageBuilder b(false);
  const u32 function = buildArith(b);
  InterpEnv* env = b.writeAndLoad();
  interp_init(env);
  DataCell result = 0;
  TaggedValue argument{&result, TypeUInt64, NO_ID};
  const auto begin = std::chrono::steady_clock::now();
  for (u64 k = 0; k < calls; ++k) interp_callFunction(env, function, &argument);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
  std::printf("%" PRIu64 " calls (%" PRIu64 " loop iterations each) in %.3f s: %.0f calls/s, "
              "%.0f iterations/s (result %" PRIu64 ")\n",
              calls, kIterations, seconds.count(), static_cast<double>(calls) / seconds.count(),
              static_cast<double>(calls * kIterations) / seconds.count(), result);
  interp_stop(env);
  return 0;
}
