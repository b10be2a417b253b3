// Helpers shared by the unit tests: an empty image with a tree, freed on scope exit.
#pragma once
#include "ast.h"
#include "program.h"
#include "velk_memory.h"

struct ScopedProgram {
  program* p;
  explicit ScopedProgram(u32 capacity = 64) : p(program_create()) {
    AST_createTree(p, capacity);
    AST_createLineIndex(p, capacity);
  }
  ~ScopedProgram() {
    free_program(p);
    memory_free(p);
  }
  ScopedProgram(const ScopedProgram&) = delete;
  ScopedProgram& operator=(const ScopedProgram&) = delete;
  program* operator->() const { return p; }
};
