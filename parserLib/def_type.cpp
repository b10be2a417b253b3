#include "def_type.h"

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ast_list.h"
#include "def_expression.h"
#include "id_map.h"
#include "parser_data.h"
#include "parser_error.h"
#include "velk_assert.h"
#include "velk_typing.h"

namespace {

// Key of a buffer type: kind, element type and size identify it.
struct BufferKey {
  u32 kind;
  u32 element;
  u32 size;
  bool operator==(const BufferKey&) const = default;
};

struct BufferKeyHash {
  size_t operator()(const BufferKey& k) const {
    u64 h = (u64{k.kind} << 32) ^ k.element;
    h = h * 0x9E3779B97F4A7C15ull ^ k.size;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

// Enumerators already in an enumeration's list, and its last cell, so that
// adding the state names of a large program to Process_State stays linear.
struct EnumIndex {
  u32 head = NO_ID;
  u32 tail = NO_ID;
  std::unordered_set<u32> symbols;
};

// Inferred types by node id, one u32 per node: the operation code in the top
// byte (NONE_OP: nothing kept), the type in the low 24 bits. Pages of ids are
// allocated as they are first used, so a large program costs four bytes per
// node and no more.
class InferredTypes {
 public:
  static_assert(AST_OPERATION_COUNT <= 256 && NONE_OP == 0);

  bool find(u32 id, u32 op, u32* type) const {
    const size_t page = id >> kPageBits;
    if (page >= pages_.size() || !pages_[page]) return false;
    const u32 entry = pages_[page][id & kPageMask];
    if (entry >> 24 != op) return false;
    const u32 kept = entry & kTypeMask;
    *type = kept == kTypeMask ? NO_ID : kept;
    return true;
  }

  void keep(u32 id, u32 op, u32 type) {
    if (type != NO_ID && type >= kTypeMask) return;  // beyond 24 bits: not kept
    const size_t page = id >> kPageBits;
    if (page >= pages_.size()) pages_.resize(page + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<u32[]>(size_t{1} << kPageBits);
    pages_[page][id & kPageMask] = (op << 24) | (type & kTypeMask);
  }

 private:
  static constexpr u32 kPageBits = 16;
  static constexpr u32 kPageMask = (1u << kPageBits) - 1;
  static constexpr u32 kTypeMask = 0xFFFFFF;
  std::vector<std::unique_ptr<u32[]>> pages_;
};

// The module's state, kept in pctx->typeState. The hash indexes answer like
// the linear searches over the type table in id order (the first match wins):
// they are brought up to date lazily from `indexed` to n_type, so records
// appended by any means are found.
struct DefTypeState {
  std::vector<bool> iterator;  // one flag per type id
  u32 indexed = 0;
  IdMap byName;              // the first type of each name
  u32 firstUnnamed = NO_ID;  // NO_ID is no IdMap key
  std::unordered_map<BufferKey, u32, BufferKeyHash> buffers;
  std::unordered_map<u32, u32> iterators;
  std::unordered_map<u32, EnumIndex> enums;
  // Inferred types of operator nodes, by node id, with the operation they were
  // computed for. Children are typed when their parents are built, so this
  // keeps inference linear and shallow; `Float` results are never kept since
  // their width is decided later.
  InferredTypes inferred;
};

DefTypeState& state(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->typeState) pctx->typeState = std::make_shared<DefTypeState>();
  return *static_cast<DefTypeState*>(pctx->typeState.get());
}

program* prog(ParserEnv* env) { return env->program; }
u32 typeCount(ParserEnv* env) { return prog(env)->infoProg->n_type; }
bool validType(ParserEnv* env, u32 typeId) { return typeId < typeCount(env); }

const TypeDefinition* record(ParserEnv* env, u32 typeId) {
  return validType(env, typeId) ? &prog(env)->typeTable[typeId] : nullptr;
}

// Type names for messages; an invalid id (after an earlier failure) never
// reaches the name accessor's assertion.
const char* typeName(ParserEnv* env, u32 typeId) {
  return validType(env, typeId) ? Type_getName(prog(env), typeId) : "<unknown>";
}

const char* fileOf(ParserEnv* env) { return env->pctx->fileName; }
u32 currentLine(ParserEnv* env) { return static_cast<u32>(parser_lineno(env)); }

void syncIndexes(ParserEnv* env) {
  DefTypeState& s = state(env);
  const program* p = prog(env);
  for (u32 id = s.indexed; id < p->infoProg->n_type; ++id) {
    const TypeDefinition& t = p->typeTable[id];
    const u32 name = p->dbg->typeSymbolId[id];
    if (name != NO_ID) {
      s.byName.setIfAbsent(name, id);
    } else if (s.firstUnnamed == NO_ID) {
      s.firstUnnamed = id;
    }
    if (t.bufferType != NONE_BUFFER) {
      s.buffers.try_emplace(BufferKey{t.bufferType, t.baseType, t.size}, id);
    }
    if (id < s.iterator.size() && s.iterator[id]) s.iterators.try_emplace(t.baseType, id);
  }
  s.indexed = p->infoProg->n_type;
}

// Grows the type table and its name table (each its own growth, both to
// exactly the new count) and the iterator flags; returns the new id.
u32 appendType(ParserEnv* env, const TypeDefinition& t, u32 nameSymbol, bool isIterator) {
  program* p = prog(env);
  u32 id = p->infoProg->n_type;
  u32 capacity = env->pctx->capacity.types;
  u32 first = capacity;
  parser_reallocTable(&p->typeTable, &first, id + 1);
  u32 second = capacity;
  parser_reallocTable(&p->dbg->typeSymbolId, &second, id + 1);
  env->pctx->capacity.types = first;
  p->typeTable[id] = t;
  p->dbg->typeSymbolId[id] = nameSymbol;
  DefTypeState& s = state(env);
  if (s.iterator.size() < id + 1) s.iterator.resize(id + 1, false);
  s.iterator[id] = isIterator;
  p->infoProg->n_type = id + 1;
  return id;
}

u32 saturatedCells(u64 cells) {
  return cells >= NO_ID ? NO_ID - 1 : static_cast<u32>(cells);
}

// Storage of a buffer type: arrays hold their elements; queues and stacks
// one spare element and two bookkeeping cells; channels and unsized buffers
// hold nothing themselves.
u64 bufferStorage(ParserEnv* env, u32 kind, u32 element, u32 size) {
  if (kind == CHANNEL_BUFFER || size == NO_ID) return 0;
  u64 cells = TypeDefID_getStorageSize(prog(env), element);
  if (kind == ARRAY_BUFFER) return u64{size} * cells;
  return (u64{size} + 1) * cells + 2;
}

std::string bufferName(ParserEnv* env, u32 kind, u32 element, u32 size) {
  std::string name = typeName(env, element);
  std::string suffix = size == NO_ID ? "" : "[" + std::to_string(size) + "]";
  switch (kind) {
    case ARRAY_BUFFER:
      return name + (size == NO_ID ? "[]" : suffix);
    case QUEUE_BUFFER:
      return "queue<" + name + ">" + suffix;
    case STACK_BUFFER:
      return "stack<" + name + ">" + suffix;
    case CHANNEL_BUFFER:
      return "channel<" + name + ">" + suffix;
    default:
      return "buffer" + std::to_string(kind) + "<" + name + ">" + suffix;
  }
}

u32 declareBufferNamed(ParserEnv* env, u32 kind, u32 element, u32 size, u32 nameSymbol) {
  VELK_ASSERT(validType(env, element));
  VELK_ASSERT(kind >= ARRAY_BUFFER && kind <= CHANNEL_BUFFER);
  TypeDefinition t{element, size, saturatedCells(bufferStorage(env, kind, element, size)), kind,
                   NO_ID};
  return appendType(env, t, nameSymbol, false);
}

bool isIntegerId(u32 typeId) { return typeId <= TypeSInt64; }
bool isUnsignedId(u32 typeId) {
  return typeId == TypeUInt8 || typeId == TypeUInt16 || typeId == TypeUInt32 ||
         typeId == TypeUInt64;
}
bool isSignedId(u32 typeId) {
  return typeId == TypeSInt || typeId == TypeSInt8 || typeId == TypeSInt16 ||
         typeId == TypeSInt32 || typeId == TypeSInt64;
}
bool isFloatId(u32 typeId) { return typeId >= TypeFP && typeId <= TypeF64; }
bool isQuantityId(u32 typeId) { return typeId <= TypeF64 && typeId != TypeBoolean; }

u32 bufferKindOf(ParserEnv* env, u32 typeId) {
  const TypeDefinition* t = record(env, typeId);
  return t == nullptr ? NONE_BUFFER : t->bufferType;
}

bool isChannelKind(u32 kind) { return kind >= QUEUE_BUFFER && kind <= CHANNEL_BUFFER; }

bool isUnsized(ParserEnv* env, u32 typeId) {
  const TypeDefinition* t = record(env, typeId);
  return t != nullptr && t->size == NO_ID;
}

AST* makeSym(ParserEnv* env, u32 symbol, u32 line) {
  return AST_makeNodeVal(prog(env), SYM, symbol, 0, nullptr, nullptr, line);
}

// ---------------------------------------------------------------------------
// Type inference.

// Reports a failure at the current line; a message without operands is
// text, not a format.
template <class... Args>
void failHere(ParserEnv* env, int status, const char* format, Args... args) {
  if constexpr (sizeof...(args) == 0) {
    parser_failure(env, status, fileOf(env), parser_lineno(env), nullptr, "%s", format);
  } else {
    parser_failure(env, status, fileOf(env), parser_lineno(env), nullptr, format, args...);
  }
}

// Reports a binary-operator failure with the two operand types after the
// fixed type names of the message.
template <class... Names>
u32 operatorFailure(ParserEnv* env, int status, const char* format, Names... names) {
  failHere(env, status, format, names...);
  return NO_ID;
}

// A node the grammar lets through where a value belongs but that has none:
// the name after `state` (a bare symbol), or any other non-expression node.
u32 notAValueFailure(ParserEnv* env, AST* node) {
  const program* p = prog(env);
  if (node->op == SYM && node->value.id.id < p->infoProg->n_symbols) {
    return operatorFailure(env, 170, "state name \"%s\" used as a value in an expression\n",
                           Symbol_getName(p, node->value.id.id));
  }
  return operatorFailure(env, 170, "value expected in expression\n");
}

struct Operands {
  bool compatible;
  u32 left;
  u32 right;
  u32 common;
};

Operands compatibleOperands(ParserEnv* env, AST* node) {
  program* p = prog(env);
  Operands o{false, NO_ID, NO_ID, NO_ID};
  o.compatible = defExpr_areCompatibleExps(env, AST_left(p, node), AST_right(p, node), node->op,
                                           &o.left, &o.right, &o.common);
  return o;
}

bool operandsKnown(const Operands& o) { return o.left != NO_ID && o.right != NO_ID; }

u32 evaluateLogical(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (o.compatible && o.common == TypeBoolean) return TypeBoolean;
  return operatorFailure(env, 112,
                         "only %s type allowed in logical comparison expression (%s and %s found)\n",
                         typeName(env, TypeBoolean), typeName(env, o.left), typeName(env, o.right));
}

u32 evaluateNot(ParserEnv* env, AST* node) {
  u32 operandType = NO_ID;
  u32 matched = NO_ID;
  AST* operand = AST_left(prog(env), node);
  if (defExpr_matchExpectedType(env, TypeBoolean, operand, &operandType, &matched)) {
    return TypeBoolean;
  }
  if (operandType == NO_ID) return NO_ID;
  return operatorFailure(env, 113,
                         "only %s type allowed in logical negation expression (%s found)\n",
                         typeName(env, TypeBoolean), typeName(env, operandType));
}

u32 evaluateBitwise(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (o.compatible && isIntegerId(o.common)) return o.common;
  return operatorFailure(env, 130,
                         "only same integer types allowed in bitwise operation (%s and %s found)\n",
                         typeName(env, o.left), typeName(env, o.right));
}

u32 evaluateShift(ParserEnv* env, AST* node) {
  program* p = prog(env);
  u32 left = defType_evaluate(env, AST_left(p, node));
  u32 right = defType_evaluate(env, AST_right(p, node));
  if (left == NO_ID || right == NO_ID) return NO_ID;
  if (isIntegerId(left) && (right == TypeInt || isUnsignedId(right))) return left;
  return operatorFailure(env, 130,
                         "only integer types and unsigned shift operand allowed in bitwise shift "
                         "operation (%s and %s found)\n",
                         typeName(env, left), typeName(env, right));
}

u32 evaluateBitNot(ParserEnv* env, AST* node) {
  u32 operandType = defType_evaluate(env, AST_left(prog(env), node));
  if (operandType == NO_ID) return NO_ID;
  if (isIntegerId(operandType)) return operandType;
  return operatorFailure(env, 130, "only integer types allowed in bitwise operation (%s found)\n",
                         typeName(env, operandType));
}

u32 evaluateEquality(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  u32 t = o.common;
  if (o.compatible && (t == TypeBoolean || isIntegerId(t) || t == TypeTime ||
                       defType_isEnumType(env, t))) {
    return TypeBoolean;
  }
  // Reported where the comparison is written, which may precede the chain.
  parser_failure(env, 106, fileOf(env), AST_line(prog(env), node), nullptr,
                 "only same integer or %s or %s or same enum types allowed in equality "
                 "comparisons (%s and %s found)\n",
                 typeName(env, TypeTime), typeName(env, TypeBoolean), typeName(env, o.left),
                 typeName(env, o.right));
  return NO_ID;
}

u32 evaluateRelational(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (!o.compatible || !isQuantityId(o.common)) {
    return operatorFailure(env, 103,
                           "only same integer or %s or %s or %s types allowed in comparisons (%s "
                           "and %s found)\n",
                           typeName(env, TypeF32), typeName(env, TypeF64), typeName(env, TypeTime),
                           typeName(env, o.left), typeName(env, o.right));
  }
  if (!defType_checkFloatUncertainty(env, o.left, o.right)) return NO_ID;
  return TypeBoolean;
}

u32 evaluateAdditive(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (o.compatible && isQuantityId(o.common)) return o.common;
  return operatorFailure(env, 110,
                         "only same integer or %s or %s or %s types allowed in additions and "
                         "subtractions (%s and %s found)\n",
                         typeName(env, TypeF32), typeName(env, TypeF64), typeName(env, TypeTime),
                         typeName(env, o.left), typeName(env, o.right));
}

u32 evaluateMultiplicative(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (o.compatible && isQuantityId(o.common)) return o.common;
  const char* time = typeName(env, TypeTime);
  if (o.left != TypeTime && o.right != TypeTime) {
    return operatorFailure(env, 148,
                           "only same integer or %s or %s type allowed in multiplications or "
                           "divisions (%s and %s found)\n",
                           typeName(env, TypeF32), typeName(env, TypeF64), typeName(env, o.left),
                           typeName(env, o.right));
  }
  const char* u64Name = typeName(env, TypeUInt64);
  if (node->op == DIV_OP) {
    return operatorFailure(env, 196,
                           "the only two possible division operations involving %s are:\n    %s / "
                           "%s = %s\n    %s / %s = %s\n",
                           time, time, u64Name, time, time, time, u64Name);
  }
  return operatorFailure(env, 195, "a %s value can only be multiplied by a %s value\n", time,
                         u64Name);
}

u32 evaluateModulo(ParserEnv* env, AST* node) {
  Operands o = compatibleOperands(env, node);
  if (!operandsKnown(o)) return NO_ID;
  if (o.compatible && (isIntegerId(o.common) || o.common == TypeTime)) return o.common;
  return operatorFailure(env, 1101,
                         "only integer or %s types allowed in modulo operations (%s and %s "
                         "found)\n",
                         typeName(env, TypeTime), typeName(env, o.left), typeName(env, o.right));
}

u32 evaluateNegation(ParserEnv* env, AST* node) {
  u32 operandType = NO_ID;
  u32 opposite = NO_ID;
  if (defExpr_canBeItsOpposite(env, AST_left(prog(env), node), &operandType, &opposite)) {
    return opposite;
  }
  if (operandType == NO_ID) return NO_ID;
  return operatorFailure(env, 120,
                         "can not generate the opposite of this %s type value (integer or %s or "
                         "%s type expected)\n",
                         typeName(env, operandType), typeName(env, TypeF32),
                         typeName(env, TypeF64));
}

u32 evaluateArrayIndex(ParserEnv* env, AST* node) {
  u32 arrayType = defType_evaluate(env, AST_left(prog(env), node));
  if (bufferKindOf(env, arrayType) == ARRAY_BUFFER) return record(env, arrayType)->baseType;
  return arrayType;
}

// A braced single value used where a scalar is expected.
u32 evaluateBracedValue(ParserEnv* env, AST* node) {
  program* p = prog(env);
  if (AST_listSize(p, node) != 1) return NO_ID;
  parser_warning(env, 0, fileOf(env), parser_lineno(env), nullptr, "braces around initializer\n");
  return defType_evaluate(env, AST_left(p, node));
}

// Inference of the nodes whose type depends on their operands.
u32 evaluateOperator(ParserEnv* env, AST* node) {
  switch (node->op) {
    case AND_OP:
    case OR_OP:
      return evaluateLogical(env, node);
    case NOT_OP:
      return evaluateNot(env, node);
    case BIT_AND_OP:
    case BIT_OR_OP:
    case BIT_XOR_OP:
      return evaluateBitwise(env, node);
    case BIT_LSHIFT_OP:
    case BIT_RSHIFT_OP:
      return evaluateShift(env, node);
    case BIT_NOT_OP:
      return evaluateBitNot(env, node);
    case CEQ_OP:
    case CNE_OP:
      return evaluateEquality(env, node);
    case LT_OP:
    case GT_OP:
    case CLE_OP:
    case CGE_OP:
      return evaluateRelational(env, node);
    case PLUS_OP:
    case MINUS_OP:
      return evaluateAdditive(env, node);
    case MUL_OP:
    case DIV_OP:
      return evaluateMultiplicative(env, node);
    case MOD_OP:
      return evaluateModulo(env, node);
    case NEG_OP:
      return evaluateNegation(env, node);
    case ARRAY_INDEX_OP:
      return evaluateArrayIndex(env, node);
    case LIST:
      return evaluateBracedValue(env, node);
    default:
      return notAValueFailure(env, node);
  }
}

bool isOperatorNode(u32 op) {
  switch (op) {
    case AND_OP: case OR_OP: case NOT_OP: case BIT_AND_OP: case BIT_OR_OP: case BIT_XOR_OP:
    case BIT_LSHIFT_OP: case BIT_RSHIFT_OP: case BIT_NOT_OP: case CEQ_OP: case CNE_OP:
    case LT_OP: case GT_OP: case CLE_OP: case CGE_OP: case PLUS_OP: case MINUS_OP:
    case MUL_OP: case DIV_OP: case MOD_OP: case NEG_OP: case ARRAY_INDEX_OP: case LIST:
      return true;
    default:
      return false;
  }
}

// Types fixed by the node itself (literals) or stored in its value (calls,
// casts, enumeration values, data reads, the IO object, type names).
bool leafType(ParserEnv* env, AST* node, u32* type) {
  switch (node->op) {
    case BOOLEAN_OP: *type = TypeBoolean; return true;
    case INTEGER_OP: *type = TypeInt; return true;
    case FLOAT_OP: *type = TypeFP; return true;
    case F32_LITERAL_OP: *type = TypeF32; return true;
    case F64_LITERAL_OP: *type = TypeF64; return true;
    case S_LITERAL_OP: case MS_LITERAL_OP: case US_LITERAL_OP: case NS_LITERAL_OP:
    case FREQUENCY_OP:
      *type = TypeTime;
      return true;
    case STRING_OP: *type = TypeString; return true;
    case INITIALIZER_OP: {
      AST* holder = AST_right(prog(env), node);
      *type = holder == nullptr ? NO_ID : holder->value.id.type;
      return true;
    }
    case CALL_OP: case CAST_OP: case ENUM_VALUE_OP: case GLOBAL_VARIABLE_OP:
    case GLOBAL_CONSTANT_OP: case LOCAL_VAR: case LOCAL_CONSTANT_OP: case STATIC_VARIABLE_OP:
    case IO_OP: case TYPE_OP:
      *type = node->value.id.type;
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Initializers.

u32 stringLength(ParserEnv* env, AST* stringNode) {
  const program* p = prog(env);
  u32 index = stringNode->value.id.id;
  if (index >= p->infoProg->size_constantData) return 0;
  DataCell first = p->constantDataTable[index];  // length + 2
  return first >= 2 ? static_cast<u32>(first - 2) : 0;
}

AST* initializerContent(ParserEnv* env, AST* node) {
  if (node != nullptr && node->op == INITIALIZER_OP) {
    AST* content = AST_left(prog(env), node);
    return content;
  }
  return node;
}

bool checkInitializerElem(ParserEnv* env, u32 typeId, AST* content);

template <class... Args>
bool initFailure(ParserEnv* env, int status, const char* format, Args... args) {
  failHere(env, status, format, args...);
  return false;
}

bool checkScalarInitializer(ParserEnv* env, u32 typeId, AST* content) {
  program* p = prog(env);
  if (content->op == LIST) {
    if (AST_listSize(p, content) > 1) {
      return initFailure(env, 157, "excess elements in initializer\n");
    }
    // Braces around a single value: warn once, then match the value itself so
    // that an untyped float literal in it takes the expected width.
    defType_evaluate(env, content);
    content = AST_left(p, content);
    if (content == nullptr) return initFailure(env, 157, "initializer can not be empty \n");
  }
  u32 found = NO_ID;
  u32 matched = NO_ID;
  if (defExpr_matchExpectedType(env, typeId, content, &found, &matched)) return true;
  if (found == NO_ID) return false;
  return initFailure(env, 133, "wrong initializer type \"%s\" (\"%s\" type expected)\n",
                     typeName(env, found), typeName(env, typeId));
}

bool checkStructureInitializer(ParserEnv* env, u32 typeId, AST* content) {
  program* p = prog(env);
  const TypeDefinition* t = record(env, typeId);
  if (content->op != LIST) {
    u32 found = defType_evaluate(env, content);
    if (found == typeId) return true;
    if (found == NO_ID) return false;
    return initFailure(env, 157, "initializer type mismatch : %s expected but %s found\n",
                       typeName(env, typeId), typeName(env, found));
  }
  u32 fieldCount = AST_listSize(p, AST_fromId(p, t->fields));
  u32 elementCount = AST_listSize(p, content);
  if (elementCount != fieldCount) {
    return initFailure(env, 157, "structure \"%s\" initializer needs %u elements but %u found\n",
                       typeName(env, typeId), fieldCount, elementCount);
  }
  AST* field = AST_fromId(p, t->fields);
  for (AST* cell = content; cell != nullptr; cell = AST_right(p, cell)) {
    AST* fieldNode = AST_left(p, field);
    VELK_ASSERT(fieldNode != nullptr && fieldNode->op == FIELD_STATEMENT);
    if (!checkInitializerElem(env, fieldNode->value.id.type, AST_left(p, cell))) return false;
    field = AST_right(p, field);
  }
  return true;
}

bool checkBufferInitializer(ParserEnv* env, u32 typeId, AST* content) {
  program* p = prog(env);
  const TypeDefinition* t = record(env, typeId);
  if (content == nullptr) return true;
  if (content->op == STRING_OP) {
    if (t->baseType != TypeUInt8) {
      return initFailure(env, 179, "string initializer is only valid for uint8 array\n");
    }
    u64 needed = u64{stringLength(env, content)} + 1;  // the terminating NUL
    if (t->size != NO_ID && needed > t->size) {
      return initFailure(env, 179,
                         "array \"%s\" initializer needs at most %u elements but %u found\n",
                         typeName(env, typeId), t->size, static_cast<u32>(needed));
    }
    return true;
  }
  if (content->op == LIST) {
    u32 count = AST_listSize(p, content);
    if (t->size != NO_ID && count > t->size) {
      return initFailure(env, 179, "array \"%s\" initializer needs %u elements but %u found\n",
                         typeName(env, typeId), t->size, count);
    }
    for (AST* cell : AST_cells(p, content)) {
      if (!checkInitializerElem(env, t->baseType, AST_left(p, cell))) return false;
    }
    return true;
  }
  u32 found = defType_evaluate(env, content);
  if (found == typeId) return true;
  if (found == NO_ID) return false;
  return initFailure(env, 179, "wrong initializer type : expected  %s but %s found\n",
                     typeName(env, typeId), typeName(env, found));
}

bool isStructureRecord(const TypeDefinition* t) {
  return t->bufferType == NONE_BUFFER &&
         (t->baseType == TypeStructure || t->baseType == TypeNamedBlock);
}

bool checkInitializerElem(ParserEnv* env, u32 typeId, AST* content) {
  const TypeDefinition* t = record(env, typeId);
  if (t == nullptr) return false;
  if (content != nullptr && content->op == INITIALIZER_OP) {
    return defType_checkInitializer(env, content, typeId) != nullptr;
  }
  if (t->bufferType != NONE_BUFFER) return checkBufferInitializer(env, typeId, content);
  if (content == nullptr) return initFailure(env, 157, "initializer can not be empty \n");
  if (isStructureRecord(t)) return checkStructureInitializer(env, typeId, content);
  return checkScalarInitializer(env, typeId, content);
}

// The base type table: names, bases and buffer kinds of ids 0 to 33.
struct BaseType {
  const char* name;
  u32 base;
};

constexpr BaseType kBaseTypes[] = {
    {"Natural", TypeInt},
    {"Signed_Integer", TypeSInt},
    {"uint8", TypeUInt8},
    {"int8", TypeSInt8},
    {"uint16", TypeUInt16},
    {"int16", TypeSInt16},
    {"uint32", TypeUInt32},
    {"int32", TypeSInt32},
    {"uint64", TypeUInt64},
    {"int64", TypeSInt64},
    {"time64", TypeTime},
    {"bool", TypeBoolean},
    {"Float", TypeFP},
    {"float32", TypeF32},
    {"float64", TypeF64},
    {"Primitive", TypePrimitive},
    {"Statement", TypeStmt},
    {"Named_Block", TypeStructure},
    {"State", TypeStructure},
    {"Iterator", TypeIterator},
    {"Type", TypeType},
    {"Structure", TypeStructure},
    {"Enumeration", TypeStructure},
    {"<void>", TypeVoid},
    {"Any", TypeAny},
    {"<input/output>", TypeIO},
    {"uint8[]", TypeUInt8},
    {"Array", TypeArray},
    {"<sized array>", TypeSizedArray},
    {"<unsized array>", TypeUnsizedArray},
    {"Channel", TypeChannel},
    {"<sized channel>", TypeSizedChannel},
    {"<unsized channel>", TypeUnsizedChannel},
    {"<base>", TypeBase},
};
static_assert(std::size(kBaseTypes) == FIRST_USER_TYPE);

constexpr const char* kTimeAccountFields[] = {"execution_time", "wcet", "bcet"};

// The three time64 fields of Named_Block and State.
AST* timeAccountFields(ParserEnv* env) {
  program* p = prog(env);
  AST* fields = nullptr;
  for (const char* name : kTimeAccountFields) {
    AST* field = defType_makeField(env, TypeTime, makeSym(env, defExpr_addSymbol(env, name), 0));
    if (fields == nullptr) {
      fields = AST_makeList1(p, field, 0);
    } else {
      AST_addListLast(p, fields, field, 0);
    }
  }
  return fields;
}

}  // namespace

// ---------------------------------------------------------------------------
// Declarations.

void parser_initBaseTypes(ParserEnv* env) {
  program* p = prog(env);
  for (u32 id = 0; id < FIRST_USER_TYPE; ++id) {
    const BaseType& b = kBaseTypes[id];
    VELK_ASSERT_TEXT(defExpr_lookupForSymbol(env, b.name) == NO_ID,
                     "defExpr_lookupForSymbol(env, baseTypeTable[i].sym) == NO_ID");
    u32 symbol = defExpr_AddSymbol(env, b.name);
    VELK_ASSERT(typeCount(env) == id);
    AST* declaration;
    if (id == TypeString) {
      // The string type: an unsized channel of uint8, under its own name.
      declareBufferNamed(env, CHANNEL_BUFFER, TypeUInt8, NO_ID, symbol);
      declaration =
          AST_makeNodeVal(p, TYPE_DECLARATION, id, 0, makeSym(env, symbol, 0), nullptr, 0);
    } else {
      bool timed = id == TypeNamedBlock || id == TypeState;
      declaration =
          defType_declare(env, symbol, b.base, false, timed ? timeAccountFields(env) : nullptr, 0);
    }
    parser_add_external_definition(env, declaration);
  }
}

AST* defType_declare(ParserEnv* env, u32 nameSymbol, u32 baseKind, bool isIterator, AST* fields,
                     u32 line) {
  program* p = prog(env);
  u32 id = typeCount(env);
  TypeDefinition t{baseKind, 0, 0, NONE_BUFFER, AST_id(p, fields)};
  if (baseKind < TypePrimitive || baseKind == TypeEnum) {
    t.storageSize = 1;
  } else if (baseKind == TypeNamedBlock || baseKind == TypeStructure) {
    u64 cells = 0;
    for (AST* cell : AST_cells(p, fields)) {
      AST* field = AST_left(p, cell);
      if (field == nullptr) continue;  // a rejected field, already reported
      VELK_ASSERT_TEXT(field->op == FIELD_STATEMENT, "field->op == FIELD_STATEMENT");
      cells += TypeDefID_getStorageSize(p, field->value.id.type);
      ++t.size;
    }
    t.storageSize = saturatedCells(cells);
  } else {
    // Only a base type may declare a kind of its own: itself.
    VELK_ASSERT_TEXT(baseKind == id, "unknown base kind");
  }
  if (baseKind == TypeEnum) {
    // Enumerators given as names become FIELD_STATEMENT nodes of this type.
    for (AST* cell : AST_cells(p, fields)) {
      AST* element = AST_left(p, cell);
      if (element != nullptr && element->op == SYM) {
        element = AST_makeNodeVal(p, FIELD_STATEMENT, id, 0, element, nullptr, line);
        cell->left = AST_id(p, element);
      }
      VELK_ASSERT_TEXT(element != nullptr && element->op == FIELD_STATEMENT,
                       "field->op == FIELD_STATEMENT");
      element->value.id.type = id;
    }
  }
  appendType(env, t, nameSymbol, isIterator);
  return AST_makeNodeVal(p, TYPE_DECLARATION, id, 0, makeSym(env, nameSymbol, line), fields, line);
}

AST* defType_makeField(ParserEnv* env, u32 typeId, AST* nameSymbol) {
  if (!validType(env, typeId)) return nullptr;  // its failure has been reported
  if (bufferKindOf(env, typeId) == CHANNEL_BUFFER) {
    parser_failure(env, 125, fileOf(env), parser_lineno(env), nullptr,
                   "abstract buffer type \"channel\" not allowed in structure declaration\n");
    return nullptr;
  }
  return AST_makeNodeVal(prog(env), FIELD_STATEMENT, typeId, 0, nameSymbol, nullptr,
                         currentLine(env));
}

void defType_add_enum(ParserEnv* env, u32 enumTypeId, AST* nameSymbol) {
  VELK_ASSERT(validType(env, enumTypeId) && nameSymbol != nullptr);
  program* p = prog(env);
  TypeDefinition& t = p->typeTable[enumTypeId];
  EnumIndex& index = state(env).enums[enumTypeId];
  if (index.head != t.fields) index = EnumIndex{t.fields, NO_ID, {}};
  // Catch up with cells appended since the last call (by anyone).
  u32 from = index.tail == NO_ID ? t.fields : AST_fromId(p, index.tail)->right;
  for (u32 id = from; id != NO_ID; id = AST_fromId(p, id)->right) {
    AST* element = AST_left(p, AST_fromId(p, id));
    if (element != nullptr && element->op == FIELD_STATEMENT) element = AST_left(p, element);
    if (element != nullptr) index.symbols.insert(element->value.id.id);
    index.tail = id;
  }
  if (!index.symbols.insert(nameSymbol->value.id.id).second) return;
  u32 line = currentLine(env);
  AST* field = AST_makeNodeVal(p, FIELD_STATEMENT, enumTypeId, 0, nameSymbol, nullptr, line);
  AST* cell = AST_makeList1(p, field, line);
  u32 cellId = AST_id(p, cell);
  if (index.tail == NO_ID) {
    t.fields = cellId;
    index.head = cellId;
  } else {
    AST_fromId(p, index.tail)->right = cellId;
  }
  index.tail = cellId;
}

u32 defType_lookup(ParserEnv* env, u32 symbolId) {
  syncIndexes(env);
  DefTypeState& s = state(env);
  return symbolId == NO_ID ? s.firstUnnamed : s.byName.find(symbolId);
}

bool defType_getBaseTypeFieldAccessRights(ParserEnv* env, u32 baseTypeId, u32 fieldSymbol,
                                          u32* accessRights) {
  u32 rights = kAccessNone;
  bool found = false;
  if (baseTypeId < TypePrimitive) {
    found = true;
    rights = kAccessReadOnly;
  } else if (baseTypeId == TypeNamedBlock || baseTypeId == TypeState) {
    const char* name = fieldSymbol < prog(env)->infoProg->n_symbols
                           ? Symbol_getName(prog(env), fieldSymbol)
                           : "";
    for (const char* timeField : kTimeAccountFields) {
      if (std::strcmp(name, timeField) == 0) {
        found = true;
        rights = kAccessReadWrite;
      }
    }
  }
  if (accessRights != nullptr) *accessRights = rights;
  return found;
}

AST* defType_makeEnumFieldCall(ParserEnv* env, AST* typeNode, u32 enumeratorSymbol) {
  program* p = prog(env);
  u32 enumType = AST_getTypeTypeId(p, typeNode);
  u32 line = currentLine(env);
  return AST_makeNodeVal(p, ENUM_VALUE_OP, enumType, 0, makeSym(env, enumeratorSymbol, line),
                         typeNode, line);
}

// ---------------------------------------------------------------------------
// Buffer and iterator types.

u32 defType_declareBuffer(ParserEnv* env, u32 kind, u32 elementType, u32 size) {
  std::string name = bufferName(env, kind, elementType, size);
  return declareBufferNamed(env, kind, elementType, size, defExpr_addSymbol(env, name.c_str()));
}

u32 defType_searchBuffer(ParserEnv* env, u32 kind, u32 elementType, u32 size) {
  syncIndexes(env);
  DefTypeState& s = state(env);
  auto found = s.buffers.find(BufferKey{kind, elementType, size});
  return found == s.buffers.end() ? NO_ID : found->second;
}

u32 defType_getBuffer(ParserEnv* env, u32 kind, u32 elementType, AST* sizeExpr) {
  if (!validType(env, elementType)) return NO_ID;  // its failure has been reported
  const char* file = fileOf(env);
  size_t line = parser_lineno(env);
  if (sizeExpr == nullptr || !defExpr_isConst(env, sizeExpr)) {
    parser_failure(env, 158, file, line, nullptr, "array size must be a constant expression\n");
    return NO_ID;
  }
  u32 sizeType = defType_evaluate(env, sizeExpr);
  if (sizeType == NO_ID) return NO_ID;
  u32 size = 0;
  u32 flags = CONV_NOT_CONVERTIBLE;
  if (sizeType <= TypeTime) {
    const bool computed = defExpr_withValue(env, sizeExpr, [&](TaggedValue value) {
      sizeType = value.typeId;
      size = primTypeToUInt32(value, &flags);
    });
    if (!computed) {
      parser_failure(env, 158, file, line, nullptr, "array size must be a constant expression\n");
      return NO_ID;
    }
  } else if (sizeType < TypePrimitive) {
    flags = CONV_FROM_NON_INT;  // bool and floats never size a buffer
  }
  if (flags == CONV_OVERFLOW) {
    parser_failure(env, 149, file, line, nullptr, "array size can not exceed uint32.LAST (%u)\n",
                   std::numeric_limits<u32>::max());
    return NO_ID;
  }
  if ((flags & (CONV_NONE | CONV_WIDEN | CONV_NARROW)) == 0) {
    parser_failure(env, 128, file, line, nullptr,
                   "wrong type \"%s\" as array size (positive integer expected)\n",
                   typeName(env, sizeType));
    return NO_ID;
  }
  if (size == 0) {
    parser_failure(env, 127, file, line, nullptr, "buffer size must be greater than zero\n");
    return NO_ID;
  }
  // A buffer whose cells cannot be counted in 32 bits cannot be laid out.
  if (bufferStorage(env, kind, elementType, size) >= NO_ID) {
    parser_failure(env, 149, file, line, nullptr, "array size can not exceed uint32.LAST (%u)\n",
                   std::numeric_limits<u32>::max());
    return NO_ID;
  }
  u32 existing = defType_searchBuffer(env, kind, elementType, size);
  return existing != NO_ID ? existing : defType_declareBuffer(env, kind, elementType, size);
}

u32 defType_declareIterator(ParserEnv* env, u32 elementType) {
  if (!validType(env, elementType)) return NO_ID;  // its failure has been reported
  std::string name = std::string("iterator<") + typeName(env, elementType) + ">";
  TypeDefinition t{elementType, 0, 3, NONE_BUFFER, NO_ID};
  return appendType(env, t, defExpr_addSymbol(env, name.c_str()), true);
}

u32 defType_searchIterator(ParserEnv* env, u32 elementType) {
  syncIndexes(env);
  DefTypeState& s = state(env);
  auto found = s.iterators.find(elementType);
  return found == s.iterators.end() ? NO_ID : found->second;
}

bool defType_isIterator(ParserEnv* env, u32 typeId) {
  const DefTypeState& s = state(env);
  return typeId < s.iterator.size() && s.iterator[typeId];
}

// ---------------------------------------------------------------------------
// Abstract types and casts.

bool defType_isDerivedType(ParserEnv* env, u32 abstractType, u32 candidate) {
  if (!validType(env, candidate)) return false;
  u32 kind = bufferKindOf(env, candidate);
  bool unsized = isUnsized(env, candidate);
  switch (abstractType) {
    case TypePrimitive:
      return candidate < TypePrimitive;
    case TypeEnum:
      return defType_isEnumType(env, candidate);
    case TypeAny:
      return candidate != TypeAny && candidate != TypePrimitive && candidate != TypeEnum;
    case TypeArray:
      return kind == ARRAY_BUFFER;
    case TypeSizedArray:
      return kind == ARRAY_BUFFER && !unsized;
    case TypeUnsizedArray:
      return kind == ARRAY_BUFFER && unsized;
    case TypeChannel:
      return isChannelKind(kind);
    case TypeSizedChannel:
      return isChannelKind(kind) && !unsized;
    case TypeUnsizedChannel:
      return isChannelKind(kind) && unsized;
    default:
      return false;
  }
}

AST* defType_makeCast(ParserEnv* env, u32 targetType, AST* arguments) {
  program* p = prog(env);
  std::string name = typeName(env, targetType);
  parser_warningDeprecated(env, fileOf(env), parser_lineno(env), nullptr, (name + "()").c_str(),
                           (name + ".cast()").c_str());
  if (AST_listSize(p, arguments) != 1) {
    parser_failure(env, 214, fileOf(env), parser_lineno(env), nullptr,
                   "cast function accepts only 1 argument\n");
    return nullptr;
  }
  AST* argument = AST_left(p, arguments);
  u32 argumentType = defType_evaluate(env, argument);
  if (argumentType == NO_ID || !defType_checkFloatUncertainty(env, argumentType, TypeFP)) {
    return nullptr;
  }
  return AST_makeNodeVal(p, CAST_OP, targetType, 0, argument, nullptr, currentLine(env));
}

// ---------------------------------------------------------------------------
// Type rules.

u32 defType_evaluate(ParserEnv* env, AST* expression) {
  if (expression == nullptr) return NO_ID;
  u32 type = NO_ID;
  if (leafType(env, expression, &type)) return type;
  if (!isOperatorNode(expression->op)) return notAValueFailure(env, expression);
  DefTypeState& s = state(env);
  u32 id = AST_id(prog(env), expression);
  if (s.inferred.find(id, expression->op, &type)) return type;
  type = evaluateOperator(env, expression);
  if (type != TypeFP) s.inferred.keep(id, expression->op, type);
  return type;
}

u32 defType_resultantIntegerType(ParserEnv*, u32 left, u32 right) {
  if (!isIntegerId(left) || !isIntegerId(right)) return NO_ID;
  if ((isSignedId(left) && isUnsignedId(right)) || (isUnsignedId(left) && isSignedId(right))) {
    return NO_ID;
  }
  if (left == right) return left;
  if (left == TypeInt) return right;
  if (right == TypeInt) return left;
  if (left == TypeSInt && isSignedId(right)) return right;
  if (right == TypeSInt && isSignedId(left)) return left;
  return NO_ID;
}

u32 defType_resultantFloatType(ParserEnv*, u32 left, u32 right) {
  if (!isFloatId(left) || !isFloatId(right)) return NO_ID;
  if (left == right) return left;
  if (left == TypeFP) return right;
  if (right == TypeFP) return left;
  return NO_ID;
}

u32 defType_resultantType(ParserEnv* env, u32 operation, u32 left, u32 right) {
  if (left == NO_ID || right == NO_ID) return NO_ID;
  u32 type = defType_resultantIntegerType(env, left, right);
  if (type != NO_ID) return type;
  if ((left == TypeTime || right == TypeTime) && (operation == DIV_OP || operation == MUL_OP)) {
    // A duration scales by a 64-bit unsigned count (or a literal); two
    // durations only divide, into a count.
    auto count = [env](u32 t) {
      return t != TypeTime && defType_resultantIntegerType(env, t, TypeUInt64) == TypeUInt64;
    };
    if (left == TypeTime && right == TypeTime) return operation == DIV_OP ? TypeUInt64 : NO_ID;
    if (left == TypeTime) return count(right) ? TypeTime : NO_ID;
    return operation == MUL_OP && count(left) ? TypeTime : NO_ID;
  }
  type = defType_resultantFloatType(env, left, right);
  if (type != NO_ID) return type;
  return left == right ? left : NO_ID;
}

u32 defType_deduceOperationOperatorType(ParserEnv* env, u32 operation, AST* left, AST* right) {
  u32 l = defType_evaluate(env, left);
  if (right == nullptr) {
    if (operation == NEG_OP && l == TypeInt) return TypeSInt;
    return l;
  }
  u32 r = defType_evaluate(env, right);
  if (l == NO_ID || r == NO_ID) return NO_ID;
  if (l < TypePrimitive && r < TypePrimitive) {
    if (l == r || operation == BIT_LSHIFT_OP || operation == BIT_RSHIFT_OP) return l;
    return defType_resultantType(env, operation, l, r);
  }
  if (defType_isEnumType(env, l) && defType_isEnumType(env, r)) return TypeUInt32;
  return NO_ID;
}

bool defType_checkFloatUncertainty(ParserEnv* env, u32 left, u32 right) {
  if (left != TypeFP || right != TypeFP) return true;
  parser_failure(env, 142, fileOf(env), parser_lineno(env), nullptr,
                 "cannot evaluate literal floating point expression type (is it %s or %s ?)\n"
                 "Please enforce float type using <float type>.as()\n",
                 typeName(env, TypeF32), typeName(env, TypeF64));
  return false;
}

u32 defType_testIntegerConversion(TaggedValue value, u32 targetType) {
  u32 flags = CONV_NOT_CONVERTIBLE;
  if (targetType == TypeSInt || targetType == TypeSInt64) {
    primTypeToSInt64(value, &flags);
  } else if (targetType == TypeInt || targetType == TypeUInt64) {
    primTypeToUInt64(value, &flags);
  } else if (isIntType(targetType)) {
    primTypeToInteger(value, targetType, &flags);
  }
  return flags;
}

AST* defType_checkInitializer(ParserEnv* env, AST* initializer, u32 typeId) {
  AST* content = initializer;
  if (initializer != nullptr && initializer->op == INITIALIZER_OP) {
    AST* holder = AST_right(prog(env), initializer);
    if (holder != nullptr) holder->value.id.type = typeId;
    content = initializerContent(env, initializer);
  }
  return checkInitializerElem(env, typeId, content) ? initializer : nullptr;
}

// ---------------------------------------------------------------------------
// Classifications.

bool defType_isEnumType(ParserEnv* env, u32 typeId) {
  const TypeDefinition* t = record(env, typeId);
  return t != nullptr && t->baseType == TypeEnum && t->bufferType == NONE_BUFFER &&
         typeId != TypeEnum;
}

bool defType_isArray(ParserEnv* env, u32 typeId) {
  return bufferKindOf(env, typeId) == ARRAY_BUFFER;
}

bool defType_isSizedArray(ParserEnv* env, u32 typeId) {
  return defType_isArray(env, typeId) && !isUnsized(env, typeId);
}

bool defType_isUnsizedArray(ParserEnv* env, u32 typeId) {
  return defType_isArray(env, typeId) && isUnsized(env, typeId);
}

bool defType_isChannel(ParserEnv* env, u32 typeId) {
  return isChannelKind(bufferKindOf(env, typeId));
}

bool defType_isUnsizedChannel(ParserEnv* env, u32 typeId) {
  return defType_isChannel(env, typeId) && isUnsized(env, typeId);
}

bool defType_isQuantity(ParserEnv*, u32 typeId) { return isQuantityId(typeId); }
bool defType_isUnsignedInteger(ParserEnv*, u32 typeId) { return isUnsignedId(typeId); }
bool velk_isSignedInteger(ParserEnv*, u32 typeId) { return isSignedId(typeId); }
