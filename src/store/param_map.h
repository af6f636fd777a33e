// Parameter values and parameter maps of graph nodes.
//
// A ParamMap is always sorted by key bytes (shorter key first on a common prefix), with a stable
// sort so that repeated keys, which only a byte blob can carry, keep their relative order.
// Identity rules: values of different variants never compare equal; floats compare by their
// bits after every NaN is replaced by the canonical quiet NaN, so 0.0 and -0.0 differ while all
// NaNs are one value. Floats are stored bit for bit; only comparison and hashing canonicalise.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrix {

enum class ParamTag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

inline constexpr std::uint64_t kCanonicalNanBits = 0x7FF8000000000000ULL;

// The bits under which a float takes part in identity.
inline std::uint64_t canonical_float_bits(std::uint64_t bits) {
  const bool is_nan = (bits & 0x7FF0000000000000ULL) == 0x7FF0000000000000ULL && (bits & 0x000FFFFFFFFFFFFFULL) != 0;
  return is_nan ? kCanonicalNanBits : bits;
}

// A borrowed parameter value. `bits` holds the Int (two's complement), the Float's stored bit
// pattern, or the Bool as 0/1; `text` holds a Str.
struct ParamValueRef {
  ParamTag tag = ParamTag::Int;
  std::uint64_t bits = 0;
  std::string_view text;

  std::int64_t as_int() const { return static_cast<std::int64_t>(bits); }
  double as_float() const { return std::bit_cast<double>(bits); }
  bool as_bool() const { return bits != 0; }

  // The word that identity compares for non-Str values.
  std::uint64_t identity_bits() const { return tag == ParamTag::Float ? canonical_float_bits(bits) : bits; }
  friend bool operator==(const ParamValueRef& a, const ParamValueRef& b) {
    if (a.tag != b.tag) return false;
    return a.tag == ParamTag::Str ? a.text == b.text : a.identity_bits() == b.identity_bits();
  }
};

class ParamValue {
 public:
  static ParamValue from_int(std::int64_t v) { return ParamValue(ParamTag::Int, static_cast<std::uint64_t>(v)); }
  static ParamValue from_float(double v) { return ParamValue(ParamTag::Float, std::bit_cast<std::uint64_t>(v)); }
  static ParamValue from_float_bits(std::uint64_t bits) { return ParamValue(ParamTag::Float, bits); }
  static ParamValue from_bool(bool v) { return ParamValue(ParamTag::Bool, v ? 1 : 0); }
  static ParamValue from_str(std::string v) {
    ParamValue value(ParamTag::Str, 0);
    value.text_ = std::move(v);
    return value;
  }
  static ParamValue from_ref(const ParamValueRef& ref) {
    ParamValue value(ref.tag, ref.bits);
    if (ref.tag == ParamTag::Str) value.text_ = std::string(ref.text);
    return value;
  }

  ParamTag tag() const { return tag_; }
  ParamValueRef ref() const { return ParamValueRef{tag_, bits_, text_}; }
  std::int64_t as_int() const { return ref().as_int(); }
  double as_float() const { return ref().as_float(); }
  bool as_bool() const { return ref().as_bool(); }
  const std::string& as_str() const { return text_; }

  friend bool operator==(const ParamValue& a, const ParamValue& b) { return a.ref() == b.ref(); }

 private:
  ParamValue(ParamTag tag, std::uint64_t bits) : tag_(tag), bits_(bits) {}

  ParamTag tag_;
  std::uint64_t bits_;
  std::string text_;
};

struct ParamEntry {
  std::string key;
  ParamValue value;

  friend bool operator==(const ParamEntry&, const ParamEntry&) = default;
};

// Bytewise key order; std::string_view's comparison is exactly that (char_traits<char> compares
// as unsigned char).
inline bool key_less(std::string_view a, std::string_view b) { return a < b; }

// Stable sort by key for any random-access range whose elements expose their key through
// `key_of`. Short lists (the usual case) use an insertion sort that never allocates.
template <class It, class KeyOf>
void stable_sort_by_key(It first, It last, KeyOf key_of);

class ParamMap {
 public:
  ParamMap() = default;
  // Builds the map from entries in any order (stable sort by key).
  static ParamMap from_entries(std::vector<ParamEntry> entries);

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  const ParamEntry& operator[](std::size_t i) const { return entries_[i]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  friend bool operator==(const ParamMap&, const ParamMap&) = default;

 private:
  std::vector<ParamEntry> entries_;
};

}  // namespace veltrix

#include "store/stable_sort.inl"
