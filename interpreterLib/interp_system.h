// The records the interpreter shares with the program through the system
// library: the `system` variable (scheduling policy and the array of
// Process_Instance records) and the Process_Instance cells it reads and writes.
// Also the per-image lookup cache (InterpCache) that the name lookups of the
// public API and the system records use.
#pragma once
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "interp_env.h"
#include "system_records.h"

// Ids of the system library's declarations, looked up by name once per image
// (NO_ID when the image lacks them, e.g. images built without the library).
struct SystemIds {
  u32 systemVariable;
  u32 systemType;
  u32 processInstanceType;
  u32 schedulingPolicyType;
  u32 processStateType;
  u32 processesType;  // the queue type of System.processes
};

// Name -> id index over one of the image's per-object symbol-id tables. It is
// extended lazily up to the table's current count, so a borrowed image that
// the compiler is still growing stays indexed; the keys are views into the
// image's symbol table, so the index is rebuilt when that table moves.
struct NameIndex {
  std::unordered_map<std::string_view, u32> ids;
  const char* symbolTable = nullptr;
  u32 indexedCount = 0;
};

// What declaring a state's locals takes (process.cpp): when every local only
// needs zeroed storage, their types (at most kStateLocalsDirect of them).
constexpr u32 kStateLocalsDirect = 8;
struct StateLocals {
  bool zeroed = false;  // every local only needs zeroed storage (types, count)
  u32 count = 0;
  u32 types[kStateLocalsDirect];
};

// Everything the interpreter caches per image. Owned by the context; reset
// whenever another image is loaded.
struct InterpCache {
  SystemIds system{NO_ID, NO_ID, NO_ID, NO_ID, NO_ID, NO_ID};
  NameIndex types;
  NameIndex variables;
  NameIndex constants;
  NameIndex tasks;
  NameIndex functions;  // last match wins
  // interp_getStructFieldTypeID results (misses included) by
  // "<type name>\0<field name>", valid for structFieldTypeCount types.
  std::unordered_map<std::string, u32> structFieldTypes;
  u32 structFieldTypeCount = 0;
  // Entries of the per-variable and per-instance callback arrays. They equal
  // the image's counts at load; a borrowed image may have grown since.
  u32 callbackVariables = 0;
  u32 callbackInstances = 0;
  // Per type id: 1 when a cleared value is all zero cells (no channel index
  // cells inside), 2 when it is not, 0 while not yet known.
  std::vector<u8> zeroClearedTypes;
  // Per process definition: the state its last activation entered (NO_ID
  // while none) and that state's StateLocals, so that activations which stay
  // in one state look its declarations over once.
  struct LastState {
    u32 state = NO_ID;
    StateLocals locals;
  };
  std::vector<LastState> lastStates;
};

// Allocation of the cache (through the memory module) and its release.
InterpCache* interp_cacheCreate();
void interp_cacheFree(InterpCache** cache);
// Forgets everything cached about the previous image.
void interp_cacheReset(InterpEnv* env);

// Finds the declarations and points env->ctx->processes at system.processes;
// then fills `system` with its default record and pushes one default
// Process_Instance record per global process instance. The implicit global
// Process_Instance variable of each instance is made to share the storage of
// its record (images the interpreter owns only). Without the system library,
// processes stays {nullptr, NO_ID, NO_ID}.
void interp_systemInit(InterpEnv* env);
const SystemIds& interp_systemIds(InterpEnv* env);

// The Process_Instance record of global process instance i (an element of
// system.processes), typed Process_Instance, global id NO_ID (writes through it
// are the scheduler's and are not traced). {nullptr, NO_ID, NO_ID} when there
// is no such record.
TaggedValue interp_processRecord(InterpEnv* env, u32 globalInstance);
// The same record for the scheduler itself: its queue cells may lag behind
// the scheduler's time base (interp_processRecord makes them current).
TaggedValue interp_processRecordAt(InterpEnv* env, u32 globalInstance);
// Number of records in system.processes (0 without the system library).
u32 interp_processRecordCount(InterpEnv* env);
// Reads or writes one cell of an instance record.
DataCell& processRecord_cell(TaggedValue record, ProcessInstanceCell cell);
// Rewrites the pid of every record as start pid + instance_id.
void interp_systemRenumberPids(InterpEnv* env);

// The name of a symbol, or nullptr when the id or its offset is out of range.
const char* interp_symbolName(const program* p, u32 symId);
// The field `name` of structure typeId: its type and its offset in cells from
// the start of the structure. False when there is no such field.
bool interp_findField(const program* p, u32 typeId, const char* name, u32* fieldType,
                      u32* offset);
// The symbol id of the enumerator `name` of enumeration enumTypeId, NO_ID if none.
u32 interp_findEnumerator(const program* p, u32 enumTypeId, const char* name);
