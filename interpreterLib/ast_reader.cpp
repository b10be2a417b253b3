#include "ast_reader.h"

#include <sys/stat.h>

#include <bit>
#include <cstring>
#include <memory>

#include "ast.h"
#include "velk_memory.h"

// The file is little-endian and its records are the in-memory records byte for
// byte, so tables are read straight into place.
static_assert(std::endian::native == std::endian::little,
              "the image file is read without byte swapping");
static_assert(sizeof(ProgramHeader) == 24);
static_assert(sizeof(TypeDefinition) == 20);
static_assert(sizeof(FunctionDefinition) == 8);
static_assert(sizeof(ProcessDefinition) == 36);
static_assert(sizeof(ProcessGlobalInstance) == 32);
static_assert(sizeof(ProcessInstance) == 8);
static_assert(sizeof(DataCell) == 8);

// How a lying file is handled. Every table is sized from a count read from the
// file, so before a table is allocated the reader checks that the rest of the
// file can hold the section that count describes. When it cannot, the file
// ends inside that section: the step's short-read code is returned and nothing
// was allocated for it. Memory is thus bounded by a small multiple of the file
// size, and a truncated file always yields the code of the section it ends in.
// Code 30 is kept for sections read whole whose content contradicts the rest
// of the image; each section is checked as soon as it is read (all counts are
// known from infoProg), so nothing out of bounds is ever stored or followed.
// The counts themselves are checked right after infoProg, before any section:
// counts that contradict each other give 30 even if the file is also short.
// Bytes after the last section, the header words, the padding bytes and the
// nodes' reserved word are not looked at.
//
// Checks that yield 30:
// - counts: n_AST + 1000 fits in a u32; initFunction is NO_ID or < n_functions;
// - nodes: op is a known code; node 0 is ROOT; left and right are NO_ID or
//   < n_AST; a LABEL_STRING_OP's string id is < n_string; a TRANSITION_BODY's
//   target is NO_ID or < n_AST (other node values are not checked);
// - types: baseType < n_type, buffer kind <= 5, fields NO_ID or < n_AST;
// - strings and symbols: every index entry is < the table's byte size, and a
//   non-empty table ends with a NUL byte;
// - functions, process definitions, global instances, instances: node ids are
//   NO_ID or < n_AST; an instance's definition is NO_ID or < n_processDefinitions
//   and its first static NO_ID or < n_processStaticVariables; a global
//   instance's first instance and first static are NO_ID or <= their counts
//   (0 before the allocation pass), its definition NO_ID, < n_processDefinitions,
//   or 0 while no instance is allocated yet (n_processInstances = 0);
// - constants: type < n_type; index + storage size <= size_constantData, or
//   index 0 with a type of storage size 0 or an empty constant table (no value);
// - variables and statics: type < n_type, and the storage sizes add up to the
//   size of their data table exactly;
// - every *SymbolId entry < n_symbols.

namespace {

constexpr const char* kInvalidFile = "invalid VELK AST file !\n";
// Buffer kinds 0 to 5 exist (4 is never declared but counts as a channel).
constexpr u32 kLastBufferKind = 5;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// The image being filled and the bytes of the file not yet read.
struct ImageReader {
  InterpEnv* env;
  program* p;
  DebugInfo* dbg;
  FILE* file;
  u64 remaining;
};

bool reader_read(ImageReader& r, void* buffer, size_t size, size_t count) {
  if (!freadAndCheck(r.env, buffer, size, count, r.file)) return false;
  // A file that grew while being read must not lift the allocation bound.
  u64 bytes = static_cast<u64>(size) * count;
  r.remaining = bytes > r.remaining ? 0 : r.remaining - bytes;
  return true;
}

// True when the rest of the file can hold count records of size bytes; else
// the file ends inside that section and is reported as such.
bool reader_holds(ImageReader& r, u64 count, u64 size) {
  if (count * size <= r.remaining) return true;
  interp_failure(r.env, kInvalidFile);
  return false;
}

u32 reader_reject(ImageReader& r) {
  interp_failure(r.env, kInvalidFile);
  return AST_READ_INCONSISTENT;
}

// Allocates count records and fills them from the next section of the file.
template <class T>
bool reader_readTable(ImageReader& r, T*& table, u32 count, const char* name) {
  VELK_ASSERT_TEXT(table == nullptr, "readBinary_AST needs an image without tables");
  if (!reader_holds(r, count, sizeof(T))) return false;
  table = MEMORY_ALLOC(count, T, name);
  return reader_read(r, table, sizeof(T), count);
}

bool image_isIdOrNone(u32 id, u32 count) { return id == NO_ID || id < count; }
// For "first of a run" indexes, which equal the count when the run is empty.
bool image_isIndexOrNone(u32 id, u32 count) { return id == NO_ID || id <= count; }

bool image_allBelow(const u32* ids, u32 count, u32 limit) {
  for (u32 i = 0; i < count; ++i) {
    if (ids[i] >= limit) return false;
  }
  return true;
}

// Each name of a table is NUL-terminated, so the last byte must be one.
bool image_endsWithNul(const char* table, u32 size) { return size == 0 || table[size - 1] == '\0'; }

DataCell* image_cellAt(DataCell* table, u64 index) {
  return table == nullptr ? nullptr : table + index;
}

u32 readHeader(ImageReader& r) {
  if (!reader_read(r, r.p->header, sizeof(ProgramHeader), 1)) return AST_READ_HEADER;
  // Compared as a NUL-terminated string: the 13 characters and their NUL.
  if (std::memcmp(r.p->header->magic, AST_IMAGE_MAGIC, sizeof AST_IMAGE_MAGIC) != 0) {
    interp_failure(r.env, kInvalidFile);
    return AST_READ_MAGIC;
  }
  return AST_READ_OK;
}

u32 readCounts(ImageReader& r) {
  if (!reader_read(r, r.p->infoProg, sizeof(InfoProg), 1)) return AST_READ_COUNTS;
  const InfoProg& info = *r.p->infoProg;
  // The tree capacity n_AST + 1000 is itself a u32 count.
  if (info.n_AST > NO_ID - AST_IMAGE_NODE_HEADROOM) return reader_reject(r);
  if (!image_isIdOrNone(info.initFunction, info.n_functions)) return reader_reject(r);
  return AST_READ_OK;
}

bool image_isValidNode(const InfoProg& info, u32 nodeCount, u32 id, const AST& node) {
  if (node.op >= AST_OPERATION_COUNT) return false;
  if (id == 0 && node.op != ROOT) return false;
  if (!image_isIdOrNone(node.left, nodeCount) || !image_isIdOrNone(node.right, nodeCount)) {
    return false;
  }
  switch (node.op) {
    case LABEL_STRING_OP:
      return node.value.id.string < info.n_string;
    case TRANSITION_BODY:
      return image_isIdOrNone(node.value.id.id, nodeCount);
    default:
      return true;
  }
}

// Nodes are appended one by one, so the tree's own bookkeeping rebuilds n_AST.
u32 readNodes(ImageReader& r) {
  InfoProg* info = r.p->infoProg;
  const u32 nodeCount = info->n_AST;
  if (!reader_holds(r, nodeCount, sizeof(AST))) return AST_READ_NODES;
  AST_createTree(r.p, nodeCount + AST_IMAGE_NODE_HEADROOM);
  AST_createLineIndex(r.p, nodeCount + AST_IMAGE_NODE_HEADROOM);
  info->n_AST = 0;
  for (u32 id = 0; id < nodeCount; ++id) {
    u32 words[6];
    static_assert(sizeof words == sizeof(AST));
    if (!reader_read(r, words, sizeof words, 1)) return AST_READ_NODES;
    AST node;
    std::memcpy(&node, words, sizeof node);
    if (!image_isValidNode(*info, nodeCount, id, node)) return reader_reject(r);
    AST_AddNode(r.p, words);
  }
  return AST_READ_OK;
}

u32 readTypes(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->typeTable, info.n_type, "program->typeTable")) {
    return AST_READ_TYPES;
  }
  for (u32 i = 0; i < info.n_type; ++i) {
    const TypeDefinition& type = r.p->typeTable[i];
    if (type.baseType >= info.n_type || type.bufferType > kLastBufferKind ||
        !image_isIdOrNone(type.fields, info.n_AST)) {
      return reader_reject(r);
    }
  }
  return AST_READ_OK;
}

u32 readConstantData(ImageReader& r) {
  u32 cells = r.p->infoProg->size_constantData;
  if (!reader_readTable(r, r.p->constantDataTable, cells, "program->constantDataTable")) {
    return AST_READ_CONSTANT_DATA;
  }
  return AST_READ_OK;
}

u32 readStrings(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->stringTableIndex, info.n_string, "program->stringTableIndex")) {
    return AST_READ_STRING_INDEX;
  }
  if (!image_allBelow(r.p->stringTableIndex, info.n_string, info.stringStorageSize)) {
    return reader_reject(r);
  }
  if (!reader_readTable(r, r.p->stringTable, info.stringStorageSize, "program->stringTable")) {
    return AST_READ_STRING_TABLE;
  }
  for (u32 i = 0; i < astImage_paddingSize(info.stringStorageSize); ++i) {
    u8 padding;
    if (!reader_read(r, &padding, 1, 1)) return AST_READ_STRING_TABLE;
  }
  return image_endsWithNul(r.p->stringTable, info.stringStorageSize) ? AST_READ_OK
                                                                     : reader_reject(r);
}

u32 readFunctions(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->functionTable, info.n_functions, "program->functionTable")) {
    return AST_READ_FUNCTIONS;
  }
  for (u32 i = 0; i < info.n_functions; ++i) {
    const FunctionDefinition& f = r.p->functionTable[i];
    if (!image_isIdOrNone(f.parameters, info.n_AST) || !image_isIdOrNone(f.body, info.n_AST)) {
      return reader_reject(r);
    }
  }
  return AST_READ_OK;
}

// A prototype has NO_ID parts and a zero finally word, both accepted here.
bool image_isValidDefinition(const InfoProg& info, const ProcessDefinition& d) {
  const u32 nodes[] = {d.parameters,  d.staticVariables, d.subInstances, d.localVariables,
                       d.commonBlock, d.states,          d.finallyBlock};
  for (u32 node : nodes) {
    if (!image_isIdOrNone(node, info.n_AST)) return false;
  }
  return true;
}

u32 readProcessDefinitions(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->processDefinitionTable, info.n_processDefinitions,
                        "program->processDefinitionTable")) {
    return AST_READ_PROCESS_DEFINITIONS;
  }
  for (u32 i = 0; i < info.n_processDefinitions; ++i) {
    if (!image_isValidDefinition(info, r.p->processDefinitionTable[i])) return reader_reject(r);
  }
  return AST_READ_OK;
}

// Before the allocation pass the first instance, first static and definition
// words are 0 and no instance record exists yet.
bool image_isValidGlobalInstance(const InfoProg& info, const ProcessGlobalInstance& g) {
  const u32 nodes[] = {g.period, g.offset, g.parameters, g.condition, g.annotation};
  for (u32 node : nodes) {
    if (!image_isIdOrNone(node, info.n_AST)) return false;
  }
  bool definitionOk = image_isIdOrNone(g.definition, info.n_processDefinitions) ||
                      (g.definition == 0 && info.n_processInstances == 0);
  return definitionOk && image_isIndexOrNone(g.firstInstance, info.n_processInstances) &&
         image_isIndexOrNone(g.firstStaticVariable, info.n_processStaticVariables);
}

u32 readGlobalInstances(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->processGlobalInstanceTable, info.n_globalProcessInstances,
                        "program->processGlobalInstanceTable")) {
    return AST_READ_GLOBAL_INSTANCES;
  }
  for (u32 i = 0; i < info.n_globalProcessInstances; ++i) {
    if (!image_isValidGlobalInstance(info, r.p->processGlobalInstanceTable[i])) {
      return reader_reject(r);
    }
  }
  return AST_READ_OK;
}

u32 readInstances(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_readTable(r, r.p->processInstanceTable, info.n_processInstances,
                        "program->processInstanceTable")) {
    return AST_READ_INSTANCES;
  }
  for (u32 i = 0; i < info.n_processInstances; ++i) {
    const ProcessInstance& instance = r.p->processInstanceTable[i];
    if (!image_isIdOrNone(instance.definition, info.n_processDefinitions) ||
        !image_isIdOrNone(instance.firstStaticVariable, info.n_processStaticVariables)) {
      return reader_reject(r);
    }
  }
  return AST_READ_OK;
}

// A constant's cells must lie inside the constant table; index 0 is also how
// the writer encodes a constant without a value.
bool image_constantFits(const InfoProg& info, u32 index, u32 storageSize) {
  if (index == 0 && (storageSize == 0 || info.size_constantData == 0)) return true;
  return static_cast<u64>(index) + storageSize <= info.size_constantData;
}

u32 readGlobalConstants(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  const u32 count = info.n_globalConstants;
  if (!reader_holds(r, count, 2 * sizeof(u32))) return AST_READ_GLOBAL_CONSTANTS;
  r.p->globalConstantTable = MEMORY_ALLOC(count, TaggedValue, "program->globalConstantTable");
  for (u32 i = 0; i < count; ++i) {
    u32 record[2];  // constant-data index, type id
    if (!reader_read(r, record, sizeof record, 1)) return AST_READ_GLOBAL_CONSTANTS;
    const u32 index = record[0], typeId = record[1];
    if (typeId >= info.n_type) return reader_reject(r);
    if (!image_constantFits(info, index, r.p->typeTable[typeId].storageSize)) {
      return reader_reject(r);
    }
    r.p->globalConstantTable[i] = {image_cellAt(r.p->constantDataTable, index), typeId, NO_ID};
  }
  return AST_READ_OK;
}

// Global variables and process statics are stored alike: a type id per
// variable, then the data cells of all of them, laid out back to back.
struct VariableSection {
  u32 count;
  u32 dataCells;
  TaggedValue** table;
  DataCell** data;
  bool ownGlobalIds;  // global variables carry their index as globalId
  u32 typesCode;
  u32 dataCode;
  const char* tableName;
  const char* dataName;
};

u32 readVariables(ImageReader& r, const VariableSection& s) {
  const InfoProg& info = *r.p->infoProg;
  if (!reader_holds(r, s.count, sizeof(u32))) return s.typesCode;
  TaggedValue* table = *s.table = MEMORY_ALLOC(s.count, TaggedValue, s.tableName);
  u64 running = 0;
  for (u32 k = 0; k < s.count; ++k) {
    u32 typeId;
    if (!reader_read(r, &typeId, sizeof typeId, 1)) return s.typesCode;
    if (typeId >= info.n_type) return reader_reject(r);
    table[k] = {nullptr, typeId, s.ownGlobalIds ? k : NO_ID};
    running += r.p->typeTable[typeId].storageSize;
  }
  // Otherwise a variable's cells would reach past the data table.
  if (running != s.dataCells) return reader_reject(r);
  if (!reader_readTable(r, *s.data, s.dataCells, s.dataName)) return s.dataCode;
  running = 0;
  for (u32 k = 0; k < s.count; ++k) {
    table[k].value = image_cellAt(*s.data, running);
    running += r.p->typeTable[table[k].typeId].storageSize;
  }
  return AST_READ_OK;
}

u32 readGlobalVariables(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  return readVariables(
      r, {info.n_globalVariables, info.size_globalVariableData, &r.p->globalVariableTable,
          &r.p->globalVariableDataInitTable, true, AST_READ_GLOBAL_VARIABLES, AST_READ_GLOBAL_DATA,
          "program->globalVariableTable", "program->globalVariableDataInitTable"});
}

u32 readStaticVariables(ImageReader& r) {
  const InfoProg& info = *r.p->infoProg;
  return readVariables(
      r, {info.n_processStaticVariables, info.size_processStaticVariableData,
          &r.p->processStaticVariableTable, &r.p->processStaticVariableDataInitTable, false,
          AST_READ_STATIC_VARIABLES, AST_READ_STATIC_DATA, "program->processStaticVariableTable",
          "program->processStaticVariableDataInitTable"});
}

// A debug table of u32 ids, each of which must be below limit.
struct IdTable {
  u32** table;
  u32 count;
  u32 limit;
  u32 code;
  const char* name;
};

u32 readIdTable(ImageReader& r, const IdTable& t) {
  if (!reader_readTable(r, *t.table, t.count, t.name)) return t.code;
  return image_allBelow(*t.table, t.count, t.limit) ? AST_READ_OK : reader_reject(r);
}

u32 readSymbolNames(ImageReader& r) {
  u32 size = r.p->infoProg->symbolStorageSize;
  if (!reader_readTable(r, r.dbg->symbolTable, size, "program->dbg->symbolTable")) {
    return AST_READ_SYMBOL_NAMES;
  }
  return image_endsWithNul(r.dbg->symbolTable, size) ? AST_READ_OK : reader_reject(r);
}

// The line table was created with the tree; only the file's nodes have lines.
u32 readNodeLines(ImageReader& r) {
  u32 count = r.p->infoProg->n_AST;
  return reader_read(r, r.dbg->nodeLine, sizeof(u32), count) ? AST_READ_OK : AST_READ_NODE_LINES;
}

u32 readDebugTables(ImageReader& r) {
  const InfoProg& c = *r.p->infoProg;
  DebugInfo* d = r.dbg;
  const IdTable beforeNames[] = {
      {&d->processDefinitionSymbolId, c.n_processDefinitions, c.n_symbols,
       AST_READ_DEFINITION_SYMBOLS, "program->dbg->processDefinitionSymbolId"},
      {&d->processInstanceSymbolId, c.n_processInstances, c.n_symbols, AST_READ_INSTANCE_SYMBOLS,
       "program->dbg->processInstanceSymbolId"},
      {&d->globalProcessInstanceSymbolId, c.n_globalProcessInstances, c.n_symbols,
       AST_READ_GLOBAL_INSTANCE_SYMBOLS, "program->dbg->globalProcessInstanceSymbolId"},
      {&d->symbolTableIndex, c.n_symbols, c.symbolStorageSize, AST_READ_SYMBOL_INDEX,
       "program->dbg->symbolTableIndex"},
  };
  const IdTable afterNames[] = {
      {&d->globalVariableSymbolId, c.n_globalVariables, c.n_symbols,
       AST_READ_GLOBAL_VARIABLE_SYMBOLS, "program->dbg->globalVariableSymbolId"},
      {&d->globalConstantSymbolId, c.n_globalConstants, c.n_symbols,
       AST_READ_GLOBAL_CONSTANT_SYMBOLS, "program->dbg->globalConstantSymbolId"},
      {&d->typeSymbolId, c.n_type, c.n_symbols, AST_READ_TYPE_SYMBOLS,
       "program->dbg->typeSymbolId"},
      {&d->functionSymbolId, c.n_functions, c.n_symbols, AST_READ_FUNCTION_SYMBOLS,
       "program->dbg->functionSymbolId"},
      {&d->processStaticVariableSymbolId, c.n_processStaticVariables, c.n_symbols,
       AST_READ_STATIC_VARIABLE_SYMBOLS, "program->dbg->processStaticVariableSymbolId"},
  };
  for (const IdTable& t : beforeNames) {
    if (u32 code = readIdTable(r, t)) return code;
  }
  if (u32 code = readSymbolNames(r)) return code;
  for (const IdTable& t : afterNames) {
    if (u32 code = readIdTable(r, t)) return code;
  }
  return readNodeLines(r);
}

// The image in file order; each step returns 0 or its code.
using ReadStep = u32 (*)(ImageReader&);
constexpr ReadStep kReadSteps[] = {
    readHeader,          readCounts,      readNodes,           readTypes,
    readConstantData,    readStrings,     readFunctions,       readProcessDefinitions,
    readGlobalInstances, readInstances,   readGlobalConstants, readGlobalVariables,
    readStaticVariables, readDebugTables,
};

// Only a regular file has a size to bound the tables by; anything else
// (directory, pipe, device) is not an image file.
bool image_regularFileSize(FILE* file, u64* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<u64>(info.st_size);
  return true;
}

}  // namespace

int freadAndCheck(InterpEnv* env, void* buffer, size_t size, size_t count, FILE* stream) {
  if (size == 0 || count == 0) return 1;
  if (std::fread(buffer, size, count, stream) == count) return 1;
  interp_failure(env, kInvalidFile);
  return 0;
}

u32 readBinary_AST(InterpEnv* env, program* program, DebugInfo* dbg, const char* path) {
  VELK_ASSERT(program != nullptr && program->header != nullptr && program->infoProg != nullptr);
  VELK_ASSERT_TEXT(dbg != nullptr && dbg == program->dbg, "dbg == program->dbg");
  VELK_ASSERT_TEXT(program->RAMprogram == nullptr, "readBinary_AST needs an image without tables");
  FileHandle file(path == nullptr ? nullptr : std::fopen(path, "rb"));
  u64 size = 0;
  if (file == nullptr || !image_regularFileSize(file.get(), &size)) {
    interp_failure(env, "could not read input code file !\n");
    return AST_READ_OPEN;
  }
  ImageReader reader{env, program, dbg, file.get(), size};
  for (ReadStep step : kReadSteps) {
    if (u32 code = step(reader)) return code;
  }
  return AST_READ_OK;
}
