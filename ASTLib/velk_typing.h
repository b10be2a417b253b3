// Tagged values and primitive conversions: classification of the integer
// types, conversion of any primitive value into an integer, boolean or float
// type, and the flags that say how a conversion went. Callers name the outcomes
// they accept; the compiler uses that to enforce implicit-conversion rules and
// the interpreter to check ranges (indexes, sizes, durations).
#pragma once
#include "program.h"

// Outcome of one conversion: exactly one of these bits. "Wider" and "narrower"
// compare the precisions (value bits) of source and target.
constexpr u32 CONV_NONE = 1;                   // same precision and signedness
constexpr u32 CONV_WIDEN = 2;                  // value kept: unsigned to wider, signed to wider signed
constexpr u32 CONV_NEG_TO_WIDER_UNSIGNED = 4;  // two's complement in the target width
constexpr u32 CONV_NARROW = 8;  // narrowing in range, or non-negative signed to wider unsigned
constexpr u32 CONV_NEG_TO_UNSIGNED = 16;  // negative to an unsigned type that is not wider
constexpr u32 CONV_OVERFLOW = 32;         // above the target's maximum: low bits kept
constexpr u32 CONV_UNDERFLOW = 64;        // below the target's minimum: low bits kept
constexpr u32 CONV_FROM_NON_INT = 128;    // source is bool, float32 or float64
constexpr u32 CONV_NOT_CONVERTIBLE = 256; // not a primitive (or Float): raw cell copied

// Named sets of outcomes.
constexpr u32 CONV_SAFE_2COMPL = CONV_NONE | CONV_WIDEN | CONV_NEG_TO_WIDER_UNSIGNED | CONV_NARROW;
constexpr u32 CONV_UNSAFE = CONV_NONE | CONV_WIDEN | CONV_NARROW;
constexpr u32 CONV_PRIMTYPE = 255;  // every outcome from a primitive source
static_assert(CONV_SAFE_2COMPL == 15 && CONV_UNSAFE == 11);

// Integer types are the ids TypeInt..TypeTime; odd ids are signed.
constexpr bool isIntType(u32 typeId) { return typeId <= TypeTime; }
bool isUnsignedIntType(u32 intTypeId);
bool isSignedIntType(u32 intTypeId);

// Width mask of an integer type (0 for any other type).
u64 integerTypeMask(u32 typeId);
// Largest value, and smallest value as a bit pattern in the type's width
// (0x80 for int8). Both require an integer type.
u64 integerTypeLast(u32 typeId);
u64 integerTypeFirst(u32 typeId);
// Value bits: 64 for Natural, uint64, time64; 63 for Signed_Integer, int64; ...
u32 precision(u32 intTypeId);
// Flag of an integer-to-integer conversion whose value is known to be in range.
u32 convResFromIntType(u32 fromType, u32 toType);

// Limits of an integer target as representable in each float source format.
// Values strictly outside [lower, upper] saturate; the bounds themselves truncate.
struct FloatToIntegerBounds {
  double lower;
  double upperFromF32;
  double upperFromF64;
};
const FloatToIntegerBounds& floatToIntegerBounds(u32 intTypeId);

// Converts any primitive value to the integer type toType and returns the bit
// pattern in the target width (zero-extended, like a cell). Stores the outcome
// flag in *result unless result is null.
u64 primTypeToInteger(TaggedValue value, u32 toType, u32* result);
// The float part of that conversion; value must be float32 or float64. NaN,
// which no bound catches, converts to 0.
u64 floatToInteger(TaggedValue value, u32 toType);

// primTypeToInteger with a fixed target, narrowed to the target's C type.
u64 primTypeToUInt64(TaggedValue value, u32* result);
s64 primTypeToSInt64(TaggedValue value, u32* result);
u32 primTypeToUInt32(TaggedValue value, u32* result);
s32 primTypeToSInt32(TaggedValue value, u32* result);
u16 primTypeToUInt16(TaggedValue value, u32* result);
s16 primTypeToSInt16(TaggedValue value, u32* result);
u8 primTypeToUInt8(TaggedValue value, u32* result);
s8 primTypeToSInt8(TaggedValue value, u32* result);
// Sizes and indexes are 32-bit: converts to uint32.
u32 primTypeToSize(TaggedValue value, u32* result);

// Checked conversions: expectedConvRes is a non-zero set of CONV_ flags and the
// conversion's outcome must be in it. A failure is a bug of the caller, which
// must check the range itself when it cannot guarantee it.
u8 TaggedValue_asUInt8(TaggedValue value, u32 expectedConvRes);
s8 TaggedValue_asSInt8(TaggedValue value, u32 expectedConvRes);
u16 TaggedValue_asUInt16(TaggedValue value, u32 expectedConvRes);
s16 TaggedValue_asSInt16(TaggedValue value, u32 expectedConvRes);
u32 TaggedValue_asUInt32(TaggedValue value, u32 expectedConvRes);
s32 TaggedValue_asSInt32(TaggedValue value, u32 expectedConvRes);
u64 TaggedValue_asUInt64(TaggedValue value, u32 expectedConvRes);
s64 TaggedValue_asSInt64(TaggedValue value, u32 expectedConvRes);
u32 TaggedValue_asSize(TaggedValue value, u32 expectedConvRes);

// expectedConvResult is CONV_NONE (the value already has the target type) or
// CONV_PRIMTYPE (any bool, float or integer source).
bool TaggedValue_asBoolean(TaggedValue value, u32 expectedConvResult);
float TaggedValue_asF32(TaggedValue value, u32 expectedConvResult);
double TaggedValue_asF64(TaggedValue value, u32 expectedConvResult);

// "true"/"false" for a bool-based value, the enumerator's name for an
// enumeration value ("NULL" for symbol id 0), "" for anything else.
const char* TaggedValue_toString(const program* p, TaggedValue value);

template <HasProgram Env>
const char* TaggedValue_toString(const Env* env, TaggedValue value) {
  return TaggedValue_toString(env->program, value);
}
