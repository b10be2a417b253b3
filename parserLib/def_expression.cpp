#include "def_expression.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ast_list.h"
#include "call_codes.h"
#include "def_builtins.h"
#include "def_process.h"
#include "def_type.h"
#include "def_variable.h"
#include "interp_consteval.h"
#include "parser_data.h"
#include "parser_error.h"
#include "small_stack.h"
#include "velk_memory.h"

namespace {

// Symbol ids by name: open addressing over the ids themselves, names read
// from the symbol table, so that a lookup neither allocates nor copies a name.
class SymbolIndex {
 public:
  void clear() {
    slots_.clear();
    used_ = 0;
  }

  // Records id under name unless the name is already there (the first id wins).
  void add(const char* table, const u32* offsets, u32 id) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const char* name = table + offsets[id];
    const u32 hash = hashOf(name);
    for (size_t i = hash & mask();; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (slot.id == NO_ID) {
        slot = Slot{hash, id};
        ++used_;
        return;
      }
      if (slot.hash == hash && std::strcmp(table + offsets[slot.id], name) == 0) return;
    }
  }

  u32 find(const char* table, const u32* offsets, const char* name) const {
    if (slots_.empty()) return NO_ID;
    const u32 hash = hashOf(name);
    for (size_t i = hash & mask();; i = (i + 1) & mask()) {
      const Slot& slot = slots_[i];
      if (slot.id == NO_ID) return NO_ID;
      if (slot.hash == hash && std::strcmp(table + offsets[slot.id], name) == 0) return slot.id;
    }
  }

 private:
  struct Slot {
    u32 hash = 0;
    u32 id = NO_ID;
  };

  static u32 hashOf(const char* name) {
    u32 hash = 2166136261u;  // FNV-1a
    for (; *name != '\0'; ++name) hash = (hash ^ static_cast<unsigned char>(*name)) * 16777619u;
    return hash;
  }

  size_t mask() const { return slots_.size() - 1; }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    for (const Slot& slot : old) {
      if (slot.id == NO_ID) continue;
      for (size_t i = slot.hash & mask();; i = (i + 1) & mask()) {
        if (slots_[i].id == NO_ID) {
          slots_[i] = slot;
          break;
        }
      }
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// Symbol index, first SYM node of each symbol, compile-time evaluation state.
// The indexes catch up lazily with symbols and nodes made by other modules, so
// they answer exactly what a search in id order would.
struct DefExprState {
  SymbolIndex symbolIds;
  u32 indexedSymbols = 0;
  // First SYM node by symbol id (NO_ID: none yet); ids beyond the symbol
  // table, which only a hand-made node can carry, go to the map.
  std::vector<u32> firstSymNode;
  std::unordered_map<u32, u32> firstSymNodeBeyond;
  std::vector<std::pair<u32, u32>> symNodeOrder;  // (node, symbol), by node id
  u32 indexedNodes = 0;
  // User functions found safe to run at compile time.
  std::unordered_map<u32, bool> evaluableFunctions;

  u32 firstSymNodeOf(u32 symbol) const {
    if (symbol < firstSymNode.size()) return firstSymNode[symbol];
    auto found = firstSymNodeBeyond.find(symbol);
    return found == firstSymNodeBeyond.end() ? NO_ID : found->second;
  }
};

DefExprState& state(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->exprState) pctx->exprState = std::make_shared<DefExprState>();
  return *static_cast<DefExprState*>(pctx->exprState.get());
}

u32 currentLine(ParserEnv* env) { return static_cast<u32>(parser_lineno(env)); }
const char* fileName(ParserEnv* env) { return env->pctx->fileName; }
const char* typeName(ParserEnv* env, u32 typeId) {
  if (typeId == NO_ID || typeId >= env->program->infoProg->n_type) return "<unknown>";
  return Type_getName(env, typeId);
}

void setOperatorType(AST* node, u32 typeId) {
  node->value.uinteger = 0;
  node->value.id.type = typeId;
}

// --- symbols ---------------------------------------------------------------

void indexSymbols(ParserEnv* env, DefExprState& s) {
  const program* p = env->program;
  const u32 count = p->infoProg->n_symbols;
  if (s.indexedSymbols > count) {
    s.symbolIds.clear();
    s.indexedSymbols = 0;
  }
  for (u32 id = s.indexedSymbols; id < count; ++id) {
    s.symbolIds.add(p->dbg->symbolTable, p->dbg->symbolTableIndex, id);
  }
  s.indexedSymbols = count;
}

void indexSymNodes(ParserEnv* env, DefExprState& s) {
  const program* p = env->program;
  const u32 count = p->infoProg->n_AST;
  // Nodes dropped after a temporary construction take their entries with them.
  while (!s.symNodeOrder.empty() && s.symNodeOrder.back().first >= count) {
    const u32 symbol = s.symNodeOrder.back().second;
    if (symbol < s.firstSymNode.size()) {
      s.firstSymNode[symbol] = NO_ID;
    } else {
      s.firstSymNodeBeyond.erase(symbol);
    }
    s.symNodeOrder.pop_back();
  }
  if (s.indexedNodes > count) s.indexedNodes = count;
  const u32 symbols = p->infoProg->n_symbols;
  if (s.firstSymNode.size() < symbols) s.firstSymNode.resize(symbols, NO_ID);
  for (u32 id = s.indexedNodes; id < count; ++id) {
    const AST& node = p->RAMprogram[id];
    if (node.op != SYM) continue;
    const u32 symbol = node.value.id.id;
    bool first = false;
    if (symbol < s.firstSymNode.size()) {
      first = s.firstSymNode[symbol] == NO_ID;
      if (first) s.firstSymNode[symbol] = id;
    } else {
      first = s.firstSymNodeBeyond.emplace(symbol, id).second;
    }
    if (first) s.symNodeOrder.emplace_back(id, symbol);
  }
  s.indexedNodes = count;
}

// --- constant data -----------------------------------------------------------

// Grows constantDataTable by cells zeroed cells and rebases every value that
// points into it; returns the index of the first new cell.
u32 reserveConstantData(ParserEnv* env, u32 cells) {
  InfoProg* info = env->program->infoProg;
  const u32 first = info->size_constantData;
  defVar_growConstantData(env, first + cells);
  info->size_constantData = first + cells;
  return first;
}

// --- time and frequency literals ---------------------------------------------

struct TimeUnit {
  const char* spelling;
  u64 picoseconds;
  u32 op;
  const char* name;  // in messages
};
// Tried in this order with a prefix comparison, so "ms" is seen before "s".
constexpr TimeUnit kTimeUnits[] = {
    {"ps", 1ull, FREQUENCY_OP, "picosecond"},
    {"ns", kPicosecondsPerNs, NS_LITERAL_OP, "nanosecond"},
    {"us", kPicosecondsPerUs, US_LITERAL_OP, "microsecond"},
    {"\xC2\xB5s", kPicosecondsPerUs, US_LITERAL_OP, "microsecond"},
    {"ms", kPicosecondsPerMs, MS_LITERAL_OP, "millisecond"},
    {"s", kPicosecondsPerS, S_LITERAL_OP, "second"},
};

const TimeUnit* unitOfNode(u32 op) {
  for (const TimeUnit& unit : kTimeUnits) {
    if (unit.op == op) return &unit;
  }
  return nullptr;
}

// Failure 185: a duration that time64 (picoseconds in 64 bits) cannot hold.
void tooBigDurationFailure(ParserEnv* env, const TimeUnit& unit, u32 line) {
  parser_failure(env, 185, fileName(env), line, nullptr,
                 "too big %s unit duration value (max for %s unit is %llu)\n", unit.name, unit.name,
                 static_cast<unsigned long long>(~u64{0} / unit.picoseconds));
}

// The decimal count at the start of text; false when it exceeds 64 bits.
bool readCount(const char* text, const char** end, u64* count) {
  bool fits = true;
  *count = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    fits = fits && !__builtin_mul_overflow(*count, u64{10}, count) &&
           !__builtin_add_overflow(*count, static_cast<u64>(*text - '0'), count);
  }
  *end = text;
  return fits;
}

const char* skipBlanks(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text;
}

const TimeUnit* matchUnit(const char* text) {
  for (const TimeUnit& unit : kTimeUnits) {
    if (std::strncmp(text, unit.spelling, std::strlen(unit.spelling)) == 0) return &unit;
  }
  return nullptr;
}

// Picoseconds per second, the numerator of every hertz period.
constexpr double kPicosecondsPerSecond = static_cast<double>(kPicosecondsPerS);
// Lowest accepted frequency: one ulp above 1e12 / 2^64, so that every period
// fits in 64 bits; the highest is one period of a picosecond.
constexpr double kLowestFrequency = 5.421010862427523e-08;
constexpr double kHighestFrequency = kPicosecondsPerSecond;
constexpr int kLowestFrequencyDigits = 15;
constexpr int kHighestFrequencyDigits = 0;

// --- float widths --------------------------------------------------------------

bool takesFloatWidth(u32 op) {
  switch (op) {
    case PLUS_OP:
    case MINUS_OP:
    case MUL_OP:
    case DIV_OP:
    case LT_OP:
    case GT_OP:
    case CLE_OP:
    case CGE_OP:
      return true;
    default:
      return false;
  }
}

const char* floatSpelling(ParserEnv* env, const AST* floatNode) {
  const ParserContext* pctx = env->pctx;
  const AST* holder = AST_left(env->program, floatNode);
  const u32 index = holder != nullptr ? holder->value.id.id : floatNode->value.id.id;
  VELK_ASSERT(index < pctx->numericsIndex.size());
  return pctx->numericsBuffer.data() + pctx->numericsIndex[index];
}

void convertFloatLiteral(ParserEnv* env, u32 width, AST* node) {
  const char* spelling = floatSpelling(env, node);
  errno = 0;
  ASTValue value{};
  if (width == TypeF32) {
    value.f32 = std::strtof(spelling, nullptr);
  } else {
    value.f64 = std::strtod(spelling, nullptr);
  }
  if (errno == ERANGE) {
    parser_warning(env, 0, fileName(env), currentLine(env), nullptr,
                   "floating point literal \"%s\" exceeds %s range\n", spelling,
                   typeName(env, width));
  }
  node->op = width == TypeF32 ? F32_LITERAL_OP : F64_LITERAL_OP;
  node->value = value;
  node->left = NO_ID;
}

// --- constness and compile-time execution --------------------------------------

bool isNeverConstant(u32 op) {
  return op == IN_CHANNEL_PARAM || op == IN_PARAM || op == OUT_CHANNEL_PARAM || op == OUT_PARAM;
}

// Builtin calls that may run at compile time: no I/O, no clock, no random
// draw, no process control; buffer operations only reach local buffers since
// global data is refused where it is named.
bool isPureBuiltin(u32 code) {
  if (code == kCallArrayMaxSize) return true;
  if (code >= kCallChannelPush && code <= kCallChannelLastPeek) return true;
  if (code >= kCallIteratorRemoveCurrent && code <= kCallF64Last) return true;
  if (code >= kCallUInt8Max && code <= kCallTimeMin) {
    // Each width has max, min (unsigned and signed) then two rand_uniform codes.
    const u32 inWidth = (code - kCallUInt8Max) % 6;
    return code == kCallTimeMax || code == kCallTimeMin || inWidth < 4;
  }
  switch (code) {
    case kCallCast:
    case kCallAs:
    case kCallF32Max:
    case kCallF32Min:
    case kCallF64Max:
    case kCallF64Min:
      return true;
    default:
      break;
  }
  if (code >= kCallF32Cos && code <= kCallF32Log) return true;
  if (code >= kCallF64Cos && code <= kCallF64Log) return true;
  return code >= kCallUInt8Abs && code <= kCallUInt8Abs + 3;
}

constexpr u32 kMaxEvaluationCallDepth = 64;

bool isEvaluable(ParserEnv* env, AST* root, u32 depth);

bool isFunctionEvaluable(ParserEnv* env, u32 functionId, u32 depth) {
  program* p = env->program;
  if (functionId >= p->infoProg->n_functions || depth >= kMaxEvaluationCallDepth) return false;
  DefExprState& s = state(env);
  auto [entry, fresh] = s.evaluableFunctions.try_emplace(functionId, false);
  if (!fresh) return entry->second;  // true, or false while being examined (recursion)
  const FunctionDefinition& function = p->functionTable[functionId];
  const bool ok = function.body != NO_ID && isEvaluable(env, AST_fromId(p, function.body), depth + 1);
  // Only a positive answer is final: a body may be defined later.
  if (ok) {
    s.evaluableFunctions[functionId] = true;
  } else {
    s.evaluableFunctions.erase(functionId);
  }
  return ok;
}

// Whether the interpreter can run root now without touching global or static
// data, looping, recursing, doing I/O or meeting an untyped literal.
bool isEvaluable(ParserEnv* env, AST* root, u32 depth) {
  program* p = env->program;
  SmallStack<AST*> pending(root);
  while (!pending.empty()) {
    AST* node = pending.pop();
    if (node == nullptr) continue;
    switch (node->op) {
      case GLOBAL_VARIABLE_OP:
      case STATIC_VARIABLE_OP:
      case FLOAT_OP:
      case WHILE_OP:
      case FOR_OP:
      case LOOP_OVER_OP:
      case NONE_OP:
        return false;
      case LOCAL_VAR:
      case LOCAL_CONSTANT_OP:
      case GLOBAL_CONSTANT_OP:
      case TYPE_OP:
      case SYM:
        continue;  // right is the declaration, not an operand
      case CALL_OP: {
        AST* codeNode = AST_left(p, node);
        if (codeNode == nullptr || codeNode->op != INDEX_NODE) return false;
        const u32 code = codeNode->value.id.id;
        if (code <= kCallFunctionCustom) {
          AST* target = AST_right(p, codeNode);
          if (target == nullptr || !isFunctionEvaluable(env, target->value.id.id, depth)) {
            return false;
          }
        } else if (code != kCallFieldCustom && !isPureBuiltin(code)) {
          return false;
        }
        pending.push(AST_left(p, codeNode));
        if (code == kCallFieldCustom) continue;  // right is the offset node
        pending.push(AST_right(p, node));
        continue;
      }
      default:
        pending.push(AST_left(p, node));
        pending.push(AST_right(p, node));
    }
  }
  return true;
}

AST* newNode(ParserEnv* env, u32 op, u64 value, AST* left, AST* right, u32 line) {
  return AST_makeNodeVal(env->program, op, static_cast<u32>(value), static_cast<u32>(value >> 32),
                         left, right, line);
}

}  // namespace

// --- symbols -------------------------------------------------------------------

u32 defExpr_lookupForSymbol(ParserEnv* env, const char* name) {
  DefExprState& s = state(env);
  indexSymbols(env, s);
  return s.symbolIds.find(env->program->dbg->symbolTable, env->program->dbg->symbolTableIndex, name);
}

u32 defExpr_AddSymbol(ParserEnv* env, const char* name) {
  program* p = env->program;
  InfoProg* info = p->infoProg;
  TableCapacities& capacity = env->pctx->capacity;
  DefExprState& s = state(env);
  indexSymbols(env, s);
  const u32 id = info->n_symbols;
  const u32 length = static_cast<u32>(std::strlen(name)) + 1;
  parser_reallocTable(&p->dbg->symbolTableIndex, &capacity.symbols, id + 1);
  parser_reallocTable(&p->dbg->symbolTable, &capacity.symbolStorage,
                      info->symbolStorageSize + length);
  p->dbg->symbolTableIndex[id] = info->symbolStorageSize;
  std::memcpy(p->dbg->symbolTable + info->symbolStorageSize, name, length);
  info->symbolStorageSize += length;
  info->n_symbols = id + 1;
  indexSymbols(env, s);
  return id;
}

u32 defExpr_lookupOrAddSymbol(ParserEnv* env, const char* name) {
  const u32 id = defExpr_lookupForSymbol(env, name);
  return id != NO_ID ? id : defExpr_AddSymbol(env, name);
}

u32 defExpr_addSymbol(ParserEnv* env, const char* name) {
  return defExpr_lookupOrAddSymbol(env, name);
}

AST* defExpr_reference_symbol(ParserEnv* env, u32 symId) {
  DefExprState& s = state(env);
  indexSymNodes(env, s);
  const u32 node = s.firstSymNodeOf(symId);
  return node == NO_ID ? nullptr : AST_fromId(env->program, node);
}

AST* defExpr_makeSymbol(ParserEnv* env, const char* name, u32 line) {
  const u32 symId = defExpr_lookupOrAddSymbol(env, name);
  if (AST* existing = defExpr_reference_symbol(env, symId)) return existing;
  return AST_makeNodeVal(env->program, SYM, symId, 0, nullptr, nullptr, line);
}

// --- literals ------------------------------------------------------------------

AST* defExpr_makeStr(ParserEnv* env, const char* text, u32 line) {
  const u32 length = static_cast<u32>(std::strlen(text));
  const u32 first = reserveConstantData(env, length + 3);
  DataCell* cells = env->program->constantDataTable + first;
  cells[0] = length + 2;
  cells[1] = 2;
  for (u32 i = 0; i < length; ++i) cells[2 + i] = static_cast<u8>(text[i]);
  cells[2 + length] = 0;
  return AST_makeNodeVal(env->program, STRING_OP, first, 0, nullptr, nullptr, line);
}

AST* defExpr_makeLabelStr(ParserEnv* env, const char* text, u32 line) {
  return AST_makeNodeVal(env->program, LABEL_STRING_OP, parser_addLabelString(env, text), 0,
                         nullptr, nullptr, line);
}

AST* defExpr_makeFloatLiteralNode(ParserEnv* env, const char* spelling, u32 line) {
  const u32 index = parser_add_numeric_string(env, spelling);
  AST* holder = AST_makeNodeVal(env->program, INDEX_NODE, index, 0, nullptr, nullptr, line);
  return AST_makeNodeVal(env->program, FLOAT_OP, index, 0, holder, nullptr, line);
}

AST* defExpr_makeTimeLiteral(ParserEnv* env, const char* text, u32 line) {
  AST* sum = nullptr;
  const TimeUnit* reference = nullptr;
  size_t group = 0;
  u64 picoseconds = 0;  // of the groups read so far
  const char* cursor = skipBlanks(text);
  while (*cursor >= '0' && *cursor <= '9') {
    ++group;
    const char* end = nullptr;
    u64 count = 0;
    const bool countFits = readCount(cursor, &end, &count);
    cursor = skipBlanks(end);
    const TimeUnit* unit = matchUnit(cursor);
    VELK_ASSERT_TEXT(unit != nullptr, "time literal unit");
    cursor = skipBlanks(cursor + std::strlen(unit->spelling));
    // The whole literal, not only each group, must fit: the failure names the
    // unit of the group that takes it past the largest time64.
    u64 scaled = 0;
    if (!countFits || __builtin_mul_overflow(count, unit->picoseconds, &scaled) ||
        __builtin_add_overflow(picoseconds, scaled, &picoseconds)) {
      tooBigDurationFailure(env, *unit, line);
      return nullptr;
    }
    AST* node = newNode(env, unit->op, count, nullptr, nullptr, line);
    if (reference == nullptr) {
      reference = unit;
      sum = node;
      continue;
    }
    if (unit->picoseconds >= reference->picoseconds) {
      parser_warning(env, 0, fileName(env), line, nullptr,
                     "the time literal n°%zu in time literal expression has the same or an higher "
                     "time unit (%s) than the previous one (%s)\n",
                     group, unit->spelling, reference->spelling);
    } else {
      reference = unit;
    }
    sum = defExpr_makeArithmeticOp(env, PLUS_OP, sum, node);
    if (sum == nullptr) return nullptr;
  }
  VELK_ASSERT_TEXT(sum != nullptr, "time literal without a group");
  return sum;
}

bool defExpr_checkDurationCount(ParserEnv* env, u32 unitOp, u64 count, u32 line) {
  const TimeUnit* unit = unitOfNode(unitOp);
  if (unit == nullptr || count <= ~u64{0} / unit->picoseconds) return true;
  tooBigDurationFailure(env, *unit, line);
  return false;
}

AST* defExpr_makeFrequencyLiteral(ParserEnv* env, const char* text, u32 line) {
  const double frequency = std::strtod(skipBlanks(text), nullptr);
  if (frequency == 0.0) {
    parser_failure(env, 177, fileName(env), line, nullptr,
                   "a hertz frequency must be strictly greater than 0\n");
    return nullptr;
  }
  if (!(frequency >= kLowestFrequency && frequency <= kHighestFrequency)) {
    parser_failure(env, 183, fileName(env), line, nullptr,
                   "hertz frequency out of range (%.*e to %.*e only)\n", kLowestFrequencyDigits,
                   kLowestFrequency, kHighestFrequencyDigits, kHighestFrequency);
    return nullptr;
  }
  const double period = kPicosecondsPerSecond / frequency + 0.5;
  // Below 2^64 by the choice of the lowest frequency; the guard keeps the
  // conversion defined whatever rounding the division does.
  const u64 picoseconds =
      period >= 18446744073709551616.0 ? ~0ull : static_cast<u64>(period);
  return newNode(env, FREQUENCY_OP, picoseconds, nullptr, nullptr, line);
}

// --- operations ----------------------------------------------------------------

AST* defExpr_makeArithmeticOp(ParserEnv* env, u32 operation, AST* left, AST* right) {
  AST* node = AST_makeNodeVal(env->program, operation, 0, 0, left, right, currentLine(env));
  const u32 type = defType_evaluate(env, node);
  if (type == NO_ID) return nullptr;
  const bool quantity = type <= TypeTime || (type >= TypeFP && type <= TypeF64);
  if (!quantity) {
    parser_failure(env, 169, fileName(env), currentLine(env), nullptr,
                   "integer or float type expected, but \"%s\" found\n", typeName(env, type));
    return nullptr;
  }
  setOperatorType(node, defType_deduceOperationOperatorType(env, operation, left, right));
  return node;
}

AST* defExpr_makeLogicalOp(ParserEnv* env, u32 operation, AST* left, AST* right) {
  AST* node = AST_makeNodeVal(env->program, operation, 0, 0, left, right, currentLine(env));
  setOperatorType(node, defType_deduceOperationOperatorType(env, operation, left, right));
  return node;
}

namespace {

// The last comparison of a chain: the chain itself, or the right of its AND_OP.
AST* lastComparison(ParserEnv* env, AST* chain) {
  return chain->op == AND_OP ? AST_right(env->program, chain) : chain;
}

AST* extendChain(ParserEnv* env, u32 operation, AST* chain, AST* last, AST* next) {
  AST* link = defExpr_makeLogicalOp(env, operation, AST_right(env->program, last), next);
  return defExpr_makeLogicalOp(env, AND_OP, chain, link);
}

bool isAscending(u32 op) { return op == LT_OP || op == CLE_OP; }
bool isDescending(u32 op) { return op == GT_OP || op == CGE_OP; }

}  // namespace

AST* defExpr_makeMultipleEqualityExpression(ParserEnv* env, u32 operation, AST* chain,
                                            AST* next) {
  if (chain == nullptr) return nullptr;
  AST* last = lastComparison(env, chain);
  if (last == nullptr || last->op != operation) {
    parser_failure(env, 98, fileName(env), currentLine(env), nullptr,
                   "Multiple (in)equality expression must use the same operator (== or !=)\n");
    return nullptr;
  }
  return extendChain(env, operation, chain, last, next);
}

AST* defExpr_makeMultipleRelationalExpression(ParserEnv* env, u32 operation, AST* chain,
                                              AST* next) {
  if (chain == nullptr) return nullptr;
  AST* last = lastComparison(env, chain);
  if (last == nullptr) return nullptr;
  if (isAscending(operation) && !isAscending(last->op)) {
    parser_warning(env, 0, fileName(env), currentLine(env), nullptr,
                   "'>' and '>=' should not be used in a '<' and '<=' multiple comparison "
                   "expression\n");
  } else if (isDescending(operation) && !isDescending(last->op)) {
    parser_warning(env, 0, fileName(env), currentLine(env), nullptr,
                   "'<' and '<=' should not be used in a '>' and '>=' multiple comparison "
                   "expression\n");
  }
  return extendChain(env, operation, chain, last, next);
}

// --- field access --------------------------------------------------------------

AST* defExpr_makeFieldCall(ParserEnv* env, AST* object, AST* fieldName) {
  if (object == nullptr || fieldName == nullptr) return nullptr;
  program* p = env->program;
  const u32 objectType = defType_evaluate(env, object);
  if (objectType == NO_ID) return nullptr;
  const u32 fieldSymbol = fieldName->value.id.id;
  if (objectType == TypeType) {
    const u32 named = object->op == TYPE_OP ? AST_getTypeTypeId(p, object) : NO_ID;
    if (named != NO_ID && defType_isEnumType(env, named)) {
      return defType_makeEnumFieldCall(env, object, fieldSymbol);
    }
    return builtinFld_makeCall(env, object, fieldName);
  }
  VELK_ASSERT(objectType < p->infoProg->n_type);
  const TypeDefinition& type = p->typeTable[objectType];
  if (objectType < TypePrimitive || type.bufferType != NONE_BUFFER || objectType == TypeIO ||
      defType_isIterator(env, objectType)) {
    return builtinFld_makeCall(env, object, fieldName);
  }
  u32 offset = 0;
  for (AST* cell : AST_cells(p, AST_fromId(p, type.fields))) {
    const AST* field = AST_getCar(p, cell);
    VELK_ASSERT(field != nullptr && field->op == FIELD_STATEMENT);
    const AST* name = AST_left(p, field);
    if (name != nullptr && name->value.id.id == fieldSymbol) {
      const u32 line = currentLine(env);
      AST* offsetNode = newNode(env, INTEGER_OP, offset, nullptr, nullptr, line);
      AST* code = newNode(env, INDEX_NODE, kCallFieldCustom, object, offsetNode, line);
      return newNode(env, CALL_OP, field->value.id.type, code, nullptr, line);
    }
    offset += TypeDefID_getStorageSize(p, field->value.id.type);
  }
  parser_failure(env, 161, fileName(env), currentLine(env), nullptr,
                 "Field \"%s\" do not exist in structure \"%s\"\n", Symbol_getName(env, fieldSymbol),
                 typeName(env, objectType));
  return nullptr;
}

// --- typing helpers ------------------------------------------------------------

bool defExpr_areCompatibleExps(ParserEnv* env, AST* left, AST* right, u32 operation,
                               u32* leftType, u32* rightType, u32* resultType) {
  u32 l = defType_evaluate(env, left);
  u32 r = right != nullptr ? defType_evaluate(env, right) : NO_ID;
  u32 result = NO_ID;
  if (l != NO_ID && r != NO_ID) {
    result = defType_resultantType(env, operation, l, r);
    if (result == TypeF32 || result == TypeF64) {
      // The untyped side takes the width the other side decides.
      if (l == TypeFP) {
        defExpr_evalAsFloat(env, result, left);
        l = result;
      }
      if (r == TypeFP) {
        defExpr_evalAsFloat(env, result, right);
        r = result;
      }
    }
  }
  if (leftType != nullptr) *leftType = l;
  if (rightType != nullptr) *rightType = r;
  if (resultType != nullptr) *resultType = result;
  return result != NO_ID;
}

namespace {

bool isSizedChannel(ParserEnv* env, u32 t) {
  const TypeDefinition& type = env->program->typeTable[t];
  return type.bufferType >= QUEUE_BUFFER && type.bufferType <= CHANNEL_BUFFER && type.size != NO_ID;
}
bool isChannelLike(ParserEnv* env, u32 t) {
  const u32 kind = env->program->typeTable[t].bufferType;
  return kind >= QUEUE_BUFFER && kind <= CHANNEL_BUFFER;
}
bool isArrayType(ParserEnv* env, u32 t) {
  return env->program->typeTable[t].bufferType == ARRAY_BUFFER;
}
bool isUnsizedBuffer(ParserEnv* env, u32 t) { return env->program->typeTable[t].size == NO_ID; }

// The rule for a concrete expected type E: integer rule, float rule, or identity.
u32 matchConcrete(ParserEnv* env, u32 expected, AST* expression, u32 type) {
  const program* p = env->program;
  if (expected >= FIRST_USER_TYPE || expected == TypeString) {
    if (isChannelLike(env, expected) && isUnsizedBuffer(env, expected)) {
      return isChannelLike(env, type) &&
                     p->typeTable[type].baseType == p->typeTable[expected].baseType
                 ? type
                 : NO_ID;
    }
    if (isArrayType(env, expected) && isUnsizedBuffer(env, expected)) {
      return isArrayType(env, type) && p->typeTable[type].baseType == p->typeTable[expected].baseType
                 ? type
                 : NO_ID;
    }
  }
  if (expected <= TypeSInt64 && type <= TypeSInt64) {
    const u32 result = defType_resultantIntegerType(env, type, expected);
    if (result != NO_ID) return result;
  }
  if (expected >= TypeFP && expected <= TypeF64 && type >= TypeFP && type <= TypeF64) {
    const u32 result = defType_resultantFloatType(env, type, expected);
    if (result != NO_ID) {
      if (type == TypeFP && result != TypeFP) defExpr_evalAsFloat(env, result, expression);
      return result;
    }
  }
  return type == expected ? type : NO_ID;
}

// The abstract expected types; false when expected is not one of them.
bool matchAbstract(ParserEnv* env, u32 expected, u32 type, bool* accepted) {
  switch (expected) {
    case TypeAny:
    case TypePrimitive:
      if (type == TypeFP) {
        defType_checkFloatUncertainty(env, type, type);  // failure 142
        *accepted = false;
      } else {
        *accepted = expected == TypeAny || type < TypePrimitive;
      }
      return true;
    case TypeEnum:
      *accepted = defType_isEnumType(env, type);
      return true;
    case TypeArray:
      *accepted = isArrayType(env, type);
      return true;
    case TypeSizedArray:
      *accepted = isArrayType(env, type) && !isUnsizedBuffer(env, type);
      return true;
    case TypeUnsizedArray:
      *accepted = isArrayType(env, type) && isUnsizedBuffer(env, type);
      return true;
    case TypeChannel:
      *accepted = isChannelLike(env, type);
      return true;
    case TypeSizedChannel:
      *accepted = isSizedChannel(env, type);
      return true;
    case TypeUnsizedChannel:
      *accepted = isChannelLike(env, type) && isUnsizedBuffer(env, type);
      return true;
    case TypeIterator:
      *accepted = defType_isIterator(env, type);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool defExpr_matchExpectedType(ParserEnv* env, u32 expectedType, AST* expression,
                               u32* expressionType, u32* matchedType) {
  const u32 type = defType_evaluate(env, expression);
  if (expressionType != nullptr) *expressionType = type;
  if (matchedType != nullptr) *matchedType = NO_ID;
  const u32 typeCount = env->program->infoProg->n_type;
  if (type == NO_ID || type == TypeVoid || type >= typeCount || expectedType >= typeCount) {
    return false;
  }
  bool accepted = false;
  u32 matched = type;
  if (!matchAbstract(env, expectedType, type, &accepted)) {
    matched = matchConcrete(env, expectedType, expression, type);
    accepted = matched != NO_ID;
  }
  if (matchedType != nullptr) *matchedType = accepted ? matched : NO_ID;
  return accepted;
}

bool defExpr_canBeItsOpposite(ParserEnv* env, AST* expression, u32* type, u32* oppositeType) {
  const u32 t = defType_evaluate(env, expression);
  u32 opposite = NO_ID;
  if (t == TypeInt) {
    opposite = TypeSInt;
  } else if (t == TypeUInt8 || t == TypeUInt16 || t == TypeUInt32 || t == TypeUInt64) {
    opposite = t + 1;  // the signed type of the same width follows its unsigned one
  } else if (t == TypeSInt || t == TypeSInt8 || t == TypeSInt16 || t == TypeSInt32 ||
             t == TypeSInt64 || t == TypeFP || t == TypeF32 || t == TypeF64) {
    opposite = t;
  }
  if (type != nullptr) *type = t;
  if (oppositeType != nullptr) *oppositeType = opposite;
  return opposite != NO_ID;
}

void defExpr_evalAsFloat(ParserEnv* env, u32 floatType, AST* expression) {
  VELK_ASSERT(floatType == TypeF32 || floatType == TypeF64);
  program* p = env->program;
  std::vector<AST*> pending{expression};
  while (!pending.empty()) {
    AST* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    if (takesFloatWidth(node->op)) {
      setOperatorType(node, floatType);
      pending.push_back(AST_left(p, node));
      pending.push_back(AST_right(p, node));
    } else if (node->op == NEG_OP) {
      // The negation is an operator too: left at Float it would have no
      // operator function in the interpreter.
      setOperatorType(node, floatType);
      pending.push_back(AST_left(p, node));
    } else if (node->op == FLOAT_OP) {
      convertFloatLiteral(env, floatType, node);
    }
  }
}

// --- constness and access rights -------------------------------------------------

bool defExpr_isDataAccessor(const AST* node) {
  if (node == nullptr) return false;
  switch (node->op) {
    case ARRAY_INDEX_OP:
    case GLOBAL_CONSTANT_OP:
    case GLOBAL_VARIABLE_OP:
    case LOCAL_CONSTANT_OP:
    case LOCAL_VAR:
    case STATIC_VARIABLE_OP:
      return true;
    default:
      return false;
  }
}

bool defExpr_isConst(ParserEnv* env, AST* expression) {
  program* p = env->program;
  SmallStack<AST*> pending(expression);
  while (!pending.empty()) {
    AST* node = pending.pop();
    if (node == nullptr) continue;
    if (node->op == CALL_OP) {
      if (!defCall_isConst(env, node)) return false;
      continue;  // the call's constness covers its object and arguments
    }
    if (defExpr_isDataAccessor(node)) {
      if (!defVar_isConst(env, node)) return false;
      // Only an element access has operands; the others point at their declaration.
      if (node->op == ARRAY_INDEX_OP) {
        pending.push(AST_left(p, node));
        pending.push(AST_right(p, node));
      }
      continue;
    }
    if (isNeverConstant(node->op)) return false;
    pending.push(AST_left(p, node));
    if (node->op != TRANSITION_BODY) pending.push(AST_right(p, node));
  }
  return true;
}

u32 defExpr_getAccessRights(ParserEnv* env, AST* expression) {
  if (expression == nullptr) return kAccessReadWrite;
  if (expression->op == CALL_OP) {
    return defCall_getAccessRights(env, expression);
  }
  if (defExpr_isConst(env, expression)) return kAccessReadOnly;
  if (expression->op != LOCAL_VAR) return kAccessReadWrite;
  if (defType_isIterator(env, expression->value.id.type)) return kAccessNone;
  const AST* index = AST_left(env->program, expression);
  VELK_ASSERT(index != nullptr);
  return defVar_getLocalAccessRights(env, index->value.id.id);
}

bool defExpr_isReadable(ParserEnv* env, AST* expression) {
  const u32 rights = defExpr_getAccessRights(env, expression);
  return rights == kAccessReadOnly || rights == kAccessReadWrite;
}

bool defExpr_isWritable(ParserEnv* env, AST* expression) {
  const u32 rights = defExpr_getAccessRights(env, expression);
  return rights == kAccessWriteOnly || rights == kAccessReadWrite;
}

// --- compile-time execution ------------------------------------------------------

// The local constants an expression reads, as the frame of local constants
// it is executed in: slot i holds the constant whose access node carries id i.
// They are taken from their declarations rather than from the interpreter's
// table, which holds only the constants of the scopes being parsed: the
// whole-program checks evaluate expressions after those scopes are closed.
// Slots the expression does not read stay empty. False when a constant has no
// stored value.
bool bindLocalConstants(ParserEnv* env, AST* expression, std::vector<TaggedValue>* frame) {
  program* p = env->program;
  // Most operands are literals: nothing to walk.
  if (expression->left == NO_ID && expression->right == NO_ID) return true;
  std::vector<AST*> pending{expression};
  while (!pending.empty()) {
    AST* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    switch (node->op) {
      case LOCAL_CONSTANT_OP: {
        AST* index = AST_left(p, node);
        AST* decl = AST_right(p, node);
        AST* init = decl != nullptr ? AST_right(p, decl) : nullptr;
        if (index == nullptr || init == nullptr || init->op != INITIALIZER_OP) return false;
        const u32 data = AST_getInitializerId(p, init);
        const u32 id = index->value.id.id;
        if (data >= p->infoProg->size_constantData || id >= STACKS_SIZE) return false;
        if (frame->size() <= id) frame->resize(id + 1, TaggedValue{nullptr, NO_ID, NO_ID});
        (*frame)[id] = TaggedValue{p->constantDataTable + data, node->value.id.type, NO_ID};
        continue;
      }
      case LOCAL_VAR:
      case GLOBAL_CONSTANT_OP:
      case TYPE_OP:
      case SYM:
        continue;  // right is the declaration, not an operand
      case CALL_OP: {
        // Called functions run in frames of their own.
        AST* codeNode = AST_left(p, node);
        if (codeNode != nullptr && codeNode->op == INDEX_NODE) {
          pending.push_back(AST_left(p, codeNode));
          if (codeNode->value.id.id == kCallFieldCustom) continue;  // right is the offset
        }
        pending.push_back(AST_right(p, node));
        continue;
      }
      default:
        pending.push_back(AST_left(p, node));
        pending.push_back(AST_right(p, node));
    }
  }
  return true;
}

bool defExpr_canExecAtCompileTime(ParserEnv* env, AST* expression) {
  return expression != nullptr && isEvaluable(env, expression, 0);
}

TaggedValue defExpr_execAndStack(TaggedValue* slot, ParserEnv* env, AST* expression) {
  TaggedValue result{nullptr, NO_ID, NO_ID};
  std::vector<TaggedValue> localConstants;
  if (env->ienv != nullptr && defExpr_canExecAtCompileTime(env, expression) &&
      bindLocalConstants(env, expression, &localConstants)) {
    result = consteval_evaluate(env->ienv, expression, localConstants.data(),
                                static_cast<u32>(localConstants.size()));
  }
  if (slot != nullptr) *slot = result;
  return result;
}

u32 defExpr_reserveConstantData(ParserEnv* env, u32 cells) {
  return reserveConstantData(env, cells);
}

// --- assignment ------------------------------------------------------------------

AST* defExpr_makeAssignment(ParserEnv* env, AST* target, AST* value) {
  if (target == nullptr || value == nullptr) return nullptr;
  if (!defExpr_isWritable(env, target)) {
    parser_failure(env, 153, fileName(env), currentLine(env), nullptr,
                   "assignment left symbol is read-only mode\n");
    return nullptr;
  }
  const u32 targetType = defType_evaluate(env, target);
  if (targetType == NO_ID || targetType >= env->program->infoProg->n_type) return nullptr;
  if (value->op == INITIALIZER_OP) {
    if (defVar_prepareInitializer(env, value, targetType) == nullptr) return nullptr;
  }
  if (env->program->typeTable[targetType].bufferType != NONE_BUFFER) {
    parser_failure(env, 159, fileName(env), currentLine(env), nullptr,
                   "entire assignment on buffer forbidden\n");
    return nullptr;
  }
  u32 valueType = NO_ID;
  const int statusBefore = env->pctx->status;
  if (!defExpr_matchExpectedType(env, targetType, value, &valueType, nullptr)) {
    // A failure met while typing the value has been reported already.
    if (valueType == NO_ID || env->pctx->status != statusBefore) return nullptr;
    parser_failure(env, 160, fileName(env), currentLine(env), nullptr,
                   "affected value is not correct type (\"%s\" expected, but \"%s\" found)\n",
                   typeName(env, targetType), typeName(env, valueType));
    return nullptr;
  }
  defProc_checkTimingAssignment(env, target, value);
  return AST_makeNodeVal(env->program, ASSIGN_OP, 0, 0, target, value, currentLine(env));
}
