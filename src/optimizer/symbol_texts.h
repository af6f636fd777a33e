// SymbolTexts: the distinct term symbols of one reduction, numbered densely in order of first
// appearance (a TextInterner).
//
// Every later step of the pipeline (the rewrite engine's operators, hash-consing, the templates
// of boundary nodes, stage member tokens) refers to a symbol by its 32-bit id, so a symbol's text
// is formatted, hashed and stored once per run however many nodes share it.
#pragma once

#include <cstdint>

#include "support/text_interner.h"

namespace veltrix {

using SymbolId = std::uint32_t;
using SymbolTexts = TextInterner;

}  // namespace veltrix
