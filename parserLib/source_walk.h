// The top-level declarations of a program in source order, each with the file
// it comes from. A file node (INCLUDE_OP: the system library or an included
// file) stands in its includer's declaration list where the include was, and
// holds the file's own declarations in its left child; the walk enters it in
// place, so a declaration's file is known without searching for it.
#pragma once
#include <vector>

#include "ast.h"

// What a walk tells its visitor. A file is its file node, nullptr for the main
// file. Each member returns false to stop the walk.
struct SourceVisitor {
  // Before the declarations of an included file.
  bool enterFile(const AST* /*file*/) { return true; }
  // Each declaration, with the file that holds it.
  bool declaration(AST* /*node*/, const AST* /*file*/) { return true; }
  // After the last declaration of a file; the main file is left last.
  bool leaveFile(const AST* /*file*/) { return true; }
};

// How a walk reads a node's children: here through the program's checked
// accessors. Another reader with the same two members (left, right) may walk
// a tree that it reads in its own way.
struct ProgramLinks {
  const program* p;
  AST* left(const AST* node) const { return AST_left(p, node); }
  AST* right(const AST* node) const { return AST_right(p, node); }
};

// Walks the declarations under root (a ROOT node); empty declaration slots are
// skipped. False when the visitor stopped the walk. The pending files are
// kept on an explicit stack: include nesting has no fixed bound.
template <class Links, class Visitor>
bool parser_walkSourceWith(const Links& links, const AST* root, Visitor& visitor) {
  struct Pending {
    AST* cell;  // the next cell of the file's declaration list
    const AST* file;
  };
  std::vector<Pending> pending{{links.left(root), nullptr}};
  while (!pending.empty()) {
    Pending& current = pending.back();
    AST* cell = current.cell;
    if (cell == nullptr) {
      const AST* file = current.file;
      pending.pop_back();
      if (!visitor.leaveFile(file)) return false;
      continue;
    }
    current.cell = links.right(cell);
    AST* node = links.left(cell);
    // The cells and their declarations lie far apart in the node array: the
    // next cell is fetched while this declaration is visited.
    if (current.cell != nullptr) __builtin_prefetch(current.cell);
    if (node == nullptr) continue;
    if (node->op == INCLUDE_OP) {
      if (!visitor.enterFile(node)) return false;
      pending.push_back({links.left(node), node});
      continue;
    }
    if (!visitor.declaration(node, current.file)) return false;
  }
  return true;
}

template <class Visitor>
bool parser_walkSource(const program* p, const AST* root, Visitor& visitor) {
  return parser_walkSourceWith(ProgramLinks{p}, root, visitor);
}
