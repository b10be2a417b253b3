// Walking a list: the cells of a chain of LIST nodes, each holding an element
// on its left and the rest of the list on its right, in order:
//
//   for (AST* cell : AST_cells(p, list)) use(AST_left(p, cell));
//
// The walk yields cells rather than elements so that a loop can check a cell
// before reading it. It follows right links until NO_ID, like the loop it
// replaces; a null list is empty. Walks that stop early, skip, or advance a
// second chain in step keep their own loop.
#pragma once
#include "ast.h"

class ASTCells {
 public:
  class iterator {
   public:
    iterator(const program* p, AST* cell) : p_(p), cell_(cell) {}
    AST* operator*() const { return cell_; }
    iterator& operator++() {
      cell_ = AST_right(p_, cell_);
      return *this;
    }
    bool operator!=(const iterator& other) const { return cell_ != other.cell_; }

   private:
    const program* p_;
    AST* cell_;
  };

  ASTCells(const program* p, AST* first) : p_(p), first_(first) {}
  iterator begin() const { return {p_, first_}; }
  iterator end() const { return {p_, nullptr}; }

 private:
  const program* p_;
  AST* first_;
};

inline ASTCells AST_cells(const program* p, AST* list) { return {p, list}; }
