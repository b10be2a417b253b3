// A map from ids to ids for the compiler's hot indexes: open addressing in
// one flat array, so that inserting allocates only when the table doubles and
// clearing keeps the room for the next use. NO_ID is not a valid key.
#pragma once
#include <cstddef>
#include <vector>

#include "ast.h"

class IdMap {
 public:
  // The value stored for key, or NO_ID.
  u32 find(u32 key) const {
    if (used_ == 0) return NO_ID;
    for (size_t i = slotOf(key);; i = (i + 1) & mask()) {
      if (slots_[i].key == key) return slots_[i].value;
      if (slots_[i].key == NO_ID) return NO_ID;
    }
  }

  void set(u32 key, u32 value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    for (size_t i = slotOf(key);; i = (i + 1) & mask()) {
      if (slots_[i].key == key) {
        slots_[i].value = value;
        return;
      }
      if (slots_[i].key == NO_ID) {
        slots_[i] = Slot{key, value};
        ++used_;
        return;
      }
    }
  }

  // Stores value under key unless key is there already (the first one wins).
  void setIfAbsent(u32 key, u32 value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    for (size_t i = slotOf(key);; i = (i + 1) & mask()) {
      if (slots_[i].key == key) return;
      if (slots_[i].key == NO_ID) {
        slots_[i] = Slot{key, value};
        ++used_;
        return;
      }
    }
  }

  void clear() {
    if (used_ == 0) return;
    slots_.assign(slots_.size(), Slot{});
    used_ = 0;
  }

  size_t size() const { return used_; }

 private:
  struct Slot {
    u32 key = NO_ID;
    u32 value = NO_ID;
  };

  size_t mask() const { return slots_.size() - 1; }
  size_t slotOf(u32 key) const { return (key * 2654435769u) & mask(); }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.key != NO_ID) set(slot.key, slot.value);
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// Keys to the position of their first occurrence, for a table of ids that only
// grows: positions are added lazily up to the count asked about, so a lookup
// answers like a search of the table from position 0.
class FirstPositionIndex {
 public:
  u32 find(const u32* keys, u32 count, u32 key) {
    for (; indexed_ < count; ++indexed_) {
      if (keys[indexed_] == NO_ID) {
        if (noIdKey_ == NO_ID) noIdKey_ = indexed_;
      } else {
        positions_.setIfAbsent(keys[indexed_], indexed_);
      }
    }
    return key == NO_ID ? noIdKey_ : positions_.find(key);
  }

 private:
  IdMap positions_;
  u32 noIdKey_ = NO_ID;  // NO_ID is no IdMap key
  u32 indexed_ = 0;
};
