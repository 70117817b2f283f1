// The options section of a vocabulary file: what a converted model does
// besides scoring pieces (docs/file-format.md has the layout).
#ifndef ZEQ_TOKENIZER_OPTIONS_H_
#define ZEQ_TOKENIZER_OPTIONS_H_

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/normalizer.h"  // NormalizerFlags

namespace zeq {

// What a record is besides a scored piece.
enum class PieceKind : std::uint8_t {
  Ordinary = 0,
  Control = 1,      // never matched in text; decodes to nothing
  UserDefined = 2,  // matched before normalisation; always kept whole
  Unused = 3,       // never matched in text
  Byte = 4,         // <0xHH>: for byte fallback only, never matched in text
};

// What decoding writes for unk_id unless the section says otherwise:
// " \u2047 ", as SentencePiece does.
inline constexpr std::string_view kDefaultUnknownSurface = " \xE2\x81\x87 ";

// The section as read from a file.
struct ModelOptions {
  NormalizerFlags normalizer;
  std::string charsmap;  // SentencePiece's precompiled_charsmap; empty: none
  bool byte_fallback = false;
  bool merge_unknown_runs = false;
  // (position, kind) for every record that is not ordinary, by position.
  std::vector<std::pair<std::uint32_t, PieceKind>> kinds;
  std::string unknown_surface{kDefaultUnknownSurface};
};

inline constexpr std::string_view kOptionsMagic = "ZEQO";

// Parses `bytes`, everything after the last record of a file with
// `piece_count` records (not empty). A pointer and a limit walk the fields;
// every length is checked against what remains, so nothing is allocated
// beyond the bytes given. Fails with a one-line reason that the caller
// shows after "invalid vocab file: ".
std::expected<ModelOptions, std::string> parse_options(std::string_view bytes,
                                                       std::uint64_t piece_count);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_OPTIONS_H_
