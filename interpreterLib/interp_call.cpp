#include "interp_call.h"

#include "buffers.h"
#include "builtins.h"
#include "expression.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "process.h"
#include "random.h"
#include "statement.h"
#include "velk_locals.h"

namespace {

// The call-code node at left of a CALL_OP.
AST* codeNodeOf(InterpEnv* env, AST* call) {
  INTERP_ASSERT_TEXT(env, call != nullptr && call->op == CALL_OP, "CALL_OP == call->op");
  AST* codeNode = AST_left(env->program, call);
  INTERP_ASSERT_TEXT(env, codeNode != nullptr && codeNode->op == INDEX_NODE,
                     "INDEX_NODE == AST_left(p, call)->op");
  return codeNode;
}

// The id named by a user call's target node: a function, or a sub-process
// instance of the running process.
u32 targetIdOf(InterpEnv* env, AST* call) {
  AST* target = AST_right(env->program, codeNodeOf(env, call));
  INTERP_ASSERT_TEXT(env, target != nullptr && target->op == INDEX_NODE,
                     "INDEX_NODE == target->op");
  return target->value.id.id;
}

// Codes 0 and 2: the omitted last OUT parameter is the call's value. Its local
// lives only for the call: conditions and for-steps are evaluated again and
// again outside any block that would drop it.
TaggedValue callValued(InterpEnv* env, AST* call) {
  const u32 resultType = call->value.id.type;
  INTERP_ASSERT_TEXT(env, resultType < env->program->infoProg->n_type,
                     "resultType < env->program->infoProg->n_type");
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  const TaggedValue result = LocalVariable_declare(env, resultType);
  value_clear(env, result);
  function_executeCallCurrying(env, targetIdOf(env, call), AST_getCallArgs(env->program, call),
                               result);
  const TaggedValue value = interpStack_pushForcedTypeValue(env, resultType, result);
  Variable_restorePrevLocalVarCounts(env, &saved);
  return value;
}

// Code 1: a function called with method syntax; the value is the object
// (the first argument) as the function left it.
TaggedValue callOnObject(InterpEnv* env, AST* call) {
  AST* arguments = AST_getCallArgs(env->program, call);
  function_executeCall(env, targetIdOf(env, call), arguments);
  INTERP_ASSERT_TEXT(env, arguments != nullptr && arguments->op == LIST,
                     "AST_getCallArgs(p, call) != NULL");
  return expr_execute(env, AST_getListFirst(env->program, arguments));
}

// Code 4: a structure field; the target node holds its offset in cells and
// the call's value its type.
TaggedValue callField(InterpEnv* env, AST* call) {
  AST* offset = AST_right(env->program, codeNodeOf(env, call));
  INTERP_ASSERT_TEXT(
      env, offset != nullptr && offset->op == INTEGER_OP && offset->value.uinteger < NO_ID,
      "INTEGER_OP == offset->op");
  const TaggedValue record = expr_execute(env, AST_getCallObj(env->program, call));
  return field_get(env, record, call->value.id.type, static_cast<u32>(offset->value.uinteger));
}

// ---------------------------------------------------------------------------
// Sub-process instances. The instance records are in pre-order (an instance,
// then its sub-instances depth first), and the statics of an instance are
// contiguous, its first static variable unique to it.

const ProcessInstance& instanceRecordAt(InterpEnv* env, u32 index) {
  INTERP_ASSERT_TEXT(env, index < env->program->infoProg->n_processInstances,
                     "index < env->program->infoProg->n_processInstances");
  const ProcessInstance& instance = env->program->processInstanceTable[index];
  INTERP_ASSERT_TEXT(env, instance.definition < env->program->infoProg->n_processDefinitions,
                     "instance.definition < env->program->infoProg->n_processDefinitions");
  return instance;
}

// Number of records of an instance and all its nested sub-instances.
u32 instanceSubtreeSize(InterpEnv* env, u32 index, u32 depth) {
  INTERP_ASSERT_TEXT(env, depth <= env->program->infoProg->n_processDefinitions,
                     "sub-process nesting deeper than the definitions");
  const ProcessInstance& instance = instanceRecordAt(env, index);
  const u32 children = env->program->processDefinitionTable[instance.definition].n_subInstances;
  u32 size = 1;
  for (u32 k = 0; k < children; ++k) size += instanceSubtreeSize(env, index + size, depth + 1);
  return size;
}

// The instance record of the running activation, found by its static base
// (an instance with sub-instances always has statics: their records).
u32 runningInstance(InterpEnv* env) {
  const u32 base = env->ctx->localVarsIndexes.base.processStaticVariables;
  INTERP_ASSERT_TEXT(env, base != NO_ID, "sub-process call inside a process activation");
  const InfoProg* info = env->program->infoProg;
  for (u32 i = 0; i < info->n_processInstances; ++i) {
    if (env->program->processInstanceTable[i].firstStaticVariable == base) return i;
  }
  INTERP_ASSERT_TEXT(env, false, "running process instance found");
  return NO_ID;
}

// The static variable of the running process that holds the sub-instance's
// Process_Instance record: the implicit declaration named like the instance.
TaggedValue subInstanceRecord(InterpEnv* env, const ProcessDefinition& parent, AST* subInstance) {
  INTERP_ASSERT_TEXT(env, subInstance != nullptr && subInstance->op == PROCESS_INSTANCE_NODE,
                     "PROCESS_INSTANCE_NODE == subInstance->op");
  const u32 symbol = subInstance->value.id.id;
  u32 position = 0;
  for (AST* c = interp_nodeAt(env, parent.staticVariables); c != nullptr;
       c = AST_right(env->program, c), ++position) {
    INTERP_ASSERT_TEXT(env, c->op == LIST, "astp->op == LIST");
    AST* declaration = AST_left(env->program, c);
    if (declaration == nullptr || declaration->op != IMPLICIT_VARIABLE_DECL) continue;
    AST* name = AST_left(env->program, declaration);
    if (name == nullptr || name->value.id.id != symbol) continue;
    const u32 base = env->ctx->localVarsIndexes.base.processStaticVariables;
    const u32 id = base + position;
    INTERP_ASSERT_TEXT(env,
                       position < parent.n_staticVariables &&
                           id < env->program->infoProg->n_processStaticVariables,
                       "id < env->program->infoProg->n_processStaticVariables");
    TaggedValue record = env->program->processStaticVariableTable[id];
    INTERP_ASSERT_TEXT(env,
                       record.typeId < env->program->infoProg->n_type &&
                           env->program->typeTable[record.typeId].storageSize >= PI_CELL_COUNT,
                       "storageSize(instance) >= PI_CELL_COUNT");
    return record;
  }
  INTERP_ASSERT_TEXT(env, false, "sub-process instance record declared");
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

// A sub-instance's record is a static whose stored value is the all-zero
// default (state_ptr 0 names the root, never a state): before its first call
// it gets the defaults of a fresh record, with the instance's record index as
// its instance_id.
void prepareSubInstanceRecord(InterpEnv* env, TaggedValue record, u32 definitionId, u32 index) {
  if (processRecord_cell(record, PI_STATE_PTR) != 0) return;
  const ProcessDefinition& definition = env->program->processDefinitionTable[definitionId];
  AST* states = interp_nodeAt(env, definition.states);
  INTERP_ASSERT_TEXT(env, states != nullptr && states->op == LIST, "astp->op == LIST");
  AST* initial = AST_left(env->program, states);
  INTERP_ASSERT_TEXT(env, initial != nullptr && initial->op == NAMED_STATE_STATEMENT,
                     "NAMED_STATE_STATEMENT == state->op");
  const u64 now =
      env->ctx->gettime_callback != nullptr ? env->ctx->gettime_callback(env) : env_getTime(env);
  processRecord_cell(record, PI_STATE_PTR) = AST_id(env->program, initial);
  processRecord_cell(record, PI_PROCESS_STATE) = AST_getStateId(env->program, initial);
  processRecord_cell(record, PI_INITIALIZING) = 1;
  processRecord_cell(record, PI_CONTINUE) = 0;
  processRecord_cell(record, PI_CURRENT_ACTIVATION) = now;
  processRecord_cell(record, PI_PREVIOUS_ACTIVATION) = now;
  processRecord_cell(record, PI_DURATION) = 0;
  processRecord_cell(record, PI_DEADLINE) = kDefaultDeadline;
  processRecord_cell(record, PI_INSTANCE_ID) = index;
}

// Code 5: one activation of a sub-process instance of the running process,
// with the call's arguments as its actual parameters.
TaggedValue callSubProcess(InterpEnv* env, AST* call) {
  const u32 subIndex = targetIdOf(env, call);
  const u32 running = runningInstance(env);
  const ProcessDefinition& parent =
      env->program->processDefinitionTable[instanceRecordAt(env, running).definition];
  INTERP_ASSERT_TEXT(env, subIndex < parent.n_subInstances, "subIndex < n_subInstances");
  u32 index = running + 1;
  for (u32 k = 0; k < subIndex; ++k) index += instanceSubtreeSize(env, index, 1);
  const ProcessInstance sub = instanceRecordAt(env, index);

  AST* subInstances = interp_nodeAt(env, parent.subInstances);
  INTERP_ASSERT_TEXT(env, subInstances != nullptr && subInstances->op == LIST, "astp->op == LIST");
  const TaggedValue record =
      subInstanceRecord(env, parent, AST_getListNth(env->program, subInstances, subIndex));
  prepareSubInstanceRecord(env, record, sub.definition, index);
  process_executeCall(env, sub.definition, sub.firstStaticVariable,
                      AST_getCallArgs(env->program, call), record);
  return kStatementValue;
}

}  // namespace

TaggedValue interp_executeCall(InterpEnv* env, AST* call) {
  const u32 code = codeNodeOf(env, call)->value.id.id;
  switch (code) {
    // User calls.
    case kCallFunctionRightCurrying:
    case kCallFunctionLeftRightCurrying:
      return callValued(env, call);
    case kCallFunctionLeftCurrying:
      return callOnObject(env, call);
    case kCallFunctionCustom:
      function_executeCall(env, targetIdOf(env, call), AST_getCallArgs(env->program, call));
      return kStatementValue;
    case kCallFieldCustom:
      return callField(env, call);
    case kCallSubProcess:
      return callSubProcess(env, call);

    // Arrays and channels.
    case kCallArrayMaxSize:
      return array_size(env, builtin_object(env, call));
    case kCallArrayChoiceUniform:
    case kCallChannelChoiceUniform:
      return buffer_choiceUniform(env, builtin_objectNode(env, call));
    case kCallChoiceUniformArray:
    case kCallChoiceUniformChannel:
      return buffer_choiceUniform(env, builtin_argumentNode(env, call, 0));
    case kCallChannelPush:
      return builtin_channelWrite(env, call, false);
    case kCallChannelInsertSorted:
      return builtin_channelWrite(env, call, true);
    case kCallChannelPop:
      return channel_pop(env, builtin_object(env, call), call);
    case kCallChannelPeek:
      return channel_peek(env, builtin_object(env, call), call);
    case kCallChannelLastPeek:
      return channel_lastpeek(env, builtin_object(env, call), call);
    case kCallChannelClear:
      return builtin_channelClear(env, call);
    case kCallChannelMaxSize:
      return channel_size(env, builtin_object(env, call));
    case kCallChannelCount:
      return channel_count(env, builtin_object(env, call));
    case kCallChannelIsEmpty:
      return channel_isEmpty(env, builtin_object(env, call));
    case kCallChannelNotEmpty:
      return channel_notEmpty(env, builtin_object(env, call));
    case kCallChannelIsFull:
      return channel_isFull(env, builtin_object(env, call));
    case kCallChannelNotFull:
      return channel_notFull(env, builtin_object(env, call));

    // Iterators.
    case kCallIteratorRemoveCurrent:
      return builtin_iteratorRemove(env, call);
    case kCallIteratorCurrent:
      return iterator_current(env, builtin_object(env, call));
    case kCallIteratorIndex:
      return iterator_index(env, builtin_object(env, call));
    case kCallIteratorIsLast:
      return iterator_isLast(env, builtin_object(env, call));

    // Time, the host and printing.
    case kCallTime:
      return builtin_time(env);
    case kCallSleep:
      return builtin_sleep(env, call);
    case kCallExit:
      return builtin_exit(env, call);
    case kCallAssert:
      return builtin_assert(env, call);
    case kCallSyncIO:
      return builtin_syncIO(env);
    case kCallBoardIO0:
    case kCallBoardIO1:
    case kCallBoardIO2:
    case kCallBoardIO3:
      return builtin_boardIO(env, call);
    case kCallPrint:
    case kCallPrintArgs:
      return builtin_print(env, call, false);
    case kCallPrintln:
    case kCallPrintlnFormat:
    case kCallPrintlnArgs:
      return builtin_print(env, call, true);
    case kCallStringPrint:
      return builtin_stringPrint(env, call);

    // Random numbers.
    case kCallSeed:
      return builtin_seed(env, call, false);
    case kCallSeedValue:
      return builtin_seed(env, call, true);
    case kCallRandExponential:
      return random_exponential_f32(env, builtin_argument(env, call, 0));
    case kCallRandGauss:
      return builtin_random2(env, call, random_gauss_f32);
    case kCallRandUniform:
      return builtin_random2(env, call, uInt32_randomUniform);
    case kCallChoiceUniformType:
      return builtin_choiceUniformEnum(env, call, true);
    case kCallEnumChoiceUniform:
      return builtin_choiceUniformEnum(env, call, false);
    case kCallTimeRandUniform:
      return builtin_randUniform(env, call, TypeTime);
    case kCallBoolRandUniform:
      return bool_randomUniform(env);
    case kCallF32RandUniform:
      return builtin_random2(env, call, random_uniform_f32);
    case kCallF64RandUniform:
      return builtin_random2(env, call, random_uniform_f64);
    case kCallF32RandPareto:
    case kCallF32RandParetoScaled:
      return random_pareto_f32(env, AST_getCallArgs(env->program, call));
    case kCallF64RandPareto:
    case kCallF64RandParetoScaled:
      return random_pareto_f64(env, AST_getCallArgs(env->program, call));
    case kCallUInt8RandParetoF32:
    case kCallUInt16RandParetoF32:
    case kCallUInt32RandParetoF32:
    case kCallUInt64RandParetoF32:
    case kCallUInt8RandParetoF64:
    case kCallUInt16RandParetoF64:
    case kCallUInt32RandParetoF64:
    case kCallUInt64RandParetoF64:
      return builtin_paretoInteger(env, call, code);

    // Type fields.
    case kCallUInt8First:
    case kCallUInt8Last:
    case kCallSInt8First:
    case kCallSInt8Last:
    case kCallUInt16First:
    case kCallUInt16Last:
    case kCallSInt16First:
    case kCallSInt16Last:
    case kCallUInt32First:
    case kCallUInt32Last:
    case kCallSInt32First:
    case kCallSInt32Last:
    case kCallUInt64First:
    case kCallUInt64Last:
    case kCallSInt64First:
    case kCallSInt64Last:
    case kCallTimeFirst:
    case kCallTimeLast:
    case kCallF32First:
    case kCallF32Last:
    case kCallF64First:
    case kCallF64Last:
      return builtin_typeBound(env, code);

    // Numeric methods.
    case kCallUInt8Max:
    case kCallUInt8Min:
    case kCallSInt8Max:
    case kCallSInt8Min:
    case kCallUInt8RandUniform:
    case kCallSInt8RandUniform:
    case kCallUInt16Max:
    case kCallUInt16Min:
    case kCallSInt16Max:
    case kCallSInt16Min:
    case kCallUInt16RandUniform:
    case kCallSInt16RandUniform:
    case kCallUInt32Max:
    case kCallUInt32Min:
    case kCallSInt32Max:
    case kCallSInt32Min:
    case kCallUInt32RandUniform:
    case kCallSInt32RandUniform:
    case kCallUInt64Max:
    case kCallUInt64Min:
    case kCallSInt64Max:
    case kCallSInt64Min:
    case kCallUInt64RandUniform:
    case kCallSInt64RandUniform:
      return builtin_integerMethod(env, call, code);
    case kCallTimeMax:
      return builtin_maxMin(env, call, TypeTime, true);
    case kCallTimeMin:
      return builtin_maxMin(env, call, TypeTime, false);
    case kCallF32Max:
      return builtin_maxMin(env, call, TypeF32, true);
    case kCallF32Min:
      return builtin_maxMin(env, call, TypeF32, false);
    case kCallF64Max:
      return builtin_maxMin(env, call, TypeF64, true);
    case kCallF64Min:
      return builtin_maxMin(env, call, TypeF64, false);
    case kCallF32Cos:
    case kCallF32Sin:
    case kCallF32Atan:
    case kCallF32Sqrt:
    case kCallF32Pow:
    case kCallF32Abs:
    case kCallF32Log:
      return builtin_mathF32(env, call, code);
    case kCallF64Cos:
    case kCallF64Sin:
    case kCallF64Atan:
    case kCallF64Sqrt:
    case kCallF64Pow:
    case kCallF64Abs:
    case kCallF64Log:
      return builtin_mathF64(env, call, code);
    case kCallUInt8Abs:
    case kCallUInt16Abs:
    case kCallUInt32Abs:
    case kCallUInt64Abs:
      return builtin_abs(env, call, code);

    // Conversions.
    case kCallCast:
      return builtin_cast(env, call);
    case kCallAs:
      return builtin_as(env, call);

    default:
      INTERP_ASSERT_TEXT(env, false, "!\"impossible case\"");
      return kStatementValue;
  }
}
