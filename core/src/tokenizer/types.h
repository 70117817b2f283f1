// Basic types shared by every part of the tokenizer core.
#ifndef ZEQ_TOKENIZER_TYPES_H_
#define ZEQ_TOKENIZER_TYPES_H_

#include <string_view>

#include "zeq/tokenizer.h"  // TokenId

namespace zeq {

// U+2581 LOWER ONE EIGHTH BLOCK: stands for a space inside words and pieces.
inline constexpr std::string_view SPACE_MARKER = "\xE2\x96\x81";

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_TYPES_H_
