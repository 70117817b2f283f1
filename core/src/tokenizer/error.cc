#include "zeq/error.h"

#include <string.h>

#include <string_view>

#include "tokenizer/utf8.h"

namespace zeq {
namespace {

// strerror_r comes in two flavours: GNU returns the text (which may not be
// in the buffer), XSI fills the buffer and returns an int. Overloads pick
// whichever the C library declares.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) {
  return text;
}
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}

std::string os_error_text(int errnum) {
  char buffer[128] = {};
  const char* text = strerror_result(strerror_r(errnum, buffer, sizeof buffer), buffer);
  std::string out;
  // The C library's text may be in any locale encoding; keep it valid UTF-8.
  utf8::append_lossy(std::string_view(text, strnlen(text, sizeof buffer)), out);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace

TokenizerError TokenizerError::os_error(int errnum) {
  return TokenizerError(Kind::Io, IoDetail::Os, errnum, {});
}
TokenizerError TokenizerError::unexpected_eof() {
  return TokenizerError(Kind::Io, IoDetail::UnexpectedEof, 0, {});
}
TokenizerError TokenizerError::nul_in_path() {
  return TokenizerError(Kind::Io, IoDetail::NulInPath, 0, {});
}
TokenizerError TokenizerError::invalid_vocab(std::string message) {
  return TokenizerError(Kind::InvalidVocab, IoDetail::None, 0, std::move(message));
}

std::string TokenizerError::to_string() const {
  if (kind_ == Kind::InvalidVocab) return "invalid vocab file: " + message_;
  switch (io_) {
    case IoDetail::Os:
      return "io error: " + os_error_text(errnum_);
    case IoDetail::UnexpectedEof:
      return "io error: failed to fill whole buffer";
    case IoDetail::NulInPath:
      return "io error: file name contained an unexpected NUL byte";
    case IoDetail::None:
      break;
  }
  throw InternalFault("I/O error without detail");
}

}  // namespace zeq
