// Helpers of the grammar's actions: node and list building at the scanner's
// line, the header line of the declaration being read, the string-mode
// result, and the grammar's own failure reports.
#pragma once
#include "ast.h"
#include "parser_env.h"

// Parser limits: the state and value stacks start with this many entries and
// double up to the maximum, beyond which the parse fails with
// "memory exhausted".
constexpr u32 kGrammarInitialDepth = 200;
constexpr u32 kGrammarMaxDepth = 10000;

// Forgets what a previous parse left (list tails, string-mode result).
void grammar_beginParse(ParserEnv* env);

// A top-level declaration is complete: the tails of its lists are forgotten,
// so that the tail index stays as small as one declaration.
void grammar_endDeclaration(ParserEnv* env);

// The line of the scanner buffer being read (the line of the nodes the grammar
// builds), or the context's line when no scanner is attached.
u32 grammar_line(ParserEnv* env, void* scanner);

// A node of the grammar's own, at the scanner's line.
AST* grammar_makeNode(ParserEnv* env, void* scanner, u32 op, AST* left, AST* right);
// INTEGER_OP of __LINE__ (the line, sign-extended to 64 bits).
AST* grammar_makeLineLiteral(ParserEnv* env, void* scanner);
// INTEGER_OP of value 4294967295: the size expression of an unsized buffer.
AST* grammar_makeUnsizedSize(ParserEnv* env, void* scanner);

// Lists built by the grammar. Appending is constant time: the grammar remembers
// the last cell of each list it builds. A null element is skipped by
// grammar_append (a construct that failed); grammar_appendCell keeps it as an
// absent element (an empty LIST cell).
AST* grammar_append(ParserEnv* env, void* scanner, AST* list, AST* element);
AST* grammar_appendCell(ParserEnv* env, void* scanner, AST* list, AST* element);

// The line recorded when a function, process, structure or enumeration header
// is read; the routine completing the declaration uses it as its line.
void grammar_recordHeaderLine(ParserEnv* env, void* scanner);
u32 grammar_headerLine(ParserEnv* env);
// Sets the line a node is reported at (no effect on an absent node).
void grammar_setNodeLine(ParserEnv* env, AST* node, u32 line);

// String mode: the statement or expression node of "$ ...", or nullptr.
void grammar_setStringResult(ParserEnv* env, AST* node);
AST* grammar_stringResult(ParserEnv* env);

// The type named by a SYM node (defType_lookup), or failure 184 and NO_ID.
u32 grammar_lookupType(ParserEnv* env, AST* name);
// A failure of the grammar's table at the current line (status, message).
void grammar_fail(ParserEnv* env, int status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Failure 121 for the constant named by name.
void grammar_failConstantWithoutInit(ParserEnv* env, AST* name);

// The enumeration type "Process_State", which gains one enumerator per state
// name; NO_ID when the system library has not declared it.
u32 grammar_processStateType(ParserEnv* env);
