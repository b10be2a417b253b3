// The AST image file: what the writer stores is what the reader rebuilds, and
// every way a file can be short or inconsistent gives its own code.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ast.h"
#include "ast_reader.h"
#include "ast_writer.h"
#include "interp_env.h"
#include "program.h"
#include "velk_memory.h"

// Shared with ast_file_mutation_test.cpp.
program* astFileTest_makeSampleProgram(const std::vector<std::string>& strings);
std::vector<std::pair<u32, u64>> astFileTest_sections(const InfoProg& counts);

namespace {

template <class T>
T* tableOf(std::initializer_list<T> items, const char* name) {
  T* table = MEMORY_ALLOC(items.size(), T, name);
  std::copy(items.begin(), items.end(), table);
  return table;
}

// Packs NUL-terminated texts into one table and returns the offset of each.
u32* packTexts(const std::vector<std::string>& texts, char** table, u32* size) {
  std::string packed;
  u32* index = MEMORY_ALLOC(texts.size(), u32, "index");
  for (size_t i = 0; i < texts.size(); ++i) {
    index[i] = static_cast<u32>(packed.size());
    packed += texts[i];
    packed += '\0';
  }
  *size = static_cast<u32>(packed.size());
  *table = MEMORY_ALLOC(packed.size(), char, "table");
  std::memcpy(*table, packed.data(), packed.size());
  return index;
}

void addSampleNodes(program* p) {
  AST* root = AST_makeNodeVal(p, ROOT, 0, 0, nullptr, nullptr, 1);  // 0
  AST* literal =
      AST_makeNodeVal(p, INTEGER_OP, 0x9ABCDEF0u, 0x12345678u, nullptr, nullptr, 2);  // 1
  AST* label = AST_makeNodeVal(p, LABEL_STRING_OP, 0, 0, nullptr, nullptr, 3);        // 2
  AST* list = AST_makeList2(p, literal, label, 4);                 // 3 (second cell), 4 (head)
  AST_makeNodeVal(p, TRANSITION_BODY, 4, 0, literal, nullptr, 5);  // 5
  AST* field = AST_makeNodeVal(p, FIELD_STATEMENT, 0, 0, nullptr, nullptr, 6);  // 6
  AST_makeList1(p, field, 7);                                                   // 7
  AST_makeNodeVal(p, BLOCK, 0, 0, nullptr, list, 8);                            // 8
  root->left = AST_id(p, list);
}

// Types: two scalars, an array of 3 cells (so the next variable starts 3
// cells later), an unsized channel of 0 cells, a structure of 1 cell.
void addSampleTypes(program* p) {
  p->infoProg->n_type = 5;
  p->typeTable = tableOf<TypeDefinition>({{0, 0, 1, NONE_BUFFER, NO_ID},
                                          {1, 0, 1, NONE_BUFFER, NO_ID},
                                          {0, 3, 3, ARRAY_BUFFER, NO_ID},
                                          {2, NO_ID, 0, CHANNEL_BUFFER, NO_ID},
                                          {4, 1, 1, NONE_BUFFER, 7}},
                                         "typeTable");
}

void addSampleData(program* p) {
  InfoProg* c = p->infoProg;
  c->size_constantData = 5;
  DataCell* k = p->constantDataTable = tableOf<DataCell>({11, 12, 13, 14, 15}, "constants");
  c->n_globalConstants = 3;  // array at cell 1, scalar at cell 4, a channel without value
  p->globalConstantTable = tableOf<TaggedValue>(
      {{k + 1, 2, NO_ID}, {k + 4, 0, NO_ID}, {nullptr, 3, NO_ID}}, "globalConstantTable");
  c->n_globalVariables = 3;
  c->size_globalVariableData = 5;
  p->globalVariableDataInitTable = tableOf<DataCell>({31, 32, 33, 34, 35}, "globals");
  p->globalVariableTable = tableOf<TaggedValue>({{nullptr, 0, 0}, {nullptr, 2, 1}, {nullptr, 4, 2}},
                                                "globalVariableTable");
  c->n_processStaticVariables = 2;
  c->size_processStaticVariableData = 4;
  p->processStaticVariableDataInitTable = tableOf<DataCell>({21, 22, 23, 24}, "statics");
  p->processStaticVariableTable =
      tableOf<TaggedValue>({{nullptr, 2, NO_ID}, {nullptr, 1, NO_ID}}, "statics");
}

// A prototype (NO_ID parts, zero words) and a definition with one allocated
// global instance whose sub-instance has no static variable.
void addSampleProcesses(program* p) {
  InfoProg* c = p->infoProg;
  c->n_functions = 1;
  c->initFunction = 0;
  p->functionTable = tableOf<FunctionDefinition>({{NO_ID, 8}}, "functionTable");
  c->n_processDefinitions = 2;
  p->processDefinitionTable =
      tableOf<ProcessDefinition>({{4, NO_ID, NO_ID, NO_ID, NO_ID, NO_ID, 0, 0, 0},
                                  {NO_ID, 4, NO_ID, NO_ID, 8, 4, NO_ID, 1, 2}},
                                 "processDefinitionTable");
  c->n_globalProcessInstances = 1;
  p->processGlobalInstanceTable = tableOf<ProcessGlobalInstance>(
      {{0, 1, NO_ID, NO_ID, NO_ID, NO_ID, 0, 1}}, "processGlobalInstanceTable");
  c->n_processInstances = 2;
  p->processInstanceTable = tableOf<ProcessInstance>({{1, 0}, {0, NO_ID}}, "instances");
}

void addSampleSymbols(program* p) {
  const std::vector<std::string> names = {"main", "x",  "buf", "rec", "K",    "L",    "S",
                                          "f",    "P",  "Q",   "p",   "p::q", "p::s", "p::t",
                                          "t0",   "t1", "t2",  "t3",  "t4"};
  DebugInfo* d = p->dbg;
  p->infoProg->n_symbols = static_cast<u32>(names.size());
  d->symbolTableIndex = packTexts(names, &d->symbolTable, &p->infoProg->symbolStorageSize);
  d->globalVariableSymbolId = tableOf<u32>({1, 2, 3}, "ids");
  d->globalConstantSymbolId = tableOf<u32>({4, 5, 6}, "ids");
  d->functionSymbolId = tableOf<u32>({7}, "ids");
  d->processDefinitionSymbolId = tableOf<u32>({8, 9}, "ids");
  d->globalProcessInstanceSymbolId = tableOf<u32>({10}, "ids");
  d->processInstanceSymbolId = tableOf<u32>({10, 11}, "ids");
  d->processStaticVariableSymbolId = tableOf<u32>({12, 13}, "ids");
  d->typeSymbolId = tableOf<u32>({14, 15, 16, 17, 18}, "ids");
}

}  // namespace

// An image that fills every section of the file; strings picks the string
// table (and so its padding).
program* astFileTest_makeSampleProgram(const std::vector<std::string>& strings) {
  program* p = program_create();
  AST_createTree(p, 64);
  AST_createLineIndex(p, 64);
  addSampleNodes(p);
  addSampleTypes(p);
  addSampleData(p);
  p->infoProg->n_string = static_cast<u32>(strings.size());
  p->stringTableIndex = packTexts(strings, &p->stringTable, &p->infoProg->stringStorageSize);
  addSampleProcesses(p);
  addSampleSymbols(p);
  return p;
}

// Each section of the file in order: the code a file ending inside it yields,
// and its size in bytes.
std::vector<std::pair<u32, u64>> astFileTest_sections(const InfoProg& c) {
  auto n = [](u32 count, u64 size) { return count * size; };
  return {
      {AST_READ_HEADER, 24},
      {AST_READ_COUNTS, 72},
      {AST_READ_NODES, n(c.n_AST, 24)},
      {AST_READ_TYPES, n(c.n_type, 20)},
      {AST_READ_CONSTANT_DATA, n(c.size_constantData, 8)},
      {AST_READ_STRING_INDEX, n(c.n_string, 4)},
      {AST_READ_STRING_TABLE, u64{c.stringStorageSize} + astImage_paddingSize(c.stringStorageSize)},
      {AST_READ_FUNCTIONS, n(c.n_functions, 8)},
      {AST_READ_PROCESS_DEFINITIONS, n(c.n_processDefinitions, 36)},
      {AST_READ_GLOBAL_INSTANCES, n(c.n_globalProcessInstances, 32)},
      {AST_READ_INSTANCES, n(c.n_processInstances, 8)},
      {AST_READ_GLOBAL_CONSTANTS, n(c.n_globalConstants, 8)},
      {AST_READ_GLOBAL_VARIABLES, n(c.n_globalVariables, 4)},
      {AST_READ_GLOBAL_DATA, n(c.size_globalVariableData, 8)},
      {AST_READ_STATIC_VARIABLES, n(c.n_processStaticVariables, 4)},
      {AST_READ_STATIC_DATA, n(c.size_processStaticVariableData, 8)},
      {AST_READ_DEFINITION_SYMBOLS, n(c.n_processDefinitions, 4)},
      {AST_READ_INSTANCE_SYMBOLS, n(c.n_processInstances, 4)},
      {AST_READ_GLOBAL_INSTANCE_SYMBOLS, n(c.n_globalProcessInstances, 4)},
      {AST_READ_SYMBOL_INDEX, n(c.n_symbols, 4)},
      {AST_READ_SYMBOL_NAMES, c.symbolStorageSize},
      {AST_READ_GLOBAL_VARIABLE_SYMBOLS, n(c.n_globalVariables, 4)},
      {AST_READ_GLOBAL_CONSTANT_SYMBOLS, n(c.n_globalConstants, 4)},
      {AST_READ_TYPE_SYMBOLS, n(c.n_type, 4)},
      {AST_READ_FUNCTION_SYMBOLS, n(c.n_functions, 4)},
      {AST_READ_STATIC_VARIABLE_SYMBOLS, n(c.n_processStaticVariables, 4)},
      {AST_READ_NODE_LINES, n(c.n_AST, 4)},
  };
}

namespace {

using Bytes = std::vector<char>;

struct ProgramDeleter {
  void operator()(program* p) const {
    free_program(p);
    memory_free(p);
  }
};
using ProgramPtr = std::unique_ptr<program, ProgramDeleter>;
struct EnvDeleter {
  void operator()(InterpEnv* env) const { interp_stop(env); }
};
using EnvPtr = std::unique_ptr<InterpEnv, EnvDeleter>;

u64 sectionStart(const InfoProg& counts, u32 code) {
  u64 start = 0;
  for (auto [sectionCode, size] : astFileTest_sections(counts)) {
    if (sectionCode == code) return start;
    start += size;
  }
  ADD_FAILURE() << "no section " << code;
  return 0;
}

class AstImageFile : public testing::Test {
 protected:
  std::string tempPath(const std::string& name) const {
    return testing::TempDir() + "velk_image_" + std::to_string(getpid()) + "_" + name;
  }
  void TearDown() override {
    for (const std::string& path : created_) std::remove(path.c_str());
  }

  static int store(program* p, const std::string& path, ParserContext* pctx = nullptr) {
    ParserContext local;
    ParserEnv penv{p, nullptr, pctx != nullptr ? pctx : &local};
    return write_storeProgramBinary(&penv, path.c_str());
  }
  Bytes storeBytes(program* p) {
    std::string path = tempPath("stored.ast");
    created_.push_back(path);
    EXPECT_EQ(store(p, path), 0);
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string putBytes(const Bytes& bytes) {
    std::string path = tempPath("input.ast");
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    created_.push_back(path);
    return path;
  }

  // Reads path into a fresh environment (kept in env_) and returns the code;
  // the report printed on the way lands in output_.
  u32 load(const std::string& path) {
    env_.reset();
    env_.reset(interp_create());
    testing::internal::CaptureStdout();
    u32 code = readBinary_AST(env_.get(), env_->program, env_->program->dbg, path.c_str());
    output_ = testing::internal::GetCapturedStdout();
    return code;
  }
  u32 loadBytes(const Bytes& bytes) { return load(putBytes(bytes)); }

  EnvPtr env_;
  std::string output_;
  std::vector<std::string> created_;
};

// Every table of the image with its size in bytes.
std::vector<std::pair<const void*, u64>> imageTables(const program* p) {
  const InfoProg& c = *p->infoProg;
  const DebugInfo* d = p->dbg;
  return {{p->RAMprogram, 24ull * c.n_AST},
          {d->nodeLine, 4ull * c.n_AST},
          {p->typeTable, 20ull * c.n_type},
          {p->constantDataTable, 8ull * c.size_constantData},
          {p->stringTableIndex, 4ull * c.n_string},
          {p->stringTable, c.stringStorageSize},
          {p->functionTable, 8ull * c.n_functions},
          {p->processDefinitionTable, 36ull * c.n_processDefinitions},
          {p->processGlobalInstanceTable, 32ull * c.n_globalProcessInstances},
          {p->processInstanceTable, 8ull * c.n_processInstances},
          {p->globalVariableDataInitTable, 8ull * c.size_globalVariableData},
          {p->processStaticVariableDataInitTable, 8ull * c.size_processStaticVariableData},
          {d->symbolTableIndex, 4ull * c.n_symbols},
          {d->symbolTable, c.symbolStorageSize},
          {d->processDefinitionSymbolId, 4ull * c.n_processDefinitions},
          {d->globalProcessInstanceSymbolId, 4ull * c.n_globalProcessInstances},
          {d->processInstanceSymbolId, 4ull * c.n_processInstances},
          {d->globalVariableSymbolId, 4ull * c.n_globalVariables},
          {d->globalConstantSymbolId, 4ull * c.n_globalConstants},
          {d->processStaticVariableSymbolId, 4ull * c.n_processStaticVariables},
          {d->typeSymbolId, 4ull * c.n_type},
          {d->functionSymbolId, 4ull * c.n_functions}};
}

void expectSameImage(const program* a, const program* b) {
  InfoProg expected = *a->infoProg;
  expected.max_ast_size = expected.n_AST + 1000;  // replaced by the reader
  EXPECT_EQ(std::memcmp(&expected, b->infoProg, sizeof expected), 0);
  auto x = imageTables(a), y = imageTables(b);
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i].second == 0) continue;
    ASSERT_NE(y[i].first, nullptr) << "table " << i;
    EXPECT_EQ(std::memcmp(x[i].first, y[i].first, x[i].second), 0) << "table " << i;
  }
  EXPECT_EQ(b->root, b->RAMprogram);
}

// ---------------------------------------------------------------------------
// Round trips

class AstImageFilePadding
    : public AstImageFile,
      public testing::WithParamInterface<std::pair<std::vector<std::string>, u32>> {};

TEST_P(AstImageFilePadding, RoundTripRebuildsTheImageAndPadsTheStrings) {
  auto [strings, padding] = GetParam();
  ProgramPtr original(astFileTest_makeSampleProgram(strings));
  const InfoProg& c = *original->infoProg;
  ASSERT_EQ(astImage_paddingSize(c.stringStorageSize), padding);
  Bytes bytes = storeBytes(original.get());

  u64 expectedSize = 0;
  for (auto [code, size] : astFileTest_sections(c)) expectedSize += size;
  ASSERT_EQ(bytes.size(), expectedSize);
  u64 paddingAt = sectionStart(c, AST_READ_STRING_TABLE) + c.stringStorageSize;
  EXPECT_EQ(static_cast<u32>(
                std::count(bytes.begin() + paddingAt, bytes.begin() + paddingAt + padding, 0)),
            padding);
  EXPECT_EQ(std::memcmp(bytes.data(), "QuIv_VELK_AST\0\0\0\1\0\0\0\x12\0\0\0", 24), 0);

  ASSERT_EQ(loadBytes(bytes), AST_READ_OK);
  EXPECT_EQ(output_, "");
  expectSameImage(original.get(), env_->program);
}

INSTANTIATE_TEST_SUITE_P(
    StringTableSizes, AstImageFilePadding,
    testing::Values(std::make_pair(std::vector<std::string>{"abc"}, 0u),           // 4 bytes
                    std::make_pair(std::vector<std::string>{"%d\n", "tick"}, 3u),  // 9 bytes
                    std::make_pair(std::vector<std::string>{"a", "bcd"}, 2u),      // 6 bytes
                    std::make_pair(std::vector<std::string>{"ab"}, 1u)));          // 3 bytes

TEST_F(AstImageFile, ReadingRebuildsValuePointersAndGlobalIds) {
  ProgramPtr original(astFileTest_makeSampleProgram({"%d\n"}));
  ASSERT_EQ(loadBytes(storeBytes(original.get())), AST_READ_OK);
  const program* p = env_->program;
  const u32 globalOffsets[] = {0, 1, 4};  // after a 1-cell scalar and a 3-cell array
  for (u32 k = 0; k < 3; ++k) {
    EXPECT_EQ(p->globalVariableTable[k].value, p->globalVariableDataInitTable + globalOffsets[k]);
    EXPECT_EQ(p->globalVariableTable[k].globalId, k);
    EXPECT_EQ(p->globalVariableTable[k].typeId, original->globalVariableTable[k].typeId);
  }
  EXPECT_EQ(p->globalVariableTable[2].value[0], 35u);
  EXPECT_EQ(p->processStaticVariableTable[0].value, p->processStaticVariableDataInitTable);
  EXPECT_EQ(p->processStaticVariableTable[1].value, p->processStaticVariableDataInitTable + 3);
  EXPECT_EQ(p->processStaticVariableTable[1].globalId, NO_ID);
  const u32 constantIndexes[] = {1, 4, 0};  // the valueless constant is stored as index 0
  for (u32 i = 0; i < 3; ++i) {
    EXPECT_EQ(p->globalConstantTable[i].value, p->constantDataTable + constantIndexes[i]);
    EXPECT_EQ(p->globalConstantTable[i].globalId, NO_ID);
  }
  EXPECT_STREQ(Symbol_getName(p, p->dbg->processStaticVariableSymbolId[1]), "p::t");
  EXPECT_STREQ(Type_getName(p, 4), "t4");
  EXPECT_STREQ(p->stringTable + p->stringTableIndex[0], "%d\n");
}

TEST_F(AstImageFile, ProgramWithoutProcessesConstantsOrStringsRoundTrips) {
  ProgramPtr original(program_create());
  AST_createTree(original.get(), 10);
  AST_createLineIndex(original.get(), 10);
  AST_makeNodeVal(original.get(), ROOT, 0, 0, nullptr, nullptr, 1);
  InfoProg* c = original->infoProg;
  c->n_type = 2;
  original->typeTable =
      tableOf<TypeDefinition>({{0, 0, 1, NONE_BUFFER, NO_ID}, {1, 0, 1, NONE_BUFFER, NO_ID}}, "t");
  original->dbg->typeSymbolId = tableOf<u32>({0, 0}, "ids");
  c->n_symbols = 1;
  original->dbg->symbolTableIndex =
      packTexts({"T"}, &original->dbg->symbolTable, &c->symbolStorageSize);
  Bytes bytes = storeBytes(original.get());
  EXPECT_EQ(bytes.size(), 24u + 72 + 24 + 2 * 20 + 4 + 2 + 2 * 4 + 4);
  ASSERT_EQ(loadBytes(bytes), AST_READ_OK);
  expectSameImage(original.get(), env_->program);
  EXPECT_EQ(env_->program->stringTable, nullptr);
  EXPECT_EQ(env_->program->globalConstantTable, nullptr);
  EXPECT_EQ(env_->program->processInstanceTable, nullptr);
}

TEST_F(AstImageFile, FreshImageWithoutNodesRoundTrips) {
  ProgramPtr original(program_create());
  ASSERT_EQ(loadBytes(storeBytes(original.get())), AST_READ_OK);
  EXPECT_EQ(env_->program->infoProg->n_AST, 0u);
  EXPECT_EQ(env_->program->infoProg->max_ast_size, 1000u);
  EXPECT_EQ(env_->program->infoProg->initFunction, NO_ID);
}

TEST_F(AstImageFile, LoadedTreeTakes999MoreNodesAndNotTheThousandth) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  ASSERT_EQ(loadBytes(storeBytes(original.get())), AST_READ_OK);
  program* p = env_->program;
  for (int i = 0; i < 999; ++i) AST_makeNodeVal(p, INTEGER_OP, i, 0, nullptr, nullptr, 1);
  EXPECT_EQ(p->infoProg->n_AST, 9u + 999);
  EXPECT_EXIT(AST_makeNodeVal(p, INTEGER_OP, 0, 0, nullptr, nullptr, 1),
              testing::ExitedWithCode(666 & 0xFF), "");  // status 666 as the shell sees it
}

// ---------------------------------------------------------------------------
// Writer failures

TEST_F(AstImageFile, MissingDirectoryIsReportedWithoutEndingTheProcess) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  ParserContext pctx;
  pctx.exitOnError = true;  // even so, the driver decides the exit code
  testing::internal::CaptureStdout();
  int result = store(original.get(), tempPath("missing/dir/out.ast"), &pctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] can not create output code file! No such file or directory\n");
  EXPECT_EQ(result, ENOENT);
  EXPECT_EQ(pctx.status, 98);
}

TEST_F(AstImageFile, ShortWriteIsReportedOnceAndFailsTheStore) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  ProgramPtr big(program_create());
  AST_createTree(big.get(), 2000);
  AST_createLineIndex(big.get(), 2000);
  AST_makeNodeVal(big.get(), ROOT, 0, 0, nullptr, nullptr, 1);
  for (int i = 0; i < 1500; ++i) AST_makeNodeVal(big.get(), LIST, 0, 0, nullptr, nullptr, 1);
  ParserContext pctx;
  testing::internal::CaptureStdout();
  int result = store(big.get(), "/dev/full", &pctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] error while writing progam's binary file\n");
  EXPECT_EQ(result, ENOSPC);
  EXPECT_EQ(pctx.status, 96);
}

TEST_F(AstImageFile, RewritingAnExistingFileLeavesExactlyTheNewImage) {
  ProgramPtr small(astFileTest_makeSampleProgram({"a"}));
  ProgramPtr large(astFileTest_makeSampleProgram({"a much longer string", "and another one"}));
  const Bytes smallBytes = storeBytes(small.get());
  const Bytes largeBytes = storeBytes(large.get());
  ASSERT_LT(smallBytes.size(), largeBytes.size());
  // Over a longer file the rest is cut off; over a shorter one the file grows.
  const std::string path = putBytes(Bytes(largeBytes.size() + 100, 'x'));
  ASSERT_EQ(store(small.get(), path), 0);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), smallBytes);
  ASSERT_EQ(store(large.get(), path), 0);
  EXPECT_EQ(load(path), AST_READ_OK) << output_;
}

TEST_F(AstImageFile, FailedRewriteOfAnExistingImageLeavesNoLoadableFile) {
  // The file was a valid image; the new one does not fit under the file size
  // limit, so the write fails part way through.
  ProgramPtr big(program_create());
  AST_createTree(big.get(), 5000);
  AST_createLineIndex(big.get(), 5000);
  AST_makeNodeVal(big.get(), ROOT, 0, 0, nullptr, nullptr, 1);
  for (int i = 0; i < 4000; ++i) AST_makeNodeVal(big.get(), LIST, 0, 0, nullptr, nullptr, 1);
  const std::string path = tempPath("rewritten.ast");
  created_.push_back(path);
  ASSERT_EQ(store(big.get(), path), 0);
  ASSERT_EQ(load(path), AST_READ_OK);
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limit = saved;
  limit.rlim_cur = 4096;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  ParserContext pctx;
  testing::internal::CaptureStdout();
  const int result = store(big.get(), path, &pctx);
  const std::string out = testing::internal::GetCapturedStdout();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, EFBIG);
  EXPECT_EQ(out, "[ERROR] error while writing progam's binary file\n");
  EXPECT_EQ(pctx.status, 96);
  EXPECT_EQ(load(path), AST_READ_MAGIC);
}

TEST_F(AstImageFile, PipesAndDevicesAreWrittenAsStreams) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  const Bytes expected = storeBytes(original.get());
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string path = "/dev/fd/" + std::to_string(ends[1]);
  ASSERT_LT(expected.size(), 60000u);  // fits the pipe's buffer: no reader needed
  EXPECT_EQ(store(original.get(), path), 0);
  close(ends[1]);
  Bytes read(expected.size() + 1);
  const ssize_t got = ::read(ends[0], read.data(), read.size());
  close(ends[0]);
  ASSERT_EQ(got, static_cast<ssize_t>(expected.size()));
  read.resize(static_cast<size_t>(got));
  EXPECT_EQ(read, expected);
  EXPECT_EQ(store(original.get(), "/dev/null"), 0);
}

// ---------------------------------------------------------------------------
// Read codes 1 to 29

TEST_F(AstImageFile, UnopenableFileIsCode1) {
  EXPECT_EQ(load(tempPath("does_not_exist.ast")), AST_READ_OPEN);
  EXPECT_EQ(output_, "could not read input code file !\n");
  EXPECT_EQ(load(testing::TempDir()), AST_READ_OPEN);  // a directory is no image
}

TEST_F(AstImageFile, WrongMagicIsCode3) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  Bytes bytes = storeBytes(original.get());
  bytes[5] = 'v';
  EXPECT_EQ(loadBytes(bytes), AST_READ_MAGIC);
  EXPECT_EQ(output_, "invalid VELK AST file !\n");
  bytes.resize(24);  // only the header
  EXPECT_EQ(loadBytes(bytes), AST_READ_MAGIC);
  bytes[5] = 'V';
  bytes[13] = 'x';  // the magic's terminating NUL is part of it
  EXPECT_EQ(loadBytes(bytes), AST_READ_MAGIC);
  bytes[13] = '\0';
  bytes[15] = 'x';  // what follows the NUL is not
  EXPECT_EQ(loadBytes(bytes), AST_READ_COUNTS);
}

TEST_F(AstImageFile, FileEndingInsideASectionYieldsThatSectionsCode) {
  ProgramPtr original(astFileTest_makeSampleProgram({"%d\n", "tick"}));
  Bytes bytes = storeBytes(original.get());
  u64 start = 0;
  for (auto [code, size] : astFileTest_sections(*original->infoProg)) {
    ASSERT_GT(size, 0u) << "the sample leaves section " << code << " empty";
    SCOPED_TRACE("section " + std::to_string(code));
    EXPECT_EQ(loadBytes(Bytes(bytes.begin(), bytes.begin() + start + size / 2)), code);
    EXPECT_EQ(output_, "invalid VELK AST file !\n");
    EXPECT_EQ(loadBytes(Bytes(bytes.begin(), bytes.begin() + start + size - 1)), code);
    start += size;
  }
}

// Counts far beyond the file end in the short-read code of their section
// before anything is allocated from them.
TEST_F(AstImageFile, HugeCountsInATinyFileAllocateNothingBig) {
  struct Row {
    u32 field, value, code;
  };
  const Row rows[] = {{4, 0xFFFFF000u, AST_READ_NODES},      {1, NO_ID, AST_READ_TYPES},
                      {15, NO_ID, AST_READ_CONSTANT_DATA},   {2, NO_ID, AST_READ_STRING_INDEX},
                      {3, NO_ID, AST_READ_STRING_TABLE},     {8, NO_ID, AST_READ_GLOBAL_CONSTANTS},
                      {7, NO_ID, AST_READ_GLOBAL_VARIABLES}, {0, NO_ID, AST_READ_SYMBOL_INDEX}};
  for (const Row& row : rows) {
    SCOPED_TRACE("infoProg field " + std::to_string(row.field));
    Bytes bytes(100, 0);
    std::memcpy(bytes.data(), AST_IMAGE_MAGIC, sizeof AST_IMAGE_MAGIC);
    u32 initFunction = NO_ID;
    std::memcpy(&bytes[24 + 16 * 4], &initFunction, 4);
    std::memcpy(&bytes[24 + row.field * 4], &row.value, 4);
    env_.reset();
    size_t before = memory_allocatedBytes();
    EXPECT_EQ(loadBytes(bytes), row.code);
    EXPECT_LT(memory_allocatedBytes() - before, size_t{1} << 20);
  }
}

// ---------------------------------------------------------------------------
// Code 30: sections read whole that contradict the rest of the image

struct Patch {
  const char* what;
  u32 section;  // the section's read code
  u32 offset;   // within the section
  u32 value;
  u32 width;  // 1 or 4 bytes
  u32 expected;
};

// Offset of the symbol table's last byte, whatever the names add up to.
constexpr u32 kLastSymbolByte = NO_ID;

Bytes patched(Bytes bytes, const InfoProg& counts, const Patch& patch) {
  u32 offset = patch.offset == kLastSymbolByte ? counts.symbolStorageSize - 1 : patch.offset;
  u64 at = sectionStart(counts, patch.section) + offset;
  std::memcpy(&bytes[at], &patch.value, patch.width);
  return bytes;
}

// In the sample: 9 nodes, 5 types, 2 strings of 9 bytes, 1 function, 2
// definitions, 2 instances, 2 statics, 19 symbols; constant cells 5.
const Patch kPatches[] = {
    {"tree capacity overflows", AST_READ_COUNTS, 16, NO_ID - 999, 4, 30},
    {"largest tree capacity", AST_READ_COUNTS, 16, NO_ID - 1000, 4, AST_READ_NODES},
    {"initFunction out of range", AST_READ_COUNTS, 64, 1, 4, 30},
    {"initFunction none", AST_READ_COUNTS, 64, NO_ID, 4, 0},
    {"global data size differs", AST_READ_COUNTS, 52, 6, 4, 30},
    {"node 0 is not ROOT", AST_READ_NODES, 0, LIST, 4, 30},
    {"unknown operation", AST_READ_NODES, 24, AST_OPERATION_COUNT, 4, 30},
    {"left child out of range", AST_READ_NODES, 4 * 24 + 16, 9, 4, 30},
    {"right child out of range", AST_READ_NODES, 4 * 24 + 20, 0x7FFFFFFF, 4, 30},
    {"last node as child", AST_READ_NODES, 4 * 24 + 20, 8, 4, 0},
    {"label string id", AST_READ_NODES, 2 * 24 + 8, 2, 4, 30},
    {"transition target", AST_READ_NODES, 5 * 24 + 8, 9, 4, 30},
    {"unlinked transition", AST_READ_NODES, 5 * 24 + 8, NO_ID, 4, 0},
    {"base type", AST_READ_TYPES, 20 + 0, 5, 4, 30},
    {"buffer kind", AST_READ_TYPES, 12, 6, 4, 30},
    {"field list", AST_READ_TYPES, 4 * 20 + 16, 9, 4, 30},
    {"string offset", AST_READ_STRING_INDEX, 4, 9, 4, 30},
    {"string table unterminated", AST_READ_STRING_TABLE, 8, 'x', 1, 30},
    {"padding is not checked", AST_READ_STRING_TABLE, 9, 'x', 1, 0},
    {"function body", AST_READ_FUNCTIONS, 4, 9, 4, 30},
    {"definition states", AST_READ_PROCESS_DEFINITIONS, 36 + 20, 9, 4, 30},
    {"global instance first instance", AST_READ_GLOBAL_INSTANCES, 0, 3, 4, 30},
    {"global instance last instance", AST_READ_GLOBAL_INSTANCES, 0, 2, 4, 0},
    {"global instance period", AST_READ_GLOBAL_INSTANCES, 4, 9, 4, 30},
    {"global instance first static", AST_READ_GLOBAL_INSTANCES, 24, 3, 4, 30},
    {"global instance definition", AST_READ_GLOBAL_INSTANCES, 28, 2, 4, 30},
    {"instance definition", AST_READ_INSTANCES, 0, 2, 4, 30},
    {"instance first static", AST_READ_INSTANCES, 4, 2, 4, 30},
    {"constant type", AST_READ_GLOBAL_CONSTANTS, 4, 5, 4, 30},
    {"constant cells past the table", AST_READ_GLOBAL_CONSTANTS, 0, 3, 4, 30},
    {"constant index none", AST_READ_GLOBAL_CONSTANTS, 8, NO_ID, 4, 30},
    {"constant at the table end", AST_READ_GLOBAL_CONSTANTS, 8, 5, 4, 30},
    {"empty constant at the table end", AST_READ_GLOBAL_CONSTANTS, 16, 5, 4, 0},
    {"variable type", AST_READ_GLOBAL_VARIABLES, 0, 5, 4, 30},
    {"variable sizes exceed the data", AST_READ_GLOBAL_VARIABLES, 8, 2, 4, 30},
    {"static type", AST_READ_STATIC_VARIABLES, 4, NO_ID, 4, 30},
    {"static sizes fall short of the data", AST_READ_STATIC_VARIABLES, 4, 3, 4, 30},
    {"definition symbol", AST_READ_DEFINITION_SYMBOLS, 0, 19, 4, 30},
    {"instance symbol", AST_READ_INSTANCE_SYMBOLS, 4, 19, 4, 30},
    {"global instance symbol", AST_READ_GLOBAL_INSTANCE_SYMBOLS, 0, NO_ID, 4, 30},
    {"symbol offset", AST_READ_SYMBOL_INDEX, 8, 200, 4, 30},
    {"symbol table unterminated", AST_READ_SYMBOL_NAMES, kLastSymbolByte, 'x', 1, 30},
    {"variable symbol", AST_READ_GLOBAL_VARIABLE_SYMBOLS, 0, 19, 4, 30},
    {"constant symbol", AST_READ_GLOBAL_CONSTANT_SYMBOLS, 8, 19, 4, 30},
    {"type symbol", AST_READ_TYPE_SYMBOLS, 16, 19, 4, 30},
    {"function symbol", AST_READ_FUNCTION_SYMBOLS, 0, 19, 4, 30},
    {"static symbol", AST_READ_STATIC_VARIABLE_SYMBOLS, 4, 19, 4, 30},
};

TEST_F(AstImageFile, InconsistentSectionsAreCode30) {
  ProgramPtr original(astFileTest_makeSampleProgram({"%d\n", "tick"}));
  const InfoProg& counts = *original->infoProg;
  Bytes bytes = storeBytes(original.get());
  for (const Patch& patch : kPatches) {
    SCOPED_TRACE(patch.what);
    EXPECT_EQ(loadBytes(patched(bytes, counts, patch)), patch.expected);
    EXPECT_EQ(output_, patch.expected == 0 ? "" : "invalid VELK AST file !\n");
  }
}

// Before the allocation pass global instances hold 0 in their first instance,
// first static and definition words, and no instance record exists.
TEST_F(AstImageFile, ImageBeforeInstanceAllocationIsAccepted) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  original->infoProg->n_processInstances = 0;
  original->processGlobalInstanceTable[0] = {0, 1, NO_ID, NO_ID, NO_ID, NO_ID, 0, 0};
  original->infoProg->n_processDefinitions = 0;  // only the definition word is left to check
  EXPECT_EQ(loadBytes(storeBytes(original.get())), AST_READ_OK);
  original->infoProg->n_processInstances = 1;
  EXPECT_EQ(loadBytes(storeBytes(original.get())), AST_READ_INCONSISTENT);
}

TEST_F(AstImageFile, ConstantsWithoutValueInAnEmptyConstantTable) {
  ProgramPtr original(astFileTest_makeSampleProgram({"a"}));
  original->infoProg->size_constantData = 0;
  for (u32 i = 0; i < 3; ++i) original->globalConstantTable[i].value = nullptr;
  ASSERT_EQ(loadBytes(storeBytes(original.get())), AST_READ_OK);
  EXPECT_EQ(env_->program->globalConstantTable[0].value, nullptr);
  EXPECT_EQ(env_->program->globalConstantTable[0].typeId, 2u);
}

}  // namespace
