#include "def_variable.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ast_list.h"
#include "def_builtins.h"
#include "def_expression.h"
#include "def_type.h"
#include "id_map.h"
#include "interp_consteval.h"
#include "parser_error.h"

namespace {

// Bound of the walks over a type and its initializer: a field's type is
// declared before its structure and brace lists nest no deeper than the
// parser's stack, so this is only reached by a pathological program, whose
// deeper parts then keep zero cells rather than exhaust the stack.
constexpr u32 kMaxTypeNesting = 2000;
// Header cells of a channel value: in index, out index.
constexpr u32 kChannelHeaderCells = 2;
constexpr DataCell kStackOutEmpty = 1;

// One entry of a scope: what a name resolves to.
struct ScopeRecord {
  u32 type;
  u32 symbol;
  u32 access;
  u32 iteratorBuffer;  // node id of an iterator's buffer expression, else NO_ID
  u32 declId;
  bool inInterpreter;  // local constant also pushed on ienv's local constants
};

// A stack of records with, per symbol, its innermost and its first record, so
// that both "innermost first" and "first declared first" are answered without
// a search. Each record links to the one of the same symbol that it shadows.
class Scope {
 public:
  void push(const ScopeRecord& record) {
    const u32 index = static_cast<u32>(records_.size());
    const u32 shadowed = innermost(record.symbol);
    records_.push_back({record, shadowed});
    set(innermost_, innermostUnnamed_, record.symbol, index);
    if (shadowed == NO_ID) set(first_, firstUnnamed_, record.symbol, index);
  }
  // Pops the innermost record; an empty scope (closing more than was declared,
  // only after a reported error) gives an empty record.
  ScopeRecord pop() {
    if (records_.empty()) return ScopeRecord{NO_ID, NO_ID, 0, NO_ID, NO_ID, false};
    const Entry entry = records_.back();
    records_.pop_back();
    const u32 symbol = entry.record.symbol;
    set(innermost_, innermostUnnamed_, symbol, entry.shadowed);
    if (entry.shadowed == NO_ID) set(first_, firstUnnamed_, symbol, NO_ID);
    // An emptied scope gives its memory back (a function's locals end here).
    if (records_.empty()) clear();
    return entry.record;
  }
  void clear() {
    std::vector<Entry>().swap(records_);
    innermost_.clear();
    first_.clear();
    innermostUnnamed_ = NO_ID;
    firstUnnamed_ = NO_ID;
  }
  u32 innermost(u32 symbol) const { return symbol == NO_ID ? innermostUnnamed_ : innermost_.find(symbol); }
  u32 first(u32 symbol) const { return symbol == NO_ID ? firstUnnamed_ : first_.find(symbol); }
  u32 size() const { return static_cast<u32>(records_.size()); }
  const ScopeRecord& at(u32 index) const {
    VELK_ASSERT_TEXT(index < records_.size(), "index < scope size");
    return records_[index].record;
  }

 private:
  struct Entry {
    ScopeRecord record;
    u32 shadowed;  // index of the record of the same symbol it hides, or NO_ID
  };
  // NO_ID is no IdMap key: a record without a symbol has its own slot. A
  // symbol whose records are all gone keeps its key with the value NO_ID.
  static void set(IdMap& map, u32& unnamed, u32 symbol, u32 index) {
    if (symbol == NO_ID) {
      unnamed = index;
    } else {
      map.set(symbol, index);
    }
  }

  std::vector<Entry> records_;
  IdMap innermost_;
  IdMap first_;
  u32 innermostUnnamed_ = NO_ID;
  u32 firstUnnamed_ = NO_ID;
};

struct DefVarState {
  Scope localVars;
  Scope localConsts;
  Scope staticVars;
  // (declaration id, image index), in registration order.
  std::vector<std::pair<u32, u32>> globalVariableDeclarations;
  std::vector<std::pair<u32, u32>> globalConstantDeclarations;
  std::vector<std::pair<u32, u32>> staticVariableDeclarations;
  // By image index, the declaration id that index was first given (NO_ID
  // when none): indexes are handed out in order, so a vector serves.
  std::vector<u32> globalVariableDecl;
  std::vector<u32> globalConstantDecl;
  std::vector<u32> globalDeclarations;
  // First index of each name in the image's symbol-id tables.
  FirstPositionIndex globalVariables;
  FirstPositionIndex globalConstants;
};

DefVarState& state(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->varState) pctx->varState = std::make_shared<DefVarState>();
  return *static_cast<DefVarState*>(pctx->varState.get());
}

// The declaration given an image index first; NO_ID when there is none.
u32 declarationAt(const std::vector<u32>& byIndex, u32 index) {
  return index < byIndex.size() ? byIndex[index] : NO_ID;
}
void recordDeclaration(std::vector<u32>& byIndex, u32 index, u32 declId) {
  if (index >= byIndex.size()) byIndex.resize(index + 1, NO_ID);
  if (byIndex[index] == NO_ID) byIndex[index] = declId;
}

u32 currentLine(ParserEnv* env) { return env->pctx->lineno; }

const char* fileName(ParserEnv* env) { return env->pctx->fileName; }

const char* symbolName(ParserEnv* env, u32 symbol) { return Symbol_getName(env->program, symbol); }

const TypeDefinition& typeOf(ParserEnv* env, u32 typeId) {
  VELK_ASSERT_TEXT(typeId < env->program->infoProg->n_type,
                   "typeId < env->program->infoProg->n_type");
  return env->program->typeTable[typeId];
}

bool isConstantDeclaration(u32 op) { return op == CONSTANT_DECL_OP || op == CONSTANT_ARRAY_DECL_OP; }

bool isStaticDeclaration(u32 op) {
  return op == STATIC_VARIABLE_DECL_OP || op == STATIC_VARIABLE_BUFFER_DECL_OP;
}

bool isChannelKind(u32 kind) { return kind >= QUEUE_BUFFER && kind <= CHANNEL_BUFFER; }

// The name symbol of a declaration: its left child, or the first element of
// the left list for buffer declarations.
u32 declarationSymbol(ParserEnv* env, const AST* decl) {
  const program* p = env->program;
  AST* name = AST_left(p, decl);
  if (name != nullptr && name->op == LIST) name = AST_getListFirst(p, name);
  VELK_ASSERT_TEXT(name != nullptr && name->op == SYM, "declaration name is a SYM node");
  return name->value.id.id;
}

u32 accessRightsOf(u32 op) {
  switch (op) {
    case IN_PARAM:
    case IN_CHANNEL_PARAM:
      return kAccessReadOnly;
    case ITERATOR_DECL_OP:
      return kAccessNone;
    default:
      return kAccessReadWrite;
  }
}

ScopeRecord recordOf(ParserEnv* env, AST* decl) {
  const program* p = env->program;
  ScopeRecord record{};
  record.type = decl->value.id.type;
  record.symbol = declarationSymbol(env, decl);
  record.access = isConstantDeclaration(decl->op) ? kAccessReadOnly : accessRightsOf(decl->op);
  record.iteratorBuffer = decl->op == ITERATOR_DECL_OP ? decl->right : NO_ID;
  record.declId = AST_id(p, decl);
  record.inInterpreter = false;
  return record;
}

void failure197(ParserEnv* env) {
  parser_failure(env, 197, fileName(env), parser_lineno(env), nullptr,
                 "non constant initialization expression allowed for local variables only\n");
}

void failure190(ParserEnv* env) {
  parser_failure(env, 190, fileName(env), parser_lineno(env), nullptr,
                 "variables forbidden in array/structure initializer\n");
}

// A constant initializer is the INITIALIZER_OP that defVar_makeInitializer
// wraps around constant values; anything else was not constant.
bool hasNonConstantInitializer(ParserEnv* env, const AST* decl) {
  const AST* init = AST_right(env->program, decl);
  return init != nullptr && init->op != INITIALIZER_OP;
}

// --- Table growth -------------------------------------------------------------

// The size a table grows to when it must hold `needed` entries: by half
// again at least, so that a program with many declarations moves its tables
// (and rebases their value references) a logarithmic number of times.
u32 grownCapacity(u32 capacity, u32 needed) {
  if (needed <= capacity) return capacity;
  const u64 grown = std::max<u64>(needed, u64{capacity} + capacity / 2);
  return static_cast<u32>(std::min<u64>(grown, NO_ID - 1));
}

// Grows a tagged-value table and its symbol-id table, which share one
// capacity counter, both to the same new capacity.
void growPair(TaggedValue** values, u32** symbols, u32* capacity, u32 needed) {
  const u32 target = grownCapacity(*capacity, needed);
  u32 valuesCapacity = *capacity;
  parser_reallocTable(values, &valuesCapacity, target);
  u32 symbolsCapacity = *capacity;
  parser_reallocTable(symbols, &symbolsCapacity, target);
  *capacity = valuesCapacity;
}

// Grows a data table to hold `needed` cells (new cells zero) and moves every
// value reference of `table` that pointed into it.
void growDataTable(DataCell** data, u32* capacity, u32 used, u32 needed, TaggedValue* table,
                   u32 count) {
  const DataCell* oldBase = *data;
  parser_reallocTable(data, capacity, grownCapacity(*capacity, needed));
  if (needed > used) std::fill(*data + used, *data + needed, DataCell{0});
  parser_computeAnyValueAddresses(oldBase, *data, table, count);
}

// --- Values -------------------------------------------------------------------

void writeDefault(ParserEnv* env, DataCell* dest, u32 type, u32 depth);

void writeDefaultElements(ParserEnv* env, DataCell* dest, u32 elementType, u32 count,
                          u32 depth) {
  const u32 cells = typeOf(env, elementType).storageSize;
  for (u32 i = 0; i < count; ++i) writeDefault(env, dest + u64{i} * cells, elementType, depth + 1);
}

bool isStructure(const TypeDefinition& t) {
  return t.bufferType == NONE_BUFFER && t.baseType == TypeStructure;
}

// Calls visit(fieldType, offset) for each field of a structure, in order.
template <class Visit>
void forEachField(ParserEnv* env, const TypeDefinition& t, Visit&& visit) {
  const program* p = env->program;
  u32 offset = 0;
  for (AST* cell : AST_cells(p, AST_fromId(p, t.fields))) {
    VELK_ASSERT_TEXT(cell->op == LIST, "astp->op == LIST");
    AST* field = AST_left(p, cell);
    VELK_ASSERT_TEXT(field != nullptr && field->op == FIELD_STATEMENT,
                     "FIELD_STATEMENT == field->op");
    const u32 fieldType = field->value.id.type;
    const u32 cells = typeOf(env, fieldType).storageSize;
    VELK_ASSERT_TEXT(u64{offset} + cells <= t.storageSize, "offset + cells <= storageSize");
    visit(fieldType, offset);
    offset += cells;
  }
}

// The default value of a type: zero cells, except that every channel (also
// inside structures and arrays) gets its empty header.
void writeDefault(ParserEnv* env, DataCell* dest, u32 type, u32 depth) {
  if (depth >= kMaxTypeNesting) return;
  const TypeDefinition& t = typeOf(env, type);
  if (t.storageSize == 0) return;
  std::fill(dest, dest + t.storageSize, DataCell{0});
  if (isChannelKind(t.bufferType)) {
    if (t.size == NO_ID || t.storageSize < kChannelHeaderCells) return;
    dest[0] = kChannelHeaderCells;
    dest[1] = t.bufferType == STACK_BUFFER ? kStackOutEmpty : kChannelHeaderCells;
    writeDefaultElements(env, dest + kChannelHeaderCells, t.baseType, t.size + 1, depth);
  } else if (t.bufferType == ARRAY_BUFFER) {
    if (t.size != NO_ID) writeDefaultElements(env, dest, t.baseType, t.size, depth);
  } else if (isStructure(t)) {
    forEachField(env, t, [&](u32 fieldType, u32 offset) {
      writeDefault(env, dest + offset, fieldType, depth + 1);
    });
  }
}

// Evaluates a constant expression and copies its value as `type` into dest
// with the interpreter's own copy rules (a scalar keeps its type's width, a
// channel is rebased). A value that cannot be computed leaves dest as it is.
void storeEvaluated(ParserEnv* env, DataCell* dest, AST* expression, u32 type) {
  defExpr_withValue(env, expression, [&](TaggedValue value) {
    if (typeOf(env, type).storageSize > 0) consteval_store(env->ienv, dest, type, value);
  });
}

// The cells of a string literal's value in the constant data: the length + 2,
// 2, one cell per character, a zero cell.
bool stringCells(ParserEnv* env, const AST* literal, const DataCell** chars, u32* length) {
  const InfoProg* info = env->program->infoProg;
  const u32 index = literal->value.id.id;
  if (index >= info->size_constantData || info->size_constantData - index < 3) return false;
  const DataCell* cells = env->program->constantDataTable + index;
  if (cells[0] < 2 || cells[0] - 2 > info->size_constantData - index - 3) return false;
  *chars = cells + 2;
  *length = static_cast<u32>(cells[0] - 2);
  return true;
}

// Cells a constant of `type` initialized with `content` occupies: the type's
// storage, except for the buffers that have none of their own (unsized arrays
// and the string type), which keep the literal's own cells.
u32 valueCells(ParserEnv* env, const AST* content, u32 type) {
  const TypeDefinition& t = typeOf(env, type);
  if (t.storageSize != 0 || content == nullptr || content->op != STRING_OP) return t.storageSize;
  const DataCell* chars = nullptr;
  u32 length = 0;
  if (!stringCells(env, content, &chars, &length)) return 0;
  if (t.bufferType == ARRAY_BUFFER) return length + 1;  // the characters and a zero cell
  if (isChannelKind(t.bufferType)) return length + 3;   // the whole uint8[] value
  return 0;
}

// A string literal into a uint8 array, or into a buffer without storage of its
// own (only at the top of a constant, where Initializer_store made room for
// the literal's cells: see valueCells).
void storeString(ParserEnv* env, DataCell* dest, const AST* literal, const TypeDefinition& t,
                 u32 depth) {
  const DataCell* chars = nullptr;
  u32 length = 0;
  if (!stringCells(env, literal, &chars, &length)) return;
  if (t.bufferType == ARRAY_BUFFER) {
    // One character per cell, in its low byte; a sized array takes as many
    // as it holds (the terminating zero included when it fits).
    if (t.size == NO_ID && depth > 0) return;
    const u32 count = t.size == NO_ID ? length : std::min(t.size, length + 1);
    for (u32 i = 0; i < count; ++i) dest[i] = chars[i] & 0xFF;
    if (t.size == NO_ID) dest[length] = 0;
    return;
  }
  if (t.storageSize == 0 && depth == 0) std::copy_n(chars - 2, length + 3, dest);
}

void initValue(ParserEnv* env, DataCell* dest, AST* expression, u32 type, u32 depth);

void initStructure(ParserEnv* env, DataCell* dest, AST* content, const TypeDefinition& t, u32 type,
                   u32 depth) {
  const program* p = env->program;
  if (content == nullptr) {
    writeDefault(env, dest, type, depth);
    return;
  }
  if (content->op != LIST) {
    storeEvaluated(env, dest, content, type);
    return;
  }
  AST* cell = content;
  forEachField(env, t, [&](u32 fieldType, u32 offset) {
    AST* element = cell != nullptr ? AST_left(p, cell) : nullptr;
    initValue(env, dest + offset, element, fieldType, depth + 1);
    if (cell != nullptr) cell = AST_right(p, cell);
  });
}

void initArray(ParserEnv* env, DataCell* dest, AST* content, const TypeDefinition& t, u32 type,
               u32 depth) {
  const program* p = env->program;
  if (content != nullptr && content->op == STRING_OP) {
    storeString(env, dest, content, t, depth);
    return;
  }
  if (t.size == NO_ID) return;  // no cells of its own
  const u32 elementCells = typeOf(env, t.baseType).storageSize;
  if (content == nullptr || content->op == LIST) {
    // Listed elements first; the others keep their defaults.
    u32 i = 0;
    for (AST* cell = content; cell != nullptr && i < t.size; cell = AST_right(p, cell), ++i) {
      initValue(env, dest + u64{i} * elementCells, AST_left(p, cell), t.baseType, depth + 1);
    }
    writeDefaultElements(env, dest + u64{i} * elementCells, t.baseType, t.size - i, depth);
    return;
  }
  storeEvaluated(env, dest, content, type);
}

void initChannel(ParserEnv* env, DataCell* dest, AST* content, const TypeDefinition& t, u32 type,
                 u32 depth) {
  const program* p = env->program;
  if (t.size == NO_ID || t.storageSize == 0) {
    // The string type and unsized channels: the value as it is evaluated.
    if (content != nullptr && content->op == STRING_OP) {
      storeString(env, dest, content, t, depth);
    } else if (content != nullptr && content->op != LIST) {
      storeEvaluated(env, dest, content, type);
    }
    return;
  }
  if (content != nullptr && content->op != LIST && content->op != STRING_OP) {
    storeEvaluated(env, dest, content, type);
    return;
  }
  writeDefault(env, dest, type, depth);
  const u32 elementCells = typeOf(env, t.baseType).storageSize;
  const u32 slots = t.size + 1;
  u32 k = 0;
  if (content != nullptr && content->op == STRING_OP) {
    // The characters are the elements (the initializer check wants uint8 ones).
    const DataCell* chars = nullptr;
    u32 length = 0;
    if (!stringCells(env, content, &chars, &length) || elementCells != 1) return;
    for (; k < length && k < t.size; ++k) dest[kChannelHeaderCells + k] = chars[k] & 0xFF;
  }
  for (AST* cell = content != nullptr && content->op == LIST ? content : nullptr;
       cell != nullptr && k < t.size; cell = AST_right(p, cell), ++k) {
    initValue(env, dest + kChannelHeaderCells + u64{k} * elementCells, AST_left(p, cell),
              t.baseType, depth + 1);
  }
  VELK_ASSERT(k < slots);
  if (k > 0) {
    dest[0] = kChannelHeaderCells + u64{k} * elementCells;
    dest[1] = t.bufferType == STACK_BUFFER ? kChannelHeaderCells + u64{k - 1} * elementCells
                                           : kChannelHeaderCells;
  }
}

void initScalar(ParserEnv* env, DataCell* dest, AST* content, u32 type, u32 depth) {
  const program* p = env->program;
  dest[0] = 0;
  if (content == nullptr) return;
  if (content->op == LIST) {
    // `{ value }`: the element is the value.
    initValue(env, dest, AST_left(p, content), type, depth + 1);
    return;
  }
  storeEvaluated(env, dest, content, type);
}

// Writes the value of expression as `type` at dest, in the cell layout of
// the type (the recursion of init_constant_value).
void initValue(ParserEnv* env, DataCell* dest, AST* expression, u32 type, u32 depth) {
  if (depth >= kMaxTypeNesting) return;
  const program* p = env->program;
  AST* content = expression;
  while (content != nullptr && content->op == INITIALIZER_OP) content = AST_left(p, content);
  const TypeDefinition& t = typeOf(env, type);
  if (t.bufferType == ARRAY_BUFFER) {
    initArray(env, dest, content, t, type, depth);
  } else if (isChannelKind(t.bufferType)) {
    initChannel(env, dest, content, t, type, depth);
  } else if (isStructure(t)) {
    initStructure(env, dest, content, t, type, depth);
  } else if (t.storageSize > 0) {
    initScalar(env, dest, content, type, depth);
  }
}

// --- Scopes -------------------------------------------------------------------

AST* makeIndexNode(ParserEnv* env, u32 index) {
  return AST_makeNodeVal(env->program, INDEX_NODE, index, 0, nullptr, nullptr, currentLine(env));
}

AST* makeAccessNode(ParserEnv* env, u32 op, u32 type, u32 index, u32 declId) {
  program* p = env->program;
  return AST_makeNodeVal(p, op, type, 0, makeIndexNode(env, index), AST_fromId(p, declId),
                         currentLine(env));
}

u32 processInstanceType(ParserEnv* env) {
  const u32 symbol = defExpr_lookupForSymbol(env, "Process_Instance");
  const u32 type = symbol == NO_ID ? NO_ID : defType_lookup(env, symbol);
  if (type == NO_ID) {
    parser_failure(env, 184, fileName(env), parser_lineno(env), nullptr,
                   "type \"%s\" do not exist\n", "Process_Instance");
  }
  return type;
}

AST* makeImplicit(ParserEnv* env, u32 type, AST* name) {
  if (type == NO_ID || name == nullptr) return nullptr;
  return defVar_makeDefinition(env, IMPLICIT_VARIABLE_DECL, type, name, nullptr);
}

// Lays the registered variables out one after the other at the end of a
// data table (grown once to its final size) and stores their initial values.
void layOut(ParserEnv* env, const std::vector<std::pair<u32, u32>>& declarations,
            TaggedValue* table, u32 count, DataCell** data, u32* capacity, u32* used) {
  const program* p = env->program;
  u64 total = *used;
  for (const auto& entry : declarations) {
    VELK_ASSERT_TEXT(entry.second < count, "index < table count");
    total += Type_getStorageSize(env, table[entry.second].typeId);
  }
  VELK_ASSERT_TEXT(total < NO_ID, "data table size < NO_ID");
  growDataTable(data, capacity, *used, static_cast<u32>(total), table, count);
  for (const auto& [declId, index] : declarations) {
    AST* init = AST_right(p, AST_fromId(p, declId));
    VELK_ASSERT_TEXT(init == nullptr || init->op == INITIALIZER_OP,
                     "(NULL == init) || (INITIALIZER_OP == init->op)");
    TaggedValue& entry = table[index];
    VELK_ASSERT_TEXT(entry.value == nullptr, "value reference set once");
    entry.value = *data + *used;
    Storage_storeDefaultValue(env, entry.value, init, entry.typeId);
    *used += Type_getStorageSize(env, entry.typeId);
  }
}

}  // namespace

void defVar_growConstantData(ParserEnv* env, u32 needed) {
  program* p = env->program;
  const DataCell* oldBase = p->constantDataTable;
  growDataTable(&p->constantDataTable, &env->pctx->capacity.constantData,
                p->infoProg->size_constantData, needed, p->globalConstantTable,
                p->infoProg->n_globalConstants);
  // The compile-time local constants point into the same table.
  consteval_rebase(env->ienv, oldBase, p->constantDataTable);
}

// --- Declarations -------------------------------------------------------------

AST* defVar_makeDefinition(ParserEnv* env, u32 code, u32 type, AST* name, AST* initializer) {
  if (name == nullptr || type == NO_ID) return nullptr;
  if (initializer != nullptr) {
    initializer = defVar_prepareInitializer(env, initializer, type);
    if (initializer == nullptr) return nullptr;
  }
  return AST_makeNodeVal(env->program, code, type, 0, name, initializer, currentLine(env));
}

AST* defVar_declareGlobal(ParserEnv* env, AST* decl) {
  if (decl == nullptr) return nullptr;
  DefVarState& s = state(env);
  const u32 declId = AST_id(env->program, decl);
  s.globalDeclarations.push_back(declId);
  if (hasNonConstantInitializer(env, decl)) {
    failure197(env);
    return nullptr;
  }
  switch (decl->op) {
    case CONSTANT_DECL_OP:
    case CONSTANT_ARRAY_DECL_OP:
      GlobalConstant_define(env, declId);
      break;
    case VARIABLE_DECL_OP:
    case IMPLICIT_VARIABLE_DECL:
    case VARIABLE_BUFFER_DECL_OP:
      GlobalVariable_register(env, declId);
      break;
    default:
      VELK_ASSERT_TEXT(false, "global declaration kind");
  }
  return decl;
}

// Buffer declarations report a same-scope redeclaration when they are made
// (defBuff_makeDefinition); declaring them must not warn a second time.
static bool isBufferDeclaration(u32 op) {
  return op == VARIABLE_BUFFER_DECL_OP || op == CONSTANT_ARRAY_DECL_OP ||
         op == STATIC_VARIABLE_BUFFER_DECL_OP;
}

AST* defVar_declareLocal(ParserEnv* env, AST* decl) {
  if (decl == nullptr) return nullptr;
  DefVarState& s = state(env);
  ScopeRecord record = recordOf(env, decl);
  if (!isBufferDeclaration(decl->op)) defVar_checkSameScopeDeclaration(env, record.symbol);
  if (!isConstantDeclaration(decl->op)) {
    s.localVars.push(record);
    return decl;
  }
  AST* init = AST_right(env->program, decl);
  if (init == nullptr || init->op != INITIALIZER_OP) {
    failure197(env);
    // Still in scope, so that closing the block pops what it declared.
    s.localConsts.push(record);
    return nullptr;
  }
  // Later constant expressions of the same body read it at compile time.
  const u32 index = AST_getInitializerId(env->program, init);
  if (index != NO_ID && index < env->program->infoProg->size_constantData) {
    record.inInterpreter = consteval_defineLocal(env->ienv, record.type,
                                                 env->program->constantDataTable + index);
  }
  s.localConsts.push(record);
  return decl;
}

AST* defVar_declareStatic(ParserEnv* env, AST* decl) {
  if (decl == nullptr) return nullptr;
  const bool checkedWhenMade = isBufferDeclaration(decl->op);
  decl->op = decl->op == VARIABLE_BUFFER_DECL_OP || decl->op == STATIC_VARIABLE_BUFFER_DECL_OP
                 ? STATIC_VARIABLE_BUFFER_DECL_OP
                 : STATIC_VARIABLE_DECL_OP;
  if (hasNonConstantInitializer(env, decl)) {
    failure197(env);
    return nullptr;
  }
  ScopeRecord record = recordOf(env, decl);
  if (!checkedWhenMade) defVar_checkSameScopeDeclaration(env, record.symbol);
  state(env).staticVars.push(record);
  return decl;
}

void defVar_clearLocals(ParserEnv* env, AST* declarationList) {
  const program* p = env->program;
  DefVarState& s = state(env);
  auto popOne = [&](const AST* decl) {
    if (decl == nullptr || decl->op == COMMENT || isStaticDeclaration(decl->op)) return;
    if (!isConstantDeclaration(decl->op)) {
      s.localVars.pop();
      return;
    }
    const ScopeRecord record = s.localConsts.pop();
    if (record.inInterpreter) consteval_popLocal(env->ienv);
  };
  if (declarationList == nullptr) return;
  if (declarationList->op != LIST) {
    popOne(declarationList);
    return;
  }
  for (AST* cell : AST_cells(p, declarationList)) {
    VELK_ASSERT_TEXT(cell->op == LIST, "astp->op == LIST");
    popOne(AST_left(p, cell));
  }
}

void defVar_clearStatics(ParserEnv* env) { state(env).staticVars.clear(); }

void defVar_clearProcessLocalImplicitVariables(ParserEnv* env) {
  state(env).localVars.pop();
}

void defVar_checkSameScopeDeclaration(ParserEnv* env, u32 symbol) {
  const char* name = symbolName(env, symbol);
  const size_t line = parser_lineno(env);
  if (defVar_lookupLocal(env, symbol) != NO_ID) {
    parser_warning(env, 0, fileName(env), line, nullptr,
                   "variable \"%s\" already defined in this scope\n", name);
  }
  if (defVar_lookupGlobal(env, symbol) != NO_ID) {
    parser_warning(env, 0, fileName(env), line, nullptr,
                   "variable \"%s\" shadows definition of \"%s\" at global scope\n", name, name);
  }
  if (defVar_lookupLocalConstant(env, symbol) != NO_ID) {
    parser_warning(env, 0, fileName(env), line, nullptr,
                   "constant \"%s\" already defined in this scope\n", name);
  }
  if (defVar_lookupGlobalConstant(env, symbol) != NO_ID) {
    parser_warning(env, 0, fileName(env), line, nullptr,
                   "constant \"%s\" shadows definition of \"%s\" at global scope\n", name, name);
  }
}

AST* defVar_makeAndDeclareNamedBlockDefinition(ParserEnv* env, AST* name) {
  return defVar_declareLocal(env, makeImplicit(env, TypeNamedBlock, name));
}

AST* defVar_makeAndDeclareStateDefinition(ParserEnv* env, AST* name) {
  return defVar_declareLocal(env, makeImplicit(env, TypeState, name));
}

AST* defVar_makeAndDeclareProcessInstanceData(ParserEnv* env) {
  const u32 type = processInstanceType(env);
  if (type == NO_ID) return nullptr;
  AST* self = defExpr_makeSymbol(env, "self", currentLine(env));
  return defVar_declareLocal(env, makeImplicit(env, type, self));
}

AST* defVar_makeAndDeclareSubProcessInstanceData(ParserEnv* env, AST* instanceName) {
  const u32 type = processInstanceType(env);
  if (type == NO_ID) return nullptr;
  return defVar_declareStatic(env, makeImplicit(env, type, instanceName));
}

// --- Lookups ------------------------------------------------------------------

u32 defVar_lookupLocal(ParserEnv* env, u32 symbol) { return state(env).localVars.innermost(symbol); }

u32 defVar_lookupLocalConstant(ParserEnv* env, u32 symbol) {
  return state(env).localConsts.innermost(symbol);
}

u32 defVar_lookupStatic(ParserEnv* env, u32 symbol) { return state(env).staticVars.first(symbol); }

u32 defVar_lookupGlobal(ParserEnv* env, u32 symbol) {
  const program* p = env->program;
  return state(env).globalVariables.find(p->dbg->globalVariableSymbolId,
                                         p->infoProg->n_globalVariables, symbol);
}

u32 defVar_lookupGlobalConstant(ParserEnv* env, u32 symbol) {
  const program* p = env->program;
  return state(env).globalConstants.find(p->dbg->globalConstantSymbolId,
                                         p->infoProg->n_globalConstants, symbol);
}

u32 defVar_getLocalAccessRights(ParserEnv* env, u32 localIndex) {
  return state(env).localVars.at(localIndex).access;
}

AST* defVar_getLocalIteratorBuffer(ParserEnv* env, u32 localIndex) {
  return AST_fromId(env->program, state(env).localVars.at(localIndex).iteratorBuffer);
}

AST* defVar_getLocalDeclaration(ParserEnv* env, u32 localIndex) {
  return AST_fromId(env->program, state(env).localVars.at(localIndex).declId);
}

u32 defVar_localCount(ParserEnv* env) { return state(env).localVars.size(); }
u32 defVar_localConstantCount(ParserEnv* env) { return state(env).localConsts.size(); }
u32 defVar_staticCount(ParserEnv* env) { return state(env).staticVars.size(); }

// --- Access and initializers ----------------------------------------------------

AST* defVar_makeAccess(ParserEnv* env, AST* symbol) {
  if (symbol == nullptr) return nullptr;
  program* p = env->program;
  DefVarState& s = state(env);
  const u32 sym = symbol->value.id.id;
  if (u32 i = s.localVars.innermost(sym); i != NO_ID) {
    const ScopeRecord& r = s.localVars.at(i);
    return makeAccessNode(env, LOCAL_VAR, r.type, i, r.declId);
  }
  if (u32 i = s.localConsts.innermost(sym); i != NO_ID) {
    const ScopeRecord& r = s.localConsts.at(i);
    return makeAccessNode(env, LOCAL_CONSTANT_OP, r.type, i, r.declId);
  }
  if (u32 i = s.staticVars.first(sym); i != NO_ID) {
    const ScopeRecord& r = s.staticVars.at(i);
    return makeAccessNode(env, STATIC_VARIABLE_OP, r.type, i, r.declId);
  }
  if (u32 i = defVar_lookupGlobal(env, sym); i != NO_ID) {
    return makeAccessNode(env, GLOBAL_VARIABLE_OP, p->globalVariableTable[i].typeId, i,
                          declarationAt(s.globalVariableDecl, i));
  }
  if (u32 i = defVar_lookupGlobalConstant(env, sym); i != NO_ID) {
    return makeAccessNode(env, GLOBAL_CONSTANT_OP, p->globalConstantTable[i].typeId, i,
                          declarationAt(s.globalConstantDecl, i));
  }
  if (u32 type = defType_lookup(env, sym); type != NO_ID) {
    return AST_makeNodeVal(p, TYPE_OP, TypeType, 0, makeIndexNode(env, type), nullptr,
                           currentLine(env));
  }
  if (std::strcmp(symbolName(env, sym), "IO") == 0) {
    return AST_makeNodeVal(p, IO_OP, TypeIO, 0, nullptr, nullptr, currentLine(env));
  }
  parser_failure(env, 143, fileName(env), parser_lineno(env), nullptr,
                 "undefined data identifier \"%s\"\n", symbolName(env, sym));
  return nullptr;
}

AST* defVar_makeInitializer(ParserEnv* env, AST* initializer) {
  const bool isConst = defExpr_isConst(env, initializer);
  if (initializer != nullptr && initializer->op == LIST && !isConst) {
    failure190(env);
    return nullptr;
  }
  if (!isConst) return initializer;
  program* p = env->program;
  const u32 line = currentLine(env);
  AST* placeholder = AST_makeNodeVal(p, TYPE_OP, NO_ID, 0, nullptr, nullptr, line);
  return AST_makeNodeVal(p, INITIALIZER_OP, NO_ID, 0, initializer, placeholder, line);
}

AST* defVar_prepareInitializer(ParserEnv* env, AST* initializer, u32 type) {
  if (initializer == nullptr) return nullptr;
  AST* checked = defType_checkInitializer(env, initializer, type);
  if (checked == nullptr) return nullptr;
  if (checked->op != INITIALIZER_OP || checked->value.id.initializer != NO_ID) return checked;
  AST* content = AST_left(env->program, checked);
  if (content != nullptr && !defExpr_canExecAtCompileTime(env, content)) {
    // Constant in form but not computable now (a call whose body is not
    // known yet, or that would touch the program's data): not a constant.
    if (content->op == LIST) {
      failure190(env);
      return nullptr;
    }
    // The node becomes the plain expression, evaluated at run time; every
    // holder of the node (declaration or assignment) sees the change.
    *checked = *content;
    return checked;
  }
  Initializer_store(env, checked, type);
  return checked;
}

bool defVar_isConst(ParserEnv* env, AST* access) {
  if (access == nullptr) return false;
  switch (access->op) {
    case GLOBAL_CONSTANT_OP:
    case LOCAL_CONSTANT_OP:
    case TYPE_OP:
      return true;
    case ARRAY_INDEX_OP:
      // The element is only known at compile time when its index is too.
      return defVar_isConst(env, AST_left(env->program, access)) &&
             defExpr_isConst(env, AST_right(env->program, access));
    case CALL_OP:
      return defCall_isConst(env, access);
    default:
      return false;
  }
}

// --- Storage ----------------------------------------------------------------------

u32 GlobalConstant_define(ParserEnv* env, u32 declId) {
  program* p = env->program;
  DefVarState& s = state(env);
  AST* decl = AST_fromId(p, declId);
  const u32 index = p->infoProg->n_globalConstants;
  growPair(&p->globalConstantTable, &p->dbg->globalConstantSymbolId,
           &env->pctx->capacity.globalConstants, index + 1);
  p->dbg->globalConstantSymbolId[index] = declarationSymbol(env, decl);
  AST* init = AST_right(p, decl);
  const u32 data = init != nullptr && init->op == INITIALIZER_OP ? AST_getInitializerId(p, init)
                                                                 : NO_ID;
  DataCell* value = data == NO_ID ? nullptr : p->constantDataTable + data;
  p->globalConstantTable[index] = TaggedValue{value, decl->value.id.type, NO_ID};
  p->infoProg->n_globalConstants = index + 1;
  s.globalConstantDeclarations.emplace_back(declId, index);
  recordDeclaration(s.globalConstantDecl, index, declId);
  return index;
}

u32 GlobalVariable_register(ParserEnv* env, u32 declId) {
  program* p = env->program;
  DefVarState& s = state(env);
  AST* decl = AST_fromId(p, declId);
  const u32 index = p->infoProg->n_globalVariables;
  growPair(&p->globalVariableTable, &p->dbg->globalVariableSymbolId,
           &env->pctx->capacity.globalVariables, index + 1);
  p->dbg->globalVariableSymbolId[index] = declarationSymbol(env, decl);
  p->globalVariableTable[index] = TaggedValue{nullptr, decl->value.id.type, index};
  p->infoProg->n_globalVariables = index + 1;
  s.globalVariableDeclarations.emplace_back(declId, index);
  recordDeclaration(s.globalVariableDecl, index, declId);
  return index;
}

u32 StaticVariable_register(ParserEnv* env, u32 declId) {
  program* p = env->program;
  DefVarState& s = state(env);
  AST* decl = AST_fromId(p, declId);
  const u32 index = p->infoProg->n_processStaticVariables;
  // The instance allocation names the static (and grows both tables) first;
  // growing here again is then a no-op.
  growPair(&p->processStaticVariableTable, &p->dbg->processStaticVariableSymbolId,
           &env->pctx->capacity.processStaticVariables, index + 1);
  p->processStaticVariableTable[index] = TaggedValue{nullptr, decl->value.id.type, NO_ID};
  p->infoProg->n_processStaticVariables = index + 1;
  s.staticVariableDeclarations.emplace_back(declId, index);
  return index;
}

u32 Initializer_store(ParserEnv* env, AST* initializer, u32 type) {
  program* p = env->program;
  VELK_ASSERT_TEXT(initializer != nullptr && initializer->op == INITIALIZER_OP,
                   "INITIALIZER_OP == initializer->op");
  VELK_ASSERT_TEXT(initializer->value.id.initializer == NO_ID,
                   "NO_ID == initializer->value.id.initializer");
  AST* content = AST_left(p, initializer);
  while (content != nullptr && content->op == INITIALIZER_OP) content = AST_left(p, content);
  const u32 cells = valueCells(env, content, type);
  const u32 start = p->infoProg->size_constantData;
  VELK_ASSERT_TEXT(u64{start} + cells < NO_ID, "size_constantData < NO_ID");
  defVar_growConstantData(env, start + cells);
  init_constant_value(env, p->constantDataTable + start, content, type);
  p->infoProg->size_constantData = start + cells;
  initializer->value.id.initializer = start;
  return start;
}

void init_constant_value(ParserEnv* env, DataCell* destination, AST* expression, u32 type) {
  initValue(env, destination, expression, type, 0);
}

void Storage_storeDefaultValue(ParserEnv* env, DataCell* destination, AST* initializer,
                               u32 type) {
  if (initializer == nullptr) {
    Storage_copyInitValue(env, destination, nullptr, type);
    return;
  }
  // The value of an INITIALIZER_OP is the constant data it was stored at:
  // what the interpreter's evaluation of the node yields.
  const program* p = env->program;
  const u32 index = AST_getInitializerId(p, initializer);
  const u32 cells = Type_getStorageSize(env, type);
  if (index == NO_ID || u64{index} + cells > p->infoProg->size_constantData) {
    Storage_copyInitValue(env, destination, nullptr, type);
    return;
  }
  Storage_copyInitValue(env, destination, p->constantDataTable + index, type);
}

void Storage_copyInitValue(ParserEnv* env, DataCell* destination, const DataCell* source,
                           u32 type) {
  if (source == nullptr) {
    writeDefault(env, destination, type, 0);
    return;
  }
  std::copy_n(source, Type_getStorageSize(env, type), destination);
}

void GlobalAndStaticVariables_init(ParserEnv* env) {
  program* p = env->program;
  DefVarState& s = state(env);
  InfoProg* info = p->infoProg;
  if (!s.globalVariableDeclarations.empty()) {
    layOut(env, s.globalVariableDeclarations, p->globalVariableTable, info->n_globalVariables,
           &p->globalVariableDataInitTable, &env->pctx->capacity.globalVariableData,
           &info->size_globalVariableData);
  }
  if (!s.staticVariableDeclarations.empty()) {
    layOut(env, s.staticVariableDeclarations, p->processStaticVariableTable,
           info->n_processStaticVariables, &p->processStaticVariableDataInitTable, &env->pctx->capacity.processStaticVariableData,
           &info->size_processStaticVariableData);
  }
}

u32 Type_getStorageSize(ParserEnv* env, u32 type) { return typeOf(env, type).storageSize; }

const std::vector<u32>& defVar_globalDeclarations(ParserEnv* env) {
  return state(env).globalDeclarations;
}
