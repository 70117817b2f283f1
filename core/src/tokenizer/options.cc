#include "tokenizer/options.h"

#include <cstring>
#include <optional>

#include "tokenizer/utf8.h"

namespace zeq {
namespace {

constexpr std::uint32_t kVersion = 1;

enum Tag : std::uint32_t {
  kNormalizer = 1,
  kSegmentation = 2,
  kPieceKinds = 3,
  kUnknownSurface = 4,
  kLastTag = kUnknownSurface,
};

constexpr std::uint32_t kAddDummyPrefix = 1u << 0;
constexpr std::uint32_t kRemoveExtraWhitespaces = 1u << 1;
constexpr std::uint32_t kEscapeWhitespaces = 1u << 2;
constexpr std::uint32_t kNormalizerFlags = kAddDummyPrefix | kRemoveExtraWhitespaces | kEscapeWhitespaces;

constexpr std::uint32_t kByteFallback = 1u << 0;
constexpr std::uint32_t kMergeUnknownRuns = 1u << 1;
constexpr std::uint32_t kSegmentationFlags = kByteFallback | kMergeUnknownRuns;

constexpr std::uint32_t kLastKind = static_cast<std::uint32_t>(PieceKind::Byte);

// Reads little-endian u32s off the front of a byte range.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : p_(bytes.data()), limit_(bytes.data() + bytes.size()) {}
  std::size_t remaining() const { return static_cast<std::size_t>(limit_ - p_); }
  std::optional<std::uint32_t> u32() {
    if (remaining() < 4) return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(p_);
    p_ += 4;
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  }
  // The next n bytes, which the caller has checked are there.
  std::string_view take(std::size_t n) {
    std::string_view s(p_, n);
    p_ += n;
    return s;
  }

 private:
  const char* p_;
  const char* limit_;
};

std::string hex32(std::uint32_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += kDigits[(v >> shift) & 0xF];
  return s;
}

using Failure = std::unexpected<std::string>;

Failure fail(std::string what) { return Failure("options section: " + std::move(what)); }

std::expected<void, std::string> read_normalizer(std::string_view payload, ModelOptions& out) {
  Cursor c(payload);
  const auto flags = c.u32();
  if (!flags) return fail("the normaliser field is shorter than its flags");
  if ((*flags & ~kNormalizerFlags) != 0) return fail("unknown normaliser flags " + hex32(*flags));
  out.normalizer.add_dummy_prefix = (*flags & kAddDummyPrefix) != 0;
  out.normalizer.remove_extra_whitespaces = (*flags & kRemoveExtraWhitespaces) != 0;
  out.normalizer.escape_whitespaces = (*flags & kEscapeWhitespaces) != 0;
  // Encoding cuts words at markers: a normaliser that leaves spaces as they
  // are would be read wrong, so it is refused rather than guessed at.
  if (!out.normalizer.escape_whitespaces) {
    return fail("a normaliser that keeps spaces as spaces (no escape_whitespaces) is not supported");
  }
  out.charsmap.assign(c.take(c.remaining()));
  return {};
}

std::expected<void, std::string> read_segmentation(std::string_view payload, ModelOptions& out) {
  Cursor c(payload);
  const auto flags = c.u32();
  if (!flags || c.remaining() != 0) {
    return fail("the segmentation field must be 4 bytes, not " + std::to_string(payload.size()));
  }
  if ((*flags & ~kSegmentationFlags) != 0) return fail("unknown segmentation flags " + hex32(*flags));
  out.byte_fallback = (*flags & kByteFallback) != 0;
  out.merge_unknown_runs = (*flags & kMergeUnknownRuns) != 0;
  return {};
}

std::expected<void, std::string> read_kinds(std::string_view payload, std::uint64_t piece_count,
                                            ModelOptions& out) {
  Cursor c(payload);
  const auto n = c.u32();
  if (!n || c.remaining() != std::uint64_t{*n} * 8) {
    return fail("the piece kinds field does not hold the count it gives");
  }
  // The count is backed by the payload's own bytes: reserving it is safe.
  out.kinds.reserve(*n);
  for (std::uint32_t i = 0; i < *n; ++i) {
    const std::uint32_t position = *c.u32();
    const std::uint32_t kind = *c.u32();
    if (position >= piece_count) {
      return fail("piece kind for position " + std::to_string(position) + ", past the " +
                  std::to_string(piece_count) + " records");
    }
    if (!out.kinds.empty() && position <= out.kinds.back().first) {
      return fail("piece kind positions must increase: " + std::to_string(position) + " after " +
                  std::to_string(out.kinds.back().first));
    }
    if (kind == 0 || kind > kLastKind) {
      return fail("unknown piece kind " + std::to_string(kind) + " at position " +
                  std::to_string(position));
    }
    out.kinds.emplace_back(position, static_cast<PieceKind>(kind));
  }
  return {};
}

}  // namespace

std::expected<ModelOptions, std::string> parse_options(std::string_view bytes,
                                                       std::uint64_t piece_count) {
  if (bytes.size() < kOptionsMagic.size() ||
      std::memcmp(bytes.data(), kOptionsMagic.data(), kOptionsMagic.size()) != 0) {
    return std::unexpected(std::to_string(bytes.size()) +
                           " bytes after the last record are not an options section");
  }
  Cursor c(bytes.substr(kOptionsMagic.size()));
  const auto version = c.u32();
  const auto field_count = c.u32();
  if (!version || !field_count) return fail("the file ends inside its header");
  if (*version != kVersion) {
    return fail("version mismatch: expected " + std::to_string(kVersion) + ", got " +
                std::to_string(*version));
  }
  ModelOptions out;
  bool seen[kLastTag + 1] = {};
  for (std::uint32_t i = 0; i < *field_count; ++i) {
    const auto tag = c.u32();
    const auto length = c.u32();
    if (!tag || !length) {
      return fail("the file ends inside field " + std::to_string(i) + " of " +
                  std::to_string(*field_count));
    }
    if (*length > c.remaining()) {
      return fail("field " + std::to_string(i) + " claims " + std::to_string(*length) +
                  " bytes, only " + std::to_string(c.remaining()) + " remain");
    }
    if (*tag == 0 || *tag > kLastTag) return fail("unknown field tag " + std::to_string(*tag));
    if (seen[*tag]) return fail("field tag " + std::to_string(*tag) + " appears twice");
    seen[*tag] = true;
    const std::string_view payload = c.take(*length);
    std::expected<void, std::string> read;
    switch (*tag) {
      case kNormalizer:
        read = read_normalizer(payload, out);
        break;
      case kSegmentation:
        read = read_segmentation(payload, out);
        break;
      case kPieceKinds:
        read = read_kinds(payload, piece_count, out);
        break;
      case kUnknownSurface:
        if (auto bad = utf8::validate(payload)) {
          return fail("the unknown surface is not utf-8: " + bad->to_string());
        }
        out.unknown_surface.assign(payload);
        break;
    }
    if (!read) return std::unexpected(read.error());
  }
  if (c.remaining() != 0) {
    return fail(std::to_string(c.remaining()) + " bytes after its last field");
  }
  if (!seen[kNormalizer]) return fail("no normaliser field");
  if (!seen[kSegmentation]) return fail("no segmentation field");
  return out;
}

}  // namespace zeq
