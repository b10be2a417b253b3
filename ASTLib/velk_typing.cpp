#include "velk_typing.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

constexpr u64 ALL_BITS = ~u64{0};
constexpr u64 TOP_BIT = u64{1} << 63;
constexpr double TWO_POW_63 = 9223372036854775808.0;

struct IntegerTypeInfo {
  u64 mask;
  u32 precision;
};

// Indexed by type id TypeInt..TypeTime.
constexpr IntegerTypeInfo INTEGER_TYPES[] = {
    {ALL_BITS, 64},    {ALL_BITS, 63},    {0xFF, 8},      {0xFF, 7},
    {0xFFFF, 16},      {0xFFFF, 15},      {0xFFFFFFFF, 32}, {0xFFFFFFFF, 31},
    {ALL_BITS, 64},    {ALL_BITS, 63},    {ALL_BITS, 64},
};
static_assert(std::size(INTEGER_TYPES) == TypeTime + 1);

// The largest float of each source format that does not exceed the target's
// maximum; anything greater saturates. Written out because they are the
// contract: 2^64 - 2^40, 2^64 - 2048, 2^63 - 2^39, 2^63 - 1024, 2^32 - 256,
// 2^31 - 128.
constexpr FloatToIntegerBounds U64_BOUNDS = {0.0, 18446742974197923840.0,
                                             18446744073709549568.0};
constexpr FloatToIntegerBounds S64_BOUNDS = {-9223372036854775808.0, 9223371487098961920.0,
                                             9223372036854774784.0};
constexpr FloatToIntegerBounds FLOAT_BOUNDS[] = {
    U64_BOUNDS,                                         // Natural
    S64_BOUNDS,                                         // Signed_Integer
    {0.0, 255.0, 255.0},                                // uint8
    {-128.0, 127.0, 127.0},                             // int8
    {0.0, 65535.0, 65535.0},                            // uint16
    {-32768.0, 32767.0, 32767.0},                       // int16
    {0.0, 4294967040.0, 4294967295.0},                  // uint32
    {-2147483648.0, 2147483520.0, 2147483647.0},        // int32
    U64_BOUNDS,                                         // uint64
    S64_BOUNDS,                                         // int64
    U64_BOUNDS,                                         // time64
};
static_assert(std::size(FLOAT_BOUNDS) == TypeTime + 1);

// Cells are read through memcpy: the storage is typed u64 but may hold a
// float's bytes, and type punning through pointers is undefined.
u64 readCell(TaggedValue value) {
  u64 cell;
  std::memcpy(&cell, value.value, sizeof cell);
  return cell;
}

u8 readBooleanByte(TaggedValue value) {
  u8 byte;
  std::memcpy(&byte, value.value, sizeof byte);
  return byte;
}

float readF32(TaggedValue value) {
  float f;
  std::memcpy(&f, value.value, sizeof f);
  return f;
}

double readF64(TaggedValue value) {
  double d;
  std::memcpy(&d, value.value, sizeof d);
  return d;
}

// Both sources are handled as double: a float32 widens exactly, and the bound
// column still follows the source format.
double readFloat(TaggedValue value) {
  return value.typeId == TypeF32 ? static_cast<double>(readF32(value)) : readF64(value);
}

u64 unsignedToInteger(u64 cell, u32 from, u32 to, u32* flag) {
  u64 v = cell & integerTypeMask(from);
  *flag = v > integerTypeLast(to) ? CONV_OVERFLOW : convResFromIntType(from, to);
  return v & integerTypeMask(to);
}

u64 signedToInteger(u64 cell, u32 from, u32 to, u32* flag) {
  u64 fromMask = integerTypeMask(from);
  u64 toMask = integerTypeMask(to);
  u64 v = cell & fromMask;
  if (v <= integerTypeLast(from)) return unsignedToInteger(v, from, to, flag);

  // Negative: sign-extend into the target bits above the source width; the
  // range tests use the magnitude minus one so that no value overflows.
  u64 extension = ~fromMask & toMask;
  u64 magnitudeMinusOne = ~cell & fromMask;
  if (isSignedIntType(to)) {
    *flag = magnitudeMinusOne <= integerTypeLast(to) ? convResFromIntType(from, to)
                                                     : CONV_UNDERFLOW;
  } else if (magnitudeMinusOne <= (toMask >> 1)) {
    *flag = precision(from) < precision(to) ? CONV_NEG_TO_WIDER_UNSIGNED : CONV_NEG_TO_UNSIGNED;
  } else {
    *flag = CONV_UNDERFLOW;
  }
  return extension | (v & toMask);
}

// Truncation toward zero of a value known to lie within the target's bounds.
// Every cast below is in range of its destination type, so none is undefined.
u64 truncateInRange(double f, u32 toType) {
  bool unsigned64 = integerTypeMask(toType) == ALL_BITS && isUnsignedIntType(toType);
  if (unsigned64 && f >= TWO_POW_63) {
    // Above the s64 range: f - 2^63 is exact (same binade) and fits an s64.
    return static_cast<u64>(static_cast<s64>(f - TWO_POW_63)) | TOP_BIT;
  }
  return static_cast<u64>(static_cast<s64>(f)) & integerTypeMask(toType);
}

// float64 to float32, rounding to nearest, without the undefined behaviour of
// casting an out-of-range double. Halfway between FLT_MAX and 2^128 rounds to
// even, which is the infinity side.
float roundToF32(double d) {
  constexpr double F32_MAX = std::numeric_limits<float>::max();
  constexpr double F32_OVERFLOW = 0x1.ffffffp+127;  // 2^128 - 2^103
  float sign = std::signbit(d) ? -1.0f : 1.0f;
  if (std::isnan(d)) return std::copysign(std::numeric_limits<float>::quiet_NaN(), sign);
  double magnitude = std::fabs(d);
  if (magnitude >= F32_OVERFLOW) return sign * std::numeric_limits<float>::infinity();
  if (magnitude > F32_MAX) return sign * std::numeric_limits<float>::max();
  return static_cast<float>(d);
}

void checkFloatRequest(TaggedValue value, u32 expectedConvResult, u32 targetType) {
  VELK_ASSERT_TEXT(
      (expectedConvResult == CONV_NONE) || (expectedConvResult == CONV_PRIMTYPE),
      "(expectedConvResult == CONV_NONE) || (expectedConvResult == CONV_PRIMTYPE)");
  VELK_ASSERT_TEXT(value.typeId == targetType || expectedConvResult != CONV_NONE,
                   "expectedConvResult != CONV_NONE");
}

}  // namespace

bool isUnsignedIntType(u32 intTypeId) {
  VELK_ASSERT_TEXT(isIntType(intTypeId), "isIntType(intTypeId)");
  return (intTypeId & 1u) == 0;
}

bool isSignedIntType(u32 intTypeId) {
  VELK_ASSERT_TEXT(isIntType(intTypeId), "isIntType(intTypeId)");
  return (intTypeId & 1u) != 0;
}

u64 integerTypeMask(u32 typeId) {
  return isIntType(typeId) ? INTEGER_TYPES[typeId].mask : 0;
}

u64 integerTypeLast(u32 typeId) {
  VELK_ASSERT_TEXT(typeId <= TypeTime, "typeId <= TypeTime");
  u64 mask = INTEGER_TYPES[typeId].mask;
  return isUnsignedIntType(typeId) ? mask : mask >> 1;
}

u64 integerTypeFirst(u32 typeId) {
  VELK_ASSERT_TEXT(typeId <= TypeTime, "typeId <= TypeTime");
  return isUnsignedIntType(typeId) ? 0 : (INTEGER_TYPES[typeId].mask >> 1) + 1;
}

u32 precision(u32 intTypeId) {
  VELK_ASSERT_TEXT(isIntType(intTypeId), "isIntType(intTypeId)");
  return INTEGER_TYPES[intTypeId].precision;
}

u32 convResFromIntType(u32 fromType, u32 toType) {
  u32 from = precision(fromType);
  u32 to = precision(toType);
  if (from == to) return CONV_NONE;
  if (from > to) return CONV_NARROW;
  if (isUnsignedIntType(fromType)) return CONV_WIDEN;
  // Signed precisions are odd, unsigned even: an even sum is signed to signed.
  return (from + to) % 2 == 0 ? CONV_WIDEN : CONV_NARROW;
}

const FloatToIntegerBounds& floatToIntegerBounds(u32 intTypeId) {
  VELK_ASSERT_TEXT(intTypeId <= TypeTime, "typeId <= TypeTime");
  return FLOAT_BOUNDS[intTypeId];
}

u64 floatToInteger(TaggedValue value, u32 toType) {
  VELK_ASSERT_TEXT(value.typeId == TypeF32 || value.typeId == TypeF64,
                   "value.typeId == TypeF32 || value.typeId == TypeF64");
  const FloatToIntegerBounds& bounds = floatToIntegerBounds(toType);
  double f = readFloat(value);
  double upper = value.typeId == TypeF32 ? bounds.upperFromF32 : bounds.upperFromF64;
  // NaN fails both bound tests and cannot be truncated: it gives 0.
  if (std::isnan(f)) return 0;
  if (f > upper) return integerTypeLast(toType);
  if (f < bounds.lower) return integerTypeFirst(toType);
  return truncateInRange(f, toType);
}

u64 primTypeToInteger(TaggedValue value, u32 toType, u32* result) {
  VELK_ASSERT_TEXT(toType <= TypeTime, "typeId <= TypeTime");
  u32 from = value.typeId;
  u32 flag = CONV_NOT_CONVERTIBLE;
  u64 converted = 0;
  if (isIntType(from)) {
    u64 cell = readCell(value);
    converted = isSignedIntType(from) ? signedToInteger(cell, from, toType, &flag)
                                      : unsignedToInteger(cell, from, toType, &flag);
  } else if (from == TypeBoolean) {
    converted = readBooleanByte(value);
    flag = CONV_FROM_NON_INT;
  } else if (from == TypeF32 || from == TypeF64) {
    converted = floatToInteger(value, toType);
    flag = CONV_FROM_NON_INT;
  } else if (value.value != nullptr) {
    // Not a number: the cell goes through as it is (values without storage,
    // such as void, have no cell and give 0).
    converted = readCell(value);
  }
  if (result != nullptr) *result = flag;
  return converted;
}

// The results are already in the target width, so the narrowing casts only
// reinterpret the bits (modular since C++20).
u64 primTypeToUInt64(TaggedValue value, u32* result) {
  return primTypeToInteger(value, TypeUInt64, result);
}
s64 primTypeToSInt64(TaggedValue value, u32* result) {
  return static_cast<s64>(primTypeToInteger(value, TypeSInt64, result));
}
u32 primTypeToUInt32(TaggedValue value, u32* result) {
  return static_cast<u32>(primTypeToInteger(value, TypeUInt32, result));
}
s32 primTypeToSInt32(TaggedValue value, u32* result) {
  return static_cast<s32>(primTypeToInteger(value, TypeSInt32, result));
}
u16 primTypeToUInt16(TaggedValue value, u32* result) {
  return static_cast<u16>(primTypeToInteger(value, TypeUInt16, result));
}
s16 primTypeToSInt16(TaggedValue value, u32* result) {
  return static_cast<s16>(primTypeToInteger(value, TypeSInt16, result));
}
u8 primTypeToUInt8(TaggedValue value, u32* result) {
  return static_cast<u8>(primTypeToInteger(value, TypeUInt8, result));
}
s8 primTypeToSInt8(TaggedValue value, u32* result) {
  return static_cast<s8>(primTypeToInteger(value, TypeSInt8, result));
}
u32 primTypeToSize(TaggedValue value, u32* result) {
  return static_cast<u32>(primTypeToInteger(value, TypeUInt32, result));
}

// One checked accessor per target; a macro keeps __func__ and __LINE__ of the
// failing accessor in the assertion message and spells out its text.
#define VELK_DEFINE_CHECKED_AS(CType, Name, converterName)                                   \
  CType TaggedValue_as##Name(TaggedValue val, u32 expectedConvRes) {                         \
    VELK_ASSERT_TEXT(expectedConvRes != 0, "expectedConvRes != 0");                          \
    u32 res = 0;                                                                             \
    CType converted = primTypeTo##Name(val, &res);                                           \
    VELK_ASSERT_TEXT(res & expectedConvRes, "CAT(primTypeTo, CAP_TYPE(" #converterName      \
                                            "))(val, &res) & expectedConvRes");              \
    return converted;                                                                        \
  }

VELK_DEFINE_CHECKED_AS(u8, UInt8, uInt8)
VELK_DEFINE_CHECKED_AS(s8, SInt8, sInt8)
VELK_DEFINE_CHECKED_AS(u16, UInt16, uInt16)
VELK_DEFINE_CHECKED_AS(s16, SInt16, sInt16)
VELK_DEFINE_CHECKED_AS(u32, UInt32, uInt32)
VELK_DEFINE_CHECKED_AS(s32, SInt32, sInt32)
VELK_DEFINE_CHECKED_AS(u64, UInt64, uInt64)
VELK_DEFINE_CHECKED_AS(s64, SInt64, sInt64)
VELK_DEFINE_CHECKED_AS(u32, Size, size)
#undef VELK_DEFINE_CHECKED_AS

bool TaggedValue_asBoolean(TaggedValue val, u32 expectedConvResult) {
  checkFloatRequest(val, expectedConvResult, TypeBoolean);
  switch (val.typeId) {
    case TypeBoolean:
      return readBooleanByte(val) != 0;
    case TypeF32:
      return readF32(val) != 0.0f;  // NaN compares unequal: true
    case TypeF64:
      return readF64(val) != 0.0;
    default:
      VELK_ASSERT_TEXT(isIntType(val.typeId), "isIntType(val.typeId)");
      // Any non-zero bit pattern is true, negative values included.
      return TaggedValue_asUInt64(val, CONV_SAFE_2COMPL) != 0;
  }
}

// Integers go through 64 bits of their own signedness, so an unsigned value
// from 2^63 up keeps its magnitude.
double TaggedValue_asF64(TaggedValue val, u32 expectedConvResult) {
  checkFloatRequest(val, expectedConvResult, TypeF64);
  switch (val.typeId) {
    case TypeF64:
      return readF64(val);
    case TypeF32:
      return static_cast<double>(readF32(val));
    case TypeBoolean:
      return readBooleanByte(val) != 0 ? 1.0 : 0.0;
    default:
      VELK_ASSERT_TEXT(isIntType(val.typeId), "isIntType(val.typeId)");
      if (isSignedIntType(val.typeId)) {
        return static_cast<double>(TaggedValue_asSInt64(val, CONV_NONE | CONV_WIDEN));
      }
      return static_cast<double>(TaggedValue_asUInt64(val, CONV_NONE | CONV_WIDEN));
  }
}

float TaggedValue_asF32(TaggedValue val, u32 expectedConvResult) {
  checkFloatRequest(val, expectedConvResult, TypeF32);
  switch (val.typeId) {
    case TypeF32:
      return readF32(val);
    case TypeF64:
      return roundToF32(readF64(val));
    case TypeBoolean:
      return readBooleanByte(val) != 0 ? 1.0f : 0.0f;
    default:
      VELK_ASSERT_TEXT(isIntType(val.typeId), "isIntType(val.typeId)");
      if (isSignedIntType(val.typeId)) {
        return static_cast<float>(TaggedValue_asSInt64(val, CONV_NONE | CONV_WIDEN));
      }
      return static_cast<float>(TaggedValue_asUInt64(val, CONV_NONE | CONV_WIDEN));
  }
}

const char* TaggedValue_toString(const program* p, TaggedValue value) {
  u32 baseType = TaggedValue_getBaseType(p, value);
  if (baseType == TypeBoolean) return readBooleanByte(value) != 0 ? "true" : "false";
  if (baseType != TypeEnum) return "";
  // An enumeration value is the symbol id of its enumerator; 0 is the null one.
  u64 symId = readCell(value);
  if (symId == 0) return "NULL";
  // An id beyond 32 bits must not alias a valid one: NO_ID fails the lookup.
  return Symbol_getName(p, symId > NO_ID ? NO_ID : static_cast<u32>(symId));
}
