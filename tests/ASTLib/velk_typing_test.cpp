#include "velk_typing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "velk_memory.h"

namespace {

DataCell f32Cell(float f) {
  DataCell cell = 0;
  std::memcpy(&cell, &f, sizeof f);
  return cell;
}

DataCell f64Cell(double d) {
  DataCell cell;
  std::memcpy(&cell, &d, sizeof d);
  return cell;
}

struct ConversionRow {
  u32 from;
  DataCell cell;
  u32 to;
  u64 expected;
  u32 flag;
};

const ConversionRow kConversions[] = {
    {TypeUInt8, 200, TypeSInt8, 0xC8, CONV_OVERFLOW},
    {TypeSInt16, 200, TypeSInt8, 0xC8, CONV_OVERFLOW},
    {TypeSInt16, 0xFFFF, TypeSInt8, 0xFF, CONV_NARROW},
    {TypeSInt16, 0xFF80, TypeSInt8, 0x80, CONV_NARROW},     // -128 still fits
    {TypeSInt16, 0xFF7F, TypeSInt8, 0x7F, CONV_UNDERFLOW},  // -129 does not
    {TypeSInt16, 0xFF38, TypeSInt8, 0x38, CONV_UNDERFLOW},
    {TypeSInt8, 0xFF, TypeUInt16, 0xFFFF, CONV_NEG_TO_WIDER_UNSIGNED},
    // int8 has 7 value bits and uint8 8, so uint8 counts as wider: flag 4, not
    // 16 as one might expect from the equal widths.
    {TypeSInt8, 0xFF, TypeUInt8, 0xFF, CONV_NEG_TO_WIDER_UNSIGNED},
    {TypeSInt16, 0xFFFF, TypeUInt8, 0xFF, CONV_NEG_TO_UNSIGNED},
    {TypeSInt16, 0xFF38, TypeUInt8, 0x38, CONV_UNDERFLOW},
    {TypeSInt64, ~u64{0}, TypeUInt64, ~u64{0}, CONV_NEG_TO_WIDER_UNSIGNED},
    {TypeSInt8, 0x80, TypeSInt64, 0xFFFFFFFFFFFFFF80, CONV_WIDEN},
    {TypeSInt64, u64{1} << 63, TypeSInt32, 0, CONV_UNDERFLOW},
    {TypeUInt32, 5, TypeUInt64, 5, CONV_WIDEN},
    {TypeUInt64, 5, TypeUInt32, 5, CONV_NARROW},
    {TypeSInt32, 5, TypeUInt64, 5, CONV_NARROW},
    {TypeSInt32, 5, TypeSInt64, 5, CONV_WIDEN},
    {TypeInt, 7, TypeUInt64, 7, CONV_NONE},
    {TypeTime, 1, TypeSInt, 1, CONV_NARROW},
    {TypeUInt64, ~u64{0}, TypeSInt64, ~u64{0}, CONV_OVERFLOW},
    {TypeUInt8, 0xABCD12, TypeUInt16, 0x12, CONV_WIDEN},  // bits above the width ignored
    {TypeF32, f32Cell(300.7f), TypeUInt8, 255, CONV_FROM_NON_INT},
    {TypeF64, f64Cell(-3.9), TypeSInt8, 0xFD, CONV_FROM_NON_INT},
    {TypeF32, f32Cell(-1.0f), TypeUInt32, 0, CONV_FROM_NON_INT},
    {TypeF64, f64Cell(-1e300), TypeSInt64, u64{1} << 63, CONV_FROM_NON_INT},
    {TypeF64, f64Cell(0x1p63), TypeUInt64, u64{1} << 63, CONV_FROM_NON_INT},
    {TypeF64, f64Cell(0x1p63 + 4096), TypeTime, (u64{1} << 63) + 4096, CONV_FROM_NON_INT},
    {TypeF32, f32Cell(0x1.8p63f), TypeInt, 0xC000000000000000, CONV_FROM_NON_INT},
    // NaN lies within neither bound; it converts to 0.
    {TypeF32, f32Cell(std::nanf("")), TypeSInt32, 0, CONV_FROM_NON_INT},
    {TypeF64, f64Cell(std::nan("")), TypeUInt64, 0, CONV_FROM_NON_INT},
    {TypeBoolean, 1, TypeUInt64, 1, CONV_FROM_NON_INT},
    {TypeBoolean, 1, TypeSInt8, 1, CONV_FROM_NON_INT},
    {TypeBoolean, 0, TypeInt, 0, CONV_FROM_NON_INT},
    {TypeFP, 0x1234, TypeUInt8, 0x1234, CONV_NOT_CONVERTIBLE},
    {FIRST_USER_TYPE, 42, TypeSInt64, 42, CONV_NOT_CONVERTIBLE},
};

TEST(VelkTyping, ConversionTable) {
  for (const ConversionRow& row : kConversions) {
    DataCell cell = row.cell;
    u32 flag = 0;
    u64 got = primTypeToInteger(TaggedValue{&cell, row.from, NO_ID}, row.to, &flag);
    EXPECT_EQ(got, row.expected) << "from " << row.from << " to " << row.to;
    EXPECT_EQ(flag, row.flag) << "from " << row.from << " to " << row.to;
  }
}

// Truncation reference computed by a different route than the module's.
u64 truncated(double f, u64 mask) {
  return (f >= 0 ? static_cast<u64>(f) : static_cast<u64>(static_cast<s64>(f))) & mask;
}

struct BoundRow {
  u32 to;
  u64 mask;
  bool isSigned;
  double lower, upperFromF32, upperFromF64;
};

const BoundRow kBounds[] = {
    {TypeInt, ~u64{0}, false, 0, 18446742974197923840.0, 18446744073709549568.0},
    {TypeSInt, ~u64{0}, true, -0x1p63, 9223371487098961920.0, 9223372036854774784.0},
    {TypeUInt8, 0xFF, false, 0, 255, 255},
    {TypeSInt8, 0xFF, true, -128, 127, 127},
    {TypeUInt16, 0xFFFF, false, 0, 65535, 65535},
    {TypeSInt16, 0xFFFF, true, -32768, 32767, 32767},
    {TypeUInt32, 0xFFFFFFFF, false, 0, 4294967040.0, 4294967295.0},
    {TypeSInt32, 0xFFFFFFFF, true, -0x1p31, 2147483520.0, 2147483647.0},
    {TypeUInt64, ~u64{0}, false, 0, 18446742974197923840.0, 18446744073709549568.0},
    {TypeSInt64, ~u64{0}, true, -0x1p63, 9223371487098961920.0, 9223372036854774784.0},
    {TypeTime, ~u64{0}, false, 0, 18446742974197923840.0, 18446744073709549568.0},
};

u64 convertFloat(u32 from, double f, u32 to) {
  DataCell cell = from == TypeF32 ? f32Cell(static_cast<float>(f)) : f64Cell(f);
  u32 flag = 0;
  u64 got = primTypeToInteger(TaggedValue{&cell, from, NO_ID}, to, &flag);
  EXPECT_EQ(flag, CONV_FROM_NON_INT);
  return got;
}

// Neighbours of a bound in the source format.
double next(u32 from, double f, double toward) {
  return from == TypeF32 ? std::nextafter(static_cast<float>(f), static_cast<float>(toward))
                         : std::nextafter(f, toward);
}

TEST(VelkTyping, FloatBoundsAtAboveAndBelow) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const BoundRow& b : kBounds) {
    u64 last = b.isSigned ? b.mask >> 1 : b.mask;
    u64 first = b.isSigned ? last + 1 : 0;
    for (u32 from : {TypeF32, TypeF64}) {
      SCOPED_TRACE(testing::Message() << "to " << b.to << " from " << from);
      double upper = from == TypeF32 ? b.upperFromF32 : b.upperFromF64;
      if (from == TypeF32) {
        ASSERT_EQ(static_cast<float>(upper), upper);  // the bound is exact in the format
      }
      EXPECT_EQ(convertFloat(from, upper, b.to), truncated(upper, b.mask));
      EXPECT_EQ(convertFloat(from, next(from, upper, inf), b.to), last);
      double belowUpper = next(from, upper, 0);
      EXPECT_EQ(convertFloat(from, belowUpper, b.to), truncated(belowUpper, b.mask));
      EXPECT_EQ(convertFloat(from, b.lower, b.to), first);
      EXPECT_EQ(convertFloat(from, next(from, b.lower, -inf), b.to), first);
      double aboveLower = next(from, b.lower, inf);
      EXPECT_EQ(convertFloat(from, aboveLower, b.to), truncated(aboveLower, b.mask));
    }
  }
}

TEST(VelkTyping, NarrowedAccessors) {
  DataCell minusOne = 0xFFFF;
  TaggedValue v{&minusOne, TypeSInt16, NO_ID};
  EXPECT_EQ(TaggedValue_asSInt8(v, CONV_NARROW), -1);
  EXPECT_EQ(TaggedValue_asUInt32(v, CONV_SAFE_2COMPL), 0xFFFFFFFFu);
  EXPECT_EQ(TaggedValue_asSInt64(v, CONV_WIDEN), -1);
  DataCell big = 70000;
  EXPECT_EQ(TaggedValue_asSize(TaggedValue{&big, TypeUInt64, NO_ID}, CONV_UNSAFE), 70000u);
}

TEST(VelkTyping, BooleanAndFloatAccessors) {
  DataCell nan32 = f32Cell(std::nanf("")), negZero = f64Cell(-0.0), zero8 = 0, minus1 = 0xFF;
  EXPECT_TRUE(TaggedValue_asBoolean(TaggedValue{&nan32, TypeF32, NO_ID}, CONV_PRIMTYPE));
  EXPECT_FALSE(TaggedValue_asBoolean(TaggedValue{&negZero, TypeF64, NO_ID}, CONV_PRIMTYPE));
  EXPECT_FALSE(TaggedValue_asBoolean(TaggedValue{&zero8, TypeUInt8, NO_ID}, CONV_PRIMTYPE));
  EXPECT_TRUE(TaggedValue_asBoolean(TaggedValue{&minus1, TypeSInt8, NO_ID}, CONV_PRIMTYPE));

  DataCell top = ~u64{0}, f32 = f32Cell(0.1f), f64 = f64Cell(0.1), yes = 1, huge = f64Cell(1e300);
  EXPECT_EQ(TaggedValue_asF64(TaggedValue{&top, TypeUInt64, NO_ID}, CONV_PRIMTYPE), 0x1p64);
  EXPECT_EQ(TaggedValue_asF32(TaggedValue{&top, TypeTime, NO_ID}, CONV_PRIMTYPE), 0x1p64f);
  EXPECT_EQ(TaggedValue_asF64(TaggedValue{&minus1, TypeSInt8, NO_ID}, CONV_PRIMTYPE), -1.0);
  EXPECT_EQ(TaggedValue_asF64(TaggedValue{&f32, TypeF32, NO_ID}, CONV_PRIMTYPE),
            static_cast<double>(0.1f));
  EXPECT_EQ(TaggedValue_asF32(TaggedValue{&f64, TypeF64, NO_ID}, CONV_PRIMTYPE), 0.1f);
  EXPECT_EQ(TaggedValue_asF32(TaggedValue{&huge, TypeF64, NO_ID}, CONV_PRIMTYPE),
            std::numeric_limits<float>::infinity());
  EXPECT_EQ(TaggedValue_asF64(TaggedValue{&yes, TypeBoolean, NO_ID}, CONV_PRIMTYPE), 1.0);
  EXPECT_EQ(TaggedValue_asF32(TaggedValue{&f32, TypeF32, NO_ID}, CONV_NONE), 0.1f);
}

void printTextToStderr(const char*, int, const char*, const char* text) {
  std::fprintf(stderr, "Assertion '%s' failed\n", text);
}

TEST(VelkTypingDeathTest, OutcomeOutsideTheExpectedSetIsACallerBug) {
  DataCell cell = 200;
  TaggedValue v{&cell, TypeUInt16, NO_ID};
  EXPECT_DEATH(
      {
        velk_setAssertHandler(printTextToStderr);
        TaggedValue_asUInt8(v, CONV_NONE);
      },
      "Assertion 'CAT\\(primTypeTo, CAP_TYPE\\(uInt8\\)\\)\\(val, &res\\) & expectedConvRes'");
}

TEST(VelkTyping, ToStringOfBooleansEnumerationsAndOthers) {
  program* p = program_create();
  constexpr u32 kColor = FIRST_USER_TYPE;
  p->infoProg->n_type = kColor + 1;
  p->typeTable = MEMORY_ALLOC(kColor + 1, TypeDefinition, "p->typeTable");
  for (u32 t = 0; t <= kColor; ++t) p->typeTable[t].baseType = t;
  p->typeTable[kColor].baseType = TypeEnum;
  static const char kNames[] = "none\0RED";
  p->infoProg->n_symbols = 2;
  p->infoProg->symbolStorageSize = sizeof kNames;
  p->dbg->symbolTable = MEMORY_ALLOC(sizeof kNames, char, "p->dbg->symbolTable");
  std::memcpy(p->dbg->symbolTable, kNames, sizeof kNames);
  p->dbg->symbolTableIndex = MEMORY_ALLOC(2, u32, "p->dbg->symbolTableIndex");
  p->dbg->symbolTableIndex[1] = 5;

  DataCell red = 1, null = 0, yes = 1, no = 0, number = 1;
  EXPECT_STREQ(TaggedValue_toString(p, TaggedValue{&red, kColor, NO_ID}), "RED");
  EXPECT_STREQ(TaggedValue_toString(p, TaggedValue{&null, kColor, NO_ID}), "NULL");
  EXPECT_STREQ(TaggedValue_toString(p, TaggedValue{&yes, TypeBoolean, NO_ID}), "true");
  EXPECT_STREQ(TaggedValue_toString(p, TaggedValue{&no, TypeBoolean, NO_ID}), "false");
  struct Env {
    struct program* program;
  } env{p};
  EXPECT_STREQ(TaggedValue_toString(&env, TaggedValue{&number, TypeUInt8, NO_ID}), "");

  free_program(p);
  memory_free(p);
}

}  // namespace
