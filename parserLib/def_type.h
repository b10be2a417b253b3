// Types in the compiler: the 34 base types, user structures and enumerations,
// buffer types (arrays, queues, stacks, channels) and iterator types in the
// image's type table, plus the typing rules of expressions: inference of a
// node's type with the operator checks, result types of mixed operations,
// initializer checks and the classification predicates. Every rule violation
// is reported through parser_failure; the inference result after one is NO_ID.
#pragma once
#include "ast.h"
#include "parser_env.h"

// Declares types 0 to 33 (names as symbols, one TYPE_DECLARATION each as an
// external definition); type 26 "uint8[]" is an unsized kind-5 buffer of uint8.
void parser_initBaseTypes(ParserEnv* env);

// Appends a type record and returns its TYPE_DECLARATION node (value = type id,
// left = SYM of the name, right = fields). An enumerator list may hold SYM nodes:
// they are wrapped into FIELD_STATEMENT nodes of the new enumeration.
AST* defType_declare(ParserEnv* env, u32 nameSymbol, u32 baseKind, bool isIterator, AST* fields,
                     u32 line);
// FIELD_STATEMENT (value = field type, left = name); a channel field is
// failure 125 and gives nullptr.
AST* defType_makeField(ParserEnv* env, u32 typeId, AST* nameSymbol);
// Appends an enumerator (a FIELD_STATEMENT holding the SYM) unless already present.
void defType_add_enum(ParserEnv* env, u32 enumTypeId, AST* nameSymbol);
// The first type whose name symbol is symbolId, or NO_ID.
u32 defType_lookup(ParserEnv* env, u32 symbolId);
// Builtin fields of the base types 0 to 32: found flag; rights 1 (read only)
// for primitives, 3 for the time account of Named_Block and State.
bool defType_getBaseTypeFieldAccessRights(ParserEnv* env, u32 baseTypeId, u32 fieldSymbol,
                                          u32* accessRights);
// ENUM_VALUE_OP: value = enumeration type, left = new SYM of enumeratorSymbol,
// right = typeNode.
AST* defType_makeEnumFieldCall(ParserEnv* env, AST* typeNode, u32 enumeratorSymbol);

// Buffer types. size NO_ID is an unsized buffer. Names follow the source
// spelling: uint8[3], uint8[], queue<uint8>[4], stack<int32>[2], channel<uint8>.
u32 defType_declareBuffer(ParserEnv* env, u32 kind, u32 elementType, u32 size);
u32 defType_searchBuffer(ParserEnv* env, u32 kind, u32 elementType, u32 size);
// Evaluates sizeExpr at compile time (failures 158, 149, 128, 127 → NO_ID) and
// returns the matching buffer type, declaring it when new.
u32 defType_getBuffer(ParserEnv* env, u32 kind, u32 elementType, AST* sizeExpr);

// Iterator types "iterator<element>": base = element, storage 3 cells.
u32 defType_declareIterator(ParserEnv* env, u32 elementType);
u32 defType_searchIterator(ParserEnv* env, u32 elementType);
// Whether typeId was declared as an iterator type.
bool defType_isIterator(ParserEnv* env, u32 typeId);

// Whether a value of candidate is accepted where the abstract type is expected
// (Primitive, Enumeration, Any, Array, <sized/unsized array>, Channel,
// <sized/unsized channel>); exact matches are the caller's business.
bool defType_isDerivedType(ParserEnv* env, u32 abstractType, u32 candidate);
// Deprecated `type(expr)` cast: warning, failure 214 unless exactly one
// argument, failure 142 for an untyped float literal; CAST_OP or nullptr.
AST* defType_makeCast(ParserEnv* env, u32 targetType, AST* arguments);

// Type of an expression node, checking the operator rules; NO_ID after a failure.
u32 defType_evaluate(ParserEnv* env, AST* expression);
u32 defType_resultantIntegerType(ParserEnv* env, u32 left, u32 right);
u32 defType_resultantFloatType(ParserEnv* env, u32 left, u32 right);
u32 defType_resultantType(ParserEnv* env, u32 operation, u32 left, u32 right);
// The type in which an operation is carried out (the operator node's value).
u32 defType_deduceOperationOperatorType(ParserEnv* env, u32 operation, AST* left, AST* right);
// Failure 142 when both are the untyped Float; returns false then.
bool defType_checkFloatUncertainty(ParserEnv* env, u32 left, u32 right);
// Conversion flags (CONV_*) of converting the constant value to the integer
// type target.
u32 defType_testIntegerConversion(TaggedValue value, u32 targetType);
// Checks an initializer against typeId; an INITIALIZER_OP gets typeId on its
// right child. Returns the initializer, or nullptr after a failure.
AST* defType_checkInitializer(ParserEnv* env, AST* initializer, u32 typeId);

// Classifications.
bool defType_isEnumType(ParserEnv* env, u32 typeId);
bool defType_isArray(ParserEnv* env, u32 typeId);
bool defType_isSizedArray(ParserEnv* env, u32 typeId);
bool defType_isUnsizedArray(ParserEnv* env, u32 typeId);
// Channel-like: buffer kinds 2 to 5.
bool defType_isChannel(ParserEnv* env, u32 typeId);
bool defType_isUnsizedChannel(ParserEnv* env, u32 typeId);
bool defType_isQuantity(ParserEnv* env, u32 typeId);
bool defType_isUnsignedInteger(ParserEnv* env, u32 typeId);
bool velk_isSignedInteger(ParserEnv* env, u32 typeId);
