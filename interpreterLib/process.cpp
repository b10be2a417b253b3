#include "process.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine.h"
#include "expression.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "statement.h"
#include "velk_locals.h"
#include "velk_typing.h"

namespace {

// ---------------------------------------------------------------------------
// Native stack guard. A program may nest calls without consuming local table
// entries (a recursive function without parameters or locals), so the local
// table limits alone cannot stop a runaway recursion before the C++ stack
// overflows. Each call therefore checks that a reserve of the thread's stack
// is left. The bound is a property of the thread, computed once per thread.
//
// Where the system places a stack varies from run to run (address
// randomisation, the size of the environment), so a bound taken from the
// stack's end alone would stop the same recursion a few calls earlier or
// later each time. The bound is therefore a fixed budget below the frame that
// first asks for it, which sits at the same depth in every run of a program:
// the recursion then stops at the same call every time. Only a stack too
// small for the budget falls back to the reserve alone.

constexpr size_t kMinStackReserve = 64 * 1024;
constexpr size_t kMaxStackReserve = 1024 * 1024;
constexpr size_t kStackBudget = 6 * 1024 * 1024;

struct NativeStackFloor {
  bool known = false;
  const char* floor = nullptr;  // null when the thread's stack is unknown
  // Half way into the reserve: where nested evaluation inside one call gives
  // up. Lower than the call floor, so a runaway recursion is always stopped
  // by the call check first.
  const char* evaluationFloor = nullptr;
};
thread_local NativeStackFloor tStackFloor;

// The first time a thread asks: its own frame is the anchor of the budget.
[[gnu::noinline]] void findNativeStackFloor() {
  tStackFloor.known = true;
  const uintptr_t anchor = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 2 * kMinStackReserve) {
    const size_t reserve = std::clamp(size / 8, kMinStackReserve, kMaxStackReserve);
    const uintptr_t bottom = reinterpret_cast<uintptr_t>(low);
    uintptr_t floor = bottom + reserve;
    // (A frame outside the stack, as some instrumented builds make, keeps the
    // reserve alone.)
    const bool onStack = anchor > floor && anchor - bottom <= size;
    if (onStack && anchor - floor > kStackBudget) floor = anchor - kStackBudget;
    tStackFloor.floor = reinterpret_cast<const char*>(floor);
    tStackFloor.evaluationFloor = reinterpret_cast<const char*>(floor - reserve / 2);
  }
  pthread_attr_destroy(&attr);
}

const char* nativeStackFloor() {
  if (!tStackFloor.known) findNativeStackFloor();
  return tStackFloor.floor;
}

}  // namespace

bool process_nativeStackLow() {
  nativeStackFloor();
  const char* floor = tStackFloor.evaluationFloor;
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  return floor != nullptr && here < floor;
}

void process_checkNativeStack(InterpEnv* env) {
  const char* floor = nativeStackFloor();
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  if (floor != nullptr && here < floor) interp_fatal(env, "Call nesting too deep\n");
}

namespace {

void checkNativeStack(InterpEnv* env) { process_checkNativeStack(env); }

// ---------------------------------------------------------------------------

AST* nextCell(InterpEnv* env, AST* cell) {
  INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
  return AST_right(env->program, cell);
}

AST* cellElement(InterpEnv* env, AST* cell) {
  INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
  return AST_left(env->program, cell);
}

bool isParameter(u32 op) {
  return op == IN_PARAM || op == IN_CHANNEL_PARAM || op == OUT_PARAM || op == OUT_CHANNEL_PARAM;
}

// Binds one formal parameter: IN by value into a new local of the argument's
// own type; OUT, IN channel and OUT channel by reference to the argument's
// storage, so that writes reach the caller and a channel keeps its sized type.
void bindArgument(InterpEnv* env, AST* formal, TaggedValue argument) {
  INTERP_ASSERT_TEXT(env, formal != nullptr && isParameter(formal->op), "isParameter(formal->op)");
  process_bindArgument(env, formal->op == IN_PARAM, argument);
}

// An argument that is a plain literal (the usual argument of a process
// instance: a number, a truth value, a duration): the type and cell of the
// value the tree walker gives it. False for anything else.
bool literalArgument(const AST* argument, u32* type, DataCell* cell) {
  switch (argument->op) {
    case INTEGER_OP:
      *type = TypeInt;
      *cell = argument->value.uinteger;
      return true;
    case BOOLEAN_OP:
      *type = TypeBoolean;
      *cell = argument->value.boolean != 0 ? 1 : 0;
      return true;
    case FREQUENCY_OP:
      *type = TypeTime;
      *cell = argument->value.uinteger;
      return true;
    case NS_LITERAL_OP:
    case US_LITERAL_OP:
    case MS_LITERAL_OP:
    case S_LITERAL_OP: {
      if (argument->left != NO_ID) return false;  // a computed duration
      const u64 unit = argument->op == NS_LITERAL_OP   ? kPicosecondsPerNs
                       : argument->op == US_LITERAL_OP ? kPicosecondsPerUs
                       : argument->op == MS_LITERAL_OP ? kPicosecondsPerMs
                                                       : kPicosecondsPerS;
      *type = TypeTime;
      *cell = argument->value.uinteger * unit;
      return true;
    }
    default:
      return false;
  }
}

// A literal argument yields its value with the step and value-stack cell the
// tree walker gives it, without going through the walker. Anything else is
// evaluated by it.
TaggedValue argumentValue(InterpEnv* env, AST* argument) {
  u32 type = NO_ID;
  DataCell value = 0;
  if (argument != nullptr && literalArgument(argument, &type, &value)) {
    return interpStack_pushSingleAnyValue(env, type, value);
  }
  return expr_execute(env, argument);
}

// Binds the formals to the argument expressions, evaluated left to right in
// the caller's frame. Returns the number bound; *rest is the first formal
// cell left without an argument.
u32 bindArgumentList(InterpEnv* env, AST* formals, AST* arguments, AST** rest) {
  u32 bound = 0;
  AST* formal = formals;
  AST* argument = arguments;
  while (formal != nullptr && argument != nullptr) {
    bindArgument(env, cellElement(env, formal), argumentValue(env, cellElement(env, argument)));
    ++bound;
    formal = nextCell(env, formal);
    argument = nextCell(env, argument);
  }
  INTERP_ASSERT_TEXT(env, argument == nullptr, "no argument left without a parameter");
  *rest = formal;
  return bound;
}

void openFrame(InterpEnv* env, u32 nArgs) { process_openFrame(env, nArgs); }

const FunctionDefinition& functionAt(InterpEnv* env, u32 functionId) {
  INTERP_ASSERT_TEXT(env, functionId < env->program->infoProg->n_functions,
                     "funcID < env->program->infoProg->n_functions");
  return env->program->functionTable[functionId];
}

// Runs a function whose arguments `bind` binds (returning their count). The
// caller's frame and value stack are as they were afterwards.
template <class Bind>
void runFunction(InterpEnv* env, u32 functionId, Bind&& bind) {
  const FunctionDefinition function = functionAt(env, functionId);
  checkNativeStack(env);
  const u32 mark = interpStack_mark(env);
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  openFrame(env, bind(interp_nodeAt(env, function.parameters)));
  engine_executeStatement(env, interp_nodeAt(env, function.body));
  Variable_restorePrevLocalVarIndexes(env, &saved);
  interpStack_release(env, mark);
}

// ---------------------------------------------------------------------------
// Process_Instance records.

DataCell& cell(TaggedValue record, ProcessInstanceCell field) {
  return processRecord_cell(record, field);
}

bool flag(TaggedValue record, ProcessInstanceCell field) { return (cell(record, field) & 0xFF) != 0; }

u32 instanceIdOf(InterpEnv* env, TaggedValue record) {
  const u32 id = static_cast<u32>(cell(record, PI_INSTANCE_ID));
  INTERP_ASSERT_TEXT(env, id < env->program->infoProg->n_processInstances,
                     "instanceId < env->program->infoProg->n_processInstances");
  return id;
}

void notifyActivation(InterpEnv* env, TaggedValue record, u32 phase) {
  const u32 id = instanceIdOf(env, record);
  ProcessActivationCallback* callbacks = env->ctx->process_activation_callback;
  if (callbacks != nullptr && callbacks[id] != nullptr) callbacks[id](env, record, phase);
}

void notifyStateChange(InterpEnv* env, TaggedValue record, u32 phase, u32 value) {
  const u32 id = instanceIdOf(env, record);
  FsmChangedCallback* callbacks = env->ctx->fsm_changed_callback;
  if (callbacks != nullptr && callbacks[id] != nullptr) callbacks[id](env, record, phase, value);
}

u64 currentTime(InterpEnv* env) {
  GetTimeCallback gettime = env->ctx->gettime_callback;
  return gettime != nullptr ? gettime(env) : env_getTime(env);
}

AST* checkedState(InterpEnv* env, AST* state) {
  INTERP_ASSERT_TEXT(env, state != nullptr && state->op == NAMED_STATE_STATEMENT,
                     "NAMED_STATE_STATEMENT == state->op");
  AST* declaration = AST_right(env->program, state);
  INTERP_ASSERT_TEXT(env, declaration != nullptr && declaration->op == STATE_DCL,
                     "STATE_DCL == AST_right(env->program, state)->op");
  return state;
}

// The state node a record's state_ptr names; the program can write the
// field, so its value is checked like any id read from the image.
AST* recordState(InterpEnv* env, TaggedValue record) {
  return checkedState(env, interp_nodeAt(env, static_cast<u32>(cell(record, PI_STATE_PTR))));
}

void checkRecord(InterpEnv* env, TaggedValue record) {
  INTERP_ASSERT_TEXT(env, record.value != nullptr && record.typeId < env->program->infoProg->n_type,
                     "instance.value != NULL");
  INTERP_ASSERT_TEXT(env, env->program->typeTable[record.typeId].storageSize >= PI_CELL_COUNT,
                     "storageSize(instance) >= PI_CELL_COUNT");
}

bool conditionHolds(InterpEnv* env, AST* condition) {
  return engine_evaluateCondition(env, condition);
}

AST* transitionBody(InterpEnv* env, AST* transition) {
  AST* body = AST_left(env->program, transition);
  INTERP_ASSERT_TEXT(env, body != nullptr && body->op == TRANSITION_BODY,
                     "TRANSITION_BODY == AST_left(env->program, trans)->op");
  return body;
}

bool transitionFires(InterpEnv* env, AST* transition, u64 duration) {
  if (transition->op == ON_OP) {
    return conditionHolds(env, AST_left(env->program, transitionBody(env, transition)));
  }
  INTERP_ASSERT_TEXT(env, transition->op == AFTER_OP,
                     "(ON_OP == trans->op) || (AFTER_OP == trans->op)");
  AST* body = transitionBody(env, transition);
  if (time_durationToPs(env, AST_left(env->program, body)) > duration) return false;
  AST* condition = AST_right(env->program, body);
  return condition == nullptr || conditionHolds(env, condition);
}

void fireTransition(InterpEnv* env, AST* transition, u32 number, TaggedValue record) {
  notifyStateChange(env, record, 1, number);
  engine_executeStatement(env, AST_right(env->program, transition));
  const u32 targetId = transitionBody(env, transition)->value.id.id;
  AST* target = checkedState(env, interp_nodeAt(env, targetId));
  cell(record, PI_STATE_PTR) = targetId;
  cell(record, PI_PROCESS_STATE) = AST_getStateId(env->program, target);
  notifyStateChange(env, record, 0, static_cast<u32>(cell(record, PI_PROCESS_STATE)));
}

// Whether a cleared value of the type is all zero cells, with no channel
// inside whose index cells start otherwise: a local of it then needs nothing
// beyond the zeroed storage LocalVariable_declare gives it. Found once per
// type by clearing a scratch value, so the answer follows value_clear.
bool clearsToZero(InterpEnv* env, u32 typeId) {
  const program* p = env->program;
  if (typeId >= p->infoProg->n_type) return false;
  std::vector<u8>& known = env->ctx->cache->zeroClearedTypes;
  if (known.size() < p->infoProg->n_type) known.resize(p->infoProg->n_type, 0);
  if (known[typeId] == 0) {
    std::vector<DataCell> scratch(std::max<u32>(1, p->typeTable[typeId].storageSize), 0);
    value_clear(env, TaggedValue{scratch.data(), typeId, NO_ID});
    const bool zero = std::all_of(scratch.begin(), scratch.end(), [](DataCell c) { return c == 0; });
    known[typeId] = zero ? 1 : 2;
  }
  return known[typeId] == 1;
}

// A declaration whose local starts as zeroed storage: a variable without an
// initial value (or an iterator) of a type that clears to zero.
bool declaresZeroedLocal(InterpEnv* env, const AST* declaration) {
  switch (declaration->op) {
    case VARIABLE_DECL_OP:
    case VARIABLE_BUFFER_DECL_OP:
    case IMPLICIT_VARIABLE_DECL:
      if (declaration->right != NO_ID) return false;
      break;
    case ITERATOR_DECL_OP:
      break;
    default:
      return false;
  }
  return clearsToZero(env, declaration->value.id.type);
}

// At most this many declarations of a state take the direct paths below; a
// longer list is rare enough to go the general way.
constexpr u32 kDirectLocals = kStateLocalsDirect;

// The types of a state's local declarations, comments skipped, when every
// one of them only needs zeroed storage and the list is well formed; false
// otherwise (the general path then declares them, or reports the damage).
bool zeroedLocalTypes(InterpEnv* env, AST* declarations, u32 (&types)[kDirectLocals],
                      u32* count) {
  *count = 0;
  if (declarations == nullptr || env->borrowedProgram) return false;
  const program* p = env->program;
  const u32 nodes = p->infoProg->n_AST;
  const bool list = declarations->op == LIST;
  for (const AST* c = declarations;;) {
    const u32 id = list ? c->left : static_cast<u32>(c - p->RAMprogram);
    if (id >= nodes || *count == kDirectLocals) return false;
    const AST* declaration = &p->RAMprogram[id];
    if (declaration->op != COMMENT) {
      if (!declaresZeroedLocal(env, declaration)) return false;
      types[(*count)++] = declaration->value.id.type;
    }
    if (!list || c->right == NO_ID) break;
    if (c->right >= nodes || p->RAMprogram[c->right].op != LIST) return false;
    c = &p->RAMprogram[c->right];
  }
  return *count > 0 && p->typeTable[types[0]].storageSize >= 1;
}

// Whether declaring locals of these types leaves the locals' tables within
// their bounds, as LocalVariable_declare checks them one by one.
bool localsFit(InterpEnv* env, const u32* types, u32 count) {
  const LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  u64 cells = idx.count.variablesData;
  for (u32 k = 0; k < count; ++k) {
    const u32 size = std::max<u32>(1, env->program->typeTable[types[k]].storageSize);
    if (size >= STACKS_SIZE - cells) return false;
    cells += size;
  }
  return u64{idx.count.variables} + count <= STACKS_SIZE;
}

// What declaring a state's locals takes, found once per activation of the
// state rather than at each of its two declarations (transitions, body).
StateLocals stateLocalsOf(InterpEnv* env, AST* state) {
  StateLocals locals;
  locals.zeroed =
      zeroedLocalTypes(env, AST_getStateBlock(env->program, state), locals.types, &locals.count);
  return locals;
}

// stateLocalsOf for an activation of a definition, remembered per definition
// for the state it entered last: the answer depends on the image alone, and
// the image lent by the compiler never takes the direct paths anyway.
const StateLocals& activationLocals(InterpEnv* env, u32 definitionId, AST* state) {
  std::vector<InterpCache::LastState>& last = env->ctx->cache->lastStates;
  if (last.size() <= definitionId) last.resize(env->program->infoProg->n_processDefinitions);
  InterpCache::LastState& entry = last[definitionId];
  const u32 id = static_cast<u32>(state - env->program->RAMprogram);
  if (entry.state != id) {
    entry.locals = stateLocalsOf(env, state);
    entry.state = id;
  }
  return entry.locals;
}

// A state's locals, its time account first, with the account's
// execution_time at 0: statement_declareTimedLocals, except that when every
// declaration only needs zeroed storage (the usual case, the account alone)
// the locals are declared directly. Images the compiler lends may still
// change, so they always take the general path.
TaggedValue declareStateLocals(InterpEnv* env, AST* declarations, const StateLocals& locals) {
  if (!locals.zeroed) return statement_declareTimedLocals(env, declarations);
  const TaggedValue account = LocalVariable_declare(env, locals.types[0]);
  for (u32 k = 1; k < locals.count; ++k) LocalVariable_declare(env, locals.types[k]);
  return account;
}

// executeNamedState for a checked state.
void runState(InterpEnv* env, AST* state, const StateLocals& locals) {
  const program* p = env->program;
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  const TaggedValue account = declareStateLocals(env, AST_getStateBlock(p, state), locals);
  engine_executeList(env, AST_left(p, AST_getStateDeclaration(p, state)));
  time_advance(env, account.value[0]);
  Variable_restorePrevLocalVarCounts(env, &saved);
}

// executeNamedStateTransitions for a checked state and record.
bool runTransitions(InterpEnv* env, AST* state, TaggedValue instance, const StateLocals& locals) {
  const program* p = env->program;
  AST* transitions = AST_getStateTransitions(p, AST_getStateDeclaration(p, state));
  // Without transitions nothing runs and nothing reads the locals: when
  // declaring them would only take zeroed storage, they are not declared.
  if (transitions == nullptr && locals.zeroed && localsFit(env, locals.types, locals.count)) {
    return false;
  }
  const u64 duration = cell(instance, PI_DURATION);
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  const TaggedValue account = declareStateLocals(env, AST_getStateBlock(p, state), locals);
  bool fired = false;
  u32 number = 0;
  for (AST* c = transitions; c != nullptr && !fired; c = nextCell(env, c), ++number) {
    AST* transition = cellElement(env, c);
    INTERP_ASSERT_TEXT(env, transition != nullptr,
                       "(ON_OP == trans->op) || (AFTER_OP == trans->op)");
    if (transitionFires(env, transition, duration)) {
      fireTransition(env, transition, number, instance);
      fired = true;
    }
  }
  // The time account holds what the transition's statements consumed.
  time_advance(env, account.value[0]);
  Variable_restorePrevLocalVarCounts(env, &saved);
  return fired;
}

// Whether this is the activation that enters the initial state; if so, the
// record leaves initialisation and the state change is announced.
bool leaveInitialization(InterpEnv* env, TaggedValue record) {
  if (!flag(record, PI_INITIALIZING)) return false;
  cell(record, PI_INITIALIZING) = 0;
  notifyStateChange(env, record, 0, static_cast<u32>(cell(record, PI_PROCESS_STATE)));
  return true;
}

// Starts one turn of an activation's loop: clears continue and moves the
// activation times on to now.
void startActivationTurn(InterpEnv* env, TaggedValue record) {
  cell(record, PI_CONTINUE) = 0;
  const u64 now = currentTime(env);
  const u64 previous = cell(record, PI_CURRENT_ACTIVATION);
  cell(record, PI_PREVIOUS_ACTIVATION) = previous;
  cell(record, PI_CURRENT_ACTIVATION) = now;
  cell(record, PI_DURATION) += now - previous;
}

// The loop of one activation; `continue` set by the bodies runs it again at
// once with fresh activation times.
void runActivation(InterpEnv* env, u32 definitionId, const ProcessDefinition& definition,
                   TaggedValue record) {
  AST* state = recordState(env, record);
  StateLocals locals = activationLocals(env, definitionId, state);
  cell(record, PI_CONTINUE) = 1;
  while (flag(record, PI_CONTINUE)) {
    startActivationTurn(env, record);
    // Entering the initial state, its transitions wait for the next activation.
    if (!leaveInitialization(env, record)) {
      checkedState(env, state);
      checkRecord(env, record);
      if (runTransitions(env, state, record, locals)) {
        state = recordState(env, record);
        locals = activationLocals(env, definitionId, state);
        cell(record, PI_DURATION) = 0;
      }
    }
    engine_executeStatement(env, interp_nodeAt(env, definition.commonBlock));
    checkedState(env, state);
    runState(env, state, locals);
    engine_executeStatement(env, interp_nodeAt(env, definition.finallyBlock));
    time_advance(env, cell(record, PI_EXECUTION_TIME));
  }
}

}  // namespace

void process_bindArgument(InterpEnv* env, bool inParameter, TaggedValue argument) {
  INTERP_ASSERT_TEXT(env, argument.typeId < env->program->infoProg->n_type,
                     "argument.typeId < env->program->infoProg->n_type");
  // A value without storage of its own (an abstract type) has nothing to
  // copy and is reached where it lies.
  const bool byValue = inParameter && env->program->typeTable[argument.typeId].storageSize > 0;
  if (byValue) {
    const TaggedValue local = LocalVariable_declare(env, argument.typeId);
    // A scalar is its one masked cell (value_set's own first case).
    const DataCell mask = value_scalarMask(env, argument.typeId);
    if (mask != 0 && argument.value != nullptr) {
      *local.value = *argument.value & mask;
    } else {
      value_set(env, local, argument);
    }
  } else {
    // A parameter is read where it lies: it must lie somewhere (only a
    // damaged image passes a statement where a value belongs).
    INTERP_ASSERT_TEXT(env, argument.value != nullptr, "argument.value != NULL");
    LocalVariable_bindReference(env, argument);
  }
}

void process_openFrame(InterpEnv* env, u32 nArgs) {
  Locals_hideNonArgs(env, nArgs);
  LocalVarsIndexes& indexes = env->ctx->localVarsIndexes;
  indexes.base.constants = indexes.count.constants;
}

void function_executeCall(InterpEnv* env, u32 functionId, AST* arguments) {
  runFunction(env, functionId, [&](AST* formals) {
    AST* rest = nullptr;
    const u32 bound = bindArgumentList(env, formals, arguments, &rest);
    INTERP_ASSERT_TEXT(env, rest == nullptr, "no parameter left without an argument");
    return bound;
  });
}

void function_executeCallwValues(InterpEnv* env, u32 functionId, const TaggedValue* arguments) {
  runFunction(env, functionId, [&](AST* formals) {
    u32 bound = 0;
    for (AST* formal = formals; formal != nullptr; formal = nextCell(env, formal)) {
      INTERP_ASSERT_TEXT(env, arguments != nullptr, "arguments != NULL");
      bindArgument(env, cellElement(env, formal), arguments[bound]);
      ++bound;
    }
    return bound;
  });
}

void function_executeCallCurrying(InterpEnv* env, u32 functionId, AST* arguments,
                                  TaggedValue extra) {
  runFunction(env, functionId, [&](AST* formals) {
    AST* rest = nullptr;
    const u32 bound = bindArgumentList(env, formals, arguments, &rest);
    INTERP_ASSERT_TEXT(env, rest != nullptr && nextCell(env, rest) == nullptr,
                       "exactly one parameter left for the call's result");
    AST* last = cellElement(env, rest);
    INTERP_ASSERT_TEXT(env, last != nullptr && isParameter(last->op), "isParameter(formal->op)");
    LocalVariable_bindReference(env, extra);
    return bound + 1;
  });
}

void process_executeCall(InterpEnv* env, u32 definitionId, u32 staticBase, AST* parameters,
                         TaggedValue instance) {
  const InfoProg* info = env->program->infoProg;
  INTERP_ASSERT_TEXT(env, definitionId < info->n_processDefinitions,
                     "definitionId < env->program->infoProg->n_processDefinitions");
  checkRecord(env, instance);
  checkNativeStack(env);
  const ProcessDefinition definition = env->program->processDefinitionTable[definitionId];
  notifyActivation(env, instance, 0);

  const u32 mark = interpStack_mark(env);
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  // Actual parameters are expressions of the caller (a sub-process call's
  // may read the caller's statics): bound before the static base moves.
  AST* rest = nullptr;
  const u32 bound =
      bindArgumentList(env, interp_nodeAt(env, definition.parameters), parameters, &rest);
  INTERP_ASSERT_TEXT(env, rest == nullptr, "no parameter left without an argument");
  openFrame(env, bound);
  u32 base = NO_ID;
  if (definition.n_staticVariables > 0) {
    INTERP_ASSERT_TEXT(env, staticBase < info->n_processStaticVariables,
                       "staticBase < env->program->infoProg->n_processStaticVariables");
    base = staticBase;
  }
  env->ctx->localVarsIndexes.base.processStaticVariables = base;
  variableDeclareSelf(env, instance);
  variable_declareLocals(env, interp_nodeAt(env, definition.localVariables));

  runActivation(env, definitionId, definition, instance);

  notifyActivation(env, instance, 1);
  Variable_restorePrevLocalVarIndexes(env, &saved);
  interpStack_release(env, mark);
}

namespace {

// ---------------------------------------------------------------------------
// Planned activations. Everything below has the effects of the general path
// above, step for step; what it saves is the work that gives the same answer
// at every activation of an instance (looking the definition, the argument
// list and the state over, and the checks that passed the first time). A
// step whose outcome may differ this time (room in the tables, the step
// limit, the state the record names, the frame a prepared body needs) is
// still checked, and falls back to the general code when the check fails, so
// every report comes from where it always did.

bool validNode(const program* p, u32 id) { return id == NO_ID || id < p->infoProg->n_AST; }

// Makes the plan of an activation: usual stays false unless the activation
// has the shape the planned path handles and every id it uses is valid.
void makePlan(InterpEnv* env, ProcessActivationPlan& plan, u32 definitionId, u32 staticBase,
              AST* parameters, TaggedValue instance) {
  plan = ProcessActivationPlan{};
  plan.record = instance.value;
  plan.recordType = instance.typeId;
  plan.definition = definitionId;
  plan.staticBase = staticBase;
  plan.parameters = parameters;
  const program* p = env->program;
  const InfoProg* info = p->infoProg;
  if (definitionId >= info->n_processDefinitions) return;
  const ProcessDefinition& definition = p->processDefinitionTable[definitionId];
  if (!validNode(p, definition.parameters) || !validNode(p, definition.commonBlock) ||
      !validNode(p, definition.finallyBlock) || definition.localVariables != NO_ID) {
    return;
  }
  if (definition.n_staticVariables > 0 && staticBase >= info->n_processStaticVariables) return;
  // Every formal an IN parameter bound to a literal scalar.
  const AST* formal = interp_nodeAt(env, definition.parameters);
  const AST* argument = parameters;
  u32 n = 0;
  while (formal != nullptr && argument != nullptr) {
    if (formal->op != LIST || argument->op != LIST || n == kPlannedArguments) return;
    if (formal->left >= info->n_AST || argument->left >= info->n_AST) return;
    if (p->RAMprogram[formal->left].op != IN_PARAM) return;
    u32 type = NO_ID;
    DataCell value = 0;
    if (!literalArgument(&p->RAMprogram[argument->left], &type, &value)) return;
    const DataCell mask = value_scalarMask(env, type);
    if (p->typeTable[type].storageSize == 0 || mask == 0) return;
    plan.argumentTypes[n] = type;
    plan.pushedCells[n] = value;
    plan.boundCells[n] = value & mask;
    ++n;
    if (!validNode(p, formal->right) || !validNode(p, argument->right)) return;
    formal = interp_nodeAt(env, formal->right);
    argument = interp_nodeAt(env, argument->right);
  }
  if (formal != nullptr || argument != nullptr) return;
  plan.nArguments = n;
  plan.formals = interp_nodeAt(env, definition.parameters);
  plan.frameStaticBase = definition.n_staticVariables > 0 ? staticBase : NO_ID;
  plan.commonBlock = interp_nodeAt(env, definition.commonBlock);
  plan.finallyBlock = interp_nodeAt(env, definition.finallyBlock);
  plan.usual = true;
}

// The plan of an activation, made again when it was made for another one;
// null when the engine keeps no plans or the record cannot be read (the
// general path then reports what is wrong).
ProcessActivationPlan* planOf(InterpEnv* env, u32 definitionId, u32 staticBase, AST* parameters,
                              TaggedValue instance) {
  const program* p = env->program;
  if (instance.value == nullptr || instance.typeId >= p->infoProg->n_type ||
      p->typeTable[instance.typeId].storageSize < PI_CELL_COUNT) {
    return nullptr;
  }
  ProcessActivationPlan* plan =
      engine_activationPlan(env, static_cast<u32>(cell(instance, PI_INSTANCE_ID)));
  if (plan == nullptr) return nullptr;
  if (plan->record != instance.value || plan->recordType != instance.typeId ||
      plan->definition != definitionId || plan->staticBase != staticBase ||
      plan->parameters != parameters) {
    makePlan(env, *plan, definitionId, staticBase, parameters, instance);
  }
  return plan->usual ? plan : nullptr;
}

// The arguments as bindArgumentList binds them: each literal pushed on the
// value stack (one step each), then copied, masked, into a new local. When
// the tables, the stack or the step limit leave no room for all of them,
// bindArgumentList binds them and reports where it runs out.
void bindPlannedArguments(InterpEnv* env, const ProcessActivationPlan& plan) {
  InterpContext* ctx = env->ctx;
  LocalVarsIndexes& idx = ctx->localVarsIndexes;
  const u32 n = plan.nArguments;
  const bool room =
      u64{ctx->stackCount} + n < STACKS_SIZE && u64{idx.count.variables} + n <= STACKS_SIZE &&
      u64{idx.count.variablesData} + n < STACKS_SIZE &&
      (ctx->stepLimit == 0 ||
       (ctx->stepCount <= ctx->stepLimit && ctx->stepLimit - ctx->stepCount >= n));
  if (!room) {
    AST* rest = nullptr;
    bindArgumentList(env, plan.formals, const_cast<AST*>(plan.parameters), &rest);
    return;
  }
  TaggedValue* const table = env->data->localVariableTable;
  DataCell* const data = env->data->localVariableDataTable;
  for (u32 k = 0; k < n; ++k) {
    ctx->stack[ctx->stackCount++] = plan.pushedCells[k];
    DataCell* storage = data + idx.count.variablesData++;
    *storage = plan.boundCells[k];
    table[idx.count.variables++] = TaggedValue{storage, plan.argumentTypes[k], NO_ID};
  }
  if (ctx->stepLimit != 0) ctx->stepCount += n;
}

// The state the record names, checked, as recordState gives it; the plan
// keeps the last one with what running it needs.
AST* plannedState(InterpEnv* env, ProcessActivationPlan& plan, TaggedValue record) {
  const u32 id = static_cast<u32>(cell(record, PI_STATE_PTR));
  if (id == plan.stateId && plan.state != nullptr) return plan.state;
  AST* state = recordState(env, record);
  const program* p = env->program;
  plan.stateId = id;
  plan.state = state;
  plan.stateBlock = AST_getStateBlock(p, state);
  plan.statements = AST_left(p, AST_getStateDeclaration(p, state));
  plan.locals = stateLocalsOf(env, state);
  plan.hasTransitions = AST_getStateTransitions(p, AST_getStateDeclaration(p, state)) != nullptr;
  plan.localCells = 0;
  for (u32 k = 0; plan.locals.zeroed && k < plan.locals.count; ++k) {
    plan.localCells += std::max<u32>(1, p->typeTable[plan.locals.types[k]].storageSize);
  }
  plan.bodyKnown = false;
  plan.body = nullptr;
  return state;
}

// localsFit for the locals of the plan's state: each local's cells fit when
// all of them do.
bool plannedLocalsFit(InterpEnv* env, const ProcessActivationPlan& plan) {
  const LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  return u64{idx.count.variablesData} + plan.localCells < STACKS_SIZE &&
         u64{idx.count.variables} + plan.locals.count <= STACKS_SIZE;
}

// Declares locals that only need zeroed storage, after localsFit: what
// LocalVariable_declare does for each, without its checks. Returns the first.
TaggedValue declareZeroedLocals(InterpEnv* env, const StateLocals& locals) {
  LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  TaggedValue* const table = env->data->localVariableTable;
  const u32 first = idx.count.variables;
  for (u32 k = 0; k < locals.count; ++k) {
    const u32 cells = std::max<u32>(1, env->program->typeTable[locals.types[k]].storageSize);
    DataCell* storage = env->data->localVariableDataTable + idx.count.variablesData;
    if (cells == 1) {
      *storage = 0;
    } else {
      std::fill(storage, storage + cells, DataCell{0});
    }
    idx.count.variablesData += cells;
    table[idx.count.variables++] = TaggedValue{storage, locals.types[k], NO_ID};
  }
  return table[first];
}

// runState for the state of the plan: its locals declared directly when they
// fit, its statements entered through the fragment looked up once.
void runPlannedState(InterpEnv* env, ProcessActivationPlan& plan, AST* state) {
  if (state != plan.state) {
    runState(env, state, stateLocalsOf(env, state));
    return;
  }
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  const TaggedValue account =
      plan.locals.zeroed && plannedLocalsFit(env, plan)
          ? declareZeroedLocals(env, plan.locals)
          : declareStateLocals(env, plan.stateBlock, plan.locals);
  if (!plan.bodyKnown) {
    plan.body = engine_listFragment(env, plan.statements);
    plan.bodyKnown = true;
  }
  engine_runListFragment(env, plan.body, plan.statements);
  time_advance(env, account.value[0]);
  Variable_restorePrevLocalVarCounts(env, &saved);
}

// runActivation with the plan's definition and state.
void runPlannedActivation(InterpEnv* env, ProcessActivationPlan& plan, TaggedValue record) {
  AST* state = plannedState(env, plan, record);
  cell(record, PI_CONTINUE) = 1;
  while (flag(record, PI_CONTINUE)) {
    startActivationTurn(env, record);
    if (leaveInitialization(env, record)) {
      // The initial state is entered; its transitions wait.
    } else if (state == plan.state && !plan.hasTransitions && plan.locals.zeroed &&
               plannedLocalsFit(env, plan)) {
      // runTransitions declares nothing and fires nothing.
    } else {
      const bool fired = state == plan.state
                             ? runTransitions(env, state, record, plan.locals)
                             : runTransitions(env, state, record, stateLocalsOf(env, state));
      if (fired) {
        state = plannedState(env, plan, record);
        cell(record, PI_DURATION) = 0;
      }
    }
    if (plan.commonBlock != nullptr) engine_executeStatement(env, plan.commonBlock);
    runPlannedState(env, plan, state);
    if (plan.finallyBlock != nullptr) engine_executeStatement(env, plan.finallyBlock);
    time_advance(env, cell(record, PI_EXECUTION_TIME));
  }
}

// process_executeCall for a planned activation.
[[gnu::noinline]] void activatePlanned(InterpEnv* env, ProcessActivationPlan& plan, TaggedValue instance) {
  process_checkNativeStackFromHere(env);
  notifyActivation(env, instance, 0);
  InterpContext* ctx = env->ctx;
  const u32 mark = ctx->stackCount;
  const LocalVarsIndexes saved = ctx->localVarsIndexes;
  bindPlannedArguments(env, plan);
  openFrame(env, plan.nArguments);
  ctx->localVarsIndexes.base.processStaticVariables = plan.frameStaticBase;
  variableDeclareSelf(env, instance);
  runPlannedActivation(env, plan, instance);
  notifyActivation(env, instance, 1);
  Variable_restoreFrame(env, saved);
  interpStack_release(env, mark);
}

}  // namespace

void process_activateInstance(InterpEnv* env, u32 definitionId, u32 staticBase, AST* parameters,
                              TaggedValue instance) {
  ProcessActivationPlan* plan = planOf(env, definitionId, staticBase, parameters, instance);
  if (plan == nullptr) {
    process_executeCall(env, definitionId, staticBase, parameters, instance);
  } else {
    activatePlanned(env, *plan, instance);
  }
}

void executeNamedState(InterpEnv* env, AST* state) {
  checkedState(env, state);
  runState(env, state, stateLocalsOf(env, state));
}

bool executeNamedStateTransitions(InterpEnv* env, AST* state, TaggedValue instance) {
  checkedState(env, state);
  checkRecord(env, instance);
  return runTransitions(env, state, instance, stateLocalsOf(env, state));
}

void time_advance(InterpEnv* env, u64 ps) {
  if (ps == 0) return;
  DelayCallback delay = env->ctx->delay_callback;
  if (delay != nullptr) {
    delay(env, ps);
  } else {
    env_addTime(env, ps);
  }
}

u64 time_durationToPs(InterpEnv* env, AST* expression) {
  if (expression == nullptr) return 0;
  const u32 mark = interpStack_mark(env);
  const TaggedValue value = expr_execute(env, expression);
  INTERP_ASSERT_TEXT(env, value.value != nullptr && value.typeId < TypePrimitive,
                     "kIcrNotPrimType should not happen");
  const u64 ps = primTypeToUInt64(value, nullptr);
  interpStack_release(env, mark);
  return ps;
}
