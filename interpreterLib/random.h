// Random values of every primitive type. Every generator draws from the one
// source of the environment, random_callback (an unsigned 64-bit number r per
// draw; the library default yields 0), and pushes its result on the value
// stack as a tagged value of the result type. The arithmetic is fixed so that
// a scripted source gives the same values on every platform.
//
// Argument conventions: float arguments must already have the generator's
// float type, except the Pareto scale, which may be any primitive value.
// Integer bounds may be any integer value that converts to the result type
// without overflow (same or wider precision, or narrowing in range). A
// violation is an internal error: reported through assert_callback, then the
// current run is abandoned (InterpAbort).
#pragma once
#include "interp_env.h"

// Seeding of the C library's generator (srand). The seed only matters to a
// source that draws from rand(), such as random_stdlibSource.
// Seeds with n and returns n.
u32 random_seed(u32 n);
// Seeds from the wall clock: (seconds mod 1000) * 1000000 + microseconds;
// returns the seed. An unreadable clock is reported ("can not get system
// time\n") and gives 0 without seeding.
u32 random_seedTime(InterpEnv* env);
// A source a host may install with env_on_random: 64 bits assembled from
// rand(), so that random_seed makes its draws repeatable.
u64 random_stdlibSource(InterpEnv* env);

// The xoshiro256** generator (Blackman and Vigna): 256 bits of state, 64-bit
// draws that pass the usual statistical batteries in every bit, period
// 2^256 - 1. A host keeps one per run and draws from it in its own random
// source; the same seed gives the same sequence on every platform.
struct RandomXoshiro256 {
  u64 state[4];
};
// The state for a seed: four outputs of splitmix64 started at the seed, so
// that nearby seeds give unrelated sequences and the state is never all zero.
RandomXoshiro256 random_xoshiroSeeded(u64 seed);
// The next draw; advances the state.
u64 random_xoshiroNext(RandomXoshiro256* generator);

// r / (2^64 - 1) in extended precision: [0, 1], both ends included.
long double uniform_0_1(InterpEnv* env);

// The lowest bit of r.
TaggedValue bool_randomUniform(InterpEnv* env);

// Uniform integer in [a, b] (result type of the name): a + r mod (b - a + 1),
// wrapping in the type's width; a when a >= b.
TaggedValue uInt8_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue sInt8_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue uInt16_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue sInt16_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue uInt32_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue sInt32_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue uInt64_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue sInt64_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b);
// The same for any integer type id (0 to 10), e.g. time64; the result is
// pushed with that type id.
TaggedValue random_uniformInteger(InterpEnv* env, u32 typeId, TaggedValue a, TaggedValue b);

// u * (b - a) + a with u = uniform_0_1, in the result's precision.
TaggedValue random_uniform_f32(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue random_uniform_f64(InterpEnv* env, TaggedValue a, TaggedValue b);

// Normal distribution by the ratio of uniforms; float32 mean and deviation.
TaggedValue random_gauss_f32(InterpEnv* env, TaggedValue mean, TaggedValue deviation);
// Exponential distribution, -ln(1 - u) / rate; float32 rate. A zero rate is
// reported ("Division by zero while random_exponential.\n", or "Invalid range
// while random_exponential.\n" when u = 0 makes it 0 / 0) and gives the IEEE
// quotient (infinity or NaN).
TaggedValue random_exponential_f32(InterpEnv* env, TaggedValue rate);

// Pareto distribution, scale / (1 - u')^(1 / shape) with u' in (0, 1]. args
// is the call's argument list: (shape) with scale 1, or (scale, shape).
TaggedValue random_pareto_f32(InterpEnv* env, AST* args);
TaggedValue random_pareto_f64(InterpEnv* env, AST* args);
// The same float, from a float32 (resp. float64) computation, converted with
// saturation to the unsigned result type (NaN gives 0).
TaggedValue uInt8_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt16_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt32_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt64_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt8_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt16_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt32_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape);
TaggedValue uInt64_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape);

// One enumerator of the enumeration type, index (low 32 bits of r) mod count;
// its value (the enumerator's symbol id) is pushed as uint32.
TaggedValue random_choiceUniformEnum(InterpEnv* env, u32 enumType);

// low + (low 32 bits of r) mod (high - low) when low < high, otherwise low.
u32 random_uniformSize(InterpEnv* env, u32 low, u32 high);
// An index in [0, size - 1]; 0 when size is 0.
u32 random_uniformSize(InterpEnv* env, u32 size);
