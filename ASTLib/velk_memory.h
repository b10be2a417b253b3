// Allocation module: every block of the program image and of the environments
// is allocated here, zero-filled, with the allocating site named for reports.
// A running total of live bytes is kept; allocation failure ends the process.
#pragma once
#include <cstddef>
#include <cstdint>

// Zero-filled block of count * size bytes, or null when count is 0. fileName,
// functionName and variableName name the allocating site and must not be null.
void* memory_alloc(size_t count, size_t size, const char* fileName, const char* functionName,
                   int line, const char* variableName);

// Resizes var to newCount * size bytes; bytes beyond oldCount * size are zeroed.
// newCount 0 frees the block and yields null; a null var is a fresh allocation.
void* memory_realloc(void* var, size_t oldCount, size_t newCount, size_t size,
                     const char* fileName, const char* functionName, int line,
                     const char* variableName);

// Releases a block from memory_alloc/memory_realloc; null is ignored.
void memory_free(void* var);

// Prints "Memory error\n" and ends the process with status 10.
[[noreturn]] void memory_allocFailure();

// Bytes currently allocated through this module.
size_t memory_allocatedBytes();

#define MEMORY_ALLOC(count, type, variableName)                                              \
  static_cast<type*>(memory_alloc((count), sizeof(type), __FILE__, __func__, __LINE__,      \
                                  (variableName)))
#define MEMORY_REALLOC(var, oldCount, newCount, type, variableName)                         \
  static_cast<type*>(memory_realloc((var), (oldCount), (newCount), sizeof(type), __FILE__,  \
                                    __func__, __LINE__, (variableName)))
// Frees the block and clears the pointer.
#define MEMORY_FREE(var)                                                                     \
  do {                                                                                       \
    memory_free(var);                                                                        \
    (var) = nullptr;                                                                         \
  } while (0)

// Makes the pages of [begin, begin + bytes) resident and writable now, in one
// request rather than one fault per page, for a table about to be filled in
// order. Only a hint: nothing happens where the system does not support it.
void memory_prefault(void* begin, size_t bytes);
