#include "interp_system.h"
#include "scheduler.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "interp_api.h"
#include "velk_memory.h"

// ---------------------------------------------------------------------------
// The lookup cache.

InterpCache* interp_cacheCreate() {
  void* memory =
      memory_alloc(1, sizeof(InterpCache), __FILE__, __func__, __LINE__, "env->ctx->cache");
  return new (memory) InterpCache();
}

void interp_cacheFree(InterpCache** cache) {
  if (*cache == nullptr) return;
  (*cache)->~InterpCache();
  memory_free(*cache);
  *cache = nullptr;
}

void interp_cacheReset(InterpEnv* env) {
  if (env->ctx->cache == nullptr) {
    env->ctx->cache = interp_cacheCreate();
  } else {
    *env->ctx->cache = InterpCache{};
  }
}

const SystemIds& interp_systemIds(InterpEnv* env) { return env->ctx->cache->system; }

const char* interp_symbolName(const program* p, u32 symId) {
  if (symId >= p->infoProg->n_symbols) return nullptr;
  u32 offset = p->dbg->symbolTableIndex[symId];
  if (offset >= p->infoProg->symbolStorageSize) return nullptr;
  return p->dbg->symbolTable + offset;
}

// ---------------------------------------------------------------------------
// Walking the field lists of structures and enumerations. Ids are checked
// here, not asserted, so that a damaged list ends the walk instead of the run.

namespace {

// Calls visit(element) for each element of the LIST starting at listId until
// it returns true; yields that element or nullptr. The walk is bounded by the
// node count, so a list that loops back on itself still ends.
template <class Visit>
const AST* list_find(const program* p, u32 listId, Visit visit) {
  u32 steps = 0;
  for (const AST* cell = AST_nodeIfPresent(p, listId); cell != nullptr && cell->op == LIST;
       cell = AST_nodeIfPresent(p, cell->right)) {
    if (++steps > p->infoProg->n_AST) break;
    const AST* element = AST_nodeIfPresent(p, cell->left);
    if (element != nullptr && visit(element)) return element;
  }
  return nullptr;
}

bool symbolIs(const program* p, const AST* symNode, const char* name) {
  if (symNode == nullptr || symNode->op != SYM) return false;
  const char* symbolName = interp_symbolName(p, symNode->value.id.id);
  return symbolName != nullptr && std::strcmp(symbolName, name) == 0;
}

}  // namespace

bool interp_findField(const program* p, u32 typeId, const char* name, u32* fieldType,
                      u32* offset) {
  if (typeId >= p->infoProg->n_type || name == nullptr) return false;
  u64 cells = 0;
  const AST* field = list_find(p, p->typeTable[typeId].fields, [&](const AST* f) {
    if (f->op != FIELD_STATEMENT) return false;
    if (symbolIs(p, AST_nodeIfPresent(p, f->left), name)) return true;
    const u32 type = f->value.id.type;
    cells += type < p->infoProg->n_type ? p->typeTable[type].storageSize : 0;
    return false;
  });
  if (field == nullptr || cells > NO_ID) return false;
  if (fieldType != nullptr) *fieldType = field->value.id.type;
  if (offset != nullptr) *offset = static_cast<u32>(cells);
  return true;
}

u32 interp_findEnumerator(const program* p, u32 enumTypeId, const char* name) {
  if (enumTypeId >= p->infoProg->n_type || name == nullptr) return NO_ID;
  // Enumerators are SYM nodes; a FIELD_STATEMENT naming one is accepted too.
  const AST* found = list_find(p, p->typeTable[enumTypeId].fields, [&](const AST* e) {
    if (e->op == FIELD_STATEMENT) e = AST_nodeIfPresent(p, e->left);
    return symbolIs(p, e, name);
  });
  if (found == nullptr) return NO_ID;
  if (found->op == FIELD_STATEMENT) found = AST_nodeIfPresent(p, found->left);
  return found->value.id.id;
}

// ---------------------------------------------------------------------------
// The system records.

namespace {

struct SystemLayout {
  DataCell* system;       // the run-time cells of the `system` variable
  u32 processesOffset;    // cell of System.processes inside it
  u32 capacity;           // of System.processes
};

// Cell offset of global variable v in the global data tables: variables are
// laid out back to back in id order.
bool globalOffset(const program* p, u32 v, u64* offset) {
  u64 cells = 0;
  for (u32 k = 0; k < v; ++k) {
    const u32 type = p->globalVariableTable[k].typeId;
    if (type >= p->infoProg->n_type) return false;
    cells += p->typeTable[type].storageSize;
  }
  *offset = cells;
  return true;
}

void findSystemIds(InterpEnv* env) {
  SystemIds& ids = env->ctx->cache->system;
  ids.systemVariable = interp_getVariableID(env, "system");
  ids.systemType = interp_getTypeID(env, "System");
  ids.processInstanceType = interp_getTypeID(env, "Process_Instance");
  ids.schedulingPolicyType = interp_getTypeID(env, "Scheduling_Policy");
  ids.processStateType = interp_getTypeID(env, "Process_State");
  ids.processesType = interp_getStructFieldTypeID(env, "System", "processes");
}

// Checks that the declarations have the shape the interpreter writes to, and
// locates the run-time cells. Any mismatch would make the scheduler write
// outside the variable, so such an image is treated as one without library.
bool locateSystem(InterpEnv* env, SystemLayout* layout) {
  const program* p = env->program;
  const InfoProg& info = *p->infoProg;
  const SystemIds& ids = env->ctx->cache->system;
  if (ids.systemVariable == NO_ID) return false;
  const bool declared = ids.systemType != NO_ID && ids.processInstanceType != NO_ID &&
                        ids.processesType != NO_ID && ids.processesType < info.n_type;
  u64 systemOffset = 0;
  u32 processesOffset = 0;
  bool ok = declared && p->globalVariableTable[ids.systemVariable].typeId == ids.systemType &&
            globalOffset(p, ids.systemVariable, &systemOffset) &&
            interp_findField(p, ids.systemType, "processes", nullptr, &processesOffset);
  if (ok) {
    const TypeDefinition& queue = p->typeTable[ids.processesType];
    const u64 systemCells = p->typeTable[ids.systemType].storageSize;
    ok = p->typeTable[ids.processInstanceType].storageSize == PI_CELL_COUNT &&
         queue.bufferType == QUEUE_BUFFER && queue.baseType == ids.processInstanceType &&
         queue.size != NO_ID &&
         queue.storageSize == (static_cast<u64>(queue.size) + 1) * PI_CELL_COUNT + 2 &&
         processesOffset + static_cast<u64>(queue.storageSize) <= systemCells &&
         systemOffset + systemCells <= info.size_globalVariableData &&
         env->data->globalVariableDataTable != nullptr;
    layout->system = ok ? env->data->globalVariableDataTable + systemOffset : nullptr;
    layout->processesOffset = processesOffset;
    layout->capacity = queue.size;
  }
  if (!ok) interp_failure(env, "system library declarations of the image are not usable\n");
  return ok;
}

// The first state of the instance's process definition: its node and symbol.
void initialState(const program* p, u32 globalInstance, u32* node, u32* symbol) {
  *node = NO_ID;
  *symbol = 0;
  const u32 definition = p->processGlobalInstanceTable[globalInstance].definition;
  if (definition >= p->infoProg->n_processDefinitions) return;
  const AST* states = AST_nodeIfPresent(p, p->processDefinitionTable[definition].states);
  if (states == nullptr || states->op != LIST) return;
  const AST* state = AST_nodeIfPresent(p, states->left);
  if (state == nullptr || state->op != NAMED_STATE_STATEMENT) return;
  *node = states->left;
  *symbol = AST_getStateId(p, state);
}

void fillDefaultRecord(InterpEnv* env, DataCell* record, u32 instance, u64 now) {
  std::fill(record, record + PI_CELL_COUNT, DataCell{0});
  u32 stateNode, stateSymbol;
  initialState(env->program, instance, &stateNode, &stateSymbol);
  // instance_id names the instance's own record in the instance table (what the
  // per-instance callbacks are indexed by); with sub-process instances it differs
  // from the global counter, which numbers the pids.
  const program* p = env->program;
  const u32 first = p->processGlobalInstanceTable[instance].firstInstance;
  record[PI_INSTANCE_ID] = first < p->infoProg->n_processInstances ? first : instance;
  record[PI_PID] = static_cast<u32>(env->ctx->startPid + instance);
  record[PI_DEADLINE] = kDefaultDeadline;
  record[PI_PREVIOUS_ACTIVATION] = now;
  record[PI_CURRENT_ACTIVATION] = now;
  record[PI_NEXT_ACTIVATIONS] = 2;  // empty queue: in = out = first slot
  record[PI_NEXT_ACTIVATIONS + 1] = 2;
  record[PI_STATE_PTR] = stateNode;
  record[PI_PROCESS_STATE] = stateSymbol;
  record[PI_INITIALIZING] = 1;
}

// Points the implicit global Process_Instance variable of instance i at its
// record, so that the program and the scheduler share one record.
void aliasInstanceVariable(InterpEnv* env, u32 instance, DataCell* record) {
  program* p = env->program;
  const char* name = interp_symbolName(p, p->dbg->globalProcessInstanceSymbolId[instance]);
  if (name == nullptr) return;
  const u32 v = interp_getVariableID(env, name);
  if (v == NO_ID) return;
  if (p->globalVariableTable[v].typeId != env->ctx->cache->system.processInstanceType) return;
  p->globalVariableTable[v].value = record;
}

void createRecords(InterpEnv* env, const SystemLayout& layout) {
  const program* p = env->program;
  const SystemIds& ids = env->ctx->cache->system;
  u32 count = p->infoProg->n_globalProcessInstances;
  if (count > layout.capacity) {
    interp_failure(env, "too many process instances (%u) for system.processes (%u)\n", count,
                   layout.capacity);
    count = layout.capacity;
  }
  DataCell* processes = layout.system + layout.processesOffset;
  const u64 now = env->ctx->gettime_callback(env);
  for (u32 i = 0; i < count; ++i) {
    DataCell* record = processes + 2 + static_cast<u64>(i) * PI_CELL_COUNT;
    fillDefaultRecord(env, record, i, now);
    if (!env->borrowedProgram) aliasInstanceVariable(env, i, record);
  }
  processes[0] = 2 + static_cast<u64>(count) * PI_CELL_COUNT;
  processes[1] = 2;
  env->ctx->processes = TaggedValue{processes, ids.processesType, ids.systemVariable};
}

// Slot of a queue index cell, or NO_ID when the cell is not a valid index.
u32 processesSlot(DataCell index, u32 capacity) {
  if (index < 2 || (index - 2) % PI_CELL_COUNT != 0) return NO_ID;
  const u64 slot = (index - 2) / PI_CELL_COUNT;
  return slot <= capacity ? static_cast<u32>(slot) : NO_ID;
}

u32 processesCapacity(InterpEnv* env) {
  const TaggedValue& processes = env->ctx->processes;
  if (processes.value == nullptr) return 0;
  return env->program->typeTable[processes.typeId].size;
}

}  // namespace

void interp_systemInit(InterpEnv* env) {
  env->ctx->processes = TaggedValue{nullptr, NO_ID, NO_ID};
  findSystemIds(env);
  SystemLayout layout{};
  if (!locateSystem(env, &layout)) return;
  const SystemIds& ids = env->ctx->cache->system;
  const u32 systemCells = env->program->typeTable[ids.systemType].storageSize;
  std::fill(layout.system, layout.system + systemCells, DataCell{0});
  u32 fifo = NO_ID;
  if (ids.schedulingPolicyType != NO_ID) fifo = interp_getEnum(env, ids.schedulingPolicyType, "FIFO");
  u32 policyOffset = 0;
  if (fifo != NO_ID &&
      interp_findField(env->program, ids.systemType, "sched_policy", nullptr, &policyOffset) &&
      policyOffset < systemCells) {
    layout.system[policyOffset] = fifo;
  }
  createRecords(env, layout);
}

u32 interp_processRecordCount(InterpEnv* env) {
  const TaggedValue& processes = env->ctx->processes;
  const u32 capacity = processesCapacity(env);
  if (processes.value == nullptr) return 0;
  const u32 in = processesSlot(processes.value[0], capacity);
  const u32 out = processesSlot(processes.value[1], capacity);
  if (in == NO_ID || out == NO_ID) return 0;
  return in >= out ? in - out : in + (capacity + 1) - out;
}

TaggedValue interp_processRecord(InterpEnv* env, u32 globalInstance) {
  const TaggedValue record = interp_processRecordAt(env, globalInstance);
  if (record.value != nullptr) scheduler_recordAccessed(env, globalInstance);
  return record;
}

TaggedValue interp_processRecordAt(InterpEnv* env, u32 globalInstance) {
  if (globalInstance >= interp_processRecordCount(env)) return TaggedValue{nullptr, NO_ID, NO_ID};
  const TaggedValue& processes = env->ctx->processes;
  const u32 capacity = processesCapacity(env);
  const u32 out = processesSlot(processes.value[1], capacity);
  const u64 slot = (static_cast<u64>(out) + globalInstance) % (capacity + 1);
  return TaggedValue{processes.value + 2 + slot * PI_CELL_COUNT,
                     env->ctx->cache->system.processInstanceType, NO_ID};
}

DataCell& processRecord_cell(TaggedValue record, ProcessInstanceCell cell) {
  return record.value[cell];
}

void interp_systemRenumberPids(InterpEnv* env) {
  const u32 count = interp_processRecordCount(env);
  for (u32 i = 0; i < count; ++i) {
    TaggedValue record = interp_processRecordAt(env, i);
    processRecord_cell(record, PI_PID) = static_cast<u32>(env->ctx->startPid + i);
  }
}
