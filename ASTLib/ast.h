// AST nodes: the one array of fixed 24-byte cells that holds all code and
// declarations of a program, its operation codes, list helpers, the per-node
// line index and the accessors of each construct. Nodes live in the program's
// RAMprogram array, whose capacity never changes, so node pointers stay valid.
#pragma once
#include <memory>

#include "program.h"

// Operation codes as stored in AST::op. The numbers are part of the image file.
//
// Beside each code, the shape of its node: v = value, l = left, r = right. A
// field not named is 0 (value) or NO_ID (child). Shorthands: T = a type id,
// sym = a symbol id, "op type" = the primitive type (below TypePrimitive)
// whose operator function evaluates the node, "decl" = the declaration node
// (NO_ID when there is none), (a, b) = a LIST of those elements, "body" = a
// BLOCK, a NAMED_BLOCK or an annotation around one.
enum ASTOperation : u32 {
  NONE_OP = 0,     // made empty and completed later; never valid when executed
  AFTER_OP = 1,    // v=target state sym  l=TRANSITION_BODY  r=body, absent when none
  AND_OP = 2,      // v=op type  l,r=operands; short-circuit
  BIT_AND_OP = 3,  // v=op type  l,r=operands (so are all binary operators below)
  BIT_LSHIFT_OP = 4,
  BIT_NOT_OP = 5,  // v=op type  l=operand
  BIT_OR_OP = 6,
  BIT_RSHIFT_OP = 7,
  BIT_XOR_OP = 8,
  BLOCK = 9,            // l=(declarations...)  r=(statements...)
  BLOCK_COMMON = 10,    // as BLOCK; read, never made, by the compiler
  BLOCK_FINALLY = 11,   // as BLOCK; likewise
  BOOLEAN_OP = 12,      // v.boolean=0 or 1
  BREAK_OP = 13,        // no fields
  CALL_OP = 14,         // v=result T  l=INDEX_NODE(v=call code, l=object or TYPE_OP,
                        // r=INDEX_NODE of the user function or sub-instance, or the
                        // INTEGER_OP field offset of kCallFieldCustom)  r=(arguments...)
  CAST_OP = 15,         // v=target T  l=operand
  CEQ_OP = 16,          // v=op type  l,r=operands; comparisons yield a bool
  CGE_OP = 17,
  CLE_OP = 18,
  CNE_OP = 19,
  COMMENT = 20,                 // v=the comment's number in the compiler's list
  CONSTANT_ARRAY_DECL_OP = 21,  // v=buffer T  l=(name SYM, size expression)  r=initializer
  CONSTANT_DECL_OP = 22,        // v=T  l=name SYM  r=initializer
  CONTINUE_OP = 23,             // no fields
  DIV_OP = 24,
  ENUM_VALUE_OP = 25,    // v=enumeration T  l=SYM of the enumerator (its sym is the value)
                         // r=TYPE_OP of the enumeration
  ASSIGN_OP = 26,        // l=target  r=value
  FIELD_STATEMENT = 27,  // v=field T (the enumeration T for an enumerator)  l=name SYM
  FLOAT_OP = 28,         // v=spelling index  l=INDEX_NODE(v=spelling index); untyped,
                         // recoded as F32_ or F64_LITERAL_OP before the image is written
  F32_LITERAL_OP = 29,   // v.f32
  F64_LITERAL_OP = 30,   // v.f64
  FOR_OP = 31,           // l=(initial assignment, condition, step assignment)  r=body
  ARRAY_INDEX_OP = 32,   // l=array  r=index
  GLOBAL_CONSTANT_OP = 33,  // v=T  l=INDEX_NODE(v=global constant id)  r=decl
  GLOBAL_VARIABLE_OP = 34,  // v=T  l=INDEX_NODE(v=global variable id)  r=decl
  GT_OP = 35,
  IF_OP = 36,            // l=condition  r=(then BLOCK, else BLOCK or IF_OP or absent)
  IN_CHANNEL_PARAM = 37, // v=T  l=name SYM (so are the other parameters)
  INDEX_NODE = 38,       // v=an id (call code, function, definition, instance, type,
                         // local index, symbol); l,r as its user says
  IN_PARAM = 39,
  INTEGER_OP = 40,          // v=the value, 64 bits
  IO_OP = 41,               // v=TypeIO
  ITERATOR_DECL_OP = 42,    // v=iterator T  l=name SYM  r=buffer expression
  LIST = 43,                // l=element  r=next cell
  LOCAL_CONSTANT_OP = 44,   // v=T  l=INDEX_NODE(v=index in the frame)  r=decl
  LOCAL_VAR = 45,           // v=T  l=INDEX_NODE(v=index in the frame)  r=decl
  LOOP_OVER_OP = 46,        // l=ITERATOR_DECL_OP  r=BLOCK
  LT_OP = 47,
  MINUS_OP = 48,
  MOD_OP = 49,
  MS_LITERAL_OP = 50,  // v=count, or both halves NO_ID and l=count expression (and US_, NS_, S_)
  MUL_OP = 51,
  NEG_OP = 52,         // v=op type  l=operand
  NOT_OP = 53,         // v=op type  l=operand
  ON_OP = 54,          // v=target state sym  l=TRANSITION_BODY  r=body, absent when none
  OR_OP = 55,          // v=op type  l,r=operands; short-circuit
  OUT_CHANNEL_PARAM = 56,
  OUT_PARAM = 57,
  PLUS_OP = 58,
  PROCESS_INSTANCE_NODE = 59,  // v=instance sym  l=INDEX_NODE(v=definition id, l=its name
                               // SYM)  r=(arguments LIST, (period, offset), condition) for a
                               // global instance, INDEX_NODE(v=instance sym) for a sub-instance
  STATIC_VARIABLE_OP = 60,     // v=T  l=INDEX_NODE(v=static index)  r=decl
  S_LITERAL_OP = 61,
  STATE_DCL = 62,              // l=body  r=(ON_OP or AFTER_OP...)
  STRING_OP = 63,              // v=first cell in constantDataTable (a uint8[] value)
  LABEL_STRING_OP = 64,        // v=string id; equal strings share one
  INITIALIZER_OP = 65,  // v=first cell in constantDataTable, NO_ID until stored
                        // l=content (expression, or LIST of elements)  r=TYPE_OP(v=T)
  SYM = 66,             // v=sym
  TYPE_OP = 67,         // v=TypeType  l=INDEX_NODE(v=T); never evaluated. As an
                        // INITIALIZER_OP's right: v=the initialized T, no children
  US_LITERAL_OP = 68,
  NS_LITERAL_OP = 69,
  FREQUENCY_OP = 70,                  // v=picoseconds (a frequency's period, or a ps duration)
  VARIABLE_BUFFER_DECL_OP = 71,       // v=buffer T  l=(name SYM, size expression)  r=initializer
  VARIABLE_DECL_OP = 72,              // v=T  l=name SYM  r=initializer
  STATIC_VARIABLE_DECL_OP = 73,       // as VARIABLE_DECL_OP
  STATIC_VARIABLE_BUFFER_DECL_OP = 74,  // as VARIABLE_BUFFER_DECL_OP
  WHILE_OP = 75,                      // l=condition  r=BLOCK
  TIME_ANNOTATION = 76,  // v=NO_ID  l=annotated item  r=(path SYMs...)
  USER_ANNOTATION = 77,  // l=annotated item  r=(path SYMs...); no effect when run
  TRANSITION_BODY = 78,  // v=target NAMED_STATE_STATEMENT id once linked, else NO_ID
                         // l=on condition or after duration  r=after's if condition
  PROCESS_ANNOTATION = 79,     // v=global variable id of the instance  l,r as TIME_
  HARDWARE_ANNOTATION = 80,    // v=NO_ID, or a global variable id  l,r as TIME_
  NAMED_BLOCK = 81,            // l=(IMPLICIT_VARIABLE_DECL of the name)  r=(BLOCK)
  NAMED_STATE_STATEMENT = 82,  // v=state sym  l=(IMPLICIT_VARIABLE_DECL of the name)
                               // r=STATE_DCL
  ROOT = 83,                   // l=(top-level declarations...); node 0
  FUNCTION_DECLARATION = 84,   // v=name sym  l=(parameters...)  r=body
  FUNCTION_PROTOTYPE = 85,     // v=name sym  l=(parameters...)
  PROCESS_DECLARATION = 86,    // v=name sym  l=(parameters...)  r=(statics LIST,
                               // sub-instances LIST, locals LIST, common, states, finally)
  PROCESS_PROTOTYPE = 87,      // v=name sym  l=(parameters...)
  TYPE_DECLARATION = 88,       // v=T  l=name SYM  r=(FIELD_STATEMENT...) or absent
  IMPLICIT_VARIABLE_DECL = 89, // v=T  l=name SYM: instance, state and block records
  INCLUDE_OP = 90,             // v=string id of the file name  l=(its declarations...)
};
constexpr u32 AST_OPERATION_COUNT = 91;

// Picoseconds per unit of the time literals (NS_, US_, MS_ and S_LITERAL_OP):
// time64 values count picoseconds.
constexpr u64 kPicosecondsPerNs = 1000;
constexpr u64 kPicosecondsPerUs = 1000 * kPicosecondsPerNs;
constexpr u64 kPicosecondsPerMs = 1000 * kPicosecondsPerUs;
constexpr u64 kPicosecondsPerS = 1000 * kPicosecondsPerMs;

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

// While one of these lives, the pages of the tree and of its line index are
// made resident by a helper thread, a few blocks ahead of the node being
// taken, so that the system zeroes them while the caller goes on building.
// Without one, the caller does it itself, one block at a time. One at a time
// per process; destroying it stops the helper. A process that ends while one
// lives (exit on a source error) needs no clean-up: the helper only waits or
// makes pages resident.
class AST_BackgroundPrefault {
 public:
  explicit AST_BackgroundPrefault(program* p);
  ~AST_BackgroundPrefault();
  AST_BackgroundPrefault(const AST_BackgroundPrefault&) = delete;
  AST_BackgroundPrefault& operator=(const AST_BackgroundPrefault&) = delete;
  struct Helper;

 private:
  std::unique_ptr<Helper> helper_;
};

// Node to id and back: an absent node is NO_ID and NO_ID no node. Defined
// here, as every pass of the compiler and the interpreter calls them.
inline u32 AST_id(const program* p, const AST* node) {
  if (node == nullptr) return NO_ID;
  VELK_ASSERT(node >= p->RAMprogram);
  VELK_ASSERT(node < p->RAMprogram + p->infoProg->n_AST);
  return static_cast<u32>(node - p->RAMprogram);
}
inline AST* AST_fromId(const program* p, u32 id) {
  if (id == NO_ID) return nullptr;
  VELK_ASSERT((id < p->infoProg->n_AST));
  return &p->RAMprogram[id];
}
// The node with that id, or nullptr for NO_ID and any id past the tree: for
// walks that must stop quietly on a damaged image rather than fail a check.
inline const AST* AST_nodeIfPresent(const program* p, u32 id) {
  return id < p->infoProg->n_AST ? &p->RAMprogram[id] : nullptr;
}
inline AST* AST_left(const program* p, const AST* node) { return AST_fromId(p, node->left); }
inline AST* AST_right(const program* p, const AST* node) { return AST_fromId(p, node->right); }
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
