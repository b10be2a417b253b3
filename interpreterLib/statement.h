// Statements, local declarations and value copies. Every statement returns a
// completion code (STMT_NORMAL, STMT_CONTINUE, STMT_BREAK): blocks pass a
// non-zero code up, loops consume it.
#pragma once
#include "interp_env.h"

enum StatementCompletion : u32 { STMT_NORMAL = 0, STMT_CONTINUE = 1, STMT_BREAK = 2 };

// Executes one statement; a null node does nothing. The value stack is
// restored after the statement to where it was before it.
u32 statement_execute(InterpEnv* env, AST* node);
// A block with its own locals; timed blocks (named blocks) advance the clock by
// their time account's execution_time.
u32 statement_block(InterpEnv* env, AST* declarations, AST* statements, bool timed);
u32 statement_if(InterpEnv* env, AST* condition, AST* thenStatement, AST* elseStatement);
u32 statement_while(InterpEnv* env, AST* condition, AST* body);
u32 statement_for(InterpEnv* env, AST* init, AST* condition, AST* step, AST* body);
// Executes a statement list (or one statement) until a statement completes
// with a non-zero code, which is returned.
u32 statement_executeList(InterpEnv* env, AST* statements);
// Declares the locals of a timed body (a named block or a state), whose first
// declaration is its time account, and zeroes the account's execution_time.
// Returns the account; its cells live until the caller restores the counts.
TaggedValue statement_declareTimedLocals(InterpEnv* env, AST* declarations);

// Declares and initialises the locals of a declaration list.
void variable_declareLocals(InterpEnv* env, AST* declarations);
// Declares the local self bound by reference to an instance record.
void variableDeclareSelf(InterpEnv* env, TaggedValue instance);

// Copies source into destination (the destination type's storage size);
// channels are rebased so the copy is a valid channel of the destination.
void value_set(InterpEnv* env, TaggedValue destination, TaggedValue source);
// The bits a scalar of typeId keeps when it is copied (its own width): 0 for a
// type that is not a scalar.
DataCell value_scalarMask(InterpEnv* env, u32 typeId);
// Resets a value to its empty state: channels (also inside structures and
// arrays) get their empty index cells, every other cell 0.
void value_clear(InterpEnv* env, TaggedValue value);
// The field at offset cells into record, typed fieldType, keeping the
// record's global id.
TaggedValue field_get(InterpEnv* env, TaggedValue record, u32 fieldType, u32 offset);

// interp_exit / interp_assert: the exit and assert statements of a program.
void interp_exit(InterpEnv* env, size_t line, AST* expression);
void interp_assert(InterpEnv* env, size_t line, AST* condition, u32 fileNameString,
                   u32 textString);
