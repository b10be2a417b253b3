// The seeded source: the generator against its published reference outputs,
// and the random functions fed from it checked for the distribution each
// promises (bucket counts, means and spreads over many draws of one seed).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "interp_api.h"
#include "interp_stack.h"
#include "random.h"
#include "velk_typing.h"

namespace {

constexpr int kDraws = 20000;

TEST(RandomXoshiro, MatchesTheReferenceOutputs) {
  // From the state {1, 2, 3, 4}, as the generator's authors list it.
  RandomXoshiro256 g{{1, 2, 3, 4}};
  for (u64 e : {u64{11520}, u64{0}, u64{1509978240}, u64{1215971899390074240}})
    EXPECT_EQ(random_xoshiroNext(&g), e);
  // Seeding expands the seed with splitmix64, whose outputs for seed 0 are
  // published as well.
  const RandomXoshiro256 seeded = random_xoshiroSeeded(0);
  const u64 splitmix[] = {0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F,
                          0xF88BB8A8724C81EC};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(seeded.state[i], splitmix[i]);
}

RandomXoshiro256 generator;
u64 seededDraw(InterpEnv*) { return random_xoshiroNext(&generator); }

class RandomSeededTest : public ::testing::Test {
 protected:
  void SetUp() override {
    generator = random_xoshiroSeeded(2026);
    env_on_random(env, seededDraw);
  }
  void TearDown() override { interp_stop(env); }

  // kDraws results of one generator call, as doubles.
  std::vector<double> sample(const std::function<TaggedValue()>& call) {
    std::vector<double> values;
    for (int i = 0; i < kDraws; ++i) {
      const u32 mark = env->ctx->stackCount;
      values.push_back(TaggedValue_asF64(call(), CONV_PRIMTYPE));
      env->ctx->stackCount = mark;
    }
    return values;
  }
  TaggedValue integer(u32 type, s64 v) {
    return interpStack_pushSingleAnyValue(env, type, static_cast<u64>(v) & integerTypeMask(type));
  }
  TaggedValue f32(float f) { return interpStack_pushF32(env, f); }
  TaggedValue f64(double d) { return interpStack_pushF64(env, d); }

  InterpEnv* env = interp_create();
};

// Every value of low .. low + buckets - 1 comes up about equally often: each
// within 15% of its expected count (about 5 standard deviations here).
void expectEvenBuckets(const std::vector<double>& values, double low, int buckets) {
  std::vector<int> counts(buckets, 0);
  for (double v : values) {
    const double k = v - low;
    ASSERT_TRUE(k >= 0 && k < buckets && k == std::floor(k)) << "value " << v;
    ++counts[static_cast<int>(k)];
  }
  const double expected = static_cast<double>(kDraws) / buckets;
  for (int b = 0; b < buckets; ++b) EXPECT_NEAR(counts[b], expected, 0.15 * expected) << b;
}

TEST_F(RandomSeededTest, IntegersBoolsAndIndexesAreEven) {
  using Generator = TaggedValue (*)(InterpEnv*, TaggedValue, TaggedValue);
  const struct {
    u32 type;
    Generator generate;
  } integers[] = {
      {TypeUInt8, uInt8_randomUniform},   {TypeSInt8, sInt8_randomUniform},
      {TypeUInt16, uInt16_randomUniform}, {TypeSInt16, sInt16_randomUniform},
      {TypeUInt32, uInt32_randomUniform}, {TypeSInt32, sInt32_randomUniform},
      {TypeUInt64, uInt64_randomUniform}, {TypeSInt64, sInt64_randomUniform},
  };
  for (const auto& c : integers) {
    const s64 low = c.type % 2 ? -5 : 3;  // signed types straddle zero
    SCOPED_TRACE(c.type);
    const auto draw = [&] {
      return c.generate(env, integer(c.type, low), integer(c.type, low + 9));
    };
    expectEvenBuckets(sample(draw), static_cast<double>(low), 10);
  }
  expectEvenBuckets(sample([&] { return bool_randomUniform(env); }), 0, 2);
  const auto index = [&] { return interpStack_pushUInt32(env, random_uniformSize(env, 3, 10)); };
  expectEvenBuckets(sample(index), 3, 7);
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / v.size();
}
double deviation(const std::vector<double>& v) {
  const double m = mean(v);
  double sum = 0;
  for (double x : v) sum += (x - m) * (x - m);
  return std::sqrt(sum / (v.size() - 1));
}

TEST_F(RandomSeededTest, ContinuousDistributionsHaveTheirMeanAndSpread) {
  const struct {
    const char* name;
    std::function<TaggedValue()> call;
    double mean, deviation, tolerance;
  } cases[] = {
      // Uniform on [a, b]: mean (a + b) / 2, deviation (b - a) / sqrt(12).
      {"uniform f32", [&] { return random_uniform_f32(env, f32(-1.0f), f32(3.0f)); }, 1.0,
       4 / std::sqrt(12.0), 0.03},
      {"uniform f64", [&] { return random_uniform_f64(env, f64(10.0), f64(20.0)); }, 15.0,
       10 / std::sqrt(12.0), 0.08},
      {"gauss", [&] { return random_gauss_f32(env, f32(5.0f), f32(2.0f)); }, 5.0, 2.0, 0.05},
      // Exponential: mean and deviation 1 / rate.
      {"exponential", [&] { return random_exponential_f32(env, f32(4.0f)); }, 0.25, 0.25, 0.015},
      // Pareto with scale s and shape 5: mean 5s/4, deviation s sqrt(5/48).
      {"pareto", [&] { return uInt64_random_pareto_f64(env, f64(1000.0), f64(5.0)); }, 1250.0,
       1000 * std::sqrt(5.0 / 48), 15.0},
  };
  for (const auto& c : cases) {
    const std::vector<double> values = sample(c.call);
    EXPECT_NEAR(mean(values), c.mean, c.tolerance) << c.name;
    EXPECT_NEAR(deviation(values), c.deviation, 2 * c.tolerance) << c.name;
  }
}

}  // namespace
