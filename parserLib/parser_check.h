// Whole-program checks of the compiler, run once after parsing: names
// declared twice (per file, then across files), prototypes and their
// definitions, process instances against their definitions, state machines,
// break/continue placement, enumeration values, type declarations,
// control-flow conditions, and the values of constant operations. The global
// checks also resolve sub-process definitions and allocate the instances.
// Every check stops at its first failure (the compiler exits there anyway).
#pragma once
#include <vector>

#include "parser_env.h"

// Operation value errors: index 0 is "no error"; indexes from
// kFirstCriticalOpError on stop the compilation.
enum OperationValueError : u32 {
  OPERR_NONE = 0,
  OPERR_WRAP = 1,
  OPERR_OVERFLOW = 2,
  OPERR_DIVISION_BY_ZERO = 3,
  OPERR_MODULO_ZERO = 4,
  OPERR_DIVIDED_BY_MINUS_ONE = 5,
  OPERR_MODULO_MINUS_ONE = 6,
};
constexpr u32 kFirstCriticalOpError = OPERR_DIVISION_BY_ZERO;
const char* opErr_getName(u32 error);

// Global declarations: their description in messages and their name.
bool op_isDeclaration(u32 op);
const char* op_getGblDeclDesc(u32 op);
u32 gblDecl_getSymId(ParserEnv* env, const AST* decl);

// Reports failure 122 unless a and b have different names or form an allowed
// pair (function or process definition and its prototype, an instance and its
// implicit variable). a is the later declaration. false after a failure.
bool linkage_checkIfDuplicatedDeclNames(ParserEnv* env, const AST* a, const char* fileA,
                                        const AST* b, const char* fileB);

// parser_check runs the checks below between these two calls. Meanwhile
// they share one view of the declaration lists and one census of the nodes
// that several of them look at (enumeration values, control-flow statements,
// calls), each taken when first needed: the checks only set values, so the
// tree keeps its shape. On large programs the order in which the operation
// check visits nodes is worked out on a second thread from the session's
// start. A check called on its own takes its own.
void parser_beginChecks(ParserEnv* env);
void parser_endChecks(ParserEnv* env);

// A call node and the file node of the declaration that holds it (nullptr
// for the main file).
struct BuiltinCallSite {
  AST* call;
  const AST* file;
};
// The session's call nodes in the order of a walk of the whole program, for
// parser_checkBuiltinCalls; nullptr outside a session. Valid until the next
// call or the session's end.
const std::vector<BuiltinCallSite>* parser_checkedCallSites(ParserEnv* env);

// The per-file checks of every file (the main file and each included one).
void parser_checkEachFileLinkage(ParserEnv* env, const char* mainFileName);
// Duplicates across files, instances, prototypes, break/continue, instance
// allocation, enumeration values.
void parser_checkProgramGlobalLinkage(ParserEnv* env, const char* mainFileName);
// Duplicated fields and enumerators, and the bool conditions of if/while/for.
void parser_checkType(ParserEnv* env);
// Walks the program from root checking constant operations. Non-critical
// errors are warned about; the first critical one ends the walk and is
// returned, with checkedNode and fileName left on the offending node so that
// parser_operationError reports it there. OPERR_NONE when none.
u32 parser_checkOperationValues(ParserEnv* env, AST* root);
