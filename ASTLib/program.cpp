#include "program.h"

#include "ast.h"
#include "velk_memory.h"

program* program_create() {
  program* p = MEMORY_ALLOC(1, program, "program");
  p->header = MEMORY_ALLOC(1, ProgramHeader, "program->header");
  p->infoProg = MEMORY_ALLOC(1, InfoProg, "program->infoProg");
  p->infoProg->initFunction = NO_ID;
  p->dbg = MEMORY_ALLOC(1, DebugInfo, "program->dbg");
  return p;
}

void free_program(program* p) {
  if (p == nullptr) return;
  MEMORY_FREE(p->RAMprogram);
  p->root = nullptr;
  MEMORY_FREE(p->functionTable);
  MEMORY_FREE(p->typeTable);
  MEMORY_FREE(p->processGlobalInstanceTable);
  MEMORY_FREE(p->processInstanceTable);
  MEMORY_FREE(p->processDefinitionTable);
  MEMORY_FREE(p->globalVariableDataInitTable);
  MEMORY_FREE(p->processStaticVariableDataInitTable);
  MEMORY_FREE(p->constantDataTable);
  MEMORY_FREE(p->globalVariableTable);
  MEMORY_FREE(p->processStaticVariableTable);
  MEMORY_FREE(p->globalConstantTable);
  MEMORY_FREE(p->stringTable);
  MEMORY_FREE(p->stringTableIndex);
  if (DebugInfo* dbg = p->dbg) {
    MEMORY_FREE(dbg->symbolTableIndex);
    MEMORY_FREE(dbg->processDefinitionSymbolId);
    MEMORY_FREE(dbg->globalProcessInstanceSymbolId);
    MEMORY_FREE(dbg->globalVariableSymbolId);
    MEMORY_FREE(dbg->globalConstantSymbolId);
    MEMORY_FREE(dbg->processStaticVariableSymbolId);
    MEMORY_FREE(dbg->typeSymbolId);
    MEMORY_FREE(dbg->functionSymbolId);
    MEMORY_FREE(dbg->processInstanceSymbolId);
    MEMORY_FREE(dbg->symbolTable);
    MEMORY_FREE(dbg->nodeLine);
  }
  MEMORY_FREE(p->dbg);
  MEMORY_FREE(p->infoProg);
  MEMORY_FREE(p->header);
}

void parser_reallocTable(void** tablePointer, u32* capacity, u32 needed, size_t elementSize) {
  if (*capacity >= needed) return;
  *tablePointer = memory_realloc(*tablePointer, *capacity, needed, elementSize, __FILE__,
                                 __func__, __LINE__, "tablePointer");
  *capacity = needed;
}

void parser_computeAnyValueAddresses(const DataCell* oldBase, DataCell* newBase,
                                     TaggedValue* table, u32 count) {
  if (oldBase == newBase) return;
  for (u32 i = 0; i < count; ++i) {
    if (table[i].value == nullptr) continue;
    // Offsets are taken as integers: oldBase no longer points at live memory.
    auto offset = reinterpret_cast<uintptr_t>(table[i].value) - reinterpret_cast<uintptr_t>(oldBase);
    table[i].value = reinterpret_cast<DataCell*>(reinterpret_cast<uintptr_t>(newBase) + offset);
  }
}

const char* Symbol_getName(const program* p, u32 symId) {
  VELK_ASSERT_TEXT(symId < p->infoProg->n_symbols, "symId < env->program->infoProg->n_symbols");
  VELK_ASSERT_TEXT(p->dbg->symbolTableIndex[symId] < p->infoProg->symbolStorageSize,
                   "env->dbg->symbolTableIndex[symId] < env->program->infoProg->symbolStorageSize");
  return p->dbg->symbolTable + p->dbg->symbolTableIndex[symId];
}

const char* Variable_getName(const program* p, u32 varId) {
  VELK_ASSERT_TEXT(varId < p->infoProg->n_globalVariables,
                   "varId < env->program->infoProg->n_globalVariables");
  return Symbol_getName(p, p->dbg->globalVariableSymbolId[varId]);
}

const char* Function_getName(const program* p, u32 funcId) {
  VELK_ASSERT_TEXT(funcId < p->infoProg->n_functions, "funcId < env->program->infoProg->n_functions");
  return Symbol_getName(p, p->dbg->functionSymbolId[funcId]);
}

const char* Type_getName(const program* p, u32 typeId) {
  VELK_ASSERT_TEXT(typeId < p->infoProg->n_type, "typeId < env->program->infoProg->n_type");
  return Symbol_getName(p, p->dbg->typeSymbolId[typeId]);
}

u32 TypeDefID_getStorageSize(const program* p, u32 typeId) {
  VELK_ASSERT_TEXT(typeId < p->infoProg->n_type, "typeId < env->program->infoProg->n_type");
  return p->typeTable[typeId].storageSize;
}

TypeDefinition* TaggedValue_getType(const program* p, TaggedValue value) {
  VELK_ASSERT_TEXT(value.typeId < p->infoProg->n_type, "typeId < env->program->infoProg->n_type");
  return &p->typeTable[value.typeId];
}

u32 TaggedValue_getBaseType(const program* p, TaggedValue value) {
  return TaggedValue_getType(p, value)->baseType;
}

AST* TypeDefinition_getFieldIterator(const program* p, const TypeDefinition* type) {
  return AST_fromId(p, type->fields);
}

AST* TaggedValue_getFieldIterator(const program* p, TaggedValue value) {
  return TypeDefinition_getFieldIterator(p, TaggedValue_getType(p, value));
}
