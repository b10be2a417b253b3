// Mutations of a valid image file: every truncation, byte flip and extreme u32
// must give a read code or an image whose every id and value pointer stays in
// bounds (run under the sanitizers, any stray access fails the run). An image
// the reader accepts is one the writer can store again, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "ast.h"
#include "ast_reader.h"
#include "ast_writer.h"
#include "interp_env.h"
#include "program.h"
#include "velk_memory.h"

// From ast_file_test.cpp.
program* astFileTest_makeSampleProgram(const std::vector<std::string>& strings);
std::vector<std::pair<u32, u64>> astFileTest_sections(const InfoProg& counts);

namespace {

using Bytes = std::vector<char>;

class AstImageMutation : public testing::Test {
 protected:
  void SetUp() override {
    program* p = astFileTest_makeSampleProgram({"%d\n", "tick"});
    original_ = store(p);
    u64 start = 0;
    for (auto [code, size] : astFileTest_sections(*p->infoProg)) {
      sections_.push_back({code, start, start + size});
      start += size;
    }
    free_program(p);
    memory_free(p);
  }
  void TearDown() override {
    std::remove(path_.c_str());
    std::remove(rewritten_.c_str());
  }

  Bytes store(program* p) {
    ParserContext pctx;
    ParserEnv penv{p, nullptr, &pctx};
    if (write_storeProgramBinary(&penv, rewritten_.c_str()) != 0) fail("store failed");
    std::ifstream in(rewritten_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  u32 codeAt(u64 offset) const {
    for (const Section& s : sections_) {
      if (offset >= s.start && offset < s.end) return s.code;
    }
    return AST_READ_OK;
  }

  // Reads the bytes, checks the outcome and, for an accepted image, walks it
  // and stores it again. Failures are collected: stdout is captured meanwhile.
  void check(const Bytes& bytes, const std::string& what, u32 expected = NO_ID) {
    std::ofstream(path_, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    InterpEnv* env = interp_create();
    u32 code = readBinary_AST(env, env->program, env->program->dbg, path_.c_str());
    ++reads_;
    if (expected != NO_ID && code != expected) {
      fail(what + ": code " + std::to_string(code) + ", expected " + std::to_string(expected));
    } else if (code > AST_READ_INCONSISTENT) {
      fail(what + ": code " + std::to_string(code));
    } else if (code == AST_READ_OK) {
      walk(env->program);
      checkStoredAgain(env->program, bytes, what);
    }
    interp_stop(env);
  }

  // Touches every id and value an accepted image holds.
  void walk(const program* p) {
    const InfoProg& c = *p->infoProg;
    volatile u64 sink = 0;
    for (u32 i = 0; i < c.n_AST; ++i) {
      const AST* node = AST_fromId(p, i);
      sink = sink + AST_lineFromId(p, i) + AST_listSize(p, AST_left(p, node)) +
             AST_listSize(p, AST_right(p, node));
    }
    for (u32 i = 0; i < c.n_string; ++i) {
      sink = sink + std::strlen(p->stringTable + p->stringTableIndex[i]);
    }
    for (u32 i = 0; i < c.n_symbols; ++i) sink = sink + std::strlen(Symbol_getName(p, i));
    for (u32 i = 0; i < c.n_type; ++i) sink = sink + std::strlen(Type_getName(p, i));
    for (u32 i = 0; i < c.n_globalVariables; ++i) sink = sink + std::strlen(Variable_getName(p, i));
    sink = sink + sumCells(p, p->globalVariableTable, c.n_globalVariables) +
           sumCells(p, p->processStaticVariableTable, c.n_processStaticVariables) +
           sumCells(p, p->globalConstantTable, c.n_globalConstants);
  }

  static u64 sumCells(const program* p, const TaggedValue* table, u32 count) {
    u64 sum = 0;
    for (u32 i = 0; i < count; ++i) {
      for (u32 cell = 0; cell < TypeDefID_getStorageSize(p, table[i].typeId); ++cell) {
        sum += table[i].value[cell];
      }
    }
    return sum;
  }

  // The writer stores what was read; only the words the reader ignores or
  // replaces may differ: magic bytes after the NUL, the header words,
  // max_ast_size and the padding.
  void checkStoredAgain(program* p, Bytes expected, const std::string& what) {
    const InfoProg& c = *p->infoProg;
    std::memset(&expected[14], 0, 2);
    const u32 words[] = {AST_IMAGE_FORMAT_FLAGS, AST_IMAGE_FORMAT_VERSION};
    std::memcpy(&expected[16], words, sizeof words);
    std::memcpy(&expected[24 + 5 * 4], &c.max_ast_size, 4);
    u64 padding = 0;
    for (auto [code, size] : astFileTest_sections(c)) {
      if (code == AST_READ_STRING_TABLE) {
        std::memset(&expected[padding + c.stringStorageSize], 0,
                    astImage_paddingSize(c.stringStorageSize));
        break;
      }
      padding += size;
    }
    if (store(p) != expected) fail(what + ": stored again differently");
    InterpEnv* env = interp_create();
    if (readBinary_AST(env, env->program, env->program->dbg, rewritten_.c_str()) != 0) {
      fail(what + ": stored again unreadable");
    }
    interp_stop(env);
  }

  void fail(const std::string& message) {
    if (failures_.size() < 20) failures_.push_back(message);
  }

  struct Section {
    u32 code;
    u64 start, end;
  };
  std::string path_ = testing::TempDir() + "velk_mutation_" + std::to_string(getpid()) + ".ast";
  std::string rewritten_ = path_ + ".again";
  Bytes original_;
  std::vector<Section> sections_;
  std::vector<std::string> failures_;
  u32 reads_ = 0;
};

TEST_F(AstImageMutation, EveryMutationReadsSafely) {
  ASSERT_GT(original_.size(), 500u);
  testing::internal::CaptureStdout();
  check(original_, "original", AST_READ_OK);
  // A truncated valid image always names the section it ends in, never 30.
  for (u64 size = 0; size < original_.size(); ++size) {
    check(Bytes(original_.begin(), original_.begin() + size), "cut at " + std::to_string(size),
          codeAt(size));
  }
  for (size_t at = 0; at < original_.size(); ++at) {
    for (char mask : {'\x01', '\x80', '\xFF'}) {
      Bytes bytes = original_;
      bytes[at] ^= mask;
      check(bytes, "flip " + std::to_string(mask & 0xFF) + " at " + std::to_string(at));
    }
  }
  const u32 extremes[] = {0,
                          1,
                          2,
                          5,
                          9,
                          0x7FFFFFFF,
                          0x80000000,
                          NO_ID - 1000,
                          NO_ID - 1,
                          NO_ID,
                          static_cast<u32>(original_.size())};
  for (size_t at = 0; at + 4 <= original_.size(); at += (at < 96 ? 4 : 2)) {
    for (u32 value : extremes) {
      Bytes bytes = original_;
      std::memcpy(&bytes[at], &value, 4);
      check(bytes, "u32 " + std::to_string(value) + " at " + std::to_string(at));
    }
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(reads_, 3000u);
  for (const std::string& failure : failures_) ADD_FAILURE() << failure;
}

}  // namespace
