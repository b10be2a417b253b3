#include "program.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_image.h"
#include "velk_memory.h"

namespace {

TEST(Memory, AllocZeroFillsAndTracksTheRunningTotal) {
  size_t before = memory_allocatedBytes();
  u64* cells = MEMORY_ALLOC(4, u64, "cells");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(cells[i], 0u);
  EXPECT_EQ(memory_allocatedBytes(), before + 32);
  cells[3] = 9;
  cells = MEMORY_REALLOC(cells, 4, 10, u64, "cells");
  EXPECT_EQ(cells[3], 9u);
  for (int i = 4; i < 10; ++i) EXPECT_EQ(cells[i], 0u);
  EXPECT_EQ(memory_allocatedBytes(), before + 80);
  EXPECT_EQ(MEMORY_REALLOC(cells, 10, 0, u64, "cells"), nullptr);
  EXPECT_EQ(memory_allocatedBytes(), before);
  EXPECT_EQ(MEMORY_ALLOC(0, u64, "none"), nullptr);
}

// Tables grow one element at a time; the block keeps room ahead, which must
// never leak old contents or upset the running total.
TEST(Memory, GrowingStepByStepKeepsContentsZeroesNewPartsAndCountsExactly) {
  const size_t before = memory_allocatedBytes();
  u32* table = nullptr;
  for (u32 n = 1; n <= 5000; ++n) {
    table = MEMORY_REALLOC(table, n - 1, n, u32, "table");
    ASSERT_EQ(table[n - 1], 0u) << "element " << n - 1;
    table[n - 1] = n;
  }
  for (u32 i = 0; i < 5000; ++i) ASSERT_EQ(table[i], i + 1);
  EXPECT_EQ(memory_allocatedBytes(), before + 5000 * sizeof(u32));
  // Cut down a little (room kept), then grown again: the part given up and
  // taken back reads as zero, not as the values it held before.
  table = MEMORY_REALLOC(table, 5000, 4000, u32, "table");
  EXPECT_EQ(memory_allocatedBytes(), before + 4000 * sizeof(u32));
  table = MEMORY_REALLOC(table, 4000, 4500, u32, "table");
  EXPECT_EQ(table[3999], 4000u);
  for (u32 i = 4000; i < 4500; ++i) ASSERT_EQ(table[i], 0u) << "element " << i;
  // Cut down to a small fraction, then grown past the old room.
  table = MEMORY_REALLOC(table, 4500, 3, u32, "table");
  EXPECT_EQ(table[2], 3u);
  table = MEMORY_REALLOC(table, 3, 9000, u32, "table");
  EXPECT_EQ(table[2], 3u);
  for (u32 i = 3; i < 9000; ++i) ASSERT_EQ(table[i], 0u) << "element " << i;
  EXPECT_EQ(memory_allocatedBytes(), before + 9000 * sizeof(u32));
  memory_free(table);
  EXPECT_EQ(memory_allocatedBytes(), before);
}

TEST(MemoryDeathTest, ImpossibleSizeEndsWithMemoryError) {
  EXPECT_EXIT(memory_alloc(SIZE_MAX / 2, 4, __FILE__, __func__, __LINE__, "huge"),
              testing::ExitedWithCode(10), "");
}

TEST(Program, FreshImageHasNoCountsAndNoInitFunction) {
  ScopedProgram prog;
  const InfoProg* info = prog->infoProg;
  EXPECT_EQ(info->n_symbols + info->n_type + info->n_globalVariables + info->n_functions, 0u);
  EXPECT_EQ(info->initFunction, NO_ID);
}

TEST(Program, ReallocTableGrowsToExactlyTheNeededCount) {
  u32 capacity = 2;
  u32* table = MEMORY_ALLOC(capacity, u32, "table");
  parser_reallocTable(&table, &capacity, 2);
  EXPECT_EQ(capacity, 2u);
  parser_reallocTable(&table, &capacity, 5);
  EXPECT_EQ(capacity, 5u);
  EXPECT_EQ(table[4], 0u);
  memory_free(table);
}

TEST(Program, GrowingADataTableKeepsValuesOnTheirCells) {
  u32 capacity = 2;
  DataCell* data = MEMORY_ALLOC(capacity, DataCell, "data");
  data[0] = 11;
  data[1] = 22;
  TaggedValue values[3] = {{data, TypeUInt8, 0}, {data + 1, TypeUInt8, 1}, {nullptr, TypeUInt8, 2}};
  DataCell* old = data;
  parser_reallocTable(&data, &capacity, 4096);
  parser_computeAnyValueAddresses(old, data, values, 3);
  EXPECT_EQ(*values[0].value, 11u);
  EXPECT_EQ(*values[1].value, 22u);
  EXPECT_EQ(values[2].value, nullptr);
  memory_free(data);
}

// A tiny symbol table: "alpha", "beta"; a type and a variable named after them.
struct NamedProgram : ScopedProgram {
  NamedProgram() {
    static const char kNames[] = "alpha\0beta";
    p->dbg->symbolTable = MEMORY_ALLOC(sizeof kNames, char, "symbolTable");
    std::memcpy(p->dbg->symbolTable, kNames, sizeof kNames);
    p->infoProg->symbolStorageSize = sizeof kNames;
    p->dbg->symbolTableIndex = MEMORY_ALLOC(2, u32, "symbolTableIndex");
    p->dbg->symbolTableIndex[1] = 6;
    p->infoProg->n_symbols = 2;
    p->typeTable = MEMORY_ALLOC(1, TypeDefinition, "typeTable");
    p->typeTable[0] = {0, 0, 3, NONE_BUFFER, NO_ID};
    p->dbg->typeSymbolId = MEMORY_ALLOC(1, u32, "typeSymbolId");
    p->dbg->typeSymbolId[0] = 1;
    p->infoProg->n_type = 1;
    p->dbg->globalVariableSymbolId = MEMORY_ALLOC(1, u32, "globalVariableSymbolId");
    p->infoProg->n_globalVariables = 1;
  }
};

TEST(Program, NameAccessorsFollowTheSymbolIds) {
  NamedProgram prog;
  EXPECT_STREQ(Symbol_getName(prog.p, 1), "beta");
  EXPECT_STREQ(Type_getName(prog.p, 0), "beta");
  EXPECT_STREQ(Variable_getName(prog.p, 0), "alpha");
  EXPECT_EQ(TypeDefID_getStorageSize(prog.p, 0), 3u);
  struct FakeEnv {
    struct program* program;
  } env{prog.p};
  EXPECT_STREQ(Symbol_getName(&env, 0), "alpha");
}

TEST(ProgramDeathTest, SymbolIdOutOfRangeIsAnInternalError) {
  NamedProgram prog;
  EXPECT_DEATH(Symbol_getName(prog.p, 2), "Assertion 'symId < env->program->infoProg->n_symbols'");
  EXPECT_DEATH(Type_getName(prog.p, 1), "typeId < env->program->infoProg->n_type");
}

}  // namespace
