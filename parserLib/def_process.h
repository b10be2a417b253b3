// Processes and state machines as the compiler builds them: process
// definitions and prototypes, states and transitions (with their linking),
// sub-process and global instances, formal parameters, buffer declarations and
// array indexing, iterators, durations written with a unit, `@` annotations,
// and the allocation of instance records and per-instance static variables.
// Every operation reports its failures through parser_failure and then
// returns no node (nullptr).
#pragma once
#include "parser_env.h"

// Largest number of global process instances: the capacity of the queue
// System.processes of the system library.
constexpr u32 kMaxGlobalProcessInstances = 1024;

// Process definitions and prototypes. name is the SYM node of the process.
AST* defProc_declareStateMachinePrototype(ParserEnv* env, AST* name, AST* parameters);
// Fills all nine fields of the definition record (the static and local lists
// come from the declarations collected since the header), links transitions
// to states, then empties the process lists and forgets the statics.
AST* defProc_declareStateMachine(ParserEnv* env, AST* name, AST* parameters,
                                 AST* subInstances, AST* commonBlock, AST* states,
                                 AST* finallyBlock);
// Records the line of the process header (the definition node's line).
void defProc_setHeaderLine(ParserEnv* env, u32 line);

// Append a declaration to the current process's static or local list.
AST* defProc_addStaticVariable(ParserEnv* env, AST* decl);
AST* defProc_addVariable(ParserEnv* env, AST* decl);
// The lists collected so far for the process being parsed (nullptr if empty).
AST* defProc_getStaticVariables(ParserEnv* env);
AST* defProc_getVariables(ParserEnv* env);

// Sub-process instances. makeInstance builds the node and declares the
// instance's implicit static Process_Instance record (added to the static
// list); declareLocalInstance records the node in currentSubProcessInstances.
AST* defProc_makeInstance(ParserEnv* env, AST* definitionName, AST* instanceName);
void defProc_declareLocalInstance(ParserEnv* env, AST* instanceNode);
u32 defProc_lookupLocalInstance(ParserEnv* env, u32 symbol);
// The sub-instance node recorded at index (nullptr when out of range).
AST* defProc_getLocalInstance(ParserEnv* env, u32 index);
void defProc_clearLocalInstances(ParserEnv* env);

// Index of the first definition / global instance with that name, or NO_ID.
u32 defProc_lookupDefinition(ParserEnv* env, u32 symbol);
u32 defProc_lookupGlobalInstance(ParserEnv* env, u32 symbol);

// Global instances. The implicit global Process_Instance variable is declared
// (and added as an external definition) before the instance is defined.
AST* defProc_define_global_process_implicit(ParserEnv* env, AST* instanceName);
// timing: list of one or two expressions (period, offset) or nullptr;
// an element may be absent (an empty LIST cell).
AST* defProc_defineGlobalInstance(ParserEnv* env, AST* definitionName, AST* instanceName,
                                  AST* timing, AST* condition, AST* parameters);
// Warns (status 0) about an assignment of a constant of 2^63 ps or more to
// the period, offset or jitter field of a Process_Instance record: the
// scheduler keeps pending activations relative to now in signed 64 bits.
// Instance timing lists get the same warning when the instance is defined.
void defProc_checkTimingAssignment(ParserEnv* env, AST* target, AST* value);

// States and transitions. kind is ON_OP or AFTER_OP; targetState a SYM node.
AST* defProc_makeTransition(ParserEnv* env, u32 kind, AST* targetState, AST* condition,
                            AST* duration, AST* statements);
// name: the one-element list holding the state's implicit State declaration,
// or the declaration itself (then wrapped here).
AST* process_makeState(ParserEnv* env, AST* name, AST* statements, AST* transitions);
// name: the implicit Named_Block declaration (or a list holding it), or
// nullptr for an unnamed block (then the block comes back unchanged).
AST* makeNamedBlock(ParserEnv* env, AST* name, AST* block);

// Annotations. path: list of SYM nodes written after `@`.
AST* defineAnnotation(ParserEnv* env, AST* path, AST* item);

// Formal parameters: direction 0 is IN, 1 is OUT.
AST* defParam_make(ParserEnv* env, u32 type, AST* name, u32 direction);

// What compareParameters remembers for the caller's messages.
struct ParameterComparison {
  u32 formalName = NO_ID;   // symbol of the last formal seen that has a name
  u32 formalType = NO_ID;   // type of the formal that did not match (result 2)
  bool matched = true;      // result of the expected-type matching (result 2)
  u32 actualType = NO_ID;   // type of the actual that did not match
  u32 matchedType = NO_ID;  // the type matching gave
  u32 position = 0;         // 0-based index of the pair that decided the result
};
// 0 equal, 1 count differs, 2 type mismatch, 3 OUT actual not writable,
// 4 only the last OUT formal omitted (a valued call).
u32 compareParameters(ParserEnv* env, AST* actuals, AST* formals,
                      ParameterComparison* details = nullptr);
// Structural equality: same operation and value at every node, recursively.
bool parameterListMach(ParserEnv* env, AST* a, AST* b);

// Buffer declarations and array indexing.
AST* defBuff_makeDefinition(ParserEnv* env, u32 bufferType, AST* name, AST* size,
                            AST* initializer, bool isConstant);
AST* defBuff_makeArrayCall(ParserEnv* env, AST* array, AST* index);

// Iterators: the declaration is also declared local (it remembers its buffer).
AST* defIter_makeDeclaration(ParserEnv* env, AST* name, AST* bufferExpression);
AST* defIter_getBufferExpr(ParserEnv* env, AST* iterator);

// Durations with a unit. unitSymbol is the SYM node of the unit name.
// makeDuration / makeDurationExp take the duration node's operation code
// (S_LITERAL_OP, MS_LITERAL_OP, US_LITERAL_OP, NS_LITERAL_OP, FREQUENCY_OP).
AST* defStmt_makePostSymbolCall(ParserEnv* env, AST* operand, AST* unitSymbol);
AST* makeDuration(ParserEnv* env, AST* literal, u32 unitOp);
AST* makeDurationExp(ParserEnv* env, AST* expression, u32 unitOp);
// Adds the unit names to the symbol table; done once at start-up (and on the
// first use of a unit otherwise).
void defStmt_initPostSymbols(ParserEnv* env);

// Instance allocation, once, from the whole-program checks.
void parser_allocate_process_instances(ParserEnv* env, AST* node);
// prefix: qualified name of the enclosing instance, or nullptr / "" for none.
void defProc_allocInstanceMemory(ParserEnv* env, u32 definition, u32 instanceSymbol,
                                 const char* prefix);
