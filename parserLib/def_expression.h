// Expressions of the compiler: symbols and their shared SYM nodes, label and
// string literals, float, time and frequency literals, arithmetic, logical and
// chained comparison nodes, field access, user calls, expected-type matching,
// constness, access rights and compile-time evaluation on env->ienv.
// A failing constructor reports through parser_failure and returns nullptr.
#pragma once
#include "ast.h"
#include "interp_consteval.h"
#include "parser_env.h"

// Access rights of an expression, of a local and of a builtin field.
constexpr u32 kAccessNone = 0;       // iterators
constexpr u32 kAccessReadOnly = 1;   // constants, IN parameters
constexpr u32 kAccessWriteOnly = 2;
constexpr u32 kAccessReadWrite = 3;  // variables, OUT parameters
// Builtin fields only: the rights of the buffer an iterator walks.
constexpr u32 kAccessInherited = 4;

// Symbols: the debug symbol table, interned through a hash index (first id of a
// name wins, as a search in id order would answer).
u32 defExpr_lookupForSymbol(ParserEnv* env, const char* name);
// Appends the name even when it already exists (callers that must not create a
// duplicate use defExpr_lookupOrAddSymbol).
u32 defExpr_AddSymbol(ParserEnv* env, const char* name);
u32 defExpr_lookupOrAddSymbol(ParserEnv* env, const char* name);
// The interned symbol id of name (lookup, else add): for base type names etc.
u32 defExpr_addSymbol(ParserEnv* env, const char* name);
// The first SYM node of the name's symbol, created at line when there is none.
AST* defExpr_makeSymbol(ParserEnv* env, const char* name, u32 line);
// The first SYM node of the symbol, or nullptr.
AST* defExpr_reference_symbol(ParserEnv* env, u32 symId);

// Literals. makeStr stores the text (escapes as written) as a uint8[] value in
// constantDataTable: length + 2, 2, the characters, 0.
AST* defExpr_makeStr(ParserEnv* env, const char* text, u32 line);
AST* defExpr_makeLabelStr(ParserEnv* env, const char* text, u32 line);
// FLOAT_OP (type Float) holding a node whose value is the spelling's index in
// numericsBuffer; defExpr_evalAsFloat gives it its width later.
AST* defExpr_makeFloatLiteralNode(ParserEnv* env, const char* spelling, u32 line);
// "1 s 500 ms": one node per group, summed with PLUS_OP; nullptr (185) when
// the literal exceeds the largest time64.
AST* defExpr_makeTimeLiteral(ParserEnv* env, const char* text, u32 line);
// Whether count units of a duration node code (S_LITERAL_OP ... FREQUENCY_OP)
// fit in time64; failure 185 naming the unit and its largest count if not.
bool defExpr_checkDurationCount(ParserEnv* env, u32 unitOp, u64 count, u32 line);
// "50 Hz": FREQUENCY_OP holding the period in picoseconds, or nullptr (177, 183).
AST* defExpr_makeFrequencyLiteral(ParserEnv* env, const char* text, u32 line);

// Operations (right is nullptr for unary operators).
AST* defExpr_makeArithmeticOp(ParserEnv* env, u32 operation, AST* left, AST* right);
AST* defExpr_makeLogicalOp(ParserEnv* env, u32 operation, AST* left, AST* right);
// a == b == c: AND_OP(chain, link) with the shared middle operand; nullptr (98)
// when the chain mixes == and !=.
AST* defExpr_makeMultipleEqualityExpression(ParserEnv* env, u32 operation, AST* chain,
                                            AST* next);
AST* defExpr_makeMultipleRelationalExpression(ParserEnv* env, u32 operation, AST* chain,
                                              AST* next);
// object.field (fieldName: the SYM node of the field): enumerator, builtin
// field, or structure field (CALL_OP code 4). make_function_call and
// make_user_func_call are declared with the other calls in def_builtins.h.
AST* defExpr_makeFieldCall(ParserEnv* env, AST* object, AST* fieldName);
// target = value (ASSIGN_OP), with the checks 153, 159, 160.
AST* defExpr_makeAssignment(ParserEnv* env, AST* target, AST* value);

// Typing helpers. The out parameters may be nullptr.
bool defExpr_areCompatibleExps(ParserEnv* env, AST* left, AST* right, u32 operation,
                               u32* leftType, u32* rightType, u32* resultType);
bool defExpr_matchExpectedType(ParserEnv* env, u32 expectedType, AST* expression,
                               u32* expressionType, u32* matchedType);
bool defExpr_canBeItsOpposite(ParserEnv* env, AST* expression, u32* type, u32* oppositeType);
// Gives the untyped float literals of expression the width floatType
// (TypeF32 or TypeF64), and the operator nodes on the way that width too.
void defExpr_evalAsFloat(ParserEnv* env, u32 floatType, AST* expression);

bool defExpr_isConst(ParserEnv* env, AST* expression);
bool defExpr_isDataAccessor(const AST* node);
u32 defExpr_getAccessRights(ParserEnv* env, AST* expression);
bool defExpr_isReadable(ParserEnv* env, AST* expression);
bool defExpr_isWritable(ParserEnv* env, AST* expression);

// Evaluates a constant expression on env->ienv and returns its value, which
// lives on the interpreter's value stack: callers take consteval_mark before
// and consteval_release after using it (defExpr_withValue does both). When the value cannot be computed at
// this point (a call whose body is not known yet, or that would touch global or
// static data, loop, recurse or do I/O), or the run was abandoned, the result
// has typeId NO_ID and a null value, and the caller treats the expression as
// not constant. *slot (when not nullptr) receives the result too.
TaggedValue defExpr_execAndStack(TaggedValue* slot, ParserEnv* env, AST* expression);
// Grows constantDataTable by cells zeroed cells, rebasing the global and the
// interpreter's local constants; returns the index of the first new cell.
u32 defExpr_reserveConstantData(ParserEnv* env, u32 cells);
// Whether defExpr_execAndStack can compute expression now.
bool defExpr_canExecAtCompileTime(ParserEnv* env, AST* expression);
// Evaluates expression and, when its value is known, calls use(value) while
// the value is still on the value stack; true when it was known.
template <class Use>
bool defExpr_withValue(ParserEnv* env, AST* expression, Use&& use) {
  const u32 mark = consteval_mark(env->ienv);
  const TaggedValue value = defExpr_execAndStack(nullptr, env, expression);
  const bool known = value.value != nullptr && value.typeId != NO_ID;
  if (known) use(value);
  consteval_release(env->ienv, mark);
  return known;
}
