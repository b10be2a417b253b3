#include "random.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "expression.h"
#include "interp_stack.h"
#include "velk_typing.h"

namespace {

// sqrt(2 / e): the bound of v in the ratio-of-uniforms method.
constexpr double GAUSS_K = 0.8577638849607068;
// 2^-64: maps a 64-bit draw plus one onto (0, 1].
constexpr float TWO_POW_MINUS_64_F = 0x1p-64f;
constexpr double TWO_POW_MINUS_64 = 0x1p-64;

u64 draw(InterpEnv* env) { return env->ctx->random_callback(env); }

// The quotient IEEE arithmetic defines, without dividing by zero: a zero
// divisor gives an infinity signed by both operands, or NaN for 0 / 0 and NaN.
template <class F>
F ieeeQuotient(F numerator, F denominator) {
  if (denominator != 0) return numerator / denominator;
  if (std::isnan(numerator) || numerator == 0) return std::numeric_limits<F>::quiet_NaN();
  const F inf = std::numeric_limits<F>::infinity();
  return std::signbit(numerator) != std::signbit(denominator) ? -inf : inf;
}

// Extended precision to a narrower float, rounding to nearest. Magnitudes from
// halfway between the target's largest finite value and the next power of two
// round to infinity; they are mapped explicitly so no conversion leaves the
// target's range.
template <class F>
F narrowFrom(long double x) {
  constexpr int digits = std::numeric_limits<F>::digits;
  constexpr int maxExponent = std::numeric_limits<F>::max_exponent;
  const long double overflow = std::ldexp(1.0L, maxExponent) - std::ldexp(1.0L, maxExponent - digits - 1);
  if (x >= overflow) return std::numeric_limits<F>::infinity();
  if (x <= -overflow) return -std::numeric_limits<F>::infinity();
  return static_cast<F>(x);
}

// Float arguments: the value must already have the float type, or (the Pareto
// scale) be any primitive value. Checked here so that a wrong argument is
// reported through the environment instead of aborting the process.
float argF32(InterpEnv* env, TaggedValue value) {
  INTERP_ASSERT_TEXT(env, value.typeId == TypeF32 && value.value != nullptr,
                     "expectedConvResult != CONV_NONE");
  return TaggedValue_asF32(value, CONV_NONE);
}

double argF64(InterpEnv* env, TaggedValue value) {
  INTERP_ASSERT_TEXT(env, value.typeId == TypeF64 && value.value != nullptr,
                     "expectedConvResult != CONV_NONE");
  return TaggedValue_asF64(value, CONV_NONE);
}

void checkPrimitive(InterpEnv* env, TaggedValue value) {
  const bool primitive = isIntType(value.typeId) || value.typeId == TypeBoolean ||
                         value.typeId == TypeF32 || value.typeId == TypeF64;
  INTERP_ASSERT_TEXT(env, primitive && value.value != nullptr, "isIntType(val.typeId)");
}

float anyF32(InterpEnv* env, TaggedValue value) {
  checkPrimitive(env, value);
  return TaggedValue_asF32(value, CONV_PRIMTYPE);
}

double anyF64(InterpEnv* env, TaggedValue value) {
  checkPrimitive(env, value);
  return TaggedValue_asF64(value, CONV_PRIMTYPE);
}

// Integer bounds go through the conversion of the TaggedValue_as function of
// the result type: Natural and time64 through uint64, Signed_Integer through
// int64.
u32 boundConversionType(u32 typeId) {
  switch (typeId) {
    case TypeInt:
    case TypeTime:
      return TypeUInt64;
    case TypeSInt:
      return TypeSInt64;
    default:
      return typeId;
  }
}

const char* boundConversionText(u32 conversionType) {
  static const char* const texts[] = {
      "CAT(primTypeTo, CAP_TYPE(uInt8))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(sInt8))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(uInt16))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(sInt16))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(uInt32))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(sInt32))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(uInt64))(val, &res) & expectedConvRes",
      "CAT(primTypeTo, CAP_TYPE(sInt64))(val, &res) & expectedConvRes",
  };
  return texts[conversionType - TypeUInt8];
}

// The bound as a bit pattern in the result type's width (zero-extended).
u64 integerBound(InterpEnv* env, u32 typeId, TaggedValue value) {
  const u32 conversionType = boundConversionType(typeId);
  u32 res = CONV_NOT_CONVERTIBLE;
  u64 bits = 0;
  if (isIntType(value.typeId) && value.value != nullptr) {
    bits = primTypeToInteger(value, conversionType, &res);
  }
  INTERP_ASSERT_TEXT(env, (res & CONV_UNSAFE) != 0, boundConversionText(conversionType));
  return bits & integerTypeMask(typeId);
}

// The bit pattern of a signed type's value, sign-extended to 64 bits.
s64 signExtended(u64 bits, u32 typeId) {
  const u64 mask = integerTypeMask(typeId);
  return static_cast<s64>(bits > integerTypeLast(typeId) ? bits | ~mask : bits);
}

// Every value of [a, b] is reachable: the offset is r modulo the count of
// values, or r itself when the range covers all 64 bits.
u64 uniformBits(InterpEnv* env, u32 typeId, u64 a, u64 b) {
  const bool less = isSignedIntType(typeId) ? signExtended(a, typeId) < signExtended(b, typeId)
                                            : a < b;
  if (!less) return a;
  const u64 mask = integerTypeMask(typeId);
  const u64 range = (b - a) & mask;
  const u64 r = draw(env);
  const u64 offset = range == ~u64{0} ? r : r % (range + 1);
  return (a + offset) & mask;
}

// u' = (r as float32, unsigned) + 1, times 2^-64, in (0, 1]; then
// scale / (1 - u')^(1 / shape) in the precision F. A zero shape makes the
// exponent an infinity and a zero power makes the result an infinity (or NaN),
// as IEEE division would.
float paretoF32(InterpEnv* env, float scale, float shape) {
  const float r = static_cast<float>(draw(env));
  const float u = (r + 1.0f) * TWO_POW_MINUS_64_F;
  const float power = std::pow(1.0f - u, ieeeQuotient(1.0f, shape));
  return ieeeQuotient(scale, power);
}

double paretoF64(InterpEnv* env, double scale, double shape) {
  const float r = static_cast<float>(draw(env));
  const double u = (static_cast<double>(r) + 1.0) * TWO_POW_MINUS_64;
  const double power = std::pow(1.0 - u, ieeeQuotient(1.0, shape));
  return ieeeQuotient(scale, power);
}

// Scale and shape of a float Pareto call from its one or two arguments,
// evaluated in order.
struct ParetoArguments {
  TaggedValue scale;  // typeId NO_ID: the default scale 1.0
  TaggedValue shape;
};

ParetoArguments paretoArguments(InterpEnv* env, AST* args) {
  const u32 count = args == nullptr ? 0 : AST_listSize(env->program, args);
  INTERP_ASSERT_TEXT(env, count > 0, "AST_listSize(args)>0");
  INTERP_ASSERT_TEXT(env, count <= 2, "AST_listSize(args)<=2");
  ParetoArguments result{TaggedValue{nullptr, NO_ID, NO_ID}, TaggedValue{}};
  if (count == 2) result.scale = expr_execute(env, AST_getListNth(env->program, args, 0));
  result.shape = expr_execute(env, AST_getListNth(env->program, args, count - 1));
  return result;
}

// The float result converted to the unsigned type with saturation.
template <class F>
TaggedValue pushSaturated(InterpEnv* env, u32 typeId, F value) {
  DataCell cell = 0;
  std::memcpy(&cell, &value, sizeof value);
  const TaggedValue source{&cell, sizeof(F) == sizeof(float) ? TypeF32 : TypeF64, NO_ID};
  return interpStack_pushSingleAnyValue(env, typeId, primTypeToInteger(source, typeId, nullptr));
}

TaggedValue paretoIntegerF32(InterpEnv* env, u32 typeId, TaggedValue scale, TaggedValue shape) {
  const float s = anyF32(env, scale);
  const float k = argF32(env, shape);
  return pushSaturated(env, typeId, paretoF32(env, s, k));
}

TaggedValue paretoIntegerF64(InterpEnv* env, u32 typeId, TaggedValue scale, TaggedValue shape) {
  const double s = anyF64(env, scale);
  const double k = argF64(env, shape);
  return pushSaturated(env, typeId, paretoF64(env, s, k));
}

// The enumerator node (FIELD_STATEMENT) at index of the type's field list.
const AST* enumeratorAt(InterpEnv* env, const AST* fields, u32 index) {
  const AST* field = AST_getListNth(env->program, fields, index);
  INTERP_ASSERT(env, field != nullptr && field->op == FIELD_STATEMENT);
  const AST* symbol = AST_left(env->program, field);
  INTERP_ASSERT(env, symbol != nullptr && symbol->op == SYM);
  return symbol;
}

}  // namespace

u32 random_seed(u32 n) {
  std::srand(n);
  return n;
}

u32 random_seedTime(InterpEnv* env) {
  std::timespec now{};
  if (std::timespec_get(&now, TIME_UTC) == 0) {
    interp_failure(env, "can not get system time\n");
    return 0;
  }
  // A clock set before 1970 gives a negative remainder: fold it into 0..999.
  const u32 seconds = static_cast<u32>((now.tv_sec % 1000 + 1000) % 1000);
  const u32 microseconds = static_cast<u32>(now.tv_nsec / 1000);
  const u32 seed = seconds * 1000000u + microseconds;
  std::srand(seed);
  return seed;
}

u64 random_stdlibSource(InterpEnv*) {
  // RAND_MAX is only guaranteed to be at least 2^15 - 1: five draws of 15 bits.
  u64 bits = 0;
  for (int i = 0; i < 5; ++i) bits = (bits << 15) ^ static_cast<u64>(std::rand() & 0x7FFF);
  return bits;
}

RandomXoshiro256 random_xoshiroSeeded(u64 seed) {
  RandomXoshiro256 generator{};
  u64 x = seed;
  for (u64& word : generator.state) {
    // splitmix64: a Weyl sequence through a 64-bit finaliser.
    x += 0x9E3779B97F4A7C15ull;
    u64 z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    word = z ^ (z >> 31);
  }
  return generator;
}

u64 random_xoshiroNext(RandomXoshiro256* generator) {
  u64* s = generator->state;
  const auto rotl = [](u64 x, int k) { return (x << k) | (x >> (64 - k)); };
  const u64 result = rotl(s[1] * 5, 7) * 9;
  const u64 t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

long double uniform_0_1(InterpEnv* env) {
  // Both operands are exact in the 64-bit significand of the extended format.
  return static_cast<long double>(draw(env)) / static_cast<long double>(~u64{0});
}

TaggedValue bool_randomUniform(InterpEnv* env) {
  return interpStack_pushBoolean(env, (draw(env) & 1) != 0);
}

TaggedValue random_uniformInteger(InterpEnv* env, u32 typeId, TaggedValue a, TaggedValue b) {
  INTERP_ASSERT(env, isIntType(typeId));
  const u64 low = integerBound(env, typeId, a);
  const u64 high = integerBound(env, typeId, b);
  return interpStack_pushSingleAnyValue(env, typeId, uniformBits(env, typeId, low, high));
}

TaggedValue uInt8_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeUInt8, a, b);
}
TaggedValue sInt8_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeSInt8, a, b);
}
TaggedValue uInt16_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeUInt16, a, b);
}
TaggedValue sInt16_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeSInt16, a, b);
}
TaggedValue uInt32_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeUInt32, a, b);
}
TaggedValue sInt32_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeSInt32, a, b);
}
TaggedValue uInt64_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeUInt64, a, b);
}
TaggedValue sInt64_randomUniform(InterpEnv* env, TaggedValue a, TaggedValue b) {
  return random_uniformInteger(env, TypeSInt64, a, b);
}

TaggedValue random_uniform_f32(InterpEnv* env, TaggedValue a, TaggedValue b) {
  const float low = argF32(env, a);
  const float high = argF32(env, b);
  const float u = static_cast<float>(uniform_0_1(env));  // in [0, 1]: always representable
  return interpStack_pushF32(env, u * (high - low) + low);
}

TaggedValue random_uniform_f64(InterpEnv* env, TaggedValue a, TaggedValue b) {
  const double low = argF64(env, a);
  const double high = argF64(env, b);
  const double u = static_cast<double>(uniform_0_1(env));
  return interpStack_pushF64(env, u * (high - low) + low);
}

TaggedValue random_gauss_f32(InterpEnv* env, TaggedValue mean, TaggedValue deviation) {
  const float m = argF32(env, mean);
  const float d = argF32(env, deviation);
  long double u;
  long double v;
  // u = 0 makes the test NaN (0 * -inf), which accepts the pair: the ratio is
  // then an infinity, or NaN when v is 0 too.
  do {
    u = uniform_0_1(env);
    v = GAUSS_K * (2 * uniform_0_1(env) - 1);
  } while (-4 * u * u * std::log(u) < v * v);
  const float ratio = narrowFrom<float>(ieeeQuotient(v, u));
  return interpStack_pushF32(env, ratio * d + m);
}

TaggedValue random_exponential_f32(InterpEnv* env, TaggedValue rate) {
  const float lambda = argF32(env, rate);
  long double u;
  do {
    u = uniform_0_1(env);
  } while (u == 1.0L);
  std::feclearexcept(FE_ALL_EXCEPT);
  const long double logarithm = std::log(1.0L - u);
  int errors = std::fetestexcept(FE_INVALID | FE_DIVBYZERO);
  const long double divisor = -static_cast<long double>(lambda);
  // A zero rate is the case that actually fails (1 - u is never 0 here): the
  // division raises the flag IEEE arithmetic would, without being performed.
  if (divisor == 0 && !std::isnan(logarithm)) errors |= logarithm == 0 ? FE_INVALID : FE_DIVBYZERO;
  const long double x = ieeeQuotient(logarithm, divisor);
  if (errors & FE_INVALID) {
    interp_failure(env, "Invalid range while random_exponential.\n");
  } else if (errors & FE_DIVBYZERO) {
    interp_failure(env, "Division by zero while random_exponential.\n");
  }
  return interpStack_pushF32(env, narrowFrom<float>(x));
}

TaggedValue random_pareto_f32(InterpEnv* env, AST* args) {
  const ParetoArguments a = paretoArguments(env, args);
  const float scale = a.scale.typeId == NO_ID ? 1.0f : anyF32(env, a.scale);
  const float shape = argF32(env, a.shape);
  return interpStack_pushF32(env, paretoF32(env, scale, shape));
}

TaggedValue random_pareto_f64(InterpEnv* env, AST* args) {
  const ParetoArguments a = paretoArguments(env, args);
  const double scale = a.scale.typeId == NO_ID ? 1.0 : anyF64(env, a.scale);
  const double shape = argF64(env, a.shape);
  return interpStack_pushF64(env, paretoF64(env, scale, shape));
}

TaggedValue uInt8_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF32(env, TypeUInt8, scale, shape);
}
TaggedValue uInt16_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF32(env, TypeUInt16, scale, shape);
}
TaggedValue uInt32_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF32(env, TypeUInt32, scale, shape);
}
TaggedValue uInt64_random_pareto_f32(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF32(env, TypeUInt64, scale, shape);
}
TaggedValue uInt8_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF64(env, TypeUInt8, scale, shape);
}
TaggedValue uInt16_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF64(env, TypeUInt16, scale, shape);
}
TaggedValue uInt32_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF64(env, TypeUInt32, scale, shape);
}
TaggedValue uInt64_random_pareto_f64(InterpEnv* env, TaggedValue scale, TaggedValue shape) {
  return paretoIntegerF64(env, TypeUInt64, scale, shape);
}

TaggedValue random_choiceUniformEnum(InterpEnv* env, u32 enumType) {
  const program* p = env->program;
  INTERP_ASSERT_TEXT(env, enumType < p->infoProg->n_type,
                     "enumType < env->program->infoProg->n_type");
  const u32 fields = p->typeTable[enumType].fields;
  INTERP_ASSERT_TEXT(env, fields != NO_ID && fields < p->infoProg->n_AST,
                     "env->program->typeTable[enumType].fields != 0");
  const AST* list = AST_fromId(p, fields);
  const u32 count = AST_listSize(p, list);
  INTERP_ASSERT(env, count > 0);
  const u32 index = static_cast<u32>(draw(env)) % count;
  return interpStack_pushUInt32(env, enumeratorAt(env, list, index)->value.id.id);
}

u32 random_uniformSize(InterpEnv* env, u32 low, u32 high) {
  if (low >= high) return low;
  return low + static_cast<u32>(draw(env)) % (high - low);
}

u32 random_uniformSize(InterpEnv* env, u32 size) { return random_uniformSize(env, 0, size); }
