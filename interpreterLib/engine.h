// The prepared engine: runs statements and conditions of a loaded image from
// a compact form built once per code fragment, on its first execution. The
// prepared form has each node's shape checked, its operator chosen for its
// type, its locals resolved to frame slots and scalar temporaries kept out of
// the value stack; whatever it does not handle itself it hands to the tree
// walker (statement_execute, expr_execute) node by node, so both always agree.
//
// The tree walker stays the reference: images lent by the compiler (whose
// nodes change while it parses) always run on it, and VELK_ENGINE=tree in the
// environment selects it for every image. The prepared form is owned by the
// environment (engine_free) and dropped whenever another image is loaded.
#pragma once
#include "interp_env.h"

// Executes a statement of the running frame (a function body, a common,
// finally or transition block); the same contract as statement_execute.
u32 engine_executeStatement(InterpEnv* env, AST* node);
// Executes a statement list (a state's statements); as statement_executeList.
u32 engine_executeList(InterpEnv* env, AST* statements);
// Evaluates a condition to a boolean (an `on` transition); as
// expr_executeBoolean, with the value stack restored afterwards.
bool engine_evaluateCondition(InterpEnv* env, AST* condition);

// A statement list's prepared form, looked up once by a caller that runs the
// list many times (an activation keeps its state's); null when the list runs
// on the tree walker. Valid while the image stays loaded.
struct EngineFragment;
const EngineFragment* engine_listFragment(InterpEnv* env, AST* statements);
// Runs statements in the current frame through a fragment looked up above;
// as engine_executeList (which it falls back to when the frame shows fewer
// locals than the fragment was prepared for, or there is no fragment).
u32 engine_runListFragment(InterpEnv* env, const EngineFragment* fragment, AST* statements);

// The activation plan kept for a process instance (process.h), null when the
// prepared engine does not run this image or the id is out of range. Plans
// are dropped with the prepared form.
struct ProcessActivationPlan;
ProcessActivationPlan* engine_activationPlan(InterpEnv* env, u32 instanceId);

// Whether the prepared engine runs this environment's image.
bool engine_isEnabled(InterpEnv* env);
// Frees the prepared form (next use prepares again from the current image).
void engine_free(InterpEnv* env);
// Bytes held by the prepared form, for measurements.
size_t engine_preparedBytes(const InterpEnv* env);
