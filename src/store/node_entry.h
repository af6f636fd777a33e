// A node's entry in a node table: the 32-bit words that describe it. This file alone knows the
// layout; everything else reads and builds entries through it.
//
//   word 0   the node's id (set when the entry is appended)
//   word 1   the kind in the low byte, the parameter count above it
//   word 2   the label: the name's text id (Source, Op, Reduction); an External's descriptor
//            index; a Stage's stage index (both index side arrays of the table)
//   word 3   the input count
//   then     four words per parameter, in key order: key text id, tag, value low, value high
//            (a Str value's text id in the low word)
//   then     one word per input: the input's id
#pragma once

#include <cstdint>
#include <span>

#include "store/node.h"
#include "support/string_arena.h"

namespace veltrix::entry {

inline constexpr std::uint32_t kIdWord = 0;
inline constexpr std::uint32_t kKindWord = 1;
inline constexpr std::uint32_t kLabelWord = 2;
inline constexpr std::uint32_t kInputCountWord = 3;
inline constexpr std::uint32_t kHeaderWords = 4;
inline constexpr std::uint32_t kWordsPerParam = 4;

inline NodeKind kind(const std::uint32_t* e) { return static_cast<NodeKind>(e[kKindWord] & 0xFF); }
inline std::uint32_t param_count(const std::uint32_t* e) { return e[kKindWord] >> 8; }
inline std::uint32_t input_count(const std::uint32_t* e) { return e[kInputCountWord]; }
inline std::uint32_t label(const std::uint32_t* e) { return e[kLabelWord]; }
inline std::uint32_t kind_word(NodeKind kind, std::uint32_t params) {
  return static_cast<std::uint32_t>(kind) | (params << 8);
}

inline std::size_t inputs_offset(std::uint32_t params) { return kHeaderWords + std::size_t{params} * kWordsPerParam; }
inline std::size_t size(std::uint32_t params, std::uint32_t inputs) { return inputs_offset(params) + inputs; }

// Parameter i: a pointer to its four words.
inline const std::uint32_t* param(const std::uint32_t* e, std::size_t i) {
  return e + kHeaderWords + i * kWordsPerParam;
}
inline StrId param_key(const std::uint32_t* p) { return p[0]; }
inline ParamTag param_tag(const std::uint32_t* p) { return static_cast<ParamTag>(p[1]); }
inline std::uint64_t param_bits(const std::uint32_t* p) { return p[2] | (std::uint64_t{p[3]} << 32); }

inline std::span<const std::uint32_t> inputs(const std::uint32_t* e) {
  return {e + inputs_offset(param_count(e)), input_count(e)};
}
inline std::span<std::uint32_t> inputs(std::uint32_t* e) { return {e + inputs_offset(param_count(e)), input_count(e)}; }

// Appends an entry to a word container (anything with push_back), header first, then the
// parameters and the inputs in order, as many as the header announced.
template <class Words>
class Builder {
 public:
  explicit Builder(Words& words) : words_(words) {}

  void header(NodeKind kind, std::uint32_t params, std::uint32_t inputs, std::uint32_t label = 0) {
    words_.push_back(0);  // the id, set on append
    words_.push_back(kind_word(kind, params));
    words_.push_back(label);
    words_.push_back(inputs);
  }
  void param(StrId key, ParamTag tag, std::uint64_t bits) {
    words_.push_back(key);
    words_.push_back(static_cast<std::uint32_t>(tag));
    words_.push_back(static_cast<std::uint32_t>(bits));
    words_.push_back(static_cast<std::uint32_t>(bits >> 32));
  }
  void input(std::uint32_t id) { words_.push_back(id); }

 private:
  Words& words_;
};

}  // namespace veltrix::entry
