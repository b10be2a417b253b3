// The program image: flat tables addressed by u32 ids plus the array of AST
// nodes. The compiler builds it, the image file carries it, the interpreter runs
// it. Every table is owned by the program record and freed by free_program.
#pragma once
#include <cstddef>
#include <cstdint>

#include "velk_assert.h"

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using s8 = int8_t;
using s16 = int16_t;
using s32 = int32_t;
using s64 = int64_t;

// "No object"; as a node id, an absent child.
constexpr u32 NO_ID = 0xFFFFFFFFu;

// One data cell. Storage sizes of types are counted in cells; a primitive value
// fills one cell, zero-extended from its own width.
using DataCell = u64;
constexpr size_t CELL_SIZE = sizeof(DataCell);

// A value as the interpreter handles it: its first cell, its type, and the
// global variable it belongs to (NO_ID for anything else).
struct TaggedValue {
  DataCell* value;
  u32 typeId;
  u32 globalId;
};

// Base type ids: 0 to 10 are the integer types (odd ids signed), 0 to 14 the
// primitive types, user types start at 34.
enum BaseTypeId : u32 {
  TypeInt = 0,
  TypeSInt = 1,
  TypeUInt8 = 2,
  TypeSInt8 = 3,
  TypeUInt16 = 4,
  TypeSInt16 = 5,
  TypeUInt32 = 6,
  TypeSInt32 = 7,
  TypeUInt64 = 8,
  TypeSInt64 = 9,
  TypeTime = 10,
  TypeBoolean = 11,
  TypeFP = 12,
  TypeF32 = 13,
  TypeF64 = 14,
  TypePrimitive = 15,
  TypeStmt = 16,
  TypeNamedBlock = 17,
  TypeState = 18,
  TypeIterator = 19,
  TypeType = 20,
  TypeStructure = 21,
  TypeEnum = 22,
  TypeVoid = 23,
  TypeAny = 24,
  TypeIO = 25,
  TypeString = 26,
  TypeArray = 27,
  TypeSizedArray = 28,
  TypeUnsizedArray = 29,
  TypeChannel = 30,
  TypeSizedChannel = 31,
  TypeUnsizedChannel = 32,
  TypeBase = 33,
  FIRST_USER_TYPE = 34,
};

// Buffer kinds of a type record; kinds 2 to 5 are channels.
enum BufferKind : u32 {
  NONE_BUFFER = 0,
  ARRAY_BUFFER = 1,
  QUEUE_BUFFER = 2,
  STACK_BUFFER = 3,
  CHANNEL_BUFFER = 5,
};

// The 24-byte file header.
struct ProgramHeader {
  char magic[16];
  u32 formatFlags;
  u32 formatVersion;
};

// The eighteen counts of the image, in file order.
struct InfoProg {
  u32 n_symbols;
  u32 n_type;
  u32 n_string;
  u32 stringStorageSize;
  u32 n_AST;
  u32 max_ast_size;
  u32 n_functions;
  u32 n_globalVariables;
  u32 n_globalConstants;
  u32 n_processStaticVariables;
  u32 n_processDefinitions;
  u32 n_processInstances;
  u32 n_globalProcessInstances;
  u32 size_globalVariableData;
  u32 size_processStaticVariableData;
  u32 size_constantData;
  u32 initFunction;
  u32 symbolStorageSize;
};
constexpr size_t INFO_PROG_FIELDS = 18;
static_assert(sizeof(InfoProg) == 4 * INFO_PROG_FIELDS);

// Type record. size: element count of a sized buffer (NO_ID unsized), field
// count of a structure or named block, 0 otherwise. fields: LIST of
// FIELD_STATEMENT nodes of a structure or enumeration, NO_ID if none.
struct TypeDefinition {
  u32 baseType;
  u32 size;
  u32 storageSize;
  u32 bufferType;
  u32 fields;
};

struct FunctionDefinition {
  u32 parameters;  // node id of the parameter list
  u32 body;        // node id of the body statement
};

// A process definition; absent parts are NO_ID. A prototype fills only the
// parameter list (the next five NO_ID, the last three 0).
struct ProcessDefinition {
  u32 parameters;
  u32 staticVariables;  // includes the implicit Process_Instance of each sub-instance
  u32 subInstances;
  u32 localVariables;
  u32 commonBlock;
  u32 states;  // LIST of NAMED_STATE_STATEMENT; the first is the initial state
  u32 finallyBlock;
  u32 n_subInstances;
  u32 n_staticVariables;
};

// One record per process instance declared in the source. firstInstance,
// firstStaticVariable and definition are 0 until the allocation pass.
struct ProcessGlobalInstance {
  u32 firstInstance;
  u32 period;
  u32 offset;
  u32 parameters;
  u32 condition;
  u32 annotation;
  u32 firstStaticVariable;
  u32 definition;
};

// One record per instance, nested sub-process instances included.
struct ProcessInstance {
  u32 definition;
  u32 firstStaticVariable;  // NO_ID when the definition has no static variable
};

struct AST;

// Symbol names and the per-object symbol ids; nodeLine has max_ast_size entries.
struct DebugInfo {
  u32* symbolTableIndex;
  u32* processDefinitionSymbolId;
  u32* globalProcessInstanceSymbolId;
  u32* globalVariableSymbolId;
  u32* globalConstantSymbolId;
  u32* processStaticVariableSymbolId;
  u32* typeSymbolId;
  u32* functionSymbolId;
  u32* processInstanceSymbolId;
  char* symbolTable;
  u32* nodeLine;
};

struct program {
  ProgramHeader* header;
  InfoProg* infoProg;
  AST* RAMprogram;
  AST* root;
  FunctionDefinition* functionTable;
  TypeDefinition* typeTable;
  ProcessGlobalInstance* processGlobalInstanceTable;
  ProcessInstance* processInstanceTable;
  ProcessDefinition* processDefinitionTable;
  DataCell* globalVariableDataInitTable;
  DataCell* processStaticVariableDataInitTable;
  DataCell* constantDataTable;
  TaggedValue* globalVariableTable;
  TaggedValue* processStaticVariableTable;
  TaggedValue* globalConstantTable;
  char* stringTable;
  u32* stringTableIndex;
  DebugInfo* dbg;
};

// A fresh image: header, counts (all 0, initFunction NO_ID) and debug record,
// no tables yet.
program* program_create();

// Frees every table, the debug tables and the records; clears each pointer.
// The program record itself is left for the caller to free (memory_free).
void free_program(program* program);

// Grows *tablePointer to exactly `needed` elements when *capacity is below it.
void parser_reallocTable(void** tablePointer, u32* capacity, u32 needed, size_t elementSize);

template <class T>
void parser_reallocTable(T** tablePointer, u32* capacity, u32 needed) {
  void* table = *tablePointer;
  parser_reallocTable(&table, capacity, needed, sizeof(T));
  *tablePointer = static_cast<T*>(table);
}

// After a data table moved from oldBase to newBase, rebases the non-null value
// of each of the count tagged values of table.
void parser_computeAnyValueAddresses(const DataCell* oldBase, DataCell* newBase,
                                     TaggedValue* table, u32 count);

// Name accessors. Each takes the image, or any environment with a `program` member.
const char* Symbol_getName(const program* program, u32 symId);
const char* Variable_getName(const program* program, u32 varId);
const char* Function_getName(const program* program, u32 funcId);
const char* Type_getName(const program* program, u32 typeId);
u32 TypeDefID_getStorageSize(const program* program, u32 typeId);
TypeDefinition* TaggedValue_getType(const program* program, TaggedValue value);
u32 TaggedValue_getBaseType(const program* program, TaggedValue value);
AST* TypeDefinition_getFieldIterator(const program* program, const TypeDefinition* type);
AST* TaggedValue_getFieldIterator(const program* program, TaggedValue value);

template <class Env>
concept HasProgram = requires(Env* env) { env->program; };

template <HasProgram Env>
const char* Symbol_getName(const Env* env, u32 symId) { return Symbol_getName(env->program, symId); }
template <HasProgram Env>
const char* Variable_getName(const Env* env, u32 id) { return Variable_getName(env->program, id); }
template <HasProgram Env>
const char* Function_getName(const Env* env, u32 id) { return Function_getName(env->program, id); }
template <HasProgram Env>
const char* Type_getName(const Env* env, u32 id) { return Type_getName(env->program, id); }
template <HasProgram Env>
u32 TypeDefID_getStorageSize(const Env* env, u32 id) {
  return TypeDefID_getStorageSize(env->program, id);
}
template <HasProgram Env>
TypeDefinition* TaggedValue_getType(const Env* env, TaggedValue v) {
  return TaggedValue_getType(env->program, v);
}
template <HasProgram Env>
u32 TaggedValue_getBaseType(const Env* env, TaggedValue v) {
  return TaggedValue_getBaseType(env->program, v);
}
template <HasProgram Env>
AST* TaggedValue_getFieldIterator(const Env* env, TaggedValue v) {
  return TaggedValue_getFieldIterator(env->program, v);
}
