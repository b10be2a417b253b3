// AST nodes: the one array of fixed 24-byte cells that holds all code and
// declarations of a program, its operation codes, list helpers, the per-node
// line index and the accessors of each construct. Nodes live in the program's
// RAMprogram array, whose capacity never changes, so node pointers stay valid.
#pragma once
#include "program.h"

// Operation codes as stored in AST::op. The numbers are part of the image file.
enum ASTOperation : u32 {
  NONE_OP = 0,  // a node created empty, completed later; never valid when executed
  AFTER_OP = 1,
  AND_OP = 2,
  BIT_AND_OP = 3,
  BIT_LSHIFT_OP = 4,
  BIT_NOT_OP = 5,
  BIT_OR_OP = 6,
  BIT_RSHIFT_OP = 7,
  BIT_XOR_OP = 8,
  BLOCK = 9,
  BLOCK_COMMON = 10,
  BLOCK_FINALLY = 11,
  BOOLEAN_OP = 12,
  BREAK_OP = 13,
  CALL_OP = 14,
  CAST_OP = 15,
  CEQ_OP = 16,
  CGE_OP = 17,
  CLE_OP = 18,
  CNE_OP = 19,
  COMMENT = 20,
  CONSTANT_ARRAY_DECL_OP = 21,
  CONSTANT_DECL_OP = 22,
  CONTINUE_OP = 23,
  DIV_OP = 24,
  ENUM_VALUE_OP = 25,
  ASSIGN_OP = 26,
  FIELD_STATEMENT = 27,
  FLOAT_OP = 28,
  F32_LITERAL_OP = 29,
  F64_LITERAL_OP = 30,
  FOR_OP = 31,
  ARRAY_INDEX_OP = 32,
  GLOBAL_CONSTANT_OP = 33,
  GLOBAL_VARIABLE_OP = 34,
  GT_OP = 35,
  IF_OP = 36,
  IN_CHANNEL_PARAM = 37,
  INDEX_NODE = 38,
  IN_PARAM = 39,
  INTEGER_OP = 40,
  IO_OP = 41,
  ITERATOR_DECL_OP = 42,
  LIST = 43,
  LOCAL_CONSTANT_OP = 44,
  LOCAL_VAR = 45,
  LOOP_OVER_OP = 46,
  LT_OP = 47,
  MINUS_OP = 48,
  MOD_OP = 49,
  MS_LITERAL_OP = 50,
  MUL_OP = 51,
  NEG_OP = 52,
  NOT_OP = 53,
  ON_OP = 54,
  OR_OP = 55,
  OUT_CHANNEL_PARAM = 56,
  OUT_PARAM = 57,
  PLUS_OP = 58,
  PROCESS_INSTANCE_NODE = 59,
  STATIC_VARIABLE_OP = 60,
  S_LITERAL_OP = 61,
  STATE_DCL = 62,
  STRING_OP = 63,
  LABEL_STRING_OP = 64,
  INITIALIZER_OP = 65,
  SYM = 66,
  TYPE_OP = 67,
  US_LITERAL_OP = 68,
  NS_LITERAL_OP = 69,
  FREQUENCY_OP = 70,
  VARIABLE_BUFFER_DECL_OP = 71,
  VARIABLE_DECL_OP = 72,
  STATIC_VARIABLE_DECL_OP = 73,
  STATIC_VARIABLE_BUFFER_DECL_OP = 74,
  WHILE_OP = 75,
  TIME_ANNOTATION = 76,
  USER_ANNOTATION = 77,
  TRANSITION_BODY = 78,
  PROCESS_ANNOTATION = 79,
  HARDWARE_ANNOTATION = 80,
  NAMED_BLOCK = 81,
  NAMED_STATE_STATEMENT = 82,
  ROOT = 83,
  FUNCTION_DECLARATION = 84,
  FUNCTION_PROTOTYPE = 85,
  PROCESS_DECLARATION = 86,
  PROCESS_PROTOTYPE = 87,
  TYPE_DECLARATION = 88,
  IMPLICIT_VARIABLE_DECL = 89,
  INCLUDE_OP = 90,
};
constexpr u32 AST_OPERATION_COUNT = 91;

// The u32 id held in the first four bytes of a node value, under the name of
// its role (type, string, initializer) or as a plain id.
union ASTIdValue {
  u32 id;
  u32 type;
  u32 string;
  u32 initializer;
};

// A node's value, by operation: an id, a boolean byte, a 64-bit integer
// (sign-extended for negative literals), a float32 or a float64.
union ASTValue {
  ASTIdValue id;
  u8 boolean;
  s64 integer;
  u64 uinteger;
  float f32;
  double f64;
  u32 halves[2];
};

// The node record: identical in memory and in the image file.
struct AST {
  u32 op;
  u32 reserved;  // always 0
  ASTValue value;
  u32 left;   // NO_ID when absent
  u32 right;  // NO_ID when absent
};
static_assert(sizeof(AST) == 24, "the node record is 24 bytes in the image file");

// Tree and line index.
void AST_createTree(program* p, u32 capacity);
void AST_createLineIndex(program* p, u32 capacity);
AST* AST_makeNodeVal(program* p, u32 op, u32 valueLow, u32 valueHigh, AST* left, AST* right,
                     u32 line);
AST* AST_makeNode(program* p, u32 op, u32 valueLow, u32 valueHigh, AST* left, AST* right,
                  u32 line);
AST* AST_makeBooleanNode(program* p, bool b, u32 line);
AST* AST_makeEmptyNode(program* p, u32 line);
// Appends a node given as its six stored words (op, reserved, value low,
// value high, left, right); used by the image reader.
AST* AST_AddNode(program* p, const u32 words[6]);

u32 AST_id(const program* p, const AST* node);
AST* AST_fromId(const program* p, u32 id);
AST* AST_left(const program* p, const AST* node);
AST* AST_right(const program* p, const AST* node);
u32 AST_lineFromId(const program* p, u32 id);
u32 AST_line(const program* p, const AST* node);
AST* AST_getTree(const program* p);
u32 AST_getTreeNodesCount(const program* p);
u32 AST_get_tree_size(const program* p);
void AST_set_tree_size(program* p, u32 n);

// Lists: chains of LIST cells; the element is left, the rest of the list right.
AST* AST_makeList1(program* p, AST* e1, u32 line);
AST* AST_makeList2(program* p, AST* e1, AST* e2, u32 line);
AST* AST_makeList3(program* p, AST* e1, AST* e2, AST* e3, u32 line);
AST* AST_addListLast(program* p, AST* list, AST* element, u32 line);
u32 AST_listSize(const program* p, const AST* list);
AST* AST_getListNth(const program* p, const AST* list, u32 n);
AST* AST_getListNthRoot(const program* p, const AST* list, u32 n);
AST* AST_getListFirst(const program* p, const AST* list);
AST* AST_list1st(const program* p, const AST* list);
AST* AST_list2nd(const program* p, const AST* list);
AST* AST_getCar(const program* p, const AST* list);
AST* AST_getCdr(const program* p, const AST* list);
AST* AST_getListNext(const program* p, const AST* list);

// Iterator over the cells of a list.
struct ast_iterator {
  const program* p;
  AST* cell;
};
ast_iterator ast_it_create(const program* p, AST* list);
AST* ast_it_current(const ast_iterator* it);
void ast_it_next(ast_iterator* it);
bool ast_it_notEnd(const ast_iterator* it);
bool ast_it_hasNext(const ast_iterator* it);

// Accessors by construct.
u32 AST_getCallCode(const program* p, const AST* call);
AST* AST_getCallObj(const program* p, const AST* call);
AST* AST_getCallArgs(const program* p, const AST* call);
u32 AST_getCustomFuncId(const program* p, const AST* call);
u32 AST_getCallCustomFldSymId(const program* p, const AST* call);
u32 AST_getTypeTypeId(const program* p, const AST* type);
u32 AST_getVarId(const program* p, const AST* access);
u32 AST_getVarDeclTypeId(const program* p, const AST* decl);
u32 AST_getVarType(const program* p, const AST* decl);
u32 AST_getDeclInitId(const program* p, const AST* decl);
u32 AST_getInitializerId(const program* p, const AST* init);
u32 AST_getStateId(const program* p, const AST* state);
AST* AST_getStateBlock(const program* p, const AST* state);
AST* AST_getStateDeclaration(const program* p, const AST* state);
AST* AST_getStateTransitions(const program* p, const AST* stateDecl);
AST* AST_getOnTransitionCondition(const program* p, const AST* trans);
AST* AST_getAfterTransitionDelay(const program* p, const AST* trans);
AST* AST_getAfterTransitionCondition(const program* p, const AST* trans);
AST* AST_getOnTransitionStatement(const program* p, const AST* trans);
AST* AST_getAfterTransitionStatement(const program* p, const AST* trans);
AST* AST_getTransitionReachedASTState(const program* p, const AST* trans);
bool AST_isAnnotation(u32 op);
