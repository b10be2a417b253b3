#include "ast_writer.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "image_format.h"
#include "parser_error.h"

static_assert(std::endian::native == std::endian::little,
              "the image file is written without byte swapping");

namespace {

constexpr int kStatusCannotCreate = 98;
constexpr int kStatusShortWrite = 96;

struct ImageWriter {
  ParserEnv* env;
  const program* p;
  FILE* file;
};

template <class T>
void writer_write(ImageWriter& w, const T* table, size_t count) {
  VELK_ASSERT_TEXT(table != nullptr || count == 0, "image table missing for its count");
  fwriteAndCheck(w.env, table, sizeof(T), count, w.file);
}

// Record tables are written in one call: the bytes are those of one record
// after another, which is what the reader takes them one at a time from.
template <class T>
void writer_writeRecords(ImageWriter& w, const T* table, u32 count) {
  writer_write(w, table, count);
}

void writeHeaderAndCounts(ImageWriter& w) {
  ProgramHeader* header = w.p->header;
  header->formatFlags = AST_IMAGE_FORMAT_FLAGS;
  header->formatVersion = AST_IMAGE_FORMAT_VERSION;
  writer_write(w, header, 1);
  writer_write(w, w.p->infoProg, 1);
}

void writeCodeTables(ImageWriter& w) {
  const InfoProg& info = *w.p->infoProg;
  writer_write(w, w.p->RAMprogram, info.n_AST);
  writer_write(w, w.p->typeTable, info.n_type);
  writer_write(w, w.p->constantDataTable, info.size_constantData);
  writer_write(w, w.p->stringTableIndex, info.n_string);
  writer_write(w, w.p->stringTable, info.stringStorageSize);
  const u8 zero = 0;
  for (u32 i = 0; i < astImage_paddingSize(info.stringStorageSize); ++i) writer_write(w, &zero, 1);
}

void writeProcessTables(ImageWriter& w) {
  const InfoProg& info = *w.p->infoProg;
  writer_writeRecords(w, w.p->functionTable, info.n_functions);
  writer_writeRecords(w, w.p->processDefinitionTable, info.n_processDefinitions);
  writer_writeRecords(w, w.p->processGlobalInstanceTable, info.n_globalProcessInstances);
  writer_writeRecords(w, w.p->processInstanceTable, info.n_processInstances);
}

// The cell index of a constant's value in constantDataTable; 0 when it has none.
u32 image_constantIndex(const program* p, const TaggedValue& constant) {
  if (constant.value == nullptr) return 0;
  const DataCell* base = p->constantDataTable;
  VELK_ASSERT_TEXT(base != nullptr && constant.value >= base &&
                       constant.value <= base + p->infoProg->size_constantData,
                   "constant value inside constantDataTable");
  return static_cast<u32>(constant.value - base);
}

// Per constant: its cell index and its type id, gathered for one write.
void writeConstants(ImageWriter& w) {
  const u32 count = w.p->infoProg->n_globalConstants;
  std::vector<u32> words;
  words.reserve(static_cast<size_t>(count) * 2);
  for (u32 i = 0; i < count; ++i) {
    const TaggedValue& constant = w.p->globalConstantTable[i];
    words.push_back(image_constantIndex(w.p, constant));
    words.push_back(constant.typeId);
  }
  writer_write(w, words.data(), words.size());
}

// Only the type of each variable is stored; the reader lays the values out
// again from the storage sizes.
void writeVariables(ImageWriter& w, const TaggedValue* table, u32 count, const DataCell* data,
                    u32 cells) {
  std::vector<u32> types(count);
  for (u32 i = 0; i < count; ++i) types[i] = table[i].typeId;
  writer_write(w, types.data(), types.size());
  writer_write(w, data, cells);
}

void writeDebugTables(ImageWriter& w) {
  const InfoProg& c = *w.p->infoProg;
  const DebugInfo* d = w.p->dbg;
  writer_write(w, d->processDefinitionSymbolId, c.n_processDefinitions);
  writer_write(w, d->processInstanceSymbolId, c.n_processInstances);
  writer_write(w, d->globalProcessInstanceSymbolId, c.n_globalProcessInstances);
  writer_write(w, d->symbolTableIndex, c.n_symbols);
  writer_write(w, d->symbolTable, c.symbolStorageSize);
  writer_write(w, d->globalVariableSymbolId, c.n_globalVariables);
  writer_write(w, d->globalConstantSymbolId, c.n_globalConstants);
  writer_write(w, d->typeSymbolId, c.n_type);
  writer_write(w, d->functionSymbolId, c.n_functions);
  writer_write(w, d->processStaticVariableSymbolId, c.n_processStaticVariables);
  writer_write(w, d->nodeLine, c.n_AST);
}

void writeImage(ImageWriter& w) {
  const InfoProg& info = *w.p->infoProg;
  writeHeaderAndCounts(w);
  writeCodeTables(w);
  writeProcessTables(w);
  writeConstants(w);
  writeVariables(w, w.p->globalVariableTable, info.n_globalVariables,
                 w.p->globalVariableDataInitTable, info.size_globalVariableData);
  writeVariables(w, w.p->processStaticVariableTable, info.n_processStaticVariables,
                 w.p->processStaticVariableDataInitTable, info.size_processStaticVariableData);
  writeDebugTables(w);
}

// Callers report only a file's first failure.
void reportShortWrite(ParserEnv* env) {
  parser_recordFailure(env, kStatusShortWrite, nullptr, 0, nullptr,
                       "error while writing progam's binary file\n");
}

}  // namespace

void fwriteAndCheck(ParserEnv* env, const void* buffer, size_t size, size_t count, FILE* stream) {
  if (size == 0 || count == 0) return;
  const bool alreadyFailed = std::ferror(stream) != 0;
  if (std::fwrite(buffer, size, count, stream) == count) return;
  if (!alreadyFailed) reportShortWrite(env);
}

namespace {

// Opens the image file for writing. An existing regular file is rewritten in
// place rather than emptied first: a recompilation then reuses the file's
// cached pages instead of having the system free and allocate them all again.
// Anything else (a new file, a device, a pipe) is opened as a stream.
FILE* openImageFile(const char* path, bool* inPlace) {
  *inPlace = false;
  struct stat info;
  if (::stat(path, &info) == 0 && S_ISREG(info.st_mode)) {
    if (FILE* file = std::fopen(path, "r+b")) {
      if (::fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        *inPlace = true;
        return file;
      }
      std::fclose(file);
    }
  }
  return std::fopen(path, "wb");
}

// Completes a file written in place: cuts off what is left of its old
// contents, then writes the magic, which stayed zero until now so that an
// interrupted or failed write never leaves a file that loads.
int finishInPlace(ParserEnv* env, FILE* file, const char* magic, size_t magicBytes) {
  if (std::ferror(file) != 0) return errno != 0 ? errno : EIO;
  const long end = std::ftell(file);
  if (end < 0 || std::fflush(file) != 0 || ::ftruncate(fileno(file), end) != 0 ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    const int error = errno != 0 ? errno : EIO;
    if (std::ferror(file) == 0) reportShortWrite(env);
    return error;
  }
  fwriteAndCheck(env, magic, 1, magicBytes, file);
  return std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
}

}  // namespace

int write_storeProgramBinary(ParserEnv* env, const char* path) {
  program* p = env->program;
  VELK_ASSERT(p != nullptr && p->header != nullptr && p->infoProg != nullptr && p->dbg != nullptr);
  char magic[sizeof p->header->magic] = {};
  std::memcpy(magic, AST_IMAGE_MAGIC, sizeof AST_IMAGE_MAGIC);
  bool inPlace = false;
  FILE* file = openImageFile(path, &inPlace);
  if (file == nullptr) {
    int error = errno;
    parser_recordFailure(env, kStatusCannotCreate, nullptr, 0, nullptr,
                         "can not create output code file! %s\n", std::strerror(error));
    return error;
  }
  std::memcpy(p->header->magic, magic, sizeof magic);
  if (inPlace) std::memset(p->header->magic, 0, sizeof magic);
  ImageWriter writer{env, p, file};
  writeImage(writer);
  std::memcpy(p->header->magic, magic, sizeof magic);
  // A short write was reported and writing went on; the caller still has to
  // know that the file is unusable.
  int writeError = inPlace ? finishInPlace(env, file, magic, sizeof magic)
                           : (std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0);
  if (std::fclose(file) != 0) return errno != 0 ? errno : EIO;
  return writeError;
}

int parser_storeProgram(ParserEnv* env, const char* path) {
  return write_storeProgramBinary(env, path);
}
