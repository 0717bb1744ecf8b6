#pragma once
// Finds an entry of a vector its owner keeps by the entry's key: open addressing over one
// array of slots, each a hash and an entry number, so that looking up or adding a key
// allocates nothing (the slots double when half are taken) and a probe mostly reads one
// cache line. The owner compares keys itself (same), since the keys live in its entries.

#include <cstdint>
#include <optional>
#include <vector>

class TrafficIndex {
 public:
  // The entry whose key matches: same(entry) tells. When none does, the entry add()
  // appends to the owner's vector (its number: count() before the call).
  template <typename Same, typename Add>
  std::uint32_t FindOrAdd(std::uint64_t hash, Same same, Add add) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    const auto h = static_cast<std::uint32_t>(hash);
    const std::size_t at = Probe(h, same);
    Slot& slot = slots_[at];
    if (slot.entry != 0) return slot.entry - 1;
    const std::uint32_t entry = add();
    slot = Slot{h, entry + 1};
    ++count_;
    return entry;
  }

  template <typename Same>
  std::optional<std::uint32_t> Find(std::uint64_t hash, Same same) const {
    if (slots_.empty()) return std::nullopt;
    const Slot& slot = slots_[Probe(static_cast<std::uint32_t>(hash), same)];
    if (slot.entry == 0) return std::nullopt;
    return slot.entry - 1;
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t entry = 0;  // entry + 1; 0: free
  };

  // The key's slot, or the free one that ends its probe.
  template <typename Same>
  std::size_t Probe(std::uint32_t hash, Same same) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.entry == 0 || (slot.hash == hash && same(slot.entry - 1))) return at;
    }
  }

  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.entry == 0) continue;
      std::size_t at = slot.hash & mask;
      while (slots_[at].entry != 0) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};
