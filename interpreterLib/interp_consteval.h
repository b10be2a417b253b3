// Compile-time evaluation: the one way the compiler runs code of the image it
// is still building, to fold constant expressions, size arrays and check
// constant indexes. The compiler's environment borrows that image
// (interp_load_from_parser); the local constants of the bodies being parsed
// sit on the environment's local constant table and point into the image's
// constant data. Nothing here lets an internal abort escape: an abandoned
// evaluation yields an unknown value.
#pragma once
#include "interp_env.h"

// The value stack's mark. Evaluated values live on the value stack until the
// caller releases the mark it took before evaluating.
u32 consteval_mark(const InterpEnv* env);
void consteval_release(InterpEnv* env, u32 mark);

// Evaluates node, which may have been made in the middle of parsing (its
// declarations and function bodies need not be complete). bound lists the
// local constants node reads, by their index in the innermost frame; an entry
// with a null value is one node does not read. When the current frame holds
// them already (while their scopes are parsed), node runs in it; otherwise they
// are pushed for this evaluation only. Yields {nullptr, NO_ID, NO_ID} when
// they do not fit in the local constant table or the run was abandoned.
TaggedValue consteval_evaluate(InterpEnv* env, AST* node, const TaggedValue* bound, u32 count);

// Copies value into dest, as type, with the interpreter's assignment rules (a
// scalar keeps the width of its type, a channel is rebased); false when the
// copy was abandoned.
bool consteval_store(InterpEnv* env, DataCell* dest, u32 type, TaggedValue value);

// Pushes a compile-time local constant of type typeId whose value lies at
// `value`; false when the table is full (the failure has been reported).
bool consteval_defineLocal(InterpEnv* env, u32 typeId, DataCell* value);
// Pops the most recent compile-time local constant.
void consteval_popLocal(InterpEnv* env);

// After the constant data moved from oldBase to newBase, points the
// compile-time local constants at the new table.
void consteval_rebase(InterpEnv* env, const DataCell* oldBase, DataCell* newBase);
