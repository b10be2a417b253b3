#include "velk_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>

#include <sys/mman.h>

#include "velk_assert.h"

namespace {

// Each block is preceded by a header holding its size, so that frees and
// resizes keep the running total exact without the caller's bookkeeping.
// A block that has been grown also keeps room beyond its size: tables grow
// one element at a time, and resizing each time would copy them over and
// over. 16 bytes keep the user part aligned for any scalar.
struct alignas(16) BlockHeader {
  size_t bytes;     // the size the caller asked for
  size_t capacity;  // bytes usable after the header, at least bytes
};

size_t gAllocatedBytes = 0;

BlockHeader* headerOf(void* var) { return static_cast<BlockHeader*>(var) - 1; }

size_t checkedBytes(size_t count, size_t size) {
  if (size != 0 && count > (SIZE_MAX - sizeof(BlockHeader)) / size) memory_allocFailure();
  return count * size;
}

}  // namespace

void memory_allocFailure() {
  std::fputs("Memory error\n", stdout);
  std::fflush(stdout);
  std::exit(10);
}

void* memory_alloc(size_t count, size_t size, const char* fileName, const char* functionName,
                   int line, const char* variableName) {
  (void)line;
  VELK_ASSERT(fileName != NULL);
  VELK_ASSERT(functionName != NULL);
  VELK_ASSERT(variableName != NULL);
  VELK_ASSERT(size > 0);
  if (count == 0) return nullptr;
  size_t bytes = checkedBytes(count, size);
  auto* header = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + bytes));
  if (header == nullptr) memory_allocFailure();
  header->bytes = bytes;
  header->capacity = bytes;
  gAllocatedBytes += bytes;
  return header + 1;
}

void* memory_realloc(void* var, size_t oldCount, size_t newCount, size_t size,
                     const char* fileName, const char* functionName, int line,
                     const char* variableName) {
  if (var == nullptr) return memory_alloc(newCount, size, fileName, functionName, line, variableName);
  VELK_ASSERT(size > 0);
  if (newCount == 0) {
    memory_free(var);
    return nullptr;
  }
  size_t newBytes = checkedBytes(newCount, size);
  BlockHeader* header = headerOf(var);
  size_t oldBytes = header->bytes;
  BlockHeader* moved = header;
  if (newBytes > header->capacity) {
    // Growth by half again as much: a table grown element by element is
    // copied a logarithmic number of times.
    const size_t slack = newBytes / 2;
    const size_t capacity =
        newBytes <= SIZE_MAX - sizeof(BlockHeader) - slack ? newBytes + slack : newBytes;
    moved = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + capacity));
    if (moved == nullptr) memory_allocFailure();
    moved->capacity = capacity;
  } else if (newBytes < header->capacity / 4) {
    // A table cut down to a fraction of its room gives the rest back.
    moved = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + newBytes));
    if (moved == nullptr) memory_allocFailure();
    moved->capacity = newBytes;
  }
  // Zero from the caller's old count, never from beyond what the block really held.
  size_t keep = oldCount <= SIZE_MAX / size ? oldCount * size : SIZE_MAX;
  if (keep > oldBytes) keep = oldBytes;
  if (newBytes > keep) std::memset(reinterpret_cast<char*>(moved + 1) + keep, 0, newBytes - keep);
  moved->bytes = newBytes;
  gAllocatedBytes = gAllocatedBytes - oldBytes + newBytes;
  return moved + 1;
}

void memory_free(void* var) {
  if (var == nullptr) return;
  BlockHeader* header = headerOf(var);
  gAllocatedBytes -= header->bytes;
  std::free(header);
}

size_t memory_allocatedBytes() { return gAllocatedBytes; }

void memory_prefault(void* begin, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr uintptr_t kPage = 4096;
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin) & ~(kPage - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(begin) + bytes;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)bytes;
#endif
}
