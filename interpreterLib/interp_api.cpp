#include "interp_api.h"


#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ast_reader.h"
#include "buffers.h"
#include "engine.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "operators.h"
#include "process.h"
#include "scheduler.h"
#include "statement.h"
#include "velk_locals.h"
#include "velk_memory.h"

// Where the run-time data lives. An image the interpreter owns (read from a
// file) has its global and static variable tables rebased into the run-time
// tables env->data->*DataTable, so the image's init tables keep the initial
// values that interp_init copies in. An image borrowed from the compiler is
// never rebased: the compiler keeps writing initial values through its
// variable tables and may move its init tables at any time, so constant
// evaluation in the compiler works on the init tables themselves; the
// run-time tables are a copy that only holds the system records.

namespace {

// ---------------------------------------------------------------------------
// Loading.

// Drops every run-time table of the current image and forgets its cache.
void unloadRuntime(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  MEMORY_FREE(env->data->globalVariableDataTable);
  MEMORY_FREE(env->data->processStaticVariableDataTable);
  MEMORY_FREE(ctx->fsm_changed_callback);
  MEMORY_FREE(ctx->process_activation_callback);
  MEMORY_FREE(ctx->var_change_callback);
  MEMORY_FREE(ctx->var_read_callback);
  ctx->processes = TaggedValue{nullptr, NO_ID, NO_ID};
  ctx->initialized = false;
  scheduler_free(env);
  engine_free(env);
  interp_cacheReset(env);
}

// Leaves the environment with a fresh, empty image of its own.
void resetImage(InterpEnv* env) {
  unloadRuntime(env);
  if (env->program != nullptr && !env->borrowedProgram) {
    free_program(env->program);
    MEMORY_FREE(env->program);
  }
  env->borrowedProgram = false;
  env->program = program_create();
}

void setFileName(InterpEnv* env, const char* path) {
  MEMORY_FREE(env->file_name);
  if (path == nullptr) return;
  const size_t length = std::strlen(path);
  env->file_name = MEMORY_ALLOC(length + 1, char, "env->file_name");
  std::memcpy(env->file_name, path, length + 1);
}

void contextInit(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  ctx->localVarsIndexes = LocalVarsIndexes{};
  ctx->stackCount = 0;
  interp_allocCallbackArrays(env);
  expr_operatorsAlloc(env);
}

DataCell* allocData(u32 cells, const char* name) {
  return static_cast<DataCell*>(
      memory_alloc(cells, sizeof(DataCell), __FILE__, __func__, __LINE__, name));
}

void dataInit(InterpEnv* env) {
  program* p = env->program;
  const InfoProg& info = *p->infoProg;
  InterpData* data = env->data;
  MEMORY_FREE(data->globalVariableDataTable);
  MEMORY_FREE(data->processStaticVariableDataTable);
  data->globalVariableDataTable =
      allocData(info.size_globalVariableData, "env->data->globalVariableDataTable");
  data->processStaticVariableDataTable =
      allocData(info.size_processStaticVariableData, "env->data->processStaticVariableDataTable");
  if (env->borrowedProgram) {
    if (p->globalVariableDataInitTable != nullptr) {
      std::copy_n(p->globalVariableDataInitTable, info.size_globalVariableData,
                  data->globalVariableDataTable);
    }
    if (p->processStaticVariableDataInitTable != nullptr) {
      std::copy_n(p->processStaticVariableDataInitTable, info.size_processStaticVariableData,
                  data->processStaticVariableDataTable);
    }
    return;
  }
  parser_computeAnyValueAddresses(p->globalVariableDataInitTable, data->globalVariableDataTable,
                                  p->globalVariableTable, info.n_globalVariables);
  parser_computeAnyValueAddresses(p->processStaticVariableDataInitTable,
                                  data->processStaticVariableDataTable,
                                  p->processStaticVariableTable, info.n_processStaticVariables);
}

// Context, data and program-context initialisation of a freshly loaded or
// borrowed image. The data tables come before the system records, which are
// written into them.
void loadInitialise(InterpEnv* env) {
  contextInit(env);
  dataInit(env);
  interp_guard(env, 0, [&] {
    interp_systemInit(env);
    return 0;
  });
}

// ---------------------------------------------------------------------------
// interp_init.

bool isSystemRecordType(InterpEnv* env, u32 typeId) {
  const SystemIds& ids = interp_systemIds(env);
  return (typeId == ids.processInstanceType || typeId == ids.systemType) && typeId != NO_ID;
}

// Step 2: each global gets its initial value unless its change hook takes the
// write over. The system records were made at load and are left alone.
void initGlobals(InterpEnv* env) {
  const program* p = env->program;
  const InfoProg& info = *p->infoProg;
  u64 offset = 0;
  for (u32 v = 0; v < info.n_globalVariables; ++v) {
    const TaggedValue target = p->globalVariableTable[v];
    INTERP_ASSERT_TEXT(env, target.typeId < info.n_type, "typeId < env->program->infoProg->n_type");
    const u32 cells = p->typeTable[target.typeId].storageSize;
    INTERP_ASSERT_TEXT(env, offset + cells <= info.size_globalVariableData,
                       "offset + cells <= env->program->infoProg->size_globalVariableData");
    if (!isSystemRecordType(env, target.typeId)) {
      const TaggedValue initial{p->globalVariableDataInitTable + offset, target.typeId, NO_ID};
      const bool taken = v < env->ctx->cache->callbackVariables &&
                         env->ctx->var_change_callback[v](env, v, 0, initial) != 0;
      // A borrowed image's variables are their initial values already.
      if (!taken && cells > 0 && target.value != initial.value) {
        std::copy_n(initial.value, cells, target.value);
      }
    }
    offset += cells;
  }
}

// Step 3.
void initStatics(InterpEnv* env) {
  const program* p = env->program;
  const u32 cells = p->infoProg->size_processStaticVariableData;
  if (cells > 0 && p->processStaticVariableDataInitTable != nullptr) {
    std::copy_n(p->processStaticVariableDataInitTable, cells,
                env->data->processStaticVariableDataTable);
  }
}

// Steps 4 and 5: creating the scheduler, applying the process timing
// annotations and the first activations of every instance, and selecting the
// policy from system.sched_policy.
void interp_startScheduler(InterpEnv* env) { scheduler_startup(env); }

// Runs a user function with the given arguments and drops its temporaries.
void callWithValues(InterpEnv* env, u32 funcId, const TaggedValue* arguments) {
  const u32 mark = interpStack_mark(env);
  function_executeCallwValues(env, funcId, arguments);
  interpStack_release(env, mark);
}

// ---------------------------------------------------------------------------
// Name lookups through the lazily built indexes of the cache.

// Extends the index to the first `count` objects of symbolIds (first match
// kept, or last match when lastMatch) and looks name up.
u32 nameIndex_find(const program* p, NameIndex& index, const u32* symbolIds, u32 count,
                   const char* name, bool lastMatch) {
  if (index.symbolTable != p->dbg->symbolTable || count < index.indexedCount) {
    index = NameIndex{};
    index.symbolTable = p->dbg->symbolTable;
  }
  for (u32 id = index.indexedCount; id < count; ++id) {
    const char* symbolName = interp_symbolName(p, symbolIds[id]);
    if (symbolName == nullptr) continue;
    if (lastMatch) {
      index.ids.insert_or_assign(std::string_view(symbolName), id);
    } else {
      index.ids.emplace(std::string_view(symbolName), id);
    }
  }
  index.indexedCount = count;
  auto found = index.ids.find(std::string_view(name));
  return found == index.ids.end() ? NO_ID : found->second;
}

u32 lookup(InterpEnv* env, NameIndex InterpCache::*index, const u32* symbolIds, u32 count,
           const char* name, bool lastMatch = false) {
  if (name == nullptr) return NO_ID;
  return nameIndex_find(env->program, env->ctx->cache->*index, symbolIds, count, name, lastMatch);
}

const char* typeNameOrUnknown(const program* p, u32 typeId) {
  const char* name = typeId < p->infoProg->n_type
                         ? interp_symbolName(p, p->dbg->typeSymbolId[typeId])
                         : nullptr;
  return name != nullptr ? name : "<unknown>";
}

bool isOutputParameter(u32 op) { return op == OUT_PARAM || op == OUT_CHANNEL_PARAM; }

// Steps 2 and 3 of interp_getFunctionID: the parameters against the descriptors.
bool parametersMatch(InterpEnv* env, u32 funcId, const char* name, u32 count,
                     const ArgDescriptor* descriptors) {
  const program* p = env->program;
  const AST* list = AST_nodeIfPresent(p, p->functionTable[funcId].parameters);
  std::vector<const AST*> parameters;
  for (const AST* cell = list; cell != nullptr && cell->op == LIST && parameters.size() <= count;
       cell = AST_nodeIfPresent(p, cell->right)) {
    parameters.push_back(AST_nodeIfPresent(p, cell->left));
  }
  if (parameters.size() != count) {
    const u32 real = list == nullptr ? 0 : AST_listSize(p, list);
    interp_debug(env, "Function (%s) requires %d parameters\n", name, static_cast<int>(real));
    return false;
  }
  if (count > 0 && descriptors == nullptr) return false;
  for (u32 i = 0; i < count; ++i) {
    const AST* parameter = parameters[i];
    if (parameter == nullptr) return false;
    const u32 direction = isOutputParameter(parameter->op) ? 1 : 0;
    if (descriptors[i].direction != direction) {
      interp_debug(env, "Wrong direction for parameter %d of Function (%s)\n",
                   static_cast<int>(i + 1), name);
      return false;
    }
    const u32 declared = parameter->value.id.type;
    if (declared != descriptors[i].typeId) {
      interp_debug(env, "Type mismatch for parameter %d of Function (%s)\nExpected %s found %s \n ",
                   static_cast<int>(i + 1), name, typeNameOrUnknown(p, declared),
                   typeNameOrUnknown(p, descriptors[i].typeId));
      return false;
    }
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Loading and initialisation.

u32 interp_load(InterpEnv* env, const char* path) {
  if (env == nullptr) return AST_READ_OPEN;
  setFileName(env, path);
  resetImage(env);
  const u32 code = readBinary_AST(env, env->program, env->program->dbg, path);
  if (code != AST_READ_OK) {
    // Nothing of a half-read image stays loaded.
    resetImage(env);
    return code;
  }
  loadInitialise(env);
  return 0;
}

u32 interp_load_from_parser(InterpEnv* env, struct program* compilerImage) {
  if (env == nullptr || compilerImage == nullptr) return 1;
  unloadRuntime(env);
  // The compiler may already have lent its image by assignment.
  if (env->program != compilerImage && env->program != nullptr && !env->borrowedProgram) {
    free_program(env->program);
    MEMORY_FREE(env->program);
  }
  env->program = compilerImage;
  env->borrowedProgram = true;
  loadInitialise(env);
  return 0;
}

u32 interp_init(InterpEnv* env) {
  if (env == nullptr || env->program == nullptr) return 1;
  interp_guard(env, 0, [&] {
    InterpContext* ctx = env->ctx;
    expr_operatorsInit(env);
    initGlobals(env);
    initStatics(env);
    ctx->initialized = true;
    interp_startScheduler(env);
    const u32 init = env->program->infoProg->initFunction;
    if (init != NO_ID) {
      INTERP_ASSERT_TEXT(env, init < env->program->infoProg->n_functions,
                         "funcId < env->program->infoProg->n_functions");
      callWithValues(env, init, nullptr);
    }
    return 0;
  });
  return 1;
}

InterpEnv* interp_create_load_init(const char* path) {
  InterpEnv* env = interp_create();
  if (interp_load(env, path) != 0) {
    interp_stop(env);
    return nullptr;
  }
  interp_init(env);
  return env;
}

// ---------------------------------------------------------------------------
// Values and calls.

u32 interp_setValue(InterpEnv* env, u32 varId, u32 mode, TaggedValue value) {
  if (env == nullptr || varId >= env->program->infoProg->n_globalVariables) return 1;
  if (mode > 1) return 1;
  return interp_guard(env, 1u, [&] {
    const TaggedValue target = env->program->globalVariableTable[varId];
    INTERP_ASSERT_TEXT(env, target.typeId < env->program->infoProg->n_type,
                       "typeId < env->program->infoProg->n_type");
    INTERP_ASSERT_TEXT(env, value.value != nullptr, "value.value != NULL");
    if (mode == 0) {
      value_set(env, target, value);
    } else {
      // A push into a global queue or stack: a full channel goes to the
      // invalid-operation callback (with no node) and is left unchanged.
      channel_push(env, target, value);
    }
    return 0u;
  });
}

u32 interp_callFunction(InterpEnv* env, u32 funcId, const TaggedValue* arguments) {
  // Without an environment there is no callback to report through.
  if (env == nullptr) return 0;
  interp_guard(env, 0, [&] {
    const program* p = env->program;
    INTERP_ASSERT_TEXT(env, funcId != NO_ID, "funcID != NO_ID");
    INTERP_ASSERT_TEXT(env, funcId < p->infoProg->n_functions,
                       "funcID < env->program->infoProg->n_functions");
    const AST* parameters = AST_nodeIfPresent(p, p->functionTable[funcId].parameters);
    INTERP_ASSERT_TEXT(env, arguments != nullptr || parameters == nullptr,
                       "arguments != NULL");
    callWithValues(env, funcId, arguments);
    return 0;
  });
  return 0;
}

// ---------------------------------------------------------------------------
// Name lookups.

u32 interp_getTypeID(InterpEnv* env, const char* name) {
  if (env == nullptr || env->program == nullptr) return NO_ID;
  const program* p = env->program;
  return lookup(env, &InterpCache::types, p->dbg->typeSymbolId, p->infoProg->n_type, name);
}

u32 interp_getVariableID(InterpEnv* env, const char* name) {
  if (env == nullptr || env->program == nullptr) return NO_ID;
  const program* p = env->program;
  return lookup(env, &InterpCache::variables, p->dbg->globalVariableSymbolId,
                p->infoProg->n_globalVariables, name);
}

u32 interp_getConstantID(InterpEnv* env, const char* name) {
  if (env == nullptr || env->program == nullptr) return NO_ID;
  const program* p = env->program;
  return lookup(env, &InterpCache::constants, p->dbg->globalConstantSymbolId,
                p->infoProg->n_globalConstants, name);
}

u32 interp_getTaskID(InterpEnv* env, const char* name) {
  if (env == nullptr || env->program == nullptr) return NO_ID;
  const program* p = env->program;
  return lookup(env, &InterpCache::tasks, p->dbg->processInstanceSymbolId,
                p->infoProg->n_processInstances, name);
}

u32 interp_getFunctionID(InterpEnv* env, const char* name, u32 count,
                         const ArgDescriptor* descriptors) {
  if (env == nullptr || env->program == nullptr) return NO_ID;
  const program* p = env->program;
  const u32 id = lookup(env, &InterpCache::functions, p->dbg->functionSymbolId,
                        p->infoProg->n_functions, name, true);
  if (id == NO_ID) return NO_ID;
  return parametersMatch(env, id, name, count, descriptors) ? id : NO_ID;
}

u32 interp_getMethodID(InterpEnv* env, u32 typeId, const char* method, u32 count,
                       const ArgDescriptor* descriptors) {
  if (env == nullptr || method == nullptr || typeId >= env->program->infoProg->n_type) {
    return NO_ID;
  }
  const char* typeName = interp_symbolName(env->program, env->program->dbg->typeSymbolId[typeId]);
  if (typeName == nullptr) return NO_ID;
  char name[1024];
  std::snprintf(name, sizeof name, "%s_%s", typeName, method);
  return interp_getFunctionID(env, name, count, descriptors);
}

u32 interp_getEnum(InterpEnv* env, u32 enumTypeId, const char* enumName) {
  if (env == nullptr) return NO_ID;
  return interp_guard(env, NO_ID, [&] {
    INTERP_ASSERT_TEXT(env, enumTypeId != NO_ID, "enumTypeID != NO_ID");
    INTERP_ASSERT_TEXT(env, enumName != NULL, "enumName != NULL");
    INTERP_ASSERT_TEXT(env, enumTypeId < env->program->infoProg->n_type,
                       "enumTypeID < env->program->infoProg->n_type");
    return interp_findEnumerator(env->program, enumTypeId, enumName);
  });
}

u32 interp_getStructFieldTypeID(InterpEnv* env, const char* typeName, const char* fieldName) {
  if (env == nullptr || typeName == nullptr || fieldName == nullptr) return NO_ID;
  InterpCache& cache = *env->ctx->cache;
  // A type declared later cannot change the first match of an earlier name,
  // but a miss may become a hit: the cache holds for one type count.
  const u32 typeCount = env->program->infoProg->n_type;
  if (cache.structFieldTypeCount != typeCount) {
    cache.structFieldTypes.clear();
    cache.structFieldTypeCount = typeCount;
  }
  std::string key(typeName);
  key.push_back('\0');
  key.append(fieldName);
  auto cached = cache.structFieldTypes.find(key);
  if (cached != cache.structFieldTypes.end()) return cached->second;
  u32 fieldType = NO_ID;
  const u32 typeId = interp_getTypeID(env, typeName);
  if (typeId == NO_ID || !interp_findField(env->program, typeId, fieldName, &fieldType, nullptr)) {
    fieldType = NO_ID;
  }
  cache.structFieldTypes.emplace(std::move(key), fieldType);
  return fieldType;
}

// ---------------------------------------------------------------------------
// Settings.

void interp_set_realtime(InterpEnv* env, bool realtime) {
  if (env == nullptr) return;
  if (env->ctx->initialized) {
    interp_failure(env, "Can not change realtime mode after interpreter initialization\n");
    return;
  }
  env->ctx->realtime = realtime;
}

void interp_set_interrupt(InterpEnv* env, const volatile std::sig_atomic_t* flag) {
  if (env != nullptr) env->ctx->interrupt = flag;
}

void interp_set_loop_limit(InterpEnv* env, u64 turns) {
  if (env == nullptr) return;
  env->ctx->loopTurnLimit = turns;
  env->ctx->loopTurns = 0;
  env->ctx->loopLimitReached = false;
}

bool interp_loop_limit_reached(const InterpEnv* env) {
  return env != nullptr && env->ctx->loopLimitReached;
}

bool interp_get_realtime(InterpEnv* env) { return env != nullptr && env->ctx->realtime; }

void interp_set_start_pid(InterpEnv* env, u32 pid) {
  if (env == nullptr) return;
  env->ctx->startPid = pid;
  // The records are made at load; a host sets the start pid between load and
  // init, so the pids follow. Once running, the records are the program's.
  if (!env->ctx->initialized) interp_systemRenumberPids(env);
}

u32 interp_get_value_string(InterpEnv* env, TaggedValue source, u32 typeId, char* destination) {
  if (env == nullptr) return 0;
  return interp_guard(env, 0u, [&] {
    const program* p = env->program;
    INTERP_ASSERT_TEXT(env, destination != NULL, "buffer != NULL");
    INTERP_ASSERT_TEXT(env, source.typeId < p->infoProg->n_type,
                       "source.typeId < env->program->infoProg->n_type");
    // The declared length comes from the given type when it is one, else
    // from the value's own type. Characters are one per cell; channels and
    // strings keep theirs after the two index cells.
    const TypeDefinition& type = p->typeTable[typeId < p->infoProg->n_type ? typeId : source.typeId];
    const DataCell* characters = source.value;
    u64 limit = 0;
    if (type.bufferType == ARRAY_BUFFER) {
      limit = type.size == NO_ID ? UINT64_MAX : type.size;
    } else if (type.bufferType != NONE_BUFFER) {
      characters = source.value == nullptr ? nullptr : source.value + 2;
      limit = type.size == NO_ID ? UINT64_MAX : static_cast<u64>(type.size) + 1;
    }
    u32 length = 0;
    while (characters != nullptr && length < limit && length < NO_ID - 1 &&
           static_cast<char>(characters[length]) != '\0') {
      destination[length] = static_cast<char>(characters[length]);
      ++length;
    }
    destination[length] = '\0';
    return length;
  });
}
