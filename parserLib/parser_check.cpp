#include "parser_check.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "parser_error.h"
#include "small_stack.h"
#include "source_walk.h"
#include "velk_typing.h"

namespace {

// Names of the errors a folded operation can meet. The critical ones are the
// interpreter's invalid operations of the same order, in the compiler's
// wording.
const char* opErrName(u32 error) {
  static constexpr const char* kNonCritical[] = {"none", "wrap", "overflow"};
  static_assert(std::size(kNonCritical) == kFirstCriticalOpError);
  static_assert(OPERR_MODULO_MINUS_ONE - kFirstCriticalOpError == INVALID_OP_MODULO_MINUS_ONE);
  if (error < kFirstCriticalOpError) return kNonCritical[error];
  if (error > OPERR_MODULO_MINUS_ONE) return nullptr;
  return interp_invalidOperationName(error - kFirstCriticalOpError, InvalidOpWording::Diagnostic);
}

program* prog(ParserEnv* env) { return env->program; }

const char* symbolName(ParserEnv* env, u32 symbol) {
  return symbol < prog(env)->infoProg->n_symbols ? Symbol_getName(prog(env), symbol) : "";
}

const char* typeName(ParserEnv* env, u32 type) {
  return type < prog(env)->infoProg->n_type ? Type_getName(prog(env), type) : "<unknown>";
}

u32 lineOf(ParserEnv* env, const AST* node) {
  return node == nullptr ? 0 : AST_line(prog(env), node);
}

// Every diagnostic of the checks is about one node: it becomes checkedNode,
// so that anything reported meanwhile by other modules gets its line too.
void focus(ParserEnv* env, const AST* node) {
  if (node != nullptr) env->pctx->checkedNode = AST_id(prog(env), node);
}

void failAt(ParserEnv* env, int status, const char* file, const AST* node, const char* detail,
            const char* format, ...) __attribute__((format(printf, 6, 7)));
// Formats a check's message; the report itself takes it as "%s".
struct CheckMessage {
  char text[4096];
};

CheckMessage formatMessage(const char* format, va_list args) {
  CheckMessage message;
  std::vsnprintf(message.text, sizeof message.text, format, args);
  return message;
}

void failAt(ParserEnv* env, int status, const char* file, const AST* node, const char* detail,
            const char* format, ...) {
  va_list args;
  va_start(args, format);
  const CheckMessage message = formatMessage(format, args);
  va_end(args);
  focus(env, node);
  parser_failure(env, status, file, lineOf(env, node), detail, "%s", message.text);
}

// Returns whether the warning counted as an error (warnings as errors).
bool warnAt(ParserEnv* env, int status, const char* file, const AST* node, const char* detail,
            const char* format, ...) __attribute__((format(printf, 6, 7)));
bool warnAt(ParserEnv* env, int status, const char* file, const AST* node, const char* detail,
            const char* format, ...) {
  va_list args;
  va_start(args, format);
  const CheckMessage message = formatMessage(format, args);
  va_end(args);
  focus(env, node);
  parser_warning(env, status, file, lineOf(env, node), detail, "%s", message.text);
  return warningsAsErrors;
}

// The i-th element of a LIST (nullptr when absent).
AST* nth(ParserEnv* env, AST* list, u32 i) {
  return list == nullptr || list->op != LIST ? nullptr : AST_getListNth(prog(env), list, i);
}

// ---------------------------------------------------------------------------
// Program iteration: the declarations of each file, and of the whole program
// with included files in place, each with the name of its file.

struct Declaration {
  AST* node;
  u32 file;  // index into ProgramView::fileNames
};

struct ProgramView {
  std::vector<std::string> fileNames;
  std::vector<const AST*> fileNodes;              // nullptr for the main file
  std::vector<std::vector<Declaration>> perFile;  // by file index, main file first
  std::vector<Declaration> all;                   // program order
  const char* fileName(u32 file) const { return fileNames[file].c_str(); }
};

std::string includeName(ParserEnv* env, const AST* fileNode) {
  program* p = prog(env);
  u32 string = fileNode->value.id.string;
  if (string >= p->infoProg->n_string) return "";
  return p->stringTable + p->stringTableIndex[string];
}

ProgramView viewProgram(ParserEnv* env, const char* mainFileName) {
  program* p = prog(env);
  ProgramView view;
  view.fileNames.emplace_back(mainFileName != nullptr ? mainFileName : "");
  view.fileNodes.push_back(nullptr);
  view.perFile.emplace_back();
  if (p->root == nullptr) return view;
  // Files are numbered as their includes are met; the index of the file being
  // read is on top of the stack.
  struct Viewer : SourceVisitor {
    Viewer(ParserEnv* e, ProgramView& v) : env(e), view(v) {}
    ParserEnv* env;
    ProgramView& view;
    std::vector<u32> files{0};
    bool enterFile(const AST* file) {
      files.push_back(static_cast<u32>(view.fileNames.size()));
      view.fileNames.push_back(includeName(env, file));
      view.fileNodes.push_back(file);
      view.perFile.emplace_back();
      return true;
    }
    bool declaration(AST* node, const AST*) {
      view.perFile[files.back()].push_back({node, files.back()});
      view.all.push_back({node, files.back()});
      return true;
    }
    bool leaveFile(const AST*) {
      files.pop_back();
      return true;
    }
  } viewer(env, view);
  parser_walkSource(p, p->root, viewer);
  return view;
}

// Debug builds compare what the checks take by a shortcut (the view from the
// log, a plan made ahead) with what the plain way gives.
#ifdef NDEBUG
constexpr bool kCompareShortcuts = false;
#else
constexpr bool kCompareShortcuts = true;
#endif

// The same view, from the log of the declarations appended while parsing:
// without reading the lists, whose cells lie far apart in the node array.
// False, leaving view to be taken by a walk, when the log cannot be used.
bool viewFromLog(ParserEnv* env, const char* mainFileName, ProgramView& view) {
  const ParserContext* pctx = env->pctx;
  program* p = prog(env);
  if (!pctx->definitionLogUsable || p->root == nullptr) return false;
  view.fileNames.emplace_back(mainFileName != nullptr ? mainFileName : "");
  view.fileNodes.push_back(nullptr);
  view.perFile.emplace_back();
  view.all.reserve(pctx->definitionLog.size());
  // The file of each list head met so far; the root's is the main file.
  std::unordered_map<u32, u32> fileOfHead{{AST_id(p, p->root), 0}};
  u32 lastHead = AST_id(p, p->root);
  u32 lastFile = 0;
  const u32 count = p->infoProg->n_AST;
  for (const ParserContext::DefinitionLogEntry& entry : pctx->definitionLog) {
    if (entry.head != lastHead) {
      auto found = fileOfHead.find(entry.head);
      if (found == fileOfHead.end()) return false;
      lastHead = entry.head;
      lastFile = found->second;
    }
    if (entry.node == NO_ID) continue;
    if (entry.node >= count) return false;
    AST* node = &p->RAMprogram[entry.node];
    if (entry.file) {
      const u32 file = static_cast<u32>(view.fileNames.size());
      view.fileNames.push_back(includeName(env, node));
      view.fileNodes.push_back(node);
      view.perFile.emplace_back();
      fileOfHead.emplace(entry.node, file);
      continue;
    }
    view.perFile[lastFile].push_back({node, lastFile});
    view.all.push_back({node, lastFile});
  }
  return true;
}

bool sameView(const ProgramView& a, const ProgramView& b) {
  auto same = [](const std::vector<Declaration>& x, const std::vector<Declaration>& y) {
    return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const Declaration& l, const Declaration& r) {
      return l.node == r.node && l.file == r.file;
    });
  };
  if (a.fileNames != b.fileNames || a.fileNodes != b.fileNodes || !same(a.all, b.all)) return false;
  return std::equal(a.perFile.begin(), a.perFile.end(), b.perFile.begin(), b.perFile.end(), same);
}

// The parts of a process definition node, in the order of its part list.
enum ProcessPart : u32 {
  PART_STATICS = 0,
  PART_SUB_INSTANCES = 1,
  PART_LOCALS = 2,
  PART_COMMON = 3,
  PART_STATES = 4,
  PART_FINALLY = 5,
};

AST* processPart(ParserEnv* env, AST* process, u32 part) {
  return nth(env, AST_right(prog(env), process), part);
}

// The line of a state: that of its name's declaration (the node itself is
// made when its transitions end).
const AST* stateLineNode(ParserEnv* env, AST* state) {
  AST* name = nth(env, AST_left(prog(env), state), 0);
  return name != nullptr ? name : state;
}

AST* stateTransitions(ParserEnv* env, AST* state) {
  AST* declaration = AST_right(prog(env), state);
  return declaration != nullptr && declaration->op == STATE_DCL ? AST_right(prog(env), declaration)
                                                                : nullptr;
}

template <class F>
void forEachCell(ParserEnv* env, AST* list, F&& f) {
  for (AST* cell = list; cell != nullptr && cell->op == LIST; cell = AST_right(prog(env), cell)) {
    AST* element = AST_left(prog(env), cell);
    if (element != nullptr && !f(element)) return;
  }
}

// ---------------------------------------------------------------------------
// Duplicated names.

bool allowedPair(u32 a, u32 b) {
  auto is = [&](u32 x, u32 y) { return (a == x && b == y) || (a == y && b == x); };
  return is(FUNCTION_DECLARATION, FUNCTION_PROTOTYPE) || is(PROCESS_DECLARATION, PROCESS_PROTOTYPE) ||
         is(PROCESS_INSTANCE_NODE, IMPLICIT_VARIABLE_DECL);
}

// Duplicate detection in one pass: per name, the first declaration of each
// kind seen so far. A new declaration conflicts with the earliest of them
// that does not form an allowed pair with it, as comparing it with every
// earlier declaration in order would find. Returns the first conflicting
// pair (later, earlier), or nullptrs when there is none.
std::pair<const Declaration*, const Declaration*> findDuplicate(ParserEnv* env,
                                                                const std::vector<Declaration>& decls) {
  // The declarations kept per name are chained in one pool, in order: most
  // names have a single declaration, which then costs no list of its own.
  struct Kept {
    const Declaration* declaration;
    u32 next;
  };
  struct Chain {
    u32 first = NO_ID;
    u32 last = NO_ID;
  };
  std::vector<Kept> kept;
  kept.reserve(decls.size());
  std::unordered_map<u32, Chain> firstOfKind;
  firstOfKind.reserve(decls.size());
  for (const Declaration& d : decls) {
    if (!op_isDeclaration(d.node->op)) continue;
    u32 name = gblDecl_getSymId(env, d.node);
    if (name == NO_ID) continue;
    Chain& earlier = firstOfKind[name];
    bool seen = false;
    for (u32 i = earlier.first; i != NO_ID; i = kept[i].next) {
      const Declaration& e = *kept[i].declaration;
      // Both carry the same name: only an allowed pair may.
      if (!allowedPair(d.node->op, e.node->op)) return {&d, &e};
      seen = seen || e.node->op == d.node->op;
    }
    if (seen) continue;
    const u32 index = static_cast<u32>(kept.size());
    kept.push_back({&d, NO_ID});
    if (earlier.last == NO_ID) {
      earlier.first = index;
    } else {
      kept[earlier.last].next = index;
    }
    earlier.last = index;
  }
  return {nullptr, nullptr};
}

bool checkDuplicates(ParserEnv* env, const ProgramView& view, const std::vector<Declaration>& decls) {
  auto [later, earlier] = findDuplicate(env, decls);
  if (later == nullptr) return true;
  return linkage_checkIfDuplicatedDeclNames(env, later->node, view.fileName(later->file), earlier->node,
                                            view.fileName(earlier->file));
}

// ---------------------------------------------------------------------------
// What the checks share.

// The node array and the node count at one moment. The walks that follow
// only read shapes (operation codes and links) through it, never the live
// count: on large programs they run on a second thread while the main one
// goes on checking, and may create nodes.
struct TreeSnapshot {
  AST* nodes;
  u32 count;
  static TreeSnapshot of(const program* p) { return {p->RAMprogram, p->infoProg->n_AST}; }
  AST* at(u32 id) const { return id < count ? nodes + id : nullptr; }
  AST* left(const AST* node) const { return at(node->left); }
  AST* right(const AST* node) const { return at(node->right); }
  u32 idOf(const AST* node) const { return static_cast<u32>(node - nodes); }
};

// Visits every node under the program's declarations once, depth first in
// source order (left before right), telling f the index of the declaration in
// view.all. A node shared by several parents is visited as part of the
// declaration met first. f returns false to stop.
template <class F>
bool forEachProgramNode(TreeSnapshot tree, const ProgramView& view, F&& f) {
  const u32 count = tree.count;
  std::vector<u64> visited(count / 64 + 1, 0);  // bits: a table that stays in cache
  std::vector<u32> pending;
  for (u32 declaration = 0; declaration < view.all.size(); ++declaration) {
    pending.assign(1, tree.idOf(view.all[declaration].node));
    while (!pending.empty()) {
      u32 id = pending.back();
      pending.pop_back();
      if (id >= count) continue;
      u64& word = visited[id / 64];
      const u64 bit = u64{1} << (id % 64);
      if ((word & bit) != 0) continue;
      word |= bit;
      AST* node = &tree.nodes[id];
      if (!f(node, declaration)) return false;
      // Bound by memory latency: children are fetched ahead of their turn.
      if (node->right != NO_ID && node->right < count) {
        __builtin_prefetch(&tree.nodes[node->right]);
        pending.push_back(node->right);
      }
      if (node->left != NO_ID && node->left < count) {
        __builtin_prefetch(&tree.nodes[node->left]);
        pending.push_back(node->left);
      }
    }
  }
  return true;
}

// The function or process that holds a declaration's nodes, by name;
// nullptr at top level.
const char* enclosingName(ParserEnv* env, const AST* declaration) {
  if (declaration->op != FUNCTION_DECLARATION && declaration->op != PROCESS_DECLARATION) return nullptr;
  return symbolName(env, declaration->value.id.id);
}

// The nodes that the enumeration, condition and call checks look at, in the
// order in which a walk of the whole program meets them. Each check would
// otherwise walk every node itself.
struct NodeSite {
  AST* node;
  u32 declaration;  // index in ProgramView::all
};

struct ProgramCensus {
  std::vector<NodeSite> enumValues;  // ENUM_VALUE_OP
  std::vector<NodeSite> conditions;  // IF_OP, WHILE_OP, FOR_OP
  std::vector<NodeSite> calls;       // CALL_OP
  size_t loopExits = 0;              // BREAK_OP and CONTINUE_OP nodes
};

ProgramCensus takeCensus(TreeSnapshot tree, const ProgramView& view) {
  ProgramCensus census;
  forEachProgramNode(tree, view, [&](AST* node, u32 declaration) {
    switch (node->op) {
      case ENUM_VALUE_OP:
        census.enumValues.push_back({node, declaration});
        break;
      case IF_OP:
      case WHILE_OP:
      case FOR_OP:
        census.conditions.push_back({node, declaration});
        break;
      case CALL_OP:
        census.calls.push_back({node, declaration});
        break;
      case BREAK_OP:
      case CONTINUE_OP:
        ++census.loopExits;
        break;
      default:
        break;
    }
    return true;
  });
  return census;
}

bool isOperationNode(u32 op);
bool isVariableDeclaration(u32 op);

// The nodes that the operation check looks at, in the order in which it
// checks them, with the changes of file between them. Worked out from the
// tree's shape alone; checking them is then a pass over this list.
struct OperationPlan {
  std::vector<u32> steps;         // a node id, or NO_ID then an index into files
  std::vector<const AST*> files;  // file nodes; index 0 (nullptr) is the main file
};

// Makes the plan for the program under root. Declarations are taken in source
// order, included files in place; the initializers of a file's globals are
// checked once the file's list ends. Within a declaration nodes are met
// depth first, each once in the whole program, and operands come before the
// operation that uses them, so the innermost faulty operation is met first.
class OperationPlanner {
 public:
  explicit OperationPlanner(TreeSnapshot tree) : tree_(tree), visited_(tree.count / 64 + 1, 0) {
    plan_.files.push_back(nullptr);
  }

  OperationPlan take(const AST* root) {
    // The files being read, innermost last, each with the declarations whose
    // initializers come after its list.
    struct Visitor : SourceVisitor {
      explicit Visitor(OperationPlanner& p) : planner(p) {}
      OperationPlanner& planner;
      struct OpenFile {
        u32 file;
        std::vector<u32> globals;
      };
      std::vector<OpenFile> open{{0, {}}};
      bool enterFile(const AST* node) {
        const u32 file = static_cast<u32>(planner.plan_.files.size());
        planner.plan_.files.push_back(node);
        planner.fileStep(file);
        open.push_back({file, {}});
        return true;
      }
      bool declaration(AST* node, const AST*) {
        if (isVariableDeclaration(node->op)) {
          open.back().globals.push_back(planner.tree_.idOf(node));
        } else {
          planner.walkDeclaration(node);
        }
        return true;
      }
      bool leaveFile(const AST*) {
        const std::vector<u32> globals = std::move(open.back().globals);
        open.pop_back();
        for (u32 global : globals) planner.walk(global);
        if (!open.empty()) planner.fileStep(open.back().file);  // back in the includer
        return true;
      }
    } visitor(*this);
    parser_walkSourceWith(tree_, root, visitor);
    return std::move(plan_);
  }

 private:
  static bool checked(u32 op) { return isOperationNode(op) || isVariableDeclaration(op) || op == ASSIGN_OP; }

  void fileStep(u32 file) {
    plan_.steps.push_back(NO_ID);
    plan_.steps.push_back(file);
  }

  // Post-order over the subtree.
  void walk(u32 start) {
    const u32 count = tree_.count;
    struct Pending {
      u32 id;
      bool expanded;
    };
    SmallStack<Pending, 64> pending(Pending{start, false});
    while (!pending.empty()) {
      Pending current = pending.pop();
      if (current.id >= count) continue;
      const AST* node = &tree_.nodes[current.id];
      if (current.expanded) {
        plan_.steps.push_back(current.id);
        continue;
      }
      u64& word = visited_[current.id / 64];
      const u64 bit = u64{1} << (current.id % 64);
      if ((word & bit) != 0) continue;
      word |= bit;
      if (checked(node->op)) pending.push({current.id, true});
      // The walk is bound by memory latency: children are fetched while the
      // nodes before them are handled.
      if (node->right != NO_ID && node->right < count) {
        __builtin_prefetch(&tree_.nodes[node->right]);
        pending.push({node->right, false});
      }
      if (node->left != NO_ID && node->left < count) {
        __builtin_prefetch(&tree_.nodes[node->left]);
        pending.push({node->left, false});
      }
    }
  }

  void walkIfPresent(const AST* node) {
    if (node != nullptr) walk(tree_.idOf(node));
  }

  // The i-th element of a LIST (nullptr when absent).
  const AST* nthOf(const AST* list, u32 i) const {
    if (list == nullptr || list->op != LIST) return nullptr;
    const AST* cell = list;
    for (u32 k = 0; cell != nullptr && k < i; ++k) cell = tree_.right(cell);
    return cell == nullptr ? nullptr : tree_.left(cell);
  }

  void walkDeclaration(const AST* node) {
    switch (node->op) {
      case FUNCTION_DECLARATION:
        walkIfPresent(tree_.right(node));
        return;
      case PROCESS_DECLARATION:
        for (u32 part : {PART_STATICS, PART_LOCALS, PART_COMMON, PART_SUB_INSTANCES, PART_STATES,
                         PART_FINALLY}) {
          walkIfPresent(nthOf(tree_.right(node), part));
        }
        return;
      case TIME_ANNOTATION:
      case USER_ANNOTATION:
      case PROCESS_ANNOTATION:
      case HARDWARE_ANNOTATION:
        walkIfPresent(tree_.left(node));
        return;
      default:
        walk(tree_.idOf(node));
        return;
    }
  }

  TreeSnapshot tree_;
  // By node id. Bits: the plan is mostly made beside the other checks, whose
  // tables are alive meanwhile.
  std::vector<u64> visited_;
  OperationPlan plan_;
};

// The operation plan is a walk over every node, one of the checks' largest
// costs on big programs, and only reads the tree's shape, which the checks
// leave as it is: from this many nodes on, a second thread makes it while the
// main one runs the checks that come first. It serves only if no node was
// added meanwhile; otherwise it is made again. Debug builds always plan
// ahead. (The census stays on the main thread: walking on the other core,
// away from the caches that hold the tree, the two walks together take
// longer than the checks they would overlap.)
constexpr u32 kPlanAheadNodes = kCompareShortcuts ? 0 : 1u << 16;

// What the checks of one parser_check share; see parser_beginChecks.
struct CheckSession {
  std::unique_ptr<ProgramView> view;
  std::unique_ptr<ProgramCensus> census;
  std::vector<BuiltinCallSite> callSites;
  int duplicates = -1;  // whether the program has a duplicated name; -1 not known yet
  // The operation plan made ahead for the program's root, and the tree as it
  // was then; the planner thread owns both until joined.
  TreeSnapshot planTree{nullptr, 0};
  std::unique_ptr<OperationPlan> plan;
  std::thread planner;

  CheckSession() = default;
  CheckSession(const CheckSession&) = delete;
  CheckSession& operator=(const CheckSession&) = delete;
  ~CheckSession() {
    if (planner.joinable()) planner.join();
  }

  void planAhead(const program* p) {
    if (p->root == nullptr || p->infoProg->n_AST < kPlanAheadNodes) return;
    planTree = TreeSnapshot::of(p);
    plan = std::make_unique<OperationPlan>();
    planner = std::thread([tree = planTree, root = p->root, out = plan.get()] {
      *out = OperationPlanner(tree).take(root);
    });
  }

  // Moves the plan made ahead into out, if there is one and it still
  // describes the tree.
  bool takePlanAhead(const program* p, OperationPlan& out) {
    if (!planner.joinable()) return false;
    planner.join();
    const bool current = planTree.count == p->infoProg->n_AST;
    if (current) out = std::move(*plan);
    plan.reset();
    return current;
  }
};

CheckSession* session(ParserEnv* env) { return static_cast<CheckSession*>(env->pctx->checkState.get()); }

// The view with mainFileName as the main file's name: the session's, taken
// on first use, or else one taken now into local.
const ProgramView& programView(ParserEnv* env, const char* mainFileName, ProgramView& local) {
  CheckSession* shared = session(env);
  if (shared == nullptr) {
    local = viewProgram(env, mainFileName);
    return local;
  }
  if (!shared->view) {
    shared->view = std::make_unique<ProgramView>();
    if (!viewFromLog(env, mainFileName, *shared->view)) {
      *shared->view = viewProgram(env, mainFileName);
    } else if (kCompareShortcuts) {
      VELK_ASSERT_TEXT(sameView(*shared->view, viewProgram(env, mainFileName)),
                       "the view from the log matches one taken by a walk");
    }
  }
  shared->view->fileNames[0] = mainFileName != nullptr ? mainFileName : "";
  return *shared->view;
}

// Whether the session knows the whole program to be free of duplicated
// names, in which case no file has one either.
bool knownFreeOfDuplicates(ParserEnv* env, const ProgramView& view) {
  CheckSession* shared = session(env);
  if (shared == nullptr) return false;
  if (shared->duplicates < 0) shared->duplicates = findDuplicate(env, view.all).first != nullptr ? 1 : 0;
  return shared->duplicates == 0;
}

const ProgramCensus& programCensus(ParserEnv* env, const ProgramView& view, ProgramCensus& local) {
  CheckSession* shared = session(env);
  const program* p = prog(env);
  if (shared == nullptr) {
    local = takeCensus(TreeSnapshot::of(p), view);
    return local;
  }
  if (!shared->census) {
    shared->census = std::make_unique<ProgramCensus>(takeCensus(TreeSnapshot::of(p), view));
  }
  return *shared->census;
}

// ---------------------------------------------------------------------------
// Per-file checks.

// Whether decls hold a function or process prototype: without one the
// prototype checks have nothing to match.
bool hasPrototype(const std::vector<Declaration>& decls) {
  return std::any_of(decls.begin(), decls.end(), [](const Declaration& d) {
    return d.node->op == FUNCTION_PROTOTYPE || d.node->op == PROCESS_PROTOTYPE;
  });
}

// A prototype written after its definition in the same file (126), in the
// order of the definitions, then of the prototypes.
bool checkPrototypePlacement(ParserEnv* env, const char* file, const std::vector<Declaration>& decls) {
  struct Misplaced {
    size_t definition;
    size_t prototype;
  };
  if (!hasPrototype(decls)) return true;
  std::unordered_map<u64, size_t> definitions;  // (op, name) → position of the first
  std::vector<Misplaced> misplaced;
  auto key = [](u32 op, u32 name) { return (u64{op} << 32) | name; };
  for (size_t i = 0; i < decls.size(); ++i) {
    AST* node = decls[i].node;
    u32 name = node->value.id.id;
    if (node->op == FUNCTION_DECLARATION || node->op == PROCESS_DECLARATION) {
      definitions.emplace(key(node->op, name), i);
    } else if (node->op == FUNCTION_PROTOTYPE || node->op == PROCESS_PROTOTYPE) {
      u32 definitionOp = node->op == FUNCTION_PROTOTYPE ? FUNCTION_DECLARATION : PROCESS_DECLARATION;
      auto found = definitions.find(key(definitionOp, name));
      if (found != definitions.end()) misplaced.push_back({found->second, i});
    }
  }
  std::stable_sort(misplaced.begin(), misplaced.end(),
                   [](const Misplaced& a, const Misplaced& b) { return a.definition < b.definition; });
  for (const Misplaced& m : misplaced) {
    AST* definition = decls[m.definition].node;
    AST* prototype = decls[m.prototype].node;
    failAt(env, 126, file, prototype, nullptr,
           "\"%s\" %s placed after its %s at line %zu (a prototype must be placed before its "
           "associated definition)\n",
           symbolName(env, prototype->value.id.id), op_getGblDeclDesc(prototype->op),
           op_getGblDeclDesc(definition->op), static_cast<size_t>(lineOf(env, definition)));
    return false;
  }
  return true;
}

bool checkNativeNames(ParserEnv* env, const char* file, const std::vector<Declaration>& decls) {
  for (const Declaration& d : decls) {
    if (d.node->op != FUNCTION_DECLARATION || !defFunc_isBuiltin(env, d.node->value.id.id)) continue;
    failAt(env, 199, file, d.node, nullptr, "%s uses the name \"%s\" already used for a native function\n",
           op_getGblDeclDesc(FUNCTION_DECLARATION), symbolName(env, d.node->value.id.id));
    return false;
  }
  return true;
}

bool checkTransitionTargets(ParserEnv* env, const char* file, AST* process) {
  const char* processName = symbolName(env, process->value.id.id);
  bool ok = true;
  forEachCell(env, processPart(env, process, PART_STATES), [&](AST* state) {
    forEachCell(env, stateTransitions(env, state), [&](AST* transition) {
      AST* body = AST_left(prog(env), transition);
      if (body == nullptr || body->value.id.id != NO_ID) return true;
      failAt(env, 139, file, transition, processName, "transition to non-existing state \"%s\"\n",
             symbolName(env, transition->value.id.id));
      ok = false;
      return false;
    });
    return ok;
  });
  return ok;
}

bool checkDuplicateStates(ParserEnv* env, const char* file, AST* process) {
  const char* processName = symbolName(env, process->value.id.id);
  std::unordered_map<u32, const AST*> firstByName;
  bool ok = true;
  forEachCell(env, processPart(env, process, PART_STATES), [&](AST* state) {
    auto [first, inserted] = firstByName.emplace(state->value.id.id, stateLineNode(env, state));
    if (inserted) return true;
    failAt(env, 165, file, stateLineNode(env, state), processName,
           "state \"%s\" has the same name as a previous state from line %zu\n",
           symbolName(env, state->value.id.id), static_cast<size_t>(lineOf(env, first->second)));
    ok = false;
    return false;
  });
  return ok;
}

bool checkUnreachableStates(ParserEnv* env, const char* file, AST* process) {
  const char* processName = symbolName(env, process->value.id.id);
  AST* states = processPart(env, process, PART_STATES);
  // Names that some differently named state has a transition to.
  std::unordered_set<u32> reached;
  forEachCell(env, states, [&](AST* state) {
    forEachCell(env, stateTransitions(env, state), [&](AST* transition) {
      if (transition->value.id.id != state->value.id.id) reached.insert(transition->value.id.id);
      return true;
    });
    return true;
  });
  bool first = true;
  bool ok = true;
  forEachCell(env, states, [&](AST* state) {
    if (first) {
      first = false;  // the initial state
      return true;
    }
    if (reached.count(state->value.id.id) != 0) return true;
    if (warnAt(env, 0, file, stateLineNode(env, state), processName, "state \"%s\" is unreachable\n",
               symbolName(env, state->value.id.id))) {
      ok = false;
    }
    return ok;
  });
  return ok;
}

bool checkFile(ParserEnv* env, const char* file, const std::vector<Declaration>& decls,
               const ProgramView& view) {
  if (!knownFreeOfDuplicates(env, view) && !checkDuplicates(env, view, decls)) return false;
  if (!checkPrototypePlacement(env, file, decls)) return false;
  if (!checkNativeNames(env, file, decls)) return false;
  using ProcessCheck = bool (*)(ParserEnv*, const char*, AST*);
  for (ProcessCheck check : {checkTransitionTargets, checkDuplicateStates, checkUnreachableStates}) {
    for (const Declaration& d : decls) {
      if (d.node->op == PROCESS_DECLARATION && !check(env, file, d.node)) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Whole-program checks.

AST* globalInstanceActuals(ParserEnv* env, AST* instance) {
  return nth(env, AST_right(prog(env), instance), 0);
}

bool checkGlobalInstance(ParserEnv* env, const char* file, AST* instance) {
  program* p = prog(env);
  AST* reference = AST_left(p, instance);
  const char* instanceName = symbolName(env, instance->value.id.id);
  u32 definition = reference != nullptr ? reference->value.id.id : NO_ID;
  if (definition >= p->infoProg->n_processDefinitions) {
    failAt(env, 144, file, instance, nullptr, "unknown process definition for process instance \"%s\"\n",
           instanceName);
    return false;
  }
  const char* definitionName = symbolName(env, p->dbg->processDefinitionSymbolId[definition]);
  AST* actuals = globalInstanceActuals(env, instance);
  AST* formals = AST_fromId(p, p->processDefinitionTable[definition].parameters);
  focus(env, instance);
  ParameterComparison details;
  switch (compareParameters(env, actuals, formals, &details)) {
    case 0:
      return true;
    case 2:
      failAt(env, 115, file, instance, nullptr,
             "Parameter type mismatch for \"%s\" instance of \"%s\" (parameter \"%s\" expected type "
             "\"%s\", but \"%s\" found)\n",
             instanceName, definitionName, symbolName(env, details.formalName),
             typeName(env, details.formalType), typeName(env, details.actualType));
      return false;
    case 3:
      failAt(env, 116, file, instance, nullptr, "OUT parameter must be a mutable data accessor\n");
      return false;
    default:  // 1, and 4: an omitted OUT parameter makes no sense for an instance
      failAt(env, 114, file, instance, nullptr,
             "Parameter mismatch for \"%s\" instance of \"%s\" (%zu parameter(s) expected, but %zu "
             "found)\n",
             instanceName, definitionName, static_cast<size_t>(AST_listSize(p, formals)),
             static_cast<size_t>(AST_listSize(p, actuals)));
      return false;
  }
}

// Sub-process instances may name a process defined later: resolved now.
bool resolveSubInstances(ParserEnv* env, const char* file, AST* process) {
  bool ok = true;
  forEachCell(env, processPart(env, process, PART_SUB_INSTANCES), [&](AST* instance) {
    AST* reference = AST_left(prog(env), instance);
    if (reference == nullptr) return true;
    AST* definitionName = AST_left(prog(env), reference);
    u32 symbol = definitionName != nullptr ? definitionName->value.id.id : NO_ID;
    u32 definition = defProc_lookupDefinition(env, symbol);
    reference->value.id.id = definition;
    if (definition != NO_ID) return true;
    failAt(env, 144, file, instance, nullptr,
           "unknown process definition \"%s\" for process instance \"%s\"\n", symbolName(env, symbol),
           symbolName(env, instance->value.id.id));
    ok = false;
    return false;
  });
  return ok;
}

bool checkProcessInstAndSubprocessDef(ParserEnv* env, const ProgramView& view) {
  for (const Declaration& d : view.all) {
    if (d.node->op == PROCESS_INSTANCE_NODE && !checkGlobalInstance(env, view.fileName(d.file), d.node)) {
      return false;
    }
    if (d.node->op == PROCESS_DECLARATION && !resolveSubInstances(env, view.fileName(d.file), d.node)) {
      return false;
    }
  }
  return true;
}

bool check_prototypes_without_definition(ParserEnv* env, const ProgramView& view) {
  if (!hasPrototype(view.all)) return true;
  std::unordered_map<u64, AST*> definitions;  // (op, name) → first definition
  auto key = [](u32 op, u32 name) { return (u64{op} << 32) | name; };
  for (const Declaration& d : view.all) {
    if (d.node->op == FUNCTION_DECLARATION || d.node->op == PROCESS_DECLARATION) {
      definitions.emplace(key(d.node->op, d.node->value.id.id), d.node);
    }
  }
  for (const Declaration& d : view.all) {
    const bool function = d.node->op == FUNCTION_PROTOTYPE;
    if (!function && d.node->op != PROCESS_PROTOTYPE) continue;
    const char* file = view.fileName(d.file);
    const char* name = symbolName(env, d.node->value.id.id);
    auto found = definitions.find(
        key(function ? FUNCTION_DECLARATION : PROCESS_DECLARATION, d.node->value.id.id));
    if (found == definitions.end()) {
      if (function) {
        if (warnAt(env, 99, file, d.node, nullptr, "function prototype \"%s\" without function definition\n",
                   name)) {
          return false;
        }
        continue;
      }
      failAt(env, 100, file, d.node, nullptr, "process prototype \"%s\" without process definition\n", name);
      return false;
    }
    AST* definition = found->second;
    if (parameterListMach(env, AST_left(prog(env), d.node), AST_left(prog(env), definition))) continue;
    failAt(env, function ? 123 : 131, file, d.node, nullptr,
           function ? "function prototype \"%s\" doesn't match its definition signature at line %zu\n"
                    : "process prototype \"%s\" doesn't match its definition signature at line %zu\n",
           name, static_cast<size_t>(lineOf(env, definition)));
    return false;
  }
  return true;
}

// break and continue must be inside a loop body. Statements only: the walk
// follows blocks, branches, loop bodies, named blocks, annotations, states and
// transitions, with an explicit stack.
bool checkBreakIn(ParserEnv* env, const char* file, AST* start) {
  program* p = prog(env);
  struct Pending {
    AST* node;
    u32 depth;
  };
  SmallStack<Pending> pending(Pending{start, 0});
  while (!pending.empty()) {
    auto [node, depth] = pending.pop();
    if (node == nullptr) continue;
    auto push = [&](AST* child, u32 childDepth) { pending.push({child, childDepth}); };
    switch (node->op) {
      case LIST:
        push(AST_right(p, node), depth);
        push(AST_left(p, node), depth);
        break;
      case BLOCK:
      case BLOCK_COMMON:
      case BLOCK_FINALLY:
      case IF_OP:
      case NAMED_BLOCK:
      case NAMED_STATE_STATEMENT:
      case ON_OP:
      case AFTER_OP:
        push(AST_right(p, node), depth);
        break;
      case STATE_DCL:
        push(AST_right(p, node), depth);
        push(AST_left(p, node), depth);
        break;
      case WHILE_OP:
      case FOR_OP:
      case LOOP_OVER_OP:
        push(AST_right(p, node), depth + 1);
        break;
      case TIME_ANNOTATION:
      case USER_ANNOTATION:
      case PROCESS_ANNOTATION:
      case HARDWARE_ANNOTATION:
        push(AST_left(p, node), depth);
        break;
      case BREAK_OP:
      case CONTINUE_OP:
        if (depth == 0) {
          failAt(env, 46, file, node, nullptr, "%s statement outside loop scope\n",
                 node->op == BREAK_OP ? "break" : "continue");
          return false;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

bool check_break(ParserEnv* env, const ProgramView& view) {
  if (session(env) != nullptr) {
    // Within a session the census tells whether there is anything to find.
    ProgramCensus local;
    if (programCensus(env, view, local).loopExits == 0) return true;
  }
  for (const Declaration& d : view.all) {
    const char* file = view.fileName(d.file);
    AST* node = d.node;
    switch (node->op) {
      case FUNCTION_DECLARATION:
        if (!checkBreakIn(env, file, AST_right(prog(env), node))) return false;
        break;
      case PROCESS_DECLARATION:
        for (u32 part : {PART_COMMON, PART_STATES, PART_FINALLY}) {
          if (!checkBreakIn(env, file, processPart(env, node, part))) return false;
        }
        break;
      case NAMED_BLOCK:
      case TIME_ANNOTATION:
      case USER_ANNOTATION:
      case PROCESS_ANNOTATION:
      case HARDWARE_ANNOTATION:
        if (!checkBreakIn(env, file, node)) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

bool check_enums(ParserEnv* env, const ProgramView& view) {
  program* p = prog(env);
  std::unordered_map<u32, std::unordered_set<u32>> enumerators;  // by enumeration type
  auto enumeratorsOf = [&](u32 type) -> const std::unordered_set<u32>& {
    // Not a structured binding: clang before 16 cannot capture one in a lambda.
    const auto emplaced = enumerators.try_emplace(type);
    std::unordered_set<u32>& names = emplaced.first->second;
    if (emplaced.second && type < p->infoProg->n_type) {
      forEachCell(env, AST_fromId(p, p->typeTable[type].fields), [&](AST* field) {
        AST* name = field->op == FIELD_STATEMENT ? AST_left(p, field) : field;
        if (name != nullptr) names.insert(name->value.id.id);
        return true;
      });
    }
    return names;
  };
  ProgramCensus local;
  for (const NodeSite& site : programCensus(env, view, local).enumValues) {
    AST* node = site.node;
    AST* name = AST_left(p, node);
    u32 symbol = name != nullptr ? name->value.id.id : NO_ID;
    u32 type = node->value.id.type;
    if (enumeratorsOf(type).count(symbol) != 0) continue;
    failAt(env, 132, view.fileName(view.all[site.declaration].file), node, nullptr,
           "unknown enum \"%s\" for \"%s\" type\n", symbolName(env, symbol), typeName(env, type));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Type and control-flow checks.

bool checkForDuplicatedTypeFlds(ParserEnv* env, const char* file, AST* declaration) {
  program* p = prog(env);
  u32 type = declaration->value.id.type;
  if (type >= p->infoProg->n_type) return true;
  const u32 kind = p->typeTable[type].baseType;
  if (kind != TypeStructure && kind != TypeEnum) return true;
  const char* name = typeName(env, type);
  std::unordered_map<u32, const AST*> firstByName;
  bool ok = true;
  forEachCell(env, AST_right(p, declaration), [&](AST* field) {
    AST* fieldName = field->op == FIELD_STATEMENT ? AST_left(p, field) : field;
    if (fieldName == nullptr) return true;
    auto [first, inserted] = firstByName.emplace(fieldName->value.id.id, field);
    if (inserted) return true;
    if (kind == TypeStructure) {
      failAt(env, 164, file, field, nullptr,
             "field \"%s\" has the same name as a previous field at line %u in \"%s\" structure type "
             "declaration\n",
             symbolName(env, fieldName->value.id.id), lineOf(env, first->second), name);
    } else {
      failAt(env, 166, file, field, nullptr,
             "name \"%s\" is used more than one in \"%s\" enumeration type declaration\n",
             symbolName(env, fieldName->value.id.id), name);
    }
    ok = false;
    return false;
  });
  return ok;
}

bool checkCtrlFlowBoolParam(ParserEnv* env, const ProgramView& view) {
  program* p = prog(env);
  ProgramCensus local;
  for (const NodeSite& site : programCensus(env, view, local).conditions) {
    AST* node = site.node;
    AST* condition = nullptr;
    const char* which = "parameter";
    const char* keyword = nullptr;
    switch (node->op) {
      case IF_OP:
        condition = AST_left(p, node);
        keyword = "if";
        break;
      case WHILE_OP:
        condition = AST_left(p, node);
        keyword = "while";
        break;
      case FOR_OP:
        condition = nth(env, AST_left(p, node), 1);
        which = "second parameter";
        keyword = "for";
        break;
      default:
        continue;
    }
    if (condition == nullptr) continue;
    focus(env, condition);
    u32 type = defType_evaluate(env, condition);
    if (type == TypeBoolean) continue;
    if (type == NO_ID) {
      if (env->pctx->status == 0) continue;
      return false;
    }
    // The condition's line: the statement node of an if without else is
    // made once the next token, maybe on a later line, has been read.
    const Declaration& declaration = view.all[site.declaration];
    failAt(env, 168, view.fileName(declaration.file), condition, enclosingName(env, declaration.node),
           "%s of \"%s\" control flow statement expects type \"%s\", but \"%s\" found\n", which,
           keyword, typeName(env, TypeBoolean), typeName(env, type));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Operation values.

bool isSigned(u32 type) { return isIntType(type) && isSignedIntType(type); }

u32 widthOf(u32 type) { return static_cast<u32>(__builtin_popcountll(integerTypeMask(type))); }

s64 signExtend(u64 bits, u32 type) {
  u32 width = widthOf(type);
  if (width >= 64) return static_cast<s64>(bits);
  u64 sign = u64{1} << (width - 1);
  return static_cast<s64>((bits ^ sign) - sign);
}

s64 signedMin(u32 type) { return signExtend(integerTypeFirst(type), type); }
s64 signedMax(u32 type) { return static_cast<s64>(integerTypeLast(type)); }

u32 rangeError(u32 type) { return isSigned(type) ? OPERR_OVERFLOW : OPERR_WRAP; }

bool isArithmeticChecked(u32 op) {
  return op == PLUS_OP || op == MINUS_OP || op == MUL_OP || op == BIT_LSHIFT_OP || op == DIV_OP ||
         op == MOD_OP;
}

bool isOperationNode(u32 op) { return isArithmeticChecked(op) || op == NEG_OP; }

// An operand whose value is known now, or a value with typeId NO_ID.
bool constantOperand(ParserEnv* env, AST* operand) {
  return operand != nullptr && defExpr_isConst(env, operand) && defExpr_canExecAtCompileTime(env, operand);
}

// Integer result of an operation carried out exactly, tested against the range.
u32 checkIntegerOperation(u32 op, u32 type, u64 leftBits, u64 rightBits) {
  const bool signedType = isSigned(type);
  using Wide = __int128;
  Wide l = signedType ? Wide{signExtend(leftBits, type)} : Wide{leftBits};
  Wide r = signedType ? Wide{signExtend(rightBits, type)} : Wide{rightBits};
  const Wide low = signedType ? Wide{signedMin(type)} : Wide{0};
  const Wide high = signedType ? Wide{signedMax(type)} : Wide{integerTypeLast(type)};
  auto inRange = [&](Wide v) { return v >= low && v <= high; };
  switch (op) {
    case PLUS_OP:
      return inRange(l + r) ? OPERR_NONE : rangeError(type);
    case MINUS_OP:
      return inRange(l - r) ? OPERR_NONE : rangeError(type);
    case MUL_OP: {
      // A product of two unsigned 64-bit values may not fit a signed 128-bit
      // integer; it then lies far above any type's range.
      Wide product = 0;
      if (__builtin_mul_overflow(l, r, &product)) return rangeError(type);
      return inRange(product) ? OPERR_NONE : rangeError(type);
    }
    case NEG_OP:
      return signedType && l == low ? OPERR_OVERFLOW : OPERR_NONE;
    case BIT_LSHIFT_OP: {
      if (!signedType) return OPERR_NONE;
      if (l < 0 || r < 0 || r >= Wide{widthOf(type) - 1}) return OPERR_OVERFLOW;
      return l > (high >> static_cast<int>(r)) ? OPERR_OVERFLOW : OPERR_NONE;
    }
    case DIV_OP:
      if (r == 0) return OPERR_DIVISION_BY_ZERO;
      return signedType && l == low && r == -1 ? OPERR_DIVIDED_BY_MINUS_ONE : OPERR_NONE;
    case MOD_OP:
      if (r == 0) return OPERR_MODULO_ZERO;
      return signedType && l == low && r == -1 ? OPERR_MODULO_MINUS_ONE : OPERR_NONE;
    default:
      return OPERR_NONE;
  }
}

// Converts a constant to the integer type of the operation; *error is set
// when the value does not survive the conversion.
u64 toOperationType(TaggedValue value, u32 type, u32* error) {
  if (value.typeId >= TypePrimitive) return 0;
  u32 flag = 0;
  u64 bits = primTypeToInteger(value, type, &flag);
  if (value.typeId != type && (flag & CONV_UNSAFE) == 0 && *error == OPERR_NONE) *error = rangeError(type);
  return bits;
}

bool isFloatType(u32 type) { return type == TypeF32 || type == TypeF64 || type == TypeFP; }

// A constant operand: its type and its cell (primitive values fill one).
struct ConstValue {
  u32 type = NO_ID;
  DataCell cell = 0;
  bool known() const { return type != NO_ID; }
  TaggedValue tagged() { return TaggedValue{&cell, type, NO_ID}; }
};

// Values of the operation nodes already checked, by node id: a long chain of
// constant operations is then checked in linear time, and without handing
// the interpreter an expression as deep as the chain.
using ValueMemo = std::unordered_map<u32, ConstValue>;

ConstValue operandValue(ParserEnv* env, const ValueMemo& memo, AST* operand) {
  if (operand == nullptr) return {};
  // Operations are checked before their users: one without a remembered
  // value is not constant, or its value is not computed here. Only
  // operations are remembered.
  if (isOperationNode(operand->op)) {
    auto found = memo.find(AST_id(prog(env), operand));
    return found != memo.end() ? found->second : ConstValue{};
  }
  // An integer literal evaluates to itself as an untyped integer: no need
  // to run the evaluator for the most common constant operand.
  if (operand->op == INTEGER_OP && env->ienv != nullptr) return ConstValue{TypeInt, operand->value.uinteger};
  if (!constantOperand(env, operand)) return {};
  ConstValue value;
  defExpr_withValue(env, operand, [&](TaggedValue v) {
    if (v.typeId < TypePrimitive) {
      value.type = v.typeId;
      value.cell = *v.value;
    }
  });
  return value;
}

// The value the interpreter gives an integer operation (modular in the
// type's width); false when it is not computed here.
bool integerResult(u32 op, u32 type, u64 l, u64 r, DataCell* out) {
  const u64 mask = integerTypeMask(type);
  switch (op) {
    case PLUS_OP: *out = (l + r) & mask; return true;
    case MINUS_OP: *out = (l - r) & mask; return true;
    case MUL_OP: *out = (l * r) & mask; return true;
    case NEG_OP: *out = (u64{0} - l) & mask; return true;
    case BIT_LSHIFT_OP:
      if (r >= widthOf(type)) return false;
      *out = (l << r) & mask;
      return true;
    case DIV_OP:
    case MOD_OP: {
      if ((r & mask) == 0) return false;
      if (isSigned(type)) {
        s64 sl = signExtend(l, type);
        s64 sr = signExtend(r, type);
        if (sl == signedMin(type) && sr == -1) return false;
        *out = static_cast<u64>(op == DIV_OP ? sl / sr : sl % sr) & mask;
      } else {
        *out = op == DIV_OP ? (l & mask) / (r & mask) : (l & mask) % (r & mask);
      }
      return true;
    }
    default:
      return false;
  }
}

bool floatResult(u32 op, u32 type, TaggedValue l, TaggedValue r, bool unary, DataCell* out) {
  if (type != TypeF32 && type != TypeF64) return false;
  double a = TaggedValue_asF64(l, CONV_PRIMTYPE);
  double b = unary ? 0.0 : TaggedValue_asF64(r, CONV_PRIMTYPE);
  double v = 0.0;
  switch (op) {
    case PLUS_OP: v = a + b; break;
    case MINUS_OP: v = a - b; break;
    case MUL_OP: v = a * b; break;
    case NEG_OP: v = -a; break;
    case DIV_OP:
      if (b == 0.0) return false;
      v = a / b;
      break;
    default:
      return false;
  }
  if (type == TypeF32) {
    float f = static_cast<float>(v);
    u32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    *out = bits;
  } else {
    std::memcpy(out, &v, sizeof v);
  }
  return true;
}

// The error of one operation node whose operands are constant; its value is
// remembered for the operation that uses it.
u32 checkOperationNode(ParserEnv* env, ValueMemo& memo, AST* node) {
  program* p = prog(env);
  const bool unary = node->op == NEG_OP;
  ConstValue l = operandValue(env, memo, AST_left(p, node));
  ConstValue r = unary ? ConstValue{} : operandValue(env, memo, AST_right(p, node));
  if (!l.known() || (!unary && !r.known())) return OPERR_NONE;
  const u32 type = node->value.id.type;
  ConstValue result;
  result.type = type;
  u32 error = OPERR_NONE;
  if (isIntType(type)) {
    u32 conversion = OPERR_NONE;
    const bool testConversion = isArithmeticChecked(node->op);
    u64 lb = testConversion ? toOperationType(l.tagged(), type, &conversion)
                            : primTypeToInteger(l.tagged(), type, nullptr);
    u64 rb = 0;
    if (!unary) {
      rb = testConversion ? toOperationType(r.tagged(), type, &conversion)
                          : primTypeToInteger(r.tagged(), type, nullptr);
    }
    u32 operation = checkIntegerOperation(node->op, type, lb, rb);
    // Within one node a critical error wins over the others.
    error = operation >= kFirstCriticalOpError || conversion == OPERR_NONE ? operation : conversion;
    if (integerResult(node->op, type, lb, rb, &result.cell)) memo.emplace(AST_id(p, node), result);
  } else if (isFloatType(type)) {
    if (node->op == DIV_OP && TaggedValue_asF64(r.tagged(), CONV_PRIMTYPE) == 0.0) {
      error = OPERR_DIVISION_BY_ZERO;
    } else if (floatResult(node->op, type, l.tagged(), r.tagged(), unary, &result.cell)) {
      memo.emplace(AST_id(p, node), result);
    }
  }
  return error;
}

// The declared element types of an initializer, element by element.
u32 checkInitializerValues(ParserEnv* env, const ValueMemo& memo,
                           const std::unordered_set<u32>& warned, u32 type, AST* initializer,
                           AST** where) {
  program* p = prog(env);
  struct Pending {
    u32 type;
    AST* value;
  };
  SmallStack<Pending> pending(Pending{type, initializer});
  while (!pending.empty()) {
    auto [t, value] = pending.pop();
    while (value != nullptr && value->op == INITIALIZER_OP) value = AST_left(p, value);
    if (value == nullptr || t >= p->infoProg->n_type) continue;
    if (value->op == LIST) {
      const TypeDefinition& def = p->typeTable[t];
      std::vector<Pending> elements;
      if (def.bufferType != NONE_BUFFER) {
        forEachCell(env, value, [&](AST* e) {
          elements.push_back({def.baseType, e});
          return true;
        });
      } else if (def.baseType == TypeStructure) {
        AST* field = AST_fromId(p, def.fields);
        for (AST* cell = value; cell != nullptr && field != nullptr;
             cell = AST_right(p, cell), field = AST_right(p, field)) {
          AST* f = AST_left(p, field);
          if (f != nullptr) elements.push_back({f->value.id.type, AST_left(p, cell)});
        }
      }
      for (auto it = elements.rbegin(); it != elements.rend(); ++it) pending.push(*it);
      continue;
    }
    // A value whose own operation was already found wrong is not reported twice.
    if (!isIntType(t) || (!warned.empty() && warned.count(AST_id(p, value)) != 0)) continue;
    ConstValue v = operandValue(env, memo, value);
    u32 error = OPERR_NONE;
    if (v.known() && v.type != t) toOperationType(v.tagged(), t, &error);
    if (error != OPERR_NONE) {
      *where = value;
      return error;
    }
  }
  return OPERR_NONE;
}

bool isVariableDeclaration(u32 op) {
  switch (op) {
    case VARIABLE_DECL_OP:
    case CONSTANT_DECL_OP:
    case STATIC_VARIABLE_DECL_OP:
    case VARIABLE_BUFFER_DECL_OP:
    case CONSTANT_ARRAY_DECL_OP:
    case STATIC_VARIABLE_BUFFER_DECL_OP:
      return true;
    default:
      return false;
  }
}

// Checks the nodes of an operation plan in turn.
struct OperationWalk {
  ParserEnv* env;
  u32 error = OPERR_NONE;
  std::string fileName;
  ValueMemo memo;
  std::unordered_set<u32> warned;  // nodes already reported

  // Reports a non-critical error, or records the critical one; false to stop.
  bool handle(u32 found, AST* node) {
    if (found == OPERR_NONE) return true;
    focus(env, node);
    if (found >= kFirstCriticalOpError) {
      error = found;
      return false;
    }
    warned.insert(AST_id(env->program, node));
    warnAt(env, 0, fileName.c_str(), node, nullptr, "%s in expression\n", opErrName(found));
    return true;
  }

  bool checkNode(AST* node) {
    program* p = env->program;
    if (isOperationNode(node->op)) return handle(checkOperationNode(env, memo, node), node);
    AST* where = nullptr;
    if (isVariableDeclaration(node->op) && node->right != NO_ID) {
      u32 found = checkInitializerValues(env, memo, warned, node->value.id.type, AST_right(p, node), &where);
      return handle(found, where != nullptr ? where : node);
    }
    if (node->op == ASSIGN_OP && node->right != NO_ID) {
      AST* value = AST_right(p, node);
      if (isOperationNode(value->op)) {
        // An operation is only checked against the target when its value is known.
        if (memo.find(AST_id(p, value)) == memo.end()) return true;
      } else if (value->op != INITIALIZER_OP && !constantOperand(env, value)) {
        return true;
      }
      u32 target = defType_evaluate(env, AST_left(p, node));
      if (target == NO_ID) return true;
      u32 found = checkInitializerValues(env, memo, warned, target, value, &where);
      return handle(found, node);
    }
    return true;
  }
};

}  // namespace

// ---------------------------------------------------------------------------

const char* opErr_getName(u32 error) {
  const char* name = opErrName(error);
  return name != nullptr ? name : "unknown error";
}

bool op_isDeclaration(u32 op) {
  switch (op) {
    case CONSTANT_ARRAY_DECL_OP:
    case CONSTANT_DECL_OP:
    case PROCESS_INSTANCE_NODE:
    case VARIABLE_BUFFER_DECL_OP:
    case VARIABLE_DECL_OP:
    case FUNCTION_DECLARATION:
    case FUNCTION_PROTOTYPE:
    case PROCESS_DECLARATION:
    case PROCESS_PROTOTYPE:
    case TYPE_DECLARATION:
    case IMPLICIT_VARIABLE_DECL:
      return true;
    default:
      return false;
  }
}

const char* op_getGblDeclDesc(u32 op) {
  switch (op) {
    case CONSTANT_ARRAY_DECL_OP: return "constant array definition";
    case CONSTANT_DECL_OP: return "constant definition";
    case PROCESS_INSTANCE_NODE: return "process instance definition";
    case VARIABLE_BUFFER_DECL_OP: return "variable buffer declaration";
    case VARIABLE_DECL_OP: return "variable declaration";
    case STATIC_VARIABLE_DECL_OP: return "static variable declaration";
    case STATIC_VARIABLE_BUFFER_DECL_OP: return "static variable buffer declaration";
    case FUNCTION_DECLARATION: return "function definition";
    case FUNCTION_PROTOTYPE: return "function prototype";
    case PROCESS_DECLARATION: return "process definition";
    case PROCESS_PROTOTYPE: return "process prototype";
    case TYPE_DECLARATION: return "type declaration";
    case IMPLICIT_VARIABLE_DECL: return "implicit variable declaration";
    default: return "declaration";
  }
}

u32 gblDecl_getSymId(ParserEnv* env, const AST* decl) {
  program* p = prog(env);
  switch (decl->op) {
    case FUNCTION_DECLARATION:
    case FUNCTION_PROTOTYPE:
    case PROCESS_DECLARATION:
    case PROCESS_PROTOTYPE:
    case PROCESS_INSTANCE_NODE:
      return decl->value.id.id;
    case TYPE_DECLARATION: {
      // The node's value is the type; its name is the type's symbol.
      u32 type = decl->value.id.type;
      return type < p->infoProg->n_type ? p->dbg->typeSymbolId[type] : NO_ID;
    }
    default: {
      AST* name = AST_left(p, decl);
      if (name != nullptr && name->op == LIST) name = AST_left(p, name);
      return name == nullptr ? NO_ID : name->value.id.id;
    }
  }
}

bool linkage_checkIfDuplicatedDeclNames(ParserEnv* env, const AST* a, const char* fileA,
                                        const AST* b, const char* fileB) {
  u32 name = gblDecl_getSymId(env, a);
  if (name != gblDecl_getSymId(env, b) || allowedPair(a->op, b->op)) return true;
  failAt(env, 122, fileA, a, nullptr, "%s name \"%s\" already used for %s at %s:%zu\n",
         op_getGblDeclDesc(a->op), symbolName(env, name), op_getGblDeclDesc(b->op), fileB,
         static_cast<size_t>(lineOf(env, b)));
  return false;
}

void parser_beginChecks(ParserEnv* env) {
  auto shared = std::make_shared<CheckSession>();
  shared->planAhead(prog(env));
  env->pctx->checkState = std::move(shared);
}

void parser_endChecks(ParserEnv* env) { env->pctx->checkState.reset(); }

const std::vector<BuiltinCallSite>* parser_checkedCallSites(ParserEnv* env) {
  CheckSession* shared = session(env);
  if (shared == nullptr) return nullptr;
  ProgramView localView;
  const ProgramView& view = programView(env, env->pctx->fileName, localView);
  ProgramCensus localCensus;
  const ProgramCensus& census = programCensus(env, view, localCensus);
  shared->callSites.clear();
  shared->callSites.reserve(census.calls.size());
  for (const NodeSite& site : census.calls) {
    shared->callSites.push_back({site.node, view.fileNodes[view.all[site.declaration].file]});
  }
  return &shared->callSites;
}

void parser_checkEachFileLinkage(ParserEnv* env, const char* mainFileName) {
  ProgramView local;
  const ProgramView& view = programView(env, mainFileName, local);
  for (u32 file = 0; file < view.perFile.size(); ++file) {
    if (!checkFile(env, view.fileName(file), view.perFile[file], view)) return;
  }
}

void parser_checkProgramGlobalLinkage(ParserEnv* env, const char* mainFileName) {
  ProgramView local;
  const ProgramView& view = programView(env, mainFileName, local);
  if (!knownFreeOfDuplicates(env, view) && !checkDuplicates(env, view, view.all)) return;
  if (!checkProcessInstAndSubprocessDef(env, view)) return;
  if (!check_prototypes_without_definition(env, view)) return;
  if (!check_break(env, view)) return;
  // Instance records are laid out once, when every definition is known.
  VELK_ASSERT_TEXT(prog(env)->infoProg->n_processInstances == 0, "n_processInstances == 0");
  const int status = env->pctx->status;
  parser_allocate_process_instances(env, prog(env)->root);
  if (env->pctx->status != status) return;
  check_enums(env, view);
}

void parser_checkType(ParserEnv* env) {
  ProgramView local;
  const ProgramView& view = programView(env, env->pctx->fileName, local);
  for (const Declaration& d : view.all) {
    if (d.node->op == TYPE_DECLARATION && !checkForDuplicatedTypeFlds(env, view.fileName(d.file), d.node)) {
      return;
    }
  }
  checkCtrlFlowBoolParam(env, view);
}

u32 parser_checkOperationValues(ParserEnv* env, AST* root) {
  program* p = prog(env);
  if (root == nullptr) return OPERR_NONE;
  OperationPlan plan;
  CheckSession* shared = session(env);
  if (shared == nullptr || root != p->root || !shared->takePlanAhead(p, plan)) {
    plan = OperationPlanner(TreeSnapshot::of(p)).take(root);
  } else if (kCompareShortcuts) {
    const OperationPlan inPlace = OperationPlanner(TreeSnapshot::of(p)).take(root);
    VELK_ASSERT_TEXT(plan.steps == inPlace.steps && plan.files == inPlace.files,
                     "the operation plan taken ahead matches one taken in place");
  }
  OperationWalk walk{env, OPERR_NONE, env->pctx->fileName, {}, {}};
  const std::string mainFileName = walk.fileName;
  for (size_t i = 0; i < plan.steps.size(); ++i) {
    const u32 step = plan.steps[i];
    if (step == NO_ID) {
      const AST* file = plan.files[plan.steps[++i]];
      walk.fileName = file == nullptr ? mainFileName : includeName(env, file);
      continue;
    }
    if (!walk.checkNode(&p->RAMprogram[step])) break;
  }
  if (walk.error != OPERR_NONE) {
    std::snprintf(env->pctx->fileName, sizeof env->pctx->fileName, "%s", walk.fileName.c_str());
  }
  return walk.error;
}
