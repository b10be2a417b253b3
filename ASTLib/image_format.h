// Constants of the image file that the compiler writes and the interpreter
// reads: the header's magic, flags and version, the padding after the string
// table and the room the reader leaves for nodes added after loading. The
// sections themselves are the program tables of program.h, in file order.
#pragma once
#include "program.h"

// The 16-byte magic field holds these 13 characters and zero bytes.
constexpr char AST_IMAGE_MAGIC[] = "QuIv_VELK_AST";
constexpr u32 AST_IMAGE_FORMAT_FLAGS = 1;
constexpr u32 AST_IMAGE_FORMAT_VERSION = 18;
// Nodes the interpreter may add after loading: the reader sizes the tree to
// the file's node count plus this.
constexpr u32 AST_IMAGE_NODE_HEADROOM = 1000;

// Zero bytes after the string table, so that the next section starts at a
// multiple of 4.
constexpr u32 astImage_paddingSize(u32 stringStorageSize) {
  return (4 - stringStorageSize % 4) % 4;
}
