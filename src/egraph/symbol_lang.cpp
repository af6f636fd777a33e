#include "egraph/symbol_lang.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/internal_failure.h"

namespace veltrix::egraph {

const HashKey kNodeHashKey = random_hash_key();

void SymbolLang::init_wide(std::span<const ClassId> children) {
  if (children.size() > std::numeric_limits<std::uint32_t>::max()) {
    internal_failure("an e-node cannot have " + std::to_string(children.size()) + " children");
  }
  heap_ = new ClassId[children.size()];
  arity_ = static_cast<std::uint32_t>(children.size());
  std::memcpy(heap_, children.data(), children.size() * sizeof(ClassId));
}

SymbolLang::SymbolLang(const SymbolLang& other) : op_(other.op_), arity_(0) { copy_children_from(other); }

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
