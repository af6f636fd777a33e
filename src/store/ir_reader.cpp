#include "store/ir_reader.h"

#include "store/borrowed_node.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

#include "support/unicode.h"

namespace veltrix {
namespace {

constexpr char kMagic[4] = {'V', 'I', 'R', '1'};

// The smallest encoding of one item of each counted list: what a count is capped by before it
// reserves anything.
constexpr std::size_t kMinIdBytes = 8;
constexpr std::size_t kMinParamBytes = 6;   // empty key (4), tag (1), a Bool payload (1)
constexpr std::size_t kMinMemberBytes = 8;  // empty token (4), reference count (4)
constexpr std::size_t kRefBytes = 5;

// What one entry of a node table can hold (node_table.h, node_interner.inl). A record with more
// is refused at the first entry or id beyond the limit, once that item has been read in full:
// so a forged count still ends in Truncated and the first fault in byte order is still the one
// reported, and the store never sees a node it cannot hold.
constexpr std::uint32_t kMaxParamsPerNode = NodeTable::kMaxParams;
constexpr std::uint32_t kMaxInputsPerNode = NodeTable::kMaxInputs;

// Texts repeat from record to record (names, keys, descriptor fields, small string values). A
// repeat is pointed at the text's first occurrence in the blob: the store remembers recently
// resolved texts by address, so it recognises the text without hashing it again, and the reader
// can skip the UTF-8 check of a text it has already checked. A direct-mapped table with a cheap
// content hash; a miss only costs the ordinary path.
class RepeatedTexts {
 public:
  // The first occurrence of an earlier text with the same bytes, if the table holds one.
  const char* find(std::string_view text) {
    if (text.empty() || text.size() > kMaxSize) return nullptr;
    const Entry& entry = entries_[slot(text)];
    if (entry.size == text.size() && same_bytes(entry.data, text.data(), text.size())) return entry.data;
    return nullptr;
  }
  // Remembers a checked text as the first occurrence of its bytes.
  void add(std::string_view text) {
    if (text.empty() || text.size() > kMaxSize) return;
    entries_[slot(text)] = Entry{text.data(), text.size()};
  }

 private:
  static constexpr std::size_t kMaxSize = 64;  // longer texts rarely repeat
  static constexpr int kSlotBits = 9;
  struct Entry {
    const char* data = nullptr;
    std::size_t size = 0;
  };

  // Equality of short texts with two fixed-size loads that may overlap, instead of a library
  // call; both ranges are n bytes long and n is at most kMaxSize.
  static bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8 && n <= 16) return load<8>(a) == load<8>(b) && load<8>(a + n - 8) == load<8>(b + n - 8);
    if (n >= 4 && n < 8) return load<4>(a) == load<4>(b) && load<4>(a + n - 4) == load<4>(b + n - 4);
    if (n < 4) return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
    return std::memcmp(a, b, n) == 0;
  }
  template <std::size_t N>
  static std::uint64_t load(const char* p) {
    std::conditional_t<N == 8, std::uint64_t, std::uint32_t> word;
    std::memcpy(&word, p, N);
    return word;
  }

  // Mixes the size with the first and last bytes (both ends of a text, since names and keys
  // often share a prefix).
  static std::size_t slot(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    if (n >= 8) {
      std::memcpy(&head, p, 8);
      std::memcpy(&tail, p + n - 8, 8);
    } else if (n >= 4) {
      std::uint32_t a = 0;
      std::uint32_t b = 0;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      head = a;
      tail = b;
    } else {
      head = static_cast<unsigned char>(p[0]) | (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8);
      tail = static_cast<unsigned char>(p[n - 1]);
    }
    const std::uint64_t h = (head * 0x9E3779B97F4A7C15ULL) ^ (tail * 0xC2B2AE3D27D4EB4FULL) ^ n;
    return static_cast<std::size_t>(((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ULL) >> (64 - kSlotBits));
  }

  std::array<Entry, std::size_t{1} << kSlotBits> entries_{};
};

// Reads one blob front to back. Each read either succeeds or records the error and returns
// false; callers stop at the first false, so the error kept is the first one in byte order.
class BlobReader {
 public:
  explicit BlobReader(std::string_view bytes) : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  Result<GraphStore, BlobError> read() {
    if (remaining() < sizeof kMagic) return make_err(BlobError::truncated());
    if (std::memcmp(next_, kMagic, sizeof kMagic) != 0) return make_err(BlobError::bad_magic());
    next_ += sizeof kMagic;
    std::uint32_t node_count = 0;
    if (!u32(node_count)) return make_err(error_);

    GraphStore store;
    for (std::uint32_t position = 0; position < node_count; ++position) {
      if (!record(position)) return make_err(error_);
      Result<NodeId, BadNodeId> id = store.intern(node_);
      // Only reachable when earlier equal records merged: the reference passed the position
      // check but names a node that was never created.
      if (!id.ok()) return make_err(BlobError::node_ref_out_of_range(id.error().id));
    }

    std::uint32_t output_count = 0;
    if (!u32(output_count)) return make_err(error_);
    for (std::uint32_t i = 0; i < output_count; ++i) {
      std::uint64_t id = 0;
      if (!u64(id)) return make_err(error_);
      Result<void, BadNodeId> marked = store.mark_output(id);
      if (!marked.ok()) return make_err(BlobError::node_ref_out_of_range(marked.error().id));
    }
    return store;
  }

 private:
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - next_); }

  bool fail(BlobError error) {
    error_ = error;
    return false;
  }

  // How many items of at least `min_bytes` each the rest of the blob could hold, at most `count`.
  std::size_t capped(std::uint32_t count, std::size_t min_bytes) const {
    return std::min<std::size_t>(count, remaining() / min_bytes);
  }

  template <class T>
  bool fixed(T& out) {
    if (remaining() < sizeof out) return fail(BlobError::truncated());
    std::memcpy(&out, next_, sizeof out);  // little-endian host: the memory image is the value
    next_ += sizeof out;
    return true;
  }
  bool u8(std::uint8_t& out) { return fixed(out); }
  bool u32(std::uint32_t& out) { return fixed(out); }
  bool u64(std::uint64_t& out) { return fixed(out); }

  bool string(std::string_view& out) {
    std::uint32_t length = 0;
    if (!u32(length)) return false;
    if (remaining() < length) return fail(BlobError::truncated());
    out = std::string_view(next_, length);
    next_ += length;
    if (const char* first = texts_.find(out)) {
      out = std::string_view(first, length);
      return true;
    }
    if (!is_valid_utf8(out)) return fail(BlobError::invalid_utf8());
    texts_.add(out);
    return true;
  }

  bool params() {
    std::uint32_t count = 0;
    if (!u32(count)) return false;
    auto& params = node_.params;
    params.reserve(capped(count, kMinParamBytes));
    for (std::uint32_t i = 0; i < count; ++i) {
      params.push_back({});
      BorrowedNode::Param& entry = params.back();
      std::uint8_t tag = 0;
      if (!string(entry.key) || !u8(tag)) return false;
      switch (tag) {
        case 0:
        case 1:
          entry.value.tag = static_cast<ParamTag>(tag);
          if (!u64(entry.value.bits)) return false;
          break;
        case 2: {
          std::uint8_t flag = 0;
          if (!u8(flag)) return false;
          entry.value.tag = ParamTag::Bool;
          entry.value.bits = flag != 0 ? 1 : 0;
          break;
        }
        case 3:
          entry.value.tag = ParamTag::Str;
          if (!string(entry.value.text)) return false;
          break;
        default: return fail(BlobError::invalid_tag("param", tag));
      }
      if (i >= kMaxParamsPerNode) return fail(BlobError::node_too_large());
    }
    stable_sort_by_key(params.begin(), params.end(), [](const BorrowedNode::Param& p) { return p.key; });
    return true;
  }

  // An id list of the record at `position`: every id must name an earlier record.
  bool inputs(std::uint32_t position) {
    std::uint32_t count = 0;
    if (!u32(count)) return false;
    auto& inputs = node_.inputs;
    inputs.reserve(capped(count, kMinIdBytes));
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t id = 0;
      if (!u64(id)) return false;
      if (id >= position) return fail(BlobError::node_ref_out_of_range(id));
      if (i >= kMaxInputsPerNode) return fail(BlobError::node_too_large());
      inputs.push_back(id);
    }
    return true;
  }

  bool members() {
    std::uint32_t count = 0;
    if (!u32(count)) return false;
    node_.members.reserve(capped(count, kMinMemberBytes));
    for (std::uint32_t m = 0; m < count; ++m) {
      BorrowedNode::Member& member = node_.members.emplace_back();
      std::uint32_t ref_count = 0;
      if (!string(member.token) || !u32(ref_count)) return false;
      member.first_ref = node_.refs.size();
      member.ref_count = ref_count;
      for (std::uint32_t r = 0; r < ref_count; ++r) {
        if (remaining() < kRefBytes) return fail(BlobError::truncated());
        std::uint8_t kind = 0;
        std::uint32_t index = 0;
        (void)u8(kind);
        (void)u32(index);
        if (kind == 1 && index >= m) return fail(BlobError::node_ref_out_of_range(index));
        if (kind > 1) return fail(BlobError::invalid_tag("stage-ref", kind));
        node_.refs.push_back(MemberRef{static_cast<MemberRefKind>(kind), index});
      }
    }
    return true;
  }

  bool descriptor() {
    DescriptorRef& d = node_.descriptor;
    if (!string(d.kind) || !string(d.content_hash) || !string(d.framework) || !string(d.version) ||
        !string(d.io_schema)) {
      return false;
    }
    std::uint8_t present = 0;
    if (!u8(present)) return false;
    if (present != 0) {
      std::string_view text;
      if (!string(text)) return false;
      d.preprocessing_ref = text;
    }
    return true;
  }

  bool record(std::uint32_t position) {
    std::uint8_t tag = 0;
    if (!u8(tag)) return false;
    if (tag >= kNodeKindCount) return fail(BlobError::invalid_tag("node", tag));
    const auto kind = static_cast<NodeKind>(tag);
    node_.reset(kind);
    switch (kind) {
      case NodeKind::Source: return string(node_.name_text) && params();
      case NodeKind::Op:
      case NodeKind::Reduction: return string(node_.name_text) && params() && inputs(position);
      case NodeKind::External: return descriptor() && params() && inputs(position);
      case NodeKind::Stage: return inputs(position) && members();
      case NodeKind::Exchange: return params() && inputs(position);
    }
    return fail(BlobError::invalid_tag("node", tag));
  }

  const char* next_;
  const char* end_;
  BlobError error_;
  // One node record as read from the blob, with every string borrowed from the blob's bytes. A
  // single instance is reused for all records, so after its buffers have grown to the largest
  // record, reading a node allocates nothing until it is interned.
  BorrowedNode node_;
  RepeatedTexts texts_;
};

}  // namespace

Result<GraphStore, BlobError> read_ir_blob(std::string_view bytes) { return BlobReader(bytes).read(); }

}  // namespace veltrix
