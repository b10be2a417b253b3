// The seeded source: the generator against its published reference outputs,
// and every random function drawing from it checked for the distribution it
// promises (means, spreads and bucket counts over many draws of one seed).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "random.h"
#include "velk_typing.h"

namespace {

constexpr int kDraws = 20000;

RandomXoshiro256 generator;
u64 seededDraw(InterpEnv*) { return random_xoshiroNext(&generator); }

TEST(RandomXoshiro, MatchesTheReferenceOutputs) {
  // From the state {1, 2, 3, 4}, as the generator's authors list it.
  RandomXoshiro256 g{{1, 2, 3, 4}};
  const u64 expected[] = {11520, 0, 1509978240, 1215971899390074240ull};
  for (u64 e : expected) EXPECT_EQ(random_xoshiroNext(&g), e);
  // Seeding expands the seed with splitmix64, whose outputs for seed 0 are
  // published as well.
  const RandomXoshiro256 seeded = random_xoshiroSeeded(0);
  EXPECT_EQ(seeded.state[0], 0xE220A8397B1DCDAFull);
  EXPECT_EQ(seeded.state[1], 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(seeded.state[2], 0x06C45D188009454Full);
  EXPECT_EQ(seeded.state[3], 0xF88BB8A8724C81ECull);
}

TEST(RandomXoshiro, SameSeedSameSequenceAndNeighbouringSeedsDiffer) {
  RandomXoshiro256 a = random_xoshiroSeeded(42);
  RandomXoshiro256 b = random_xoshiroSeeded(42);
  RandomXoshiro256 c = random_xoshiroSeeded(43);
  int equalToNeighbour = 0;
  for (int i = 0; i < 1000; ++i) {
    const u64 x = random_xoshiroNext(&a);
    ASSERT_EQ(x, random_xoshiroNext(&b));
    equalToNeighbour += x == random_xoshiroNext(&c);
  }
  EXPECT_EQ(equalToNeighbour, 0);
}

// Sample statistics of one generator's results.
struct Sample {
  std::vector<double> values;
  double mean() const {
    double sum = 0;
    for (double v : values) sum += v;
    return sum / values.size();
  }
  double deviation() const {
    const double m = mean();
    double sum = 0;
    for (double v : values) sum += (v - m) * (v - m);
    return std::sqrt(sum / (values.size() - 1));
  }
  // Count of values equal to each of 0 .. buckets - 1.
  std::vector<int> counts(int buckets) const {
    std::vector<int> c(buckets, 0);
    for (double v : values) {
      if (v >= 0 && v < buckets && v == std::floor(v)) ++c[static_cast<int>(v)];
    }
    return c;
  }
};

class RandomSeededTest : public ::testing::Test {
 protected:
  void SetUp() override {
    generator = random_xoshiroSeeded(2026);
    env = interp_create();
    env_on_random(env, seededDraw);
  }
  void TearDown() override {
    interp_stop(loaded);
    interp_stop(env);
  }

  // kDraws results of next(), read as doubles; the value stack is reset
  // between draws.
  template <class Draw>
  Sample draw(Draw next) {
    Sample s;
    for (int i = 0; i < kDraws; ++i) {
      const u32 mark = env->ctx->stackCount;
      s.values.push_back(next());
      env->ctx->stackCount = mark;
    }
    return s;
  }
  double asDouble(TaggedValue v) { return TaggedValue_asF64(v, CONV_PRIMTYPE); }
  TaggedValue integer(u32 type, s64 v) {
    return interpStack_pushSingleAnyValue(env, type, static_cast<u64>(v) & integerTypeMask(type));
  }
  TaggedValue f32(float f) { return interpStack_pushF32(env, f); }
  TaggedValue f64(double d) { return interpStack_pushF64(env, d); }

  InterpEnv* env = nullptr;
  InterpEnv* loaded = nullptr;
};

// Every value of a small range comes up about equally often: each bucket is
// within 15% of its expected count (about 5 standard deviations at this size).
void expectEvenBuckets(const Sample& s, int buckets) {
  const std::vector<int> counts = s.counts(buckets);
  const double expected = static_cast<double>(s.values.size()) / buckets;
  int total = 0;
  for (int b = 0; b < buckets; ++b) {
    EXPECT_NEAR(counts[b], expected, 0.15 * expected) << "value " << b;
    total += counts[b];
  }
  EXPECT_EQ(total, static_cast<int>(s.values.size())) << "a value outside the range";
}

TEST_F(RandomSeededTest, IntegerUniformCoversTheRangeEvenlyInEveryWidth) {
  using Generator = TaggedValue (*)(InterpEnv*, TaggedValue, TaggedValue);
  const struct {
    u32 type;
    Generator generate;
    s64 low;
  } cases[] = {
      {TypeUInt8, uInt8_randomUniform, 0},    {TypeSInt8, sInt8_randomUniform, -5},
      {TypeUInt16, uInt16_randomUniform, 0},  {TypeSInt16, sInt16_randomUniform, -5},
      {TypeUInt32, uInt32_randomUniform, 0},  {TypeSInt32, sInt32_randomUniform, -5},
      {TypeUInt64, uInt64_randomUniform, 0},  {TypeSInt64, sInt64_randomUniform, -5},
  };
  for (const auto& c : cases) {
    // Ten values from low: shifted to 0 .. 9 for the buckets.
    const Sample s = draw([&] {
      const TaggedValue r = c.generate(env, integer(c.type, c.low), integer(c.type, c.low + 9));
      return asDouble(r) - static_cast<double>(c.low);
    });
    SCOPED_TRACE(c.type);
    expectEvenBuckets(s, 10);
  }
}

TEST_F(RandomSeededTest, FullRangeIntegersSpreadOverBothHalves) {
  const Sample s = draw([&] {
    return asDouble(sInt64_randomUniform(env, integer(TypeSInt64, INT64_MIN),
                                         integer(TypeSInt64, INT64_MAX)));
  });
  EXPECT_NEAR(s.mean() / 9.223372036854775807e18, 0.0, 0.03);
  EXPECT_NEAR(s.deviation() / 9.223372036854775807e18, 1 / std::sqrt(3.0), 0.03);
}

TEST_F(RandomSeededTest, BoolAndIndexesAreEven) {
  expectEvenBuckets(draw([&] { return static_cast<double>(*bool_randomUniform(env).value); }), 2);
  expectEvenBuckets(draw([&] { return static_cast<double>(random_uniformSize(env, 7)); }), 7);
  expectEvenBuckets(draw([&] { return static_cast<double>(random_uniformSize(env, 3, 8)) - 3; }), 5);
}

TEST_F(RandomSeededTest, FloatUniformHasTheMeanAndSpreadOfItsInterval) {
  // Uniform on [a, b]: mean (a + b) / 2, deviation (b - a) / sqrt(12).
  const Sample s32 = draw([&] { return asDouble(random_uniform_f32(env, f32(-1.0f), f32(3.0f))); });
  EXPECT_NEAR(s32.mean(), 1.0, 0.03);
  EXPECT_NEAR(s32.deviation(), 4 / std::sqrt(12.0), 0.02);
  const Sample s64 = draw([&] { return asDouble(random_uniform_f64(env, f64(10.0), f64(20.0))); });
  EXPECT_NEAR(s64.mean(), 15.0, 0.06);
  EXPECT_NEAR(s64.deviation(), 10 / std::sqrt(12.0), 0.05);
  // Tenths of the interval are equally filled.
  Sample tenths;
  for (double v : s64.values) tenths.values.push_back(std::floor(v - 10.0));
  expectEvenBuckets(tenths, 10);
}

TEST_F(RandomSeededTest, GaussHasItsMeanAndDeviation) {
  const Sample s = draw([&] { return asDouble(random_gauss_f32(env, f32(5.0f), f32(2.0f))); });
  EXPECT_NEAR(s.mean(), 5.0, 0.05);
  EXPECT_NEAR(s.deviation(), 2.0, 0.05);
  // About 68% within one deviation of the mean.
  int inside = 0;
  for (double v : s.values) inside += std::fabs(v - 5.0) < 2.0;
  EXPECT_NEAR(inside / static_cast<double>(kDraws), 0.6827, 0.015);
}

TEST_F(RandomSeededTest, ExponentialHasMeanAndDeviationOneOverTheRate) {
  const Sample s = draw([&] { return asDouble(random_exponential_f32(env, f32(4.0f))); });
  EXPECT_NEAR(s.mean(), 0.25, 0.01);
  EXPECT_NEAR(s.deviation(), 0.25, 0.015);
  for (double v : s.values) ASSERT_GE(v, 0.0);
}

TEST_F(RandomSeededTest, ParetoFollowsItsDistribution) {
  // With scale 1 and shape 3: every value is at least 1, the median is
  // 2^(1/3) and the mean 3/2.
  const Sample s = draw([&] {
    return asDouble(uInt64_random_pareto_f64(env, f64(1000.0), f64(3.0))) / 1000.0;
  });
  int belowMedian = 0;
  for (double v : s.values) {
    ASSERT_GE(v, 1.0);
    belowMedian += v < std::cbrt(2.0);
  }
  EXPECT_NEAR(belowMedian / static_cast<double>(kDraws), 0.5, 0.015);
  EXPECT_NEAR(s.mean(), 1.5, 0.05);
}

TEST_F(RandomSeededTest, EnumeratorChoiceIsEven) {
  ImageBuilder b{false};
  const u32 colour = b.enumType("Colour", {"Red", "Green", "Blue"});
  loaded = b.writeAndLoad();
  env_on_random(loaded, seededDraw);
  const u32 red = b.symbol("Red");
  const u32 green = b.symbol("Green");
  Sample s;
  for (int i = 0; i < kDraws; ++i) {
    const u32 mark = loaded->ctx->stackCount;
    const DataCell symbol = *random_choiceUniformEnum(loaded, colour).value;
    s.values.push_back(symbol == red ? 0 : symbol == green ? 1 : 2);
    loaded->ctx->stackCount = mark;
  }
  expectEvenBuckets(s, 3);
}

}  // namespace
