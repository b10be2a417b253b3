// Random generators over a scripted source: the results of the default source
// (every draw 0), the exact arithmetic of each generator for chosen draws, the
// number of draws each one takes, and the reports of bad arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "random.h"
#include "velk_typing.h"

namespace {

constexpr u64 MAX_DRAW = ~u64{0};
constexpr u64 HALF_DRAW = u64{1} << 63;  // uniform_0_1 rounds it to 0.5

// The scripted source: returns the queued draws in order; running out is a
// test failure (a generator drew more often than expected).
struct Script {
  std::vector<u64> draws;
  size_t next = 0;
  std::vector<std::string> asserts;
  int exits = 0;
};
Script script;

u64 scriptedDraw(InterpEnv*) {
  if (script.next >= script.draws.size()) {
    ADD_FAILURE() << "unexpected draw";
    return 0;
  }
  return script.draws[script.next++];
}
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  script.asserts.emplace_back(text);
}
void countExit(InterpEnv*, size_t, int) { ++script.exits; }

float f32Of(TaggedValue v) {
  float f;
  std::memcpy(&f, v.value, sizeof f);
  return f;
}
double f64Of(TaggedValue v) {
  double d;
  std::memcpy(&d, v.value, sizeof d);
  return d;
}

class RandomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    env = interp_create();
    hook(env);
  }
  void TearDown() override {
    interp_stop(loaded);
    interp_stop(env);
  }
  static void hook(InterpEnv* e) {
    env_on_assert(e, logAssert);
    env_on_exit(e, countExit);
  }
  // Installs the scripted source with these draws.
  void use(std::vector<u64> draws) {
    script.draws = std::move(draws);
    script.next = 0;
    env_on_random(env, scriptedDraw);
  }
  TaggedValue value(u32 typeId, u64 bits) { return interpStack_pushSingleAnyValue(env, typeId, bits); }
  TaggedValue f32(float f) { return interpStack_pushF32(env, f); }
  TaggedValue f64(double d) { return interpStack_pushF64(env, d); }

  InterpEnv* env = nullptr;
  InterpEnv* loaded = nullptr;  // an image-backed environment, when a test needs one
};

// The eight named integer generators, indexed by type id - TypeUInt8.
using IntegerGenerator = TaggedValue (*)(InterpEnv*, TaggedValue, TaggedValue);
constexpr IntegerGenerator INTEGER_GENERATORS[] = {
    uInt8_randomUniform,  sInt8_randomUniform,  uInt16_randomUniform, sInt16_randomUniform,
    uInt32_randomUniform, sInt32_randomUniform, uInt64_randomUniform, sInt64_randomUniform,
};

TEST_F(RandomTest, DefaultSourceGivesTheLowEnd) {
  for (u32 t = TypeUInt8; t <= TypeSInt64; ++t) {
    const u64 a = t % 2 ? integerTypeFirst(t) : 3;  // the minimum of signed types
    const TaggedValue r = INTEGER_GENERATORS[t - TypeUInt8](env, value(t, a), value(t, integerTypeLast(t)));
    EXPECT_EQ(r.typeId, t);
    EXPECT_EQ(*r.value, a) << "type " << t;
  }
  EXPECT_EQ(f32Of(random_uniform_f32(env, f32(-2.5f), f32(7.0f))), -2.5f);
  EXPECT_EQ(f64Of(random_uniform_f64(env, f64(1e300), f64(2e300))), 1e300);
  EXPECT_EQ(*bool_randomUniform(env).value, 0u);
  EXPECT_EQ(random_uniformSize(env, 4, 9), 4u);
  EXPECT_EQ(random_uniformSize(env, 9), 0u);
  EXPECT_EQ(uniform_0_1(env), 0.0L);
  // u = 0: the ratio of uniforms is accepted and gives -K / 0.
  EXPECT_EQ(f32Of(random_gauss_f32(env, f32(0.0f), f32(1.0f))), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(f32Of(random_exponential_f32(env, f32(3.0f))), 0.0f);
  EXPECT_TRUE(script.asserts.empty());
}

struct UniformCase {
  u32 type;
  u64 a, b;  // bit patterns in the type's width
  std::vector<u64> draws;
  u64 expected;
};

TEST_F(RandomTest, IntegerUniformArithmetic) {
  const UniformCase cases[] = {
      {TypeUInt8, 10, 10, {}, 10},                  // a == b: no draw
      {TypeUInt8, 20, 10, {}, 20},                  // a > b gives a
      {TypeSInt32, 5, 0xFFFFFFFB, {}, 5},           // 5 > -5 compared signed
      {TypeUInt32, 0xFFFFFFFB, 5, {}, 0xFFFFFFFB},  // compared unsigned
      {TypeUInt32, 5, 9, {7}, 7},
      {TypeUInt32, 5, 9, {4}, 9},  // b is drawn like any other value
      {TypeSInt8, 0x80, 0x7F, {0}, 0x80},
      {TypeSInt8, 0x80, 0x7F, {255}, 0x7F},
      {TypeSInt8, 0x80, 0x7F, {256 + 128}, 0},
      {TypeSInt16, 0xFFFD, 3, {10}, 0},  // -3 + 10 mod 7
      {TypeUInt64, 0, MAX_DRAW, {0xDEADBEEF12345678}, 0xDEADBEEF12345678},
      {TypeSInt64, HALF_DRAW, HALF_DRAW - 1, {HALF_DRAW}, 0},  // full range: a + r, wrapped
      {TypeUInt64, 100, MAX_DRAW - 1, {MAX_DRAW}, 100 + MAX_DRAW % (MAX_DRAW - 100)},
  };
  for (const UniformCase& c : cases) {
    use(c.draws);
    const TaggedValue r = INTEGER_GENERATORS[c.type - TypeUInt8](env, value(c.type, c.a), value(c.type, c.b));
    EXPECT_EQ(*r.value, c.expected) << "type " << c.type << " [" << c.a << ", " << c.b << "]";
    EXPECT_EQ(script.next, c.draws.size());
  }
}

TEST_F(RandomTest, Int8FullRangeReachesEveryValue) {
  std::vector<bool> seen(256);
  for (u64 r = 0; r < 256; ++r) {
    use({r});
    const u32 mark = interpStack_mark(env);
    seen[*sInt8_randomUniform(env, value(TypeSInt8, 0x80), value(TypeSInt8, 0x7F)).value] = true;
    interpStack_release(env, mark);
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST_F(RandomTest, IntegerBoundsConvertToTheResultType) {
  // Wider in-range bounds and time64 through the generic entry.
  use({1000});
  EXPECT_EQ(*uInt8_randomUniform(env, value(TypeSInt64, 7), value(TypeUInt32, 200)).value, 7u + 1000 % 194);
  use({5});
  const TaggedValue t = random_uniformInteger(env, TypeTime, value(TypeTime, 10), value(TypeUInt8, 20));
  EXPECT_EQ(t.typeId, TypeTime);
  EXPECT_EQ(*t.value, 15u);

  // An overflowing bound or a float bound is an internal error.
  EXPECT_THROW(uInt8_randomUniform(env, value(TypeUInt16, 300), value(TypeUInt8, 1)), InterpAbort);
  EXPECT_THROW(sInt32_randomUniform(env, f32(1.0f), value(TypeSInt32, 1)), InterpAbort);
  EXPECT_THROW(uInt16_randomUniform(env, value(TypeUInt16, 1), value(TypeSInt8, 0xFF)), InterpAbort);
  EXPECT_EQ(script.asserts, (std::vector<std::string>{
                                "CAT(primTypeTo, CAP_TYPE(uInt8))(val, &res) & expectedConvRes",
                                "CAT(primTypeTo, CAP_TYPE(sInt32))(val, &res) & expectedConvRes",
                                "CAT(primTypeTo, CAP_TYPE(uInt16))(val, &res) & expectedConvRes"}));
}

TEST_F(RandomTest, BoolAndUnitInterval) {
  use({3, 2, MAX_DRAW, HALF_DRAW});
  EXPECT_EQ(*bool_randomUniform(env).value, 1u);
  EXPECT_EQ(*bool_randomUniform(env).value, 0u);
  EXPECT_EQ(uniform_0_1(env), 1.0L);
  EXPECT_NEAR(static_cast<double>(uniform_0_1(env)), 0.5, 1e-18);
}

TEST_F(RandomTest, FloatUniformArithmetic) {
  use({MAX_DRAW, HALF_DRAW, HALF_DRAW, MAX_DRAW});
  EXPECT_EQ(f32Of(random_uniform_f32(env, f32(2.0f), f32(6.0f))), 6.0f);  // u = 1 gives b
  EXPECT_EQ(f32Of(random_uniform_f32(env, f32(2.0f), f32(6.0f))), 4.0f);
  EXPECT_EQ(f64Of(random_uniform_f64(env, f64(-1.0), f64(-3.0))), -2.0);  // b < a is allowed
  const TaggedValue r = random_uniform_f64(env, f64(0.0), f64(1e308));
  EXPECT_EQ(r.typeId, TypeF64);
  EXPECT_EQ(f64Of(r), 1e308);

  // The bounds must already be of the float type.
  EXPECT_THROW(random_uniform_f32(env, f64(1.0), f32(2.0f)), InterpAbort);
  EXPECT_THROW(random_uniform_f64(env, f64(1.0), value(TypeUInt32, 2)), InterpAbort);
  EXPECT_EQ(script.asserts, std::vector<std::string>(2, "expectedConvResult != CONV_NONE"));
}

TEST_F(RandomTest, GaussRejectsUntilThePairFits) {
  // (u, v) = (1, K) is rejected (-4 ln 1 = 0 < K^2); (0.5, K / 2) is accepted
  // and gives v / u = K.
  const u64 threeQuarters = 0xBFFFFFFFFFFFFFFF;
  use({MAX_DRAW, MAX_DRAW, HALF_DRAW, threeQuarters});
  const float k = static_cast<float>(std::sqrt(2.0 / std::exp(1.0)));
  EXPECT_FLOAT_EQ(f32Of(random_gauss_f32(env, f32(1.0f), f32(2.0f))), 1.0f + 2.0f * k);
  EXPECT_EQ(script.next, 4u);
}

TEST_F(RandomTest, ExponentialDrawsAgainForOne) {
  use({MAX_DRAW, HALF_DRAW});
  EXPECT_FLOAT_EQ(f32Of(random_exponential_f32(env, f32(2.0f))), static_cast<float>(std::log(2.0) / 2));
  EXPECT_EQ(script.next, 2u);
  EXPECT_EQ(script.exits, 0);
}

TEST_F(RandomTest, ExponentialZeroRateIsReported) {
  use({HALF_DRAW, 0});
  testing::internal::CaptureStdout();
  EXPECT_EQ(f32Of(random_exponential_f32(env, f32(0.0f))), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(f32Of(random_exponential_f32(env, f32(0.0f)))));  // u = 0: 0 / 0
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Division by zero while random_exponential.\n"
            "Invalid range while random_exponential.\n");
  EXPECT_EQ(script.exits, 2);
  EXPECT_THROW(random_exponential_f32(env, f64(1.0)), InterpAbort);
}

struct ParetoCase {
  float scale, shape;
  u64 draw;
  float expected;
};

TEST_F(RandomTest, ParetoIntegerArithmeticAndSaturation) {
  const float inf = std::numeric_limits<float>::infinity();
  // u' is 2^-64 for r = 0 (1 - u' rounds to 1), 0.5 for r = 2^63, 1 for the
  // largest r (whose float is 2^64).
  const ParetoCase cases[] = {
      {7.0f, 1.0f, 0, 7.0f},
      {3.0f, 1.0f, HALF_DRAW, 6.0f},
      {3.0f, 0.5f, HALF_DRAW, 12.0f},
      {3.0f, 1.0f, MAX_DRAW, inf},
      {3.0f, 0.0f, HALF_DRAW, inf},  // 1 / shape is +inf: 0.5^inf = 0
      {3.0f, 0.0f, 0, 3.0f},         // 1^inf = 1
      {-3.0f, 1.0f, HALF_DRAW, -6.0f},
  };
  for (const ParetoCase& c : cases) {
    const u64 sat32 = std::isinf(c.expected) ? integerTypeLast(TypeUInt32)
                                              : static_cast<u64>(std::max(c.expected, 0.0f));
    use({c.draw, c.draw});
    TaggedValue r = uInt32_random_pareto_f32(env, f32(c.scale), f32(c.shape));
    EXPECT_EQ(r.typeId, TypeUInt32);
    EXPECT_EQ(*r.value, sat32) << c.scale << " " << c.shape << " " << c.draw;
    r = uInt64_random_pareto_f64(env, f64(c.scale), f64(c.shape));
    EXPECT_EQ(*r.value, std::isinf(c.expected) ? MAX_DRAW : sat32);
  }
  // Saturation at the maximum of narrow types; the scale may be any primitive.
  use({0, MAX_DRAW, 0});
  EXPECT_EQ(*uInt8_random_pareto_f32(env, value(TypeUInt16, 300), f32(1.0f)).value, 255u);
  EXPECT_EQ(*uInt16_random_pareto_f64(env, value(TypeSInt8, 5), f64(2.0)).value, 65535u);
  EXPECT_EQ(*uInt8_random_pareto_f64(env, value(TypeBoolean, 1), f64(2.0)).value, 1u);
  EXPECT_THROW(uInt8_random_pareto_f32(env, f32(1.0f), f64(1.0)), InterpAbort);
}

TEST_F(RandomTest, UniformSizeBounds) {
  struct Case {
    u32 low, high;
    std::vector<u64> draws;
    u32 expected;
  };
  const Case cases[] = {
      {5, 5, {}, 5},
      {7, 3, {}, 7},
      {0, 10, {23}, 3},
      {10, 20, {0x100000005}, 15},  // only the low 32 bits count
      {0, 0xFFFFFFFF, {0xFFFFFFFF}, 0},
      {0xFFFFFFFE, 0xFFFFFFFF, {12345}, 0xFFFFFFFE},
  };
  for (const Case& c : cases) {
    use(c.draws);
    EXPECT_EQ(random_uniformSize(env, c.low, c.high), c.expected) << c.low << " " << c.high;
    EXPECT_EQ(script.next, c.draws.size());
  }
  use({7});
  EXPECT_EQ(random_uniformSize(env, 4), 3u);
  EXPECT_EQ(random_uniformSize(env, 0), 0u);
}

TEST_F(RandomTest, SeedMakesTheStdlibSourceRepeatable) {
  env_on_random(env, random_stdlibSource);
  EXPECT_EQ(random_seed(42), 42u);
  const u64 first = random_stdlibSource(env);
  const u64 second = random_stdlibSource(env);
  random_seed(42);
  EXPECT_EQ(random_stdlibSource(env), first);
  EXPECT_EQ(random_stdlibSource(env), second);

  const u32 seed = random_seedTime(env);
  EXPECT_LT(seed, 1000000000u);
  const u64 timed = random_stdlibSource(env);
  random_seed(seed);
  EXPECT_EQ(random_stdlibSource(env), timed);
}

// Images with an enumeration and float literals.
class RandomImageTest : public RandomTest {
 protected:
  void load() {
    loaded = b.writeAndLoad();
    hook(loaded);
    env_on_random(loaded, scriptedDraw);
  }
  AST* loadedNode(AST* builderNode) { return AST_fromId(loaded->program, AST_id(b.p, builderNode)); }
  ImageBuilder b{false};
};

TEST_F(RandomImageTest, EnumChoiceTakesTheLow32BitsModuloTheCount) {
  const u32 colour = b.enumType("Colour", {"Red", "Green", "Blue"});
  const u32 empty = b.enumType("Empty", {});
  load();
  const u32 expectedByIndex[] = {b.symbol("Red"), b.symbol("Green"), b.symbol("Blue")};
  const u64 draws[] = {0, 4, 0x100000002, 0xFFFFFFFF};  // indexes 0, 1, 2, 0
  script.draws.assign(std::begin(draws), std::end(draws));
  for (u32 i = 0; i < 4; ++i) {
    const TaggedValue r = random_choiceUniformEnum(loaded, colour);
    EXPECT_EQ(r.typeId, TypeUInt32);
    EXPECT_EQ(*r.value, expectedByIndex[i == 3 ? 0 : i]) << "draw " << i;
  }
  EXPECT_THROW(random_choiceUniformEnum(loaded, empty), InterpAbort);
  EXPECT_THROW(random_choiceUniformEnum(loaded, loaded->program->infoProg->n_type), InterpAbort);
  EXPECT_EQ(script.asserts, (std::vector<std::string>{"env->program->typeTable[enumType].fields != 0",
                                                      "enumType < env->program->infoProg->n_type"}));
}

TEST_F(RandomImageTest, EnumChoiceWithTheDefaultSourceIsTheFirst) {
  const u32 colour = b.enumType("Colour", {"Red", "Green"});
  load();
  env_on_random(loaded, nullptr);
  EXPECT_EQ(*random_choiceUniformEnum(loaded, colour).value, b.symbol("Red"));
}

TEST_F(RandomImageTest, ParetoFloatArguments) {
  AST* shapeOnly = b.list({b.f32(1.0f)});
  AST* scaleShape = b.list({b.f32(3.0f), b.f32(2.0f)});
  AST* scaleShape64 = b.list({b.f64(3.0), b.f64(0.5)});
  AST* quarter64 = b.list({b.f64(1.0)});
  load();
  script.draws = {0, HALF_DRAW, HALF_DRAW, HALF_DRAW, u64{1} << 62, MAX_DRAW};
  EXPECT_EQ(f32Of(random_pareto_f32(loaded, loadedNode(shapeOnly))), 1.0f);  // default scale
  EXPECT_EQ(f32Of(random_pareto_f32(loaded, loadedNode(shapeOnly))), 2.0f);
  EXPECT_FLOAT_EQ(f32Of(random_pareto_f32(loaded, loadedNode(scaleShape))), 3.0f / std::sqrt(0.5f));
  EXPECT_EQ(f64Of(random_pareto_f64(loaded, loadedNode(scaleShape64))), 12.0);
  EXPECT_DOUBLE_EQ(f64Of(random_pareto_f64(loaded, loadedNode(quarter64))), 1.0 / 0.75);
  EXPECT_EQ(f64Of(random_pareto_f64(loaded, loadedNode(quarter64))), std::numeric_limits<double>::infinity());
  EXPECT_EQ(script.next, script.draws.size());

  EXPECT_THROW(random_pareto_f32(loaded, nullptr), InterpAbort);
  EXPECT_THROW(random_pareto_f64(loaded, loadedNode(shapeOnly)), InterpAbort);  // float32 shape
  EXPECT_EQ(script.asserts, (std::vector<std::string>{"AST_listSize(args)>0",
                                                      "expectedConvResult != CONV_NONE"}));
}

}  // namespace
