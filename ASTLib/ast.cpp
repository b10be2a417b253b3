#include "ast.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velk_memory.h"

namespace {

// Ends the process when the tree is full; the capacity comes from the
// compiler's -m option, or from the image reader (n_AST + 1000).
[[noreturn]] void treeCapacityExceeded() {
  std::fputs("Error: Memory model too small enlarge using -m option\n", stdout);
  std::fflush(stdout);
  std::exit(666);
}

u32 idOf(const program* p, const AST* node) { return node == nullptr ? NO_ID : AST_id(p, node); }

// Takes the next node slot. Capacity k holds k - 1 nodes: the count after
// adding must stay below the capacity.
// Nodes are taken in order from an array sized for the largest program:
// its pages are made resident a block ahead of use, in one request per block.
constexpr u32 kPrefaultNodes = 16384;

void prefaultBlock(program* p, u32 first) {
  const u32 count = std::min(kPrefaultNodes, p->infoProg->max_ast_size - first);
  memory_prefault(p->RAMprogram + first, size_t{count} * sizeof(AST));
  if (p->dbg->nodeLine != nullptr) memory_prefault(p->dbg->nodeLine + first, size_t{count} * sizeof(u32));
}

// Blocks the helper keeps resident beyond the one being filled.
constexpr u32 kPrefaultAhead = 4;

}  // namespace

// The helper thread: `wanted` is the node count it makes resident up to,
// raised by the builder at each block; kStop ends it.
struct AST_BackgroundPrefault::Helper {
  static constexpr u32 kStop = NO_ID;
  explicit Helper(program* tree, u32 firstBlock) : p(tree), done(firstBlock) {
    worker = std::thread([this] { run(); });
  }
  void run() {
    for (;;) {
      const u32 want = wanted.load(std::memory_order_acquire);
      if (want == kStop) return;
      if (done >= want) {
        wanted.wait(want, std::memory_order_acquire);
        continue;
      }
      prefaultBlock(p, done);
      done += kPrefaultNodes;
    }
  }
  // Called by the builder as it starts the block at `first`.
  void advance(u32 first) {
    const u32 limit = p->infoProg->max_ast_size;
    const u32 want = first < limit - std::min(limit, kPrefaultAhead * kPrefaultNodes)
                         ? first + kPrefaultAhead * kPrefaultNodes
                         : limit;
    wanted.store(want, std::memory_order_release);
    wanted.notify_one();
  }
  void stop() {
    wanted.store(kStop, std::memory_order_release);
    wanted.notify_one();
    worker.join();
  }

  program* p;
  u32 done;  // the helper's own: blocks below it are resident
  std::atomic<u32> wanted{0};
  std::thread worker;
};

namespace {

std::atomic<AST_BackgroundPrefault::Helper*> gPrefaultHelper{nullptr};

AST* takeNode(program* p) {
  InfoProg* info = p->infoProg;
  u32 id = info->n_AST;
  info->n_AST++;
  VELK_ASSERT(p->infoProg->n_AST < NO_ID);
  if (info->n_AST >= info->max_ast_size) treeCapacityExceeded();
  if (id % kPrefaultNodes == 0) {
    AST_BackgroundPrefault::Helper* helper = gPrefaultHelper.load(std::memory_order_relaxed);
    if (helper != nullptr && helper->p == p) {
      helper->advance(id);
    } else {
      prefaultBlock(p, id);
    }
  }
  return &p->RAMprogram[id];
}

const AST* checkedList(const program* p, const AST* list) {
  (void)p;
  const AST* astp = list;
  VELK_ASSERT(astp->op == LIST);
  return astp;
}

}  // namespace

AST_BackgroundPrefault::AST_BackgroundPrefault(program* p) {
  // The block in progress was made resident when it was started.
  const u32 next = (p->infoProg->n_AST + kPrefaultNodes - 1) / kPrefaultNodes * kPrefaultNodes;
  helper_ = std::make_unique<Helper>(p, next);
  helper_->advance(next);
  Helper* none = nullptr;
  const bool first = gPrefaultHelper.compare_exchange_strong(none, helper_.get());
  VELK_ASSERT(first && "one background prefault at a time");
  (void)first;
}

AST_BackgroundPrefault::~AST_BackgroundPrefault() {
  Helper* mine = helper_.get();
  gPrefaultHelper.compare_exchange_strong(mine, nullptr);
  helper_->stop();
}

void AST_createTree(program* p, u32 capacity) {
  p->RAMprogram = MEMORY_ALLOC(capacity, AST, "program->RAMprogram");
  p->infoProg->max_ast_size = capacity;
  p->root = p->RAMprogram;
}

void AST_createLineIndex(program* p, u32 capacity) {
  VELK_ASSERT((NULL == p->dbg->nodeLine) && "line index already initialized");
  p->dbg->nodeLine = MEMORY_ALLOC(capacity, u32, "program->dbg->nodeLine");
}

AST* AST_makeNodeVal(program* p, u32 op, u32 valueLow, u32 valueHigh, AST* left, AST* right,
                     u32 line) {
  u32 leftId = idOf(p, left);
  u32 rightId = idOf(p, right);
  AST* node = takeNode(p);
  node->op = op;
  node->reserved = 0;
  node->value.halves[0] = valueLow;
  node->value.halves[1] = valueHigh;
  node->left = leftId;
  node->right = rightId;
  if (p->dbg->nodeLine != nullptr) p->dbg->nodeLine[node - p->RAMprogram] = line;
  return node;
}

AST* AST_makeNode(program* p, u32 op, u32 valueLow, u32 valueHigh, AST* left, AST* right,
                  u32 line) {
  return AST_makeNodeVal(p, op, valueLow, valueHigh, left, right, line);
}

AST* AST_makeBooleanNode(program* p, bool b, u32 line) {
  return AST_makeNodeVal(p, BOOLEAN_OP, b ? 1u : 0u, 0, nullptr, nullptr, line);
}

AST* AST_makeEmptyNode(program* p, u32 line) {
  return AST_makeNodeVal(p, NONE_OP, 0, 0, nullptr, nullptr, line);
}

AST* AST_AddNode(program* p, const u32 words[6]) {
  AST* node = takeNode(p);
  std::memcpy(node, words, sizeof(AST));
  return node;
}

u32 AST_lineFromId(const program* p, u32 id) {
  VELK_ASSERT(id < p->infoProg->max_ast_size);
  VELK_ASSERT(p->dbg->nodeLine != NULL);
  return p->dbg->nodeLine[id];
}

u32 AST_line(const program* p, const AST* node) { return AST_lineFromId(p, AST_id(p, node)); }

AST* AST_getTree(const program* p) { return p->RAMprogram; }
u32 AST_getTreeNodesCount(const program* p) { return p->infoProg->n_AST; }
u32 AST_get_tree_size(const program* p) { return p->infoProg->n_AST; }
void AST_set_tree_size(program* p, u32 n) { p->infoProg->n_AST = n; }

AST* AST_makeList1(program* p, AST* e1, u32 line) {
  return AST_makeNodeVal(p, LIST, 0, 0, e1, nullptr, line);
}

AST* AST_makeList2(program* p, AST* e1, AST* e2, u32 line) {
  AST* rest = AST_makeList1(p, e2, line);
  return AST_makeNodeVal(p, LIST, 0, 0, e1, rest, line);
}

AST* AST_makeList3(program* p, AST* e1, AST* e2, AST* e3, u32 line) {
  AST* rest = AST_makeList2(p, e2, e3, line);
  return AST_makeNodeVal(p, LIST, 0, 0, e1, rest, line);
}

AST* AST_addListLast(program* p, AST* list, AST* element, u32 line) {
  VELK_ASSERT(list != NULL);
  AST* last = list;
  while (last->right != NO_ID) last = AST_fromId(p, last->right);
  AST* cell = AST_makeList1(p, element, line);
  last->right = AST_id(p, cell);
  return list;
}

u32 AST_listSize(const program* p, const AST* list) {
  u32 count = 0;
  for (const AST* cell = list; cell != nullptr && cell->op == LIST; cell = AST_right(p, cell)) {
    ++count;
  }
  return count;
}

AST* AST_getListNthRoot(const program* p, const AST* list, u32 n) {
  const AST* cell = list;
  for (u32 i = 0; cell != nullptr && i < n; ++i) cell = AST_right(p, cell);
  return const_cast<AST*>(cell);
}

AST* AST_getListNth(const program* p, const AST* list, u32 n) {
  checkedList(p, list);
  AST* cell = AST_getListNthRoot(p, list, n);
  return cell == nullptr ? nullptr : AST_left(p, cell);
}

AST* AST_getListFirst(const program* p, const AST* list) { return AST_getListNth(p, list, 0); }
AST* AST_list1st(const program* p, const AST* list) { return AST_left(p, list); }
AST* AST_list2nd(const program* p, const AST* list) {
  AST* rest = AST_right(p, list);
  return rest == nullptr ? nullptr : AST_left(p, rest);
}
AST* AST_getCar(const program* p, const AST* list) { return AST_left(p, checkedList(p, list)); }
AST* AST_getCdr(const program* p, const AST* list) { return AST_right(p, checkedList(p, list)); }
AST* AST_getListNext(const program* p, const AST* list) {
  return AST_right(p, checkedList(p, list));
}

ast_iterator ast_it_create(const program* p, AST* list) { return ast_iterator{p, list}; }
AST* ast_it_current(const ast_iterator* it) { return AST_getCar(it->p, it->cell); }
void ast_it_next(ast_iterator* it) { it->cell = AST_getCdr(it->p, it->cell); }
bool ast_it_notEnd(const ast_iterator* it) { return it->cell != nullptr; }
bool ast_it_hasNext(const ast_iterator* it) { return it->cell != nullptr && it->cell->right != NO_ID; }

u32 AST_getCallCode(const program* p, const AST* call) {
  VELK_ASSERT(INDEX_NODE == AST_left(p, call)->op);
  return AST_left(p, call)->value.id.id;
}

AST* AST_getCallObj(const program* p, const AST* call) { return AST_left(p, AST_left(p, call)); }
AST* AST_getCallArgs(const program* p, const AST* call) { return AST_right(p, call); }

u32 AST_getCustomFuncId(const program* p, const AST* call) {
  const AST* index = AST_right(p, AST_left(p, call));
  VELK_ASSERT(INDEX_NODE == index->op);
  return index->value.id.id;
}

u32 AST_getCallCustomFldSymId(const program* p, const AST* call) {
  return AST_right(p, AST_left(p, call))->value.id.id;
}

u32 AST_getTypeTypeId(const program* p, const AST* type) {
  VELK_ASSERT(TYPE_OP == type->op);
  return AST_left(p, type)->value.id.id;
}

u32 AST_getVarId(const program* p, const AST* access) { return AST_left(p, access)->value.id.id; }
u32 AST_getVarDeclTypeId(const program*, const AST* decl) { return decl->value.id.type; }
u32 AST_getVarType(const program*, const AST* decl) { return decl->value.id.type; }
u32 AST_getDeclInitId(const program* p, const AST* decl) { return AST_right(p, decl)->value.id.id; }
u32 AST_getInitializerId(const program*, const AST* init) { return init->value.id.initializer; }

u32 AST_getStateId(const program*, const AST* state) {
  VELK_ASSERT(NAMED_STATE_STATEMENT == state->op);
  return state->value.id.id;
}

AST* AST_getStateBlock(const program* p, const AST* state) {
  VELK_ASSERT(NAMED_STATE_STATEMENT == state->op);
  return AST_left(p, state);
}

AST* AST_getStateDeclaration(const program* p, const AST* state) {
  VELK_ASSERT(NAMED_STATE_STATEMENT == state->op);
  return AST_right(p, state);
}

AST* AST_getStateTransitions(const program* p, const AST* stateDecl) {
  VELK_ASSERT(STATE_DCL == stateDecl->op);
  return AST_right(p, stateDecl);
}

namespace {
const AST* checkedTransition(const AST* trans) {
  VELK_ASSERT((ON_OP == trans->op) || (AFTER_OP == trans->op));
  return trans;
}
}  // namespace

AST* AST_getOnTransitionCondition(const program* p, const AST* trans) {
  return AST_left(p, AST_left(p, checkedTransition(trans)));
}
AST* AST_getAfterTransitionDelay(const program* p, const AST* trans) {
  return AST_left(p, AST_left(p, checkedTransition(trans)));
}
AST* AST_getAfterTransitionCondition(const program* p, const AST* trans) {
  return AST_right(p, AST_left(p, checkedTransition(trans)));
}
AST* AST_getOnTransitionStatement(const program* p, const AST* trans) {
  return AST_right(p, checkedTransition(trans));
}
AST* AST_getAfterTransitionStatement(const program* p, const AST* trans) {
  return AST_right(p, checkedTransition(trans));
}
AST* AST_getTransitionReachedASTState(const program* p, const AST* trans) {
  return AST_fromId(p, AST_left(p, checkedTransition(trans))->value.id.id);
}

bool AST_isAnnotation(u32 op) {
  return op == TIME_ANNOTATION || op == USER_ANNOTATION || op == PROCESS_ANNOTATION ||
         op == HARDWARE_ANNOTATION;
}
