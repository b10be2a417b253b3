// Calls: the builtin vocabulary (prototype tables of builtin functions,
// methods and fields), the resolution of every call written in a program into
// a typed CALL_OP node with its call code, the per-builtin checks run when a
// call is built, the print-format checks run after parsing, user function and
// sub-process instance calls, and the constness and access rights of calls.
//
// Call node: value = result type (TypeStmt when the call yields nothing);
// left = INDEX_NODE (value: call code; left: object or none; right: for user
// calls an INDEX_NODE holding the function or sub-process instance index);
// right = argument list.
#pragma once
#include <string>

#include "parser_env.h"

// Signature type markers: never valid type ids.
constexpr s32 LAST_VARIADIC = -2;
constexpr s32 OBJ_TYPE_ID = -3;
constexpr s32 OBJ_BASETYPE_ID = -4;
constexpr s32 FIRST_ARG_TYPE_ID = -5;
constexpr s32 FIRST_ARG_BASETYPE_ID = -6;
constexpr s32 ITER_RM_OP_TYPE_ID = -7;

enum class CallProtoKind : u32 { None, Function, Method, Field };

// Where the prototype of a built call lives: table, entry and signature index.
struct CallProto {
  CallProtoKind kind = CallProtoKind::None;
  u32 entry = NO_ID;
  u32 signature = NO_ID;
};

// Start-up, before parsing: enters every builtin name in the symbol table.
void parser_initBuiltinCalls(ParserEnv* env);

// name: the SYM node of the called name; args: LIST of arguments or none.
AST* make_function_call(ParserEnv* env, AST* name, AST* args);
AST* builtinFunc_makeCall(ParserEnv* env, AST* name, AST* args);
AST* builtinMtd_makeCall(ParserEnv* env, AST* object, AST* name, AST* args);
AST* builtinFld_makeCall(ParserEnv* env, AST* object, AST* name);
// User function, sub-process instance of the current process, or cast.
AST* make_user_func_call(ParserEnv* env, AST* name, AST* args);

bool defFunc_isBuiltin(ParserEnv* env, u32 symId);

// User functions. A prototype registers the function (so that it can be called,
// itself included, before its definition); a definition is registered when its
// body has been parsed. Returns the FUNCTION_PROTOTYPE / FUNCTION_DECLARATION.
AST* defFunc_definePrototype(ParserEnv* env, AST* name, AST* parameters);
AST* defFunc_define(ParserEnv* env, AST* name, AST* parameters, AST* body);
// Function index of a name, or NO_ID.
u32 defFunc_lookup(ParserEnv* env, u32 symId);

// Parameter check of a call of a user function or sub-process instance named
// by name. false after a failure; *valued tells whether the last OUT parameter
// was omitted (the call then yields *resultType).
bool defStmt_checkASTCall(ParserEnv* env, AST* name, AST* args, bool* valued, u32* resultType);
// 2: sub-process instance of the current process, 1: user function, 0: other.
u32 defStmt_callable_entity_kind(ParserEnv* env, u32 symId);

CallProto retrieveCallProto(ParserEnv* env, AST* call);
bool defCall_isConst(ParserEnv* env, AST* call);
u32 defCall_getAccessRights(ParserEnv* env, AST* call);
// Name symbol of a call (for messages), NO_ID when it has none.
u32 defCall_getSymId(ParserEnv* env, AST* call);
// Type of the call's object (for a type name: the named type), TypeVoid if none.
u32 defCall_getObjType(ParserEnv* env, AST* call);
bool defCall_is(ParserEnv* env, AST* call, u32 code, u32 objectType);

// After parsing: the format checks of every print call of the program.
void parser_checkBuiltinCalls(ParserEnv* env);

// Building blocks, public for the tests.
// Whether args match signature `signature` of entry `entry` of a table.
bool areArgsMatchingSntr(ParserEnv* env, AST* args, CallProtoKind kind, u32 entry, u32 signature,
                         u32 objectType);
u32 getRealRetType(ParserEnv* env, s32 ret, u32 objectType, u32 firstArgType);
// One line per signature of a function or method entry: "ret(arg, arg...)\n".
std::string allocAllSntrDesc(ParserEnv* env, CallProtoKind kind, u32 entry, u32 objectType);
// Format check of a print format (the first element of args) against the rest.
bool defFunc_checkPrintCall(ParserEnv* env, AST* args);
