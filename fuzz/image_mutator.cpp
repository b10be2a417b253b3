// The mutator of the "image" target. Image files are sequences of
// little-endian u32 fields, 4-byte aligned up to the symbol table, behind a
// 24-byte header and the 72-byte counts record. Half of the edits overwrite
// one aligned field - a count in the counts record or any field of a node,
// type, function or process record - with a boundary value, a near value or a
// value copied from elsewhere in the file; the rest are libFuzzer's own.
#include <cstdint>
#include <cstring>
#include <random>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

constexpr size_t kCountsStart = 24;
constexpr size_t kCountsSize = 72;

uint32_t interestingValue(std::mt19937& rng, uint32_t old, uint32_t elsewhere) {
  switch (rng() % 9) {
    case 0: return 0;
    case 1: return 1;
    case 2: return old + 1;
    case 3: return old - 1;
    case 4: return 0xFFFFFFFFu;
    case 5: return 0x7FFFFFFFu;
    case 6: return 0x80000000u;
    case 7: return elsewhere;
    default: return static_cast<uint32_t>(rng() % 4096);
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  std::mt19937 rng(seed);
  if (size < kCountsStart + kCountsSize || rng() % 2 == 0)
    return LLVMFuzzerMutate(data, size, maxSize);
  const size_t fields = size / 4;
  // Counts are edited as often as everything else together.
  const size_t field = rng() % 2 == 0 ? (kCountsStart + 4 * (rng() % (kCountsSize / 4))) / 4
                                      : rng() % fields;
  uint32_t old, elsewhere;
  std::memcpy(&old, data + 4 * field, 4);
  std::memcpy(&elsewhere, data + 4 * (rng() % fields), 4);
  const uint32_t value = interestingValue(rng, old, elsewhere);
  std::memcpy(data + 4 * field, &value, 4);
  return size;
}
