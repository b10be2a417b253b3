#include "statement.h"

#include <algorithm>
#include <cstring>

#include "ast_list.h"
#include "buffers.h"
#include "expression.h"
#include "interp_stack.h"
#include "process.h"
#include "velk_locals.h"
#include "velk_typing.h"

namespace {

// Types nest only as deep as declarations can (a field's type is declared
// before its structure); a deeper walk means the type table is damaged.
constexpr u32 kMaxTypeNesting = 64;

const TypeDefinition& typeOf(InterpEnv* env, u32 typeId) {
  INTERP_ASSERT_TEXT(env, typeId < env->program->infoProg->n_type,
                     "typeId < env->program->infoProg->n_type");
  return env->program->typeTable[typeId];
}

// Element n of a list node, or null when the list is absent or shorter.
AST* listNth(InterpEnv* env, AST* list, u32 n) {
  if (list == nullptr) return nullptr;
  INTERP_ASSERT_TEXT(env, list->op == LIST, "astp->op == LIST");
  return AST_getListNth(env->program, list, n);
}

bool isChannelKind(u32 kind) { return kind >= QUEUE_BUFFER && kind <= CHANNEL_BUFFER; }

bool isEnumerationType(const TypeDefinition& t) {
  return t.baseType == TypeEnum && t.bufferType == NONE_BUFFER && t.storageSize == 1;
}

}  // namespace

// The bits a scalar keeps when it is copied: its own width. 0 for any type
// that is not a scalar.
DataCell value_scalarMask(InterpEnv* env, u32 typeId) {
  switch (typeId) {
    case TypeUInt8:
    case TypeSInt8:
    case TypeBoolean:
      return 0xFF;
    case TypeUInt16:
    case TypeSInt16:
      return 0xFFFF;
    case TypeUInt32:
    case TypeSInt32:
    case TypeF32:
      return 0xFFFFFFFF;
    case TypeInt:
    case TypeSInt:
    case TypeUInt64:
    case TypeSInt64:
    case TypeTime:
    case TypeFP:
    case TypeF64:
      return ~DataCell{0};
    default:
      // Enumeration values are 32-bit symbol ids.
      return isEnumerationType(typeOf(env, typeId)) ? 0xFFFFFFFF : 0;
  }
}

namespace {

bool holdsChannel(InterpEnv* env, u32 typeId, u32 depth);

bool fieldsHoldChannel(InterpEnv* env, const TypeDefinition& t, u32 depth) {
  for (AST* cell : AST_cells(env->program, interp_nodeAt(env, t.fields))) {
    INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
    AST* field = AST_left(env->program, cell);
    INTERP_ASSERT_TEXT(env, field != nullptr && field->op == FIELD_STATEMENT,
                       "FIELD_STATEMENT == field->op");
    if (holdsChannel(env, field->value.id.type, depth + 1)) return true;
  }
  return false;
}

// Whether a value of the type has channel index cells anywhere inside it.
bool holdsChannel(InterpEnv* env, u32 typeId, u32 depth) {
  INTERP_ASSERT_TEXT(env, depth < kMaxTypeNesting, "depth < kMaxTypeNesting");
  const TypeDefinition& t = typeOf(env, typeId);
  if (t.storageSize == 0) return false;
  if (isChannelKind(t.bufferType)) return true;
  if (t.bufferType == ARRAY_BUFFER) return holdsChannel(env, t.baseType, depth + 1);
  if (t.bufferType == NONE_BUFFER && t.baseType == TypeStructure) return fieldsHoldChannel(env, t, depth);
  return false;
}

void setEmptyChannels(InterpEnv* env, u32 typeId, DataCell* cells, u32 depth);

// count consecutive elements of elementType starting at cells, inside a
// value that has `available` cells from there.
void setEmptyElements(InterpEnv* env, u32 elementType, DataCell* cells, u32 count, u32 available,
                      u32 depth) {
  if (count == NO_ID || !holdsChannel(env, elementType, depth + 1)) return;
  const u32 elementCells = typeOf(env, elementType).storageSize;
  INTERP_ASSERT_TEXT(env, u64{count} * elementCells <= available,
                     "count * elementCells <= available");
  for (u32 i = 0; i < count; ++i) {
    setEmptyChannels(env, elementType, cells + u64{i} * elementCells, depth + 1);
  }
}

// Writes the empty index cells of every channel inside a zeroed value, the
// way the stored defaults of globals are laid out: a structure holding a
// queue starts as a usable empty queue.
void setEmptyChannels(InterpEnv* env, u32 typeId, DataCell* cells, u32 depth) {
  INTERP_ASSERT_TEXT(env, depth < kMaxTypeNesting, "depth < kMaxTypeNesting");
  const TypeDefinition& t = typeOf(env, typeId);
  if (t.storageSize == 0) return;
  if (isChannelKind(t.bufferType)) {
    if (t.storageSize < 2) return;
    channel_setEmpty(env, cells, t.bufferType);
    const u32 slots = t.size == NO_ID ? NO_ID : t.size + 1;
    setEmptyElements(env, t.baseType, cells + 2, slots, t.storageSize - 2, depth);
  } else if (t.bufferType == ARRAY_BUFFER) {
    setEmptyElements(env, t.baseType, cells, t.size, t.storageSize, depth);
  } else if (t.bufferType == NONE_BUFFER && t.baseType == TypeStructure) {
    u64 offset = 0;
    for (AST* cell : AST_cells(env->program, interp_nodeAt(env, t.fields))) {
      INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
      AST* field = AST_left(env->program, cell);
      INTERP_ASSERT_TEXT(env, field != nullptr && field->op == FIELD_STATEMENT,
                         "FIELD_STATEMENT == field->op");
      const u32 fieldType = field->value.id.type;
      const u32 fieldCells = typeOf(env, fieldType).storageSize;
      INTERP_ASSERT_TEXT(env, offset + fieldCells <= t.storageSize,
                         "offset + fieldCells <= type.storageSize");
      setEmptyChannels(env, fieldType, cells + offset, depth + 1);
      offset += fieldCells;
    }
  }
}

void declareConstant(InterpEnv* env, AST* declaration, u32 typeId) {
  // A local constant's value is stored by the compiler in the constant data,
  // at the index its initializer node names.
  AST* initializer = AST_right(env->program, declaration);
  INTERP_ASSERT_TEXT(env, initializer != nullptr && initializer->op == INITIALIZER_OP,
                     "INITIALIZER_OP == initializer->op");
  const u32 index = AST_getDeclInitId(env->program, declaration);
  const InfoProg* info = env->program->infoProg;
  INTERP_ASSERT_TEXT(env, index <= info->size_constantData &&
                              typeOf(env, typeId).storageSize <= info->size_constantData - index,
                     "index + storageSize <= env->program->infoProg->size_constantData");
  LocalConstant_define(env, typeId, env->program->constantDataTable + index);
}

void declareVariable(InterpEnv* env, AST* initializer, u32 typeId) {
  const u32 mark = interpStack_mark(env);
  const TaggedValue local = LocalVariable_declare(env, typeId);
  if (initializer != nullptr) {
    // The local keeps its own NO_ID global id whatever the value's origin,
    // so writing it never reaches a global's change hook.
    value_set(env, local, expr_execute(env, initializer));
  } else {
    value_clear(env, local);
  }
  // Declarations run inside loops without a statement of their own around
  // them: their temporaries go at once.
  interpStack_release(env, mark);
}

void declareLocal(InterpEnv* env, AST* declaration) {
  if (declaration == nullptr || declaration->op == COMMENT) return;
  const u32 typeId = declaration->value.id.type;
  typeOf(env, typeId);  // checks the id before anything is declared with it
  switch (declaration->op) {
    case CONSTANT_DECL_OP:
    case CONSTANT_ARRAY_DECL_OP:
      declareConstant(env, declaration, typeId);
      break;
    case VARIABLE_DECL_OP:
    case VARIABLE_BUFFER_DECL_OP:
    case IMPLICIT_VARIABLE_DECL:
      declareVariable(env, AST_right(env->program, declaration), typeId);
      break;
    case ITERATOR_DECL_OP:
      // Its right child names the buffer, it is no initial value: the
      // iterator starts at index 0 without a removal request.
      declareVariable(env, nullptr, typeId);
      break;
    default:
      INTERP_ASSERT_TEXT(env, false, "unknown local declaration");
  }
}

}  // namespace

u32 statement_execute(InterpEnv* env, AST* node) {
  if (node == nullptr) return STMT_NORMAL;
  // Blocks nest one call per level; an image may be damaged so that a
  // statement contains itself. Either ends in a report, not a crash.
  if (process_nativeStackLow()) interp_fatal(env, "Stack overflow\n");
  const program* p = env->program;
  // Temporaries die with their statement; the mark (not 0) keeps those of an
  // expression that called the function this statement belongs to.
  const u32 mark = interpStack_mark(env);
  u32 code = STMT_NORMAL;
  switch (node->op) {
    case BLOCK:
    case BLOCK_COMMON:
    case BLOCK_FINALLY:
      code = statement_block(env, AST_left(p, node), AST_right(p, node), false);
      break;
    case NAMED_BLOCK:
      // A break or continue inside ends the named block only.
      statement_block(env, AST_left(p, node), AST_right(p, node), true);
      break;
    case IF_OP: {
      AST* branches = AST_right(p, node);
      code = statement_if(env, AST_left(p, node), listNth(env, branches, 0),
                          listNth(env, branches, 1));
      break;
    }
    case WHILE_OP:
      statement_while(env, AST_left(p, node), AST_right(p, node));
      break;
    case FOR_OP: {
      AST* parts = AST_left(p, node);
      statement_for(env, listNth(env, parts, 0), listNth(env, parts, 1), listNth(env, parts, 2),
                    AST_right(p, node));
      break;
    }
    case LOOP_OVER_OP:
      // Loops consume the completion codes of their body.
      statement_loopover(env, node);
      break;
    case TIME_ANNOTATION:
    case USER_ANNOTATION:
    case PROCESS_ANNOTATION:
    case HARDWARE_ANNOTATION:
      statement_execute(env, AST_left(p, node));
      break;
    case BREAK_OP:
      code = STMT_BREAK;
      break;
    case CONTINUE_OP:
      code = STMT_CONTINUE;
      break;
    case COMMENT:
      break;
    default:
      expr_execute(env, node);
      break;
  }
  interpStack_release(env, mark);
  return code;
}

u32 statement_executeList(InterpEnv* env, AST* statements) {
  if (statements == nullptr) return STMT_NORMAL;
  if (statements->op != LIST) return statement_execute(env, statements);
  for (AST* cell : AST_cells(env->program, statements)) {
    INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
    const u32 code = statement_execute(env, AST_left(env->program, cell));
    if (code != STMT_NORMAL) return code;
  }
  return STMT_NORMAL;
}

TaggedValue statement_declareTimedLocals(InterpEnv* env, AST* declarations) {
  const LocalVarsIndexes& indexes = env->ctx->localVarsIndexes;
  const u32 first = indexes.count.variables;
  variable_declareLocals(env, declarations);
  INTERP_ASSERT_TEXT(env, indexes.count.variables > first, "time account declared");
  const TaggedValue account = LocalVariable_reference(env, first - indexes.base.variables);
  INTERP_ASSERT_TEXT(env, account.value != nullptr && typeOf(env, account.typeId).storageSize >= 1,
                     "time account has an execution_time cell");
  account.value[0] = 0;  // execution_time
  return account;
}

u32 statement_block(InterpEnv* env, AST* declarations, AST* statements, bool timed) {
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  TaggedValue account{nullptr, NO_ID, NO_ID};
  if (timed) {
    account = statement_declareTimedLocals(env, declarations);
  } else {
    variable_declareLocals(env, declarations);
  }
  const u32 code = statement_executeList(env, statements);
  // Read before the counts go back: the account's cells are free after that.
  if (timed) time_advance(env, account.value[0]);
  Variable_restorePrevLocalVarCounts(env, &saved);
  return code;
}

u32 statement_if(InterpEnv* env, AST* condition, AST* thenStatement, AST* elseStatement) {
  const u32 mark = interpStack_mark(env);
  const bool taken = expr_executeBoolean(env, condition);
  interpStack_release(env, mark);
  return statement_execute(env, taken ? thenStatement : elseStatement);
}

u32 statement_while(InterpEnv* env, AST* condition, AST* body) {
  const u32 mark = interpStack_mark(env);
  for (;;) {
    interp_checkInterrupt(env);
    interp_countLoopStep(env);
    const bool again = expr_executeBoolean(env, condition);
    interpStack_release(env, mark);
    if (!again) break;
    // A block body declares its locals afresh on every turn and drops them
    // at its end; continue (1) simply ends this turn.
    if (statement_execute(env, body) == STMT_BREAK) break;
  }
  return STMT_NORMAL;
}

u32 statement_for(InterpEnv* env, AST* init, AST* condition, AST* step, AST* body) {
  statement_execute(env, init);
  const u32 mark = interpStack_mark(env);
  for (;;) {
    interp_checkInterrupt(env);
    interp_countLoopStep(env);
    if (condition != nullptr) {
      const bool again = expr_executeBoolean(env, condition);
      interpStack_release(env, mark);
      if (!again) break;
    }
    if (statement_execute(env, body) == STMT_BREAK) break;
    statement_execute(env, step);
  }
  return STMT_NORMAL;
}

void variable_declareLocals(InterpEnv* env, AST* declarations) {
  if (declarations == nullptr) return;
  if (declarations->op != LIST) {
    declareLocal(env, declarations);
    return;
  }
  for (AST* cell : AST_cells(env->program, declarations)) {
    INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
    declareLocal(env, AST_left(env->program, cell));
  }
}

void variableDeclareSelf(InterpEnv* env, TaggedValue instance) {
  // self reaches the record by reference but is no global: writes through it
  // are not traced as writes of the variable that holds the record.
  instance.globalId = NO_ID;
  LocalVariable_bindReference(env, instance);
}

void value_set(InterpEnv* env, TaggedValue destination, TaggedValue source) {
  const TypeDefinition& to = typeOf(env, destination.typeId);
  const TypeDefinition& from = typeOf(env, source.typeId);
  const u32 cells = to.storageSize;
  if (cells == 0) return;
  INTERP_ASSERT_TEXT(env, destination.value != nullptr && source.value != nullptr,
                     "destination.value != NULL && source.value != NULL");
  const DataCell mask = value_scalarMask(env, destination.typeId);
  if (mask != 0) {
    // A scalar keeps its own width in a zeroed cell.
    *destination.value = *source.value & mask;
    return;
  }
  if (destination.value == source.value) return;
  if (isChannelKind(to.bufferType) && isChannelKind(from.bufferType) && from.size != NO_ID &&
      from.storageSize >= 2) {
    channel_copy(env, destination, source);
    return;
  }
  // A source of a concrete but smaller type gives what it has; abstract
  // sources (an initializer typed Structure) are laid out as the destination.
  const u32 copied = from.storageSize != 0 && from.storageSize < cells ? from.storageSize : cells;
  std::memmove(destination.value, source.value, copied * sizeof(DataCell));
  std::fill(destination.value + copied, destination.value + cells, DataCell{0});
}

void value_clear(InterpEnv* env, TaggedValue value) {
  const TypeDefinition& t = typeOf(env, value.typeId);
  if (t.storageSize == 0) return;
  INTERP_ASSERT_TEXT(env, value.value != nullptr, "value.value != NULL");
  std::fill(value.value, value.value + t.storageSize, DataCell{0});
  setEmptyChannels(env, value.typeId, value.value, 0);
}

TaggedValue field_get(InterpEnv* env, TaggedValue record, u32 fieldType, u32 offset) {
  const u32 fieldCells = typeOf(env, fieldType).storageSize;
  const u32 recordCells = typeOf(env, record.typeId).storageSize;
  INTERP_ASSERT_TEXT(env, record.value != nullptr, "record.value != NULL");
  // Records typed abstractly (Structure) carry no size to check against.
  INTERP_ASSERT_TEXT(env, recordCells == 0 || u64{offset} + fieldCells <= recordCells,
                     "offset + fieldCells <= recordCells");
  return TaggedValue{record.value + offset, fieldType, record.globalId};
}

void interp_exit(InterpEnv* env, size_t line, AST* expression) {
  INTERP_ASSERT(env, env->ctx->exit_callback != NULL);
  const u32 mark = interpStack_mark(env);
  const TaggedValue value = expr_execute(env, expression);
  INTERP_ASSERT_TEXT(env, value.value != nullptr && value.typeId < TypePrimitive,
                     "kIcrNotPrimType should not happen");
  // Any conversion is accepted: the exit code is the value's low byte.
  const u8 code = primTypeToUInt8(value, nullptr);
  interpStack_release(env, mark);
  env->ctx->exit_callback(env, line, code);
}

namespace {

const char* stringAt(InterpEnv* env, u32 stringId) {
  const program* p = env->program;
  INTERP_ASSERT_TEXT(env, stringId < p->infoProg->n_string,
                     "stringId < env->program->infoProg->n_string");
  const u32 offset = p->stringTableIndex[stringId];
  INTERP_ASSERT_TEXT(env, offset < p->infoProg->stringStorageSize,
                     "offset < env->program->infoProg->stringStorageSize");
  return p->stringTable + offset;
}

}  // namespace

void interp_assert(InterpEnv* env, size_t line, AST* condition, u32 fileNameString,
                   u32 textString) {
  const u32 mark = interpStack_mark(env);
  const bool holds = expr_executeBoolean(env, condition);
  interpStack_release(env, mark);
  if (holds) return;
  const char* fileName = stringAt(env, fileNameString);
  const char* text = stringAt(env, textString);
  if (env->ctx->assert_callback != nullptr) {
    env->ctx->assert_callback(env, false, fileName, line, "", text);
  }
}
