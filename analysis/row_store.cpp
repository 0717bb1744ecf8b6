#include "analysis/row_store.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"

// Layout. A row is one run of encoded cells inside a text chunk; a row never spans two
// chunks, and a chunk is never reallocated, so appending never moves stored text. Each
// cell starts with a header byte:
//   0x00-0x7F  a text of that many bytes follows
//   0x80-0xBF  a text follows whose length is (h & 0x3F) << 8 | next byte (up to 16383)
//   0xC0-0xFE  a frequent text of the dictionary below, number h - 0xC0, no bytes follow
//   0xFF       a four-byte little-endian length follows, then the text
// The dictionary is the same for every store, so one store's rows copy into another
// byte for byte.

namespace {

// The texts that stand in most rows, taken from where the decoder and the tracker write
// them: the directions, the EtherType names, the upper-layer protocols, the socket calls.
constexpr auto kDictionary = [] {
  std::array<std::string_view, 2 + EtherTypeNames.size() + IpProtocolCount + socket_call::All.size()> texts{};
  std::size_t n = 0;
  texts[n++] = DirectionText(Direction::Incoming);
  texts[n++] = DirectionText(Direction::Outgoing);
  for (const EtherTypeEntry& entry : EtherTypeNames) texts[n++] = entry.name;
  for (int i = 0; i < IpProtocolCount; ++i) texts[n++] = IpProtocolCellText[i];
  for (const std::string_view call : socket_call::All) texts[n++] = call;
  return texts;
}();
static_assert(kDictionary.size() <= 0xFF - 0xC0);

constexpr std::uint8_t kDictionaryBase = 0xC0;
constexpr std::uint8_t kLongLength = 0xFF;

// Hash buckets over the dictionary, so that a cell is compared with at most a few
// entries. Built at compile time; a bucket holds up to four entries.
constexpr std::size_t kBuckets = 128;
constexpr std::size_t kPerBucket = 4;

constexpr std::size_t BucketOf(std::string_view text) {
  return (text.size() * 7 + static_cast<unsigned char>(text.front()) * 3 +
          static_cast<unsigned char>(text.back())) %
         kBuckets;
}

struct DictionaryIndex {
  std::array<std::array<std::int8_t, kPerBucket>, kBuckets> ids{};
};

constexpr DictionaryIndex BuildIndex() {
  DictionaryIndex index{};
  for (auto& bucket : index.ids) bucket.fill(-1);
  for (std::size_t id = 0; id < kDictionary.size(); ++id) {
    auto& bucket = index.ids[BucketOf(kDictionary[id])];
    for (auto& slot : bucket) {
      if (slot < 0) {
        slot = static_cast<std::int8_t>(id);
        break;
      }
    }
  }
  return index;
}

constexpr DictionaryIndex kIndex = BuildIndex();

constexpr bool EveryEntryIndexed() {
  for (std::size_t id = 0; id < kDictionary.size(); ++id) {
    bool found = false;
    for (auto slot : kIndex.ids[BucketOf(kDictionary[id])]) found = found || slot == int(id);
    if (!found) return false;
  }
  return true;
}
static_assert(EveryEntryIndexed(), "a dictionary bucket overflowed");

// Most cells (numbers, addresses, payload) are no dictionary text; a table of the
// lengths and first characters the dictionary has turns them away before any hashing.
constexpr std::size_t kLongestEntry = 80;

struct DictionaryFilter {
  std::array<bool, kLongestEntry + 1> length{};
  std::array<bool, 256> first{};
};

constexpr DictionaryFilter BuildFilter() {
  DictionaryFilter filter{};
  for (std::string_view entry : kDictionary) {
    filter.length[entry.size()] = true;
    filter.first[static_cast<unsigned char>(entry.front())] = true;
  }
  return filter;
}

constexpr DictionaryFilter kFilter = BuildFilter();

constexpr bool EveryEntryFits() {
  for (std::string_view entry : kDictionary) {
    if (entry.size() < 2 || entry.size() > kLongestEntry) return false;
  }
  return true;
}
static_assert(EveryEntryFits(), "a dictionary entry is outside the lengths looked up");

int DictionaryId(std::string_view text) {
  if (text.size() < 2 || text.size() > kLongestEntry) return -1;
  if (!kFilter.length[text.size()] || !kFilter.first[static_cast<unsigned char>(text.front())]) return -1;
  for (auto slot : kIndex.ids[BucketOf(text)]) {
    if (slot < 0) return -1;
    if (kDictionary[slot] == text) return slot;
  }
  return -1;
}

std::size_t HeaderSize(std::size_t length) {
  if (length < 0x80) return 1;
  if (length < 0x4000) return 2;
  return 5;
}

std::size_t EncodedSize(std::string_view text) {
  if (DictionaryId(text) >= 0) return 1;
  return HeaderSize(text.size()) + text.size();
}

char* Encode(char* out, std::string_view text) {
  const int id = DictionaryId(text);
  if (id >= 0) {
    *out++ = static_cast<char>(kDictionaryBase + id);
    return out;
  }
  const std::size_t n = text.size();
  if (n < 0x80) {
    *out++ = static_cast<char>(n);
  } else if (n < 0x4000) {
    *out++ = static_cast<char>(0x80 | (n >> 8));
    *out++ = static_cast<char>(n & 0xFF);
  } else {
    *out++ = static_cast<char>(kLongLength);
    for (int i = 0; i < 4; ++i) *out++ = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  if (n != 0) std::memcpy(out, text.data(), n);
  return out + n;
}

// Reads the cell at p; returns its text and moves p past it.
std::string_view Decode(const char*& p) {
  const auto h = static_cast<std::uint8_t>(*p++);
  std::size_t n;
  if (h < 0x80) {
    n = h;
  } else if (h < kDictionaryBase) {
    n = (std::size_t{h & 0x3Fu} << 8) | static_cast<std::uint8_t>(*p++);
  } else if (h != kLongLength) {
    return kDictionary[h - kDictionaryBase];
  } else {
    n = 0;
    for (int i = 0; i < 4; ++i) n |= std::size_t{static_cast<std::uint8_t>(*p++)} << (8 * i);
  }
  std::string_view text(p, n);
  p += n;
  return text;
}

constexpr std::size_t kFirstChunk = 4 * 1024;
constexpr std::size_t kLargestChunk = 1024 * 1024;
constexpr std::size_t kRefsPerBlockShift = 13;
constexpr std::size_t kRefsPerBlock = std::size_t{1} << kRefsPerBlockShift;

}  // namespace

struct RowStore::Impl {
  struct Chunk {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };
  struct RowRef {
    std::uint32_t chunk;
    std::uint32_t offset;
  };

  explicit Impl(int columnCount) : columns(std::max(columnCount, 1)) {}

  int columns;
  std::int64_t rows = 0;
  std::vector<Chunk> chunks;
  // Row references in blocks of kRefsPerBlock, so a million rows never move one big array.
  std::vector<std::vector<RowRef>> refBlocks;

  const RowRef& Ref(std::int64_t row) const {
    const auto r = static_cast<std::size_t>(row);
    return refBlocks[r >> kRefsPerBlockShift][r & (kRefsPerBlock - 1)];
  }

  // Room for one row of n bytes, contiguous; returns where to write it.
  char* Reserve(std::size_t n, RowRef& ref) {
    if (chunks.empty() || chunks.back().capacity - chunks.back().used < n) {
      std::size_t size = chunks.empty() ? kFirstChunk
                                        : std::min(chunks.back().capacity * 2, kLargestChunk);
      size = std::max(size, n);
      chunks.reserve(chunks.size() + 1);
      chunks.push_back(Chunk{std::make_unique_for_overwrite<char[]>(size), size, 0});
    }
    Chunk& chunk = chunks.back();
    ref.chunk = static_cast<std::uint32_t>(chunks.size() - 1);
    ref.offset = static_cast<std::uint32_t>(chunk.used);
    return chunk.data.get() + chunk.used;
  }

  // Adds the reference of a row whose n bytes were written at Reserve's place.
  void Commit(const RowRef& ref, std::size_t n) {
    if (refBlocks.empty() || refBlocks.back().size() == kRefsPerBlock) {
      refBlocks.emplace_back();
      refBlocks.back().reserve(refBlocks.size() == 1 ? 64 : kRefsPerBlock);
    }
    auto& block = refBlocks.back();
    if (block.size() == block.capacity()) block.reserve(std::min(block.capacity() * 2, kRefsPerBlock));
    block.push_back(ref);
    chunks[ref.chunk].used += n;
    ++rows;
  }

  // Bytes of a stored row.
  std::size_t RowSize(std::int64_t row) const {
    const RowRef& ref = Ref(row);
    if (row + 1 < rows) {
      const RowRef& next = Ref(row + 1);
      if (next.chunk == ref.chunk) return next.offset - ref.offset;
    }
    return chunks[ref.chunk].used - ref.offset;
  }
};

RowStore::RowStore(int columnCount) : impl_(std::make_unique<Impl>(columnCount)) {}
RowStore::RowStore(RowStore&&) noexcept = default;
RowStore& RowStore::operator=(RowStore&&) noexcept = default;
RowStore::~RowStore() = default;

int RowStore::ColumnCount() const { return impl_ ? impl_->columns : 1; }
std::int64_t RowStore::RowCount() const { return impl_ ? impl_->rows : 0; }

void RowStore::AppendRow(std::span<const std::string_view> cells) {
  if (!impl_) impl_ = std::make_unique<Impl>(1);
  Impl& s = *impl_;
  const std::size_t columns = static_cast<std::size_t>(s.columns);
  const std::size_t given = std::min(cells.size(), columns);
  std::size_t size = columns - given;  // one header byte per missing cell
  for (std::size_t i = 0; i < given; ++i) size += EncodedSize(cells[i]);

  Impl::RowRef ref{};
  char* out = s.Reserve(size, ref);
  for (std::size_t i = 0; i < given; ++i) out = Encode(out, cells[i]);
  for (std::size_t i = given; i < columns; ++i) *out++ = 0;
  s.Commit(ref, size);
}

void RowStore::Append(const RowStore& other) {
  if (!other.impl_ || other.impl_->rows == 0) return;
  if (!impl_) impl_ = std::make_unique<Impl>(other.ColumnCount());
  const Impl& o = *other.impl_;
  const std::int64_t count = o.rows;  // fixed first: other may be this store
  if (o.columns != impl_->columns) {
    // Different layouts: go cell by cell (missing cells empty, extra ones dropped).
    std::vector<std::string_view> cells(static_cast<std::size_t>(o.columns));
    for (std::int64_t r = 0; r < count; ++r) {
      for (int c = 0; c < o.columns; ++c) cells[c] = other.Cell(r, c);
      AppendRow(cells);
    }
    return;
  }
  Impl& s = *impl_;
  for (std::int64_t r = 0; r < count; ++r) {
    const Impl::RowRef& from = o.Ref(r);
    const std::size_t n = o.RowSize(r);
    const char* src = o.chunks[from.chunk].data.get() + from.offset;
    Impl::RowRef ref{};
    char* out = s.Reserve(n, ref);
    std::memcpy(out, src, n);
    s.Commit(ref, n);
  }
}

std::string_view RowStore::Cell(std::int64_t row, int column) const {
  if (!impl_ || row < 0 || row >= impl_->rows || column < 0 || column >= impl_->columns) {
    return {};
  }
  const Impl::RowRef& ref = impl_->Ref(row);
  const char* p = impl_->chunks[ref.chunk].data.get() + ref.offset;
  for (int c = 0; c < column; ++c) Decode(p);
  return Decode(p);
}

std::size_t RowStore::RowCells(std::int64_t row, std::span<std::string_view> out) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return 0;
  const std::size_t n = std::min(out.size(), static_cast<std::size_t>(impl_->columns));
  const Impl::RowRef& ref = impl_->Ref(row);
  const char* p = impl_->chunks[ref.chunk].data.get() + ref.offset;
  for (std::size_t c = 0; c < n; ++c) out[c] = Decode(p);
  return n;
}

void RowStore::Clear() { Reset(ColumnCount()); }

void RowStore::Reset(int columnCount) { impl_ = std::make_unique<Impl>(columnCount); }

std::size_t RowStore::MemoryBytes() const {
  if (!impl_) return 0;
  const Impl& s = *impl_;
  std::size_t bytes = sizeof(Impl) + s.chunks.capacity() * sizeof(Impl::Chunk) +
                      s.refBlocks.capacity() * sizeof(std::vector<Impl::RowRef>);
  for (const auto& chunk : s.chunks) bytes += chunk.capacity;
  for (const auto& block : s.refBlocks) bytes += block.capacity() * sizeof(Impl::RowRef);
  return bytes;
}

RowBuilder::RowBuilder(RowStore& store, std::int64_t firstRow)
    : store_(&store), nextRow_(firstRow), columns_(store.ColumnCount()) {
  begin_.assign(static_cast<std::size_t>(columns_), 0);
  length_.assign(static_cast<std::size_t>(columns_), 0);
  scratch_.resize(4096);
}

std::int64_t RowBuilder::RowCount() { return nextRow_; }

void RowBuilder::InsertRow(std::string_view text) {
  Flush();
  open_ = true;
  ++nextRow_;
  ++built_;
  scratchUsed_ = 0;
  inOrder_ = true;
  lastColumn_ = -1;
  cellsSet_ = 0;
  std::fill(length_.begin(), length_.end(), 0u);
  SetCellText(nextRow_ - 1, 0, text);
}

void RowBuilder::SetCellText(std::int64_t row, int column, std::string_view text) {
  // Only the row being built can take cells; anything else has no row to land in.
  if (!open_ || row != nextRow_ - 1 || column < 0 || column >= columns_) return;
  const std::size_t most = HeaderSize(text.size()) + text.size();
  if (scratch_.size() - scratchUsed_ < most) scratch_.resize(std::max(scratch_.size() * 2, scratchUsed_ + most));
  char* at = scratch_.data() + scratchUsed_;
  const std::size_t n = static_cast<std::size_t>(Encode(at, text) - at);
  begin_[column] = static_cast<std::uint32_t>(scratchUsed_);
  length_[column] = static_cast<std::uint32_t>(n);
  scratchUsed_ += n;
  inOrder_ = inOrder_ && column > lastColumn_;
  lastColumn_ = column;
  ++cellsSet_;
}

void RowBuilder::Flush() {
  if (!open_) return;
  open_ = false;
  if (!store_->impl_ || store_->impl_->columns != columns_) {
    // The store was emptied or given another layout behind the builder's back: go
    // through AppendRow, which pads or cuts the row to the store's columns.
    std::vector<std::string_view> cells(length_.size());
    for (std::size_t c = 0; c < length_.size(); ++c) {
      if (length_[c] == 0) continue;
      const char* p = scratch_.data() + begin_[c];
      cells[c] = Decode(p);
    }
    store_->AppendRow(cells);
    return;
  }
  if (inOrder_) {
    // The set cells lie back to back in column order: copied in runs, with the one
    // header byte of an empty text wherever a cell was never set.
    const std::size_t size = scratchUsed_ + static_cast<std::size_t>(columns_ - cellsSet_);
    RowStore::Impl& s = *store_->impl_;
    RowStore::Impl::RowRef ref{};
    char* out = s.Reserve(size, ref);
    const char* run = scratch_.data();
    std::size_t runLength = 0;
    for (const std::uint32_t n : length_) {
      if (n != 0) {
        runLength += n;
        continue;
      }
      std::memcpy(out, run, runLength);
      out += runLength;
      run += runLength;
      runLength = 0;
      *out++ = 0;
    }
    std::memcpy(out, run, runLength);
    s.Commit(ref, size);
    return;
  }
  // A cell never set is an empty text: its one header byte, 0.
  std::size_t size = 0;
  for (std::uint32_t n : length_) size += n == 0 ? 1 : n;
  RowStore::Impl& s = *store_->impl_;
  RowStore::Impl::RowRef ref{};
  char* out = s.Reserve(size, ref);
  for (std::size_t c = 0; c < length_.size(); ++c) {
    const std::uint32_t n = length_[c];
    if (n == 0) {
      *out++ = 0;
    } else {
      std::memcpy(out, scratch_.data() + begin_[c], n);
      out += n;
    }
  }
  s.Commit(ref, size);
}

std::int64_t RowBuilder::RowsBuilt() const { return built_; }

void RowBuilder::Retarget(RowStore& store) {
  Flush();
  store_ = &store;
  built_ = 0;
  columns_ = store.ColumnCount();
  begin_.assign(static_cast<std::size_t>(columns_), 0);
  length_.assign(static_cast<std::size_t>(columns_), 0);
}
