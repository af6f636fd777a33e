#include "egraph/symbol_lang.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/hashing.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

constexpr std::uint64_t kK1 = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kK2 = 0xbf58476d1ce4e5b9ULL;

}  // namespace

std::uint64_t hash_node(Symbol op, std::span<const ClassId> children) {
  const std::size_t n = children.size();
  std::uint64_t h = fold_multiply(((static_cast<std::uint64_t>(op.value) << 32) | n) ^ kK1, kK2);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const std::uint64_t word = children[i] | (static_cast<std::uint64_t>(children[i + 1]) << 32);
    h = fold_multiply(h ^ kK1, word ^ kK2);
  }
  if (i < n) h = fold_multiply(h ^ kK1, children[i] ^ kK2);
  return h;
}

SymbolLang::SymbolLang(Symbol op, std::span<const ClassId> children) : op_(op), arity_(0) {
  if (children.size() > std::numeric_limits<std::uint32_t>::max()) {
    internal_failure("an e-node cannot have " + std::to_string(children.size()) + " children");
  }
  arity_ = static_cast<std::uint32_t>(children.size());
  if (on_heap()) heap_ = new ClassId[arity_];
  if (arity_ != 0) std::memcpy(data(), children.data(), arity_ * sizeof(ClassId));
}

SymbolLang::SymbolLang(const SymbolLang& other) : op_(other.op_), arity_(0) { copy_children_from(other); }

SymbolLang::SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), arity_(other.arity_) {
  if (other.on_heap()) {
    heap_ = other.heap_;
  } else {
    std::memcpy(inline_, other.inline_, sizeof(inline_));
  }
  other.arity_ = 0;
}

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) {
    if (on_heap() && arity_ == other.arity_) {
      // Same width: reuse the allocation.
      op_ = other.op_;
      std::memcpy(heap_, other.heap_, arity_ * sizeof(ClassId));
      return *this;
    }
    release();
    op_ = other.op_;
    copy_children_from(other);
  }
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this != &other) {
    release();
    op_ = other.op_;
    arity_ = other.arity_;
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      std::memcpy(inline_, other.inline_, sizeof(inline_));
    }
    other.arity_ = 0;
  }
  return *this;
}

void SymbolLang::release() noexcept {
  if (on_heap()) delete[] heap_;
  arity_ = 0;
}

void SymbolLang::copy_children_from(const SymbolLang& other) {
  if (other.on_heap()) heap_ = new ClassId[other.arity_];
  arity_ = other.arity_;
  if (arity_ != 0) std::memcpy(data(), other.data(), arity_ * sizeof(ClassId));
}

bool SymbolLang::equals(Symbol op, std::span<const ClassId> children) const {
  return op_ == op && arity_ == children.size() &&
         (arity_ == 0 || std::memcmp(data(), children.data(), arity_ * sizeof(ClassId)) == 0);
}

bool operator==(const SymbolLang& a, const SymbolLang& b) { return a.equals(b.op_, b.children()); }

std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) {
  if (auto by_op = a.op_.value <=> b.op_.value; by_op != 0) return by_op;
  const auto ca = a.children();
  const auto cb = b.children();
  return std::lexicographical_compare_three_way(ca.begin(), ca.end(), cb.begin(), cb.end());
}

std::string SymbolLang::debug_string() const {
  std::string out;
  if (arity_ != 0) out += '(';
  out += resolve_symbol(op_);
  for (ClassId child : children()) {
    out += ' ';
    out += std::to_string(child);
  }
  if (arity_ != 0) out += ')';
  return out;
}

}  // namespace veltrix::egraph
